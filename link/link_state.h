// State of the controller link that other parts of the driver read and set.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace xarvel {

// A controller command that found no active controller, waiting for one to connect.
struct HeldCommand {
  std::string text;
  int64_t since_ms = 0;  // steady-clock milliseconds when it was held
};

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
  // Controller commands sent since the controller last reported a route.
  int UnAckedCount = 0;
  // Index of the open serial port, negative when none is open.
  int SerialPort = -1;
  // Steady-clock milliseconds of the last attempt to open a serial device that had gone.
  int64_t SerialReopenMs = 0;
  // The serial device has gone and could not be opened again yet.
  bool SerialGone = false;
  // TCP: commands held while no controller is active, oldest first; sent to the controller
  // that connects next.
  std::deque<HeldCommand> Held;
  // TCP: commands sent to the active controller since its last route report. When that
  // controller's connection drops, they are held for the next one, since their answers (and
  // perhaps the commands themselves) were lost with it.
  std::deque<HeldCommand> InFlight;
  // The controller that connected last (kControllerNone before the first connect).
  int LastConnected = kControllerNone;
  // Commands dropped from the hold (too many or too old) since the link was opened.
  long HeldDropped = 0;
};

// The one process-wide link state.
LinkState& Link();
// Back to the start-up values (tests).
void ResetLinkState();

}  // namespace xarvel
