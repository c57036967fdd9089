// S101, the framing Ember+ runs on over TCP: frames that start with 0xFE and end with 0xFF, the
// bytes >= 0xF8 inside escaped as 0xFD and the byte XOR 0x20, a CRC-16 (CCITT, reflected,
// inverted) after the body. A frame carries a keep-alive request or answer, or one packet of an
// EmBER message; a large message is split into several packets (first, middle, last) whose
// payloads the receiver joins.
//
// Without I/O: the decoder is fed bytes as they come and hands back what they completed; the
// encoder turns a message into frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kirn::ember {

struct S101Limits {
  // The unescaped body of one frame (header, payload and CRC).
  size_t max_frame = 64 * 1024;
  // A whole message, its packets joined.
  size_t max_message = 1024 * 1024;
};

// What a fed run of bytes completed.
struct S101Event {
  enum class Kind { kKeepAliveRequest, kKeepAliveResponse, kMessage };
  Kind kind = Kind::kMessage;
  // The joined payload of a message (BER), for kMessage.
  std::vector<uint8_t> payload;
};

// CRC-16/CCITT in its reflected form (polynomial 0x8408, initial value 0xFFFF), not inverted.
uint16_t S101Crc(const uint8_t* data, size_t size, uint16_t crc = 0xFFFF);

class S101Decoder {
 public:
  explicit S101Decoder(const S101Limits& limits = {}) : limits_(limits) {}

  // Feeds received bytes; appends what they completed to `events`. False, with error() set, at
  // the first malformed byte: a byte outside a frame, an escape before a frame's end, a bad CRC,
  // a frame that is not S101 EmBER, a packet out of order, or a frame or message over its limit.
  // Once false, the decoder stays failed (the connection is to be closed).
  bool Feed(const uint8_t* data, size_t size, std::vector<S101Event>* events);

  const std::string& error() const { return error_; }
  bool failed() const { return !error_.empty(); }
  // A message is being joined, or a frame has started and not ended.
  bool busy() const { return in_frame_ || in_message_; }

 private:
  bool Frame(std::vector<S101Event>* events);
  bool Fail(std::string why);

  S101Limits limits_;
  bool in_frame_ = false;
  bool escaped_ = false;
  std::vector<uint8_t> frame_;
  bool in_message_ = false;
  std::vector<uint8_t> message_;
  std::string error_;
};

// Frames of the provider. Payloads are split into packets of at most `max_packet` bytes.
class S101Encoder {
 public:
  static constexpr size_t kDefaultPacket = 4096;
  // The Glow DTD version sent in every packet (minor, major).
  static constexpr uint8_t kGlowMinor = 0x1F;
  static constexpr uint8_t kGlowMajor = 0x02;

  static void KeepAliveRequest(std::vector<uint8_t>* out);
  static void KeepAliveResponse(std::vector<uint8_t>* out);
  // Appends the frames of one message. REQUIRES: max_packet > 0.
  static void Message(const uint8_t* payload, size_t size, std::vector<uint8_t>* out,
                      size_t max_packet = kDefaultPacket);
  static void Message(const std::vector<uint8_t>& payload, std::vector<uint8_t>* out,
                      size_t max_packet = kDefaultPacket) {
    Message(payload.data(), payload.size(), out, max_packet);
  }

 private:
  static void Frame(const uint8_t* body, size_t size, std::vector<uint8_t>* out);
  // One frame of a packet's header and then its payload.
  static void Frame(const uint8_t* head, size_t head_size, const uint8_t* body, size_t size,
                    std::vector<uint8_t>* out);
};

}  // namespace kirn::ember
