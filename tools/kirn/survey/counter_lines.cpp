#include "tools/kirn/survey/counter_lines.h"

#include <cmath>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>

#include "tools/kirn/common/text_encoding.h"

namespace kirn {
namespace {

// A bucket bound as Prometheus reads one: a decimal number or +Inf.
bool IsBound(std::string_view text) {
  if (text == "+Inf") return true;
  if (text.empty() || text.size() > 32) return false;
  const std::string copy(text);
  char* end = nullptr;
  const double v = std::strtod(copy.c_str(), &end);
  return end == copy.c_str() + copy.size() && std::isfinite(v);
}

}  // namespace

const std::vector<CounterLineSpec>& DocumentedCounterLines() {
  static const std::vector<CounterLineSpec> table = {
      {"start_time_ms", {}},
      {"interface_mode", {}},
      {"active_controller", {}},
      {"link_up", {"controller"}},
      {"queue_depth", {}},
      {"outstanding", {}},
      {"controller_commands_sent", {}},
      {"route_reports", {}},
      {"commands_dropped", {"reason"}},
      {"last_drop_ms", {}},
      {"refused_by_controller", {}},
      {"link_failures", {}},
      {"connections", {"controller"}},
      {"failovers", {}},
      {"commands_received", {"kind"}},
      {"routes", {"router"}},
      {"routes_refused", {"router", "reason"}},
      {"revertives_sent", {}},
      {"bus_reconnections", {}},
      {"saves", {"file"}},
      {"save_failures", {"file"}},
      {"last_save_ms", {}},
      {"save_failed", {}},
      {"lock_entries_missing", {}},
      {"poll_cycles", {}},
      {"poll_cycle_us", {}},
      {"controller_lock_changes", {}},
      {"route_report_latency_bucket", {"le"}},
  };
  return table;
}

int DropBadLines(xarvel::PanelCounters* counters) {
  int dropped = counters->malformed;
  std::set<std::pair<std::string, std::vector<std::string>>> seen;
  std::vector<xarvel::CounterLine> kept;
  kept.reserve(counters->lines.size());
  for (xarvel::CounterLine& line : counters->lines) {
    const std::vector<std::string_view>* wanted = nullptr;
    for (const CounterLineSpec& l : DocumentedCounterLines()) {
      if (line.name == l.name) wanted = &l.labels;
    }
    // A line the exporter does not expose is only made safe (a later driver may add names).
    const bool exported = wanted != nullptr;
    bool good = !exported || line.labels.size() == wanted->size();
    std::vector<std::string> values;
    for (size_t i = 0; i < line.labels.size(); ++i) {
      line.labels[i].second = ValidUtf8(line.labels[i].second, true);
      values.push_back(line.labels[i].second);
      if (!exported || !good) continue;
      good = line.labels[i].first == (*wanted)[i];
      if (line.name == "route_report_latency_bucket") good = good && IsBound(values.back());
    }
    // A line seen before with the same labels would be a duplicate series.
    if (good) good = seen.emplace(line.name, std::move(values)).second;
    if (good) {
      kept.push_back(std::move(line));
    } else {
      ++dropped;
    }
  }
  counters->lines = std::move(kept);
  counters->malformed = 0;
  return dropped;
}

}  // namespace kirn
