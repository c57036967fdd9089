// SockSpawn: a TCP client connection whose network events reach a callback on the main thread.
//
// Each object owns at most one socket and one hidden window. Network events (connect completed
// with its error code, data to read, connection closed) are posted to that window as
// SOCKMSG_EVENT; its procedure stores the event in the object and calls the callback. Everything
// runs on the thread that owns the windows; nothing blocks: a host name is looked up on a
// resolver thread whose answer comes back to the window, and the connect starts then.
//
// Event rules the owner can rely on:
// - A connect is reported once, with error 0 (connected) or the error code (then the socket is
//   closed silently and the window destroyed: no close event follows).
// - A read event is reported again while unread data remains after the callback has read some,
//   so a callback may take as little as one byte per event. Data that arrived before the peer
//   closed is offered through read events before the close is reported.
// - A close is reported exactly once per connection: when the peer closes (the window then
//   closes the socket and is destroyed), or synchronously inside Close() / Open() when the owner
//   closes a socket whose last event was neither a close nor an error. The last event carries
//   over from one Open to the next, so a pending connect re-opened on every retry is reported
//   closed at most once, not once per retry.
// - Address 0.0.0.0 means "no address": its connect fails at once (kSockErrAddrNotAvail) and
//   never reaches a local listener.
//
// The callback may call back into the object (Receive, Close, Open).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/window.h"

class QTcpSocket;

namespace xarvel {

// Event bits.
inline constexpr int FD_READ = 1;
inline constexpr int FD_CONNECT = 16;
inline constexpr int FD_CLOSE = 32;

// Messages between the object and its hidden window.
inline constexpr uint32_t SOCKMSG_EVENT = 1025;    // lParam: event | error << 16
inline constexpr uint32_t SOCKMSG_CONNECT = 1026;  // lParam: event mask; starts the connect
inline constexpr uint32_t SOCKMSG_LOOKUP = 1027;   // wParam: look-up number; its answer is in

// Error codes reported with events (errno values).
inline constexpr int kSockErrRefused = 111;      // ECONNREFUSED
inline constexpr int kSockErrTimedOut = 110;     // ETIMEDOUT
inline constexpr int kSockErrUnreachable = 113;  // EHOSTUNREACH
inline constexpr int kSockErrReset = 104;        // ECONNRESET
inline constexpr int kSockErrOther = 5;          // EIO
inline constexpr int kSockErrAddrNotAvail = 99;  // EADDRNOTAVAIL (connect to 0.0.0.0)

class SockSpawn {
 public:
  using Callback = std::function<void(SockSpawn&)>;

  // No socket, no window, event mask FD_CONNECT | FD_CLOSE, a callback that does nothing.
  SockSpawn();
  // Closes the socket (reporting the close, as Close does) and destroys the window.
  ~SockSpawn();
  SockSpawn(const SockSpawn&) = delete;
  SockSpawn& operator=(const SockSpawn&) = delete;

  // Starts a connection to `host` (dotted IPv4 address or host name) on `port`; an existing
  // connection is closed first (and reported closed). Returns 0 when the connect has started
  // (its outcome arrives as a connect event); 1 when the host name cannot be resolved (the new
  // socket stays, unconnected, and no event will come); -1 when no socket or notification window
  // could be made, or the port is outside 1..65535.
  //
  // A dotted address is used at once. A host name is looked up on a resolver thread: the first
  // Open of a name returns 0 and connects when the answer comes (a name that does not resolve
  // then leaves the socket unconnected, without an event, as for 1 above); later Opens of the
  // same name use the last answer at once (returning 1 when it was "not found") and refresh it
  // in the background when it is older than kLookupRefreshMs. At most one look-up per object
  // runs at a time.
  int Open(const std::string& host, int port);

  // Resolves a host name to an IPv4 address (host byte order); runs on a resolver thread. The
  // default asks the system's resolver. Tests install a stand-in; an empty function restores
  // the default.
  using Resolver = std::function<bool(const std::string& host, uint32_t* address)>;
  static void SetResolver(Resolver resolver);

  // Installs the callback and reports `events` from now on (FD_CONNECT and FD_CLOSE are always
  // reported). Returns 1, or 0 when there is no socket.
  int SetNotify(Callback callback, int events);

  // Sends `length` bytes. Returns the number accepted, or -1 when there is no connected socket or
  // the send failed.
  int Send(const void* bytes, int length);

  // Takes up to `size` received bytes. Returns the count (0 when nothing is waiting or the peer
  // has closed and everything was read); 0 with LastError() == -1 on a receive error (the buffer
  // is then zero-filled); -1 when there is no socket.
  int Receive(void* buffer, int size);

  // Closes the socket. Unless the last event was a close or an error, the callback is told of
  // a close at once, before Close returns. Without a socket it does
  // nothing. The window stays and a later Open reuses it.
  void Close();

  // The event being (or last) reported: FD_READ, FD_CONNECT or FD_CLOSE.
  int LastEvent() const { return last_event_; }
  // The error reported with it (0 = none); -1 after a failed Receive, 0 after a good one.
  int LastError() const { return last_error_; }
  bool HasSocket() const { return socket_ != nullptr; }
  // The hidden notification window, 0 when there is none.
  plat::Hwnd Window() const { return window_; }
  int EventMask() const { return event_mask_; }
  const std::string& HostName() const { return host_name_; }
  // The IPv4 address (host byte order) and port of the last Open.
  uint32_t Address() const { return address_; }
  int Port() const { return port_; }

  // How long a connect may take before it is reported failed with kSockErrTimedOut.
  static constexpr int kConnectTimeoutMs = 10000;
  // Age after which a remembered look-up answer is asked for again.
  static constexpr int kLookupRefreshMs = 5000;

 private:
  plat::LResult WindowProc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l);
  void StartConnect(int mask);
  void PostEvent(int event, int error);
  void PostReadIfWaiting();
  void PostClose();
  void OnPeerClosed(int error);
  void OnEvent(uint32_t generation, int event, int error);
  void DestroyOwnWindow();
  int BeginConnect();
  bool EnsureWindow();
  void StartLookup(const std::string& host);
  void AbandonLookup();
  void OnLookupDone(uint32_t id);

  struct Lookup;

  Callback callback_;
  int last_event_ = 0;
  int last_error_ = 0;
  plat::Hwnd window_ = plat::kNoWindow;
  std::unique_ptr<QTcpSocket> socket_;
  uint32_t address_ = 0;
  int port_ = 0;
  int event_mask_ = FD_CONNECT | FD_CLOSE;
  // Events the current window reports (the mask of the last connect or SetNotify).
  int selected_ = FD_CONNECT | FD_CLOSE;
  std::string host_name_;

  // Tells apart the sockets of successive Opens, so that an event posted for an earlier socket
  // is never taken for the current one.
  uint32_t generation_ = 0;
  bool connecting_ = false;
  bool connected_ = false;
  bool peer_closed_ = false;
  bool close_posted_ = false;
  bool read_posted_ = false;
  int close_error_ = 0;

  // The look-up under way (null when none), and the last answer for a host name.
  std::shared_ptr<Lookup> lookup_;
  uint32_t lookup_count_ = 0;
  // The socket generation that waits for the look-up's answer to connect (0 = none).
  uint32_t waiting_generation_ = 0;
  std::string cached_name_;
  bool cached_found_ = false;
  uint32_t cached_address_ = 0;
  int64_t cached_at_ms_ = 0;
};

}  // namespace xarvel
