// Control ids of the status dialog that other modules write to, and the helper they use.
#pragma once

#include <string_view>

namespace xarvel {

inline constexpr int IDC_RESETS_A = 211;
inline constexpr int IDC_RESETS_B = 214;
inline constexpr int IDC_SOURCE_LIST = 1001;
inline constexpr int IDC_DEST_LIST = 1002;
inline constexpr int IDC_MODE = 1007;
inline constexpr int IDC_MESSAGE = 1009;
inline constexpr int IDC_MC1000_LOCK = 1012;
inline constexpr int IDC_TX_COUNT = 1101;
inline constexpr int IDC_RX_COUNT = 1102;
inline constexpr int IDC_ANSWER = 1704;
inline constexpr int IDC_LOCK_POLL = 1705;
inline constexpr int IDC_NAME_UPDATE = 1706;
inline constexpr int IDC_LINK_STATUS = 1801;
inline constexpr int IDC_LINK_STATUS2 = 1803;
inline constexpr int IDC_ACTIVE_CONTROLLER = 1804;
inline constexpr int IDC_LOCK_INFODRIVER = 2002;

// Writes `text` into control `id` of the status dialog; does nothing while there is no dialog.
void Dlg_SetText(int id, std::string_view text);

}  // namespace xarvel
