// The interface library's two operations: handing a received data message to its handler
// (ordinal 1) and sending a message that carries a block of data (ordinal 2).
#pragma once

#include <cstdint>

#include "platform/window.h"

namespace xarvel {

// Ordinal 1. Called by a window procedure when ZUT_DATA arrives, with its own handle and the
// message's wParam and lParam unchanged: calls the procedure again with the carried message, its
// parameter and an lParam pointing at the received block (zero-terminated while the call runs).
// Returns the procedure's result, 0 for a hand-off that matches no received block.
plat::LResult KirnIf_HandOff(plat::Hwnd self, plat::WParam w, plat::LParam l);

// Ordinal 2. Sends `msg` with `param` and the `length` bytes at `data` to window `target`, local
// or on the bus, and waits for the answer. On return the block holds the receiver's answer (the
// receiver may change the block in place; a name lookup writes the name at byte 0); at most
// `length` bytes are copied back. `one` is the constant 1 of the call's form. Returns the
// receiver's result; 0 when there is no such window, the peer is gone, or `data` is null or
// `length` is not positive.
// REQUIRES: `data` points at `length` writable bytes.
int32_t KirnIf_SendData(plat::Hwnd target, uint32_t msg, int32_t param, void* data, int32_t one,
                        int32_t length);

}  // namespace xarvel
