#include "driver_fixture.h"

#include "config/location.h"
#include "config/profile.h"
#include "core/driver.h"
#include "core/main_window.h"
#include "interface/kapisup.h"
#include "link/comsup.h"
#include "link/link_state.h"
#include "link/serial.h"
#include "platform/dialog.h"
#include "protocol/command_handler.h"
#include "protocol/ntp.h"
#include "state/index_files.h"
#include "state/router_tables.h"
#include "ui/debug.h"
#include "ui/status_dialog.h"

namespace testing_support {

void ResetAll() {
  xarvel::ResetProfile();
  xarvel::ResetLocation();
  xarvel::ResetCore();
  xarvel::ResetKapi();
  xarvel::ResetTables();
  xarvel::ResetIndexFiles();
  xarvel::ResetLinkState();
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
}

std::vector<std::string>& SentCommands() {
  static std::vector<std::string> sent;
  return sent;
}

xarvel::RouterConfig& AddRouter(int index, int device_id, int sources, int dests, int offset_src,
                                int offset_dest) {
  xarvel::RouterConfig& r = xarvel::Profile().routers[static_cast<size_t>(index)];
  r.DeviceId = device_id;
  r.SourceCount = sources;
  r.DestCount = dests;
  r.Min_Dest = 1;
  r.Max_Dest = dests;
  r.Offset_Src = offset_src;
  r.Offset_Dest = offset_dest;
  r.TallyMemory.assign(2 * xarvel::kTableDests, 0);
  r.LockMemory.assign(xarvel::kTableDests, 0);
  r.MC1000LockMemory.assign(xarvel::kTableDests, 0);
  return r;
}

}  // namespace testing_support
