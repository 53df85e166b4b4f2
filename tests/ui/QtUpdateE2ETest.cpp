// Whole updates through the real Qt window, driven as a technician drives it: the
// interface picked from the combo box's list, the firmware picked with File in the
// file dialog, Update Firmware pressed, the success box answered. The device is
// the iapsim simulator, a separate program, over a pty standing in for COM1 or over
// the socket HID channel. Every wait is bounded; a watchdog kills the simulator and
// then the test program should the window ever stop serving its event loop.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTimer>
#include <QtTest/QTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/UpdaterDlg.h"
#include "journal/Journal.h"
#include "support/ChildProcess.h"
#include "support/TestDir.h"
#include "ui/QtTestSupport.h"
#include "ui/qt/QtFileDialog.h"
#include "ui/qt/QtMainDialog.h"
#include "ui/qt/QtWindowSystem.h"

namespace {

namespace fs = std::filesystem;

using testproc::ReadFile;
using CSimulator = testproc::CChild;

std::vector<std::string> TextLines(const std::string& text) { return testproc::Lines(text); }

// Guards against a window that stops serving its event loop (a deadlock between
// the GUI thread and a worker): the bounded waits below could not end then.
// First the simulator is killed, which ends every link wait; if even that does
// not free the test, the program ends with a message instead of hanging.
class CWatchdog {
 public:
  CWatchdog(int seconds, CSimulator& sim) {
    m_thread = std::thread([this, seconds, &sim] {
      std::unique_lock<std::mutex> lock(m_mutex);
      if (m_done.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_over; })) return;
      std::fprintf(stderr, "watchdog: test still running after %d s, killing iapsim\n", seconds);
      sim.Signal(SIGKILL);
      if (m_done.wait_for(lock, std::chrono::seconds(20), [this] { return m_over; })) return;
      std::fprintf(stderr, "watchdog: the window does not come back, giving up\n");
      std::_Exit(3);
    });
  }
  ~CWatchdog() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_over = true;
    }
    m_done.notify_all();
    m_thread.join();
  }
  CWatchdog(const CWatchdog&) = delete;
  CWatchdog& operator=(const CWatchdog&) = delete;

 private:
  std::mutex m_mutex;
  std::condition_variable m_done;
  bool m_over = false;
  std::thread m_thread;
};

// Runs the GUI thread's event loop until done() holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, int milliseconds) {
  if (done()) return true;
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  poll.start(5);
  QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
  loop.exec();
  return done();
}

// One example device of examples/: its files and the flash map of its INI.
struct ExampleDevice {
  const char* variant;
  const char* folder;
  const char* configName;
  const char* firmwareName;
  bool address24;
  int recordSize;
  std::uint32_t iapStart, iapEnd, intStart, intEnd;
};

const ExampleDevice kSolvane{
    "solvane", "solvane", "MpptConfigFile.ini", "firmware.mppt", false, 32, 0xF000, 0xF400,
    0xFFC0,    0xFFE0};
const ExampleDevice kCastrel{
    "castrel", "castrel", "InvConfigFile.ini", "firmware.S19", true, 16, 0x010800, 0x010C00,
    0x011200,  0x011240};

enum class Link { kSerial, kHid };

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  static const char* digits = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

// Address and data of every frame the device must receive for a tmp.bin, worked
// out from the row layout (length, address 23..0, count, data): the whole rows
// outside the protected ranges, in order. Over USB the row at IAPEND belongs to the
// programmer, over serial it does not.
std::vector<std::string> ExpectedAddressAndData(const std::string& image, const ExampleDevice& d,
                                                Link link) {
  const std::size_t stride = static_cast<std::size_t>(d.recordSize) + 5;
  std::vector<std::string> frames;
  for (std::size_t at = 0; at + stride <= image.size(); at += stride) {
    const auto* row = reinterpret_cast<const std::uint8_t*>(image.data() + at);
    const std::uint32_t address = (std::uint32_t{row[1]} << 16) | (row[2] << 8) | row[3];
    const bool inIap =
        address >= d.iapStart && (link == Link::kHid ? address <= d.iapEnd : address < d.iapEnd);
    const bool inInt = address >= d.intStart && address <= d.intEnd;
    if (inIap || inInt) continue;
    const std::size_t addressBytes = d.address24 ? 3 : 2;
    frames.push_back(Hex(row + 4 - addressBytes, addressBytes) +
                     Hex(row + 5, static_cast<std::size_t>(d.recordSize)));
  }
  return frames;
}

// The same out of one hex line of the simulator's frames file.
std::string AddressAndDataOf(const std::string& hexLine, const ExampleDevice& d) {
  const std::size_t n = static_cast<std::size_t>(d.recordSize);
  // 16-bit: length, count, address 15..0, data; 24-bit: length, address 23..0, count, data.
  const std::size_t addressAt = d.address24 ? 1 : 2;
  const std::size_t dataAt = d.address24 ? 5 : 4;
  const std::size_t addressBytes = d.address24 ? 3 : 2;
  if (hexLine.size() < 2 * (dataAt + n)) return "short frame " + hexLine;
  return hexLine.substr(2 * addressAt, 2 * addressBytes) + hexLine.substr(2 * dataAt, 2 * n);
}

class QtUpdateE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApp();
    ::unsetenv("IAP_COM1");
    ::unsetenv("IAP_HID_SOCKET");
    // The test run names a journal of its own; a test may point it elsewhere.
    if (const char* journal = std::getenv("IAP_JOURNAL")) runJournal = journal;
  }
  void TearDown() override {
    dlg.reset();
    ws.reset();
    ::unsetenv("IAP_COM1");
    ::unsetenv("IAP_HID_SOCKET");
    if (runJournal) {
      ::setenv("IAP_JOURNAL", runJournal->c_str(), 1);
    } else {
      ::unsetenv("IAP_JOURNAL");
    }
  }

  // The example's INI and firmware copied into the fresh working directory, the
  // simulator started there and its line named to the updater.
  void StartDevice(const ExampleDevice& d, Link road, const std::vector<std::string>& extra) {
    device = &d;
    link = road;
    const std::string from = std::string(IAP_EXAMPLES_DIR) + "/" + d.folder + "/";
    fs::copy_file(from + d.configName, dir.File(d.configName));
    fs::copy_file(from + d.firmwareName, dir.File(d.firmwareName));
    std::vector<std::string> args{IAPSIM_PATH, road == Link::kSerial ? "serial" : "hid"};
    if (road == Link::kHid) args.insert(args.end(), {"--socket", dir.File("hid.sock")});
    args.insert(args.end(), {"--config", d.configName, "--frames", "frames.txt"});
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(sim.Start(args, dir.Path(), {}, dir.File("sim.out"), dir.File("sim.err")))
        << "cannot start " << IAPSIM_PATH;
    const std::string path = sim.WaitReady();
    ASSERT_FALSE(path.empty()) << "iapsim did not come up: " << ReadFile(dir.File("sim.err"));
    // COM1 is the pty; the HID backend is chosen when the dialog is made.
    ::setenv(road == Link::kSerial ? "IAP_COM1" : "IAP_HID_SOCKET", path.c_str(), 1);
    const VariantStrings* v = VariantByName(d.variant);
    ASSERT_NE(v, nullptr);
    variant = v;
    ws = std::make_unique<CQtWindowSystem>(*variant);
    dlg = std::make_unique<CUpdaterDlg>(*ws, *variant);
    boxes.Install(*ws);
  }

  CQtMainDialog& Win() { return ws->Window(); }
  QPushButton* Button(int id) { return qobject_cast<QPushButton*>(Win().Control(id)); }
  QListWidget* LogList() { return qobject_cast<QListWidget*>(Win().Control(IDC_LOG)); }
  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    for (int i = 0; i < LogList()->count(); ++i) {
      lines.push_back(LogList()->item(i)->text().toStdString());
    }
    return lines;
  }
  int WrittenFrames() {
    int n = 0;
    for (const std::string& line : LogLines()) {
      if (line.size() > 3 && line.compare(line.size() - 3, 3, " Wr") == 0) ++n;
    }
    return n;
  }

  // Opens the combo box's list and clicks the entry, as with the mouse.
  void ChooseInterface(const QString& entry) {
    auto* combo = qobject_cast<QComboBox*>(Win().Control(IDC_INTERFACE));
    const int index = combo->findText(entry);
    ASSERT_GE(index, 0);
    // The arrow drops the list (the field itself takes typing).
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.editable = combo->isEditable();
    option.subControls = QStyle::SC_All;
    const QRect arrow = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                       QStyle::SC_ComboBoxArrow, combo);
    QTest::mouseClick(combo, Qt::LeftButton, {}, arrow.center());
    QAbstractItemView* list = combo->view();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(list->window())) << "the list did not drop";
    // A release right after the list dropped counts as part of the opening click.
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    const QPoint at = list->visualRect(combo->model()->index(index, 0)).center();
    QTest::mouseMove(list->viewport(), at);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    ASSERT_TRUE(PumpUntil([&] { return !list->window()->isVisible(); }, 2000));
    ASSERT_EQ(ws->ComboSelectedText(), entry.toStdString());
  }

  // File, answered in the file dialog with the copied firmware (or the named file
  // of the directory): the eight lines of a good build, and Update Firmware enabled.
  void ChooseFirmware(const std::string& name = {}) {
    const std::string file = dir.File(name.empty() ? device->firmwareName : name);
    boxes.answers.push_back([file](QDialog& box) {
      auto* fileDialog = qobject_cast<CQtFileDialog*>(&box);
      ASSERT_NE(fileDialog, nullptr);
      fileDialog->selectFile(QString::fromStdString(file));
      fileDialog->accept();
    });
    const auto before = static_cast<std::ptrdiff_t>(LogLines().size());
    QTest::mouseClick(Button(IDC_FILE), Qt::LeftButton);
    ASSERT_TRUE(boxes.answers.empty()) << "no file dialog";
    const std::vector<std::string> all = LogLines();
    const std::vector<std::string> log(all.begin() + before, all.end());
    ASSERT_EQ(log.size(), 8u) << (log.size() > 3 ? log[3] : std::string());
    EXPECT_EQ(log[0], kSeparator);
    EXPECT_EQ(log[1], "The UPS firmware file name is");
    EXPECT_TRUE(fs::equivalent(log[2], file)) << log[2];
    EXPECT_EQ(ws->GetText(IDC_FILENAME), log[2]);
    EXPECT_EQ(log[3], "Build S19 block list OK");
    EXPECT_EQ(log[4], "Build Raw block list OK");
    EXPECT_EQ(log[5], "Write to tmp.txt file OK");
    EXPECT_EQ(log[6], "Write to tmp.bin file OK");
    EXPECT_EQ(log[7], kSeparator);
    ASSERT_TRUE(ws->IsEnabled(IDC_UPDATE));
  }

  // Update Firmware, to the success box (answered OK) and the simulator's good end.
  void UpdateToTheSuccessBox() {
    bool successBox = false;
    boxes.answers.push_back([&](QDialog& box) {
      auto* message = qobject_cast<QMessageBox*>(&box);
      ASSERT_NE(message, nullptr);
      successBox = message->text() == "Programming successfully !";
      message->button(QMessageBox::Ok)->click();
    });
    QTest::mouseClick(Button(IDC_UPDATE), Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return !dlg->WorkerRunning(); }, 60000));
    EXPECT_TRUE(successBox) << ReadFile(dir.File("sim.err"));
    ASSERT_EQ(sim.Wait(10), 0) << ReadFile(dir.File("sim.err"));
  }

  // A program found on PATH (minisign, srec_cat, python3), run in the test's
  // directory; its exit status, its output in tool.out and tool.err.
  int RunTool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/env"};
    argv.insert(argv.end(), args.begin(), args.end());
    CSimulator tool;
    if (!tool.Start(argv, dir.Path(), {}, dir.File("tool.out"), dir.File("tool.err"))) return -1;
    return tool.Wait(60);
  }

  std::optional<std::string> runJournal;
  CTestDir dir;
  CSimulator sim;
  const ExampleDevice* device = nullptr;
  Link link = Link::kSerial;
  const VariantStrings* variant = nullptr;
  std::unique_ptr<CQtWindowSystem> ws;
  std::unique_ptr<CUpdaterDlg> dlg;
  CBoxAnswerer boxes;
};

struct UpdateCase {
  const ExampleDevice* device;
  Link link;
};

void PrintTo(const UpdateCase& c, std::ostream* os) {
  *os << c.device->variant << (c.link == Link::kSerial ? " over COM1" : " over USB");
}

class QtUpdateE2eRun : public QtUpdateE2e, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(QtUpdateE2eRun, FromFileToTheSuccessBoxAndBackToFile) {
  const ExampleDevice& d = *GetParam().device;
  const Link road = GetParam().link;
  StartDevice(d, road, {"--timeout", "30", "--linger", "5"});
  ASSERT_NE(dlg, nullptr);
  CWatchdog watchdog(90, sim);
  ws->Attach(*dlg);
  ASSERT_TRUE(dlg->OnInitDialog());
  Win().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Win()));
  ASSERT_TRUE(boxes.seen.empty()) << "the example configuration was refused";

  ChooseInterface(road == Link::kSerial ? "COM1" : "USB");
  ChooseFirmware();

  // The state of the window while the success box is up, before it is answered.
  std::vector<std::string> logAtBox;
  std::string percentAtBox;
  int progressAtBox = -1;
  bool fileAtBox = true;
  bool successBox = false;
  boxes.answers.push_back([&](QDialog& box) {
    auto* message = qobject_cast<QMessageBox*>(&box);
    ASSERT_NE(message, nullptr);
    successBox = message->text() == "Programming successfully !";
    logAtBox = LogLines();
    percentAtBox = ws->GetText(IDC_PERCENT);
    progressAtBox = Win().Progress()->value();
    fileAtBox = ws->IsEnabled(IDC_FILE);
    message->button(QMessageBox::Ok)->click();
  });
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(Button(IDC_UPDATE), Qt::LeftButton);
  EXPECT_FALSE(ws->IsEnabled(IDC_UPDATE)) << "the device did not take the programming command";

  // The worker's calls are served by this loop; however the transfer ends, the
  // worker leaves, after the success box and the separator behind it.
  const bool ended = PumpUntil([&] { return !dlg->WorkerRunning(); }, 60000);
  std::printf("[ measured ] %s over %s: %lld ms from Update Firmware to the reset window\n",
              d.variant, road == Link::kSerial ? "COM1" : "USB",
              static_cast<long long>(clock.elapsed()));
  const std::vector<std::string> log = LogLines();
  const auto tail = [&] {
    std::string text;
    for (std::size_t i = log.size() > 12 ? log.size() - 12 : 0; i < log.size(); ++i) {
      text += log[i] + "\n";
    }
    return text + "--- iapsim:\n" + ReadFile(dir.File("sim.err"));
  };
  ASSERT_TRUE(ended) << "no end of the transfer in time\n" << tail();
  ASSERT_TRUE(successBox) << tail();

  ASSERT_EQ(boxes.seen.size(), 2u);
  EXPECT_EQ(boxes.seen[0].kind, "file");
  EXPECT_EQ(boxes.seen[1].caption, variant->appName);
  EXPECT_EQ(boxes.seen[1].icon, QMessageBox::Information);
  EXPECT_EQ(boxes.seen[1].buttons, QMessageBox::Ok);

  // While the box was up the window showed the whole image sent.
  EXPECT_EQ(percentAtBox, "100 %");
  EXPECT_EQ(progressAtBox, 100);
  EXPECT_FALSE(fileAtBox);

  // The log ends with the success lines and the separator written after the box.
  // Over serial the worker also reports the update completed, once the device took
  // the whole image.
  std::vector<std::string> expectedTail{"Send EOF Command OK", "Update finished 100 %!",
                                        "UPS firmware update successful!"};
  if (road == Link::kSerial) expectedTail.push_back("UPS firmware update completed");
  ASSERT_GE(log.size(), expectedTail.size() + 1);
  EXPECT_EQ(std::vector<std::string>(
                log.end() - static_cast<std::ptrdiff_t>(expectedTail.size()) - 1, log.end() - 1),
            expectedTail)
      << tail();
  EXPECT_EQ(log.back(), kSeparator);
  EXPECT_EQ(logAtBox.size() + 1, log.size()) << "only the separator follows the box";
  EXPECT_EQ(LogList()->currentRow(), LogList()->count() - 1) << "the newest line is selected";

  // Back to the start of an update: File again, nothing else.
  EXPECT_TRUE(ws->IsEnabled(IDC_FILE));
  EXPECT_TRUE(ws->IsEnabled(IDC_INTERFACE));
  EXPECT_FALSE(ws->IsEnabled(IDC_UPDATE));
  EXPECT_FALSE(ws->IsEnabled(IDC_CANCEL));
  EXPECT_EQ(Win().Progress()->value(), 0);
  EXPECT_EQ(ws->GetText(IDC_PERCENT), "");
  SaveScreenshot(Win(),
                 std::string(d.variant) + (road == Link::kSerial ? "-com1" : "-usb") + "-updated");

  // The device got exactly the rows outside its protected ranges, then the end.
  EXPECT_EQ(sim.Wait(10), 0) << ReadFile(dir.File("sim.err"));
  const std::vector<std::string> frames = TextLines(ReadFile(dir.File("frames.txt")));
  const std::vector<std::string> expected =
      ExpectedAddressAndData(ReadFile(dir.File("tmp.bin")), d, road);
  ASSERT_GT(expected.size(), 100u);
  ASSERT_EQ(frames.size(), expected.size() + 1) << ReadFile(dir.File("sim.err"));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(AddressAndDataOf(frames[i], d), expected[i]) << "frame " << i + 1;
  }
  EXPECT_EQ(frames.back(), d.address24 ? "0800000004454F4647" : "08030000454F4647");
  EXPECT_EQ(WrittenFrames(), static_cast<int>(expected.size()));
}

std::string CaseName(const ::testing::TestParamInfo<UpdateCase>& info) {
  return std::string(info.param.device->variant) +
         (info.param.link == Link::kSerial ? "OverCom1" : "OverUsb");
}

INSTANTIATE_TEST_SUITE_P(Examples, QtUpdateE2eRun,
                         ::testing::Values(UpdateCase{&kSolvane, Link::kSerial},
                                           UpdateCase{&kSolvane, Link::kHid},
                                           UpdateCase{&kCastrel, Link::kSerial},
                                           UpdateCase{&kCastrel, Link::kHid}),
                         CaseName);

// The vendor's signature through the window. The device's section names a minisign
// key; the firmware is srec_cat's re-encoding of the example, signed with it. The
// signed file reaches the device, its signed comment is the path's tip, and the
// journal keeps one record of the update with what vouched for the file. The same
// file with one byte changed after signing is refused at File, before tmp.txt and
// tmp.bin are touched.
class QtSignedUpdateE2e : public QtUpdateE2e, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(QtSignedUpdateE2e, ASignedFileIsSentAndRecordedAndOneChangedByteIsRefused) {
  const ExampleDevice& d = *GetParam().device;
  const Link road = GetParam().link;
  StartDevice(d, road, {"--timeout", "30", "--linger", "5", "--image", "flash.s19"});
  ASSERT_NE(dlg, nullptr);
  CWatchdog watchdog(120, sim);
  const std::string comment = "version 2.4.1 2026-11-30";
  const std::string firmware = std::string("signed-") + d.firmwareName;
  const std::vector<std::vector<std::string>> steps{
      {"minisign", "-G", "-W", "-f", "-p", "vendor.pub", "-s", "vendor.key"},
      {"srec_cat", d.firmwareName, "-o", firmware},
      {"minisign", "-S", "-W", "-s", "vendor.key", "-m", firmware, "-t", comment}};
  for (const std::vector<std::string>& step : steps) {
    ASSERT_EQ(RunTool(step), 0) << step[0] << ": " << ReadFile(dir.File("tool.err"));
  }
  // The public key file: "untrusted comment: minisign public key ID", then the key.
  const std::vector<std::string> pub = TextLines(ReadFile(dir.File("vendor.pub")));
  ASSERT_EQ(pub.size(), 2u);
  const std::string keyId = pub[0].substr(pub[0].rfind(' ') + 1);
  std::string ini = ReadFile(dir.File(d.configName));
  const std::size_t section = ini.find("[DEVICE0]\r\n");
  ASSERT_NE(section, std::string::npos);
  ini.insert(section + 11, "SIGNKEY=" + pub[1] + "\r\n");
  std::ofstream(dir.File(d.configName), std::ios::binary) << ini;
  const std::string journal = dir.File("journal.jsonl");
  ::setenv("IAP_JOURNAL", journal.c_str(), 1);

  ws->Attach(*dlg);
  ASSERT_TRUE(dlg->OnInitDialog());
  Win().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Win()));
  ASSERT_TRUE(boxes.seen.empty()) << "the configuration was refused: " << boxes.seen[0].text;
  ChooseInterface(road == Link::kSerial ? "COM1" : "USB");
  ChooseFirmware(firmware);
  QWidget* path = Win().Control(IDC_FILENAME);
  EXPECT_EQ(path->toolTip().toStdString(), comment);

  ASSERT_NO_FATAL_FAILURE(UpdateToTheSuccessBox());
  // The device's flash against the signed file, by the examples' own checker.
  EXPECT_EQ(RunTool({"python3", std::string(IAP_EXAMPLES_DIR) + "/check-flash.py", "--config",
                     d.configName, "--interface", road == Link::kSerial ? "serial" : "hid",
                     firmware, "flash.s19"}),
            0)
      << ReadFile(dir.File("tool.out")) << ReadFile(dir.File("tool.err"));

  const std::string bytes = ReadFile(dir.File(firmware));
  const JournalRead read = ReadJournal(journal);
  ASSERT_EQ(read.records.size(), 1u) << read.error << ReadFile(journal);
  const JournalEntry& record = read.records[0];
  EXPECT_EQ(record.stage, "end_of_file");
  EXPECT_EQ(record.result, "done");
  EXPECT_EQ(record.reason, "none");
  EXPECT_EQ(record.interfaceKind, road == Link::kSerial ? "COM" : "USB");
  EXPECT_EQ(record.firmware.sha256,
            QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
                .toHex()
                .toStdString());
  EXPECT_EQ(record.firmware.keyId, keyId);
  EXPECT_EQ(record.firmware.trustedComment, comment);

  // File again, so that the tip is there and Update Firmware enabled; then one hex
  // digit of the first data record changed after signing.
  ChooseFirmware(firmware);
  ASSERT_EQ(path->toolTip().toStdString(), comment);
  const std::string builtTxt = ReadFile(dir.File("tmp.txt"));
  const std::string builtBin = ReadFile(dir.File("tmp.bin"));
  std::string changed = bytes;
  const std::size_t at = changed.find('\n') + 20;
  changed[at] = changed[at] == '0' ? '1' : '0';
  std::ofstream(dir.File(firmware), std::ios::binary) << changed;
  boxes.seen.clear();
  boxes.answers.push_back([&](QDialog& box) {
    static_cast<CQtFileDialog&>(box).selectFile(QString::fromStdString(dir.File(firmware)));
    static_cast<CQtFileDialog&>(box).accept();
  });
  QTest::mouseClick(Button(IDC_FILE), Qt::LeftButton);
  ASSERT_EQ(boxes.seen.size(), 2u);
  EXPECT_EQ(boxes.seen[1].text, "S19 File Signature Error !");
  EXPECT_EQ(boxes.seen[1].caption, variant->appName);
  EXPECT_EQ(boxes.seen[1].icon, QMessageBox::Warning);
  const std::vector<std::string> log = LogLines();
  EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
            (std::vector<std::string>{"Build S19 block list error", kSeparator}));
  EXPECT_FALSE(ws->IsEnabled(IDC_UPDATE));
  EXPECT_EQ(ReadFile(dir.File("tmp.txt")), builtTxt);
  EXPECT_EQ(ReadFile(dir.File("tmp.bin")), builtBin);
  EXPECT_TRUE(path->toolTip().isEmpty()) << path->toolTip().toStdString();
  EXPECT_EQ(ReadJournal(journal).records.size(), 1u);
  SaveScreenshot(Win(), std::string(d.variant) + "-signature-refused");
}

INSTANTIATE_TEST_SUITE_P(Examples, QtSignedUpdateE2e,
                         ::testing::Values(UpdateCase{&kSolvane, Link::kSerial},
                                           UpdateCase{&kCastrel, Link::kHid}),
                         CaseName);

TEST_F(QtUpdateE2e, ACutOffFileAndASwappedTmpBinAreRefusedInTheWindow) {
  StartDevice(kCastrel, Link::kHid, {"--timeout", "30", "--linger", "5"});
  ASSERT_NE(dlg, nullptr);
  CWatchdog watchdog(60, sim);
  ws->Attach(*dlg);
  ASSERT_TRUE(dlg->OnInitDialog());
  Win().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Win()));
  ChooseInterface("USB");
  ChooseFirmware();
  const std::string built = ReadFile(dir.File("tmp.bin"));

  // The same firmware cut off after its 100th line, as by a copy that broke off.
  const std::string whole = ReadFile(dir.File(device->firmwareName));
  std::size_t at = 0;
  for (int line = 0; line < 100; ++line) at = whole.find('\n', at) + 1;
  std::ofstream(dir.File("cut.S19"), std::ios::binary) << whole.substr(0, at);
  boxes.answers.push_back([this](QDialog& box) {
    static_cast<CQtFileDialog&>(box).selectFile(QString::fromStdString(dir.File("cut.S19")));
    static_cast<CQtFileDialog&>(box).accept();
  });
  boxes.answers.push_back([](QDialog& box) {
    SaveScreenshot(box, "castrel-cut-off-file-box");
    box.accept();
  });
  QTest::mouseClick(Button(IDC_FILE), Qt::LeftButton);
  ASSERT_EQ(boxes.seen.size(), 3u);
  EXPECT_EQ(boxes.seen[2].text, "S19 File Is Incomplete ! Line 101");
  EXPECT_EQ(boxes.seen[2].icon, QMessageBox::Warning);
  EXPECT_EQ(boxes.seen[2].caption, variant->appName);
  std::vector<std::string> log = LogLines();
  EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
            (std::vector<std::string>{"Build S19 block list error", kSeparator}));
  EXPECT_FALSE(ws->IsEnabled(IDC_UPDATE));
  EXPECT_EQ(ReadFile(dir.File("tmp.bin")), built) << "left as it was";
  SaveScreenshot(Win(), "castrel-cut-off-file");

  // A good File again; then another updater's File in the same directory puts its
  // own image into tmp.bin before Update Firmware is pressed.
  boxes.seen.clear();
  ChooseFirmware();
  std::string other = built;
  other[5] = static_cast<char>(other[5] ^ 0x55);
  std::ofstream(dir.File("tmp.bin"), std::ios::binary) << other;
  QTest::mouseClick(Button(IDC_UPDATE), Qt::LeftButton);
  ASSERT_TRUE(PumpUntil([&] { return !dlg->WorkerRunning(); }, 20000));
  ASSERT_EQ(boxes.seen.size(), 2u);
  EXPECT_EQ(boxes.seen[1].text, "BIN File Changed Error !");
  EXPECT_EQ(boxes.seen[1].icon, QMessageBox::Warning);
  log = LogLines();
  EXPECT_EQ(log.back(), "Map bin file Error");
  EXPECT_EQ(WrittenFrames(), 0);
  EXPECT_TRUE(ws->IsEnabled(IDC_FILE));
  EXPECT_FALSE(ws->IsEnabled(IDC_UPDATE));
  SaveScreenshot(Win(), "castrel-tmp-bin-changed");
}

TEST_F(QtUpdateE2e, ClosingTheWindowDuringATransferEndsItAndFreesTheDevice) {
  // Paced at the device's baud rate the transfer takes long enough to be caught in
  // the middle. The simulator cannot tell a closed port from the reopen between
  // handshake and transfer, so it gives up once the updater has been gone a while:
  // long enough for a reopen on a busy machine.
  StartDevice(kSolvane, Link::kSerial, {"--pace", "--timeout", "30", "--linger", "5"});
  ASSERT_NE(dlg, nullptr);
  CWatchdog watchdog(60, sim);
  int framesAtClose = -1;
  bool started = false, keptOpen = false, keptSending = false;
  QElapsedTimer clock;
  qint64 closeMs = -1;
  // The program's own modal run; the user works in it and closes the window while
  // frames are going out.
  QTimer::singleShot(0, &Win(), [&] {
    ChooseInterface("COM1");
    if (!HasFatalFailure()) ChooseFirmware();
    if (HasFatalFailure()) {
      Win().close();
      return;
    }
    QTest::mouseClick(Button(IDC_UPDATE), Qt::LeftButton);
    started = !ws->IsEnabled(IDC_UPDATE);
    if (started) {
      started = PumpUntil([&] { return WrittenFrames() >= 5 || !dlg->WorkerRunning(); }, 20000);
    }
    EXPECT_TRUE(dlg->WorkerRunning()) << "the transfer was over before the window closed";
    EXPECT_TRUE(ws->IsEnabled(IDC_CANCEL));
    // Asked whether to cut the update off, the technician first says No: the
    // window stays and the frames keep going out.
    boxes.answers.push_back(PressButton(QMessageBox::No));
    Win().close();
    keptOpen = Win().isVisible() && !dlg->Closing();
    const int framesAtNo = WrittenFrames();
    keptSending =
        PumpUntil([&] { return WrittenFrames() >= framesAtNo + 5 || !dlg->WorkerRunning(); },
                  20000) &&
        dlg->WorkerRunning();
    // Then Yes.
    boxes.answers.push_back(PressButton(QMessageBox::Yes));
    framesAtClose = WrittenFrames();
    clock.start();
    Win().close();
  });
  ws->RunModal(*dlg);
  closeMs = clock.isValid() ? clock.elapsed() : -1;
  std::printf("[ measured ] window closed during the transfer: back after %lld ms\n",
              static_cast<long long>(closeMs));

  ASSERT_TRUE(started) << "the transfer did not start";
  EXPECT_EQ(Win().result(), QDialog::Rejected);
  EXPECT_FALSE(Win().isVisible());
  EXPECT_TRUE(dlg->Closing());
  EXPECT_FALSE(dlg->WorkerRunning()) << "the worker outlived the window";
  EXPECT_GE(framesAtClose, 5);
  EXPECT_TRUE(keptOpen) << "No closed the window";
  EXPECT_TRUE(keptSending) << "the transfer did not go on after No";
  // After the file dialog only the two questions.
  ASSERT_EQ(boxes.seen.size(), 3u);
  EXPECT_EQ(boxes.seen[1].text, boxes.seen[2].text);
  EXPECT_EQ(boxes.seen[2].text.rfind("A firmware update is running.", 0), 0u);
  const std::vector<std::string> log = LogLines();
  for (const char* line : {"Send EOF Command OK", "UPS firmware update successful!",
                           "read data Err", "WriteUPS error"}) {
    EXPECT_EQ(std::count(log.begin(), log.end(), line), 0) << line;
  }
  // Nothing reaches the window any more, from either thread.
  const int shown = LogList()->count();
  dlg->Log("after the end");
  EXPECT_EQ(LogList()->count(), shown);

  // The dialog goes, the port with it; the device gives up on the broken update.
  dlg.reset();
  EXPECT_EQ(sim.Wait(30), 1) << ReadFile(dir.File("sim.err"));
  const std::vector<std::string> frames = TextLines(ReadFile(dir.File("frames.txt")));
  // The worker's lines wait for the window, so the count at the close is exact but
  // for the last frame, which may have been logged and not yet written.
  EXPECT_GE(static_cast<int>(frames.size()), framesAtClose - 1);
  EXPECT_LE(static_cast<int>(frames.size()), framesAtClose);
  for (const std::string& f : frames) EXPECT_NE(f, "08030000454F4647") << "end-of-file frame";
}

}  // namespace

// A file whose records come out of order and enter blocks at 16-byte boundaries
// next to IAPMARK (the rows once put fill over data there), through the window
// over COM1: the strict simulator takes every frame and its flash holds the file.
TEST_F(QtUpdateE2e, AFileOutOfOrderReachesTheDeviceAsItStands) {
  StartDevice(kSolvane, Link::kSerial,
              {"--timeout", "30", "--linger", "5", "--image", "flash.s19"});
  ASSERT_NE(dlg, nullptr);
  CWatchdog watchdog(90, sim);
  // 0x8000..0x80FF, then 0x8410..0x85FF and 0x8630..0x866F, the later lines last first.
  std::map<std::uint32_t, std::uint8_t> bytes;
  auto line = [&bytes](std::uint32_t address) {
    std::vector<std::uint8_t> body{19, static_cast<std::uint8_t>(address >> 8),
                                   static_cast<std::uint8_t>(address)};
    for (std::uint32_t k = 0; k < 16; ++k) {
      body.push_back(static_cast<std::uint8_t>((address >> 4) * 7 + k * 13));
      bytes[address + k] = body.back();
    }
    unsigned sum = 0;
    for (std::uint8_t b : body) sum += b;
    body.push_back(static_cast<std::uint8_t>(~sum));
    return "S1" + Hex(body.data(), body.size()) + "\n";
  };
  std::string text = "S0030000FC\n";
  for (std::uint32_t a = 0x8000; a < 0x8100; a += 16) text += line(a);
  std::vector<std::string> later;
  for (std::uint32_t a = 0x8410; a < 0x8600; a += 16) later.push_back(line(a));
  for (std::uint32_t a = 0x8630; a < 0x8670; a += 16) later.push_back(line(a));
  for (auto it = later.rbegin(); it != later.rend(); ++it) text += *it;
  std::ofstream(dir.File(kSolvane.firmwareName), std::ios::binary) << text << "S9030000FC\n";

  ws->Attach(*dlg);
  ASSERT_TRUE(dlg->OnInitDialog());
  Win().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Win()));
  ChooseInterface("COM1");
  ChooseFirmware();
  ASSERT_NO_FATAL_FAILURE(UpdateToTheSuccessBox());

  // The flash image: S1 lines of the bytes written.
  std::map<std::uint32_t, std::uint8_t> flash;
  for (const std::string& l : TextLines(ReadFile(dir.File("flash.s19")))) {
    if (l.rfind("S1", 0) != 0) continue;
    const auto at = [&l](std::size_t i) {
      return static_cast<std::uint8_t>(std::stoi(l.substr(2 + 2 * i, 2), nullptr, 16));
    };
    const std::uint32_t address = (std::uint32_t{at(1)} << 8) | at(2);
    for (std::size_t k = 3; k + 1 < at(0) + 1u; ++k) {
      flash[address + static_cast<std::uint32_t>(k) - 3] = at(k);
    }
  }
  for (const auto& [address, value] : bytes) {
    ASSERT_EQ(flash.count(address), 1u) << std::hex << address;
    EXPECT_EQ(flash[address], value) << std::hex << address;
  }
  for (const auto& [address, value] : flash) {
    if (bytes.count(address) == 0) {
      EXPECT_EQ(value, 0xFF) << std::hex << address;
    }
  }
}
