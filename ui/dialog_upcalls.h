// What ui/ asks of core/: the status dialog owns the driver's timers, and the forward buffer's
// timer runs the forward buffer, which lies in core/.
//
// core/ fills it once at program entry (WireUpcalls in core/upcalls.cpp); the dialog only calls
// it, synchronously from its timer, where it called core/ directly before. Not filled (a test
// that wires nothing), it does nothing.
#pragma once

#include <functional>

namespace xarvel {

struct DialogUpcalls {
  // One tick of the forward buffer's timer (timer 3 of the dialog).
  std::function<void()> ForwardBufferTick = [] {};
};

DialogUpcalls& DialogUp();

}  // namespace xarvel
