// What state/ tells the layers above it: the locked-destination lists changed the locks.
//
// core/ fills it once at program entry (WireUpcalls in core/upcalls.cpp); state/ only calls it,
// synchronously on the main thread, where it called the status dialog directly before. Not
// filled (a test that wires nothing), it does nothing.
#pragma once

#include <functional>

namespace xarvel {

struct StateUpcalls {
  // The locked-destination lists were loaded or every lock of the current router cleared: the
  // dialog shows the selected destination afresh.
  std::function<void()> LocksChanged = [] {};
};

StateUpcalls& StateUp();

}  // namespace xarvel
