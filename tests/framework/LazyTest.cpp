#include "framework/Lazy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tarvik {
namespace {

TEST(Lazy, ManyThreadsAskingAtOnceGetTheOneObjectMadeOnce) {
  constexpr int Threads = 16;
  for (int round = 0; round < 20; ++round) {
    TLazy<int> lazy;
    std::atomic<int> made{0};
    std::atomic<int> waiting{Threads};
    std::vector<int*> seen(Threads, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
      threads.emplace_back([&, t] {
        // All threads ask at the same moment.
        --waiting;
        while (waiting.load() > 0) std::this_thread::yield();
        seen[t] = lazy.Get([&] {
          ++made;
          // A slow first use widens the window in which others ask.
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          return std::make_unique<int>(round);
        });
      });
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(made.load(), 1) << "round " << round;
    for (int* object : seen) {
      ASSERT_EQ(object, seen[0]);
      EXPECT_EQ(*object, round);
    }
  }
}

TEST(Lazy, AFailedFirstUseIsTriedAgainByTheNextCaller) {
  TLazy<int> lazy;
  EXPECT_THROW(lazy.Get([]() -> std::unique_ptr<int> { throw std::bad_alloc(); }), std::bad_alloc);
  int* object = lazy.Get([] { return std::make_unique<int>(7); });
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(*object, 7);
  EXPECT_EQ(lazy.Get([] { return std::make_unique<int>(8); }), object);
}

}  // namespace
}  // namespace tarvik
