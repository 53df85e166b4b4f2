// tmp.txt and tmp.bin byte for byte: small images in both address widths through
// every stage, rows written as they stand, and rows or files that cannot be written;
// each file replaced whole, never written through a link or left half written.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include "image/ImageTestSupport.h"
#include "support/TestDir.h"

using namespace imagetest;
using V = std::vector<std::string>;

namespace {

struct FilesFixture : ::testing::Test {
  CTestDir dir;
  CImageBuilder b{ActiveProfile};
  V boxes;
  FilesFixture() {
    b.SetMessageBox([this](const std::string& t) { boxes.push_back(t); });
  }
  void Build(const std::string& file) {
    dir.Write("fw.s19", file);
    ASSERT_TRUE(b.ReadSRecordFile(dir.File("fw.s19")));
    ASSERT_TRUE(b.BuildRowList());
    ASSERT_TRUE(b.LayoutFlashPages());
    ASSERT_TRUE(b.WriteRowsText());
    ASSERT_TRUE(b.WriteRowsBinary("tmp.bin"));
  }
};

TEST_F(FilesFixture, SmallImagesInBothWidths) {
  SetMap(16, 0x8000, 0xFFFF, 0x200, 0x8000);
  Build(std::string(kHeader) + "\r\n" + S1(0x8000, Seq(0, 16)) + "\r\n" + S1(0x8010, "a0a1a2a3") +
        "\r\nS9030000FC");
  // The page start's fill row, the image, the marker row last.
  EXPECT_EQ(dir.Read("tmp.txt"), "14-008000-10-" + F(16) + "\r\n14-008010-10-a0a1a2a3" + F(12) +
                                     "\r\n14-008000-10-" + Seq(0, 16) + "\r\n");
  EXPECT_EQ(dir.Read("tmp.bin"),
            Bytes("1400800010" + F(16) + "1400801010A0A1A2A3" + F(12) + "1400800010" + Seq(0, 16)));

  // The 24-bit width: the header's text (44 52, read once as if at 0x48) is no
  // firmware and leaves no row.
  SetMap(32, 0x10000, 0x1FFFF, 0x100, 0x10100);
  Build(std::string(kHeader) + "\n" + S2(0x10000, Seq(0, 32)) + "\n" + S2(0x10120, Seq(0x80, 8)) +
        "\n" + SLine('5', 2, 2, ""));
  EXPECT_EQ(dir.Read("tmp.txt"), "24-010100-20-" + F(32) + "\r\n24-010000-20-" + Seq(0, 32) +
                                     "\r\n24-010120-20-" + Seq(0x80, 8) + F(24) + "\r\n");
  EXPECT_EQ(dir.Read("tmp.bin"), Bytes("2401010020" + F(32) + "2401000020" + Seq(0, 32) +
                                       "2401012020" + Seq(0x80, 8) + F(24)));
  EXPECT_TRUE(boxes.empty());
}

TEST_F(FilesFixture, RowsAreWrittenAsTheyStand) {
  // Case kept in tmp.txt, fill written "FF".
  SetRows(b, 3, {{0x8000, "0a0A"}, {0x123456, "Ff7e"}, {0, ""}});
  ASSERT_TRUE(b.WriteRowsText());
  ASSERT_TRUE(b.WriteRowsBinary("tmp.bin"));
  EXPECT_EQ(dir.Read("tmp.txt"),
            "07-008000-03-0a0AFF\r\n07-123456-03-Ff7eFF\r\n07-000000-03-FFFFFF\r\n");
  EXPECT_EQ(dir.Read("tmp.bin"), Bytes("07008000030A0AFF0712345603FF7EFF0700000003FFFFFF"));
  SetRows(b, 1, {{0x8000, "11"}});  // a shorter image replaces all of the old one
  ASSERT_TRUE(b.WriteRowsText());
  ASSERT_TRUE(b.WriteRowsBinary("tmp.bin"));
  EXPECT_EQ(dir.Read("tmp.txt"), "05-008000-01-11\r\n");
  EXPECT_EQ(dir.Read("tmp.bin"), Bytes("050080000111"));
}

TEST_F(FilesFixture, RowsThatDoNotFitAndFilesThatCannotBeWritten) {
  // The length byte (count + 4) must fit one byte, the address three.
  struct Case {
    int size;
    std::uint32_t address;
    bool fits;
  };
  for (const Case& c : {Case{251, 0x8000, true}, Case{252, 0x8000, false}, Case{1, 0xFFFFFF, true},
                        Case{1, 0x1000000, false}, Case{1, 0xFFFFFFF0, false}}) {
    dir.Write("tmp.bin", "old");
    SetRows(b, c.size, {{0x8000, "11"}, {c.address, "11"}});
    EXPECT_EQ(b.WriteRowsBinary("tmp.bin"), c.fits) << c.size << " " << c.address;
    if (!c.fits) {
      EXPECT_EQ(dir.Read("tmp.bin"), "old");  // refused before the file was touched
    }
  }
  SetRows(b, 1, {{0x8000, "11"}});
  std::filesystem::create_directory(dir.File("tmp.txt"));
  EXPECT_FALSE(b.WriteRowsText());
  EXPECT_FALSE(b.WriteRowsBinary(dir.File("no/such/dir/tmp.bin")));
  V expected(3, "BIN File Write Error !");
  expected.push_back("TXT File Write Error !");
  expected.push_back("BIN File Write Error !");
#if defined(__linux__)
  EXPECT_FALSE(b.WriteRowsBinary("/dev/full"));  // a device of that name is not replaced
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
  expected.push_back("BIN File Write Error !");
#endif
  EXPECT_EQ(boxes, expected);
}

#ifndef _WIN32
std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(FilesFixture, LinksOfEitherNameAreReplacedNotFollowed) {
  dir.Write("keep.txt", "kept");
  dir.Write("keep.bin", "kept");
  std::filesystem::create_symlink("keep.txt", dir.File("tmp.txt"));
  std::filesystem::create_symlink(dir.File("keep.bin"), dir.File("tmp.bin"));
  SetRows(b, 1, {{0x8000, "11"}});
  ASSERT_TRUE(b.WriteRowsText());
  ASSERT_TRUE(b.WriteRowsBinary("tmp.bin"));
  EXPECT_EQ(dir.Read("keep.txt") + dir.Read("keep.bin"), "keptkept");
  EXPECT_FALSE(std::filesystem::is_symlink(dir.File("tmp.txt")));
  EXPECT_FALSE(std::filesystem::is_symlink(dir.File("tmp.bin")));
  EXPECT_EQ(dir.Read("tmp.txt"), "05-008000-01-11\r\n");
  EXPECT_EQ(dir.Read("tmp.bin"), Bytes("050080000111"));
  EXPECT_EQ(Names(dir.Path()), (V{"keep.bin", "keep.txt", "tmp.bin", "tmp.txt"}));
}

TEST_F(FilesFixture, AWriteThatFailsHalfWayLeavesTheOldFilesAndNoTemporary) {
  dir.Write("tmp.txt", "old text");
  dir.Write("tmp.bin", "old image");
  SetRows(b, 32,
          std::vector<std::pair<std::uint32_t, std::string>>(
              2000, {0x8000, std::string(64, 'a')}));  // 158 kB of text, 74 kB of rows
  // Files may grow to 16 KiB only: the writes fail part of the way through.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 16 * 1024;
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool text = b.WriteRowsText();
  const bool rows = b.WriteRowsBinary("tmp.bin");
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_FALSE(text);
  EXPECT_FALSE(rows);
  EXPECT_EQ(dir.Read("tmp.txt"), "old text");
  EXPECT_EQ(dir.Read("tmp.bin"), "old image");
  EXPECT_EQ(Names(dir.Path()), (V{"tmp.bin", "tmp.txt"}));
  EXPECT_EQ(boxes, (V{"TXT File Write Error !", "BIN File Write Error !"}));
  EXPECT_TRUE(b.m_binImage.empty());
}
#endif

}  // namespace

namespace {

// The last row of tmp.txt that covers an address (what the device keeps there)
// shows the file's byte with the characters it was last written in, whatever the
// case, the order, the record size or the rows the page layout adds and moves;
// where the file gives nothing it shows "FF".
TEST_F(FilesFixture, EveryByteKeepsItsCharactersThroughTheLayout) {
  const std::vector<std::pair<unsigned, std::string>> runs = {
      {0x8000, "a0b1C2d3e4F5"}, {0x80F0, Seq(0x10, 40)}, {0x8010, "fFfF"},
      {0x8230, "dEaDbEeF"},     {0x8004, "Ab"},          {0x8100, "00aa"},
      {0x8002, "c2"},           {0x8400, "ee"},          {0x8230, "dead"}};
  std::map<unsigned, std::string> written;  // address -> its characters, last writing
  for (const auto& [address, hex] : runs) {
    for (unsigned k = 0; k < hex.size() / 2; ++k) written[address + k] = hex.substr(2 * k, 2);
  }
  for (int s : {16, 32, 64}) {
    SetMap(s, 0x8000, 0xFFFF, 0x100, 0x8200);
    dir.Write("fw.s19", RunsFile(runs));
    ASSERT_TRUE(b.ReadSRecordFile(dir.File("fw.s19")));
    ASSERT_TRUE(b.BuildRowList());
    ASSERT_TRUE(b.LayoutFlashPages());
    ASSERT_TRUE(b.WriteRowsText());
    const std::string text = dir.Read("tmp.txt");
    std::map<unsigned, std::string> kept;  // address -> the last row's characters there
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = text.find("\r\n", at);
      ASSERT_NE(end, std::string::npos);
      const std::string line = text.substr(at, end - at);
      at = end + 2;
      const auto address = static_cast<unsigned>(std::stoul(line.substr(3, 6), nullptr, 16));
      const std::string hex = line.substr(13);
      ASSERT_EQ(hex.size(), 2u * static_cast<unsigned>(std::min(s, 32))) << line;
      for (unsigned k = 0; k < hex.size() / 2; ++k) kept[address + k] = hex.substr(2 * k, 2);
    }
    for (const auto& [address, chars] : kept) {
      const auto it = written.find(address);
      EXPECT_EQ(chars, it == written.end() ? "FF" : it->second)
          << "record size " << s << ", address " << std::hex << address;
    }
    for (const auto& [address, chars] : written) {
      EXPECT_EQ(kept.count(address), 1u)
          << "record size " << s << ", address " << std::hex << address;
    }
  }
  EXPECT_TRUE(boxes.empty());
}

}  // namespace
