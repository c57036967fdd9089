#include "platform/bus_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <queue>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/bus_frame.h"
#include "platform/debug_output.h"

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Bounds that keep one peer from taking the host, or another peer, down with it.
//
// Sends (and broadcasts) one connection may have waiting for their answers. A well-behaved
// client waits for each send before the next, so it has at most one per nesting level (the
// client library refuses to nest deeper than kMaxSendDepth); a connection that pipelines more is
// not read until some are answered.
constexpr size_t kMaxOutstanding = 64;
// Bytes of a connection's posts, and of the replies to it, queued by the host and not yet taken
// by the receiving socket. Past this the connection is not read until they drain: a flood of
// posts throttles its sender, and a peer that does not read its own replies throttles itself.
constexpr size_t kMaxCharge = 1024 * 1024;
constexpr size_t kMaxConnections = BusHost::kMaxConnections;
constexpr size_t kMaxHandlesPerConnection = BusHost::kMaxHandlesPerConnection;
// A connection that has taken nothing from its socket for this long while this much waits for
// it is not reading at all (stopped for good): it is closed rather than letting the host grow.
// A receiver that is merely busy reads within seconds and is never closed.
constexpr size_t kStuckOutput = 64u * 1024 * 1024;
constexpr auto kStuckTime = std::chrono::seconds(10);
// How long new connections wait to be taken while the host is at its connection limit.
constexpr auto kRefuseAfter = std::chrono::seconds(2);
// Repeated log lines of one kind are folded into one summary line per this period.
constexpr auto kLogPeriod = std::chrono::seconds(1);

void Print(const std::string& text, LogLevel level) {
  OutputDebugString("kirn bus: " + text + "\n", level);
}

// A peer that does not answer in time, or a broadcast passing a silent one, is routine when
// tools come and go; everything else the host logs is a fault of a peer.
LogLevel KindLevel(const std::string& kind) {
  return kind == "expired" || kind == "skipped" ? LogLevel::kInfo : LogLevel::kWarning;
}

std::string HandleText(uint16_t h) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x", h);
  return text;
}

// Prints the first line of a kind at once and folds the ones that follow within a period into
// one summary line, so a flood of faults cannot flood the log.
class LogFolder {
 public:
  void Note(const std::string& kind, const std::string& text, Clock::time_point now) {
    Entry& e = entries_[kind];
    if (e.printed_once && now - e.printed < kLogPeriod) {
      ++e.folded;
      e.last = text;
      return;
    }
    Summarise(kind, e);
    Print(text, KindLevel(kind));
    e.printed_once = true;
    e.printed = now;
  }
  // Prints the summaries that are due.
  void Flush(Clock::time_point now) {
    for (auto& [kind, e] : entries_) {
      if (e.folded > 0 && now - e.printed >= kLogPeriod) {
        Summarise(kind, e);
        e.printed = now;
      }
    }
  }
  // Milliseconds until the next summary is due; `cap` when none is.
  int MsUntilFlush(Clock::time_point now, int cap) const {
    int ms = cap;
    for (const auto& [kind, e] : entries_) {
      if (e.folded == 0) continue;
      const auto left = std::chrono::duration_cast<milliseconds>(e.printed + kLogPeriod - now);
      ms = std::min<int>(ms, static_cast<int>(std::max<long long>(left.count(), 0)));
    }
    return ms;
  }

 private:
  struct Entry {
    bool printed_once = false;
    Clock::time_point printed;
    uint64_t folded = 0;
    std::string last;
  };
  static void Summarise(const std::string& kind, Entry& e) {
    if (e.folded == 0) return;
    Print("... and " + std::to_string(e.folded) +
              " more like it in the last second, the last: " + e.last,
          KindLevel(kind));
    e.folded = 0;
  }
  std::map<std::string, Entry> entries_;
};

// Encoded frames waiting for a connection's socket. Each chunk names the connection it is
// charged to (0: none) until the socket takes it.
struct Chunk {
  std::vector<uint8_t> bytes;
  uint64_t charged_to = 0;
};

struct Connection {
  int fd = -1;
  FrameDecoder decoder;
  std::deque<Chunk> out;
  size_t out_offset = 0;         // bytes of out.front() already written
  size_t out_bytes = 0;          // bytes waiting, out_offset not counted
  Clock::time_point last_taken;  // when its socket last took bytes (or output began to wait)
  std::set<uint16_t> handles;
  size_t outstanding = 0;     // its sends and broadcasts that wait for their answers
  size_t charge = 0;          // bytes charged to it that wait in some connection's output
  bool paused = false;        // frames wait in its decoder because it was throttled
  bool unresponsive = false;  // a send to it went unanswered; cleared by any frame from it
};

struct Pending {
  uint64_t origin = 0;  // connection id that waits for the answer
  uint32_t origin_serial = 0;
  uint64_t target = 0;  // connection id that must answer
  uint16_t target_handle = 0;
  Clock::time_point deadline;
  uint64_t job = 0;  // broadcast job, 0 for a plain send
};

struct BroadcastJob {
  uint64_t origin = 0;
  uint32_t origin_serial = 0;
  Frame message;  // what each window receives
  std::vector<uint16_t> targets;
  size_t next = 0;
};

// The routing state of one host loop.
class Router {
 public:
  // Handles are handed out from a varying start, so a host started after another one rarely
  // hands a new window a handle that a reconnecting client still means to claim back.
  explicit Router(int reply_timeout_ms)
      : timeout_(reply_timeout_ms),
        next_handle_(static_cast<uint16_t>(0x0100 + std::random_device{}() % 0x7E00)) {}

  void Add(int fd) {
    const uint64_t id = next_conn_++;
    conns_[id].fd = fd;
  }
  bool Full() const { return conns_.size() >= kMaxConnections; }
  std::map<uint64_t, Connection>& conns() { return conns_; }
  LogFolder& log() { return log_; }

  bool Throttled(const Connection& c) const {
    return c.outstanding >= kMaxOutstanding || c.charge >= kMaxCharge;
  }
  // The host reads from a connection only while it is within its bounds.
  bool Readable(const Connection& c) const { return !c.paused && !Throttled(c); }

  // Takes bytes read from a connection and routes its frames. False when it must be closed.
  bool OnBytes(uint64_t id, const uint8_t* bytes, size_t n, std::atomic<uint64_t>& malformed) {
    conns_[id].decoder.Feed(bytes, n);
    return Drain(id, malformed);
  }

  // Routes the frames that wait in the decoders of connections that were throttled and no
  // longer are; those that must be closed are added to `closed`.
  void Resume(std::atomic<uint64_t>& malformed, std::vector<uint64_t>& closed) {
    std::vector<uint64_t> ids;
    for (const auto& [id, c] : conns_) {
      if (c.paused && !Throttled(c)) ids.push_back(id);
    }
    for (uint64_t id : ids) {
      auto it = conns_.find(id);
      if (it == conns_.end()) continue;
      it->second.paused = false;
      if (!Drain(id, malformed)) closed.push_back(id);
    }
  }
  // True when some connection has frames waiting that it may route now.
  bool Resumable() const {
    for (const auto& [id, c] : conns_) {
      if (c.paused && !Throttled(c)) return true;
    }
    return false;
  }

  void Close(uint64_t id) {
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    const std::set<uint16_t> gone = it->second.handles;
    for (uint16_t h : gone) handles_.erase(h);
    for (const Chunk& ch : it->second.out) Discharge(ch);
    ::close(it->second.fd);
    conns_.erase(it);
    for (uint16_t h : gone) NoticeGone(h);
    // Sends waiting on the closed peer are answered with 0 on its behalf.
    std::vector<uint32_t> orphaned;
    for (const auto& [serial, p] : pending_) {
      if (p.target == id) orphaned.push_back(serial);
    }
    for (uint32_t serial : orphaned) Complete(serial, nullptr);
  }

  // Answers every send whose target has not replied in time, earliest deadline first.
  void Expire(Clock::time_point now) {
    while (!deadlines_.empty() && deadlines_.top().first <= now) {
      const uint32_t serial = deadlines_.top().second;
      deadlines_.pop();
      auto it = pending_.find(serial);
      if (it == pending_.end()) continue;  // answered in time
      // The process that owns the window is not answering: broadcasts pass it by until it
      // shows signs of life again.
      if (auto target = conns_.find(it->second.target); target != conns_.end()) {
        target->second.unresponsive = true;
      }
      log_.Note("expired",
                "no reply from window " + HandleText(it->second.target_handle) +
                    " within the timeout: answered with 0",
                now);
      Complete(serial, nullptr);
    }
  }

  // Milliseconds the loop may sleep: until the next deadline or log summary, at most a second.
  int MsUntilNextEvent(Clock::time_point now) const {
    if (Resumable()) return 0;
    int ms = 1000;
    if (!deadlines_.empty()) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadlines_.top().first - now);
      ms = std::min<int>(ms, static_cast<int>(std::max<long long>(left.count(), 0)));
    }
    return log_.MsUntilFlush(now, ms);
  }

  // Writes what waits for connection `id` as far as its socket takes it now. False when the
  // connection is broken or has read nothing for too long.
  bool WriteOut(uint64_t id, Clock::time_point now) {
    Connection& c = conns_[id];
    while (!c.out.empty()) {
      iovec iov[64];
      int count = 0;
      for (auto it = c.out.begin(); it != c.out.end() && count < 64; ++it, ++count) {
        const size_t skip = count == 0 ? c.out_offset : 0;
        iov[count].iov_base = it->bytes.data() + skip;
        iov[count].iov_len = it->bytes.size() - skip;
      }
      msghdr mh{};
      mh.msg_iov = iov;
      mh.msg_iovlen = static_cast<size_t>(count);
      const ssize_t w = ::sendmsg(c.fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno != EAGAIN) return false;
      if (w <= 0) break;
      c.last_taken = now;
      auto left = static_cast<size_t>(w);
      c.out_bytes -= left;
      while (left > 0) {
        Chunk& front = c.out.front();
        const size_t rest = front.bytes.size() - c.out_offset;
        if (left < rest) {
          c.out_offset += left;
          break;
        }
        left -= rest;
        Discharge(front);
        c.out.pop_front();
        c.out_offset = 0;
      }
    }
    if (c.out_bytes > kStuckOutput && now - c.last_taken > kStuckTime) {
      Print(
          "connection " + std::to_string(id) + " has read nothing for " +
              std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kStuckTime).count()) +
              " s with " + std::to_string(c.out_bytes) + " bytes waiting for it: closed",
          LogLevel::kWarning);
      return false;
    }
    return true;
  }

 private:
  // Queues a frame for connection `id`, charged to connection `charged_to` (0: to none).
  void Queue(uint64_t id, const Frame& f, uint64_t charged_to) {
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    Connection& c = it->second;
    Chunk ch;
    EncodeFrame(f, ch.bytes);
    if (c.out.empty()) c.last_taken = Clock::now();
    c.out_bytes += ch.bytes.size();
    if (auto owner = conns_.find(charged_to); owner != conns_.end()) {
      owner->second.charge += ch.bytes.size();
      ch.charged_to = charged_to;
    }
    c.out.push_back(std::move(ch));
  }

  void Discharge(const Chunk& ch) {
    if (ch.charged_to == 0) return;
    auto owner = conns_.find(ch.charged_to);
    if (owner != conns_.end()) owner->second.charge -= ch.bytes.size();
  }

  // A reply is charged to the connection it goes to: one that does not read its replies stops
  // being read itself.
  void Reply(uint64_t id, uint32_t serial, int32_t result, std::vector<uint8_t> data = {}) {
    Frame r;
    r.kind = FrameKind::kReply;
    r.serial = serial;
    r.result = result;
    r.data = std::move(data);
    Queue(id, r, id);
  }

  bool Owns(uint64_t id, uint16_t h) const {
    auto it = conns_.find(id);
    return it != conns_.end() && it->second.handles.count(h) != 0;
  }

  // A reconnecting client takes back the handle it had on an earlier host, unless another
  // connection holds it now. Returns the handle, or 0.
  uint16_t Claim(uint64_t id, int32_t wanted, bool top_level) {
    if (wanted <= 0 || wanted >= 0xFFFF) return 0;
    const auto h = static_cast<uint16_t>(wanted);
    if (handles_.count(h) != 0) return Owns(id, h) ? h : 0;
    handles_[h] = HandleInfo{id, top_level};
    conns_[id].handles.insert(h);
    return h;
  }

  // Tells every connection that window `h` is gone.
  void NoticeGone(uint16_t h) {
    Frame f;
    f.kind = FrameKind::kControl;
    f.msg = kControlGone;
    f.wparam = h;
    std::vector<uint64_t> ids;
    for (const auto& [cid, c] : conns_) ids.push_back(cid);
    for (uint64_t cid : ids) Queue(cid, f, 0);  // the host's own notice: charged to nobody
  }

  uint16_t Allocate() {
    for (int tries = 0; tries < 0xFFFE; ++tries) {
      const uint16_t h = next_handle_;
      next_handle_ = static_cast<uint16_t>(h >= 0xFFFE ? 1 : h + 1);
      if (handles_.count(h) == 0) return h;
    }
    return 0;
  }

  // Routes the frames waiting in a connection's decoder while it stays within its bounds.
  // False when it must be closed.
  bool Drain(uint64_t id, std::atomic<uint64_t>& malformed) {
    for (;;) {
      auto it = conns_.find(id);
      if (it == conns_.end()) return false;
      Connection& c = it->second;
      if (Throttled(c)) {
        c.paused = true;
        log_.Note("throttled",
                  "connection " + std::to_string(id) + " has " + std::to_string(c.outstanding) +
                      " sends waiting and " + std::to_string(c.charge) +
                      " bytes queued: not read until they drain",
                  Clock::now());
        return true;
      }
      Frame f;
      std::string error;
      const auto st = c.decoder.Next(f, &error);
      if (st == FrameDecoder::Status::kNeedMore) return true;
      if (st == FrameDecoder::Status::kMalformed) {
        ++malformed;
        log_.Note("malformed",
                  "malformed frame from connection " + std::to_string(id) + " (" + error +
                      "): connection closed",
                  Clock::now());
        return false;
      }
      // Any frame shows that the process runs again.
      c.unresponsive = false;
      Route(id, f);
    }
  }

  // Forwards a send to the owner of `to`; false when there is no such window. The message is
  // charged to no one: the sender's bound is the number of its sends that wait.
  bool Forward(const Frame& f, uint64_t origin, uint32_t origin_serial, uint64_t job) {
    auto h = handles_.find(f.to);
    if (h == handles_.end()) return false;
    const uint32_t serial = next_serial_++;
    const Clock::time_point deadline = Clock::now() + milliseconds(timeout_);
    pending_[serial] = Pending{origin, origin_serial, h->second.conn, f.to, deadline, job};
    deadlines_.emplace(deadline, serial);
    Frame out = f;
    out.kind = FrameKind::kSend;
    out.serial = serial;
    Queue(h->second.conn, out, 0);
    return true;
  }

  // Moves a broadcast on to its next window, or answers its sender when all have answered. A
  // window of a process that left a send unanswered is passed by: a stopped process costs the
  // first broadcast its timeout, not every one after it.
  void Advance(uint64_t job_id) {
    auto it = jobs_.find(job_id);
    if (it == jobs_.end()) return;
    BroadcastJob& job = it->second;
    while (job.next < job.targets.size()) {
      Frame f = job.message;
      f.to = job.targets[job.next++];
      auto h = handles_.find(f.to);
      if (h == handles_.end()) continue;
      if (auto target = conns_.find(h->second.conn);
          target != conns_.end() && target->second.unresponsive) {
        log_.Note(
            "skipped",
            "broadcast passes by window " + HandleText(f.to) + " whose process has not answered",
            Clock::now());
        continue;
      }
      if (Forward(f, job.origin, job.origin_serial, job_id)) return;
    }
    if (auto origin = conns_.find(job.origin); origin != conns_.end()) {
      --origin->second.outstanding;
    }
    Reply(job.origin, job.origin_serial, 0);
    jobs_.erase(it);
  }

  // A send has been answered (`reply` null: answered with 0 on the target's behalf).
  void Complete(uint32_t serial, const Frame* reply) {
    auto it = pending_.find(serial);
    if (it == pending_.end()) return;
    const Pending p = it->second;
    pending_.erase(it);
    if (p.job != 0) {
      Advance(p.job);
      return;
    }
    if (auto origin = conns_.find(p.origin); origin != conns_.end()) {
      --origin->second.outstanding;
    }
    if (reply != nullptr) {
      Reply(p.origin, p.origin_serial, reply->result, reply->data);
    } else {
      Reply(p.origin, p.origin_serial, 0);
    }
  }

  void Control(uint64_t id, const Frame& f) {
    Connection& c = conns_[id];
    if (f.msg == kControlAcquire) {
      uint16_t h = 0;
      if (c.handles.size() >= kMaxHandlesPerConnection) {
        log_.Note("handle-limit",
                  "connection " + std::to_string(id) + " already has " +
                      std::to_string(kMaxHandlesPerConnection) + " windows: no more handles",
                  Clock::now());
      } else {
        h = Allocate();
      }
      if (h != 0) {
        handles_[h] = HandleInfo{id, f.wparam != 0};
        c.handles.insert(h);
      }
      Reply(id, f.serial, h);
    } else if (f.msg == kControlExists) {
      Reply(id, f.serial, handles_.count(static_cast<uint16_t>(f.wparam)) != 0 ? 1 : 0);
    } else if (f.msg == kControlSameOwner) {
      auto a = handles_.find(static_cast<uint16_t>(f.wparam));
      auto b = handles_.find(static_cast<uint16_t>(f.lparam));
      Reply(id, f.serial,
            a != handles_.end() && b != handles_.end() && a->second.conn == b->second.conn);
    } else if (f.msg == kControlRelease) {
      const auto h = static_cast<uint16_t>(f.wparam);
      if (Owns(id, h)) {
        handles_.erase(h);
        c.handles.erase(h);
        NoticeGone(h);
      }
    } else if (f.msg == kControlClaim) {
      uint16_t h = 0;
      if (c.handles.size() >= kMaxHandlesPerConnection) {
        log_.Note("handle-limit",
                  "connection " + std::to_string(id) + " already has " +
                      std::to_string(kMaxHandlesPerConnection) + " windows: no handle claimed",
                  Clock::now());
      } else {
        h = Claim(id, f.wparam, f.lparam != 0);
      }
      Reply(id, f.serial, h);
    } else {
      Reply(id, f.serial, 0);
    }
  }

  void Route(uint64_t id, const Frame& f) {
    switch (f.kind) {
      case FrameKind::kControl:
        Control(id, f);
        return;
      case FrameKind::kReply: {
        auto it = pending_.find(f.serial);
        // Only the peer that was asked may answer; a late or stray reply is dropped.
        if (it != pending_.end() && it->second.target == id) Complete(f.serial, &f);
        return;
      }
      case FrameKind::kSend:
      case FrameKind::kPost:
      case FrameKind::kBroadcast:
        if (!Owns(id, f.from)) {
          log_.Note("foreign",
                    "connection " + std::to_string(id) + " sent from handle " +
                        std::to_string(f.from) + " that it was not given: refused",
                    Clock::now());
          if (f.kind != FrameKind::kPost) Reply(id, f.serial, 0);
          return;
        }
        break;
    }
    if (f.kind == FrameKind::kPost) {
      // Charged to its sender until the receiver's socket takes it.
      auto h = handles_.find(f.to);
      if (h != handles_.end()) Queue(h->second.conn, f, id);
      return;
    }
    ++conns_[id].outstanding;
    if (f.kind == FrameKind::kSend) {
      if (!Forward(f, id, f.serial, 0)) {
        --conns_[id].outstanding;
        Reply(id, f.serial, 0);
      }
      return;
    }
    BroadcastJob job;
    job.origin = id;
    job.origin_serial = f.serial;
    job.message = f;
    job.message.data.clear();
    for (const auto& [h, info] : handles_) {
      if (info.top_level) job.targets.push_back(h);
    }
    const uint64_t job_id = next_job_++;
    jobs_.emplace(job_id, std::move(job));
    Advance(job_id);
  }

  struct HandleInfo {
    uint64_t conn = 0;
    bool top_level = false;
  };
  using Deadline = std::pair<Clock::time_point, uint32_t>;

  int timeout_;
  std::map<uint64_t, Connection> conns_;
  std::map<uint16_t, HandleInfo> handles_;
  std::map<uint32_t, Pending> pending_;
  // Deadlines of the pending sends, earliest on top; an answered send's entry is dropped when it
  // comes up.
  std::priority_queue<Deadline, std::vector<Deadline>, std::greater<Deadline>> deadlines_;
  std::map<uint64_t, BroadcastJob> jobs_;
  LogFolder log_;
  uint64_t next_conn_ = 1;
  uint64_t next_job_ = 1;
  uint32_t next_serial_ = 1;
  uint16_t next_handle_;
};

// Reads what came on the connections that poll found readable (`fds` from index 2 on belong to
// `ids`) and routes their frames; those to be closed are added to `to_close`.
void ReadConnections(Router& router, const std::vector<pollfd>& fds,
                     const std::vector<uint64_t>& ids, std::vector<uint8_t>& buf,
                     std::atomic<uint64_t>& malformed, std::vector<uint64_t>& to_close) {
  for (size_t i = 0; i < ids.size(); ++i) {
    const uint64_t id = ids[i];
    const short rev = fds[i + 2].revents;
    auto it = router.conns().find(id);
    if (it == router.conns().end()) continue;
    bool keep = true;
    if (rev & POLLIN) {
      const ssize_t got = ::read(it->second.fd, buf.data(), buf.size());
      if (got > 0) {
        keep = router.OnBytes(id, buf.data(), static_cast<size_t>(got), malformed);
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        keep = false;
      }
    } else if (rev & (POLLHUP | POLLERR)) {
      keep = false;
    }
    if (!keep) to_close.push_back(id);
  }
}

// Takes the new connections waiting on `listen_fd`: only from this user, and while the host is
// below its connection limit (past it, when `refuse`, they are taken only to be closed).
void AcceptConnections(Router& router, int listen_fd, bool refuse, Clock::time_point now) {
  for (;;) {
    if (router.Full() && !refuse) break;
    const int cfd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (cfd < 0) break;
    // The socket's mode keeps other users out only where its directory lets it.
    if (long uid = -1; !PeerIsSameUser(cfd, &uid)) {
      router.log().Note(
          "user", "connection from user id " + std::to_string(uid) + ", not this user: refused",
          now);
      ::close(cfd);
      continue;
    }
    if (router.Full()) {
      router.log().Note(
          "conn-limit",
          "already " + std::to_string(kMaxConnections) + " connections: a new one refused", now);
      ::close(cfd);
      continue;
    }
    router.Add(cfd);
  }
}

}  // namespace

namespace {

// The user's private directory for the bus socket when no other place is given.
std::string PrivateBusDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp != nullptr && *tmp == '/' ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/kirn-" + std::to_string(::getuid());
}

}  // namespace

std::string BusPath() {
  if (const char* bus = std::getenv("KIRN_BUS"); bus != nullptr && *bus != '\0') return bus;
  if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run != nullptr && *run != '\0') {
    return std::string(run) + "/kirn-bus.sock";
  }
  return PrivateBusDirectory() + "/bus.sock";
}

bool CheckBusDirectory(const std::string& path, bool create, std::string* error) {
  const std::string dir = PrivateBusDirectory();
  if (path != dir + "/bus.sock") return true;
  // Another user could have made the directory first, in a place where anyone may create one:
  // it is used only when it is ours and closed to everyone else.
  if (create && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error != nullptr)
      *error = "cannot create the bus directory " + dir + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) {
    if (error != nullptr) *error = "no bus directory " + dir + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
    if (error != nullptr) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      *error = "the bus directory " + dir + " is not private to this user (" +
               (S_ISDIR(st.st_mode) ? "directory" : "not a directory") + ", owner uid " +
               std::to_string(st.st_uid) + ", mode " + mode + "): refused";
    }
    return false;
  }
  return true;
}

bool PeerIsSameUser(int fd, long* uid) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
    if (uid != nullptr) *uid = -1;
    return false;
  }
  if (uid != nullptr) *uid = static_cast<long>(cred.uid);
  return cred.uid == ::getuid();
}

bool MakeBusAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::unique_ptr<BusHost> BusHost::Listen(const std::string& path, std::string* error) {
  auto fail = [error](const std::string& why) -> std::unique_ptr<BusHost> {
    if (error != nullptr) *error = why;
    return nullptr;
  };
  sockaddr_un addr;
  if (!MakeBusAddress(path, addr)) return fail("bus path is empty or too long: " + path);
  if (std::string why; !CheckBusDirectory(path, true, &why)) return fail(why);

  // A socket file where a host still answers belongs to that host; a dead one is replaced.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return fail("not a socket, left alone: " + path);
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool alive =
        probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) ::close(probe);
    if (alive) return fail("a bus host is already listening on " + path);
    ::unlink(path.c_str());
  }

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  // The socket file is created with mode 0600 from the start: no other user may attach.
  const mode_t old_mask = ::umask(0177);
  const int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  const int bind_errno = errno;
  ::umask(old_mask);
  if (bound != 0) {
    ::close(fd);
    return fail("bind " + path + ": " + std::strerror(bind_errno));
  }
  ::chmod(path.c_str(), 0600);
  if (::listen(fd, 128) != 0) {
    const int e = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return fail(std::string("listen: ") + std::strerror(e));
  }
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(fd);
    ::unlink(path.c_str());
    return fail(std::string("pipe: ") + std::strerror(errno));
  }
  return std::unique_ptr<BusHost>(new BusHost(fd, wake[0], wake[1], path));
}

BusHost::BusHost(int listen_fd, int wake_read, int wake_write, std::string path)
    : listen_fd_(listen_fd),
      wake_read_(wake_read),
      wake_write_(wake_write),
      path_(std::move(path)) {}

BusHost::~BusHost() {
  Stop();
  ::close(listen_fd_);
  ::close(wake_read_);
  ::close(wake_write_);
  ::unlink(path_.c_str());
}

void BusHost::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void BusHost::Stop() {
  stopping_.store(true);
  const char b = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_write_, &b, 1);
  if (thread_.joinable()) thread_.join();
}

void BusHost::Run() {
  Router router(reply_timeout_ms_);
  std::vector<uint8_t> buf(64 * 1024);
  std::vector<uint64_t> to_close;
  std::optional<Clock::time_point> full_since;
  auto close_all = [&] {
    for (uint64_t id : to_close) router.Close(id);
    to_close.clear();
  };
  while (!stopping_.load()) {
    router.Resume(malformed_, to_close);
    close_all();
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    // At the connection limit new peers wait in the listen queue while the present ones come
    // and go; when none has gone for a while, the waiting ones are refused rather than left
    // hanging in their connect.
    const auto before = Clock::now();
    if (!router.Full()) {
      full_since.reset();
    } else if (!full_since) {
      full_since = before;
    }
    const bool refuse = full_since && before - *full_since >= kRefuseAfter;
    fds.push_back({listen_fd_, static_cast<short>(!full_since || refuse ? POLLIN : 0), 0});
    fds.push_back({wake_read_, POLLIN, 0});
    for (auto& [id, c] : router.conns()) {
      // A connection past its bounds is not read (a closed peer still shows as POLLHUP).
      short events = router.Readable(c) ? POLLIN : 0;
      if (c.out_bytes > 0) events |= POLLOUT;
      fds.push_back({c.fd, events, 0});
      ids.push_back(id);
    }
    int timeout = router.MsUntilNextEvent(before);
    if (full_since && !refuse) timeout = std::min(timeout, 100);
    const int n = ::poll(fds.data(), fds.size(), timeout);
    if (n < 0 && errno != EINTR) break;
    if (stopping_.load()) break;
    const auto now = Clock::now();

    if (fds[1].revents & POLLIN) {
      char drain[16];
      while (::read(wake_read_, drain, sizeof drain) > 0) {
      }
    }
    ReadConnections(router, fds, ids, buf, malformed_, to_close);
    close_all();
    // New connections are taken once the closed ones are gone, so they count no more.
    if (fds[0].revents & POLLIN) AcceptConnections(router, listen_fd_, refuse, now);
    router.Expire(now);
    // Write what is queued, on every connection, as far as each socket takes it now.
    for (auto& [id, c] : router.conns()) {
      if (!router.WriteOut(id, now)) to_close.push_back(id);
    }
    close_all();
    router.log().Flush(now);
  }
  std::vector<uint64_t> all;
  for (auto& [id, c] : router.conns()) all.push_back(id);
  for (uint64_t id : all) router.Close(id);
}

}  // namespace plat
