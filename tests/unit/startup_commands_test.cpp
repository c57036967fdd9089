// Commands and menu requests that reach the driver while it starts: the start-up waits for the
// interface's answers, and a peer's messages are handled meanwhile, before the stored tables
// have been read.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <string>

#include "config/profile.h"
#include "core/driver.h"
#include "core/remote_panel.h"
#include "driver_fixture.h"
#include "ids/window_ids.h"
#include "interface/messages.h"
#include "platform/window.h"
#include "state/index_files.h"
#include "state/router_tables.h"
#include "test_support.h"

namespace {

using testing_support::FakeKapi;
using testing_support::ReadFile;
using testing_support::WriteFile;

class StartupCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::EnsureQtApp();
    testing_support::ResetAll();
    WriteFile(dir_.path() / "DEV_012.INI",
              "[Controller]\nSimulation=1\nSourceToDest=1\nDestToSource=0\nParkSource=0\n"
              "LockStatusInfodriverID=0\nAccess=ALL\n\n[Routers]\nRouter_A=101,1,16,0,0\n");
    WriteFile(dir_.path() / "DEV_101.INI", "[Database]\nDatabaseSize_0=64\nDatabaseSize_1=16\n");
    // The stored tables: destination 1 fed by source 5, every other one unknown.
    std::string index(xarvel::kIndexFileBytes, '\0');
    for (size_t i = 0; i < xarvel::kIndexBlockBytes; ++i) index[i] = '\xff';
    index[0] = 0;
    index[1] = 5;
    WriteFile(dir_.path() / "DEV_012.IDX", index);
    WriteFile(dir_.path() / "DEV_012.LCK", std::string(xarvel::kLockFileBytes, '\0'));
    xarvel::Profile().DeviceNumber = 12;
    kapi_.Create();
  }
  void TearDown() override {
    testing_support::ResetAll();
    QCoreApplication::removePostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
  }

  // Sends `text` to the driver as the interface does, the first time it is asked for a mode.
  void SendDuringRegistration(const std::string& text) {
    kapi_.on_call = [this, text](uint32_t msg, plat::WParam, plat::LParam) {
      if (msg != xarvel::ZUT_GETDEVMODE || sent_) return;
      sent_ = true;
      plat::SendMessage(xarvel::Core().MainWindow, xarvel::ZUT_COMMAND, 0,
                        reinterpret_cast<plat::LParam>(text.c_str()));
    };
  }

  testing_support::ConfigDir dir_;
  FakeKapi kapi_;
  bool sent_ = false;
};

TEST_F(StartupCommandsTest, RouteDuringStartUpIsCarriedOutOnTheStoredTables) {
  SendDuringRegistration("RC 101 7 1 ',---' 0");
  ASSERT_TRUE(xarvel::CreateMainWindow());
  ASSERT_TRUE(sent_);

  // The route came before the stored tables were read; it must not be undone by them.
  EXPECT_EQ(xarvel::GetTally(101, 1), 7);
  ASSERT_FALSE(kapi_.texts.empty());
  EXPECT_EQ(kapi_.texts.back().text, "RR 101 001 007");
  for (const FakeKapi::Text& t : kapi_.texts) {
    EXPECT_NE(t.text, "RR 101 001 000") << "a revertive named a source before the tables were read";
  }
}

TEST_F(StartupCommandsTest, SaveAskedForDuringStartUpKeepsTheStoredFile) {
  const std::string before = ReadFile(dir_.path() / "DEV_012.IDX");
  kapi_.on_call = [this](uint32_t msg, plat::WParam, plat::LParam) {
    if (msg != xarvel::ZUT_GETDEVMODE || sent_) return;
    sent_ = true;
    plat::SendMessage(xarvel::Core().MainWindow, plat::WM_COMMAND, xarvel::IDM_SAVE, 0);
  };
  ASSERT_TRUE(xarvel::CreateMainWindow());
  ASSERT_TRUE(sent_);

  EXPECT_TRUE(ReadFile(dir_.path() / "DEV_012.IDX") == before)
      << "tables that were not loaded yet replaced the stored file";
  EXPECT_EQ(xarvel::GetTally(101, 1), 5);
}

}  // namespace
