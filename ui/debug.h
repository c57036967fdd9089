// The driver's trace call and its dated lock log.
//
// DebugPrint is the one trace call of the driver: tagged lines on the debug output stream
// (plat::OutputDebugString), shown when debug mode is on or when the caller forces them.
// LockLog appends one time-stamped entry per call to "<root>/logs/<yyyymmdd>_XarvelLock.log".
// Both run on the main thread only and take no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/debug_output.h"

namespace xarvel {

using plat::LogLevel;

// Longest formatted debug line, "<xarvel>-" and the final "\n" included (572-byte buffer).
inline constexpr size_t kMaxDebugLine = 571;
// Longest lock log entry line, without its CR LF (512-byte buffer).
inline constexpr size_t kMaxLockEntry = 511;
// Longest log directory path (512-byte buffer) and log file path (572-byte buffer).
inline constexpr size_t kMaxLogDirPath = 511;
inline constexpr size_t kMaxLogFilePath = 571;

struct DebugState {
  // 0 = debug output off, anything else = on. Set from "DebugMode" by ProfileInit and by the
  // Debug On / Debug Off menu commands.
  int DebugMode = 0;
  // True until the first attempt to create the log directory.
  bool LogDirFirstCall = true;
  // The calendar clock of LockLog; empty means std::time. Tests set it to cross midnight.
  std::function<std::time_t()> Clock;
  // The monotonic clock of the journal's sums, in milliseconds; empty means the steady clock.
  std::function<int64_t()> SteadyMs;
  // The journal's sums (below): one entry per refusal or drop reason seen.
  struct HeldReason {
    std::string key;                     // "refused range", "dropped held_too_long"
    LogLevel level = LogLevel::kNotice;  // of the reason's first line
    int64_t written_ms = 0;              // when a line of this reason last went to the journal
    uint64_t held = 0;                   // lines held back since
    std::string last;                    // "<dev> <dest> <src>" of the last held line
  };
  std::vector<HeldReason> Held;
};

// The one debug state of the process.
DebugState& Debug();
// Back to the start values (tests).
void ResetDebug();

// Writes "<xarvel>-" + text + "\n" to the debug output as one call, when debug mode is on or
// `force` is non-zero; otherwise does nothing at all. The text ends at its first NUL, as a C
// string would. A line that would exceed kMaxDebugLine has its text cut so that the line is
// exactly kMaxDebugLine characters and still ends in its "\n".
void DebugPrint(std::string_view text, int force);

// printf-style DebugPrint. Nothing is formatted when the line would not be shown.
void DebugPrintf(int force, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// DebugPrint and DebugPrintf with the line's level (its syslog priority). The debug mode and
// `force` decide whether the line exists at all, as above; the log level then decides whether it
// is written to the debug output, and an attached tracer sees it whatever the log level. A line
// that goes nowhere is not formatted. The calls without a level trace at info.
void DebugPrintAt(LogLevel level, std::string_view text, int force);
void DebugPrintfAt(LogLevel level, int force, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// The journal sums up repeated refusals and drops. When the output goes to the journal (standard
// error is the stream JOURNAL_STREAM names, so lines carry priority prefixes), a route's refusal
// or drop line "ROUTE <dev> <dest> <src> refused|dropped|abandoned <reason>" is written for the
// first of its reason (the words after the route, whatever they are); more of the same reason
// within kJournalSumMs of the last written are held back and counted, and one line per reason at
// most every kJournalSumMs says how many, at the first line's priority:
//   "ROUTE summary - 1,903 more routes refused range, the last 12 4095 5000"
// (the last route held: device, destination and source as its line named them).
// The tap (`kirn trace`) still gets every line and no summary; an output that is not the journal
// (a file, a terminal, the soak) gets every line as before. At most kMaxHeldReasons reasons are
// kept; lines of any further reason are written plainly.
inline constexpr int64_t kJournalSumMs = 10000;
inline constexpr size_t kMaxHeldReasons = 32;

// Writes the summary of every reason that holds lines and whose period has passed (all of them
// with `all`, as at shutdown). A timer of the event loop calls it when a period ends; without an
// event loop it runs only when called.
void DebugFlushSummaries(bool all);

// Appends " hh:mm:ss - <text> " and CR LF to the day's lock log, where date and time come from
// one reading of the clock in local time. The text is data, never a format; it ends at its first
// NUL and is cut so that the entry is at most kMaxLockEntry characters. The file path and the
// entry also go to the debug output (path, entry, "\n"), whatever the debug mode.
//
// The log directory "<root>/logs" is created on the first call, and again whenever the day's
// file cannot be opened because the directory has gone. With no usable configuration root or
// a path over its limit the entry goes to the debug output only. Failures are not reported.
void LockLog(std::string_view text);

}  // namespace xarvel
