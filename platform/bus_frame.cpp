#include "platform/bus_frame.h"

#include <cstring>

namespace plat {
namespace {

void Put8(std::vector<uint8_t>& out, uint8_t v) {
  out.push_back(v);
}
void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool KnownKind(uint8_t k) {
  return k >= 1 && k <= 5;
}

}  // namespace

void EncodeFrame(const Frame& f, std::vector<uint8_t>& out) {
  const auto data_len = static_cast<uint32_t>(f.data.size());
  Put32(out, static_cast<uint32_t>(kFrameHeaderSize - 4) + data_len);
  Put8(out, static_cast<uint8_t>(f.kind));
  Put32(out, f.serial);
  Put16(out, f.from);
  Put16(out, f.to);
  Put32(out, f.msg);
  Put32(out, static_cast<uint32_t>(f.wparam));
  Put32(out, static_cast<uint32_t>(f.lparam));
  Put32(out, static_cast<uint32_t>(f.result));
  Put32(out, data_len);
  out.insert(out.end(), f.data.begin(), f.data.end());
}

void FrameDecoder::Feed(const uint8_t* bytes, size_t n) {
  // Drop what has been consumed before the buffer grows, so it never holds more than one
  // partial frame plus the new bytes.
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > 64 * 1024) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes, bytes + n);
}

FrameDecoder::Status FrameDecoder::Next(Frame& out, std::string* error) {
  auto fail = [&](const char* why) {
    broken_ = true;
    if (error != nullptr) *error = why;
    return Status::kMalformed;
  };
  if (broken_) return fail("stream already broken");
  const size_t avail = buffer_.size() - start_;
  if (avail < 4) return Status::kNeedMore;
  const uint8_t* p = buffer_.data() + start_;
  const uint32_t size = Get32(p);
  if (size < kFrameHeaderSize - 4) return fail("frame shorter than its header");
  if (size > kFrameHeaderSize - 4 + kMaxFrameData) return fail("frame longer than 64 KiB of data");
  // The header can be checked as soon as it is in, before the data arrives.
  if (avail >= 5 && !KnownKind(p[4])) return fail("unknown frame kind");
  if (avail >= kFrameHeaderSize) {
    const uint32_t data_len = Get32(p + 29);
    if (data_len != size - (kFrameHeaderSize - 4)) return fail("data length disagrees with size");
  }
  if (avail < 4 + static_cast<size_t>(size)) return Status::kNeedMore;
  out.kind = static_cast<FrameKind>(p[4]);
  out.serial = Get32(p + 5);
  out.from = Get16(p + 9);
  out.to = Get16(p + 11);
  out.msg = Get32(p + 13);
  out.wparam = static_cast<int32_t>(Get32(p + 17));
  out.lparam = static_cast<int32_t>(Get32(p + 21));
  out.result = static_cast<int32_t>(Get32(p + 25));
  const uint32_t data_len = Get32(p + 29);
  out.data.assign(p + kFrameHeaderSize, p + kFrameHeaderSize + data_len);
  start_ += 4 + static_cast<size_t>(size);
  return Status::kFrame;
}

}  // namespace plat
