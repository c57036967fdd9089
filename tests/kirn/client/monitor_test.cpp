// The driver's counters as `kirn status --json` shows them, and `kirn status --check` as a
// monitoring system runs it, against a real driver, bus host and controller emulator.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "e2e_site.h"
#include "sim_process.h"

namespace {

using testing_support::Process;
using testing_support::Result;
using testing_support::SimProcess;

constexpr int kWaitMs = 10000;

bool Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

class MonitorTest : public testing_support::SiteTest {
 protected:
  // Runs `kirn status 101 --check` with `options` until it exits with `code`; the last run in
  // `last`.
  bool CheckBecomes(int code, Result* last, std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"status", "101", "--check"});
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    do {
      *last = Kirn(options);
      if (last->code == code) return true;
    } while (Clock::now() < deadline);
    return false;
  }

  std::string Counters() {
    const Result r = Kirn({"status", "101", "--json"});
    EXPECT_EQ(r.code, 0) << r.err;
    const size_t at = r.out.find("\"counters\":");
    return at == std::string::npos ? std::string() : r.out.substr(at);
  }
};

TEST_F(MonitorTest, CountersFollowRoutesRefusalsAndSaves) {
  WriteSite("Simulation=1\nForwardBufferDelay=0\nAccess=1\n");
  auto serve = StartServe();
  auto driver = StartDriver(*serve);

  // Carried out on both routers; refused for each reason the driver can tell.
  EXPECT_TRUE(Contains(Kirn({"send", "101", "RC 101 5 12 ',---' 0"}).out, "RR 101 012 005"));
  EXPECT_TRUE(Contains(Kirn({"send", "102", "RC 102 1 2 ',---' 1"}).out, "RR 102 002 001"));
  Kirn({"send", "101", "RL 101 3 3 1 0"});
  Kirn({"send", "101", "RC 101 5 3 ',---' 0"});   // locked
  Kirn({"send", "101", "RC 101 5 99 ',---' 0"});  // destination out of range
  Kirn({"send", "101", "RC 101 5 4 ',---' 7"});   // access number 7 has no access
  Kirn({"send", "101", "RC 555 5 4 ',---' 0"});   // nobody's router
  Kirn({"send", "101", "RP 101 1 2 0"});
  ASSERT_EQ(Kirn({"mode", "101", "rxonly"}).code, 0);
  EXPECT_EQ(Kirn({"send", "101", "RC 101 6 7 ',---' 0"}).out, "");  // RX only

  const std::string counters = Counters();
  EXPECT_TRUE(Contains(counters, "\"routes\":{\"101\":1,\"102\":1}")) << counters;
  EXPECT_TRUE(Contains(counters,
                       "\"routes_refused\":{"
                       "\"101\":{\"access\":1,\"locked\":1,\"range\":1,\"rx_only\":1},"
                       "\"102\":{\"access\":0,\"locked\":0,\"range\":0,\"rx_only\":0},"
                       "\"none\":{\"rx_only\":0,\"unknown_router\":1}}"))
      << counters;
  EXPECT_TRUE(Contains(counters,
                       "\"commands_received\":{\"RC\":7,\"RL\":1,\"RM\":0,\"RP\":1,\"RQ\":0,"
                       "\"other\":0}"))
      << counters;
  // Two routes and the poll of two destinations.
  EXPECT_TRUE(Contains(counters, "\"revertives_sent\":4,")) << counters;
  EXPECT_TRUE(Contains(counters, "\"interface_mode\":1,")) << counters;

  // Every refusal left its audit line, with the numbers as the command gave them.
  const std::string trace = driver->Stderr();
  for (const char* line :
       {"ROUTE 101 3 5 refused locked\n", "ROUTE 101 99 5 refused range\n",
        "ROUTE 101 4 5 refused access\n", "ROUTE 555 4 5 refused unknown_router\n",
        "ROUTE 101 7 6 refused rx_only\n"}) {
    EXPECT_TRUE(Contains(trace, line)) << line << trace;
  }

  // Start-up wrote both files once; the menu's save writes them again.
  EXPECT_EQ(Kirn({"menu", "101", "save"}).code, 0);
  EXPECT_TRUE(Contains(Counters(), "\"saves\":{\"index\":2,\"locks\":2}"));
  EXPECT_TRUE(Contains(Counters(), "\"save_failures\":{\"index\":0,\"locks\":0}"));
  Result check;
  EXPECT_TRUE(CheckBecomes(0, &check)) << check.out << check.err;
  EXPECT_TRUE(Contains(check.out, "XARVEL OK - Rx Only, Simulation | ")) << check.out;
  EXPECT_TRUE(Contains(check.out, " refused=5c ")) << check.out;

  // An index file that cannot be replaced (a directory stands in its place): the save fails,
  // the previous state of the disk is kept, and the check is critical until a save succeeds.
  std::filesystem::remove(dir_.path() / "DEV_012.IDX");
  std::filesystem::create_directory(dir_.path() / "DEV_012.IDX");
  EXPECT_EQ(Kirn({"menu", "101", "save"}).code, 0);
  EXPECT_TRUE(CheckBecomes(2, &check)) << check.out;
  EXPECT_TRUE(Contains(check.out, "XARVEL CRITICAL - Rx Only, Simulation: the latest save failed"))
      << check.out;
  EXPECT_TRUE(Contains(Counters(), "\"save_failures\":{\"index\":1,\"locks\":0}"));
  std::filesystem::remove(dir_.path() / "DEV_012.IDX");
  EXPECT_EQ(Kirn({"menu", "101", "save"}).code, 0);
  EXPECT_TRUE(CheckBecomes(0, &check)) << check.out;

  EXPECT_EQ(Kirn({"close", "101"}).code, 0);
  EXPECT_EQ(driver->Wait(kWaitMs), 0);
}

TEST_F(MonitorTest, CheckGivesEachStateInTheStateThatCallsForIt) {
  SimProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.Ready()) << sim.Err();
  const std::string port = std::to_string(sim.ports.at(0));
  // Route commands wait in the forward buffer for a minute: long enough to fill it.
  WriteSite(
      "Simulation=0\nForwardBufferDelay=60000\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\n"
      "IP_Port=" +
      port + "\nTallyDelay=40\n");
  auto serve = StartServe();
  auto driver = StartDriver(*serve);

  Result check;
  ASSERT_TRUE(CheckBecomes(0, &check)) << check.out << driver->Stderr();
  EXPECT_TRUE(Contains(check.out, "XARVEL OK - Tx/Rx, Comms Ok, controller A | latency_p50="))
      << check.out;
  EXPECT_TRUE(Contains(check.out, " dropped=0c ")) << check.out;

  // 49 route commands into 48 places: the oldest are dropped, which warns for five minutes.
  Process salvo({"/bin/sh", "-c",
                 std::string("yes \"RC 101 5 12 ',---' 0\" | head -n 49 | ") + KIRN_BIN +
                     " send 101 - --wait 0"},
                Env());
  ASSERT_EQ(salvo.Wait(kWaitMs), 0) << salvo.Stderr();
  ASSERT_TRUE(CheckBecomes(1, &check)) << check.out;
  EXPECT_TRUE(Contains(check.out,
                       "XARVEL WARNING - Tx/Rx, Comms Ok, controller A: a command "
                       "dropped "))
      << check.out;
  EXPECT_FALSE(Contains(check.out, " dropped=0c ")) << check.out;
  // With no drop window, drops do not warn.
  const Result narrow = Kirn({"status", "101", "--check", "--drop-window", "0"});
  EXPECT_EQ(narrow.code, 0) << narrow.out;

  // The interface asks for TX/RX: over TCP the driver connects again, and the controller now
  // refuses. Critical at once by default, a warning while the link has been down for less than
  // the time given; the time it went down is kept.
  ASSERT_TRUE(sim.Console("refuse " + port + " on", "ok refuse"));
  ASSERT_EQ(Kirn({"mode", "101", "txrx"}).code, 0);
  ASSERT_TRUE(CheckBecomes(2, &check)) << check.out;
  EXPECT_TRUE(Contains(check.out,
                       "XARVEL CRITICAL - Tx/Rx, Comms Fail, no controller: link "
                       "failed for "))
      << check.out;
  const std::string counters = Counters();
  EXPECT_TRUE(Contains(counters, "\"comms_state\":2,")) << counters;
  EXPECT_FALSE(Contains(counters, "\"not_ok_since_ms\":0,")) << counters;
  const Result patient = Kirn({"status", "101", "--check", "--critical-after", "3600"});
  EXPECT_EQ(patient.code, 1) << patient.out;
  EXPECT_TRUE(Contains(patient.out, "XARVEL WARNING - ")) << patient.out;

  // Nobody serves the device: critical. No bus at all: unknown. A usage error: unknown too.
  const Result nobody = Kirn({"status", "555", "--check"});
  EXPECT_EQ(nobody.code, 2) << nobody.out;
  EXPECT_EQ(nobody.out, "XARVEL CRITICAL - no driver serves device 555\n");
  const Result usage = Kirn({"status", "101", "--check", "--critical-after", "soon"});
  EXPECT_EQ(usage.code, 3) << usage.out;
  EXPECT_TRUE(Contains(usage.out, "XARVEL UNKNOWN - usage: ")) << usage.out;
  EXPECT_EQ(serve->Stop(), 0);
  const Result no_bus = Kirn({"status", "101", "--check"});
  EXPECT_EQ(no_bus.code, 3) << no_bus.out;
  EXPECT_TRUE(Contains(no_bus.out, "XARVEL UNKNOWN - no workstation bus")) << no_bus.out;

  // A new bus host: the driver comes back to it and counts the reconnection.
  serve = StartServe();
  EXPECT_TRUE(serve->WaitForOutput("register 102 ", kWaitMs)) << serve->Stdout();
  EXPECT_TRUE(Contains(Counters(), "\"bus_reconnections\":1,"));
  EXPECT_EQ(Kirn({"close", "101"}).code, 0);
  EXPECT_EQ(driver->Wait(kWaitMs), 0);
}

}  // namespace
