#include "platform/debug_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "platform/file_io.h"

namespace plat {
namespace {

struct Output {
  // Recursive: a Qt warning raised while a line is written comes back here on the same thread.
  std::recursive_mutex mutex;
  DebugSink sink;
  DebugTap tap;
  // True when the next text starts a line (for the priority prefix).
  bool at_line_start = true;
};

Output& Out() {
  static Output out;
  return out;
}

// Read without the lock on every call: a line above the level is dropped at the cost of a load.
std::atomic<int> g_level{static_cast<int>(LogLevel::kDebug)};
std::atomic<bool> g_prefixes{false};
std::atomic<bool> g_tapped{false};
std::atomic<bool> g_fixed{false};
std::atomic<bool> g_stdout_prefixes{false};

// `text` with "<N>" before each line it starts.
std::string WithPrefixes(std::string_view text, LogLevel level, bool& at_line_start) {
  const char prefix[4] = {'<', static_cast<char>('0' + static_cast<int>(level)), '>', '\0'};
  std::string out;
  out.reserve(text.size() + 6);
  for (char c : text) {
    if (at_line_start) out.append(prefix, 3);
    out.push_back(c);
    at_line_start = c == '\n';
  }
  return out;
}

}  // namespace

std::optional<LogLevel> ParseLogLevel(std::string_view text) {
  std::string t;
  for (char c : text) t.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (t == "err" || t == "error" || t == "3") return LogLevel::kErr;
  if (t == "warning" || t == "warn" || t == "4") return LogLevel::kWarning;
  if (t == "notice" || t == "5") return LogLevel::kNotice;
  if (t == "info" || t == "6") return LogLevel::kInfo;
  if (t == "debug" || t == "7") return LogLevel::kDebug;
  return std::nullopt;
}

const char* LogLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::kErr:
      return "err";
    case LogLevel::kWarning:
      return "warning";
    case LogLevel::kNotice:
      return "notice";
    case LogLevel::kInfo:
      return "info";
    case LogLevel::kDebug:
      return "debug";
  }
  return "info";
}

bool DebugOutputWritten(LogLevel level) {
  return static_cast<int>(level) <= g_level.load(std::memory_order_relaxed);
}

bool DebugOutputWanted(LogLevel level) {
  return static_cast<int>(level) <= g_level.load(std::memory_order_relaxed) ||
         g_tapped.load(std::memory_order_relaxed);
}

namespace {

void Emit(std::string_view text, LogLevel level, bool to_tap, bool to_output) {
  const bool shown =
      to_output && static_cast<int>(level) <= g_level.load(std::memory_order_relaxed);
  to_tap = to_tap && g_tapped.load(std::memory_order_relaxed);
  if (!shown && !to_tap) return;
  Output& out = Out();
  std::lock_guard<std::recursive_mutex> lock(out.mutex);
  // A line traced from inside the tap (a Qt warning of its timer, say) is not tapped again.
  static thread_local bool in_tap = false;
  if (to_tap && out.tap && !in_tap) {
    in_tap = true;
    out.tap(text, level);
    in_tap = false;
  }
  if (!shown || text.empty()) return;
  if (g_prefixes.load(std::memory_order_relaxed)) {
    const std::string prefixed = WithPrefixes(text, level, out.at_line_start);
    if (out.sink) {
      out.sink(prefixed);
    } else {
      WriteAll(STDERR_FILENO, prefixed);
    }
    return;
  }
  out.at_line_start = text.back() == '\n';
  if (out.sink) {
    out.sink(text);
    return;
  }
  WriteAll(STDERR_FILENO, text);
}

}  // namespace

void OutputDebugString(std::string_view text, LogLevel level) {
  Emit(text, level, true, true);
}

void TapDebugString(std::string_view text, LogLevel level) {
  Emit(text, level, true, false);
}

void WriteDebugStringUntapped(std::string_view text, LogLevel level) {
  Emit(text, level, false, true);
}

bool StderrIsJournal() {
  return StreamIsJournal(STDERR_FILENO);
}

bool StreamIsJournal(int fd) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  const std::string value(stream);
  const size_t colon = value.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= value.size()) return false;
  char* end = nullptr;
  const unsigned long long dev = std::strtoull(value.c_str(), &end, 10);
  if (end != value.c_str() + colon) return false;
  const unsigned long long ino = std::strtoull(value.c_str() + colon + 1, &end, 10);
  if (*end != '\0') return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev &&
         static_cast<unsigned long long>(st.st_ino) == ino;
}

void InitLogOutput(std::optional<LogLevel> level, std::string* bad_env) {
  const bool journal = StderrIsJournal();
  SetPriorityPrefixes(journal);
  g_stdout_prefixes.store(StreamIsJournal(STDOUT_FILENO));
  LogLevel chosen = journal ? LogLevel::kInfo : LogLevel::kDebug;
  bool fixed = false;
  if (const char* env = std::getenv("XARVEL_LOG_LEVEL"); env != nullptr && *env != '\0') {
    if (const auto parsed = ParseLogLevel(env)) {
      chosen = *parsed;
      fixed = true;
    } else if (bad_env != nullptr) {
      *bad_env = env;
    }
  }
  if (level) {
    chosen = *level;
    fixed = true;
  }
  SetLogLevel(chosen);
  g_fixed.store(fixed);
}

void SetLogLevel(LogLevel level) {
  g_level.store(static_cast<int>(level));
}

LogLevel GetLogLevel() {
  return static_cast<LogLevel>(g_level.load());
}

void SetPriorityPrefixes(bool on) {
  g_prefixes.store(on);
}

bool PriorityPrefixes() {
  return g_prefixes.load();
}

bool LogLevelFixed() {
  return g_fixed.load();
}

void OutputEventLine(std::string_view line, LogLevel level) {
  if (static_cast<int>(level) > g_level.load(std::memory_order_relaxed)) return;
  std::string text;
  text.reserve(line.size() + 4);
  if (g_stdout_prefixes.load(std::memory_order_relaxed)) {
    text.push_back('<');
    text.push_back(static_cast<char>('0' + static_cast<int>(level)));
    text.push_back('>');
  }
  text.append(line).push_back('\n');
  // Standard output's own buffer may hold earlier text of the program: it goes first.
  std::fflush(stdout);
  WriteAll(STDOUT_FILENO, text);
}

DebugSink SetDebugSink(DebugSink sink) {
  std::lock_guard<std::recursive_mutex> lock(Out().mutex);
  return std::exchange(Out().sink, std::move(sink));
}

void SetDebugTap(DebugTap tap) {
  std::lock_guard<std::recursive_mutex> lock(Out().mutex);
  g_tapped.store(static_cast<bool>(tap));
  Out().tap = std::move(tap);
}

}  // namespace plat
