#include "core/panel_counters.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "config/profile.h"
#include "core/core_counters.h"
#include "interface/interface_counters.h"
#include "interface/kapisup.h"
#include "link/comsup.h"
#include "link/link_counters.h"
#include "link/link_state.h"
#include "protocol/command_counters.h"
#include "state/save_counters.h"
#include "ui/poll_counters.h"

namespace xarvel {
namespace {

// A controller connection's state when it is connected.
constexpr int kConnectionUp = 1;

// Appends lines of the answer format.
class Lines {
 public:
  Lines() { text_.reserve(8192); }

  void Add(const char* name, int64_t value) {
    Line(name, nullptr, nullptr, nullptr, nullptr, value);
  }
  void Add(const char* name, const char* label, const char* label_value, int64_t value) {
    Line(name, label, label_value, nullptr, nullptr, value);
  }
  void Add(const char* name, const char* label, const char* label_value, const char* label2,
           const char* label2_value, int64_t value) {
    Line(name, label, label_value, label2, label2_value, value);
  }
  std::string Take() { return std::move(text_); }

 private:
  void Line(const char* name, const char* l1, const char* v1, const char* l2, const char* v2,
            int64_t value) {
    char line[160];
    int n = 0;
    if (l1 == nullptr) {
      n = std::snprintf(line, sizeof line, "%s %" PRId64 "\n", name, value);
    } else if (l2 == nullptr) {
      n = std::snprintf(line, sizeof line, "%s %s=%s %" PRId64 "\n", name, l1, v1, value);
    } else {
      n = std::snprintf(line, sizeof line, "%s %s=%s %s=%s %" PRId64 "\n", name, l1, v1, l2, v2,
                        value);
    }
    if (n > 0 && static_cast<size_t>(n) < sizeof line) text_.append(line, static_cast<size_t>(n));
  }

  std::string text_;
};

int64_t Count(uint64_t n) {
  return static_cast<int64_t>(n);
}

// The routers as the control system knows them: defined, and the first of their device id.
bool Listed(int index) {
  const auto& routers = Profile().routers;
  const int id = routers[static_cast<size_t>(index)].DeviceId;
  if (id <= 0) return false;
  for (int j = 0; j < index; ++j) {
    if (routers[static_cast<size_t>(j)].DeviceId == id) return false;
  }
  return true;
}

// The lines of the link's state, in the order of the answer.
void LinkStateLines(Lines& out, const LinkFigures& f) {
  out.Add("comms_state", f.comms_state);
  out.Add("active_controller", f.active_controller);
  out.Add("connection_mode", f.connection_mode);
  out.Add("simulation", f.simulation);
  if (f.up_a >= 0) out.Add("link_up", "controller", "A", f.up_a);
  if (f.up_b >= 0) out.Add("link_up", "controller", "B", f.up_b);
  if (f.up_serial >= 0) out.Add("link_up", "controller", "serial", f.up_serial);
}

void LinkLines(Lines& out) {
  const LinkState& link = Link();
  const LinkCounters& c = LinkCount();
  LinkStateLines(out, CurrentLinkFigures());
  const QueueFigures queue = LinkQueueFigures();
  out.Add("unacked", link.UnAckedCount);
  out.Add("queue_depth", queue.depth);
  out.Add("outstanding", queue.outstanding);
  out.Add("not_ok_since_ms", c.NotOkSinceUnixMs);
  out.Add("link_failures", Count(c.LinkFailures));
  for (int k = 0; k < kChannelCount; ++k) {
    out.Add("connections", "controller", LinkChannelName(static_cast<LinkChannel>(k)),
            Count(c.Connections[static_cast<size_t>(k)]));
  }
  out.Add("failovers", Count(c.Failovers));
  out.Add("controller_commands_sent", Count(c.CommandsSent));
  out.Add("route_reports", Count(c.RouteReports));
  for (int k = 0; k < kDropReasonCount; ++k) {
    out.Add("commands_dropped", "reason", DropReasonName(static_cast<DropReason>(k)),
            Count(c.Dropped[static_cast<size_t>(k)]));
  }
  out.Add("last_drop_ms", c.LastDropUnixMs);
  out.Add("refused_by_controller", Count(c.RefusedByController));

  const LatencyHistogram& h = c.RouteReportLatency;
  uint64_t seen = 0;
  for (size_t k = 0; k < LatencyHistogram::kBoundsSeconds.size(); ++k) {
    seen += h.buckets[k];
    char bound[24];
    std::snprintf(bound, sizeof bound, "%g", LatencyHistogram::kBoundsSeconds[k]);
    out.Add("route_report_latency_bucket", "le", bound, Count(seen));
  }
  out.Add("route_report_latency_bucket", "le", "+Inf", Count(h.count));
  out.Add("route_report_latency_sum_us", h.sum_us);
  out.Add("route_report_latency_count", Count(h.count));
}

void DriverLines(Lines& out) {
  const CoreCounters& core = CoreCount();
  for (int k = 0; k < kCommandKindCount; ++k) {
    out.Add("commands_received", "kind", CommandKindName(static_cast<CommandKind>(k)),
            Count(core.Received[static_cast<size_t>(k)]));
  }
  out.Add("revertives_sent", Count(InterfaceCount().RevertivesSent));
  out.Add("bus_reconnections", Count(InterfaceCount().BusReconnections));

  const SaveCounters& saves = SaveCount();
  for (int k = 0; k < kSaveFileCount; ++k) {
    out.Add("saves", "file", SaveFileName(static_cast<SaveFile>(k)),
            Count(saves.Done[static_cast<size_t>(k)]));
  }
  for (int k = 0; k < kSaveFileCount; ++k) {
    out.Add("save_failures", "file", SaveFileName(static_cast<SaveFile>(k)),
            Count(saves.Failed[static_cast<size_t>(k)]));
  }
  out.Add("last_save_ms", saves.LastGoodUnixMs);
  out.Add("save_failed", saves.LastFailed[kSaveIndex] || saves.LastFailed[kSaveLocks] ? 1 : 0);
  out.Add("lock_entries_missing", saves.LockEntriesMissing);

  out.Add("poll_cycles", Count(PollCount().Cycles));
  out.Add("poll_cycle_us", PollCount().LastCycleUs);

  const CommandCounters& commands = CommandCount();
  out.Add("controller_lock_changes", Count(commands.ControllerLockChanges));
  char device[16];
  for (int i = 0; i < kRouterCount; ++i) {
    if (!Listed(i)) continue;
    std::snprintf(device, sizeof device, "%d", Profile().routers[static_cast<size_t>(i)].DeviceId);
    out.Add("routes", "router", device, Count(commands.Routes[static_cast<size_t>(i)]));
  }
  static constexpr RefusalReason kRouterReasons[] = {kRefusedAccess, kRefusedRange, kRefusedLocked,
                                                     kRefusedRxOnly};
  for (int i = 0; i < kRouterCount; ++i) {
    if (!Listed(i)) continue;
    std::snprintf(device, sizeof device, "%d", Profile().routers[static_cast<size_t>(i)].DeviceId);
    for (RefusalReason why : kRouterReasons) {
      out.Add("routes_refused", "router", device, "reason", RefusalReasonName(why),
              Count(commands.Refused[static_cast<size_t>(i)][static_cast<size_t>(why)]));
    }
  }
  for (RefusalReason why : {kRefusedUnknownRouter, kRefusedRxOnly}) {
    out.Add("routes_refused", "router", "none", "reason", RefusalReasonName(why),
            Count(commands.Refused[kNoRouterSlot][static_cast<size_t>(why)]));
  }
}

bool NameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsName(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!NameChar(c)) return false;
  }
  return true;
}

bool ParseValue(std::string_view text, int64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  const size_t first = text[0] == '-' ? 1 : 0;
  if (first == text.size()) return false;
  for (size_t i = first; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  const std::string copy(text);
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(copy.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

// One line into `line`; false when it does not follow the format.
bool ParseLine(std::string_view text, CounterLine* line) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t blank = text.find(' ', start);
    parts.push_back(text.substr(start, blank == std::string_view::npos ? blank : blank - start));
    if (blank == std::string_view::npos) break;
    start = blank + 1;
  }
  if (parts.size() < 2 || !IsName(parts.front())) return false;
  line->name = std::string(parts.front());
  line->labels.clear();
  for (size_t i = 1; i + 1 < parts.size(); ++i) {
    const size_t eq = parts[i].find('=');
    if (eq == std::string_view::npos || !IsName(parts[i].substr(0, eq))) return false;
    const std::string_view value = parts[i].substr(eq + 1);
    if (value.empty() || value.find_first_of("=\t\r") != std::string_view::npos) return false;
    line->labels.emplace_back(parts[i].substr(0, eq), value);
  }
  return ParseValue(parts.back(), &line->value);
}

}  // namespace

LinkFigures CurrentLinkFigures() {
  const Settings& s = Profile().settings;
  const LinkState& link = Link();
  LinkFigures f;
  f.interface_mode = Kapi().DriverMode;
  f.comms_state = link.ComState;
  f.active_controller = link.ActiveController;
  f.connection_mode = s.Connection_Mode;
  f.simulation = s.Simulation == 1 ? 1 : 0;
  if (s.Simulation != 1) {
    if (s.Connection_Mode == 2) {
      f.up_a = link.ConnStateA == kConnectionUp ? 1 : 0;
      if (s.Dual_Controllers == 1) f.up_b = link.ConnStateB == kConnectionUp ? 1 : 0;
    } else {
      f.up_serial = ComSup_SerialLineUp() && link.ComState == kComOk ? 1 : 0;
    }
  }
  return f;
}

std::string LinkNewsText(const LinkFigures& f) {
  Lines out;
  out.Add("format", 1);
  out.Add("driver", Profile().DeviceNumber);
  out.Add("now_ms", UnixMsNow());
  out.Add("start_time_ms", CoreCount().StartUnixMs);
  out.Add("interface_mode", f.interface_mode);
  LinkStateLines(out, f);
  out.Add("end", 1);
  return out.Take();
}

QueueFigures LinkQueueFigures() {
  return {ComSup_QueueDepth(), ComSup_Outstanding()};
}

std::string PanelCountersText() {
  Lines out;
  out.Add("format", 1);
  out.Add("driver", Profile().DeviceNumber);
  out.Add("now_ms", UnixMsNow());
  out.Add("start_time_ms", CoreCount().StartUnixMs);
  out.Add("interface_mode", Kapi().DriverMode);
  LinkLines(out);
  DriverLines(out);
  out.Add("end", 1);
  return out.Take();
}

int64_t PanelCounters::Get(std::string_view name,
                           std::initializer_list<std::string_view> label_values,
                           int64_t absent) const {
  for (const CounterLine& line : lines) {
    if (line.name != name || line.labels.size() != label_values.size()) continue;
    bool match = true;
    size_t i = 0;
    for (std::string_view v : label_values) match = match && line.labels[i++].second == v;
    if (match) return line.value;
  }
  return absent;
}

bool PanelCounters::Has(std::string_view name) const {
  for (const CounterLine& line : lines) {
    if (line.name == name) return true;
  }
  return false;
}

PanelCounters ParsePanelCounters(std::string_view text) {
  PanelCounters result;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    // A last line without its line end was cut: it is not taken.
    if (end == std::string_view::npos) break;
    CounterLine line;
    if (ParseLine(text.substr(start, end - start), &line)) {
      if (line.name == "end" && line.labels.empty()) {
        result.complete = true;
        break;
      }
      result.lines.push_back(std::move(line));
    } else {
      ++result.malformed;
    }
    start = end + 1;
  }
  return result;
}

}  // namespace xarvel
