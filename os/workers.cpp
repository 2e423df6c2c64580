#include "os/workers.h"

#include <vector>

namespace zentu::os {

WorkerPool::~WorkerPool() {
  std::list<Worker> all;
  {
    std::lock_guard lock(mutex_);
    for (Worker& w : workers_) w.thread.request_stop();
    all.swap(workers_);
  }
  for (Worker& w : all)
    if (w.thread.joinable() && w.thread.get_id() != std::this_thread::get_id()) w.thread.join();
    else if (w.thread.joinable()) w.thread.detach();
}

bool WorkerPool::Start(int kind, int max, Body body, After after) {
  return StartUpTo(kind, max, 1, body, after) == 1;
}

void WorkerPool::SetCountObserver(std::function<void(int, int)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

int WorkerPool::StartUpTo(int kind, int max, int wanted, const Body& body, const After& after) {
  std::unique_lock lock(mutex_);
  ReapLocked(lock);
  int started = 0;
  while (started < wanted && running_[kind] < max) {
    workers_.emplace_back();
    Worker& w = workers_.back();
    w.kind = kind;
    const int count = ++running_[kind];
    ++total_;
    if (observer_) observer_(kind, count);
    // The thread marks itself ended only after its body and its After step
    // have returned, so a join that follows waits for nothing but its exit.
    w.thread = std::jthread([this, &w, body, after](std::stop_token stop) {
      body(stop);
      {
        std::lock_guard inner(mutex_);
        const int left = --running_[w.kind];
        if (observer_) observer_(w.kind, left);
        changed_.notify_all();
      }
      if (after) after();
      std::lock_guard inner(mutex_);
      w.ended = true;
      --total_;
      changed_.notify_all();
    });
    ++started;
  }
  return started;
}

int WorkerPool::Running(int kind) const {
  std::lock_guard lock(mutex_);
  auto it = running_.find(kind);
  return it == running_.end() ? 0 : it->second;
}

int WorkerPool::Running() const {
  std::lock_guard lock(mutex_);
  return total_;
}

bool WorkerPool::RunWhileIdle(const std::function<void()>& step) {
  std::lock_guard lock(mutex_);
  if (total_ != 0) return false;
  step();
  return true;
}

bool WorkerPool::StopAll(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  for (Worker& w : workers_)
    if (!w.ended) w.thread.request_stop();
  const auto self = std::this_thread::get_id();
  // A worker that stops the pool does not wait for itself.
  const bool ended = changed_.wait_for(lock, limit, [&] {
    int others = total_;
    for (const Worker& w : workers_)
      if (!w.ended && w.thread.get_id() == self) --others;
    return others == 0;
  });
  ReapLocked(lock);
  return ended;
}

bool WorkerPool::WaitIdle(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  const bool idle = changed_.wait_for(lock, limit, [&] { return total_ == 0; });
  ReapLocked(lock);
  return idle;
}

void WorkerPool::Reap() {
  std::unique_lock lock(mutex_);
  ReapLocked(lock);
}

void WorkerPool::ReapLocked(std::unique_lock<std::mutex>& lock) {
  const auto self = std::this_thread::get_id();
  std::list<Worker> done;
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->ended && it->thread.get_id() != self) {
      auto next = std::next(it);
      done.splice(done.end(), workers_, it);
      it = next;
    } else {
      ++it;
    }
  }
  if (done.empty()) return;
  // Joined outside the lock: an ended thread may still be leaving its last
  // lock_guard on the pool.
  lock.unlock();
  for (Worker& w : done) w.thread.join();
  lock.lock();
}

}  // namespace zentu::os
