#include "config/location.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "test_support.h"

namespace {

using testing_support::DebugCapture;
using testing_support::EnvGuard;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;
using xarvel::ConfigRoot;
using xarvel::DataFilePath;
using xarvel::ProfilePath;
using xarvel::ReadProfileString;
using xarvel::WriteProfileString;

// Every test starts with the mode undetermined, no control-system variables and a locator file
// that does not exist yet.
class LocationTest : public ::testing::Test {
 protected:
  void SetUp() override { xarvel::ResetLocation(); }
  void TearDown() override { xarvel::ResetLocation(); }

  void WriteLocator(const std::string& config_path) {
    WriteFile(locator_, "[Config]\nConfigPath=" + config_path + "\n");
  }

  TempDir dir_;
  std::string locator_ = dir_.str() + "/kirn_config.ini";
  EnvGuard zq_root_{"ZQ_ROOT", std::nullopt};
  EnvGuard zq_system_{"ZQ_SYSTEM", std::nullopt};
  EnvGuard windir_{"KIRN_WINDIR", std::nullopt};
  EnvGuard locator_env_{"KIRN_CONFIG_LOCATOR", locator_};
  DebugCapture capture_;
};

TEST_F(LocationTest, WindowsDirectoryModeKeepsCase) {
  EnvGuard windir("KIRN_WINDIR", "/winnt");
  EXPECT_EQ(ConfigRoot(), "/winnt/");
  EXPECT_EQ(xarvel::Location().mode, xarvel::kLocationWindowsDirectory);
  EXPECT_EQ(ProfilePath("DEV_012.INI"), "/winnt/DEV_012.INI");
  EXPECT_EQ(DataFilePath("DEV_012.IDX"), "/winnt/DEV_012.IDX");
  EXPECT_EQ(ProfilePath("Kapi.Ini"), "/winnt/Kapi.Ini");
}

TEST_F(LocationTest, WindowsDirectoryDefaultsToHomeDotKirn) {
  EnvGuard home("HOME", "/home/op");
  EXPECT_EQ(ConfigRoot(), "/home/op/.kirn/");
}

TEST_F(LocationTest, EnvironmentModeLowersNamesAndNeverReadsTheLocator) {
  WriteLocator("/e/cfg");
  EnvGuard root("ZQ_ROOT", "/d/ctl");
  EnvGuard system("ZQ_SYSTEM", "site1");
  EXPECT_EQ(ProfilePath("DEV_012.INI"), "/d/ctl/site1/config/system/dev_012.ini");
  EXPECT_EQ(DataFilePath("DEV_012.IDX"), "/d/ctl/site1/data/dev_012.idx");
  EXPECT_EQ(ProfilePath("KAPI.INI"), "/d/ctl/site1/config/system/kirn_system.ini");
  EXPECT_EQ(ProfilePath("Kapi.Ini"), "/d/ctl/site1/config/system/kirn_system.ini");
  EXPECT_EQ(ProfilePath("xkapi.ini"), "/d/ctl/site1/config/system/xkapi.ini");
  EXPECT_EQ(xarvel::Location().mode, xarvel::kLocationEnvironment);
  EnvGuard no_system("ZQ_SYSTEM", std::nullopt);
  EXPECT_EQ(ConfigRoot(), "/d/ctl//");
}

TEST_F(LocationTest, EnvironmentModeWithEmptyRootRefusesPaths) {
  EnvGuard root("ZQ_ROOT", "");
  EnvGuard system("ZQ_SYSTEM", "site1");
  EXPECT_EQ(ConfigRoot(), "");
  EXPECT_TRUE(capture_.Contains("no configuration root"));
  EXPECT_EQ(ProfilePath("DEV_012.INI"), "");
  EXPECT_EQ(DataFilePath("DEV_012.IDX"), "");
  EXPECT_EQ(ReadProfileString("S", "k", "dflt", 16, "DEV_012.INI"), "dflt");
}

TEST_F(LocationTest, ConfigFileModeAppendsSeparatorEvenWhenPresent) {
  WriteLocator("/e/cfg");
  EXPECT_EQ(ProfilePath("DEV_012.INI"), "/e/cfg/DEV_012.INI");
  EXPECT_EQ(DataFilePath("DEV_012.IDX"), "/e/cfg/DEV_012.IDX");
  EXPECT_EQ(xarvel::Location().mode, xarvel::kLocationConfigFile);
  WriteLocator("/e/cfg/");
  EXPECT_EQ(ProfilePath("DEV_012.INI"), "/e/cfg//DEV_012.INI");
}

TEST_F(LocationTest, ModeIsFixedButRootFollowsItsSource) {
  WriteLocator("/e/cfg");
  EXPECT_EQ(ConfigRoot(), "/e/cfg/");
  EnvGuard root("ZQ_ROOT", "/d/ctl");  // too late to change the mode
  WriteLocator("/f/other");
  EXPECT_EQ(ConfigRoot(), "/f/other/");
  EXPECT_EQ(xarvel::Location().mode, xarvel::kLocationConfigFile);
}

TEST_F(LocationTest, ProfileCallsResolveBareNamesAndTakeFullPathsAsTheyAre) {
  EnvGuard windir("KIRN_WINDIR", dir_.str());
  WriteProfileString("Controller", "Name", "Bare", "DEV_001.INI");
  EXPECT_EQ(ReadFile(dir_.path() / "DEV_001.INI"), "[Controller]\nName=Bare\n");
  EXPECT_EQ(ReadProfileString("Controller", "Name", "-1", 80, "DEV_001.INI"), "Bare");

  const std::string full = dir_.str() + "/sub.ini";
  WriteProfileString("S", "k", "v", full);
  EXPECT_EQ(ReadProfileString("s", "K", "-1", 80, full), "v");
  EXPECT_EQ(ReadProfileString("S", "k", "-1", 2, full), "v");
  EXPECT_EQ(ReadProfileString("S", "missing", "abc", 3, full), "ab");
}

TEST_F(LocationTest, OverlongRootIsRefusedNotCut) {
  WriteLocator("/" + std::string(xarvel::kMaxConfigRoot - 1, 'r'));  // with "/": 512 chars
  capture_.Clear();
  EXPECT_EQ(ConfigRoot(), "");
  EXPECT_TRUE(capture_.Contains("too long"));
  EXPECT_EQ(ReadProfileString("S", "k", "dflt", 16, "DEV_012.INI"), "dflt");

  WriteLocator("/" + std::string(xarvel::kMaxConfigRoot - 2, 'r'));  // exactly 511 chars
  EXPECT_EQ(ConfigRoot().size(), xarvel::kMaxConfigRoot);
}

TEST_F(LocationTest, OverlongProfilePathIsRefusedNotCut) {
  // A directory chain that leaves room for a file name of a few dozen characters.
  std::string base = dir_.str();
  while (base.size() + 1 + 100 + 40 < xarvel::kMaxProfilePath) base += "/" + std::string(100, 'd');
  std::filesystem::create_directories(base);
  const std::string fits = base + "/" + std::string(xarvel::kMaxProfilePath - base.size() - 1, 'a');
  const std::string over = fits + "b";
  ASSERT_EQ(fits.size(), xarvel::kMaxProfilePath);

  WriteProfileString("S", "k", "v", fits);
  EXPECT_EQ(ReadProfileString("S", "k", "-1", 8, fits), "v");

  capture_.Clear();
  WriteProfileString("S", "k", "w", over);
  EXPECT_FALSE(std::filesystem::exists(over));
  EXPECT_EQ(ReadProfileString("S", "k", "-1", 8, fits), "v");  // not cut into the shorter name
  EXPECT_TRUE(capture_.Contains("too long"));
  WriteFile(over, "[S]\nk=present\n");
  EXPECT_EQ(ReadProfileString("S", "k", "dflt", 8, over), "dflt");
}

TEST_F(LocationTest, FailedWriteIsTracedAndHarmless) {
  WriteFile(dir_.path() / "plain", "x");
  EnvGuard windir("KIRN_WINDIR", dir_.str() + "/plain");
  capture_.Clear();
  WriteProfileString("S", "k", "v", "DEV_012.INI");
  EXPECT_TRUE(capture_.Contains("could not write"));
  EXPECT_EQ(ReadFile(dir_.path() / "plain"), "x");
}

}  // namespace
