// `kirn send - --check` against a real driver and the controller emulator: a salvo tells which of
// its route commands were carried out, reading their numbers as the driver does.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "e2e_site.h"
#include "sim_process.h"

namespace {

using testing_support::Process;
using testing_support::Result;
using testing_support::SimProcess;
using testing_support::WriteFile;

constexpr int kWaitMs = 10000;

bool Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

class SalvoCheckTest : public testing_support::SiteTest {
 protected:
  // Feeds `lines` to `kirn send 101 - --stats --check` and waits for its end.
  Result Salvo(const std::string& lines) {
    const auto file = dir_.path() / "salvo.txt";
    WriteFile(file, lines);
    Process p({"/bin/sh", "-c", "exec \"$0\" send 101 - --stats --check --wait 500 < \"$1\"",
               KIRN_BIN, file.string()},
              Env());
    Result r;
    r.code = p.Wait(30000);
    r.out = p.Stdout();
    r.err = p.Stderr();
    return r;
  }

  void TearDown() override {
    if (!HasFailure()) return;
    if (driver_) std::fprintf(stderr, "driver trace:\n%s", driver_->Stderr().c_str());
    if (sim_) std::fprintf(stderr, "emulator log:\n%s", sim_->Err().c_str());
  }

  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<Process> serve_;
  std::unique_ptr<Process> driver_;
};

TEST_F(SalvoCheckTest, NamesTheRouteCommandsThatWereNotCarriedOut) {
  // The controller knows sources 0..20 only; the driver's router A has 32. The driver reads the
  // destination first and routes its park source 7 for source 0: kirn must read the commands
  // that way too, or it would wait for the wrong revertives.
  sim_ = std::make_unique<SimProcess>(std::vector<std::string>{"--tcp", "0", "--sources", "20"});
  ASSERT_TRUE(sim_->Ready()) << sim_->Err();
  WriteSite(
      "Simulation=0\nForwardBufferDelay=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\n"
      "IP_Port=" +
      std::to_string(sim_->ports.at(0)) +
      "\nTallyDelay=40\nSourceToDest=0\nDestToSource=1\nParkSource=7\n");
  serve_ = StartServe();
  driver_ = StartDriver(*serve_);
  ASSERT_TRUE(sim_->WaitErr(" .AB8,", kWaitMs)) << "the first poll cycle is done";

  std::string clean;
  for (int d = 1; d <= 7; ++d) {
    clean += "RC 101 " + std::to_string(d) + " " + std::to_string(d + 1) + " ',---' 0\n";
  }
  clean += "RC 101 8 0 ',---' 0\n";
  const Result ok = Salvo(clean);
  EXPECT_EQ(ok.code, 0) << ok.out << ok.err;
  EXPECT_TRUE(Contains(ok.out, "REV 0 RR 101 008 007\n")) << ok.out;
  EXPECT_TRUE(Contains(ok.out, "sent 8, revertives 8, seconds ")) << ok.out;
  EXPECT_TRUE(Contains(ok.out, ", unconfirmed 0\n")) << ok.out;
  EXPECT_FALSE(Contains(ok.out, "UNCONFIRMED")) << ok.out;

  // Destination 4 is locked by the control system (the driver refuses the route), and source 25
  // is beyond the controller (it refuses the route; the driver then sends the revertive of the
  // source destination 2 really has, which confirms nothing).
  const Result bad = Salvo(
      "RL 101 4 4 1 0\n"
      "RC 101 1 11 ',---' 0\n"
      "RC 101 2 25 ',---' 0\n"
      "RC 101 3 13 ',---' 0\n"
      "RC 101 4 14 ',---' 0\n"
      "RC 101 5 15 ',---' 0\n");
  EXPECT_EQ(bad.code, 4) << bad.out << bad.err;
  EXPECT_TRUE(Contains(bad.out, "sent 6, revertives 4, seconds ")) << bad.out;
  EXPECT_TRUE(Contains(bad.out, "REV 0 RR 101 002 003\n")) << bad.out;
  EXPECT_TRUE(Contains(bad.out, ", unconfirmed 2\n")) << bad.out;
  EXPECT_TRUE(Contains(bad.out,
                       "UNCONFIRMED RC 101 2 25 ',---' 0\n"
                       "UNCONFIRMED RC 101 4 14 ',---' 0\n"))
      << bad.out;
  EXPECT_FALSE(Contains(bad.out, "UNCONFIRMED RC 101 1 ")) << bad.out;
  EXPECT_TRUE(Contains(bad.err, "2 of 5 route commands unconfirmed")) << bad.err;
  EXPECT_TRUE(Contains(sim_->Err(), " .SA2,25\\r refused (no such source)"))
      << "it reached the wire";

  EXPECT_EQ(Kirn({"close", "101"}).code, 0);
  EXPECT_EQ(driver_->Wait(kWaitMs), 0);
}

}  // namespace
