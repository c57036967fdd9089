// Child processes of the long-running checks (the soak and the save-kill run): started with
// their output in files and their standard input from /dev/null, a file or a pipe, stopped when
// the parent goes (even by SIGKILL: they get SIGKILL then), and stopped in order when the
// parent is interrupted (InstallInterruptHandler; the main loop then sees Interrupted()).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace soak {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since, Clock::time_point until = Clock::now()) {
  return std::chrono::duration<double>(until - since).count();
}

inline void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

inline std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteAll(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

// Every child alive, so that the interrupt handler can reach them.
constexpr int kMaxTracked = 128;
inline volatile sig_atomic_t g_tracked[kMaxTracked] = {};
inline volatile sig_atomic_t g_interrupt = 0;

inline void Track(pid_t pid, bool alive) {
  for (auto& slot : g_tracked) {
    if (alive ? slot == 0 : slot == pid) {
      slot = alive ? pid : 0;
      return;
    }
  }
}

// The first SIGINT or SIGTERM asks the main loop to stop everything in order; a second one
// kills every child at once and ends the program.
inline void OnInterrupt(int sig) {
  if (g_interrupt != 0) {
    for (const auto& slot : g_tracked) {
      if (slot != 0) ::kill(static_cast<pid_t>(slot), SIGKILL);
    }
    ::_exit(128 + sig);
  }
  g_interrupt = sig;
}

inline void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

inline bool Interrupted() {
  return g_interrupt != 0;
}

// A child program. Standard input: /dev/null, a file, or a pipe written with Write().
class Proc {
 public:
  enum class Input { kNull, kFile, kPipe };

  Proc() = default;
  ~Proc() { Kill(); }
  Proc(const Proc&) = delete;
  Proc& operator=(const Proc&) = delete;

  // Starts `argv` with stdout and stderr in `out` and `err` (appended, so that the files of a
  // restarted program hold all its lives). False when it could not be started.
  bool Start(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err,
             Input input = Input::kNull, const fs::path& input_file = {}) {
    Kill();
    std::vector<std::string> copy = argv;
    std::vector<char*> args;
    for (auto& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    int pipe_fds[2] = {-1, -1};
    if (input == Input::kPipe && ::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
    const std::string in_path = input == Input::kFile ? input_file.string() : "/dev/null";
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      // Signals that the parent catches are back to their defaults after exec; the mask is not.
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      const int in_fd = input == Input::kPipe ? pipe_fds[0] : ::open(in_path.c_str(), O_RDONLY);
      const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (in_fd < 0 || out_fd < 0 || err_fd < 0) ::_exit(127);
      ::dup2(in_fd, 0);
      ::dup2(out_fd, 1);
      ::dup2(err_fd, 2);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    if (pipe_fds[0] >= 0) ::close(pipe_fds[0]);
    if (pid < 0) {
      if (pipe_fds[1] >= 0) ::close(pipe_fds[1]);
      return false;
    }
    pid_ = pid;
    status_ = -1;
    input_ = pipe_fds[1];
    started_ = Clock::now();
    Track(pid_, true);
    return true;
  }

  pid_t pid() const { return pid_; }
  bool running() {
    Poll();
    return pid_ > 0 && status_ < 0;
  }
  Clock::time_point started() const { return started_; }
  // The exit code (128 + signal for a signal), or -1 while it runs or was never started.
  int status() {
    Poll();
    return status_;
  }

  // Writes `text` to the pipe on its standard input. False when that is not possible.
  bool Write(const std::string& text) {
    if (input_ < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(input_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Waits up to `timeout_ms` for the exit; the exit code as status() gives it, -1 on time-out.
  int Wait(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (running() && Clock::now() < deadline) SleepMs(5);
    return status();
  }

  void Signal(int sig) {
    if (running()) ::kill(pid_, sig);
  }

  // SIGKILL and reap; the exit code.
  int Kill() {
    if (pid_ <= 0) return status_;
    Signal(SIGKILL);
    Wait(5000);
    CloseInput();
    return status_;
  }

  // SIGTERM, then SIGKILL after `grace_ms`; the exit code.
  int Stop(int grace_ms) {
    Signal(SIGTERM);
    if (Wait(grace_ms) < 0) Kill();
    CloseInput();
    return status();
  }

  void CloseInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }

 private:
  void Poll() {
    if (pid_ <= 0 || status_ >= 0) return;
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      Track(pid_, false);
    }
  }

  pid_t pid_ = -1;
  int status_ = -1;
  int input_ = -1;
  Clock::time_point started_{};
};

// Resident memory (kB) and open file descriptors of a process; -1 when it is gone.
inline long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

inline long OpenFds(pid_t pid) {
  std::error_code ec;
  long n = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++n;
  }
  return ec && n == 0 ? -1 : n;
}

// Removes a file if it is there.
inline void Remove(const fs::path& p) {
  std::error_code ec;
  fs::remove(p, ec);
}

}  // namespace soak
