// The send window: the rules of the controller link, with no I/O. It is handed the time and the
// events (a command submitted, a command written, an answer, a connection lost or made, a change
// of mode) and says what to write next, what was given up and why, which routes the controller
// refused, when to probe, when the link has failed by silence, when a hold is over, and which
// controller to try next. The link supervisor (comsup.cpp) does the writing, the sockets, the
// serial port and the display.
//
// The rules:
// - Queue. Every command joins one ordered queue of at most kSendQueueMax; beyond that the
//   oldest waiting one is given up (queue_full). Routes and interrogates take a slot of the
//   window from their write until their answer; at most the unACK limit - 1 (at least one) are
//   outstanding, one only after a failure until the next answer. Other commands keep their
//   place in the queue but take no slot.
// - Answers. A route is answered by a route report entry (".A" or ".U") naming its level,
//   controller destination and controller source; an interrogate by an entry naming its level
//   and destination: an ".A" entry, or a ".U" entry on a connection that has never answered an
//   interrogate with ".A". A lock command is answered by a lock status of its number, a name by
//   a name acknowledgement; a bare acknowledgement ".A" answers the oldest command awaiting its
//   answer that no report has named (a route so answered was refused). The oldest command an
//   answer fits takes it. A report naming another source, an unasked lock status, noise: none of
//   them answers anything. Only an answer proves the command path: it restarts the silence timer
//   and frees a slot.
// - Refusals. A command past its own due time while a command written after it on the same
//   connection has been answered was passed over: it is given up alone. A route so given up was
//   refused by the controller (not a drop, not a failure; it is not written again). A command's
//   own due time is the reply timeout after its write, brought forward for a route when a report
//   names its crosspoint with another source after its write: the controller has looked at that
//   crosspoint since, and (answering in order) answers the commands after it only once it is
//   done with the route. A report alone never gives anything up.
// - The probe. So that a live controller can always show that it is alive (a window full of
//   routes it refused without a word, an interrogate beyond its range), one interrogate of a
//   destination it has answered on this connection may be written beyond the window once
//   nothing has been answered for a short while (at once when the newest outstanding command is
//   a route whose crosspoint a report has named, and nothing else waits): at most window + 1
//   commands are then outstanding.
// - Silence. The link has failed when nothing written after the oldest outstanding command has
//   been answered within the reply timeout ("ReplyTimeoutMs", else 1 s plus the wire time of
//   what was written since), and the probe, if one is out, is unanswered within its own.
// - Connections (TCP). What a lost connection had not confirmed waits again, in order, at the
//   front of the queue for the next one; a command written to kMaxTries connections without an
//   answer is given up (unanswered). Waiting commands are given up (held_too_long) once no
//   connection has been up for kHoldMs since the last one was lost. After a failure the
//   controllers of a pair are tried in turn, the one that failed last second; a single
//   controller that went silent is tried again after 1 s, 2 s, 4 s, then every 5 s, until it
//   answers.
// - The serial line. Silence is handled like a lost connection, but on the same line: what was
//   written stays awaiting its answer and is not written again (a line loses nothing, and a
//   controller that executes what it cannot answer must never see an older route after a newer
//   one), what waits waits in order; once kHoldMs have passed since the silence without an
//   answer, what waits is given up (held_too_long) and the hold is over (the supervisor then
//   goes RX only).
// - RX only. No route is written or kept: entering RX only gives up the waiting routes
//   (rx_only) and abandons the outstanding ones (rx_only, written but of unknown fate).
// - Resync. The walk's interrogates go only into free slots while nothing waits: at most
//   kResyncMax at once whatever the limit, and one only while another command is outstanding.
// - Own commands. The poll's, the resync walk's, the probe's and the rechecks' interrogates are
//   not commands of the control system: giving them up counts nothing and traces nothing (a
//   recheck given up still owes its revertive, so it is handed back with the drops).
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
// How long commands wait while no TCP controller is connected, from the loss of the connection,
// and on a serial line that fell silent, from the silence.
inline constexpr int64_t kHoldMs = 3000;
// Quiet (no answer while commands are outstanding) after which the probe goes, beyond the line
// time of what is outstanding; at most half the reply timeout.
inline constexpr int64_t kProbeAfterMs = 100;
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

// What an answer answered.
struct WindowAnswer {
  LinkCommand command;     // the command it answered
  int64_t latency_us = 0;  // since that command's write
};

enum class Verdict {
  kNone,
  kSilent,    // the link has failed by silence
  kHoldOver,  // a serial line silent since the hold began: what waited was given up
};

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

  // A command to carry, in order (`first`: at the front of the queue). A route while RX only is
  // given up at once (rx_only).
  void Submit(LinkCommand c, int64_t now_us, bool first = false);
  // The next command the window lets go (moved out of the queue into `out`), or false. The
  // supervisor writes it and then calls Written.
  bool NextToWrite(LinkCommand* out);
  // `c` was written now (from NextToWrite, a resync interrogate into a free slot, the probe).
  void Written(LinkCommand c, int64_t now_us);
  // One route report entry: `type` 'A' or 'U', level (router index), controller destination and
  // source. True when it answered a command (described in `out`, when given).
  bool Entry(char type, int level, int dest, int source, int64_t now_us,
             WindowAnswer* out = nullptr);
  // A bare acknowledgement ".A": answers the oldest command awaiting its answer (a route whose
  // crosspoint a report has named since its write has had its word already), if any. A route so
  // answered is taken as refused (TakeRefused).
  bool Ack(int64_t now_us, WindowAnswer* out = nullptr);
  // A lock status of lock number `number`: answers the oldest lock command of that number.
  bool LockStatus(int number, int64_t now_us, WindowAnswer* out = nullptr);
  // A name acknowledgement: answers the oldest name command.
  bool NameAck(int64_t now_us, WindowAnswer* out = nullptr);
  // The time has come round: passed-over commands are given up, held commands too once the
  // hold is over (kHoldOver for a serial line); kSilent when the link has failed by silence
  // (the silence timer starts again, what is outstanding stays for the caller to leave or give
  // up). `quiet_us`, when given, receives how long no answer had come.
  Verdict Tick(int64_t now_us, int64_t* quiet_us = nullptr);
  // Every outstanding command is given up (unanswered): a serial line silent after its hold.
  void GiveUpOutstanding();
  // The connection that carried the outstanding commands is gone (TCP, or a serial device that
  // went away and was opened again): they wait again, in order, at the front of the queue.
  void ConnectionLost(int64_t now_us);
  // The serial line is silent: what it was written stays awaiting its answer (nothing is
  // written again), one command at a time until an answer, a fresh probe may go; the hold starts
  // unless it runs already.
  void LineSilent(int64_t now_us);
  // A connection is up (or a serial line opened): held commands go to it, unless the hold is
  // over, and nothing is known yet of how it answers. Returns how many wait.
  size_t ConnectionMade(int64_t now_us);
  // The link has been declared failed: one command at a time until an answer.
  void LinkFailed() { single_ = true; }
  // The driver's mode: RX only (true) or not.
  void SetRxOnly(bool rx_only);
  // The end of the run: what still waits is given up (shutdown).
  void Shutdown();
  // The commands given up since the last call, oldest first.
  std::vector<WindowDrop> TakeDrops();
  // The routes the controller refused since the last call, oldest first.
  std::vector<LinkCommand> TakeRefused();

  // --- The probe.

  // True when the probe is to be written now; `level` and `dest` then name the destination to
  // interrogate (controller numbers).
  bool ProbeDue(int64_t now_us, int* level, int* dest) const;

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

  // Steady-clock microseconds at which Tick or the probe has something to do (0: nothing).
  int64_t NextDueUs() const;
  // Microseconds after which a retry of a single silent controller may start (0: no wait).
  int64_t RetryAtUs() const { return retry_at_us_; }
  // True when a resync interrogate may be written now.
  bool ResyncSlotFree() const;
  // True when an interrogate of the poll waits in the queue.
  bool PollWaiting() const;
  // True while a serial line's hold runs (silent, not yet over).
  bool Holding() const { return !config_.tcp && held_since_us_ != 0; }
  bool RxOnly() const { return rx_only_; }
  int QueueDepth() const { return static_cast<int>(queue_.size()); }
  // Commands awaiting their answer in the window (the probe not counted).
  int Outstanding() const { return outstanding_; }
  bool ProbeOut() const { return probe_out_; }
  int ResyncOutstanding() const { return resync_outstanding_; }
  // How many commands may await their answer now.
  int Window() const;
  // The reply timeout with `bytes` written since the last answer and `outstanding` awaited.
  int64_t ReplyTimeoutMs(int64_t bytes, int outstanding) const;
  const std::deque<LinkCommand>& Queue() const { return queue_; }
  // Empties the queue without giving anything up (tests, fuzzing).
  void ClearQueue() { queue_.clear(); }

 private:
  using Iter = std::deque<LinkCommand>::iterator;
  void Drop(LinkCommand c, DropReason reason, bool abandoned = false, bool passed_over = false);
  void BoundQueue();
  void BoundSent();
  // Gives up what waits once the hold is over; true when a serial line's hold ended now.
  bool DropHeld(int64_t now_us);
  bool Silent(int64_t now_us) const;
  void GiveUpPassedOver(int64_t now_us);
  // `it` was answered now: the command path works.
  void Answered(Iter it, int64_t now_us, WindowAnswer* out);
  // Takes one command out of sent_.
  void Forget(Iter it);
  // Moves what was written and not answered back to the front of the queue (a command written
  // to kMaxTries connections is given up instead).
  size_t Requeue();
  // When the probe is to go, or 0 when none can.
  int64_t ProbeAtUs() const;
  // The time from which `c` may be taken as passed over.
  static int64_t PassOverAt(const LinkCommand& c);

  WindowConfig config_;
  // Every command not yet written, oldest first.
  std::deque<LinkCommand> queue_;
  // The commands written and not yet answered (or let go), in write order. An answered command
  // proves that everything written before it arrived.
  std::deque<LinkCommand> sent_;
  int outstanding_ = 0;
  int resync_outstanding_ = 0;
  bool probe_out_ = false;
  bool single_ = false;
  bool rx_only_ = false;
  // Time of the last answer, or of the moment the window last stopped being empty or a silence
  // was declared, whichever came later; bytes written since.
  int64_t progress_us_ = 0;
  int64_t bytes_since_progress_ = 0;
  // Time of the last answer.
  int64_t answered_us_ = 0;
  // Writes so far, and the write order of the latest-written command answered so far.
  uint64_t writes_ = 0;
  uint64_t answered_seq_ = 0;
  // Since when commands are held: no TCP connection up since a loss, or a serial line silent
  // since the hold began (0: not held).
  int64_t held_since_us_ = 0;
  // This connection: the destination it answered last (the probe's; level -1: none yet), and
  // whether it has answered an interrogate with ".A".
  int probe_level_ = -1;
  int probe_dest_ = -1;
  bool interrogates_answered_a_ = false;
  // Controllers: 0 try both at once; 1 or 2 the one whose turn it is.
  int turn_ = 0;
  // A single controller that went silent: times in a row, and when it may be tried again.
  int silent_streak_ = 0;
  int64_t retry_at_us_ = 0;
  std::vector<WindowDrop> drops_;
  std::vector<LinkCommand> refused_;
};

}  // namespace xarvel
