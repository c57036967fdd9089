#include "protocol/command_handler.h"

#include "config/profile.h"
#include "interface/kapisup.h"
#include "protocol/command_counters.h"
#include "protocol/ntp.h"
#include "protocol/protocol_wiring.h"
#include "state/router_tables.h"
#include "tracing/debug.h"

namespace xarvel {
namespace {

// Interface modes the route command looks at.
constexpr int kModeRxOnly = 1;
constexpr int kModeTxRx = 2;

// A text as a C string would see it: up to its first NUL.
std::string_view UpToNul(std::string_view text) {
  const size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

void SetField(CommandFields& f, int k, std::string_view text) {
  const auto i = static_cast<size_t>(k - 1);
  if (text.size() > kMaxFieldText) text = text.substr(0, kMaxFieldText);
  text.copy(f.text[i].data(), text.size());
  f.text[i][text.size()] = '\0';
  f.length[i] = text.size();
  int value = 0;
  ScanDecimal(text, value);
  f.value[i] = value;
}

// ExtractFields into `f`.
void ExtractFieldsInto(CommandFields& f, std::string_view text, int n) {
  if (n > kCommandFields) n = kCommandFields;
  for (int k = 1; k <= kCommandFields; ++k) SetField(f, k, {});

  const size_t len = text.size();
  size_t p = 3;
  for (int k = 1; k <= n && p < len; ++k) {
    while (p < len && text[p] == ' ') ++p;
    size_t start = p;
    size_t end = p;
    if (p < len && text[p] == '\'') {
      start = p + 1;
      const size_t close = text.find('\'', start);
      end = close == std::string_view::npos ? len : close;
      p = close == std::string_view::npos ? len : close + 1;
    } else {
      while (end < len && text[end] != ' ') ++end;
      p = end;
    }
    SetField(f, k, text.substr(start, end - start));
    while (p < len && text[p] != ' ') ++p;
  }
}

// Access numbers 0..1000 have an entry in the access table; any other number has no access.
int AccessEntry(int access) {
  if (access < 0 || access >= kAccessCount) return 0;
  return Profile().Access[static_cast<size_t>(access)];
}

// One reading of a route request: `source` to `dest` on router `index` (device `device_id`).
// Returns the source used (the park source stands in for source 0).
int Route(int index, int device_id, int source, int dest) {
  if (source == 0) source = Profile().settings.ParkSource;
  if (Profile().settings.Simulation != 1) {
    // Every route taken from the control system is traced, so that an audit of the trace can
    // follow each one to its write, its answer or its drop.
    DebugPrintfAt(LogLevel::kDebug, 0, "ROUTE %d %d %d taken", device_id, dest, source);
    NTP_Connect(index, source, dest);
    // Already routed: the controller may not report it again, so answer at once.
    if (GetTally(device_id, dest) == source) SendRevertives(device_id, dest, dest, 1, 0);
  } else {
    SetTally(device_id, dest, source);
    SendRevertives(device_id, dest, dest, 1, 0);
    Tables().TablesChanged = 1;
  }
  return source;
}

// A route command's destination and source in one of its readings.
struct Reading {
  int dest = 0;
  int source = 0;
};

// The reading that the driver tries first: source to destination when that is enabled, else
// destination to source.
Reading FirstReading(int a, int b) {
  const Settings& s = Profile().settings;
  if (s.SourceToDest == 0 && s.DestToSource != 0) return {a, b};
  return {b, a};
}

// Why `source` to `dest` on router `index` may not be routed, or -1 when it may.
int ReadingRefusal(int index, int device_id, int source, int dest) {
  if (!IsValidSource(index, source) || !IsValidDest(index, dest)) return kRefusedRange;
  if (GetLock(device_id, dest) != 0) return kRefusedLocked;
  return -1;
}

// A route command that arrives while the driver runs RX only: counted and traced from its own
// fields, leaving the command fields as they were.
void CountRxOnlyRefusal(std::string_view text) {
  CommandFields f;
  ExtractFieldsInto(f, text, 5);
  const Reading r = FirstReading(f.Value(2), f.Value(3));
  CountRefusal(FindRouter(f.Value(1)), kRefusedRxOnly, f.Value(1), r.dest, r.source);
}

}  // namespace

RouteNamed RouteCommandNames(std::string_view text) {
  if (text.size() < 2 || text[0] != 'R' || text[1] != 'C') return {};
  CommandFields f;
  ExtractFieldsInto(f, text, 3);
  const Reading r = FirstReading(f.Value(2), f.Value(3));
  return {f.Value(1), r.dest, r.source};
}

namespace {

bool RangeRequestAllowed(int index, int first, int last, int access) {
  return index != -1 && IsValidDest(index, first) && IsValidDest(index, last) &&
         AccessEntry(access) != 0;
}

int PollOrQuery(std::string_view text, int kind) {
  ExtractFields(text, 4);
  const CommandFields& f = Commands().fields;
  const int device_id = f.Value(1);
  const int first = f.Value(2);
  const int last = f.Value(3);
  const int access = f.Value(4);
  const int index = FindRouter(device_id);
  DebugPrintAt(LogLevel::kDebug, text, 0);
  DebugPrintfAt(LogLevel::kDebug, 0, "%d %d", device_id, index);
  if (RangeRequestAllowed(index, first, last, access)) {
    SendRevertives(device_id, first, last, kind, access);
  }
  return 1;
}

// The name as the controller takes it: short names cut to 8 characters and padded with blanks
// to 9 (length class 8), long names cut to 10 and padded to 11 (length class 10).
std::string ControllerName(std::string_view name, int& length_class) {
  const bool long_names = Profile().settings.NameLength >= 10;
  length_class = long_names ? 10 : 8;
  const size_t keep = long_names ? 10 : 8;
  const size_t width = long_names ? 11 : 9;
  std::string out(name.substr(0, keep));
  out.resize(width, ' ');
  return out;
}

}  // namespace

CommandState& Commands() {
  static CommandState state;
  return state;
}

void ResetRmState() {
  Commands().rm = RmState{};
}

void ResetCommandState() {
  Commands() = CommandState{};
}

void ExtractFields(std::string_view text, int n) {
  ExtractFieldsInto(Commands().fields, text, n);
}

void ParseCommand(std::string_view text) {
  text = UpToNul(text);
  DebugPrintfAt(LogLevel::kDebug, 0, "Parsing - [%.*s]", static_cast<int>(text.size()),
                text.data());
  if (text.size() < 2 || text[0] != 'R') return;
  switch (text[1]) {
    case 'C':
      Cmd_RouterConnect(text);
      break;
    case 'L':
      Cmd_RouterLock(text);
      break;
    case 'M':
      Cmd_DatabaseModify(text);
      break;
    case 'P':
      Cmd_RouterPoll(text);
      break;
    case 'Q':
      Cmd_RouterQuery(text);
      break;
    default:
      break;
  }
}

int Cmd_RouterConnect(std::string_view text) {
  const int mode = Kapi().DriverMode;
  if (mode == kModeRxOnly) {
    if (ProtocolWiring().mode_shown) ProtocolWiring().mode_shown("Rx Only");
    CountRxOnlyRefusal(text);
    return 1;
  }
  if (mode != kModeTxRx && ProtocolWiring().mode_shown) ProtocolWiring().mode_shown("Tx/Rx");

  ExtractFields(text, 5);
  CommandFields& f = Commands().fields;
  const int device_id = f.Value(1);
  // Both readings test the numbers as they were received.
  const int a = f.Value(2);
  const int b = f.Value(3);
  const int access = f.Value(5);
  const int index = FindRouter(device_id);
  DebugPrintfAt(LogLevel::kDebug, 1, "Cmd_RouterConnect = iRtr %d var4 %d bAccess %d", index,
                access, AccessEntry(access));
  // Device id 0 finds a router position that is not defined: no reading can be routed there.
  const bool known = index != -1 && Profile().routers[static_cast<size_t>(index)].DeviceId > 0;
  if (!known || AccessEntry(access) == 0) {
    const Reading r = FirstReading(a, b);
    CountRefusal(index, known ? kRefusedAccess : kRefusedUnknownRouter, device_id, r.dest,
                 r.source);
    return 1;
  }

  const Settings& s = Profile().settings;
  bool routed = false;
  // The refusal that counts when no reading is carried out: that of the first reading tried.
  int refusal = -1;
  Reading refused;
  if (s.SourceToDest != 0) {
    const int why = ReadingRefusal(index, device_id, a, b);
    if (why < 0) {
      f.value[1] = Route(index, device_id, a, b);
      routed = true;
    } else {
      refusal = why;
      refused = {b, a};
    }
  }
  // The destination of this reading is the number as received: the park source written into
  // the field above stands for a source, never for a destination.
  if (s.DestToSource != 0) {
    const int why = ReadingRefusal(index, device_id, b, a);
    if (why < 0) {
      f.value[2] = Route(index, device_id, b, a);
      routed = true;
    } else if (refusal < 0) {
      refusal = why;
      refused = {a, b};
    }
  }
  if (routed) {
    ++CommandCount().Routes[static_cast<size_t>(index)];
  } else if (refusal >= 0) {
    CountRefusal(index, static_cast<RefusalReason>(refusal), device_id, refused.dest,
                 refused.source);
  }
  return 1;
}

bool Cmd_RouterLock(std::string_view text) {
  ExtractFields(text, 5);
  const CommandFields& f = Commands().fields;
  const int device_id = f.Value(1);
  const int first = f.Value(2);
  const int last = f.Value(3);
  const int state = f.Value(4);
  const int index = FindRouter(device_id);
  bool done = false;
  if (RangeRequestAllowed(index, first, last, f.Value(5))) {
    for (int d = first; d <= last; ++d) SetLock(device_id, d, state);
    Tables().TablesChanged = 1;
    if (ProtocolWiring().locks_changed) ProtocolWiring().locks_changed();
    done = true;
  }
  LockLog(UpToNul(text));
  return done;
}

int Cmd_RouterPoll(std::string_view text) {
  return PollOrQuery(text, 1);
}

int Cmd_RouterQuery(std::string_view text) {
  return PollOrQuery(text, 2);
}

void Cmd_DatabaseModify(std::string_view text) {
  ExtractFields(text, 5);
  const CommandFields& f = Commands().fields;
  const std::string_view name = f.Text(4);
  DebugPrintfAt(LogLevel::kDebug, 0, "from RM extracted %.*s from %.*s",
                static_cast<int>(name.size()), name.data(), static_cast<int>(text.size()),
                text.data());
  RmState& rm = Commands().rm;
  rm.RevertiveMode = f.Value(5);
  rm.EntryIndex = f.Value(3);
  rm.Name.assign(name);
  DatabaseChange(f.Value(1), f.Value(3), 1, f.Value(2));
}

void DatabaseChange(int device_id, int32_t entry_index, int changed_by_rm, int database) {
  if (database >= 2) return;
  const int index = FindRouter(device_id);

  if (ProtocolWiring().names_changed) ProtocolWiring().names_changed(device_id, entry_index);

  const Settings& s = Profile().settings;
  if (changed_by_rm != 1) return;
  if (s.UpdateMC1000DatabaseNames == 1 && index != -1) {
    int length_class = 8;
    const std::string name = ControllerName(Commands().rm.Name, length_class);
    if (database == s.UpdateSourceDatabase) {
      MC1000_name(name, index, entry_index, 0, length_class);
    } else if (database == s.UpdateDestDatabase) {
      MC1000_name(name, index, entry_index, 1, length_class);
    }
  }
  if (index == -1) return;

  const RmState& rm = Commands().rm;
  const int dests = Profile().routers[static_cast<size_t>(index)].DestCount;
  if (rm.RevertiveMode == 1) {
    SendRevertives(device_id, 1, dests, 1, 0);
  } else if (rm.RevertiveMode == 2 && database == 0) {
    // The destinations fed by the source whose name changed.
    for (int d = 1; d <= dests; ++d) {
      if (GetTally(device_id, d) == entry_index) SendRevertives(device_id, d, d, 1, 0);
    }
  }
}

}  // namespace xarvel
