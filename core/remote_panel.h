// The status panel and the menu, reached over the workstation bus: what `kirn status` and
// `kirn menu` ask a driver that may have no display.
//
// The driver answers from the dialog and menu model that its view renders, so a remote reader
// sees exactly the texts an operator would see in the dialog. The message numbers lie outside
// every range the control system uses.
//
// 1. Find. A tool broadcasts kPanelFind with its window in wParam and a device id in lParam. A
//    driver that has a router with that device id sends kPanelHere to that window, with its main
//    window in wParam and the device id in lParam. Result 0.
// 2. Status. The tool sends kPanelStatus to that main window as a data message (through the
//    interface library's data call) with a zero-filled block of kPanelBlockSize bytes. The
//    driver writes the panel into the block as lines "KEY<TAB>VALUE\n" (kPanelFields order; then
//    source_to_dest, dest_to_source and park_source, the profile's reading of a route command;
//    controller_name and version, as the window title shows them, and reply_timeout_ms, the
//    profile's "ReplyTimeoutMs" (0: automatic, 1 s plus the wire time of what is outstanding);
//    then one "router<TAB>LETTER<TAB>DEVICE<TAB>SOURCES<TAB>DESTINATIONS<TAB>OFFSETS\n" line per
//    defined router), zero-terminated, cut at a line boundary when the block is full. Tabs and
//    line ends inside a text become blanks. Result: the number of bytes written.
// 3. Menu. The tool sends kPanelMenu as a data message with the menu id as its parameter and a
//    zero-filled block. The driver runs the menu command as a click on the menu would, then
//    writes the message line into the block. Result: kPanelMenuDone, or one of the refusals.
// 4. Counters. The tool sends kPanelCounters as a data message with a zero-filled block, as for
//    the status. The driver writes its counters and link figures into it, one figure a line in
//    the format of core/panel_counters.h, zero-terminated and cut at a line boundary. Result: the
//    number of bytes written. Everything a reader needs is in that one answer (the driver's own
//    device number and those of its routers), so a reader of many drivers asks each once.
// 5. Table. The tool sends kPanelTable as a data message with a zero-filled block of up to
//    kPanelTableBlockSize bytes; its parameter names a router by its device id (low 16 bits; the
//    control system's device ids are 16-bit) and the first destination wanted (high 16 bits; 0
//    is destination 1). The driver writes that router's tables, one router at a time (26 routers
//    of 4096 destinations do not fit one message):
//      table<TAB>1
//      router<TAB>DEVICE                     then one line each: letter (A..Z), sources and
//                                            destinations (the counts), min_dest and max_dest
//                                            (the poll range), park_source and park_name (the
//                                            dialog's park row, which stands for source 0)
//      first<TAB>F                           the first destination of this answer
//      DEST<TAB>SOURCE<TAB>LOCK<TAB>MC1000    one line per destination from F to the last one
//                                            of the router (its count), in order:
//                                            SOURCE the tally (65535: none known), LOCK the
//                                            control system's lock (0: not locked), MC1000 the
//                                            controller's lock state (0 unlocked, -1 unknown)
//      next<TAB>N                            the first destination not in this answer; 0: none
//      end<TAB>1
//    with as many destination lines as the block holds. A reader asks again from `next` until
//    it is 0. Result: the number of bytes written; 0 for a device id no router of the driver
//    has, or a block too small for the head and one line.
// 6. Link news. A tool that follows the driver's link (the state of the link, the active
//    controller, the connections, the interface mode) subscribes instead of asking again and
//    again: it sends kLinkSubscribe to the main window from its own window, wParam that window.
//    Result 1 subscribed (again), 0 refused (not sent from that window, or kMaxLinkSubscribers
//    already). The driver then sends kLinkNews to the subscriber as a data message, once at once
//    (the state to start from) and again after every turn of its loop in which any of those
//    changed: a block of LinkNewsText lines (core/panel_counters.h: format, driver, now_ms,
//    start_time_ms, interface_mode, comms_state, active_controller, connection_mode,
//    simulation, link_up..., end), zero-terminated. One is on its way to a subscriber at a
//    time: what changes meanwhile goes in the next, which carries the state as it is then. The
//    sends do not wait, so a subscriber never holds the driver up. The subscriber answers 1; any
//    other answer (the host's 0 for a window that has gone) drops it, as does the loss of the
//    bus. kLinkUnsubscribe (wParam the window, sent from it) ends it; result 1, 0 when it was
//    not subscribed. A subscription again sends the state again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/window.h"

namespace plat {
class BusClient;
}

namespace xarvel {

inline constexpr uint32_t kPanelFind = 0x5801;
inline constexpr uint32_t kPanelHere = 0x5802;
inline constexpr uint32_t kPanelStatus = 0x5803;
inline constexpr uint32_t kPanelMenu = 0x5804;
inline constexpr uint32_t kPanelCounters = 0x5805;
inline constexpr uint32_t kPanelTable = 0x5806;
// 0x5807..0x5809: the trace (ui/trace_stream.h).
inline constexpr uint32_t kLinkSubscribe = 0x580A;
inline constexpr uint32_t kLinkUnsubscribe = 0x580B;
inline constexpr uint32_t kLinkNews = 0x580C;

// Link subscribers a driver takes at most.
inline constexpr size_t kMaxLinkSubscribers = 16;

// Size of the answer block of kPanelStatus, kPanelMenu and kPanelCounters.
inline constexpr int32_t kPanelBlockSize = 16384;
// The largest answer block of kPanelTable that the driver fills (a bus frame's data is at most
// 64 KiB); a reader may hand a smaller one and ask more often.
inline constexpr int32_t kPanelTableBlockSize = 60 * 1024;

// Results of kPanelMenu.
inline constexpr int32_t kPanelMenuDone = 1;
// No such item in the driver's menu.
inline constexpr int32_t kPanelMenuUnknown = -1;
// The item is grayed: the operator could not choose it either.
inline constexpr int32_t kPanelMenuGrayed = -2;
// The item opens a modal box on the driver's display (About): not run from afar.
inline constexpr int32_t kPanelMenuNotRemote = -3;

// The status panel's fields in the order they are sent: key and dialog control id.
struct PanelField {
  const char* key;
  int id;
};
inline constexpr PanelField kPanelFields[] = {
    {"interface_mode", 1007},
    {"link_mode", 1802},
    {"connection_a", 212},
    {"status_a", 1801},
    {"resets_a", 211},
    {"connection_b", 213},
    {"status_b", 1803},
    {"resets_b", 214},
    {"active_controller", 1804},
    {"tx", 1101},
    {"rx", 1102},
    {"poll_router", 1701},
    {"poll_pointer", 1702},
    {"park", 1703},
    {"answer", 1704},
    {"lock_poll", 1705},
    {"names", 1706},
    {"lock_infodriver", 2002},
    {"current_router", 1501},
    {"lock", 1004},
    {"mc1000_lock", 1012},
    {"message", 1009},
};

// The menu commands by name, as `kirn menu` takes them; router-A..router-Z are 4001..4026.
struct PanelMenuName {
  const char* name;
  int id;
};
inline constexpr PanelMenuName kPanelMenuNames[] = {
    {"exit", 901},          {"dest-box", 905},   {"source-box", 906},  {"take", 907},
    {"reconnect", 40031},   {"debug-on", 40035}, {"debug-off", 40036}, {"reload-locks", 40037},
    {"unlock-all", 40041},  {"save", 40042},     {"lock-poll", 40044}, {"names", 40045},
    {"lock-change", 40050},
};

// The menu id of `name` (a name of kPanelMenuNames, or "router-X" with X in A..Z, letters in
// either case); 0 for anything else.
int PanelMenuId(std::string_view name);

// True for the messages above; the main window procedure hands them to RemotePanel_Proc.
bool RemotePanel_Handles(uint32_t msg);

// The driver's side: answers kPanelFind, kPanelStatus, kPanelMenu, kPanelCounters and
// kPanelTable (all but the first only as data messages, with lParam the handed-off block), and
// kLinkSubscribe and kLinkUnsubscribe.
plat::LResult RemotePanel_Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l);

// The link news go out over `bus` (nullptr: none; every subscriber is dropped), and
// RemotePanel_AnnounceLink runs at the end of every turn of the calling thread's event loop.
void RemotePanel_Install(plat::BusClient* bus);
void RemotePanel_Uninstall();
// Sends the link news to each subscriber for which the link figures differ from what it was
// last sent (or that has not been sent them yet) and whose previous news has been answered.
// Costs one comparison of a few numbers when nothing changed, nothing without subscribers. Run
// at the end of every loop turn; a place that changes the link may call it at once as well.
void RemotePanel_AnnounceLink();
// The number of link subscribers.
size_t RemotePanel_LinkSubscribers();

}  // namespace xarvel
