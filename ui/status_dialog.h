// The operator's status dialog: the configured routers, the interface and link state, a message
// line, and for the current router its sources and destinations with the route, lock and
// controller lock of the selected destination. The dialog window also owns the five timers.
#pragma once

#include <cstdint>

#include "platform/window.h"

namespace xarvel {

struct DialogState {
  // Destination selected in the dialog (1-based, current router); 1 after initialisation.
  int SelectedDest = -1;
  // Row of the source list = source number; row 0 is the park entry.
  int SelectedSource = -1;
  // Router and destination last interrogated by the poll timer.
  int PollRouter = 0;
  int PollPointer = 0;
  // Minutes counted by the save timer.
  uint32_t SaveTicks = 0;
  // 1 while the dialog's controller-lock button may change locks (menu "Change MC1000 Lock
  // Status", for at most 30 seconds).
  int MC1000LockChange = 0;
};

DialogState& Dlg();
void ResetDialogState();

// Creates the status dialog as a child of the main window and runs its initialisation. Returns
// the dialog window, or 0 when it could not be created.
plat::Hwnd Dialog_Create(plat::Hwnd parent);

// The destination selected in the dialog (control-system numbering), -1 when none.
int Dialog_SelectedDest();

// Refreshes the display of the selected destination.
void Dialog_Update();

// Rebuilds one name list of the current router after a name change, when `device_id` is the
// current router's: the destination list when the high 16 bits of `entry_index` are set, else
// the source list.
void Dialog_RefreshNameLists(int device_id, int32_t entry_index);

}  // namespace xarvel
