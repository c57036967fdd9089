// The seams between the driver's layers, wired by core/ at start-up.
//
// A lower layer that must tell or ask something of a higher one (tracing the folder of the lock
// log, ...) holds a function that core/ fills here. Every seam is called synchronously on the
// main thread, exactly where the lower layer called the higher one directly before.
#pragma once

namespace xarvel {

// Fills every seam. Runs at program entry, before the start-up; tests run it after resetting
// the layers' state (which empties the seams).
void WireLayers();

// Fills the calls up from interface/, state/ and ui/ into ui/ and core/ (the shutdown, the
// dialog's refreshes, the forward buffer's timer); part of WireLayers.
void WireUpcalls();

}  // namespace xarvel
