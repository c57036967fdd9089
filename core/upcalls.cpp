#include "core/driver.h"
#include "core/main_window.h"
#include "core/wiring.h"
#include "interface/interface_upcalls.h"
#include "state/state_upcalls.h"
#include "ui/dialog_state.h"
#include "ui/dialog_upcalls.h"
#include "ui/status_dialog.h"

namespace xarvel {

void WireUpcalls() {
  InterfaceUp().Shutdown = [](int save) { Shutdown(save); };
  InterfaceUp().RevertiveSent = [](int dest) {
    if (dest == Dialog_SelectedDest()) Dialog_Update();
  };
  InterfaceUp().LockChangeEnabled = [] { return Dlg().MC1000LockChange != 0; };
  StateUp().LocksChanged = [] { Dialog_Update(); };
  DialogUp().ForwardBufferTick = [] { ForwardBufferDispatch(); };
}

}  // namespace xarvel
