// A bus peer that writes frames by hand, for tests of what a careless or hostile process may do:
// it takes handles, sends and posts whatever it likes, and reads the frames the host gives it.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/bus_frame.h"

namespace testing_support {

class RawBusPeer {
 public:
  explicit RawBusPeer(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~RawBusPeer() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawBusPeer(const RawBusPeer&) = delete;
  RawBusPeer& operator=(const RawBusPeer&) = delete;

  int fd() const { return fd_; }
  bool connected() const { return fd_ >= 0; }

  bool Write(const plat::Frame& f) {
    std::vector<uint8_t> bytes;
    plat::EncodeFrame(f, bytes);
    return WriteBytes(bytes);
  }
  bool WriteBytes(const std::vector<uint8_t>& bytes) {
    size_t off = 0;
    while (fd_ >= 0 && off < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n <= 0) {
        closed_ = true;
        return false;
      }
      off += static_cast<size_t>(n);
    }
    return fd_ >= 0;
  }

  // The next frame from the host within `timeout_ms`; nothing on timeout or a closed connection.
  std::optional<plat::Frame> Read(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      plat::Frame f;
      if (decoder_.Next(f) == plat::FrameDecoder::Status::kFrame) return f;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (fd_ < 0 || left <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buf[4096];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) {
        closed_ = true;
        return std::nullopt;
      }
      decoder_.Feed(buf, static_cast<size_t>(n));
    }
  }
  // The reply with `serial`, skipping other frames; nothing on timeout.
  std::optional<plat::Frame> ReadReply(uint32_t serial, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      auto f = Read(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         deadline - std::chrono::steady_clock::now())
                                         .count()));
      if (!f) return std::nullopt;
      if (f->kind == plat::FrameKind::kReply && f->serial == serial) return f;
    }
    return std::nullopt;
  }
  bool closed() const { return closed_; }

  // Asks the host for a handle; 0 when refused or unanswered.
  uint16_t Acquire(bool top_level = true) {
    plat::Frame f;
    f.kind = plat::FrameKind::kControl;
    f.serial = next_serial_++;
    f.msg = plat::kControlAcquire;
    f.wparam = top_level ? 1 : 0;
    if (!Write(f)) return 0;
    auto r = ReadReply(f.serial, 5000);
    return r ? static_cast<uint16_t>(r->result) : 0;
  }
  bool Exists(uint16_t h) {
    plat::Frame f;
    f.kind = plat::FrameKind::kControl;
    f.serial = next_serial_++;
    f.msg = plat::kControlExists;
    f.wparam = h;
    if (!Write(f)) return false;
    auto r = ReadReply(f.serial, 5000);
    return r && r->result == 1;
  }
  // A message frame from `from` to `to`; returns its serial.
  uint32_t Message(plat::FrameKind kind, uint16_t from, uint16_t to, uint32_t msg, int32_t w,
                   int32_t l) {
    plat::Frame f;
    f.kind = kind;
    f.serial = next_serial_++;
    f.from = from;
    f.to = to;
    f.msg = msg;
    f.wparam = w;
    f.lparam = l;
    Write(f);
    return f.serial;
  }

 private:
  int fd_ = -1;
  bool closed_ = false;
  uint32_t next_serial_ = 1;
  plat::FrameDecoder decoder_;
};

}  // namespace testing_support
