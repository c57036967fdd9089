#include "protocol/ntp.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/number_scan.h"
#include "config/profile.h"
#include "link/comsup.h"
#include "protocol/command_counters.h"
#include "protocol/protocol_wiring.h"
#include "state/router_tables.h"
#include "tracing/debug.h"

namespace xarvel {
namespace {

constexpr unsigned char kCr = '\r';

// The reply buffer: the last 32 bytes received, written in a circle.
struct ReceiverState {
  std::array<unsigned char, kReplyBufferSize> buffer{};
  // Bytes received since the buffer was last emptied; the next one goes to this count modulo
  // the buffer size.
  size_t received = 0;
  // The count at the first "." since then (1 for the first byte), 0 while no "." has come.
  size_t dot_at = 0;
};

ReceiverState& Receiver() {
  static ReceiverState state;
  return state;
}

bool InSimulation() {
  return Profile().settings.Simulation == 1;
}

bool ValidIndex(int index) {
  return index >= 0 && index < kRouterCount;
}

RouterConfig& Router(int index) {
  return Profile().routers[static_cast<size_t>(index)];
}

// Controller numbering: the offsets apply only when they are positive. Destination 0 stays 0 in
// route and interrogate commands; source 0 becomes the offset.
long long ControllerDest(const RouterConfig& r, int dest) {
  return r.Offset_Dest > 0 && dest > 0 ? static_cast<long long>(dest) + r.Offset_Dest : dest;
}
long long ControllerSource(const RouterConfig& r, int source) {
  return r.Offset_Src > 0 ? static_cast<long long>(source) + r.Offset_Src : source;
}
// Name and lock commands add a positive offset whatever the number.
long long WithOffset(int offset, int number) {
  return offset > 0 ? static_cast<long long>(number) + offset : number;
}

// A formatted command of at most kMaxCommandLength characters.
struct Command {
  char text[kMaxCommandLength + 1] = {};
  int length = 0;
};

Command FormatCommand(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
Command FormatCommand(const char* fmt, ...) {
  Command c;
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(c.text, sizeof c.text, fmt, args);
  va_end(args);
  // Every number here fits in 11 characters, so no command is cut; an error leaves it empty.
  c.length = n < 0 ? 0 : (static_cast<size_t>(n) < sizeof c.text ? n : 0);
  if (c.length == 0) c.text[0] = '\0';
  return c;
}

void Send(const Command& c, const CommandOrigin& origin = {}) {
  if (c.length > 0) SendData(c.text, c.length, origin);
}

// The first defined router, or -1.
int FirstDefinedRouter() {
  for (int i = 0; i < kRouterCount; ++i) {
    if (Router(i).DeviceId > 0) return i;
  }
  return -1;
}

void StringError() {
  DebugPrintAt(LogLevel::kDebug, "NTP_Decode - recieved string error ", 0);
}

// One route report of level `index`: controller destination `cd`, controller source `cs`.
void RouteReport(char type, int index, int cd, int cs) {
  const RouterConfig& r = Router(index);
  const int park = Profile().settings.ParkSource;
  // The link supervisor matches the entry to the command it answers, by level, controller
  // destination and (for a route) source, before anything here can send another command.
  const bool owed = ComSup_RouteEntry(index, type, cd, cs);

  // Both numbers are positive where an offset is taken off, so nothing can overflow.
  int src = cs;
  if (r.Offset_Src > 0 && cs > 0) {
    src = cs - r.Offset_Src;
    if (src < 0) {
      DebugPrintfAt(LogLevel::kDebug, 1,
                    "Incoming OFFSET SRC IS LESS THAN ZERO -> iRtr= %d, iRtrSrc=%d / iZQSrc=%d",
                    index, cs, src);
      src = park;
    }
  }
  int dst = cd;
  if (r.Offset_Dest > 0 && cd > 0) {
    dst = cd - r.Offset_Dest;
    if (dst < 0) {
      DebugPrintfAt(LogLevel::kDebug, 0,
                    "Incoming OFFSET DEST IS LESS THAN ZERO -> iRtr= %d, iRtrDest=%d / iZQDest=%d",
                    index, cd, dst);
      dst = 0;
    }
  }
  DebugPrintfAt(LogLevel::kDebug, 0,
                "RX> Incoming -> iRtr= %d, iRtrDest=%d / iZQDest=%d, iRtrSrc=%d / iZQSrc=%d", index,
                cd, dst, cs, src);
  if (src == 0) src = park;
  if (!IsValidDest(index, dst)) return;
  if (!IsValidSource(index, src)) src = -1;

  if (ProtocolWiring().route) {
    ProtocolWiring().route(RouteReportEntry{index, r.DeviceId, dst, cd, src, owed});
  }
  if (Profile().settings.PollForMC1000LockStatus == 1) MC1000_LockPoll(index, dst);
}

// ".A" or ".U" followed by entries; `body` starts at the type letter.
void RouteReports(std::string_view body) {
  NtpEntries entries;
  const int count = NTP_SplitEntries(body, entries);
  int last = -1;
  for (int k = 0; k < count; ++k) {
    const std::string_view entry = entries[static_cast<size_t>(k)];
    const int levels = NTP_CountLevels(entry);
    if (levels == 0) {
      DebugPrintAt(LogLevel::kDebug, "NTP_Decode - lvls error ", 0);
      continue;
    }
    int cd = 0;
    int cs = 0;
    if (ScanDecimals(entry.substr(static_cast<size_t>(levels)), ',', {&cd, &cs}) != 2) {
      // A destination or source that cannot be read names no route: the entry is skipped.
      DebugPrintfAt(LogLevel::kDebug, 0, "NTP_Decode - entry without numbers %.*s",
                    static_cast<int>(entry.size()), entry.data());
      continue;
    }
    for (int l = 0; l < levels; ++l) {
      const int index = entry[static_cast<size_t>(l)] - 'A';
      RouteReport(body[0], index, cd, cs);
      if (Router(index).DeviceId > 0) last = index;
    }
  }
  // The link supervisor wants a router to name; with no report of a defined router the first
  // defined one stands in.
  ComSup_RouteReply(last != -1 ? last : FirstDefinedRouter());
}

// ".BA<lock destination>,<status>"; `numbers` starts after the three characters.
void LockStatus(std::string_view numbers) {
  DebugPrintAt(LogLevel::kDebug, "NTP_Decode - MC1000 Lock status reply", 0);
  int n = 0;
  int s = 0;
  if (ScanDecimals(numbers, ',', {&n, &s}) != 2) {
    StringError();
    return;
  }
  // It answers the lock command of that number awaiting its answer, if there is one.
  ComSup_LockStatus(n);
  int index = -1;
  int dest = -1;
  if (FindLockDest(n, index, dest) == 0) {
    DebugPrintfAt(LogLevel::kDebug, 1,
                  "NTP_Decode - MC1000 Lock Dest %d - INVALID LEVEL - unknown dest ", n);
    return;
  }
  DebugPrintfAt(
      LogLevel::kDebug, 0,
      "NTP_Decode - MC1000 Lock Dest %d -- yields rtr level %d and orvana dest %d  status  "
      "%d ",
      n, index, dest, s);
  if (ProtocolWiring().lock_status) ProtocolWiring().lock_status(index, dest, n, s);
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// A carriage return has come after a ".": decodes the reply it ends. The buffer in arrival order
// starts with the oldest byte and ends with this carriage return. Every earlier carriage return
// had no "." before it (or the buffer would have been emptied), so the reply runs from the first
// "." to this carriage return; once that "." has been written over, from the oldest "." left.
void TakeReply(ReceiverState& rx) {
  size_t length = rx.received - rx.dot_at + 1;
  if (length > kReplyBufferSize) {
    length = 0;
    for (size_t k = 0; k + 1 < kReplyBufferSize; ++k) {
      if (rx.buffer[(rx.received + k) % kReplyBufferSize] == '.') {
        length = kReplyBufferSize - k;
        break;
      }
    }
    if (length == 0) {
      DebugPrintAt(LogLevel::kDebug, "NTP_RxByte - reply longer than 32 bytes dropped", 0);
      NTP_ResetReceiver();
      return;
    }
  }
  // Copied out in at most two pieces: up to the end of the buffer, then from its start.
  char reply[kReplyBufferSize];
  const size_t start = (rx.received - length) % kReplyBufferSize;
  const size_t head = std::min(length, kReplyBufferSize - start);
  std::memcpy(reply, rx.buffer.data() + start, head);
  std::memcpy(reply + head, rx.buffer.data(), length - head);
  // Emptied before decoding: anything received while the reply is handled belongs to the next.
  NTP_ResetReceiver();
  NTP_Decode(std::string_view(reply, length));
}

}  // namespace

// --- Commands.

int NTP_Connect(int router_index, int source, int dest) {
  if (!ValidIndex(router_index)) {
    DebugPrintfAt(LogLevel::kDebug, 0, "NTP_Connect INVALID RTR %d", router_index);
    return 0;
  }
  const RouterConfig& r = Router(router_index);
  const long long cs = ControllerSource(r, source);
  const long long cd = ControllerDest(r, dest);
  const Command c = FormatCommand(".S%c%lld,%lld\r", 'A' + router_index, cd, cs);
  DebugPrintfAt(LogLevel::kDebug, 0, "NTP_Connect rtr %d src %d (%lld) dest %d (%lld) TX> %s",
                router_index, source, cs, dest, cd, c.text);
  if (!InSimulation()) Send(c, CommandOrigin{RouteOrigin{r.DeviceId, dest, source}});
  return 1;
}

int NTP_Interrogate(int router_index, int dest, Asker asker) {
  if (!ValidIndex(router_index)) {
    DebugPrintfAt(LogLevel::kDebug, 0, "NTP_Interrogate INVALID RTR %d", router_index);
    return 0;
  }
  const long long cd = ControllerDest(Router(router_index), dest);
  const Command c = FormatCommand(".I%c%lld\r", 'A' + router_index, cd);
  DebugPrintfAt(LogLevel::kDebug, 0, "NTP_Interrogate rtr %d dest %d (%lld) TX> %s", router_index,
                dest, cd, c.text);
  CommandOrigin origin;
  origin.asker = asker;
  // A destination asked again after a refused route names the route's destination, whose
  // revertive the answer owes.
  if (asker == Asker::kRecheck) origin.route = RouteOrigin{Router(router_index).DeviceId, dest, -1};
  if (!InSimulation()) Send(c, origin);
  return 1;
}

void MC1000_name(std::string_view name, int router_index, int entry, int kind, int length_class) {
  if (!ValidIndex(router_index)) {
    DebugPrintfAt(LogLevel::kDebug, 0, "MC1000_name INVALID RTR %d for idx %d  name %.*s",
                  router_index, entry, static_cast<int>(name.size()), name.data());
    return;
  }
  const RouterConfig& r = Router(router_index);
  const bool dest = kind == 1;
  const long long number = WithOffset(dest ? r.Offset_Dest : r.Offset_Src, entry);
  const char letter = dest ? (length_class == 10 ? 'E' : 'D') : (length_class == 10 ? 'T' : 'S');

  Command c = FormatCommand(".W%c%lld,", letter, number);
  // The name goes after the comma, cut so that the carriage return still fits; control
  // characters become blanks so the name can never end the command or start another.
  const size_t room = kMaxCommandLength - static_cast<size_t>(c.length) - 1;
  const size_t take = name.size() < room ? name.size() : room;
  for (size_t k = 0; k < take; ++k) {
    const unsigned char ch = static_cast<unsigned char>(name[k]);
    c.text[c.length++] = (ch < 0x20 || ch == 0x7f) ? ' ' : static_cast<char>(ch);
  }
  c.text[c.length++] = '\r';
  c.text[c.length] = '\0';

  if (!InSimulation()) Send(c);
  DebugPrintfAt(LogLevel::kDebug, 0, "MC1000_name rtr %d idx %d (%lld) %.*s | cmd > %s ",
                router_index, entry, number, static_cast<int>(name.size()), name.data(), c.text);
}

void MC1000_LockPoll(int router_index, int dest) {
  if (!ValidIndex(router_index)) {
    DebugPrintfAt(LogLevel::kDebug, 0, "MC1000_LockPoll INVALID RTR %d for dest %d", router_index,
                  dest);
    return;
  }
  long long number = dest;
  Command c;
  if (IsValidDest(router_index, dest) && !InSimulation()) {
    number = WithOffset(Router(router_index).Offset_Dest, dest);
    c = FormatCommand(".BI%lld\r", number);
    Send(c);
  }
  DebugPrintfAt(LogLevel::kDebug, 0, "MC1000_LockPoll for  rtr %d idx %d (%lld) | cmd > %s ",
                router_index, dest, number, c.text);
}

void MC1000_LockChange(int router_index, int dest, int state) {
  if (!ValidIndex(router_index)) {
    DebugPrintfAt(LogLevel::kDebug, 0, "MC1000_LockChange INVALID RTR %d for dest %d ",
                  router_index, dest);
    return;
  }
  if (!IsValidDest(router_index, dest)) return;
  const RouterConfig& r = Router(router_index);
  const long long number = WithOffset(r.Offset_Dest, dest);
  const Command c = FormatCommand(state != 0 ? ".BL%lld\r" : ".BU%lld\r", number);
  ++CommandCount().ControllerLockChanges;

  if (!InSimulation()) {
    // The table follows when the controller reports the new status.
    Send(c);
  } else {
    if (ProtocolWiring().lock_changed) {
      ProtocolWiring().lock_changed(router_index, dest, number, state);
    }
  }
  char text[160];
  std::snprintf(text, sizeof text,
                "MC1000_LockChange - Rtr %d Destination %d (%lld), new state is %d, | cmd %s ",
                r.DeviceId, dest, number, state, c.text);
  DebugPrintAt(LogLevel::kInfo, text, 1);
  LockLog(text);
}

// --- Replies.

void NTP_ResetReceiver() {
  Receiver() = ReceiverState{};
}

void NTP_RxByte(unsigned char byte) {
  NTP_RxBytes(&byte, 1);
}

void NTP_RxBytes(const unsigned char* bytes, size_t count) {
  while (count > 0) {
    // One piece: up to and including the next carriage return, or all that is left.
    const auto* cr = static_cast<const unsigned char*>(std::memchr(bytes, kCr, count));
    const size_t piece = cr != nullptr ? static_cast<size_t>(cr - bytes) + 1 : count;
    ReceiverState& rx = Receiver();
    if (rx.dot_at == 0) {
      const auto* dot = static_cast<const unsigned char*>(std::memchr(bytes, '.', piece));
      if (dot != nullptr) rx.dot_at = rx.received + static_cast<size_t>(dot - bytes) + 1;
    }
    // Only the piece's last bytes that the buffer holds are written, in at most two parts.
    const size_t kept = std::min(piece, kReplyBufferSize);
    const unsigned char* from = bytes + (piece - kept);
    const size_t at = (rx.received + piece - kept) % kReplyBufferSize;
    const size_t head = std::min(kept, kReplyBufferSize - at);
    std::memcpy(rx.buffer.data() + at, from, head);
    std::memcpy(rx.buffer.data(), from + head, kept - head);
    rx.received += piece;
    bytes += piece;
    count -= piece;
    if (cr != nullptr && rx.dot_at != 0) TakeReply(rx);
  }
}

void NTP_Decode(std::string_view reply) {
  DebugPrintfAt(LogLevel::kDebug, 0, "NTP_Decode RX> string = %.*s", static_cast<int>(reply.size()),
                reply.data());
  if (reply.empty() || reply[0] != '.') {
    StringError();
    return;
  }
  const std::string_view body = reply.substr(1);
  if (body == "A" || body.starts_with("A\r")) {
    DebugPrintAt(LogLevel::kDebug, "MC1000 Acknowledge received ", 0);
    ComSup_Ack();
    return;
  }
  if (body.starts_with('A') || body.starts_with('U')) {
    RouteReports(body);
    return;
  }
  if (body.starts_with("BA")) {
    LockStatus(body.substr(2));
    return;
  }
  if (body.starts_with("RA")) {
    DebugPrintAt(LogLevel::kDebug, "NTP_Decode - Database Name change reply from MC1000", 0);
    ComSup_NameAck();
    return;
  }
  StringError();
}

int NTP_SplitEntries(std::string_view text, NtpEntries& entries) {
  int count = 0;
  size_t start = 0;  // the type letter, then the separator before each further entry
  while (start < text.size()) {
    size_t p = start + 1;
    while (p < text.size() && text[p] != ',' && text[p] != '\r') ++p;
    if (p >= text.size() || text[p] == '\r') break;
    size_t q = p + 1;
    while (q < text.size() && IsDigit(text[q])) ++q;
    const std::string_view entry = text.substr(start + 1, q - start - 1);
    if (entry.size() > kMaxEntryText) {
      DebugPrintfAt(LogLevel::kDebug, 0, "NTP_SplitEntries - entry too long, dropped %.*s",
                    static_cast<int>(entry.size()), entry.data());
    } else if (static_cast<size_t>(count) < kMaxReplyEntries) {
      entries[static_cast<size_t>(count++)] = entry;
    } else {
      break;  // further entries are not taken
    }
    if (q >= text.size() || text[q] == '\r') break;
    start = q;
  }
  return count;
}

int NTP_CountLevels(std::string_view entry) {
  const size_t limit = entry.empty() ? 0 : entry.size() - 1;
  size_t n = 0;
  while (n < limit && entry[n] >= 'A' && entry[n] <= 'Z') ++n;
  return static_cast<int>(n);
}

int FindLockDest(int lock_dest, int& router_index, int& dest) {
  router_index = -1;
  dest = -1;
  const auto& routers = Profile().routers;
  for (int i = 0; i < kRouterCount; ++i) {
    const RouterConfig& r = routers[static_cast<size_t>(i)];
    if (r.DeviceId <= 0) continue;
    // The offset as the lock commands apply it (positive only), in 64 bits.
    const long long offset = r.Offset_Dest > 0 ? r.Offset_Dest : 0;
    if (lock_dest >= offset + 1 && lock_dest <= offset + r.DestCount) {
      router_index = i;
      dest = static_cast<int>(lock_dest - offset);
      return 1;
    }
  }
  return 0;
}

ProtocolSeams& ProtocolWiring() {
  static ProtocolSeams seams;
  return seams;
}

}  // namespace xarvel
