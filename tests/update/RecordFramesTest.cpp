#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "update/RecordFrames.h"

namespace {

// A tmp.bin row: length, address (3 bytes), count, data.
Bytes Row(std::uint32_t address, const Bytes& data) {
  Bytes row(data.size() + 5);
  row[0] = static_cast<std::uint8_t>(data.size() + 4);
  row[1] = static_cast<std::uint8_t>(address >> 16);
  row[2] = static_cast<std::uint8_t>(address >> 8);
  row[3] = static_cast<std::uint8_t>(address);
  row[4] = static_cast<std::uint8_t>(data.size());
  std::copy(data.begin(), data.end(), row.begin() + 5);
  return row;
}

Bytes Counting(int n) {
  Bytes data(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  return data;
}

Bytes Cat(Bytes head, const Bytes& tail, std::uint8_t last) {
  head.insert(head.end(), tail.begin(), tail.end());
  head.push_back(last);
  return head;
}

bool Contains(const char* reply, const char* expected) {
  return ReplyContains(reinterpret_cast<const std::uint8_t*>(reply), std::strlen(reply) + 1,
                       expected);
}

}  // namespace

TEST(RecordFrames, DataFramesMatchTheWireExamples) {
  EXPECT_EQ(BuildDataFrame(Row(0x001230, Counting(16)).data(), 16, false),
            Cat({0x15, 0x10, 0x12, 0x30}, Counting(16), 0x27));
  EXPECT_EQ(BuildDataFrame(Row(0x001240, Counting(32)).data(), 32, false),
            Cat({0x25, 0x20, 0x12, 0x40}, Counting(32), 0x57));
  EXPECT_EQ(BuildDataFrame(Row(0x012340, Counting(16)).data(), 16, true),
            Cat({0x16, 0x01, 0x23, 0x40, 0x10}, Counting(16), 0x64));
  EXPECT_EQ(BuildDataFrame(Row(0x012340, Bytes(32, 0xFF)).data(), 32, true),
            Cat({0x26, 0x01, 0x23, 0x40, 0x20}, Bytes(32, 0xFF), 0x64));
}

TEST(RecordFrames, SixteenBitLayoutDropsTheTopAddressByteAndIgnoresRowHeader) {
  Bytes row = Row(0x7A1230, Counting(16));
  row[0] = 0x99;  // the row's own length and count are never used
  row[4] = 0x01;
  EXPECT_EQ(BuildDataFrame(row.data(), 16, false),
            Cat({0x15, 0x10, 0x12, 0x30}, Counting(16), 0x27));
  // A fill row: an even number of FF bytes cancels out of the check byte.
  const Bytes fill = BuildDataFrame(Row(0x008000, Bytes(16, 0xFF)).data(), 16, false);
  EXPECT_EQ(fill.back(), 0x15 ^ 0x10 ^ 0x80 ^ 0x00);
  EXPECT_TRUE(BuildDataFrame(Row(0x008000, Counting(64)).data(), 64, false).empty());
}

TEST(RecordFrames, ConstantMessages) {
  EXPECT_EQ(EndOfFileFrame(false), (Bytes{0x08, 0x03, 0x00, 0x00, 0x45, 0x4F, 0x46, 0x47}));
  EXPECT_EQ(EndOfFileFrame(true), (Bytes{0x08, 0x00, 0x00, 0x00, 0x04, 0x45, 0x4F, 0x46, 0x47}));
  EXPECT_EQ(BaudRateCommand(), (Bytes{0x03, 0x42, 0x01}));
  EXPECT_EQ(ProgrammingModeCommand("UPS#"), (Bytes{'U', 'P', 'S', 0x0D}));
  EXPECT_EQ(ProgrammingModeCommand("#"), (Bytes{0x0D}));
  EXPECT_TRUE(ProgrammingModeCommand("").empty());
  EXPECT_TRUE(ProgrammingModeCommand("UPS").empty());
  EXPECT_TRUE(ProgrammingModeCommand("U#S").empty());
}

TEST(RecordFrames, RowStrideAndAddress) {
  EXPECT_EQ(RowStride(16), 21);
  EXPECT_EQ(RowStride(32), 37);
  EXPECT_EQ(RowStride(64), 69);
  EXPECT_EQ(RowStride(8), 0);
  EXPECT_EQ(RowAddress(Row(0x01F2E0, Counting(16)).data()), 0x01F2E0u);
}

TEST(RecordFrames, RepliesAreSearchedUpToTheFirstZero) {
  EXPECT_TRUE(Contains("A\r", "A\r"));
  EXPECT_TRUE(Contains("xxA\ryy", "A\r"));
  EXPECT_FALSE(Contains("A", "A\r"));
  EXPECT_FALSE(Contains("A\n", "A\r"));
  EXPECT_TRUE(Contains("\xff#FH\r", "#FH\r"));
  EXPECT_TRUE(Contains("garbage#FH", "#FH"));
  EXPECT_FALSE(Contains("#FH", "#FH\r"));
  const std::uint8_t hidden[] = {'x', 0, 'A', '\r', 0};
  EXPECT_FALSE(ReplyContains(hidden, sizeof hidden, "A\r"));
  // No terminating zero inside the area: the search ends at its size.
  const std::uint8_t full[] = {'A', '\r', 'A'};
  EXPECT_TRUE(ReplyContains(full, 2, "A\r"));
  EXPECT_FALSE(ReplyContains(full, 1, "A\r"));
}
