// The File command in the dialog: the log of a good build and of each failing
// stage, a firmware file that is one of the intermediate files, the cancelled
// dialog, the interface choice, where the intermediate files go, clicks during a
// build, and loading tmp.bin for a transfer.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>

#include "app/UpdaterDlg.h"
#include "image/ImageTestSupport.h"
#include "support/ScriptedWindowSystem.h"
#include "support/TestDir.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace imagetest;
using V = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

const std::string kSep(36, '-');

// A file dialog that, like the platform's, leaves the current directory in the
// folder the user browsed to.
class CBrowsingWindowSystem : public CScriptedWindowSystem {
 public:
  std::string browseTo;
  std::optional<std::string> OpenFileDialog(const FileDialogRequest& request) override {
    if (!browseTo.empty()) ChangeDirectory(browseTo);
    return CScriptedWindowSystem::OpenFileDialog(request);
  }
};

struct FileCommandFixture : ::testing::Test {
  CTestDir dir;
  CBrowsingWindowSystem ws;
  CUpdaterDlg dlg{ws, SolvaneStrings()};
  const std::string good = std::string(kHeader) + "\r\n" + S1(0x8000, Seq(0, 16)) + "\r\n" +
                           S1(0x8010, Seq(0x10, 16)) + "\r\nS9030000FC\r\n";
  FileCommandFixture() {
    ws.combo = {"USB", "COM1"};
    ws.comboSelection = 1;
    ws.Enable(IDC_UPDATE, false);
    SetMap(16, 0x8000, 0xFFFF, 0x200, 0x8000);
    dir.Write("fw.mppt", good);
  }
  // Clicks File, the dialog answering answer; the lines logged.
  V Click(const std::optional<std::string>& answer) {
    const auto from = static_cast<long>(ws.logLines.size());
    ws.fileAnswers.push_back(answer);
    dlg.OnFileButton();
    return V(ws.logLines.begin() + from, ws.logLines.end());
  }
  V Boxes() {
    V out;
    for (const auto& b : ws.boxes) out.push_back(b.caption + ":" + b.text);
    ws.boxes.clear();
    return out;
  }
};

TEST_F(FileCommandFixture, GoodFileEnablesUpdateFirmware) {
  const std::string path = dir.File("fw.mppt");
  EXPECT_EQ(Click(path), (V{kSep, "The UPS firmware file name is", path, "Build S19 block list OK",
                            "Build Raw block list OK", "Write to tmp.txt file OK",
                            "Write to tmp.bin file OK", kSep}));
  EXPECT_TRUE(ws.IsEnabled(IDC_UPDATE));
  EXPECT_EQ(ws.GetText(IDC_FILENAME), path);
  EXPECT_TRUE(Boxes().empty());
  const FileDialogRequest& request = ws.fileRequests.at(0);
  EXPECT_EQ(request.filter, "Scc Firmware Files (*.mppt)|*.mppt|All Files (*.*)|*.*||");
  EXPECT_EQ(request.defaultExt + request.initialName, "*.mppt*.mppt");
  EXPECT_TRUE(request.createPrompt);
  EXPECT_EQ(fs::file_size(dir.File("tmp.bin")), 3u * 21u);
  EXPECT_EQ(dlg.Builder().m_interfaceKind, 2);
}

TEST_F(FileCommandFixture, EachFailingStageLogsItsBoxAndLine) {
  const std::string header = std::string(kHeader) + "\n";
  auto dirNamed = [&](const char* name) {
    return [this, name] {
      fs::remove(dir.File(name));
      fs::create_directory(dir.File(name));
    };
  };
  const std::vector<std::tuple<std::string, std::function<void()>, std::string, std::string>>
      cases = {
          {"", [] {}, "Read File Error !", "Build S19 block list error"},
          {header + S1(0x8010, "AA"), [] {}, "Flash File doesn't match the config file !",
           "Build S19 block list error"},
          {"S9030000FC\n", [] {}, "S19 File Error (B) !", "Build Raw block list error"},
          {header + "S9030000FC\n", [] {}, "S19 File Error (B) !", "Build Raw block list error"},
          {header + S1(0x8000, "AA"), [] {}, "S19 File Is Incomplete ! Line 3",
           "Build S19 block list error"},
          {header + "S1048000AAD2\n", [] {}, "S19 File Checksum Error ! Line 2",
           "Build S19 block list error"},
          {good, [] { ActiveProfile.PAGESIZE = 0x80000000u; }, "Config File PAGESIZE Error !",
           "Build flash page list error"},
          {good, dirNamed("tmp.txt"), "TXT File Write Error !", "Write to tmp.txt file error"},
          {good, dirNamed("tmp.bin"), "BIN File Write Error !", "Write to tmp.bin file error"}};
  for (const auto& [file, prepare, box, line] : cases) {
    SetMap(16, 0x8000, 0xFFFF, 0x200, 0x8000);
    ASSERT_EQ(Click(dir.File("fw.mppt")).size(), 8u);  // a good build first
    const std::string before = dir.Read("tmp.bin");
    const std::string path = dir.File("new.mppt");
    fs::remove(path);
    if (!file.empty()) dir.Write("new.mppt", file);
    prepare();
    const V lines = Click(path);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(V(lines.begin(), lines.begin() + 3),
              (V{kSep, "The UPS firmware file name is", path}));
    EXPECT_EQ(V(lines.end() - 2, lines.end()), (V{line, kSep}));
    EXPECT_EQ(Boxes(), V{"solvane:" + box});
    EXPECT_FALSE(ws.IsEnabled(IDC_UPDATE)) << box;
    EXPECT_EQ(ws.GetText(IDC_FILENAME), path);
    EXPECT_EQ(fs::exists(path), !file.empty());  // confirming a new name creates nothing
    if (!fs::is_directory(dir.File("tmp.bin"))) {
      EXPECT_EQ(dir.Read("tmp.bin"), before) << box;  // a stage before it failed: left as it was
    }
    fs::remove(dir.File("tmp.txt"));
    fs::remove(dir.File("tmp.bin"));
  }
}

TEST_F(FileCommandFixture, AFirmwareFileThatIsTmpTxtOrTmpBinIsRefusedUntouched) {
  // The firmware under the name of an intermediate file, by that name (also as a
  // relative answer) or by another name for the same file.
  fs::create_directory(dir.File("elsewhere"));
  const auto put = [&](const std::string& name) {
    fs::remove(dir.File(name));
    dir.Write(name, good);
    return name;
  };
  std::vector<std::function<std::string()>> firmware = {
      [&] { return dir.File(put("tmp.bin")); },
      [&] { return put("tmp.txt"); },
  };
#ifndef _WIN32
  firmware.push_back([&] {
    fs::create_hard_link(dir.File(put("tmp.bin")), dir.File("elsewhere/fw.mppt"));
    return dir.File("elsewhere/fw.mppt");
  });
  firmware.push_back([&] {
    fs::create_symlink(dir.File(put("tmp.txt")), dir.File("elsewhere/link.mppt"));
    return dir.File("elsewhere/link.mppt");
  });
#endif
  for (const auto& make : firmware) {
    fs::remove(dir.File("tmp.txt"));
    fs::remove(dir.File("tmp.bin"));
    fs::remove_all(dir.File("elsewhere"));
    fs::create_directory(dir.File("elsewhere"));
    const std::string path = make();
    const V lines = Click(path);
    ASSERT_EQ(lines.size(), 5u) << path;
    EXPECT_EQ(lines[3], "Build S19 block list error") << path;
    EXPECT_EQ(Boxes(), V{"solvane:Read File Error !"}) << path;
    EXPECT_FALSE(ws.IsEnabled(IDC_UPDATE));
    const bool isBin = fs::exists(dir.File("tmp.bin"));
    EXPECT_EQ(dir.Read(isBin ? "tmp.bin" : "tmp.txt"), good) << path;
    EXPECT_FALSE(fs::exists(dir.File(isBin ? "tmp.txt" : "tmp.bin"))) << path;
  }
  // Another file of the same contents is a firmware file like any other.
  fs::remove(dir.File("tmp.bin"));
  EXPECT_EQ(Click(dir.File(put("elsewhere/tmp.bin"))).size(), 8u);
  EXPECT_TRUE(ws.IsEnabled(IDC_UPDATE));
}

TEST_F(FileCommandFixture, CancelledDialogChangesNothing) {
  Click(dir.File("fw.mppt"));
  const V rows = Show(dlg.Builder().m_rows);
  const std::string bin = dir.Read("tmp.bin"), txt = dir.Read("tmp.txt");
  EXPECT_EQ(Click(std::nullopt), V{kSep});
  EXPECT_TRUE(ws.IsEnabled(IDC_UPDATE));
  EXPECT_EQ(ws.GetText(IDC_FILENAME), dir.File("fw.mppt"));
  EXPECT_EQ(Show(dlg.Builder().m_rows), rows);
  EXPECT_EQ(dlg.Builder().DataBytes(), 32u);
  EXPECT_EQ(dir.Read("tmp.bin") + dir.Read("tmp.txt"), bin + txt);
}

TEST_F(FileCommandFixture, InterfaceChoiceRecordSizeAndWorkingDirectory) {
  ws.comboSelection = 0;  // "USB"
  Click(dir.File("fw.mppt"));
  EXPECT_EQ(dlg.Builder().m_interfaceKind, 1);
  ws.comboSelection = -1;
  const V lines = Click(dir.File("fw.mppt"));
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[3] + "|" + lines[4], "Please select interface|Build S19 block list OK");
  EXPECT_EQ(dlg.Builder().m_interfaceKind, 1);  // as the last choice left it
  EXPECT_TRUE(ws.IsEnabled(IDC_UPDATE));
  ws.comboSelection = 1;
  ActiveProfile.recordSize = 8;  // reported once, and the build goes on
  EXPECT_EQ(Click(dir.File("fw.mppt")).size(), 8u);
  EXPECT_EQ(Boxes(), V{"solvane:Can't support this file !"});

  // Browsing to another folder (and answering with a name relative to it) does
  // not move tmp.txt and tmp.bin.
  SetMap(16, 0x8000, 0xFFFF, 0x200, 0x8000);
  fs::create_directory(dir.File("firmware"));
  dir.Write("firmware/fw.mppt", good);
  fs::remove(dir.File("tmp.bin"));
  ws.browseTo = dir.File("firmware");
  EXPECT_EQ(Click("fw.mppt")[2],
            fs::path(dir.File("firmware/fw.mppt")).lexically_normal().string());
  EXPECT_TRUE(fs::exists(dir.File("tmp.bin")));
  EXPECT_FALSE(fs::exists(dir.File("firmware/tmp.bin")));
  EXPECT_TRUE(fs::equivalent(fs::current_path(), dir.Path()));
}

TEST_F(FileCommandFixture, ClicksDuringABuildStartNothing) {
  SetMap(32, 0x18000, 0x1FFFF, 0x200, 0x18000);  // the 24-bit width pumps window events
  dir.Write("fw.mot", std::string(kHeader) + "\n" + S2(0x18000, Seq(0, 32)) + "\n" +
                          S2(0x18020, Seq(0, 32)) + "\nS804000000FB\n");
  int pumped = 0;
  ws.onPump = [&] {
    ++pumped;
    ws.fileAnswers.push_back(dir.File("fw.mot"));
    dlg.OnFileButton();
    ws.fileAnswers.pop_back();
  };
  EXPECT_EQ(Click(dir.File("fw.mot")).size(), 8u);
  EXPECT_EQ(pumped, 4);
  EXPECT_EQ(ws.fileRequests.size(), 1u);
  EXPECT_TRUE(ws.IsEnabled(IDC_UPDATE));
}

TEST_F(FileCommandFixture, RecordSize64GoesOutAsRowsOf32AndLoads) {
  // Lines of 64 bytes; every File of the same file gives the same image.
  SetMap(64, 0x8000, 0xFFFF, 0x200, 0x8000);
  dir.Write("fw.mppt", std::string(kHeader) + "\n" + S1(0x8000, Seq(0, 64)) + "\n" +
                           S1(0x8040, Seq(0x40, 64)) + "\nS9030000FC\n");
  const std::string image = Bytes("2400800020" + F(32) + "2400802020" + F(32) + "2400804020" +
                                  Seq(0x40, 32) + "2400806020" + Seq(0x60, 32) + "2400800020" +
                                  Seq(0, 32) + "2400802020" + Seq(0x20, 32));
  for (int build = 1; build <= 2; ++build) {
    Click(dir.File("fw.mppt"));
    ASSERT_TRUE(ws.IsEnabled(IDC_UPDATE));
    EXPECT_EQ(dir.Read("tmp.bin"), image) << "build " << build;
  }
  EXPECT_EQ(ActiveProfile.recordSize, 64);
  dlg.LinkKind() = 1;
  dlg.Transfer().cursor32 = dlg.Transfer().cursor16 = 7;
  EXPECT_EQ(dlg.LoadImageFile("tmp.bin"), 6 * 37);
  EXPECT_EQ(dlg.Transfer().image.size(), 6u * 37u);
  EXPECT_EQ(dlg.Transfer().cursor32 + 10 * dlg.Transfer().cursor16, 0u + 70u);
}

TEST_F(FileCommandFixture, OnlyTheTmpBinThatFileWroteIsLoaded) {
  Click(dir.File("fw.mppt"));
  const std::string built = dir.Read("tmp.bin");
  dlg.LinkKind() = 2;
  ASSERT_EQ(dlg.LoadImageFile("tmp.bin"), static_cast<int>(built.size()));
  EXPECT_EQ(std::string(dlg.Transfer().image.begin(), dlg.Transfer().image.end()), built);
  EXPECT_FALSE(dlg.ImageChanged());
  // Another updater's File in the same directory: same size, one byte differs.
  std::string other = built;
  other.back() = static_cast<char>(other.back() ^ 1);
  dir.Write("tmp.bin", other);
  EXPECT_EQ(dlg.LoadImageFile("tmp.bin"), -1);
  EXPECT_TRUE(dlg.ImageChanged());
  EXPECT_EQ(Boxes(), V{"solvane:BIN File Changed Error !"});
  EXPECT_EQ(std::string(dlg.Transfer().image.begin(), dlg.Transfer().image.end()),
            built);  // not taken
  dir.Write("tmp.bin", "");
  EXPECT_EQ(dlg.LoadImageFile("tmp.bin"), -1);
  EXPECT_EQ(dlg.LoadImageFile("missing.bin"), -1);
  EXPECT_TRUE(Boxes().empty());
  // A failed File leaves no image to send, even with the earlier tmp.bin in place.
  dir.Write("tmp.bin", built);
  dir.Write("bad.mppt", std::string(kHeader) + "\n");
  Click(dir.File("bad.mppt"));
  Boxes();
  EXPECT_EQ(dlg.LoadImageFile("tmp.bin"), -1);
  EXPECT_EQ(Boxes(), V{"solvane:BIN File Changed Error !"});

  Click(dir.File("fw.mppt"));
  dlg.LinkKind() = 0;  // no link open
  EXPECT_EQ(dlg.LoadImageFile("tmp.bin"), -1);
  dlg.LinkKind() = 1;
  ActiveProfile.recordSize = 20;
  dlg.Transfer().cursor32 = 7;
  EXPECT_EQ(dlg.LoadImageFile("tmp.bin"), static_cast<int>(built.size()));
  EXPECT_EQ(Boxes(), V{"solvane:Can't support this file !"});
  EXPECT_EQ(dlg.Transfer().cursor32, 7u);
}

TEST_F(FileCommandFixture, ATmpBinThatIsNoFileIsNoImage) {
  Click(dir.File("fw.mppt"));
  dlg.LinkKind() = 2;
  fs::remove(dir.File("tmp.bin"));
  fs::create_directory(dir.File("tmp.bin"));
  EXPECT_EQ(dlg.LoadImageFile("tmp.bin"), -1);
#ifndef _WIN32
  fs::remove(dir.File("tmp.bin"));
  ASSERT_EQ(mkfifo("tmp.bin", 0600), 0);
  auto load = std::async(std::launch::async, [this] { return dlg.LoadImageFile("tmp.bin"); });
  if (load.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "the load waits for somebody to write into the pipe";
    ::close(::open("tmp.bin", O_WRONLY | O_NONBLOCK));  // lets it go, so that the test ends
  }
  EXPECT_EQ(load.get(), -1);
#endif
  EXPECT_TRUE(Boxes().empty());
  EXPECT_FALSE(dlg.ImageChanged());
}

}  // namespace
