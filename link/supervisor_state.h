// The link supervisor's own bookkeeping: the send window with its queue and outstanding
// commands, the reply being decoded, the serial line's opening and reopening, the resync walk
// and the link timer.
//
// Who may change it: only the link supervisor (link/comsup.cpp). Others may read it, and tests
// and fuzz targets empty the queue between cases; ResetLinkState (link/link_state.h) restores
// the start-up values.
#pragma once

#include <cstdint>

#include "link/send_window.h"

namespace xarvel {

struct SupervisorState {
  // The send window: queue, outstanding commands and the rules that pace, judge and re-send
  // them.
  SendWindow Window;
  // The reply being decoded answered an outstanding command (set by its entries, taken by the
  // route reply that ends it).
  bool FrameAnswered = false;
  // The serial port was opened by ComSup_Init and not closed since: only then is it written.
  bool SerialOpened = false;
  // Steady-clock milliseconds of the last attempt to open a serial device that had gone.
  int64_t SerialReopenMs = 0;
  // The serial device has gone and could not be opened again yet.
  bool SerialGone = false;
  // The resync walk: router index and destination of the next interrogate (-1: no walk).
  int ResyncRouter = -1;
  int ResyncDest = 0;
  // Steady-clock microseconds at which the link timer is due (0: not running).
  int64_t TimerDueUs = 0;
  // The queue is being drained (a nested drain returns at once).
  bool Draining = false;
};

// The one process-wide supervisor state.
SupervisorState& Supervisor();

}  // namespace xarvel
