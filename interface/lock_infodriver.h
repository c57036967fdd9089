// The lock infodriver link: controller locks requested by other users of the control system
// through the text slots of the lock infodriver, the lock states written back into those slots,
// and the infodriver kept in the driver's own interface mode.
//
// Slot n belongs to the router and destination that FindLockDest maps the controller lock
// destination n to. Another user asks for a lock change by requesting the text "<word> <state>"
// in a slot, the word containing "MC1000" and the state 0..255 (0 unlocks); the driver turns it
// into a controller lock command and writes the slot only when the controller reports the new
// state. All of it runs on the main thread; messages to the infodriver are bounded sends.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "interface/ext_info_client.h"

namespace xarvel {

// Longest requested slot text that is parsed; longer requests are cut to this.
inline constexpr int kMaxSlotRequest = 255;
// Slot numbers the driver writes lie in 1..kMaxInfoSlot.
inline constexpr int kMaxInfoSlot = 4095;
// Period of the dialog timer that keeps the infodriver in the driver's mode.
inline constexpr unsigned kInfodriverCheckMs = 30000;

struct LockInfoState {
  // The one infodriver client; made by LockInfodriver_CreateClient, closed at shutdown.
  std::unique_ptr<ExtInfoClient> Client;
  // A closed client is kept here rather than deleted at once: the close can run inside a
  // message that is nested in a call on that same client (a shutdown arriving while the driver
  // waits for the infodriver), and that call must find its object when it resumes.
  std::unique_ptr<ExtInfoClient> Retired;
  // 1 while the link is up, else 0. Slots are written only while it is 1.
  int Connected = 0;
  // The lock destination mapping and the controller lock change a slot request leads to. They
  // are the decoder's FindLockDest and MC1000_LockChange, through the calls up that core/ wires
  // (InterfaceUp()); tests put recorders in their place.
  std::function<int(int lock_dest, int& router_index, int& dest)> FindDest;
  std::function<void(int router_index, int dest, int state)> LockChange;
  // Told when the link goes down (a close notice, or the infodriver found gone), so that the
  // driver connects again once the infodriver is back. Empty: nothing is retried.
  std::function<void()> OnLost;
  // The MC1000 lock poll flag as it was when the link went down and switched it off; -1 when
  // no loss is pending. A reconnection puts it back.
  int PollBeforeLoss = -1;
};

LockInfoState& LockInfo();
// Deletes the client without telling the infodriver and restores the defaults (tests).
void ResetLockInfo();

// Creates the infodriver client object (with interface version 109) that the link uses.
void LockInfodriver_CreateClient();

// True while the lock infodriver client is connected.
bool LockInfodriver_Connected();

// Makes the lock infodriver follow the driver's mode (1 = RX only, 2 = TX/RX) and shows its mode
// in the dialog ("%d Rxonly" / "%d TXRX"). Does nothing while it is not connected.
void LockInfodriver_FollowMode(int mode);

// Connects to the lock infodriver named in the profile ("LockStatusInfodriverID", 1..999) and
// shows the outcome in the dialog ("%d - OK", "%d - FAIL", "ERROR %d"). Result 1 = connected.
int INFO_connect();

// The start-up work after a successful INFO_connect: starts dialog timer 5 (30 s) and shows the
// infodriver's mode. Does nothing while the link is down.
void LockInfodriver_StartFollowing();

// The client's notification function: a disconnect, a mode decision or a slot change.
void InfoNotify(ExtInfoClient* client, int index, const char* text);

// A text requested for `slot` of infodriver `infodriver` by another user. A valid request
// ("<word containing MC1000> <0..255>" for a slot that maps to a router destination) becomes a
// controller lock change; anything else is traced and changes nothing. Texts beyond
// kMaxSlotRequest characters are cut first. Always 1: the request is consumed.
int SlotChange(int infodriver, int slot, const char* text);

// The work of dialog timer 5: when the link is up and the infodriver reports a mode other than
// the driver's, forces it into the driver's mode (RX only or TX/RX; other driver modes force
// nothing) and shows its mode again.
void CheckInfoDriver();

// Writes `text` into slot `slot` of the lock infodriver, unless the slot already holds it; only
// while connected and for slots 1..4095.
void LockInfodriver_UpdateSlot(int slot, std::string_view text);

// The infodriver is gone without its close notice (its window vanished from the bus, or the bus
// itself went): takes the path of the close notice. Nothing is sent to the old window.
// Does nothing while the link is down.
void LockInfodriver_Lost();

// True while the connected infodriver's window still exists (asked of the bus host; true when
// there is no bus to ask).
bool LockInfodriver_StillThere();

// The window of the connected infodriver, or 0.
plat::Hwnd LockInfodriver_Window();

// Connects again after a loss, saying nothing when the infodriver is still absent. On success:
// the start-up work (timer 5, the mode shown), the infodriver put in the driver's mode, and the
// MC1000 lock poll flag as it was before the loss. Result 1 = connected.
int LockInfodriver_Reconnect();

// Puts the lock infodriver in RX only and closes and deletes the client (shutdown).
void LockInfodriver_Close();

}  // namespace xarvel
