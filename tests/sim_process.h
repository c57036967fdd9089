// The controller emulator (mc1000-sim) as a child process of a test: its fault console on a
// pipe to its standard input, its output and wire log in files, every wait bounded. Only for
// end-to-end tests (MC1000_SIM_BIN names the program). Built on the one child-process helper of
// the tests, the soak and the benchmarks (tests/child_process.h).
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_support.h"

namespace testing_support {

class SimProcess {
 public:
  static constexpr int kWaitMs = 5000;  // default bound of a wait for something due to happen

  explicit SimProcess(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {MC1000_SIM_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    child::StartOptions how;
    how.input = child::StartOptions::Input::kPipe;
    proc_.Start(argv, dir_.path() / "stdout", dir_.path() / "stderr", how);
  }

  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  std::string Out() const { return ReadFile(dir_.path() / "stdout"); }
  // The wire log: one line per command received, reply sent and connection event.
  std::string Err() const { return ReadFile(dir_.path() / "stderr"); }

  // Polls until standard output (or error) holds `needle` at or after byte `from`.
  bool WaitOut(const std::string& needle, int timeout_ms = kWaitMs, size_t from = 0,
               bool in_err = false) const {
    return child::WaitForText([&] { return in_err ? Err() : Out(); }, needle, timeout_ms, from);
  }
  bool WaitErr(const std::string& needle, int timeout_ms = kWaitMs, size_t from = 0) const {
    return WaitOut(needle, timeout_ms, from, true);
  }

  // Waits for "ready" and reads the ports of the "tcp ADDR:PORT" lines into `ports`, in order.
  // False when the emulator ended or did not become ready in time.
  bool Ready() {
    if (!child::WaitForText([&] { return Out(); }, "ready\n", kWaitMs, 0, &proc_)) return false;
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
    if (!proc_.Write(line + "\n")) return false;
    return WaitOut(expect, kWaitMs, from);
  }

  // Waits up to `timeout_ms` for the exit; the exit code (128 + signal for a signal), or -1
  // while it still runs.
  int Wait(int timeout_ms = kWaitMs) { return proc_.Wait(timeout_ms); }

  void Signal(int sig) { proc_.Signal(sig); }

  // SIGKILL (the controller vanishes without closing anything itself) and reap.
  int Kill() { return proc_.Kill(); }

  std::vector<int> ports;

 private:
  TempDir dir_;
  child::Process proc_;
};

}  // namespace testing_support
