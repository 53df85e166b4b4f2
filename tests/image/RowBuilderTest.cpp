// Data records -> rows: one row per block at the block's start, fill before, inside
// and after the file's bytes, blocks left and come back to, gaps of whole blocks,
// bytes that arrive out of order, and the case each byte was last written in.

#include <gtest/gtest.h>

#include "image/ImageTestSupport.h"

using namespace imagetest;
using V = std::vector<std::string>;

namespace {

struct RowCase {
  int recordSize;
  std::vector<std::pair<unsigned, std::string>> bytes;  // runs of bytes in file order
  V rows;
};

class RowBuilderCases : public ::testing::TestWithParam<RowCase> {};

TEST_P(RowBuilderCases, GiveTheRows) {
  const RowCase& c = GetParam();
  SetMap(c.recordSize, 0, 0xFFFF);
  CImageBuilder b{ActiveProfile};
  ASSERT_TRUE(ReadRuns(b, c.bytes));
  ASSERT_TRUE(b.BuildRowList());
  EXPECT_EQ(Show(b.m_rows), c.rows);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, RowBuilderCases,
    ::testing::Values(
        RowCase{16, {{0x8005, "A5"}}, {"14-008000-10-" + F(5) + "A5" + F(10)}},
        RowCase{32,
                {{0x8000, Seq(0, 16)}, {0x8013, Seq(0x13, 4)}},
                {"24-008000-20-" + Seq(0, 16) + F(3) + Seq(0x13, 4) + F(9)}},
        // starting on a 16-byte boundary inside a block: the row is the block's
        // (running on into the next block would put fill over its bytes)
        RowCase{32, {{0x8030, Seq(0, 16)}}, {"24-008020-20-" + F(16) + Seq(0, 16)}},
        RowCase{32,
                {{0x8000, Seq(0, 16)}, {0x8410, Seq(0, 16)}, {0x8420, Seq(0x20, 32)}},
                {"24-008000-20-" + Seq(0, 16) + F(16), "24-008400-20-" + F(16) + Seq(0, 16),
                 "24-008420-20-" + Seq(0x20, 32)}},
        RowCase{32, {{0x8033, Seq(0, 4)}}, {"24-008020-20-" + F(19) + Seq(0, 4) + F(9)}},
        RowCase{32, {{0x8013, Seq(0, 13)}}, {"24-008000-20-" + F(19) + Seq(0, 13)}},
        RowCase{16, {{0x8013, Seq(0, 4)}}, {"14-008010-10-" + F(3) + Seq(0, 4) + F(9)}},
        RowCase{64, {{0x8023, Seq(0, 4)}}, {"44-008000-40-" + F(35) + Seq(0, 4) + F(25)}},
        // full blocks stay as they are; a gap of whole blocks leaves no row
        RowCase{16,
                {{0x8000, Seq(0, 16)}, {0x8040, Seq(0, 16)}},
                {"14-008000-10-" + Seq(0, 16), "14-008040-10-" + Seq(0, 16)}},
        // a block left and come back to gives one row holding all its bytes
        RowCase{16,
                {{0x8000, "11"}, {0x8010, "22"}, {0x8002, "33"}},
                {"14-008000-10-11FF33" + F(13), "14-008010-10-22" + F(15)}},
        // ... and an address given again holds its last value
        RowCase{16,
                {{0x8000, "1122"}, {0x8010, "44"}, {0x8001, "33"}},
                {"14-008000-10-1133" + F(14), "14-008010-10-44" + F(15)}},
        // rows come out in address order, whatever order the file has
        RowCase{16,
                {{0x8020, "20"}, {0x8000, "00"}, {0x8010, "10"}},
                {"14-008000-10-00" + F(15), "14-008010-10-10" + F(15), "14-008020-10-20" + F(15)}},
        // bytes that go down or repeat stay at their addresses, the later one wins,
        // and the row keeps one record size
        RowCase{16,
                {{0x8008, "88"}, {0x8002, "22"}, {0x8008, "99"}, {0x8003, "33"}},
                {"14-008000-10-" + F(2) + "2233" + F(4) + "99" + F(7)}},
        RowCase{32,
                {{0x8010, Seq(0x10, 16)}, {0x8000, Seq(0, 16)}},
                {"24-008000-20-" + Seq(0, 32)}},
        // a row on a 16-byte boundary at the top of the width does not run past it
        RowCase{32, {{0xFFF0, "AA"}}, {"24-00ffe0-20-" + F(16) + "AA" + F(15)}},
        RowCase{64, {{0xFFE0, Seq(0, 32)}}, {"44-00ffc0-40-" + F(32) + Seq(0, 32)}}));

TEST(RowBuilder, CaseAsWrittenAndOutOfOrderBlocks) {
  SetMap(16, 0, 0xFFFF);
  CImageBuilder b{ActiveProfile};
  // Lower and mixed case stay as written, fill stays "FF", and a byte written
  // again takes the case of its last writing, in rows made out of order.
  ASSERT_TRUE(ReadRuns(b, {{0x8020, "aBcD"},
                           {0x8000, "ff00"},
                           {0x8021, "EE"},
                           {0x8001, "0a"},
                           {0x8010, "Ab"},
                           {0x8000, "FF"}}));
  ASSERT_TRUE(b.BuildRowList());
  EXPECT_EQ(Show(b.m_rows), (V{"14-008000-10-FF0a" + F(14), "14-008010-10-Ab" + F(15),
                               "14-008020-10-aBEE" + F(14)}));
}

TEST(RowBuilder, NoDataAndARecordSizeChangedSinceTheRead) {
  SetMap(16, 0x8000, 0xFFFF);
  CImageBuilder b{ActiveProfile};
  V boxes;
  b.SetMessageBox([&](const std::string& t) { boxes.push_back(t); });
  const std::string empty = std::string(kHeader) + "\n" + S1(0x8000, "") + "\nS9030000FC\n";
  ASSERT_TRUE(b.ReadSRecordBytes(std::vector<std::uint8_t>(empty.begin(), empty.end())));
  EXPECT_FALSE(b.BuildRowList());
  EXPECT_TRUE(b.m_rows.Empty());
  ASSERT_TRUE(ReadRuns(b, {{0x8000, "11"}}));
  ActiveProfile.recordSize = 32;  // the rows are of 16: their blocks are not the map's
  EXPECT_FALSE(b.BuildRowList());
  EXPECT_TRUE(b.m_rows.Empty());
  EXPECT_EQ(boxes, (V{"S19 File Error (B) !", "S19 File Error (B) !"}));
}

}  // namespace
