// State of the controller link that other parts of the driver read and set.
#pragma once

#include <cstdint>

#include "link/link_command.h"
#include "link/send_window.h"

namespace xarvel {

// Whether the controller link is confirmed.
enum ComStateValue : int { kComUnconfirmed = 0, kComOk = 1, kComFailed = 2 };
// Which controller of a redundant pair is in use.
enum ControllerValue : int { kControllerNone = 0, kControllerA = 1, kControllerB = 2 };

struct LinkState {
  int ComState = kComUnconfirmed;
  int ActiveController = kControllerNone;
  // Times each controller's connection has been reset.
  int ResetCountA = 0;
  int ResetCountB = 0;
  // Connection state of controllers A and B (2 = disconnected).
  int ConnStateA = 2;
  int ConnStateB = 2;
  // Controller commands sent since the controller last reported a route. Shown and cleared as
  // the dialog always did; pacing and failure go by the send window instead.
  int UnAckedCount = 0;
  // Index of the open serial port, negative when none is open.
  int SerialPort = -1;
  // Steady-clock milliseconds of the last attempt to open a serial device that had gone.
  int64_t SerialReopenMs = 0;
  // The serial device has gone and could not be opened again yet.
  bool SerialGone = false;
  // The send window: queue, outstanding commands and the rules that pace, judge and re-send
  // them.
  SendWindow Window;
  // The reply being decoded answered an outstanding command (set by its entries, taken by the
  // route reply that ends it).
  bool FrameAnswered = false;
  // The serial port was opened by ComSup_Init and not closed since: only then is it written.
  bool SerialOpened = false;
  // The resync walk: router index and destination of the next interrogate (-1: no walk).
  int ResyncRouter = -1;
  int ResyncDest = 0;
  // Steady-clock microseconds at which the link timer is due (0: not running).
  int64_t TimerDueUs = 0;
  // The queue is being drained (a nested drain returns at once).
  bool Draining = false;
  // The controller that connected last (kControllerNone before the first connect).
  int LastConnected = kControllerNone;
};

// The one process-wide link state.
LinkState& Link();
// Back to the start-up values (tests).
void ResetLinkState();

}  // namespace xarvel
