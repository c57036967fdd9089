// The infodriver client and the lock infodriver link against an infodriver living in this
// process as a local window: connection outcomes, slot reads and writes, mode requests and
// following, disconnect, and the parsing and refusal of slot requests.
#include "interface/lock_infodriver.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "config/profile.h"
#include "core/main_window.h"
#include "driver_fixture.h"
#include "ids/window_ids.h"
#include "interface/ext_info_client.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
#include "platform/dialog.h"
#include "platform/window.h"
#include "test_support.h"
#include "tracing/debug.h"

namespace {

using testing_support::ResetAll;

using namespace xarvel;
using testing_support::DebugCapture;

struct FakeInfodriver {
  struct Call {
    uint32_t msg;
    plat::WParam w;
    plat::LParam l;
    std::string text;
  };
  plat::Hwnd hwnd = plat::kNoWindow;
  int device = 900;
  int mode = IFMODE_TXRX;
  int options_result = 0;
  bool fill_reads = false;            // answer reads with 256 bytes of text and no terminator
  std::function<void()> on_get_mode;  // runs inside the answer to ZUT_IDGETTXRXMODE
  std::map<int, std::string> texts;
  std::vector<Call> calls;

  void Create() {
    hwnd = plat::CreateWindow([this](plat::Hwnd h, uint32_t msg, plat::WParam w,
                                     plat::LParam l) { return Proc(h, msg, w, l); },
                              true);
  }
  plat::LResult Proc(plat::Hwnd self, uint32_t msg, plat::WParam w, plat::LParam l) {
    if (msg == ZUT_DATA) return plat::HandOffDataMessage(self, w, l);
    const bool data = msg == ZUT_SLOTWRITE || msg == ZUT_SLOTWRITE2 || msg == ZUT_SLOTREAD;
    calls.push_back({msg, w, l, data ? reinterpret_cast<const char*>(l) : ""});
    switch (msg) {
      case ZUT_FINDINFODRIVER:
        if ((l & 0xFFFF) == device) plat::SendMessage(w & 0xFFFF, ZUT_INFOHANDLE, self, 0);
        return 0;
      case ZUT_INFOOPTIONS:
        return options_result;
      case ZUT_SLOTWRITE:
      case ZUT_SLOTWRITE2:
        texts[static_cast<int>(w)] = reinterpret_cast<const char*>(l);
        return 1;
      case ZUT_SLOTREAD: {
        char* block = reinterpret_cast<char*>(l);
        const size_t size = plat::HandedOffBlockSize();
        if (fill_reads) {
          std::memset(block, 'x', size);
        } else {
          std::strncpy(block, texts[static_cast<int>(w)].c_str(), size - 1);
        }
        return 1;
      }
      case ZUT_IDGETTXRXMODE:
        if (on_get_mode) on_get_mode();
        return mode;
      case ZUT_IDSETTXRXMODE:
        mode = static_cast<int>(w);
        return mode;
      default:
        return 0;
    }
  }
  std::vector<Call> Sent(uint32_t msg) const {
    std::vector<Call> out;
    for (const Call& c : calls) {
      if (c.msg == msg) out.push_back(c);
    }
    return out;
  }
};

// Slots 1..16 are router A's destinations, 129..144 router B's (offset 128).
int TwoRouterMap(int lock_dest, int& router, int& dest) {
  if (lock_dest >= 1 && lock_dest <= 16) {
    router = 0;
    dest = lock_dest;
    return 1;
  }
  if (lock_dest >= 129 && lock_dest <= 144) {
    router = 1;
    dest = lock_dest - 128;
    return 1;
  }
  router = dest = -1;
  return 0;
}

class LockInfodriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::EnsureQtApp();
    ResetAll();
    Core().MainWindow = plat::CreateWindow(MainWndProc, true);
    dialog_ = plat::CreateWindow([](plat::Hwnd, uint32_t, plat::WParam, plat::LParam) { return 0; },
                                 false);
    Core().MainDialog = dialog_;
    Profile().settings.LockStatusInfodriverID = 900;
    LockInfo().FindDest = TwoRouterMap;
    LockInfo().LockChange = [this](int r, int d, int s) { changes_.emplace_back(r, d, s); };
    LockInfodriver_CreateClient();
  }
  void TearDown() override { ResetAll(); }
  ExtInfoClient& Client() { return *LockInfo().Client; }
  std::string Field(int id) const { return plat::GetDlgItemText(dialog_, id); }
  // Delivers a data message to the client's window as the interface library would.
  plat::LResult ToClient(uint32_t msg, int param, const std::string& text) {
    std::vector<uint8_t> block(text.begin(), text.end());
    block.push_back(0);
    return plat::DeliverDataMessage(Client().OwnWindow, msg, param, block);
  }

  DebugCapture debug_;
  FakeInfodriver info_;
  plat::Hwnd dialog_ = plat::kNoWindow;
  std::vector<std::tuple<int, int, int>> changes_;
};

using Changes = std::vector<std::tuple<int, int, int>>;

TEST_F(LockInfodriverTest, ConnectFindsTheInfodriverAndShowsOk) {
  info_.Create();
  EXPECT_EQ(INFO_connect(), 1);
  EXPECT_TRUE(LockInfodriver_Connected());
  EXPECT_EQ(Client().InfoWindow, info_.hwnd);
  EXPECT_EQ(Client().iStatus, kInfoStatusConnected);
  EXPECT_EQ(Field(IDC_LOCK_INFODRIVER), "900 - OK");
  EXPECT_TRUE(debug_.Contains(
      "<xarvel>- INFO_connect - ConnectToInfoDriver connected to OK to infodriver 900\n"));
  ASSERT_EQ(info_.Sent(ZUT_FINDINFODRIVER).size(), 1u);
  EXPECT_EQ(info_.Sent(ZUT_FINDINFODRIVER)[0].w, Client().OwnWindow);
  EXPECT_TRUE(info_.Sent(ZUT_INFOOPTIONS).empty()) << "no extras, no options";
}

TEST_F(LockInfodriverTest, ConnectFailuresAreReportedAndLeaveTheLinkDown) {
  info_.device = 901;  // answers for another device only
  info_.Create();
  EXPECT_EQ(INFO_connect(), 0);
  EXPECT_EQ(Client().iStatus, kInfoStatusNoWindow);
  EXPECT_EQ(Client().OwnWindow, plat::kNoWindow);
  EXPECT_EQ(Field(IDC_LOCK_INFODRIVER), "900 - FAIL");
  EXPECT_TRUE(debug_.Contains(" INFO_connect - FAILED - - Missing infodriver 900"));
  EXPECT_FALSE(LockInfodriver_Connected());

  EXPECT_EQ(Client().ConnectToInfoDriver(0, nullptr, 0, 0, 0, 0), kInfoStatusNoDevice);

  Profile().settings.LockStatusInfodriverID = 1000;
  info_.calls.clear();
  EXPECT_EQ(INFO_connect(), 0);
  EXPECT_TRUE(debug_.Contains("InfoConnect -- LockINfodriver number invalid"));
  EXPECT_TRUE(info_.calls.empty()) << "no broadcast for an invalid id";
}

TEST_F(LockInfodriverTest, RefusedOptionsFailTheConnection) {
  info_.options_result = -1;
  info_.Create();
  EXPECT_EQ(Client().ConnectToInfoDriver(900, nullptr, 1, 2, 3, 4), kInfoStatusNoWindow);
  ASSERT_EQ(info_.Sent(ZUT_INFOOPTIONS).size(), 1u);
  EXPECT_EQ(info_.Sent(ZUT_INFOOPTIONS)[0].l, (4 << 16) | 3);
}

TEST_F(LockInfodriverTest, UpdateSlotWritesOnlyChangedTextsWithTheSignChoosingTheMessage) {
  info_.Create();
  ASSERT_EQ(INFO_connect(), 1);
  EXPECT_EQ(Client().UpdateSlot(5, "%d", 255), 1);
  EXPECT_EQ(Client().UpdateSlot(5, "%d", 255), 0) << "same text: nothing sent";
  EXPECT_EQ(Client().UpdateSlot(-5, "%d", 0), 1);
  EXPECT_EQ(Client().SentCount, 2);
  const auto w1 = info_.Sent(ZUT_SLOTWRITE);
  const auto w2 = info_.Sent(ZUT_SLOTWRITE2);
  ASSERT_EQ(w1.size(), 1u);
  ASSERT_EQ(w2.size(), 1u);
  EXPECT_EQ(w1[0].w, 5);
  EXPECT_EQ(w1[0].text, "255");
  EXPECT_EQ(w2[0].w, 5) << "slot number made positive";
  EXPECT_EQ(info_.texts[5], "0");

  // Through the link: only while connected and for texts 1..4095.
  LockInfodriver_UpdateSlot(130, "1");
  LockInfodriver_UpdateSlot(4096, "1");
  LockInfodriver_UpdateSlot(0, "1");
  EXPECT_EQ(info_.texts.count(4096), 0u);
  EXPECT_EQ(info_.texts[130], "1");
  EXPECT_EQ(Client().SentCount, 3);
}

TEST_F(LockInfodriverTest, AnUnterminatedSlotReadStaysInsideTheBuffer) {
  info_.Create();
  ASSERT_EQ(INFO_connect(), 1);
  info_.fill_reads = true;
  char buffer[kSlotBufferSize + 8];
  std::memset(buffer, 'g', sizeof buffer);
  Client().ReadSlot(7, buffer);
  EXPECT_EQ(std::strlen(buffer), static_cast<size_t>(kSlotBufferSize - 1));
}

TEST_F(LockInfodriverTest, SetModeAsksForTheModeForValuesOutsideOneToThree) {
  info_.Create();
  ASSERT_EQ(INFO_connect(), 1);
  Client().SetTXRXMode(0);
  Client().SetTXRXMode(4);
  EXPECT_EQ(Client().Mode, 4);
  EXPECT_TRUE(info_.Sent(ZUT_IDSETTXRXMODE).empty());
  EXPECT_EQ(info_.Sent(ZUT_IDGETTXRXMODE).size(), 2u);
}

TEST_F(LockInfodriverTest, ModeRequestsAreDecidedByTheModeField) {
  info_.Create();
  ASSERT_EQ(Client().ConnectToInfoDriver(900, nullptr, 0, 0, 0, 0), kInfoStatusConnected);
  std::vector<std::string> notes;
  Client().SetNotifyFunc([&](ExtInfoClient*, int, const char* text) { notes.push_back(text); });
  struct Case {
    int mode;
    uint32_t msg;
    plat::LResult result;
    int status;  // -1: unchanged
    const char* note;
  };
  const Case cases[] = {
      {1, ZUT_REQDEVGORXONLY, 1, 7,
       "ZUT_REQDEVGORXONLY Device=900 Mode=IFMODE_RXONLY ~ Accepting request to go RX Only"},
      {3, ZUT_REQDEVGORXONLY, 0, 6,
       "ZUT_REQDEVGORXONLY Device=900 Mode=IFMODE_FORCETXRX ~ Denying request to go RX Only"},
      {6, ZUT_REQDEVGORXONLY, 1, 7, "Accepting request to go RX Only"},
      {9, ZUT_REQDEVGORXONLY, 1, -1, nullptr},
      {0, ZUT_REQDEVGOTXRX, 0, -1, nullptr},
      {5, ZUT_REQDEVGOTXRX, 1, 6,
       "ZUT_REQDEVGOTXRX Device=900 Mode=IFMODE_RXONLYBROKEN ~ Accepting request to go TXRX"},
      {7, ZUT_REQDEVGOTXRX, 1, 6, "Accepting request to go TXRX"},
      {0, ZUT_INQDEVGOTXRX, 0, 8,
       "ZUT_INQDEVGOTXRX Device=900 Mode=IFMODE_NONE ~ Denying inquiry to go TXRX"},
      {4, ZUT_INQDEVGOTXRX, 1, 8,
       "ZUT_INQDEVGOTXRX Device=900 Mode=IFMODE_TXRXINQ ~ Accepting inquiry to go TXRX"},
      {7, ZUT_INQDEVGOTXRX, 1, -1, nullptr},
      {8, ZUT_INQDEVGOTXRX, 0, -1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode) + " msg " + std::to_string(c.msg));
    notes.clear();
    Client().Mode = c.mode;
    Client().iStatus = 99;
    EXPECT_EQ(plat::SendMessage(Client().OwnWindow, c.msg, 0, 0), c.result);
    EXPECT_EQ(Client().iStatus, c.status == -1 ? 99 : c.status);
    EXPECT_EQ(notes, c.note ? std::vector<std::string>{c.note} : std::vector<std::string>{});
  }
}

TEST_F(LockInfodriverTest, TextsAreCutAndPlainMessagesCarryNoPointer) {
  info_.Create();
  ASSERT_EQ(INFO_connect(), 1);
  ToClient(ZUT_TEXT, 0, std::string(400, 't'));
  EXPECT_EQ(std::string(Client().TextBuffer.get()), std::string(299, 't'));
  // A slot change that arrives as a plain message (no data block) must not be read as one.
  EXPECT_EQ(plat::SendMessage(Client().OwnWindow, ZUT_SLOTCHANGE, 3, 0x1234), 0);
  EXPECT_EQ(plat::SendMessage(Client().OwnWindow, ZUT_TEXT, 0, 0x1234), 0);
  EXPECT_EQ(Client().ReceivedCount, 0);
  EXPECT_TRUE(changes_.empty());
}

TEST_F(LockInfodriverTest, SlotChangeNotificationReachesTheControllerLockChange) {
  info_.Create();
  ASSERT_EQ(INFO_connect(), 1);
  EXPECT_EQ(ToClient(ZUT_SLOTCHANGE, 131, "MC1000 0"), 1);
  EXPECT_EQ(changes_, (Changes{{1, 3, 0}}));
  EXPECT_EQ(Client().ReceivedCount, 1);
  EXPECT_TRUE(debug_.Contains("Slot change sscanf read 2 = MC1000 and 0  from MC1000 0 \n"));
  EXPECT_TRUE(info_.Sent(ZUT_SLOTWRITE).empty()) << "the request is never written back";
}

TEST_F(LockInfodriverTest, MalformedSlotRequestsAreRefusedWithTheirTexts) {
  const std::pair<const char*, const char*> refused[] = {
      {"LOCK 255", "SlotChange - invalid command LOCK 255 from slot 3 (3) "},
      {"MC1000", "SlotChange - invalid newstate -1 from slot 3 (3) "},
      {"MC1000 256", "SlotChange - invalid newstate 256 from slot 3 (3) "},
      {"MC1000 -1", "SlotChange - invalid newstate -1 from slot 3 (3) "},
      {"MC1000 99999999999999", "SlotChange - invalid newstate 2147483647 from slot 3 (3) "},
      {"", "Slot change sscanf read -1 =  and -1  from  "},
  };
  for (const auto& [text, trace] : refused) {
    SCOPED_TRACE(text);
    debug_.Clear();
    EXPECT_EQ(SlotChange(900, 3, text), 1);
    EXPECT_TRUE(debug_.Contains(trace)) << debug_.text();
  }
  EXPECT_EQ(SlotChange(900, 5000, "MC1000 1"), 1);
  EXPECT_TRUE(debug_.Contains("SlotChange - invalid dest 5000 \n"));
  EXPECT_TRUE(changes_.empty());

  // The word only has to contain MC1000; a sign and blanks are read as "%d" reads them.
  SlotChange(900, 16, "XMC1000Y 1");
  SlotChange(900, 1, "  MC1000\t+255");
  EXPECT_EQ(changes_, (Changes{{0, 16, 1}, {0, 1, 255}}));
}

TEST_F(LockInfodriverTest, ALongRequestIsCutTo255CharactersBeforeItIsRead) {
  // The state stands after character 255: once cut, the request has no state.
  const std::string text = "MC1000" + std::string(250, ' ') + "12" + std::string(42, 'z');
  ASSERT_EQ(text.size(), 300u);
  EXPECT_EQ(SlotChange(900, 3, text.c_str()), 1);
  EXPECT_TRUE(changes_.empty());
  EXPECT_TRUE(debug_.Contains("invalid newstate -1 from slot 3 (3)"));
  EXPECT_TRUE(debug_.Contains("from MC1000" + std::string(249, ' ') + " \n"));
}

TEST_F(LockInfodriverTest, CloseFromTheInfodriverTakesTheLinkDown) {
  info_.Create();
  ASSERT_EQ(INFO_connect(), 1);
  Profile().settings.PollForMC1000LockStatus = 1;
  plat::CheckMenuItem(Core().MainWindow, IDM_LOCK_POLL, true);
  // Another process cannot close the link, nor put its own window in the infodriver's place.
  const plat::Hwnd stranger = 0x4444;
  plat::DeliverPeerMessage(Client().OwnWindow, ZUT_CLOSE, 0, 0, stranger);
  plat::DeliverPeerMessage(Client().OwnWindow, ZUT_INFOHANDLE, stranger, 0, stranger);
  plat::DeliverPeerMessage(Client().OwnWindow, ZUT_DeviceIDInUse, 900, 0, stranger);
  EXPECT_TRUE(LockInfodriver_Connected());
  EXPECT_EQ(Client().InfoWindow, info_.hwnd);
  EXPECT_EQ(Client().iStatus, kInfoStatusConnected);
  EXPECT_EQ(plat::DeliverPeerMessage(Client().OwnWindow, ZUT_CLOSE, 0, 0, info_.hwnd), 0);
  EXPECT_FALSE(LockInfodriver_Connected());
  EXPECT_EQ(Field(IDC_MESSAGE), "Info_Notify ERROR - - - Lock Infodriver 900 has disconnected");
  EXPECT_TRUE(debug_.Contains("Info_Notify ERROR - - - Lock Infodriver 900 has disconnected"));
  EXPECT_EQ(Profile().settings.PollForMC1000LockStatus, 0);
  EXPECT_FALSE(plat::IsMenuItemChecked(Core().MainWindow, IDM_LOCK_POLL));
  EXPECT_EQ(Field(IDC_LOCK_POLL), " ");
  EXPECT_FALSE(plat::IsWindowEnabled(dialog_, IDC_MC1000_LOCK));
  EXPECT_EQ(Field(IDC_LOCK_INFODRIVER), "DISCONNECT");
  LockInfodriver_UpdateSlot(5, "1");
  EXPECT_TRUE(info_.Sent(ZUT_SLOTREAD).empty()) << "no slot traffic after the disconnect";
}

TEST_F(LockInfodriverTest, CheckInfoDriverForcesOnlyRxOnlyOrTxRx) {
  info_.Create();
  ASSERT_EQ(INFO_connect(), 1);
  Kapi().DriverMode = IFMODE_TXRX;
  CheckInfoDriver();  // same mode: nothing sent, field unchanged
  EXPECT_TRUE(info_.Sent(ZUT_IDSETTXRXMODE).empty());
  EXPECT_EQ(Field(IDC_LOCK_INFODRIVER), "900 - OK");

  Kapi().DriverMode = IFMODE_RXONLY;
  CheckInfoDriver();
  ASSERT_EQ(info_.Sent(ZUT_IDSETTXRXMODE).size(), 1u);
  EXPECT_EQ(info_.Sent(ZUT_IDSETTXRXMODE)[0].w, IFMODE_RXONLY);
  EXPECT_EQ(Client().Mode, kModeChangedToRxOnly);
  EXPECT_EQ(Field(IDC_LOCK_INFODRIVER), "900 Rxonly");
  EXPECT_TRUE(debug_.Contains("CheckInfoDriver - Forcing into RXONLY mode same as driver "));

  Kapi().DriverMode = IFMODE_NONE;
  CheckInfoDriver();
  EXPECT_EQ(info_.Sent(ZUT_IDSETTXRXMODE).size(), 1u) << "mode 0 forces nothing";
  EXPECT_EQ(Field(IDC_LOCK_INFODRIVER), "900 Rxonly") << "but the field is refreshed";
  info_.mode = 4;
  CheckInfoDriver();
  EXPECT_EQ(Field(IDC_LOCK_INFODRIVER), "");

  // The driver's own mode changes carry the infodriver along.
  LockInfodriver_FollowMode(IFMODE_TXRX);
  EXPECT_EQ(info_.mode, IFMODE_TXRX);
  EXPECT_EQ(Client().Mode, kModeChangedToTxRx);
  EXPECT_EQ(Field(IDC_LOCK_INFODRIVER), "900 TXRX");
}

TEST_F(LockInfodriverTest, CloseLeavesTheInfodriverInRxOnlyAndDetaches) {
  info_.Create();
  ASSERT_EQ(INFO_connect(), 1);
  const plat::Hwnd own = Client().OwnWindow;
  info_.calls.clear();
  LockInfodriver_Close();
  ASSERT_EQ(info_.calls.size(), 2u);
  EXPECT_EQ(info_.calls[0].msg, ZUT_IDSETTXRXMODE);
  EXPECT_EQ(info_.calls[0].w, IFMODE_RXONLY);
  EXPECT_EQ(info_.calls[1].msg, ZUT_INFODETACH);
  EXPECT_EQ(info_.calls[1].l, 900);
  EXPECT_FALSE(plat::IsLocalWindow(own));
  EXPECT_EQ(LockInfo().Client, nullptr);
  LockInfodriver_Close();  // a second close finds nothing to do
}

TEST_F(LockInfodriverTest, AShutdownNestedInAModeQuestionLeavesTheOuterCallSafe) {
  info_.Create();
  ASSERT_EQ(INFO_connect(), 1);
  // The driver's shutdown arrives while it waits for the infodriver's answer.
  info_.on_get_mode = [this] {
    info_.on_get_mode = nullptr;
    LockInfodriver_Close();
  };
  info_.calls.clear();
  Kapi().DriverMode = IFMODE_RXONLY;
  CheckInfoDriver();
  std::vector<uint32_t> msgs;
  for (const auto& c : info_.calls) msgs.push_back(c.msg);
  EXPECT_EQ(msgs, (std::vector<uint32_t>{ZUT_IDGETTXRXMODE, ZUT_IDSETTXRXMODE, ZUT_INFODETACH}))
      << "after the close the outer call sends nothing more";
}

}  // namespace
