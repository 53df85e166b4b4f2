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
