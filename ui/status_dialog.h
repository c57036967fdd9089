// The operator's status dialog.
#pragma once

#include "platform/window.h"

namespace xarvel {

// Creates the status dialog as a child of the main window and runs its initialisation. Returns
// the dialog window, or 0 when it could not be created.
plat::Hwnd Dialog_Create(plat::Hwnd parent);

// The destination selected in the dialog (control-system numbering), -1 when none.
int Dialog_SelectedDest();

// Refreshes the display of the selected destination.
void Dialog_RefreshSelection();

}  // namespace xarvel
