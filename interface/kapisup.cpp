#include "interface/kapisup.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "config/profile.h"
#include "ids/window_ids.h"
#include "interface/interface_counters.h"
#include "interface/interface_upcalls.h"
#include "interface/kirnif.h"
#include "interface/lock_infodriver.h"
#include "interface/messages.h"
#include "link/comsup.h"
#include "platform/debug_output.h"
#include "platform/msgbox.h"
#include "state/router_tables.h"
#include "tracing/debug.h"

namespace xarvel {
namespace {

// Texts for the debug output stream and message boxes, which take no format of their own.
std::string Format(const char* fmt, int a, int b = 0) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, a, b);
  return buf;
}

plat::LResult SendToKapi(uint32_t msg, plat::WParam w, plat::LParam l) {
  return plat::SendMessage(Kapi().KapiWindow, msg, w, l);
}

// The link asserts RX only itself (KAPISup_LinkRxOnly): the revertives owed so far stay owed.
bool g_link_asserting = false;

void StopCatchUp() {
  if (!Kapi().CatchingUp) return;
  plat::KillTimer(Core().MainWindow, kTimerCatchUp);
  Kapi().CatchingUp = false;
}

// Back in TX/RX with revertives owed: they go out at the catch-up pace.
void StartCatchUp() {
  KapiState& k = Kapi();
  if (k.Missed.empty() || k.CatchingUp) return;
  DebugPrintfAt(LogLevel::kNotice, 1,
                "KAPISup - %zu destination(s) changed while the link kept the driver RX only: "
                "their revertives go out now",
                k.Missed.size());
  k.CatchingUp = plat::SetTimer(Core().MainWindow, kTimerCatchUp, kCatchUpMs);
}

// Modes 1 and 2 share their handling; only the texts and the infodriver request differ.
void EnterRxOrTx(int mode, int old_mode) {
  const bool rx = mode == IFMODE_RXONLY;
  // A change of mode is news; the same mode said again (once per router at registration) is not.
  DebugPrintAt(mode != old_mode ? LogLevel::kNotice : LogLevel::kDebug,
               rx ? "SetTXRX - into RXONLY " : "SetTXRX - into TXRX ", 1);
  Dlg_SetText(IDC_MODE, rx ? "Rx Only" : "Tx/Rx");
  if (mode != old_mode) {
    Dlg_SetText(IDC_MESSAGE,
                rx ? " Driver now running in RX-only mode" : " Driver now running in TX-RX mode");
  }
  LockInfodriver_FollowMode(mode);
}

}  // namespace

KapiState& Kapi() {
  static KapiState state;
  return state;
}

void ResetKapi() {
  Kapi() = KapiState{};
}

int KAPISup_Find() {
  const plat::Hwnd main = Core().MainWindow;
  Kapi().KapiWindow = plat::kNoWindow;
  plat::SendMessage(plat::HWND_BROADCAST, ZUT_FINDKAPI, main, 4);
  if (Kapi().KapiWindow == plat::kNoWindow) {
    plat::SendMessage(plat::HWND_BROADCAST, ZUT_FINDKAPI2, main, 0);
  }
  return Kapi().KapiWindow == plat::kNoWindow ? 0 : 1;
}

int KAPISup_Link() {
  const plat::Hwnd main = Core().MainWindow;
  if (KAPISup_Find() == 0) {
    DebugPrintAt(LogLevel::kErr, "Failed to attach to KAPI", 1);
    plat::MessageBox(main, "Cannot find KIRN Interface KAPI.EXE", kErrorCaption);
    InterfaceUp().Shutdown(0);
    return 0;
  }
  DebugPrintAt(LogLevel::kNotice, "Attached OK to KAPI", 1);
  return 1;
}

int KAPISup_Init() {
  const plat::Hwnd main = Core().MainWindow;
  DebugPrintfAt(LogLevel::kInfo, 0, "KAPI handle 0x%04x", Kapi().KapiWindow);
  plat::LResult answer = 0;
  for (int i = 0; i < kRouterCount; ++i) {
    const int id = Profile().routers[i].DeviceId;
    if (id == 0) continue;
    DebugPrintfAt(LogLevel::kDebug, 0, "Attempting to register device %d", id);
    answer = SendToKapi(ZUT_REGISTER, main, id);
    if (answer == kRegisterOk) {
      const int mode = static_cast<int>(SendToKapi(ZUT_GETDEVMODE, main, id));
      plat::OutputDebugString(
          Format("Xarvel -- KAPISup_Init - get dev %d txrx mode is %d \n", id, mode),
          plat::LogLevel::kDebug);
      SetTXRX(mode);
      continue;
    }
    const char* refusal = nullptr;
    switch (answer) {
      case kRegisterInvalidId:
        refusal = "Request refused - ID supplied is invalid - %d";
        break;
      case kRegisterIdInUse:
        refusal = "Request refused - Device Id already in use on this workstation - %d";
        break;
      case kRegisterNotDriverMode:
        refusal = "Request refused - KAPI has not been enabled in Driver Mode - %d";
        break;
      default:
        DebugPrintAt(LogLevel::kErr, "Failed to register device", 1);
        refusal = "Request refused - Failed to register device - %d";
        answer = 1;
        break;
    }
    plat::MessageBox(main, Format(refusal, id), kErrorCaption);
    Kapi().DriverMode = IFMODE_NONE;
    break;
  }
  if (answer > 0) {
    DebugPrintAt(LogLevel::kErr, "KAPISup_init has failed in some way - shutting down", 1);
    InterfaceUp().Shutdown(1);
    return 0;
  }
  return 1;
}

int SetTXRX(int mode) {
  const int old_mode = Kapi().DriverMode;
  Kapi().DriverMode = mode;
  // Whoever sets the mode, it is not the link's doing (KAPISup_LinkRxOnly notes its own).
  Kapi().RxOnlyByLink = false;
  switch (mode) {
    case IFMODE_NONE: {
      DebugPrintAt(LogLevel::kNotice, "SetTXRX - into NONE ", 1);
      Dlg_SetText(IDC_MODE, " - - - ");
      const int dev = Profile().routers[Profile().CurrentRouter].DeviceId;
      const int reported = static_cast<int>(SendToKapi(ZUT_GETDEVMODE, Core().MainWindow, dev));
      plat::OutputDebugString(Format("ZZZpoint2 returns mode %d for dev %d \n", reported, dev),
                              plat::LogLevel::kInfo);
      // Ask our own window to go TX/RX: it re-enters SetTXRX(2) when the link is OK.
      plat::SendMessage(Core().MainWindow, ZUT_REQDEVGOTXRX, IFMODE_TXRX, 0);
      return Kapi().DriverMode;
    }
    case IFMODE_RXONLY:
    case IFMODE_TXRX:
      EnterRxOrTx(mode, old_mode);
      // An RX-only driver carries out no route: those waiting or outstanding are given up.
      ComSup_ModeChanged();
      if (mode == IFMODE_TXRX) {
        StartCatchUp();
      } else if (!g_link_asserting) {
        // RX only ordered by the interface: the partner is in charge, nothing is owed.
        Kapi().Missed.clear();
        StopCatchUp();
      }
      return Kapi().DriverMode;
    default:
      return mode;
  }
}

int AssertMode(int mode) {
  if (mode == IFMODE_NONE) {
    DebugPrintAt(LogLevel::kInfo, "AssertMode -- changing from NONE to TXRX", 0);
    mode = IFMODE_TXRX;
  }
  SetTXRX(mode);
  for (int i = 0; i < kRouterCount; ++i) {
    const int id = Profile().routers[i].DeviceId;
    if (id == 0) continue;
    DebugPrintfAt(LogLevel::kDebug, 1, "Asserting interface mode %d for device %d", mode, id);
    SendToKapi(ZUT_ASSERTMODE, mode, id);
    if (mode != IFMODE_RXONLYBROKEN) Kapi().DriverMode = mode;
  }
  return Kapi().DriverMode;
}

void KAPISup_LinkRxOnly() {
  KapiState& k = Kapi();
  // RX only ordered by the interface stays the interface's; the link's own stays the link's.
  const bool by_link = k.DriverMode != IFMODE_RXONLY || k.RxOnlyByLink;
  g_link_asserting = true;
  AssertMode(IFMODE_RXONLY);
  g_link_asserting = false;
  k.RxOnlyByLink = by_link && k.DriverMode == IFMODE_RXONLY;
}

int KAPISup_LinkReturn() {
  KapiState& k = Kapi();
  const bool by_link = k.DriverMode == IFMODE_RXONLY && k.RxOnlyByLink;
  if (!by_link && k.DriverMode != IFMODE_NONE) return k.DriverMode;
  DebugPrintAt(LogLevel::kNotice,
               by_link ? "KAPISup - the link is back: TX/RX again after the link's RX only"
                       : "KAPISup - the link is confirmed: TX/RX",
               1);
  return AssertMode(IFMODE_TXRX);
}

void KAPISup_NoteChange(int device_id, int dest) {
  KapiState& k = Kapi();
  if (k.DriverMode == IFMODE_RXONLY && k.RxOnlyByLink) k.Missed.emplace(device_id, dest);
}

void KAPISup_CatchUpTick() {
  KapiState& k = Kapi();
  if (k.DriverMode != IFMODE_TXRX) {
    StopCatchUp();
    return;
  }
  for (int n = 0; n < kCatchUpBatch && !k.Missed.empty(); ++n) {
    const auto [device, dest] = *k.Missed.begin();
    k.Missed.erase(k.Missed.begin());
    SendRevertives(device, dest, dest, 1, 0);
  }
  if (k.Missed.empty()) StopCatchUp();
}

void KAPISup_Detach() {
  StopCatchUp();
  SendToKapi(ZUT_DETACH, Core().MainWindow, 0);
}

void SendRevertives(int device_id, int first, int last, int kind, int param) {
  const uint32_t msg = kind == 2 ? ZUT_QUERYREPLY : ZUT_REVERTIVE;
  // A wide loop counter: a last destination of INT_MAX must not overflow.
  for (int64_t dest = first; dest <= last; ++dest) {
    const int d = static_cast<int>(dest);
    if (Kapi().DriverMode == IFMODE_TXRX) {
      // A revertive of it now covers one owed since an RX only of the link's.
      if (!Kapi().Missed.empty()) Kapi().Missed.erase({device_id, d});
      char text[64];
      std::snprintf(text, sizeof text, "RR %03d %03d %03d", device_id, d, GetTally(device_id, d));
      int p = param;
      if (d == last && msg == ZUT_QUERYREPLY) p |= 0x8000;
      KirnIf_SendData(Kapi().KapiWindow, msg, p, text, 1,
                      static_cast<int32_t>(std::char_traits<char>::length(text) + 1));
      ++Kapi().RevertiveCount;
      ++InterfaceCount().RevertivesSent;
      char count[32];
      std::snprintf(count, sizeof count, "%08ld", static_cast<long>(Kapi().RevertiveCount));
      Dlg_SetText(IDC_TX_COUNT, count);
    }
    InterfaceUp().RevertiveSent(d);
  }
}

std::string GetDatabaseName(int device_id, int database, int index) {
  uint8_t record[kDbNameRecordSize] = {};
  const auto put16 = [&record](int at, int value) {
    record[at] = static_cast<uint8_t>(value & 0xFF);
    record[at + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
  };
  put16(0, device_id);
  put16(2, database);
  put16(4, index);
  KirnIf_SendData(Kapi().KapiWindow, ZUT_GETDBNAME, 0, record, 1, kDbNameRecordSize);
  // The answer is a zero-terminated text at byte 0; never read past the record.
  return std::string(reinterpret_cast<const char*>(record),
                     strnlen(reinterpret_cast<const char*>(record), kDbNameMaxLength));
}

}  // namespace xarvel
