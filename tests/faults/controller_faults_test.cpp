// Controller faults with the real programs: a controller killed and started again during a
// stream of routes, both controllers of a pair down and up again, the serial device (the
// emulator's pseudo-terminal) removed and made again, and a flood of route commands into the
// forward buffer. The driver is never restarted. Each test prints what was lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "controller_site.h"
#include "e2e_site.h"
#include "sanitizer_build.h"
#include "sim_process.h"

namespace {

using testing_support::Process;
using testing_support::Result;
using testing_support::SimProcess;
using testing_support::StartSim;

constexpr int kWaitMs = 10000;  // bound of a wait for something the driver is due to do
constexpr int kDests = 16;      // router A (device 101) of the sample site

// Built with the address sanitizer: the flood is smaller and the driver's memory is not judged.
constexpr bool kSanitized = kSanitizedBuild;

using Pair = std::pair<int, int>;  // destination, source

bool Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

int CountOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The (destination, source) of every "REV <param> RR 101 ddd sss" line, in order.
std::vector<Pair> Revertives(const std::string& text, const char* kind = "REV ") {
  std::vector<Pair> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(kind, 0) != 0) continue;
    const size_t rr = line.find("RR 101 ");
    int dst = 0;
    int src = 0;
    if (rr != std::string::npos && std::sscanf(line.c_str() + rr, "RR 101 %d %d", &dst, &src) == 2)
      out.emplace_back(dst, src);
  }
  return out;
}

long RssKb(int pid) {
  const std::string status = testing_support::ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

class ControllerFaultsTest : public testing_support::ControllerSiteTest {
 protected:
  // Starts kirn serve, the driver and a watcher of device 101, and waits until the watcher
  // sees revertives.
  void StartDriverAndWatch() {
    serve_ = StartServe();
    driver_ = StartDriver(*serve_);
    watch_ = Start({KIRN_BIN, "watch", "101"});
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (watch_->Stdout().empty() && Clock::now() < deadline) {
      Kirn({"send", "101", "RP 101 1 1 0", "--wait", "0"});
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(watch_->Stdout().empty()) << "the watcher sees nothing";
  }

  // Sends route k of a stream: destination k % 16 + 1, source `first_source` + k, so that
  // every route changes its destination's tally and has a revertive of its own.
  Pair SendRoute(int k, int first_source = 1) {
    const Pair route{k % kDests + 1, first_source + k};
    sent_.push_back(route);
    Kirn(
        {"send", "101",
         "RC 101 " + std::to_string(route.second) + " " + std::to_string(route.first) + " ',---' 0",
         "--wait", "0"});
    return route;
  }

  // The routes sent so far (from `from` on) without a revertive at the watcher; waits (bounded)
  // for late ones.
  std::vector<Pair> Lost(size_t from = 0) {
    std::vector<Pair> lost;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    do {
      const std::vector<Pair> seen = Revertives(watch_->Stdout());
      lost.clear();
      for (size_t i = from; i < sent_.size(); ++i) {
        bool found = false;
        for (const Pair& p : seen) found = found || p == sent_[i];
        if (!found) lost.push_back(sent_[i]);
      }
      if (lost.empty()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < deadline);
    return lost;
  }

  // Prints what was lost, for the fault suite's output.
  static void Report(const char* fault, size_t sent, const std::vector<Pair>& lost) {
    std::string list;
    for (const Pair& p : lost)
      list += " " + std::to_string(p.second) + "->" + std::to_string(p.first);
    std::printf("[fault] %s: %zu routes sent, %zu lost%s%s\n", fault, sent, lost.size(),
                lost.empty() ? "" : ":", list.c_str());
  }

  // The driver's tally of every destination of router A, from a poll of the whole range.
  std::map<int, int> Tallies() {
    std::map<int, int> t;
    const auto r =
        Kirn({"send", "101", "RP 101 1 " + std::to_string(kDests) + " 0", "--wait", "300"});
    for (const Pair& p : Revertives(r.out)) t[p.first] = p.second;
    return t;
  }

  // Every answered route of `sent_` (from `from` on) is what its destination holds, unless a
  // later route of the same destination replaced it.
  void ExpectTablesHoldTheLastRoutes(size_t from = 0) {
    std::map<int, int> want;
    for (size_t i = from; i < sent_.size(); ++i) want[sent_[i].first] = sent_[i].second;
    const std::map<int, int> have = Tallies();
    for (const auto& [dst, src] : want) {
      EXPECT_EQ(have.count(dst) != 0 ? have.at(dst) : -1, src) << "destination " << dst;
    }
  }

  // One emulator serving the pair (A at 127.0.0.1, B at 127.0.0.2, one port, one state) with
  // `args`; the driver's site for it with `keys`. B refuses until the driver is on A.
  void StartPairOnA(const std::vector<std::string>& args, const std::string& keys) {
    std::vector<std::string> argv;
    for (int attempt = 0; attempt < 5 && !sim_a_; ++attempt) {
      auto probe = StartSim({"--bind", "127.0.0.1", "--tcp", "0"});
      ASSERT_TRUE(probe);
      pair_port_ = std::to_string(probe->ports.at(0));
      probe->Kill();
      argv = {"--tcp", "127.0.0.1:" + pair_port_, "--tcp", "127.0.0.2:" + pair_port_};
      argv.insert(argv.end(), args.begin(), args.end());
      auto sim = std::make_unique<SimProcess>(argv);
      if (sim->Ready()) sim_a_ = std::move(sim);
    }
    ASSERT_TRUE(sim_a_);
    ASSERT_TRUE(sim_a_->Console("refuse 127.0.0.2:" + pair_port_ + " on", "ok refuse"));
    WriteSite(Keys(testing_support::PairKeys(std::stoi(pair_port_)) + keys));
    ASSERT_NO_FATAL_FAILURE(StartDriverAndWatch());
    ASSERT_TRUE(driver_->WaitForOutput("Net A FD Connected ok", kWaitMs, true));
    ASSERT_TRUE(sim_a_->Console("refuse 127.0.0.2:" + pair_port_ + " off", "ok refuse"));
  }

  // The controller ("A" or "B") each route of `sent_` was last written to, from the driver's
  // "ROUTE 101 <dest> <src> written <controller> <n>" lines.
  std::vector<std::string> WrittenTo() const {
    std::vector<std::string> out;
    const std::string trace = driver_->Stderr();
    for (const Pair& p : sent_) {
      const std::string line =
          "ROUTE 101 " + std::to_string(p.first) + " " + std::to_string(p.second) + " written ";
      const size_t at = trace.rfind(line);
      out.push_back(at == std::string::npos ? "-" : trace.substr(at + line.size(), 1));
    }
    return out;
  }

  std::string pair_port_;
  std::vector<Pair> sent_;
  std::unique_ptr<Process> watch_;
};

// No polls in the TCP tests: the tables then hold exactly what the controllers reported.
TEST_F(ControllerFaultsTest, ControllerKilledAndStartedAgainDuringRoutesLosesNoRoute) {
  sim_a_ = StartSim({"--tcp", "0"});
  ASSERT_TRUE(sim_a_);
  const std::string port = std::to_string(sim_a_->ports.at(0));
  WriteSite(Keys("Connection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" + port +
                 "\nTallyDelay=600000\n"));
  ASSERT_NO_FATAL_FAILURE(StartDriverAndWatch());

  for (int k = 0; k < 24; ++k) {
    if (k == 8) sim_a_->Kill();
    if (k == 11) {
      sim_a_ = StartSim({"--tcp", port});
      ASSERT_TRUE(sim_a_);
    }
    SendRoute(k);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::vector<Pair> lost = Lost();
  Report("controller killed and started again", sent_.size(), lost);
  EXPECT_TRUE(lost.empty());
  ExpectTablesHoldTheLastRoutes();
  CloseDriver();
}

TEST_F(ControllerFaultsTest, BothControllersDownThenUpAgainLosesNoRoute) {
  // A on 127.0.0.1 and B on 127.0.0.2, one port number; B's bind is retried on a new number in
  // the rare case that it is taken there.
  ASSERT_NO_FATAL_FAILURE(StartPair());
  const std::string port = std::to_string(port_);
  WriteSite(Keys(testing_support::PairKeys(port_) + "TallyDelay=600000\n"));
  ASSERT_NO_FATAL_FAILURE(StartDriverAndWatch());

  for (int k = 0; k < 24; ++k) {
    if (k == 8) {
      sim_a_->Kill();
      sim_b_->Kill();
    }
    if (k == 11) {
      // Both come back; whichever the driver reaches first takes the held routes.
      sim_b_ = StartSim({"--bind", "127.0.0.2", "--tcp", port});
      sim_a_ = StartSim({"--bind", "127.0.0.1", "--tcp", port});
      ASSERT_TRUE(sim_a_ && sim_b_);
    }
    SendRoute(k);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::vector<Pair> lost = Lost();
  Report("both controllers down, then up", sent_.size(), lost);
  EXPECT_TRUE(lost.empty());
  ExpectTablesHoldTheLastRoutes();
  EXPECT_TRUE(Contains(driver_->Stderr(), "held command(s) to controller"));
  CloseDriver();
}

// Controller A's command side hangs while its front panel keeps reporting (every 150 ms, on a
// crosspoint of router B): only answers prove the command path, so the driver leaves A within
// the reply timeout and every route of the stream is made through B.
TEST_F(ControllerFaultsTest, DeafControllerThatChattersIsLeftForItsPartner) {
  ASSERT_NO_FATAL_FAILURE(StartPairOnA({}, "TallyDelay=600000\n"));
  ASSERT_TRUE(sim_a_->Console("deaf on 127.0.0.1:" + pair_port_, "ok deaf on"));
  ASSERT_TRUE(sim_a_->Console("chatter 150 B 5", "ok chatter"));
  for (int k = 0; k < 30; ++k) {
    SendRoute(k, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const std::vector<Pair> lost = Lost();
  Report("deaf controller A chattering, B healthy", sent_.size(), lost);
  EXPECT_TRUE(lost.empty());
  EXPECT_EQ(WrittenTo(), std::vector<std::string>(sent_.size(), "B"));
  EXPECT_TRUE(Contains(driver_->Stderr(), "Xarvel SendData(IP) - no reply for"));
  ExpectTablesHoldTheLastRoutes();
  CloseDriver();
}

// Both controllers lost; A comes back first but never answers, B 1.5 s later: the driver leaves
// the silent A for B and every route is made through B.
TEST_F(ControllerFaultsTest, ControllerBackSilentAfterALossIsLeftForItsPartner) {
  ASSERT_NO_FATAL_FAILURE(StartPair());
  const std::string port = std::to_string(port_);
  WriteSite(Keys(testing_support::PairKeys(port_) + "TallyDelay=600000\n"));
  ASSERT_NO_FATAL_FAILURE(StartDriverAndWatch());
  sim_a_->Kill();
  sim_b_->Kill();
  sim_b_.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  sim_a_ = StartSim({"--bind", "127.0.0.1", "--tcp", port, "--silent"});
  ASSERT_TRUE(sim_a_);
  const auto a_back = Clock::now();
  for (int k = 0; k < 20; ++k) {
    if (!sim_b_ && Clock::now() - a_back >= std::chrono::milliseconds(1500)) {
      sim_b_ = StartSim({"--bind", "127.0.0.2", "--tcp", port});
      ASSERT_TRUE(sim_b_);
    }
    SendRoute(k, 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(sim_b_) << "B was to be back 1.5 s after A";
  const std::vector<Pair> lost = Lost();
  Report("A back silent after a loss, B back 1.5 s later", sent_.size(), lost);
  EXPECT_TRUE(lost.empty());
  EXPECT_EQ(WrittenTo(), std::vector<std::string>(sent_.size(), "B"));
  ExpectTablesHoldTheLastRoutes();
  CloseDriver();
}

// The driver goes RX only while routes are outstanding on a slow controller; the connection is
// then lost and made again: no route command reaches the new connection, and each outstanding
// one is traced as abandoned.
TEST_F(ControllerFaultsTest, RxOnlyWithRoutesOutstandingWritesNoneToTheNextConnection) {
  sim_a_ = StartSim({"--tcp", "0", "--xpt-ms", "400"});
  ASSERT_TRUE(sim_a_);
  const std::string port = std::to_string(sim_a_->ports.at(0));
  WriteSite(
      Keys("Connection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" + port + "\nTallyDelay=200\n"));
  ASSERT_NO_FATAL_FAILURE(StartDriverAndWatch());
  for (int k = 0; k < 8; ++k) SendRoute(k, 10);
  ASSERT_TRUE(sim_a_->WaitErr(".SA3,12\\r"));
  ASSERT_EQ(Kirn({"mode", "101", "rxonly"}).code, 0);
  std::string devices;
  ASSERT_TRUE(DevicesBecome("101 1\n102 1\n", &devices)) << devices;
  const size_t before_close = sim_a_->Err().size();
  ASSERT_TRUE(sim_a_->Console("close all", "ok close"));
  ASSERT_TRUE(sim_a_->WaitErr(" accept ", kWaitMs, before_close));
  // The poll goes on over the new connections; no route does. (The controller still carries
  // out what the first connection had sent, logged under that connection's name: up to 1.6 s of
  // routes at 400 ms each, which the new connection's first interrogate waits behind.)
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(sim_a_->WaitErr(" .IA", kWaitMs, before_close)) << "the poll over the new connection";
  const std::string wire = sim_a_->Err().substr(before_close);
  std::vector<std::string> later;  // "rx tcp:PORT#N .S" of each connection accepted since
  for (size_t at = wire.find(" accept "); at != std::string::npos;
       at = wire.find(" accept ", at + 1)) {
    const size_t name = at + 8;
    later.push_back("rx " + wire.substr(name, wire.find(' ', name) - name) + " .S");
  }
  ASSERT_FALSE(later.empty());
  for (const std::string& l : later) EXPECT_FALSE(Contains(wire, l)) << wire;
  EXPECT_TRUE(Contains(driver_->Stderr(), "abandoned rx_only"));
  CloseDriver();
}

// An 8 s outage of the only controller, with the poll running: the poll's interrogates are not
// dropped commands, so nothing is counted, nothing traced per tick, and the check is OK as soon
// as the link is back.
TEST_F(ControllerFaultsTest, OutageOfTheOnlyControllerDropsNothingAndTheCheckIsOkAfter) {
  sim_a_ = StartSim({"--tcp", "0"});
  ASSERT_TRUE(sim_a_);
  const std::string port = std::to_string(sim_a_->ports.at(0));
  WriteSite(
      Keys("Connection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" + port + "\nTallyDelay=100\n"));
  ASSERT_NO_FATAL_FAILURE(StartDriverAndWatch());
  sim_a_->Kill();
  std::this_thread::sleep_for(std::chrono::milliseconds(8000));
  sim_a_ = StartSim({"--tcp", port});
  ASSERT_TRUE(sim_a_);
  Result check;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    check = Kirn({"status", "101", "--check"});
  } while (check.code != 0 && Clock::now() < deadline);
  EXPECT_EQ(check.code, 0) << check.out;
  const std::string trace = driver_->Stderr();
  EXPECT_FALSE(Contains(trace, "dropped")) << "a drop during the outage";
  EXPECT_LT(CountOf(trace, "SendData - Controller UNKNOWN"), 3) << "a trace line per poll tick";
  const Result json = Kirn({"status", "101", "--json"});
  EXPECT_TRUE(Contains(json.out, "\"held_too_long\":0")) << json.out;
  EXPECT_TRUE(Contains(json.out, "\"unanswered\":0")) << json.out;
  CloseDriver();
}

// A salvo while the poll runs fast on a slow controller: the poll asks every destination in
// turn and never passes one it did not ask.
TEST_F(ControllerFaultsTest, SalvoDuringThePollLeavesNoDestinationUnpolled) {
  sim_a_ = StartSim({"--tcp", "0", "--xpt-ms", "5"});
  ASSERT_TRUE(sim_a_);
  const std::string port = std::to_string(sim_a_->ports.at(0));
  WriteSite(
      Keys("Connection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" + port + "\nTallyDelay=20\n"));
  ASSERT_NO_FATAL_FAILURE(StartDriverAndWatch());
  ASSERT_TRUE(driver_->WaitForOutput("ComSup - resync done", kWaitMs, true));
  const size_t from = sim_a_->Err().size();
  std::string salvo;
  for (int k = 0; k < 200; ++k) {
    salvo += "RC 101 " + std::to_string(k % 30 + 1) + " " + std::to_string(k % kDests + 1) +
             " ',---' 0\n";
  }
  testing_support::WriteFile(dir_.path() / "salvo.txt", salvo);
  auto send = Start({"/bin/sh", "-c",
                     std::string("exec ") + KIRN_BIN + " send 101 - --wait 500 < " +
                         (dir_.path() / "salvo.txt").string()});
  ASSERT_EQ(send->Wait(30000), 0) << send->Stderr();
  // The interrogates on the wire since the salvo began: router A's 16 destinations, then router
  // B's 8, round and round, none left out.
  std::vector<std::string> asked;
  std::istringstream wire(sim_a_->Err().substr(from));
  for (std::string line; std::getline(wire, line);) {
    const size_t at = line.find(" .I");
    if (at != std::string::npos && Contains(line, " interrogate")) {
      asked.push_back(line.substr(at + 3, line.find("\\r", at) - at - 3));
    }
  }
  ASSERT_GT(asked.size(), 24u) << "not one full round";
  std::vector<std::string> order;
  for (int d = 1; d <= kDests; ++d) order.push_back("A" + std::to_string(d));
  for (int d = 1; d <= 8; ++d) order.push_back("B" + std::to_string(d));
  size_t at = std::find(order.begin(), order.end(), asked[0]) - order.begin();
  ASSERT_LT(at, order.size()) << asked[0];
  for (size_t i = 1; i < asked.size(); ++i) {
    at = (at + 1) % order.size();
    ASSERT_EQ(asked[i], order[at]) << "interrogate " << i << " of " << asked.size();
  }
  CloseDriver();
}

// A serial controller whose command side hangs while its panel keeps reporting: the driver goes
// RX only once and stays there while the panel chatters (a report proves nothing), and asks for
// TX/RX again when the controller answers the poll.
TEST_F(ControllerFaultsTest, DeafSerialControllerThatChattersGoesRxOnlyOnceUntilItAnswers) {
  const std::string com1 = (dir_.path() / "COM1").string();
  sim_a_ = StartSim({"--pty", com1, "--sources", "32"});  // router A's sources
  ASSERT_TRUE(sim_a_);
  WriteSite(Keys("Connection_Mode=SERIAL\nCom=1\nSpeed=38400\nTallyDelay=200\n"));
  ASSERT_NO_FATAL_FAILURE(StartDriverAndWatch());
  std::string devices;
  ASSERT_TRUE(DevicesBecome("101 2\n102 2\n", &devices)) << devices;
  ASSERT_TRUE(sim_a_->Console("deaf on", "ok deaf on"));
  ASSERT_TRUE(sim_a_->Console("chatter 150 A 16", "ok chatter"));
  ASSERT_TRUE(DevicesBecome("101 1\n102 1\n", &devices)) << devices;
  const size_t rx_only_at = watch_->Stdout().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  EXPECT_FALSE(Contains(watch_->Stdout().substr(rx_only_at), "MODE 101 2")) << "the mode flapped";
  EXPECT_EQ(Kirn({"devices"}).out, "101 1\n102 1\n");
  // The panel's changes reached the tables in RX only, silently; back in TX/RX the control
  // system gets one revertive of destination 16, of the source it has now.
  ASSERT_TRUE(sim_a_->Console("chatter 0", "ok chatter"));
  ASSERT_TRUE(sim_a_->Console("dump A 16 16", "dump A 16 16 "));
  const std::string out = sim_a_->Out();
  const int source = std::atoi(out.c_str() + out.rfind("dump A 16 16 ") + 13);
  EXPECT_FALSE(Contains(watch_->Stdout().substr(rx_only_at), "RR 101 016"));
  ASSERT_TRUE(sim_a_->Console("deaf off", "ok deaf off"));
  ASSERT_TRUE(DevicesBecome("101 2\n102 2\n", &devices)) << devices;
  char revertive[32];
  std::snprintf(revertive, sizeof revertive, "RR 101 016 %03d\n", source);
  EXPECT_TRUE(watch_->WaitForOutput(revertive, kWaitMs)) << watch_->Stdout().substr(rx_only_at);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(CountOf(watch_->Stdout().substr(rx_only_at), "RR 101 016"), 1);
  EXPECT_EQ(CountOf(driver_->Stderr(), "setting mode rxonly"), 1);
  CloseDriver();
}

// The serial line polls (TallyDelay 100), so a failed write finds the device gone and the
// controller's reports bring TX/RX back; the new emulator starts with its own router state, so
// the tables are checked against the routes it answered.
TEST_F(ControllerFaultsTest, SerialDeviceRemovedAndMadeAgainRecoversWithoutARestart) {
  const std::string com1 = (dir_.path() / "COM1").string();
  sim_a_ = StartSim({"--pty", com1});
  ASSERT_TRUE(sim_a_);
  WriteSite(Keys("Connection_Mode=SERIAL\nCom=1\nSpeed=38400\nTallyDelay=100\n"));
  ASSERT_NO_FATAL_FAILURE(StartDriverAndWatch());
  std::string devices;
  ASSERT_TRUE(DevicesBecome("101 2\n102 2\n", &devices)) << devices;

  for (int k = 0; k < 8; ++k) {
    SendRoute(k);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::vector<Pair> lost_before = Lost();

  // The device goes with its emulator; a new one appears at the same path.
  sim_a_->Kill();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  sim_a_ = StartSim({"--pty", com1});
  ASSERT_TRUE(sim_a_);
  ASSERT_TRUE(driver_->WaitForOutput("serial port COM1 had gone; opened again", kWaitMs, true));
  ASSERT_TRUE(DevicesBecome("101 2\n102 2\n", &devices)) << devices;

  const size_t after = sent_.size();
  for (int k = 0; k < kDests; ++k) {
    SendRoute(k, 17);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::vector<Pair> lost_after = Lost(after);
  std::vector<Pair> lost = lost_before;
  lost.insert(lost.end(), lost_after.begin(), lost_after.end());
  Report("serial device removed and made again", sent_.size(), lost);
  EXPECT_TRUE(lost.empty());
  ExpectTablesHoldTheLastRoutes(after);
  CloseDriver();
}

// The driver's counter `name` from `kirn status 101 --json`, or -1.
long CounterOf(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const size_t at = json.find(key);
  return at == std::string::npos ? -1 : std::atol(json.c_str() + at + key.size());
}

// Polls `done` until it holds, at most `ms`.
template <typename Done>
bool WaitFor(Done done, int ms = kWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// An ordinary controller's day on a healthy pair: it refuses routes to destinations locked at
// its panel and from a source it lacks, answering with the unchanged crosspoint, a bare
// acknowledgement, or nothing (two at once then fill the window of two). Each refusal is an
// answer: no failover, no link failure, every other route made, and the control system gets a
// revertive of the source each refused destination really has.
TEST_F(ControllerFaultsTest, RefusalsAreAnswersNotFailures) {
  ASSERT_NO_FATAL_FAILURE(
      StartPairOnA({"--sources", "30"}, "TallyDelay=600000\nMaxUnACKedRoutesBeforeCommsFail=3\n"));
  ASSERT_TRUE(driver_->WaitForOutput("ComSup - resync done", kWaitMs, true));
  ASSERT_TRUE(sim_a_->Console("lock 5 255", "ok lock"));
  ASSERT_TRUE(sim_a_->Console("lock 6 255", "ok lock"));
  int refused = 0;
  int first = 0;
  for (const char* form : {"report", "ack", "none"}) {
    ASSERT_TRUE(sim_a_->Console(std::string("refuse-with ") + form, "ok refuse-with"));
    const size_t watch_from = watch_->Stdout().size();
    std::string salvo;
    std::vector<Pair> made;
    std::vector<Pair> refused_routes;
    for (int d = 1; d <= 10; ++d) {
      const int src = d == 8 ? 31 : first + d;  // the controller has no source 31
      salvo += "RC 101 " + std::to_string(src) + " " + std::to_string(d) + " ',---' 0\n";
      (d == 5 || d == 6 || d == 8 ? refused_routes : made).emplace_back(d, src);
    }
    first += 9;
    testing_support::WriteFile(dir_.path() / "salvo.txt", salvo);
    auto send = Start({"/bin/sh", "-c",
                       std::string("exec ") + KIRN_BIN + " send 101 - --wait 2500 < " +
                           (dir_.path() / "salvo.txt").string()});
    ASSERT_EQ(send->Wait(30000), 0) << send->Stderr();
    std::vector<Pair> seen;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    auto all_seen = [&] {
      seen = Revertives(watch_->Stdout().substr(watch_from));
      auto has = [&seen](Pair p) { return std::find(seen.begin(), seen.end(), p) != seen.end(); };
      bool all = std::all_of(made.begin(), made.end(), has);
      for (const Pair& r : refused_routes) all = all && has(Pair{r.first, 0});
      return all;
    };
    while (!all_seen() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(all_seen()) << form << ": " << watch_->Stdout().substr(watch_from);
    for (const Pair& r : refused_routes) {
      EXPECT_TRUE(Contains(driver_->Stderr(), "ROUTE 101 " + std::to_string(r.first) + " " +
                                                  std::to_string(r.second) +
                                                  " refused by the controller"))
          << form << " " << r.first;
      ++refused;
    }
  }
  const std::string json = Kirn({"status", "101", "--json"}).out;
  EXPECT_EQ(CounterOf(json, "refused_by_controller"), refused) << json;
  EXPECT_EQ(CounterOf(json, "link_failures"), 0) << json;
  EXPECT_EQ(CounterOf(json, "failovers"), 0) << json;
  EXPECT_TRUE(Contains(json, "\"unanswered\":0")) << json;
  EXPECT_FALSE(Contains(driver_->Stderr(), "Net B FD Connected ok"));
  const Result check = Kirn({"status", "101", "--check"});
  EXPECT_EQ(check.code, 0) << check.out;
  CloseDriver();
}

// A standby stays standby: registered RX only, ordered RX only again (which forces a new
// connection), reconnected by the operator, its controller lost and back: it never asserts
// TX/RX, never sends a revertive, and writes no route.
TEST_F(ControllerFaultsTest, StandbyStaysRxOnlyAcrossEveryReconnection) {
  sim_a_ = StartSim({"--tcp", "0"});
  ASSERT_TRUE(sim_a_);
  const std::string port = std::to_string(sim_a_->ports.at(0));
  WriteSite(
      Keys("Connection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" + port + "\nTallyDelay=100\n"));
  serve_ = StartServe({"--mode", "rxonly"});
  driver_ = StartDriver(*serve_);
  watch_ = Start({KIRN_BIN, "watch", "101", "102"});
  std::string devices;
  ASSERT_TRUE(DevicesBecome("101 1\n102 1\n", &devices)) << devices;
  ASSERT_TRUE(driver_->WaitForOutput("ComSup - resync done", kWaitMs, true));
  auto accepted = [this] { return CountOf(sim_a_->Err(), " accept "); };
  auto expect_standby = [&](const char* after) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(Kirn({"devices"}).out, "101 1\n102 1\n") << after;
    const std::string json = Kirn({"status", "101", "--json"}).out;
    EXPECT_EQ(CounterOf(json, "interface_mode"), 1) << after;
    EXPECT_EQ(CounterOf(json, "comms_state"), 1) << after << ": the link works";
    EXPECT_EQ(Kirn({"send", "101", "RC 101 7 3 ',---' 0", "--wait", "300"}).out, "") << after;
  };
  expect_standby("registered RX only");
  int connects = accepted();
  ASSERT_EQ(Kirn({"mode", "101", "rxonly"}).code, 0);
  ASSERT_TRUE(WaitFor([&] { return accepted() > connects; })) << "the forced reconnection";
  expect_standby("ordered RX only (a forced reconnection)");
  connects = accepted();
  ASSERT_EQ(Kirn({"menu", "101", "reconnect"}).code, 0);
  ASSERT_TRUE(WaitFor([&] { return accepted() > connects; }));
  expect_standby("the operator's Reconnect");
  sim_a_->Kill();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  sim_a_ = StartSim({"--tcp", port});
  ASSERT_TRUE(sim_a_);
  ASSERT_TRUE(sim_a_->WaitErr(" accept ", kWaitMs));
  expect_standby("the controller lost and back");
  EXPECT_FALSE(Contains(watch_->Stdout(), "MODE 101 2")) << watch_->Stdout();
  EXPECT_FALSE(Contains(watch_->Stdout(), "REV ")) << watch_->Stdout();
  EXPECT_FALSE(Contains(sim_a_->Err(), " .S"));
  EXPECT_FALSE(Contains(driver_->Stderr(), " written A ")) << "a route written by the standby";
  // A change at the panel while RX only by the interface's order owes the control system
  // nothing when the interface orders TX/RX: the partner was in charge.
  ASSERT_TRUE(sim_a_->Console("route A 5 9", "ok route"));
  ASSERT_TRUE(driver_->WaitForOutput("iZQDest=5, iRtrSrc=9", kWaitMs, true));
  ASSERT_EQ(Kirn({"mode", "101", "txrx"}).code, 0);
  ASSERT_TRUE(DevicesBecome("101 2\n102 2\n", &devices)) << devices;
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_FALSE(Contains(watch_->Stdout(), "RR 101 005 009")) << watch_->Stdout();
  CloseDriver();
}

// A pause of 1.5 s of a serial controller's command side in the middle of a salvo: every route
// is made and revertived, and the driver never leaves TX/RX.
TEST_F(ControllerFaultsTest, SerialPauseInASalvoLosesNothingAndChangesNoMode) {
  const std::string com1 = (dir_.path() / "COM1").string();
  sim_a_ = StartSim({"--pty", com1, "--baud", "38400", "--xpt-ms", "2"});
  ASSERT_TRUE(sim_a_);
  WriteSite(Keys("Connection_Mode=SERIAL\nCom=1\nSpeed=38400\nTallyDelay=600000\n"));
  ASSERT_NO_FATAL_FAILURE(StartDriverAndWatch());
  std::string devices;
  ASSERT_TRUE(DevicesBecome("101 2\n102 2\n", &devices)) << devices;
  ASSERT_TRUE(driver_->WaitForOutput("ComSup - resync done", kWaitMs, true));
  std::string salvo;
  for (int k = 0; k < 40; ++k) {
    const Pair route{k % kDests + 1, 1 + k % 31};  // each one changes its destination's tally
    sent_.push_back(route);
    salvo += "RC 101 " + std::to_string(route.second) + " " + std::to_string(route.first) +
             " ',---' 0\n";
  }
  testing_support::WriteFile(dir_.path() / "salvo.txt", salvo);
  const size_t wire_from = sim_a_->Err().size();
  auto send = Start({"/bin/sh", "-c",
                     std::string("exec ") + KIRN_BIN + " send 101 - --stats --wait 3000 < " +
                         (dir_.path() / "salvo.txt").string()});
  ASSERT_TRUE(sim_a_->WaitErr(" .SA5,5", kWaitMs, wire_from));
  ASSERT_TRUE(sim_a_->Console("stall 1500", "ok stall"));
  ASSERT_EQ(send->Wait(60000), 0) << send->Stderr();
  EXPECT_TRUE(Contains(send->Stdout(), "unconfirmed 0\n")) << send->Stdout();
  const size_t at = send->Stdout().find("seconds ");
  ASSERT_NE(at, std::string::npos);
  EXPECT_GE(std::atof(send->Stdout().c_str() + at + 8), 1.5) << "the pause fell in the salvo";
  const std::vector<Pair> lost = Lost();
  Report("serial pause of 1.5 s in a salvo of 40", sent_.size(), lost);
  EXPECT_TRUE(lost.empty());
  EXPECT_EQ(Kirn({"devices"}).out, "101 2\n102 2\n");
  EXPECT_FALSE(Contains(watch_->Stdout(), "MODE 101 1"));
  const std::string trace = driver_->Stderr();
  EXPECT_TRUE(Contains(trace, "holding the commands")) << "the pause outlasted the reply timeout";
  EXPECT_FALSE(Contains(trace, "setting mode rxonly"));
  EXPECT_FALSE(Contains(trace, " dropped ")) << trace;
  ExpectTablesHoldTheLastRoutes();
  CloseDriver();
}

// A controller that answers interrogates with ".U", and has fewer destinations than the
// profile names (it answers nothing beyond them), keeps its link: the poll runs through every
// destination again and again, the link never fails, and routes are made.
TEST_F(ControllerFaultsTest, UAnswersAndAProfileWiderThanTheControllerKeepTheLink) {
  sim_a_ = StartSim({"--tcp", "0", "--u-answers", "--dests", "12", "--ignore-beyond"});
  ASSERT_TRUE(sim_a_);
  const std::string port = std::to_string(sim_a_->ports.at(0));
  WriteSite(
      Keys("Connection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" + port + "\nTallyDelay=50\n"));
  ASSERT_NO_FATAL_FAILURE(StartDriverAndWatch());
  // Router A's destinations 13..16 are beyond the controller; router B's 1..8 within.
  ASSERT_TRUE(sim_a_->WaitErr(" .IA16\\r interrogate beyond the router, not answered", kWaitMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  ASSERT_TRUE(sim_a_->Console("route A 3 9", "ok route"));
  EXPECT_TRUE(watch_->WaitForOutput("RR 101 003 009", kWaitMs));
  SendRoute(3, 4);
  EXPECT_TRUE(Lost().empty());
  const std::string json = Kirn({"status", "101", "--json"}).out;
  EXPECT_EQ(CounterOf(json, "link_failures"), 0) << json;
  EXPECT_EQ(CounterOf(json, "comms_state"), 1) << json;
  EXPECT_EQ(CountOf(driver_->Stderr(), "Net A FD Connected ok"), 1) << "one connection all along";
  EXPECT_FALSE(Contains(driver_->Stderr(), "no reply for"));
  CloseDriver();
}

// 100,000 route commands, with a query after every 100th, into a forward buffer drained every
// 200 ms: the buffer keeps the newest waiting routes (the oldest waiting are dropped), the
// queries go past it and are all answered, and the driver's memory does not grow with the
// flood.
TEST_F(ControllerFaultsTest, RouteFloodDropsOnlyTheOldestWaitingRoutes) {
  constexpr int kFlood = kSanitized ? 20000 : 100000;
  constexpr int kTail = 40;  // the last routes, each with a destination and source of its own
  WriteSite("Simulation=1\nDebugMode=0\nForwardBufferDelay=200\nCrossPointsPerBufferDelay=8\n");
  ASSERT_NO_FATAL_FAILURE(StartDriverAndWatch());
  const long rss_before = RssKb(driver_->pid());

  // The flood comes from four senders at once (one kirn send delivers a command per bus round
  // trip); the newest routes follow from one sender when the others are done.
  constexpr int kSenders = 4;
  std::string commands[kSenders + 1];
  std::vector<Pair> tail;
  int queries = 0;
  for (int k = 0; k < kFlood; ++k) {
    const bool last = k >= kFlood - kTail;
    const int i = k - (kFlood - kTail);
    const Pair route =
        last ? Pair{i % kDests + 1, 20 + i / kDests} : Pair{k % kDests + 1, k % 19 + 1};
    std::string& out = last ? commands[kSenders] : commands[k * kSenders / kFlood];
    if (last) tail.push_back(route);
    out += "RC 101 " + std::to_string(route.second) + " " + std::to_string(route.first) +
           " ',---' 0\n";
    if (k % 100 == 99 && !last) {
      out += "RQ 101 1 1 0\n";
      ++queries;
    }
  }
  const size_t watch_from = watch_->Stdout().size();
  auto sender = [this, &commands](int n) {
    const auto list = dir_.path() / ("flood" + std::to_string(n) + ".txt");
    testing_support::WriteFile(list, commands[n]);
    return Start({"/bin/sh", "-c",
                  std::string("exec ") + KIRN_BIN + " send 101 - --wait 0 < " + list.string()});
  };
  std::vector<std::unique_ptr<Process>> senders;
  for (int n = 0; n < kSenders; ++n) senders.push_back(sender(n));
  for (auto& p : senders) ASSERT_EQ(p->Wait(120000), 0) << p->Stderr();
  auto last_sender = sender(kSenders);
  ASSERT_EQ(last_sender->Wait(kWaitMs), 0) << last_sender->Stderr();
  const long rss_after = RssKb(driver_->pid());

  // The buffer drains within a few ticks; the tail arrives last, in order.
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  std::vector<Pair> revs;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    revs = Revertives(watch_->Stdout().substr(watch_from));
  } while (
      (revs.size() < tail.size() || std::vector<Pair>(revs.end() - kTail, revs.end()) != tail) &&
      Clock::now() < deadline);
  const int answered_queries =
      static_cast<int>(Revertives(watch_->Stdout().substr(watch_from), "QRY ").size());
  std::vector<Pair> lost;
  for (const Pair& p : tail) {
    bool found = false;
    for (const Pair& r : revs) found = found || r == p;
    if (!found) lost.push_back(p);
  }
  std::printf(
      "[fault] route flood: %d routes, %zu carried out, %zu dropped from the forward buffer "
      "(oldest waiting), %d of %d queries answered, %zu of the newest %d routes lost; driver "
      "memory %ld kB -> %ld kB\n",
      kFlood, revs.size(), static_cast<size_t>(kFlood) - revs.size(), answered_queries, queries,
      lost.size(), kTail, rss_before, rss_after);
  ASSERT_GE(revs.size(), tail.size());
  EXPECT_EQ(std::vector<Pair>(revs.end() - kTail, revs.end()), tail);
  EXPECT_EQ(answered_queries, queries);
  // Commands waiting in the buffer never exceed its slots: everything else was dropped.
  EXPECT_LT(revs.size(), static_cast<size_t>(kFlood / 10));
  // The address sanitizer keeps freed memory in quarantine, so only a plain build's memory says
  // whether the driver keeps anything per command.
  if (!kSanitized) {
    EXPECT_LT(rss_after - rss_before, 16 * 1024) << "memory grew with the flood";
  }
  CloseDriver();
}

}  // namespace
