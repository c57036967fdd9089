#include "core/main_window.h"

#include <cstdio>
#include <cstring>

#include "config/profile.h"
#include "core/driver.h"
#include "interface/kapisup.h"
#include "interface/kirnif.h"
#include "interface/messages.h"
#include "link/comsup.h"
#include "link/link_state.h"
#include "protocol/command_handler.h"
#include "ui/debug.h"
#include "ui/dialog_ids.h"

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

plat::LResult OnCommand(int id) {
  switch (id) {
    case IDM_EXIT:
      Shutdown(1);
      break;
    default:
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

void ForwardBufferPut(std::string_view text) {
  MainWindowState& s = MainWnd();
  s.ForwardBuffer[static_cast<size_t>(s.ForwardWrite)] =
      std::string(text.substr(0, kForwardBufferText));
  if (s.ForwardWrite < kForwardBufferSlots - 1) {
    s.ForwardBuffer[static_cast<size_t>(s.ForwardWrite + 1)].clear();
  }
  s.ForwardWrite = (s.ForwardWrite + 1) % kForwardBufferSlots;
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
  ++MainWnd().ReceivedCount;
  char count[32];
  std::snprintf(count, sizeof count, "%08ld", static_cast<long>(MainWnd().ReceivedCount));
  Dlg_SetText(IDC_RX_COUNT, count);
}

plat::LResult MainWndProc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l) {
  switch (msg) {
    case plat::WM_CLOSE:
    case plat::WM_QUERYENDSESSION:
    case ZUT_CLOSE:
      Shutdown(1);
      return 0;
    case plat::WM_COMMAND:
      return OnCommand(static_cast<int>(w & 0xFFFF));
    case ZUT_KAPIHANDLE:
      Kapi().KapiWindow = static_cast<plat::Hwnd>(w);
      return 0;
    case ZUT_DATA:
      return KirnIf_HandOff(hwnd, w, l);
    case ZUT_DBCHANGE:
      DebugPrintf(1, "dbchange message number %d wp %d lp %d", static_cast<int>(ZUT_DBCHANGE),
                  static_cast<int>(w), static_cast<int>(l));
      return 0;
    case ZUT_REQDEVGORXONLY:
      DebugPrint("ZUT_REQDEVGORXONLY", 0);
      return 0;
    case ZUT_REQDEVGOTXRX:
      DebugPrint("ZUT_REQDEVGOTXRX", 1);
      if (Link().ComState != kComOk) return 0;
      SetTXRX(static_cast<int>(w));
      return 1;
    case ZUT_INQDEVGOTXRX:
      return Link().ComState == kComOk ? 1 : 0;
    case ZUT_COMMAND: {
      const char* text = reinterpret_cast<const char*>(l);
      if (text != nullptr) CommandIntake(std::string_view(text, strnlen(text, kCommandTextMax)));
      return 1;
    }
    case ZUT_DeviceIDInUse:
      DebugPrint("Xarvel MainWndProc - ZUT_DeviceIDInUse - setting mode rxonly", 1);
      SetTXRX(IFMODE_RXONLY);
      Kapi().DriverMode = IFMODE_RXONLY;
      return 0;
    case ZUT_IDGETTXRXMODE:
      DebugPrint("ZUT_IDGETTXRXMODE", 1);
      Dlg_SetText(IDC_MODE, ModeDisplay(Kapi().DriverMode));
      return Kapi().DriverMode;
    case ZUT_IDSETTXRXMODE: {
      DebugPrint("ZUT_IDSETTXRXMODE", 1);
      const int r = AssertMode(static_cast<int>(w));
      if (Profile().settings.Connection_Mode == 2) {
        Dlg_SetText(IDC_MESSAGE, "IPComms Forcing Reconnection to hardware");
        IpReconnectionReset();
      } else {
        DebugPrint("ZUT_IDSETTXRXMODE to go txrx for serial comms", 0);
      }
      return r;
    }
    default:
      return 0;
  }
}

}  // namespace xarvel
