#include "tracing/debug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/debug_output.h"
#include "platform/file_io.h"

namespace xarvel {
namespace {

constexpr std::string_view kDebugTag = "<xarvel>-";

// A text as a C string would see it: up to its first NUL.
std::string_view UpToNul(std::string_view text) {
  size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

// Opens the day's file for appending; O_NONBLOCK keeps a FIFO in its place from blocking.
int OpenLog(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
}

// The line buffers live in these two, kept out of line, so that a trace call whose line is not
// printed (the common case with the debug mode off) sets up no buffer at all.

// Writes the tag, the text (cut so that the line fits) and a line feed, built on the stack.
[[gnu::noinline]] void WriteLine(std::string_view text, LogLevel level) {
  text = UpToNul(text);
  const size_t room = kMaxDebugLine - kDebugTag.size() - 1;
  if (text.size() > room) text = text.substr(0, room);
  char line[kMaxDebugLine];
  std::memcpy(line, kDebugTag.data(), kDebugTag.size());
  if (!text.empty()) std::memcpy(line + kDebugTag.size(), text.data(), text.size());
  const size_t length = kDebugTag.size() + text.size();
  line[length] = '\n';
  plat::OutputDebugString(std::string_view(line, length + 1), level);
}

// Only as much text as a debug line can carry is kept; vsnprintf cuts the rest safely.
[[gnu::noinline]] void FormatLine(LogLevel level, const char* fmt, va_list args) {
  char buf[kMaxDebugLine + 1];
  const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
  if (n < 0) return;
  const size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
  WriteLine(std::string_view(buf, len), level);
}

// True when a line of `level` and `force` exists (the debug mode) and goes somewhere.
bool Wanted(LogLevel level, int force) {
  return (Debug().DebugMode != 0 || force != 0) && plat::DebugOutputWanted(level);
}

}  // namespace

DebugState& Debug() {
  static DebugState state;
  return state;
}

void ResetDebug() {
  Debug() = DebugState{};
}

void DebugPrint(std::string_view text, int force) {
  DebugPrintAt(LogLevel::kInfo, text, force);
}

void DebugPrintf(int force, const char* fmt, ...) {
  if (!Wanted(LogLevel::kInfo, force)) return;
  va_list args;
  va_start(args, fmt);
  FormatLine(LogLevel::kInfo, fmt, args);
  va_end(args);
}

void DebugPrintAt(LogLevel level, std::string_view text, int force) {
  if (!Wanted(level, force)) return;
  WriteLine(text, level);
}

void DebugPrintfAt(LogLevel level, int force, const char* fmt, ...) {
  if (!Wanted(level, force)) return;
  va_list args;
  va_start(args, fmt);
  FormatLine(level, fmt, args);
  va_end(args);
}

void LockLog(std::string_view text) {
  DebugState& state = Debug();
  // Date and time of day come from the same reading, so an entry made across midnight is filed
  // under the day its time stamp shows.
  std::time_t now = state.Clock ? state.Clock() : std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr) return;

  char date[16];
  std::snprintf(date, sizeof date, "%04d%02d%02d", (local.tm_year + 1900) % 10000,
                (local.tm_mon + 1) % 100, local.tm_mday % 100);
  char clock[12];
  std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", local.tm_hour % 100, local.tm_min % 100,
                local.tm_sec % 100);

  std::string entry = " ";
  entry.append(clock).append(" - ").append(UpToNul(text)).append(" ");
  if (entry.size() > kMaxLockEntry) entry.resize(kMaxLockEntry);

  const std::string dir = state.LogFolder ? state.LogFolder() : std::string();
  const std::string file = dir + "/" + date + "_XarvelLock.log";
  const bool usable =
      !dir.empty() && dir.size() <= kMaxLogDirPath && file.size() <= kMaxLogFilePath;

  if (usable && state.LogDirFirstCall) {
    ::mkdir(dir.c_str(), 0777);  // an existing directory is fine
    state.LogDirFirstCall = false;
  }

  // Each entry is a command's: traced at debug; the file keeps them all. A log that cannot be
  // kept is a fault.
  const LogLevel level = usable ? LogLevel::kDebug : LogLevel::kWarning;
  plat::OutputDebugString(usable ? file : std::string("LockLog - no usable log path"), level);
  plat::OutputDebugString(entry, level);
  plat::OutputDebugString("\n", level);
  if (!usable) return;

  int fd = OpenLog(file);
  if (fd < 0 && errno == ENOENT) {
    // The directory was removed while the driver ran; make it again rather than lose entries.
    ::mkdir(dir.c_str(), 0777);
    fd = OpenLog(file);
  }
  if (fd < 0) return;
  // One write where possible, so another writer of the same file never splits an entry.
  plat::WriteAll(fd, entry + "\r\n");
  ::close(fd);
}

}  // namespace xarvel
