// Messages exchanged with the control system's interface process (KAPI), infodrivers and the
// windows of other drivers, and the interface-mode scale.
#pragma once

#include <cstdint>

namespace xarvel {

// Interface mode: the driver's own mode and an infodriver's mode share this scale.
enum InterfaceMode : int {
  IFMODE_NONE = 0,
  IFMODE_RXONLY = 1,
  IFMODE_TXRX = 2,
  IFMODE_FORCETXRX = 3,
  IFMODE_TXRXINQ = 4,
  IFMODE_RXONLYBROKEN = 5,
};
// Client-side markers of the infodriver client: a change to TX/RX, or to RX only, was accepted.
inline constexpr int kModeChangedToTxRx = 6;
inline constexpr int kModeChangedToRxOnly = 7;

// Name of a mode for notification texts; "?" outside 0..5.
const char* InterfaceModeName(int mode);

inline constexpr uint32_t ZUT_FINDKAPI = 0xC001;
inline constexpr uint32_t ZUT_FINDINFODRIVER = 0xC002;
inline constexpr uint32_t ZUT_FINDKAPI2 = 2031;
inline constexpr uint32_t ZUT_KAPIHANDLE = 2032;
inline constexpr uint32_t ZUT_DATA = 2074;
inline constexpr uint32_t ZUT_GETDBNAME = 2164;
inline constexpr uint32_t ZUT_DBCHANGE = 2174;
inline constexpr uint32_t ZUT_CLOSE = 2175;
inline constexpr uint32_t ZUT_REQDEVGORXONLY = 2179;
inline constexpr uint32_t ZUT_REQDEVGOTXRX = 2180;
inline constexpr uint32_t ZUT_INQDEVGOTXRX = 2181;
inline constexpr uint32_t ZUT_DETACH = 2186;
inline constexpr uint32_t ZUT_REVERTIVE = 2187;
inline constexpr uint32_t ZUT_QUERYREPLY = 2188;
inline constexpr uint32_t ZUT_COMMAND = 2189;
inline constexpr uint32_t ZUT_DeviceIDInUse = 2190;
inline constexpr uint32_t ZUT_REGISTER = 2193;
inline constexpr uint32_t ZUT_GETDEVMODE = 2214;
inline constexpr uint32_t ZUT_ASSERTMODE = 2215;
inline constexpr uint32_t ZUT_INFODETACH = 2725;
inline constexpr uint32_t ZUT_SLOTWRITE = 2726;
inline constexpr uint32_t ZUT_SLOTREAD = 2727;
inline constexpr uint32_t ZUT_SLOTCHANGE = 2728;
inline constexpr uint32_t ZUT_INFOHANDLE = 2729;
inline constexpr uint32_t ZUT_TEXT = 2730;
inline constexpr uint32_t ZUT_SLOTWRITE2 = 2731;
inline constexpr uint32_t ZUT_IDGETTXRXMODE = 2732;
inline constexpr uint32_t ZUT_IDSETTXRXMODE = 2733;
inline constexpr uint32_t ZUT_INFOOPTIONS = 3124;

// Answers of ZUT_REGISTER.
inline constexpr int kRegisterOk = 0;
inline constexpr int kRegisterInvalidId = 1;
inline constexpr int kRegisterIdInUse = 2;
inline constexpr int kRegisterNotDriverMode = 3;

// The name-lookup record of ZUT_GETDBNAME: device id, database number and entry number as 16-bit
// little-endian words, the rest zero; on return the name stands at byte 0, zero-terminated.
inline constexpr int kDbNameRecordSize = 18;
inline constexpr int kDbNameMaxLength = 17;

}  // namespace xarvel
