#include "link/comsup.h"

#include <string>

#include "config/profile.h"
#include "core/driver.h"
#include "link/link_state.h"
#include "platform/msgbox.h"
#include "ui/dialog_ids.h"

namespace xarvel {

// Only the simulation path exists so far: it confirms the link at once. TCP connection attempts
// start later and never fail here; a serial port cannot be opened yet and takes the failure path.
int ComSup_Init() {
  Link().ComState = kComUnconfirmed;
  Link().ConnStateA = 2;
  Link().ConnStateB = 2;
  if (Profile().settings.Simulation == 1) {
    Link().ComState = kComOk;
    return 1;
  }
  if (Profile().settings.Connection_Mode == 2) return 1;
  Dlg_SetText(IDC_LINK_STATUS, "OpenPort FAIL");
  plat::MessageBox(Core().MainWindow,
                   "Can't open serial port " + std::to_string(Profile().settings.Com),
                   kErrorCaption);
  return 0;
}

void ComSup_CloseComm() {}

void ComSup_IpClose() {
  Link().ActiveController = kControllerNone;
  Link().ConnStateA = 2;
  Link().ConnStateB = 2;
}

std::vector<std::string>& SentCommands() {
  static std::vector<std::string> sent;
  return sent;
}

void SendData(const char* text, int length) {
  if (text == nullptr || length <= 0) return;
  SentCommands().emplace_back(text, static_cast<size_t>(length));
  ++Link().UnAckedCount;
}

void ComSup_RouteReply(int /*router_index*/) {
  Link().UnAckedCount = 0;
}

void ComSup_SetComState(int state) {
  Link().ComState = state;
}

}  // namespace xarvel
