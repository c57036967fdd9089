#include "platform/bus_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/bus_host.h"
#include "platform/debug_output.h"

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

// A broadcast is answered once every window on the bus has answered (each within the host's
// reply timeout); this only bounds the wait should the host itself stop answering.
constexpr int kBroadcastTimeoutMs = 120000;

int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<long long>(left, 0));
}

}  // namespace

int BusClient::OpenSocket(const std::string& path, std::string* error) {
  auto fail = [error](const std::string& why) {
    if (error != nullptr) *error = why;
    return -1;
  };
  sockaddr_un addr;
  if (!MakeBusAddress(path, addr)) return fail("bus path is empty or too long: " + path);
  if (std::string why; !CheckBusDirectory(path, false, &why)) return fail(why);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int e = errno;
    ::close(fd);
    return fail("no bus at " + path + ": " + std::strerror(e));
  }
  // Whoever listens there could read and answer every message: only our own user's host will do.
  if (long uid = -1; !PeerIsSameUser(fd, &uid)) {
    ::close(fd);
    return fail("the bus host at " + path + " runs as user id " + std::to_string(uid) +
                ", not as this user: refused");
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

std::unique_ptr<BusClient> BusClient::Connect(const std::string& path, std::string* error) {
  const int fd = OpenSocket(path, error);
  if (fd < 0) return nullptr;
  return std::unique_ptr<BusClient>(new BusClient(fd));
}

BusClient::BusClient(int fd) : fd_(fd), read_buffer_(64 * 1024) {}

BusClient::~BusClient() {
  on_disconnect_ = nullptr;
  notifier_.reset();
  Disconnect();
}

void BusClient::Disconnect() {
  if (fd_ < 0) return;
  if (notifier_) {
    notifier_->setEnabled(false);
    // The notifier may be the one whose signal is being handled: delete it later.
    notifier_.release()->deleteLater();
  }
  ::close(fd_);
  fd_ = -1;
  // No reply can come over the lost connection.
  started_.clear();
  // The windows keep their handles: a reconnection claims them back from the new host.
  if (on_disconnect_) {
    // A copy: the handler may replace itself.
    auto handler = on_disconnect_;
    handler();
  }
}

bool BusClient::Write(const Frame& f) {
  if (fd_ < 0) return false;
  std::vector<uint8_t> bytes;
  EncodeFrame(f, bytes);
  size_t off = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(send_timeout_ms_);
  while (off < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n > 0) {
      off += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, MsLeft(deadline)) > 0) continue;
    }
    OutputDebugString("kirn bus: cannot write to the bus host: disconnected\n", LogLevel::kWarning);
    Disconnect();
    return false;
  }
  return true;
}

bool BusClient::ReadAndHandle(int timeout_ms) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  const int ready = ::poll(&p, 1, timeout_ms);
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return true;
  // The frames are taken out of the buffer before any is handled, so a nested read may reuse it.
  uint8_t* buf = read_buffer_.data();
  const ssize_t n = ::read(fd_, buf, read_buffer_.size());
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (n <= 0) {
    Disconnect();
    return false;
  }
  decoder_.Feed(buf, static_cast<size_t>(n));
  for (;;) {
    Frame f;
    std::string error;
    const auto st = decoder_.Next(f, &error);
    if (st == FrameDecoder::Status::kNeedMore) return true;
    if (st == FrameDecoder::Status::kMalformed) {
      OutputDebugString("kirn bus: malformed frame from the host (" + error + "): disconnected\n",
                        LogLevel::kErr);
      Disconnect();
      return false;
    }
    Handle(f);
    if (fd_ < 0) return false;
  }
}

void BusClient::Handle(Frame& f) {
  switch (f.kind) {
    case FrameKind::kReply:
      // A reply nobody waits for any more (its wait timed out) is dropped.
      if (waiting_.count(f.serial) != 0) {
        replies_.push_back(std::move(f));
      } else if (auto it = started_.find(f.serial); it != started_.end()) {
        it->second = std::move(f);
        if (on_started_reply_) on_started_reply_();
      }
      return;
    case FrameKind::kSend:
      Serve(f);
      return;
    case FrameKind::kPost:
      // Posted messages join the event loop's queue (they are not served inside a wait) and
      // stay a peer's messages until delivered: their lParam is a number, never a pointer.
      if (!PostPeerMessage(f.to, f.msg, f.wparam, f.lparam, f.from)) posts_.push_back(std::move(f));
      return;
    case FrameKind::kControl:
      OnControl(f);
      return;
    default:
      return;
  }
}

void BusClient::OnControl(const Frame& f) {
  if (f.msg != kControlGone || !on_gone_) return;
  const auto h = static_cast<Hwnd>(f.wparam);
  // Our own windows are known to be gone already.
  if (std::find(handles_.begin(), handles_.end(), h) != handles_.end()) return;
  auto handler = on_gone_;
  handler(h);
}

void BusClient::Serve(Frame& f) {
  Frame reply;
  reply.kind = FrameKind::kReply;
  reply.serial = f.serial;
  LResult result = 0;
  if (!f.data.empty()) {
    result = DeliverDataMessage(f.to, f.msg, f.wparam, f.data, f.from);
    reply.data = std::move(f.data);
  } else if (IsLocalWindow(f.to)) {
    result = DeliverPeerMessage(f.to, f.msg, f.wparam, f.lparam, f.from);
  }
  reply.result = static_cast<int32_t>(result);
  Write(reply);
}

void BusClient::DeliverPosts() {
  while (!posts_.empty() && waiting_.empty()) {
    Frame f = std::move(posts_.front());
    posts_.pop_front();
    if (IsLocalWindow(f.to)) DeliverPeerMessage(f.to, f.msg, f.wparam, f.lparam, f.from);
  }
}

std::optional<Frame> BusClient::WaitReply(uint32_t serial, int timeout_ms) {
  waiting_.insert(serial);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::optional<Frame> result;
  for (;;) {
    auto it = std::find_if(replies_.begin(), replies_.end(),
                           [serial](const Frame& r) { return r.serial == serial; });
    if (it != replies_.end()) {
      result = std::move(*it);
      replies_.erase(it);
      break;
    }
    const int left = MsLeft(deadline);
    if (fd_ < 0 || left <= 0) break;
    ReadAndHandle(left);
  }
  waiting_.erase(serial);
  return result;
}

Frame BusClient::MessageFrame(FrameKind kind, Hwnd from, Hwnd to, uint32_t msg, WParam w,
                              LParam l) {
  Frame f;
  f.kind = kind;
  f.serial = next_serial_++;
  f.from = SenderHandle(from);
  f.to = to;
  f.msg = msg;
  // Parameters cross the bus as 32-bit values.
  f.wparam = static_cast<int32_t>(w);
  f.lparam = static_cast<int32_t>(l);
  return f;
}

Hwnd BusClient::SenderHandle(Hwnd from) const {
  if (std::find(handles_.begin(), handles_.end(), from) != handles_.end()) return from;
  return handles_.empty() ? kNoWindow : handles_.front();
}

Hwnd BusClient::AcquireHandle(bool top_level) {
  if (fd_ < 0 && attached_) {
    // A program that lives through bus losses keeps making windows meanwhile (a socket of the
    // controller link); they are claimed from the host when it is back.
    const Hwnd h = ProvisionalHandle();
    if (h == kNoWindow) return kNoWindow;
    handles_.push_back(h);
    if (top_level) top_level_.insert(h);
    return h;
  }
  Frame f;
  f.kind = FrameKind::kControl;
  f.serial = next_serial_++;
  f.msg = kControlAcquire;
  f.wparam = top_level ? 1 : 0;
  if (!Write(f)) return kNoWindow;
  auto reply = WaitReply(f.serial, send_timeout_ms_);
  if (!reply || reply->result <= 0 || reply->result >= 0xFFFF) return kNoWindow;
  const auto h = static_cast<Hwnd>(reply->result);
  handles_.push_back(h);
  if (top_level) top_level_.insert(h);
  return h;
}

Hwnd BusClient::ProvisionalHandle() {
  for (int tries = 0; tries < 0x7FFF; ++tries) {
    const Hwnd h = next_provisional_;
    next_provisional_ = static_cast<Hwnd>(h >= 0xFFFE ? 0x8000 : h + 1);
    if (std::find(handles_.begin(), handles_.end(), h) == handles_.end()) return h;
  }
  return kNoWindow;
}

std::vector<Hwnd> BusClient::ClaimHandles() {
  std::vector<Hwnd> lost;
  const std::vector<Hwnd> held = handles_;
  for (Hwnd h : held) {
    Frame f;
    f.kind = FrameKind::kControl;
    f.serial = next_serial_++;
    f.msg = kControlClaim;
    f.wparam = h;
    f.lparam = top_level_.count(h) != 0 ? 1 : 0;
    auto reply = Write(f) ? WaitReply(f.serial, send_timeout_ms_) : std::nullopt;
    if (fd_ < 0) return lost;  // lost again: the next reconnection claims what is left
    if (reply && reply->result == h) continue;
    lost.push_back(h);
    handles_.erase(std::find(handles_.begin(), handles_.end(), h));
    top_level_.erase(h);
  }
  return lost;
}

bool BusClient::Reconnect(const std::string& path, std::string* error, std::vector<Hwnd>* lost) {
  if (fd_ >= 0) return true;
  if (!waiting_.empty()) {
    // A wait further out on the stack still unwinds from the loss: not from in here.
    if (error != nullptr) *error = "a send is still unwinding";
    return false;
  }
  const int fd = OpenSocket(path, error);
  if (fd < 0) return false;
  fd_ = fd;
  decoder_ = FrameDecoder();
  replies_.clear();
  if (attached_) {
    attached_ = false;
    AttachToEventLoop();
  }
  std::vector<Hwnd> refused = ClaimHandles();
  if (lost != nullptr) *lost = std::move(refused);
  if (fd_ < 0) {
    if (error != nullptr) *error = "the bus host closed the connection again";
    return false;
  }
  return true;
}

bool BusClient::WindowExists(Hwnd h) {
  Frame f;
  f.kind = FrameKind::kControl;
  f.serial = next_serial_++;
  f.msg = kControlExists;
  f.wparam = h;
  if (!Write(f)) return false;
  auto reply = WaitReply(f.serial, send_timeout_ms_);
  return reply && reply->result == 1;
}

bool BusClient::SameProcess(Hwnd a, Hwnd b) {
  Frame f;
  f.kind = FrameKind::kControl;
  f.serial = next_serial_++;
  f.msg = kControlSameOwner;
  f.wparam = a;
  f.lparam = b;
  if (!Write(f)) return false;
  auto reply = WaitReply(f.serial, send_timeout_ms_);
  return reply && reply->result == 1;
}

void BusClient::ReleaseHandle(Hwnd h) {
  auto it = std::find(handles_.begin(), handles_.end(), h);
  if (it == handles_.end()) return;
  handles_.erase(it);
  top_level_.erase(h);
  if (fd_ < 0) return;
  Frame f;
  f.kind = FrameKind::kControl;
  f.serial = next_serial_++;
  f.msg = kControlRelease;
  f.wparam = h;
  Write(f);
}

bool BusClient::TooDeep(Hwnd to, uint32_t msg) const {
  if (waiting_.size() < kMaxSendDepth) return false;
  char text[160];
  std::snprintf(text, sizeof text,
                "kirn bus: message %u to window 0x%04x would nest sends %zu deep: answered 0\n",
                msg, static_cast<unsigned>(to), waiting_.size() + 1);
  OutputDebugString(text, LogLevel::kWarning);
  return true;
}

LResult BusClient::Send(Hwnd from, Hwnd to, uint32_t msg, WParam w, LParam l,
                        std::vector<uint8_t>* data) {
  last_send_answered_ = false;
  if (fd_ < 0 || to == kNoWindow) return 0;
  if (TooDeep(to, msg)) {
    if (data != nullptr) data->clear();
    return 0;
  }
  Frame f = MessageFrame(FrameKind::kSend, from, to, msg, w, l);
  if (data != nullptr) {
    if (data->size() > kMaxFrameData) return 0;
    f.data = *data;
  }
  // Without an answer no block comes back: a caller reading an answer reads an empty one.
  if (!Write(f)) {
    if (data != nullptr) data->clear();
    return 0;
  }
  auto reply = WaitReply(f.serial, send_timeout_ms_);
  if (!reply) {
    if (data != nullptr) data->clear();
    return 0;
  }
  last_send_answered_ = true;
  if (data != nullptr) *data = std::move(reply->data);
  return reply->result;
}

bool BusClient::Post(Hwnd from, Hwnd to, uint32_t msg, WParam w, LParam l) {
  return Write(MessageFrame(FrameKind::kPost, from, to, msg, w, l));
}

void BusClient::Broadcast(Hwnd from, uint32_t msg, WParam w, LParam l) {
  if (TooDeep(HWND_BROADCAST, msg)) return;
  const Frame f = MessageFrame(FrameKind::kBroadcast, from, HWND_BROADCAST, msg, w, l);
  if (Write(f)) WaitReply(f.serial, kBroadcastTimeoutMs);
}

uint32_t BusClient::StartSend(Hwnd from, Hwnd to, uint32_t msg, WParam w, LParam l,
                              std::vector<uint8_t> data) {
  if (fd_ < 0 || to == kNoWindow || data.size() > kMaxFrameData) return 0;
  Frame f = MessageFrame(FrameKind::kSend, from, to, msg, w, l);
  f.data = std::move(data);
  const uint32_t serial = f.serial;
  // Kept before the write: a write that loses the connection drops it again.
  started_.emplace(serial, std::nullopt);
  return Write(f) ? serial : 0;
}

uint32_t BusClient::StartBroadcast(Hwnd from, uint32_t msg, WParam w, LParam l) {
  if (fd_ < 0) return 0;
  const Frame f = MessageFrame(FrameKind::kBroadcast, from, HWND_BROADCAST, msg, w, l);
  started_.emplace(f.serial, std::nullopt);
  return Write(f) ? f.serial : 0;
}

std::optional<BusClient::StartedReply> BusClient::TakeReply(uint32_t serial) {
  auto it = started_.find(serial);
  if (it == started_.end() || !it->second) return std::nullopt;
  StartedReply reply{it->second->result, std::move(it->second->data)};
  started_.erase(it);
  return reply;
}

bool BusClient::Awaiting(uint32_t serial) const {
  auto it = started_.find(serial);
  return it != started_.end() && !it->second;
}

void BusClient::Forget(uint32_t serial) {
  started_.erase(serial);
}

void BusClient::Pump(int timeout_ms) {
  if (fd_ >= 0 && ReadAndHandle(timeout_ms)) {
    while (fd_ >= 0) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0 || !ReadAndHandle(0)) break;
    }
  }
  DeliverPosts();
}

void BusClient::AttachToEventLoop() {
  if (fd_ < 0 || notifier_) return;
  attached_ = true;
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this]() { ReadAndHandle(0); });
}

}  // namespace plat
