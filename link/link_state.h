// State of the controller link that other parts of the driver read and set.
#pragma once

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
  // Controller commands sent since the controller last reported a route.
  int UnAckedCount = 0;
  // Index of the open serial port, negative when none is open.
  int SerialPort = -1;
};

// The one process-wide link state.
LinkState& Link();
// Back to the start-up values (tests).
void ResetLinkState();

}  // namespace xarvel
