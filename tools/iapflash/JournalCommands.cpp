#include "JournalCommands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "journal/Journal.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

// The columns of the terminal on stdout; 0 when stdout is none (a pipe, a file),
// whose reader gets every line whole.
std::size_t StdoutColumns() {
#ifdef _WIN32
  if (!_isatty(_fileno(stdout))) return 0;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
  }
#else
  if (!::isatty(STDOUT_FILENO)) return 0;
  struct winsize size {};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  return 80;
}

// Characters on the screen: UTF-8 continuation bytes take no column of their own.
std::size_t Width(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The text in at most width columns, its start cut off: the end of a by-id name
// (the adapter's serial number) and of a firmware cell (the short hash) are what
// tell one from another.
std::string KeepEnd(const std::string& text, std::size_t width) {
  if (Width(text) <= width) return text;
  if (width <= 3) return std::string(width, '.');
  std::size_t begin = text.size();
  for (std::size_t kept = 0; begin > 0 && kept < width - 3;) {
    --begin;
    if ((static_cast<unsigned char>(text[begin]) & 0xC0) != 0x80) ++kept;
  }
  return "..." + text.substr(begin);
}

// A firmware cell in at most width columns: the file name gives up its start,
// the short hash in brackets after it stays whole while it can.
std::string FitFirmware(const std::string& text, std::size_t width) {
  const std::size_t hash = text.rfind(" (");
  if (Width(text) <= width || hash == std::string::npos || text.back() != ')') {
    return KeepEnd(text, width);
  }
  const std::string suffix = text.substr(hash);
  if (width < Width(suffix) + 4) return KeepEnd(text, width);
  return KeepEnd(text.substr(0, hash), width - Width(suffix)) + suffix;
}

std::string Padded(const std::string& text, std::size_t width) {
  const std::size_t used = Width(text);
  return used >= width ? text : text + std::string(width - used, ' ');
}

void ReportTorn(const std::vector<long>& lines) {
  for (const long line : lines) {
    std::fprintf(stderr, "iapflash: journal line %ld is torn and was skipped\n", line);
  }
}

// The journal read, or 1 after saying why it could not be.
bool ReadOrSay(const std::string& path, JournalRead& journal) {
  journal = ReadJournal(path);
  if (journal.error.empty()) return true;
  std::fprintf(stderr, "iapflash: cannot read the journal %s: %s\n", path.c_str(),
               journal.error.c_str());
  return false;
}

int List(const std::string& path, bool json) {
  JournalRead journal;
  if (!ReadOrSay(path, journal)) return 1;
  ReportTorn(journal.tornLines);
  if (!journal.exists) {
    std::fprintf(stderr, "iapflash: there is no journal at %s: no update was recorded yet\n",
                 path.c_str());
    return 0;
  }
  if (json) {
    // Each record's line as the file holds it, keys of a later version and
    // escapes as written: the digest of each is the next record's previous.
    for (const std::string& line : journal.lines) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return 0;
  }
  std::printf("Journal: %s\n", path.c_str());
  if (journal.records.empty()) {
    std::printf("  (no records)\n");
    std::fflush(stdout);
    return 0;
  }
  struct Cells {
    std::string time, variant, device, firmware, result;
  };
  std::vector<Cells> rows{{"ended (UTC)", "variant", "device", "firmware", "result"}};
  for (const JournalEntry& record : journal.records) {
    const JournalRow row = RowOf(record);
    rows.push_back({row.time, record.variant, row.device, row.firmware, row.result});
  }
  std::size_t time = 0, variant = 0, device = 0, firmware = 0, result = 0;
  for (const Cells& row : rows) {
    time = std::max(time, Width(row.time));
    variant = std::max(variant, Width(row.variant));
    device = std::max(device, Width(row.device));
    firmware = std::max(firmware, Width(row.firmware));
    result = std::max(result, Width(row.result));
  }
  // On a terminal too narrow for the whole, the device and the firmware columns
  // share what the others leave: the narrower keeps its width up to half of it.
  constexpr std::size_t kGaps = 4 * 2, kNarrowest = 8;
  // A line keeps the terminal's last column free: a Windows console adds an
  // empty line after one that fills its width.
  const std::size_t columns = StdoutColumns(), fit = columns > 0 ? columns - 1 : 0;
  // Too narrow even for that (a terminal of 45 columns): two lines a record, the
  // time and the result, then the variant, device and firmware below, indented;
  // a result too long to follow the time goes on a line of its own.
  if (columns > 0 && time + variant + result + kGaps + 2 * kNarrowest > fit) {
    const std::size_t indent = 2, room = fit > indent + variant + 4 + 2 * kNarrowest
                                             ? fit - indent - variant - 4
                                             : 2 * kNarrowest;
    const std::size_t d = std::min(device, std::max(room / 2, room - std::min(firmware, room)));
    const std::size_t f = room - d;
    const std::string margin(indent, ' ');
    for (std::size_t i = 1; i < rows.size(); ++i) {
      const Cells& row = rows[i];
      const bool follows = Width(row.time) + 2 + Width(row.result) <= fit;
      std::printf("%s%s%s\n%s%s  %s  %s\n", row.time.c_str(), follows ? "  " : "\n  ",
                  row.result.c_str(), margin.c_str(), Padded(row.variant, variant).c_str(),
                  Padded(KeepEnd(row.device, d), d).c_str(), FitFirmware(row.firmware, f).c_str());
    }
    std::fflush(stdout);
    return 0;
  }
  if (columns > 0 && time + variant + device + firmware + result + kGaps > fit) {
    const std::size_t fixed = time + variant + result + kGaps;
    const std::size_t room = fit > fixed + 2 * kNarrowest ? fit - fixed : 2 * kNarrowest;
    std::size_t& narrower = device <= firmware ? device : firmware;
    std::size_t& wider = device <= firmware ? firmware : device;
    narrower = std::min(narrower, std::max(room / 2, kNarrowest));
    wider = std::max(room - narrower, kNarrowest);
  }
  for (const Cells& row : rows) {
    const std::string line = Padded(row.time, time) + "  " + Padded(row.variant, variant) + "  " +
                             Padded(KeepEnd(row.device, device), device) + "  " +
                             Padded(FitFirmware(row.firmware, firmware), firmware) + "  " +
                             row.result;
    std::printf("%s\n", line.c_str());
  }
  std::fflush(stdout);
  return 0;
}

int Verify(const std::string& path) {
  const JournalCheck check = VerifyJournal(path);
  ReportTorn(check.tornLines);
  if (!check.exists && check.why.empty()) {
    // Nothing to vouch for: a journal that was deleted looks just like this.
    std::fprintf(stderr, "iapflash: there is no journal at %s\n", path.c_str());
    return 1;
  }
  if (!check.ok && check.faultLine == 0) {
    std::fprintf(stderr, "iapflash: cannot read the journal %s: %s\n", path.c_str(),
                 check.why.c_str());
    return 1;
  }
  if (!check.ok && !check.tornLines.empty() && check.faultLine == check.tornLines.front() &&
      check.records == 0) {
    std::fprintf(stderr, "iapflash: the journal %s does not hold: %s\n", path.c_str(),
                 check.why.c_str());
    return 1;
  }
  if (!check.ok) {
    std::string because;
    if (check.previousLine > 0) {
      because = " (the record on line " + std::to_string(check.previousLine) +
                " or this one was changed, or records were removed or reordered between them)";
    }
    std::fprintf(stderr, "iapflash: the journal %s does not hold: line %ld: %s%s\n", path.c_str(),
                 check.faultLine, check.why.c_str(), because.c_str());
    return 1;
  }
  // The newest record is named: a chain cannot show that records were cut off
  // its end, the one who checks can.
  std::string newest;
  if (check.records > 0) {
    const JournalRead journal = ReadJournal(path);
    if (!journal.records.empty()) {
      newest = ", the newest on line " + std::to_string(journal.lineNumbers.back()) + ", ended " +
               RowOf(journal.records.back()).time;
    }
  }
  std::printf("The journal %s holds: %ld record%s in an unbroken chain%s.\n", path.c_str(),
              check.records, check.records == 1 ? "" : "s", newest.c_str());
  // No record after the newest carries its digest: noted elsewhere, it is the
  // anchor a later check compares with.
  if (!check.newestDigest.empty()) {
    std::printf(
        "  the newest record's digest: %s\n"
        "  (no record follows it, so the chain cannot protect it: note the digest)\n",
        check.newestDigest.c_str());
  }
  std::fflush(stdout);
  return 0;
}

// Whether csvPath names the journal itself: the same file (by a link or another
// spelling) when both are there, else the same path once made absolute.
bool IsTheJournal(const std::string& path, const std::string& csvPath) {
  namespace fs = std::filesystem;
  std::error_code ec, ec2;
  if (fs::exists(path, ec) && fs::exists(csvPath, ec2)) {
    const bool same = fs::equivalent(path, csvPath, ec);
    if (!ec) return same;
  }
  std::string journal = fs::absolute(path, ec).lexically_normal().string();
  if (ec) journal = fs::path(path).lexically_normal().string();
  std::string csv = fs::path(csvPath).lexically_normal().string();
#ifdef _WIN32
  // NTFS takes a name in any case.
  for (std::string* text : {&journal, &csv}) {
    std::transform(text->begin(), text->end(), text->begin(), [](unsigned char c) {
      return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
  }
#endif
  return journal == csv;
}

int Export(const std::string& path, const std::string& csvPath) {
  if (IsTheJournal(path, csvPath)) {
    std::fprintf(stderr,
                 "iapflash: will not write the spreadsheet %s over the journal %s: it is the "
                 "journal's own file\n",
                 csvPath.c_str(), path.c_str());
    return 1;
  }
  JournalRead journal;
  if (!ReadOrSay(path, journal)) return 1;
  ReportTorn(journal.tornLines);
  if (!journal.exists) {
    std::fprintf(stderr, "iapflash: there is no journal at %s: the spreadsheet has no records\n",
                 path.c_str());
  }
  std::string why;
  if (!ExportJournalCsv(journal, csvPath, why)) {
    std::fprintf(stderr, "iapflash: cannot write %s: %s\n", csvPath.c_str(), why.c_str());
    return 1;
  }
  std::printf("Wrote %zu record%s of %s to %s\n", journal.records.size(),
              journal.records.size() == 1 ? "" : "s", path.c_str(), csvPath.c_str());
  std::fflush(stdout);
  return 0;
}

}  // namespace

void AddJournalOptions(CLI::App& app, JournalCommand& command) {
  CLI::Option* list = app.add_flag(
      "--journal", command.list,
      "list the service journal (the updates made here; --json: its JSON lines), then end");
  CLI::Option* verify = app.add_flag("--journal-verify", command.verify,
                                     "check the journal's chain: exit 0 when every record holds, 1 "
                                     "naming the first that does not");
  CLI::Option* exported =
      app.add_option("--journal-export", command.exportCsv,
                     "write the journal as a spreadsheet (CSV, UTF-8) to FILE, then end")
          ->type_name("FILE")
          ->transform(CLI::Validator(
              [](std::string& value) {
                if (value.empty()) return std::string("the value is empty");
                std::error_code ec;
                const auto full = std::filesystem::absolute(value, ec);
                if (!ec) value = full.lexically_normal().string();
                return std::string();
              },
              ""));
  // Each is a run of its own: none goes with a firmware file, another job or
  // another of them. Checked once all is parsed, the others' counts known.
  CLI::Option* const ours[] = {list, verify, exported};
  for (CLI::Option* option : ours) {
    const std::string name = option->get_name();
    option->check(CLI::Validator(
        [&app, name](std::string&) {
          for (const char* other :
               {"FIRMWARE", "--list", "--udev-rule", "--check-config", "--prepare-only",
                "--journal", "--journal-verify", "--journal-export"}) {
            const CLI::Option* given = app.get_option_no_throw(other);
            if (given == nullptr || given->count() == 0 || given->get_name() == name) continue;
            return std::string(other) == "FIRMWARE" ? std::string("takes no firmware file")
                                                    : "goes with no " + given->get_name();
          }
          return std::string();
        },
        ""));
  }
  app.footer(app.get_footer() +
             "\n\nService journal: every update that reaches Update Firmware, from iapflash or a "
             "window, is\nappended as one JSON line to IAP_JOURNAL when set, else to\n"
#ifdef _WIN32
             "%LOCALAPPDATA%\\IAP Updater\\journal.jsonl."
#else
             "$XDG_STATE_HOME/iap-updater/journal.jsonl (~/.local/state/... when unset)."
#endif
             " Each record\ncarries the SHA-256 of the one before it, which --journal-verify "
             "checks.");
}

int RunJournalCommand(const JournalCommand& command, bool json) {
  const std::string path = DefaultJournalPath();
  if (command.verify) return Verify(path);
  if (!command.exportCsv.empty()) return Export(path, command.exportCsv);
  return List(path, json);
}
