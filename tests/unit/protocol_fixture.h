// A test bed for the controller protocol and the command handling: configured routers with
// their tables, a KAPI stand-in that records the revertives it is sent, a dialog window model
// for the display fields, and the controller commands the driver sent.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/location.h"
#include "config/profile.h"
#include "driver_fixture.h"
#include "ids/window_ids.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
#include "link/comsup.h"
#include "link/link_state.h"
#include "platform/dialog.h"
#include "platform/window.h"
#include "protocol/command_handler.h"
#include "protocol/ntp.h"
#include "state/router_tables.h"
#include "test_support.h"
#include "tracing/debug.h"

namespace protocol_test {

// One revertive or query reply as KAPI received it.
struct Revertive {
  uint32_t msg;
  int param;
  std::string text;
};

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::EnsureQtApp();
    testing_support::ResetAll();
    xarvel::Profile().Access[0] = 1;
    // The link is not what these tests are about: it never gives up on the controller here.
    xarvel::Profile().settings.MaxUnACKedRoutesBeforeCommsFail = 1 << 30;
    // A dialog window model for the display fields.
    dialog_ = plat::CreateWindow([](plat::Hwnd, uint32_t, plat::WParam, plat::LParam) { return 0; },
                                 false);
    xarvel::Core().MainDialog = dialog_;
    // KAPI: a local top-level window that keeps every revertive text it is sent.
    kapi_ = plat::CreateWindow(
        [this](plat::Hwnd self, uint32_t msg, plat::WParam w, plat::LParam l) -> plat::LResult {
          if (msg == xarvel::ZUT_DATA) return plat::HandOffDataMessage(self, w, l);
          if (msg == xarvel::ZUT_REVERTIVE || msg == xarvel::ZUT_QUERYREPLY) {
            revertives_.push_back({msg, static_cast<int>(w), reinterpret_cast<const char*>(l)});
          }
          return 0;
        },
        true);
    xarvel::Kapi().KapiWindow = kapi_;
    xarvel::Kapi().DriverMode = xarvel::IFMODE_TXRX;
  }
  void TearDown() override { testing_support::ResetAll(); }

  // Defines router `index` with its tables, all zero.
  static xarvel::RouterConfig& Define(int index, int device_id, int sources, int dests,
                                      int offset_src = 0, int offset_dest = 0) {
    return testing_support::AddRouter(index, device_id, sources, dests, offset_src, offset_dest);
  }

  static void Feed(std::string_view bytes) {
    for (char c : bytes) xarvel::NTP_RxByte(static_cast<unsigned char>(c));
  }

  static std::vector<std::string> Sent() { return testing_support::SentCommands(); }

  // The texts of the revertives received, in order.
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const Revertive& r : revertives_) out.push_back(r.text);
    return out;
  }

  std::string Field(int id) const { return plat::GetDlgItemText(dialog_, id); }

  testing_support::DebugCapture debug_;
  testing_support::TempDir root_;
  testing_support::EnvGuard zq_root_{"ZQ_ROOT", root_.str()};
  testing_support::EnvGuard zq_system_{"ZQ_SYSTEM", std::string()};
  std::vector<Revertive> revertives_;
  plat::Hwnd dialog_ = plat::kNoWindow;
  plat::Hwnd kapi_ = plat::kNoWindow;
};

}  // namespace protocol_test
