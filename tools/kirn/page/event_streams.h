// The server-sent event streams of kirn metrics (/api/events): the changes of the drivers as
// they happen, to every open stream whose scope takes them.
//
// Every event has an id "RUN-N": RUN names this run of the program (a client's id from an
// earlier run is never taken for one of this run), N counts up. The last kKept events are kept,
// so a client that reconnects with its last id (Last-Event-ID) gets what it missed; a client
// whose id is older, from another run, or from before a gap (the revertives were not followed
// for a while) starts again with a snapshot. A stream that holds kMaxBehind events its client
// has not taken is closed: it holds up no other, and its client reconnects with a snapshot.
// Every stream gets a comment line when it has had nothing for kKeepAliveMs, which keeps it
// inside the server's idle time-out and shows a client gone.
//
// The hub does no I/O: it writes through the sink it is given. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace kirn {

// Which events a stream takes: those of `driver` (0: every driver) and, for route events, of
// `router` (0: every router of the driver).
struct EventScope {
  int driver = 0;
  int router = 0;
};

class EventStreams {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kKept = 4096;
  static constexpr size_t kMaxBehind = 1024;
  static constexpr int kKeepAliveMs = 5000;
  // How long a client waits before it reconnects (the stream's "retry").
  static constexpr int kRetryMs = 1000;

  // Where the hub writes: one chunk to a stream (false when the stream has gone), the chunks a
  // stream has queued and not sent, and closing a stream.
  struct Sink {
    std::function<bool(uint64_t stream, std::string text)> send;
    std::function<size_t(uint64_t stream)> backlog;
    std::function<void(uint64_t stream)> close;
  };

  // `run` names this run in the ids (e.g. the start time in ms).
  EventStreams(Sink sink, uint64_t run);

  // Adds an event (`data`: one line of JSON) and sends it to every stream that takes it.
  // `router` 0: an event of the driver as a whole. Returns its number.
  uint64_t Publish(const std::string& type, int driver, int router, const std::string& data);
  // Events may have been missed: no client may resume from before now.
  void Gap();
  // The same, and every open stream is closed: its client comes back for a fresh snapshot.
  void Reset();
  // The number of the last event (0: none yet).
  uint64_t last() const { return next_ - 1; }

  // The event number after which a client with `last_event_id` resumes, or nothing when it
  // must start with a snapshot.
  std::optional<uint64_t> ResumeAfter(const std::string& last_event_id) const;

  // A stream opened with `scope`: with `snapshot` (JSON), a "snapshot" event numbered `after`,
  // then the events after `after` that it takes. REQUIRES: `after` was last() or a
  // ResumeAfter() answer, not longer ago than kKept events.
  void Open(uint64_t stream, EventScope scope, uint64_t after,
            const std::optional<std::string>& snapshot, Clock::time_point now);
  // The stream has gone.
  void Gone(uint64_t stream) { streams_.erase(stream); }
  // Sends the comment lines that are due; the milliseconds until the next one (-1: no stream).
  int Tick(Clock::time_point now);

  size_t open() const { return streams_.size(); }
  // Streams closed for being too far behind.
  uint64_t closed_behind() const { return closed_behind_; }
  std::string IdText(uint64_t number) const;

 private:
  struct Event {
    uint64_t number = 0;
    std::string type;
    int driver = 0;
    int router = 0;
    std::string text;  // the whole event as sent
  };
  struct Open_ {
    EventScope scope;
    Clock::time_point last_write;
  };
  static bool Takes(const EventScope& scope, const Event& e);
  // Sends to one stream, closing it when it is too far behind; false when it has gone.
  bool Write(uint64_t stream, Open_& open, const std::string& text, Clock::time_point now);

  Sink sink_;
  uint64_t run_;
  uint64_t next_ = 1;
  uint64_t resumable_from_ = 0;  // ids below this can not be resumed from
  std::deque<Event> kept_;
  std::map<uint64_t, Open_> streams_;
  uint64_t closed_behind_ = 0;
};

// The event as the stream carries it: id, event and one data line per line of `data`.
std::string EventText(const std::string& id, const std::string& type, const std::string& data);

}  // namespace kirn
