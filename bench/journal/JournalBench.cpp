// What the service journal costs an update: one record appended (the lock, one
// write, the flush to disk), on a journal that is new and on one that already
// holds many records (the append reads the last line to chain to it), and what
// listing and checking the whole chain cost.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "journal/Journal.h"

namespace fs = std::filesystem;

namespace {

// A record as an update of a 16 MiB image over USB leaves it.
JournalEntry Sample(int i) {
  JournalEntry e;
  e.begun = "2026-12-10T13:04:05Z";
  e.ended = "2026-12-10T13:14:05Z";
  e.program = "iapflash";
  e.version = "1.0.0";
  e.variant = "solvane";
  e.host = "bench-host";
  e.user = "technician";
  e.interfaceKind = "USB";
  e.device.hidPath = "/dev/hidraw3";
  e.device.vidPid = "1209:0001";
  e.device.product = "Charge controller";
  e.device.serial = "SN" + std::to_string(100000 + i);
  e.firmware.path = "/home/technician/firmware/mppt-4.2.1.s19";
  e.firmware.size = 39935u * 1024u;
  e.firmware.sha256 = std::string(64, 'a');
  e.profile.section = "DEVICE0";
  e.profile.romHead = 0x10000;
  e.profile.romTail = 0xFFFFFF;
  e.profile.recordSize = 32;
  e.profile.baudRate = 9600;
  e.profile.programBaudRate = 9600;
  e.framesSent = e.framesAcknowledged = 524288;
  e.bytes = 524288u * 41u;
  e.streamSha256 = std::string(64, 'b');
  e.stage = "end_of_file";
  e.result = "done";
  e.reason = "none";
  return e;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main() {
  const fs::path dir =
      fs::temp_directory_path() / ("iap-journal-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string path = (dir / "journal.jsonl").string();
  int status = 0;

  // Appends to a new journal, then on to 10 000 records; the first 50 and the
  // last 50 appends are timed.
  std::vector<double> first, last;
  constexpr int kRecords = 10000;
  for (int i = 0; i < kRecords; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!AppendJournal(path, Sample(i)).ok) {
      std::fprintf(stderr, "journal bench: append %d failed\n", i);
      status = 1;
      break;
    }
    const double took = Seconds(start);
    if (i < 50) first.push_back(took);
    if (i >= kRecords - 50) last.push_back(took);
  }
  const auto size = fs::file_size(path);
  auto start = std::chrono::steady_clock::now();
  const JournalRead read = ReadJournal(path);
  const double readSeconds = Seconds(start);
  start = std::chrono::steady_clock::now();
  const JournalCheck check = VerifyJournal(path);
  const double checkSeconds = Seconds(start);
  if (read.records.size() != kRecords || !check.ok || check.records != kRecords) status = 1;

  std::printf("service journal (one record %.0f bytes; append = lock, one write, flush to disk):\n",
              double(size) / kRecords);
  if (!first.empty() && !last.empty()) {
    std::printf("  append, records 1-50           %8.3f ms (median)\n", 1000 * Median(first));
    std::printf("  append, records 9951-10000     %8.3f ms (median)\n", 1000 * Median(last));
  }
  std::printf("  list 10 000 records (%.1f MiB) %8.2f ms\n", double(size) / (1 << 20),
              1000 * readSeconds);
  std::printf("  verify the chain of 10 000     %8.2f ms\n", 1000 * checkSeconds);
  if (!last.empty()) std::printf("figure: journal_append_ms %.3f\n", 1000 * Median(last));
  std::printf("figure: journal_verify_10k_ms %.2f\n", 1000 * checkSeconds);
  fs::remove_all(dir);
  return status;
}
