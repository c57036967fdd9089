// What the protocol decoded or changed, for the layers that act on it: the router tables, the
// revertives and the lock infodriver below, the status dialog above. core/ fills these at
// start-up (core/wiring.cpp); the protocol itself only decodes, forms commands and tells the
// link (which it calls directly: the link sits below it).
//
// Every seam is called synchronously on the main thread, at the very point where the protocol
// acted itself before. In a route report the link matches the entry to its outstanding command
// (ComSup_RouteEntry) before the route seam runs, because sending a revertive may re-enter the
// link. An empty seam does nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace xarvel {

// One entry of a route report of a valid destination, in control-system numbers.
struct RouteReportEntry {
  int index = -1;           // router index (level letter)
  int device = 0;           // the router's device id
  int dest = 0;             // destination
  int controller_dest = 0;  // the destination as the controller numbers it (for the trace)
  int source = -1;          // source, -1 when the controller's is not a valid source of the router
  bool owed = false;        // it answered a destination asked again after a refused route
};

struct ProtocolSeams {
  // A route report entry, after the link has matched it: the tally, the revertive, the
  // dialog's poll answer.
  std::function<void(const RouteReportEntry& entry)> route;
  // A controller lock status of lock number `number` of a known destination.
  std::function<void(int index, int dest, int number, int status)> lock_status;
  // In simulation, a controller lock changed by the driver itself (no controller reports it):
  // lock number `number`, the new state.
  std::function<void(int index, int dest, long long number, int state)> lock_changed;
  // A route command found the driver's mode: the mode's text for the dialog.
  std::function<void(std::string_view text)> mode_shown;
  // Locks of the control system changed (the dialog shows the selected destination's).
  std::function<void()> locks_changed;
  // A name of device `device` changed (`entry_index` as the name change message gave it).
  std::function<void(int device, int32_t entry_index)> names_changed;
};

// The protocol's seams; filled by core/ (WireLayers).
ProtocolSeams& ProtocolWiring();

}  // namespace xarvel
