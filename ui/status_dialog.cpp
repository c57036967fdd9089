#include "ui/status_dialog.h"

namespace xarvel {

// The status dialog does not exist yet: creating it takes its failure path (start-up goes on
// without it), and nothing is selected.
plat::Hwnd Dialog_Create(plat::Hwnd /*parent*/) {
  return plat::kNoWindow;
}
int Dialog_SelectedDest() {
  return -1;
}
void Dialog_RefreshSelection() {}

}  // namespace xarvel
