// The control-system interface's counters: revertives sent and workstation bus reconnections.
// Main thread only; every count starts at zero with the process and only grows.
#pragma once

#include <cstdint>

namespace xarvel {

struct InterfaceCounters {
  // Revertive texts and query replies sent to the interface.
  uint64_t RevertivesSent = 0;
  // Times the driver connected to a bus host again after losing it.
  uint64_t BusReconnections = 0;
};

// The one set of interface counters of the process.
inline InterfaceCounters& InterfaceCount() {
  static InterfaceCounters counters;
  return counters;
}

}  // namespace xarvel
