// The status dialog and the main window's menu, driven as the operator and the timers drive
// them: messages to the dialog and main window procedures, read back from the dialog and menu
// model.
#include "platform/dialog.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "config/profile.h"
#include "core/about.h"
#include "core/driver.h"
#include "core/main_window.h"
#include "driver_fixture.h"
#include "ids/window_ids.h"
#include "interface/kapisup.h"
#include "link/link_state.h"
#include "link/supervisor_state.h"
#include "platform/window.h"
#include "state/router_tables.h"
#include "test_support.h"
#include "tracing/debug.h"
#include "ui/dialog_state.h"
#include "ui/status_dialog.h"

namespace {

using testing_support::AddRouter;
using testing_support::DebugCapture;
using testing_support::EnvGuard;
using xarvel::Core;
using xarvel::Dlg;
using xarvel::Profile;

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::EnsureQtApp();
    testing_support::ResetAll();
    xarvel::Settings& s = Profile().settings;
    s.Connection_Mode = 1;
    s.TallyDelay = 500;
    s.SaveDelay = 5;
    s.ParkSource = 7;
    s.ParkName = "PARK";
    s.NameLength = 8;
    s.Com = 2;
    s.Speed = 9600;
    s.DataBits = 8;
    s.StopBits = 1;
    s.Parity = 'n';
    main_ = plat::CreateWindow(xarvel::MainWndProc, true);
    Core().MainWindow = main_;
    xarvel::LoadMainMenu(main_);
  }
  void TearDown() override {
    testing_support::ResetAll();
    QCoreApplication::removePostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
  }

  void Create() { dialog_ = xarvel::Dialog_Create(main_); }

  std::string Field(int id) const { return plat::GetDlgItemText(dialog_, id); }
  bool Enabled(int id) const { return plat::IsWindowEnabled(dialog_, id); }
  bool Checked(int id) const { return plat::IsMenuItemChecked(main_, id); }
  void Menu(int id) { plat::SendMessage(main_, plat::WM_COMMAND, id, 0); }
  void Timer(uintptr_t id) { plat::SendMessage(dialog_, plat::WM_TIMER, id, 0); }
  // The operator picks a row of a list, which the view reports as a command of the list.
  void Pick(int list, int row) {
    plat::ListSelect(dialog_, list, row);
    plat::SendMessage(dialog_, plat::WM_COMMAND, list, 0);
  }

  EnvGuard display_{"DISPLAY", std::nullopt};
  EnvGuard wayland_{"WAYLAND_DISPLAY", std::nullopt};
  DebugCapture debug_;
  plat::Hwnd main_ = plat::kNoWindow;
  plat::Hwnd dialog_ = plat::kNoWindow;
};

TEST_F(DialogTest, InitialisationFillsRouterRowsListsAndFlags) {
  AddRouter(0, 101, 8, 3, 32, 64);
  AddRouter(2, 103, 2, 2);
  Profile().CurrentRouter = 0;
  Profile().settings.PollForMC1000LockStatus = 1;
  Profile().settings.LockStatusInfodriverID = 900;
  Create();
  ASSERT_NE(dialog_, plat::kNoWindow);
  EXPECT_EQ(Core().MainDialog, dialog_);

  EXPECT_EQ(Field(5001), "101");
  EXPECT_EQ(Field(5101), "008");
  EXPECT_EQ(Field(5201), "003");
  EXPECT_EQ(Field(5301), "32/64");
  EXPECT_EQ(Field(5003), "103");
  EXPECT_EQ(Field(5002), "");
  EXPECT_FALSE(Enabled(5002));
  EXPECT_TRUE(plat::IsMenuItemGrayed(main_, 4002));
  EXPECT_FALSE(plat::IsMenuItemGrayed(main_, 4003));
  EXPECT_TRUE(Checked(4001));
  EXPECT_EQ(Field(xarvel::IDC_ROUTER), "Router 'A' 101");

  // Row 0 is the park entry, row n source n; destinations start at row 0.
  ASSERT_EQ(plat::ListCount(dialog_, xarvel::IDC_SOURCE_LIST), 9);
  EXPECT_EQ(plat::ListRow(dialog_, xarvel::IDC_SOURCE_LIST, 0), "     PARK");
  EXPECT_EQ(plat::ListRow(dialog_, xarvel::IDC_SOURCE_LIST, 4), "  4  ");
  EXPECT_EQ(plat::ListCount(dialog_, xarvel::IDC_DEST_LIST), 3);
  EXPECT_EQ(plat::ListSelected(dialog_, xarvel::IDC_DEST_LIST), 0);
  EXPECT_EQ(Dlg().SelectedDest, 1);

  EXPECT_EQ(Field(xarvel::IDC_PARK), "7");
  EXPECT_EQ(Field(xarvel::IDC_LINK_MODE), " SERIAL ");
  EXPECT_EQ(Field(xarvel::IDC_CONN_A), " Com2 9600:8:1:n");
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "  ?  ");
  EXPECT_EQ(Field(xarvel::IDC_LOCK_POLL), "Y");
  EXPECT_EQ(Field(xarvel::IDC_LOCK_INFODRIVER), "900");
  EXPECT_TRUE(Checked(xarvel::IDM_LOCK_POLL));
  EXPECT_FALSE(Enabled(xarvel::IDC_MC1000_LOCK));
  EXPECT_EQ(Field(xarvel::IDC_NAME_UPDATE), "N");
  EXPECT_TRUE(plat::IsMenuItemGrayed(main_, xarvel::IDM_SEND_SOURCE_NAME));
  EXPECT_TRUE(Checked(xarvel::IDM_DEBUG_OFF));
  EXPECT_FALSE(Checked(xarvel::IDM_DEBUG_ON));
  EXPECT_EQ(plat::GetFocus(dialog_), xarvel::IDC_DEST_LIST);

  // An unknown tally selects the park row; the link is confirmed and both timers run.
  EXPECT_EQ(plat::ListSelected(dialog_, xarvel::IDC_SOURCE_LIST), 7);
  EXPECT_EQ(xarvel::Link().ComState, xarvel::kComOk);
  EXPECT_EQ(plat::TimerPeriod(dialog_, xarvel::kTimerPoll), 500u);
  EXPECT_EQ(plat::TimerPeriod(dialog_, xarvel::kTimerSave), 60000u);
}

TEST_F(DialogTest, LinkFieldsFollowTheConnectionMode) {
  AddRouter(0, 101, 4, 4);
  xarvel::Settings& s = Profile().settings;
  s.Connection_Mode = 2;
  s.Dual_Controllers = 1;
  s.IP_Address_A = "127.0.0.1";
  s.IP_Address_B = "10.0.0.300";
  s.IP_Port = 4001;
  Create();
  EXPECT_EQ(Field(xarvel::IDC_LINK_MODE), "IP-Dual");
  EXPECT_EQ(Field(xarvel::IDC_CONN_A), "127.0.0.1:4001");
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), " ? ");
  EXPECT_EQ(Field(xarvel::IDC_CONN_B), "10.0.0.300 - ERROR");
  EXPECT_EQ(Field(xarvel::IDC_LOCK_INFODRIVER), "n/a");
}

TEST_F(DialogTest, UnconfiguredControllerAddressShowsAsAnError) {
  AddRouter(0, 101, 4, 4);
  xarvel::Settings& s = Profile().settings;
  s.Connection_Mode = 2;
  s.Dual_Controllers = 1;
  s.IP_Address_A = "0.0.0.0";  // the profile's default: no controller configured
  s.IP_Address_B = "10.0.0.2";
  s.IP_Port = 4000;
  Create();
  EXPECT_EQ(Field(xarvel::IDC_CONN_A), "0.0.0.0 - ERROR");
  EXPECT_EQ(Field(xarvel::IDC_CONN_B), "10.0.0.2:4000");
}

TEST_F(DialogTest, SimulationNeedsNoPollTimerAndReadsAsSerial) {
  AddRouter(0, 101, 4, 4);
  Profile().settings.Simulation = 1;
  Profile().settings.Connection_Mode = 2;
  Create();
  EXPECT_EQ(Field(xarvel::IDC_LINK_MODE), "SIMULATION");
  EXPECT_EQ(plat::TimerPeriod(dialog_, xarvel::kTimerPoll), 0u);
  EXPECT_EQ(Profile().settings.Connection_Mode, 1);
  EXPECT_EQ(xarvel::Link().ComState, xarvel::kComOk);
}

TEST_F(DialogTest, ZeroTallyDelayDoesNotSpinThePoll) {
  AddRouter(0, 101, 4, 4);
  Profile().settings.TallyDelay = 0;
  Create();
  EXPECT_GE(plat::TimerPeriod(dialog_, xarvel::kTimerPoll), 10u);
}

TEST_F(DialogTest, PollWalksEveryDefinedRouterInTurn) {
  AddRouter(0, 101, 4, 3);
  AddRouter(2, 103, 4, 2);
  AddRouter(25, 126, 4, 6);
  Profile().routers[25].Min_Dest = 5;
  Profile().routers[25].Max_Dest = 6;
  Create();
  std::vector<std::pair<int, int>> walk;
  for (int i = 0; i < 9; ++i) {
    Timer(xarvel::kTimerPoll);
    walk.emplace_back(Dlg().PollRouter, Dlg().PollPointer);
    // No link is open: the interrogate waits, and the poll would stay on it. Taking it away
    // stands for the controller's answer.
    xarvel::Supervisor().Window.ClearQueue();
  }
  const std::vector<std::pair<int, int>> expected = {{0, 1},  {0, 2},  {0, 3}, {2, 1}, {2, 2},
                                                     {25, 5}, {25, 6}, {0, 1}, {0, 2}};
  EXPECT_EQ(walk, expected);
  EXPECT_EQ(Field(1701), "101");
  EXPECT_EQ(Field(1702), "2");
}

TEST_F(DialogTest, RouterMenuMovesTheCheckAndRefillsTheLists) {
  AddRouter(0, 101, 4, 3);
  AddRouter(25, 126, 2, 8);
  Create();
  Pick(xarvel::IDC_DEST_LIST, 2);
  EXPECT_EQ(Dlg().SelectedDest, 3);
  Menu(4026);
  EXPECT_EQ(Profile().CurrentRouter, 25);
  EXPECT_TRUE(Checked(4026));
  EXPECT_FALSE(Checked(4001));
  EXPECT_EQ(Field(xarvel::IDC_ROUTER), "Router 'Z' 126");
  EXPECT_EQ(plat::ListCount(dialog_, xarvel::IDC_DEST_LIST), 8);
  EXPECT_EQ(Dlg().SelectedDest, 1);
  Menu(4001);
  EXPECT_EQ(Profile().CurrentRouter, 0);
  EXPECT_EQ(plat::ListCount(dialog_, xarvel::IDC_DEST_LIST), 3);
}

TEST_F(DialogTest, RouterWithoutDestinationsDisablesTheButtons) {
  AddRouter(0, 101, 4, 3);
  AddRouter(1, 102, 4, 0);
  Create();
  Menu(4002);
  EXPECT_FALSE(Enabled(xarvel::IDC_TAKE));
  EXPECT_FALSE(Enabled(xarvel::IDC_LOCK));
  EXPECT_FALSE(Enabled(xarvel::IDC_MC1000_LOCK));
}

TEST_F(DialogTest, SelectionShowsTheLockStates) {
  AddRouter(0, 101, 8, 4);
  Create();
  xarvel::SetTally(101, 2, 5);
  xarvel::SetLock(101, 2, 1);
  xarvel::SetMC1000Lock(0, 2, 255);
  Pick(xarvel::IDC_DEST_LIST, 1);
  EXPECT_EQ(plat::ListSelected(dialog_, xarvel::IDC_SOURCE_LIST), 5);
  EXPECT_EQ(Field(xarvel::IDC_LOCK), "--LOCKED--");
  EXPECT_FALSE(Enabled(xarvel::IDC_TAKE));
  EXPECT_EQ(Field(xarvel::IDC_MC1000_LOCK), "-- LOCKED --");
  Pick(xarvel::IDC_DEST_LIST, 0);
  EXPECT_EQ(Field(xarvel::IDC_LOCK), "Unlocked");
  EXPECT_TRUE(Enabled(xarvel::IDC_TAKE));
  EXPECT_EQ(Field(xarvel::IDC_MC1000_LOCK), "Unlocked");
}

TEST_F(DialogTest, LockChangeWindowOpensAndClosesByItself) {
  AddRouter(0, 101, 4, 4);
  Create();
  xarvel::Dialog_MC1000Lock();
  EXPECT_TRUE(
      debug_.Contains("Dialog_MC1000Lock - Set MC1000 Locks option not enabled- no action taken"));
  Menu(xarvel::IDM_LOCK_CHANGE);
  EXPECT_EQ(Dlg().MC1000LockChange, 1);
  EXPECT_TRUE(Checked(xarvel::IDM_LOCK_CHANGE));
  EXPECT_TRUE(Enabled(xarvel::IDC_MC1000_LOCK));
  EXPECT_EQ(plat::TimerPeriod(dialog_, xarvel::kTimerLockChange), 30000u);
  EXPECT_TRUE(debug_.Contains(" + Enabling MC1000 lock changes"));
  Timer(xarvel::kTimerLockChange);  // thirty seconds later
  EXPECT_EQ(Dlg().MC1000LockChange, 0);
  EXPECT_FALSE(Checked(xarvel::IDM_LOCK_CHANGE));
  EXPECT_FALSE(Enabled(xarvel::IDC_MC1000_LOCK));
  EXPECT_EQ(plat::TimerPeriod(dialog_, xarvel::kTimerLockChange), 0u);
  // Turned on and off again by hand.
  Menu(xarvel::IDM_LOCK_CHANGE);
  Menu(xarvel::IDM_LOCK_CHANGE);
  EXPECT_EQ(Dlg().MC1000LockChange, 0);
  EXPECT_EQ(plat::TimerPeriod(dialog_, xarvel::kTimerLockChange), 0u);
  EXPECT_TRUE(debug_.Contains(" - Disabling MC1000 lock changes"));
}

TEST_F(DialogTest, MenuFlagsToggleWithTheirMarksAndFields) {
  AddRouter(0, 101, 4, 4);
  Create();
  Menu(xarvel::IDM_LOCK_POLL);
  EXPECT_EQ(Profile().settings.PollForMC1000LockStatus, 1);
  EXPECT_EQ(Field(xarvel::IDC_LOCK_POLL), "Y");
  EXPECT_EQ(Field(xarvel::IDC_MC1000_LOCK), " ");
  Menu(xarvel::IDM_LOCK_POLL);
  EXPECT_EQ(Profile().settings.PollForMC1000LockStatus, 0);
  EXPECT_EQ(Field(xarvel::IDC_LOCK_POLL), " ");
  EXPECT_FALSE(Checked(xarvel::IDM_LOCK_POLL));

  Menu(xarvel::IDM_NAME_UPDATE);
  EXPECT_EQ(Field(xarvel::IDC_NAME_UPDATE), "Y");
  EXPECT_FALSE(plat::IsMenuItemGrayed(main_, xarvel::IDM_SEND_DEST_NAME));
  Menu(xarvel::IDM_NAME_UPDATE);
  EXPECT_EQ(Field(xarvel::IDC_NAME_UPDATE), "N");
  EXPECT_TRUE(plat::IsMenuItemGrayed(main_, xarvel::IDM_SEND_DEST_NAME));
  EXPECT_TRUE(debug_.Contains(" - Disabling setting of Router Names "));

  Menu(xarvel::IDM_DEBUG_ON);
  EXPECT_EQ(xarvel::Debug().DebugMode, 1);
  EXPECT_TRUE(Checked(xarvel::IDM_DEBUG_ON));
  EXPECT_FALSE(Checked(xarvel::IDM_DEBUG_OFF));
  Menu(xarvel::IDM_DEBUG_OFF);
  EXPECT_EQ(xarvel::Debug().DebugMode, 0);
  EXPECT_TRUE(Checked(xarvel::IDM_DEBUG_OFF));
}

TEST_F(DialogTest, ReconnectIsOnlyForTcp) {
  AddRouter(0, 101, 4, 4);
  Create();
  Menu(xarvel::IDM_RECONNECT);
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE),
            "Ignoring request forForcing Reconnection to hardware - only for IP Comms");
  Profile().settings.Connection_Mode = 2;
  xarvel::Link().ActiveController = xarvel::kControllerB;
  xarvel::Link().ComState = xarvel::kComOk;
  Menu(xarvel::IDM_RECONNECT);
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE), "Forcing Reconnection to hardware");
  EXPECT_EQ(xarvel::Link().ActiveController, xarvel::kControllerNone);
  EXPECT_EQ(xarvel::Link().ComState, xarvel::kComFailed);
}

TEST_F(DialogTest, BoxCommandsFocusAListAndSelectItsFirstRow) {
  AddRouter(0, 101, 4, 4);
  Create();
  plat::ListSelect(dialog_, xarvel::IDC_SOURCE_LIST, -1);
  Menu(xarvel::IDM_SOURCE_BOX);
  EXPECT_EQ(plat::GetFocus(dialog_), xarvel::IDC_SOURCE_LIST);
  EXPECT_EQ(plat::ListSelected(dialog_, xarvel::IDC_SOURCE_LIST), 0);
  Menu(xarvel::IDM_DEST_BOX);
  EXPECT_EQ(plat::GetFocus(dialog_), xarvel::IDC_DEST_LIST);
}

TEST_F(DialogTest, LinkQueriesAnswerByTheLinkState) {
  xarvel::Link().ComState = xarvel::kComUnconfirmed;
  EXPECT_EQ(plat::SendMessage(main_, xarvel::ZUT_INQDEVGOTXRX, 0, 0), 0);
  EXPECT_EQ(plat::SendMessage(main_, xarvel::ZUT_REQDEVGOTXRX, 2, 0), 0);
  xarvel::Link().ComState = xarvel::kComFailed;
  EXPECT_EQ(plat::SendMessage(main_, xarvel::ZUT_INQDEVGOTXRX, 0, 0), 0);
  xarvel::Link().ComState = xarvel::kComOk;
  EXPECT_EQ(plat::SendMessage(main_, xarvel::ZUT_INQDEVGOTXRX, 0, 0), 1);
  EXPECT_EQ(plat::SendMessage(main_, xarvel::ZUT_REQDEVGORXONLY, 0, 0), 0);
}

TEST_F(DialogTest, AboutBoxShowsVersionProfileAndSaveFormat) {
  Core().VersionString = "1. 0. 0. 0";
  Profile().ProfileText = "Config : /x/DEV_012.INI";
  const auto texts = xarvel::AboutBoxTexts();
  EXPECT_EQ(texts[0].text, "Version 1. 0. 0. 0");
  EXPECT_EQ(texts[2].text, "Config : /x/DEV_012.INI");
  EXPECT_EQ(texts[3].text, "Saving to .idx files");
  Menu(xarvel::IDM_ABOUT);  // headless: the texts go to the debug output, nothing waits
  EXPECT_TRUE(debug_.Contains("Orvana / KIRN MC1000 Controller Driver"));
}

}  // namespace

// The dialog's buttons reach the command handling as the control system's commands do.
class DialogCommandTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    Profile().settings.SourceToDest = 1;
    Profile().settings.MaxUnACKedRoutesBeforeCommsFail = 1000;
    Profile().Access[0] = 1;
    kapi_.Create();
    xarvel::Kapi().KapiWindow = kapi_.hwnd;
    AddRouter(0, 101, 8, 4, 0, 100);
    Create();
    xarvel::Kapi().DriverMode = xarvel::IFMODE_TXRX;
    testing_support::SentCommands().clear();
  }
  std::vector<std::string>& Sent() { return testing_support::SentCommands(); }

  testing_support::TempDir root_;
  bool data_dir_ = std::filesystem::create_directories(root_.path() / "data");
  EnvGuard zq_root_{"ZQ_ROOT", root_.str()};
  EnvGuard zq_system_{"ZQ_SYSTEM", std::string()};
  testing_support::FakeKapi kapi_;
};

TEST_F(DialogCommandTest, TakeRoutesTheSelectedSourceAndParkRowMeansParkSource) {
  Pick(xarvel::IDC_DEST_LIST, 2);  // destination 3
  Pick(xarvel::IDC_SOURCE_LIST, 5);
  plat::SendMessage(dialog_, plat::WM_COMMAND, xarvel::IDC_TAKE, 0);
  EXPECT_EQ(Sent(), (std::vector<std::string>{".SA103,5\r"}));

  Pick(xarvel::IDC_SOURCE_LIST, 0);
  plat::SendMessage(dialog_, plat::WM_COMMAND, xarvel::IDC_TAKE, 0);
  EXPECT_EQ(Sent().back(), ".SA103,7\r");
  EXPECT_TRUE(debug_.Contains("Dialog_take - src is 0 - changing src to park src"));

  // No selection reads as row 65535, which no router has.
  plat::ListSelect(dialog_, xarvel::IDC_SOURCE_LIST, -1);
  plat::SendMessage(dialog_, plat::WM_COMMAND, xarvel::IDC_SOURCE_LIST, 0);
  plat::SendMessage(dialog_, plat::WM_COMMAND, xarvel::IDC_TAKE, 0);
  EXPECT_EQ(Sent().size(), 2u);
}

TEST_F(DialogCommandTest, LockedDestinationCannotBeTaken) {
  Pick(xarvel::IDC_DEST_LIST, 1);  // destination 2
  plat::SendMessage(dialog_, plat::WM_COMMAND, xarvel::IDC_LOCK, 0);
  EXPECT_EQ(xarvel::GetLock(101, 2), 1);
  EXPECT_EQ(Field(xarvel::IDC_LOCK), "--LOCKED--");
  EXPECT_FALSE(Enabled(xarvel::IDC_TAKE));
  EXPECT_EQ(xarvel::Tables().TablesChanged, 1);
  // The Take menu command only moves the focus; a Take that gets through is refused.
  plat::SetFocus(dialog_, xarvel::IDC_SOURCE_LIST);
  Menu(xarvel::IDM_TAKE);
  EXPECT_EQ(plat::GetFocus(dialog_), xarvel::IDC_DEST_LIST);
  xarvel::Dialog_take();
  EXPECT_TRUE(Sent().empty());

  plat::SendMessage(dialog_, plat::WM_COMMAND, xarvel::IDC_LOCK, 0);
  EXPECT_EQ(xarvel::GetLock(101, 2), 0);
  EXPECT_EQ(Field(xarvel::IDC_LOCK), "Unlocked");
  Menu(xarvel::IDM_TAKE);
  EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(DialogCommandTest, ControllerLockButtonLocksUnlockedAndUnlocksTheRest) {
  Pick(xarvel::IDC_DEST_LIST, 0);
  plat::SendMessage(dialog_, plat::WM_COMMAND, xarvel::IDC_MC1000_LOCK, 0);
  EXPECT_TRUE(Sent().empty()) << "lock changes are not enabled";
  Menu(xarvel::IDM_LOCK_CHANGE);
  plat::SendMessage(dialog_, plat::WM_COMMAND, xarvel::IDC_MC1000_LOCK, 0);
  EXPECT_EQ(Sent(), (std::vector<std::string>{".BL101\r"}));
  xarvel::SetMC1000Lock(0, 1, 255);
  plat::SendMessage(dialog_, plat::WM_COMMAND, xarvel::IDC_MC1000_LOCK, 0);
  EXPECT_EQ(Sent().back(), ".BU101\r");
}

TEST_F(DialogCommandTest, SaveTickWritesEverySaveDelayMinutesOnlyAfterAChange) {
  const auto written = [&] { return debug_.Count("Xarvel - writeindex tallymemory file"); };
  const int at_start = written();  // the first read wrote a fresh file
  xarvel::Tables().TablesChanged = 1;
  for (int minute = 1; minute <= 4; ++minute) Timer(xarvel::kTimerSave);
  EXPECT_EQ(written(), at_start);
  Timer(xarvel::kTimerSave);  // fifth minute
  EXPECT_EQ(written(), at_start + 1);
  EXPECT_EQ(xarvel::Tables().TablesChanged, 0);
  for (int minute = 1; minute <= 5; ++minute) Timer(xarvel::kTimerSave);
  EXPECT_EQ(written(), at_start + 1) << "nothing changed";
  xarvel::SetTally(101, 1, 3);
  xarvel::Tables().TablesChanged = 1;
  for (int minute = 1; minute <= 5; ++minute) Timer(xarvel::kTimerSave);
  EXPECT_EQ(written(), at_start + 2);
}

TEST_F(DialogCommandTest, FailedSaveKeepsTheChangeForTheNextTick) {
  Profile().settings.SaveDelay = 1;
  xarvel::Tables().TablesChanged = 1;
  // The data location disappears: the save fails and the change stays marked.
  const auto data = root_.path() / "data";
  std::filesystem::remove_all(data);
  Timer(xarvel::kTimerSave);
  EXPECT_EQ(xarvel::Tables().TablesChanged, 1);
  std::filesystem::create_directories(data);
  Timer(xarvel::kTimerSave);
  EXPECT_EQ(xarvel::Tables().TablesChanged, 0);
  EXPECT_TRUE(std::filesystem::exists(data / "xarvel.idx"));
}

TEST_F(DialogCommandTest, DatabaseChangeRebuildsTheListItsHighHalfNames) {
  Pick(xarvel::IDC_DEST_LIST, 3);
  plat::ListReset(dialog_, xarvel::IDC_DEST_LIST);
  plat::SendMessage(main_, xarvel::ZUT_DBCHANGE, 101, 0x10002);
  EXPECT_EQ(plat::ListCount(dialog_, xarvel::IDC_DEST_LIST), 4);
  EXPECT_EQ(plat::ListSelected(dialog_, xarvel::IDC_DEST_LIST), 3);
  plat::ListReset(dialog_, xarvel::IDC_SOURCE_LIST);
  plat::SendMessage(main_, xarvel::ZUT_DBCHANGE, 101, 2);
  EXPECT_EQ(plat::ListCount(dialog_, xarvel::IDC_SOURCE_LIST), 9);
  // Another router's change leaves the lists alone.
  plat::ListReset(dialog_, xarvel::IDC_SOURCE_LIST);
  plat::SendMessage(main_, xarvel::ZUT_DBCHANGE, 102, 2);
  EXPECT_EQ(plat::ListCount(dialog_, xarvel::IDC_SOURCE_LIST), 0);
  EXPECT_TRUE(Sent().empty()) << "a database change message never writes to the controller";
}

// Five route commands arriving together with the forward buffer pacing them two per tick; a lock
// command between them is carried out at once.
TEST_F(DialogCommandTest, ForwardBufferPacesRoutesButNotLocks) {
  Profile().settings.ForwardBufferDelay = 200;
  Profile().settings.CrossPointsPerBufferDelay = 2;
  xarvel::StartForwardBuffer();
  EXPECT_EQ(plat::TimerPeriod(dialog_, xarvel::kTimerForwardBuffer), 200u);
  auto command = [&](const std::string& text) {
    plat::SendMessage(main_, xarvel::ZUT_COMMAND, 0, reinterpret_cast<plat::LParam>(text.c_str()));
  };
  command("RC 101 1 1 ',---' 0");
  command("RC 101 2 2 ',---' 0");
  command("RL 101 4 4 1 0");
  command("RC 101 3 3 ',---' 0");
  command("RC 101 4 4 ',---' 0");  // destination 4 is locked by then: refused when dispatched
  command("RC 101 5 1 ',---' 0");
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(xarvel::GetLock(101, 4), 1) << "the lock went ahead of the routes";
  EXPECT_EQ(Field(xarvel::IDC_RX_COUNT), "00000006");
  Timer(xarvel::kTimerForwardBuffer);
  EXPECT_EQ(Sent(), (std::vector<std::string>{".SA101,1\r", ".SA102,2\r"}));
  Timer(xarvel::kTimerForwardBuffer);
  EXPECT_EQ(Sent().size(), 3u) << "the refused route still takes its turn";
  Timer(xarvel::kTimerForwardBuffer);
  EXPECT_EQ(Sent().back(), ".SA101,5\r");
  EXPECT_EQ(Sent().size(), 4u);
  Timer(xarvel::kTimerForwardBuffer);
  EXPECT_EQ(Sent().size(), 4u);
  EXPECT_EQ(Field(xarvel::IDC_RX_COUNT), "00000006") << "dispatched commands are not counted again";
}

// A command from another process comes as a data message; a plain one carries no text and is
// answered without reading its lParam.
TEST_F(DialogCommandTest, CommandTextIsTakenOnlyFromTheMessagesBlock) {
  EXPECT_EQ(plat::DeliverPeerMessage(main_, xarvel::ZUT_COMMAND, 0, 0x1234, 0x4444), 1);
  EXPECT_EQ(xarvel::MainWnd().ReceivedCount, 0);
  std::string text = "RC 101 1 2 ',---' 0";
  std::vector<uint8_t> block(text.begin(), text.end());
  plat::DeliverDataMessage(main_, xarvel::ZUT_COMMAND, 0, block);
  EXPECT_EQ(xarvel::MainWnd().ReceivedCount, 1);
  EXPECT_EQ(Sent(), (std::vector<std::string>{".SA102,1\r"}));
}

// Whom the driver trusts, and whether it ends, is changed only by the interface window it found
// (or by this process); the same messages from any other process are refused. A peer's posted
// command waits in the queue and is still not read as a text when it is delivered.
TEST_F(DialogCommandTest, OnlyTheInterfaceChangesWhomTheDriverTrusts) {
  const plat::Hwnd stranger = 0x4444;
  plat::DeliverPeerMessage(main_, xarvel::ZUT_KAPIHANDLE, stranger, 0, stranger);
  plat::DeliverPeerMessage(main_, xarvel::ZUT_DeviceIDInUse, 101, 0, stranger);
  plat::DeliverPeerMessage(main_, xarvel::ZUT_CLOSE, 0, 0, stranger);
  ASSERT_TRUE(plat::PostPeerMessage(main_, xarvel::ZUT_COMMAND, 0, 0x1234, stranger));
  testing_support::SpinUntil([] { return false; }, 50);
  EXPECT_EQ(xarvel::Kapi().KapiWindow, kapi_.hwnd);
  EXPECT_EQ(xarvel::Kapi().DriverMode, xarvel::IFMODE_TXRX);
  EXPECT_FALSE(plat::QuitPosted());
  EXPECT_EQ(xarvel::MainWnd().ReceivedCount, 0);

  plat::DeliverPeerMessage(main_, xarvel::ZUT_DeviceIDInUse, 101, 0, kapi_.hwnd);
  EXPECT_EQ(xarvel::Kapi().DriverMode, xarvel::IFMODE_RXONLY);
  plat::DeliverPeerMessage(main_, xarvel::ZUT_KAPIHANDLE, 0x5555, 0, kapi_.hwnd);
  EXPECT_EQ(xarvel::Kapi().KapiWindow, 0x5555);
  // While none is known, the first interface to answer must name its own window.
  xarvel::Kapi().KapiWindow = plat::kNoWindow;
  plat::DeliverPeerMessage(main_, xarvel::ZUT_KAPIHANDLE, 0x6666, 0, stranger);
  EXPECT_EQ(xarvel::Kapi().KapiWindow, plat::kNoWindow);
  plat::DeliverPeerMessage(main_, xarvel::ZUT_KAPIHANDLE, stranger, 0, stranger);
  EXPECT_EQ(xarvel::Kapi().KapiWindow, stranger);
}

TEST_F(DialogCommandTest, WithoutForwardBufferDelayEveryCommandGoesAtOnceAndWhole) {
  const std::string text = "RC 101 1 2 '" + std::string(80, 'x') + "' 0";
  plat::SendMessage(main_, xarvel::ZUT_COMMAND, 0, reinterpret_cast<plat::LParam>(text.c_str()));
  EXPECT_EQ(Sent(), (std::vector<std::string>{".SA102,1\r"}));
  // Through the buffer only the first 64 characters remain: the access number is lost with the
  // end of the text and reads as 0.
  Profile().settings.ForwardBufferDelay = 200;
  Profile().settings.CrossPointsPerBufferDelay = 1;
  xarvel::Debug().DebugMode = 1;
  Profile().Access[0] = 0;
  Profile().Access[9] = 1;
  const std::string long_text = "RC 101 3 2 '" + std::string(80, 'x') + "' 9";
  plat::SendMessage(main_, xarvel::ZUT_COMMAND, 0,
                    reinterpret_cast<plat::LParam>(long_text.c_str()));
  Timer(xarvel::kTimerForwardBuffer);
  EXPECT_EQ(Sent().size(), 1u);
  EXPECT_TRUE(debug_.Contains("Parsing - [" + long_text.substr(0, 64) + "]"));
}
