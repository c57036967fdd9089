#include <utility>

#include "core/main_window.h"
#include "ids/window_ids.h"
#include "platform/dialog.h"

namespace xarvel {

void LoadMainMenu(plat::Hwnd hwnd) {
  static const std::pair<int, const char*> kItems[] = {
      {IDM_EXIT, "e&Xit"},
      {IDM_ABOUT, "&About"},
      {IDM_DEST_BOX, "&Dest Box"},
      {IDM_SOURCE_BOX, "&Source Box"},
      {IDM_TAKE, "&Take"},
      {IDM_RECONNECT, "Reconnect  &Controller (IP)"},
      {IDM_DEBUG_ON, "Debug O&n"},
      {IDM_DEBUG_OFF, "Debug Of&f"},
      {IDM_RELOAD_LOCKED, "Reload &Locked Dests"},
      {IDM_UNLOCK_ALL, "&Unlock All Destinations"},
      {IDM_SAVE, "&Save Routes and Locks"},
      {IDM_SEPARATOR, "-----------------------------"},
      {IDM_LOCK_POLL, "&Poll for MC1000 Lock Status"},
      {IDM_NAME_UPDATE, "Set DB &Names on Router "},
      {IDM_SEND_SOURCE_NAME, "Send S&ource Name to MC1000"},
      {IDM_SEND_DEST_NAME, "Send D&est Name to MC1000"},
      {IDM_LOCK_CHANGE, "&Change MC1000 Lock Status"},
      {IDM_SHOW_ALL, "Show All Messages"},
  };
  for (const auto& [id, text] : kItems) plat::SetMenuItem(hwnd, id, text);
  for (int id = IDM_ROUTER_A; id <= IDM_ROUTER_Z; ++id) {
    const char text[] = {'&', static_cast<char>('A' + (id - IDM_ROUTER_A)), '\0'};
    plat::SetMenuItem(hwnd, id, text);
  }
}

}  // namespace xarvel
