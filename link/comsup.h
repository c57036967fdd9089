// The link supervisor: opens and closes the controller link.
#pragma once

namespace xarvel {

// Opens the controller link. 1 = link started, 0 = the serial port cannot be opened (the driver
// then ends).
int ComSup_Init();
// Closes the serial link.
void ComSup_CloseComm();
// Closes both controller connections (TCP).
void ComSup_IpClose();

}  // namespace xarvel
