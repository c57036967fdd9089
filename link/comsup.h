// The link supervisor: opens and closes the controller link.
#pragma once

#include <string>
#include <vector>

namespace xarvel {

// Opens the controller link. 1 = link started, 0 = the serial port cannot be opened (the driver
// then ends).
int ComSup_Init();
// Closes the serial link.
void ComSup_CloseComm();
// Closes both controller connections (TCP).
void ComSup_IpClose();

// Sends one controller command (the text with its carriage return, `length` bytes) and counts it
// as unacknowledged. Until the link exists it only keeps the command in SentCommands().
void SendData(const char* text, int length);
// Commands handed to SendData, oldest first (kept until the link exists).
std::vector<std::string>& SentCommands();

// A route report arrived from the controller: confirms the link. `router_index` names the router
// of the last report handled (-1 when the reply carried none).
void ComSup_RouteReply(int router_index);

// Sets the link state (0 unconfirmed, 1 OK, 2 failed) and shows it.
void ComSup_SetComState(int state);

}  // namespace xarvel
