#include "link/send_window.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <utility>

namespace xarvel {
namespace {

// The part of the reply timeout that does not depend on the line: a controller's own time to
// take a command and answer it, with room for a busy moment.
constexpr int64_t kReplyBaseMs = 1000;
// Bytes allowed on the line for the reply to each outstanding command (the longest reply).
constexpr int64_t kReplyAllowance = 32;
// A profile's reply timeout is taken within these bounds.
constexpr int kReplyTimeoutMinMs = 100;
constexpr int kReplyTimeoutMaxMs = 600000;
// Commands kept in sent_ that no answer covers: beyond this the oldest are taken as delivered.
constexpr size_t kSentMax = 4096;
// Waits before a single silent controller is tried again: 1 s, doubled, at most 5 s.
constexpr int64_t kRetryFirstMs = 1000;
constexpr int64_t kRetryMaxMs = 5000;

// Reads a decimal number at text[p], advancing p; false when there is none or it is too large.
bool ReadNumber(const std::string& text, size_t& p, int& value) {
  long long n = 0;
  const size_t start = p;
  for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) {
    n = n * 10 + (text[p] - '0');
    if (n > INT_MAX) return false;
  }
  value = static_cast<int>(n);
  return p > start;
}

bool IsProbe(const LinkCommand& c) {
  return c.origin.asker == Asker::kProbe;
}

}  // namespace

void ClassifyCommand(LinkCommand& c) {
  c.answered_as = 0;
  const std::string& t = c.text;
  if (t.size() < 3 || t[0] != '.') return;
  if (t[1] == 'W') {
    c.answered_as = 'W';
    return;
  }
  if (t[1] == 'B') {
    size_t p = 3;
    int number = 0;
    if ((t[2] != 'I' && t[2] != 'L' && t[2] != 'U') || !ReadNumber(t, p, number)) return;
    c.answered_as = 'B';
    c.dest = number;
    return;
  }
  if (t.size() < 4 || (t[1] != 'S' && t[1] != 'I')) return;
  if (t[2] < 'A' || t[2] > 'Z') return;
  size_t p = 3;
  int dest = 0;
  if (!ReadNumber(t, p, dest)) return;
  int source = -1;
  if (t[1] == 'S') {
    if (p >= t.size() || t[p] != ',') return;
    ++p;
    if (!ReadNumber(t, p, source)) return;
  }
  c.answered_as = t[1];
  c.level = t[2] - 'A';
  c.dest = dest;
  c.source = source;
}

void SendWindow::Reset() {
  const WindowConfig config = config_;
  *this = SendWindow();
  config_ = config;
}

int SendWindow::Window() const {
  if (single_) return 1;
  return config_.unack_limit > 2 ? config_.unack_limit - 1 : 1;
}

int64_t SendWindow::ReplyTimeoutMs(int64_t bytes, int outstanding) const {
  if (config_.reply_timeout_ms > 0) {
    return std::clamp(config_.reply_timeout_ms, kReplyTimeoutMinMs, kReplyTimeoutMaxMs);
  }
  const int64_t speed = config_.speed > 0 ? config_.speed : 38400;
  const int64_t bits = (bytes + kReplyAllowance * outstanding) * config_.bits_per_character;
  return kReplyBaseMs + (bits * 1000 + speed - 1) / speed;
}

void SendWindow::Drop(LinkCommand c, DropReason reason, bool abandoned, bool passed_over) {
  // The driver's own interrogates are asked again by the poll or the next walk; a recheck still
  // owes the control system its revertive, so the supervisor hears of it.
  if (c.own() && c.origin.asker != Asker::kRecheck) return;
  drops_.push_back(WindowDrop{std::move(c), reason, abandoned, passed_over});
}

std::vector<WindowDrop> SendWindow::TakeDrops() {
  std::vector<WindowDrop> out;
  out.swap(drops_);
  return out;
}

std::vector<LinkCommand> SendWindow::TakeRefused() {
  std::vector<LinkCommand> out;
  out.swap(refused_);
  return out;
}

void SendWindow::BoundQueue() {
  while (queue_.size() > kSendQueueMax) {
    Drop(std::move(queue_.front()), kDropQueueFull);
    queue_.pop_front();
  }
}

// sent_ keeps the commands no answer has covered yet; far more than the window would hold have
// surely arrived.
void SendWindow::BoundSent() {
  while (sent_.size() > kSentMax) {
    auto it = std::find_if(sent_.begin(), sent_.end(),
                           [](const LinkCommand& c) { return !c.takes_slot(); });
    if (it == sent_.end()) break;
    sent_.erase(it);
  }
}

bool SendWindow::DropHeld(int64_t now_us) {
  if (held_since_us_ == 0 || now_us - held_since_us_ < kHoldMs * 1000) return false;
  while (!queue_.empty()) {
    Drop(std::move(queue_.front()), kDropHeldTooLong);
    queue_.pop_front();
  }
  // Over TCP commands keep being given up until a connection is made; a serial line's hold ends.
  if (config_.tcp) return false;
  held_since_us_ = 0;
  return true;
}

void SendWindow::Submit(LinkCommand c, int64_t now_us, bool first) {
  if (rx_only_ && c.is_route()) {
    Drop(std::move(c), kDropRxOnly);
    return;
  }
  if (first) {
    queue_.push_front(std::move(c));
  } else {
    queue_.push_back(std::move(c));
  }
  BoundQueue();
  if (config_.tcp) DropHeld(now_us);
}

bool SendWindow::NextToWrite(LinkCommand* out) {
  if (queue_.empty()) return false;
  if (queue_.front().takes_slot() && outstanding_ >= Window()) return false;
  *out = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

void SendWindow::Written(LinkCommand c, int64_t now_us) {
  bytes_since_progress_ += static_cast<int64_t>(c.text.size());
  c.sent_us = now_us;
  c.seq = ++writes_;
  c.looked_at_us = 0;
  ++c.tries;
  if (IsProbe(c)) {
    probe_out_ = true;
    c.due_us = now_us + 1000 * ReplyTimeoutMs(bytes_since_progress_, outstanding_);
    sent_.push_back(std::move(c));
    return;
  }
  if (c.takes_slot()) {
    // The wait for an answer starts now if nothing was awaited before.
    if (outstanding_ == 0 && !probe_out_) progress_us_ = now_us;
    ++outstanding_;
    if (c.origin.asker == Asker::kResync) ++resync_outstanding_;
    c.due_us = now_us + 1000 * ReplyTimeoutMs(bytes_since_progress_, outstanding_);
  }
  sent_.push_back(std::move(c));
  BoundSent();
}

// Takes one command out of sent_ (and out of the window, if it held a slot).
void SendWindow::Forget(Iter it) {
  if (IsProbe(*it)) {
    probe_out_ = false;
  } else if (it->takes_slot()) {
    --outstanding_;
    if (it->origin.asker == Asker::kResync) --resync_outstanding_;
  }
  sent_.erase(it);
}

void SendWindow::Answered(Iter it, int64_t now_us, WindowAnswer* out) {
  if (out != nullptr) {
    out->command = *it;
    out->latency_us = now_us - it->sent_us;
  }
  answered_seq_ = std::max(answered_seq_, it->seq);
  answered_us_ = now_us;
  progress_us_ = now_us;
  bytes_since_progress_ = 0;
  single_ = false;
  // The command path works: the controllers are tried as at the start again, a serial line's
  // hold is over.
  turn_ = 0;
  silent_streak_ = 0;
  retry_at_us_ = 0;
  if (!config_.tcp) held_since_us_ = 0;
  // Everything written before it has reached the controller: the commands without a slot that
  // came before it were taken without an answer, and are let go.
  const auto before = it - sent_.begin();
  Forget(it);
  const auto end = sent_.begin() + before;
  sent_.erase(
      std::remove_if(sent_.begin(), end, [](const LinkCommand& c) { return !c.takes_slot(); }),
      end);
}

bool SendWindow::Entry(char type, int level, int dest, int source, int64_t now_us,
                       WindowAnswer* out) {
  auto it = std::find_if(sent_.begin(), sent_.end(), [&](const LinkCommand& c) {
    if (c.level != level || c.dest != dest) return false;
    if (c.answered_as == 'I') return type == 'A' || !interrogates_answered_a_;
    return c.answered_as == 'S' && c.source == source;
  });
  if (it == sent_.end()) {
    // It answers nothing; but the controller has looked at this crosspoint since the routes to
    // it that await their answer were written.
    for (LinkCommand& c : sent_) {
      if (c.answered_as == 'S' && c.level == level && c.dest == dest && c.looked_at_us == 0) {
        c.looked_at_us = now_us;
      }
    }
    return false;
  }
  if (it->answered_as == 'I' && type == 'A') interrogates_answered_a_ = true;
  probe_level_ = level;
  probe_dest_ = dest;
  Answered(it, now_us, out);
  GiveUpPassedOver(now_us);
  return true;
}

bool SendWindow::Ack(int64_t now_us, WindowAnswer* out) {
  // A route whose crosspoint a report has named since its write has had the controller's word
  // on it already; the acknowledgement is for the next one.
  const auto it = std::find_if(sent_.begin(), sent_.end(),
                               [](const LinkCommand& c) { return c.looked_at_us == 0; });
  if (it == sent_.end()) return false;
  // A route answered without its report was not made: the controller refused it.
  if (it->answered_as == 'S') refused_.push_back(*it);
  Answered(it, now_us, out);
  GiveUpPassedOver(now_us);
  return true;
}

bool SendWindow::LockStatus(int number, int64_t now_us, WindowAnswer* out) {
  auto it = std::find_if(sent_.begin(), sent_.end(), [number](const LinkCommand& c) {
    return c.answered_as == 'B' && c.dest == number;
  });
  if (it == sent_.end()) return false;
  Answered(it, now_us, out);
  GiveUpPassedOver(now_us);
  return true;
}

bool SendWindow::NameAck(int64_t now_us, WindowAnswer* out) {
  auto it = std::find_if(sent_.begin(), sent_.end(),
                         [](const LinkCommand& c) { return c.answered_as == 'W'; });
  if (it == sent_.end()) return false;
  Answered(it, now_us, out);
  GiveUpPassedOver(now_us);
  return true;
}

int64_t SendWindow::PassOverAt(const LinkCommand& c) {
  return c.looked_at_us != 0 ? std::min(c.due_us, c.looked_at_us) : c.due_us;
}

void SendWindow::GiveUpPassedOver(int64_t now_us) {
  for (auto it = sent_.begin(); it != sent_.end();) {
    // Passed over: its time is up and a command written after it has been answered. (An answer
    // to an older one proves nothing: the controller may have gone deaf since, and then the
    // silence verdict decides.)
    if (!it->takes_slot() || PassOverAt(*it) > now_us || answered_seq_ <= it->seq) {
      ++it;
      continue;
    }
    if (it->answered_as == 'S') {
      refused_.push_back(*it);
    } else {
      Drop(*it, kDropUnanswered, false, true);
    }
    const auto at = it - sent_.begin();
    Forget(it);
    it = sent_.begin() + at;
  }
}

bool SendWindow::Silent(int64_t now_us) const {
  if (outstanding_ == 0 && !probe_out_) return false;
  // While the probe has time, the controller may still show that it is alive.
  for (const LinkCommand& c : sent_) {
    if (IsProbe(c) && c.due_us > now_us) return false;
  }
  if (now_us - progress_us_ >= 1000 * ReplyTimeoutMs(bytes_since_progress_, outstanding_)) {
    return true;
  }
  return std::any_of(sent_.begin(), sent_.end(), [&](const LinkCommand& c) {
    return c.takes_slot() && c.due_us <= now_us && answered_us_ <= c.sent_us;
  });
}

Verdict SendWindow::Tick(int64_t now_us, int64_t* quiet_us) {
  GiveUpPassedOver(now_us);
  if (DropHeld(now_us)) return Verdict::kHoldOver;
  if (!Silent(now_us)) return Verdict::kNone;
  if (quiet_us != nullptr) *quiet_us = now_us - std::max(answered_us_, progress_us_);
  progress_us_ = now_us;
  bytes_since_progress_ = 0;
  return Verdict::kSilent;
}

void SendWindow::GiveUpOutstanding() {
  for (LinkCommand& c : sent_) {
    if (c.takes_slot()) Drop(std::move(c), kDropUnanswered);
  }
  sent_.clear();
  outstanding_ = 0;
  resync_outstanding_ = 0;
  probe_out_ = false;
}

size_t SendWindow::Requeue() {
  std::deque<LinkCommand> back;
  for (LinkCommand& c : sent_) {
    // The walk starts again at the next connect; a new probe is chosen when one is wanted.
    if (c.origin.asker == Asker::kResync || IsProbe(c)) continue;
    if (rx_only_ && c.is_route()) {
      Drop(std::move(c), kDropRxOnly, true);
    } else if (c.tries >= kMaxTries) {
      Drop(std::move(c), kDropUnanswered);
    } else {
      back.push_back(std::move(c));
    }
  }
  sent_.clear();
  outstanding_ = 0;
  resync_outstanding_ = 0;
  probe_out_ = false;
  const size_t n = back.size();
  queue_.insert(queue_.begin(), std::make_move_iterator(back.begin()),
                std::make_move_iterator(back.end()));
  BoundQueue();
  return n;
}

void SendWindow::ConnectionLost(int64_t now_us) {
  Requeue();
  // Over TCP the hold runs from the loss; a serial line's runs from its silence, if at all.
  if (config_.tcp) held_since_us_ = now_us > 0 ? now_us : 1;
  probe_level_ = -1;
  probe_dest_ = -1;
  interrogates_answered_a_ = false;
}

void SendWindow::LineSilent(int64_t now_us) {
  // Nothing is written again: a line loses nothing, and a controller that executes what it
  // cannot answer must not see an older route after a newer one. The probe is given up, so
  // that a fresh one can show a controller that has come back.
  for (auto it = sent_.begin(); it != sent_.end();) {
    if (IsProbe(*it)) {
      const auto at = it - sent_.begin();
      Forget(it);
      it = sent_.begin() + at;
    } else {
      ++it;
    }
  }
  // Each has a reply timeout more: the line is given the time again before the next verdict.
  for (LinkCommand& c : sent_) {
    if (c.takes_slot()) {
      c.due_us = std::max(c.due_us, now_us + 1000 * ReplyTimeoutMs(0, outstanding_));
    }
  }
  single_ = true;
  if (held_since_us_ == 0) held_since_us_ = now_us > 0 ? now_us : 1;
}

size_t SendWindow::ConnectionMade(int64_t now_us) {
  if (config_.tcp) {
    // An outage longer than the hold has given up what waited, even if no tick came round yet.
    DropHeld(now_us);
    held_since_us_ = 0;
  }
  probe_level_ = -1;
  probe_dest_ = -1;
  interrogates_answered_a_ = false;
  return queue_.size();
}

void SendWindow::SetRxOnly(bool rx_only) {
  if (rx_only == rx_only_) return;
  rx_only_ = rx_only;
  if (!rx_only) return;
  std::deque<LinkCommand> kept;
  for (LinkCommand& c : queue_) {
    if (c.is_route()) {
      Drop(std::move(c), kDropRxOnly);
    } else {
      kept.push_back(std::move(c));
    }
  }
  queue_.swap(kept);
  for (auto it = sent_.begin(); it != sent_.end();) {
    if (!it->is_route()) {
      ++it;
      continue;
    }
    Drop(*it, kDropRxOnly, true);
    const auto at = it - sent_.begin();
    Forget(it);
    it = sent_.begin() + at;
  }
}

void SendWindow::Shutdown() {
  for (LinkCommand& c : queue_) Drop(std::move(c), kDropShutdown);
  queue_.clear();
}

void SendWindow::ControllerLost(int controller, bool silent, int64_t now_us) {
  if (config_.dual) {
    // The other controller goes first.
    turn_ = controller == 1 ? 2 : 1;
    return;
  }
  if (!silent) return;
  const int64_t wait = std::min(kRetryMaxMs, kRetryFirstMs << std::min(silent_streak_, 3));
  ++silent_streak_;
  retry_at_us_ = now_us + 1000 * wait;
}

unsigned SendWindow::ControllersToTry(unsigned may_try, int64_t now_us) {
  if (!config_.dual) may_try &= 1u;
  if (retry_at_us_ != 0) {
    if (now_us < retry_at_us_) return 0;
    retry_at_us_ = 0;
  }
  if (turn_ == 0) return may_try;
  const unsigned first = turn_ == 1 ? 1u : 2u;
  const unsigned second = first ^ 3u;
  // The one whose turn it is, if it may be tried; the turn then passes to the other.
  const unsigned pick = (may_try & first) != 0 ? first : (may_try & second);
  if (pick != 0) turn_ = pick == 1u ? 2 : 1;
  return pick;
}

int64_t SendWindow::ProbeAtUs() const {
  if (probe_out_ || probe_level_ < 0 || outstanding_ == 0) return 0;
  auto oldest =
      std::find_if(sent_.begin(), sent_.end(), [](const LinkCommand& c) { return c.takes_slot(); });
  if (oldest == sent_.end()) return 0;
  // The newest command awaiting its answer is a route whose crosspoint a report has named with
  // another source, and nothing waits to be written after it: only an answer to a later command
  // can show it refused, so the probe goes at once.
  auto newest = std::find_if(sent_.rbegin(), sent_.rend(),
                             [](const LinkCommand& c) { return c.takes_slot() && !IsProbe(c); });
  if (queue_.empty() && newest != sent_.rend() && newest->answered_as == 'S' &&
      newest->looked_at_us != 0) {
    return newest->looked_at_us;
  }
  // Quiet for a moment beyond the line time of what awaits its answer, and at most half the
  // reply timeout, so that the probe has the better part of it.
  const int64_t speed = config_.speed > 0 ? config_.speed : 38400;
  const int64_t bits =
      (bytes_since_progress_ + kReplyAllowance * outstanding_) * config_.bits_per_character;
  const int64_t after_ms = std::min(kProbeAfterMs + (bits * 1000 + speed - 1) / speed,
                                    ReplyTimeoutMs(bytes_since_progress_, outstanding_) / 2);
  return std::max(answered_us_, oldest->sent_us) + 1000 * after_ms;
}

bool SendWindow::ProbeDue(int64_t now_us, int* level, int* dest) const {
  const int64_t at = ProbeAtUs();
  if (at == 0 || now_us < at) return false;
  *level = probe_level_;
  *dest = probe_dest_;
  return true;
}

int64_t SendWindow::NextDueUs() const {
  int64_t due = 0;
  auto earlier = [&due](int64_t t) { due = due == 0 ? t : std::min(due, t); };
  if (outstanding_ > 0 || probe_out_) {
    // When the silence verdict could come: the reply timeout since the last answer, or a
    // command's own time with nothing answered since its write; never before the probe's time.
    int64_t silence = progress_us_ + 1000 * ReplyTimeoutMs(bytes_since_progress_, outstanding_);
    int64_t probe_due = 0;
    for (const LinkCommand& c : sent_) {
      if (!c.takes_slot()) continue;
      if (IsProbe(c)) probe_due = c.due_us;
      if (answered_us_ <= c.sent_us) silence = std::min(silence, c.due_us);
      // Passed over once its time is up.
      if (answered_seq_ > c.seq) earlier(PassOverAt(c));
    }
    earlier(std::max(silence, probe_due));
  }
  if (const int64_t probe = ProbeAtUs(); probe != 0) earlier(probe);
  if (held_since_us_ != 0 && (!config_.tcp || !queue_.empty())) {
    earlier(held_since_us_ + 1000 * kHoldMs);
  }
  if (retry_at_us_ != 0) earlier(retry_at_us_);
  return due;
}

bool SendWindow::ResyncSlotFree() const {
  if (!queue_.empty() || outstanding_ >= Window()) return false;
  int cap = std::min(kResyncMax, std::max(1, Window() - 1));
  // Another command awaits its answer: the walk keeps to one at a time behind it.
  if (outstanding_ > resync_outstanding_) cap = 1;
  return resync_outstanding_ < cap;
}

bool SendWindow::PollWaiting() const {
  return std::any_of(queue_.begin(), queue_.end(),
                     [](const LinkCommand& c) { return c.origin.asker == Asker::kPoll; });
}

}  // namespace xarvel
