// The private messages between the kirn tools and the control-system interface stand-in of
// `kirn serve`.
//
// A tool finds the stand-in as any client finds the interface process: it broadcasts
// ZUT_FINDKAPI with its own window in wParam (low 16 bits) and kToolFindMarker in lParam, and
// the stand-in answers with ZUT_KAPIHANDLE to that window. The tool then sends the messages
// below to the stand-in's window. The numbers lie outside every range the control system uses.
//
// Messages marked "data" carry a block and go through the interface library's data-message
// call (KirnIf_SendData); all others are plain sends.
#pragma once

#include <cstdint>
#include <limits>

namespace kirn {

// lParam of a tool's ZUT_FINDKAPI broadcast, so the stand-in knows the finder is one of its own
// tools rather than a driver (the driver's main window sends 4, an infodriver client 0).
inline constexpr int32_t kToolFindMarker = 0x4B49;

// Result of a request for a device that no driver has registered.
inline constexpr int32_t kNoDevice = std::numeric_limits<int32_t>::min();

// Tool -> stand-in.
// wParam: the watcher's window; lParam: a device id to follow, or 0 for every device (repeat
// the message to follow several). From then on the stand-in relays revertives, query replies
// and mode assertions of those devices to the window as kKirnLines. Result 1; 0 for window 0.
inline constexpr uint32_t kKirnWatch = 0x4B01;
// wParam: the watcher's window. Stops the relays. Result 1, 0 when it was not watching.
inline constexpr uint32_t kKirnUnwatch = 0x4B02;
// Data: a command text (zero-terminated, at most kMaxCommandText characters; longer is cut);
// parameter: the device id. Forwarded to the device's driver as ZUT_COMMAND. Result: the
// driver's result (1 taken, 0 no answer), or kNoDevice.
inline constexpr uint32_t kKirnSend = 0x4B03;
// wParam: device id; lParam: interface mode. Forwarded as ZUT_IDSETTXRXMODE(mode, 0). Result:
// the driver's result (its new mode), or kNoDevice.
inline constexpr uint32_t kKirnMode = 0x4B04;
// wParam: device id; lParam: the ZUT_DBCHANGE lParam. Forwarded as ZUT_DBCHANGE(device, lParam).
// Result: the driver's result, or kNoDevice.
inline constexpr uint32_t kKirnDbChange = 0x4B05;
// wParam: device id. Forwarded as ZUT_CLOSE. Result: the driver's result, or kNoDevice.
inline constexpr uint32_t kKirnClose = 0x4B06;
// wParam: the asking tool's window. The stand-in answers, before it returns, with kKirnLines
// to that window holding one "DEV MODE\n" line per registered device, in ascending device order.
// Result: the number of devices.
inline constexpr uint32_t kKirnDevices = 0x4B07;
// wParam: the asking tool's window. As kKirnDevices, each line naming also the window that
// registered the device: "DEV MODE WINDOW\n", WINDOW in decimal. Result: the number of devices.
inline constexpr uint32_t kKirnRegistrations = 0x4B08;

// wParam: the watcher's window; lParam: the kinds of relay it wants beyond revertives, query
// replies and mode assertions (kRelayDatabase | kRelayRegistrations), which a watcher that
// never sends this message does not get. Replaces the kinds asked for before; the watch itself
// is made with kKirnWatch. Result: the kinds the stand-in will relay (a stand-in that does not
// know the message answers 0: the watcher then learns nothing of those changes from it).
inline constexpr uint32_t kKirnWatchKinds = 0x4B09;
// "DB <dev> <database> <entry>": the names of database 0 (sources) or 1 (destinations) of
// device <dev> changed: entry <entry>, or every entry for 0. Relayed when a database change is
// forwarded to the device's driver (kKirnDbChange), when a name change command (RM) is
// delivered to it, and when the device's profile, where the stand-in reads the names, changes.
inline constexpr int32_t kRelayDatabase = 1;
// "REG <dev> <mode> <window>" when a device is registered (again), "UNREG <dev>" when its
// registration goes (detached, its window gone, taken over by another window).
inline constexpr int32_t kRelayRegistrations = 2;

// Stand-in -> tool.
// Data: one or more lines, each ending in '\n' ("REV <param> <text>", "QRY <param> <text>",
// "MODE <dev> <mode>", the lines of kKirnWatchKinds to a watcher that asked for them, or
// "DEV MODE" for kKirnDevices, "DEV MODE WINDOW" for kKirnRegistrations); parameter: the number
// of lines.
// The receiver returns 1; any other result (0 for a window that is gone, or no answer in time)
// makes the stand-in drop that watcher.
inline constexpr uint32_t kKirnLines = 0x4B10;

// Stand-in -> watcher: relays for this watcher were lost. wParam: how many were dropped (the
// stand-in's queue was full) since its previous delivery, sent before the lines that follow
// them; the receiver returns 1 (any other result drops the watcher, as for kKirnLines). Or,
// posted, wParam kRelaysWatcherDropped: the watcher itself was dropped (it did not answer a
// delivery in time) and gets nothing more until it watches again.
inline constexpr uint32_t kKirnRelaysDropped = 0x4B13;
inline constexpr int32_t kRelaysWatcherDropped = -1;

// Stand-in -> itself, posted: deliver the queued relays now that the current message is done.
inline constexpr uint32_t kKirnFlush = 0x4B11;
// Stand-in -> itself, posted when the bus host reports a window gone (wParam: its handle): the
// registrations and the watch of that window are forgotten.
inline constexpr uint32_t kKirnGone = 0x4B12;

// The infodriver stand-in (`kirn infodriver DEV`). A tool finds it as a client does, by
// broadcasting ZUT_FINDINFODRIVER, with kToolFindMarker in the high 16 bits of lParam so that
// the infodriver answers with ZUT_INFOHANDLE without taking the tool on as a client.
//
// Tool -> infodriver. Data: the requested text (zero-terminated, at most kMaxSlotRequestText
// characters; longer is cut); parameter: the slot 0..4095. Another user asks for a new text in
// the slot: the infodriver passes it to each of its clients as ZUT_SLOTCHANGE and does not store
// it. Result: the number of clients that took it, or -1 for a slot outside 0..4095.
inline constexpr uint32_t kKirnSlotRequest = 0x4B20;
// Tool -> infodriver. wParam: the tool's window. The infodriver answers, before it returns, with
// kKirnLines to that window holding one "SLOT TEXT\n" line per non-empty slot, in slot order.
// Result: the number of non-empty slots.
inline constexpr uint32_t kKirnSlotList = 0x4B21;
// Infodriver -> itself, posted: tell the clients it is closing and end.
inline constexpr uint32_t kKirnInfoQuit = 0x4B23;

// Longest text a tool may request for a slot.
inline constexpr int kMaxSlotRequestText = 1023;
// The text slots of an infodriver (kirn infodriver), numbered 0..kInfodriverSlots - 1.
inline constexpr int kInfodriverSlots = 4096;

// Longest command text the control system hands a driver (it copies into 512 bytes).
inline constexpr int kMaxCommandText = 511;

}  // namespace kirn
