// What the link tells and asks of the layers above it: the reply decoder (received bytes, the
// interrogates of the resync walk and of a refused route), the driver's mode (the link's
// verdicts), the status dialog (its fields, the poll), the main window (the link timer, the
// message box) and the time. core/ fills these at start-up (core/wiring.cpp); the link holds
// them and never includes the layers above.
//
// Every seam is called synchronously on the main thread, at the very point where the link
// called the layer above directly before, so the order of what happens is unchanged. An empty
// seam does nothing (a query answers its default below).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "link/link_command.h"
#include "platform/window.h"

namespace xarvel {

// The link's verdicts the driver's mode and the dialog's poll follow.
enum class LinkVerdict : int {
  kStarted,       // the link opens afresh: the poll starts again from its first destination
  kOk,            // the link is confirmed OK: the poll starts again at the current router
  kTxRxRestored,  // the controller answers again: TX/RX where the link itself had taken it away
  kRxOnly,        // a serial line silent for the whole hold: RX only, so a partner may take over
};

// The status dialog's fields the link writes.
enum class LinkField : int {
  kStatusA,           // controller A's (or the serial port's) connection
  kStatusB,           // controller B's connection
  kMessage,           // the message line
  kActiveController,  // "A", "B" or blank
  kResetsA,           // times the link became OK on A (or the serial line)
  kResetsB,           // the same on B
  kAnswer,            // the poll's answer, blanked when the link fails
};

struct LinkSeams {
  // Steady-clock microseconds: the link's time and its send window's. Empty: the steady clock.
  std::function<int64_t()> now_us;
  // Bytes received from the controller, for the reply decoder.
  std::function<void(const unsigned char* bytes, size_t count)> received;
  // A new line or connection: the decoder forgets any partial reply.
  std::function<void()> reset_receiver;
  // An interrogate of control-system destination `dest` of router `index`, formed by the
  // protocol and given back to SendData with `asker`.
  std::function<void(int index, int dest, Asker asker)> interrogate;
  // A verdict; for kTxRxRestored the result is the driver's mode after it (0 when empty).
  std::function<int(LinkVerdict verdict)> verdict;
  // True while the driver is in RX only (false when empty).
  std::function<bool()> rx_only;
  // The mode the interface holds for device `device` (traced on the link's return; 0 when
  // empty).
  std::function<int(int device)> device_mode;
  // One revertive of route.dest of device route.device is owed to the control system.
  std::function<void(const RouteOrigin& route)> owe_revertive;
  // Writes a field of the status dialog.
  std::function<void(LinkField field, std::string_view text)> show;
  // The link timer of the main window: due in `ms` (1 or more), or stopped (0). False when it
  // could not be started (true when empty).
  std::function<bool(unsigned ms)> timer;
  // The window serial notifications go to (kNoWindow when empty).
  std::function<plat::Hwnd()> window;
  // An error the operator must see (a message box), beside its trace.
  std::function<void(std::string_view text)> alert;
};

// The link's seams; filled by core/ (WireLayers).
LinkSeams& LinkWiring();

}  // namespace xarvel
