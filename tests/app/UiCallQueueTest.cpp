// Calls from worker threads into the user-interface thread: order, blocking, and
// release when the window goes away.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/HScrollListBox.h"
#include "app/UiCallQueue.h"
#include "support/ScriptedWindowSystem.h"

namespace {

TEST(UiCallQueue, AppendsFromWorkersLandLastInOrderAndTheWorkerWaits) {
  CScriptedWindowSystem ws;
  CHScrollListBox log(ws);
  std::atomic<int> finished{0};
  auto worker = [&](char tag) {
    for (int i = 0; i < 200; ++i) {
      std::string line(1, tag);
      line += std::to_string(i);
      ws.InvokeAndWait([&] { log.Append(line); });
      // The call has run when InvokeAndWait returns: the line is in already.
      bool present = false;
      ws.InvokeAndWait([&] {
        present = std::find(log.Lines().begin(), log.Lines().end(), line) != log.Lines().end();
      });
      EXPECT_TRUE(present);
    }
    ++finished;
  };
  std::thread a(worker, 'a'), b(worker, 'b');
  ASSERT_TRUE(ws.RunUntil([&] { return finished == 2; }));
  a.join();
  b.join();
  // Each thread's lines appear in its own order, none lost.
  int nextA = 0, nextB = 0;
  for (const auto& line : ws.logLines) {
    const int n = std::stoi(line.substr(1));
    if (line[0] == 'a') {
      EXPECT_EQ(n, nextA++);
    } else {
      EXPECT_EQ(n, nextB++);
    }
  }
  EXPECT_EQ(nextA, 200);
  EXPECT_EQ(nextB, 200);
  EXPECT_EQ(log.GetCurSel(), 399);
}

TEST(UiCallQueue, OnTheUiThreadTheCallRunsAtOnce) {
  CUiCallQueue q;
  int ran = 0;
  EXPECT_TRUE(q.InvokeAndWait([&] { ++ran; }));
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(q.Drain(), 0);
}

TEST(UiCallQueue, ShutdownReleasesAWaitingWorkerUnrun) {
  CUiCallQueue q;
  std::atomic<int> result{-1};
  std::atomic<bool> queued{false};
  bool ran = false;
  // The wake-up comes once the call is in the queue: from then on the worker waits.
  q.SetWakeUp([&] { queued = true; });
  std::thread worker([&] { result = q.InvokeAndWait([&] { ran = true; }) ? 1 : 0; });
  while (!queued) std::this_thread::yield();
  EXPECT_EQ(result, -1) << "the worker did not wait for the call";
  q.Shutdown();  // without draining
  worker.join();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(ran);
  EXPECT_FALSE(q.InvokeAndWait([&] { ran = true; }));  // on the UI thread too
  EXPECT_FALSE(ran);
}

}  // namespace

namespace {

// Posted calls do not hold the worker, yet run in the order they were made among
// the calls it waits for; once shut, a post is refused and never runs.
TEST(UiCallQueue, PostedCallsKeepTheirPlaceAmongWaitedOnes) {
  CUiCallQueue queue;
  std::vector<int> order;  // touched on this (the UI) thread only
  std::thread worker([&] {
    for (int i = 0; i < 300; ++i) {
      if (i % 3 == 2) {
        queue.InvokeAndWait([&order, i] { order.push_back(i); });
      } else {
        EXPECT_TRUE(queue.Post([&order, i] { order.push_back(i); }));
      }
    }
  });
  while (order.size() < 300) queue.WaitAndDrain(10);
  worker.join();
  for (int i = 0; i < 300; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);

  queue.Shutdown();
  bool ran = false;
  std::thread late([&] { EXPECT_FALSE(queue.Post([&ran] { ran = true; })); });
  late.join();
  queue.Drain();
  EXPECT_FALSE(ran);
}

}  // namespace
