// Row list -> flash page order: the marker row, the page walk
// (ending after the first row above ROMTAIL), the marker page with its doubled
// fill row, the 64-byte split, and maps that cannot be laid out.

#include <gtest/gtest.h>

#include <map>

#include "image/ImageTestSupport.h"
#include "support/TestDir.h"

using namespace imagetest;
using V = std::vector<std::string>;

namespace {

struct LayoutFixture : ::testing::Test {
  CImageBuilder b{ActiveProfile};
  V boxes;
  LayoutFixture() {
    b.SetMessageBox([this](const std::string& t) { boxes.push_back(t); });
  }
  // Lays out rows at the addresses; the result's addresses, fill rows marked "f".
  V Laid(std::initializer_list<std::int32_t> addresses, int s = 32) {
    std::vector<std::pair<std::uint32_t, std::string>> rows;
    for (std::int32_t a : addresses) rows.emplace_back(a, Seq(a >> 4, s));
    SetRows(b, s, rows);
    EXPECT_TRUE(b.LayoutFlashPages());
    V out;
    for (std::size_t i = 0; i < b.m_rows.Size(); ++i) {
      char a[16];
      std::snprintf(a, sizeof a, "%x%s", b.m_rows.Address(i), b.m_rows.IsFill(i) ? "f" : "");
      out.push_back(a);
    }
    return out;
  }
};

TEST_F(LayoutFixture, WorkedExampleAndTheWalkThatEndsAboveRomTail) {
  SetMap(32, 0x8000, 0xFFFF, 0x200, 0x8400);
  EXPECT_EQ(
      Laid({0x8000, 0x8020, 0x8220, 0x8400, 0x8420, 0x8640}),
      (V{"8200f", "8600f", "8400f", "8200f", "8000", "8020", "8220", "8420", "8640", "8400"}));
  for (const std::string& row : Show(b.m_rows)) EXPECT_EQ(row.substr(0, 3), "24-");
  SetMap(32, 0x8000, 0x8300, 0x200, 0x8000);
  EXPECT_EQ(Laid({0x8000, 0x8420, 0x8620, 0x8820}), (V{"8400f", "8420", "8620", "8820", "8000"}));
}

TEST_F(LayoutFixture, MarkerRowAndPageStarts) {
  // Every row stays, one below ROMHEAD too; a first page entered inside gets a
  // fill row at ROMHEAD.
  SetMap(32, 0x8000, 0xFFFF, 0x200, 0x8000);
  EXPECT_EQ(Laid({0x8010, 0x40, 0x8020, 0x8200}), (V{"8000f", "40", "8020", "8200", "8010"}));
  // IAPMARK within the first page: no marker page fill; a page without rows gets none.
  SetMap(32, 0x8000, 0xFFFF, 0x200, 0x8100);
  EXPECT_EQ(Laid({0x8000, 0x8100, 0x8800, 0x8a20}), (V{"8a00f", "8000", "8800", "8a20", "8100"}));
  // No row reaches IAPMARK: nothing moves, the marker page is still filled.
  SetMap(16, 0x8000, 0xFFFF, 0x100, 0x9000);
  EXPECT_EQ(Laid({0x8000, 0x8100}, 16), (V{"8f00f", "8000", "8100"}));
  // A mark configured beyond ROMTAIL: no fill row for a page outside the flash
  // (it would run past 0xFFFF and land at the bottom of flash).
  SetMap(64, 0xFFC0, 0xFFFF, 0x40, 0x100E0);
  EXPECT_EQ(Laid({0xFFC0}, 64), (V{"ffc0", "ffe0"}));
  // A page size beyond 32-bit page arithmetic still lays out.
  SetMap(32, 0x8000, 0xFFFFFF, 0x7FFFFFFF, 0x8000);
  EXPECT_EQ(Laid({0x8000, 0x8020, 0x900010}), (V{"8000f", "8020", "900010", "8000"}));
}

TEST_F(LayoutFixture, RecordSize64IsSentAsRowsOf32WithEveryByte) {
  SetMap(64, 0x8000, 0xFFFF, 0x100, 0x8100);
  const std::initializer_list<std::int32_t> rows = {0x8000, 0x8040, 0x8100, 0x8140, 0x8240};
  std::map<std::uint32_t, std::string> before, after;  // address -> byte
  for (std::int32_t a : rows) {
    for (int k = 0; k < 64; ++k) before[a + k] = Seq(a >> 4, 64).substr(2 * k, 2);
  }
  EXPECT_EQ(Laid(rows, 64), (V{"8200f", "8220f", "8100f", "8120f", "8000", "8020", "8040", "8060",
                               "8140", "8160", "8240", "8260", "8100", "8120"}));
  EXPECT_EQ(ActiveProfile.recordSize, 64);  // the next build reads and lays out alike
  for (std::size_t i = 0; i < b.m_rows.Size(); ++i) {
    const std::string hex = b.m_rows.Hex(i);
    EXPECT_EQ(Show(b.m_rows, i).substr(0, 3) + std::to_string(hex.size()), "24-64");
    for (int k = 0; hex != F(32) && k < 32; ++k)
      after[b.m_rows.Address(i) + k] = hex.substr(2 * k, 2);
  }
  EXPECT_EQ(after, before);
}

TEST_F(LayoutFixture, MapsAndListsThatCannotBeLaidOut) {
  SetMap(32, 0x8000, 0xFFFF, 0xFFFFFE00u, 0x8000);  // "-512" in the configuration file
  SetRows(b, 32, {{0x8000, F(32)}});
  EXPECT_FALSE(b.LayoutFlashPages());
  SetMap(32, 0x8000, 0xFFFF, 0x200, 0x8000);
  SetRows(b, 32, {});
  EXPECT_FALSE(b.LayoutFlashPages());
  EXPECT_TRUE(b.m_rows.Empty());
  EXPECT_EQ(boxes, (V{"Config File PAGESIZE Error !", "Flash File has no data for the device !"}));
}

}  // namespace

// A range bound off the row grid: a row that the transfer would send (its address
// outside the range) but that reaches into the range is refused at the line of
// its first byte, a data row and a page's fill row alike.
TEST(LayoutProtectedRanges, ARowReachingIntoARangeRefusesTheFileAtItsLine) {
  CTestDir dir;
  auto build = [&](int s, unsigned iapStart, unsigned intStart, const std::string& lines) {
    SetMap(s, 0x8000, 0xFFFF, 0x200, 0x8400);
    ActiveProfile.IAPSTART = iapStart;
    ActiveProfile.IAPEND = 0xF400;
    ActiveProfile.INTSTART = intStart;
    ActiveProfile.INTEND = 0xFFE0;
    CImageBuilder b{ActiveProfile};
    std::string box;
    b.SetMessageBox([&](const std::string& t) { box = t; });
    dir.Write("fw.s19", std::string(kHeader) + "\n" + S1(0x8000, Seq(0, 16)) + "\n" +
                            S1(0x8010, Seq(0x10, 16)) + "\n" + lines + "S9030000FC\n");
    const bool ok =
        b.ReadSRecordFile(dir.File("fw.s19")) && b.BuildRowList() && b.LayoutFlashPages();
    return ok ? std::string("taken") : box;
  };
  const std::string below = S1(0xF000, "11223344") + "\n";  // line 4
  EXPECT_EQ(build(32, 0xF010, 0xFFC0, below), "S19 File Address Error ! Line 4");
  EXPECT_EQ(build(16, 0xF010, 0xFFC0, below), "taken");  // the row ends below the range
  EXPECT_EQ(build(32, 0xF000, 0xFFC0, below), "taken");  // the row lies in it: stepped over
  // The reserved range, given twice: the line of the value that would be sent.
  EXPECT_EQ(build(32, 0xF000, 0xFFD0, S1(0xFFC4, "01") + "\n" + S1(0xFFC4, "02") + "\n"),
            "S19 File Address Error ! Line 5");
  // Data only inside the range: the fill row for its page start would reach in.
  EXPECT_EQ(build(32, 0xF010, 0xFFC0, S1(0xF020, "AA") + "\n"), "S19 File Address Error ! Line 4");
  // The row at IAPEND, which USB steps over and serial sends, is judged as serial
  // sends it whatever link File was given: the link can change before Update.
  EXPECT_EQ(build(32, 0xF000, 0xF410, S1(0xF400, "11") + "\n"), "S19 File Address Error ! Line 4");
  // The empty half of a row of 64 names the line of the row's data in its page.
  EXPECT_EQ(build(64, 0xEFF0, 0xFFC0, S1(0xEFC0, "11") + "\n" + S1(0xF500, "22") + "\n"),
            "S19 File Address Error ! Line 4");
}
