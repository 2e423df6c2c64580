// SIGTERM and SIGINT end Zentu in order. The handler only writes the signal's
// number into a pipe; the main thread's event loop reads it there and runs the
// shutdown, so no real work ever happens inside the handler.
#pragma once
#include <atomic>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace zentu {

class ShutdownSignals {
 public:
  // `onSignal` runs on the main thread (inside the event loop) with the
  // signal's number, once per signal received.
  explicit ShutdownSignals(std::function<void(int)> onSignal);
  ~ShutdownSignals();
  ShutdownSignals(const ShutdownSignals&) = delete;
  ShutdownSignals& operator=(const ShutdownSignals&) = delete;

  bool Installed() const { return notifier_ != nullptr; }
  // True from the first signal on; set in the handler itself, so work that runs
  // before the event loop (the load of the collection) can poll it.
  static const std::atomic<bool>& Received();

 private:
  void Drain();

  std::function<void(int)> onSignal_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace zentu
