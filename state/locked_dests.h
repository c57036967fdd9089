// Destinations that the driver profile lists as locked.
//
// Section "Locked_Dests_Router_%c" of the driver profile (letter A..Z for router 0..25) holds
// keys "Locked_01", "Locked_02", ... numbered without gaps; the first missing or empty key ends
// the list. Each value lists destination numbers (control-system numbering) separated by
// commas. The lists only ever add locks to the lock tables; they never clear one. Main thread
// only.
#pragma once

namespace xarvel {

// Longest list value read per key, in characters. A longer value counts up to there; a number
// that the cut splits is ignored whole.
inline constexpr int kMaxLockedListText = 255;
// Keys read per router at most ("Locked_01" .. "Locked_999"); a longer list ends there.
inline constexpr int kMaxLockedListKeys = 999;

// Marks the destinations listed in every router's section as locked (entry 1 in its lock
// table), for destinations 1..the router's destination count; other numbers are skipped. A
// router without a lock table only counts its entries. A router whose list yields nothing gets
// an empty "Locked_01" written when that key is empty or missing, so that a first run leaves a
// section for every router to fill in. Does not set the tables-changed flag and sends nothing.
// Ends with StateUp().LocksChanged (the dialog shows the selected destination afresh). Runs at
// start-up and for the menu command "Reload Locked Dests".
void LoadLockedDestinationsFromDevIni();

// Clears the lock of every destination 1..destination count of the current router (through
// SetLock with its device id; nothing for an undefined router), then StateUp().LocksChanged.
// Does not set the tables-changed flag and sends nothing. Runs for the menu command
// "Unlock All Destinations".
void UnlockAllDestinations();

}  // namespace xarvel
