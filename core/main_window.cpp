#include "core/main_window.h"

#include <cstdio>
#include <cstring>

#include "config/profile.h"
#include "core/about.h"
#include "core/core_counters.h"
#include "core/driver.h"
#include "core/remote_panel.h"
#include "ids/window_ids.h"
#include "interface/kapisup.h"
#include "interface/kirnif.h"
#include "interface/messages.h"
#include "link/comsup.h"
#include "link/link_counters.h"
#include "link/link_state.h"
#include "platform/dialog.h"
#include "protocol/command_handler.h"
#include "state/index_files.h"
#include "state/locked_dests.h"
#include "state/router_tables.h"
#include "tracing/debug.h"
#include "tracing/trace_stream.h"
#include "ui/dialog_state.h"
#include "ui/status_dialog.h"

namespace xarvel {
namespace {

// Closes both controller connections and marks the link failed; the link supervisor then
// connects again.
void IpReconnectionReset() {
  ComSup_IpClose();
  Link().ActiveController = kControllerNone;
  Link().ComState = kComFailed;
  Link().ConnStateA = 2;
  Link().ConnStateB = 2;
}

// Focus on a list; with nothing selected its first entry is selected.
void FocusList(int list) {
  const plat::Hwnd dlg = Core().MainDialog;
  if (dlg == plat::kNoWindow) return;
  plat::SetFocus(dlg, list);
  if (plat::ListSelected(dlg, list) < 0) plat::ListSelect(dlg, list, 0);
}

void CheckMenu(int id, bool checked) {
  plat::CheckMenuItem(Core().MainWindow, id, checked);
}

void ToggleLockPoll() {
  int& flag = Profile().settings.PollForMC1000LockStatus;
  if (flag != 0) {
    flag = 0;
    DebugPrintAt(LogLevel::kNotice, " - Disabling MC1000 lock poll", 1);
    CheckMenu(IDM_LOCK_POLL, false);
    Dlg_SetText(IDC_LOCK_POLL, " ");
  } else {
    flag = 1;
    DebugPrintAt(LogLevel::kNotice, " + Enabling MC1000 lock poll", 1);
    CheckMenu(IDM_LOCK_POLL, true);
    Dlg_SetText(IDC_LOCK_POLL, "Y");
  }
  Dlg_SetText(IDC_MC1000_LOCK, " ");
}

void ToggleNameUpdate() {
  int& flag = Profile().settings.UpdateMC1000DatabaseNames;
  const bool on = flag == 0;
  flag = on ? 1 : 0;
  DebugPrintAt(
      LogLevel::kNotice,
      on ? " + Enabling setting of Router Names " : " - Disabling setting of Router Names ", 1);
  Dlg_SetText(IDC_NAME_UPDATE, on ? "Y" : "N");
  CheckMenu(IDM_NAME_UPDATE, on);
  plat::EnableMenuItem(Core().MainWindow, IDM_SEND_SOURCE_NAME, on);
  plat::EnableMenuItem(Core().MainWindow, IDM_SEND_DEST_NAME, on);
}

void ToggleLockChange() {
  int& flag = Dlg().MC1000LockChange;
  const plat::Hwnd dlg = Core().MainDialog;
  if (flag != 0) {
    flag = 0;
    DebugPrintAt(LogLevel::kNotice, " - Disabling MC1000 lock changes", 1);
    CheckMenu(IDM_LOCK_CHANGE, false);
    plat::EnableWindow(dlg, IDC_MC1000_LOCK, false);
    plat::KillTimer(dlg, kTimerLockChange);
  } else {
    flag = 1;
    DebugPrintAt(LogLevel::kNotice, " + Enabling MC1000 lock changes", 1);
    CheckMenu(IDM_LOCK_CHANGE, true);
    plat::EnableWindow(dlg, IDC_MC1000_LOCK, true);
    plat::SetTimer(dlg, kTimerLockChange, kLockChangeWindowMs);
  }
}

// Debug On (from 0 to 1) and Debug Off (from 1 to 0): the mode, the menu's ticks and the
// profile.
void SetDebugModeFromMenu(int mode) {
  if (Debug().DebugMode != (mode != 0 ? 0 : 1)) return;
  Debug().DebugMode = mode;
  CheckMenu(mode != 0 ? IDM_DEBUG_ON : IDM_DEBUG_OFF, true);
  CheckMenu(mode != 0 ? IDM_DEBUG_OFF : IDM_DEBUG_ON, false);
  SaveDebugMode();
}

// Unlock All: every destination of the router shown in the dialog.
void UnlockCurrentRouter() {
  const int device = Profile().routers[static_cast<size_t>(Profile().CurrentRouter)].DeviceId;
  if (device <= 0) return;
  char text[96];
  std::snprintf(text, sizeof text, "Unlocking all destinations for router dev_%03d ", device);
  Dlg_SetText(IDC_MESSAGE, text);
  UnlockAllDestinations();
}

// Save: the route and lock tables to their files, once they have been read.
void SaveTablesFromMenu() {
  // Tables that were never loaded must not replace the stored ones.
  if (!IndexFiles().IndexRead) {
    Dlg_SetText(IDC_MESSAGE, "Not saved - the stored routes and locks are not loaded yet");
    DebugPrintAt(LogLevel::kWarning,
                 "Save asked for before the stored tables were read - not saved", 1);
    return;
  }
  Dlg_SetText(IDC_MESSAGE, "Saving all current routes and lock data");
  DebugPrintAt(LogLevel::kNotice, "Saving all current routes and lock data", 1);
  Idxfu_WriteIndex();
  Idxfu_WriteLocks();
}

plat::LResult OnCommand(int id) {
  if (id >= IDM_ROUTER_A && id <= IDM_ROUTER_Z) {
    Dialog_SelectRouter(id);
    return 0;
  }
  switch (id) {
    case IDM_EXIT:
      Shutdown(1);
      break;
    case IDM_ABOUT:
      ShowAboutBox(Core().MainWindow);
      break;
    case IDM_DEST_BOX:
      FocusList(IDC_DEST_LIST);
      break;
    case IDM_SOURCE_BOX:
      FocusList(IDC_SOURCE_LIST);
      break;
    case IDM_TAKE: {
      const RouterConfig& r = Profile().routers[static_cast<size_t>(Profile().CurrentRouter)];
      if (GetLock(r.DeviceId, Dlg().SelectedDest) == 0) Dialog_take();
      if (Core().MainDialog != plat::kNoWindow) plat::SetFocus(Core().MainDialog, IDC_DEST_LIST);
      break;
    }
    case IDM_RECONNECT:
      if (Profile().settings.Connection_Mode == 2) {
        Dlg_SetText(IDC_MESSAGE, "Forcing Reconnection to hardware");
        IpReconnectionReset();
      } else {
        Dlg_SetText(IDC_MESSAGE,
                    "Ignoring request forForcing Reconnection to hardware - only for IP Comms");
      }
      break;
    case IDM_DEBUG_ON:
      SetDebugModeFromMenu(1);
      break;
    case IDM_DEBUG_OFF:
      SetDebugModeFromMenu(0);
      break;
    case IDM_RELOAD_LOCKED:
      LoadLockedDestinationsFromDevIni();
      break;
    case IDM_UNLOCK_ALL:
      UnlockCurrentRouter();
      break;
    case IDM_SAVE:
      SaveTablesFromMenu();
      break;
    case IDM_LOCK_POLL:
      ToggleLockPoll();
      break;
    case IDM_NAME_UPDATE:
      ToggleNameUpdate();
      break;
    case IDM_LOCK_CHANGE:
      ToggleLockChange();
      break;
    default:
      // The separator, the two name items and "Show All Messages" carry no action.
      break;
  }
  return 0;
}

const char* ModeDisplay(int mode) {
  if (mode == IFMODE_RXONLY) return "Rx Only";
  if (mode == IFMODE_TXRX) return "Tx/Rx";
  return "- -";
}

}  // namespace

MainWindowState& MainWnd() {
  static MainWindowState state;
  return state;
}

void ResetMainWindowState() {
  MainWnd() = MainWindowState{};
}

namespace {

// A route command dropped from the full forward buffer leaves the same "ROUTE ... dropped" line
// as one the link supervisor drops, so an audit of the trace finds every route that went.
void CountForwardBufferDrop(std::string_view text) {
  const RouteNamed named = RouteCommandNames(text);
  ComSup_CountDrop(kDropForwardBufferFull, text, {named.device, named.dest, named.source});
}

}  // namespace

void ForwardBufferPut(std::string_view text) {
  MainWindowState& s = MainWnd();
  std::string& slot = s.ForwardBuffer[static_cast<size_t>(s.ForwardWrite)];
  bool dropped = !slot.empty();
  if (dropped) CountForwardBufferDrop(slot);
  slot = std::string(text.substr(0, kForwardBufferText));
  if (s.ForwardWrite < kForwardBufferSlots - 1) {
    std::string& next = s.ForwardBuffer[static_cast<size_t>(s.ForwardWrite + 1)];
    if (!next.empty()) {
      CountForwardBufferDrop(next);
      dropped = true;
    }
    next.clear();
  }
  s.ForwardWrite = (s.ForwardWrite + 1) % kForwardBufferSlots;
  // A full buffer has just dropped its oldest waiting command. The oldest of those left now
  // follows the write position: dispatch goes on from there, so that the waiting commands still
  // go out in the order they came and a later route of a destination is never overtaken by an
  // earlier one.
  if (dropped) s.ForwardRead = s.ForwardWrite;
}

void ForwardBufferDispatch() {
  const int passes = Profile().settings.CrossPointsPerBufferDelay;
  if (passes < 1) return;
  MainWindowState& s = MainWnd();
  int looked = 0;
  for (int pass = 0; pass < passes && looked < kForwardBufferSlots; ++pass) {
    while (looked < kForwardBufferSlots) {
      std::string& slot = s.ForwardBuffer[static_cast<size_t>(s.ForwardRead)];
      s.ForwardRead = (s.ForwardRead + 1) % kForwardBufferSlots;
      ++looked;
      if (!slot.empty()) {
        const std::string text = std::move(slot);
        slot.clear();
        ParseCommand(text);
        break;
      }
    }
  }
}

void CommandIntake(std::string_view text) {
  const std::string copy(text.substr(0, kCommandTextMax));
  if (Profile().settings.ForwardBufferDelay != 0 && copy.size() >= 2 && copy[1] == 'C') {
    ForwardBufferPut(copy);
  } else {
    ParseCommand(copy);
  }
  ++CoreCount().Received[static_cast<size_t>(CommandKindOf(copy))];
  ++MainWnd().ReceivedCount;
  char count[32];
  std::snprintf(count, sizeof count, "%08ld", static_cast<long>(MainWnd().ReceivedCount));
  Dlg_SetText(IDC_RX_COUNT, count);
}

void FinishStartup() {
  MainWindowState& s = MainWnd();
  // A held command may send messages whose peers send further commands meanwhile: they join the
  // end of the queue, so the order stays the order of arrival.
  while (!s.HeldCommands.empty()) {
    const std::string text = std::move(s.HeldCommands.front());
    s.HeldCommands.pop_front();
    if (Core().ShutdownDone) {
      DebugPrintfAt(LogLevel::kWarning, 1, "Command not carried out - the driver did not start: %s",
                    text.c_str());
    } else {
      CommandIntake(text);
    }
  }
  s.StartupDone = true;
}

namespace {

// Messages that change whom the driver trusts or end it are taken only from this process or from
// the interface window the driver found; anything else is refused with a trace line.
bool FromInterface(const char* what) {
  const plat::Hwnd sender = plat::MessageSender();
  if (sender == plat::kNoWindow || sender == Kapi().KapiWindow) return true;
  DebugPrintfAt(LogLevel::kWarning, 1, "%s from window 0x%04x, not the interface: ignored", what,
                sender);
  return false;
}

// ZUT_KAPIHANDLE: the interface names its window. While none is known, the interface answers
// the find naming its own window, the one it sends from; once known, only that window may name
// another.
plat::LResult OnKapiHandle(plat::WParam w) {
  const plat::Hwnd sender = plat::MessageSender();
  if (Kapi().KapiWindow == plat::kNoWindow && sender != plat::kNoWindow &&
      sender != static_cast<plat::Hwnd>(w & 0xFFFF)) {
    DebugPrintfAt(LogLevel::kWarning, 1,
                  "ZUT_KAPIHANDLE from window 0x%04x naming another window: ignored", sender);
    return 0;
  }
  if (Kapi().KapiWindow != plat::kNoWindow && !FromInterface("ZUT_KAPIHANDLE")) return 0;
  Kapi().KapiWindow = static_cast<plat::Hwnd>(w);
  return 0;
}

// ZUT_COMMAND: a command text, carried out now, or held until the end of start-up.
plat::LResult OnCommandText(plat::LParam l) {
  // The text comes with the message; a plain message from another process carries no text.
  const char* text = reinterpret_cast<const char*>(l);
  if (text == nullptr || !plat::PointerParamValid(l)) return 1;
  const std::string_view command(text, strnlen(text, kCommandTextMax));
  if (MainWnd().StartupDone) {
    CommandIntake(command);
    return 1;
  }
  // Before the stored tables are read a route would be overwritten by them and an answer
  // would name sources that are not known yet: the command waits for the end of start-up.
  if (MainWnd().HeldCommands.size() >= kHeldCommandsMax) {
    DebugPrintfAt(LogLevel::kWarning, 1,
                  "Command not taken - %zu commands already wait for the start-up: %.*s",
                  kHeldCommandsMax, static_cast<int>(command.size()), command.data());
    return 0;
  }
  MainWnd().HeldCommands.emplace_back(command);
  return 1;
}

// ZUT_IDSETTXRXMODE: the interface sets the mode; over IP the link is connected afresh.
plat::LResult OnSetTxRxMode(plat::WParam w) {
  DebugPrintAt(LogLevel::kInfo, "ZUT_IDSETTXRXMODE", 1);
  const int r = AssertMode(static_cast<int>(w));
  if (Profile().settings.Connection_Mode == 2) {
    Dlg_SetText(IDC_MESSAGE, "IPComms Forcing Reconnection to hardware");
    IpReconnectionReset();
  } else {
    DebugPrintAt(LogLevel::kInfo, "ZUT_IDSETTXRXMODE to go txrx for serial comms", 0);
  }
  return r;
}

}  // namespace

plat::LResult MainWndProc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l) {
  switch (msg) {
    case plat::WM_CLOSE:
    case plat::WM_QUERYENDSESSION:
      Shutdown(1);
      return 0;
    case ZUT_CLOSE:
      if (!FromInterface("ZUT_CLOSE")) return 0;
      Shutdown(1);
      return 0;
    case plat::WM_COMMNOTIFY:
      ComSup_ReadComm();
      return 0;
    case plat::WM_TIMER:
      if (static_cast<uintptr_t>(w) == kTimerLink) ComSup_Timer();
      if (static_cast<uintptr_t>(w) == kTimerCatchUp) KAPISup_CatchUpTick();
      return 0;
    case plat::WM_COMMAND:
      return OnCommand(static_cast<int>(w & 0xFFFF));
    case ZUT_KAPIHANDLE:
      return OnKapiHandle(w);
    case ZUT_DATA:
      return KirnIf_HandOff(hwnd, w, l);
    case ZUT_DBCHANGE:
      DebugPrintfAt(LogLevel::kInfo, 1, "dbchange message number %d wp %d lp %d",
                    static_cast<int>(ZUT_DBCHANGE), static_cast<int>(w), static_cast<int>(l));
      DatabaseChange(static_cast<int>(w), static_cast<int32_t>(l), 0, -1);
      return 0;
    case ZUT_REQDEVGORXONLY:
      DebugPrintAt(LogLevel::kInfo, "ZUT_REQDEVGORXONLY", 0);
      return 0;
    case ZUT_REQDEVGOTXRX:
      DebugPrintAt(LogLevel::kDebug, "ZUT_REQDEVGOTXRX", 1);
      if (Link().ComState != kComOk) return 0;
      SetTXRX(static_cast<int>(w));
      return 1;
    case ZUT_INQDEVGOTXRX:
      return Link().ComState == kComOk ? 1 : 0;
    case ZUT_COMMAND:
      return OnCommandText(l);
    case ZUT_DeviceIDInUse:
      if (!FromInterface("ZUT_DeviceIDInUse")) return 0;
      DebugPrintAt(LogLevel::kWarning,
                   "Xarvel MainWndProc - ZUT_DeviceIDInUse - setting mode rxonly", 1);
      SetTXRX(IFMODE_RXONLY);
      Kapi().DriverMode = IFMODE_RXONLY;
      return 0;
    case ZUT_IDGETTXRXMODE:
      DebugPrintAt(LogLevel::kDebug, "ZUT_IDGETTXRXMODE", 1);
      Dlg_SetText(IDC_MODE, ModeDisplay(Kapi().DriverMode));
      return Kapi().DriverMode;
    case ZUT_IDSETTXRXMODE:
      return OnSetTxRxMode(w);
    default:
      if (RemotePanel_Handles(msg)) return RemotePanel_Proc(hwnd, msg, w, l);
      if (TraceStream_Handles(msg)) return TraceStream_Proc(hwnd, msg, w, l);
      return 0;
  }
}

}  // namespace xarvel
