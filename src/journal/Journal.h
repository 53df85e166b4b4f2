#pragma once
// The service journal: one record per update that reached Update Firmware, from
// any face, appended to a JSON-lines file. Each record carries the SHA-256 of the
// line before it, so an edited, removed or reordered record breaks the chain and
// shows; a warranty claim or a recall can then trust what it reads here.
//
// A record is written whole with one append under an exclusive lock and flushed
// to disk: two updaters at once never interleave inside a record, and a crash
// leaves at most a torn last line, which a reader reports and skips. A writer
// waits for the lock at most 5 seconds: one that holds it longer is hung.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The device behind the interface the update went over.
struct JournalDevice {
  std::string path;     // the serial port (/dev/ttyUSB0, COM3); empty for USB
  std::string byId;     // the port's stable name (/dev/serial/by-id/...), if any
  std::string hidPath;  // the HID device's path; empty for a serial port
  std::string vidPid;   // "VVVV:PPPP" in hex, for USB
  std::string product;  // the USB product string
  std::string serial;   // the USB serial number
};

struct JournalFirmware {
  std::string path;
  std::uint64_t size = 0;
  std::string sha256;          // of the bytes File read
  std::string keyId;           // the signature's key id, when one was verified
  std::string trustedComment;  // the verified trusted comment
};

// The device section the update used.
struct JournalProfile {
  std::string section;  // "DEVICE0": the section whose device map was in force
  std::int64_t romHead = 0;
  std::int64_t romTail = 0;
  int recordSize = 0;
  long baudRate = 0;         // BDRATE: the programmer's first speed
  long programBaudRate = 0;  // PROGRAMBDRATE: the speed of the transfer
};

struct JournalEntry {
  std::string begun;  // ISO 8601, UTC: "2026-12-10T13:04:05Z"
  std::string ended;
  std::string program;  // "solvane", "castrel", "iapflash"
  std::string version;
  std::string variant;  // "solvane" or "castrel"
  std::string host;
  std::string user;
  std::string interfaceKind;  // "USB", "COM" or "" when none was opened
  JournalDevice device;
  JournalFirmware firmware;
  JournalProfile profile;
  long framesSent = 0;
  long framesAcknowledged = 0;
  long framesResent = 0;
  std::uint64_t bytes = 0;   // bytes of the acknowledged frames (what streamSha256 covers)
  std::string streamSha256;  // of the acknowledged frames' bytes, in order
  // The outcome: StageName, ResultName and ReasonName of the update's last
  // stage, and what identifies the place (the box or log text, a line, a frame).
  std::string stage;
  std::string result;
  std::string reason;
  std::string detail;
  // The SHA-256 of the previous record's line (without its line end); 64 zeros
  // for the first record. AppendJournal fills it in.
  std::string previous;
};

// The journal file: IAP_JOURNAL when set and not empty; otherwise
// $XDG_STATE_HOME/iap-updater/journal.jsonl (~/.local/state/... when unset) on
// Linux, %LOCALAPPDATA%\IAP Updater\journal.jsonl on Windows.
std::string DefaultJournalPath();

// Now, as ISO 8601 UTC with seconds: "2026-12-10T13:04:05Z".
std::string UtcNow();

// One record as its line (no line end), the keys always in the same order.
std::string JournalLine(const JournalEntry& entry);
// A line back as a record; nothing, and why, when it is not one of well-formed
// records (not JSON, a key missing, a value of the wrong type).
std::optional<JournalEntry> ParseJournalLine(const std::string& line, std::string* why = nullptr);

// Appends entry (its previous set to the digest of the last whole record) to
// the journal at path, creating the file and its folders. Empty reason when it
// worked; otherwise what went wrong, in the system's words, or kJournalLocked
// when another program held the journal's lock for all of 5 seconds.
inline constexpr const char* kJournalLocked = "locked by another program";
struct JournalWrite {
  bool ok = false;
  std::string reason;
};
JournalWrite AppendJournal(const std::string& path, JournalEntry entry);

// Every whole record of the journal, oldest first. lineNumbers[i] is the
// 1-based line of records[i], lines[i] that line as it is in the file (without
// its line end: the bytes the next record's previous is the digest of); tornLines lists lines that are not records (a
// crash's half line) and were skipped. A missing journal reads as empty, with
// exists false; error says why a journal that is there could not be read.
struct JournalRead {
  bool exists = false;
  std::string error;
  std::vector<JournalEntry> records;
  std::vector<std::string> lines;
  std::vector<long> lineNumbers;
  std::vector<long> tornLines;
};
JournalRead ReadJournal(const std::string& path);

// The chain and every record's form. ok with the number of records that hold,
// or the first record at fault: its line and why. A journal with lines but not
// one record is at fault on its first line.
struct JournalCheck {
  bool ok = false;
  long records = 0;
  long faultLine = 0;
  std::string why;
  std::vector<long> tornLines;
  // false when there is no journal at all (ok, with no records); why then is
  // empty. A journal that cannot be read: not ok, faultLine 0, why the system's words.
  bool exists = false;
  // The line of the whole record before the one at fault, 0 when it is the first:
  // the chain cannot tell which of the two was changed.
  long previousLine = 0;
  // When ok with records: the SHA-256 of the newest record's line. No record
  // after it carries that digest, so only one noted elsewhere can vouch for it.
  std::string newestDigest;
};
JournalCheck VerifyJournal(const std::string& path);

// The records as a spreadsheet (CSV, one header row), written to a temporary
// file beside csvPath and renamed onto it: a write that fails leaves the file
// that was there whole. false and why when it cannot be written.
bool ExportJournalCsv(const JournalRead& journal, const std::string& csvPath, std::string& why);

// What the windows' journal list shows of a record.
struct JournalRow {
  std::string time;      // when it ended, "2026-12-10 13:04:05" (UTC)
  std::string device;    // the by-id name, the port or VID:PID
  std::string firmware;  // file name and short hash: "app.s19 (3fa2c1d0)"
  std::string result;    // "done", or "failed: no_ready_reply", "cancelled"
};
JournalRow RowOf(const JournalEntry& entry);
// The newest count records, newest first.
std::vector<JournalRow> NewestRows(const JournalRead& journal, std::size_t count);
