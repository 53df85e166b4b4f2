// Closing the window while a transfer worker runs: the technician is asked first,
// and only Yes lets the window go; with no worker the window closes unasked.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "ConfigFixture.h"
#include "journal/Journal.h"

namespace {

const char kQuestion[] =
    "A firmware update is running. Closing now leaves the device without a complete firmware. "
    "Close anyway?";

// Points the service journal at path ("": the default).
void SetJournal(const std::string& path) {
#ifdef _WIN32
  _putenv_s("IAP_JOURNAL", path.c_str());
#else
  if (path.empty())
    ::unsetenv("IAP_JOURNAL");
  else
    ::setenv("IAP_JOURNAL", path.c_str(), 1);
#endif
}

// A dialog with a worker that logs frame after frame, as a transfer does, until
// the dialog closes or the test lets it finish.
struct DialogWithWorker : DialogUnderTest {
  std::atomic<int> frames{0};
  std::atomic<bool> finish{false};

  // The worker reads the counters above: it must be gone before they are.
  ~DialogWithWorker() {
    if (dlg) dlg->Shutdown();
  }

  void StartTransfer() {
    Start("[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0));
    // Update Firmware was pressed: the update is on record from here.
    dlg->BeginStage(Stage::kLink);
    dlg->StartWorker([this] {
      while (!dlg->Closing() && !finish) {
        dlg->Log("frame");
        ++frames;
      }
    });
    ASSERT_TRUE(ws.RunUntil([&] { return frames > 3; }));
  }
  // The worker still sends frames: it goes on past where it is now.
  bool StillSending() {
    const int now = frames;
    return ws.RunUntil([&] { return frames > now + 3; });
  }
};

TEST(UpdaterDlgClose, WithoutAWorkerTheWindowClosesUnasked) {
  DialogUnderTest t;
  t.Start("[DEVICELIST]\nDEVICECOUNT=1\n" + GoodSection(0));
  t.ws.yesNoAnswers = {false};
  EXPECT_TRUE(t.dlg->QueryClose());
  EXPECT_TRUE(t.ws.questions.empty());

  // Nor once a worker has ended.
  DialogWithWorker w;
  w.StartTransfer();
  w.finish = true;
  w.dlg->JoinWorker();
  w.ws.yesNoAnswers = {false};
  EXPECT_TRUE(w.dlg->QueryClose());
  EXPECT_TRUE(w.ws.questions.empty());
}

TEST(UpdaterDlgClose, NoKeepsTheTransferGoingAndYesLetsTheWindowClose) {
  DialogWithWorker w;
  w.StartTransfer();
  w.ws.yesNoAnswers = {false, true};

  EXPECT_FALSE(w.dlg->QueryClose());
  ASSERT_EQ(w.ws.questions.size(), 1u);
  EXPECT_EQ(w.ws.questions[0].text, kQuestion);
  EXPECT_EQ(w.ws.questions[0].caption, SolvaneStrings().appName);
  EXPECT_EQ(w.ws.questions[0].icon, BoxIcon::kWarning);
  EXPECT_FALSE(w.dlg->Closing());
  EXPECT_TRUE(w.dlg->WorkerRunning());
  EXPECT_TRUE(w.StillSending());

  EXPECT_TRUE(w.dlg->QueryClose());
  EXPECT_EQ(w.ws.questions.size(), 2u);
  const std::string journal = w.dir.Path() + "/journal.jsonl";
  const char* before = std::getenv("IAP_JOURNAL");
  const std::string previous = before ? before : "";
  SetJournal(journal);
  w.dlg->Shutdown();  // what the face does once the window may close
  SetJournal(previous);
  EXPECT_FALSE(w.dlg->WorkerRunning());
  // The update the closing window cut short is on record, as cancelled.
  const JournalRead read = ReadJournal(journal);
  ASSERT_EQ(read.records.size(), 1u) << read.error;
  EXPECT_EQ(read.records[0].result, "cancelled");
  EXPECT_EQ(read.records[0].detail, "the window was closed during the update");
}

TEST(UpdaterDlgClose, ASecondRequestWhileTheQuestionIsOpenLeavesItToTheFirst) {
  DialogWithWorker w;
  w.StartTransfer();
  bool inner = true;
  w.ws.onQuestion = [&](const RecordedBox&) { inner = w.dlg->QueryClose(); };
  w.ws.yesNoAnswers = {false};
  EXPECT_FALSE(w.dlg->QueryClose());
  EXPECT_FALSE(inner);
  EXPECT_EQ(w.ws.questions.size(), 1u);
  EXPECT_TRUE(w.StillSending());

  // The question is not left stuck open: the next request asks again.
  w.ws.onQuestion = nullptr;
  w.ws.yesNoAnswers = {true};
  EXPECT_TRUE(w.dlg->QueryClose());
  EXPECT_EQ(w.ws.questions.size(), 2u);
}

}  // namespace
