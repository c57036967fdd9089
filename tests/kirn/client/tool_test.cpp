// kirn's tool commands with real processes: mode changes reaching the driver and the watchers,
// the command line (help, numbers, options, a gone driver), and send delivering commands, one
// by one and from a pipe, and printing their revertives.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "kirn/kirn_fixture.h"

namespace {

using namespace kirn_testing;  // NOLINT(google-build-using-namespace): the fixture's names

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
