#include "interface/kapisup.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "config/location.h"
#include "config/profile.h"
#include "core/main_window.h"
#include "driver_fixture.h"
#include "ids/window_ids.h"
#include "interface/messages.h"
#include "link/link_state.h"
#include "platform/dialog.h"
#include "platform/window.h"
#include "state/index_files.h"
#include "state/router_tables.h"
#include "test_support.h"
#include "tracing/debug.h"

namespace {

using testing_support::DebugCapture;
using testing_support::EnvGuard;
using testing_support::FakeKapi;
using testing_support::ResetAll;
using xarvel::Core;
using xarvel::Kapi;
using xarvel::Link;
using xarvel::Profile;

// (wParam, lParam) of the messages KAPI received, in order.
using PairList = std::vector<std::pair<plat::WParam, plat::LParam>>;

// The driver's main window and a dialog model for its display fields; KAPI is created by each
// test as it needs it.
class KapiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::EnsureQtApp();
    ResetAll();
    Profile().settings.Connection_Mode = 1;
    main_ = plat::CreateWindow(xarvel::MainWndProc, true);
    Core().MainWindow = main_;
    dialog_ = plat::CreateWindow([](plat::Hwnd, uint32_t, plat::WParam, plat::LParam) { return 0; },
                                 false);
    Core().MainDialog = dialog_;
  }
  void TearDown() override {
    ResetAll();
    // A shutdown queues the loop's exit on the application object; it must not end the loop of
    // a later test.
    QCoreApplication::removePostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
  }

  void Attach() {
    kapi_.Create();
    Kapi().KapiWindow = kapi_.hwnd;
  }

  static void DefineRouter(int index, int id) {
    Profile().routers[static_cast<size_t>(index)].DeviceId = id;
  }

  std::string Field(int id) const { return plat::GetDlgItemText(dialog_, id); }

  plat::LResult ToMain(uint32_t msg, plat::WParam w) { return plat::SendMessage(main_, msg, w, 0); }

  static PairList Params(const std::vector<FakeKapi::Call>& calls) {
    PairList out;
    for (const auto& c : calls) out.emplace_back(c.w, c.l);
    return out;
  }

  EnvGuard display_{"DISPLAY", std::nullopt};
  EnvGuard wayland_{"WAYLAND_DISPLAY", std::nullopt};
  DebugCapture debug_;
  FakeKapi kapi_;
  plat::Hwnd main_ = plat::kNoWindow;
  plat::Hwnd dialog_ = plat::kNoWindow;
};

TEST_F(KapiTest, LinkFindsKapiByBroadcast) {
  kapi_.Create();
  EXPECT_EQ(xarvel::KAPISup_Link(), 1);
  EXPECT_EQ(Kapi().KapiWindow, kapi_.hwnd);
  EXPECT_EQ(Params(kapi_.Sent(xarvel::ZUT_FINDKAPI)), (PairList{{main_, 4}}));
  EXPECT_TRUE(kapi_.Sent(xarvel::ZUT_FINDKAPI2).empty());
  EXPECT_TRUE(debug_.Contains("<xarvel>-Attached OK to KAPI\n"));
  EXPECT_FALSE(Core().ShutdownDone);
}

TEST_F(KapiTest, LinkTriesTheSecondBroadcast) {
  kapi_.answer_find = false;
  kapi_.Create();
  EXPECT_EQ(xarvel::KAPISup_Link(), 1);
  EXPECT_EQ(Kapi().KapiWindow, kapi_.hwnd);
  EXPECT_EQ(Params(kapi_.Sent(xarvel::ZUT_FINDKAPI2)), (PairList{{main_, 0}}));
}

TEST_F(KapiTest, LinkWithoutKapiShowsBoxAndShutsDown) {
  kapi_.answer_find = false;
  kapi_.answer_find2 = false;
  kapi_.Create();
  EXPECT_EQ(xarvel::KAPISup_Link(), 0);
  EXPECT_EQ(Kapi().KapiWindow, plat::kNoWindow);
  EXPECT_TRUE(debug_.Contains("<xarvel>-Failed to attach to KAPI\n"));
  EXPECT_TRUE(debug_.Contains("! Xarvel - Error !: Cannot find KIRN Interface KAPI.EXE"));
  EXPECT_TRUE(Core().ShutdownDone);
  EXPECT_TRUE(plat::QuitPosted());
}

TEST_F(KapiTest, InitRegistersEveryRouterAndTakesTheLastMode) {
  DefineRouter(0, 11);
  DefineRouter(3, 14);
  Attach();
  kapi_.dev_modes = {{11, xarvel::IFMODE_RXONLY}, {14, xarvel::IFMODE_TXRX}};

  EXPECT_EQ(xarvel::KAPISup_Init(), 1);
  EXPECT_EQ(Params(kapi_.Sent(xarvel::ZUT_REGISTER)), (PairList{{main_, 11}, {main_, 14}}));
  EXPECT_EQ(Params(kapi_.Sent(xarvel::ZUT_GETDEVMODE)), (PairList{{main_, 11}, {main_, 14}}));
  EXPECT_TRUE(debug_.Contains("Xarvel -- KAPISup_Init - get dev 11 txrx mode is 1 \n"));
  EXPECT_EQ(Kapi().DriverMode, xarvel::IFMODE_TXRX);
  EXPECT_EQ(Field(xarvel::IDC_MODE), "Tx/Rx");
  EXPECT_FALSE(Core().ShutdownDone);
}

TEST_F(KapiTest, InitStopsAtTheFirstRefusal) {
  DefineRouter(0, 11);
  DefineRouter(1, 12);
  DefineRouter(2, 13);
  Attach();
  kapi_.register_codes[12] = xarvel::kRegisterIdInUse;

  EXPECT_EQ(xarvel::KAPISup_Init(), 0);
  EXPECT_EQ(Params(kapi_.Sent(xarvel::ZUT_REGISTER)), (PairList{{main_, 11}, {main_, 12}}));
  EXPECT_EQ(Params(kapi_.Sent(xarvel::ZUT_GETDEVMODE)), (PairList{{main_, 11}}));
  EXPECT_TRUE(debug_.Contains(
      "! Xarvel - Error !: Request refused - Device Id already in use on this workstation - 12"));
  EXPECT_EQ(Kapi().DriverMode, xarvel::IFMODE_NONE);
  EXPECT_TRUE(debug_.Contains("<xarvel>-KAPISup_init has failed in some way - shutting down\n"));
  // The shutdown ran: its first step detaches from KAPI.
  EXPECT_EQ(Params(kapi_.Sent(xarvel::ZUT_DETACH)), (PairList{{main_, 0}}));
  EXPECT_TRUE(Core().ShutdownDone);
  EXPECT_TRUE(plat::QuitPosted());
}

struct Refusal {
  int code;
  const char* text;
};

class KapiRefusalTest : public KapiTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(KapiRefusalTest, EveryRefusalShutsDown) {
  DefineRouter(0, 21);
  Attach();
  kapi_.register_codes[21] = GetParam().code;
  EXPECT_EQ(xarvel::KAPISup_Init(), 0);
  EXPECT_TRUE(debug_.Contains(std::string("! Xarvel - Error !: ") + GetParam().text + " - 21"));
  EXPECT_TRUE(Core().ShutdownDone);
  const bool unknown_code = GetParam().code < 0 || GetParam().code > 3;
  EXPECT_EQ(debug_.Contains("<xarvel>-Failed to register device\n"), unknown_code);
}

INSTANTIATE_TEST_SUITE_P(
    KapiRegister, KapiRefusalTest,
    ::testing::Values(Refusal{1, "Request refused - ID supplied is invalid"},
                      Refusal{3, "Request refused - KAPI has not been enabled in Driver Mode"},
                      Refusal{7, "Request refused - Failed to register device"},
                      Refusal{-1, "Request refused - Failed to register device"}),
    // Stable names: the default would print the text pointer, which changes from run to run.
    [](const ::testing::TestParamInfo<Refusal>& info) {
      return "Code" + std::string(info.param.code < 0 ? "Minus" : "") +
             std::to_string(info.param.code < 0 ? -info.param.code : info.param.code);
    });

TEST_F(KapiTest, SetModeAssertsModeForEveryRouter) {
  DefineRouter(0, 11);
  DefineRouter(2, 13);
  Attach();

  EXPECT_EQ(ToMain(xarvel::ZUT_IDSETTXRXMODE, 0), xarvel::IFMODE_TXRX);
  EXPECT_EQ(Kapi().DriverMode, xarvel::IFMODE_TXRX);
  EXPECT_EQ(Params(kapi_.Sent(xarvel::ZUT_ASSERTMODE)), (PairList{{2, 11}, {2, 13}}));
  EXPECT_EQ(Field(xarvel::IDC_MODE), "Tx/Rx");
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE), " Driver now running in TX-RX mode");

  kapi_.calls.clear();
  EXPECT_EQ(ToMain(xarvel::ZUT_IDSETTXRXMODE, xarvel::IFMODE_RXONLYBROKEN),
            xarvel::IFMODE_RXONLYBROKEN);
  EXPECT_EQ(Kapi().DriverMode, xarvel::IFMODE_RXONLYBROKEN);
  EXPECT_EQ(Params(kapi_.Sent(xarvel::ZUT_ASSERTMODE)), (PairList{{5, 11}, {5, 13}}));
  // A serial link is left alone.
  EXPECT_EQ(Link().ComState, xarvel::kComUnconfirmed);
}

TEST_F(KapiTest, SetModeOverTcpForcesReconnection) {
  DefineRouter(0, 11);
  Attach();
  Profile().settings.Connection_Mode = 2;
  Link().ComState = xarvel::kComOk;
  Link().ActiveController = xarvel::kControllerA;
  Link().ConnStateA = 0;

  EXPECT_EQ(ToMain(xarvel::ZUT_IDSETTXRXMODE, xarvel::IFMODE_RXONLY), xarvel::IFMODE_RXONLY);
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE), "IPComms Forcing Reconnection to hardware");
  EXPECT_EQ(Link().ComState, xarvel::kComFailed);
  EXPECT_EQ(Link().ActiveController, xarvel::kControllerNone);
  EXPECT_EQ(Link().ConnStateA, 2);
  EXPECT_EQ(Link().ConnStateB, 2);
}

TEST_F(KapiTest, RequestForTxRxNeedsAWorkingLink) {
  Attach();
  Kapi().DriverMode = xarvel::IFMODE_RXONLY;
  for (int state : {xarvel::kComUnconfirmed, xarvel::kComFailed}) {
    Link().ComState = state;
    EXPECT_EQ(ToMain(xarvel::ZUT_REQDEVGOTXRX, xarvel::IFMODE_TXRX), 0);
    EXPECT_EQ(ToMain(xarvel::ZUT_INQDEVGOTXRX, 0), 0);
    EXPECT_EQ(Kapi().DriverMode, xarvel::IFMODE_RXONLY);
  }
  Link().ComState = xarvel::kComOk;
  EXPECT_EQ(ToMain(xarvel::ZUT_INQDEVGOTXRX, 0), 1);
  EXPECT_EQ(ToMain(xarvel::ZUT_REQDEVGOTXRX, xarvel::IFMODE_TXRX), 1);
  EXPECT_EQ(Kapi().DriverMode, xarvel::IFMODE_TXRX);
  // Going RX only on request is always refused.
  EXPECT_EQ(ToMain(xarvel::ZUT_REQDEVGORXONLY, 0), 0);
  EXPECT_EQ(Kapi().DriverMode, xarvel::IFMODE_TXRX);
}

TEST_F(KapiTest, ModeNoneAsksItsOwnWindowForTxRx) {
  DefineRouter(0, 11);
  DefineRouter(1, 12);
  Profile().CurrentRouter = 1;
  Attach();
  Kapi().DriverMode = xarvel::IFMODE_RXONLY;
  Link().ComState = xarvel::kComOk;

  // The nested ZUT_REQDEVGOTXRX runs SetTXRX(2) before the outer call returns.
  EXPECT_EQ(xarvel::SetTXRX(xarvel::IFMODE_NONE), xarvel::IFMODE_TXRX);
  EXPECT_EQ(Kapi().DriverMode, xarvel::IFMODE_TXRX);
  EXPECT_EQ(Params(kapi_.Sent(xarvel::ZUT_GETDEVMODE)), (PairList{{main_, 12}}));
  EXPECT_TRUE(debug_.Contains("ZZZpoint2 returns mode 2 for dev 12 \n"));
  EXPECT_EQ(Field(xarvel::IDC_MODE), "Tx/Rx");
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE), " Driver now running in TX-RX mode");

  // Without a working link the request is refused and the mode stays NONE.
  Link().ComState = xarvel::kComFailed;
  EXPECT_EQ(xarvel::SetTXRX(xarvel::IFMODE_NONE), xarvel::IFMODE_NONE);
  EXPECT_EQ(Field(xarvel::IDC_MODE), " - - - ");
}

TEST_F(KapiTest, ModeMessagesFromKapi) {
  Attach();
  Kapi().DriverMode = xarvel::IFMODE_TXRX;
  EXPECT_EQ(ToMain(xarvel::ZUT_DeviceIDInUse, 11), 0);
  EXPECT_EQ(Kapi().DriverMode, xarvel::IFMODE_RXONLY);
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE), " Driver now running in RX-only mode");

  const std::pair<int, const char*> shown[] = {
      {xarvel::IFMODE_RXONLY, "Rx Only"}, {xarvel::IFMODE_TXRX, "Tx/Rx"}, {4, "- -"}};
  for (const auto& [mode, text] : shown) {
    Kapi().DriverMode = mode;
    EXPECT_EQ(ToMain(xarvel::ZUT_IDGETTXRXMODE, 0), mode);
    EXPECT_EQ(Field(xarvel::IDC_MODE), text);
  }
}

class KapiRevertiveTest : public KapiTest {
 protected:
  void SetUp() override {
    KapiTest::SetUp();
    xarvel::RouterConfig& r = Profile().routers[0];
    r.DeviceId = 12;
    r.SourceCount = 500;
    r.DestCount = 8;
    r.TallyMemory.assign(2 * xarvel::kTableDests, 0);
    r.LockMemory.assign(xarvel::kTableDests, 0);
    r.MC1000LockMemory.assign(xarvel::kTableDests, 0);
    xarvel::SetTally(12, 3, 300);
    Attach();
    Kapi().DriverMode = xarvel::IFMODE_TXRX;
  }
};

TEST_F(KapiRevertiveTest, QueryReplyMarksOnlyTheLastText) {
  xarvel::SendRevertives(12, 1, 4, 2, 0x21);
  ASSERT_EQ(kapi_.texts.size(), 4u);
  const char* expected[] = {"RR 012 001 000", "RR 012 002 000", "RR 012 003 300", "RR 012 004 000"};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(kapi_.texts[i].msg, xarvel::ZUT_QUERYREPLY);
    EXPECT_EQ(kapi_.texts[i].text, expected[i]);
    EXPECT_EQ(kapi_.texts[i].param, i == 3 ? 0x8021 : 0x21);
  }
  EXPECT_EQ(Kapi().RevertiveCount, 4);
  EXPECT_EQ(Field(xarvel::IDC_TX_COUNT), "00000004");
}

TEST_F(KapiRevertiveTest, SingleRevertiveKeepsItsParameter) {
  xarvel::SendRevertives(12, 3, 3, 1, 0x21);
  ASSERT_EQ(kapi_.texts.size(), 1u);
  EXPECT_EQ(kapi_.texts[0].msg, xarvel::ZUT_REVERTIVE);
  EXPECT_EQ(kapi_.texts[0].param, 0x21);
  EXPECT_EQ(kapi_.texts[0].text, "RR 012 003 300");

  xarvel::SendRevertives(12, 4, 3, 2, 0);
  EXPECT_EQ(kapi_.texts.size(), 1u);
  EXPECT_EQ(Field(xarvel::IDC_TX_COUNT), "00000001");
}

TEST_F(KapiRevertiveTest, NothingIsSentOutsideTxRx) {
  for (int mode : {xarvel::IFMODE_RXONLY, xarvel::IFMODE_NONE, xarvel::IFMODE_FORCETXRX}) {
    Kapi().DriverMode = mode;
    xarvel::SendRevertives(12, 1, 4, 2, 0);
    xarvel::SendRevertives(12, 3, 3, 1, 0);
  }
  EXPECT_TRUE(kapi_.texts.empty());
  EXPECT_EQ(Kapi().RevertiveCount, 0);
  EXPECT_EQ(Field(xarvel::IDC_TX_COUNT), "");
}

}  // namespace
