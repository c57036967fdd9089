#include "ui/status_dialog.h"

namespace xarvel {

DialogState& Dlg() {
  static DialogState state;
  return state;
}

void ResetDialogState() {
  Dlg() = DialogState{};
}

// The status dialog does not exist yet: creating it takes its failure path (start-up goes on
// without it), and nothing is selected.
plat::Hwnd Dialog_Create(plat::Hwnd /*parent*/) {
  return plat::kNoWindow;
}
int Dialog_SelectedDest() {
  return Dlg().SelectedDest;
}
void Dialog_Update() {}
void Dialog_RefreshNameLists(int /*device_id*/, int32_t /*entry_index*/) {}

}  // namespace xarvel
