#include "state/locked_dests.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "config/location.h"
#include "config/number_scan.h"
#include "config/profile.h"
#include "platform/debug_output.h"
#include "state/router_tables.h"
#include "state/state_upcalls.h"

namespace xarvel {
namespace {

std::string SectionName(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "Locked_Dests_Router_%c", 'A' + index);
  return name;
}

std::string KeyName(int k) {
  char name[24];
  std::snprintf(name, sizeof name, "Locked_%02d", k);
  return name;
}

// Reads one list value, empty when missing. Only its first kMaxLockedListText characters count.
// When the value is longer and the cut falls inside a number, that number's remaining digits
// are dropped with it: "...,1234" cut to "...,12" must not lock destination 12.
std::string ReadList(const std::string& section, const std::string& key, const std::string& file) {
  std::string text = ReadProfileString(section, key, "", kMaxLockedListText + 2, file);
  if (text.size() <= static_cast<size_t>(kMaxLockedListText)) return text;
  const bool cut_inside_piece = text[kMaxLockedListText] != ',';
  text.resize(kMaxLockedListText);
  if (cut_inside_piece) {
    const size_t comma = text.rfind(',');
    text.resize(comma == std::string::npos ? 0 : comma);
    plat::OutputDebugString("Xarvel - " + section + " " + key + " is longer than " +
                                std::to_string(kMaxLockedListText) +
                                " characters - its cut last entry is ignored \n",
                            plat::LogLevel::kWarning);
  }
  return text;
}

// Applies one list value to router `r`: every piece between commas is read as a decimal number
// (no digits reads as 0); numbers 1..destination count are counted and, when the router has a
// lock table, locked. Returns how many were counted.
int ApplyList(std::string_view text, RouterConfig& r) {
  int counted = 0;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view piece = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (piece.empty()) continue;  // consecutive commas count as one
    int dest = 0;
    ScanDecimal(piece, dest);
    if (dest < 1 || dest > r.DestCount) continue;
    ++counted;
    if (static_cast<size_t>(dest) <= r.LockMemory.size()) {
      r.LockMemory[static_cast<size_t>(dest - 1)] = 1;
    }
  }
  return counted;
}

}  // namespace

void LoadLockedDestinationsFromDevIni() {
  plat::OutputDebugString("Xarvel - *** starting LoadLockedDestinationsFromDevIni \n",
                          plat::LogLevel::kInfo);
  // The bare name is resolved by every profile call, as for the other profile keys.
  const std::string path = DriverProfileName();
  for (int i = 0; i < kRouterCount; ++i) {
    RouterConfig& r = Profile().routers[static_cast<size_t>(i)];
    const std::string section = SectionName(i);
    int loaded = 0;
    for (int k = 1; k <= kMaxLockedListKeys; ++k) {
      const std::string text = ReadList(section, KeyName(k), path);
      if (text.empty()) break;
      loaded += ApplyList(text, r);
    }
    if (loaded > 0) {
      char line[96];
      std::snprintf(line, sizeof line, "Xarvel - %d Locked dests read in for Router_%c \n", loaded,
                    'A' + i);
      plat::OutputDebugString(line, plat::LogLevel::kInfo);
    } else if (ReadList(section, "Locked_01", path).empty()) {
      // Leave the section and its first key in the profile for the operator to fill in.
      WriteProfileString(section, "Locked_01", "", path);
    }
  }
  StateUp().LocksChanged();
}

void UnlockAllDestinations() {
  const int index = Profile().CurrentRouter;
  if (index < 0 || index >= kRouterCount) return;
  const RouterConfig& r = Profile().routers[static_cast<size_t>(index)];
  if (r.DeviceId > 0) {
    for (int dest = 1; dest <= r.DestCount; ++dest) SetLock(r.DeviceId, dest, 0);
  }
  StateUp().LocksChanged();
}

}  // namespace xarvel
