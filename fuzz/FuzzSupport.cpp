#include "FuzzSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace fuzz {

namespace {

std::string g_directory;
int g_privateFd = -1;
int g_startFd = -1;

void RemoveDirectory() {
  std::error_code ec;
  std::filesystem::remove_all(g_directory, ec);
}

// The command line with the artifact paths absolute and an artifact prefix for
// the start directory when there is none, in storage that lives as long as the
// process (libFuzzer keeps pointers into it).
void AbsoluteArtifactPaths(int* argc, char*** argv) {
  static std::vector<std::string> args;
  static std::vector<char*> pointers;
  bool prefix = false;
  for (int i = 0; i < *argc; ++i) {
    std::string arg = (*argv)[i];
    for (const std::string flag : {"-artifact_prefix=", "-exact_artifact_path="}) {
      if (i == 0 || !arg.starts_with(flag) || arg.size() == flag.size()) continue;
      arg = flag + std::filesystem::absolute(arg.substr(flag.size())).string();
    }
    prefix = prefix || (i > 0 && arg.starts_with("-artifact_prefix="));
    args.push_back(arg);
  }
  if (!prefix) args.push_back("-artifact_prefix=" + std::filesystem::current_path().string() + "/");
  for (std::string& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  *argc = static_cast<int>(args.size());
  *argv = pointers.data();
}

void Chdir(int fd) {
  if (::fchdir(fd) != 0) {
    std::perror("fuzz: cannot change the working directory");
    std::abort();
  }
}

}  // namespace

std::string MakePrivateDirectory(const char* targetName, int* argc, char*** argv) {
  AbsoluteArtifactPaths(argc, argv);
  // Every input is written to a file at least once: on a disk file system that
  // rewrites a truncated file costs a flush to the disk, so memory is preferred.
  const char* tmp = std::getenv("TMPDIR");
  std::error_code ec;
  const std::string base = tmp && *tmp                                     ? tmp
                           : std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm"
                                                                           : "/tmp";
  // One directory per process, named by its process id. A target that crashed
  // (or was killed) left its directory behind: those of processes that are gone
  // are swept away first.
  const std::string prefix = std::string(targetName) + ".";
  for (const auto& entry : std::filesystem::directory_iterator(base, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(prefix)) continue;
    const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
      std::filesystem::remove_all(entry.path(), ec);
  }
  const std::string directory = base + "/" + prefix + std::to_string(::getpid());
  std::filesystem::remove_all(directory, ec);
  if (!std::filesystem::create_directory(directory, ec)) {
    std::fprintf(stderr, "fuzz: cannot make %s\n", directory.c_str());
    std::abort();
  }
  g_directory = directory;
  std::atexit(RemoveDirectory);
  g_privateFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  g_startFd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_privateFd < 0 || g_startFd < 0) {
    std::perror("fuzz: cannot open the working directories");
    std::abort();
  }
  return g_directory;
}

CInPrivateDirectory::CInPrivateDirectory() { Chdir(g_privateFd); }
CInPrivateDirectory::~CInPrivateDirectory() { Chdir(g_startFd); }

void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || (size != 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
    std::perror(("fuzz: cannot write " + path).c_str());
    std::abort();
  }
}

void WriteWholeFile(const std::string& path, const std::string& text) {
  WriteWholeFile(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "fuzz: cannot read %s\n", path.c_str());
    std::abort();
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Violation(const char* format, ...) {
  std::fputs("PROPERTY VIOLATED: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::abort();
}

}  // namespace fuzz
