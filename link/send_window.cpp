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

}  // namespace

void ClassifyCommand(LinkCommand& c) {
  c.answered_as = 0;
  const std::string& t = c.text;
  if (t.size() < 4 || t[0] != '.' || (t[1] != 'S' && t[1] != 'I')) return;
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
  queue_.clear();
  sent_.clear();
  outstanding_ = 0;
  resync_outstanding_ = 0;
  single_ = false;
  rx_only_ = false;
  progress_us_ = 0;
  bytes_since_progress_ = 0;
  answered_us_ = 0;
  answered_sent_us_ = 0;
  unconnected_since_us_ = 0;
  turn_ = 0;
  silent_streak_ = 0;
  retry_at_us_ = 0;
  drops_.clear();
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
  // The driver's own interrogates are asked again by the poll or the next walk.
  if (c.own()) return;
  drops_.push_back(WindowDrop{std::move(c), reason, abandoned, passed_over});
}

std::vector<WindowDrop> SendWindow::TakeDrops() {
  std::vector<WindowDrop> out;
  out.swap(drops_);
  return out;
}

void SendWindow::BoundQueue() {
  while (queue_.size() > kSendQueueMax) {
    Drop(std::move(queue_.front()), kDropQueueFull);
    queue_.pop_front();
  }
}

// Over TCP, sent_ keeps the commands no answer covers, to be written again after a lost
// connection; far more than the window would hold have surely arrived.
void SendWindow::BoundSent() {
  while (sent_.size() > kSentMax) {
    auto it = std::find_if(sent_.begin(), sent_.end(),
                           [](const LinkCommand& c) { return !c.answered_by_report(); });
    if (it == sent_.end()) break;
    sent_.erase(it);
  }
}

void SendWindow::DropHeld(int64_t now_us) {
  if (!config_.tcp || unconnected_since_us_ == 0 || now_us - unconnected_since_us_ < kHoldMs * 1000)
    return;
  while (!queue_.empty()) {
    Drop(std::move(queue_.front()), kDropHeldTooLong);
    queue_.pop_front();
  }
}

void SendWindow::Submit(LinkCommand c, int64_t now_us) {
  if (rx_only_ && c.is_route()) {
    Drop(std::move(c), kDropRxOnly);
    return;
  }
  queue_.push_back(std::move(c));
  BoundQueue();
  DropHeld(now_us);
}

bool SendWindow::NextToWrite(LinkCommand* out) {
  if (queue_.empty()) return false;
  if (queue_.front().answered_by_report() && outstanding_ >= Window()) return false;
  *out = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

void SendWindow::Written(LinkCommand c, int64_t now_us) {
  bytes_since_progress_ += static_cast<int64_t>(c.text.size());
  c.sent_us = now_us;
  ++c.tries;
  if (c.answered_by_report()) {
    // The wait for an answer starts now if nothing was awaited before.
    if (outstanding_ == 0) progress_us_ = now_us;
    ++outstanding_;
    if (c.origin.asker == Asker::kResync) ++resync_outstanding_;
    c.due_us = now_us + 1000 * ReplyTimeoutMs(bytes_since_progress_, outstanding_);
    sent_.push_back(std::move(c));
  } else if (config_.tcp) {
    sent_.push_back(std::move(c));
    BoundSent();
  }
}

// Takes one outstanding command out of the window.
void SendWindow::Forget(std::deque<LinkCommand>::iterator it) {
  --outstanding_;
  if (it->origin.asker == Asker::kResync) --resync_outstanding_;
  sent_.erase(it);
}

bool SendWindow::Entry(char type, int level, int dest, int source, int64_t now_us,
                       int64_t* latency_us) {
  auto it = std::find_if(sent_.begin(), sent_.end(), [&](const LinkCommand& c) {
    if (c.level != level || c.dest != dest) return false;
    if (c.answered_as == 'I') return type == 'A';
    return c.answered_as == 'S' && c.source == source;
  });
  if (it == sent_.end()) return false;
  if (latency_us != nullptr) *latency_us = now_us - it->sent_us;
  answered_sent_us_ = std::max(answered_sent_us_, it->sent_us);
  answered_us_ = now_us;
  progress_us_ = now_us;
  bytes_since_progress_ = 0;
  single_ = false;
  // The command path works: the controllers are tried as at the start again.
  turn_ = 0;
  silent_streak_ = 0;
  retry_at_us_ = 0;
  // Everything written before it has reached the controller: the commands no answer covers
  // that came before it are let go.
  const auto before = it - sent_.begin();
  Forget(it);
  const auto end = sent_.begin() + before;
  sent_.erase(std::remove_if(sent_.begin(), end,
                             [](const LinkCommand& c) { return !c.answered_by_report(); }),
              end);
  return true;
}

bool SendWindow::Silent(int64_t now_us) const {
  if (outstanding_ == 0) return false;
  if (now_us - progress_us_ >= 1000 * ReplyTimeoutMs(bytes_since_progress_, outstanding_)) {
    return true;
  }
  return std::any_of(sent_.begin(), sent_.end(), [&](const LinkCommand& c) {
    return c.answered_by_report() && c.due_us <= now_us && answered_us_ <= c.sent_us;
  });
}

void SendWindow::GiveUpPassedOver(int64_t now_us) {
  for (auto it = sent_.begin(); it != sent_.end();) {
    // Passed over: its time is up and a command written after it has been answered. (An answer
    // to an older one proves nothing: the controller may have gone deaf since, and then the
    // silence verdict decides.)
    if (!it->answered_by_report() || it->due_us > now_us || answered_sent_us_ <= it->sent_us) {
      ++it;
      continue;
    }
    Drop(*it, kDropUnanswered, false, true);
    const auto at = it - sent_.begin();
    Forget(it);
    it = sent_.begin() + at;
  }
}

Verdict SendWindow::Tick(int64_t now_us, int64_t* quiet_us) {
  DropHeld(now_us);
  GiveUpPassedOver(now_us);
  if (!Silent(now_us)) return Verdict::kNone;
  if (quiet_us != nullptr) *quiet_us = now_us - std::max(answered_us_, progress_us_);
  progress_us_ = now_us;
  bytes_since_progress_ = 0;
  return Verdict::kSilent;
}

void SendWindow::GiveUpOutstanding() {
  for (LinkCommand& c : sent_) {
    if (c.answered_by_report()) Drop(std::move(c), kDropUnanswered);
  }
  sent_.clear();
  outstanding_ = 0;
  resync_outstanding_ = 0;
}

void SendWindow::ConnectionLost(int64_t now_us) {
  std::deque<LinkCommand> back;
  for (LinkCommand& c : sent_) {
    // The walk starts again at the next connect.
    if (c.origin.asker == Asker::kResync) continue;
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
  queue_.insert(queue_.begin(), std::make_move_iterator(back.begin()),
                std::make_move_iterator(back.end()));
  BoundQueue();
  unconnected_since_us_ = now_us > 0 ? now_us : 1;
}

size_t SendWindow::ConnectionMade(int64_t now_us) {
  // An outage longer than the hold has given up what waited, even if no tick came round yet.
  DropHeld(now_us);
  unconnected_since_us_ = 0;
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
    if (it->answered_by_report()) {
      Forget(it);
    } else {
      sent_.erase(it);
    }
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

int64_t SendWindow::NextDueUs() const {
  int64_t due = 0;
  auto earlier = [&due](int64_t t) { due = due == 0 ? t : std::min(due, t); };
  if (outstanding_ > 0) {
    earlier(progress_us_ + 1000 * ReplyTimeoutMs(bytes_since_progress_, outstanding_));
    for (const LinkCommand& c : sent_) {
      if (!c.answered_by_report()) continue;
      // A command's own time decides only when it was passed over or written since the last
      // answer; for the others only the silence verdict can.
      if (answered_sent_us_ > c.sent_us || answered_us_ <= c.sent_us) earlier(c.due_us);
    }
  }
  if (config_.tcp && unconnected_since_us_ != 0 && !queue_.empty()) {
    earlier(unconnected_since_us_ + 1000 * kHoldMs);
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
