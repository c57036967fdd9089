// The driver in simulation against `kirn serve`: route, poll and query requests answered from
// the driver's own tables, and silence in RX-only mode.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "e2e_site.h"

namespace {

using testing_support::Result;

class SimulationTest : public testing_support::SiteTest {
 protected:
  void SetUp() override { WriteSimulationSite(); }
};

int CountLines(const std::string& text, const std::string& prefix) {
  int n = 0;
  size_t at = 0;
  while ((at = text.find(prefix, at)) != std::string::npos) {
    if (at == 0 || text[at - 1] == '\n') ++n;
    at += prefix.size();
  }
  return n;
}

TEST_F(SimulationTest, RouteQueryAndPollAreAnsweredInTxRx) {
  auto serve = StartServe();
  auto driver = StartDriver(*serve);

  Result route = Kirn({"send", "101", "RC 101 5 12 ',---' 0"});
  EXPECT_EQ(route.code, 0) << route.err;
  EXPECT_EQ(route.out, "REV 0 RR 101 012 005\n");

  Result poll = Kirn({"send", "101", "RP 101 1 3 0"});
  EXPECT_EQ(CountLines(poll.out, "REV 0 RR 101 00"), 3) << poll.out;

  Result query = Kirn({"send", "101", "RQ 101 1 3 5"});
  EXPECT_EQ(CountLines(query.out, "QRY "), 3) << query.out;
  EXPECT_NE(query.out.find("QRY 5 RR 101 001"), std::string::npos) << query.out;
  EXPECT_NE(query.out.find("QRY 32773 RR 101 003"), std::string::npos) << query.out;

  // The route is kept: a poll of destination 12 reports source 5.
  Result again = Kirn({"send", "101", "RP 101 12 12 0"});
  EXPECT_EQ(again.out, "REV 0 RR 101 012 005\n");

  EXPECT_EQ(Kirn({"close", "101"}).code, 0);
  EXPECT_EQ(driver->Wait(10000), 0) << driver->Stderr();
}

// Files a Windows editor or a mistake leave behind: a profile saved with a byte-order mark and a
// FIFO in place of the index file. The driver reads the profile's first section, starts,
// answers and ends on SIGTERM; the FIFO and the operator's profile stay as they were.
TEST_F(SimulationTest, ByteOrderMarkProfileAndFifoIndexFileStartCleanly) {
  const std::string profile =
      "\xEF\xBB\xBF[Controller]\r\nSimulation=1\r\n[Routers]\r\nRouter_A=101,1,16,0,0\r\n"
      "Router_B=102,1,8,0,0\r\n";
  testing_support::WriteFile(dir_.path() / "DEV_012.INI", profile);
  ASSERT_EQ(::mkfifo((dir_.path() / "DEV_012.IDX").c_str(), 0644), 0);
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  Result route = Kirn({"send", "101", "RC 101 5 12 ',---' 0"});
  EXPECT_EQ(route.out, "REV 0 RR 101 012 005\n") << driver->Stderr();
  EXPECT_EQ(driver->Stop(5000), 0);
  const std::string log = driver->Stderr();
  EXPECT_NE(log.find("DEV_012.IDX is not a regular file - not read"), std::string::npos) << log;
  EXPECT_TRUE(std::filesystem::is_fifo(dir_.path() / "DEV_012.IDX"));
  const std::string after = testing_support::ReadFile(dir_.path() / "DEV_012.INI");
  EXPECT_EQ(after.substr(0, 3), "\xEF\xBB\xBF");
  // The first section was read: no second [Controller] was appended with default settings.
  EXPECT_EQ(after.find("[Controller]"), after.rfind("[Controller]")) << after;
  EXPECT_NE(after.find("Simulation=1"), std::string::npos);
}

TEST_F(SimulationTest, RxOnlyDriverAnswersNothing) {
  auto serve = StartServe({"--mode", "rxonly"});
  auto driver = StartDriver(*serve);
  for (const char* text : {"RC 101 5 12 ',---' 0", "RP 101 1 3 0", "RQ 101 1 3 5"}) {
    Result r = Kirn({"send", "101", text, "--wait", "300"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "") << text;
  }
  EXPECT_EQ(Kirn({"close", "101"}).code, 0);
  EXPECT_EQ(driver->Wait(10000), 0) << driver->Stderr();
}

}  // namespace
