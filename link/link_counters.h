// The link supervisor's counters: what went to the controller, what came back, how long the
// answers took, what was given up and why. Counted where each event happens, read by the status
// panel, `kirn status --json/--check` and the metrics exporter. Main thread only; every count
// starts at zero with the process and only grows (gauges such as the queue depth are read from
// the link state, not kept here).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "link/link_command.h"

namespace xarvel {

// Why a command was not carried to the controller. The names are the label values that the
// status answer and the metrics use.
enum DropReason : int {
  kDropHeldTooLong = 0,    // no controller connected for too long
  kDropQueueFull,          // the send queue was full; the oldest waiting command went
  kDropRxOnly,             // the driver entered RX only with the route waiting or outstanding
  kDropUnanswered,         // sent, but no route report answered it within the reply timeout
  kDropForwardBufferFull,  // the forward buffer was full; its oldest waiting command went
  kDropShutdown,           // the driver ended in order with the command still waiting
  kDropReasonCount
};

// "held_too_long", "queue_full", "rx_only", "unanswered", "forward_buffer_full", "shutdown".
const char* DropReasonName(DropReason reason);

// Which connection a count belongs to; also the `controller` label ("A", "B", "serial").
enum LinkChannel : int { kChannelA = 0, kChannelB, kChannelSerial, kChannelCount };
const char* LinkChannelName(LinkChannel channel);

// Time from writing a command to the route report that answers it, in fixed buckets (upper
// bounds in seconds; the last bucket is everything above the largest bound).
struct LatencyHistogram {
  static constexpr std::array<double, 13> kBoundsSeconds = {
      0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
  // Non-cumulative counts: bucket k holds the answers above bound k-1 and at most bound k;
  // bucket 13 those above 10 s.
  std::array<uint64_t, kBoundsSeconds.size() + 1> buckets{};
  uint64_t count = 0;
  int64_t sum_us = 0;

  // Adds one answer that took `micros` microseconds (negative counts as 0).
  void Observe(int64_t micros);
  // The smallest bucket bound at or below which `q` (0..1) of the answers lie, in seconds;
  // 0 when nothing was observed, the largest bound when the quantile lies beyond it.
  double QuantileUpperBound(double q) const;
};

struct LinkCounters {
  // Commands written to a controller (serial port or the active socket).
  uint64_t CommandsSent = 0;
  // Route report frames received (".A"/".U" replies), answered or not.
  uint64_t RouteReports = 0;
  // Commands given up, by reason.
  std::array<uint64_t, kDropReasonCount> Dropped{};
  // Wall-clock milliseconds since the epoch of the last drop of any reason (0: none yet).
  int64_t LastDropUnixMs = 0;
  // Routes the controller refused (a destination it has locked, a source it lacks): answered
  // with the unchanged crosspoint, a bare acknowledgement or nothing. Not a drop, not a failure.
  uint64_t RefusedByController = 0;
  // Times the link was declared failed.
  uint64_t LinkFailures = 0;
  // Connections made: TCP connects of A and B, serial ports opened (re-opens included).
  std::array<uint64_t, kChannelCount> Connections{};
  // Times the active controller changed from one controller to the other.
  uint64_t Failovers = 0;
  // Wall-clock milliseconds since the epoch at which ComState last left 1 (OK); 0 while it has
  // never been OK or is OK now. Lets a check tell how long the link has been down.
  int64_t NotOkSinceUnixMs = 0;
  LatencyHistogram RouteReportLatency;
};

// The one set of link counters of the process.
LinkCounters& LinkCount();
// Back to zero (tests).
void ResetLinkCounters();

// Counts one dropped command and writes its forced audit trace line. `text` is the command as it
// would have been sent (its carriage return is not printed). A route of the control system
// (`route` with a device id) is traced as the machine-readable line
// "ROUTE <device> <dest> <source> dropped <reason>" ("abandoned" in place of "dropped" when
// `abandoned`: the route was written and may or may not have been made); anything else as
// "ComSup - dropped <text> (<reason>)".
void ComSup_CountDrop(DropReason reason, std::string_view text, const RouteOrigin& route = {},
                      bool abandoned = false);

}  // namespace xarvel
