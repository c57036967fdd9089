#include "core/core_counters.h"

#include <chrono>

namespace xarvel {

CommandKind CommandKindOf(std::string_view text) {
  if (text.size() < 2 || text[0] != 'R') return kCommandOther;
  switch (text[1]) {
    case 'C':
      return kCommandRC;
    case 'L':
      return kCommandRL;
    case 'P':
      return kCommandRP;
    case 'Q':
      return kCommandRQ;
    case 'M':
      return kCommandRM;
    default:
      return kCommandOther;
  }
}

const char* CommandKindName(CommandKind kind) {
  static constexpr const char* kNames[kCommandKindCount] = {"RC", "RL", "RP", "RQ", "RM", "other"};
  return kind >= 0 && kind < kCommandKindCount ? kNames[kind] : "other";
}

CoreCounters& CoreCount() {
  static CoreCounters counters;
  return counters;
}

void ResetCoreCounters() {
  CoreCount() = CoreCounters{};
}

int64_t UnixMsNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace xarvel
