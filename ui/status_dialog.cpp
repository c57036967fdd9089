#include "ui/status_dialog.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "config/profile.h"
#include "ids/window_ids.h"
#include "interface/kapisup.h"
#include "interface/lock_infodriver.h"
#include "link/comsup.h"
#include "link/link_state.h"
#include "platform/debug_output.h"
#include "platform/dialog.h"
#include "protocol/command_handler.h"
#include "protocol/ntp.h"
#include "state/index_files.h"
#include "state/router_tables.h"
#include "tracing/debug.h"
#include "ui/dialog_state.h"
#include "ui/dialog_upcalls.h"
#include "ui/poll_counters.h"
#include "ui/window_view.h"

namespace xarvel {
namespace {

// A poll period below this would flood the controller and spin the driver; a profile that asks
// for less (0 or negative) polls at this rate instead.
constexpr int kMinimumPollMs = 10;

plat::Hwnd Dialog() {
  return Core().MainDialog;
}

RouterConfig& CurrentRouter() {
  int i = Profile().CurrentRouter;
  if (i < 0 || i >= kRouterCount) i = 0;
  return Profile().routers[static_cast<size_t>(i)];
}

std::string Format(const char* fmt, int a) {
  char text[64];
  std::snprintf(text, sizeof text, fmt, a);
  return text;
}

void ShowCurrentRouter() {
  char text[64];
  std::snprintf(text, sizeof text, "Router '%c' %03d", 'A' + Profile().CurrentRouter,
                CurrentRouter().DeviceId);
  Dlg_SetText(IDC_ROUTER, text);
}

void CheckMenu(int id, bool checked) {
  plat::CheckMenuItem(Core().MainWindow, id, checked);
}

// Shows one controller address as "%s:%d", or "%s - ERROR" when it is not valid: "0.0.0.0" (the
// profile's "no controller") or anything that is not a dotted IPv4 address. Returns whether it
// was valid.
bool ShowAddress(int control, const std::string& address) {
  in_addr parsed{};
  const bool valid = address != "0.0.0.0" && inet_pton(AF_INET, address.c_str(), &parsed) == 1;
  char text[128];
  if (valid) {
    std::snprintf(text, sizeof text, "%s:%d", address.c_str(), Profile().settings.IP_Port);
  } else {
    std::snprintf(text, sizeof text, "%s - ERROR", address.c_str());
  }
  Dlg_SetText(control, text);
  return valid;
}

void ShowLinkFields() {
  const Settings& s = Profile().settings;
  if (s.Simulation == 1) {
    Dlg_SetText(IDC_LINK_MODE, "SIMULATION");
  } else if (s.Connection_Mode == 1) {
    char text[96];
    std::snprintf(text, sizeof text, " Com%d %u:%d:%d:%c", s.Com, s.Speed, s.DataBits, s.StopBits,
                  s.Parity != 0 ? s.Parity : ' ');
    Dlg_SetText(IDC_CONN_A, text);
    Dlg_SetText(IDC_LINK_MODE, " SERIAL ");
    Dlg_SetText(IDC_LINK_STATUS, "  ?  ");
    Dlg_SetText(IDC_LINK_STATUS2, "  ");
  } else if (s.Connection_Mode == 2) {
    Dlg_SetText(IDC_LINK_MODE, s.Dual_Controllers != 0 ? "IP-Dual" : "IP-Single");
    if (ShowAddress(IDC_CONN_A, s.IP_Address_A)) Dlg_SetText(IDC_LINK_STATUS, " ? ");
    if (s.Dual_Controllers != 0 && ShowAddress(IDC_CONN_B, s.IP_Address_B)) {
      Dlg_SetText(IDC_LINK_STATUS2, " ? ");
    }
  }
}

void ShowMC1000Lock(int state) {
  Dlg_SetText(IDC_MC1000_LOCK, state > 0 ? "-- LOCKED --" : (state == 0 ? "Unlocked" : "unknown"));
}

// The table of the 26 routers: device, sources, destinations and offsets of each one configured,
// its menu item enabled; the fields of the others empty and greyed.
void ShowRouterTable() {
  const DriverProfile& p = Profile();
  for (int i = 0; i < kRouterCount; ++i) {
    const RouterConfig& r = p.routers[static_cast<size_t>(i)];
    const int fields[] = {IDC_ROUTER_DEVICE + i, IDC_ROUTER_SOURCES + i, IDC_ROUTER_DESTS + i,
                          IDC_ROUTER_OFFSETS + i};
    if (r.DeviceId <= 0) {
      plat::EnableMenuItem(Core().MainWindow, IDM_ROUTER_A + i, false);
      for (int id : fields) {
        Dlg_SetText(id, "");
        plat::EnableWindow(Dialog(), id, false);
      }
    } else {
      plat::EnableMenuItem(Core().MainWindow, IDM_ROUTER_A + i, true);
      char offsets[40];
      std::snprintf(offsets, sizeof offsets, "%d/%d", r.Offset_Src, r.Offset_Dest);
      Dlg_SetText(fields[0], Format("%03d", r.DeviceId));
      Dlg_SetText(fields[1], Format("%03d", r.SourceCount));
      Dlg_SetText(fields[2], Format("%03d", r.DestCount));
      Dlg_SetText(fields[3], offsets);
    }
  }
}

// The mode asserted and the link's state set (in simulation the link is OK at once), and the
// poll of the controller started at the profile's TallyDelay, never faster than the minimum.
void StartLinkAndPoll() {
  DriverProfile& p = Profile();
  const Settings& s = p.settings;
  if (s.Simulation == 1) {
    plat::OutputDebugString("Dialog_InitDialog  calling kapisup_settxrx - sim mode \n",
                            plat::LogLevel::kInfo);
    SetTXRX(Kapi().DriverMode);
    Link().ComState = kComOk;
    p.settings.Connection_Mode = 1;
  } else {
    SetTXRX(Kapi().DriverMode);
    plat::OutputDebugString("Dialog_InitDialog  calling ComSup_SetComState - true comms mode \n",
                            plat::LogLevel::kInfo);
    ComSup_SetComState(kComOk);
    int period = s.TallyDelay;
    if (period < kMinimumPollMs) {
      DebugPrintfAt(LogLevel::kWarning, 1,
                    "Dialog_InitDialog - TallyDelay %d too short - polling every %d ms", period,
                    kMinimumPollMs);
      period = kMinimumPollMs;
    }
    plat::SetTimer(Dialog(), kTimerPoll, static_cast<unsigned>(period));
  }
}

// The lock poll, lock infodriver, name update and debug fields and ticks, as the profile has them.
void ShowOptionFields() {
  const Settings& s = Profile().settings;
  if (s.PollForMC1000LockStatus == 1) {
    CheckMenu(IDM_LOCK_POLL, true);
    Dlg_SetText(IDC_LOCK_POLL, "Y");
    const int id = s.LockStatusInfodriverID;
    Dlg_SetText(IDC_LOCK_INFODRIVER,
                id >= 1 && id <= 999 ? std::to_string(static_cast<unsigned>(id)) : "not defn");
  } else {
    Dlg_SetText(IDC_LOCK_POLL, " ");
    Dlg_SetText(IDC_LOCK_INFODRIVER, "n/a");
  }
  plat::EnableWindow(Dialog(), IDC_MC1000_LOCK, false);

  const bool names = s.UpdateMC1000DatabaseNames == 1;
  Dlg_SetText(IDC_NAME_UPDATE, names ? "Y" : "N");
  CheckMenu(IDM_NAME_UPDATE, names);
  plat::EnableMenuItem(Core().MainWindow, IDM_SEND_SOURCE_NAME, names);
  plat::EnableMenuItem(Core().MainWindow, IDM_SEND_DEST_NAME, names);

  const bool debug_on = Debug().DebugMode == 1;
  CheckMenu(IDM_DEBUG_ON, debug_on);
  CheckMenu(IDM_DEBUG_OFF, !debug_on);
}

}  // namespace

DialogState& Dlg() {
  static DialogState state;
  return state;
}

void ResetDialogState() {
  Dlg() = DialogState{};
}

plat::Hwnd Dialog_Create(plat::Hwnd parent) {
  DebugPrintAt(LogLevel::kInfo, "Creating Dialog", 0);
  if (parent == plat::kNoWindow) return plat::kNoWindow;
  const plat::Hwnd dlg = plat::CreateWindow(DialogProc, false);
  if (dlg == plat::kNoWindow) return plat::kNoWindow;
  View_CreateDialog(parent, dlg);
  plat::SendMessage(dlg, plat::WM_INITDIALOG, 0, 0);
  return dlg;
}

plat::LResult DialogProc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l) {
  switch (msg) {
    case plat::WM_INITDIALOG:
      Core().MainDialog = hwnd;
      Dialog_InitDialog();
      return 1;
    case plat::WM_MOVE:
      // The dialog stays at the top left of the main window's client area.
      plat::MoveDialogToOrigin(hwnd);
      return 1;
    case plat::WM_COMMAND:
      switch (static_cast<int>(w & 0xFFFF)) {
        case IDC_SOURCE_LIST:
          // No selection reads as row 65535, which fails the range checks of Take.
          Dlg().SelectedSource = plat::ListSelected(hwnd, IDC_SOURCE_LIST) & 0xFFFF;
          break;
        case IDC_DEST_LIST:
          Dlg().SelectedDest = (plat::ListSelected(hwnd, IDC_DEST_LIST) & 0xFFFF) + 1;
          if (CurrentRouter().DestCount > 0) Dialog_Update();
          break;
        case IDC_TAKE:
          Dialog_take();
          break;
        case IDC_LOCK:
          Dialog_LockToggle();
          break;
        case IDC_MC1000_LOCK:
          Dialog_MC1000Lock();
          break;
        default:
          break;
      }
      return 1;
    case plat::WM_SYSCOMMAND:
      plat::SendMessage(Core().MainWindow, plat::WM_SYSCOMMAND, w & 0xFFFF, l);
      return 1;
    case plat::WM_TIMER:
      switch (static_cast<uintptr_t>(w)) {
        case kTimerPoll:
          Dialog_PollTick();
          break;
        case kTimerSave:
          Dialog_SaveTick();
          break;
        case kTimerForwardBuffer:
          DialogUp().ForwardBufferTick();
          break;
        case kTimerLockChange:
          Dialog_EndLockChange();
          break;
        case kTimerInfodriver:
          CheckInfoDriver();
          break;
        default:
          break;
      }
      return 1;
    default:
      return 0;
  }
}

void Dialog_InitDialog() {
  plat::OutputDebugString("Xarvel - *** starting Dialog_initDialog \n", plat::LogLevel::kInfo);
  DriverProfile& p = Profile();
  const Settings& s = p.settings;
  plat::FitWindowToDialog(Core().MainWindow, Dialog());

  ShowRouterTable();

  ShowCurrentRouter();
  CheckMenu(IDM_ROUTER_A + p.CurrentRouter, true);
  // Room for three names per row, counted in characters of the list's font.
  const int column = 3 * std::max(s.NameLength, 1);
  plat::ListSetColumnWidth(Dialog(), IDC_SOURCE_LIST, column);
  plat::ListSetColumnWidth(Dialog(), IDC_DEST_LIST, column);
  Dialog_FillSources();
  Dialog_FillDests();

  Idxfu_ReadIndex();

  Dlg().SelectedDest = 1;
  Dlg().PollRouter = p.CurrentRouter;
  Dlg().PollPointer = 0;
  plat::ListSelect(Dialog(), IDC_DEST_LIST, 0);
  Dialog_Update();

  StartLinkAndPoll();
  plat::SetTimer(Dialog(), kTimerSave, 60000);

  Dlg_SetText(IDC_PARK, std::to_string(static_cast<unsigned>(s.ParkSource)));
  ShowLinkFields();

  ShowOptionFields();

  plat::SetFocus(Dialog(), IDC_DEST_LIST);
}

void Dialog_FillSources() {
  const RouterConfig& r = CurrentRouter();
  plat::ListReset(Dialog(), IDC_SOURCE_LIST);
  plat::ListAddRow(Dialog(), IDC_SOURCE_LIST, "     " + Profile().settings.ParkName);
  for (int n = 1; n <= r.SourceCount; ++n) {
    char row[320];
    std::snprintf(row, sizeof row, "%3d  %s", n, GetDatabaseName(r.DeviceId, 0, n).c_str());
    plat::ListAddRow(Dialog(), IDC_SOURCE_LIST, row);
  }
}

void Dialog_FillDests() {
  const RouterConfig& r = CurrentRouter();
  plat::ListReset(Dialog(), IDC_DEST_LIST);
  for (int n = 1; n <= r.DestCount; ++n) {
    char row[320];
    std::snprintf(row, sizeof row, "%3d  %s", n, GetDatabaseName(r.DeviceId, 1, n).c_str());
    plat::ListAddRow(Dialog(), IDC_DEST_LIST, row);
  }
}

void Dialog_Update() {
  DialogState& d = Dlg();
  const RouterConfig& r = CurrentRouter();
  d.SelectedSource = GetTally(r.DeviceId, d.SelectedDest);
  DebugPrintfAt(LogLevel::kDebug, 0, "Dialog update  dest %d  src %d ", d.SelectedDest,
                d.SelectedSource);
  if (d.SelectedSource < 1 || d.SelectedSource > 65534) {
    plat::ListSelect(Dialog(), IDC_SOURCE_LIST, Profile().settings.ParkSource);
    d.SelectedSource = Profile().settings.ParkSource;
  } else {
    plat::ListSelect(Dialog(), IDC_SOURCE_LIST, d.SelectedSource);
  }
  const bool locked = GetLock(r.DeviceId, d.SelectedDest) != 0;
  Dlg_SetText(IDC_LOCK, locked ? "--LOCKED--" : "Unlocked");
  plat::EnableWindow(Dialog(), IDC_TAKE, !locked);
  ShowMC1000Lock(GetMC1000Lock(Profile().CurrentRouter, d.SelectedDest));
}

void Dialog_SelectRouter(int menu_id) {
  if (menu_id < IDM_ROUTER_A || menu_id > IDM_ROUTER_Z) return;
  CheckMenu(IDM_ROUTER_A + Profile().CurrentRouter, false);
  Profile().CurrentRouter = menu_id - IDM_ROUTER_A;
  CheckMenu(menu_id, true);
  ShowCurrentRouter();
  Dialog_FillSources();
  Dialog_FillDests();
  Dlg().SelectedDest = 1;
  plat::ListSelect(Dialog(), IDC_DEST_LIST, 0);
  if (CurrentRouter().DestCount <= 0) {
    plat::EnableWindow(Dialog(), IDC_TAKE, false);
    plat::EnableWindow(Dialog(), IDC_LOCK, false);
    plat::EnableWindow(Dialog(), IDC_MC1000_LOCK, false);
  } else {
    plat::EnableWindow(Dialog(), IDC_TAKE, true);
    plat::EnableWindow(Dialog(), IDC_LOCK, true);
    plat::EnableWindow(Dialog(), IDC_MC1000_LOCK, Dlg().MC1000LockChange != 0);
    Dialog_Update();
  }
  plat::SetFocus(Dialog(), IDC_DEST_LIST);
}

void Dialog_take() {
  const RouterConfig& r = CurrentRouter();
  int src = Dlg().SelectedSource;
  if (src < 0 || src > r.SourceCount) return;
  const int dst = Dlg().SelectedDest;
  if (dst < 1 || dst > r.DestCount) return;
  if (src == 0) {
    src = Profile().settings.ParkSource;
    DebugPrintAt(LogLevel::kDebug, "Dialog_take - src is 0 - changing src to park src", 1);
  }
  char command[64];
  std::snprintf(command, sizeof command, "RC %d %d %d ',---' 0", r.DeviceId, src, dst);
  DebugPrintAt(LogLevel::kDebug, command, 0);
  ParseCommand(command);
}

void Dialog_LockToggle() {
  const int dst = Dlg().SelectedDest;
  if (dst < 1) return;
  const int device = CurrentRouter().DeviceId;
  char command[64];
  std::snprintf(command, sizeof command, "RL %d %d %d %d 0", device, dst, dst,
                GetLock(device, dst) != 0 ? 0 : 1);
  DebugPrintAt(LogLevel::kDebug, command, 0);
  ParseCommand(command);
}

void Dialog_MC1000Lock() {
  if (Dlg().MC1000LockChange == 0) {
    DebugPrintAt(LogLevel::kInfo,
                 "Dialog_MC1000Lock - Set MC1000 Locks option not enabled- no action taken", 1);
    return;
  }
  const int router = Profile().CurrentRouter;
  const int dst = Dlg().SelectedDest;
  if (router >= 0 && router < kRouterCount && dst >= 1) {
    const int state = GetMC1000Lock(router, dst);
    MC1000_LockChange(router, dst, state == 0 ? 255 : 0);
  } else {
    DebugPrintAt(
        LogLevel::kInfo,
        "Dialog_MC1000Lock - invalid Selected router or invalid destination- no action taken", 1);
  }
}

namespace {

// One full round of the poll has ended: the time since the previous round ended is its length.
void CountPollRound() {
  PollCounters& c = PollCount();
  const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  if (c.CycleStartUs != 0) {
    c.LastCycleUs = now - c.CycleStartUs;
    ++c.Cycles;
  }
  c.CycleStartUs = now;
}

}  // namespace

void Dialog_PollTick() {
  DialogState& d = Dlg();
  const auto& routers = Profile().routers;
  // The destination asked last has not gone yet (or no controller is connected): the poll stays
  // where it is, so that it never passes a destination it did not ask. Without a controller the
  // tick still starts the connection attempts.
  if (!ComSup_PollMayAsk()) {
    if (Profile().settings.Connection_Mode == 2 && Link().ActiveController == kControllerNone) {
      ComSup_IpConnect();
    }
    return;
  }
  if (d.PollRouter < 0 || d.PollRouter >= kRouterCount) d.PollRouter = 0;
  ++d.PollPointer;
  if (d.PollPointer > routers[static_cast<size_t>(d.PollRouter)].Max_Dest) {
    const int before = d.PollRouter;
    for (int step = 1; step <= kRouterCount; ++step) {
      const int next = (d.PollRouter + step) % kRouterCount;
      if (routers[static_cast<size_t>(next)].DeviceId != 0) {
        d.PollRouter = next;
        break;
      }
    }
    d.PollPointer = routers[static_cast<size_t>(d.PollRouter)].Min_Dest;
    // Back past Z to the first router (or round to the only one): a full round ends here.
    if (d.PollRouter <= before) CountPollRound();
  }
  if (!plat::IsIconic(Core().MainWindow)) {
    Dlg_SetText(IDC_POLL_ROUTER,
                Format("%03d", routers[static_cast<size_t>(d.PollRouter)].DeviceId));
    Dlg_SetText(IDC_POLL_DEST, std::to_string(d.PollPointer));
  }
  NTP_Interrogate(d.PollRouter, d.PollPointer, Asker::kPoll);
}

void Dialog_SaveTick() {
  DialogState& d = Dlg();
  ++d.SaveTicks;
  const long delay = Profile().settings.SaveDelay;
  if (delay < 0 || d.SaveTicks >= static_cast<unsigned long>(delay)) {
    d.SaveTicks = 0;
    // A save that failed keeps the flag, so the next tick tries again instead of leaving the
    // changes unsaved until something else changes.
    if (Tables().TablesChanged != 0 && Idxfu_WriteIndex() == 1) Tables().TablesChanged = 0;
  }
}

void Dialog_EndLockChange() {
  plat::KillTimer(Dialog(), kTimerLockChange);
  Dlg().MC1000LockChange = 0;
  CheckMenu(IDM_LOCK_CHANGE, false);
  plat::EnableWindow(Dialog(), IDC_MC1000_LOCK, false);
}

int Dialog_SelectedDest() {
  return Dlg().SelectedDest;
}

void Dialog_RefreshNameLists(int device_id, int32_t entry_index) {
  if (Dialog() == plat::kNoWindow || device_id != CurrentRouter().DeviceId) return;
  if ((static_cast<uint32_t>(entry_index) >> 16) != 0) {
    Dialog_FillDests();
    if (Dlg().SelectedDest > 0) plat::ListSelect(Dialog(), IDC_DEST_LIST, Dlg().SelectedDest - 1);
  } else {
    Dialog_FillSources();
    if (Dlg().SelectedSource >= 0) {
      plat::ListSelect(Dialog(), IDC_SOURCE_LIST, Dlg().SelectedSource);
    }
  }
}

}  // namespace xarvel
