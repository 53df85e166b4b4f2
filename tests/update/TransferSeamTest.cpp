// The transfer and the handshake against a scripted link: what the shared code
// does with each of a link's rules, free of any real link's timing. The rules as
// the serial and HID links set them are checked end to end in TransferTest.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "config/DeviceProfile.h"
#include "update/Handshake.h"
#include "update/RecordFrames.h"
#include "update/Transfer.h"

namespace {

class CScriptedLink final : public IIapLink {
 public:
  LinkRules Rules() const override { return rules; }
  bool SendCommand(const std::uint8_t* command, int n) override {
    commands.emplace_back(command, command + n);
    return true;
  }
  bool ReadReady() override { return Next().value_or("") == "#FH\r"; }
  bool WriteBlock(const std::uint8_t* data, int length) override {
    blocks.emplace_back(data, data + length);
    return true;
  }
  bool ReadReply(LinkReply& reply) override {
    const auto text = Next();
    if (!text) return false;
    reply.text = *text;
    reply.acknowledged = *text == "A\r";
    return true;
  }
  void Close() override { ++closes; }

  // The replies in order; a missing one is a time-out. Past the script every
  // reply is the acknowledgement.
  std::optional<std::string> Next() {
    if (replies.empty()) return std::string("A\r");
    auto r = replies.front();
    replies.pop_front();
    return r;
  }

  LinkRules rules;
  std::deque<std::optional<std::string>> replies;
  std::vector<Bytes> commands, blocks;
  int closes = 0;
};

class CRecordingHost final : public ITransferHost {
 public:
  bool Gone() const override { return false; }
  void Log(const std::string& line) override { log.push_back(line); }
  void WarningBox(const std::string& text, Reason) override { boxes.push_back(text); }
  void InformationBox(const std::string& text) override { boxes.push_back(text); }
  void SetProgress(int) override {}
  void SetPercentText(const std::string&) override {}
  void EnableFile(bool enabled) override { fileEnabled = enabled; }
  void EnableCancel(bool) override {}
  int LoadImage(bool& changed) override {
    changed = false;
    return static_cast<int>(image.size());
  }
  bool Logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }

  std::vector<std::uint8_t> image;
  std::vector<std::string> log, boxes;
  bool fileEnabled = false;
};

void UseSixteenBitMap() {
  ActiveProfile = {};
  ActiveProfile.ROMTAIL = 0xFFFF;
  ActiveProfile.IAPSTART = 0xF000;
  ActiveProfile.IAPEND = 0xF800;
  ActiveProfile.INTSTART = 0xFF00;
  ActiveProfile.INTEND = 0xFFF0;
}

// One transfer of 16-byte rows (stride 21) at the given addresses.
struct CSeamRun {
  explicit CSeamRun(const std::vector<std::uint32_t>& addresses) {
    UseSixteenBitMap();
    for (std::uint32_t a : addresses) {
      const std::uint8_t row[5] = {20, static_cast<std::uint8_t>(a >> 16),
                                   static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a),
                                   16};
      host.image.insert(host.image.end(), row, row + 5);
      host.image.insert(host.image.end(), 16, static_cast<std::uint8_t>(a));
    }
  }
  void Run() {
    state.deviceReady = 1;
    state.image = host.image;
    state.recordSize = 16;
    RunTransfer(host, link, state, ActiveProfile);
  }
  // The 16-bit address of each data frame written, "EOF" for the end-of-file frame.
  std::vector<std::string> Sent() const {
    std::vector<std::string> out;
    for (const Bytes& b : link.blocks) {
      out.push_back(b[0] == 0x08 ? "EOF" : std::to_string((b[2] << 8) | b[3]));
    }
    return out;
  }

  CScriptedLink link;
  CRecordingHost host;
  TransferState state;
};

using Sends = std::vector<std::string>;
using Texts = std::vector<std::string>;

TEST(TransferSeam, TheRowAtIapEndIsSentOnlyWhereTheLinkLeavesItToTheApplication) {
  for (bool iapEndProtected : {false, true}) {
    CSeamRun run({0xEFF0, 0xF000, 0xF7F0, 0xF800, 0xF810});
    run.link.rules.iapEndProtected = iapEndProtected;
    run.Run();
    const Sends expected =
        iapEndProtected ? Sends{"61424", "63504", "EOF"} : Sends{"61424", "63488", "63504", "EOF"};
    EXPECT_EQ(run.Sent(), expected);
  }
}

TEST(TransferSeam, WrongRepliesAreRetriedUpToTheLinksToleranceThenEndTheTransfer) {
  CSeamRun retried({0x8000, 0x8010});
  retried.link.rules.wrongRepliesTolerated = 2;
  retried.link.replies = {std::string("N\r"), std::string("N\r"), std::string("A\r")};
  retried.Run();
  EXPECT_EQ(retried.Sent(), (Sends{"32768", "32768", "32768", "32784", "EOF"}));
  EXPECT_TRUE(retried.host.Logged("UPS firmware update successful!"));

  CSeamRun failed({0x8000, 0x8010});
  failed.link.rules.wrongRepliesTolerated = 2;
  failed.link.replies = {std::string("N\r"), std::string("A\r"), std::string("N\r"),
                         std::string("N\r"), std::string("N\r")};
  failed.Run();
  // An acknowledgement gives back the whole tolerance: the second row fails on its
  // third wrong reply.
  EXPECT_EQ(failed.Sent(), (Sends{"32768", "32768", "32784", "32784", "32784"}));
  EXPECT_TRUE(failed.host.Logged("Send the UPS firmware data Err"));
  EXPECT_EQ(failed.host.boxes, Texts{"Receive Error !"});
  EXPECT_EQ(failed.link.closes, 1);
  EXPECT_TRUE(failed.host.fileEnabled);
}

TEST(TransferSeam, WithoutToleranceTheFirstWrongReplyEndsAndATimeOutEndsWithoutABox) {
  CSeamRun wrong({0x8000, 0x8010});
  wrong.link.replies = {std::string("N\r")};
  wrong.Run();
  EXPECT_EQ(wrong.Sent(), Sends{"32768"});
  EXPECT_EQ(wrong.host.boxes, Texts{"Receive Error !"});
  EXPECT_EQ(wrong.link.closes, 1);

  CSeamRun silent({0x8000});
  silent.link.rules.wrongRepliesTolerated = 2;
  silent.link.replies = {std::nullopt};
  silent.Run();
  EXPECT_EQ(silent.Sent(), Sends{"32768"});
  EXPECT_TRUE(silent.host.Logged("read data Err"));
  EXPECT_TRUE(silent.host.boxes.empty());
  EXPECT_EQ(silent.link.closes, 1);
}

TEST(TransferSeam, ALinkThatClosesAfterTheEndLogsTheUpdateCompleted) {
  for (bool closes : {false, true}) {
    CSeamRun run({0x8000});
    run.link.rules.closesAfterEndOfFile = closes;
    run.Run();
    EXPECT_EQ(run.link.closes, closes ? 1 : 0);
    EXPECT_EQ(run.host.Logged("UPS firmware update completed"), closes);
    EXPECT_EQ(run.host.boxes, Texts{"Programming successfully !"});
    EXPECT_EQ(run.host.log.back(), kSeparator);
  }
}

TEST(HandshakeSeam, TheBaudRateCommandGoesOnlyToALinkThatTakesItAtNineThousandSixHundred) {
  const Bytes command = ProgrammingModeCommand("UPS#");
  std::vector<std::string> log;
  const auto logLine = [&](const std::string& line) { log.push_back(line); };
  for (bool takes : {false, true}) {
    for (bool at9600 : {false, true}) {
      CScriptedLink link;
      link.rules.takesBaudCommand = takes;
      link.replies = {std::string("#FH\r"), std::string("A\r")};
      log.clear();
      EXPECT_TRUE(EnterProgrammingMode(link, command.data(), 4, at9600, logLine));
      const bool baud = takes && at9600;
      const std::vector<Bytes> blocks =
          baud ? std::vector<Bytes>{BaudRateCommand()} : std::vector<Bytes>{};
      const Texts lines = baud ? Texts{"Send Baud Rate Command OK"} : Texts{};
      EXPECT_EQ(link.blocks, blocks);
      EXPECT_EQ(log, lines);
    }
  }
}

TEST(HandshakeSeam, ThreeTriesThenNotReadyAndNoTryForAnEmptyCommand) {
  const Bytes command = ProgrammingModeCommand("UPS#");
  const auto noLog = [](const std::string&) {};
  CScriptedLink third;
  third.replies = {std::string("#FX\r"), std::nullopt, std::string("#FH\r")};
  EXPECT_TRUE(EnterProgrammingMode(third, command.data(), 4, false, noLog));
  EXPECT_EQ(third.commands.size(), 3u);

  CScriptedLink late;
  late.replies = {std::nullopt, std::nullopt, std::nullopt, std::string("#FH\r")};
  EXPECT_FALSE(EnterProgrammingMode(late, command.data(), 4, false, noLog));
  EXPECT_EQ(late.commands.size(), 3u);

  CScriptedLink empty;
  EXPECT_FALSE(EnterProgrammingMode(empty, command.data(), 0, false, noLog));
  EXPECT_TRUE(empty.commands.empty());
}

}  // namespace
