#include "ui/debug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/location.h"
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

int64_t SteadyNowMs() {
  const DebugState& state = Debug();
  if (state.SteadyMs) return state.SteadyMs();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Reads an integer and the blank after it; false when there is none.
bool TakeNumber(std::string_view& rest) {
  size_t i = 0;
  if (i < rest.size() && rest[i] == '-') ++i;
  const size_t digits = i;
  while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') ++i;
  if (i == digits || i >= rest.size() || rest[i] != ' ') return false;
  rest.remove_prefix(i + 1);
  return true;
}

// A route's refusal or drop: "ROUTE <dev> <dest> <src> <verb> <reason>" with the verb refused,
// dropped or abandoned. Gives the reason's key ("<verb> <reason>") and the route's numbers.
bool RouteRefusal(std::string_view text, std::string_view& key, std::string_view& route) {
  constexpr std::string_view kRoute = "ROUTE ";
  if (text.substr(0, kRoute.size()) != kRoute) return false;
  std::string_view rest = text.substr(kRoute.size());
  const std::string_view numbers = rest;
  if (!TakeNumber(rest) || !TakeNumber(rest) || !TakeNumber(rest)) return false;
  route = numbers.substr(0, numbers.size() - rest.size() - 1);
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r' || rest.back() == ' ')) {
    rest.remove_suffix(1);
  }
  for (std::string_view verb : {"refused ", "dropped ", "abandoned "}) {
    if (rest.size() > verb.size() && rest.substr(0, verb.size()) == verb) {
      key = rest;
      return true;
    }
  }
  return false;
}

// "1903" as "1,903".
std::string Grouped(uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped.push_back(',');
    grouped.push_back(digits[i]);
  }
  return grouped;
}

// The summary line of a reason that holds lines: to standard error only (the tap had each line).
void WriteSummary(DebugState::HeldReason& reason, int64_t now) {
  const std::string line = std::string(kDebugTag) + "ROUTE summary - " + Grouped(reason.held) +
                           (reason.held == 1 ? " more route " : " more routes ") + reason.key +
                           ", the last " + reason.last + "\n";
  plat::WriteDebugStringUntapped(line, reason.level);
  reason.held = 0;
  reason.written_ms = now;
}

// One timer at a time, on the event loop of the main thread, for the earliest period to end.
bool g_flush_armed = false;

void ArmFlush(int64_t in_ms) {
  if (g_flush_armed || QCoreApplication::instance() == nullptr) return;
  g_flush_armed = true;
  QTimer::singleShot(std::chrono::milliseconds(std::max<int64_t>(in_ms, 1)), [] {
    g_flush_armed = false;
    DebugFlushSummaries(false);
  });
}

// True when `line` (of `text`, at `level`) is a refusal or drop that the journal sums up: it then
// went to the tap only and is counted towards its reason's summary.
bool HeldForTheJournal(std::string_view text, std::string_view line, LogLevel level) {
  if (!plat::PriorityPrefixes() || !plat::DebugOutputWritten(level)) return false;
  std::string_view key;
  std::string_view route;
  if (!RouteRefusal(text, key, route)) return false;
  DebugState& state = Debug();
  const int64_t now = SteadyNowMs();
  DebugState::HeldReason* reason = nullptr;
  for (DebugState::HeldReason& r : state.Held) {
    if (r.key == key) reason = &r;
  }
  if (reason == nullptr) {
    if (state.Held.size() >= kMaxHeldReasons) return false;
    state.Held.push_back({std::string(key), level, now, 0, {}});
    return false;
  }
  if (reason->held == 0 && now - reason->written_ms >= kJournalSumMs) {
    // Quiet for a whole period: this one is a first line again.
    reason->level = level;
    reason->written_ms = now;
    return false;
  }
  plat::TapDebugString(line, level);
  ++reason->held;
  reason->last = std::string(route);
  if (now - reason->written_ms >= kJournalSumMs) {
    WriteSummary(*reason, now);
  } else {
    ArmFlush(reason->written_ms + kJournalSumMs - now);
  }
  return true;
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
  const std::string_view whole(line, length + 1);
  if (HeldForTheJournal(text, whole, level)) return;
  plat::OutputDebugString(whole, level);
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

void DebugFlushSummaries(bool all) {
  DebugState& state = Debug();
  const int64_t now = SteadyNowMs();
  int64_t next = -1;
  for (DebugState::HeldReason& reason : state.Held) {
    if (reason.held == 0) continue;
    const int64_t due = reason.written_ms + kJournalSumMs;
    if (all || now >= due) {
      WriteSummary(reason, now);
    } else if (next < 0 || due - now < next) {
      next = due - now;
    }
  }
  if (next >= 0) ArmFlush(next);
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

  const std::string root = ConfigRoot();
  const std::string dir = root + "/logs";
  const std::string file = dir + "/" + date + "_XarvelLock.log";
  const bool usable =
      !root.empty() && dir.size() <= kMaxLogDirPath && file.size() <= kMaxLogFilePath;

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
