// The status dialog's state: the destination and source selected in it, the router and
// destination the poll timer asked last, the save timer's minutes and whether the controller-lock
// button may change locks.
//
// Who may change it: the dialog (ui/status_dialog.cpp) writes all of it; core/ enables the
// controller-lock button from the menu; the link starts the poll again at the first destination
// when it resyncs (link/comsup.cpp). The decoder reads the poll's and the selection's
// destinations to show its answers. Main thread only.
#pragma once

#include <cstdint>

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

}  // namespace xarvel
