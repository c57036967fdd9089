// Frames of the workstation bus, the Unix-domain stream socket over which the processes of one
// workstation exchange window messages.
//
// Little-endian layout: u32 size (bytes after this field), u8 kind, u32 serial, u16 from,
// u16 to, u32 msg, i32 wparam, i32 lparam, i32 result, u32 data_len, then data_len bytes of data
// (at most 64 KiB). A frame whose size disagrees with its data length, whose kind is unknown or
// whose data is too long is malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

enum class FrameKind : uint8_t {
  kSend = 1,       // a message that waits for its reply
  kPost = 2,       // a queued message, no reply
  kReply = 3,      // the answer to a send (or a control request), with the send's serial
  kBroadcast = 4,  // a send to every top-level window; answered once all have answered
  kControl = 5,    // a request to the host itself
};

// Requests of kControl frames (in msg).
inline constexpr uint32_t kControlAcquire = 1;  // wparam: 1 = top-level; reply result: handle
inline constexpr uint32_t kControlRelease = 2;  // wparam: the handle
inline constexpr uint32_t kControlExists = 3;   // wparam: a handle; reply result: 1 = it exists
// wparam: a handle this connection held on an earlier host. Asks for that exact handle again after
// a reconnection (lparam: 1 = top-level); reply result: the handle, or 0 when another connection
// holds it.
inline constexpr uint32_t kControlClaim = 4;
// Host -> client, no reply: the window with handle wparam has gone (released, or its connection
// ended). Sent to every connection, so peers can forget a window that vanished unannounced.
inline constexpr uint32_t kControlGone = 5;
// wparam, lparam: two handles; reply result: 1 = both exist and belong to the same connection.
inline constexpr uint32_t kControlSameOwner = 6;

inline constexpr size_t kFrameHeaderSize = 33;  // the size field included
inline constexpr size_t kMaxFrameData = 64 * 1024;

struct Frame {
  FrameKind kind = FrameKind::kSend;
  uint32_t serial = 0;
  uint16_t from = 0;
  uint16_t to = 0;
  uint32_t msg = 0;
  int32_t wparam = 0;
  int32_t lparam = 0;
  int32_t result = 0;
  std::vector<uint8_t> data;
};

// Appends the encoded frame to `out`. REQUIRES: frame.data.size() <= kMaxFrameData.
void EncodeFrame(const Frame& frame, std::vector<uint8_t>& out);

// Splits a byte stream into frames.
class FrameDecoder {
 public:
  enum class Status { kNeedMore, kFrame, kMalformed };
  void Feed(const uint8_t* bytes, size_t n);
  // Takes the next whole frame out of the fed bytes. After kMalformed the stream cannot be
  // resynchronised; `error` says what was wrong.
  Status Next(Frame& out, std::string* error = nullptr);
  size_t buffered() const { return buffer_.size() - start_; }

 private:
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  bool broken_ = false;
};

}  // namespace plat
