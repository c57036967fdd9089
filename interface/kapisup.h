// Attachment to the control system's interface process (KAPI), registration of every router's
// device id, the driver's interface mode and the revertives it sends.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "platform/window.h"

namespace xarvel {

struct KapiState {
  // The driver's own interface mode; changes only through SetTXRX and AssertMode (and a refused
  // registration, which sets it to IFMODE_NONE before the driver shuts down).
  int DriverMode = 0;
  // KAPI's window, as its ZUT_KAPIHANDLE answer gave it; 0 until then.
  plat::Hwnd KapiWindow = plat::kNoWindow;
  // Revertive texts sent; shown in the dialog's "Tx" field.
  int32_t RevertiveCount = 0;
  // The driver is RX only because the link put it there (a serial line silent for its hold),
  // not because the interface ordered it: only then does the link's return lift it.
  bool RxOnlyByLink = false;
  // Destinations (device id, destination) whose tally changed while the link kept the driver
  // RX only: one revertive each is owed when TX/RX returns, sent at the catch-up pace.
  std::set<std::pair<int, int>> Missed;
  // The catch-up timer runs.
  bool CatchingUp = false;
};

// Revertives owed after a return from an RX only the link caused go out this many at a time,
// one batch every kCatchUpMs (2500 a second).
inline constexpr int kCatchUpBatch = 50;
inline constexpr unsigned kCatchUpMs = 20;

KapiState& Kapi();
void ResetKapi();

// Finds KAPI by broadcast. On failure: message box, the shutdown (InterfaceUp().Shutdown(0)),
// result 0. Result 1 = attached.
int KAPISup_Link();

// KAPISup_Link's broadcasts alone (ZUT_FINDKAPI, then ZUT_FINDKAPI2): forgets the KAPI window it
// had and keeps the one that answers. Result 1 = found, 0 = nobody answered.
int KAPISup_Find();

// Registers the device id of every defined router in letter order and takes the mode KAPI
// reports. A refusal or failure shows its message box, stops registering, sets the mode to
// IFMODE_NONE and starts the shutdown (InterfaceUp().Shutdown(1)); result 0. Result 1 = all
// registered.
int KAPISup_Init();

// Sets DriverMode and follows it in the dialog and the lock infodriver. Mode 0 also asks the
// driver's own main window to go TX/RX (which may re-enter SetTXRX(2) before this call returns).
// Returns the DriverMode in force afterwards.
int SetTXRX(int mode);

// SetTXRX(mode, 0 read as 2), then ZUT_ASSERTMODE to KAPI for every router device id. Returns the
// DriverMode in force afterwards.
int AssertMode(int mode);

// The link puts the driver in RX only (a serial line silent for its hold): AssertMode(1), noted
// as the link's doing unless the interface had ordered RX only already.
void KAPISup_LinkRxOnly();
// The link is back: TX/RX is asserted again only when the link itself had put the driver in RX
// only, or when the mode is still none (0); an RX only that the interface ordered (a mode
// request, a registration answered with RX only, a device id in use) stays, and any other mode
// too. Returns the DriverMode in force afterwards.
int KAPISup_LinkReturn();
// The tally of `dest` of `device_id` changed: while the link keeps the driver RX only its
// revertive is owed for the return to TX/RX.
void KAPISup_NoteChange(int device_id, int dest);
// The catch-up timer (kTimerCatchUp) has expired: the next batch of owed revertives.
void KAPISup_CatchUpTick();

// Tells KAPI the driver is leaving (first step of every shutdown).
void KAPISup_Detach();

// Sends "RR %03d %03d %03d" for destinations first..last of `device_id` to KAPI in TX/RX mode
// (kind 2: as query replies, the last one with bit 15 of `param` set; otherwise revertives).
// Refreshes the dialog's selection display for the selected destination in any mode.
void SendRevertives(int device_id, int first, int last, int kind, int param);

// Asks the control system for the name of entry `index` (1-based) of database `database`
// (0 = sources, 1 = destinations) of `device_id`. Empty when there is no answer.
std::string GetDatabaseName(int device_id, int database, int index);

}  // namespace xarvel
