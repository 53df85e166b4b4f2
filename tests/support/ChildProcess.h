#pragma once
// Real programs started by the end-to-end tests (the simulator, the command line),
// each in a given directory with its output in files, bounded in time and killed
// if it outlives the test. POSIX only.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace testproc {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The lines of text, each without its LF or CR LF.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

inline int Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

class CChild {
 public:
  CChild() = default;
  CChild(const CChild&) = delete;
  CChild& operator=(const CChild&) = delete;
  ~CChild() { Kill(); }

  // env: extra "NAME=value" entries; IAP_* variables of the test's own environment
  // are not passed on, so nothing left over points the child at a wrong device;
  // IAP_JOURNAL is, so the child's records go where the test run keeps them.
  bool Start(const std::vector<std::string>& args, const std::string& dir,
             const std::vector<std::string>& env, const std::string& out, const std::string& err) {
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls.
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (entry.rfind("IAP_", 0) != 0 || entry.rfind("IAP_JOURNAL=", 0) == 0)
        environment.push_back(entry);
    }
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int n = ::open("/dev/null", O_RDONLY);
      if (o < 0 || e < 0 || n < 0 || ::chdir(dir.c_str()) != 0) ::_exit(126);
      ::dup2(n, 0);
      ::dup2(o, 1);
      ::dup2(e, 2);
      ::setsid();  // no controlling terminal: iapflash draws no progress bar
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    m_pid = pid;
    m_out = out;
    return pid > 0;
  }

  bool Running() {
    const pid_t pid = m_pid.load();
    if (pid <= 0) return false;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      m_pid = -1;
      return false;
    }
    return true;
  }

  // The exit status, or -1 when the child had to be killed after `seconds`.
  int Wait(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (Running()) {
      if (std::chrono::steady_clock::now() > end) {
        Kill();
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return m_status;
  }

  // The PATH of the simulator's first line "ready PATH"; empty when it did not
  // come within five seconds or the child ended first.
  std::string WaitReady() {
    for (int i = 0; i < 500 && Running(); ++i) {
      const std::string out = ReadFile(m_out);
      const auto end = out.find('\n');
      if (out.rfind("ready ", 0) == 0 && end != std::string::npos) return out.substr(6, end - 6);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
  }

  // Safe from any thread (a watchdog uses it).
  void Signal(int sig) {
    const pid_t pid = m_pid.load();
    if (pid > 0) ::kill(pid, sig);
  }

  void Kill() {
    const pid_t pid = m_pid.exchange(-1);
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }

 private:
  std::atomic<pid_t> m_pid{-1};
  int m_status = -1;
  std::string m_out;
};

}  // namespace testproc
