// A process's connection to the workstation bus: the transport through which its windows reach
// the windows of other processes.
//
// While a send waits for its reply, messages sent to this process's windows are served at once
// (nested, as the message protocol requires); posted messages wait until the loop runs again.
// A send that is not answered within the send timeout (default 5 s), or whose peer or host goes
// away, returns 0. Main thread only.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/bus_frame.h"
#include "platform/window.h"

class QSocketNotifier;

namespace plat {

class BusClient : public Transport {
 public:
  // Sends nested deeper than this (each waiting for its answer while serving the next) are
  // refused: they return 0 at once, with a trace line. Bounds the stack, and stays below the
  // number of waiting sends the host allows one connection.
  static constexpr size_t kMaxSendDepth = 32;

  // Connects to the bus host at `path`. Returns nullptr and sets `error` when no host answers.
  static std::unique_ptr<BusClient> Connect(const std::string& path, std::string* error);
  ~BusClient() override;
  BusClient(const BusClient&) = delete;
  BusClient& operator=(const BusClient&) = delete;

  Hwnd AcquireHandle(bool top_level) override;
  void ReleaseHandle(Hwnd h) override;
  LResult Send(Hwnd from, Hwnd to, uint32_t msg, WParam w, LParam l,
               std::vector<uint8_t>* data) override;
  bool Post(Hwnd from, Hwnd to, uint32_t msg, WParam w, LParam l) override;
  void Broadcast(Hwnd from, uint32_t msg, WParam w, LParam l) override;

  // Sends that do not wait, so that a program may have several in flight at once (one reader of
  // many peers, under one deadline of its own). The frame goes out at once and its reply is kept
  // as it arrives, while the client reads (Pump, or the wait of any Send), until TakeReply takes
  // it. Every started send is answered in the end, by its peer or by the host on the peer's
  // behalf after the host's reply timeout; a lost connection drops them all. A program keeps the
  // number it has started and not yet had answered well below the host's bound of waiting sends
  // per connection (64).
  //
  // StartSend returns the send's serial, or 0 when it could not be sent. A non-empty `data`
  // travels as the block of a data message (the receiver's answer comes back in the reply's).
  uint32_t StartSend(Hwnd from, Hwnd to, uint32_t msg, WParam w, LParam l,
                     std::vector<uint8_t> data = {});
  // The same for a broadcast; its reply comes once every window has answered.
  uint32_t StartBroadcast(Hwnd from, uint32_t msg, WParam w, LParam l);
  struct StartedReply {
    LResult result = 0;
    std::vector<uint8_t> data;
  };
  // The reply of started send `serial` once it has come, taken out (a second call gives
  // nothing); nothing while it has not come, or for a serial not started or forgotten.
  std::optional<StartedReply> TakeReply(uint32_t serial);
  // True while started send `serial` waits for its reply.
  bool Awaiting(uint32_t serial) const;
  // Stops keeping `serial`: its reply, should it come, is dropped.
  void Forget(uint32_t serial);

  // Asks the host whether window `h` exists on the bus (any process's, this one's included),
  // without disturbing the window itself. False when the host does not answer.
  bool WindowExists(Hwnd h);
  // Asks the host whether windows `a` and `b` both exist and belong to one process. False when
  // the host does not answer.
  bool SameProcess(Hwnd a, Hwnd b);

  void SetSendTimeoutMs(int ms) { send_timeout_ms_ = ms; }
  bool connected() const { return fd_ >= 0; }
  // The socket, for a program that waits on it together with other descriptors; -1 while
  // disconnected.
  int fd() const { return fd_; }
  // True when the last Send got an answer (from the peer, or from the host on its behalf);
  // false when it was not sent or no answer came in time.
  bool last_send_answered() const { return last_send_answered_; }

  // Serves incoming messages: waits up to `timeout_ms` for the first, then handles everything
  // already readable. For programs that do not run the Qt event loop.
  void Pump(int timeout_ms);
  // Serves incoming messages from the Qt event loop of the calling thread from now on.
  void AttachToEventLoop();
  // Called once each time the connection to the host is lost. It may run inside a send that
  // was waiting; it must not reconnect from there.
  void SetDisconnectHandler(std::function<void()> handler) { on_disconnect_ = std::move(handler); }
  // Called when the host reports that a window of any process has gone (released, or its
  // process's connection ended). Runs while frames are read, possibly inside a waiting send.
  void SetWindowGoneHandler(std::function<void(Hwnd)> handler) { on_gone_ = std::move(handler); }
  // Called each time the reply of a started send arrives (TakeReply then has it). Runs while
  // frames are read, possibly inside a waiting send: it should only note that it came.
  void SetStartedReplyHandler(std::function<void()> handler) {
    on_started_reply_ = std::move(handler);
  }

  // After a loss: connects to the host at `path` again and claims back every handle this
  // client's windows hold (windows made while disconnected got provisional handles, claimed
  // the same way). Handles another process took meanwhile are given up and returned in `lost`.
  // False (and `error` set) when no host answers; true when already connected. Not to be called
  // from inside a send.
  bool Reconnect(const std::string& path, std::string* error, std::vector<Hwnd>* lost);

 private:
  explicit BusClient(int fd);
  // The socket of a new connection to `path`, or -1 (and `error` set).
  static int OpenSocket(const std::string& path, std::string* error);
  bool Write(const Frame& f);
  // Reads what is available (waiting up to `timeout_ms` for it) and handles every whole frame.
  // Returns false when the connection is lost.
  bool ReadAndHandle(int timeout_ms);
  void Handle(Frame& f);
  void Serve(Frame& f);
  void DeliverPosts();
  void Disconnect();
  // Waits for the reply with `serial`; nothing when the deadline passes or the host goes away.
  std::optional<Frame> WaitReply(uint32_t serial, int timeout_ms);
  Hwnd SenderHandle(Hwnd from) const;
  // True (with a trace line) when a send or broadcast now would nest too deep.
  bool TooDeep(Hwnd to, uint32_t msg) const;
  // A message frame with the next serial, sent from `from` (or this client's first window).
  Frame MessageFrame(FrameKind kind, Hwnd from, Hwnd to, uint32_t msg, WParam w, LParam l);
  // A host notice (a window gone).
  void OnControl(const Frame& f);
  // A handle for a window made while disconnected, claimed once the host is back.
  Hwnd ProvisionalHandle();
  // Claims every held handle from a new host; those refused are removed and returned.
  std::vector<Hwnd> ClaimHandles();

  int fd_ = -1;
  FrameDecoder decoder_;
  // What one read takes from the socket: on the heap, not on the stack of every nesting level.
  std::vector<uint8_t> read_buffer_;
  uint32_t next_serial_ = 1;
  int send_timeout_ms_ = 5000;
  std::vector<Hwnd> handles_;
  std::set<Hwnd> top_level_;  // the held handles of top-level windows
  // Provisional handles come from the upper half; a host starts handing out from the lower.
  Hwnd next_provisional_ = 0x8000;
  bool last_send_answered_ = false;
  bool attached_ = false;  // served from the Qt event loop
  std::function<void(Hwnd)> on_gone_;
  std::function<void()> on_started_reply_;
  std::set<uint32_t> waiting_;
  // Started sends by serial, with their reply once it has come.
  std::map<uint32_t, std::optional<Frame>> started_;
  std::vector<Frame> replies_;  // replies for waits further out on the stack
  std::deque<Frame> posts_;     // posted messages that arrived during a wait
  std::function<void()> on_disconnect_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace plat
