#include "link/sockspawn.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "link/channel.h"

namespace xarvel {
namespace {

int MapSocketError(QAbstractSocket::SocketError e) {
  if (e == QAbstractSocket::ConnectionRefusedError) return kSockErrRefused;
  if (e == QAbstractSocket::RemoteHostClosedError) return kSockErrReset;
  if (e == QAbstractSocket::SocketTimeoutError) return kSockErrTimedOut;
  if (e == QAbstractSocket::HostNotFoundError || e == QAbstractSocket::NetworkError) {
    return kSockErrUnreachable;
  }
  return kSockErrOther;
}

// The IPv4 address (host byte order) of a dotted address; false for anything else.
bool ParseDotted(const std::string& host, uint32_t* out) {
  in_addr a{};
  if (::inet_aton(host.c_str(), &a) == 0) return false;
  *out = ntohl(a.s_addr);
  return true;
}

// The system's resolver: the first IPv4 address of a host name.
bool SystemResolve(const std::string& host, uint32_t* out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return false;
  bool found = false;
  for (addrinfo* r = res; r != nullptr && !found; r = r->ai_next) {
    if (r->ai_family == AF_INET && r->ai_addr != nullptr) {
      *out = ntohl(reinterpret_cast<const sockaddr_in*>(r->ai_addr)->sin_addr.s_addr);
      found = true;
    }
  }
  ::freeaddrinfo(res);
  return found;
}

std::mutex& ResolverMutex() {
  static std::mutex m;
  return m;
}

SockSpawn::Resolver& ResolverHook() {
  static SockSpawn::Resolver hook;
  return hook;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// One look-up, shared by the object and its resolver thread; the thread fills in the answer
// and then posts SOCKMSG_LOOKUP to the window that asked.
struct SockSpawn::Lookup {
  uint32_t id = 0;
  std::string host;
  std::mutex m;
  bool found = false;
  uint32_t address = 0;
  // Set (under m) when nobody waits for the answer any more: the thread then posts nothing, so
  // it never touches a window or the window layer after the object (or the program) has gone.
  bool abandoned = false;
};

void SockSpawn::AbandonLookup() {
  if (!lookup_) return;
  {
    const std::lock_guard<std::mutex> lock(lookup_->m);
    lookup_->abandoned = true;
  }
  lookup_.reset();
}

void SockSpawn::SetResolver(Resolver resolver) {
  const std::lock_guard<std::mutex> lock(ResolverMutex());
  ResolverHook() = std::move(resolver);
}

SockSpawn::SockSpawn() : callback_([](SockSpawn&) {}) {}

SockSpawn::~SockSpawn() {
  Close();
  AbandonLookup();
  DestroyOwnWindow();
}

int SockSpawn::Open(const std::string& host, int port) {
  host_name_ = host;
  if (socket_) Close();
  if (QCoreApplication::instance() == nullptr || port < 1 || port > 65535) return -1;

  socket_ = std::make_unique<QTcpSocket>();
  ++generation_;
  connecting_ = false;
  connected_ = false;
  peer_closed_ = false;
  close_posted_ = false;
  read_posted_ = false;
  close_error_ = 0;

  // Signals only post events to the window, so the callback always runs from the message loop
  // and never inside a call the owner is making into the socket.
  QTcpSocket* s = socket_.get();
  QObject::connect(s, &QTcpSocket::connected, s, [this, s] {
    connecting_ = false;
    connected_ = true;
    // Commands are short lines that must leave at once: a second command must not wait for the
    // controller's acknowledgement of the first (which a delayed acknowledgement can hold back
    // for tens of milliseconds).
    s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    PostEvent(FD_CONNECT, 0);
  });
  QObject::connect(s, &QTcpSocket::errorOccurred, s, [this](QAbstractSocket::SocketError e) {
    if (connecting_) {
      connecting_ = false;
      PostEvent(FD_CONNECT, MapSocketError(e));
    } else if (connected_) {
      OnPeerClosed(e == QAbstractSocket::RemoteHostClosedError ? 0 : MapSocketError(e));
    }
  });
  QObject::connect(s, &QTcpSocket::disconnected, s, [this] {
    if (connected_) OnPeerClosed(0);
  });
  QObject::connect(s, &QTcpSocket::readyRead, s, [this] { PostReadIfWaiting(); });

  port_ = port;
  waiting_generation_ = 0;
  if (ParseDotted(host, &address_)) return BeginConnect();

  // A host name: never looked up on this thread, which runs the whole driver. The answer comes
  // back to the window, so there must be one.
  if (!EnsureWindow()) {
    socket_.reset();
    return -1;
  }
  if (cached_at_ms_ != 0 && cached_name_ == host) {
    if (NowMs() - cached_at_ms_ >= kLookupRefreshMs && !lookup_) StartLookup(host);
    if (!cached_found_) return 1;
    address_ = cached_address_;
    return BeginConnect();
  }
  if (!lookup_ || lookup_->host != host) StartLookup(host);
  waiting_generation_ = generation_;
  return 0;
}

// Makes the notification window if there is none; a new one reports connect and close only
// until SetNotify asks for more. False when no window can be made.
bool SockSpawn::EnsureWindow() {
  if (window_ != plat::kNoWindow && plat::IsLocalWindow(window_)) return true;
  window_ = plat::CreateWindow([this](plat::Hwnd h, uint32_t msg, plat::WParam w,
                                      plat::LParam l) { return WindowProc(h, msg, w, l); },
                               false);
  selected_ = FD_CONNECT | FD_CLOSE;
  return window_ != plat::kNoWindow;
}

// Starts the connect of the current socket to address_, in the existing window or a new one.
int SockSpawn::BeginConnect() {
  if (window_ != plat::kNoWindow && plat::IsLocalWindow(window_)) {
    plat::SendMessage(window_, SOCKMSG_CONNECT, 0, event_mask_);
    return 0;
  }
  if (!EnsureWindow()) {
    // Without its window the socket could never report anything: fail instead of going silent.
    socket_.reset();
    return -1;
  }
  StartConnect(FD_CONNECT | FD_CLOSE);
  return 0;
}

void SockSpawn::StartLookup(const std::string& host) {
  AbandonLookup();
  auto lookup = std::make_shared<Lookup>();
  lookup->id = ++lookup_count_;
  lookup->host = host;
  lookup_ = lookup;
  Resolver resolve;
  {
    const std::lock_guard<std::mutex> lock(ResolverMutex());
    resolve = ResolverHook();
  }
  if (!resolve) resolve = SystemResolve;
  const plat::Hwnd window = window_;
  // The thread owns its share of the look-up; an answer for a window that has gone is dropped.
  std::thread([lookup, resolve, window] {
    uint32_t address = 0;
    const bool found = resolve(lookup->host, &address);
    const std::lock_guard<std::mutex> lock(lookup->m);
    lookup->found = found;
    lookup->address = address;
    if (!lookup->abandoned) {
      plat::PostMessage(window, SOCKMSG_LOOKUP, static_cast<plat::WParam>(lookup->id), 0);
    }
  }).detach();
}

void SockSpawn::OnLookupDone(uint32_t id) {
  if (!lookup_ || lookup_->id != id) return;
  const std::shared_ptr<Lookup> done = std::move(lookup_);
  {
    const std::lock_guard<std::mutex> lock(done->m);
    cached_found_ = done->found;
    cached_address_ = done->address;
  }
  cached_name_ = done->host;
  cached_at_ms_ = NowMs();
  // The socket that waited for this answer connects now, unless it has been replaced.
  if (waiting_generation_ == 0 || waiting_generation_ != generation_ || !socket_ ||
      host_name_ != done->host) {
    return;
  }
  waiting_generation_ = 0;
  if (!cached_found_) return;  // as an unresolved name: no connect, no event
  address_ = cached_address_;
  StartConnect(selected_);
}

int SockSpawn::SetNotify(Callback callback, int events) {
  if (!socket_) return 0;
  event_mask_ = events | FD_CONNECT | FD_CLOSE;
  selected_ = event_mask_;
  callback_ = callback ? std::move(callback) : Callback([](SockSpawn&) {});
  // Data that arrived before reads were asked for is offered at once.
  PostReadIfWaiting();
  return 1;
}

int SockSpawn::Send(const void* bytes, int length) {
  if (!socket_ || !connected_ || socket_->state() != QAbstractSocket::ConnectedState) return -1;
  if (length < 0 || (bytes == nullptr && length > 0)) return -1;
  const qint64 n = socket_->write(static_cast<const char*>(bytes), length);
  socket_->flush();
  return static_cast<int>(n);
}

int SockSpawn::Receive(void* buffer, int size) {
  if (!socket_) return -1;
  if (buffer == nullptr) {
    last_error_ = -1;
    return 0;
  }
  if (size <= 0) {
    last_error_ = 0;
    return 0;
  }
  const qint64 n = socket_->read(static_cast<char*>(buffer), size);
  if (n < 0) {
    std::memset(buffer, 0, static_cast<size_t>(size));
    last_error_ = -1;
    return 0;
  }
  last_error_ = 0;
  // Data left over is offered again by another read event.
  PostReadIfWaiting();
  return static_cast<int>(n);
}

void SockSpawn::Close() {
  if (!socket_) return;
  std::unique_ptr<QTcpSocket> s = std::move(socket_);
  s->disconnect();  // no signal of this socket may reach the object any more
  s->abort();
  s.reset();
  connecting_ = false;
  connected_ = false;
  // A socket whose last event was a close or an error (a failed connect) is closed silently: the
  // owner has been told. The last event carries over to the next Open, so a pending connect that
  // is re-opened on every retry is reported closed at most once, not on each retry.
  if (last_event_ == FD_CLOSE || last_error_ != 0) return;
  last_event_ = FD_CLOSE;
  last_error_ = 0;
  Callback cb = callback_;
  cb(*this);
}

plat::LResult SockSpawn::WindowProc(plat::Hwnd, uint32_t msg, plat::WParam w, plat::LParam l) {
  if (msg == SOCKMSG_CONNECT) {
    StartConnect(static_cast<int>(l));
  } else if (msg == SOCKMSG_LOOKUP) {
    OnLookupDone(static_cast<uint32_t>(w));
  } else if (msg == SOCKMSG_EVENT) {
    const auto bits = static_cast<uint32_t>(l);
    OnEvent(static_cast<uint32_t>(w), static_cast<int>(bits & 0xFFFF),
            static_cast<int>(bits >> 16));
  }
  return 0;
}

void SockSpawn::StartConnect(int mask) {
  if (!socket_) return;
  selected_ = mask | FD_CONNECT | FD_CLOSE;
  if (address_ == 0) {
    // 0.0.0.0 stands for "no address". A connect to it would reach whatever listens on this
    // machine; it fails at once instead.
    PostEvent(FD_CONNECT, kSockErrAddrNotAvail);
    return;
  }
  connecting_ = true;
  socket_->connectToHost(QHostAddress(address_), static_cast<quint16>(port_));
  // The system may take minutes to give up on an unanswered connect; report it failed sooner.
  const uint32_t generation = generation_;
  QTimer::singleShot(kConnectTimeoutMs, socket_.get(), [this, generation] {
    if (generation != generation_ || !connecting_) return;
    connecting_ = false;
    PostEvent(FD_CONNECT, kSockErrTimedOut);
  });
}

void SockSpawn::PostEvent(int event, int error) {
  if ((selected_ & event) == 0 || window_ == plat::kNoWindow) return;
  const uint32_t bits =
      static_cast<uint32_t>(event & 0xFFFF) | (static_cast<uint32_t>(error & 0xFFFF) << 16);
  plat::PostMessage(window_, SOCKMSG_EVENT, static_cast<plat::WParam>(generation_),
                    static_cast<plat::LParam>(bits));
}

void SockSpawn::PostReadIfWaiting() {
  if (!socket_ || read_posted_ || close_posted_ || (selected_ & FD_READ) == 0) return;
  if (socket_->bytesAvailable() <= 0) return;
  read_posted_ = true;
  PostEvent(FD_READ, 0);
}

void SockSpawn::OnPeerClosed(int error) {
  if (peer_closed_) return;
  peer_closed_ = true;
  close_error_ = error;
  // What the peer sent before it closed is offered first; the close follows the last read.
  PostReadIfWaiting();
  if (!read_posted_) PostClose();
}

void SockSpawn::PostClose() {
  if (close_posted_) return;
  close_posted_ = true;
  PostEvent(FD_CLOSE, close_error_);
}

void SockSpawn::OnEvent(uint32_t generation, int event, int error) {
  if (!socket_ || generation != generation_) return;  // meant for a socket that is gone
  if (event == FD_READ) read_posted_ = false;
  last_event_ = event;
  last_error_ = error;
  Callback cb = callback_;
  cb(*this);
  // A callback that opened a new connection owns the window now: leave both alone.
  if (generation != generation_) return;
  if (event == FD_CLOSE || (event == FD_CONNECT && error != 0)) {
    Close();
    DestroyOwnWindow();
    return;
  }
  // After the peer closed: once the callback leaves nothing more to offer, report the close.
  if (event == FD_READ && socket_ && peer_closed_ && !read_posted_) PostClose();
}

void SockSpawn::DestroyOwnWindow() {
  if (window_ == plat::kNoWindow) return;
  // A look-up's answer would go to this window: forget it, so that the next Open can ask again.
  AbandonLookup();
  waiting_generation_ = 0;
  const plat::Hwnd w = window_;
  window_ = plat::kNoWindow;
  plat::DestroyWindow(w);
}

// --- A TCP connection as a controller channel. The socket is made on first use; its
// notifications become the channel's events.

namespace {

SockSpawn& SocketOf(Channel& c) {
  if (!c.socket) c.socket = std::make_unique<SockSpawn>();
  return *c.socket;
}

int TcpOpen(Channel& c) {
  return SocketOf(c).Open(c.address, c.port);
}

int TcpListen(Channel& c) {
  Channel* channel = &c;
  return SocketOf(c).SetNotify(
      [channel](SockSpawn& socket) {
        if (!channel->on_event) return;
        const int error = socket.LastError();
        switch (socket.LastEvent()) {
          case FD_CLOSE:
            channel->on_event(*channel, ChannelEvent::kClosed, error);
            break;
          case FD_CONNECT:
            channel->on_event(*channel,
                              error != 0 ? ChannelEvent::kConnectFailed : ChannelEvent::kConnected,
                              error);
            break;
          case FD_READ:
            channel->on_event(*channel, ChannelEvent::kReadable, error);
            break;
          default:
            break;
        }
      },
      FD_READ);
}

void TcpClose(Channel& c) {
  if (c.socket) c.socket->Close();
}

int TcpWrite(Channel& c, const char* bytes, int length) {
  return SocketOf(c).Send(bytes, length);
}

int TcpRead(Channel& c, unsigned char* buffer, int size) {
  if (!c.socket) return 0;
  const int n = c.socket->Receive(buffer, size);
  if (c.socket->LastError() != 0) return -1;
  return n > 0 ? n : 0;
}

void TcpClearError(Channel&) {}

bool TcpGone(Channel&) {
  return false;
}

}  // namespace

const ChannelOps kTcpChannelOps = {TcpOpen, TcpListen,     TcpClose, TcpWrite,
                                   TcpRead, TcpClearError, TcpGone,  false};

}  // namespace xarvel
