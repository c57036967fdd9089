#include "tools/mc1000-sim/router_state.h"

#include <algorithm>

namespace mc1000sim {

RouterState::RouterState(const Limits& limits)
    : limits_(limits),
      tally_(static_cast<size_t>(limits.levels) * static_cast<size_t>(limits.dests), 0),
      locks_(static_cast<size_t>(limits.dests), 0) {}

bool RouterState::IsNameNumber(NameKind kind, long n) const {
  return kind == NameKind::kSourceShort || kind == NameKind::kSourceLong ? IsSource(n) : IsDest(n);
}

size_t RouterState::Index(char level, int dest) const {
  return static_cast<size_t>(level - 'A') * static_cast<size_t>(limits_.dests) +
         static_cast<size_t>(dest - 1);
}

int RouterState::Tally(char level, int dest) const {
  return tally_[Index(level, dest)];
}

void RouterState::SetTally(char level, int dest, int source) {
  tally_[Index(level, dest)] = static_cast<uint16_t>(source);
}

int RouterState::Lock(int dest) const {
  return locks_[static_cast<size_t>(dest - 1)];
}

void RouterState::SetLock(int dest, int status) {
  locks_[static_cast<size_t>(dest - 1)] = static_cast<uint8_t>(status);
}

void RouterState::SetName(NameKind kind, int number, std::string name) {
  names_[{kind, number}] = std::move(name);
}

const std::string* RouterState::Name(NameKind kind, int number) const {
  const auto it = names_.find({kind, number});
  return it == names_.end() ? nullptr : &it->second;
}

int RouterState::RoutedCount(char level) const {
  const auto first = tally_.begin() + static_cast<std::ptrdiff_t>(Index(level, 1));
  return static_cast<int>(
      std::count_if(first, first + limits_.dests, [](uint16_t s) { return s != 0; }));
}

int RouterState::LockedCount() const {
  return static_cast<int>(
      std::count_if(locks_.begin(), locks_.end(), [](uint8_t s) { return s != 0; }));
}

}  // namespace mc1000sim
