// The S-record reader on real files: every data byte of every record at its own
// address whatever the line length and the profile's width, records decoded by
// their own type, the ROMHEAD check, line ends, and the damaged, cut-off and
// out-of-range files that must be refused with the line at fault.

#include <gtest/gtest.h>

#include <map>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "image/HexText.h"
#include "image/ImageTestSupport.h"
#include "support/TestDir.h"
#include "trust/FileDigest.h"

using namespace imagetest;
using V = std::vector<std::string>;

namespace {

struct ReaderFixture : ::testing::Test {
  CTestDir dir;
  CImageBuilder b{ActiveProfile};
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
  // "@address:hex" of every data byte the records gave, in file order, with the
  // value and case its address holds in the rows.
  V List() const {
    V out;
    const CRowImage& rows = b.m_rows;
    const auto size = static_cast<std::uint32_t>(rows.RowSize());
    std::map<std::uint32_t, std::size_t> rowAt;
    for (std::size_t i = 0; i < rows.Size(); ++i) rowAt[rows.Address(i)] = i;
    for (const CImageBuilder::RecordSpan& r : b.m_records) {
      for (std::uint32_t k = 0; k < r.count; ++k) {
        const std::uint32_t a = r.address + k;
        const std::string hex = rows.Hex(rowAt.at(a - a % size));
        char at[16];
        std::snprintf(at, sizeof at, "@%x:", a);
        out.push_back(at + hex.substr(2 * (a % size), 2));
      }
    }
    return out;
  }
  // The last box shown, and forgets all.
  std::string Box() {
    const std::string last = boxes.empty() ? "" : boxes.back();
    boxes.clear();
    return last;
  }
};

const std::string kS9 = "S9030000FC";

TEST_F(ReaderFixture, EveryDataByteOfEveryLineAtItsAddress) {
  // Lines of 32 bytes under a record size of 16: nothing is cut off. The header
  // text is not firmware and gives no bytes.
  ASSERT_TRUE(Read(std::string(kHeader) + "\r\n" + S1(0x8000, Seq(0, 32)) + "\r\n" +
                   S1(0x8020, Seq(0x20, 3)) + "\r\n" + kS9 + "\r\n"));
  V list = List();
  ASSERT_EQ(list.size(), 35u);
  EXPECT_EQ(list[0], "@8000:00");
  EXPECT_EQ(list[31], "@801f:1F");
  EXPECT_EQ(list[34], "@8022:22");
  EXPECT_EQ(pumps, 0);  // no window events in the 16-bit width

  // The 24-bit width: the header "HDR" (whose text once landed at 0x48) gives
  // nothing; every line read pumps one window event.
  SetMap(16, 0x18000, 0x1FFFF);
  ASSERT_TRUE(Read(std::string(kHeader) + "\n" + S2(0x18000, Seq(0, 64)) + "\nS804000000FB\n"));
  list = List();
  ASSERT_EQ(list.size(), 64u);
  EXPECT_EQ(list.front(), "@18000:00");
  EXPECT_EQ(list.back(), "@1803f:3F");
  EXPECT_EQ(pumps, 3);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(ReaderFixture, RecordsDecodedByTheirOwnType) {
  // A 24-bit device: S1, S2 and S3 lines each with their own address length; S5
  // counts the data records before it; lower-case digits are read and the data's
  // case is kept; S7 ends the file.
  SetMap(16, 0x18000, 0x1FFFF);
  EXPECT_FALSE(Read(std::string(kHeader) + "\n" + S2(0x18000, "ab0c") + "\n" +
                    SLine('3', 4, 0x18002, "Dd11") + "\n" + S1(0x0010, "22") + "\n" +
                    SLine('5', 2, 3, "") + "\ns70500018000e1\n" + S1(0x20, "33")));
  EXPECT_EQ(boxes, V{"S19 File Format Error ! Line 6"});  // "s7" is no record
  boxes.clear();
  ASSERT_TRUE(Read(std::string(kHeader) + "\n" + S2(0x18000, "ab0c") + "\n" +
                   SLine('3', 4, 0x18002, "Dd11") + "\n" + S1(0x0010, "22") + "\n" +
                   SLine('5', 2, 3, "") + "\n" + SLine('7', 4, 0x18000, "") + "\n"));
  EXPECT_EQ(List(), (V{"@18000:ab", "@18001:0c", "@18002:Dd", "@18003:11", "@10:22"}));

  // A 16-bit device takes S2 and S3 lines whose bytes fit 16 bits; S6 is a
  // count record too.
  SetMap(16, 0x8000, 0xFFFF);
  ASSERT_TRUE(Read(std::string(kHeader) + "\n" + S2(0x8000, "01") + "\n" +
                   SLine('3', 4, 0xFFFE, "0203") + "\n" + SLine('6', 3, 2, "")));
  EXPECT_EQ(List(), (V{"@8000:01", "@fffe:02", "@ffff:03"}));
  EXPECT_TRUE(boxes.empty());
}

TEST_F(ReaderFixture, NothingButBlankLinesAndOneCtrlZAfterTheEnd) {
  const std::string one = std::string(kHeader) + "\n" + S1(0x8000, Seq(0, 16)) + "\n" + kS9;
  // Two files joined with cat, a stray S9 in the middle, a record after blank
  // lines: refused at the first record after the end.
  EXPECT_FALSE(Read(one + "\n" + one + "\n"));
  EXPECT_EQ(Box(), "S19 File Format Error ! Line 4");
  EXPECT_FALSE(Read(std::string(kHeader) + "\n" + S1(0x8000, "11") + "\n" + kS9 + "\n" +
                    S1(0x8001, "22") + "\n" + kS9 + "\n"));
  EXPECT_EQ(Box(), "S19 File Format Error ! Line 4");
  EXPECT_FALSE(Read(one + "\n\n  \n" + S1(0x9000, "AA") + "\n"));
  EXPECT_EQ(Box(), "S19 File Format Error ! Line 6");
  // Ctrl-Z is the last line or refused; blank lines may follow the end.
  EXPECT_FALSE(Read(one + "\r\n\x1A\r\n" + S1(0x9000, "AA")));
  EXPECT_EQ(Box(), "S19 File Format Error ! Line 5");
  EXPECT_FALSE(Read(one + "\n\x1A\n\x1A\n"));
  EXPECT_EQ(Box(), "S19 File Format Error ! Line 5");
  for (const std::string tail : {"\n", "\n\n \n", "\r\n\x1A", "\r\n\x1A\r\n", "\n\n\x1A\n"}) {
    EXPECT_TRUE(Read(one + tail)) << Box();
    EXPECT_EQ(List().size(), 16u);
  }
}

TEST_F(ReaderFixture, AnEndlessLineIsRefusedInBoundedMemory) {
  // The longest record has 255 bytes after its count byte: 514 characters.
  const std::string longest = SLine('0', 2, 0, std::string(2 * 252, '3'));
  ASSERT_EQ(longest.size(), 514u);
  EXPECT_TRUE(Read(longest + "\n" + S1(0x8000, "11") + "\n" + kS9));
  EXPECT_FALSE(Read(longest + "0\n" + S1(0x8000, "11") + "\n" + kS9));
  EXPECT_EQ(Box(), "S19 File Format Error ! Line 1");
  // 8 MiB without a line end, and binary zeros after a good line.
  EXPECT_FALSE(Read(std::string(kHeader) + "\n" + std::string(8 << 20, 'S')));
  EXPECT_EQ(Box(), "S19 File Format Error ! Line 2");
  EXPECT_FALSE(Read(std::string(kHeader) + "\n" + std::string(1 << 20, '\0')));
  EXPECT_EQ(Box(), "S19 File Format Error ! Line 2");
#ifndef _WIN32
  EXPECT_FALSE(b.ReadSRecordFile("/dev/zero"));
  EXPECT_EQ(Box(), "S19 File Format Error ! Line 1");
  // A FIFO nobody writes into would block the window: refused at once.
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(b.ReadSRecordFile(dir.File("fifo")));
  EXPECT_EQ(Box(), "Read File Error !");
#endif
}

TEST_F(ReaderFixture, SecondAcceptedLineMustStartAtRomHead) {
  EXPECT_FALSE(Read(S1(0x8000, Seq(0, 16)) + "\n" + S1(0x8010, Seq(0, 16)) + "\n" + kS9));
  EXPECT_TRUE(b.m_rows.Empty());                     // nothing of a refused file stays
  EXPECT_TRUE(Read(S1(0x1234, "AA") + "\n" + kS9));  // a single line is never compared
  EXPECT_FALSE(Read(std::string(kHeader) + "\n" + S1(0x8001, "AA") + "\n" + kS9));
  // The true address of an S3 line in a 24-bit profile, not its first three bytes.
  SetMap(16, 0x18000, 0x1FFFF);
  EXPECT_FALSE(Read(std::string(kHeader) + "\n" + SLine('3', 4, 0x01800000, "AA") + "\n" + kS9));
  EXPECT_TRUE(Read(std::string(kHeader) + "\n" + SLine('3', 4, 0x18000, "AA") + "\n" + kS9));
  EXPECT_EQ(boxes, V(3, "Flash File doesn't match the config file !"));
}

TEST_F(ReaderFixture, BytesBeyondTheAddressWidthRefuseTheFile) {
  const std::string head = std::string(kHeader) + "\n" + S1(0x8000, "00") + "\n";
  // 16 bits: a line crossing 0xFFFF, an S2 line above it.
  EXPECT_FALSE(Read(head + S1(0xFFFE, "010203") + "\n" + kS9));
  EXPECT_EQ(Box(), "S19 File Address Error ! Line 3");
  EXPECT_TRUE(Read(head + S1(0xFFFD, "010203") + "\n" + kS9));
  EXPECT_FALSE(Read(head + S2(0x10000, "01") + "\n" + kS9));
  EXPECT_EQ(Box(), "S19 File Address Error ! Line 3");
  // 24 bits: an S3 line crossing 0xFFFFFF.
  SetMap(16, 0x18000, 0x1FFFF);
  const std::string wide = std::string(kHeader) + "\n" + S2(0x18000, "00") + "\n";
  EXPECT_FALSE(Read(wide + SLine('3', 4, 0xFFFFFF, "0102") + "\n" + kS9));
  EXPECT_EQ(Box(), "S19 File Address Error ! Line 3");
  EXPECT_TRUE(Read(wide + SLine('3', 4, 0xFFFFFF, "01") + "\n" + kS9));
  EXPECT_TRUE(boxes.empty());
}

TEST_F(ReaderFixture, DamagedFilesAreRefusedAtTheirLine) {
  const std::string good = std::string(kHeader) + "\n" + S1(0x8000, Seq(0, 32)) + "\n" +
                           S1(0x8020, Seq(0x20, 32)) + "\n";
  const std::string line2 = S1(0x8000, Seq(0, 32));
  auto with = [&](const std::string& second) {
    return std::string(kHeader) + "\n" + second + "\n" + S1(0x8020, Seq(0x20, 32)) + "\n" + kS9;
  };
  std::string flipped = line2;
  flipped[20] = flipped[20] == '7' ? '8' : '7';
  std::string nonHex = line2;
  nonHex[20] = 'G';
  std::string nul = line2;
  nul[20] = '\0';
  const struct {
    std::string text;
    std::string box;
  } cases[] = {
      {with(flipped), "S19 File Checksum Error ! Line 2"},
      {with(nonHex), "S19 File Format Error ! Line 2"},
      {with(nul), "S19 File Format Error ! Line 2"},
      {with(line2.substr(0, 20) + line2.substr(21)), "S19 File Format Error ! Line 2"},
      {with(line2.substr(0, 20) + line2.substr(22)), "S19 File Format Error ! Line 2"},
      {with(line2 + "00"), "S19 File Format Error ! Line 2"},
      {with("S1028000"), "S19 File Format Error ! Line 2"},  // no room for its address
      {with(std::string("s") + line2.substr(1)), "S19 File Format Error ! Line 2"},
      {with(std::string("S4") + line2.substr(2)), "S19 File Format Error ! Line 2"},
      {with("garbage"), "S19 File Format Error ! Line 2"},
      {good + "\n" + kS9, "S19 File Format Error ! Line 4"},  // a blank line inside
      {good + "  \n" + kS9, "S19 File Format Error ! Line 4"},
      {good + SLine('5', 2, 3, "") + "\n" + kS9, "S19 File Format Error ! Line 4"},
      {good, "S19 File Is Incomplete ! Line 4"},  // cut off at a line end
      {good + "\n\n", "S19 File Is Incomplete ! Line 4"},
      {good.substr(0, good.size() - 1), "S19 File Is Incomplete ! Line 4"},
      {"", "S19 File Is Incomplete ! Line 1"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(Read(c.text)) << c.box;
    EXPECT_EQ(Box(), c.box) << c.text.substr(0, 80);
  }
  // A matching count record may end the file (trailing blank lines are fine), and
  // so may a termination record after it.
  EXPECT_TRUE(Read(good + SLine('5', 2, 2, "") + "\r\n\r\n"));
  EXPECT_TRUE(Read(good + SLine('5', 2, 2, "") + "\n" + kS9 + "\n"));
  EXPECT_EQ(List().size(), 64u);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(ReaderFixture, EveryLineEndEndsALine) {
  const std::string a = S1(0x8000, Seq(0, 16)), c = S1(0x8010, Seq(0x10, 16));
  for (const char* end : {"\n", "\r\n", "\r"}) {
    ASSERT_TRUE(Read(std::string(kHeader) + end + a + end + c + end + kS9 + end));
    EXPECT_EQ(List().size(), 32u) << (end[0] == '\r' ? "CR" : "LF");
  }
  // A line longer than the read chunk is whole; a CR LF split between two chunks
  // is one line end.
  const std::string longLine = S1(0x8010, Seq(0x10, 250));  // 511 characters
  std::string big = std::string(kHeader) + "\r\n" + a;
  for (int i = 0; i < 300; ++i) big += "\r\n" + longLine;
  ASSERT_TRUE(Read(big + "\r\n" + kS9));
  EXPECT_EQ(List().size(), 16u + 300u * 250u);
  // Filler lines bring the CR of a CR LF to the last byte of the first 64 KiB
  // chunk; read as two line ends it would make a blank line inside the file.
  std::string split = std::string(kHeader) + "\n" + S1(0x8000, "AA") + "\n";
  const std::size_t crAt = 64 * 1024 - 1;
  while (crAt - split.size() > 600) split += S1(0x8001, Seq(0, 250)) + "\n";
  if ((crAt - split.size()) % 2 != 0) {  // one CR LF line end in place of an LF
    split.back() = '\r';
    split += '\n';
  }
  const std::size_t last = (crAt - split.size() - 10) / 2;  // data bytes of the last filler
  split += S1(0x8001, Seq(0, static_cast<int>(last)));
  ASSERT_EQ(split.size(), crAt);
  ASSERT_TRUE(Read(split + "\r\n" + S1(0x8001, "BB") + "\n" + kS9));
  EXPECT_EQ(List().back(), "@8001:BB");
  EXPECT_TRUE(boxes.empty());
}

TEST_F(ReaderFixture, TheDigestIsOfEveryByteReadHoweverLargeTheFile) {
  // Above 4 MiB the digest is taken beside the reading, chunk by chunk: it must
  // still be of every byte, in order, and a file refused near its end must stop
  // both cleanly.
  SetMap(32, 0x10000, 0xFFFFFF);
  std::string file = std::string(kHeader) + "\r\n";
  for (unsigned a = 0x10000; file.size() < (5u << 20); a += 250)
    file += S2(a, Seq(static_cast<int>(a), 250)) + (a % 3 == 0 ? "\n" : "\r\n");
  const std::string good = file + "S804000000FB\n";
  ASSERT_TRUE(Read(good));
  const std::string expected = Sha256Hex(good.data(), good.size());
  EXPECT_EQ(b.FileSha256(), expected);
  EXPECT_EQ(b.FileSize(), good.size());
  ASSERT_TRUE(b.ReadSRecordBytes(std::vector<std::uint8_t>(good.begin(), good.end())));
  EXPECT_EQ(b.FileSha256(), expected);
  EXPECT_FALSE(Read(file + "S8040000FB\n"));
  EXPECT_EQ(Box().substr(0, 24), "S19 File Format Error ! ");
  EXPECT_TRUE(b.FileSha256().empty());
}

TEST_F(ReaderFixture, FilesThatCannotBeRead) {
  ASSERT_TRUE(Read(std::string(kHeader) + "\n" + S1(0x8000, "AA") + "\n" + kS9));
  EXPECT_FALSE(b.ReadSRecordFile(dir.File("missing.s19")));
  EXPECT_EQ(List().size(), 1u);                 // the earlier list stays
  EXPECT_FALSE(b.ReadSRecordFile(dir.Path()));  // a directory opens but cannot be read
  EXPECT_EQ(boxes, V(2, "Read File Error !"));
}

TEST(HexPair, ValuesAndMalformedPairs) {
  EXPECT_EQ(hextext::PairValue('7', 'f'), 127);
  EXPECT_EQ(hextext::PairValue('F', 'a'), 250);
  for (const char* bad : {"G0", " 1", "0x",
                          "\xff"
                          "0"}) {
    EXPECT_EQ(hextext::PairValue(bad[0], bad[1]), 0) << bad;
  }
}

}  // namespace
