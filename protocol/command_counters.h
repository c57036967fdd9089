// The command handler's counters: route commands carried out per router, route commands refused
// by reason, and the controller lock changes asked for. Counted where the handler decides, read
// by the status answer (core/panel_counters.h). Main thread only; every count starts at zero with
// the process and only grows.
#pragma once

#include <array>
#include <cstdint>

#include "config/profile.h"

namespace xarvel {

// Why a route command was not carried out. The names are the label values of the status answer.
enum RefusalReason : int {
  kRefusedUnknownRouter = 0,  // no router has the command's device id
  kRefusedAccess,             // the access number has no access
  kRefusedRange,              // source or destination outside the router's range
  kRefusedLocked,             // the destination is locked by the control system
  kRefusedRxOnly,             // the driver runs RX only
  kRefusalReasonCount
};

// "unknown_router", "access", "range", "locked", "rx_only".
const char* RefusalReasonName(RefusalReason reason);

// Refusals that name no router (an unknown device id) are kept in the slot after the routers.
inline constexpr int kNoRouterSlot = kRouterCount;

struct CommandCounters {
  // Route commands carried out, by router index: at least one reading of the command went to
  // the controller (or, in simulation, into the tables).
  std::array<uint64_t, kRouterCount> Routes{};
  // Route commands refused, by router index (kNoRouterSlot: no router) and reason.
  std::array<std::array<uint64_t, kRefusalReasonCount>, kRouterCount + 1> Refused{};
  // Controller lock and unlock requests made (sent, or applied in simulation).
  uint64_t ControllerLockChanges = 0;
};

// The one set of command counters of the process.
CommandCounters& CommandCount();
// Back to zero (tests).
void ResetCommandCounters();

// Counts one refused route command of router `index` (-1, or a position with no router defined:
// counted under no router) and writes its forced audit trace line
// "ROUTE <device> <dest> <source> refused <reason>", the numbers as the command gave them.
void CountRefusal(int index, RefusalReason reason, int device_id, int dest, int source);

}  // namespace xarvel
