// Driver state shared by the fuzz targets: a few routers with their tables, TX/RX mode, no
// KAPI window, no dialog, and debug output on but thrown away so that every trace line is still
// formatted. The lock log finds no usable configuration root and writes no file.
#pragma once

#include <climits>
#include <cstdlib>
#include <string_view>

#include "config/profile.h"
#include "core/wiring.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
#include "link/comsup.h"
#include "link/link_state.h"
#include "link/supervisor_state.h"
#include "platform/debug_output.h"
#include "protocol/ntp.h"
#include "router_setup.h"
#include "state/router_tables.h"
#include "tracing/debug.h"

namespace fuzz_setup {

using testing_support::DefineRouter;

// Runs once per process.
inline bool Init() {
  // An empty $ZQ_ROOT gives no configuration root: nothing is written to disk.
  ::setenv("ZQ_ROOT", "", 1);
  plat::SetDebugSink([](std::string_view) {});
  xarvel::WireLayers();
  xarvel::Debug().DebugMode = 1;
  DefineRouter(0, 101, 32, 64, 0, 0);
  DefineRouter(1, 102, 500, 128, 10, 100);
  DefineRouter(2, 103, xarvel::kMaxSource, xarvel::kTableDests, 0, 200);
  DefineRouter(25, 126, 16, 16, INT_MAX, INT_MAX);
  xarvel::Profile().CurrentRouter = 0;
  xarvel::Profile().Access[0] = 1;
  xarvel::Profile().Access[5] = 1;
  xarvel::Profile().Access[1000] = 1;
  xarvel::Profile().settings.ParkSource = 7;
  xarvel::Profile().settings.PollForMC1000LockStatus = 1;
  xarvel::Kapi().DriverMode = xarvel::IFMODE_TXRX;
  return true;
}

// Each input starts with a link that has not yet given up on the controller and an empty send
// queue (no link is open, so the commands an input makes only wait there).
inline void EndOfInput() {
  xarvel::Link().UnAckedCount = 0;
  xarvel::Supervisor().Window.ClearQueue();
}

}  // namespace fuzz_setup
