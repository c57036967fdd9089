// Child processes of the long-running checks (the soak and the save-kill run): started with
// their output appended to files and their standard input from /dev/null, a file or a pipe,
// stopped when the parent goes (even by SIGKILL: they get SIGKILL then), and stopped in order
// when the parent is interrupted (InstallInterruptHandler; the main loop then sees
// Interrupted()). The soak's face of the one child-process helper of the tests, the soak and the
// benchmarks (tests/child_process.h).
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace soak {

// The helper's own names (ReadAll, WriteAll, Clock, fs, ...) are this namespace's too.
using namespace child;

inline double Seconds(Clock::time_point since, Clock::time_point until = Clock::now()) {
  return std::chrono::duration<double>(until - since).count();
}

// A child program. Standard input: /dev/null, a file, or a pipe written with Write().
class Proc : public child::Process {
 public:
  using Input = child::StartOptions::Input;

  // Starts `argv` with stdout and stderr in `out` and `err` (appended, so that the files of a
  // restarted program hold all its lives). False when it could not be started.
  bool Start(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err,
             Input input = Input::kNull, const fs::path& input_file = {}) {
    child::StartOptions how;
    how.input = input;
    how.input_file = input_file;
    how.append = true;
    how.die_with_parent = true;
    return child::Process::Start(argv, out, err, how);
  }
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
