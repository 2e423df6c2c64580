// The one place that starts, counts, stops and joins Zentu's own threads.
//
// Every worker belongs to a kind (a small number the caller chooses, such as
// "check", "download", "analysis") and a pool may hold at most a given count
// of each kind. Counts change only under the pool's lock, in the same step
// that starts or ends a thread, so no two callers can start more than the
// count between them. A thread is joined only after its body has returned,
// and never by itself: a worker may start new workers on its way out.
#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>

namespace zentu::os {

class WorkerPool {
 public:
  using Body = std::function<void(std::stop_token)>;

  WorkerPool() = default;
  // Asks every worker to stop and joins them all.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs on the worker's own thread once its body has returned and no longer
  // counts: it may start a successor of its kind (the thread is joined only
  // after it has returned, and never by itself).
  using After = std::function<void()>;

  // Starts `body` on a new thread of `kind` when fewer than `max` of that
  // kind run. True when it started.
  bool Start(int kind, int max, Body body, After after = {});
  // Starts threads of `kind` until `max` run or `wanted` have started;
  // returns how many started.
  int StartUpTo(int kind, int max, int wanted, const Body& body, const After& after = {});

  // Bodies of `kind` that have not returned yet.
  int Running(int kind) const;
  // Threads that have not ended (bodies and their After steps).
  int Running() const;

  // Told (under the pool's lock, so in the order the counts change) whenever
  // the count of a kind changes. Set it before the first start.
  void SetCountObserver(std::function<void(int kind, int running)> observer);

  // Runs `step` under the pool's lock while no worker runs (no worker can
  // start meanwhile); false, without running it, while one runs.
  bool RunWhileIdle(const std::function<void()>& step);

  // Asks every running worker to stop (their stop tokens) and waits until
  // all have ended or `limit` passed; true when they all ended. Workers that
  // ended are joined, except the calling thread itself.
  bool StopAll(std::chrono::milliseconds limit);
  // Waits until no worker runs, or `limit` passes.
  bool WaitIdle(std::chrono::milliseconds limit);
  // Joins the workers that have ended (never the calling thread).
  void Reap();

 private:
  struct Worker {
    std::jthread thread;
    int kind = 0;
    bool ended = false;
  };
  void ReapLocked(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::list<Worker> workers_;
  std::map<int, int> running_;  // kind -> threads whose body has not returned
  int total_ = 0;               // threads that have not ended
  std::function<void(int, int)> observer_;
};

}  // namespace zentu::os
