// The driver's trace as the journal sees it: when standard error is the stream JOURNAL_STREAM
// names, a salvo and an outage of the controller write only their few lines of note, each with
// its syslog priority, while `kirn trace` still gets every line.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_site.h"
#include "sim_process.h"

namespace {

using testing_support::Process;
using testing_support::ReadFile;
using testing_support::Result;
using testing_support::SimProcess;
using testing_support::WriteFile;

constexpr int kWaitMs = 15000;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class JournalTest : public testing_support::SiteTest {
 protected:
  void TearDown() override {
    if (!HasFailure()) return;
    std::fprintf(stderr, "journal:\n%s", ReadFile(Journal()).c_str());
    if (sim_) std::fprintf(stderr, "emulator log:\n%s", sim_->Err().c_str());
  }

  std::filesystem::path Journal() const { return dir_.path() / "journal.log"; }

  // The driver with standard error on a file that JOURNAL_STREAM names, as systemd hands the
  // journal's stream to a service.
  std::unique_ptr<Process> StartJournalDriver(const Process& serve) {
    auto driver = Start({"/bin/sh", "-c",
                         "exec 2>>\"$1\"; JOURNAL_STREAM=$(stat -c %d:%i \"$1\") exec \"$0\" 12",
                         XARVEL_BIN, Journal().string()});
    EXPECT_TRUE(serve.WaitForOutput("register 101 ", kWaitMs)) << ReadFile(Journal());
    return driver;
  }

  // `routes` route commands; with `refuse_odd`, every odd one names a source beyond router A's
  // 32 (refused as out of range).
  Result Salvo(int routes, bool refuse_odd = false) {
    std::string lines;
    for (int i = 0; i < routes; ++i) {
      // "RC device source destination": every source and destination within router A.
      const int source = refuse_odd && i % 2 == 1 ? 33 + i % 32 : i % 31 + 1;
      lines +=
          "RC 101 " + std::to_string(source) + " " + std::to_string(i % 16 + 1) + " ',---' 0\n";
    }
    const auto file = dir_.path() / "salvo.txt";
    WriteFile(file, lines);
    Process p({"/bin/sh", "-c", "exec \"$0\" send 101 - --stats --wait 500 < \"$1\"", KIRN_BIN,
               file.string()},
              Env());
    Result r;
    r.code = p.Wait(60000);
    r.out = p.Stdout();
    r.err = p.Stderr();
    return r;
  }

  std::unique_ptr<SimProcess> sim_;
};

TEST_F(JournalTest, ASalvoAndAnOutageWriteOnlyTheirLinesOfNoteWhileTheTraceGetsEverything) {
  sim_ = std::make_unique<SimProcess>(
      std::vector<std::string>{"--tcp", "0", "--levels", "2", "--dests", "16", "--sources", "32"});
  ASSERT_TRUE(sim_->Ready()) << sim_->Err();
  const std::string port = std::to_string(sim_->ports.at(0));
  // Debug mode on: every routine line exists, so only the level keeps it out of the journal.
  WriteSite(
      "Simulation=0\nDebugMode=1\nForwardBufferDelay=0\nConnection_Mode=IP\n"
      "IP_Address_A=127.0.0.1\nIP_Port=" +
      port + "\nTallyDelay=40\n");
  auto serve = StartServe();
  auto driver = StartJournalDriver(*serve);
  ASSERT_TRUE(sim_->WaitErr(" .AB8,", kWaitMs)) << "the first poll cycle is done";

  auto trace = Start({KIRN_BIN, "trace", "101"});
  ASSERT_TRUE(trace->WaitForOutput("attached (up to debug)", kWaitMs)) << trace->Stderr();

  // A salvo: its per-route lines stay out of the journal.
  const size_t before_salvo = ReadFile(Journal()).size();
  const Result salvo = Salvo(200);
  ASSERT_EQ(salvo.code, 0) << salvo.out << salvo.err;
  EXPECT_NE(salvo.out.find("sent 200, revertives 200"), std::string::npos) << salvo.out;
  const std::string salvo_lines = ReadFile(Journal()).substr(before_salvo);
  EXPECT_LT(Lines(salvo_lines).size(), 10u) << salvo_lines;

  // The tracer saw each route at debug, whatever the journal keeps.
  ASSERT_TRUE(trace->WaitForOutput("Setting Memory Table Entry 0, Dest 8, Srce 14", kWaitMs));
  size_t routes_traced = 0;
  for (const std::string& line : Lines(trace->Stdout())) {
    if (line.rfind("<xarvel>-Cmd_RouterConnect", 0) == 0) ++routes_traced;
  }
  EXPECT_GE(routes_traced, 200u);

  // An outage of the only controller: refused and cut off for a few seconds, then back.
  const size_t before_outage = ReadFile(Journal()).size();
  ASSERT_TRUE(sim_->Console("refuse " + port + " on", "ok refuse"));
  ASSERT_TRUE(sim_->Console("close all", "ok close"));
  std::this_thread::sleep_for(std::chrono::seconds(4));
  ASSERT_TRUE(sim_->Console("refuse " + port + " off", "ok refuse"));
  const size_t reconnects = sim_->Err().size();
  ASSERT_TRUE(sim_->WaitErr(" .AB8,", kWaitMs, reconnects)) << "polling again after the outage";
  const std::string outage_lines = ReadFile(Journal()).substr(before_outage);

  // Every line carries its priority; nothing at debug passes the default level of the journal.
  for (const std::string& text : {salvo_lines, outage_lines}) {
    for (const std::string& line : Lines(text)) {
      ASSERT_GE(line.size(), 3u) << line;
      EXPECT_EQ(line[0], '<') << line;
      EXPECT_TRUE(line[1] >= '3' && line[1] <= '6') << line;
      EXPECT_EQ(line[2], '>') << line;
      // Only faults and changes of state (notice or more severe).
      EXPECT_LE(line[1], '5') << line;
    }
  }
  // The outage's few lines (six here: the close, the link failed, connected again, the resync
  // walk's start, the link OK, the walk's end); nothing per attempt or per tick.
  EXPECT_LE(Lines(outage_lines).size(), 8u) << outage_lines;

  ::kill(trace->pid(), SIGINT);
  EXPECT_EQ(trace->Wait(5000), 0) << trace->Stderr();
  driver->Stop();
  EXPECT_NE(ReadFile(Journal()).find("<5><xarvel>-Xarvel - shutting down"), std::string::npos);
}

// A salvo of 4096 routes of which half are refused: the journal gets the first refusal and, when
// its period ends, one line that sums up the rest; the tracer gets every refusal.
TEST_F(JournalTest, RepeatedRefusalsAreSummedUpInTheJournalButTracedInFull) {
  WriteSite("Simulation=1\nDebugMode=1\nForwardBufferDelay=0\n");
  auto serve = StartServe();
  auto driver = StartJournalDriver(*serve);
  auto trace = Start({KIRN_BIN, "trace", "101"});
  ASSERT_TRUE(trace->WaitForOutput("attached (up to debug)", kWaitMs)) << trace->Stderr();

  const size_t before_salvo = ReadFile(Journal()).size();
  const Result salvo = Salvo(4096, true);
  ASSERT_EQ(salvo.code, 0) << salvo.out << salvo.err;
  EXPECT_NE(salvo.out.find("sent 4096, revertives 2048"), std::string::npos) << salvo.out;
  // One summary line per period: a salvo slower than the period (under the sanitizers) is summed
  // up in two or three, which together count every refusal but the first.
  const auto summed = [](const std::string& text) {
    const std::string head = "<5><xarvel>-ROUTE summary - ";
    long total = 0;
    for (const std::string& line : Lines(text)) {
      if (line.rfind(head, 0) != 0 ||
          line.find(" more routes refused range, the last") == std::string::npos) {
        continue;
      }
      std::string digits;
      for (size_t at = head.size(); at < line.size() && line[at] != ' '; ++at) {
        if (line[at] != ',') digits += line[at];
      }
      total += std::atol(digits.c_str());
    }
    return total;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (summed(ReadFile(Journal()).substr(before_salvo)) < 2047 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const std::string salvo_lines = ReadFile(Journal()).substr(before_salvo);
  EXPECT_EQ(summed(salvo_lines), 2047) << salvo_lines;
  EXPECT_NE(salvo_lines.find("<5><xarvel>-ROUTE 101 "), std::string::npos) << "the first, whole";
  EXPECT_LT(Lines(salvo_lines).size(), 10u) << salvo_lines;

  // The tracer's stream is paced by the tracer: count until all have come or the wait ends.
  size_t refusals_traced = 0;
  for (int i = 0; i < kWaitMs / 100 && refusals_traced < 2048; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    refusals_traced = 0;
    for (const std::string& line : Lines(trace->Stdout())) {
      if (line.find(" refused range") != std::string::npos) ++refusals_traced;
    }
  }
  EXPECT_EQ(refusals_traced, 2048u);
  EXPECT_EQ(trace->Stdout().find("ROUTE summary"), std::string::npos) << "no summary traced";

  ::kill(trace->pid(), SIGINT);
  EXPECT_EQ(trace->Wait(5000), 0) << trace->Stderr();
  driver->Stop();
}

}  // namespace
