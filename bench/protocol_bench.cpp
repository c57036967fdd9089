// Throughput of the controller reply decoding (bytes per second through NTP_RxByte) and of the
// command handling (commands per second through ParseCommand, in simulation).
//
// The debug output goes to a sink that drops it, so the figures are the driver's own work and
// not the terminal's; revertives are formed and handed to an absent KAPI window.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <vector>

#include "config/profile.h"
#include "core/wiring.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
#include "link/comsup.h"
#include "platform/debug_output.h"
#include "protocol/command_handler.h"
#include "protocol/ntp.h"
#include "router_setup.h"
#include "state/router_tables.h"
#include "tracing/debug.h"

namespace {

using testing_support::DefineRouter;

void SetUpDriver() {
  xarvel::ResetProfile();
  xarvel::ResetDebug();
  xarvel::ResetTables();
  plat::SetDebugSink([](std::string_view) {});
  xarvel::WireLayers();
  DefineRouter(0, 101, 256, 256, 0, 0);
  DefineRouter(1, 102, 256, 256, 0, 256);
  xarvel::Profile().Access[0] = 1;
  xarvel::Profile().settings.ParkSource = 1;
  xarvel::Profile().settings.SourceToDest = 1;
  xarvel::Kapi().DriverMode = xarvel::IFMODE_TXRX;
  xarvel::NTP_ResetReceiver();
  // Commands go nowhere: no link is open, and the count of unanswered ones never trips.
  xarvel::ComSup_SetSendTap([](std::string_view) {});
  xarvel::Profile().settings.MaxUnACKedRoutesBeforeCommsFail = 1 << 30;
}

// What a busy controller sends: single and multi-entry route reports (about half of them change
// a tally), acknowledgements, lock status, zero-padded numbers, line feeds after some replies.
std::string ReplyMix() {
  std::string mix;
  for (int d = 1; d <= 40; ++d) {
    const int src = d % 7 + 1;
    mix += ".UA" + std::to_string(d) + "," + std::to_string(src) + "\r";
    mix += ".UA" + std::to_string(d) + "," + std::to_string(src + 1) + "\r\n";
    mix += ".UB" + std::to_string(256 + d) + "," + std::to_string(src) + ";A" +
           std::to_string(d + 40) + ",3;A" + std::to_string(d + 80) + ",4\r";
    mix += ".A\r";
    mix += ".AA0" + std::to_string(10 + d % 80) + ",00" + std::to_string(d % 10) + "\r";
    mix += ".BA" + std::to_string(256 + d) + "," + std::to_string(d % 2) + "\r\n";
  }
  return mix;
}

void BM_RxByte(benchmark::State& state) {
  SetUpDriver();
  const std::string mix = ReplyMix();
  for (auto _ : state) {
    for (char c : mix) xarvel::NTP_RxByte(static_cast<unsigned char>(c));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(mix.size()));
}
BENCHMARK(BM_RxByte);

// Mostly route requests, some polls and queries.
std::vector<std::string> CommandMix() {
  std::vector<std::string> mix;
  for (int d = 1; d <= 100; ++d) {
    if (d % 10 == 0) {
      mix.push_back("RP 101 " + std::to_string(d) + " " + std::to_string(d) + " 0");
    } else if (d % 10 == 5) {
      mix.push_back("RQ 102 " + std::to_string(d) + " " + std::to_string(d + 3) + " 0");
    } else {
      mix.push_back("RC 10" + std::to_string(1 + d % 2) + " " + std::to_string(d % 50 + 1) + " " +
                    std::to_string(d) + " ',---' 0");
    }
  }
  return mix;
}

void BM_ParseCommandSimulation(benchmark::State& state) {
  SetUpDriver();
  xarvel::Profile().settings.Simulation = 1;
  const std::vector<std::string> mix = CommandMix();
  for (auto _ : state) {
    for (const std::string& c : mix) xarvel::ParseCommand(c);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(mix.size()));
}
BENCHMARK(BM_ParseCommandSimulation);

}  // namespace

BENCHMARK_MAIN();
