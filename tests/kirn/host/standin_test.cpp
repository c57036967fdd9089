// kirn with real processes: the driver attaching to `kirn serve`, registering, changing mode and
// closing on request; the tools' command line; and the interface stand-in seen from a stand-in
// driver in this process (registration answers, name look-ups, relays that must not hold up the
// driver).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "e2e_site.h"
#include "interface/kirnif.h"
#include "interface/messages.h"
#include "platform/bus_client.h"
#include "platform/window.h"
#include "test_support.h"
#include "tools/kirn/common/kirn_messages.h"

namespace {

using plat::Hwnd;
using plat::LParam;
using plat::LResult;
using plat::WParam;
using testing_support::Process;
using testing_support::ReadFile;
using testing_support::Result;
using testing_support::TempDir;
using testing_support::WriteFile;

class KirnTest : public testing_support::SiteTest {
 protected:
  void SetUp() override { WriteSimulationSite(); }

  void TearDown() override {
    if (client_) {
      plat::ResetWindows();
      plat::SetTransport(nullptr);
      client_.reset();
    }
  }

  // --- This process as a driver on the bus (no Qt loop: served with Pump). ---

  void Connect() {
    testing_support::EnsureQtApp();
    std::string error;
    client_ = plat::BusClient::Connect(Bus(), &error);
    ASSERT_TRUE(client_) << error;
    plat::SetTransport(client_.get());
  }

  // A top-level window like a driver's main window; finds the stand-in as the driver does.
  Hwnd DriverWindow() {
    const Hwnd w = plat::CreateWindow(
        [this](Hwnd h, uint32_t msg, WParam wp, LParam lp) { return DriverProc(h, msg, wp, lp); },
        true);
    plat::SendMessage(plat::HWND_BROADCAST, xarvel::ZUT_FINDKAPI, w, 4);
    return w;
  }

  // Answers commands "RP|RQ dev first last param" with one revertive "RR dev d 005" each.
  LResult DriverProc(Hwnd h, uint32_t msg, WParam w, LParam l) {
    switch (msg) {
      case xarvel::ZUT_KAPIHANDLE:
        kapi_ = static_cast<Hwnd>(w);
        return 0;
      case xarvel::ZUT_DATA:
        return xarvel::KirnIf_HandOff(h, w, l);
      case xarvel::ZUT_IDGETTXRXMODE:
        return xarvel::IFMODE_TXRX;
      case xarvel::ZUT_COMMAND: {
        const std::string text = reinterpret_cast<const char*>(l);
        commands_.push_back(text);
        char kind = 0;
        int dev = 0, first = 0, last = 0, param = 0;
        if (std::sscanf(text.c_str(), "R%c %d %d %d %d", &kind, &dev, &first, &last, &param) == 5) {
          for (int d = first; d <= last; ++d) {
            const bool query = kind == 'Q';
            Revertive(query ? xarvel::ZUT_QUERYREPLY : xarvel::ZUT_REVERTIVE,
                      query && d == last ? param | 0x8000 : param, dev, d);
          }
        }
        return 1;
      }
      default:
        return 0;
    }
  }

  // Sends one revertive to the stand-in; returns how long the send took.
  std::chrono::milliseconds Revertive(uint32_t msg, int param, int dev, int dest) {
    char text[64];
    std::snprintf(text, sizeof text, "RR %03d %03d %03d", dev, dest, 5);
    const auto start = Clock::now();
    xarvel::KirnIf_SendData(kapi_, msg, param, text, 1, static_cast<int32_t>(strlen(text) + 1));
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  }

  // Serves the bus until `p` exits; returns its exit code (-1 on timeout).
  int PumpUntilExit(Process& p, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
      client_->Pump(20);
      const int code = p.Wait(0);
      if (code >= 0) return code;
    }
    return -1;
  }

  bool PumpUntilOutput(const Process& p, const std::string& needle, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
      client_->Pump(20);
      if (p.Stdout().find(needle) != std::string::npos) return true;
    }
    return false;
  }

  std::string Name(int dev, int db, int entry) {
    uint8_t record[xarvel::kDbNameRecordSize] = {};
    record[0] = dev & 0xFF;
    record[1] = (dev >> 8) & 0xFF;
    record[2] = db & 0xFF;
    record[4] = entry & 0xFF;
    record[5] = (entry >> 8) & 0xFF;
    xarvel::KirnIf_SendData(kapi_, xarvel::ZUT_GETDBNAME, 0, record, 1, sizeof record);
    EXPECT_EQ(record[xarvel::kDbNameRecordSize - 1], 0) << "the answer is always terminated";
    return reinterpret_cast<const char*>(record);
  }

  std::unique_ptr<plat::BusClient> client_;
  Hwnd kapi_ = 0;
  std::vector<std::string> commands_;
};

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

TEST_F(KirnTest, ModeChangesReachTheDriverAndTheWatchers) {
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  auto all = Start({KIRN_BIN, "watch"});
  ASSERT_TRUE(serve->WaitForOutput("device all", 5000)) << all->Stderr();
  auto only102 = Start({KIRN_BIN, "watch", "102"});
  ASSERT_TRUE(serve->WaitForOutput("device 102", 5000)) << only102->Stderr();

  // Mode 0 is asserted as TX/RX, for every device of the driver.
  Result r = Kirn({"mode", "101", "0"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "2\n");
  EXPECT_TRUE(all->WaitForOutput("MODE 101 2\nMODE 102 2\n", 5000)) << all->Stdout();

  r = Kirn({"mode", "101", "5"});
  EXPECT_EQ(r.out, "5\n");
  std::string devices;
  EXPECT_TRUE(DevicesBecome("101 5\n102 5\n", &devices)) << devices;
  EXPECT_TRUE(all->WaitForOutput("MODE 102 5\n", 5000)) << all->Stdout();
  EXPECT_TRUE(only102->WaitForOutput("MODE 102 5\n", 5000)) << only102->Stdout();
  EXPECT_EQ(only102->Stdout(), "MODE 102 2\nMODE 102 5\n");

  EXPECT_EQ(Kirn({"mode", "102", "rxonly"}).out, "1\n");
  EXPECT_EQ(Kirn({"dbchange", "102", "65536"}).code, 0);
  EXPECT_TRUE(driver->WaitForOutput("dbchange message number 2174 wp 102 lp 65536", 5000, true));

  EXPECT_EQ(all->Stop(), 0);
  EXPECT_EQ(only102->Stop(), 0);
  EXPECT_EQ(Kirn({"close", "102"}).code, 0);
  EXPECT_EQ(driver->Wait(10000), 0);
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

TEST_F(KirnTest, WithoutServeTheDriverFindsNoInterfaceAndTheToolsSaySo) {
  auto driver = Start({XARVEL_BIN, "12"});
  ASSERT_EQ(driver->Wait(20000), 0) << driver->Stderr();
  EXPECT_NE(driver->Stderr().find("Cannot find KIRN Interface KAPI.EXE"), std::string::npos);

  const std::vector<std::vector<std::string>> tools = {{"devices"},
                                                       {"watch"},
                                                       {"mode", "101", "2"},
                                                       {"send", "101", "RP 101 1 1 0"},
                                                       {"dbchange", "101", "0"},
                                                       {"close", "101"}};
  for (const auto& args : tools) {
    const Result r = Kirn(args);
    EXPECT_EQ(r.code, 1) << args[0];
    EXPECT_NE(r.err.find("no workstation bus"), std::string::npos) << args[0] << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  // A salvo script learns that its route never reached a driver.
  const Result r = Kirn({"send", "101", "RC 101 5 12 ',---' 0", "--check"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "UNDELIVERED RC 101 5 12 ',---' 0\n");
}

TEST_F(KirnTest, CommandLine) {
  EXPECT_EQ(Kirn({"--help"}).code, 0);
  for (const char* cmd : {"serve", "send", "watch", "mode", "devices", "dbchange", "close"}) {
    const Result r = Kirn({cmd, "--help"});
    EXPECT_EQ(r.code, 0) << cmd;
    EXPECT_EQ(r.out.rfind(std::string("usage: kirn ") + cmd, 0), 0u) << r.out;
  }
  const std::vector<std::vector<std::string>> bad = {{},
                                                     {"bogus"},
                                                     {"mode", "101", "6"},
                                                     {"mode", "0", "2"},
                                                     {"mode", "101"},
                                                     {"send", "101"},
                                                     {"send", "101", "RP 101 1 1 0", "--wait", "x"},
                                                     {"serve", "--mode", "standby"},
                                                     {"serve", "--refuse", "102=0"},
                                                     {"watch", "abc"},
                                                     {"dbchange", "101", "4294967296"},
                                                     {"devices", "extra"}};
  for (const auto& args : bad) {
    EXPECT_EQ(Kirn(args).code, 2) << (args.empty() ? "(none)" : args[0]);
  }

  auto serve = StartServe();
  const Result second = Kirn({"serve"});
  EXPECT_EQ(second.code, 1);
  EXPECT_NE(second.err.find("already listening"), std::string::npos) << second.err;
  EXPECT_EQ(Kirn({"mode", "101", "2"}).code, 1) << "no driver registered 101";
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

TEST_F(KirnTest, SendDeliversCommandsAndPrintsTheirRevertives) {
  auto serve = StartServe();
  Connect();
  const Hwnd a = DriverWindow();
  ASSERT_EQ(plat::SendMessage(kapi_, xarvel::ZUT_REGISTER, a, 201), 0);

  Process query({KIRN_BIN, "send", "201", "RQ 201 1 3 7", "--stats"}, Env());
  ASSERT_EQ(PumpUntilExit(query, 15000), 0) << query.Stderr();
  const std::string out = query.Stdout();
  EXPECT_EQ(out.rfind("QRY 7 RR 201 001 005\nQRY 7 RR 201 002 005\nQRY 32775 RR 201 003 005\n"
                      "sent 1, revertives 3, seconds ",
                      0),
            0u)
      << out;

  // A salvo from standard input: blank lines skipped, line ends of either kind.
  const auto salvo = dir_.path() / "salvo.txt";
  WriteFile(salvo, "RP 201 1 1 0\n\nRP 201 2 2 0\r\nRP 201 3 3 0\n");
  Process batch({"/bin/sh", "-c", "exec \"$0\" send 201 - --stats --wait 300 < \"$1\"", KIRN_BIN,
                 salvo.string()},
                Env());
  ASSERT_EQ(PumpUntilExit(batch, 15000), 0) << batch.Stderr();
  EXPECT_NE(batch.Stdout().find("REV 0 RR 201 003 005\nsent 3, revertives 3, seconds "),
            std::string::npos)
      << batch.Stdout();
  EXPECT_EQ(commands_, (std::vector<std::string>{"RQ 201 1 3 7", "RP 201 1 1 0", "RP 201 2 2 0",
                                                 "RP 201 3 3 0"}));

  Process none({KIRN_BIN, "send", "299", "RP 299 1 1 0"}, Env());
  EXPECT_EQ(PumpUntilExit(none, 15000), 1);
  EXPECT_NE(none.Stderr().find("device 299 is not registered"), std::string::npos);
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
  EXPECT_EQ(watcher.Stop(), 0) << watcher.Stderr();
  EXPECT_EQ(serve->Stop(), 0) << serve->Stderr();
}

TEST_F(KirnTest, NumbersAreDecimalOptionsEndAtTwoDashesAndAGoneDriverIsNoDevice) {
  auto serve = StartServe();
  Connect();
  const Hwnd a = DriverWindow();
  ASSERT_EQ(plat::SendMessage(kapi_, xarvel::ZUT_REGISTER, a, 201), 0);
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), KIRN_BIN);
    Process p(args, Env());
    Result r;
    r.code = PumpUntilExit(p, 15000);
    r.out = p.Stdout();
    r.err = p.Stderr();
    return r;
  };
  // Leading zeros are decimal: 0201 is device 201, a wait of 010 is 10 ms, mode 02 is TX/RX.
  EXPECT_EQ(run({"send", "0201", "RP 201 1 1 0", "--wait", "010"}).out, "REV 0 RR 201 001 005\n");
  EXPECT_EQ(run({"mode", "0201", "02"}).code, 0);
  EXPECT_TRUE(serve->WaitForOutput("setmode 201 2 ->", 2000)) << serve->Stdout();
  // After "--" a word is a text, not an option, and --help is no help there.
  const Result text = run({"send", "201", "--", "--help"});
  EXPECT_EQ(text.code, 0) << text.err;
  EXPECT_EQ(text.out.find("usage:"), std::string::npos) << text.out;
  EXPECT_EQ(commands_.back(), "--help");
  EXPECT_EQ(run({"send", "201", "RP 201 1 1 0", "--wait", "--help"}).code, 2) << "a value";
  EXPECT_EQ(run({"dbchange", "201", "--", "-5"}).code, 0);
  EXPECT_EQ(run({"dbchange", "201", "0x10000"}).code, 0);

  // A driver gone without detaching: its id is forgotten and commands to it fail clearly.
  const Hwnd c = plat::CreateWindow([](Hwnd, uint32_t, WParam, LParam) { return 0; }, true);
  ASSERT_EQ(plat::SendMessage(kapi_, xarvel::ZUT_REGISTER, c, 202), 0);
  plat::DestroyWindow(c);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"send", "202", "RP 202 1 1 0"},
        {"mode", "202", "2"},
        {"dbchange", "202", "0"},
        {"close", "202"}}) {
    const Result r = run(args);
    EXPECT_EQ(r.code, 1) << args[0];
    EXPECT_NE(r.err.find("device 202 is not registered"), std::string::npos) << r.err;
  }
  EXPECT_EQ(run({"devices"}).out, "201 2\n");
}

TEST_F(KirnTest, SendFromAPipeDeliversEachLineAsItArrives) {
  auto serve = StartServe();
  Connect();
  const Hwnd a = DriverWindow();
  ASSERT_EQ(plat::SendMessage(kapi_, xarvel::ZUT_REGISTER, a, 201), 0);
  // The writer keeps the pipe open for 2 s after its first line; its second line is too long.
  const std::string script =
      "{ printf 'RP 201 1 1 0\\n'; sleep 2; printf '%s\\nRP 201 2 2 0\\n' \"$1\"; } | "
      "exec \"$0\" send 201 - --stats --wait 200";
  Process feed({"/bin/sh", "-c", script, KIRN_BIN, std::string(600, 'X')}, Env());
  const auto start = Clock::now();
  ASSERT_TRUE(PumpUntilOutput(feed, "REV 0 RR 201 001 005\n", 1800)) << feed.Stderr();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1800)) << "before the pipe closed";
  EXPECT_EQ(PumpUntilExit(feed, 15000), 2) << "a skipped line";
  EXPECT_NE(feed.Stderr().find("line 2 is longer than 511 characters: skipped"), std::string::npos)
      << feed.Stderr();
  const std::string out = feed.Stdout();
  double seconds = 0;
  const size_t stats = out.find("sent 2, revertives 2, seconds ");
  ASSERT_NE(stats, std::string::npos) << out;
  ASSERT_EQ(std::sscanf(out.c_str() + stats, "sent 2, revertives 2, seconds %lf", &seconds), 1);
  EXPECT_GT(seconds, 1.5) << "from the first delivery to the last revertive";
  EXPECT_EQ(commands_, (std::vector<std::string>{"RP 201 1 1 0", "RP 201 2 2 0"}));
}

}  // namespace
