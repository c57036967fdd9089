// What interface/ asks of the layers above it: the end of the driver, the status dialog's view
// of a destination and of its controller-lock button, and the decoder's lock mapping and lock
// change for the lock infodriver.
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
  // What a slot request of the lock infodriver leads to, in the decoder: the router and
  // destination of controller lock destination `lock_dest` (0 when it maps to none), and the
  // controller lock change asked of the controller.
  std::function<int(int lock_dest, int& router_index, int& dest)> FindLockDest =
      [](int, int&, int&) { return 0; };
  std::function<void(int router_index, int dest, int state)> LockChange = [](int, int, int) {};
};

InterfaceUpcalls& InterfaceUp();

}  // namespace xarvel
