// The emulated controller's memory: which source feeds each destination on every level, the
// lock status of each destination number, and the names written to sources and destinations.
// Numbers here are controller numbers, exactly as they travel on the wire.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace mc1000sim {

// The size of the emulated router.
struct Limits {
  int levels = 26;     // levels 'A' .. 'A' + levels - 1; 1..26
  int dests = 4096;    // destinations 1..dests on every level; also the lock numbers
  int sources = 4096;  // sources 0..sources (0 is a valid, "parked" source)
};

// Largest value accepted for Limits::dests and Limits::sources (tally entries are 16 bits).
constexpr int kMaxNumber = 65535;

// Which name table a name write goes to.
enum class NameKind { kSourceShort, kSourceLong, kDestShort, kDestLong };

class RouterState {
 public:
  // REQUIRES: 1 <= levels <= 26, 1 <= dests <= kMaxNumber, 1 <= sources <= kMaxNumber.
  explicit RouterState(const Limits& limits);
  RouterState(const RouterState&) = delete;
  RouterState& operator=(const RouterState&) = delete;

  const Limits& limits() const { return limits_; }

  bool IsLevel(char letter) const { return letter >= 'A' && letter < 'A' + limits_.levels; }
  bool IsDest(long n) const { return n >= 1 && n <= limits_.dests; }
  bool IsSource(long n) const { return n >= 0 && n <= limits_.sources; }
  // Source numbers for source names, destination numbers for destination names.
  bool IsNameNumber(NameKind kind, long n) const;

  // The source feeding `dest` on `level`; 0 until something has been routed there.
  // REQUIRES: IsLevel(level), IsDest(dest).
  int Tally(char level, int dest) const;
  // REQUIRES: IsLevel(level), IsDest(dest), IsSource(source).
  void SetTally(char level, int dest, int source);

  // Lock status of a destination number, 0 (unlocked) .. 255. REQUIRES: IsDest(dest).
  int Lock(int dest) const;
  // REQUIRES: IsDest(dest), 0 <= status <= 255.
  void SetLock(int dest, int status);

  // REQUIRES: IsNameNumber(kind, number).
  void SetName(NameKind kind, int number, std::string name);
  // The stored name, or nullptr when none was written.
  const std::string* Name(NameKind kind, int number) const;

  // Figures for the operator's status summary.
  int RoutedCount(char level) const;  // destinations of `level` fed by a source other than 0
  int LockedCount() const;            // destinations with a non-zero lock status
  size_t NameCount() const { return names_.size(); }

 private:
  size_t Index(char level, int dest) const;

  Limits limits_;
  std::vector<uint16_t> tally_;  // levels x dests, destination 1 first
  std::vector<uint8_t> locks_;   // dests, destination 1 first
  std::map<std::pair<NameKind, int>, std::string> names_;
};

}  // namespace mc1000sim
