// State of the controller link that other parts of the driver read and set.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace xarvel {

// A route of the control system that a controller command carries out: its device id,
// destination and source as the control system gave them (device 0: the command is no route).
struct RouteOrigin {
  int device = 0;
  int dest = 0;
  int source = 0;
};

// What the link supervisor knows of a command besides its text.
struct CommandOrigin {
  RouteOrigin route;
  // An interrogate of the resync walk: it goes only into a free window slot, past the queue.
  bool resync = false;
};

// One controller command on its way: waiting in the send queue, or written and (for the
// commands a route report answers) awaiting that report.
struct LinkCommand {
  std::string text;  // with its carriage return
  CommandOrigin origin;
  // Route and interrogate commands are answered by a route report entry naming their level and
  // controller destination; they take a slot of the window while they await it. Every other
  // command (lock, lock interrogate, name) is answered by nothing the driver can match.
  bool answered_by_report = false;
  int level = -1;       // router index of the level letter
  int dest = -1;        // controller destination
  int64_t sent_us = 0;  // steady-clock microseconds of the write
  int64_t due_us = 0;   // steady-clock microseconds by which its answer is due
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
  // Controller commands sent since the controller last reported a route. Shown and cleared as
  // before; pacing and failure go by the window and the reply timeout instead.
  int UnAckedCount = 0;
  // Index of the open serial port, negative when none is open.
  int SerialPort = -1;
  // Steady-clock milliseconds of the last attempt to open a serial device that had gone.
  int64_t SerialReopenMs = 0;
  // The serial device has gone and could not be opened again yet.
  bool SerialGone = false;
  // The send queue: every controller command not yet written, oldest first. It is drained in
  // order; a command a route report answers waits at its head while the window is full.
  std::deque<LinkCommand> Queue;
  // The commands written and not yet known to have reached the controller, in write order:
  // those awaiting their route report (the window), and over TCP the others written before
  // them. An answered command proves that everything written before it arrived. When a TCP
  // connection is lost they go back to the front of the queue for the next controller.
  std::deque<LinkCommand> Sent;
  // How many of Sent await a route report, and how many of those belong to the resync walk.
  int Outstanding = 0;
  int ResyncOutstanding = 0;
  // After a failure, until the next route report, at most one command is outstanding.
  bool SingleUntilReport = false;
  // Steady-clock microseconds of the last reply heard from the controller, and of the moment
  // the window last stopped being empty or the link was last given up on, whichever came later;
  // bytes written since the last reply.
  int64_t HeardUs = 0;
  int64_t ProgressUs = 0;
  int64_t BytesSinceProgress = 0;
  // Steady-clock microseconds at which the latest-written of the commands answered so far was
  // written. The controller answers in order, so an outstanding command written before it has
  // been passed over; one written after it may simply not have had its turn yet.
  int64_t AnsweredSentUs = 0;
  // TCP: steady-clock milliseconds since which no controller has been connected (0 while one
  // is). Waiting commands are dropped once this has lasted kHoldMs.
  int64_t NoControllerSinceMs = 0;
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
