// The service manager's notification protocol (systemd's sd_notify), spoken only when the
// process was started by a manager that listens (NOTIFY_SOCKET set); otherwise every call here
// does nothing.
//
// The driver tells the manager:
// - READY=1 once start-up is complete: every device registered, or a start-up failure reported
//   (then with the failure as its STATUS= and STOPPING=1 right after);
// - STATUS=<one line> whenever the summary an operator cares about changes: interface mode,
//   controller link and, over TCP, the active controller ("Tx/Rx, Comms Ok, controller A");
// - WATCHDOG=1 from a timer of the main loop, at half the manager's watchdog period, so that a
//   loop that hangs stops the pings and the manager restarts the service;
// - STOPPING=1 when the shutdown sequence starts.
#pragma once

#include <string>
#include <string_view>

namespace xarvel {

// True when a service manager waits for notifications (NOTIFY_SOCKET is set).
bool ServiceNotify_Enabled();

// Sends one notification (one or more "KEY=VALUE" lines); nothing without a service manager.
void ServiceNotify_Send(std::string_view state);

// The summary line: "<mode>, <link>[, controller <A|B|none>]", e.g. "Tx/Rx, Comms Ok, controller
// A"; "Rx Only, Comms Fail"; "Tx/Rx, Simulation".
std::string ServiceNotify_Summary();

// Starts the watchdog pings and the status follow-up. REQUIRES: the Qt application exists.
// Until ServiceNotify_Ready, the first error box of a failing start-up is remembered for STATUS=.
void ServiceNotify_Start();

// Start-up is complete: READY=1 with the current summary, once.
void ServiceNotify_Ready();

// The shutdown sequence starts: READY=1 first when start-up never completed (with the failure
// as STATUS=), then STOPPING=1. Once.
void ServiceNotify_Stopping();

// Stops the timers and the observers. REQUIRES: called before the Qt application goes.
void ServiceNotify_End();

}  // namespace xarvel
