// The operating system's debug output stream.
//
// Every line that the driver (or a kirn program) traces ends up here. By default a call writes
// its text to standard error with a single write(2), so lines from one process never interleave
// mid-line and journald keeps them whole when the program runs as a service. Tests may install a
// sink to capture lines.
//
// Every call carries a level, the syslog priority of its line. Lines above the log level are not
// written to standard error (or the sink). When standard error is the journal (JOURNAL_STREAM
// names it), the default log level is info and each line starts with its priority prefix ("<3>"
// for err ... "<7>" for debug), which journald takes as the entry's priority; otherwise the
// default is debug, without prefixes: every line as before.
//
// A tap, when one is installed, sees every line whatever the log level (the trace streamed to
// whoever attaches). With no tap installed a line above the log level costs one comparison.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

namespace plat {

// The syslog priorities that lines use, most severe first.
enum class LogLevel : int { kErr = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

// "err", "warning", "notice", "info" or "debug" (also "error", "warn" and the digits 3..7),
// letters in either case; nothing for anything else.
std::optional<LogLevel> ParseLogLevel(std::string_view text);
const char* LogLevelName(LogLevel level);

// Writes `text` unchanged (no tag, no newline added) as one unit, when `level` is within the log
// level; with priority prefixes on, the prefix goes before each line that `text` starts. Calls
// that name no level write at info. Safe to call from any thread.
void OutputDebugString(std::string_view text, LogLevel level = LogLevel::kInfo);

// OutputDebugString's two halves: the tap alone (a line that the journal sums up instead of
// writing) and standard error alone (such a summary, which is no line of the trace itself).
void TapDebugString(std::string_view text, LogLevel level);
void WriteDebugStringUntapped(std::string_view text, LogLevel level);

// True when a line of `level` would go anywhere (standard error or the tap): callers skip
// formatting lines that would not.
bool DebugOutputWanted(LogLevel level);
// True when a line of `level` is within the log level (written to standard error or the sink).
bool DebugOutputWritten(LogLevel level);

// The log level in force, and the priority prefixes. InitLogOutput sets both from the
// environment: prefixes and default info when standard error is the journal, else debug and no
// prefixes; then `level` (the command line) or XARVEL_LOG_LEVEL, when given, wins. A value of
// XARVEL_LOG_LEVEL that is not a level is ignored and returned in `bad_env` (if not null).
void InitLogOutput(std::optional<LogLevel> level, std::string* bad_env = nullptr);
void SetLogLevel(LogLevel level);
LogLevel GetLogLevel();
void SetPriorityPrefixes(bool on);
bool PriorityPrefixes();
// True when the log level was set by the command line or the environment (a profile's setting
// then does not change it).
bool LogLevelFixed();
// True when standard error (or `fd`) is the stream that JOURNAL_STREAM ("device:inode") names.
bool StderrIsJournal();
bool StreamIsJournal(int fd);

// Writes `line` and a newline to standard output as one unit, when `level` is within the log
// level; with the priority prefix when standard output is the journal (as InitLogOutput found).
// For the event lines of the kirn programs, which go to standard output.
void OutputEventLine(std::string_view line, LogLevel level);

// Replaces where OutputDebugString writes. An empty function restores standard error.
// Returns the sink that was installed before. Not thread-safe against concurrent writers; install
// it before the code under test runs.
using DebugSink = std::function<void(std::string_view)>;
DebugSink SetDebugSink(DebugSink sink);

// Installs the tap (an empty function removes it): it is called with every text and its level,
// whatever the log level, before the text is written. It runs with the output locked: it must not
// trace itself, and should only keep the text. Main thread only.
using DebugTap = std::function<void(std::string_view, LogLevel)>;
void SetDebugTap(DebugTap tap);

}  // namespace plat
