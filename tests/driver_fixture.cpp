#include "driver_fixture.h"

#include "config/location.h"
#include "config/profile.h"
#include "core/main_window.h"
#include "core/wiring.h"
#include "ids/window_ids.h"
#include "interface/kapisup.h"
#include "interface/lock_infodriver.h"
#include "link/comsup.h"
#include "link/link_counters.h"
#include "link/link_state.h"
#include "link/serial.h"
#include "platform/dialog.h"
#include "protocol/command_handler.h"
#include "protocol/ntp.h"
#include "router_setup.h"
#include "state/index_files.h"
#include "state/router_tables.h"
#include "tracing/debug.h"
#include "ui/dialog_state.h"

namespace testing_support {

void ResetAll() {
  xarvel::ResetLockInfo();
  xarvel::ResetProfile();
  xarvel::ResetLocation();
  xarvel::ResetCore();
  xarvel::ResetKapi();
  xarvel::ResetTables();
  xarvel::ResetIndexFiles();
  xarvel::ResetLinkState();
  xarvel::ResetLinkCounters();
  xarvel::ResetMainWindowState();
  xarvel::ResetDebug();
  xarvel::ResetDialogState();
  xarvel::ResetCommandState();
  xarvel::NTP_ResetReceiver();
  xarvel::ComSup_ReleaseSockets();
  xarvel::ResetSerial();
  SentCommands().clear();
  xarvel::ComSup_SetSendTap([](std::string_view text) { SentCommands().emplace_back(text); });
  plat::ResetWindows();
  plat::ResetDialogModels();
  xarvel::WireLayers();
}

std::vector<std::string>& SentCommands() {
  static std::vector<std::string> sent;
  return sent;
}

xarvel::RouterConfig& AddRouter(int index, int device_id, int sources, int dests, int offset_src,
                                int offset_dest) {
  return DefineRouter(index, device_id, sources, dests, offset_src, offset_dest);
}

}  // namespace testing_support
