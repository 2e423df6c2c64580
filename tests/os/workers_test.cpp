// The worker pool under random starts and stops: counts never exceed their
// limit, no thread joins itself, and stopping ends every worker.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <vector>

#include "os/workers.h"

namespace zentu::os {
namespace {

TEST(WorkerPoolTest, ConcurrentStressNeverExceedsTheCountNorJoinsAThreadFromItself) {
  constexpr int kKinds = 3;
  const int limits[kKinds] = {1, 2, 4};
  std::atomic<int> inside[kKinds] = {};
  std::atomic<int> peak[kKinds] = {};
  std::atomic<int> bodies{0};
  WorkerPool pool;
  std::mt19937 rng(14);

  // A body counts itself in and out; some start more work on their way out
  // (as a worker that finds untreated jobs does), some reap or stop the pool
  // from inside, which must never join the calling thread.
  std::function<void(std::stop_token, int, int)> body = [&](std::stop_token stop, int kind, int action) {
    const int now = ++inside[kind];
    int seen = peak[kind].load();
    while (now > seen && !peak[kind].compare_exchange_weak(seen, now)) {
    }
    ++bodies;
    for (int spin = 0; spin < action * 50 && !stop.stop_requested(); ++spin) std::this_thread::yield();
    --inside[kind];
    switch (action % 4) {
      case 1: pool.Reap(); break;
      case 2: pool.Start((kind + 1) % kKinds, limits[(kind + 1) % kKinds], [&, kind](std::stop_token s) {
                body(s, (kind + 1) % kKinds, 0);
              }); break;
      case 3: (void)pool.StopAll(std::chrono::milliseconds(20)); break;
      default: break;
    }
  };

  int started = 0;
  for (int round = 0; round < 10000; ++round) {
    const int kind = static_cast<int>(rng() % kKinds);
    const int action = static_cast<int>(rng() % 8);
    if (rng() % 50 == 0) {
      ASSERT_TRUE(pool.StopAll(std::chrono::seconds(30)));
      ASSERT_EQ(pool.Running(), 0);
      continue;
    }
    started += pool.StartUpTo(kind, limits[kind], 1 + static_cast<int>(rng() % 3),
                              [&, kind, action](std::stop_token s) { body(s, kind, action); });
    ASSERT_LE(pool.Running(kind), limits[kind]);
  }
  ASSERT_TRUE(pool.StopAll(std::chrono::seconds(30)));
  EXPECT_TRUE(pool.WaitIdle(std::chrono::seconds(30)));
  EXPECT_EQ(pool.Running(), 0);
  for (int k = 0; k < kKinds; ++k) {
    EXPECT_LE(peak[k].load(), limits[k]) << "kind " << k;
    EXPECT_EQ(inside[k].load(), 0);
  }
  EXPECT_GE(bodies.load(), started);
}

TEST(WorkerPoolTest, RunWhileIdleWaitsForNoWorkerAndStopTokensEndLongWork) {
  WorkerPool pool;
  std::atomic<bool> ran{false};
  ASSERT_TRUE(pool.Start(0, 1, [](std::stop_token stop) {
    while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }));
  EXPECT_FALSE(pool.Start(0, 1, [](std::stop_token) {}));  // the count is reached
  EXPECT_FALSE(pool.RunWhileIdle([&] { ran = true; }));
  EXPECT_FALSE(ran.load());
  EXPECT_TRUE(pool.StopAll(std::chrono::seconds(30)));
  EXPECT_TRUE(pool.RunWhileIdle([&] { ran = true; }));
  EXPECT_TRUE(ran.load());

  // A worker that ends with work left starts its own successor: its count
  // is free by then, and the observer saw every change in order.
  std::mutex seenMutex;
  std::vector<int> seen;
  pool.SetCountObserver([&](int kind, int running) {
    std::lock_guard lock(seenMutex);
    if (kind == 7) seen.push_back(running);
  });
  std::atomic<bool> successor{false}, successorRan{false};
  ASSERT_TRUE(pool.Start(7, 1, [](std::stop_token) {}, [&] {
    successor = pool.Start(7, 1, [&](std::stop_token) { successorRan = true; });
  }));
  ASSERT_TRUE(pool.WaitIdle(std::chrono::seconds(30)));
  EXPECT_TRUE(successor.load());
  EXPECT_TRUE(successorRan.load());
  std::lock_guard lock(seenMutex);
  EXPECT_EQ(seen, (std::vector<int>{1, 0, 1, 0}));
}

}  // namespace
}  // namespace zentu::os
