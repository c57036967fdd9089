// Child programs of the end-to-end benchmarks: started with their standard input from a file
// (or /dev/null) and their output in files, stopped when they go, and stopped too when the
// benchmark itself is interrupted (install bench::OnInterrupt for SIGINT and SIGTERM).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The bytes of `p` from offset `from` on (none when it is shorter).
inline std::string ReadFrom(const fs::path& p, size_t from) {
  std::ifstream in(p, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(from));
  if (!in) return {};
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline size_t FileSize(const fs::path& p) {
  std::error_code ec;
  const auto n = fs::file_size(p, ec);
  return ec ? 0 : static_cast<size_t>(n);
}

inline void WriteAll(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

// The children alive now, so that an interrupt of this program stops them too.
constexpr int kMaxChildren = 16;
inline volatile sig_atomic_t g_children[kMaxChildren] = {};

inline void Track(pid_t pid, bool alive) {
  for (auto& slot : g_children) {
    if (alive ? slot == 0 : slot == pid) {
      slot = alive ? pid : 0;
      return;
    }
  }
}

inline void OnInterrupt(int sig) {
  for (const auto& slot : g_children) {
    if (slot != 0) ::kill(static_cast<pid_t>(slot), SIGTERM);
  }
  ::_exit(128 + sig);
}

// A child that dies must not take this program down with a broken pipe, and an interrupt
// (SIGINT, SIGTERM, SIGHUP) stops the children it started before this program ends.
inline void StopChildrenOnSignals() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGINT, OnInterrupt);
  ::signal(SIGTERM, OnInterrupt);
  ::signal(SIGHUP, OnInterrupt);
}

// A child program with its standard input from a file (or /dev/null) and its output in files.
// Stopped (SIGTERM, then SIGKILL) when the object goes.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const fs::path& dir, const std::string& name,
        const std::string& stdin_path = "/dev/null")
      : out_(dir / (name + ".out")), err_(dir / (name + ".err")) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdin_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> copy = argv;
    std::vector<char*> args;
    for (auto& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    if (pid_ > 0) Track(pid_, true);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  std::string Out() const { return ReadAll(out_); }
  std::string Err() const { return ReadAll(err_); }
  // The output (or error) from byte `from` on, and its size now: a long log is read in parts.
  std::string OutFrom(size_t from) const { return ReadFrom(out_, from); }
  std::string ErrFrom(size_t from) const { return ReadFrom(err_, from); }
  size_t OutSize() const { return FileSize(out_); }
  size_t ErrSize() const { return FileSize(err_); }

  // Waits up to `ms` for the exit; the exit code, or -1 while it runs.
  int Wait(int ms) {
    if (pid_ <= 0) return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (status_ < 0) {
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        Track(pid_, false);
      } else if (Clock::now() >= deadline) {
        return -1;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    return status_;
  }

  void Stop() {
    if (pid_ <= 0 || status_ >= 0) return;
    ::kill(pid_, SIGTERM);
    if (Wait(3000) < 0) {
      ::kill(pid_, SIGKILL);
      Wait(5000);
    }
  }

  // Polls the output (or error) file until it holds `needle`.
  bool WaitFor(const std::string& needle, int ms, bool in_err = false) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      if ((in_err ? Err() : Out()).find(needle) != std::string::npos) return true;
      if (Wait(0) >= 0 || Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

 private:
  fs::path out_;
  fs::path err_;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace bench
