// The S-record reader on real files: both address widths, the ROMHEAD check of
// the second accepted line, line ends, and what malformed lines give.

#include <gtest/gtest.h>

#include "image/ImageTestSupport.h"
#include "support/TestDir.h"

using namespace imagetest;
using V = std::vector<std::string>;

namespace {

struct ReaderFixture : ::testing::Test {
  CTestDir dir;
  CImageBuilder b;
  V boxes;
  int pumps = 0;
  ReaderFixture() {
    b.SetMessageBox([this](const std::string& t) { boxes.push_back(t); });
    b.SetPump([this] { ++pumps; });
    SetMap(16, 0x8000, 0xFFFF);
  }
  bool Read(const std::string& text) {
    dir.Write("fw.s19", text);
    return b.ReadSRecordFile(dir.File("fw.s19"));
  }
  // "type@address:hex" of every byte record.
  V List() const {
    V out;
    for (const auto& r : b.m_byteList) {
      char a[16];
      std::snprintf(a, sizeof a, "@%x:", static_cast<unsigned>(r.address));
      out.push_back(std::string(r.RecordType()) + a + std::string(r.HexData()));
    }
    return out;
  }
  V Data() const {  // the bytes after the header's three
    const V all = List();
    return all.size() < 3 ? V{} : V(all.begin() + 3, all.end());
  }
};

TEST_F(ReaderFixture, WorkedExampleInBothWidths) {
  ASSERT_TRUE(Read(std::string(kHeader) + "\r\n" + S1(0x8000, Seq(0, 16)) + "\r\n" +
                   S1(0x8010, Seq(0x10, 16)) + "\r\nS9030000FC\r\n" + S1(0x8020, "AA")));
  V list = List();
  ASSERT_EQ(list.size(), 35u);
  EXPECT_EQ(V(list.begin(), list.begin() + 4), (V{"S0@0:48", "S0@1:44", "S0@2:52", "S1@8000:00"}));
  EXPECT_EQ(list[34], "S1@801f:1F");
  EXPECT_EQ(pumps, 0);  // no window events in the 16-bit width

  SetMap(16, 0x18000, 0x1FFFF);
  ASSERT_TRUE(Read(std::string(kHeader) + "\n" + S2(0x18000, Seq(0, 16)) + "\nS804000000FB\n"));
  list = List();
  ASSERT_EQ(list.size(), 18u);
  EXPECT_EQ(V(list.begin(), list.begin() + 3), (V{"S0@48:44", "S0@49:52", "S2@18000:00"}));
  EXPECT_EQ(pumps, 3);  // one per line read, the S8 line included
  EXPECT_TRUE(boxes.empty());
}

TEST_F(ReaderFixture, SecondAcceptedLineMustStartAtRomHead) {
  EXPECT_FALSE(Read(S1(0x8000, Seq(0, 16)) + "\n" + S1(0x8010, Seq(0, 16)) + "\n"));
  EXPECT_EQ(List().size(), 16u);        // the first line's bytes stay
  EXPECT_TRUE(Read(S1(0x1234, "AA")));  // a single line is never compared
  EXPECT_FALSE(Read(std::string(kHeader) + "\n" + S1(0x8001, "AA")));
  EXPECT_TRUE(Read(std::string(kHeader) + "\n" + S1(0x8000, "AA") + "\n" + S1(0x9000, "BB")));
  EXPECT_EQ(boxes, V(2, "Flash File doesn't match the config file !"));
}

TEST_F(ReaderFixture, WhatEachLineContributes) {
  // Record size 16: a line of 32 bytes gives 16; S5 gives none; "s1" ends the read.
  ASSERT_TRUE(Read(std::string(kHeader) + "\n" + S1(0x8000, Seq(0, 32)) + "\nS5030003F9\n" +
                   "s1078020" + Seq(0, 4) + "\n" + S1(0x9000, "AA")));
  EXPECT_EQ(List().size(), 19u);
  // Lower-case fields are read, data case is kept, repeats stay in file order,
  // S3/S7 are decoded in the profile's width.
  ASSERT_TRUE(Read(std::string(kHeader) + "\nS1078000ab0cDd00\nS7058001eeff00\n" +
                   "S30980000000112233440A\n"));
  EXPECT_EQ(Data(), (V{"S1@8000:ab", "S1@8001:0c", "S1@8002:Dd", "S1@8003:00", "S7@8001:ee",
                       "S7@8002:ff", "S3@8000:00", "S3@8001:00", "S3@8002:11", "S3@8003:22",
                       "S3@8004:33", "S3@8005:44"}));
  // A line that ends inside its data gives short bytes; a count that is not hex is 0.
  ASSERT_TRUE(Read(std::string(kHeader) + "\nS1078000A1B2C\nS1GG8000C3"));
  EXPECT_EQ(Data(), (V{"S1@8000:A1", "S1@8001:B2", "S1@8002:C", "S1@8003:"}));
  EXPECT_TRUE(Read(""));  // an empty file is a good file
  EXPECT_TRUE(List().empty());
  EXPECT_TRUE(Read(std::string(kHeader) + "\n\n" + S1(0x8000, "AA")));  // a blank line ends it
  EXPECT_EQ(List().size(), 3u);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(ReaderFixture, EveryLineEndEndsALine) {
  const std::string a = S1(0x8000, Seq(0, 16)), c = S1(0x8010, Seq(0x10, 16));
  for (const char* end : {"\n", "\r\n", "\r"}) {
    ASSERT_TRUE(Read(std::string(kHeader) + end + a + end + c + end + "S9030000FC" + end));
    EXPECT_EQ(List().size(), 35u) << (end[0] == '\r' ? "CR" : "LF");
  }
  // A line longer than the read chunk is whole; a CR LF split between two chunks
  // is one line end.
  ASSERT_TRUE(Read(std::string(kHeader) + "\r\n" + a + std::string(300000, '0') + "\r\n" + c));
  EXPECT_EQ(List().size(), 35u);
  std::string split = std::string(kHeader) + "\n" + S1(0x8000, "AA");
  split += std::string(64 * 1024 - split.size() - 1, ' ');
  ASSERT_TRUE(Read(split + "\r\n" + S1(0x8001, "BB")));
  EXPECT_EQ(List().size(), 5u);
}

TEST_F(ReaderFixture, FilesThatCannotBeRead) {
  ASSERT_TRUE(Read(kHeader));
  EXPECT_FALSE(b.ReadSRecordFile(dir.File("missing.s19")));
  EXPECT_EQ(List().size(), 3u);                 // the earlier list stays
  EXPECT_FALSE(b.ReadSRecordFile(dir.Path()));  // a directory opens but cannot be read
  EXPECT_EQ(boxes, V(2, "Read File Error !"));
}

TEST(HexPair, ValuesAndMalformedPairs) {
  EXPECT_EQ(CImageBuilder::ParseHexPair("7f"), 127);
  EXPECT_EQ(CImageBuilder::ParseHexPair("Fa"), 250);
  for (const char* bad : {"", "A", "ABC", "G0", " 1"})
    EXPECT_EQ(CImageBuilder::ParseHexPair(bad), 0);
  ByteRecord r;
  EXPECT_TRUE(CImageBuilder::CheckRecordType(r, "S7xx"));
  for (const char* stop : {"S8", "S9", "s1", "", "S", " S1"}) {
    EXPECT_FALSE(CImageBuilder::CheckRecordType(r, stop)) << stop;
    EXPECT_EQ(r.RecordType(), std::string(stop).substr(0, 2));
  }
}

}  // namespace
