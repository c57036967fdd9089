// The poll's figures: how long the last full round of every defined router's destinations
// took. Main thread only; zero until the first round is complete.
#pragma once

#include <cstdint>

namespace xarvel {

struct PollCounters {
  // Microseconds of the last full round, from one return of the poll to its first router to the
  // next; 0 before a round has been completed.
  int64_t LastCycleUs = 0;
  // Full rounds completed.
  uint64_t Cycles = 0;
  // Steady-clock microseconds of the latest return to the first router (0: not yet).
  int64_t CycleStartUs = 0;
};

// The one set of poll figures of the process.
inline PollCounters& PollCount() {
  static PollCounters counters;
  return counters;
}

}  // namespace xarvel
