// A virtual X server (Xvfb) for the GUI tests and the GUI benchmark: it takes a free display
// number and reports it through -displayfd, so parallel runs never collide; every wait is
// bounded and the server is stopped when the object goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace testing_support {

class XServer {
 public:
  static constexpr int kStartMs = 10000;

  XServer() = default;
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;
  ~XServer() { Stop(); }

  // Starts Xvfb and waits (bounded) for the display number it chose. False when Xvfb is missing
  // or does not come up.
  bool Start() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 3);  // dup2 clears close-on-exec on the copy
      const int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) {
        ::dup2(null, 1);
        ::dup2(null, 2);
      }
      ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten",
               "tcp", "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    if (pid_ < 0) {
      ::close(fds[0]);
      return false;
    }
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartMs);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fds[0], POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char c = 0;
      if (::read(fds[0], &c, 1) != 1) break;  // Xvfb ended or closed the pipe early
      if (c == '\n') break;
      number += c;
    }
    ::close(fds[0]);
    if (number.empty()) return false;
    display_ = ":" + number;
    return true;
  }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace testing_support
