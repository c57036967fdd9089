#include "state/locked_dests.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "config/location.h"
#include "config/profile.h"
#include "driver_fixture.h"
#include "platform/ini.h"
#include "state/router_tables.h"
#include "test_support.h"
#include "tracing/debug.h"

namespace {

using testing_support::DebugCapture;
using testing_support::ReadFile;
using testing_support::WriteFile;
using xarvel::Profile;

using testing_support::ResetAll;

// Driver device 12 (DEV_012.INI) in a temporary Windows directory; routers are given device
// profiles for their sizes and their tables by MemoryInit.
class LockedDestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAll();
    Profile().DeviceNumber = 12;
  }
  void TearDown() override { ResetAll(); }

  void DefineRouter(int index, int id, int dests) {
    char name[32];
    std::snprintf(name, sizeof name, "DEV_%03d.INI", id);
    WriteFile(dir_.path() / name,
              "[Database]\nDatabaseSize_0=100\nDatabaseSize_1=" + std::to_string(dests) + "\n");
    xarvel::RouterConfig& r = Profile().routers[static_cast<size_t>(index)];
    r.DeviceId = id;
    r.Min_Dest = 1;
    r.Max_Dest = dests;
  }

  void SetList(char letter, const std::string& key, const std::string& value) {
    plat::WritePrivateProfileString(std::string("Locked_Dests_Router_") + letter, key, value,
                                    Profile_());
  }
  std::string GetList(char letter, const std::string& key) {
    return plat::GetPrivateProfileString(std::string("Locked_Dests_Router_") + letter, key,
                                         "<none>", 300, Profile_());
  }
  std::string Profile_() const { return dir_.str() + "/DEV_012.INI"; }

  static std::string LockedOf(int id, int dests) {
    std::string out;
    for (int d = 1; d <= dests; ++d) {
      if (xarvel::GetLock(id, d) != 0) out += std::to_string(d) + " ";
    }
    return out;
  }

  testing_support::ConfigDir dir_;
  DebugCapture debug_;
};

TEST_F(LockedDestsTest, ListsLockListedDestinationsWithinTheRouter) {
  DefineRouter(0, 101, 10);
  DefineRouter(1, 102, 10);
  DefineRouter(2, 103, 10);
  DefineRouter(3, 104, 10);
  DefineRouter(4, 105, 10);
  xarvel::MemoryInit();
  SetList('A', "Locked_01", " 4,,9");
  SetList('A', "Locked_02", "5-7");
  SetList('A', "Locked_03", "4,x,0,-3");
  SetList('B', "Locked_01", "3,7,12");
  SetList('C', "Locked_01", "");
  SetList('C', "Locked_02", "5");
  SetList('D', "Locked_02", "6");  // no Locked_01 at all
  SetList('E', "Locked_01", "11,0");
  xarvel::LoadLockedDestinationsFromDevIni();

  EXPECT_EQ(LockedOf(101, 10), "4 5 9 ");
  EXPECT_EQ(LockedOf(102, 10), "3 7 ");
  EXPECT_EQ(LockedOf(103, 10), "");
  EXPECT_EQ(LockedOf(104, 10), "");
  EXPECT_TRUE(debug_.Contains("Xarvel - *** starting LoadLockedDestinationsFromDevIni \n"));
  // A destination listed twice counts twice.
  EXPECT_TRUE(debug_.Contains("Xarvel - 4 Locked dests read in for Router_A \n"));
  EXPECT_TRUE(debug_.Contains("Xarvel - 2 Locked dests read in for Router_B \n"));
  EXPECT_FALSE(debug_.Contains("for Router_C"));
  EXPECT_EQ(GetList('C', "Locked_02"), "5");
  EXPECT_EQ(GetList('D', "Locked_01"), "");  // template key written in front of the gap
  EXPECT_EQ(GetList('D', "Locked_02"), "6");
  EXPECT_EQ(LockedOf(105, 10), "");
  EXPECT_EQ(GetList('E', "Locked_01"), "11,0");  // a list that yields nothing is not replaced
  // Loading is not a change to be saved by the timer.
  EXPECT_EQ(xarvel::Tables().TablesChanged, 0);
}

TEST_F(LockedDestsTest, FirstRunCreatesEveryRoutersSection) {
  DefineRouter(1, 102, 10);
  xarvel::MemoryInit();
  xarvel::LoadLockedDestinationsFromDevIni();

  std::string expected;
  for (char c = 'A'; c <= 'Z'; ++c) {
    if (!expected.empty()) expected += "\n";  // the profile writer's blank line between sections
    expected += std::string("[Locked_Dests_Router_") + c + "]\nLocked_01=\n";
  }
  EXPECT_EQ(ReadFile(Profile_()), expected);
  // A second load finds the templates and leaves the file as it is.
  xarvel::LoadLockedDestinationsFromDevIni();
  EXPECT_EQ(ReadFile(Profile_()), expected);
}

TEST_F(LockedDestsTest, ReloadAddsLocksButNeverClearsThem) {
  DefineRouter(0, 101, 10);
  xarvel::MemoryInit();
  SetList('A', "Locked_01", "3");
  xarvel::LoadLockedDestinationsFromDevIni();
  SetList('A', "Locked_01", "8");
  xarvel::LoadLockedDestinationsFromDevIni();

  EXPECT_EQ(LockedOf(101, 10), "3 8 ");
}

TEST_F(LockedDestsTest, RouterWithoutLockTableCountsButMarksNothing) {
  // As after a failed allocation: sizes known, no lock table.
  DefineRouter(0, 101, 10);
  xarvel::MemoryInit();
  Profile().routers[0].LockMemory.clear();
  SetList('A', "Locked_01", "1,2,10");
  xarvel::LoadLockedDestinationsFromDevIni();

  EXPECT_TRUE(debug_.Contains("Xarvel - 3 Locked dests read in for Router_A \n"));
  EXPECT_EQ(xarvel::GetLock(101, 1), 0);
}

TEST_F(LockedDestsTest, OverlongValueDropsTheNumberItCuts) {
  DefineRouter(0, 101, 4096);
  DefineRouter(1, 102, 4096);
  xarvel::MemoryInit();
  std::string base;
  for (int i = 0; i < 63; ++i) base += "100,";  // 252 characters
  // Router A: the 255-character limit falls inside "1234"; router B: right before a comma.
  SetList('A', "Locked_01", base + "1234,7");
  SetList('B', "Locked_01", base + "123,7");
  xarvel::LoadLockedDestinationsFromDevIni();

  EXPECT_EQ(LockedOf(101, 4096), "100 ");
  EXPECT_TRUE(debug_.Contains("Xarvel - 63 Locked dests read in for Router_A \n"));
  EXPECT_TRUE(debug_.Contains("Locked_Dests_Router_A Locked_01 is longer than 255 characters"));
  EXPECT_EQ(LockedOf(102, 4096), "100 123 ");
  EXPECT_TRUE(debug_.Contains("Xarvel - 64 Locked dests read in for Router_B \n"));
}

TEST_F(LockedDestsTest, UnlockAllClearsOnlyTheCurrentRouter) {
  DefineRouter(0, 101, 64);
  DefineRouter(1, 102, 64);
  xarvel::MemoryInit();
  for (int d = 1; d <= 64; ++d) {
    xarvel::SetLock(101, d, 1);
    xarvel::SetLock(102, d, 1);
  }
  const std::string all_of_b = LockedOf(102, 64);
  ASSERT_EQ(all_of_b.substr(0, 6), "1 2 3 ");
  Profile().CurrentRouter = 0;
  xarvel::UnlockAllDestinations();

  EXPECT_EQ(LockedOf(101, 64), "");
  EXPECT_EQ(LockedOf(102, 64), all_of_b);
  EXPECT_EQ(xarvel::Tables().TablesChanged, 0);

  // An undefined current router: nothing to clear, nothing else touched.
  Profile().CurrentRouter = 5;
  xarvel::UnlockAllDestinations();
  EXPECT_EQ(xarvel::GetLock(102, 64), 1);
}

}  // namespace
