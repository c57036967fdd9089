// The driver's controller link with real processes: `kirn serve`, the driver and the controller
// emulator over TCP (one controller, and a pair with failover) and over the emulator's
// pseudo-terminal (silence, RX only and recovery; a port held by someone else).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "controller_site.h"
#include "e2e_site.h"
#include "sim_process.h"

namespace {

using testing_support::Process;
using testing_support::Result;
using testing_support::SimProcess;
using testing_support::StartSim;

constexpr int kWaitMs = 10000;  // bound of a wait for something the driver is due to do

// The emulator's wire log escapes the carriage return as "\r".
std::string Rx(const std::string& command) {
  return " " + command + "\\r";
}

bool Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

class LinkTest : public testing_support::ControllerSiteTest {
 protected:
  using Clock = std::chrono::steady_clock;

  static std::string TcpKeys(int port, const std::string& more) {
    return Keys("Connection_Mode=IP\nIP_Port=" + std::to_string(port) + "\n" + more);
  }

  // Waits until the emulator has answered the poll of router B's last destination: every
  // destination of router A has been interrogated by then, so polls bring no more revertives
  // for device 101 unless a tally changes.
  static bool PollCycleDone(const SimProcess& sim) { return sim.WaitErr(" .AB8,", kWaitMs); }

  Result Route(int src, int dst, int wait_ms = 500) {
    return Kirn({"send", "101",
                 "RC 101 " + std::to_string(src) + " " + std::to_string(dst) + " ',---' 0",
                 "--wait", std::to_string(wait_ms)});
  }

  static std::string Revertive(int src, int dst) {
    char text[48];
    std::snprintf(text, sizeof text, "REV 0 RR 101 %03d %03d\n", dst, src);
    return text;
  }

  // A salvo of `count` routes through one `kirn send -`: route k goes to destination k % 16 + 1
  // from source (k + first) % 31 + 1, so that no route repeats one its destination holds or
  // awaits, and each one has a revertive of its own. Returns the statistics line up to its
  // seconds.
  std::string Salvo(int count, int first, int wait_ms) {
    std::string lines;
    for (int k = 0; k < count; ++k) {
      lines += "RC 101 " + std::to_string((k + first) % 31 + 1) + " " + std::to_string(k % 16 + 1) +
               " ',---' 0\n";
    }
    const std::string list = (dir_.path() / "salvo.txt").string();
    testing_support::WriteFile(list, lines);
    auto send = Start({"/bin/sh", "-c",
                       std::string("exec ") + KIRN_BIN + " send 101 - --stats --wait " +
                           std::to_string(wait_ms) + " < " + list});
    EXPECT_EQ(send->Wait(60000), 0) << send->Stderr();
    const std::string out = send->Stdout();
    const size_t at = out.find("sent ");
    if (at != std::string::npos) std::printf("[link] salvo: %s", out.c_str() + at);
    // Every route confirmed: a revertive of its destination named the asked source.
    EXPECT_TRUE(Contains(out, ", unconfirmed 0\n")) << out;
    return at == std::string::npos ? out : out.substr(at, out.find(", seconds", at) - at);
  }

  // Occurrences of `needle` in `text` from byte `from` on.
  static int Count(const std::string& text, const std::string& needle, size_t from = 0) {
    int n = 0;
    for (size_t at = text.find(needle, from); at != std::string::npos;
         at = text.find(needle, at + 1)) {
      ++n;
    }
    return n;
  }
};

TEST_F(LinkTest, TcpRouteGoesOnTheWireAndItsReportComesBackAsARevertive) {
  sim_a_ = StartSim({"--tcp", "0"});
  ASSERT_TRUE(sim_a_);
  WriteSite(TcpKeys(sim_a_->ports.at(0), "IP_Address_A=127.0.0.1\nTallyDelay=40\n"));
  serve_ = StartServe();
  driver_ = StartDriver(*serve_);

  // The poll timer walks every destination of router A, then of router B, then A again.
  ASSERT_TRUE(PollCycleDone(*sim_a_));
  const size_t cycle_end = sim_a_->Err().find(" .AB8,");
  ASSERT_TRUE(sim_a_->WaitErr(Rx(".IA16"), kWaitMs, cycle_end));
  const std::string polls = sim_a_->Err();
  for (int d = 1; d <= 16; ++d) EXPECT_TRUE(Contains(polls, Rx(".IA" + std::to_string(d)))) << d;
  for (int d = 1; d <= 8; ++d) EXPECT_TRUE(Contains(polls, Rx(".IB" + std::to_string(d)))) << d;
  EXPECT_FALSE(Contains(polls, Rx(".IA17"))) << "beyond router A's last destination";
  EXPECT_FALSE(Contains(polls, Rx(".IB9")));
  EXPECT_FALSE(Contains(polls, " .IC")) << "router C is not defined";

  const Result route = Route(5, 12);
  EXPECT_EQ(route.code, 0) << route.err;
  EXPECT_EQ(route.out, Revertive(5, 12));
  EXPECT_TRUE(Contains(sim_a_->Err(), Rx(".SA12,5")));

  // The same route again is sent again and answered once: at once by the driver, since the
  // controller's report changes no tally.
  const size_t wire_before = sim_a_->Err().size();
  EXPECT_EQ(Route(5, 12, 300).out, Revertive(5, 12));
  EXPECT_TRUE(Contains(sim_a_->Err().substr(wire_before), Rx(".SA12,5")));

  CloseDriver();
}

TEST_F(LinkTest, PairUsesBWhenAIsRefused) {
  ASSERT_NO_FATAL_FAILURE(StartPair());
  ASSERT_TRUE(sim_a_->Console("refuse " + std::to_string(port_) + " on", "ok refuse"));
  WriteSite(TcpKeys(port_,
                    "IP_Address_A=127.0.0.1\nIP_Address_B=127.0.0.2\n"
                    "Dual_Controllers=1\nTallyDelay=40\n"));
  serve_ = StartServe();
  driver_ = StartDriver(*serve_);

  ASSERT_TRUE(driver_->WaitForOutput("MC1000 driver - Net B FD Connected ok", kWaitMs, true));
  ASSERT_TRUE(PollCycleDone(*sim_b_));

  const Result route = Route(5, 12);
  EXPECT_EQ(route.out, Revertive(5, 12));
  EXPECT_TRUE(Contains(sim_b_->Err(), Rx(".SA12,5")));
  EXPECT_FALSE(Contains(sim_a_->Err(), "accept")) << "A refused every attempt";
  CloseDriver();
}

TEST_F(LinkTest, PairFailsOverToBWhenAVanishesDuringRoutes) {
  ASSERT_NO_FATAL_FAILURE(StartPair());
  // B refuses until the driver has settled on A, so that A is the active controller.
  const std::string refuse_b = "refuse " + std::to_string(port_);
  ASSERT_TRUE(sim_b_->Console(refuse_b + " on", "ok refuse"));
  WriteSite(TcpKeys(port_,
                    "IP_Address_A=127.0.0.1\nIP_Address_B=127.0.0.2\n"
                    "Dual_Controllers=1\nTallyDelay=40\n"));
  serve_ = StartServe();
  driver_ = StartDriver(*serve_);
  ASSERT_TRUE(driver_->WaitForOutput("MC1000 driver - Net A FD Connected ok", kWaitMs, true));
  ASSERT_TRUE(sim_b_->Console(refuse_b + " off", "ok refuse"));
  ASSERT_TRUE(PollCycleDone(*sim_a_));

  // A stream of routes; A disappears after the third. Sources 1..10 on destinations 1..10, so
  // every route changes a tally both before and after the failover. The route that arrives
  // while no controller is active is held and goes to B once B has connected: none is lost.
  std::vector<int> lost;
  for (int i = 1; i <= 10; ++i) {
    const Result r = Route(i, i, 300);
    if (!Contains(r.out, Revertive(i, i))) lost.push_back(i);
    if (i == 3) sim_a_->Kill();
  }
  EXPECT_TRUE(lost.empty()) << "routes without a revertive: " << ::testing::PrintToString(lost);
  // The tables follow B now (B never saw routes 1..3): they hold every route B answered.
  const Result table = Kirn({"send", "101", "RP 101 4 10 0", "--wait", "300"});
  std::string want;
  for (int i = 4; i <= 10; ++i) want += Revertive(i, i);
  EXPECT_EQ(table.out, want) << "the tables hold every route";
  const int first_after_failover = 4;
  const std::string trace = driver_->Stderr();
  EXPECT_TRUE(Contains(trace, "MC1000 driver - Net A FD Close"));
  EXPECT_TRUE(Contains(trace, "MC1000 driver - Net B FD Connected ok"));
  EXPECT_TRUE(Contains(sim_b_->Err(), Rx(".SA" + std::to_string(first_after_failover) + "," +
                                         std::to_string(first_after_failover))));
  CloseDriver();
}

TEST_F(LinkTest, SerialSilenceGoesRxOnlyAfterTheHoldAndAnAnswerRestoresTxRx) {
  const std::string com1 = (dir_.path() / "COM1").string();
  sim_a_ = StartSim({"--pty", com1});
  ASSERT_TRUE(sim_a_);
  // A slow poll: it is the probe that brings the link back once the controller answers.
  WriteSite(
      Keys("Connection_Mode=SERIAL\nCom=1\nSpeed=38400\nTallyDelay=1500\n"
           "MaxUnACKedRoutesBeforeCommsFail=3\n"));
  serve_ = StartServe();
  driver_ = StartDriver(*serve_);
  auto watch = Start({KIRN_BIN, "watch", "101", "102"});
  ASSERT_TRUE(sim_a_->WaitErr("opened by a peer", kWaitMs));
  ASSERT_TRUE(driver_->WaitForOutput("ComSup - resync done", kWaitMs, true));

  const Result route = Route(5, 12);
  EXPECT_EQ(route.out, Revertive(5, 12));
  EXPECT_TRUE(Contains(sim_a_->Err(), Rx(".SA12,5")));
  std::string devices;
  EXPECT_TRUE(DevicesBecome("101 2\n102 2\n", &devices)) << devices;

  // More unanswered commands than the unACK limit are no failure by themselves; nothing heard
  // for the reply timeout (1 s plus the wire time of what is outstanding) is, and RX only
  // follows once the hold of 3 s is over.
  ASSERT_TRUE(sim_a_->Console("silent on", "ok silent on"));
  EXPECT_EQ(Route(6, 12, 0).out, "");
  EXPECT_EQ(Route(7, 12, 0).out, "");
  EXPECT_EQ(Route(8, 12, 0).out, "");
  EXPECT_EQ(Kirn({"devices"}).out, "101 2\n102 2\n");
  EXPECT_TRUE(DevicesBecome("101 1\n102 1\n", &devices)) << devices;
  EXPECT_TRUE(watch->WaitForOutput("MODE 101 1\n", kWaitMs));
  EXPECT_TRUE(watch->WaitForOutput("MODE 102 1\n", kWaitMs));
  const std::string trace = driver_->Stderr();
  const std::string failed = "Xarvel SendData(serial) - no reply for ";
  const size_t at = trace.find(failed);
  ASSERT_NE(at, std::string::npos);
  const int quiet_ms = std::atoi(trace.c_str() + at + failed.size());
  std::printf("[link] silent serial controller declared failed after %d ms of silence\n", quiet_ms);
  EXPECT_GE(quiet_ms, 1000);
  EXPECT_LT(quiet_ms, 2000);
  EXPECT_TRUE(Contains(trace, "ROUTE 101 12 8 dropped held_too_long"));
  EXPECT_TRUE(Contains(trace, "ROUTE 101 12 6 abandoned rx_only"));

  // RX only: a route request is not carried out.
  const size_t wire_before = sim_a_->Err().size();
  EXPECT_EQ(Route(9, 12, 300).out, "");
  EXPECT_FALSE(Contains(sim_a_->Err().substr(wire_before), ".SA12,9"));

  // The controller speaks again: its answer to the poll brings TX/RX back (a front-panel report
  // alone proves nothing), and the control system learns what it did while it was silent: it
  // took route 6 (and 7, if that was written before the silence was found); route 8 still
  // waited when the hold was over, and was dropped.
  ASSERT_TRUE(sim_a_->Console("dump A 12 12", "dump A 12 12 "));
  const std::string dump = sim_a_->Out();
  const int made = std::atoi(dump.c_str() + dump.rfind("dump A 12 12 ") + 13);
  EXPECT_TRUE(made == 6 || made == 7) << dump;
  ASSERT_TRUE(sim_a_->Console("silent off", "ok silent off"));
  ASSERT_TRUE(sim_a_->Console("route A 3 9", "ok route"));
  EXPECT_TRUE(DevicesBecome("101 2\n102 2\n", &devices)) << devices;
  EXPECT_TRUE(watch->WaitForOutput("MODE 101 2\n", kWaitMs));
  EXPECT_TRUE(watch->WaitForOutput(Revertive(made, 12).substr(6), kWaitMs));
  EXPECT_TRUE(Contains(Route(10, 12).out, Revertive(10, 12)));
  watch->Stop();
  CloseDriver();
}

TEST_F(LinkTest, SerialPortHeldElsewhereEndsTheDriverCleanly) {
  const std::string com1 = (dir_.path() / "COM1").string();
  sim_a_ = StartSim({"--pty", com1});
  ASSERT_TRUE(sim_a_);
  const int held = ::open(com1.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

  WriteSite(Keys("Connection_Mode=SERIAL\nCom=1\nSpeed=38400\n"));
  serve_ = StartServe();
  driver_ = StartDriver(*serve_);
  EXPECT_EQ(driver_->Wait(kWaitMs), 0);
  EXPECT_TRUE(Contains(driver_->Stderr(), "! Xarvel - Error !: Can't open serial port 1"));
  EXPECT_TRUE(serve_->WaitForOutput("detach window", kWaitMs)) << "the driver detached";
  EXPECT_EQ(Kirn({"devices"}).out, "");
  // The holder keeps a working line.
  EXPECT_EQ(::write(held, ".IA1\r", 5), 5);
  EXPECT_TRUE(sim_a_->WaitErr(" .AA1,0\\r"));
  ::close(held);
}

// A salvo far beyond the unACK limit, over a 38400-baud line to a controller that takes 3 ms
// over each route, goes out whole at the controller's pace: every route on the wire, every
// revertive back, TX/RX throughout.
TEST_F(LinkTest, SerialSalvoOf40IsCarriedOutWholeAndTheDriverStaysTxRx) {
  const std::string com1 = (dir_.path() / "COM1").string();
  sim_a_ = StartSim({"--pty", com1, "--baud", "38400", "--xpt-ms", "3"});
  ASSERT_TRUE(sim_a_);
  WriteSite(Keys("Connection_Mode=SERIAL\nCom=1\nSpeed=38400\nTallyDelay=600000\n"));
  serve_ = StartServe();
  driver_ = StartDriver(*serve_);
  auto watch = Start({KIRN_BIN, "watch", "101"});
  ASSERT_TRUE(driver_->WaitForOutput("ComSup - resync done", kWaitMs, true));
  std::string devices;
  ASSERT_TRUE(DevicesBecome("101 2\n102 2\n", &devices)) << devices;

  const size_t wire_before = sim_a_->Err().size();
  EXPECT_EQ(Salvo(40, 0, 1500), "sent 40, revertives 40");
  EXPECT_EQ(Count(sim_a_->Err(), " .SA", wire_before), 40);
  EXPECT_EQ(Kirn({"devices"}).out, "101 2\n102 2\n");
  EXPECT_FALSE(Contains(watch->Stdout(), "MODE 101 1"));
  EXPECT_FALSE(Contains(driver_->Stderr(), "setting mode rxonly"));
  watch->Stop();
  CloseDriver();
}

// A controller that takes 2 ms per crosspoint.
TEST_F(LinkTest, TcpSalvoToASlowControllerDeclaresNoFailure) {
  sim_a_ = StartSim({"--tcp", "0", "--xpt-ms", "2"});
  ASSERT_TRUE(sim_a_);
  WriteSite(TcpKeys(sim_a_->ports.at(0), "IP_Address_A=127.0.0.1\nTallyDelay=600000\n"));
  serve_ = StartServe();
  driver_ = StartDriver(*serve_);
  ASSERT_TRUE(driver_->WaitForOutput("ComSup - resync done", kWaitMs, true));
  EXPECT_EQ(Salvo(40, 3, 1500), "sent 40, revertives 40");
  const std::string trace = driver_->Stderr();
  EXPECT_FALSE(Contains(trace, "setting comms fail flag"));
  EXPECT_EQ(Count(trace, "FD Connected ok"), 1);
  CloseDriver();
}

// A controller that stops answering for less than the reply timeout costs nothing; one of a pair
// that stops for longer is given up, and the routes it had not answered go to the other.
TEST_F(LinkTest, AShortStallCostsNothingALongerOneOnAPairLosesNoRoute) {
  ASSERT_NO_FATAL_FAILURE(StartPair());
  const std::string refuse_b = "refuse " + std::to_string(port_);
  ASSERT_TRUE(sim_b_->Console(refuse_b + " on", "ok refuse"));
  WriteSite(TcpKeys(port_,
                    "IP_Address_A=127.0.0.1\nIP_Address_B=127.0.0.2\n"
                    "Dual_Controllers=1\nTallyDelay=600000\n"));
  serve_ = StartServe();
  driver_ = StartDriver(*serve_);
  ASSERT_TRUE(driver_->WaitForOutput("ComSup - resync done", kWaitMs, true));
  ASSERT_TRUE(sim_b_->Console(refuse_b + " off", "ok refuse"));

  ASSERT_TRUE(sim_a_->Console("stall 600", "ok stall"));
  EXPECT_EQ(Salvo(10, 5, 1500), "sent 10, revertives 10");
  EXPECT_FALSE(Contains(driver_->Stderr(), "setting comms fail flag"));

  // A stops answering for longer than the timeout, and takes no new connection.
  ASSERT_TRUE(sim_a_->Console("refuse " + std::to_string(port_) + " on", "ok refuse"));
  ASSERT_TRUE(sim_a_->Console("stall 5000", "ok stall"));
  EXPECT_EQ(Salvo(10, 13, 3000), "sent 10, revertives 10");
  const std::string trace = driver_->Stderr();
  EXPECT_TRUE(Contains(trace, "setting comms fail flag"));
  EXPECT_TRUE(Contains(trace, "unanswered command(s) of controller A for the next one"));
  EXPECT_TRUE(Contains(trace, "MC1000 driver - Net B FD Connected ok"));
  EXPECT_FALSE(Contains(trace, " dropped "));
  CloseDriver();
}

// A change made at the router while the link was down reaches the tables and the control system
// within moments of the reconnect, long before the poll would come round to it.
TEST_F(LinkTest, FrontPanelChangeDuringAnOutageIsRevertivedSoonAfterTheReconnect) {
  sim_a_ = StartSim({"--tcp", "0"});
  ASSERT_TRUE(sim_a_);
  const std::string port = std::to_string(sim_a_->ports.at(0));
  WriteSite(TcpKeys(sim_a_->ports.at(0), "IP_Address_A=127.0.0.1\nTallyDelay=1000\n"));
  serve_ = StartServe();
  driver_ = StartDriver(*serve_);
  auto watch = Start({KIRN_BIN, "watch", "101"});
  ASSERT_TRUE(driver_->WaitForOutput("ComSup - resync done", kWaitMs, true));

  ASSERT_TRUE(sim_a_->Console("refuse " + port + " on", "ok refuse"));
  ASSERT_TRUE(sim_a_->Console("close all", "ok close"));
  ASSERT_TRUE(driver_->WaitForOutput("MC1000 driver - Net A FD Close", kWaitMs, true));
  ASSERT_TRUE(sim_a_->Console("route A 12 9", "ok route"));
  ASSERT_TRUE(sim_a_->Console("refuse " + port + " off", "ok refuse"));
  const auto back = Clock::now();
  ASSERT_TRUE(watch->WaitForOutput("RR 101 012 009\n", kWaitMs));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - back);
  std::printf("[link] front-panel change revertived %lld ms after the controller came back\n",
              static_cast<long long>(took.count()));
  // The poll, one destination a second from the first after the reconnect, would take 12 s.
  EXPECT_LT(took.count(), 6000);
  EXPECT_EQ(Kirn({"send", "101", "RP 101 12 12 0", "--wait", "300"}).out, Revertive(9, 12));
  watch->Stop();
  CloseDriver();
}

}  // namespace
