// Times the File command's whole image pipeline (S-record file read, rows, page
// layout, tmp.txt and tmp.bin written) against srec_cat making a filled binary
// of the same file, and reports the peak resident memory of each.
//
// Each run is a child process, so that its peak resident set (ru_maxrss from
// wait4) is its own: "image_bench --pipeline ..." runs our pipeline once through
// the dialog, "image_bench --idle" is the same program doing nothing (the memory
// any run starts with), and "image_bench --floor FILE" does only what no
// pipeline can do without: it reads the file and decodes its hex digits once.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/UpdaterDlg.h"
#include "config/DeviceProfile.h"
#include "res/Variant.h"
#include "trust/Minisign.h"

namespace fs = std::filesystem;

namespace {

// A window system with no window: the combo box shows "COM1" and the file
// dialog answers with the file under test.
class CNullWindowSystem : public CWindowSystem {
 public:
  explicit CNullWindowSystem(std::string file) : m_file(std::move(file)) {}
  bool updateEnabled = false;
  void SetText(int, const std::string&) override {}
  std::string GetText(int) const override { return {}; }
  void Enable(int id, bool on) override {
    if (id == IDC_UPDATE) updateEnabled = on;
  }
  bool IsEnabled(int) const override { return true; }
  void SetFont(int, const FontSpec&) override {}
  void SetProgressPos(int) override {}
  void ComboInsert(int, const std::string&) override {}
  void ComboSelect(int) override {}
  std::string ComboSelectedText() const override { return "COM1"; }
  void LogInserted(int, const std::string&) override {}
  void LogSelect(int) override {}
  void LogSetHorizontalExtent(int) override {}
  int LogTextWidth(const std::string& text) const override { return 7 * int(text.size()); }
  void SetWindowIcon() override {}
  bool AppendSystemMenuSeparator() override { return false; }
  bool AppendSystemMenuItem(unsigned, const std::string&) override { return false; }
  void ShowMessageBox(const std::string& text, const std::string&, BoxIcon) override {
    std::fprintf(stderr, "box: %s\n", text.c_str());
  }
  void ShowAboutBox(const std::string&, const std::string&, const std::string&) override {}
  std::optional<std::string> OpenFileDialog(const FileDialogRequest&) override { return m_file; }

 private:
  std::string m_file;
};

struct ImageShape {
  const char* name;
  const char* key;  // its name in the figure lines
  std::uint32_t romHead;
  std::uint32_t bytes;
  bool wide;       // 24-bit addresses (S2 lines)
  int recordSize;  // also the data bytes per line
  int runs;
};

// An S-record file of shape.bytes pseudo-random bytes from ROMHEAD, with seven
// holes of one line (at every eighth of the image) so that rows need fill.
void WriteSRecordFile(const ImageShape& shape, const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::exit(2);
  std::fputs("S00600004844521B\r\n", f);
  std::uint32_t seed = 12345;
  std::string line;
  char pair[3];
  auto put = [&](int value, int& sum) {
    std::snprintf(pair, sizeof pair, "%02X", value & 0xFF);
    line += pair;
    sum += value & 0xFF;
  };
  const int per = shape.recordSize;
  const std::uint32_t holeEvery = shape.bytes / 8;
  for (std::uint32_t off = 0; off < shape.bytes; off += per) {
    if (off != 0 && off % holeEvery == 0) continue;
    const std::uint32_t a = shape.romHead + off;
    int sum = 0;
    line = shape.wide ? "S2" : "S1";
    put(per + (shape.wide ? 4 : 3), sum);
    if (shape.wide) put(int(a >> 16), sum);
    put(int(a >> 8), sum);
    put(int(a), sum);
    for (int k = 0; k < per; ++k) {
      seed = seed * 1103515245u + 12345u;
      put(int(seed >> 16), sum);
    }
    put(~sum, sum);
    line += "\r\n";
    std::fwrite(line.data(), 1, line.size(), f);
  }
  std::fputs(shape.wide ? "S804000000FB\r\n" : "S9030000FC\r\n", f);
  std::fclose(f);
}

void SetProfile(const ImageShape& shape) {
  ActiveProfile = DeviceMap{};
  ActiveProfile.recordSize = static_cast<std::uint8_t>(shape.recordSize);
  ActiveProfile.ROMHEAD = shape.romHead;
  ActiveProfile.ROMTAIL = shape.wide ? 0xFFFFFF : 0xFFFF;
  ActiveProfile.PAGESIZE = 0x200;
  ActiveProfile.IAPMARK = shape.romHead + 0x400;
}

struct RunResult {
  double seconds;
  long maxRssKiB;
  int status;
};

RunResult RunChild(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const auto end = std::chrono::steady_clock::now();
  return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss,
          WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

const ImageShape kSpecs[] = {
    {"48 KiB, 16-bit", "48k", 0x4000, 48u << 10, false, 16, 21},
    {"1 MiB, 24-bit", "1m", 0x100000, 1u << 20, true, 32, 11},
    {"16 MiB, 24-bit", "16m", 0x000000, 16u << 20, true, 32, 5},
};

// The floor: the file read in the pipeline's chunks, and every pair of hex
// digits after each line's type decoded once (the sum keeps the work from being
// optimised away). No check, no row, no output.
int RunFloor(const std::string& file) {
  std::FILE* f = std::fopen(file.c_str(), "rb");
  if (!f) return 2;
  static signed char nibble[256];
  for (int c = 0; c < 256; ++c) {
    nibble[c] = static_cast<signed char>(c >= '0' && c <= '9'   ? c - '0'
                                         : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                                : -1);
  }
  static char chunk[64 * 1024 + 1024];
  std::size_t kept = 0;  // the start of a line cut by the chunk's end
  unsigned sum = 0;
  std::size_t n;
  while ((n = std::fread(chunk + kept, 1, 64 * 1024, f)) > 0 || kept > 0) {
    const char* p = chunk;
    const char* end = chunk + kept + n;
    for (;;) {
      const char* eol = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
      if (!eol) break;
      const auto* q = reinterpret_cast<const unsigned char*>(p) + 2;  // after "Sn"
      for (; q + 1 < reinterpret_cast<const unsigned char*>(eol); q += 2)
        sum += unsigned(nibble[q[0]] * 16 + nibble[q[1]]);
      p = eol + 1;
    }
    kept = std::size_t(end - p);
    std::memmove(chunk, p, kept);
    if (n == 0) break;
  }
  std::fclose(f);
  return sum == 1 ? 3 : 0;  // never 3 in practice; the sum must be used
}

int RunPipeline(int index, const std::string& file) {
  SetProfile(kSpecs[index]);
  // A signed run: File checks file.minisig against this key first.
  if (const char* key = std::getenv("IAP_BENCH_SIGNKEY")) ActiveProfile.signKey = key;
  CNullWindowSystem ws(file);
  CUpdaterDlg dlg(ws, SolvaneStrings());
  dlg.OnFileButton();
  return ws.updateEnabled ? 0 : 1;
}

// The signature check on the largest file: the whole File command with a
// SIGNKEY (signature read, file read once into memory, checked, then the image
// built from those bytes) against the same without one, and the check alone.
int SignedFileFigures(const std::string& self, const fs::path& dir) {
  if (std::system("minisign -v > /dev/null 2>&1") != 0) {
    std::printf("\n(minisign not found: install the minisign package for the signature figures)\n");
    return 0;
  }
  const int index = int(std::size(kSpecs)) - 1;
  const ImageShape& shape = kSpecs[index];
  const std::string file = (dir / "signed.s19").string();
  WriteSRecordFile(shape, file);
  const std::string d = dir.string();
  const std::string sign = "cd '" + d + "' && minisign -G -W -f -p k.pub -s k.key > /dev/null && " +
                           "minisign -S -W -s k.key -m signed.s19 -t bench > /dev/null";
  if (std::system(sign.c_str()) != 0) return 1;
  std::string key;
  {
    std::FILE* pub = std::fopen((dir / "k.pub").string().c_str(), "r");
    char line[256];
    if (pub && std::fgets(line, sizeof line, pub) && std::fgets(line, sizeof line, pub)) key = line;
    if (pub) std::fclose(pub);
  }
  while (!key.empty() && (key.back() == '\n' || key.back() == '\r')) key.pop_back();
  const auto parsed = ParseMinisignKey(key);
  std::FILE* sigFile = std::fopen((dir / "signed.s19.minisig").string().c_str(), "rb");
  std::string signature(4096, '\0');
  signature.resize(sigFile ? std::fread(signature.data(), 1, signature.size(), sigFile) : 0);
  if (sigFile) std::fclose(sigFile);
  if (!parsed) return 1;

  std::vector<std::uint8_t> bytes(fs::file_size(file));
  std::FILE* in = std::fopen(file.c_str(), "rb");
  const bool read = in && std::fread(bytes.data(), 1, bytes.size(), in) == bytes.size();
  if (in) std::fclose(in);
  if (!read) return 1;
  std::vector<double> check;
  for (int r = 0; r < 9; ++r) {
    const auto start = std::chrono::steady_clock::now();
    if (!VerifyMinisign(*parsed, bytes, signature).Ok()) return 1;
    check.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  // A child forked while this process holds the file would count those pages
  // as its own until it execs: they go before the runs.
  const std::size_t fileBytes = bytes.size();
  std::vector<std::uint8_t>().swap(bytes);
  std::vector<double> plain, signedRuns;
  long plainRss = 0, signedRss = 0;
  int status = 0;
  for (int r = 0; r < shape.runs; ++r) {
    unsetenv("IAP_BENCH_SIGNKEY");
    const RunResult a = RunChild({self, "--pipeline", std::to_string(index), file}, d);
    setenv("IAP_BENCH_SIGNKEY", key.c_str(), 1);
    const RunResult b = RunChild({self, "--pipeline", std::to_string(index), file}, d);
    unsetenv("IAP_BENCH_SIGNKEY");
    if (a.status != 0 || b.status != 0) status = 1;
    plain.push_back(a.seconds);
    signedRuns.push_back(b.seconds);
    plainRss = std::max(plainRss, a.maxRssKiB);
    signedRss = std::max(signedRss, b.maxRssKiB);
  }
  std::printf("\nsignature (minisign, BLAKE2b-512 prehashed, Ed25519) on %s, %.0f KiB file:\n",
              shape.name, double(fileBytes) / 1024);
  std::printf("  check alone       %8.2f ms (%.0f MiB/s)\n", 1000 * Median(check),
              double(fileBytes) / (1 << 20) / Median(check));
  std::printf("  File unsigned     %8.2f ms, peak %ld KiB\n", 1000 * Median(plain), plainRss);
  std::printf("  File signed       %8.2f ms, peak %ld KiB (the file held in memory once)\n",
              1000 * Median(signedRuns), signedRss);
  std::printf("figure: signature_check_ms %.2f\nfigure: file_signed_extra_ms %.2f\n",
              1000 * Median(check), 1000 * (Median(signedRuns) - Median(plain)));
  if (status != 0) std::fprintf(stderr, "a signed or unsigned File failed\n");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--pipeline") == 0)
    return RunPipeline(std::atoi(argv[2]), argv[3]);
  // The file of one image shape, for looking at a run with a profiler.
  if (argc == 4 && std::strcmp(argv[1], "--write-file") == 0) {
    WriteSRecordFile(kSpecs[std::atoi(argv[2])], argv[3]);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--floor") == 0) return RunFloor(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "--idle") == 0) {
    CNullWindowSystem ws("");
    CUpdaterDlg dlg(ws, SolvaneStrings());
    return 0;
  }

  const std::string self = fs::canonical("/proc/self/exe").string();
  const fs::path dir = fs::temp_directory_path() / ("iap-image-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const bool haveSrecCat = std::system("srec_cat -version > /dev/null 2>&1") == 0;
  const RunResult idle = RunChild({self, "--idle"}, dir.string());

  std::printf(
      "image pipeline (File command: read, rows, page layout, tmp.txt + tmp.bin) vs\n"
      "srec_cat FILE -fill 0xFF -within FILE -range-padding 32 -o out.bin -binary\n");
  std::printf("idle process peak RSS: %ld KiB\n\n", idle.maxRssKiB);
  std::printf("%-16s %9s %5s %9s %9s %7s %9s %7s %9s %9s %7s %7s\n", "image", "file KiB", "runs",
              "ours ms", "srec ms", "ratio", "floor ms", "/floor", "ours KiB", "srec KiB", "B/byte",
              "net B/b");
  int status = 0;
  std::string figures;
  for (int i = 0; i < int(std::size(kSpecs)); ++i) {
    const ImageShape& shape = kSpecs[i];
    const std::string file = (dir / "image.s19").string();
    WriteSRecordFile(shape, file);
    std::vector<double> ours, theirs, floor;
    long oursRss = 0, theirsRss = 0;
    for (int r = 0; r < shape.runs; ++r) {
      floor.push_back(RunChild({self, "--floor", file}, dir.string()).seconds);
      const RunResult a = RunChild({self, "--pipeline", std::to_string(i), file}, dir.string());
      if (a.status != 0) {
        std::fprintf(stderr, "pipeline failed on %s\n", shape.name);
        status = 1;
      }
      ours.push_back(a.seconds);
      oursRss = std::max(oursRss, a.maxRssKiB);
      if (haveSrecCat) {
        const RunResult b = RunChild({"srec_cat", file, "-fill", "0xFF", "-within", file,
                                      "-range-padding", "32", "-o", "out.bin", "-binary"},
                                     dir.string());
        theirs.push_back(b.seconds);
        theirsRss = std::max(theirsRss, b.maxRssKiB);
      }
    }
    const double oursMs = 1000 * Median(ours);
    const double theirsMs = theirs.empty() ? 0 : 1000 * Median(theirs);
    const double floorMs = 1000 * Median(floor);
    const double perByte = 1024.0 * double(oursRss) / shape.bytes;
    const double netPerByte = 1024.0 * double(oursRss - idle.maxRssKiB) / shape.bytes;
    const double ratio = theirsMs > 0 ? oursMs / theirsMs : 0.0;
    std::printf("%-16s %9.0f %5d %9.2f %9.2f %7.3f %9.2f %7.2f %9ld %9ld %7.2f %7.2f\n", shape.name,
                double(fs::file_size(file)) / 1024, shape.runs, oursMs, theirsMs, ratio, floorMs,
                oursMs / floorMs, oursRss, theirsRss, perByte, netPerByte);
    figures += "figure: image_" + std::string(shape.key) + "_ratio " + std::to_string(ratio) +
               "\nfigure: image_" + shape.key + "_bytes " + std::to_string(perByte) + "\n";
  }
  if (!haveSrecCat) std::printf("(srec_cat not found: install the srecord package)\n");
  std::printf(
      "\nratio = ours / srec_cat; floor = a run that only reads the file and decodes its hex "
      "once;\n"
      "/floor = ours / floor; B/byte = our peak RSS per data byte, net = above the idle process\n");
  std::fputs(figures.c_str(), stdout);
  status |= SignedFileFigures(self, dir);
  fs::remove_all(dir);
  return status;
}
