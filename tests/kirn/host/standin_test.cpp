// kirn serve with real processes: the driver attaching to the bus host, registering and closing on
// request, a refused registration, and the interface stand-in seen from a stand-in driver in this
// process (registration answers, name look-ups, relays that must not hold up the driver).

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "kirn/kirn_fixture.h"
#include "tools/kirn/host/kapi_standin.h"

namespace {

using namespace kirn_testing;  // NOLINT(google-build-using-namespace): the fixture's names

TEST_F(KirnTest, DriverRegistersBothDevicesTakesTheReportedModeAndClosesOnRequest) {
  auto serve = StartServe({"--mode", "rxonly"});
  auto driver = StartDriver(*serve);
  std::string devices;
  EXPECT_TRUE(DevicesBecome("101 1\n102 1\n", &devices)) << devices;
  const std::string log = driver->Stderr();
  EXPECT_NE(log.find("Attached OK to KAPI"), std::string::npos) << log;
  EXPECT_NE(log.find("get dev 101 txrx mode is 1"), std::string::npos) << log;
  EXPECT_NE(log.find("get dev 102 txrx mode is 1"), std::string::npos) << log;

  const Result close = Kirn({"close", "101"});
  EXPECT_EQ(close.code, 0) << close.err;
  EXPECT_EQ(driver->Wait(10000), 0) << driver->Stderr();
  EXPECT_TRUE(serve->WaitForOutput("devices 101 102", 5000)) << serve->Stdout();
  EXPECT_EQ(Kirn({"devices"}).out, "");
  EXPECT_EQ(Kirn({"close", "101"}).code, 1) << "no driver holds 101 any more";
  EXPECT_EQ(serve->Stop(), 0);
}

TEST_F(KirnTest, RefusedRegistrationEndsTheDriverBeforeLaterRoutersAndWithoutFiles) {
  WriteFile(dir_.path() / "DEV_012.INI",
            "[Controller]\nSimulation=1\n[Routers]\nRouter_A=101,1,16\nRouter_B=102,1,8\n"
            "Router_C=103,1,4\n");
  WriteFile(dir_.path() / "DEV_103.INI", "[Database]\nDatabaseSize_0=4\nDatabaseSize_1=4\n");
  auto serve = StartServe({"--refuse", "102=2"});
  auto driver = Start({XARVEL_BIN, "12"});
  ASSERT_EQ(driver->Wait(20000), 0) << driver->Stderr();
  EXPECT_NE(
      driver->Stderr().find("Request refused - Device Id already in use on this workstation - 102"),
      std::string::npos)
      << driver->Stderr();
  ASSERT_TRUE(serve->WaitForOutput("detach window", 5000));
  const std::string events = serve->Stdout();
  EXPECT_NE(events.find("register 101 window"), std::string::npos) << events;
  EXPECT_NE(events.find("-> 2 refused"), std::string::npos) << events;
  EXPECT_EQ(events.find("register 103"), std::string::npos) << events;
  for (const char* file : {"DEV_012.IDX", "DEV_012.LCK", "DEV_012.DAT"}) {
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / file)) << file;
  }
  EXPECT_EQ(Kirn({"devices"}).out, "") << "the detach dropped 101";
  EXPECT_EQ(serve->Stop(), 0);
}

TEST_F(KirnTest, RegistrationAnswersAndModesSeenByADriver) {
  auto serve = StartServe({"--refuse", "150=3"});
  Connect();
  const Hwnd a = DriverWindow();
  ASSERT_NE(kapi_, 0) << "the stand-in answers the find broadcast";
  const Hwnd b = plat::CreateWindow(
      [this](Hwnd h, uint32_t m, WParam w, LParam l) { return DriverProc(h, m, w, l); }, true);
  auto reg = [this](Hwnd w, int dev) {
    return plat::SendMessage(kapi_, xarvel::ZUT_REGISTER, w, dev);
  };
  EXPECT_EQ(reg(a, 0), 1);
  EXPECT_EQ(reg(a, 1000), 1);
  EXPECT_EQ(reg(a, 150), 3);
  EXPECT_EQ(reg(a, 201), 0);
  EXPECT_EQ(reg(a, 201), 0) << "again from the same window";
  EXPECT_EQ(reg(b, 201), 2) << "a live driver holds it";
  EXPECT_EQ(plat::SendMessage(kapi_, xarvel::ZUT_GETDEVMODE, a, 201), 2);
  plat::SendMessage(kapi_, xarvel::ZUT_ASSERTMODE, 1, 201);
  EXPECT_EQ(plat::SendMessage(kapi_, xarvel::ZUT_GETDEVMODE, a, 201), 1);
  EXPECT_EQ(plat::SendMessage(kapi_, xarvel::ZUT_GETDEVMODE, a, 299), 0) << "not registered";

  plat::SendMessage(kapi_, xarvel::ZUT_DETACH, a, 0);
  EXPECT_EQ(reg(b, 201), 0) << "free after the detach";

  // A driver that ended without detaching does not keep its id.
  const Hwnd c = plat::CreateWindow([](Hwnd, uint32_t, WParam, LParam) { return 0; }, true);
  EXPECT_EQ(reg(c, 202), 0);
  plat::DestroyWindow(c);
  EXPECT_EQ(reg(b, 202), 0);
  EXPECT_TRUE(serve->WaitForOutput("gone window", 2000)) << serve->Stdout();
  // A live driver keeps its id whatever it answers, even one still in mode 0.
  const Hwnd quiet = plat::CreateWindow([](Hwnd, uint32_t, WParam, LParam) { return 0; }, true);
  EXPECT_EQ(reg(quiet, 203), 0);
  EXPECT_EQ(reg(b, 203), 2);

  // The tool's find broadcast reaches this process's windows too: serve them meanwhile.
  Process devices({KIRN_BIN, "devices"}, Env());
  EXPECT_EQ(PumpUntilExit(devices, 15000), 0);
  EXPECT_EQ(devices.Stdout(), "201 2\n202 2\n203 2\n");
}

TEST_F(KirnTest, NameLookupsComeFromTheRouterProfileAndFitTheRecord) {
  auto serve = StartServe();
  Connect();
  DriverWindow();
  ASSERT_NE(kapi_, 0);
  EXPECT_EQ(Name(101, 0, 5), "CAM 5");
  EXPECT_EQ(Name(101, 1, 1), "MON 1");
  EXPECT_EQ(Name(101, 0, 6), "A NAME OF TWENTY-");
  EXPECT_EQ(Name(101, 0, 7), "");
  EXPECT_EQ(Name(101, 2, 1), "") << "only databases 0 and 1";
  EXPECT_EQ(Name(555, 0, 1), "") << "no profile for the device";

  // The stand-in keeps the names it has read, and reads the profile again when it changes:
  // rewritten in place (same size), replaced, and gone.
  const auto profile = dir_.path() / "DEV_101.INI";
  std::string text = testing_support::ReadFile(profile);
  text.replace(text.find("CAM 5"), 5, "CAM 9");
  {
    std::ofstream out(profile, std::ios::in | std::ios::out | std::ios::binary);
    out << text;
  }
  EXPECT_EQ(Name(101, 0, 5), "CAM 9");
  WriteFile(profile, "[database_0]\n5=FIRST\n5=SECOND\n[Database_0]\n5=THIRD\n");
  EXPECT_EQ(Name(101, 0, 5), "FIRST") << "as a profile is read: the first section and key";
  std::filesystem::remove(profile);
  EXPECT_EQ(Name(101, 0, 5), "");
}

TEST_F(KirnTest, AStoppedOrVanishedWatcherNeverHoldsUpTheDriver) {
  auto serve = StartServe();
  Connect();
  const Hwnd a = DriverWindow();
  ASSERT_EQ(plat::SendMessage(kapi_, xarvel::ZUT_REGISTER, a, 201), 0);

  const auto pid_file = dir_.path() / "watch.pid";
  Process watcher(
      {"/bin/sh", "-c", "echo $$ > \"$1\"; exec \"$0\" watch 201", KIRN_BIN, pid_file.string()},
      Env());
  ASSERT_TRUE(PumpUntilOutput(*serve, "device 201", 5000)) << watcher.Stderr();
  const pid_t pid = std::stoi(ReadFile(pid_file));
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);

  // A watcher window of this process that goes away.
  const Hwnd gone = plat::CreateWindow([](Hwnd, uint32_t, WParam, LParam) { return 1; }, false);
  ASSERT_EQ(plat::SendMessage(kapi_, kirn::kKirnWatch, gone, 0), 1);
  plat::DestroyWindow(gone);

  for (int d = 1; d <= 5; ++d) {
    EXPECT_LT(Revertive(xarvel::ZUT_REVERTIVE, 0, 201, d).count(), 500) << d;
    client_->Pump(50);
  }
  EXPECT_TRUE(PumpUntilOutput(*serve, "drop watcher 0x", 5000)) << serve->Stdout();
  // Both are dropped: the vanished one at once, the stopped one after its answer is overdue.
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  auto drops = [&] {
    const std::string s = serve->Stdout();
    size_t n = 0;
    for (size_t p = s.find("drop watcher"); p != std::string::npos;
         p = s.find("drop watcher", p + 1))
      ++n;
    return n;
  };
  while (drops() < 2 && Clock::now() < deadline) client_->Pump(50);
  EXPECT_EQ(drops(), 2u) << serve->Stdout();
  ::kill(pid, SIGCONT);
  // The stopped one is told that its watch was dropped, says so and watches again.
  EXPECT_TRUE(PumpUntilOutput(watcher, "LOST watch\n", 5000)) << watcher.Stdout();
  EXPECT_TRUE(PumpUntilOutput(*serve, "watch window", 5000));
  const auto again = Clock::now() + std::chrono::seconds(5);
  while (watcher.Stdout().find("RR 201 009") == std::string::npos && Clock::now() < again) {
    Revertive(xarvel::ZUT_REVERTIVE, 0, 201, 9);
    client_->Pump(100);
  }
  EXPECT_NE(watcher.Stdout().find("RR 201 009"), std::string::npos) << watcher.Stdout();
  EXPECT_EQ(watcher.Stop(), 0) << watcher.Stderr();
  EXPECT_EQ(serve->Stop(), 0) << serve->Stderr();
}

// Relays beyond the stand-in's bound are dropped oldest first, but a change of names is kept;
// the watcher hears how many, before the lines that follow them.
TEST_F(KirnTest, AWatcherIsToldHowManyRelaysTheFullQueueDroppedAndKeepsItsNameChanges) {
  testing_support::EnsureQtApp();
  std::vector<std::string> got;
  {
    kirn::KapiStandIn standin({}, {});
    ASSERT_TRUE(standin.Create());
    const Hwnd watcher = plat::CreateWindow(
        [&got](Hwnd h, uint32_t msg, WParam w, LParam l) -> LResult {
          if (msg == xarvel::ZUT_DATA) return xarvel::KirnIf_HandOff(h, w, l);
          if (msg == kirn::kKirnRelaysDropped) got.push_back("LOST " + std::to_string(w));
          if (msg == kirn::kKirnLines) got.emplace_back(reinterpret_cast<const char*>(l));
          return 1;
        },
        false);
    standin.Watch(watcher, 0);
    standin.WatchKinds(watcher, kirn::kRelayDatabase);
    standin.NamesChanged(201, 0, 5);
    const int total = static_cast<int>(kirn::KapiStandIn::kMaxQueuedRelays) + 7;
    for (int i = 1; i <= total; ++i) {
      standin.RecordRevertive(false, 0, "RR 201 001 " + std::to_string(i));
    }
    standin.FlushRelays();
  }
  plat::ResetWindows();
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got[0], "LOST 8");
  EXPECT_EQ(got[1].substr(0, 40), "DB 201 0 5\nREV 0 RR 201 001 9\nREV 0 RR 2");
}

}  // namespace
