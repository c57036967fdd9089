#include "ids/window_ids.h"

#include "platform/dialog.h"

namespace xarvel {

CoreState& Core() {
  static CoreState state;
  return state;
}

void ResetCore() {
  Core() = CoreState{};
}

void Dlg_SetText(int id, std::string_view text) {
  if (Core().MainDialog != plat::kNoWindow) plat::SetDlgItemText(Core().MainDialog, id, text);
}

}  // namespace xarvel
