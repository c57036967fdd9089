// The link supervisor: opens the controller link (serial port, TCP to one controller or to a
// redundant pair A/B, or none in simulation), carries every controller command, feeds received
// bytes to the reply decoder, counts commands that no route report has answered, declares the
// link failed at the profile's limit, fails over between controllers and shows the link's state
// in the status dialog. Main thread only.
#pragma once

#include <functional>
#include <string_view>

namespace xarvel {

class SockSpawn;

// Opens the controller link. 1 = link started (or simulation), 0 = the serial port cannot be
// opened (the driver then ends).
int ComSup_Init();
// Opens serial port `port` with the profile's settings and one stop bit; 1 = open.
int ComSup_OpenComm(int port);
// Closes the serial link.
void ComSup_CloseComm();

// Sends one controller command (the text with its carriage return, `length` bytes) on the serial
// port or to the active controller, and counts it as unacknowledged; at the limit the link is
// declared failed.
void SendData(const char* text, int length);

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
// of the last report handled (-1 when the reply carried none).
void ComSup_RouteReply(int router_index);

}  // namespace xarvel
