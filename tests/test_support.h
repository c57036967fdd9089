// Small helpers shared by the tests: temporary directories, environment overrides and a capture
// of the debug output stream.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace testing_support {

// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// Sets (or with nullopt, unsets) an environment variable for the object's lifetime.
class EnvGuard {
 public:
  EnvGuard(std::string name, std::optional<std::string> value);
  ~EnvGuard();
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A fresh configuration root: location mode 1 with the Windows directory in a temporary
// directory, ZQ_ROOT and ZQ_SYSTEM unset and no locator file, for the object's lifetime.
class ConfigDir {
 public:
  const std::filesystem::path& path() const { return dir_.path(); }
  std::string str() const { return dir_.str(); }

 private:
  TempDir dir_;
  EnvGuard zq_root_{"ZQ_ROOT", std::nullopt};
  EnvGuard zq_system_{"ZQ_SYSTEM", std::nullopt};
  EnvGuard windir_{"KIRN_WINDIR", dir_.str()};
  EnvGuard locator_{"KIRN_CONFIG_LOCATOR", dir_.str() + "/no_locator.ini"};
};

// Captures everything written to the debug output stream for the object's lifetime.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;
  // Each OutputDebugString call as one element.
  const std::vector<std::string>& calls() const { return calls_; }
  // All calls joined.
  std::string text() const;
  // True when some call contains `needle`.
  bool Contains(const std::string& needle) const;
  // Number of calls that contain `needle`.
  int Count(const std::string& needle) const;
  void Clear() { calls_.clear(); }

 private:
  std::vector<std::string> calls_;
};

// A child process with its standard output and error captured in files of its own temporary
// directory. The destructor kills it (SIGKILL) if it is still running, so no test leaves a
// process behind. The tests' face of the one child-process helper (child_process.h).
class Process {
 public:
  // Starts `argv` with the current environment plus `env` ("NAME=value"; "NAME=" with nothing
  // after the '=' removes the variable). Standard input is /dev/null.
  Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return proc_.pid() > 0; }
  int pid() const { return proc_.pid(); }
  // Waits up to `timeout_ms` for the exit; returns the exit code, 128 + signal for a signal,
  // or -1 when it is still running.
  int Wait(int timeout_ms);
  // SIGTERM, then SIGKILL after `grace_ms`; returns the exit code as Wait does.
  int Stop(int grace_ms = 2000);
  // SIGKILL at once; returns the exit code as Wait does.
  int Kill();
  std::string Stdout() const;
  std::string Stderr() const;
  // Polls (every 10 ms, up to `timeout_ms`) until standard output or error contains `needle`.
  bool WaitForOutput(const std::string& needle, int timeout_ms, bool in_stderr = false) const;

 private:
  TempDir dir_;
  child::Process proc_;
};

// Creates the process-wide Qt application object used by tests of timers and posted messages.
void EnsureQtApp();
// Runs the Qt event loop for up to `timeout_ms` or until `done()` is true; returns done().
bool SpinUntil(const std::function<bool()>& done, int timeout_ms);

std::string ReadFile(const std::filesystem::path& p);
void WriteFile(const std::filesystem::path& p, const std::string& text);

}  // namespace testing_support
