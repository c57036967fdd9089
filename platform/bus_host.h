// The host of the workstation bus: owns the socket, hands out window handles and routes frames
// between the connected processes. It never runs a window procedure and never waits on a peer:
// a send is forwarded and its reply routed back when it comes; a target that is gone, or that
// does not answer within the reply timeout, is answered with 0 on its behalf.
#pragma once

#include <sys/un.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace plat {

// The socket path: $KIRN_BUS, else $XDG_RUNTIME_DIR/kirn-bus.sock, else bus.sock in the
// user's private directory ${TMPDIR:-/tmp}/kirn-<uid> (see CheckBusDirectory).
std::string BusPath();

// For a socket in the user's private directory (the last default of BusPath): creates that
// directory with mode 0700 when `create` is set, and checks that it is a real directory owned by
// this user that no one else may enter. False with `error` saying why otherwise; true for any
// other path, whose place the user chose.
bool CheckBusDirectory(const std::string& path, bool create, std::string* error);

// True when the process at the other end of the connected socket `fd` runs as this process's
// user; otherwise false, with the peer's user id in `uid` when it could be read.
bool PeerIsSameUser(int fd, long* uid);

// Fills `addr` with the Unix-domain address of `path`; false when the path is empty or too long
// for a socket address.
bool MakeBusAddress(const std::string& path, sockaddr_un& addr);

class BusHost {
 public:
  // Connections the host serves at once (more wait to be taken, and are refused after 2 s) and
  // windows one connection may hold; together they leave the handle space (65534) far from
  // exhausted, whatever one process does.
  static constexpr size_t kMaxConnections = 128;
  static constexpr size_t kMaxHandlesPerConnection = 256;

  // Creates the listening socket at `path` with mode 0600 (only the same user may attach; a
  // connection from another user is closed at once). A stale socket file is replaced; a path
  // where another host is listening is refused, and so is a private directory that is not ours.
  // Returns nullptr and sets `error` on failure.
  static std::unique_ptr<BusHost> Listen(const std::string& path, std::string* error);
  ~BusHost();
  BusHost(const BusHost&) = delete;
  BusHost& operator=(const BusHost&) = delete;

  // Runs the routing loop on a thread of its own until Stop() or destruction.
  void Start();
  // Ends the loop (callable from any thread) and waits for it.
  void Stop();
  // How long a send may wait for its target's reply before it is answered with 0 (default 5000).
  // Set before Start().
  void SetReplyTimeoutMs(int ms) { reply_timeout_ms_ = ms; }

  const std::string& path() const { return path_; }
  // Connections closed because they sent a malformed frame (for tests and statistics).
  uint64_t malformed_count() const { return malformed_.load(); }

 private:
  BusHost(int listen_fd, int wake_read, int wake_write, std::string path);
  void Run();

  int listen_fd_;
  int wake_read_;
  int wake_write_;
  std::string path_;
  int reply_timeout_ms_ = 5000;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> malformed_{0};
  std::thread thread_;
};

}  // namespace plat
