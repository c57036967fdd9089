// The tables that the save loop helper writes for each generation, and the file contents they
// give; shared by the helper and the test that checks its files after a kill.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "config/profile.h"
#include "state/index_files.h"

namespace save_loop {

struct RouterSetup {
  int index;
  int device_id;
  int dests;
};

// Routers A and C; the others have no tables and are stored as zeros.
inline constexpr std::array<RouterSetup, 2> kRouters{{{0, 101, 4096}, {2, 102, 64}}};

// Tally entry (destination d, 1-based) of router `index` in generation g: entry 1 of router A
// holds g itself, so the generation of a file can be read back from its first two bytes.
inline uint16_t Tally(unsigned g, int index, int d) {
  if (index == 0 && d == 1) return static_cast<uint16_t>(g);
  return static_cast<uint16_t>(g * 31u + static_cast<unsigned>(index * 4096 + d));
}

// Lock entry: entries 1..16 of router A hold the bits of g (low bit first).
inline uint8_t Lock(unsigned g, int index, int d) {
  if (index == 0 && d <= 16) return static_cast<uint8_t>((g >> (d - 1)) & 1u);
  return (g + static_cast<unsigned>(index + d)) % 3 == 0 ? 1 : 0;
}

// Fills the tables of the routers in kRouters for generation g.
inline void Fill(unsigned g) {
  for (const RouterSetup& setup : kRouters) {
    xarvel::RouterConfig& r = xarvel::Profile().routers[static_cast<size_t>(setup.index)];
    for (int d = 1; d <= 4096; ++d) {
      const uint16_t t = Tally(g, setup.index, d);
      r.TallyMemory[2 * static_cast<size_t>(d - 1)] = static_cast<uint8_t>(t >> 8);
      r.TallyMemory[2 * static_cast<size_t>(d - 1) + 1] = static_cast<uint8_t>(t & 0xFF);
      r.LockMemory[static_cast<size_t>(d - 1)] = Lock(g, setup.index, d);
    }
  }
}

inline bool IsTableRouter(int index) {
  for (const RouterSetup& setup : kRouters) {
    if (setup.index == index) return true;
  }
  return false;
}

// The complete index and lock file contents of generation g.
inline std::string IndexImage(unsigned g) {
  std::string image(xarvel::kIndexFileBytes, '\0');
  for (int i = 0; i < xarvel::kRouterCount; ++i) {
    if (!IsTableRouter(i)) continue;
    for (int d = 1; d <= 4096; ++d) {
      const uint16_t t = Tally(g, i, d);
      const size_t at = static_cast<size_t>(i) * xarvel::kIndexBlockBytes + 2 * (d - 1);
      image[at] = static_cast<char>(t >> 8);
      image[at + 1] = static_cast<char>(t & 0xFF);
    }
  }
  return image;
}

inline std::string LockImage(unsigned g) {
  std::string image(xarvel::kLockFileBytes, '\0');
  for (int i = 0; i < xarvel::kRouterCount; ++i) {
    if (!IsTableRouter(i)) continue;
    for (int d = 1; d <= 4096; ++d) {
      image[static_cast<size_t>(i) * xarvel::kLockBlockBytes + static_cast<size_t>(d - 1)] =
          static_cast<char>(Lock(g, i, d));
    }
  }
  return image;
}

}  // namespace save_loop
