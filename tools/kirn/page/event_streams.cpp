#include "tools/kirn/page/event_streams.h"

#include <cstdlib>
#include <vector>

namespace kirn {

std::string EventText(const std::string& id, const std::string& type, const std::string& data) {
  std::string out = "id: " + id + "\nevent: " + type + "\n";
  size_t at = 0;
  while (true) {
    const size_t end = data.find('\n', at);
    out += "data: " + data.substr(at, end == std::string::npos ? std::string::npos : end - at);
    out += "\n";
    if (end == std::string::npos) break;
    at = end + 1;
  }
  out += "\n";
  return out;
}

EventStreams::EventStreams(Sink sink, uint64_t run) : sink_(std::move(sink)), run_(run) {}

std::string EventStreams::IdText(uint64_t number) const {
  return std::to_string(run_) + "-" + std::to_string(number);
}

bool EventStreams::Takes(const EventScope& scope, const Event& e) {
  if (scope.driver != 0 && e.driver != scope.driver) {
    // A route of a router not yet known to belong to a driver still reaches its router's
    // subscribers.
    if (!(e.driver == 0 && scope.router != 0 && e.router == scope.router)) return false;
  }
  return scope.router == 0 || e.router == 0 || e.router == scope.router;
}

bool EventStreams::Write(uint64_t stream, Open_& open, const std::string& text,
                         Clock::time_point now) {
  if (sink_.backlog(stream) >= kMaxBehind) {
    ++closed_behind_;
    sink_.close(stream);
    return false;
  }
  if (!sink_.send(stream, text)) return false;
  open.last_write = now;
  return true;
}

uint64_t EventStreams::Publish(const std::string& type, int driver, int router,
                               const std::string& data) {
  Event e;
  e.number = next_++;
  e.type = type;
  e.driver = driver;
  e.router = router;
  e.text = EventText(IdText(e.number), type, data);
  const auto now = Clock::now();
  std::vector<uint64_t> gone;
  for (auto& [stream, open] : streams_) {
    if (Takes(open.scope, e) && !Write(stream, open, e.text, now)) gone.push_back(stream);
  }
  for (uint64_t stream : gone) streams_.erase(stream);
  kept_.push_back(std::move(e));
  while (kept_.size() > kKept) kept_.pop_front();
  return next_ - 1;
}

void EventStreams::Gap() {
  resumable_from_ = next_ - 1;
}

void EventStreams::Reset() {
  Gap();
  std::map<uint64_t, Open_> open;
  open.swap(streams_);
  for (const auto& [stream, o] : open) sink_.close(stream);
}

std::optional<uint64_t> EventStreams::ResumeAfter(const std::string& last_event_id) const {
  const size_t dash = last_event_id.find('-');
  if (dash == std::string::npos || last_event_id.substr(0, dash) != std::to_string(run_)) {
    return std::nullopt;
  }
  const std::string number = last_event_id.substr(dash + 1);
  if (number.empty() || number.size() > 19 ||
      number.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const uint64_t n = std::strtoull(number.c_str(), nullptr, 10);
  const uint64_t oldest = kept_.empty() ? next_ : kept_.front().number;
  // Everything after n must still be kept, and n must be of this run's past.
  if (n >= next_ || n + 1 < oldest || n < resumable_from_) return std::nullopt;
  return n;
}

void EventStreams::Open(uint64_t stream, EventScope scope, uint64_t after,
                        const std::optional<std::string>& snapshot, Clock::time_point now) {
  Open_& open = streams_[stream];
  open.scope = scope;
  open.last_write = now;
  std::string text = "retry: " + std::to_string(kRetryMs) + "\n\n";
  if (snapshot) text += EventText(IdText(after), "snapshot", *snapshot);
  if (!sink_.send(stream, std::move(text))) {
    streams_.erase(stream);
    return;
  }
  for (const Event& e : kept_) {
    if (e.number <= after || !Takes(scope, e)) continue;
    if (!Write(stream, open, e.text, now)) {
      streams_.erase(stream);
      return;
    }
  }
}

int EventStreams::Tick(Clock::time_point now) {
  const auto every = std::chrono::milliseconds(kKeepAliveMs);
  int next = -1;
  std::vector<uint64_t> gone;
  for (auto& [stream, open] : streams_) {
    if (now - open.last_write >= every && !Write(stream, open, ":\n\n", now)) {
      gone.push_back(stream);
      continue;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(open.last_write + every - now);
    const int ms = static_cast<int>(left.count()) + 1;
    next = next < 0 ? ms : std::min(next, ms);
  }
  for (uint64_t stream : gone) streams_.erase(stream);
  return next;
}

}  // namespace kirn
