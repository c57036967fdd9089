// The saves of the index and lock files: how many went through and failed, per file, when the
// last good one was, and whether the latest attempt of each file failed. Main thread only; the
// counts start at zero with the process and only grow.
#pragma once

#include <array>
#include <cstdint>

namespace xarvel {

// Which file a save wrote; also the `file` label.
enum SaveFile : int { kSaveIndex = 0, kSaveLocks, kSaveFileCount };

// "index", "locks".
inline const char* SaveFileName(SaveFile file) {
  return file == kSaveLocks ? "locks" : "index";
}

struct SaveCounters {
  // Files written whole, and attempts that left the previous file in place, per file.
  std::array<uint64_t, kSaveFileCount> Done{};
  std::array<uint64_t, kSaveFileCount> Failed{};
  // Wall-clock milliseconds since the epoch of the last good save of either file (0: none yet).
  int64_t LastGoodUnixMs = 0;
  // The latest attempt of each file failed; cleared only by a good save of the same file.
  std::array<bool, kSaveFileCount> LastFailed{};
  // Destinations of the routers read as locked at start-up because the lock file ended before
  // their entries (0: the file was whole, or there was none).
  int64_t LockEntriesMissing = 0;
};

// The one set of save counters of the process.
inline SaveCounters& SaveCount() {
  static SaveCounters counters;
  return counters;
}

}  // namespace xarvel
