// SockSpawn against a QTcpServer on 127.0.0.1: connect outcomes, read events, close reporting.
#include "link/sockspawn.h"

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/window.h"
#include "test_support.h"

namespace {

using namespace xarvel;
using testing_support::SpinUntil;

using Event = std::pair<int, int>;  // event bit, error code

class SockSpawnTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::EnsureQtApp();
    plat::ResetWindows();
    ASSERT_TRUE(server_.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    port_ = server_.serverPort();
  }
  void TearDown() override { plat::ResetWindows(); }

  // Records every event; on a read event takes one byte, as the link supervisor does.
  SockSpawn::Callback Recorder() {
    return [this](SockSpawn& s) {
      events_.emplace_back(s.LastEvent(), s.LastError());
      if (s.LastEvent() == FD_READ) {
        char c = 0;
        if (s.Receive(&c, 1) == 1) received_.push_back(c);
      }
    };
  }
  int Count(int event) const {
    int n = 0;
    for (const auto& e : events_) n += e.first == event ? 1 : 0;
    return n;
  }
  // Opens `s` to the server and waits for the connect event and the accepted peer.
  QTcpSocket* Connect(SockSpawn& s, int events = FD_READ) {
    EXPECT_EQ(s.Open("127.0.0.1", port_), 0);
    EXPECT_EQ(s.SetNotify(Recorder(), events), 1);
    EXPECT_TRUE(
        SpinUntil([&] { return Count(FD_CONNECT) > 0 && server_.hasPendingConnections(); }, 5000));
    return server_.nextPendingConnection();
  }
  static void Settle() {
    SpinUntil([] { return false; }, 50);
  }

  QTcpServer server_;
  int port_ = 0;
  std::vector<Event> events_;
  std::string received_;
};

TEST_F(SockSpawnTest, ReadsOneBytePerEventAndReportsThePeersCloseOnce) {
  SockSpawn s;
  QTcpSocket* peer = Connect(s);
  ASSERT_NE(peer, nullptr);
  EXPECT_EQ(s.EventMask(), FD_READ | FD_CONNECT | FD_CLOSE);
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0], Event(FD_CONNECT, 0));
  // An event for a socket this object no longer has (here: none it ever had) is ignored.
  plat::SendMessage(s.Window(), SOCKMSG_EVENT, 0, FD_CLOSE);
  EXPECT_EQ(events_.size(), 1u);
  EXPECT_TRUE(s.HasSocket());

  peer->write("AB\r");
  peer->flush();
  ASSERT_TRUE(SpinUntil([&] { return received_.size() == 3; }, 5000));
  EXPECT_EQ(received_, "AB\r");
  EXPECT_EQ(Count(FD_READ), 3);  // each unread byte was offered again

  EXPECT_EQ(s.Send(".I\r", 3), 3);
  ASSERT_TRUE(SpinUntil([&] { return peer->bytesAvailable() >= 3; }, 5000));
  EXPECT_EQ(peer->readAll().toStdString(), ".I\r");

  const plat::Hwnd window = s.Window();
  EXPECT_NE(window, 0);
  peer->disconnectFromHost();
  ASSERT_TRUE(SpinUntil([&] { return Count(FD_CLOSE) == 1; }, 5000));
  EXPECT_EQ(events_.back(), Event(FD_CLOSE, 0));
  EXPECT_FALSE(s.HasSocket());
  EXPECT_EQ(s.Window(), 0);
  EXPECT_FALSE(plat::IsLocalWindow(window));
  s.Close();
  Settle();
  EXPECT_EQ(Count(FD_CLOSE), 1);
}

TEST_F(SockSpawnTest, DataSentJustBeforeThePeerClosesIsReadBeforeTheClose) {
  SockSpawn s;
  QTcpSocket* peer = Connect(s);
  ASSERT_NE(peer, nullptr);
  peer->write(".UA1,2\r");
  peer->disconnectFromHost();
  ASSERT_TRUE(SpinUntil([&] { return Count(FD_CLOSE) == 1; }, 5000));
  Settle();
  EXPECT_EQ(received_, ".UA1,2\r");
  EXPECT_EQ(events_.back(), Event(FD_CLOSE, 0));
  EXPECT_EQ(Count(FD_CLOSE), 1);
}

TEST_F(SockSpawnTest, RefusedConnectIsOneConnectEventWithTheErrorAndNoClose) {
  QTcpServer gone;
  ASSERT_TRUE(gone.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
  const int closed_port = gone.serverPort();
  gone.close();

  SockSpawn s;
  ASSERT_EQ(s.Open("127.0.0.1", closed_port), 0);
  ASSERT_EQ(s.SetNotify(Recorder(), FD_READ), 1);
  ASSERT_TRUE(SpinUntil([&] { return !events_.empty(); }, 5000));
  Settle();
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0], Event(FD_CONNECT, kSockErrRefused));
  EXPECT_FALSE(s.HasSocket());
  EXPECT_EQ(s.Window(), 0);
  s.Close();
  EXPECT_EQ(events_.size(), 1u);

  // The same object connects normally afterwards, with a new window.
  events_.clear();
  ASSERT_NE(Connect(s), nullptr);
  EXPECT_EQ(events_[0], Event(FD_CONNECT, 0));
  EXPECT_NE(s.Window(), 0);
}

TEST_F(SockSpawnTest, CloseReportsSynchronouslyAndOnlyOnce) {
  SockSpawn s;
  QTcpSocket* peer = Connect(s);
  ASSERT_NE(peer, nullptr);
  const plat::Hwnd window = s.Window();
  s.Close();
  ASSERT_EQ(events_.size(), 2u);  // reported before Close returned
  EXPECT_EQ(events_[1], Event(FD_CLOSE, 0));
  EXPECT_EQ(s.LastEvent(), FD_CLOSE);
  s.Close();
  Settle();
  EXPECT_EQ(events_.size(), 2u);
  EXPECT_TRUE(SpinUntil([&] { return peer->state() == QAbstractSocket::UnconnectedState; }, 5000));
  // The window stays and the next Open reuses it.
  EXPECT_EQ(s.Window(), window);
  ASSERT_NE(Connect(s), nullptr);
  EXPECT_EQ(s.Window(), window);

  // Opening again while connected reports the old connection closed before the new connect.
  events_.clear();
  ASSERT_EQ(s.Open("127.0.0.1", port_), 0);
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0], Event(FD_CLOSE, 0));
  ASSERT_TRUE(SpinUntil([&] { return Count(FD_CONNECT) == 1; }, 5000));
  Settle();
  EXPECT_EQ(events_, (std::vector<Event>{{FD_CLOSE, 0}, {FD_CONNECT, 0}}));
}

TEST_F(SockSpawnTest, CallbackMayCloseFromInsideAReadEvent) {
  SockSpawn s;
  ASSERT_EQ(s.Open("127.0.0.1", port_), 0);
  ASSERT_EQ(s.SetNotify(
                [this](SockSpawn& self) {
                  events_.emplace_back(self.LastEvent(), self.LastError());
                  if (self.LastEvent() == FD_READ) self.Close();
                },
                FD_READ),
            1);
  ASSERT_TRUE(SpinUntil([&] { return server_.hasPendingConnections(); }, 5000));
  QTcpSocket* peer = server_.nextPendingConnection();
  peer->write("xyz");
  ASSERT_TRUE(SpinUntil([&] { return Count(FD_CLOSE) == 1; }, 5000));
  Settle();
  EXPECT_EQ(events_, (std::vector<Event>{{FD_CONNECT, 0}, {FD_READ, 0}, {FD_CLOSE, 0}}));
  EXPECT_FALSE(s.HasSocket());
}

TEST_F(SockSpawnTest, DataWaitingBeforeReadsAreAskedForIsOfferedOnSetNotify) {
  SockSpawn s;
  QTcpSocket* peer = Connect(s, 0);
  ASSERT_NE(peer, nullptr);
  peer->write("Q");
  peer->flush();
  Settle();
  Settle();
  EXPECT_EQ(Count(FD_READ), 0);
  ASSERT_EQ(s.SetNotify(Recorder(), FD_READ), 1);
  ASSERT_TRUE(SpinUntil([&] { return received_ == "Q"; }, 5000));
}

TEST_F(SockSpawnTest, HostNamesAreLookedUpWithoutBlockingTheCaller) {
  // A resolver that answers only when the test lets it: Open must return before it does.
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> asked{0};
  SockSpawn::SetResolver([&](const std::string& host, uint32_t* address) {
    ++asked;
    std::unique_lock<std::mutex> lock(m);
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return release; });
    *address = 0x7F000001u;
    return host == "controller-a";
  });
  struct Restore {
    ~Restore() { SockSpawn::SetResolver(nullptr); }
  } restore;

  SockSpawn s;
  ASSERT_EQ(s.Open("controller-a", port_), 0);  // returned while the look-up still waits
  EXPECT_EQ(s.HostName(), "controller-a");
  ASSERT_EQ(s.SetNotify(Recorder(), FD_READ), 1);
  Settle();
  EXPECT_TRUE(events_.empty());
  {
    const std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_all();
  ASSERT_TRUE(SpinUntil([&] { return Count(FD_CONNECT) == 1; }, 5000));
  EXPECT_EQ(events_[0], Event(FD_CONNECT, 0));
  EXPECT_EQ(s.Address(), 0x7F000001u);
  EXPECT_EQ(asked.load(), 1);

  // The answer is kept: the next Open connects at once from it.
  events_.clear();
  ASSERT_EQ(s.Open("controller-a", port_), 0);
  ASSERT_TRUE(SpinUntil([&] { return Count(FD_CONNECT) == 1; }, 5000));
  EXPECT_EQ(asked.load(), 1);

  // A name that does not resolve: no connect and no event; once known, Open says so at once.
  SockSpawn t;
  ASSERT_EQ(t.Open("nowhere", port_), 0);
  int t_events = 0;
  ASSERT_EQ(t.SetNotify([&](SockSpawn&) { ++t_events; }, FD_READ), 1);
  ASSERT_TRUE(SpinUntil([&] { return asked.load() == 2; }, 5000));
  Settle();
  EXPECT_EQ(t_events, 0);
  EXPECT_EQ(t.Open("nowhere", port_), 1);
}

TEST_F(SockSpawnTest, ZeroAddressFailsAtOnceAndReachesNoLocalListener) {
  SockSpawn s;
  ASSERT_EQ(s.Open("0.0.0.0", port_), 0);
  ASSERT_EQ(s.SetNotify(Recorder(), FD_READ), 1);
  ASSERT_TRUE(SpinUntil([&] { return !events_.empty(); }, 5000));
  Settle();
  EXPECT_EQ(events_, (std::vector<Event>{{FD_CONNECT, kSockErrAddrNotAvail}}));
  EXPECT_FALSE(server_.hasPendingConnections());
}

TEST_F(SockSpawnTest, WithoutASocketNothingReachesTheSystem) {
  SockSpawn s;
  int calls = 0;
  char buf[4] = {1, 2, 3, 4};
  EXPECT_EQ(s.Receive(buf, 4), -1);
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(s.Send("x", 1), -1);
  EXPECT_EQ(s.SetNotify([&](SockSpawn&) { ++calls; }, FD_READ), 0);
  s.Close();
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(s.Open("127.0.0.1", 0), -1);
  EXPECT_EQ(s.Window(), 0);
}

}  // namespace
