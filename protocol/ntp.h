// The controller protocol: the commands the driver sends to the controller (connect,
// interrogate, names, lock poll and lock change) and the decoding of the controller's replies.
#pragma once

#include <string_view>

namespace xarvel {

// --- Commands to the controller. Numbers passed in are control-system numbers; the router's
// offsets are applied here. Every command leaves through SendData.

// ".S<level><controller dest>,<controller source>\r". Result 1.
int NTP_Connect(int router_index, int source, int dest);
// ".I<level><controller dest>\r". Result 1.
int NTP_Interrogate(int router_index, int dest);
// Writes a source (kind 0) or destination (kind 1) name; length class 8 or 10.
void MC1000_name(std::string_view name, int router_index, int entry, int kind, int length_class);
// ".BI<controller dest>\r" for a valid destination (not in simulation).
void MC1000_LockPoll(int router_index, int dest);
// ".BL" (state non-zero) or ".BU" (state 0) for a valid destination; in simulation the driver's
// own controller-lock table changes instead.
void MC1000_LockChange(int router_index, int dest, int state);

// --- Replies from the controller.

// Takes one received byte; decodes a reply when its carriage return arrives.
void NTP_RxByte(unsigned char byte);
// Empties the reply buffer (the link supervisor does so when it opens the link).
void NTP_ResetReceiver();
// Maps a controller lock destination to a router index and control-system destination. Returns
// 1 when found, else 0 with both outs -1.
int FindLockDest(int lock_dest, int& router_index, int& dest);

}  // namespace xarvel
