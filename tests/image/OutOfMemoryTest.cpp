// Running out of memory in each stage of the build: the stage's message box, its
// false answer, the pipeline's error line and a disabled Update Firmware.
// Allocations are made to fail by replacing the global operator new (and new[])
// of this test program: while armed, every request of at least g_failFrom bytes
// throws.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

#include "app/UpdaterDlg.h"
#include "image/ImageTestSupport.h"
#include "support/ScriptedWindowSystem.h"
#include "support/TestDir.h"

namespace {
std::atomic<std::size_t> g_failFrom{std::numeric_limits<std::size_t>::max()};
}  // namespace

void* operator new(std::size_t n) {
  if (n >= g_failFrom.load()) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// The array forms too: the default ones need not go through the one above (the
// address sanitizer's runtime, for one, brings its own), and the builders' large
// buffers are arrays.
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace imagetest;

namespace {

// Fails large allocations for as long as it lives.
struct FailAllocations {
  explicit FailAllocations(std::size_t from) { g_failFrom = from; }
  ~FailAllocations() { g_failFrom = std::numeric_limits<std::size_t>::max(); }
};

// 1 MiB of data from 0x100000, record size 32: the first line at ROMHEAD, the
// others from the top down, so that the rows have to be sorted.
std::string BigFile() {
  constexpr unsigned kHead = 0x100000, kEnd = kHead + (1u << 20);
  std::string file = std::string(kHeader) + "\n" + S2(kHead, Seq(0, 32)) + "\n";
  for (unsigned a = kEnd - 32; a > kHead; a -= 32)
    file += S2(a, Seq(static_cast<int>(a >> 5), 32)) + "\n";
  return file + "S804000000FB\n";
}

TEST(OutOfMemory, EachStageReportsAndFails) {
  CTestDir dir;
  CImageBuilder b{ActiveProfile};
  std::vector<std::string> boxes;
  b.SetMessageBox([&](const std::string& t) { boxes.push_back(t); });
  SetMap(32, 0x100000, 0xFFFFFF, 0x200, 0x100400);
  dir.Write("fw.s19", BigFile());
  {
    FailAllocations fail(300 * 1024);  // the rows cannot grow past 300 KiB
    EXPECT_FALSE(b.ReadSRecordFile(dir.File("fw.s19")));
    EXPECT_TRUE(b.m_rows.Empty());
  }
  ASSERT_TRUE(b.ReadSRecordFile(dir.File("fw.s19")));
  {
    FailAllocations fail(100 * 1024);  // no room to sort the 32 Ki rows
    EXPECT_FALSE(b.BuildRowList());
    EXPECT_TRUE(b.m_rows.Empty());
  }
  ASSERT_TRUE(b.ReadSRecordFile(dir.File("fw.s19")));
  ASSERT_TRUE(b.BuildRowList());
  {
    FailAllocations fail(300 * 1024);  // no room for the laid-out rows
    EXPECT_FALSE(b.LayoutFlashPages());
    EXPECT_TRUE(b.m_rows.Empty());
  }
  ASSERT_TRUE(b.ReadSRecordFile(dir.File("fw.s19")));
  ASSERT_TRUE(b.BuildRowList());
  ASSERT_TRUE(b.LayoutFlashPages());
  {
    FailAllocations fail(48 * 1024);  // no output buffer
    EXPECT_FALSE(b.WriteRowsText());
    EXPECT_FALSE(b.WriteRowsBinary("tmp.bin"));
  }
  EXPECT_EQ(boxes, (std::vector<std::string>{"S19 File Error (A) !", "S19 File Error (B) !",
                                             "Not enough memory for the flash image !",
                                             "TXT File Write Error !", "BIN File Write Error !"}));

  // Through the File command: the box, the error line, Update Firmware disabled.
  CScriptedWindowSystem ws;
  CUpdaterDlg dlg(ws, SolvaneStrings());
  ws.combo = {"COM1"};
  ws.comboSelection = 0;
  ws.fileAnswers.push_back(dir.File("fw.s19"));
  ws.Enable(IDC_UPDATE, true);
  {
    FailAllocations fail(200 * 1024);
    dlg.OnFileButton();
  }
  ASSERT_EQ(ws.logLines.size(), 5u);
  EXPECT_EQ(ws.logLines[3], "Build S19 block list error");
  ASSERT_EQ(ws.boxes.size(), 1u);
  EXPECT_EQ(ws.boxes[0].text, "S19 File Error (A) !");
  EXPECT_FALSE(ws.IsEnabled(IDC_UPDATE));
}

}  // namespace
