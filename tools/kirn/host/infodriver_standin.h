// The infodriver stand-in of `kirn infodriver DEV`: a device with 4096 numbered text slots that
// drivers connect to as clients. It answers its find broadcast, reads and writes slots, reports
// and takes an interface mode, passes the slot requests of other users (`kirn slot`) to its
// clients, lists its slots for `kirn slots`, forgets clients that detach, and tells its clients
// when it closes.
//
// It runs as an ordinary top-level window of a bus client. All its work happens in its window
// procedure on the main thread; the logic behind each message is a public method so that a test
// can drive it without a bus.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "platform/debug_output.h"
#include "platform/window.h"
#include "tools/kirn/common/kirn_messages.h"

namespace kirn {

struct InfodriverHooks {
  // Receives one event line (no newline) for the operator.
  std::function<void(const std::string&, plat::LogLevel)> event;
  // Sets how long a send to another process may wait for its answer; returns the previous value.
  std::function<int(int ms)> set_send_timeout;
  // True while `window` still exists on the bus. Empty: every window counts as alive.
  std::function<bool(plat::Hwnd window)> is_alive;
  // Asked to end the program (after the clients have been told).
  std::function<void()> quit;
};

class InfodriverStandIn {
 public:
  static constexpr int kSlotCount = kInfodriverSlots;
  // Longest text a slot keeps (a client reads it into 256 bytes).
  static constexpr size_t kMaxSlotText = 255;
  // How long one client may take over a slot request or a close notice.
  static constexpr int kClientTimeoutMs = 3000;
  // How long a tool may take to take a listing.
  static constexpr int kToolTimeoutMs = 1000;

  InfodriverStandIn(int device, int mode, InfodriverHooks hooks);
  // Destroys the window.
  ~InfodriverStandIn();
  InfodriverStandIn(const InfodriverStandIn&) = delete;
  InfodriverStandIn& operator=(const InfodriverStandIn&) = delete;

  // Creates the top-level window whose procedure is Proc(). False when no handle could be had.
  bool Create();
  plat::Hwnd window() const { return window_; }
  int device() const { return device_; }
  int mode() const { return mode_; }
  const std::set<plat::Hwnd>& clients() const { return clients_; }
  // Another infodriver of the same device that answered this one's own find (see Proc), or 0.
  plat::Hwnd rival() const { return rival_; }

  // The window procedure.
  plat::LResult Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l);

  // ZUT_FINDINFODRIVER for this device: takes the finder on as a client (unless it is a tool)
  // and answers with ZUT_INFOHANDLE. Finds for other devices are ignored.
  void OnFind(plat::WParam w, plat::LParam l);
  // ZUT_SLOTWRITE / ZUT_SLOTWRITE2: stores the text (cut to kMaxSlotText). 1 stored, 0 for a
  // slot outside 0..4095.
  int WriteSlot(int slot, std::string_view text);
  // The text of a slot; empty outside 0..4095.
  std::string_view SlotText(int slot) const;
  // ZUT_SLOTREAD: writes the slot's text into the `size` bytes at `block`, zero-filled and
  // always terminated. 1 read, 0 for a slot outside 0..4095 (the block then holds "").
  int ReadSlot(int slot, char* block, size_t size) const;
  // ZUT_IDSETTXRXMODE: takes the mode; returns it.
  int SetMode(int mode);
  // A slot request of another user: ZUT_SLOTCHANGE to every client. Returns the number of
  // clients that took it, -1 for a slot outside 0..4095.
  int RequestSlot(int slot, std::string_view text);
  // ZUT_CLOSE to every client, which are then forgotten.
  void CloseClients();
  // Forgets the clients whose windows no longer exist.
  void PruneClients();
  // The bus host reports window `h` gone: a client among them is forgotten a moment later.
  void WindowGone(plat::Hwnd h);
  // After the bus came back: forgets the clients that did not, and tells the others which window
  // is the infodriver's (ZUT_INFOHANDLE). Returns the number told.
  int Announce();
  // "SLOT TEXT" lines of the non-empty slots, control characters shown as '?'.
  std::string ListSlots(int* count) const;

 private:
  // An event line at `level` (most are per message: debug).
  void Event(const std::string& text, plat::LogLevel level = plat::LogLevel::kDebug) const;
  int32_t SendBlock(plat::Hwnd to, uint32_t msg, int32_t param, std::string_view text, int timeout);
  plat::LResult SendPlain(plat::Hwnd to, uint32_t msg, plat::WParam w, plat::LParam l, int timeout);
  plat::LResult OnData(uint32_t msg, plat::WParam w, plat::LParam l);
  plat::LResult SendListing(plat::Hwnd to);

  int device_;
  int mode_;
  InfodriverHooks hooks_;
  plat::Hwnd window_ = plat::kNoWindow;
  plat::Hwnd rival_ = plat::kNoWindow;
  std::array<std::string, kSlotCount> slots_;
  std::set<plat::Hwnd> clients_;
  bool closing_ = false;
};

}  // namespace kirn
