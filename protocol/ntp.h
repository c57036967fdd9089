// The controller protocol: the commands the driver sends to the controller (connect,
// interrogate, names, lock poll and lock change) and the decoding of the controller's replies.
//
// Commands are ASCII: ".", one or two letters, decimal fields, one carriage return. Each is
// formed in a 32-byte buffer and leaves through SendData. Replies arrive as the link reads them,
// through NTP_RxBytes (or one byte at a time through NTP_RxByte), which collects them in a
// 32-byte circular buffer and hands each complete reply (from its "." through its carriage
// return) to NTP_Decode.
//
// Nothing here needs an event loop; everything runs on the main thread.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "link/link_command.h"

namespace xarvel {

// Size of the reply buffer; a reply (its "." and carriage return included) is at most this long.
inline constexpr size_t kReplyBufferSize = 32;
// Entries taken from one route report; further entries are not decoded.
inline constexpr size_t kMaxReplyEntries = 12;
// Longest entry text (level letters, destination, comma, source). A longer entry is dropped.
inline constexpr size_t kMaxEntryText = 11;
// Longest command, carriage return included (formed in a 32-byte buffer).
inline constexpr size_t kMaxCommandLength = 31;

// The entry texts of one route report; views into the reply being decoded.
using NtpEntries = std::array<std::string_view, kMaxReplyEntries>;

// --- Commands to the controller. Numbers passed in are control-system numbers; the router's
// offsets are applied here (in 64-bit arithmetic, so no offset can overflow). Every command
// leaves through SendData. In simulation nothing is sent.

// ".S<level><controller dest>,<controller source>\r". Result 1; 0 (nothing sent) when
// `router_index` is outside 0..25. The link supervisor keeps the router's device id, `source`
// and `dest` with the command, to name the route should it have to drop it.
int NTP_Connect(int router_index, int source, int dest);
// ".I<level><controller dest>\r". Result 1; 0 (nothing sent) when `router_index` is outside
// 0..25. `asker`: the control system, the status dialog's poll, the link's resync walk, or the
// link asking a destination again after the controller refused a route to it.
int NTP_Interrogate(int router_index, int dest, Asker asker = Asker::kControl);
// Writes a source (kind 0) or destination (kind 1) name; length class 10 selects the long-name
// commands, anything else the short ones. Control characters in the name go out as blanks (a
// carriage return would end the command early and start another), and a name too long for the
// 32-byte command is cut.
void MC1000_name(std::string_view name, int router_index, int entry, int kind, int length_class);
// ".BI<controller dest>\r" for a valid destination (not in simulation).
void MC1000_LockPoll(int router_index, int dest);
// ".BL" (state non-zero) or ".BU" (state 0) for a valid destination; in simulation the driver's
// own controller-lock table, the lock infodriver slot and (for the dialog's selected destination)
// the dialog's lock text change instead.
void MC1000_LockChange(int router_index, int dest, int state);

// --- Replies from the controller.

// Takes one received byte. On a carriage return, the reply is the bytes from the oldest "."
// still held in the buffer through that carriage return; it is handed to NTP_Decode and the
// buffer is emptied. A carriage return with no "." before it leaves the buffer as it is. A reply
// longer than the buffer loses its start and is dropped.
void NTP_RxByte(unsigned char byte);
// Takes a run of received bytes, exactly as NTP_RxByte would take them one after the other,
// with one search for each carriage return instead of a look at every byte.
void NTP_RxBytes(const unsigned char* bytes, size_t count);
// Empties the reply buffer (the link supervisor does so when it opens the link).
void NTP_ResetReceiver();
// Interprets one reply: acknowledgement, route report, controller lock status or name-change
// acknowledgement. The text normally ends with its carriage return; the end of the text is
// treated as one.
void NTP_Decode(std::string_view reply);
// Splits a route report, given from its type letter on, into entry texts. Returns how many were
// stored (at most kMaxReplyEntries). Entries longer than kMaxEntryText are dropped.
int NTP_SplitEntries(std::string_view text, NtpEntries& entries);
// Number of leading level letters 'A'..'Z' of an entry, never more than its length minus 1.
int NTP_CountLevels(std::string_view entry);
// Maps a controller lock destination to a router index and control-system destination. Returns
// 1 when found, else 0 with both outs -1.
int FindLockDest(int lock_dest, int& router_index, int& dest);

}  // namespace xarvel
