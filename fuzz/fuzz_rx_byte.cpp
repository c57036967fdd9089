// Controller bytes into the reply receiver, as the link hands them over. Then, when the input's
// first reply is more than the receiver can take whole (32 bytes or more before the first carriage
// return), the same bytes straight into the decoder, which reaches replies longer than the buffer
// and more entries than one reply can hold. The direct pass runs in RX-only mode without lock
// polling: the revertives and lock polls of route reports are the receiver pass's to cover, the
// decoding is what the direct pass is for. The receiver pass runs with the trace off; the direct
// pass formats every trace line when the input's first byte is odd, so the formatting of fuzzed
// text stays covered without paying for it on every input. Lock destinations are looked up through
// lock status replies (".BA"), whose numbers reach the whole range of int.
//
// Inputs are kept to 96 bytes (fuzz_rx_byte.flags): room for thirteen short entries, one more
// than a reply may hold, and for entries longer than an entry may be.
//
// The driver's state is set up once. After each input the state the decoder changed is put
// back: the receiver, the link counters and state and the driver's mode always; the tally
// entries only when a route report changed one (the decoder then marks the tables changed) and
// the MC1000 lock entries only when the input holds a lock status reply ("BA"), rather than
// some 12 KB of tables on every input.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz_setup.h"

namespace {

struct Saved {
  int com_state = 0;
  int active_controller = 0;
  int driver_mode = 0;
  // Per router: the first byte of its valid destinations in the tables, and their bytes.
  std::array<size_t, xarvel::kRouterCount> from{};
  std::array<std::vector<uint8_t>, xarvel::kRouterCount> tally;
  std::array<std::vector<uint8_t>, xarvel::kRouterCount> mc1000_lock;
};

// The bytes of destinations Min_Dest..Max_Dest of `table` (`width` bytes an entry, destination 1
// first), as a range [first, last).
std::pair<size_t, size_t> DestBytes(const xarvel::RouterConfig& r, const std::vector<uint8_t>& t,
                                    size_t width) {
  const size_t first = std::min(t.size(), static_cast<size_t>(std::max(r.Min_Dest, 1) - 1) * width);
  const size_t last =
      std::clamp(static_cast<size_t>(std::max(r.Max_Dest, 0)) * width, first, t.size());
  return {first, last};
}

const Saved& Start() {
  static const Saved saved = [] {
    fuzz_setup::Init();
    Saved s;
    s.com_state = xarvel::Link().ComState;
    s.active_controller = xarvel::Link().ActiveController;
    s.driver_mode = xarvel::Kapi().DriverMode;
    const auto& routers = xarvel::Profile().routers;
    for (size_t i = 0; i < routers.size(); ++i) {
      const auto& r = routers[i];
      if (r.DeviceId == 0) continue;
      const auto [tf, tl] = DestBytes(r, r.TallyMemory, 2);
      s.from[i] = tf;
      s.tally[i].assign(r.TallyMemory.begin() + static_cast<ptrdiff_t>(tf),
                        r.TallyMemory.begin() + static_cast<ptrdiff_t>(tl));
      const auto [lf, ll] = DestBytes(r, r.MC1000LockMemory, 1);
      s.mc1000_lock[i].assign(r.MC1000LockMemory.begin() + static_cast<ptrdiff_t>(lf),
                              r.MC1000LockMemory.begin() + static_cast<ptrdiff_t>(ll));
    }
    return s;
  }();
  return saved;
}

// Puts back what one input changed; `lock_status` says whether it could have changed a lock.
void Restore(const Saved& s, bool lock_status) {
  xarvel::NTP_ResetReceiver();
  xarvel::LinkState& link = xarvel::Link();
  link.UnAckedCount = 0;
  // The lock polls a report asks for wait in the queue of a link that is not open.
  xarvel::Supervisor().Window.ClearQueue();
  link.ComState = s.com_state;
  link.ActiveController = s.active_controller;
  xarvel::Kapi().DriverMode = s.driver_mode;
  const bool tally = xarvel::Tables().TablesChanged != 0;
  xarvel::Tables().TablesChanged = 0;
  if (!tally && !lock_status) return;
  auto& routers = xarvel::Profile().routers;
  for (size_t i = 0; i < routers.size(); ++i) {
    auto& r = routers[i];
    if (r.DeviceId == 0) continue;
    if (tally) {
      std::copy(s.tally[i].begin(), s.tally[i].end(),
                r.TallyMemory.begin() + static_cast<ptrdiff_t>(s.from[i]));
    }
    if (lock_status) {
      std::copy(s.mc1000_lock[i].begin(), s.mc1000_lock[i].end(),
                r.MC1000LockMemory.begin() + static_cast<ptrdiff_t>(s.from[i] / 2));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Saved& saved = Start();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  xarvel::Debug().DebugMode = 0;
  xarvel::NTP_RxBytes(data, size);
  // The decoder reads a reply up to its first carriage return. When that comes within the
  // receiver's buffer, the receiver has just decoded that reply as it stands; the direct pass is
  // for first replies the receiver cannot take whole.
  if (std::min(text.find('\r'), size) >= xarvel::kReplyBufferSize) {
    xarvel::Debug().DebugMode = size > 0 && (data[0] & 1) != 0 ? 1 : 0;
    xarvel::Kapi().DriverMode = xarvel::IFMODE_RXONLY;
    int& poll = xarvel::Profile().settings.PollForMC1000LockStatus;
    const int polling = poll;
    poll = 0;
    xarvel::NTP_Decode(text);
    poll = polling;
  }
  Restore(saved, text.find("BA") != std::string_view::npos);
  return 0;
}
