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
#include <memory>
#include <string>
#include <vector>

#include "config/profile.h"
#include "core/driver.h"
#include "core/main_window.h"
#include "driver_fixture.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
#include "link/link_state.h"
#include "platform/dialog.h"
#include "state/router_tables.h"
#include "test_support.h"
#include "ui/dialog_ids.h"
#include "ui/status_dialog.h"

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
        QObject::connect(s, &QTcpSocket::readyRead,
                         [this, s] { received_ += s->readAll().toStdString(); });
        latest_ = s;
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

 private:
  QTcpServer server_;
  QTcpSocket* latest_ = nullptr;
  int accepted_ = 0;
  std::string received_;
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
  ASSERT_EQ(xarvel::ComSup_Init(), 1);
  ASSERT_TRUE(SpinUntil([] { return Link().ActiveController == xarvel::kControllerA; }, 5000));
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "Connected OK");
  EXPECT_EQ(Field(xarvel::IDC_ACTIVE_CONTROLLER), "A");
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE), " Connected to and Using Controller A ");
  EXPECT_EQ(Link().ComState, xarvel::kComUnconfirmed);

  Send(2);
  ASSERT_TRUE(SpinUntil([&] { return a.received().size() == 10; }, 5000));
  EXPECT_EQ(a.received(), ".IA1\r.IA1\r");
  // A bare acknowledgement confirms nothing and clears nothing.
  a.Reply(".A\r");
  SpinUntil([] { return false; }, 100);
  EXPECT_EQ(Link().UnAckedCount, 2);
  a.Reply(".AA1,3\r\n");
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComOk; }, 5000));
  EXPECT_EQ(Link().UnAckedCount, 0);
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "Connected Ok");
  EXPECT_EQ(Field(xarvel::IDC_RESETS_A), "1");
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE), " ");
  EXPECT_EQ(xarvel::GetTally(101, 1), 3);
}

TEST_F(ComSupTest, SilentControllerFailsAtTheLimitThenStaysActiveOnceFailed) {
  Controller a;
  ASSERT_TRUE(a.Listen("127.0.0.1", 0));
  UseTcp(a.Port(), false);
  xarvel::ComSup_Init();
  ASSERT_TRUE(SpinUntil([] { return Link().ActiveController == xarvel::kControllerA; }, 5000));
  a.Reply(".AA1,3\r");
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComOk; }, 5000));

  Send(4);
  EXPECT_EQ(Link().ComState, xarvel::kComOk);
  Send(1);  // the fifth in a row without a route report
  EXPECT_EQ(Link().ComState, xarvel::kComFailed);
  EXPECT_EQ(Link().UnAckedCount, 0);
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "Disconnected");
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE), "Comms Failed - Lost connection to Controller A");
  EXPECT_EQ(Field(xarvel::IDC_ANSWER), "  ");
  // New attempts start at once; the controller accepts a second connection.
  ASSERT_TRUE(SpinUntil([&] { return a.accepted() == 2 && Link().ActiveController == 1; }, 5000));

  // Accepting but never answering: the limit comes round again, but a failed link closes
  // nothing more and tries nobody else.
  xarvel::Dlg_SetText(xarvel::IDC_MESSAGE, "kept");
  Send(5);
  EXPECT_EQ(Link().ComState, xarvel::kComFailed);
  EXPECT_EQ(Link().UnAckedCount, 0);
  EXPECT_EQ(Link().ActiveController, xarvel::kControllerA);
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE), "kept");
  SpinUntil([] { return false; }, 100);
  EXPECT_EQ(a.accepted(), 2);
  EXPECT_TRUE(a.Open());

  // A route report from the failed state confirms the link again and asks for TX/RX.
  xarvel::Kapi().DriverMode = xarvel::IFMODE_RXONLY;
  a.Reply(".UA2,4\r");
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComOk; }, 5000));
  EXPECT_EQ(Field(xarvel::IDC_RESETS_A), "2");
  EXPECT_EQ(xarvel::Kapi().DriverMode, xarvel::IFMODE_TXRX);
}

TEST_F(ComSupTest, CommandsWithoutAnActiveControllerAreDroppedAndStartAttempts) {
  UseTcp(1, false);  // nothing listens on port 1
  Send(1);
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
  // connects receives them in order, then the commands that follow.
  xarvel::SendData(".SA1,4\r", 7);
  xarvel::SendData(".IA1\r", 5);
  EXPECT_EQ(Link().Held.size(), 2u);
  ASSERT_TRUE(SpinUntil([] { return Link().ActiveController == xarvel::kControllerB; }, 5000));
  EXPECT_TRUE(Link().Held.empty());
  Send(1);
  ASSERT_TRUE(SpinUntil([&] { return b.received() == ".SA1,4\r.IA1\r.IA1\r"; }, 5000));
  b.Reply(".AA1,4\r");
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComOk; }, 5000));
  EXPECT_EQ(xarvel::GetTally(101, 1), 4);
}

TEST_F(ComSupTest, HeldCommandsAreBoundedOldestDroppedFirst) {
  StuckPort stuck;  // A's connect stays pending
  ASSERT_NE(stuck.Port(), 0);
  UseTcp(stuck.Port(), false);
  for (int d = 1; d <= 7; ++d) {
    const std::string text = ".SA" + std::to_string(d) + ",1\r";
    xarvel::SendData(text.c_str(), static_cast<int>(text.size()));
  }
  // The unACK limit (5) bounds the hold; the two oldest went, each with a trace line.
  ASSERT_EQ(Link().Held.size(), 5u);
  EXPECT_EQ(Link().Held.front().text, ".SA3,1\r");
  EXPECT_EQ(Link().HeldDropped, 2);
  EXPECT_EQ(debug_.Count("dropping held command .SA1,1 (too many held)"), 1);
  EXPECT_EQ(debug_.Count("dropping held command .SA2,1 (too many held)"), 1);

  // The controller comes: it receives the five, in order.
  Controller a;
  ASSERT_TRUE(a.Listen("127.0.0.1", 0));
  Profile().settings.IP_Port = a.Port();
  Send(1);  // held too (the oldest goes) and starts a new attempt
  ASSERT_TRUE(SpinUntil([&] { return a.received().size() >= 4 * 7 + 5; }, 5000));
  EXPECT_EQ(a.received(), ".SA4,1\r.SA5,1\r.SA6,1\r.SA7,1\r.IA1\r");
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
  void Reply(const std::string& text) {
    ASSERT_EQ(::write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  std::string Wire(size_t n) {
    std::string out;
    SpinUntil(
        [&] {
          char buf[256];
          const ssize_t got = ::read(master_, buf, sizeof buf);
          if (got > 0) out.append(buf, static_cast<size_t>(got));
          return out.size() >= n;
        },
        5000);
    return out;
  }

  testing_support::TempDir dir_;
  testing_support::EnvGuard comdir_{"KIRN_COMDIR", dir_.str()};
  int master_ = -1;
};

TEST_F(SerialLinkTest, SilentControllerMeansRxOnlyUntilTheFirstRouteReport) {
  ASSERT_EQ(xarvel::ComSup_Init(), 1);
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "ComPort Open");
  Send(2);
  EXPECT_EQ(Link().ComState, xarvel::kComUnconfirmed);
  Send(1);  // the third without an answer
  EXPECT_EQ(Link().ComState, xarvel::kComFailed);
  EXPECT_EQ(xarvel::Kapi().DriverMode, xarvel::IFMODE_RXONLY);
  EXPECT_EQ(Asserted(), (std::vector<int>{1}));
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), " Comms Fail ");
  EXPECT_EQ(Field(xarvel::IDC_MESSAGE),
            " Comms Failed - no response from hardware - Driver in RX-Only mode ");
  Send(3);  // nothing more happens
  EXPECT_EQ(Asserted(), (std::vector<int>{1}));
  EXPECT_EQ(Link().UnAckedCount, 3);
  EXPECT_EQ(Wire(30), ".IA1\r.IA1\r.IA1\r.IA1\r.IA1\r.IA1\r");

  Reply(".AA1,9\r");
  ASSERT_TRUE(SpinUntil([] { return Link().ComState == xarvel::kComOk; }, 5000));
  EXPECT_EQ(xarvel::Kapi().DriverMode, xarvel::IFMODE_TXRX);
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), " Comms Ok ");
  EXPECT_EQ(Field(xarvel::IDC_RESETS_A), "1");
  EXPECT_EQ(Link().UnAckedCount, 0);
  EXPECT_EQ(xarvel::GetTally(101, 1), 9);
  EXPECT_FALSE(kapi_.Sent(xarvel::ZUT_GETDEVMODE).empty());
  EXPECT_TRUE(debug_.Contains("ZZZpoint1 returns mode"));
}

// Connection mode 0 (a mode text the profile did not recognise): the serial port carries the
// link, and a failed or confirmed link is handled as in IP mode without an active controller.
TEST_F(SerialLinkTest, ModeZeroUsesThePortWithTheIpStateHandling) {
  Profile().settings.Connection_Mode = 0;
  ASSERT_EQ(xarvel::ComSup_Init(), 1);
  EXPECT_EQ(Field(xarvel::IDC_LINK_STATUS), "ComPort Open");
  Send(3);  // the limit
  EXPECT_EQ(Wire(15), ".IA1\r.IA1\r.IA1\r");
  EXPECT_EQ(Link().ComState, xarvel::kComFailed);
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
  EXPECT_LT(Link().SerialPort, 0);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

}  // namespace
