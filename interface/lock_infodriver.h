// The lock infodriver link, as far as the rest of the driver needs it.
#pragma once

#include <string_view>

namespace xarvel {

// Creates the infodriver client object (with interface version 109) that the link uses.
void LockInfodriver_CreateClient();

// True while the lock infodriver client is connected.
bool LockInfodriver_Connected();

// Makes the lock infodriver follow the driver's mode (1 = RX only, 2 = TX/RX) and shows its mode
// in the dialog. Does nothing while it is not connected.
void LockInfodriver_FollowMode(int mode);

// Connects to the lock infodriver named in the profile. Result 1 = connected.
int INFO_connect();

// Writes `text` into slot `slot` of the lock infodriver (when connected).
void LockInfodriver_UpdateSlot(int slot, std::string_view text);

// Puts the lock infodriver in RX only and closes the client (shutdown).
void LockInfodriver_Close();

}  // namespace xarvel
