// A child program of a test, the soak or a benchmark: started with its output in files and its
// standard input from /dev/null, a file or a pipe; its exit code read without blocking, every
// wait bounded; stopped (SIGKILL) when the object goes. The children alive are tracked so that
// an interrupt of the parent can stop them too, in one of two ways: at once (the benchmarks:
// StopChildrenOnSignals) or in order from the parent's main loop (the soak:
// InstallInterruptHandler, then Interrupted()). Header-only, for the tests, tests/soak and
// bench/ alike.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace child {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

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

// Every child alive, so that a signal handler can reach them.
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

inline void SignalAll(int sig) {
  for (const auto& slot : g_tracked) {
    if (slot != 0) ::kill(static_cast<pid_t>(slot), sig);
  }
}

// The benchmarks: an interrupt stops every child (SIGTERM) and ends the program at once.
inline void StopAllAndExit(int sig) {
  SignalAll(SIGTERM);
  ::_exit(128 + sig);
}

// A child that dies must not take this program down with a broken pipe, and an interrupt
// (SIGINT, SIGTERM, SIGHUP) stops the children it started before this program ends.
inline void StopChildrenOnSignals() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGINT, StopAllAndExit);
  ::signal(SIGTERM, StopAllAndExit);
  ::signal(SIGHUP, StopAllAndExit);
}

// The soak: the first SIGINT or SIGTERM asks the main loop to stop everything in order
// (Interrupted()); a second one kills every child at once and ends the program.
inline void AskToStop(int sig) {
  if (g_interrupt != 0) {
    SignalAll(SIGKILL);
    ::_exit(128 + sig);
  }
  g_interrupt = sig;
}

inline void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = AskToStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

inline bool Interrupted() {
  return g_interrupt != 0;
}

// How a child is started.
struct StartOptions {
  enum class Input { kNull, kFile, kPipe };
  Input input = Input::kNull;
  fs::path input_file;  // for Input::kFile
  // Appended (the files of a restarted program hold all its lives) or written afresh.
  bool append = false;
  // The child gets SIGKILL when the thread that started it ends (the soak's children must not
  // outlive a soak that was killed). Only for children started on a thread that outlives them.
  bool die_with_parent = false;
  // Changes to the parent's environment: "NAME=value" sets, "NAME=" with nothing after the '='
  // removes the variable.
  std::vector<std::string> env;
};

// The parent's environment with `changes` applied (see StartOptions::env).
inline std::vector<std::string> ChangedEnvironment(const std::vector<std::string>& changes) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
  for (const auto& change : changes) {
    const auto eq = change.find('=');
    if (eq == std::string::npos) continue;
    const std::string prefix = change.substr(0, eq + 1);
    std::erase_if(environment, [&prefix](const std::string& v) { return v.rfind(prefix, 0) == 0; });
    if (eq + 1 < change.size()) environment.push_back(change);
  }
  return environment;
}

class Process {
 public:
  Process() = default;
  ~Process() { Kill(); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts `argv` with stdout and stderr in `out` and `err`. False when it could not be started.
  bool Start(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err,
             const StartOptions& how = {}) {
    Kill();
    // Everything the child needs is prepared before the fork: the parent may have threads, and
    // between fork and exec only async-signal-safe calls are allowed.
    std::vector<std::string> copy = argv;
    std::vector<char*> args;
    for (auto& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> environment = ChangedEnvironment(how.env);
    std::vector<char*> envp;
    for (auto& v : environment) envp.push_back(v.data());
    envp.push_back(nullptr);
    int pipe_fds[2] = {-1, -1};
    if (how.input == StartOptions::Input::kPipe && ::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
    const std::string in_path =
        how.input == StartOptions::Input::kFile ? how.input_file.string() : "/dev/null";
    // The files are opened here, before the fork: when Start() returns, the output files are
    // already this life's (truncated or appended to), so a caller that reads them at once never
    // sees what an earlier child left under the same name.
    const int out_flags = O_WRONLY | O_CREAT | O_CLOEXEC | (how.append ? O_APPEND : O_TRUNC);
    const int in_fd = how.input == StartOptions::Input::kPipe
                          ? pipe_fds[0]
                          : ::open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
    const int out_fd = ::open(out.c_str(), out_flags, 0600);
    const int err_fd = ::open(err.c_str(), out_flags, 0600);
    const auto close_fds = [&] {
      for (const int fd : {in_fd, out_fd, err_fd, pipe_fds[1]}) {
        if (fd >= 0) ::close(fd);
      }
    };
    if (in_fd < 0 || out_fd < 0 || err_fd < 0) {
      close_fds();
      return false;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (how.die_with_parent) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
      }
      // Signals that the parent catches are back to their defaults after exec; the mask is not.
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      // dup2 leaves the new descriptors open across exec; the originals close there. A parent
      // with its standard streams closed may have been given 0, 1 or 2 for them: those stay
      // where they are and only lose close-on-exec.
      const auto place = [](int fd, int target) {
        return fd == target ? ::fcntl(fd, F_SETFD, 0) == 0 : ::dup2(fd, target) == target;
      };
      if (!place(in_fd, 0) || !place(out_fd, 1) || !place(err_fd, 2)) ::_exit(127);
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    for (const int fd : {in_fd, out_fd, err_fd}) ::close(fd);
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

// Polls `read()` until it holds `needle` at or after byte `from`, for at most `ms`; false at
// once when `proc` (if given) has ended.
template <class Read>
bool WaitForText(Read read, const std::string& needle, int ms, size_t from = 0,
                 Process* proc = nullptr) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const std::string text = read();
    if (text.size() >= from && text.find(needle, from) != std::string::npos) return true;
    if ((proc != nullptr && !proc->running()) || Clock::now() >= deadline) return false;
    SleepMs(10);
  }
}

}  // namespace child
