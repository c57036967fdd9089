// What interface/ asks of the layers above it: the end of the driver, and the status dialog's
// view of a destination and of its controller-lock button.
//
// core/ fills these once at program entry (WireUpcalls in core/upcalls.cpp); interface/ only
// calls them, synchronously on the main thread, at the very places where it called core/ and
// ui/ directly before. One not filled (a test that wires nothing) does nothing, and the
// controller-lock button counts as not enabled.
#pragma once

#include <functional>

namespace xarvel {

struct InterfaceUpcalls {
  // Runs the driver's shutdown sequence (save = 1: write the tables as well).
  std::function<void(int save)> Shutdown = [](int) {};
  // A revertive of destination `dest` went out: the dialog shows it afresh when it is the one
  // selected.
  std::function<void(int dest)> RevertiveSent = [](int) {};
  // True while the dialog's controller-lock button may change controller locks.
  std::function<bool()> LockChangeEnabled = [] { return false; };
};

InterfaceUpcalls& InterfaceUp();

}  // namespace xarvel
