// Fuzz target: requested slot texts and slot numbers fed to the lock infodriver's slot change.
//
// Input: byte 0 chooses the lock destination mapping (even: the driver's own, over two routers;
// odd: every slot maps, so that every request reaches the word and state checks), bytes 1..4 the
// slot number (little-endian), the rest the requested text. Whatever the input, a controller lock
// change may only follow a word containing "MC1000" and a state within 0..255.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "config/profile.h"
#include "core/wiring.h"
#include "interface/lock_infodriver.h"
#include "link/comsup.h"
#include "platform/debug_output.h"

namespace {

struct Seen {
  bool called = false;
  int state = 0;
};

Seen g_seen;

void SetUpOnce() {
  static bool done = false;
  if (done) return;
  done = true;
  // The trace is not the subject here; keep it off standard error.
  plat::SetDebugSink([](std::string_view) {});
  // The lock infodriver's mapping and change reach the driver through the calls up that
  // start-up wires; without them the driver's own mapping would map nothing.
  xarvel::WireLayers();
  auto& routers = xarvel::Profile().routers;
  routers[0].DeviceId = 101;
  routers[0].DestCount = 16;
  routers[0].Min_Dest = 1;
  routers[0].Max_Dest = 16;
  routers[1].DeviceId = 102;
  routers[1].DestCount = 16;
  routers[1].Min_Dest = 1;
  routers[1].Max_Dest = 16;
  routers[1].Offset_Dest = 128;
  // No controller is attached: commands go nowhere, and the link never gives up on them.
  xarvel::Profile().settings.MaxUnACKedRoutesBeforeCommsFail = 1 << 30;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetUpOnce();
  if (size < 5) return 0;
  xarvel::ResetLockInfo();
  xarvel::LockInfoState& s = xarvel::LockInfo();
  if ((data[0] & 1) != 0) {
    s.FindDest = [](int lock_dest, int& router_index, int& dest) {
      router_index = 0;
      dest = lock_dest;
      return 1;
    };
  }
  auto real_change = s.LockChange;
  g_seen = Seen{};
  s.LockChange = [real_change](int router_index, int dest, int state) {
    g_seen.called = true;
    g_seen.state = state;
    real_change(router_index, dest, state);
  };
  int32_t slot = 0;
  std::memcpy(&slot, data + 1, sizeof slot);
  // The text as it arrives from the infodriver: zero-terminated, any bytes before the zero.
  const std::string text(reinterpret_cast<const char*>(data + 5), size - 5);
  if (xarvel::SlotChange(900, slot, text.c_str()) != 1) __builtin_trap();
  if (g_seen.called) {
    const size_t cut = std::min<size_t>(std::strlen(text.c_str()), xarvel::kMaxSlotRequest);
    const std::string request = text.substr(0, cut);
    const size_t start = request.find_first_not_of(" \t\n\v\f\r");
    const std::string word =
        start == std::string::npos
            ? std::string()
            : request.substr(start, request.find_first_of(" \t\n\v\f\r", start) - start);
    if (g_seen.state < 0 || g_seen.state > 255) __builtin_trap();
    if (word.find("MC1000") == std::string::npos) __builtin_trap();
  }
  return 0;
}
