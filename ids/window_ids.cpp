#include "ids/window_ids.h"

#include "core/driver.h"
#include "platform/dialog.h"

namespace xarvel {

void Dlg_SetText(int id, std::string_view text) {
  if (Core().MainDialog != plat::kNoWindow) plat::SetDlgItemText(Core().MainDialog, id, text);
}

}  // namespace xarvel
