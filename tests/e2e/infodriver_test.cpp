// The lock infodriver with real processes: `kirn serve`, `kirn infodriver 900` and the driver.
// The driver connects and follows modes, slot requests of other users reach it, a client's slot
// writes show in `kirn slots`, and an infodriver that closes, stops or dies never holds the
// driver up.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "e2e_site.h"
#include "interface/ext_info_client.h"
#include "platform/bus_client.h"
#include "platform/window.h"
#include "test_support.h"

namespace {

using testing_support::Process;
using testing_support::ReadFile;
using testing_support::Result;
using testing_support::WriteFile;

class InfodriverTest : public testing_support::SiteTest {
 protected:
  void SetUp() override {
    WriteFile(dir_.path() / "DEV_012.INI",
              "[Controller]\nSimulation=1\nLockStatusInfodriverID=900\n"
              "[Routers]\nRouter_A=101,1,16\n");
    WriteFile(dir_.path() / "DEV_101.INI", "[Database]\nDatabaseSize_0=32\nDatabaseSize_1=16\n");
  }
  void TearDown() override {
    if (bus_) {
      plat::ResetWindows();
      plat::SetTransport(nullptr);
      bus_.reset();
    }
  }

  // The infodriver, started through a shell that leaves its process id in a file.
  std::unique_ptr<Process> StartInfodriver(pid_t* pid) {
    const auto pid_file = dir_.path() / "info.pid";
    auto info = Start({"/bin/sh", "-c", "echo $$ > \"$1\"; exec \"$0\" infodriver 900", KIRN_BIN,
                       pid_file.string()});
    EXPECT_TRUE(info->WaitForOutput("ready infodriver 900", 10000)) << info->Stderr();
    *pid = std::stoi(ReadFile(pid_file));
    return info;
  }

  std::unique_ptr<Process> StartDriver(const Process& info) {
    auto driver = Start({XARVEL_BIN, "12"});
    EXPECT_TRUE(driver->WaitForOutput("connected to OK to infodriver 900", 20000, true))
        << driver->Stderr();
    EXPECT_TRUE(info.WaitForOutput(" connected", 5000)) << info.Stdout();
    return driver;
  }

  // Tools may wait on a stopped infodriver's broadcasts: a longer bound than the site's.
  Result Kirn(std::vector<std::string> args) {
    args.insert(args.begin(), KIRN_BIN);
    Process p(args, Env());
    Result r;
    r.code = p.Wait(30000);
    r.out = p.Stdout();
    r.err = p.Stderr();
    return r;
  }

  // A kirn tool run while this process serves its own bus connection.
  Result KirnPumping(std::vector<std::string> args) {
    args.insert(args.begin(), KIRN_BIN);
    Process p(args, Env());
    Result r;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < deadline && (r.code = p.Wait(0)) < 0) bus_->Pump(20);
    r.out = p.Stdout();
    return r;
  }

  std::unique_ptr<plat::BusClient> bus_;
};

TEST_F(InfodriverTest, DriverConnectsFollowsModesAndTakesSlotRequests) {
  auto serve = StartServe();
  pid_t pid = 0;
  auto info = StartInfodriver(&pid);
  auto driver = StartDriver(*info);

  EXPECT_EQ(Kirn({"mode", "101", "rxonly"}).out, "1\n");
  EXPECT_TRUE(info->WaitForOutput("mode 1\n", 5000)) << info->Stdout();
  EXPECT_EQ(Kirn({"mode", "101", "txrx"}).out, "2\n");
  EXPECT_TRUE(info->WaitForOutput("mode 1\nmode 2\n", 5000)) << info->Stdout();

  // Requests of another user reach the driver's slot change, which reads them; the driver
  // never writes a requested text back itself, only the state that results.
  Result r = Kirn({"slot", "900", "5", "MC1000 255"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "1\n") << "one client took it";
  EXPECT_TRUE(driver->WaitForOutput("Slot change sscanf read 2 = MC1000 and 255  from MC1000 255",
                                    5000, true));
  const std::string long_text = "MC1000" + std::string(290, ' ') + "1";
  EXPECT_EQ(Kirn({"slot", "900", "6", long_text}).out, "1\n");
  // Cut to 255 characters before it is read: the state beyond them is not seen.
  EXPECT_TRUE(
      driver->WaitForOutput("Slot change sscanf read 1 = MC1000 and -1  from MC1000 ", 5000, true))
      << driver->Stderr();
  // In simulation the driver takes the lock change itself and reports the new state in the slot;
  // the cut request changed nothing.
  EXPECT_TRUE(driver->WaitForOutput(
      "MC1000_LockChange - Rtr 101 Destination 5 (5), new state is 255", 5000, true))
      << driver->Stderr();
  EXPECT_EQ(Kirn({"slots", "900"}).out, "5 255\n");

  // A closing driver leaves the infodriver in RX only and detaches.
  EXPECT_EQ(Kirn({"close", "101"}).code, 0);
  EXPECT_EQ(driver->Wait(10000), 0) << driver->Stderr();
  EXPECT_TRUE(info->WaitForOutput("mode 1\ndetach 900\n", 5000)) << info->Stdout();
  // Once it has dropped this client, nothing it sends at its close can wait on this process.
  EXPECT_TRUE(info->WaitForOutput("gone", 5000)) << info->Stdout();
  EXPECT_EQ(info->Stop(), 0);
  EXPECT_EQ(serve->Stop(), 0);
}

TEST_F(InfodriverTest, AClientsSlotWritesShowInSlotsAndRequestsReachIt) {
  auto serve = StartServe();
  pid_t pid = 0;
  auto info = StartInfodriver(&pid);
  testing_support::EnsureQtApp();
  std::string error;
  bus_ = plat::BusClient::Connect((dir_.path() / "bus.sock").string(), &error);
  ASSERT_TRUE(bus_) << error;
  plat::SetTransport(bus_.get());

  xarvel::ExtInfoClient client(xarvel::kExtInfoHeaderVersion);
  std::vector<std::pair<int, std::string>> notes;
  client.SetNotifyFunc([&](xarvel::ExtInfoClient* c, int index, const char* text) {
    if (c->iStatus == xarvel::kInfoStatusConnected) notes.emplace_back(index, text);
  });
  ASSERT_EQ(client.ConnectToInfoDriver(900, nullptr, 0, 0, 0, 0), xarvel::kInfoStatusConnected);
  EXPECT_NE(client.KapiWindow, plat::kNoWindow) << "the interface stand-in answered too";
  EXPECT_EQ(client.GetTXRXMode(), 2);

  EXPECT_EQ(client.UpdateSlot(130, "%d", 1), 1);
  EXPECT_EQ(client.UpdateSlot(130, "%d", 1), 0);
  client.WriteSlot(-7, "%s", "hello");
  client.WriteSlot(8, "%s", std::string(300, 'w').c_str());
  EXPECT_EQ(client.SentCount, 3);
  EXPECT_EQ(KirnPumping({"slots", "900"}).out, "7 hello\n8 " + std::string(255, 'w') + "\n130 1\n");

  EXPECT_EQ(KirnPumping({"slot", "900", "130", "MC1000 0"}).out, "1\n");
  EXPECT_EQ(notes, (std::vector<std::pair<int, std::string>>{{130, "MC1000 0"}}));

  // Every slot full: the listing (about 1 MiB) crosses the bus in several blocks.
  for (int slot = 0; slot < 4096; ++slot)
    client.WriteSlot(slot, "%04d%s", slot, std::string(251, 'f').c_str());
  const std::string all = KirnPumping({"slots", "900"}).out;
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 4096);
  EXPECT_NE(all.find("\n4095 4095ffff"), std::string::npos);

  client.CloseClient();
  EXPECT_TRUE(info->WaitForOutput("detach 900", 5000)) << info->Stdout();
  // Once it has dropped this client, nothing it sends at its close can wait on this process.
  EXPECT_TRUE(info->WaitForOutput("gone", 5000)) << info->Stdout();
  EXPECT_EQ(info->Stop(), 0) << info->Stdout();
  EXPECT_EQ(serve->Stop(), 0);
}

TEST_F(InfodriverTest, AnInfodriverThatClosesTakesTheLinkDown) {
  auto serve = StartServe();
  pid_t pid = 0;
  auto info = StartInfodriver(&pid);
  auto driver = StartDriver(*info);
  EXPECT_EQ(info->Stop(), 0);
  EXPECT_TRUE(info->Stdout().find("told of the close") != std::string::npos) << info->Stdout();
  EXPECT_TRUE(driver->WaitForOutput(
      "<xarvel>-Info_Notify ERROR - - - Lock Infodriver 900 has disconnected\n", 5000, true))
      << driver->Stderr();
  // The driver runs on without the link.
  EXPECT_EQ(Kirn({"mode", "101", "rxonly"}).out, "1\n");
  EXPECT_EQ(Kirn({"close", "101"}).code, 0);
  EXPECT_EQ(driver->Wait(10000), 0) << driver->Stderr();
  EXPECT_EQ(serve->Stop(), 0);
}

TEST_F(InfodriverTest, AStoppedOrKilledInfodriverNeverHoldsUpTheDriver) {
  auto serve = StartServe();
  pid_t pid = 0;
  auto info = StartInfodriver(&pid);
  auto driver = StartDriver(*info);

  // Stopped: the driver's messages to it give up after the bus's answer timeout, and while it
  // waits the driver still takes what the control system sends it.
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  auto mode = Start({KIRN_BIN, "mode", "101", "rxonly"});
  // (Every broadcast on the bus, the tools' search for the interface included, waits for the
  // stopped window too.)
  ASSERT_TRUE(driver->WaitForOutput("SetTXRX - into RXONLY", 15000, true)) << driver->Stderr();
  const Result send = Kirn({"send", "101", "RP 101 1 1 0", "--wait", "0"});
  EXPECT_EQ(send.code, 0) << send.err;
  EXPECT_EQ(mode->Wait(15000), 0) << mode->Stderr();

  // Killed while stopped: the bus knows it is gone, and nothing waits for it any more.
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  EXPECT_EQ(info->Wait(5000), 128 + SIGKILL);
  const auto start = Clock::now();
  EXPECT_EQ(Kirn({"mode", "101", "txrx"}).out, "2\n");
  EXPECT_EQ(Kirn({"close", "101"}).code, 0);
  EXPECT_EQ(driver->Wait(10000), 0) << driver->Stderr();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(serve->Stop(), 0);
}

TEST_F(InfodriverTest, CommandLineOfTheInfodriverTools) {
  for (const char* command : {"infodriver", "slot", "slots"}) {
    const Result help = Kirn({command, "--help"});
    EXPECT_EQ(help.code, 0) << command;
    EXPECT_EQ(help.out.rfind(std::string("usage: kirn ") + command, 0), 0u) << help.out;
  }
  // No bus.
  EXPECT_EQ(Kirn({"infodriver", "900"}).code, 1);
  EXPECT_EQ(Kirn({"slots", "900"}).code, 1);
  // Usage.
  EXPECT_EQ(Kirn({"infodriver"}).code, 2);
  EXPECT_EQ(Kirn({"infodriver", "0"}).code, 2);
  EXPECT_EQ(Kirn({"slot", "900", "4096", "MC1000 1"}).code, 2);
  EXPECT_EQ(Kirn({"slot", "900", "-1", "MC1000 1"}).code, 2);
  EXPECT_EQ(Kirn({"slot", "900", "1"}).code, 2);
  EXPECT_EQ(Kirn({"slot", "900", "1", std::string(1024, 'x')}).code, 2);
  EXPECT_EQ(Kirn({"slots"}).code, 2);

  // A bus without that infodriver, and a second infodriver for the same device.
  auto serve = StartServe();
  const Result none = Kirn({"slot", "900", "1", "MC1000 1"});
  EXPECT_EQ(none.code, 1);
  EXPECT_NE(none.err.find("infodriver 900 is not on the bus"), std::string::npos) << none.err;
  pid_t pid = 0;
  auto info = StartInfodriver(&pid);
  EXPECT_EQ(Kirn({"slot", "900", "1", "MC1000 1"}).out, "0\n") << "no client yet";
  const Result twice = Kirn({"infodriver", "900"});
  EXPECT_EQ(twice.code, 1);
  EXPECT_NE(twice.err.find("already on the bus"), std::string::npos) << twice.err;
  EXPECT_EQ(info->Stop(), 0);
  EXPECT_EQ(serve->Stop(), 0);
}

}  // namespace
