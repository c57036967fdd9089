// The link supervisor against controllers in this process: TCP servers on loopback addresses and
// a pseudo-terminal standing in for the serial line. The driver's main window, a dialog model
// and a KAPI stand-in observe what the supervisor shows and asks for.
#include "link/comsup.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "config/profile.h"
#include "core/main_window.h"
#include "driver_fixture.h"
#include "ids/window_ids.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
#include "link/link_counters.h"
#include "link/link_state.h"
#include "link/link_wiring.h"
#include "link/send_window.h"
#include "platform/dialog.h"
#include "state/router_tables.h"
#include "test_support.h"

namespace {

using testing_support::SpinUntil;
using xarvel::Link;
using xarvel::Profile;

// A controller on a TCP address: accepts connections, keeps what it receives, answers on the
// latest connection.
class Controller {
 public:
  bool Listen(const char* address, quint16 port) {
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* s = server_.nextPendingConnection()) {
        ++accepted_;
        QObject::connect(s, &QTcpSocket::readyRead, [this, s] {
          const std::string bytes = s->readAll().toStdString();
          received_ += bytes;
          if (s == latest_) latest_received_ += bytes;
          if (answer_) Answer(s, bytes);
        });
        latest_ = s;
        latest_received_.clear();
      }
    });
    return server_.listen(QHostAddress(address), port);
  }
  quint16 Port() const { return server_.serverPort(); }
  void Reply(const std::string& text) {
    ASSERT_NE(latest_, nullptr);
    latest_->write(text.data(), static_cast<qint64>(text.size()));
    latest_->flush();
  }
  bool Open() const {
    return latest_ != nullptr && latest_->state() == QAbstractSocket::ConnectedState;
  }
  int accepted() const { return accepted_; }
  const std::string& received() const { return received_; }
  // What the latest connection has received.
  const std::string& latest() const { return latest_received_; }
  // Answers every route with its report and every interrogate with source 7, as a controller
  // does.
  void AnswerAll() { answer_ = true; }

 private:
  static void Answer(QTcpSocket* s, const std::string& bytes) {
    for (size_t at = 0, cr; (cr = bytes.find('\r', at)) != std::string::npos; at = cr + 1) {
      const std::string c = bytes.substr(at, cr - at);
      std::string reply;
      if (c.rfind(".S", 0) == 0) reply = ".U" + c.substr(2) + "\r";
      if (c.rfind(".I", 0) == 0) reply = ".A" + c.substr(2) + ",7\r";
      s->write(reply.data(), static_cast<qint64>(reply.size()));
    }
  }

  QTcpServer server_;
  QTcpSocket* latest_ = nullptr;
  int accepted_ = 0;
  bool answer_ = false;
  std::string received_;
  std::string latest_received_;
};

// A port on 127.0.0.1 whose connects never complete: its accept queue (length 0) is held full
// by one connection that is never accepted, so the system ignores further connection requests.
class StuckPort {
 public:
  StuckPort() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(listen_, 0) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return;
    }
    filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(filler_, reinterpret_cast<sockaddr*>(&a), len) == 0) port_ = ntohs(a.sin_port);
  }
  ~StuckPort() {
    ::close(filler_);
    ::close(listen_);
  }
  StuckPort(const StuckPort&) = delete;
  StuckPort& operator=(const StuckPort&) = delete;
  quint16 Port() const { return port_; }

 private:
  int listen_ = -1;
  int filler_ = -1;
  quint16 port_ = 0;
};

class ComSupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::EnsureQtApp();
    testing_support::ResetAll();
    xarvel::Settings& s = Profile().settings;
    s.MaxUnACKedRoutesBeforeCommsFail = 5;
    s.ResyncOnConnect = 0;
    s.IP_Address_A = "127.0.0.1";
    s.IP_Address_B = "127.0.0.2";
    testing_support::AddRouter(0, 101, 16, 16);
    main_ = plat::CreateWindow(xarvel::MainWndProc, true);
    xarvel::Core().MainWindow = main_;
    dialog_ = plat::CreateWindow([](plat::Hwnd, uint32_t, plat::WParam, plat::LParam) { return 0; },
                                 false);
    xarvel::Core().MainDialog = dialog_;
    kapi_.Create();
    xarvel::Kapi().KapiWindow = kapi_.hwnd;
    xarvel::Kapi().DriverMode = xarvel::IFMODE_TXRX;
  }
  void TearDown() override {
    testing_support::ResetAll();
    QCoreApplication::removePostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
  }

  void UseTcp(quint16 port, bool dual) {
    Profile().settings.Connection_Mode = 2;
    Profile().settings.IP_Port = port;
    Profile().settings.Dual_Controllers = dual ? 1 : 0;
  }

  static void Send(int n) {
    for (int i = 0; i < n; ++i) xarvel::SendData(".IA1\r", 5);
  }
  // Route `source` to `dest` on router A (device 101), as the encoder sends it.
  static void Route(int dest, int source) {
    const std::string text = ".SA" + std::to_string(dest) + "," + std::to_string(source) + "\r";
    xarvel::SendData(text.c_str(), static_cast<int>(text.size()),
                     xarvel::CommandOrigin{xarvel::RouteOrigin{101, dest, source}});
  }
  static uint64_t Dropped(xarvel::DropReason reason) {
    return xarvel::LinkCount().Dropped[static_cast<size_t>(reason)];
  }

  std::string Field(int id) const { return plat::GetDlgItemText(dialog_, id); }

  std::vector<int> Asserted() const {
    std::vector<int> modes;
    for (const auto& c : kapi_.Sent(xarvel::ZUT_ASSERTMODE)) modes.push_back(static_cast<int>(c.w));
    return modes;
  }

  testing_support::DebugCapture debug_;
  testing_support::FakeKapi kapi_;
  plat::Hwnd main_ = plat::kNoWindow;
  plat::Hwnd dialog_ = plat::kNoWindow;
};

TEST_F(ComSupTest, SingleControllerIsConfirmedByItsFirstRouteReport) {
  Controller a;
  ASSERT_TRUE(a.Listen("127.0.0.1", 0));
  UseTcp(a.Port(), false);
  // What an earlier run of the link left is forgotten: the link starts from nothing.
  Link().ActiveController = xarvel::kControllerB;
  Link().ResetCountA = 4;
  ASSERT_EQ(xarvel::ComSup_Init(), 1);
  EXPECT_NE(Link().ActiveController, xarvel::kControllerB);
  EXPECT_EQ(Link().ResetCountA, 0);
  ASSERT_TRUE(SpinUntil([] { return Link().ActiveController == xarvel::kControllerA; }, 5000));
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "Connected OK");
  EXPECT_EQ(Field(xarvel::IDC_ACTIVE_CONTROLLER), "A");
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE), " Connected to and Using Controller A ");
  EXPECT_EQ(Link().ComState, xarvel::kComUnconfirmed);

  Send(2);
  ASSERT_TRUE(SpinUntil([&] { return a.received().size() == 10; }, 5000));
  EXPECT_EQ(a.received(), ".IA1\r.IA1\r");
  // A bare acknowledgement answers the oldest command: the command path works. It clears no
  // count of unanswered commands, a route report does.
  a.Reply(".A\r");
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComOk; }, 5000));
  EXPECT_EQ(Link().UnAckedCount, 2);
  EXPECT_EQ(xarvel::ComSup_Outstanding(), 1);
  a.Reply(".AA1,3\r\n");
  ASSERT_TRUE(SpinUntil([] { return Link().UnAckedCount == 0; }, 5000));
  EXPECT_EQ(xarvel::ComSup_Outstanding(), 0);
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "Connected Ok");
  EXPECT_EQ(Field(xarvel::IDC_RESETS_A), "1");
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE), " ");
  EXPECT_EQ(xarvel::GetTally(101, 1), 3);
}

// A route report entry answers the oldest outstanding command of its level and destination;
// at most the unACK limit - 1 are outstanding, and commands no report answers keep their place
// in the queue but take no slot.
TEST_F(ComSupTest, CommandsArePacedByTheWindowInQueueOrder) {
  Profile().settings.MaxUnACKedRoutesBeforeCommsFail = 3;  // two outstanding
  Controller a;
  ASSERT_TRUE(a.Listen("127.0.0.1", 0));
  UseTcp(a.Port(), false);
  xarvel::ComSup_Init();
  ASSERT_TRUE(SpinUntil([] { return Link().ActiveController == xarvel::kControllerA; }, 5000));
  Route(1, 1);
  Route(2, 1);
  xarvel::SendData(".BL5\r", 5);
  Route(3, 1);
  xarvel::SendData(".BI5\r", 5);
  ASSERT_TRUE(SpinUntil([&] { return a.received() == ".SA1,1\r.SA2,1\r.BL5\r"; }, 5000));
  EXPECT_EQ(xarvel::ComSup_Outstanding(), 2);
  EXPECT_EQ(xarvel::ComSup_QueueDepth(), 2);
  a.Reply(".UA7,1\r");  // a front-panel change answers nothing
  a.Reply(".UA2,1\r");
  ASSERT_TRUE(SpinUntil([&] { return a.received().size() == 31; }, 5000));
  // (A probe may follow later, should the test be slow: only the first 31 bytes are the window's.)
  EXPECT_EQ(a.received().substr(0, 31), ".SA1,1\r.SA2,1\r.BL5\r.SA3,1\r.BI5\r");
  EXPECT_EQ(xarvel::ComSup_Outstanding(), 2);
  a.Reply(".UA1,1 A3,1\r");
  ASSERT_TRUE(SpinUntil([] { return xarvel::ComSup_Outstanding() == 0; }, 5000));
  EXPECT_EQ(xarvel::LinkCount().RouteReportLatency.count, 3u);
  EXPECT_EQ(xarvel::ComSup_QueueDepth(), 0);
}

// A burst is no failure; silence for the reply timeout is. The commands the silent controller
// had not answered go to the next connection, one at a time until a route report comes.
TEST_F(ComSupTest, SilenceFailsTheLinkAndTheUnansweredGoToTheNextConnection) {
  Profile().settings.ReplyTimeoutMs = 200;
  Controller a;
  ASSERT_TRUE(a.Listen("127.0.0.1", 0));
  UseTcp(a.Port(), false);
  xarvel::ComSup_Init();
  ASSERT_TRUE(SpinUntil([] { return Link().ActiveController == xarvel::kControllerA; }, 5000));
  Send(1);
  ASSERT_TRUE(SpinUntil([&] { return a.received() == ".IA1\r"; }, 5000));
  a.Reply(".AA1,3\r");
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComOk; }, 5000));

  // A single command the controller ignores is given up while it answers the others, and the
  // probe (the destination it answered last) shows it alive meanwhile.
  xarvel::SendData(".IA9\r", 5);
  Send(1);
  a.Reply(".AA1,3\r");
  ASSERT_TRUE(SpinUntil([&] { return a.received() == ".IA1\r.IA9\r.IA1\r.IA1\r"; }, 5000));
  a.Reply(".AA1,3\r");
  ASSERT_TRUE(SpinUntil([] { return Dropped(xarvel::kDropUnanswered) == 1; }, 5000));
  EXPECT_EQ(Link().ComState, xarvel::kComOk);

  const auto start = std::chrono::steady_clock::now();
  for (int d = 1; d <= 10; ++d) Route(d, 2);
  EXPECT_EQ(xarvel::ComSup_Outstanding(), 4);
  EXPECT_EQ(Link().ComState, xarvel::kComOk);
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComFailed; }, 5000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(xarvel::LinkCount().LinkFailures, 1u);
  EXPECT_EQ(Field(xarvel::IDC_ANSWER), "  ");
  ASSERT_TRUE(SpinUntil([&] { return a.accepted() == 2 && a.latest() == ".SA1,2\r"; }, 5000));

  // Failed already: more silence leaves this connection too, after a longer pause.
  ASSERT_TRUE(SpinUntil([&] { return a.accepted() == 3 && a.latest() == ".SA1,2\r"; }, 8000));
  EXPECT_EQ(Dropped(xarvel::kDropUnanswered), 1u);
  a.Reply(".UA1,2\r");  // the route's own report: OK again, the whole window
  ASSERT_TRUE(SpinUntil([&] { return a.latest().size() == 5 * 7; }, 5000));
  EXPECT_EQ(a.latest().substr(0, 35), ".SA1,2\r.SA2,2\r.SA3,2\r.SA4,2\r.SA5,2\r");
  EXPECT_EQ(Link().ComState, xarvel::kComOk);
  EXPECT_EQ(Field(xarvel::IDC_RESETS_A), "2");
  EXPECT_EQ(xarvel::Kapi().DriverMode, xarvel::IFMODE_TXRX);
}

// A controller that falls silent in the middle of a salvo has ignored none of its commands: the
// answer heard last was to an older one. Every command it had not answered goes to the next
// connection, the oldest first, and none is given up on its own.
TEST_F(ComSupTest, SilenceInTheMiddleOfASalvoGivesUpNoCommandOnItsOwn) {
  Profile().settings.ReplyTimeoutMs = 200;
  Controller a;
  ASSERT_TRUE(a.Listen("127.0.0.1", 0));
  UseTcp(a.Port(), false);
  xarvel::ComSup_Init();
  ASSERT_TRUE(SpinUntil([] { return Link().ActiveController == xarvel::kControllerA; }, 5000));
  for (int d = 1; d <= 6; ++d) Route(d, 2);
  ASSERT_TRUE(SpinUntil([&] { return a.received().size() == 4 * 7; }, 5000));
  // The answer to the first comes well after the others were written; then nothing more.
  SpinUntil([] { return false; }, 50);
  a.Reply(".UA1,2\r");
  ASSERT_TRUE(SpinUntil([&] { return a.received().size() == 5 * 7; }, 5000));
  ASSERT_TRUE(SpinUntil([&] { return a.accepted() == 2 && a.latest().size() >= 7; }, 5000));
  EXPECT_EQ(a.latest().substr(0, 7), ".SA2,2\r");
  EXPECT_EQ(Dropped(xarvel::kDropUnanswered), 0u);
  EXPECT_EQ(xarvel::LinkCount().LinkFailures, 1u);
}

TEST_F(ComSupTest, CommandsWithoutAnActiveControllerWaitAndStartAttempts) {
  UseTcp(1, false);  // nothing listens on port 1
  Send(1);
  EXPECT_EQ(xarvel::ComSup_QueueDepth(), 1);
  EXPECT_TRUE(debug_.Contains("SendData - Controller UNKNOWN - ERROR Status"));
  EXPECT_TRUE(debug_.Contains("ComSUp_IpConnect - trying to connect to server A"));
  ASSERT_TRUE(SpinUntil([&] { return Field(xarvel::IDC_LINK_STATUS) == "Disconnected!"; }, 5000));
  EXPECT_EQ(Link().ActiveController, xarvel::kControllerNone);
  EXPECT_TRUE(debug_.Contains("MC1000 driver - Net A FD Connected fail status="));
}

TEST_F(ComSupTest, OnlyControllerBReachableBecomesActiveAndIsConfirmed) {
  Controller b;
  ASSERT_TRUE(b.Listen("127.0.0.2", 0));
  UseTcp(b.Port(), true);  // nothing listens on 127.0.0.1 at that port
  xarvel::ComSup_Init();
  ASSERT_TRUE(SpinUntil([] { return Link().ActiveController == xarvel::kControllerB; }, 5000));
  EXPECT_EQ(Field(xarvel::IDC_ACTIVE_CONTROLLER), "B");
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE), " Connected to and Using Controller B ");
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS2), "Connected OK");
  Send(1);
  ASSERT_TRUE(SpinUntil([&] { return b.received() == ".IA1\r"; }, 5000));
  b.Reply(".AA1,3\r");
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComOk; }, 5000));
  EXPECT_EQ(Field(xarvel::IDC_RESETS_B), "1");
}

TEST_F(ComSupTest, FirstOfTwoControllersToConnectIsUsedAndTheOtherClosed) {
  Controller a;
  ASSERT_TRUE(a.Listen("127.0.0.1", 0));
  Controller b;
  ASSERT_TRUE(b.Listen("127.0.0.2", a.Port()));
  UseTcp(a.Port(), true);
  xarvel::ComSup_Init();
  ASSERT_TRUE(SpinUntil([] { return Link().ActiveController != xarvel::kControllerNone; }, 5000));
  const bool a_won = Link().ActiveController == xarvel::kControllerA;
  EXPECT_EQ(Field(a_won ? xarvel::IDC_LINK_STATUS2 : xarvel::IDC_LINK_STATUS), "DisConnected");
  EXPECT_EQ(a_won ? Link().ConnStateB : Link().ConnStateA, 2);
  // Commands go to the winner only.
  Send(1);
  Controller& winner = a_won ? a : b;
  Controller& loser = a_won ? b : a;
  ASSERT_TRUE(SpinUntil([&] { return winner.received() == ".IA1\r"; }, 5000));
  EXPECT_EQ(loser.received(), "");
}

TEST_F(ComSupTest, ActiveControllerClosingFailsTheLinkAndTheNextCommandFailsOver) {
  auto a = std::make_unique<Controller>();
  ASSERT_TRUE(a->Listen("127.0.0.1", 0));
  const quint16 port = a->Port();
  UseTcp(port, true);  // B is not there yet
  xarvel::ComSup_Init();
  ASSERT_TRUE(SpinUntil([] { return Link().ActiveController == xarvel::kControllerA; }, 5000));
  Send(1);
  ASSERT_TRUE(SpinUntil([&] { return a->received() == ".IA1\r"; }, 5000));
  a->Reply(".AA1,3\r");
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComOk; }, 5000));

  Controller b;
  ASSERT_TRUE(b.Listen("127.0.0.2", port));
  a.reset();  // controller A goes away with its connection
  ASSERT_TRUE(SpinUntil([] { return Link().ActiveController == xarvel::kControllerNone; }, 5000));
  EXPECT_EQ(Link().ComState, xarvel::kComFailed);
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "DisConnected");
  EXPECT_EQ(Field(xarvel::IDC_ACTIVE_CONTROLLER), " ");
  EXPECT_TRUE(debug_.Contains("MC1000 driver - Net A FD Close \n"));

  // Commands while no controller is active are held and start attempts at both; the one that
  // connects receives them in order, one at a time until its first route report, then the
  // commands that follow.
  xarvel::SendData(".SA1,4\r", 7);
  xarvel::SendData(".IA1\r", 5);
  EXPECT_EQ(xarvel::ComSup_QueueDepth(), 2);
  ASSERT_TRUE(SpinUntil([] { return Link().ActiveController == xarvel::kControllerB; }, 5000));
  ASSERT_TRUE(SpinUntil([&] { return b.received() == ".SA1,4\r"; }, 5000));
  b.Reply(".AA1,4\r");
  ASSERT_TRUE(SpinUntil([&] { return b.received() == ".SA1,4\r.IA1\r"; }, 5000));
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComOk; }, 5000));
  EXPECT_EQ(xarvel::GetTally(101, 1), 4);
  Route(2, 5);
  ASSERT_TRUE(SpinUntil([&] { return b.received() == ".SA1,4\r.IA1\r.SA2,5\r"; }, 5000));
}

// Commands wait for a controller while one may still come: the hold runs from the loss of the
// connection, not from each command's arrival, and the queue is bounded. The link is handed a
// clock of the test's, so the hold passes without being waited for.
TEST_F(ComSupTest, WaitingCommandsAreBoundedAndDroppedAfterTheHold) {
  StuckPort stuck;  // A's connect stays pending
  ASSERT_NE(stuck.Port(), 0);
  UseTcp(stuck.Port(), false);
  int64_t now_us = 1'000'000'000;
  xarvel::LinkWiring().now_us = [&now_us] { return now_us; };
  xarvel::ComSup_Init();
  now_us += 1'000'000;  // a command that comes later does not start the hold again
  for (size_t k = 0; k < xarvel::kSendQueueMax + 2; ++k) Route(static_cast<int>(k % 16 + 1), 3);
  EXPECT_EQ(xarvel::ComSup_QueueDepth(), static_cast<int>(xarvel::kSendQueueMax));
  EXPECT_EQ(Dropped(xarvel::kDropQueueFull), 2u);
  EXPECT_EQ(debug_.Count("ROUTE 101 1 3 dropped queue_full"), 1);
  EXPECT_EQ(debug_.Count("ROUTE 101 2 3 dropped queue_full"), 1);

  now_us += xarvel::kHoldMs * 1000 - 1'000'000 - 1;
  xarvel::ComSup_Timer();
  EXPECT_EQ(xarvel::ComSup_QueueDepth(), static_cast<int>(xarvel::kSendQueueMax));
  now_us += 1;
  xarvel::ComSup_Timer();
  EXPECT_EQ(xarvel::ComSup_QueueDepth(), 0);
  EXPECT_EQ(Dropped(xarvel::kDropHeldTooLong), xarvel::kSendQueueMax);
}

TEST_F(ComSupTest, UnreachableControllerIsRetriedWithoutNewClosesAndZeroAddressIsNeverUsed) {
  // "0.0.0.0" is no address: its connect fails at once, even with a listener on this machine.
  Controller local;
  ASSERT_TRUE(local.Listen("127.0.0.1", 0));
  UseTcp(local.Port(), false);
  Profile().settings.IP_Address_A = "0.0.0.0";
  for (int i = 0; i < 3; ++i) {
    Send(1);
    ASSERT_TRUE(
        SpinUntil([&] { return debug_.Count("Net A FD Connected fail status=99") > i; }, 5000));
  }
  SpinUntil([] { return false; }, 100);
  EXPECT_EQ(local.accepted(), 0);
  EXPECT_EQ(Link().ActiveController, xarvel::kControllerNone);
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "Disconnected!");

  // A connected controller goes away: one close. Its address then never answers a connect, and
  // every retry re-opens the pending attempt; none of them is reported as another close.
  {
    Controller a;
    ASSERT_TRUE(a.Listen("127.0.0.1", 0));
    Profile().settings.IP_Address_A = "127.0.0.1";
    Profile().settings.IP_Port = a.Port();
    Send(1);
    ASSERT_TRUE(SpinUntil([] { return Link().ActiveController == xarvel::kControllerA; }, 5000));
  }
  ASSERT_TRUE(SpinUntil([] { return Link().ActiveController == xarvel::kControllerNone; }, 5000));
  StuckPort stuck;
  ASSERT_NE(stuck.Port(), 0);
  Profile().settings.IP_Port = stuck.Port();
  xarvel::Dlg_SetText(xarvel::IDC_LINK_STATUS, "seen");
  for (int i = 0; i < 6; ++i) {
    Send(1);
    SpinUntil([] { return false; }, 20);
  }
  EXPECT_EQ(debug_.Count("MC1000 driver - Net A FD Close"), 1);
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "seen");
  EXPECT_GE(debug_.Count("ComSUp_IpConnect - trying to connect to server A"), 6);
}

TEST_F(ComSupTest, ResetCounterWrapsAfter9999) {
  Link().ResetCountA = 9999;
  Profile().settings.Connection_Mode = 1;
  xarvel::ComSup_SetComState(xarvel::kComOk);
  EXPECT_EQ(Field(xarvel::IDC_RESETS_A), "1");
  xarvel::ComSup_SetComState(xarvel::kComFailed);
  xarvel::ComSup_SetComState(xarvel::kComOk);
  EXPECT_EQ(Field(xarvel::IDC_RESETS_A), "2");
}

// A pseudo-terminal as serial port 1 of the driver.
class SerialLinkTest : public ComSupTest {
 protected:
  void SetUp() override {
    ComSupTest::SetUp();
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    std::filesystem::create_symlink(::ptsname(master_), dir_.path() / "COM1");
    xarvel::Settings& s = Profile().settings;
    s.Connection_Mode = 1;
    s.Com = 1;
    s.Speed = 38400;
    s.DataBits = 8;
    s.StopBits = 1;
    s.Parity = 'n';
    s.MaxUnACKedRoutesBeforeCommsFail = 3;
  }
  void TearDown() override {
    xarvel::ComSup_CloseComm();
    ComSupTest::TearDown();
    if (master_ >= 0) ::close(master_);
  }
  // Writes `text` as the controller; the destinations its entries name are answered from now on.
  void Reply(const std::string& text) {
    ASSERT_EQ(::write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    for (size_t at = 0; (at = text.find_first_of("AU", at)) != std::string::npos; ++at) {
      const size_t comma = text.find(',', at);
      if (at + 1 < text.size() && text[at + 1] >= 'A' && text[at + 1] <= 'Z' &&
          comma != std::string::npos) {
        answered_.insert(".I" + text.substr(at + 1, comma - at - 1) + "\r");
      }
    }
  }
  // At least `n` bytes of commands the driver wrote, leaving out its probes (an interrogate of a
  // destination answered already, which a quiet moment of a slow test may draw at any time).
  std::string Wire(size_t n) {
    std::string out;
    SpinUntil(
        [&] {
          char buf[256];
          const ssize_t got = ::read(master_, buf, sizeof buf);
          if (got > 0) pending_.append(buf, static_cast<size_t>(got));
          for (size_t cr; (cr = pending_.find('\r')) != std::string::npos;) {
            const std::string command = pending_.substr(0, cr + 1);
            pending_.erase(0, cr + 1);
            if (answered_.count(command) == 0) out += command;
          }
          return out.size() >= n;
        },
        5000);
    return out;
  }
  std::set<std::string> answered_;
  std::string pending_;

  testing_support::TempDir dir_;
  testing_support::EnvGuard comdir_{"KIRN_COMDIR", dir_.str()};
  int master_ = -1;
};

// Silence for the reply timeout fails the link but changes no mode: the routes wait, in order,
// and go one at a time; an answer within the hold sends them all. A line silent for the whole
// hold gives up what waits and goes RX only (" Comms Fail "), and the answer to the poll brings
// back the TX/RX that the link had taken away. The link runs on the test's clock, which the test
// moves on in steps of 100 ms, each followed by the link timer's expiry.
TEST_F(SerialLinkTest, SilenceHoldsTheRoutesAndOnlyTheEndOfTheHoldMeansRxOnly) {
  int64_t now_us = 1'000'000'000;
  xarvel::LinkWiring().now_us = [&now_us] { return now_us; };
  // Moves the clock on until `done` holds (at most 10 s); the milliseconds that took.
  auto pass_until = [&now_us](const std::function<bool()>& done) {
    int64_t ms = 0;
    for (; !done() && ms < 10'000; ms += 100) {
      now_us += 100'000;
      xarvel::ComSup_Timer();
    }
    return ms;
  };
  Profile().settings.ReplyTimeoutMs = 200;
  ASSERT_EQ(xarvel::ComSup_Init(), 1);
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "ComPort Open");
  for (int d = 1; d <= 3; ++d) Route(d, 1);  // a window of two: the third waits
  EXPECT_EQ(Wire(14), ".SA1,1\r.SA2,1\r");
  const int64_t silent_ms = pass_until([] { return Link().ComState == xarvel::kComFailed; });
  EXPECT_GE(silent_ms, 200);
  EXPECT_LT(silent_ms, xarvel::kHoldMs);
  EXPECT_EQ(xarvel::Kapi().DriverMode, xarvel::IFMODE_TXRX);
  EXPECT_TRUE(Asserted().empty());
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), " Comms Fail ");
  Reply(".UA1,1\r.UA2,1\r");  // the controller was only slow: nothing is written twice
  EXPECT_EQ(Wire(7), ".SA3,1\r");
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComOk; }, 5000));
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), " Comms Ok ");
  EXPECT_EQ(xarvel::Kapi().DriverMode, xarvel::IFMODE_TXRX);
  EXPECT_TRUE(Asserted().empty()) << "the mode never changed";

  // Now silent for good: after the hold the waiting routes are given up, the outstanding ones
  // abandoned, and the driver goes RX only.
  for (int d = 4; d <= 6; ++d) Route(d, 1);  // 3 and 4 outstanding, 5 and 6 waiting
  const int64_t rx_only_ms =
      pass_until([] { return xarvel::Kapi().DriverMode == xarvel::IFMODE_RXONLY; });
  EXPECT_GE(rx_only_ms, xarvel::kHoldMs);
  EXPECT_LT(rx_only_ms, 10'000);
  EXPECT_EQ(Asserted(), (std::vector<int>{1}));
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE),
            " Comms Failed - no response from hardware - Driver in RX-Only mode ");
  EXPECT_EQ(Dropped(xarvel::kDropUnanswered), 0u);
  EXPECT_EQ(Dropped(xarvel::kDropHeldTooLong), 2u);
  EXPECT_EQ(Dropped(xarvel::kDropRxOnly), 2u);
  EXPECT_TRUE(debug_.Contains("setting mode rxonly"));

  Send(1);  // written at once: nothing is outstanding any more
  Reply(".AA1,9\r");
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComOk; }, 5000));
  EXPECT_EQ(xarvel::Kapi().DriverMode, xarvel::IFMODE_TXRX);
  EXPECT_EQ(Asserted(), (std::vector<int>{1, 2}));
  EXPECT_EQ(xarvel::GetTally(101, 1), 9);
  EXPECT_TRUE(debug_.Contains("ZZZpoint1 returns mode"));
}

// The link returns: every destination is interrogated once, one at a time and only in a slot no
// route waits for, so a route never waits behind more than one of them.
TEST_F(SerialLinkTest, ResyncWalksEveryDestinationWithoutHoldingUpRoutes) {
  Profile().settings.ResyncOnConnect = 1;
  xarvel::RouterConfig& c = testing_support::AddRouter(2, 103, 8, 8, 0, 100);
  c.Min_Dest = 7;
  ASSERT_EQ(xarvel::ComSup_Init(), 1);
  EXPECT_EQ(Wire(5), ".IA1\r");
  Route(3, 5);  // a free slot: it goes at once
  EXPECT_EQ(Wire(7), ".SA3,5\r");
  std::string wire;
  for (int d = 1; d <= 16; ++d) {
    Reply(".AA" + std::to_string(d) + ",2\r");
    if (d == 3) Reply(".UA3,5\r");
    wire += Wire(d < 9 ? 5 : (d < 16 ? 6 : 7));
  }
  EXPECT_EQ(wire,
            ".IA2\r.IA3\r.IA4\r.IA5\r.IA6\r.IA7\r.IA8\r.IA9\r.IA10\r.IA11\r.IA12\r.IA13\r"
            ".IA14\r.IA15\r.IA16\r.IC107\r");
  Reply(".AC107,1\r");
  EXPECT_EQ(Wire(7), ".IC108\r");
  Reply(".AC108,1\r");
  ASSERT_TRUE(SpinUntil([] { return xarvel::ComSup_Outstanding() == 0; }, 5000));
  EXPECT_EQ(xarvel::GetTally(101, 16), 2);
  EXPECT_EQ(xarvel::GetTally(101, 3), 5);
  EXPECT_EQ(xarvel::GetTally(103, 8), 1);
}

// With a wider window the walk keeps an idle line busy (all slots but one, at most four), a
// route that arrives meanwhile goes out at once in the slot left free, and while it awaits its
// answer the walk keeps to one interrogate at a time.
TEST_F(SerialLinkTest, ResyncFillsAnIdleLineButLeavesARouteItsSlot) {
  Profile().settings.ResyncOnConnect = 1;
  Profile().settings.MaxUnACKedRoutesBeforeCommsFail = 5;  // four outstanding, three resyncing
  ASSERT_EQ(xarvel::ComSup_Init(), 1);
  EXPECT_EQ(Wire(15), ".IA1\r.IA2\r.IA3\r");
  Route(3, 5);
  EXPECT_EQ(Wire(7), ".SA3,5\r");
  Reply(".AA1,2\r.AA2,2\r");
  SpinUntil([] { return false; }, 100);
  EXPECT_EQ(xarvel::ComSup_Outstanding(), 2) << "one interrogate beside the route";
  Reply(".UA3,5\r");
  EXPECT_EQ(Wire(10), ".IA4\r.IA5\r") << "the route answered: the walk fills the line again";
  EXPECT_EQ(xarvel::ComSup_Outstanding(), 3);
}

// Connection mode 0 (a mode text the profile did not recognise): the serial port carries the
// link, and a failed or confirmed link is handled as in IP mode without an active controller.
TEST_F(SerialLinkTest, ModeZeroUsesThePortWithTheIpStateHandling) {
  Profile().settings.Connection_Mode = 0;
  Profile().settings.ReplyTimeoutMs = 200;
  ASSERT_EQ(xarvel::ComSup_Init(), 1);
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "ComPort Open");
  Send(2);
  EXPECT_EQ(Wire(10), ".IA1\r.IA1\r");
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComFailed; }, 5000));
  EXPECT_TRUE(Asserted().empty()) << "no RX only asserted for the routers";
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "ComPort Open");
  EXPECT_EQ(Field(xarvel::IDC_ANSWER), "  ");

  Reply(".AA1,9\r");
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComOk; }, 5000));
  EXPECT_EQ(Link().UnAckedCount, 0);
  EXPECT_EQ(xarvel::GetTally(101, 1), 9);
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE), " ");
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "ComPort Open");
  EXPECT_EQ(Field(xarvel::IDC_RESETS_A), "") << "no reset counted without an active controller";
  EXPECT_TRUE(debug_.Contains("ZZZpoint1 returns mode"));  // the serial route-reply path
}

TEST_F(SerialLinkTest, PortHeldByAnotherProcessCannotBeOpened) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const std::string path = (dir_.path() / "COM1").string();
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd >= 0 && ::flock(fd, LOCK_EX) == 0) (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char c = 0;
  pollfd p{ready[0], POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  EXPECT_EQ(xarvel::ComSup_Init(), 0);
  EXPECT_TRUE(debug_.Contains("! Xarvel - Error !: Can't open serial port 1"));
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "OpenPort FAIL");
  EXPECT_LT(xarvel::ComSup_SerialPort(), 0);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

}  // namespace
