// The workstation bus between real processes: sends, nested sends, data messages, broadcasts,
// peers that die or never answer, malformed frames and foreign handles.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/bus_client.h"
#include "platform/bus_frame.h"
#include "platform/bus_host.h"
#include "platform/window.h"
#include "raw_bus_peer.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using plat::Hwnd;
using plat::LParam;
using plat::LResult;
using plat::WParam;
using testing_support::Process;
using testing_support::TempDir;

int RawConnect(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::EnsureQtApp();
    path_ = (dir_.path() / "bus.sock").string();
    std::string error;
    host_ = plat::BusHost::Listen(path_, &error);
    ASSERT_TRUE(host_) << error;
    host_->Start();
    client_ = plat::BusClient::Connect(path_, &error);
    ASSERT_TRUE(client_) << error;
    plat::SetTransport(client_.get());
    self_ = plat::CreateWindow(
        [this](Hwnd, uint32_t msg, WParam, LParam l) -> LResult {
          received_.push_back(msg);
          senders_.push_back(plat::MessageSender());
          pointer_valid_.push_back(plat::PointerParamValid(l));
          // Asked back by the peer: ask it again, for ever unless something bounds it.
          if (msg == 301 && bounce_to_ != 0) return plat::SendMessage(bounce_to_, 300, self_, 0);
          return msg == 301 ? 41 : 0;
        },
        true);
    ASSERT_NE(self_, 0);
  }

  void TearDown() override {
    plat::ResetWindows();
    plat::SetTransport(nullptr);
    client_.reset();
    host_.reset();
  }

  // Starts a peer and returns its window handle (0 when it did not come up).
  Hwnd StartPeer(std::unique_ptr<Process>& peer, const std::string& mode) {
    peer = std::make_unique<Process>(std::vector<std::string>{BUS_PEER_BIN, mode},
                                     std::vector<std::string>{"KIRN_BUS=" + path_});
    if (!peer->WaitForOutput("READY ", 10000)) return 0;
    const std::string out = peer->Stdout();
    return static_cast<Hwnd>(std::stoi(out.substr(out.find("READY ") + 6)));
  }

  TempDir dir_;
  std::string path_;
  std::unique_ptr<plat::BusHost> host_;
  std::unique_ptr<plat::BusClient> client_;
  Hwnd self_ = 0;
  std::vector<uint32_t> received_;
  std::vector<Hwnd> senders_;
  std::vector<bool> pointer_valid_;
  Hwnd bounce_to_ = 0;
};

TEST_F(BusTest, SocketIsForItsOwnerOnly) {
  struct stat st;
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string error;
  EXPECT_EQ(plat::BusHost::Listen(path_, &error), nullptr) << "a second host is refused";
  EXPECT_NE(error.find("already listening"), std::string::npos) << error;
}

TEST_F(BusTest, SendsNestedSendsAndDataMessagesCrossProcesses) {
  std::unique_ptr<Process> peer;
  const Hwnd echo = StartPeer(peer, "echo");
  ASSERT_NE(echo, 0);
  EXPECT_EQ(plat::SendMessage(echo, 100, 40, 2), 42);
  // The peer asks our window back while our send waits; the answer comes through.
  EXPECT_EQ(plat::SendMessage(echo, 300, self_, 0), 42);
  EXPECT_EQ(received_, std::vector<uint32_t>{301});
  // A data block travels there and back, changed in place.
  std::vector<uint8_t> block = {'c', 'a', 'm', ' ', '5', 0};
  EXPECT_EQ(client_->Send(self_, echo, 200, 0, 0, &block), 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block.data())), "CAM 5");
  // A handle that nobody owns answers 0 at once.
  EXPECT_EQ(plat::SendMessage(0x7777, 100, 1, 1), 0);
}

TEST_F(BusTest, BroadcastReachesEveryTopLevelWindowTheSendersOwnIncluded) {
  std::unique_ptr<Process> peer;
  const Hwnd echo = StartPeer(peer, "echo");
  ASSERT_NE(echo, 0);
  plat::SendMessage(plat::HWND_BROADCAST, 400, 0, 0);
  EXPECT_EQ(received_, std::vector<uint32_t>{400});
  EXPECT_EQ(plat::SendMessage(echo, 401, 0, 0), 1);
}

TEST_F(BusTest, PostsAreDeliveredAfterTheWaitNotDuringIt) {
  std::unique_ptr<Process> peer;
  const Hwnd echo = StartPeer(peer, "echo");
  ASSERT_NE(echo, 0);
  for (int i = 0; i < 3; ++i) plat::PostMessage(echo, 400, 0, 0);
  testing_support::SpinUntil([] { return false; }, 50);  // lets the loop hand the posts over
  EXPECT_EQ(plat::SendMessage(echo, 401, 0, 0), 3);
}

// A peer's post waits in the event loop's queue; when it is delivered it is still a peer's
// message, whose lParam is a number: never readable as a pointer.
TEST_F(BusTest, APeersPostIsStillAPeersMessageWhenDelivered) {
  testing_support::RawBusPeer raw(path_);
  const uint16_t h = raw.Acquire();
  ASSERT_NE(h, 0);
  raw.Message(plat::FrameKind::kPost, h, self_, 2189, 0, 0x1234);
  raw.Message(plat::FrameKind::kSend, h, self_, 2190, 0, 0x1234);
  auto got = [&](size_t n) {
    return testing_support::SpinUntil(
        [&] {
          client_->Pump(5);
          return received_.size() >= n;
        },
        5000);
  };
  ASSERT_TRUE(got(2));
  // The send is served as it arrives, the post when the loop hands it over: either may come
  // first, depending on how the host's frames are split between reads.
  auto both = received_;
  std::sort(both.begin(), both.end());
  ASSERT_EQ(both, (std::vector<uint32_t>{2189, 2190}));
  EXPECT_EQ(senders_, (std::vector<Hwnd>{h, h}));
  EXPECT_EQ(pointer_valid_, (std::vector<bool>{false, false}));
  // The same message posted within this process may carry a pointer.
  plat::PostMessage(self_, 2189, 0, 0x1234);
  ASSERT_TRUE(got(3));
  EXPECT_EQ(senders_.back(), 0);
  EXPECT_TRUE(pointer_valid_.back());
}

// The socket's mode alone keeps no one out when its directory is shared: the host itself refuses
// a process of another user, and a client refuses a host run by another user.
TEST_F(BusTest, PeersOfAnotherUserAreRefusedOnBothSides) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  // As if the socket sat in a directory open to everyone.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0711), 0);
  ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
  const std::vector<std::string> as_nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                              "--clear-groups"};
  std::vector<std::string> argv = as_nobody;
  argv.push_back(BUS_PEER_BIN);
  argv.push_back("raw");
  Process intruder(argv, {"KIRN_BUS=" + path_});
  EXPECT_EQ(intruder.Wait(10000), 1) << intruder.Stdout() << intruder.Stderr();
  EXPECT_EQ(intruder.Stdout(), "CLOSED\n");
  EXPECT_TRUE(plat::SendMessage(self_, 301, 0, 0) == 41) << "the host carries on";

  const auto shared = dir_.path() / "shared";
  std::filesystem::create_directory(shared);
  ::chmod(shared.c_str(), 01777);
  const std::string foreign = (shared / "bus.sock").string();
  argv = as_nobody;
  argv.push_back(BUS_PEER_BIN);
  argv.push_back("host");
  Process host(argv, {"KIRN_BUS=" + foreign});
  ASSERT_TRUE(host.WaitForOutput("READY", 10000)) << host.Stderr();
  std::string error;
  EXPECT_EQ(plat::BusClient::Connect(foreign, &error), nullptr);
  EXPECT_NE(error.find("runs as user id 65534, not as this user"), std::string::npos) << error;
}

// Without KIRN_BUS and XDG_RUNTIME_DIR the socket lives in a directory of the user's own, which
// another user cannot have prepared: one that is not private is refused with a clear line.
TEST(BusPathTest, TheDefaultSocketLivesInAPrivateDirectoryThatMustBeOurs) {
  TempDir tmp;
  testing_support::EnvGuard tmpdir("TMPDIR", tmp.str());
  testing_support::EnvGuard bus("KIRN_BUS", std::nullopt);
  testing_support::EnvGuard run("XDG_RUNTIME_DIR", std::nullopt);
  const auto dir = tmp.path() / ("kirn-" + std::to_string(::getuid()));
  const std::string path = plat::BusPath();
  EXPECT_EQ(path, (dir / "bus.sock").string());
  std::string error;
  {
    auto host = plat::BusHost::Listen(path, &error);
    ASSERT_TRUE(host) << error;
    struct stat st;
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(plat::BusClient::Connect(path, &error)) << error;
  }
  auto refused = [&](const std::string& why) {
    error.clear();
    EXPECT_EQ(plat::BusHost::Listen(path, &error), nullptr) << why;
    EXPECT_NE(error.find("is not private to this user"), std::string::npos) << why << ": " << error;
    error.clear();
    EXPECT_EQ(plat::BusClient::Connect(path, &error), nullptr) << why;
    EXPECT_NE(error.find("is not private to this user"), std::string::npos) << why << ": " << error;
  };
  ::chmod(dir.c_str(), 0755);
  refused("open to others");
  ::chmod(dir.c_str(), 0700);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
    refused("owned by another user");
  }
  std::filesystem::remove_all(dir);
  std::filesystem::create_directory(tmp.path() / "elsewhere");
  ::chmod((tmp.path() / "elsewhere").c_str(), 0700);
  std::filesystem::create_directory_symlink(tmp.path() / "elsewhere", dir);
  refused("a symbolic link");
}

// Two processes that keep asking each other back nest their sends; the nesting stops at a bounded
// depth with a trace line instead of running either stack out, and both carry on.
TEST_F(BusTest, NestedSendsStopAtTheirDepthLimit) {
  std::unique_ptr<Process> peer;
  const Hwnd echo = StartPeer(peer, "echo");
  ASSERT_NE(echo, 0);
  bounce_to_ = echo;
  testing_support::DebugCapture debug;
  const auto start = Clock::now();
  const LResult depth = plat::SendMessage(echo, 300, self_, 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  bounce_to_ = 0;
  // Each round trip adds one on the peer's side.
  EXPECT_GE(depth, static_cast<LResult>(plat::BusClient::kMaxSendDepth) - 1);
  EXPECT_LE(received_.size(), plat::BusClient::kMaxSendDepth);
  EXPECT_TRUE(debug.Contains("would nest sends 33 deep") ||
              peer->Stderr().find("would nest sends 33 deep") != std::string::npos)
      << peer->Stderr();
  EXPECT_EQ(plat::SendMessage(echo, 100, 1, 2), 3);
}

// A process that leaves a send unanswered costs the first broadcast after it the timeout; the
// broadcasts after it pass it by instead of each waiting for it again.
TEST_F(BusTest, ABroadcastWaitsForAStoppedWindowOnlyOnce) {
  std::unique_ptr<Process> hanging;
  const Hwnd stuck = StartPeer(hanging, "hang");
  ASSERT_NE(stuck, 0);
  std::unique_ptr<Process> peer;
  const Hwnd echo = StartPeer(peer, "echo");
  ASSERT_NE(echo, 0);
  EXPECT_EQ(plat::SendMessage(stuck, 100, 1, 2), 0) << "it hangs";
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    plat::SendMessage(plat::HWND_BROADCAST, 400, 0, 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << "broadcast " << i;
  }
  EXPECT_EQ(plat::SendMessage(echo, 401, 0, 0), 3) << "the others still get every broadcast";
}

// A peer that posts far more than a busy receiver takes is throttled (the host stops reading
// it); the receiver stays connected and gets every post once it reads again.
TEST_F(BusTest, AFloodOfPostsThrottlesItsSenderNotItsBusyReceiver) {
  constexpr int kPosts = 600;  // 600 x 60 KiB: far more than the host would hold for anyone
  testing_support::RawBusPeer flooder(path_);
  const uint16_t from = flooder.Acquire();
  ASSERT_NE(from, 0);
  std::thread writer([&] {
    plat::Frame f;
    f.kind = plat::FrameKind::kPost;
    f.from = from;
    f.to = self_;
    f.msg = 402;
    f.data.assign(60 * 1024, 'x');
    for (int i = 0; i < kPosts; ++i) {
      if (!flooder.Write(f)) break;
    }
  });
  // Busy elsewhere for a while: nothing is read.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  auto count = [&] { return std::count(received_.begin(), received_.end(), 402u); };
  testing_support::SpinUntil(
      [&] {
        client_->Pump(5);
        return count() == kPosts || !client_->connected();
      },
      30000);
  writer.join();
  EXPECT_TRUE(client_->connected()) << "the receiver was not dropped";
  EXPECT_EQ(count(), kPosts);
}

// One process gets a bounded number of handles and the host a bounded number of connections; a
// connection past the limit waits, then is refused, and the bus carries on for everyone else.
TEST_F(BusTest, HandlesAndConnectionsAreBounded) {
  std::unique_ptr<Process> peer;
  const Hwnd echo = StartPeer(peer, "echo");
  ASSERT_NE(echo, 0);
  testing_support::RawBusPeer greedy(path_);
  size_t handles = 0;
  while (handles < 1000 && greedy.Acquire(false) != 0) ++handles;
  EXPECT_EQ(handles, plat::BusHost::kMaxHandlesPerConnection);

  // This process, the peer and the greedy one are connected already.
  std::vector<std::unique_ptr<testing_support::RawBusPeer>> more;
  while (more.size() + 3 < plat::BusHost::kMaxConnections) {
    more.push_back(std::make_unique<testing_support::RawBusPeer>(path_));
    ASSERT_TRUE(more.back()->Exists(self_)) << "connection " << more.size() << " is served";
  }
  testing_support::RawBusPeer late(path_);
  ASSERT_TRUE(late.connected()) << "it waits in the listen queue";
  const auto start = Clock::now();
  EXPECT_FALSE(late.Exists(self_));
  EXPECT_TRUE(late.closed()) << "refused, not left hanging";
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(plat::SendMessage(echo, 100, 1, 2), 3);
  more.clear();
  testing_support::RawBusPeer again(path_);
  EXPECT_TRUE(again.Exists(self_)) << "served again once others have gone";
}

TEST_F(BusTest, APeerThatDiesDuringASendGivesZeroAndNothingHangs) {
  std::unique_ptr<Process> dying;
  const Hwnd target = StartPeer(dying, "die");
  ASSERT_NE(target, 0);
  std::unique_ptr<Process> peer;
  const Hwnd echo = StartPeer(peer, "echo");
  ASSERT_NE(echo, 0);
  const auto start = Clock::now();
  EXPECT_EQ(plat::SendMessage(target, 100, 1, 2), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(plat::SendMessage(echo, 100, 1, 2), 3) << "the bus carries on";
}

TEST_F(BusTest, APeerThatNeverAnswersGivesZeroWithinTheTimeout) {
  std::unique_ptr<Process> hanging;
  const Hwnd target = StartPeer(hanging, "hang");
  ASSERT_NE(target, 0);
  std::unique_ptr<Process> peer;
  const Hwnd echo = StartPeer(peer, "echo");
  ASSERT_NE(echo, 0);
  const auto start = Clock::now();
  EXPECT_EQ(plat::SendMessage(target, 100, 1, 2), 0);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(4500));
  EXPECT_LT(took, std::chrono::milliseconds(7000));
  EXPECT_EQ(plat::SendMessage(echo, 100, 2, 2), 4);
}

TEST_F(BusTest, MalformedFramesCloseOnlyTheirOwnConnection) {
  std::unique_ptr<Process> peer;
  const Hwnd echo = StartPeer(peer, "echo");
  ASSERT_NE(echo, 0);
  const std::vector<std::vector<uint8_t>> garbage = {
      {5, 0, 0, 0, 1, 2, 3, 4, 5},               // shorter than a header
      {0xFF, 0xFF, 0xFF, 0x7F, 1},               // longer than any frame may be
      {29, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0},  // unknown kind
  };
  for (int i = 0; i < 1000; ++i) {
    const int fd = RawConnect(path_);
    ASSERT_GE(fd, 0);
    const auto& bytes = garbage[static_cast<size_t>(i) % garbage.size()];
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  // A frame whose data length disagrees with its size.
  {
    plat::Frame f;
    f.kind = plat::FrameKind::kSend;
    f.data = {1, 2, 3};
    std::vector<uint8_t> bytes;
    plat::EncodeFrame(f, bytes);
    bytes[29] = 9;
    const int fd = RawConnect(path_);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (host_->malformed_count() < 1001 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(host_->malformed_count(), 1001u);
  EXPECT_EQ(plat::SendMessage(echo, 100, 20, 22), 42);
  EXPECT_EQ(plat::SendMessage(echo, 300, self_, 0), 42);
}

TEST_F(BusTest, ASendFromAHandleTheClientWasNotGivenIsRefused) {
  const int fd = RawConnect(path_);
  ASSERT_GE(fd, 0);
  // Pretend to be our window: the host must refuse it, and our window must not see it.
  plat::Frame f;
  f.kind = plat::FrameKind::kSend;
  f.serial = 7;
  f.from = self_;
  f.to = self_;
  f.msg = 555;
  std::vector<uint8_t> bytes;
  plat::EncodeFrame(f, bytes);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  plat::FrameDecoder decoder;
  plat::Frame reply;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  bool got = false;
  while (!got && Clock::now() < deadline) {
    uint8_t buf[256];
    timeval tv{0, 100000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) decoder.Feed(buf, static_cast<size_t>(n));
    got = decoder.Next(reply) == plat::FrameDecoder::Status::kFrame;
    client_->Pump(0);
  }
  ::close(fd);
  ASSERT_TRUE(got);
  EXPECT_EQ(reply.kind, plat::FrameKind::kReply);
  EXPECT_EQ(reply.serial, 7u);
  EXPECT_EQ(reply.result, 0);
  EXPECT_TRUE(received_.empty());
}

TEST(BusFrameTest, FramesSurviveBeingSplitAnywhere) {
  plat::Frame f;
  f.kind = plat::FrameKind::kReply;
  f.serial = 0xA1B2C3D4;
  f.from = 3;
  f.to = 0xFFFF;
  f.msg = 2189;
  f.wparam = -5;
  f.lparam = 0x7FFFFFFF;
  f.result = -1;
  f.data.assign(70, 'x');
  std::vector<uint8_t> bytes;
  plat::EncodeFrame(f, bytes);
  plat::EncodeFrame(f, bytes);
  ASSERT_EQ(bytes.size(), 2 * (plat::kFrameHeaderSize + 70));
  plat::FrameDecoder decoder;
  int frames = 0;
  for (uint8_t b : bytes) {
    decoder.Feed(&b, 1);
    plat::Frame out;
    while (decoder.Next(out) == plat::FrameDecoder::Status::kFrame) {
      ++frames;
      EXPECT_EQ(out.serial, f.serial);
      EXPECT_EQ(out.to, f.to);
      EXPECT_EQ(out.wparam, -5);
      EXPECT_EQ(out.lparam, 0x7FFFFFFF);
      EXPECT_EQ(out.data, f.data);
    }
  }
  EXPECT_EQ(frames, 2);
}

}  // namespace
