// The driver's spine: the device number, the version string and the shutdown sequence.
#include <gtest/gtest.h>

#include "config/profile.h"
#include "core/driver.h"
#include "core/main_window.h"
#include "ids/window_ids.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
#include "platform/dialog.h"
#include "platform/window.h"
#include "state/router_tables.h"
#include "test_support.h"
#include "version_resource.h"

namespace {

TEST(CoreTest, DeviceNumberComesFromTheStartOfTheCommandLine) {
  EXPECT_EQ(xarvel::ParseDeviceNumber("12"), 12);
  EXPECT_EQ(xarvel::ParseDeviceNumber("007"), 7);
  EXPECT_EQ(xarvel::ParseDeviceNumber("12 x"), 12);
  EXPECT_EQ(xarvel::ParseDeviceNumber("  +999"), 999);
  EXPECT_EQ(xarvel::ParseDeviceNumber("0"), 0);
  EXPECT_EQ(xarvel::ParseDeviceNumber("1000"), 0);
  EXPECT_EQ(xarvel::ParseDeviceNumber("-3"), 0);
  EXPECT_EQ(xarvel::ParseDeviceNumber("abc"), 0);
  EXPECT_EQ(xarvel::ParseDeviceNumber(""), 0);
  EXPECT_EQ(xarvel::ParseDeviceNumber("99999999999999999999999"), 0) << "no overflow";
}

TEST(CoreTest, VersionStringIsTheResourceWithDotsForCommas) {
  xarvel::ResetCore();
  xarvel::ReadVersionString();
  std::string expected = plat::kVersionResource;
  for (char& c : expected) {
    if (c == ',') c = '.';
  }
  EXPECT_EQ(xarvel::Core().VersionString, expected);
  EXPECT_NE(expected.find(". "), std::string::npos) << "blanks after the separators stay";
}

TEST(CoreTest, ShutdownRunsOnceAndTellsTheInterfaceFirst) {
  testing_support::EnsureQtApp();
  plat::ResetWindows();
  xarvel::ResetCore();
  xarvel::ResetKapi();
  xarvel::ResetProfile();
  std::vector<uint32_t> kapi_got;
  const plat::Hwnd kapi = plat::CreateWindow(
      [&](plat::Hwnd, uint32_t msg, plat::WParam, plat::LParam) -> plat::LResult {
        kapi_got.push_back(msg);
        return 0;
      },
      true);
  xarvel::Kapi().KapiWindow = kapi;
  xarvel::Core().MainWindow = plat::CreateWindow(xarvel::MainWndProc, true);
  xarvel::Profile().routers[0].DeviceId = 5;
  xarvel::Profile().routers[0].TallyMemory.assign(2 * xarvel::kTableDests, 0);

  // ZUT_CLOSE followed by WM_CLOSE: one shutdown.
  plat::SendMessage(xarvel::Core().MainWindow, xarvel::ZUT_CLOSE, 0, 0);
  plat::SendMessage(xarvel::Core().MainWindow, plat::WM_CLOSE, 0, 0);
  EXPECT_EQ(kapi_got, std::vector<uint32_t>{xarvel::ZUT_DETACH});
  EXPECT_TRUE(xarvel::Profile().routers[0].TallyMemory.empty()) << "tables are freed";
  EXPECT_TRUE(plat::QuitPosted());
  EXPECT_EQ(plat::RunMessageLoop(), 0);
  plat::ResetWindows();
}

TEST(CoreTest, ForwardBufferDropsTheOldestWhenFullAndCutsTextsTo64) {
  xarvel::ResetMainWindowState();
  xarvel::ForwardBufferPut(std::string(100, 'C'));
  EXPECT_EQ(xarvel::MainWnd().ForwardBuffer[0].size(), 64u);
  for (int i = 1; i < 48; ++i) xarvel::ForwardBufferPut("RC " + std::to_string(i));
  EXPECT_EQ(xarvel::MainWnd().ForwardWrite, 0);
  // Full: writing slot 0 again replaces the oldest command and empties the slot after it.
  xarvel::ForwardBufferPut("RC new");
  EXPECT_EQ(xarvel::MainWnd().ForwardBuffer[0], "RC new");
  EXPECT_EQ(xarvel::MainWnd().ForwardBuffer[1], "");
}

// A route dropped from the full buffer leaves the audit line that names router, destination and
// source, as every other dropped route does.
TEST(CoreTest, ARouteDroppedFromTheForwardBufferLeavesItsRouteLine) {
  xarvel::ResetProfile();
  xarvel::ResetMainWindowState();
  xarvel::Profile().settings.SourceToDest = 1;  // "RC dev source dest"
  testing_support::DebugCapture debug;
  // 48 slots: the 49th route takes the oldest's slot and empties the next one.
  for (int i = 1; i <= 49; ++i) {
    xarvel::ForwardBufferPut("RC 101 " + std::to_string(i) + " 7 ',---' 0");
  }
  EXPECT_TRUE(debug.Contains("ROUTE 101 7 1 dropped forward_buffer_full")) << debug.text();
  EXPECT_TRUE(debug.Contains("ROUTE 101 7 2 dropped forward_buffer_full")) << debug.text();
  EXPECT_EQ(debug.Count(" dropped "), 2);
  xarvel::ResetMainWindowState();
  xarvel::ResetProfile();
}

}  // namespace
