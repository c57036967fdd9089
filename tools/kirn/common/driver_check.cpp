#include "tools/kirn/common/driver_check.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kirn {
namespace {

// The upper bound of the bucket that holds quantile `q` of the route report latency, in seconds;
// 0 when nothing was measured.
double LatencyQuantile(const xarvel::PanelCounters& c, double q) {
  const int64_t count = c.Get("route_report_latency_count");
  if (count <= 0) return 0;
  const auto wanted = static_cast<int64_t>(std::ceil(q * static_cast<double>(count)));
  double last_bound = 0;
  for (const xarvel::CounterLine& line : c.lines) {
    if (line.name != "route_report_latency_bucket" || line.labels.size() != 1) continue;
    if (line.labels[0].second == "+Inf") break;
    last_bound = std::strtod(line.labels[0].second.c_str(), nullptr);
    if (line.value >= wanted) return last_bound;
  }
  return last_bound;
}

// A latency quantile as perfdata: its seconds, or U (not known) while nothing has been timed,
// so that a graph shows a gap rather than a latency of 0.
std::string LatencyPerf(const xarvel::PanelCounters& c, double q) {
  if (c.Get("route_report_latency_count") <= 0) return "U";
  char text[32];
  std::snprintf(text, sizeof text, "%gs", LatencyQuantile(c, q));
  return text;
}

// The summary the driver also gives its service manager: "<mode>, <link>[, controller X]".
std::string Summary(const xarvel::PanelCounters& c) {
  const int64_t mode = c.Get("interface_mode");
  std::string line = mode == 1 ? "Rx Only" : mode == 2 ? "Tx/Rx" : "no mode";
  if (c.Get("simulation") == 1) return line + ", Simulation";
  const int64_t comms = c.Get("comms_state");
  line += comms == 1 ? ", Comms Ok" : comms == 2 ? ", Comms Fail" : ", Comms unconfirmed";
  if (c.Get("connection_mode") == 2) {
    const int64_t active = c.Get("active_controller");
    line += active == 1 ? ", controller A" : active == 2 ? ", controller B" : ", no controller";
  }
  return line;
}

}  // namespace

const char* CheckStateName(int state) {
  static const char* const kNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  return kNames[state >= 0 && state <= 3 ? state : 3];
}

int64_t CounterTotal(const xarvel::PanelCounters& c, std::string_view name) {
  int64_t sum = 0;
  for (const xarvel::CounterLine& line : c.lines) {
    if (line.name == name) sum += line.value;
  }
  return sum;
}

CheckResult CheckDriver(const xarvel::PanelCounters& c, const CheckOptions& options) {
  const int64_t now = c.Get("now_ms");
  int state = kCheckOk;
  std::vector<std::string> reasons;
  auto raise = [&](int to, const std::string& why) {
    if (to > state) state = to;
    reasons.push_back(why);
  };

  if (c.Get("simulation") != 1) {
    const int64_t comms = c.Get("comms_state");
    const bool no_controller = c.Get("connection_mode") == 2 && c.Get("active_controller") == 0;
    if (comms == 2 || no_controller) {
      // Since the link last left OK; a link never OK since the start has been down since then.
      int64_t since = c.Get("not_ok_since_ms");
      if (since <= 0) since = comms == 1 ? now : c.Get("start_time_ms");
      const int64_t down_s = (now - since) / 1000;
      const std::string what = comms == 2 ? "link failed" : "no controller active";
      raise(down_s >= options.critical_after_s ? kCheckCritical : kCheckWarning,
            what + " for " + std::to_string(down_s) + " s");
    } else if (comms == 0) {
      raise(kCheckWarning, "link not confirmed yet");
    }
    if (c.Get("active_controller") == 2) raise(kCheckWarning, "running on controller B");
  }
  if (c.Get("save_failed") != 0) raise(kCheckCritical, "the latest save failed");
  const int64_t last_drop = c.Get("last_drop_ms");
  if (options.drop_window_s > 0 && last_drop > 0 &&
      now - last_drop <= options.drop_window_s * 1000) {
    raise(kCheckWarning,
          "a command dropped " + std::to_string((now - last_drop) / 1000) + " s ago");
  }

  std::string text = Summary(c);
  for (size_t i = 0; i < reasons.size(); ++i) text += (i == 0 ? ": " : "; ") + reasons[i];
  char perf[256];
  std::snprintf(perf, sizeof perf,
                " | latency_p50=%s;; latency_p99=%s;; dropped=%lldc refused=%lldc "
                "link_failures=%lldc queue_depth=%lld;;",
                LatencyPerf(c, 0.5).c_str(), LatencyPerf(c, 0.99).c_str(),
                static_cast<long long>(CounterTotal(c, "commands_dropped")),
                static_cast<long long>(CounterTotal(c, "routes_refused")),
                static_cast<long long>(c.Get("link_failures")),
                static_cast<long long>(c.Get("queue_depth")));
  return CheckResult{state, text + perf};
}

}  // namespace kirn
