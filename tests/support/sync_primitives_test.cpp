#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "driver/support/event.h"
#include "driver/support/recursive_lock.h"

namespace korvane {
namespace {

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

TEST(RecursiveLockTest, OwnerReentersAndOthersWaitUntilTheLastLeave) {
  RecursiveLock lock;
  lock.Enter();
  ASSERT_TRUE(lock.TryEnter());
  lock.Enter();
  bool otherGot = true;
  std::thread([&] { otherGot = lock.TryEnter(); }).join();
  EXPECT_FALSE(otherGot);
  lock.Leave();
  lock.Leave();
  std::thread([&] { otherGot = lock.TryEnter(); }).join();
  EXPECT_FALSE(otherGot);  // still held once
  lock.Leave();
  std::thread([&] {
    otherGot = lock.TryEnter();
    if (otherGot) lock.Leave();
  }).join();
  EXPECT_TRUE(otherGot);
}

TEST(RecursiveLockTest, ExcludesUnderContention) {
  RecursiveLock lock;
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  long counter = 0;
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        RecursiveLockGuard outer(lock);
        if (inside.fetch_add(1) != 0) overlap = true;
        if (i % 64 == 0) {
          RecursiveLockGuard inner(lock);
          ++counter;
        } else {
          ++counter;
        }
        inside.fetch_sub(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(overlap);
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
}

TEST(EventTest, ManualResetStaysSetAndIsReadableWhileSet) {
  Event event(Event::Mode::kManualReset);
  ASSERT_GE(event.Fd(), 0);
  EXPECT_FALSE(event.Wait(std::chrono::milliseconds(0)));
  EXPECT_FALSE(Readable(event.Fd()));
  event.Set();
  event.Set();
  EXPECT_TRUE(event.Wait(std::chrono::milliseconds(0)));
  EXPECT_TRUE(event.Wait(std::chrono::milliseconds(0)));
  EXPECT_TRUE(Readable(event.Fd()));
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(Readable(event.Fd()));
}

TEST(EventTest, AutoResetReleasesOneWaitPerSet) {
  Event event(Event::Mode::kAutoReset);
  event.Set();
  EXPECT_TRUE(event.Wait(std::chrono::milliseconds(0)));
  EXPECT_FALSE(event.Wait(std::chrono::milliseconds(0)));

  // A waiter on another thread is woken by a later Set.
  std::atomic<bool> woke{false};
  std::thread waiter([&] { woke = event.Wait(std::chrono::seconds(2)); });
  event.Set();
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_FALSE(event.IsSet());
}

}  // namespace
}  // namespace korvane
