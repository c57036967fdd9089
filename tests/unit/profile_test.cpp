#include "config/profile.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "config/location.h"
#include "link/link_state.h"
#include "platform/debug_output.h"
#include "platform/ini.h"
#include "test_support.h"
#include "tracing/debug.h"

namespace {

using testing_support::DebugCapture;
using testing_support::EnvGuard;
using testing_support::ReadFile;
using testing_support::WriteFile;
using xarvel::Profile;
using xarvel::ProfileInit;

// Key names of one section, in file order.
std::vector<std::string> KeysOf(const std::string& text, const std::string& section) {
  std::vector<std::string> keys;
  std::istringstream in(text);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == '[') {
      inside = line == "[" + section + "]";
      continue;
    }
    size_t eq = line.find('=');
    if (inside && eq != std::string::npos) keys.push_back(line.substr(0, eq));
  }
  return keys;
}

// The driver profile of device 12 lives in a fresh directory (location mode 1).
class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    xarvel::ResetLocation();
    xarvel::ResetProfile();
    xarvel::ResetDebug();
    xarvel::ResetLinkState();
    Profile().DeviceNumber = 12;
  }
  void TearDown() override {
    xarvel::ResetLocation();
    xarvel::ResetProfile();
    xarvel::ResetDebug();
    xarvel::ResetLinkState();
  }

  std::string Key(const std::string& section, const std::string& key) {
    return plat::GetPrivateProfileString(section, key, "<missing>", 512, path_);
  }
  // A profile that only holds the given lines in section "Controller" plus any extra text.
  void Given(const std::string& controller, const std::string& extra = "") {
    WriteFile(path_, "[Controller]\n" + controller + extra);
  }
  // A fresh start of ProfileInit on such a profile.
  int Run(const std::string& controller, const std::string& extra = "") {
    xarvel::ResetProfile();
    Profile().DeviceNumber = 12;
    Given(controller, extra);
    return ProfileInit();
  }
  const xarvel::Settings& S() { return Profile().settings; }

  testing_support::ConfigDir dir_;
  std::string path_ = dir_.str() + "/DEV_012.INI";
  DebugCapture capture_;
};

TEST_F(ProfileTest, DriverProfileNameFollowsDeviceNumber) {
  EXPECT_EQ(xarvel::DriverProfileName(), "DEV_012.INI");
  Profile().DeviceNumber = 7;
  EXPECT_EQ(xarvel::DriverProfileName(), "DEV_007.INI");
  Profile().DeviceNumber = 999;
  EXPECT_EQ(xarvel::DriverProfileName(), "DEV_999.INI");
  for (int n : {0, -3, 1000}) {
    Profile().DeviceNumber = n;
    EXPECT_EQ(xarvel::DriverProfileName(), "XARVEL.INI");
  }
}

TEST_F(ProfileTest, FirstRunWritesCompleteProfileInOrder) {
  EXPECT_EQ(ProfileInit(), 0);
  const std::string text = ReadFile(path_);
  const std::string expected =
      "Name ParkSource ParkName ForwardBufferDelay CrossPointsPerBufferDelay "
      "MaxUnACKedRoutesBeforeCommsFail SaveDelay TallyDelay DebugMode SourceToDest DestToSource "
      "NameLength Simulation Connection_Mode Dual_Controllers IP_Address_A IP_Address_B IP_Port "
      "Com Speed DataBits StopBits Parity PollForMC1000LockStatus LockStatusInfodriverID "
      "UpdateMC1000DatabaseNames UpdateMC1000FromKIRNDatabases Access";
  std::string keys;
  for (const std::string& k : KeysOf(text, "Controller")) keys += (keys.empty() ? "" : " ") + k;
  EXPECT_EQ(keys, expected);
  std::vector<std::string> routers = KeysOf(text, "Routers");
  ASSERT_EQ(routers.size(), 26u);
  for (int i = 0; i < 26; ++i) {
    EXPECT_EQ(routers[i], std::string("Router_") + static_cast<char>('A' + i));
    EXPECT_EQ(Key("Routers", routers[i]), xarvel::kRouterTemplate);
  }
  EXPECT_EQ(Key("Controller", "Name"), "MC1000 Controller");
  EXPECT_EQ(Key("Controller", "Connection_Mode"), "SERIAL");
  EXPECT_EQ(Key("Controller", "LockStatusInfodriverID"), "-1");
  EXPECT_EQ(Key("Controller", "Access"), "ALL");

  EXPECT_EQ(S().Name, "MC1000 Controller");
  EXPECT_EQ(S().SaveDelay, 10);
  EXPECT_EQ(S().TallyDelay, 500);
  EXPECT_EQ(S().Connection_Mode, 1);
  EXPECT_EQ(S().Dual_Controllers, 1);
  EXPECT_EQ(S().Com, 2);
  EXPECT_EQ(S().Speed, 38400u);
  EXPECT_EQ(S().Parity, 'n');
  EXPECT_EQ(S().LockStatusInfodriverID, -1);
  EXPECT_EQ(S().ReplyTimeoutMs, 0);  // automatic, and not written
  EXPECT_EQ(S().ResyncOnConnect, 1);
  EXPECT_EQ(xarvel::Debug().DebugMode, 0);
  EXPECT_EQ(Profile().ProfileText, "Config : " + dir_.str() + "/DEV_012.INI");
  EXPECT_TRUE(capture_.Contains("<xarvel>-Prof-Init: " + dir_.str() + "/DEV_012.INI \n"));
  EXPECT_EQ(Profile().Access[1000], 1);
  EXPECT_EQ(Profile().StatusMessageFlag, 0);

  // A second start finds everything in place and changes nothing.
  xarvel::ResetProfile();
  Profile().DeviceNumber = 12;
  EXPECT_EQ(ProfileInit(), 0);
  EXPECT_EQ(ReadFile(path_), text);
}

// LogLevel is read, never written; the command line or XARVEL_LOG_LEVEL win over it.
TEST_F(ProfileTest, LogLevelIsReadButNeverWritten) {
  EnvGuard no_env("XARVEL_LOG_LEVEL", std::nullopt);
  plat::InitLogOutput(std::nullopt);
  Run("LogLevel=warning\n");
  EXPECT_EQ(plat::GetLogLevel(), plat::LogLevel::kWarning);
  Run("LogLevel=chatty\n");
  EXPECT_EQ(plat::GetLogLevel(), plat::LogLevel::kWarning) << "an unknown value changes nothing";
  EXPECT_TRUE(capture_.Contains("LogLevel \"chatty\" not recognised"));
  EXPECT_EQ(Key("Controller", "LogLevel"), "chatty");
  plat::InitLogOutput(plat::LogLevel::kErr);  // --log-level err
  Run("LogLevel=debug\n");
  EXPECT_EQ(plat::GetLogLevel(), plat::LogLevel::kErr);
  plat::InitLogOutput(std::nullopt);
}

TEST_F(ProfileTest, RouterEntriesAreCheckedAndCompleted) {
  EXPECT_EQ(Run("",
                "[Routers]\nRouter_B=12,1,64\nRouter_C=12,1,64,-5,7\nRouter_D=0,1,64,0,0\n"
                "Router_E=13,1,8,-2,-3\nRouter_F=14,1\nRouter_G=junk\n"),
            1);
  const auto& r = Profile().routers;
  EXPECT_EQ(Key("Routers", "Router_B"), "12,1,64,0,0");
  EXPECT_EQ(r[1].DeviceId, 12);
  EXPECT_EQ(r[1].Min_Dest, 1);
  EXPECT_EQ(r[1].Max_Dest, 64);
  EXPECT_EQ(Key("Routers", "Router_C"), "12,1,64,-5,7");
  EXPECT_EQ(r[2].Offset_Src, -5);
  EXPECT_EQ(r[2].Offset_Dest, 7);
  EXPECT_EQ(Key("Routers", "Router_D"), xarvel::kRouterTemplate);
  EXPECT_EQ(r[3].DeviceId, 0);
  EXPECT_EQ(r[3].Max_Dest, 0);
  EXPECT_EQ(Key("Routers", "Router_E"), "13,1,8,0,0");
  EXPECT_EQ(r[4].Offset_Src, 0);
  EXPECT_EQ(Key("Routers", "Router_F"), xarvel::kRouterTemplate);
  EXPECT_EQ(Key("Routers", "Router_G"), xarvel::kRouterTemplate);
  EXPECT_EQ(r[5].DeviceId, 0);
  EXPECT_EQ(Profile().CurrentRouter, 1);
  EXPECT_TRUE(capture_.Contains(
      "<xarvel>-Prof-Init Rtr [2] - Read in Router_C as  12,1,64,-5,7 : 12 1 64 -5 7\n"));
}

TEST_F(ProfileTest, ConnectionModeIsCaseSensitive) {
  Run("Connection_Mode=ip\n");
  EXPECT_EQ(S().Connection_Mode, 0);
  EXPECT_EQ(Key("Controller", "Connection_Mode"), "ip");
  // The start-up trace names the text that was not recognised.
  EXPECT_TRUE(capture_.Contains("Connection_Mode \"ip\" not recognised"));

  Run("Connection_Mode=2\nCom=3\n");
  EXPECT_EQ(S().Connection_Mode, 2);
  EXPECT_EQ(Key("Controller", "Connection_Mode"), "IP");
  EXPECT_EQ(S().Com, 3);
}

TEST_F(ProfileTest, IpModeKeepsConfiguredAddressesWhenDualControllersIsMissing) {
  Run("Connection_Mode=IP\nIP_Address_A=10.0.0.1\nIP_Address_B=10.0.0.2\nIP_Port=5000\n");
  EXPECT_EQ(Key("Controller", "IP_Address_A"), "10.0.0.1");
  EXPECT_EQ(Key("Controller", "IP_Address_B"), "10.0.0.2");
  EXPECT_EQ(S().IP_Address_A, "10.0.0.1");
  EXPECT_EQ(S().IP_Address_B, "10.0.0.2");
  EXPECT_EQ(S().IP_Port, 5000);
  EXPECT_EQ(S().Dual_Controllers, 1);
  EXPECT_EQ(Key("Controller", "Dual_Controllers"), "1");
  EXPECT_EQ(Profile().StatusMessageFlag, 0);
}

TEST_F(ProfileTest, IpModeDualFlagFollowsAddressB) {
  Run("Connection_Mode=IP\nDual_Controllers=0\nIP_Address_A=10.0.0.1\nIP_Address_B=10.0.0.2\n");
  EXPECT_EQ(S().Dual_Controllers, 1);
  EXPECT_EQ(Key("Controller", "Dual_Controllers"), "1");
  EXPECT_EQ(S().IP_Port, 4000);  // default of a missing port, not written back

  Run("Connection_Mode=IP\nDual_Controllers=1\nIP_Address_A=10.0.0.1\n");
  EXPECT_EQ(S().Dual_Controllers, 0);
  EXPECT_EQ(Key("Controller", "Dual_Controllers"), "0");
  EXPECT_EQ(Profile().StatusMessageFlag, 0);
}

TEST_F(ProfileTest, IpModeWithoutAnyAddressReportsNoConnectivity) {
  Run("Connection_Mode=IP\n");
  EXPECT_EQ(S().Dual_Controllers, 0);
  EXPECT_EQ(Key("Controller", "IP_Address_A"), "0.0.0.0");
  EXPECT_EQ(Profile().StatusMessageFlag, 1);
  EXPECT_EQ(Profile().StatusMessage,
            "Profile init - NO IP Connectivity possible -- IP addresses invalid");
  EXPECT_TRUE(capture_.Contains("<xarvel>-Profile init - INVALID SERVER A Address \n"));
  EXPECT_TRUE(capture_.Contains(
      "<xarvel>-Profile init - NO IP Connectivity possible -- all invalid IP addresses\n"));
  // The serial group of a new IP profile is complete as well.
  EXPECT_EQ(Key("Controller", "Com"), "2");
  EXPECT_EQ(Key("Controller", "Parity"), "N");
}

TEST_F(ProfileTest, CompanionDefaultsNeverOverwriteConfiguredValues) {
  Run("Connection_Mode=IP\nSpeed=9600\nParity=E\nLockStatusInfodriverID=205\n"
      "UpdateMC1000FromKIRNDatabases=3,4\nIP_Address_A=10.0.0.1\nDual_Controllers=1\n");
  EXPECT_EQ(Key("Controller", "Com"), "2");
  EXPECT_EQ(Key("Controller", "Speed"), "9600");
  EXPECT_EQ(Key("Controller", "Parity"), "E");
  EXPECT_EQ(S().Speed, 9600u);
  EXPECT_EQ(S().Parity, 'e');
  EXPECT_EQ(Key("Controller", "LockStatusInfodriverID"), "205");
  EXPECT_EQ(S().LockStatusInfodriverID, 205);
  EXPECT_EQ(Key("Controller", "UpdateMC1000FromKIRNDatabases"), "3,4");
}

TEST_F(ProfileTest, SerialSettings) {
  Run("Speed=600\nParity=odd\nDataBits=7\nStopBits=2\nCom=0\n");
  EXPECT_EQ(S().Speed, 38400u);
  EXPECT_EQ(Key("Controller", "Speed"), "600");
  EXPECT_EQ(S().Parity, 'o');
  EXPECT_EQ(S().DataBits, 7);
  EXPECT_EQ(S().StopBits, 2);
  EXPECT_EQ(S().Com, 2);
  EXPECT_EQ(Key("Controller", "Com"), "2");

  for (const char* speed : {"2400", "4800", "9600", "19200", "38400"}) {
    Run(std::string("Speed=") + speed + "\nParity=x\n");
    EXPECT_EQ(S().Speed, std::stoul(speed));
    EXPECT_EQ(S().Parity, 'n');
    EXPECT_EQ(Key("Controller", "Parity"), "N");
  }
  for (const char* speed : {"-1", "99999999", "fast", "1200"}) {
    Run(std::string("Speed=") + speed + "\n");
    EXPECT_EQ(S().Speed, 38400u) << speed;
  }
}

TEST_F(ProfileTest, Mc1000OptionsAndDebugMode) {
  Run("PollForMC1000LockStatus=1\nLockStatusInfodriverID=0\nUpdateMC1000DatabaseNames=1\n"
      "UpdateMC1000FromKIRNDatabases=3,4\nDebugMode=2\nSimulation=2\n");
  EXPECT_EQ(S().PollForMC1000LockStatus, 1);
  EXPECT_EQ(S().LockStatusInfodriverID, 0);
  EXPECT_EQ(S().UpdateMC1000DatabaseNames, 1);
  EXPECT_EQ(S().UpdateSourceDatabase, 3);
  EXPECT_EQ(S().UpdateDestDatabase, 4);
  EXPECT_EQ(S().Simulation, 0);
  EXPECT_EQ(xarvel::Debug().DebugMode, 2);
  EXPECT_TRUE(capture_.Contains("Warning invalid device id for Infodriver"));
  EXPECT_TRUE(capture_.Contains("<xarvel>-Prof-Init  - PollMc1000Lock 1  lockInfodriver 0 \n"));
  EXPECT_TRUE(capture_.Contains("<xarvel>-Prof-Init  - UpdateMc1000Names 1  srcdb 3 dest db\n"));

  // SaveDebugMode writes "1" only for exactly 1.
  xarvel::SaveDebugMode();
  EXPECT_EQ(Key("Controller", "DebugMode"), "0");
  xarvel::Debug().DebugMode = 1;
  xarvel::SaveDebugMode();
  EXPECT_EQ(Key("Controller", "DebugMode"), "1");
}

TEST_F(ProfileTest, LinkKeysAreReadWhenPresent) {
  Run("ReplyTimeoutMs=250\nResyncOnConnect=0\n");
  EXPECT_EQ(S().ReplyTimeoutMs, 250);
  EXPECT_EQ(S().ResyncOnConnect, 0);
  Run("ReplyTimeoutMs=-5\nResyncOnConnect=7\n");
  EXPECT_EQ(S().ReplyTimeoutMs, 0);
  EXPECT_EQ(S().ResyncOnConnect, 1);
}

TEST_F(ProfileTest, NameNeedsThreeCharacters) {
  Run("Name=AB\n");
  EXPECT_EQ(S().Name, "MC1000 Controller");
  EXPECT_EQ(Key("Controller", "Name"), "MC1000 Controller");

  Run("Name=ABC\n");
  EXPECT_EQ(S().Name, "ABC");
}

struct AccessCase {
  const char* text;
  std::vector<int> permitted;  // among 0..1000
};

TEST_F(ProfileTest, AccessLists) {
  const std::vector<AccessCase> cases = {
      {"1,5-7,12", {0, 1, 5, 6, 7, 12}},
      {"1000", {0}},
      {"0,999", {0, 999}},
      {",,3,,4,", {0, 3, 4}},
      {" 3, 4", {0, 3, 4}},
      {"5-", {0}},
      {"-5", {0}},
      {"x-y", {0}},
      {"7-5", {0}},
      {"99999999999", {0}},
      {"-99999999999", {0}},
      {"998-99999999999", {0, 998, 999}},
      {"-99999999999-2", {0, 1, 2}},
      {"12abc", {0, 12}},
      {"abc", {0}},
      {"", {0}},
  };
  for (const AccessCase& c : cases) {
    xarvel::ResetProfile();
    Profile().DeviceNumber = 12;
    Given(std::string("Access=") + c.text + "\n");
    xarvel::ReadAccessList();
    std::vector<int> permitted;
    for (int n = 0; n < xarvel::kAccessCount; ++n) {
      if (Profile().Access[n]) permitted.push_back(n);
    }
    EXPECT_EQ(permitted, c.permitted) << "Access=" << c.text;
  }

  Given("Access=all\n");
  xarvel::ReadAccessList();
  for (int n = 0; n < xarvel::kAccessCount; ++n) ASSERT_EQ(Profile().Access[n], 1) << n;
  EXPECT_EQ(Key("Controller", "Access"), "all");  // only the exact default is written back
}

TEST_F(ProfileTest, BadValuesAreMendedLikeMissingKeys) {
  const std::string long_value(300, '7');
  EXPECT_EQ(
      Run("TallyDelay=fast\nSaveDelay=soon\nDebugMode=maybe\nParkSource= 12x\nName=" +
              std::string(300, 'N') + "\nIP_Port=" + long_value + "\nCom=" + long_value + "\n",
          "[Routers]\nRouter_A=" + long_value + "\nRouter_B=" + std::string(300, ',') + "\n"),
      0);
  EXPECT_EQ(S().TallyDelay, 500);
  EXPECT_EQ(Key("Controller", "TallyDelay"), "500");
  EXPECT_EQ(S().SaveDelay, 10);
  EXPECT_EQ(xarvel::Debug().DebugMode, 0);
  EXPECT_EQ(S().ParkSource, 12);
  EXPECT_EQ(S().Name, std::string(79, 'N'));
  EXPECT_EQ(S().Com, 77777777);  // eight characters fit the number buffer
  EXPECT_EQ(Key("Routers", "Router_A"), xarvel::kRouterTemplate);
}

TEST_F(ProfileTest, CrLfProfileReadsAndStaysCrLf) {
  WriteFile(path_,
            "[Controller]\r\nName=Studio 4\r\nTallyDelay=250\r\n[Routers]\r\n"
            "Router_A=5,1,16,0,0\r\n");
  EXPECT_EQ(ProfileInit(), 1);
  EXPECT_EQ(S().Name, "Studio 4");
  EXPECT_EQ(S().TallyDelay, 250);
  EXPECT_EQ(Profile().routers[0].DeviceId, 5);
  const std::string text = ReadFile(path_);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
    }
  }
}

TEST_F(ProfileTest, UnwritableLocationGivesDefaultsInMemory) {
  WriteFile(dir_.path() / "plain", "x");
  EnvGuard windir("KIRN_WINDIR", dir_.str() + "/plain");
  EXPECT_EQ(ProfileInit(), 0);
  EXPECT_EQ(S().TallyDelay, 500);
  EXPECT_EQ(S().Name, "MC1000 Controller");
  EXPECT_EQ(S().Connection_Mode, 1);
  EXPECT_EQ(Profile().Access[1000], 1);
  EXPECT_EQ(ReadFile(dir_.path() / "plain"), "x");
}

TEST_F(ProfileTest, DecimalScanningFollowsPercentD) {
  int v = 42;
  EXPECT_FALSE(xarvel::ScanDecimal(" -x", v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(xarvel::ScanDecimal(" \t-12x", v));
  EXPECT_EQ(v, -12);
  EXPECT_TRUE(xarvel::ScanDecimal("-99999999999999999999999", v));
  EXPECT_EQ(v, INT_MIN);
  int a = 1, b = 2;
  EXPECT_EQ(xarvel::ScanDecimals("5 ,6", ',', {&a, &b}), 1);  // no blank before a separator
  EXPECT_EQ(a, 5);
  EXPECT_EQ(b, 2);
}

// Every character before, inside and after a number, checked against the C library's strtoll
// (clamped to int as the scanner clamps): white space, signs, the neighbours of the digits and
// of the white space range, and bytes with the top bit set.
TEST_F(ProfileTest, DecimalScanningAgreesWithTheCLibraryForEveryCharacter) {
  for (int c = 1; c < 256; ++c) {
    const std::string ch(1, static_cast<char>(c));
    for (const std::string& text :
         {ch + "12", ch + "-7", "4" + ch + "5", "-" + ch + "3", "99999999999" + ch}) {
      SCOPED_TRACE(c);
      char* end = nullptr;
      const long long expected = std::strtoll(text.c_str(), &end, 10);
      int v = INT_MIN + 1;
      EXPECT_EQ(xarvel::ScanDecimal(text, v), end != text.c_str()) << text;
      if (end != text.c_str()) {
        EXPECT_EQ(v, expected > INT_MAX   ? INT_MAX
                     : expected < INT_MIN ? INT_MIN
                                          : static_cast<int>(expected));
      }
    }
  }
}

}  // namespace
