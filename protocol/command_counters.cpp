#include "protocol/command_counters.h"

#include "tracing/debug.h"

namespace xarvel {

const char* RefusalReasonName(RefusalReason reason) {
  switch (reason) {
    case kRefusedUnknownRouter:
      return "unknown_router";
    case kRefusedAccess:
      return "access";
    case kRefusedRange:
      return "range";
    case kRefusedLocked:
      return "locked";
    case kRefusedRxOnly:
      return "rx_only";
    default:
      return "unknown";
  }
}

CommandCounters& CommandCount() {
  static CommandCounters counters;
  return counters;
}

void ResetCommandCounters() {
  CommandCount() = CommandCounters{};
}

void CountRefusal(int index, RefusalReason reason, int device_id, int dest, int source) {
  const bool defined = index >= 0 && index < kRouterCount &&
                       Profile().routers[static_cast<size_t>(index)].DeviceId > 0;
  const int slot = defined ? index : kNoRouterSlot;
  if (reason >= 0 && reason < kRefusalReasonCount) {
    ++CommandCount().Refused[static_cast<size_t>(slot)][static_cast<size_t>(reason)];
  }
  DebugPrintfAt(LogLevel::kNotice, 1, "ROUTE %d %d %d refused %s", device_id, dest, source,
                RefusalReasonName(reason));
}

}  // namespace xarvel
