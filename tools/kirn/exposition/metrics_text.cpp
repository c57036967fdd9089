#include "tools/kirn/exposition/metrics_text.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "tools/kirn/common/driver_check.h"

namespace kirn {
namespace {

// How a figure of the driver's counters becomes a metric.
enum class Scale { kNone, kMilliseconds, kMicroseconds };

struct Family {
  const char* source;  // the line name of the counters answer
  const char* name;
  const char* type;
  const char* help;
  Scale scale = Scale::kNone;
};

// In the order they are exposed. xarvel_up, xarvel_comms_ok and the histogram are made apart.
// Each source line is one of DocumentedCounterLines() (counter_lines.h), which the survey vets.
constexpr Family kFamilies[] = {
    {"start_time_ms", "xarvel_start_time_seconds", "gauge",
     "When the driver started, in seconds since the epoch.", Scale::kMilliseconds},
    {"interface_mode", "xarvel_interface_mode", "gauge",
     "The driver's interface mode: 0 none, 1 RX only, 2 TX/RX, 3 forced TX/RX, 4 TX/RX inquiry, "
     "5 RX only broken."},
    {"active_controller", "xarvel_active_controller", "gauge",
     "The controller in use: 0 none, 1 A, 2 B."},
    {"link_up", "xarvel_link_up", "gauge",
     "1 while the connection to this controller is up (serial: the port open and the link OK)."},
    {"queue_depth", "xarvel_send_queue_depth", "gauge", "Controller commands waiting to be sent."},
    {"outstanding", "xarvel_commands_outstanding", "gauge",
     "Controller commands sent and not answered yet."},
    {"controller_commands_sent", "xarvel_controller_commands_sent_total", "counter",
     "Commands sent to the controller."},
    {"route_reports", "xarvel_route_reports_total", "counter",
     "Route reports received from the controller."},
    {"commands_dropped", "xarvel_commands_dropped_total", "counter",
     "Controller commands dropped unsent or unanswered, by reason."},
    {"last_drop_ms", "xarvel_last_drop_timestamp_seconds", "gauge",
     "When a command was last dropped, in seconds since the epoch (0: never).",
     Scale::kMilliseconds},
    {"refused_by_controller", "xarvel_routes_refused_by_controller_total", "counter",
     "Route commands the controller refused (a destination it has locked, a source it lacks): "
     "not carried out, neither a drop nor a link failure."},
    {"link_failures", "xarvel_link_failures_total", "counter",
     "Times the controller link was declared failed."},
    {"connections", "xarvel_connections_total", "counter",
     "Connections made to each controller (serial: the port opened)."},
    {"failovers", "xarvel_failovers_total", "counter",
     "Changes from one controller of a pair to the other."},
    {"commands_received", "xarvel_commands_received_total", "counter",
     "Command texts received from the control system, by kind."},
    {"routes", "xarvel_routes_total", "counter", "Route commands carried out, per router."},
    {"routes_refused", "xarvel_routes_refused_total", "counter",
     "Route commands refused, per router (none: no router of this driver), by reason."},
    {"revertives_sent", "xarvel_revertives_sent_total", "counter",
     "Revertives sent to the control system."},
    {"bus_reconnections", "xarvel_bus_reconnections_total", "counter",
     "Reconnections to the workstation bus."},
    {"saves", "xarvel_saves_total", "counter", "Index and lock files written whole."},
    {"save_failures", "xarvel_save_failures_total", "counter",
     "Index and lock files that could not be written."},
    {"last_save_ms", "xarvel_last_save_timestamp_seconds", "gauge",
     "When a file was last written whole, in seconds since the epoch (0: never).",
     Scale::kMilliseconds},
    {"save_failed", "xarvel_save_failed", "gauge",
     "1 while the latest save of the index or the lock file failed."},
    {"lock_entries_missing", "xarvel_lock_entries_missing", "gauge",
     "Destinations read as locked at start-up because the lock file was short."},
    {"poll_cycles", "xarvel_poll_cycles_total", "counter", "Full rounds of the poll."},
    {"poll_cycle_us", "xarvel_poll_cycle_seconds", "gauge",
     "How long the last full round of the poll took.", Scale::kMicroseconds},
    {"controller_lock_changes", "xarvel_controller_lock_changes_total", "counter",
     "Controller lock and unlock requests made."},
};

// A label value with the exposition's escapes (backslash, double quote, line feed).
void AppendEscaped(std::string& out, std::string_view value) {
  for (const char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

void AppendNumber(std::string& out, int64_t value, Scale scale) {
  char text[40];
  if (scale == Scale::kNone) {
    std::snprintf(text, sizeof text, "%" PRId64, value);
  } else {
    const int64_t unit = scale == Scale::kMilliseconds ? 1000 : 1000000;
    const int digits = scale == Scale::kMilliseconds ? 3 : 6;
    const uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    std::snprintf(text, sizeof text, "%s%" PRIu64 ".%0*" PRIu64, value < 0 ? "-" : "",
                  magnitude / static_cast<uint64_t>(unit), digits,
                  magnitude % static_cast<uint64_t>(unit));
  }
  out += text;
}

void AppendHeader(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

// One sample: name{driver="N",labels...} value.
void AppendSample(std::string& out, std::string_view name, int driver,
                  const std::vector<std::pair<std::string, std::string>>& labels, int64_t value,
                  Scale scale) {
  out += name;
  out += "{driver=\"";
  out += std::to_string(driver);
  out += '"';
  for (const auto& [label, v] : labels) {
    out += ',';
    out += label;
    out += "=\"";
    AppendEscaped(out, v);
    out += '"';
  }
  out += "} ";
  AppendNumber(out, value, scale);
  out += '\n';
}

void AppendFamily(std::string& out, const Family& f, const Survey& survey) {
  bool any = false;
  for (const DriverReading& d : survey.drivers) {
    if (!d.up) continue;
    for (const xarvel::CounterLine& line : d.counters.lines) {
      if (line.name != f.source) continue;
      if (!any) AppendHeader(out, f.name, f.type, f.help);
      any = true;
      AppendSample(out, f.name, d.driver, line.labels, line.value, f.scale);
    }
  }
}

void AppendUp(std::string& out, const Survey& survey) {
  AppendHeader(out, "xarvel_up", "gauge",
               "1 when the driver answered this scrape in time, 0 when it did not or has gone "
               "(one never heard from is named by its first router).");
  for (const DriverReading& d : survey.drivers) {
    if (d.driver > 0) {
      AppendSample(out, "xarvel_up", d.driver, {}, d.up ? 1 : 0, Scale::kNone);
    } else {
      out += "xarvel_up{router=\"";
      out += d.routers.empty() ? std::string() : std::to_string(d.routers.front());
      out += "\"} 0\n";
    }
  }
}

void AppendCommsOk(std::string& out, const Survey& survey) {
  bool any = false;
  for (const DriverReading& d : survey.drivers) {
    if (!d.up) continue;
    if (!any) {
      AppendHeader(out, "xarvel_comms_ok", "gauge",
                   "1 while the controller link is OK (always in simulation).");
    }
    any = true;
    AppendSample(out, "xarvel_comms_ok", d.driver, {}, d.counters.Get("comms_state") == 1 ? 1 : 0,
                 Scale::kNone);
  }
}

void AppendLatency(std::string& out, const Survey& survey) {
  bool any = false;
  for (const DriverReading& d : survey.drivers) {
    if (!d.up || !d.counters.Has("route_report_latency_count")) continue;
    if (!any) {
      AppendHeader(out, "xarvel_route_report_seconds", "histogram",
                   "Time from sending a controller command to its route report.");
    }
    any = true;
    for (const xarvel::CounterLine& line : d.counters.lines) {
      if (line.name == "route_report_latency_bucket") {
        AppendSample(out, "xarvel_route_report_seconds_bucket", d.driver, line.labels, line.value,
                     Scale::kNone);
      }
    }
    AppendSample(out, "xarvel_route_report_seconds_sum", d.driver, {},
                 d.counters.Get("route_report_latency_sum_us"), Scale::kMicroseconds);
    AppendSample(out, "xarvel_route_report_seconds_count", d.driver, {},
                 d.counters.Get("route_report_latency_count"), Scale::kNone);
  }
}

void AppendConflicts(std::string& out, const Survey& survey) {
  AppendHeader(out, "xarvel_driver_conflict", "gauge",
               "1 while more than one window answers as this driver (a driver started twice, or "
               "a peer posing as it); neither is taken.");
  for (const DriverReading& d : survey.drivers) {
    if (d.up || d.conflict) {
      AppendSample(out, "xarvel_driver_conflict", d.driver, {}, d.conflict ? 1 : 0, Scale::kNone);
    }
  }
}

void AppendBadAnswers(std::string& out, const Survey& survey) {
  AppendHeader(out, "xarvel_exporter_bad_answers_total", "counter",
               "Answers of a driver that held lines the exporter dropped (malformed, undocumented "
               "labels, duplicate series).");
  for (const DriverReading& d : survey.drivers) {
    if (d.driver > 0 || d.up || d.conflict) {
      AppendSample(out, "xarvel_exporter_bad_answers_total", d.driver, {},
                   static_cast<int64_t>(d.bad_answers), Scale::kNone);
    }
  }
}

}  // namespace

std::string ExpositionText(const Survey& survey) {
  std::string out;
  out.reserve(4096 + survey.drivers.size() * 16384);
  AppendHeader(out, "xarvel_exporter_bus_up", "gauge",
               "1 while the exporter is on the workstation bus and the interface answers.");
  out += survey.bus ? "xarvel_exporter_bus_up 1\n" : "xarvel_exporter_bus_up 0\n";
  AppendHeader(out, "xarvel_exporter_survey_seconds", "gauge",
               "How long asking every driver took for this scrape.");
  out += "xarvel_exporter_survey_seconds ";
  AppendNumber(out, survey.took.count(), Scale::kMicroseconds);
  out += '\n';
  AppendBadAnswers(out, survey);
  AppendUp(out, survey);
  AppendConflicts(out, survey);
  AppendCommsOk(out, survey);
  for (const Family& f : kFamilies) AppendFamily(out, f, survey);
  AppendLatency(out, survey);
  return out;
}

Health HealthOf(const Survey& survey) {
  Health h;
  if (!survey.bus) {
    h.status = 503;
    h.text = "XARVEL CRITICAL - no workstation bus, or no interface on it\n";
  }
  if (survey.drivers.empty() && survey.bus) h.text = "XARVEL OK - no drivers on the bus\n";
  for (const DriverReading& d : survey.drivers) {
    std::string who = d.driver > 0 ? "driver " + std::to_string(d.driver)
                                   : "the driver of device " +
                                         (d.routers.empty() ? std::string("?")
                                                            : std::to_string(d.routers.front()));
    CheckResult check;
    if (d.conflict) {
      check.state = kCheckCritical;
      check.text = std::to_string(d.windows.size()) +
                   " windows answer as this driver (a driver started twice, or a peer posing as "
                   "it): neither is taken";
    } else if (d.up) {
      check = CheckDriver(d.counters, CheckOptions{});
    } else {
      check.state = kCheckCritical;
      check.text = "does not answer";
    }
    if (check.state == kCheckCritical) h.status = 503;
    h.text += who + ": XARVEL " + CheckStateName(check.state) + " - " + check.text + "\n";
  }
  return h;
}

}  // namespace kirn
