// Fuzz target: the bus frame reader, fed a byte stream in pieces of the sizes the input chooses.
//
// Input: byte 0 seeds the piece sizes (1..16 bytes, or the rest at once), the rest is the stream.
// Whatever the input: a frame taken out carries at most 64 KiB of data and encodes back to the
// bytes it came from; after a malformed frame the reader stays broken; nothing is taken from
// bytes that were never fed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/bus_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t seed = data[0];
  const uint8_t* stream = data + 1;
  const size_t length = size - 1;
  plat::FrameDecoder decoder;
  size_t fed = 0;
  size_t taken = 0;  // bytes of the stream that frames came from
  bool broken = false;
  unsigned step = seed;
  while (fed < length) {
    step = step * 33 + 7;
    size_t piece = seed == 0 ? length - fed : 1 + step % 16;
    if (piece > length - fed) piece = length - fed;
    decoder.Feed(stream + fed, piece);
    fed += piece;
    for (;;) {
      plat::Frame frame;
      const auto status = decoder.Next(frame);
      if (status == plat::FrameDecoder::Status::kNeedMore) break;
      if (status == plat::FrameDecoder::Status::kMalformed) {
        broken = true;
        break;
      }
      if (broken) std::abort();  // a frame after a malformed one
      if (frame.data.size() > plat::kMaxFrameData) std::abort();
      std::vector<uint8_t> encoded;
      plat::EncodeFrame(frame, encoded);
      if (taken + encoded.size() > fed) std::abort();
      // The kind, handles, numbers and data read back exactly; the size field is derived.
      for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != stream[taken + i]) std::abort();
      }
      taken += encoded.size();
    }
    if (broken) break;
  }
  if (broken) {
    plat::Frame frame;
    decoder.Feed(data, size);
    if (decoder.Next(frame) != plat::FrameDecoder::Status::kMalformed) std::abort();
  } else if (taken + decoder.buffered() != fed) {
    std::abort();
  }
  return 0;
}
