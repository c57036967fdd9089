#include "tracing/trace_stream.h"

#include <QTimer>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/bus_client.h"
#include "platform/debug_output.h"
#include "tracing/debug.h"

namespace xarvel {
namespace {

struct Tracer {
  plat::Hwnd window = plat::kNoWindow;
  plat::LogLevel level = plat::LogLevel::kDebug;
  std::string buffer;  // whole lines waiting to go
  uint64_t dropped = 0;
  bool drop_said = false;  // the driver's log has said that this tracer loses lines
  uint32_t serial = 0;     // the kTraceLines on its way, 0: none
};

struct Stream {
  plat::BusClient* bus = nullptr;
  plat::Hwnd from = plat::kNoWindow;  // the main window: the lines are sent from it
  std::vector<Tracer> tracers;
  // The line being put together from the pieces of the debug output, and its level.
  std::string partial;
  plat::LogLevel partial_level = plat::LogLevel::kInfo;
  // Sends what waits, on the next turn of the event loop (never from inside the debug output).
  std::unique_ptr<QTimer> flush;
};

Stream& S() {
  static Stream stream;
  return stream;
}

void ScheduleFlush() {
  Stream& s = S();
  if (s.flush && !s.flush->isActive()) s.flush->start(0);
}

// Puts the count of the lines dropped for `t` into its buffer when it fits with `room` bytes
// more: true when nothing dropped waits to be said.
bool SayDropped(Tracer& t, size_t room) {
  if (t.dropped == 0) return true;
  const std::string note = "<xarvel-trace>-" + std::to_string(t.dropped) + " lines dropped\n";
  if (t.buffer.size() + note.size() + room > kTraceBufferBytes) return false;
  t.buffer += note;
  t.dropped = 0;
  return true;
}

void Offer(const std::string& line, plat::LogLevel level) {
  for (Tracer& t : S().tracers) {
    if (static_cast<int>(level) > static_cast<int>(t.level)) continue;
    if (t.buffer.size() + line.size() > kTraceBufferBytes || !SayDropped(t, line.size())) {
      ++t.dropped;
      continue;
    }
    t.buffer += line;
  }
}

// The tap of the debug output: runs with the output locked, so it only keeps the text.
void Tap(std::string_view text, plat::LogLevel level) {
  Stream& s = S();
  for (size_t start = 0; start < text.size();) {
    const size_t nl = text.find('\n', start);
    const size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    if (s.partial.empty()) s.partial_level = level;
    s.partial.append(text.substr(start, end - start));
    // A piece that never ends its line is cut, so that the partial line stays bounded.
    if (nl != std::string_view::npos || s.partial.size() > 2 * kMaxDebugLine) {
      if (s.partial.back() != '\n') s.partial.push_back('\n');
      Offer(s.partial, s.partial_level);
      s.partial.clear();
    }
    start = end;
  }
  ScheduleFlush();
}

void UpdateTap() {
  Stream& s = S();
  if (s.tracers.empty()) {
    plat::SetDebugTap(nullptr);
    s.partial.clear();
  } else {
    plat::SetDebugTap(Tap);
  }
}

std::vector<Tracer>::iterator Find(plat::Hwnd window) {
  auto& tracers = S().tracers;
  return std::find_if(tracers.begin(), tracers.end(),
                      [window](const Tracer& t) { return t.window == window; });
}

void Detach(plat::Hwnd window) {
  Stream& s = S();
  auto it = Find(window);
  if (it == s.tracers.end()) return;
  if (it->serial != 0 && s.bus != nullptr) s.bus->Forget(it->serial);
  s.tracers.erase(it);
  UpdateTap();
}

// Sends the next block to every tracer that has taken the last one.
void Flush() {
  Stream& s = S();
  std::vector<plat::Hwnd> failed;
  std::vector<plat::Hwnd> falling_behind;
  for (Tracer& t : s.tracers) {
    if (t.dropped > 0 && !t.drop_said) {
      t.drop_said = true;
      falling_behind.push_back(t.window);
    }
    if (t.serial != 0) {
      // Answered (taken, or given up by the host on a stalled tracer's behalf) or still away.
      if (s.bus->Awaiting(t.serial)) continue;
      s.bus->TakeReply(t.serial);
      t.serial = 0;
    }
    // A tracer that has caught up learns what it missed now, not with the next line: a quiet
    // driver may trace nothing more for a long time.
    SayDropped(t, 0);
    if (t.buffer.empty()) continue;
    size_t n = t.buffer.size();
    if (n > kTraceBlockBytes) {
      n = t.buffer.rfind('\n', kTraceBlockBytes - 1);
      n = n == std::string::npos ? kTraceBlockBytes : n + 1;
    }
    std::vector<uint8_t> block(t.buffer.begin(), t.buffer.begin() + static_cast<std::ptrdiff_t>(n));
    block.push_back(0);
    const auto lines = std::count(block.begin(), block.end(), static_cast<uint8_t>('\n'));
    t.serial = s.bus->StartSend(s.from, t.window, kTraceLines, static_cast<plat::WParam>(lines), 0,
                                std::move(block));
    if (t.serial == 0) {
      failed.push_back(t.window);
      continue;
    }
    t.buffer.erase(0, n);
  }
  for (plat::Hwnd w : failed) Detach(w);
  // Said after the loop: the line itself goes to the tracers too.
  for (plat::Hwnd w : falling_behind) {
    DebugPrintfAt(LogLevel::kInfo, 1,
                  "Trace - tracer 0x%04x does not keep up: lines dropped for it", w);
  }
}

}  // namespace

void TraceStream_Install(plat::BusClient* bus) {
  Stream& s = S();
  s.bus = bus;
  if (!s.flush) {
    s.flush = std::make_unique<QTimer>();
    s.flush->setSingleShot(true);
    QObject::connect(s.flush.get(), &QTimer::timeout, [] { Flush(); });
  }
  if (bus != nullptr) bus->SetStartedReplyHandler([] { ScheduleFlush(); });
}

void TraceStream_Uninstall() {
  Stream& s = S();
  if (s.bus != nullptr) s.bus->SetStartedReplyHandler(nullptr);
  s.tracers.clear();
  UpdateTap();
  s.bus = nullptr;
  s.flush.reset();
}

bool TraceStream_Handles(uint32_t msg) {
  return msg == kTraceAttach || msg == kTraceDetach;
}

plat::LResult TraceStream_Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l) {
  Stream& s = S();
  const auto window = static_cast<plat::Hwnd>(w & 0xFFFF);
  // Only a tracer's own window attaches or detaches itself.
  if (window == plat::kNoWindow || plat::MessageSender() != window) return 0;
  if (msg == kTraceDetach) {
    const bool attached = Find(window) != s.tracers.end();
    Detach(window);
    return attached ? 1 : 0;
  }
  if (s.bus == nullptr || !s.bus->connected()) return 0;
  plat::LogLevel level = plat::LogLevel::kDebug;
  if (l >= static_cast<int>(plat::LogLevel::kErr) && l <= static_cast<int>(plat::LogLevel::kDebug))
    level = static_cast<plat::LogLevel>(l);
  auto it = Find(window);
  if (it != s.tracers.end()) {
    it->level = level;
    return 1;
  }
  if (s.tracers.size() >= kMaxTracers) {
    DebugPrintfAt(LogLevel::kWarning, 1,
                  "Trace - tracer 0x%04x refused: %zu tracers already attached", window,
                  kMaxTracers);
    return 0;
  }
  s.from = hwnd;
  Tracer t;
  t.window = window;
  t.level = level;
  s.tracers.push_back(std::move(t));
  UpdateTap();
  DebugPrintfAt(LogLevel::kInfo, 1, "Trace - tracer 0x%04x attached (up to %s)", window,
                plat::LogLevelName(level));
  return 1;
}

void TraceStream_WindowGone(plat::Hwnd window) {
  Detach(window);
}

void TraceStream_BusLost() {
  Stream& s = S();
  if (s.bus != nullptr) {
    for (const Tracer& t : s.tracers) {
      if (t.serial != 0) s.bus->Forget(t.serial);
    }
  }
  s.tracers.clear();
  UpdateTap();
}

size_t TraceStream_Tracers() {
  return S().tracers.size();
}

}  // namespace xarvel
