// The send window: the rules of the controller link, with no I/O. It is handed the time and the
// events (a command submitted, a command written, a route report entry, a connection lost or
// made, a change of mode, the link declared failed) and says what to write next, what was given
// up and why, when the link has failed by silence, and which controller to try next. The link
// supervisor (comsup.cpp) does the writing, the sockets, the serial port and the display.
//
// The rules:
// - Queue. Every command joins one ordered queue of at most kSendQueueMax; beyond that the
//   oldest waiting one is given up (queue_full). Routes and interrogates take a slot of the
//   window from their write until their answer; at most the unACK limit - 1 (at least one) are
//   outstanding, one only after a failure until the next answer. Other commands keep their
//   place in the queue but take no slot.
// - Answers. A route is answered by a route report entry (".A" or ".U") naming its level,
//   controller destination and controller source; an interrogate by an interrogate answer
//   (".A") naming its level and destination. The oldest outstanding command an entry can answer
//   takes it. Nothing else (front-panel reports of other sources, acknowledgements, noise)
//   proves the command path: only an answer restarts the silence timer and frees a slot.
// - Silence. The link has failed when commands are outstanding and no answer has come for the
//   reply timeout ("ReplyTimeoutMs", else 1 s plus the wire time of what was written since),
//   or when a command's own time is up and nothing was answered since its write. One command
//   left unanswered while commands written after it are answered was passed over and is given
//   up on its own (unanswered).
// - Connections (TCP). What a lost connection had not confirmed waits again, in order, at the
//   front of the queue for the next one; a command written to kMaxTries connections without an
//   answer is given up (unanswered). Waiting commands are given up (held_too_long) once no
//   connection has been up for kHoldMs since the last one was lost. After a failure the
//   controllers of a pair are tried in turn, the one that failed last second; a single
//   controller that went silent is tried again after 1 s, 2 s, 4 s, then every 5 s, until it
//   answers.
// - RX only. No route is written or kept: entering RX only gives up the waiting routes
//   (rx_only) and abandons the outstanding ones (rx_only, written but of unknown fate).
// - Resync. The walk's interrogates go only into free slots while nothing waits: at most
//   kResyncMax at once whatever the limit, and one only while another command is outstanding.
// - Own commands. The poll's and the resync walk's interrogates are not commands of the
//   control system: giving them up counts nothing and traces nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "link/link_command.h"
#include "link/link_counters.h"

namespace xarvel {

// Bound of the send queue.
inline constexpr size_t kSendQueueMax = 4096;
// How long commands wait while no TCP controller is connected, from the loss of the connection.
inline constexpr int64_t kHoldMs = 3000;
// Connections a command is written to without an answer before it is given up.
inline constexpr int kMaxTries = 3;
// Resync interrogates outstanding at once, at most.
inline constexpr int kResyncMax = 4;

// What the rules need of the link's configuration.
struct WindowConfig {
  int unack_limit = 5;          // "MaxUnACKedRoutesBeforeCommsFail"
  int reply_timeout_ms = 0;     // "ReplyTimeoutMs"; 0 or less: 1 s plus the wire time
  unsigned speed = 38400;       // line speed, bits a second
  int bits_per_character = 10;  // start, data, parity and stop bits
  bool tcp = false;             // commands lost with a connection wait for the next one
  bool dual = false;            // controllers A and B
};

// A command given up, for the supervisor to count and trace.
struct WindowDrop {
  LinkCommand command;
  DropReason reason = kDropUnanswered;
  bool abandoned = false;    // it was written: it may or may not have been carried out
  bool passed_over = false;  // unanswered while commands written after it were answered
};

enum class Verdict { kNone, kSilent };

class SendWindow {
 public:
  SendWindow() = default;
  SendWindow(const SendWindow&) = delete;
  SendWindow& operator=(const SendWindow&) = delete;
  SendWindow(SendWindow&&) = default;
  SendWindow& operator=(SendWindow&&) = default;

  // Takes the configuration for the calls that follow (the supervisor hands it before each).
  void Configure(const WindowConfig& config) { config_ = config; }
  // Back to the start: nothing waits, nothing is outstanding, no connection, no failure.
  void Reset();

  // --- Events.

  // A command to carry, in order. A route while RX only is given up at once (rx_only).
  void Submit(LinkCommand c, int64_t now_us);
  // The next command the window lets go (moved out of the queue into `out`), or false. The
  // supervisor writes it and then calls Written.
  bool NextToWrite(LinkCommand* out);
  // `c` was written now (from NextToWrite, or a resync interrogate into a free slot).
  void Written(LinkCommand c, int64_t now_us);
  // One route report entry: `type` 'A' or 'U', level (router index), controller destination and
  // source. True when it answered an outstanding command; `latency_us` then holds the time
  // since that command's write.
  bool Entry(char type, int level, int dest, int source, int64_t now_us, int64_t* latency_us);
  // The time has come round: passed-over commands are given up, held commands too once the
  // hold is over; kSilent when the link has failed by silence (the silence timer starts
  // again, what is outstanding stays for the caller to leave or give up). `quiet_us`, when
  // given, receives how long no answer had come.
  Verdict Tick(int64_t now_us, int64_t* quiet_us = nullptr);
  // Every outstanding command is given up (unanswered): the serial link after a silence.
  void GiveUpOutstanding();
  // The connection that carried the outstanding commands is gone (TCP).
  void ConnectionLost(int64_t now_us);
  // A connection is up: held commands go to it, unless the hold is over. Returns how many wait.
  size_t ConnectionMade(int64_t now_us);
  // The link has been declared failed: one command at a time until an answer.
  void LinkFailed() { single_ = true; }
  // The driver's mode: RX only (true) or not.
  void SetRxOnly(bool rx_only);
  // The end of the run: what still waits is given up (shutdown).
  void Shutdown();
  // The commands given up since the last call, oldest first.
  std::vector<WindowDrop> TakeDrops();

  // --- Controllers (TCP).

  // The active controller (1 A, 2 B) went silent, or (`silent` false) its connection closed.
  void ControllerLost(int controller, bool silent, int64_t now_us);
  // The connections were closed on purpose (a reconnection was asked for): the controllers are
  // tried as at the start, both at once and without a pause.
  void ReconnectRequested() {
    turn_ = 0;
    retry_at_us_ = 0;
  }
  // Which controllers to try to connect to now, of those `may_try` (bit 0 A, bit 1 B). The
  // bits returned are taken as attempts made.
  unsigned ControllersToTry(unsigned may_try, int64_t now_us);

  // --- What the supervisor reads.

  // Steady-clock microseconds at which Tick has something to do (0: nothing).
  int64_t NextDueUs() const;
  // Microseconds after which a retry of a single silent controller may start (0: no wait).
  int64_t RetryAtUs() const { return retry_at_us_; }
  // True when a resync interrogate may be written now.
  bool ResyncSlotFree() const;
  // True when an interrogate of the poll waits in the queue.
  bool PollWaiting() const;
  bool RxOnly() const { return rx_only_; }
  int QueueDepth() const { return static_cast<int>(queue_.size()); }
  int Outstanding() const { return outstanding_; }
  int ResyncOutstanding() const { return resync_outstanding_; }
  // How many commands may await their answer now.
  int Window() const;
  // The reply timeout with `bytes` written since the last answer and `outstanding` awaited.
  int64_t ReplyTimeoutMs(int64_t bytes, int outstanding) const;
  const std::deque<LinkCommand>& Queue() const { return queue_; }
  // Empties the queue without giving anything up (tests, fuzzing).
  void ClearQueue() { queue_.clear(); }

 private:
  void Drop(LinkCommand c, DropReason reason, bool abandoned = false, bool passed_over = false);
  void BoundQueue();
  void BoundSent();
  void DropHeld(int64_t now_us);
  bool Silent(int64_t now_us) const;
  void GiveUpPassedOver(int64_t now_us);
  void Forget(std::deque<LinkCommand>::iterator it);

  WindowConfig config_;
  // Every command not yet written, oldest first.
  std::deque<LinkCommand> queue_;
  // The commands written and not yet known to have reached the controller, in write order: those
  // awaiting their answer, and over TCP the others written before them. An answered command
  // proves that everything written before it arrived.
  std::deque<LinkCommand> sent_;
  int outstanding_ = 0;
  int resync_outstanding_ = 0;
  bool single_ = false;
  bool rx_only_ = false;
  // Time of the last answer, or of the moment the window last stopped being empty or a silence
  // was declared, whichever came later; bytes written since.
  int64_t progress_us_ = 0;
  int64_t bytes_since_progress_ = 0;
  // Time of the last answer.
  int64_t answered_us_ = 0;
  // Write time of the latest-written command answered so far.
  int64_t answered_sent_us_ = 0;
  // Since when no connection has been up (0 while one is, and on a serial line).
  int64_t unconnected_since_us_ = 0;
  // Controllers: 0 try both at once; 1 or 2 the one whose turn it is.
  int turn_ = 0;
  // A single controller that went silent: times in a row, and when it may be tried again.
  int silent_streak_ = 0;
  int64_t retry_at_us_ = 0;
  std::vector<WindowDrop> drops_;
};

}  // namespace xarvel
