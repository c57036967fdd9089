#include "platform/bus_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <vector>

#include "platform/bus_frame.h"
#include "platform/debug_output.h"

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

// A peer whose unsent output grows past this is not reading: it is disconnected rather than
// letting the host's memory grow without bound.
constexpr size_t kMaxOutput = 32u * 1024 * 1024;
constexpr uint16_t kBroadcastHandle = 0xFFFF;

void Log(const std::string& text) {
  OutputDebugString("kirn bus: " + text + "\n");
}

struct Connection {
  int fd = -1;
  FrameDecoder decoder;
  std::vector<uint8_t> out;
  std::set<uint16_t> handles;
  bool closing = false;
};

struct Pending {
  uint64_t origin = 0;  // connection id that waits for the answer
  uint32_t origin_serial = 0;
  uint64_t target = 0;  // connection id that must answer
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
  explicit Router(int reply_timeout_ms) : timeout_(reply_timeout_ms) {}

  uint64_t Add(int fd) {
    const uint64_t id = next_conn_++;
    conns_[id].fd = fd;
    return id;
  }
  std::map<uint64_t, Connection>& conns() { return conns_; }

  // Handles readable bytes of one connection. Returns false when it must be closed.
  bool OnBytes(uint64_t id, const uint8_t* bytes, size_t n, std::atomic<uint64_t>& malformed) {
    Connection& c = conns_[id];
    c.decoder.Feed(bytes, n);
    Frame f;
    std::string error;
    for (;;) {
      auto st = c.decoder.Next(f, &error);
      if (st == FrameDecoder::Status::kNeedMore) return true;
      if (st == FrameDecoder::Status::kMalformed) {
        ++malformed;
        Log("malformed frame from connection " + std::to_string(id) + " (" + error +
            "): connection closed");
        return false;
      }
      Route(id, f);
      if (conns_.count(id) == 0 || conns_[id].closing) return false;
    }
  }

  void Close(uint64_t id) {
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    for (uint16_t h : it->second.handles) handles_.erase(h);
    ::close(it->second.fd);
    conns_.erase(it);
    // Sends waiting on the closed peer are answered with 0 on its behalf.
    std::vector<uint32_t> orphaned;
    for (const auto& [serial, p] : pending_) {
      if (p.target == id) orphaned.push_back(serial);
    }
    for (uint32_t serial : orphaned) Complete(serial, nullptr);
  }

  // Answers every send whose target has not replied in time.
  void Expire(Clock::time_point now) {
    std::vector<uint32_t> expired;
    for (const auto& [serial, p] : pending_) {
      if (p.deadline <= now) expired.push_back(serial);
    }
    for (uint32_t serial : expired) {
      Log("no reply within the timeout: answered with 0");
      Complete(serial, nullptr);
    }
  }

  int MsUntilNextDeadline(Clock::time_point now) const {
    int ms = 1000;
    for (const auto& [serial, p] : pending_) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(p.deadline - now).count();
      ms = std::min<int>(ms, static_cast<int>(std::max<long long>(left, 0)));
    }
    return ms;
  }

 private:
  void Queue(uint64_t id, const Frame& f) {
    auto it = conns_.find(id);
    if (it == conns_.end() || it->second.closing) return;
    EncodeFrame(f, it->second.out);
    if (it->second.out.size() > kMaxOutput) {
      Log("connection " + std::to_string(id) + " does not read its messages: closed");
      it->second.closing = true;
    }
  }

  void Reply(uint64_t id, uint32_t serial, int32_t result, std::vector<uint8_t> data = {}) {
    Frame r;
    r.kind = FrameKind::kReply;
    r.serial = serial;
    r.result = result;
    r.data = std::move(data);
    Queue(id, r);
  }

  bool Owns(uint64_t id, uint16_t h) const {
    auto it = conns_.find(id);
    return it != conns_.end() && it->second.handles.count(h) != 0;
  }

  uint16_t Allocate() {
    for (int tries = 0; tries < 0xFFFE; ++tries) {
      const uint16_t h = next_handle_;
      next_handle_ = static_cast<uint16_t>(h >= 0xFFFE ? 1 : h + 1);
      if (handles_.count(h) == 0) return h;
    }
    return 0;
  }

  // Forwards a send to the owner of `to`; false when there is no such window.
  bool Forward(const Frame& f, uint64_t origin, uint32_t origin_serial, uint64_t job) {
    auto h = handles_.find(f.to);
    if (h == handles_.end()) return false;
    const uint32_t serial = next_serial_++;
    pending_[serial] = Pending{origin, origin_serial, h->second.conn,
                               Clock::now() + std::chrono::milliseconds(timeout_), job};
    Frame out = f;
    out.kind = FrameKind::kSend;
    out.serial = serial;
    Queue(h->second.conn, out);
    return true;
  }

  // Moves a broadcast on to its next window, or answers its sender when all have answered.
  void Advance(uint64_t job_id) {
    auto it = jobs_.find(job_id);
    if (it == jobs_.end()) return;
    BroadcastJob& job = it->second;
    while (job.next < job.targets.size()) {
      Frame f = job.message;
      f.to = job.targets[job.next++];
      if (Forward(f, job.origin, job.origin_serial, job_id)) return;
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
    if (reply != nullptr) {
      Reply(p.origin, p.origin_serial, reply->result, reply->data);
    } else {
      Reply(p.origin, p.origin_serial, 0);
    }
  }

  void Route(uint64_t id, const Frame& f) {
    switch (f.kind) {
      case FrameKind::kControl:
        if (f.msg == kControlAcquire) {
          const uint16_t h = Allocate();
          if (h != 0) {
            handles_[h] = HandleInfo{id, f.wparam != 0};
            conns_[id].handles.insert(h);
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
            conns_[id].handles.erase(h);
          }
        }
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
          Log("connection " + std::to_string(id) + " sent from handle " + std::to_string(f.from) +
              " that it was not given: refused");
          if (f.kind != FrameKind::kPost) Reply(id, f.serial, 0);
          return;
        }
        break;
    }
    if (f.kind == FrameKind::kPost) {
      auto h = handles_.find(f.to);
      if (h != handles_.end()) Queue(h->second.conn, f);
      return;
    }
    if (f.kind == FrameKind::kSend) {
      if (!Forward(f, id, f.serial, 0)) Reply(id, f.serial, 0);
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

  int timeout_;
  std::map<uint64_t, Connection> conns_;
  std::map<uint16_t, HandleInfo> handles_;
  std::map<uint32_t, Pending> pending_;
  std::map<uint64_t, BroadcastJob> jobs_;
  uint64_t next_conn_ = 1;
  uint64_t next_job_ = 1;
  uint32_t next_serial_ = 1;
  uint16_t next_handle_ = 1;
};

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
  while (!stopping_.load()) {
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    fds.push_back({listen_fd_, POLLIN, 0});
    fds.push_back({wake_read_, POLLIN, 0});
    for (auto& [id, c] : router.conns()) {
      short events = POLLIN;
      if (!c.out.empty()) events |= POLLOUT;
      fds.push_back({c.fd, events, 0});
      ids.push_back(id);
    }
    const int timeout = router.MsUntilNextDeadline(Clock::now());
    const int n = ::poll(fds.data(), fds.size(), timeout);
    if (n < 0 && errno != EINTR) break;
    if (stopping_.load()) break;

    if (fds[0].revents & POLLIN) {
      for (;;) {
        const int cfd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (cfd < 0) break;
        // The socket's mode keeps other users out only where its directory lets it.
        if (long uid = -1; !PeerIsSameUser(cfd, &uid)) {
          Log("connection from user id " + std::to_string(uid) + ", not this user: refused");
          ::close(cfd);
          continue;
        }
        router.Add(cfd);
      }
    }
    if (fds[1].revents & POLLIN) {
      char drain[16];
      while (::read(wake_read_, drain, sizeof drain) > 0) {
      }
    }
    std::vector<uint64_t> to_close;
    for (size_t i = 0; i < ids.size(); ++i) {
      const uint64_t id = ids[i];
      const short rev = fds[i + 2].revents;
      if (router.conns().count(id) == 0) continue;
      bool keep = true;
      if (rev & (POLLIN | POLLHUP | POLLERR)) {
        const ssize_t got = ::read(router.conns()[id].fd, buf.data(), buf.size());
        if (got > 0) {
          keep = router.OnBytes(id, buf.data(), static_cast<size_t>(got), malformed_);
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
          keep = false;
        }
      }
      if (keep) {
        Connection& c = router.conns()[id];
        if (c.closing) keep = false;
      }
      if (!keep) to_close.push_back(id);
    }
    for (uint64_t id : to_close) router.Close(id);
    router.Expire(Clock::now());
    // Write what is queued, on every connection, as far as each socket takes it now.
    to_close.clear();
    for (auto& [id, c] : router.conns()) {
      size_t off = 0;
      while (off < c.out.size()) {
        const ssize_t w = ::send(c.fd, c.out.data() + off, c.out.size() - off, MSG_NOSIGNAL);
        if (w > 0) {
          off += static_cast<size_t>(w);
        } else {
          if (w < 0 && errno != EAGAIN && errno != EINTR) to_close.push_back(id);
          break;
        }
      }
      c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(off));
      if (c.closing && c.out.empty()) to_close.push_back(id);
    }
    for (uint64_t id : to_close) router.Close(id);
  }
  std::vector<uint64_t> all;
  for (auto& [id, c] : router.conns()) all.push_back(id);
  for (uint64_t id : all) router.Close(id);
}

}  // namespace plat
