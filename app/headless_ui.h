// The frame without a window: message boxes go to the log with their default
// answers (os::HeadlessDesktop), and every window step is skipped.
#pragma once
#include <string>

#include "app/frame_ui.h"

namespace zentu {

class HeadlessUi : public FrameUi {
 public:
  // `reason`: why this run has no window, for the log.
  explicit HeadlessUi(std::string reason) : reason_(std::move(reason)) {}

  bool HasWindow() const override { return false; }
  void Announce() override;
  void RaiseMainWindow() override;

 private:
  std::string reason_;
};

}  // namespace zentu
