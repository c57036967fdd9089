// Child programs of the end-to-end benchmarks: started with their standard input from a file
// (or /dev/null) and their output in files, stopped when they go, and stopped too when the
// benchmark itself is interrupted (bench::StopChildrenOnSignals). A benchmark's face of the
// one child-process helper of the tests, the soak and the benchmarks (tests/child_process.h).
#pragma once

#include <filesystem>
#include <string>
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
    child::Spec spec;
    spec.input = child::Spec::Input::kFile;
    spec.input_file = stdin_path;
    proc_.Start(argv, out_, err_, spec);
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

}  // namespace bench
