// The driver core's counters: the commands the control system sent, by kind, counted at the
// command intake, and the time the process started. Main thread only; every count starts at
// zero with the process and only grows.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace xarvel {

// The kind of a received command text, by its first two characters. The names are the label
// values of the status answer and the metrics.
enum CommandKind : int {
  kCommandRC = 0,
  kCommandRL,
  kCommandRP,
  kCommandRQ,
  kCommandRM,
  kCommandOther,
  kCommandKindCount
};

// The kind of a command text ("RC..." is kCommandRC; anything not R + C/L/P/Q/M is other).
CommandKind CommandKindOf(std::string_view text);
// "RC", "RL", "RP", "RQ", "RM", "other".
const char* CommandKindName(CommandKind kind);

struct CoreCounters {
  // Command texts received from the control system, by kind.
  std::array<uint64_t, kCommandKindCount> Received{};
  // Wall-clock milliseconds since the epoch at which the driver started (0 before that).
  int64_t StartUnixMs = 0;
};

// The one set of core counters of the process.
CoreCounters& CoreCount();
// Back to zero (tests).
void ResetCoreCounters();

// Wall-clock milliseconds since the epoch.
int64_t UnixMsNow();

}  // namespace xarvel
