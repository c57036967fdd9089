// The controller link's state that the rest of the driver reads: whether the link is confirmed,
// which controller is in use, each controller's connection and reset count, and the dialog's
// count of unanswered commands.
//
// Who may change it: the link supervisor (link/comsup.cpp) as the link goes; the status dialog
// puts the link OK in simulation; the main window forgets the controllers when the link is
// reconnected on request; tests set it up. The supervisor's own bookkeeping is in
// link/supervisor_state.h.
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
  // Controller commands sent since the controller last reported a route. Shown and cleared as
  // the dialog always did; pacing and failure go by the send window instead.
  int UnAckedCount = 0;
  // The controller that connected last (kControllerNone before the first connect).
  int LastConnected = kControllerNone;
};

// The one process-wide link state.
LinkState& Link();
// Back to the start-up values, this and the supervisor's own state (tests).
void ResetLinkState();

}  // namespace xarvel
