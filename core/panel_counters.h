// The driver's counters and link figures as one text: the answer to kPanelCounters
// (core/remote_panel.h), read by `kirn status --json/--check` and by the metrics exporter.
//
// One figure a line, its parts separated by single blanks:
//
//   NAME [LABEL=VALUE]... NUMBER\n         e.g.  routes_refused router=101 reason=locked 2
//
// NAME and LABEL are lower-case letters, digits and '_'; a label VALUE holds no blank, tab, '='
// or line end (device ids, the names below, histogram bounds, "none"); NUMBER is a decimal
// signed 64-bit integer. Times are wall-clock milliseconds since the epoch (names ending in
// "_ms"; 0 = never), durations microseconds ("_us"). The lines of one NAME follow each other
// with their labels in the same order. The first line is "format 1", the last "end 1": an
// answer without its end line was cut short. A reader skips names it does not know; new names
// may be added at any place before "end", and the format number changes only when a line
// changes its meaning.
//
// The lines, in order:
//   format 1
//   driver N                          the driver's own device number (its command line)
//   now_ms, start_time_ms             the driver's clock at the answer; when it started
//   interface_mode N                  DriverMode, 0..5
//   comms_state N                     ComState: 0 unconfirmed, 1 OK, 2 failed
//   active_controller N               0 none, 1 A, 2 B
//   connection_mode N                 1 serial, 2 TCP, 0 not recognised (serial port)
//   simulation N                      1: no controller link at all
//   link_up controller=A|B|serial N   per configured connection (none in simulation; B only for
//                                     a pair): 1 while connected, the serial port while it is
//                                     open and the link OK
//   unacked N, queue_depth N, outstanding N
//   not_ok_since_ms T                 when ComState last left OK (0: OK now, or never OK)
//   link_failures N, connections controller=A|B|serial N, failovers N
//   controller_commands_sent N, route_reports N
//   commands_dropped
//   reason=held_too_long|queue_full|rx_only|unanswered|forward_buffer_full|shutdown N last_drop_ms
//   T refused_by_controller N        routes the controller refused (not drops, not failures)
//   route_report_latency_bucket le=0.001|...|10|+Inf N   cumulative, as Prometheus counts them
//   route_report_latency_sum_us N, route_report_latency_count N
//   commands_received kind=RC|RL|RP|RQ|RM|other N
//   revertives_sent N, bus_reconnections N
//   saves file=index|locks N, save_failures file=index|locks N
//   last_save_ms T                    the last file written whole
//   save_failed N                     1 while the latest save of either file failed
//   lock_entries_missing N            destinations read as locked because the lock file was
//                                     short at start-up
//   poll_cycles N, poll_cycle_us N    full poll rounds; the last one's length
//   controller_lock_changes N         controller lock and unlock requests made
//   routes router=DEV N               route commands carried out, per defined router
//   routes_refused router=DEV reason=access|range|locked|rx_only N
//   routes_refused router=none reason=unknown_router|rx_only N
//   end 1
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace xarvel {

// The driver's side: every figure as the text above. Main thread only.
std::string PanelCountersText();

// The send queue's depth and the commands sent and not yet answered.
struct QueueFigures {
  int64_t depth = 0;
  int64_t outstanding = 0;
};
QueueFigures LinkQueueFigures();

// The part of the answer that changes only when the link or the interface mode does: what a
// driver announces to the tools that subscribe to its link (kLinkNews, core/remote_panel.h).
struct LinkFigures {
  int64_t interface_mode = 0;     // DriverMode
  int64_t comms_state = 0;        // ComState
  int64_t active_controller = 0;  // ActiveController
  int64_t connection_mode = 0;
  int64_t simulation = 0;
  // link_up of controller A, B and the serial line; -1 where the line is not in the answer.
  int64_t up_a = -1;
  int64_t up_b = -1;
  int64_t up_serial = -1;
  bool operator==(const LinkFigures&) const = default;
};
LinkFigures CurrentLinkFigures();
// The announcement of `f`, in the answer's format: format, driver, now_ms, start_time_ms,
// interface_mode, comms_state, active_controller, connection_mode, simulation, the link_up lines
// and end, each as the answer has it (now_ms tells a reader which of an answer and an
// announcement is the later).
std::string LinkNewsText(const LinkFigures& f);

// One parsed line of the answer.
struct CounterLine {
  std::string name;
  std::vector<std::pair<std::string, std::string>> labels;
  int64_t value = 0;
};

// The reader's side: the lines of an answer. Lines that do not follow the format are skipped.
struct PanelCounters {
  std::vector<CounterLine> lines;
  // The end line was seen: nothing was cut off.
  bool complete = false;
  // Lines before the end that did not follow the format (skipped).
  int malformed = 0;

  // The value of the line `name` whose label values are `label_values` in order (none: the line
  // without labels); `absent` when there is no such line.
  int64_t Get(std::string_view name, std::initializer_list<std::string_view> label_values = {},
              int64_t absent = 0) const;
  // True when a line of that name exists.
  bool Has(std::string_view name) const;
};

PanelCounters ParsePanelCounters(std::string_view text);

}  // namespace xarvel
