// kirn status and kirn menu against a running driver with no display: the panel follows the
// dialog through a router change and a controller failure, and menu commands run as clicks.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "e2e_site.h"
#include "sim_process.h"

namespace {

using testing_support::SimProcess;

constexpr int kWaitMs = 10000;

bool Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

class PanelTest : public testing_support::SiteTest {
 protected:
  // Polls `kirn status 101` until its output holds `needle`; the last output in `last`.
  bool StatusShows(const std::string& needle, std::string* last) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    do {
      *last = Kirn({"status", "101"}).out;
      if (Contains(*last, needle)) return true;
    } while (Clock::now() < deadline);
    return false;
  }
};

TEST_F(PanelTest, StatusFollowsTheDialogAndMenuCommandsRunWithoutADisplay) {
  SimProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.Ready()) << sim.Err();
  const std::string port = std::to_string(sim.ports.at(0));
  WriteSite(
      "Simulation=0\nForwardBufferDelay=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\n"
      "IP_Port=" +
          port + "\nTallyDelay=40\n",
      "102,1,8,0,128");
  auto serve = StartServe();
  auto driver = StartDriver(*serve);

  std::string status;
  ASSERT_TRUE(StatusShows("Active controller    A\n", &status)) << status << driver->Stderr();
  EXPECT_TRUE(Contains(status, "Interface mode       Tx/Rx\n")) << status;
  EXPECT_TRUE(Contains(status, "Link mode            IP-Single\n")) << status;
  EXPECT_TRUE(Contains(status, "Current router       Router 'A' 101\n")) << status;
  EXPECT_TRUE(Contains(status, "  A    101  032   016    0/0\n")) << status;
  EXPECT_TRUE(Contains(status, "  B    102  016   008    0/128\n")) << status;

  // A router change from the menu shows in the panel as it does in the dialog.
  EXPECT_EQ(Kirn({"menu", "101", "router-B"}).code, 0);
  const auto json = Kirn({"status", "101", "--json"});
  EXPECT_EQ(json.code, 0) << json.err;
  EXPECT_TRUE(Contains(json.out, "\"current_router\":\"Router 'B' 102\"")) << json.out;
  // Keys in the order Qt's JSON writes them (sorted).
  EXPECT_TRUE(Contains(json.out,
                       "{\"destinations\":\"008\",\"device\":\"102\",\"letter\":\"B\","
                       "\"offsets\":\"0/128\",\"sources\":\"016\"}"))
      << json.out;

  // The controller goes away and stays away.
  ASSERT_TRUE(sim.Console("refuse " + port + " on", "ok refuse"));
  ASSERT_TRUE(sim.Console("close all", "ok close"));
  EXPECT_TRUE(StatusShows("Active controller    \n", &status)) << status;
  EXPECT_FALSE(Contains(status, "Connected Ok")) << status;

  // Save writes both files and says so on the message line.
  const auto save = Kirn({"menu", "101", "save"});
  EXPECT_EQ(save.code, 0) << save.err;
  EXPECT_EQ(save.out, "Saving all current routes and lock data\n");
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "DEV_012.IDX"));
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "DEV_012.LCK"));
  EXPECT_TRUE(Contains(Kirn({"status", "101"}).out,
                       "Message              Saving all current routes and lock data\n"));

  // Refusals: not a menu item, a box for the driver's own display, a device nobody serves,
  // and an item the tool does not know.
  EXPECT_EQ(Kirn({"menu", "101", "12345"}).code, 1);
  EXPECT_EQ(Kirn({"menu", "101", "904"}).code, 1);
  EXPECT_EQ(Kirn({"status", "555"}).code, 1);
  EXPECT_EQ(Kirn({"menu", "101", "bogus"}).code, 2);

  EXPECT_EQ(Kirn({"close", "101"}).code, 0);
  EXPECT_EQ(driver->Wait(kWaitMs), 0);
}

}  // namespace
