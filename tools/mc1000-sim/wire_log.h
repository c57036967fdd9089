// The emulator's log: one line per received command, sent reply, connection event and fault
// change, stamped with the seconds since start. Lines go to standard error (unless quiet) and,
// when a log file is open, are appended to it too.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace mc1000sim {

// `bytes` with control and non-ASCII characters written as \r, \n, \t, \\ or \xHH, so a line of
// the log always shows exactly what travelled.
std::string Escape(std::string_view bytes);

class WireLog {
 public:
  WireLog();
  ~WireLog();
  WireLog(const WireLog&) = delete;
  WireLog& operator=(const WireLog&) = delete;

  // Appends to `path` from now on. Returns false with `error` set when it cannot be opened.
  bool OpenFile(const std::string& path, std::string* error);
  void set_quiet(bool quiet) { quiet_ = quiet; }

  // Writes "<seconds> <text>" as one line, with a single write per destination.
  void Line(std::string_view text);

 private:
  std::chrono::steady_clock::time_point start_;
  bool quiet_ = false;
  int file_ = -1;
};

}  // namespace mc1000sim
