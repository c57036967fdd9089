// The operator's status dialog, its commands: creating it, its window procedure, filling its
// lists, and what its buttons and timers do. It shows the configured routers, the interface and
// link state, a message line, and for the current router its sources and destinations with the
// route, lock and controller lock of the selected destination. The dialog window also owns the
// five timers.
//
// Who calls these: core/ (the main window's menu commands and start-up) and the dialog's own
// window procedure; the layers below reach the dialog only through the seams core/ wires (the
// upcalls of interface/, state/). Its state is in ui/dialog_state.h, its control ids in
// ids/window_ids.h.
#pragma once

#include <cstdint>

#include "platform/window.h"

namespace xarvel {

// Creates the status dialog as a child of the main window and runs its initialisation. Returns
// the dialog window, or 0 when it could not be created.
plat::Hwnd Dialog_Create(plat::Hwnd parent);

// The dialog's window procedure (control commands, timers).
plat::LResult DialogProc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l);

// Initialisation when the dialog is created: router rows, lists, stored files, mode, timers 1
// and 2, link fields and flags.
void Dialog_InitDialog();

// Rebuild the source list (row 0 = park entry, row n = source n) or the destination list (row
// n-1 = destination n) of the current router.
void Dialog_FillSources();
void Dialog_FillDests();

// Makes router `menu_id` - 4001 the current router (menu ids 4001..4026).
void Dialog_SelectRouter(int menu_id);

// Take: routes the selected source (the park source for row 0) to the selected destination.
void Dialog_take();
// Lock button: locks or unlocks the selected destination.
void Dialog_LockToggle();
// Controller-lock button: asks the controller to lock (255) an unlocked destination or unlock a
// locked or unknown one, while controller lock changes are enabled.
void Dialog_MC1000Lock();
// Poll timer: interrogates the next destination, walking every defined router from Min_Dest to
// Max_Dest in turn.
void Dialog_PollTick();
// Save timer (once a minute): writes the index file every "SaveDelay" minutes when the tables
// changed.
void Dialog_SaveTick();
// End of the window during which controller locks may be changed (timer 4).
void Dialog_EndLockChange();

// The destination selected in the dialog (control-system numbering), -1 when none.
int Dialog_SelectedDest();

// Refreshes the display of the selected destination.
void Dialog_Update();

// Rebuilds one name list of the current router after a name change, when `device_id` is the
// current router's: the destination list when the high 16 bits of `entry_index` are set, else
// the source list.
void Dialog_RefreshNameLists(int device_id, int32_t entry_index);

}  // namespace xarvel
