// Controller bytes into the reply receiver, then the same bytes straight into the decoder (which
// reaches replies longer than the receiver's buffer and more entries than one reply can hold).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_setup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = fuzz_setup::Init();
  (void)ready;
  xarvel::NTP_ResetReceiver();
  for (size_t i = 0; i < size; ++i) xarvel::NTP_RxByte(data[i]);
  xarvel::NTP_Decode(std::string_view(reinterpret_cast<const char*>(data), size));
  int index = 0;
  int dest = 0;
  if (size >= 4) {
    int32_t n = 0;
    for (size_t i = 0; i < 4; ++i)
      n = static_cast<int32_t>((static_cast<uint32_t>(n) << 8) | data[i]);
    xarvel::FindLockDest(n, index, dest);
  }
  fuzz_setup::EndOfInput();
  return 0;
}
