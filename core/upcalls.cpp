#include "core/driver.h"
#include "core/main_window.h"
#include "core/wiring.h"
#include "interface/interface_upcalls.h"
#include "protocol/ntp.h"
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
  InterfaceUp().FindLockDest = [](int lock_dest, int& router_index, int& dest) {
    return FindLockDest(lock_dest, router_index, dest);
  };
  InterfaceUp().LockChange = [](int router_index, int dest, int state) {
    MC1000_LockChange(router_index, dest, state);
  };
  StateUp().LocksChanged = [] { Dialog_Update(); };
  DialogUp().ForwardBufferTick = [] { ForwardBufferDispatch(); };
}

}  // namespace xarvel
