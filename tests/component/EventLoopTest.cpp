// The plain main-thread loop: order of posted work, waiting callers, quitting.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "MainThread.h"

TEST(EventLoop, PostedWorkRunsByDueTimeThenInPostingOrder) {
  TEventLoop loop;
  std::vector<int> order;
  loop.Post(60, [&] { order.push_back(3); });
  loop.Post(0, [&] { order.push_back(1); });
  loop.Post(0, [&] { order.push_back(2); });
  loop.Post(0, [&] {
    // Work posted by work runs after what was already due.
    loop.Post(0, [&] { order.push_back(4); });
  });
  EXPECT_TRUE(loop.RunUntil([&] { return order.size() == 4; }, 5000));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 4, 3}));
}

TEST(EventLoop, ProcessPendingRunsOnlyWhatIsDue) {
  TEventLoop loop;
  int ran = 0;
  loop.Post(0, [&] { ++ran; });
  loop.Post(10000, [&] { ran += 10; });
  loop.ProcessPending();
  EXPECT_EQ(ran, 1);
}

TEST(EventLoop, RunUntilGivesUpAfterItsTimeout) {
  TEventLoop loop;
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 20));
}

TEST(EventLoop, RunUntilSeesAConditionSetByAnotherThread) {
  TEventLoop loop;
  std::atomic<bool> done{false};
  std::thread other([&] { done = true; });
  EXPECT_TRUE(loop.RunUntil([&] { return done.load(); }, 5000));
  other.join();
}

TEST(EventLoop, InvokeAndWaitRunsOnTheMainThreadWhileTheCallerWaits) {
  TEventLoop loop;
  EXPECT_TRUE(loop.IsMainThread());
  std::atomic<bool> returned{false};
  bool ranOnMain = false, callerWaited = false;
  std::thread worker([&] {
    EXPECT_FALSE(loop.IsMainThread());
    loop.InvokeAndWait([&] {
      ranOnMain = loop.IsMainThread();
      callerWaited = !returned;
    });
    returned = true;
  });
  EXPECT_TRUE(loop.RunUntil([&] { return returned.load(); }, 5000));
  worker.join();
  EXPECT_TRUE(ranOnMain);
  EXPECT_TRUE(callerWaited);
}

TEST(EventLoop, InvokeAndWaitHandsAFailureToTheCaller) {
  TEventLoop loop;
  std::atomic<bool> caught{false}, returned{false};
  std::thread worker([&] {
    try {
      loop.InvokeAndWait([] { throw std::runtime_error("broken"); });
    } catch (const std::runtime_error& e) {
      caught = std::string(e.what()) == "broken";
    }
    returned = true;
  });
  EXPECT_TRUE(loop.RunUntil([&] { return returned.load(); }, 5000));
  worker.join();
  EXPECT_TRUE(caught);
}

TEST(EventLoop, QuitFromAnotherThreadEndsRun) {
  TEventLoop loop;
  std::thread other([&] { loop.Quit(); });
  loop.Run();  // returns: the test would hang otherwise
  other.join();
  int ran = 0;
  loop.Post(0, [&] {
    ++ran;
    loop.Quit();
  });
  loop.Run();  // a quit is used up by the Run it ended
  EXPECT_EQ(ran, 1);
}
