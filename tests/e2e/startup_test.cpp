// The driver program started for real: first run on an empty configuration directory, and a
// start-up that gets as far as looking for the control system's interface process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testing_support::Process;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

// The environment of a driver that runs headless on the configuration in `dir`, with no bus.
std::vector<std::string> DriverEnv(const TempDir& dir) {
  return {"KIRN_WINDIR=" + dir.str(),
          "DISPLAY=",
          "WAYLAND_DISPLAY=",
          "ZQ_ROOT=",
          "ZQ_SYSTEM=",
          "KIRN_CONFIG_LOCATOR=" + (dir.path() / "no-locator.ini").string(),
          "KIRN_BUS=" + (dir.path() / "no-bus.sock").string(),
          "HOME=" + dir.str()};
}

std::vector<std::string> KeysOfSection(const std::string& ini, const std::string& section) {
  std::vector<std::string> keys;
  bool in = false;
  size_t pos = 0;
  while (pos < ini.size()) {
    size_t end = ini.find('\n', pos);
    if (end == std::string::npos) end = ini.size();
    std::string line = ini.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pos = end + 1;
    if (!line.empty() && line[0] == '[') {
      in = line == "[" + section + "]";
      continue;
    }
    const auto eq = line.find('=');
    if (in && eq != std::string::npos) keys.push_back(line.substr(0, eq));
  }
  return keys;
}

TEST(StartupTest, FirstRunWritesACompleteProfileAndEndsWithTheNoRouterBox) {
  TempDir dir;
  Process driver({XARVEL_BIN, "12"}, DriverEnv(dir));
  ASSERT_EQ(driver.Wait(20000), 0) << driver.Stderr();

  const std::string ini = ReadFile(dir.path() / "DEV_012.INI");
  EXPECT_EQ(KeysOfSection(ini, "Controller"),
            (std::vector<std::string>{"Name",
                                      "ParkSource",
                                      "ParkName",
                                      "ForwardBufferDelay",
                                      "CrossPointsPerBufferDelay",
                                      "MaxUnACKedRoutesBeforeCommsFail",
                                      "SaveDelay",
                                      "TallyDelay",
                                      "DebugMode",
                                      "SourceToDest",
                                      "DestToSource",
                                      "NameLength",
                                      "Simulation",
                                      "Connection_Mode",
                                      "Dual_Controllers",
                                      "IP_Address_A",
                                      "IP_Address_B",
                                      "IP_Port",
                                      "Com",
                                      "Speed",
                                      "DataBits",
                                      "StopBits",
                                      "Parity",
                                      "PollForMC1000LockStatus",
                                      "LockStatusInfodriverID",
                                      "UpdateMC1000DatabaseNames",
                                      "UpdateMC1000FromKIRNDatabases",
                                      "Access"}));
  std::vector<std::string> routers;
  for (char c = 'A'; c <= 'Z'; ++c) routers.push_back(std::string("Router_") + c);
  EXPECT_EQ(KeysOfSection(ini, "Routers"), routers);
  EXPECT_NE(ini.find("Router_Q=Router,Min_Dest,Max_Dest,Offset_Src,Offset_Dest"),
            std::string::npos);

  const std::string log = driver.Stderr();
  EXPECT_NE(log.find("! Xarvel - Error !: There are no router driver ID's defined in the "
                     "DEV_012.INI file.  There must be at least one router defined before "
                     "XARVEL.EXE can function."),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("KAPI"), std::string::npos) << "no attachment without a router";
}

TEST(StartupTest, DeviceZeroUsesTheDefaultProfileName) {
  TempDir dir;
  Process driver({XARVEL_BIN, "abc"}, DriverEnv(dir));
  ASSERT_EQ(driver.Wait(20000), 0) << driver.Stderr();
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "XARVEL.INI"));
  EXPECT_NE(driver.Stderr().find("defined in the XARVEL.INI file."), std::string::npos);
}

TEST(StartupTest, WithARouterStartUpReachesTheInterfaceProcessAndReportsItsAbsence) {
  TempDir dir;
  WriteFile(dir.path() / "DEV_012.INI", "[Routers]\r\nRouter_A=101,1,16\r\n");
  WriteFile(dir.path() / "DEV_101.INI", "[Database]\nDatabaseSize_0=32\nDatabaseSize_1=16\n");
  Process driver({XARVEL_BIN, "12"}, DriverEnv(dir));
  ASSERT_EQ(driver.Wait(20000), 0) << driver.Stderr();
  const std::string log = driver.Stderr();
  EXPECT_NE(log.find("Memory Init - htallymemory OK for index 0 rtr 101"), std::string::npos)
      << log;
  EXPECT_NE(log.find("! Xarvel - Error !: Cannot find KIRN Interface KAPI.EXE"), std::string::npos)
      << log;
  EXPECT_NE(log.find("Main init - KAPISup_Link failed"), std::string::npos);
  // The router entry was completed in place and the CRLF profile still reads the same.
  EXPECT_NE(ReadFile(dir.path() / "DEV_012.INI").find("Router_A=101,1,16,0,0"), std::string::npos);
}

TEST(StartupTest, HelpDescribesTheCommandLine) {
  TempDir dir;
  Process driver({XARVEL_BIN, "--help"}, DriverEnv(dir));
  ASSERT_EQ(driver.Wait(10000), 0);
  EXPECT_NE(driver.Stdout().find("usage: xarvel"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "XARVEL.INI"));
}

}  // namespace
