#include "core/wiring.h"

#include <string>

#include "config/location.h"
#include "config/profile.h"
#include "ids/window_ids.h"
#include "interface/kapisup.h"
#include "interface/lock_infodriver.h"
#include "interface/messages.h"
#include "link/link_wiring.h"
#include "platform/dialog.h"
#include "platform/msgbox.h"
#include "platform/window.h"
#include "protocol/ntp.h"
#include "protocol/protocol_wiring.h"
#include "state/router_tables.h"
#include "tracing/debug.h"
#include "ui/dialog_state.h"
#include "ui/status_dialog.h"

namespace xarvel {
namespace {

// --- What the link tells the layers above.

int DialogField(LinkField field) {
  switch (field) {
    case LinkField::kStatusA:
      return IDC_LINK_STATUS;
    case LinkField::kStatusB:
      return IDC_LINK_STATUS2;
    case LinkField::kMessage:
      return IDC_MESSAGE;
    case LinkField::kActiveController:
      return IDC_ACTIVE_CONTROLLER;
    case LinkField::kResetsA:
      return IDC_RESETS_A;
    case LinkField::kResetsB:
      return IDC_RESETS_B;
    case LinkField::kAnswer:
      return IDC_ANSWER;
  }
  return 0;
}

// The mode and the poll follow the link's verdicts.
int FollowVerdict(LinkVerdict verdict) {
  switch (verdict) {
    case LinkVerdict::kStarted:
      Dlg().PollPointer = 0;
      return 0;
    case LinkVerdict::kOk:
      Dlg().PollRouter = Profile().CurrentRouter;
      Dlg().PollPointer = 0;
      return 0;
    case LinkVerdict::kTxRxRestored:
      return KAPISup_LinkReturn();
    case LinkVerdict::kRxOnly:
      KAPISup_LinkRxOnly();
      return 0;
  }
  return 0;
}

bool LinkTimer(unsigned ms) {
  if (ms == 0) {
    plat::KillTimer(Core().MainWindow, kTimerLink);
    return true;
  }
  return plat::SetTimer(Core().MainWindow, kTimerLink, ms);
}

void WireLink() {
  LinkSeams& seams = LinkWiring();
  seams = LinkSeams{};
  seams.received = NTP_RxBytes;
  seams.reset_receiver = NTP_ResetReceiver;
  seams.interrogate = [](int index, int dest, Asker asker) { NTP_Interrogate(index, dest, asker); };
  seams.verdict = FollowVerdict;
  seams.rx_only = [] { return Kapi().DriverMode == IFMODE_RXONLY; };
  seams.device_mode = [](int device) {
    return static_cast<int>(
        plat::SendMessage(Kapi().KapiWindow, ZUT_GETDEVMODE, Core().MainWindow, device));
  };
  seams.owe_revertive = [](const RouteOrigin& route) {
    SendRevertives(route.device, route.dest, route.dest, 1, 0);
  };
  seams.show = [](LinkField field, std::string_view text) {
    Dlg_SetText(DialogField(field), text);
  };
  seams.timer = LinkTimer;
  seams.window = [] { return Core().MainWindow; };
  seams.alert = [](std::string_view text) {
    plat::MessageBox(Core().MainWindow, text, kErrorCaption);
  };
}

// --- What the protocol decoded.

// A route report entry: the tally and the revertive when the source changed (or was owed),
// then the dialog's poll answer.
void TakeRouteReport(const RouteReportEntry& e) {
  if (GetTally(e.device, e.dest) != e.source) {
    DebugPrintAt(LogLevel::kDebug, "Setting memory tally tables and updating network", 0);
    SetTally(e.device, e.dest, e.source);
    SendRevertives(e.device, e.dest, e.dest, 1, 0);
    // Not sent in RX only: owed to the control system if the link caused it.
    KAPISup_NoteChange(e.device, e.dest);
    Tables().TablesChanged = 1;
  } else if (e.owed) {
    // The answer to a destination asked again after a refused route: the control system learns
    // the source the controller really has.
    SendRevertives(e.device, e.dest, e.dest, 1, 0);
  }
  DebugPrintfAt(LogLevel::kDebug, 0,
                "RX> Incoming -> iRtr= %d, iTALLYPTR= %d iRtrDest=%d / iZQDest=%d", e.index,
                Dlg().PollPointer, e.controller_dest, e.dest);
  // The answer field belongs to the destination being polled, on the router being polled.
  if (Dlg().PollRouter == e.index && Dlg().PollPointer == e.dest) {
    Dlg_SetText(IDC_ANSWER, std::to_string(e.source));
  }
}

// A controller lock status: the table, the dialog, the lock infodriver's slot.
void TakeLockStatus(int index, int dest, int number, int status) {
  SetMC1000Lock(index, dest, status);
  if (Dlg().PollRouter == index && Dlg().PollPointer == dest) {
    Dlg_SetText(IDC_LOCK_POLL, std::to_string(status));
  }
  if (Dlg().SelectedDest == dest && Profile().CurrentRouter == index) {
    Dlg_SetText(IDC_MC1000_LOCK, status > 0 ? "-- LOCKED --" : "Unlocked");
  }
  if (!LockInfodriver_Connected()) return;
  if (number > 0 && number < 4096) {
    LockInfodriver_UpdateSlot(number, std::to_string(status));
  } else {
    DebugPrintfAt(LogLevel::kDebug, 1,
                  "NTP_Decode - MC1000 Lock INVALID Dest %d - unable to update infodriver ",
                  number);
  }
}

// The dialog's text of a controller lock state set by the driver itself.
const char* LockText(int state) {
  if (state == 0) return "Unlocked";
  if (state > 0 && state <= 255) return "-- LOCKED --";
  return "unknown";
}

// In simulation the driver's own controller lock change: the table, the lock infodriver's slot
// and (for the dialog's selected destination) the dialog's lock text.
void TakeLockChange(int index, int dest, long long number, int state) {
  SetMC1000Lock(index, dest, state);
  if (LockInfodriver_Connected() && number > 0 && number < 4096) {
    LockInfodriver_UpdateSlot(static_cast<int>(number), std::to_string(state));
  }
  if (Profile().CurrentRouter == index && Dlg().SelectedDest == dest) {
    Dlg_SetText(IDC_MC1000_LOCK, LockText(state));
  }
}

// A name changed: the dialog's lists of that router, and the focus back on its destinations.
void TakeNameChange(int device, int32_t entry_index) {
  Dialog_RefreshNameLists(device, entry_index);
  const int current = Profile().CurrentRouter;
  if (current >= 0 && current < kRouterCount &&
      Profile().routers[static_cast<size_t>(current)].DeviceId == device &&
      Core().MainDialog != plat::kNoWindow) {
    plat::SetFocus(Core().MainDialog, IDC_DEST_LIST);
  }
}

void WireProtocol() {
  ProtocolSeams& seams = ProtocolWiring();
  seams = ProtocolSeams{};
  seams.route = TakeRouteReport;
  seams.lock_status = TakeLockStatus;
  seams.lock_changed = TakeLockChange;
  seams.mode_shown = [](std::string_view text) { Dlg_SetText(IDC_MODE, text); };
  seams.locks_changed = Dialog_Update;
  seams.names_changed = TakeNameChange;
}

}  // namespace

void WireLayers() {
  WireUpcalls();
  // The lock log lies under the configuration root, wherever the root is at the time of the
  // entry; with no usable root there is no folder.
  Debug().LogFolder = [] {
    const std::string root = ConfigRoot();
    return root.empty() ? root : root + "/logs";
  };
  WireLink();
  WireProtocol();
}

}  // namespace xarvel
