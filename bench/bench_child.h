// Child programs of the end-to-end benchmarks: started with their standard input from a file
// (or /dev/null) and their output in files, stopped when they go, and stopped too when the
// benchmark itself is interrupted (bench::StopChildrenOnSignals). A benchmark's face of the
// one child-process helper of the tests, the soak and the benchmarks (tests/child_process.h).
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace bench {

// The helper's own names (ReadAll, WriteAll, Clock, fs, ...) are this namespace's too.
using namespace child;

// A child program with its standard input from a file (or /dev/null) and its output in files
// DIR/NAME.out and DIR/NAME.err. Stopped (SIGTERM, then SIGKILL) when the object goes.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const fs::path& dir, const std::string& name,
        const std::string& stdin_path = "/dev/null")
      : out_(dir / (name + ".out")), err_(dir / (name + ".err")) {
    child::StartOptions how;
    how.input = child::StartOptions::Input::kFile;
    how.input_file = stdin_path;
    proc_.Start(argv, out_, err_, how);
  }
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return proc_.pid(); }
  std::string Out() const { return ReadAll(out_); }
  std::string Err() const { return ReadAll(err_); }
  // The output (or error) from byte `from` on, and its size now: a long log is read in parts.
  std::string OutFrom(size_t from) const { return ReadFrom(out_, from); }
  std::string ErrFrom(size_t from) const { return ReadFrom(err_, from); }
  size_t OutSize() const { return FileSize(out_); }
  size_t ErrSize() const { return FileSize(err_); }

  // Waits up to `ms` for the exit; the exit code, or -1 while it runs.
  int Wait(int ms) { return proc_.Wait(ms); }

  void Stop() { proc_.Stop(3000); }

  // Polls the output (or error) file until it holds `needle`; false at once when it ended.
  bool WaitFor(const std::string& needle, int ms, bool in_err = false) {
    return child::WaitForText([&] { return in_err ? Err() : Out(); }, needle, ms, 0, &proc_);
  }

 private:
  fs::path out_;
  fs::path err_;
  child::Process proc_;
};

// Waits until the text that `read(offset)` gives from byte `from` on holds `needle`, looking
// every `poll_ms`; the offset just past it, or none at the deadline. Only what came since the
// last look is read again.
template <typename Read>
std::optional<size_t> WaitText(Read read, const std::string& needle, size_t from, int ms,
                               int poll_ms = 5) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  size_t pos = from;
  for (;;) {
    const std::string text = read(pos);
    const size_t at = text.find(needle);
    if (at != std::string::npos) return pos + at + needle.size();
    // A needle cut at the end of what was read is found at the next look.
    if (text.size() >= needle.size()) pos += text.size() - needle.size() + 1;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
  }
}

}  // namespace bench
