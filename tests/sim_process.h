// The controller emulator (mc1000-sim) as a child process of a test: its fault console on a
// pipe to its standard input, its output and wire log in files, every wait bounded. Only for
// end-to-end tests (MC1000_SIM_BIN names the program).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace testing_support {

class SimProcess {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kWaitMs = 5000;  // default bound of a wait for something due to happen

  explicit SimProcess(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {MC1000_SIM_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    const std::string out = (dir_.path() / "stdout").string();
    const std::string err = (dir_.path() / "stderr").string();
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(pipe_fds[0], 0);
      ::dup2(out_fd, 1);
      ::dup2(err_fd, 2);
      ::execv(cargv[0], cargv.data());
      ::_exit(127);
    }
    ::close(pipe_fds[0]);
    if (pid_ < 0) {
      ::close(pipe_fds[1]);
      return;
    }
    console_ = pipe_fds[1];
  }

  ~SimProcess() {
    if (console_ >= 0) ::close(console_);
    Kill();
  }

  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  std::string Out() const { return ReadFile(dir_.path() / "stdout"); }
  // The wire log: one line per command received, reply sent and connection event.
  std::string Err() const { return ReadFile(dir_.path() / "stderr"); }

  // Polls until standard output (or error) holds `needle` at or after byte `from`.
  bool WaitOut(const std::string& needle, int timeout_ms = kWaitMs, size_t from = 0,
               bool in_err = false) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const std::string text = in_err ? Err() : Out();
      if (text.size() >= from && text.find(needle, from) != std::string::npos) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  bool WaitErr(const std::string& needle, int timeout_ms = kWaitMs, size_t from = 0) const {
    return WaitOut(needle, timeout_ms, from, true);
  }

  // Waits for "ready" and reads the ports of the "tcp ADDR:PORT" lines into `ports`, in order.
  // False when the emulator ended or did not become ready in time.
  bool Ready() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (Out().find("ready\n") == std::string::npos) {
      if (Wait(0) >= 0 || Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string out = Out();
    for (size_t at = out.find("tcp "); at != std::string::npos; at = out.find("tcp ", at + 1)) {
      if (at != 0 && out[at - 1] != '\n') continue;
      const size_t colon = out.find(':', at);
      if (colon == std::string::npos) break;
      ports.push_back(std::atoi(out.c_str() + colon + 1));
    }
    return true;
  }

  // Writes one console line and waits for `expect` in the output that follows it.
  bool Console(const std::string& line, const std::string& expect) {
    const size_t from = Out().size();
    const std::string text = line + "\n";
    if (console_ < 0 ||
        ::write(console_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      return false;
    }
    return WaitOut(expect, kWaitMs, from);
  }

  // Waits up to `timeout_ms` for the exit; the exit code (128 + signal for a signal), or -1
  // while it still runs.
  int Wait(int timeout_ms = kWaitMs) {
    if (pid_ <= 0) return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (status_ < 0) {
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      } else if (Clock::now() >= deadline) {
        return -1;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    return status_;
  }

  void Signal(int sig) {
    if (pid_ > 0 && status_ < 0) ::kill(pid_, sig);
  }

  // SIGKILL (the controller vanishes without closing anything itself) and reap.
  int Kill() {
    Signal(SIGKILL);
    return Wait();
  }

  std::vector<int> ports;

 private:
  TempDir dir_;
  int pid_ = -1;
  int console_ = -1;
  int status_ = -1;
};

}  // namespace testing_support
