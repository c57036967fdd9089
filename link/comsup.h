// The link supervisor: opens the controller link (serial port, TCP to one controller or to a
// redundant pair A/B, or none in simulation), carries every controller command, feeds received
// bytes to the reply decoder, fails over between controllers and shows the link's state in the
// status dialog. Main thread only.
//
// Pacing. Every command joins one ordered send queue. Route and interrogate commands are
// outstanding from their write until a route report entry naming their level and controller
// destination answers them (the oldest outstanding one of that level and destination); at most
// the unACK limit - 1 of them (at least one) are outstanding, and the next one waits at the head
// of the queue for a slot. Lock, lock interrogate and name commands keep their place in the
// queue but take no slot. The queue holds kSendQueueMax commands; beyond that the oldest waiting
// one is dropped.
//
// Failure by silence. The link is declared failed when commands are outstanding and nothing has
// been heard from the controller for the reply timeout ("ReplyTimeoutMs", else 1 s plus the
// wire time of what is outstanding). One command left unanswered that long while the
// controller answers commands written after it is given up on its own (an answer to an older
// command shows only that the controller spoke). Over TCP the commands the lost controller
// had not confirmed go, in order, to the controller that connects; waiting commands are dropped
// only when no controller has been connected for kHoldMs.
//
// Resync. On each connect and each return of the link to OK, every router's destinations from
// Min_Dest to Max_Dest are interrogated once ("ResyncOnConnect" 0 turns this off), one at a
// time and only while nothing waits in the queue.
#pragma once

#include <functional>
#include <string_view>

#include "link/link_state.h"

namespace xarvel {

class SockSpawn;

// Opens the controller link. 1 = link started (or simulation), 0 = the serial port cannot be
// opened (the driver then ends).
int ComSup_Init();
// Opens serial port `port` with the profile's settings and one stop bit; 1 = open.
int ComSup_OpenComm(int port);
// Closes the serial link.
void ComSup_CloseComm();

// Bound of the send queue.
inline constexpr size_t kSendQueueMax = 4096;
// How long commands wait while no TCP controller is connected, from the loss of the connection.
inline constexpr int64_t kHoldMs = 3000;

// Puts one controller command (the text with its carriage return, `length` bytes) into the send
// queue, which goes on the serial port or to the active controller as the window allows.
void SendData(const char* text, int length);
// The same for a command whose origin the sender knows: a route of the control system (for the
// drop trace) or an interrogate of the resync walk (written at once, past the queue; the walk
// calls it only with a window slot free).
void SendData(const char* text, int length, const CommandOrigin& origin);

// Commands waiting in the send queue, and commands written and awaiting their route report.
int ComSup_QueueDepth();
int ComSup_Outstanding();

// The link timer of the main window (kTimerLink) has expired: reply timeouts, the hold of
// commands while no controller is connected.
void ComSup_Timer();

// A route report entry of level `router_index` for controller destination `controller_dest`
// came back: answers the oldest outstanding command of that level and destination, if any.
void ComSup_RouteEntry(int router_index, int controller_dest);
// A reply of any kind came from the controller: it is not silent.
void ComSup_ReplyHeard();

// The driver has gone RX only: route commands still waiting are dropped.
void ComSup_RxOnlyEntered();

// Closes the link at the end of the run (the serial port, or both controller connections);
// nothing is written after it.
void ComSup_Shutdown();

// Sees every command SendData is given, before it goes to the wire (tests, diagnostics). An
// empty function removes the tap.
void ComSup_SetSendTap(std::function<void(std::string_view)> tap);

// Serial data has arrived (WM_COMMNOTIFY): hands every waiting byte to the reply decoder.
void ComSup_ReadComm();

// 1 = link OK, 2 = link failed (other values do nothing); shows it and follows it in the mode.
void ComSup_SetComState(int state);

// Starts connection attempts to every controller that is disconnected and may be used.
void ComSup_IpConnect();
// Closes both controller connections (TCP).
void ComSup_IpClose();
// Destroys both socket objects (end of the run; tests).
void ComSup_ReleaseSockets();

// Network events of controller A's and controller B's connection.
void NetA_Event(SockSpawn& socket);
void NetB_Event(SockSpawn& socket);

// A route report arrived from the controller: confirms the link. `router_index` names the router
// of the last report handled (-1 when the reply carried none). Called once per reply, after
// ComSup_RouteEntry for each of its entries.
void ComSup_RouteReply(int router_index);

}  // namespace xarvel
