// The link supervisor: opens the controller link (serial port, TCP to one controller or to a
// redundant pair A/B, or none in simulation), carries every controller command, feeds received
// bytes to the reply decoder, fails over between controllers and shows the link's state in the
// status dialog. Main thread only.
//
// The rules of the link (the queue, the window of outstanding commands, what answers what, the
// silence verdict, giving up, re-sending, RX only, the resync slots, which controller to try
// next) live in the send window (link/send_window.h), which has no I/O; this file asks it and
// does the writing, the reading, the connections and the display.
//
// Resync. On each connect and each return of the link to OK, every router's destinations from
// Min_Dest to Max_Dest are interrogated once ("ResyncOnConnect" 0 turns this off), only while
// nothing waits in the queue: up to four at a time on an idle line (fewer at a small unACK
// limit), one at a time while another command awaits its answer.
#pragma once

#include <functional>
#include <string_view>

#include "link/link_command.h"
#include "link/link_state.h"

namespace xarvel {

// Opens the controller link. 1 = link started (or simulation), 0 = the serial port cannot be
// opened (the driver then ends).
int ComSup_Init();
// Opens serial port `port` with the profile's settings and one stop bit; 1 = open.
int ComSup_OpenComm(int port);
// Closes the serial link.
void ComSup_CloseComm();

// Puts one controller command (the text with its carriage return, `length` bytes) into the send
// queue, which goes on the serial port or to the active controller as the window allows.
void SendData(const char* text, int length);
// The same for a command whose origin the sender knows: a route of the control system (for the
// drop and write traces), an interrogate of the poll (skipped, not held, while no TCP
// controller is connected) or of the resync walk (written at once, past the queue; the walk
// calls it only with a window slot free).
void SendData(const char* text, int length, const CommandOrigin& origin);

// False while the poll should not ask its next destination: an interrogate of the poll still
// waits in the queue, or no TCP controller is connected. The poll then stays where it is.
bool ComSup_PollMayAsk();

// Commands waiting in the send queue, and commands written and awaiting their route report.
int ComSup_QueueDepth();
int ComSup_Outstanding();

// The link timer of the main window (kTimerLink) has expired: reply timeouts, the hold of
// commands while no controller is connected, the pause before a silent controller is tried
// again.
void ComSup_Timer();

// A route report entry (`type` 'A' or 'U') of level `router_index` for controller destination
// `controller_dest` and source `controller_source` came back: it answers the oldest outstanding
// command it names (a route of that destination and source, or an interrogate of that
// destination), if any. True when it answered a destination asked again after a refused route:
// the control system is then owed one revertive of that destination (the caller sends it, unless
// the entry changed the tally and so sent one already). Every entry clears the count of commands
// sent since the last route report.
bool ComSup_RouteEntry(int router_index, char type, int controller_dest, int controller_source);
// A bare acknowledgement ".A" came back: it answers the oldest command awaiting its answer (a
// route so answered was refused by the controller).
void ComSup_Ack();
// A lock status ".BA" of lock number `lock_dest` came back: it answers the oldest lock command of
// that number, if any (an unasked one, a lock set at the front panel, proves nothing).
void ComSup_LockStatus(int lock_dest);
// A name acknowledgement ".RA" came back: it answers the oldest name command, if any.
void ComSup_NameAck();

// The driver's mode changed: entering RX only gives up every route waiting or outstanding.
void ComSup_ModeChanged();

// Closes the link at the end of the run (the serial port, or both controller connections);
// what still waits is given up (shutdown) and nothing is written after it.
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
// Forgets both channels and destroys their socket objects (end of the run, after the link is
// closed; tests).
void ComSup_ReleaseSockets();

// The index of the open serial port, negative when none is open.
int ComSup_SerialPort();
// A serial port is open and its device has not gone.
bool ComSup_SerialLineUp();

// A route report arrived from the controller: confirms the link when one of its entries
// answered an outstanding command. `router_index` names the router of the last report handled
// (-1 when the reply carried none). Called once per reply, after ComSup_RouteEntry for each of
// its entries.
void ComSup_RouteReply(int router_index);

}  // namespace xarvel
