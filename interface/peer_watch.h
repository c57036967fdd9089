// Keeps the driver attached to its peers on the workstation bus while they come and go.
//
// When the bus host goes (a restart of `kirn serve`), the driver says so at once and runs on:
// the controller link, the tables, the poll and the saves do not need the bus. It reconnects with
// a bounded back-off (first try after 250 ms, then 0.5 s, 1 s and every 2 s), claims back the
// handles of its windows and redoes what start-up did on the bus: finds the interface process,
// registers every router device, takes the mode it reports and connects the lock infodriver
// again. When the lock infodriver goes (a close notice, or its window vanishing), the driver
// takes the disconnected path and connects again, on the same back-off, once it is back.
// Commands and revertives that could not cross meanwhile are lost, never invented afterwards.
//
// Everything runs on the main thread. The bus client's notices can arrive inside a waiting
// send; they only record what happened and start the retry timer.
#pragma once

#include "platform/window.h"

namespace plat {
class BusClient;
}

namespace xarvel {

// Back-off of the retries: the first after kPeerRetryFirstMs, each next one twice as late, at
// most kPeerRetryMaxMs apart.
inline constexpr int kPeerRetryFirstMs = 250;
inline constexpr int kPeerRetryMaxMs = 2000;

// Watches `bus` (not owned; it must outlive the watch or be uninstalled first).
void PeerWatch_Install(plat::BusClient* bus);
// Stops watching: no more retries or notices.
void PeerWatch_Uninstall();

// True from the loss of the bus until the driver is connected to a bus host again.
bool PeerWatch_BusLost();

// True when a reconnection found a window handle of the driver taken by another process: the
// driver then shuts down (with saving) and ends with exit code 1, so that its service manager
// starts it afresh.
bool PeerWatch_RestartNeeded();

}  // namespace xarvel
