// The driver's windows as every layer reaches them: the handles of the main window and the
// status dialog, the ids of their timers, of the main menu's commands and of the dialog's
// controls, and the helper that writes a control's text.
//
// Who may change what: only core/ writes Core() (the handles when it creates the windows, the
// version string at start-up, ShutdownDone in Shutdown); the other layers read it. The ids are
// constants. This folder sits just above platform/ and includes nothing else of the driver, so
// that the link, the interface and the decoder name a timer, a menu item or a control without
// reaching up into ui/ or core/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/window.h"

namespace xarvel {

struct CoreState {
  plat::Hwnd MainWindow = plat::kNoWindow;
  // The status dialog window, owner of the five timers; 0 until it has been created.
  plat::Hwnd MainDialog = plat::kNoWindow;
  // Shown in the window title and the About box; empty until start-up reads it.
  std::string VersionString;
  // The shutdown sequence runs at most once per process.
  bool ShutdownDone = false;
};

CoreState& Core();
void ResetCore();

// Timers of the status dialog window.
inline constexpr uintptr_t kTimerPoll = 1;
inline constexpr uintptr_t kTimerSave = 2;
inline constexpr uintptr_t kTimerForwardBuffer = 3;
inline constexpr uintptr_t kTimerLockChange = 4;
inline constexpr uintptr_t kTimerInfodriver = 5;
// The link supervisor's timer (reply timeouts, the hold while no controller is connected) runs
// on the main window, which exists before the link opens and whether or not the dialog does.
inline constexpr uintptr_t kTimerLink = 6;
// The revertives owed after a return from an RX only that the link caused go out at this timer's
// pace, on the main window.
inline constexpr uintptr_t kTimerCatchUp = 7;

inline constexpr const char kErrorCaption[] = "! Xarvel - Error !";
inline constexpr int kMainWindowWidth = 888;
inline constexpr int kMainWindowHeight = 620;

// Menu command ids of the main menu.
inline constexpr int IDM_EXIT = 901;
inline constexpr int IDM_ABOUT = 904;
inline constexpr int IDM_DEST_BOX = 905;
inline constexpr int IDM_SOURCE_BOX = 906;
inline constexpr int IDM_TAKE = 907;
inline constexpr int IDM_ROUTER_A = 4001;
inline constexpr int IDM_ROUTER_Z = 4026;
inline constexpr int IDM_RECONNECT = 40031;
inline constexpr int IDM_DEBUG_ON = 40035;
inline constexpr int IDM_DEBUG_OFF = 40036;
inline constexpr int IDM_RELOAD_LOCKED = 40037;
inline constexpr int IDM_UNLOCK_ALL = 40041;
inline constexpr int IDM_SAVE = 40042;
inline constexpr int IDM_SEPARATOR = 40043;
inline constexpr int IDM_LOCK_POLL = 40044;
inline constexpr int IDM_NAME_UPDATE = 40045;
inline constexpr int IDM_SEND_SOURCE_NAME = 40048;
inline constexpr int IDM_SEND_DEST_NAME = 40049;
inline constexpr int IDM_LOCK_CHANGE = 40050;
inline constexpr int IDM_SHOW_ALL = 40051;

// Dialog controls that other modules write to.
inline constexpr int IDC_RESETS_A = 211;
inline constexpr int IDC_RESETS_B = 214;
inline constexpr int IDC_SOURCE_LIST = 1001;
inline constexpr int IDC_DEST_LIST = 1002;
inline constexpr int IDC_MODE = 1007;
inline constexpr int IDC_MESSAGE = 1009;
inline constexpr int IDC_MC1000_LOCK = 1012;
inline constexpr int IDC_TX_COUNT = 1101;
inline constexpr int IDC_RX_COUNT = 1102;
inline constexpr int IDC_ANSWER = 1704;
inline constexpr int IDC_LOCK_POLL = 1705;
inline constexpr int IDC_NAME_UPDATE = 1706;
inline constexpr int IDC_LINK_STATUS = 1801;
inline constexpr int IDC_LINK_STATUS2 = 1803;
inline constexpr int IDC_ACTIVE_CONTROLLER = 1804;
inline constexpr int IDC_LOCK_INFODRIVER = 2002;

// Dialog controls written only by the dialog itself.
inline constexpr int IDC_CONN_A = 212;
inline constexpr int IDC_CONN_B = 213;
inline constexpr int IDC_TAKE = 1003;
inline constexpr int IDC_LOCK = 1004;
inline constexpr int IDC_ROUTER = 1501;
inline constexpr int IDC_POLL_ROUTER = 1701;
inline constexpr int IDC_POLL_DEST = 1702;
inline constexpr int IDC_PARK = 1703;
inline constexpr int IDC_LINK_MODE = 1802;
inline constexpr int IDC_ROUTER_DEVICE = 5001;   // + router index
inline constexpr int IDC_ROUTER_SOURCES = 5101;  // + router index
inline constexpr int IDC_ROUTER_DESTS = 5201;    // + router index
inline constexpr int IDC_ROUTER_OFFSETS = 5301;  // + router index

// Writes `text` into control `id` of the status dialog; does nothing while there is no dialog.
void Dlg_SetText(int id, std::string_view text);

}  // namespace xarvel
