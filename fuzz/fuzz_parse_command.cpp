// Control-system command texts into the command parser. The first byte chooses simulation, the
// route readings, the name update and the name length; the rest is the command text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_setup.h"
#include "protocol/command_handler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = fuzz_setup::Init();
  (void)ready;
  if (size == 0) return 0;
  xarvel::Settings& s = xarvel::Profile().settings;
  const uint8_t flags = data[0];
  s.Simulation = flags & 1;
  s.SourceToDest = (flags >> 1) & 1;
  s.DestToSource = (flags >> 2) & 1;
  s.UpdateMC1000DatabaseNames = (flags >> 3) & 1;
  s.NameLength = (flags & 16) != 0 ? 12 : 8;
  s.UpdateDestDatabase = 1;
  xarvel::Kapi().DriverMode = (flags & 32) != 0 ? xarvel::IFMODE_RXONLY : xarvel::IFMODE_TXRX;
  xarvel::ParseCommand(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  fuzz_setup::EndOfInput();
  return 0;
}
