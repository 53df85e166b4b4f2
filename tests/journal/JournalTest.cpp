// The service journal: its records read back as written, its parser refuses
// what is not one of them, its chain shows every edit it can, its writers never
// interleave, and its spreadsheet stays text in a spreadsheet program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "journal/Journal.h"
#include "support/TestDir.h"
#include "trust/FileDigest.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace {

JournalEntry Sample(const std::string& host = "bench-3") {
  JournalEntry e;
  e.begun = "2026-12-10T13:04:05Z";
  e.ended = "2026-12-10T13:05:10Z";
  e.program = "iapflash";
  e.version = "0.1.0";
  e.variant = "solvane";
  e.host = host;
  e.user = "tech \"A\" \\ Ünïcødé ✓ 𝄞";
  e.interfaceKind = "COM";
  e.device = {"/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI-if00", "", "0403:6001", "FT232R", "A5"};
  e.firmware = {"/fw/app.s19", std::numeric_limits<std::uint64_t>::max(), std::string(64, 'a'),
                "5F2D0A1B", "version 2.4\tline\n2\x01\x7f"};
  e.profile = {"DEVICE12", std::numeric_limits<std::int64_t>::min(), 0x7FFFF, 256,
               std::numeric_limits<long>::max(), 115200};
  e.framesSent = 1200, e.framesAcknowledged = 1199, e.framesResent = 3;
  e.bytes = 306944;
  e.streamSha256 = std::string(64, 'b');
  e.stage = "end_of_file", e.result = "failed", e.reason = "timeout", e.detail = "frame 1200";
  e.previous = std::string(64, '0');
  return e;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t begin = 0; begin < text.size();) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + '\n';
  return text;
}

TEST(JournalLine, ARecordReadsBackAsWrittenWithItsKeysInOrder) {
  const JournalEntry e = Sample();
  const std::string line = JournalLine(e);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  std::size_t at = 0;
  for (const char* key :
       {"begun",         "ended",   "program",      "version",         "variant",
        "host",          "user",    "interface",    "device",          "by_id",
        "hid_path",      "vid_pid", "product",      "serial",          "firmware",
        "size",          "sha256",  "key_id",       "trusted_comment", "profile",
        "section",
        "romhead",       "romtail", "record_size",  "baud_rate",       "program_baud_rate",
        "frames",        "sent",    "acknowledged", "resent",          "bytes",
        "stream_sha256", "outcome", "stage",        "result",          "reason",
        "detail",        "previous"}) {
    const std::size_t next = line.find('"' + std::string(key) + "\":", at);
    ASSERT_NE(next, std::string::npos) << key << " out of order in " << line;
    at = next;
  }
  std::string why;
  const auto back = ParseJournalLine(line, &why);
  ASSERT_TRUE(back) << why << "\n" << line;
  // Written again, the same line: no field lost or changed on the way.
  EXPECT_EQ(JournalLine(*back), line);
}

TEST(JournalLine, BytesThatAreNoUtf8StillGiveARecordWithReplacementCharacters) {
  const struct {
    std::string raw, read;
  } cases[] = {
      {"\xff", "\xEF\xBF\xBD"},                                  // never a UTF-8 byte
      {"\xC3", "\xEF\xBF\xBD"},                                  // a sequence cut short
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // an overlong '/'
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
      {"caf\xC3\xA9", "caf\xC3\xA9"},                            // well-formed: kept
  };
  for (const auto& c : cases) {
    JournalEntry e = Sample();
    e.device.product = c.raw;
    const auto back = ParseJournalLine(JournalLine(e));
    ASSERT_TRUE(back) << JournalLine(e);
    EXPECT_EQ(back->device.product, c.read);
  }
}

TEST(ParseJournalLine, RefusesWhatIsNotAWellFormedRecordAndSurvivesHostileLines) {
  const std::string good = JournalLine(Sample());
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const struct {
    const char* name;
    std::string line;
  } refused[] = {
      {"empty", ""},
      {"garbage", "hello"},
      {"an array", "[" + good + "]"},
      {"text after", good + "x"},
      {"two records", good + good},
      {"a key missing", Replaced(good, ",\"bytes\":306944", "")},
      {"nested key missing", Replaced(good, "\"resent\":3", "\"resend\":3")},
      {"a string for a number", Replaced(good, "\"bytes\":306944", "\"bytes\":\"306944\"")},
      {"a number for a string", Replaced(good, "\"host\":\"bench-3\"", "\"host\":3")},
      {"null for an object", Replaced(good, "\"outcome\":{", "\"outcome\":null,\"x\":{")},
      {"a fraction", Replaced(good, "\"bytes\":306944", "\"bytes\":306944.5")},
      {"an exponent", Replaced(good, "\"bytes\":306944", "\"bytes\":3e5")},
      {"negative size", Replaced(good, "\"bytes\":306944", "\"bytes\":-1")},
      {"a huge number", Replaced(good, "\"bytes\":306944", "\"bytes\":" + std::string(5000, '9'))},
      {"int out of range", Replaced(good, "\"record_size\":256", "\"record_size\":4294967296")},
      {"leading zero", Replaced(good, "\"bytes\":306944", "\"bytes\":0306944")},
      {"key twice", Replaced(good, "\"host\":", "\"host\":\"x\",\"host\":")},
      {"deep nesting", Replaced(good, "\"bytes\":", "\"deep\":" + deep + ",\"bytes\":")},
      {"lone surrogate", Replaced(good, "bench-3", "\\ud800")},
      {"bad escape", Replaced(good, "bench-3", "\\x41")},
      {"raw control", Replaced(good, "bench-3", "a\tb")},
      {"raw bad UTF-8", Replaced(good, "bench-3", "\xC0\xAF")},
      {"unquoted key", Replaced(good, "\"host\"", "host")},
      {"trailing comma", Replaced(good, ",\"previous\"", ",,\"previous\"")},
  };
  for (const auto& c : refused) {
    std::string why;
    EXPECT_FALSE(ParseJournalLine(c.line, &why)) << c.name;
    EXPECT_FALSE(why.empty()) << c.name;
  }
  // Every line a crash can leave: each beginning of a record short of its whole.
  for (std::size_t length = 0; length < good.size(); ++length) {
    EXPECT_FALSE(ParseJournalLine(good.substr(0, length))) << length;
  }
  EXPECT_FALSE(ParseJournalLine(deep));
  EXPECT_FALSE(ParseJournalLine(std::string(100000, '{')));
  // Hostile but well-formed: taken, and read right.
  const std::string longText(4 << 20, 'x');
  EXPECT_EQ(ParseJournalLine(Replaced(good, "bench-3", longText))->host, longText);
  EXPECT_EQ(ParseJournalLine(Replaced(good, "bench-3", "\\ud834\\udd1e\\u00e9"))->host,
            "\xF0\x9D\x84\x9E\xC3\xA9");
  // A later version's key: the record still reads (and so verifies).
  EXPECT_TRUE(ParseJournalLine(
      Replaced(good, "\"bytes\":", "\"new\":{\"a\":[1,true,null],\"b\":-2.5e3},\"bytes\":")));
  EXPECT_TRUE(ParseJournalLine(" " + good + "\r"));
}

struct CJournal {
  CTestDir dir;
  std::string path = dir.File("state/iap-updater/journal.jsonl");

  // n records appended the way every face appends them.
  void Append(int n) {
    for (int i = 0; i < n; ++i) {
      const JournalWrite w = AppendJournal(path, Sample("host-" + std::to_string(i)));
      ASSERT_TRUE(w.ok) << w.reason;
    }
  }
  std::string Text() const { return dir.Read("state/iap-updater/journal.jsonl"); }
  void SetText(const std::string& text) const {
    dir.Write("state/iap-updater/journal.jsonl", text);
  }
};

TEST(Journal, AppendedRecordsChainAndTornLinesAreSkipped) {
  CJournal j;
  j.Append(3);
  const std::vector<std::string> lines = Lines(j.Text());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(ParseJournalLine(lines[0])->previous, std::string(64, '0'));
  EXPECT_EQ(ParseJournalLine(lines[2])->previous, Sha256Hex(lines[1].data(), lines[1].size()));

  // A crash in the middle of the fourth record: the half line is skipped, and the
  // next record starts a line of its own and chains to the third.
  j.SetText(j.Text() + lines[1].substr(0, 40));
  JournalCheck check = VerifyJournal(j.path);
  EXPECT_TRUE(check.ok) << check.why;
  EXPECT_EQ(check.records, 3);
  EXPECT_EQ(check.tornLines, std::vector<long>{4});
  EXPECT_EQ(check.newestDigest, Sha256Hex(lines[2].data(), lines[2].size()));
  j.Append(1);
  check = VerifyJournal(j.path);
  EXPECT_TRUE(check.ok) << check.faultLine << ": " << check.why;
  EXPECT_EQ(check.records, 4);
  const JournalRead read = ReadJournal(j.path);
  EXPECT_EQ(read.lineNumbers, (std::vector<long>{1, 2, 3, 5}));
  EXPECT_EQ(read.tornLines, std::vector<long>{4});
  ASSERT_EQ(read.records.size(), 4u);
  EXPECT_EQ(read.records[3].previous, Sha256Hex(lines[2].data(), lines[2].size()));
  // Each record's own line, as the file has it: a later version's key kept.
  const std::vector<std::string> now = Lines(j.Text());
  EXPECT_EQ(read.lines, (std::vector<std::string>{now[0], now[1], now[2], now[4]}));
  j.SetText(Joined({Replaced(lines[0], "\"bytes\":", "\"later\":[1],\"bytes\":")}));
  EXPECT_NE(ReadJournal(j.path).lines.at(0).find("\"later\":[1]"), std::string::npos);

  // A whole record whose line end the crash took: a record all the same.
  j.SetText(Joined(lines).substr(0, Joined(lines).size() - 1));
  j.Append(1);
  check = VerifyJournal(j.path);
  EXPECT_TRUE(check.ok && check.records == 4 && check.tornLines.empty()) << check.why;
}

TEST(Journal, VerifyNamesTheFirstRecordThatAnEditBroke) {
  enum class Edit { kByte, kUnreadable, kRemove, kSwap, kNoDigest, kNoneReadable };
  const char* const digest = "previous record's digest does not match";
  const struct {
    const char* name;
    Edit edit;
    std::size_t at;  // the record edited, from 0
    long faultLine;
    const char* why;
  } cases[] = {
      {"a byte of a record changed", Edit::kByte, 1, 3, digest},
      {"a record made unreadable", Edit::kUnreadable, 1, 3, digest},
      {"the first record removed", Edit::kRemove, 0, 1, "the first record"},
      {"a middle record removed", Edit::kRemove, 2, 3, digest},
      {"two records swapped", Edit::kSwap, 1, 2, digest},
      {"a chain link that is no digest", Edit::kNoDigest, 0, 1, "not a SHA-256 digest"},
      {"every record made unreadable", Edit::kNoneReadable, 0, 1, "no line of it is a record"},
  };
  for (const auto& c : cases) {
    CJournal j;
    j.Append(4);
    std::vector<std::string> l = Lines(j.Text());
    switch (c.edit) {
      case Edit::kByte:
        l[c.at] = Replaced(l[c.at], "host-1", "host-7");
        break;
      case Edit::kUnreadable:
        l[c.at].pop_back();
        break;
      case Edit::kRemove:
        l.erase(l.begin() + static_cast<long>(c.at));
        break;
      case Edit::kSwap:
        std::swap(l[c.at], l[c.at + 1]);
        break;
      case Edit::kNoDigest:
        l[c.at] = Replaced(l[c.at], std::string(64, '0'), "0");
        break;
      case Edit::kNoneReadable:
        for (std::string& line : l) line.pop_back();
        break;
    }
    j.SetText(Joined(l));
    const JournalCheck check = VerifyJournal(j.path);
    EXPECT_FALSE(check.ok) << c.name;
    EXPECT_EQ(check.faultLine, c.faultLine) << c.name;
    EXPECT_NE(check.why.find(c.why), std::string::npos) << c.name << ": " << check.why;
  }
}

TEST(Journal, WritersAtOnceLeaveWholeRecordsInOneChain) {
  CJournal j;
  constexpr int kWriters = 4, kEach = 25;
  const auto write = [&j](int writer) {
    bool ok = true;
    for (int i = 0; i < kEach; ++i) {
      ok = AppendJournal(j.path, Sample(std::to_string(writer) + "/" + std::to_string(i))).ok && ok;
    }
    return ok;
  };
#ifdef _WIN32
  // Threads, each append with a handle of its own.
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) threads.emplace_back([&, w] { EXPECT_TRUE(write(w)); });
  for (std::thread& t : threads) t.join();
#else
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(write(w) ? 0 : 1);
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
#endif
  const JournalCheck check = VerifyJournal(j.path);
  EXPECT_TRUE(check.ok) << check.faultLine << ": " << check.why;
  EXPECT_EQ(check.records, kWriters * kEach);
  EXPECT_TRUE(check.tornLines.empty());
  std::set<std::string> hosts;
  for (const JournalEntry& e : ReadJournal(j.path).records) hosts.insert(e.host);
  EXPECT_EQ(hosts.size(), static_cast<std::size_t>(kWriters * kEach));
}

// The journal's lock taken through a handle of its own, as another updater
// takes it: flock on Linux, the byte at 2^62 on Windows.
class CHeldLock {
 public:
  explicit CHeldLock(const std::string& path) {
#ifdef _WIN32
    m_file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    m_at.OffsetHigh = 0x40000000;
    held = m_file != INVALID_HANDLE_VALUE &&
           LockFileEx(m_file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &m_at) != 0;
#else
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    held = m_fd >= 0 && ::flock(m_fd, LOCK_EX) == 0;
#endif
  }
  ~CHeldLock() {
    Release();
#ifdef _WIN32
    if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
#else
    if (m_fd >= 0) ::close(m_fd);
#endif
  }
  void Release() {
    if (!held) return;
#ifdef _WIN32
    UnlockFileEx(m_file, 0, 1, 0, &m_at);
#else
    ::flock(m_fd, LOCK_UN);
#endif
    held = false;
  }
  bool held = false;

 private:
#ifdef _WIN32
  HANDLE m_file = INVALID_HANDLE_VALUE;
  OVERLAPPED m_at{};
#else
  int m_fd = -1;
#endif
};

TEST(Journal, AWriterGivesUpOnALockHeldTooLongAndGoesOnWhenItIsFreed) {
  CJournal j;
  j.Append(1);
  {
    CHeldLock other(j.path);
    ASSERT_TRUE(other.held);
    const JournalWrite w = AppendJournal(j.path, Sample());
    EXPECT_FALSE(w.ok);
    EXPECT_EQ(w.reason, "locked by another program");
  }
  // Freed while the writer waits: the record goes in, chained as ever.
  CHeldLock other(j.path);
  ASSERT_TRUE(other.held);
  std::thread release([&other] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    other.Release();
  });
  const JournalWrite w = AppendJournal(j.path, Sample());
  release.join();
  EXPECT_TRUE(w.ok) << w.reason;
  const JournalCheck check = VerifyJournal(j.path);
  EXPECT_TRUE(check.ok && check.records == 2) << check.why;
}

TEST(Journal, MissingUnreadableAndUnwritableJournalsSayWhy) {
  CJournal j;
  const JournalRead missing = ReadJournal(j.path);
  EXPECT_FALSE(missing.exists);
  EXPECT_TRUE(missing.error.empty() && missing.records.empty());
  j.dir.Write("file", "x");
  const JournalWrite w = AppendJournal(j.dir.File("file") + "/journal.jsonl", Sample());
  EXPECT_FALSE(w.ok);
  EXPECT_NE(w.reason.find(j.dir.File("file")), std::string::npos) << w.reason;
#ifndef _WIN32
  EXPECT_NE(w.reason.find(std::strerror(ENOTDIR)), std::string::npos) << w.reason;
  EXPECT_FALSE(ReadJournal(j.dir.Path()).error.empty());  // a folder
#endif
}

// The cells of an RFC 4180 text, row by row.
std::vector<std::vector<std::string>> CsvCells(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
      rows.back().back() += '"', ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == ',') {
      rows.back().emplace_back();
    } else if (!quoted && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      rows.emplace_back(1), ++i;
    } else {
      rows.back().back() += c;
    }
  }
  if (rows.back().size() == 1 && rows.back()[0].empty()) rows.pop_back();
  return rows;
}

TEST(ExportJournalCsv, QuotesCellsAndKeepsFormulasText) {
  CTestDir dir;
  JournalRead journal;
  JournalEntry e = Sample("=HYPERLINK(\"http://x\",\"y\")");
  e.user = "+SUM(A1)";
  e.device = {};
  e.device.vidPid = "04D8:003F";
  e.firmware.path = "C:\\fw\\new, \"final\".s19";
  e.detail = "-1\nsecond line";
  e.reason = "@cmd";
  journal.records = {Sample(), e};
  std::string why;
  ASSERT_TRUE(ExportJournalCsv(journal, dir.File("out.csv"), why)) << why;
  const std::string text = dir.Read("out.csv");
  ASSERT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
  const auto rows = CsvCells(text.substr(3));
  ASSERT_EQ(rows.size(), 3u);
  const auto cell = [&](std::size_t row, const std::string& column) {
    for (std::size_t i = 0; i < rows[0].size(); ++i) {
      if (rows[0][i] == column) return rows[row].at(i);
    }
    ADD_FAILURE() << "no column " << column;
    return std::string();
  };
  EXPECT_EQ(cell(2, "host"), "'=HYPERLINK(\"http://x\",\"y\")");
  EXPECT_EQ(cell(2, "user"), "'+SUM(A1)");
  EXPECT_EQ(cell(2, "detail"), "'-1\nsecond line");
  EXPECT_EQ(cell(2, "reason"), "'@cmd");
  EXPECT_EQ(cell(2, "firmware"), "C:\\fw\\new, \"final\".s19");
  EXPECT_EQ(cell(2, "device"), "04D8:003F");
  EXPECT_EQ(cell(1, "device"), "/dev/serial/by-id/usb-FTDI-if00");
  EXPECT_EQ(cell(1, "user"), Sample().user);
  EXPECT_EQ(cell(1, "size"), "18446744073709551615");
  EXPECT_EQ(cell(1, "frames_resent"), "3");
  for (const auto& row : rows) EXPECT_EQ(row.size(), rows[0].size());
  EXPECT_FALSE(ExportJournalCsv(journal, dir.File("no/such/folder.csv"), why));
  EXPECT_FALSE(why.empty());

  // An export that fails part way (the file size limit here, a full disk alike)
  // leaves the spreadsheet that was there whole, and nothing beside it.
  const std::string old = "ended,begun\r\nold,sheet\r\n";
  dir.Write("old.csv", old);
  JournalRead many;
  many.records.assign(200, Sample());
#ifndef _WIN32
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16 * 1024, 16 * 1024};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
    std::string childWhy;
    _exit(ExportJournalCsv(many, dir.File("old.csv"), childWhy) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(dir.Read("old.csv"), old);
#endif
  ASSERT_TRUE(ExportJournalCsv(many, dir.File("old.csv"), why)) << why;
  EXPECT_EQ(CsvCells(dir.Read("old.csv").substr(3)).size(), 201u);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"old.csv", "out.csv"}));
}

TEST(JournalRows, TheListShowsTheNewestFirstWithAWindowsFileNameAndAUsbDevice) {
  JournalRead journal;
  journal.records = {Sample(), Sample()};
  JournalEntry& usb = journal.records[1];
  usb.device = {};
  usb.device.vidPid = "04D8:003F";
  usb.firmware.path = "C:\\fw\\b.S19";
  usb.firmware.sha256 = "3fa2c1d0" + std::string(56, 'f');
  usb.result = "cancelled", usb.reason = "user_cancel";
  const std::vector<JournalRow> rows = NewestRows(journal, 5);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].device, "04D8:003F");
  EXPECT_EQ(rows[0].firmware, "b.S19 (3fa2c1d0)");
  EXPECT_EQ(rows[0].result, "cancelled");
  EXPECT_EQ(rows[1].time, "2026-12-10 13:05:10");
  EXPECT_EQ(rows[1].result, "failed: timeout");
  EXPECT_EQ(NewestRows(journal, 1).size(), 1u);
}

}  // namespace
