#include "tools/kirn/ember/s101.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kirn::ember {
namespace {

constexpr uint8_t kBof = 0xFE;
constexpr uint8_t kEof = 0xFF;
constexpr uint8_t kEscape = 0xFD;
constexpr uint8_t kEscapeXor = 0x20;
constexpr uint8_t kFirstEscaped = 0xF8;

constexpr uint8_t kSlot = 0x00;
constexpr uint8_t kMessageEmber = 0x0E;
constexpr uint8_t kCommandEmber = 0x00;
constexpr uint8_t kCommandKeepAliveRequest = 0x01;
constexpr uint8_t kCommandKeepAliveResponse = 0x02;
constexpr uint8_t kVersion = 0x01;
constexpr uint8_t kFlagFirst = 0x80;
constexpr uint8_t kFlagLast = 0x40;
constexpr uint8_t kFlagEmpty = 0x20;
constexpr uint8_t kDtdGlow = 0x01;

// The CRC of a whole unescaped body with its CRC bytes when both are right.
constexpr uint16_t kGoodResidue = 0xF0B8;

// Writes `b` at `out`, escaped when it must be; returns the position after it.
uint8_t* PutEscaped(uint8_t b, uint8_t* out) {
  if (b >= kFirstEscaped) {
    *out++ = kEscape;
    *out++ = static_cast<uint8_t>(b ^ kEscapeXor);
  } else {
    *out++ = b;
  }
  return out;
}

// The CRC's step over each byte value, so that a byte costs one look-up instead of eight shifts.
constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1);
    }
    table[i] = crc;
  }
  return table;
}
constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

uint16_t S101Crc(const uint8_t* data, size_t size, uint16_t crc) {
  for (size_t i = 0; i < size; ++i) {
    crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ data[i]) & 0xFF]);
  }
  return crc;
}

bool S101Decoder::Fail(std::string why) {
  error_ = std::move(why);
  frame_.clear();
  message_.clear();
  return false;
}

bool S101Decoder::Feed(const uint8_t* data, size_t size, std::vector<S101Event>* events) {
  if (failed()) return false;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    if (!in_frame_) {
      if (b != kBof) return Fail("a byte outside a frame");
      in_frame_ = true;
      escaped_ = false;
      frame_.clear();
      continue;
    }
    if (b == kBof) return Fail("a frame started inside a frame");
    if (b == kEof) {
      if (escaped_) return Fail("an escape at the end of a frame");
      in_frame_ = false;
      if (!Frame(events)) return false;
      continue;
    }
    if (!escaped_ && b < kFirstEscaped) {
      // A run of plain bytes, taken at once.
      // (No further than one byte past the frame's limit, which then fails it.)
      const size_t stop = std::min(size, i + limits_.max_frame + 1 - frame_.size());
      size_t end = i + 1;
      while (end < stop && data[end] < kFirstEscaped) ++end;
      frame_.insert(frame_.end(), data + i, data + end);
      i = end - 1;
      if (frame_.size() > limits_.max_frame) return Fail("a frame over its limit");
      continue;
    }
    if (escaped_) {
      if (b >= kFirstEscaped) return Fail("an escaped byte that needs no escape");
      frame_.push_back(static_cast<uint8_t>(b ^ kEscapeXor));
      escaped_ = false;
    } else if (b == kEscape) {
      escaped_ = true;
      continue;
    } else if (b >= kFirstEscaped) {
      return Fail("an unescaped reserved byte in a frame");
    } else {
      frame_.push_back(b);
    }
    if (frame_.size() > limits_.max_frame) return Fail("a frame over its limit");
  }
  return true;
}

bool S101Decoder::Frame(std::vector<S101Event>* events) {
  if (frame_.size() < 6) return Fail("a frame too short");
  if (S101Crc(frame_.data(), frame_.size()) != kGoodResidue) return Fail("a frame with a bad CRC");
  const size_t body = frame_.size() - 2;
  if (frame_[0] != kSlot || frame_[1] != kMessageEmber) return Fail("a frame that is not EmBER");
  if (frame_[3] != kVersion) return Fail("a frame of an unknown version");
  switch (frame_[2]) {
    case kCommandKeepAliveRequest:
      events->push_back(S101Event{S101Event::Kind::kKeepAliveRequest, {}});
      return true;
    case kCommandKeepAliveResponse:
      events->push_back(S101Event{S101Event::Kind::kKeepAliveResponse, {}});
      return true;
    case kCommandEmber:
      break;
    default:
      return Fail("a frame with an unknown command");
  }
  // slot, message, command, version, flags, DTD, the count of application bytes, those bytes.
  if (body < 7) return Fail("an EmBER packet too short");
  const uint8_t flags = frame_[4];
  if (frame_[5] != kDtdGlow) return Fail("an EmBER packet not of the Glow DTD");
  const size_t app = frame_[6];
  if (body < 7 + app) return Fail("an EmBER packet too short for its header");
  const uint8_t* payload = frame_.data() + 7 + app;
  const size_t length = body - 7 - app;
  if (flags & kFlagFirst) {
    if (in_message_) return Fail("a message started before the last one ended");
    in_message_ = true;
    message_.clear();
  } else if (!in_message_) {
    return Fail("a packet outside a message");
  }
  if ((flags & kFlagEmpty) == 0) {
    if (message_.size() + length > limits_.max_message) return Fail("a message over its limit");
    message_.insert(message_.end(), payload, payload + length);
  }
  if (flags & kFlagLast) {
    in_message_ = false;
    S101Event e;
    e.kind = S101Event::Kind::kMessage;
    e.payload.swap(message_);
    events->push_back(std::move(e));
  }
  return true;
}

void S101Encoder::Frame(const uint8_t* body, size_t size, std::vector<uint8_t>* out) {
  Frame(body, size, nullptr, 0, out);
}

void S101Encoder::Frame(const uint8_t* head, size_t head_size, const uint8_t* body, size_t size,
                        std::vector<uint8_t>* out) {
  const uint16_t crc = static_cast<uint16_t>(~S101Crc(body, size, S101Crc(head, head_size)));
  const uint8_t tail[2] = {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
  // Sized at once: the bytes, their escapes, the CRC (perhaps escaped) and the two flags.
  size_t body_escapes = 0;
  for (size_t i = 0; i < size; ++i) body_escapes += body[i] >= kFirstEscaped;
  size_t escapes = body_escapes;
  for (size_t i = 0; i < head_size; ++i) escapes += head[i] >= kFirstEscaped;
  for (const uint8_t b : tail) escapes += b >= kFirstEscaped;
  const size_t start = out->size();
  out->resize(start + head_size + size + escapes + 4);
  uint8_t* p = out->data() + start;
  *p++ = kBof;
  for (size_t i = 0; i < head_size; ++i) p = PutEscaped(head[i], p);
  if (body_escapes == 0) {
    // Nothing of the body to escape: copied whole.
    if (size > 0) std::memcpy(p, body, size);
    p += size;
  } else {
    for (size_t i = 0; i < size; ++i) p = PutEscaped(body[i], p);
  }
  p = PutEscaped(tail[0], p);
  p = PutEscaped(tail[1], p);
  *p = kEof;
}

void S101Encoder::KeepAliveRequest(std::vector<uint8_t>* out) {
  const uint8_t body[] = {kSlot, kMessageEmber, kCommandKeepAliveRequest, kVersion};
  Frame(body, sizeof body, out);
}

void S101Encoder::KeepAliveResponse(std::vector<uint8_t>* out) {
  const uint8_t body[] = {kSlot, kMessageEmber, kCommandKeepAliveResponse, kVersion};
  Frame(body, sizeof body, out);
}

void S101Encoder::Message(const uint8_t* payload, size_t size, std::vector<uint8_t>* out,
                          size_t max_packet) {
  size_t pos = 0;
  bool first = true;
  do {
    const size_t n = std::min(size - pos, max_packet);
    const bool last = pos + n == size;
    uint8_t flags = 0;
    if (first) flags |= kFlagFirst;
    if (last) flags |= kFlagLast;
    if (n == 0) flags |= kFlagEmpty;
    const uint8_t head[] = {kSlot, kMessageEmber, kCommandEmber, kVersion, flags, kDtdGlow,
                            2,     kGlowMinor,    kGlowMajor};
    Frame(head, sizeof head, payload + pos, n, out);
    pos += n;
    first = false;
  } while (pos < size);
}

}  // namespace kirn::ember
