// The trace on demand: every line of the driver's debug output, streamed over the workstation
// bus to the tracers that attach (`kirn trace`), whatever the log level, as a debug viewer sees
// the debug output stream.
//
// 1. A tracer finds the driver as `kirn status` does (kPanelFind, core/remote_panel.h), then
//    sends kTraceAttach to its main window: wParam the tracer's window (it must send from that
//    window), lParam the highest level it wants (3 err .. 7 debug; anything else: 7). Result 1
//    attached (again: the level is updated), 0 refused (kMaxTracers already attached).
// 2. The driver sends the lines as data messages kTraceLines to the tracer's window: a block of
//    whole lines, each ending in '\n', zero-terminated; the parameter is the number of lines.
//    Only one is on its way to a tracer at a time: the next goes once the tracer has answered
//    (any result), so the tracer paces its own stream. The sends do not wait: the driver never
//    stops for a tracer.
// 3. Lines wait in a buffer of kTraceBufferBytes per tracer. A tracer that does not keep up loses
//    the lines that do not fit; they are counted, and once room is back the tracer gets one line
//    "<xarvel-trace>-N lines dropped" before the next, and the driver's log says so once per
//    tracer.
// 4. kTraceDetach (wParam the tracer's window) ends it; so does the tracer's window going from
//    the bus, or the bus going. Result 1, 0 when it was not attached.
//
// With no tracer attached nothing is installed: the debug output pays one comparison a line.
// Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/window.h"

namespace plat {
class BusClient;
}

namespace xarvel {

inline constexpr uint32_t kTraceAttach = 0x5807;
inline constexpr uint32_t kTraceDetach = 0x5808;
inline constexpr uint32_t kTraceLines = 0x5809;

inline constexpr size_t kMaxTracers = 8;
inline constexpr size_t kTraceBufferBytes = 1024 * 1024;
// The most text one kTraceLines block carries (a bus frame's data is at most 64 KiB).
inline constexpr size_t kTraceBlockBytes = 60 * 1024;

// Where the lines go out: the driver's bus connection (nullptr: none; every tracer is dropped).
void TraceStream_Install(plat::BusClient* bus);
void TraceStream_Uninstall();

// True for kTraceAttach and kTraceDetach; the main window procedure hands them to
// TraceStream_Proc.
bool TraceStream_Handles(uint32_t msg);
plat::LResult TraceStream_Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l);

// A window has gone from the bus (a tracer's window: it is detached).
void TraceStream_WindowGone(plat::Hwnd window);
// The bus has gone: every tracer is detached (they attach again to the next host).
void TraceStream_BusLost();

// The number of tracers attached.
size_t TraceStream_Tracers();

}  // namespace xarvel
