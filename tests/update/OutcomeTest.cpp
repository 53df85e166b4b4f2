// The dialog driven through a listener alone: every failure the end-to-end suites
// cause ends in an outcome with its stage, result and reason, and the frame events
// count what went over the link. Nothing here reads a log line.

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "update/UpdateRig.h"

namespace {

class CRecorder final : public IUpdateListener {
 public:
  void OnStageBegun(Stage stage) override { begun.push_back(stage); }
  void OnOutcome(const Outcome& outcome) override { outcomes.push_back(outcome); }
  void OnBox(const BoxEvent& box) override { boxReasons.push_back(box.reason); }
  void OnFrameSent(const TransferFrame& frame) override { sent.push_back(frame); }
  void OnFrameAcknowledged(const TransferFrame&) override { ++acknowledged; }
  void OnFrameAnsweredWrongly(const TransferFrame& frame, const std::string& reply) override {
    wrong.push_back(frame.number);
    wrongReply = reply;
  }
  void OnProgress(long bytes, long total) override {
    EXPECT_GE(bytes, lastProgress) << "progress never goes back between two frames";
    lastProgress = bytes;
    progressTotal = total;
  }
  void OnLogLine(const std::string& text, LogKind kind) override { lines.emplace_back(text, kind); }

  const Outcome& Last() const { return outcomes.back(); }

  std::vector<Stage> begun;
  std::vector<Outcome> outcomes;
  std::vector<Reason> boxReasons;
  std::vector<TransferFrame> sent;
  int acknowledged = 0;
  std::vector<int> wrong;
  std::string wrongReply;
  long lastProgress = 0, progressTotal = 0;
  std::vector<std::pair<std::string, LogKind>> lines;
};

bool AllDigits(const std::string& t) {
  return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
}

// The per-frame lines by their text, as a reader of the log tells them: a frame
// number with " Wr" or " Rd", a HID report's byte count, the acknowledgement.
bool LooksPerFrame(const std::string& t) {
  const bool numbered = t.size() > 3 &&
                        (t.substr(t.size() - 3) == " Wr" || t.substr(t.size() - 3) == " Rd") &&
                        AllDigits(t.substr(0, t.size() - 3));
  return numbered || AllDigits(t) || t.find("A\r") != std::string::npos;
}

// Every line of the transfer is per-frame exactly when its text says so, and
// before the transfer only the HID link's byte counts are; a quiet log keeps the rest.
void ExpectKindsFollowTheText(const CRecorder& r) {
  bool inTransfer = false;
  int perFrame = 0;
  for (const auto& [text, kind] : r.lines) {
    if (text == "Map bin file OK") inTransfer = true;
    const bool expected = (inTransfer && LooksPerFrame(text)) || AllDigits(text);
    EXPECT_EQ(kind == LogKind::kPerFrame, expected) << text;
    perFrame += kind == LogKind::kPerFrame ? 1 : 0;
  }
  EXPECT_GT(perFrame, 0);
}

struct CListenedRig : CUpdateRig {
  explicit CListenedRig(const std::string& interfaceText, bool present = true)
      : CUpdateRig(interfaceText, present) {
    dlg.AddListener(recorder);
  }
  CRecorder recorder;
};

void ExpectEnd(const Outcome& o, Stage stage, Result result, Reason reason) {
  EXPECT_STREQ(StageName(o.stage), StageName(stage));
  EXPECT_STREQ(ResultName(o.result), ResultName(result));
  EXPECT_STREQ(ReasonName(o.reason), ReasonName(reason));
}

class OutcomeRoads : public ::testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(Outcome, OutcomeRoads, ::testing::Values("USB", "COM1"));

TEST_P(OutcomeRoads, AWholeUpdateEndsDoneAtTheEndOfFileWithEveryFrameCounted) {
  CListenedRig rig(GetParam());
  rig.WriteRows(4);
  ASSERT_TRUE(rig.Update());
  const CRecorder& r = rig.recorder;
  ExpectEnd(r.Last(), Stage::kEndOfFile, Result::kDone, Reason::kNone);
  EXPECT_EQ(r.begun, (std::vector<Stage>{Stage::kLink, Stage::kHandshake, Stage::kTransfer,
                                         Stage::kEndOfFile}));
  std::vector<Stage> ended;
  for (const Outcome& o : r.outcomes) ended.push_back(o.stage);
  EXPECT_EQ(ended, r.begun) << "each stage ends once, in the order begun";
  ASSERT_EQ(r.sent.size(), 4u);
  for (std::size_t i = 0; i < r.sent.size(); ++i) {
    EXPECT_EQ(r.sent[i].number, static_cast<int>(i) + 1);
    EXPECT_EQ(r.sent[i].address, 0x8000u + 0x20u * i);
    EXPECT_EQ(r.sent[i].bytes, rig.device.Of(SimMessage::kDataFrame)[i]) << "the frame as it went";
  }
  EXPECT_EQ(r.acknowledged, 4);
  EXPECT_EQ(r.Last().detail.frames.sent, 4);
  EXPECT_EQ(r.Last().detail.frames.acknowledged, 4);
  EXPECT_EQ(r.Last().detail.frames.resent, 0);
  EXPECT_EQ(r.lastProgress, r.progressTotal);
  ExpectKindsFollowTheText(r);
}

TEST_P(OutcomeRoads, NoDeviceIsTheLinkStagesFailure) {
  CListenedRig rig(GetParam(), false);
  rig.WriteRows(2);
  rig.dlg.OnUpdateFirmware();
  const Outcome& o = rig.recorder.Last();
  const bool usb = std::string(GetParam()) == "USB";
  ExpectEnd(o, Stage::kLink, Result::kFailed, usb ? Reason::kNoDevice : Reason::kPortOpenFailed);
  EXPECT_FALSE(o.detail.device.empty());
  // Every box of the failure says the same reason.
  ASSERT_FALSE(rig.recorder.boxReasons.empty());
  for (const Reason reason : rig.recorder.boxReasons) EXPECT_EQ(reason, o.reason);
}

TEST_P(OutcomeRoads, NoReadyReplyIsTheHandshakesFailure) {
  CListenedRig rig(GetParam());
  rig.WriteRows(2);
  rig.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kProgrammingCommand) return std::nullopt;
    return CSimulatedIap::Normal(m);
  };
  rig.Update();
  ExpectEnd(rig.recorder.Last(), Stage::kHandshake, Result::kFailed, Reason::kNoReadyReply);
  EXPECT_EQ(rig.recorder.boxReasons, std::vector<Reason>{Reason::kNoReadyReply});
}

TEST_P(OutcomeRoads, AFlashCommandWithoutItsEndIsRefusedBeforeTheDevice) {
  CListenedRig rig(GetParam());
  rig.SetFlashCmd("UPS");
  rig.dlg.OnUpdateFirmware();
  ExpectEnd(rig.recorder.Last(), Stage::kHandshake, Result::kFailed, Reason::kBadFlashCommand);
  // Every stage that ended had begun.
  std::vector<Stage> ended;
  for (const Outcome& o : rig.recorder.outcomes) ended.push_back(o.stage);
  EXPECT_EQ(ended, rig.recorder.begun);
  EXPECT_EQ(rig.device.Count(SimMessage::kProgrammingCommand), 0);
}

TEST_P(OutcomeRoads, CancelledTransferSaysSoWithTheFrameItStoppedAfter) {
  CListenedRig rig(GetParam());
  rig.WriteRows(5);
  rig.device.responder = [&](const IapMessage& m) {
    if (m.kind == SimMessage::kDataFrame && m.index == 1) rig.dlg.OnCancelUpdate();
    return CSimulatedIap::Normal(m);
  };
  ASSERT_TRUE(rig.Update());
  const Outcome& o = rig.recorder.Last();
  ExpectEnd(o, Stage::kTransfer, Result::kCancelled, Reason::kUserCancel);
  EXPECT_EQ(o.detail.frame, 2);
  EXPECT_EQ(o.detail.address, 0x8020);
  EXPECT_EQ(o.detail.frames.acknowledged, 2);
}

TEST_P(OutcomeRoads, ATmpBinRewrittenSinceFileIsTheImageChanged) {
  CListenedRig rig(GetParam());
  rig.WriteRows(3);
  std::string other = rig.dir.Read("tmp.bin");
  other[10] = static_cast<char>(other[10] + 1);
  rig.dir.Write("tmp.bin", other);
  ASSERT_TRUE(rig.Update());
  ExpectEnd(rig.recorder.Last(), Stage::kTransfer, Result::kFailed, Reason::kImageChanged);
  EXPECT_TRUE(rig.recorder.sent.empty());
}

TEST(OutcomeSerial, WrongRepliesAreCountedAsResentUntilTheyEndTheTransfer) {
  CListenedRig rig("COM1");
  rig.WriteRows(3);
  rig.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kDataFrame && m.index < 2) return std::string("N\r");
    return CSimulatedIap::Normal(m);
  };
  ASSERT_TRUE(rig.Update());
  ExpectEnd(rig.recorder.Last(), Stage::kEndOfFile, Result::kDone, Reason::kNone);
  EXPECT_EQ(rig.recorder.wrong, (std::vector<int>{1, 2}));
  EXPECT_EQ(rig.recorder.Last().detail.frames.sent, 5);
  EXPECT_EQ(rig.recorder.Last().detail.frames.resent, 2);
  ExpectKindsFollowTheText(rig.recorder);

  CListenedRig failing("COM1");
  failing.WriteRows(3);
  failing.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kDataFrame && m.index >= 1) return std::string("N\r");
    return CSimulatedIap::Normal(m);
  };
  ASSERT_TRUE(failing.Update());
  const Outcome& o = failing.recorder.Last();
  ExpectEnd(o, Stage::kTransfer, Result::kFailed, Reason::kWrongReplies);
  EXPECT_EQ(o.detail.address, 0x8020);
  EXPECT_EQ(o.detail.text, "N\r");
  EXPECT_EQ(failing.recorder.boxReasons, std::vector<Reason>{Reason::kWrongReplies});
  ExpectKindsFollowTheText(failing.recorder);
}

TEST(OutcomeHid, SilenceIsATimeOutAndAFailedEndOfFileIsNoSuccess) {
  CListenedRig silent("USB");
  silent.WriteRows(3);
  silent.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kDataFrame) return std::nullopt;
    return CSimulatedIap::Normal(m);
  };
  ASSERT_TRUE(silent.Update());
  ExpectEnd(silent.recorder.Last(), Stage::kTransfer, Result::kFailed, Reason::kTimeout);
  EXPECT_EQ(silent.recorder.Last().detail.frame, 1);
  ExpectKindsFollowTheText(silent.recorder);

  CListenedRig eof("USB");
  eof.WriteRows(2);
  eof.device.refuseWrite = [](const IapMessage& m) { return m.kind == SimMessage::kEndOfFile; };
  ASSERT_TRUE(eof.Update());
  ExpectEnd(eof.recorder.Last(), Stage::kEndOfFile, Result::kFailed, Reason::kWriteFailed);
  // The data frames were all taken: the transfer stage itself ended done.
  ASSERT_GE(eof.recorder.outcomes.size(), 2u);
  const Outcome& transfer = eof.recorder.outcomes[eof.recorder.outcomes.size() - 2];
  ExpectEnd(transfer, Stage::kTransfer, Result::kDone, Reason::kNone);
}

}  // namespace
