// The per-router tables: which source feeds each destination (tally), which destinations the
// control system has locked, and which the controller reports as locked; with their accessors.
//
// Tally and lock accessors take a router's device id (the first router with that id is meant);
// the controller-lock accessors and the range checks take the router index 0..25. Setters given
// an unknown router, a number out of range or a missing table do nothing; getters then return
// their absent value. All calls run on the main thread.
#pragma once

#include <string>

namespace xarvel {

// Destinations a table holds; a router's destination count is capped to it.
inline constexpr int kTableDests = 4096;
// Highest source a tally entry can hold; a router's source count is capped to it.
inline constexpr int kMaxSource = 65535;
// A tally entry that names no known source.
inline constexpr int kUnknownSource = 65535;

struct TableState {
  // Set whenever a tally or lock entry changes through a command or a controller reply; the save
  // timer writes the index file when it is set and clears it.
  int TablesChanged = 0;
};

TableState& Tables();
void ResetTables();

// Sizes every defined router from its device profile "DEV_%03d.INI" (section "Database",
// "DatabaseSize_0" sources, "DatabaseSize_1" destinations) and allocates its three tables, all
// zero. Corrects Min_Dest and Max_Dest. Routers without positive sizes get no tables. Returns 1.
int MemoryInit();
// Releases the tables of every router.
void MemoryFree();

// Index of the first router with `device_id`, or -1.
int FindRouter(int device_id);
// 0 <= source <= source count of router `index`.
bool IsValidSource(int index, int source);
// 1 <= dest <= destination count of router `index`.
bool IsValidDest(int index, int dest);

void SetTally(int device_id, int dest, int source);
// The source routed to `dest`, or -1.
int GetTally(int device_id, int dest);
// Stores 1 for a non-zero flag, else 0.
void SetLock(int device_id, int dest, int flag);
// 0 = not locked, other = locked; 0 also when absent.
int GetLock(int device_id, int dest);
// Stores the low 8 bits of `state`.
void SetMC1000Lock(int index, int dest, int state);
// 0..255, or -1.
int GetMC1000Lock(int index, int dest);

}  // namespace xarvel
