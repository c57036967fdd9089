// The client room of kirn: every command that talks to a driver, an infodriver or the host over
// the bus as a tool (send, watch, mode, devices, dbchange, close, slot, slots, status, menu). It
// uses the common room only.
#pragma once

#include "tools/kirn/common/command_line.h"

namespace kirn {

// `send --check`: a route command unconfirmed.
inline constexpr int kUnconfirmedExit = 4;

int RunSend(const Args& args);
int RunWatch(const Args& args);
int RunMode(const Args& args);
int RunDevices(const Args& args);
int RunDbChange(const Args& args);
int RunClose(const Args& args);
int RunSlot(const Args& args);
int RunSlots(const Args& args);
// A driver's status panel and menu commands (panel_commands.cpp), and their help texts.
int RunStatus(const Args& args);
int RunPanelMenu(const Args& args);
extern const char kStatusHelp[];
extern const char kMenuHelp[];
// A driver's whole trace, streamed (trace_command.cpp).
int RunTrace(const Args& args);
extern const char kTraceHelp[];

}  // namespace kirn
