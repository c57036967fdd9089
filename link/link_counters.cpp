#include "link/link_counters.h"

#include <chrono>
#include <cmath>

#include "tracing/debug.h"

namespace xarvel {

const char* DropReasonName(DropReason reason) {
  switch (reason) {
    case kDropHeldTooLong:
      return "held_too_long";
    case kDropQueueFull:
      return "queue_full";
    case kDropRxOnly:
      return "rx_only";
    case kDropUnanswered:
      return "unanswered";
    case kDropForwardBufferFull:
      return "forward_buffer_full";
    case kDropShutdown:
      return "shutdown";
    default:
      return "unknown";
  }
}

const char* LinkChannelName(LinkChannel channel) {
  switch (channel) {
    case kChannelA:
      return "A";
    case kChannelB:
      return "B";
    case kChannelSerial:
      return "serial";
    default:
      return "unknown";
  }
}

void LatencyHistogram::Observe(int64_t micros) {
  if (micros < 0) micros = 0;
  const double seconds = static_cast<double>(micros) / 1e6;
  size_t k = 0;
  while (k < kBoundsSeconds.size() && seconds > kBoundsSeconds[k]) ++k;
  ++buckets[k];
  ++count;
  sum_us += micros;
}

double LatencyHistogram::QuantileUpperBound(double q) const {
  if (count == 0) return 0;
  const double wanted = std::ceil(q * static_cast<double>(count));
  uint64_t seen = 0;
  for (size_t k = 0; k < kBoundsSeconds.size(); ++k) {
    seen += buckets[k];
    if (static_cast<double>(seen) >= wanted) return kBoundsSeconds[k];
  }
  return kBoundsSeconds.back();
}

LinkCounters& LinkCount() {
  static LinkCounters counters;
  return counters;
}

void ResetLinkCounters() {
  LinkCount() = LinkCounters{};
}

void ComSup_CountDrop(DropReason reason, std::string_view text, const RouteOrigin& route,
                      bool abandoned) {
  LinkCounters& c = LinkCount();
  if (reason >= 0 && reason < kDropReasonCount) ++c.Dropped[static_cast<size_t>(reason)];
  c.LastDropUnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  if (route.device > 0) {
    DebugPrintfAt(LogLevel::kWarning, 1, "ROUTE %d %d %d %s %s", route.device, route.dest,
                  route.source, abandoned ? "abandoned" : "dropped", DropReasonName(reason));
    return;
  }
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  DebugPrintfAt(LogLevel::kDebug, 1, "ComSup - dropped %.*s (%s)", static_cast<int>(text.size()),
                text.data(), DropReasonName(reason));
}

}  // namespace xarvel
