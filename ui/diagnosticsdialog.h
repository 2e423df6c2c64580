// The diagnostics dialog: the report pane, the warnings pane and OK. The
// checks run once, a second after the dialog opens, on a thread of their own
// (the network check may wait for its time-out).
#pragma once
#include <QDialog>
#include <thread>

#include "intake/diagnostics.h"

class QPlainTextEdit;

namespace zentu::ui {

class DiagnosticsDialog : public QDialog {
 public:
  explicit DiagnosticsDialog(QWidget* parent = nullptr);
  ~DiagnosticsDialog() override;

  QPlainTextEdit* reportPane() const { return report_; }
  QPlainTextEdit* warningPane() const { return warnings_; }
  bool finished() const { return finished_; }

  // Replaces the network check (tests); empty restores the real one.
  static void SetConnectCheck(ConnectCheck check);

 private:
  void Show(const DiagnosticsResult& result);

  QPlainTextEdit* report_;
  QPlainTextEdit* warnings_;
  std::thread worker_;
  bool finished_ = false;
};

}  // namespace zentu::ui
