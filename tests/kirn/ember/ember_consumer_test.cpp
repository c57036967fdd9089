// kirn metrics' Ember+ provider against the real programs: the driver on the sample site over TCP
// to the controller emulator, the bus host, and consumers on loopback, the npm consumer
// node-emberplus (tests/ember/consumer, where installed) and raw S101 ones.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_site.h"
#include "sim_process.h"
#include "tools/kirn/ember/glow.h"
#include "tools/kirn/ember/s101.h"

namespace {

using kirn::ember::GlowElement;
using kirn::ember::Path;
using testing_support::Process;
using testing_support::SimProcess;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 15000;
const Path kMatrixA = {1, 12, 1, 1};

std::string ConsumerDir() {
  return std::string(XARVEL_SOURCE_DIR) + "/tests/ember/consumer";
}

bool NodeConsumerInstalled() {
  return std::system("node --version >/dev/null 2>&1") == 0 &&
         ::access((ConsumerDir() + "/node_modules/node-emberplus/package.json").c_str(), R_OK) == 0;
}

// A consumer that speaks S101 itself: what it gets of the matrix, and whether it is still
// connected.
class RawConsumer {
 public:
  explicit RawConsumer(int port, const char* from = "127.0.0.1", int receive_buffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    open_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RawConsumer() { ::close(fd_); }

  void Send(const std::vector<uint8_t>& bytes) {
    open_ = open_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                         static_cast<ssize_t>(bytes.size());
  }
  void Message(const std::vector<uint8_t>& glow) {
    std::vector<uint8_t> frames;
    kirn::ember::S101Encoder::Message(glow, &frames);
    Send(frames);
  }
  void Directory(const Path& matrix) {
    Message(kirn::ember::ConsumerCommand(matrix, kirn::ember::kCommandGetDirectory, true));
  }
  void Take(const Path& matrix, int target, uint32_t source) {
    Message(kirn::ember::ConsumerTake(matrix, target, {source}));
  }
  // Reads for up to `timeout_ms` or until `done()`; true when done.
  template <typename Done>
  bool Until(Done done, int timeout_ms = kWaitMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
      if (!open_) return false;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, 20))) <= 0) {
        if (left <= 0) return done();
        continue;
      }
      uint8_t buffer[65536];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        open_ = false;
        continue;
      }
      std::vector<kirn::ember::S101Event> events;
      if (!decoder_.Feed(buffer, static_cast<size_t>(n), &events)) open_ = false;
      for (const auto& e : events) {
        if (e.kind == kirn::ember::S101Event::Kind::kKeepAliveResponse) ++keepalives_;
        std::vector<GlowElement> elements;
        std::string error;
        if (e.kind != kirn::ember::S101Event::Kind::kMessage) continue;
        EXPECT_TRUE(
            kirn::ember::DecodeElements(e.payload.data(), e.payload.size(), {}, &elements, &error))
            << error;
        for (const GlowElement& g : elements) {
          for (const auto& c : g.connections) {
            if (g.path == kMatrixA) {
              tally_[c.target] = c.sources.empty() ? -1 : static_cast<int>(c.sources[0]);
              disposition_[c.target] = static_cast<int>(c.disposition);
            }
          }
        }
      }
    }
    return true;
  }
  // The connection has been closed by the provider within `timeout_ms`.
  bool Closed(int timeout_ms = kWaitMs) {
    return Until([this] { return !open_; }, timeout_ms) || !open_;
  }

  std::map<int64_t, int> tally_;
  std::map<int64_t, int> disposition_;
  int keepalives_ = 0;

 private:
  int fd_ = -1;
  bool open_ = false;
  kirn::ember::S101Decoder decoder_;
};

class EmberTest : public testing_support::SiteTest {
 protected:
  void SetUp() override {
    sim_ = std::make_unique<SimProcess>(std::vector<std::string>{"--tcp", "0"});
    ASSERT_TRUE(sim_->Ready()) << sim_->Err();
    WriteSite(
        "Simulation=0\nForwardBufferDelay=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\n"
        "Dual_Controllers=0\nParkSource=3\nIP_Port=" +
        std::to_string(sim_->ports.at(0)) + "\n");
    serve_ = StartServe();
    driver_ = StartDriver(*serve_);
  }
  void TearDown() override {
    for (auto& m : metrics_) {
      EXPECT_EQ(m->Stop(), 0) << m->Stderr();
      EXPECT_EQ(m->Stderr().find("Sanitizer"), std::string::npos) << m->Stderr();
      EXPECT_EQ(m->Stderr().find("runtime error"), std::string::npos) << m->Stderr();
    }
  }
  // Starts kirn metrics with the provider and `args`; its Ember+ port.
  int StartEmber(std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {KIRN_BIN,       "metrics", "--listen",   "127.0.0.1:0",
                                     "--no-history", "--ember", "127.0.0.1:0"};
    argv.insert(argv.end(), args.begin(), args.end());
    metrics_.push_back(Start(argv));
    EXPECT_TRUE(metrics_.back()->WaitForOutput("ember 127.0.0.1:", kWaitMs))
        << metrics_.back()->Stderr();
    const std::string out = metrics_.back()->Stdout();
    return std::atoi(out.c_str() + out.find("ember 127.0.0.1:") + 16);
  }
  // The emulator's wire log holds a route command `text` ("SA3,5"), within `timeout_ms`.
  bool Wire(const std::string& text, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
      if (sim_->Err().find("." + text + "\\r") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < deadline);
    return false;
  }
  std::unique_ptr<Process> Consumer(int port, std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/env", "node", ConsumerDir() + "/consumer.js",
                                     "127.0.0.1", std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv);
  }

  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<Process> serve_, driver_;
  std::vector<std::unique_ptr<Process>> metrics_;
};

// Browse and read the labels; route a crosspoint (the emulator's wire, the consumer and kirn
// watch all see it); a front-panel change reaches a second consumer.
TEST_F(EmberTest, ANodeConsumerBrowsesRoutesAndSeesEveryChange) {
  if (!NodeConsumerInstalled()) GTEST_SKIP() << "node-emberplus not installed (install-deps)";
  const int port = StartEmber();
  // The names are looked up in the background: the tree shows them once they are read.
  std::string tree;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  do {
    auto p = Consumer(port, {"tree"});
    ASSERT_EQ(p->Wait(kWaitMs), 0) << p->Stderr();
    tree = p->Stdout();
  } while ((tree.find("LABEL 1.12.1.1.1.2.5 s-5 CAM 5\n") == std::string::npos ||
            tree.find("LABEL 1.12.1.1.1.1.0 t-0 MON 1\n") == std::string::npos) &&
           Clock::now() < deadline);
  EXPECT_NE(tree.find("NODE 1.12 driver-12 online "), std::string::npos) << tree;
  EXPECT_NE(tree.find("MATRIX 1.12.1.1 crosspoints 16 33 1.12.1.1.1\n"), std::string::npos);
  EXPECT_NE(tree.find("MATRIX 1.12.2.1 crosspoints 8 17 1.12.2.1.1\n"), std::string::npos);
  EXPECT_NE(tree.find("LABEL 1.12.1.1.1.1.0 t-0 MON 1\n"), std::string::npos) << tree;
  EXPECT_NE(tree.find("LABEL 1.12.1.1.1.2.5 s-5 CAM 5\n"), std::string::npos) << tree;
  EXPECT_NE(tree.find("PARAM 1.12.103 interface-mode 2\n"), std::string::npos);
  EXPECT_NE(tree.find("PARAM 1.12.1.2 device 101\n"), std::string::npos);
  EXPECT_NE(tree.find("DONE\n"), std::string::npos);

  auto watch = Consumer(port, {"watch", "1.12.1.1"});
  ASSERT_TRUE(watch->WaitForOutput("READY", kWaitMs)) << watch->Stderr();
  auto kirn_watch = Start({KIRN_BIN, "watch", "101"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  // Target 2 is destination 3; "connect" is taken as absolute.
  auto take = Consumer(port, {"take", "1.12.1.1", "2", "5", "connect"});
  ASSERT_EQ(take->Wait(kWaitMs), 0) << take->Stderr();
  EXPECT_NE(take->Stdout().find("CONN 1.12.1.1 2 5 1\nFINAL 1 5\n"), std::string::npos)
      << take->Stdout();
  EXPECT_NE(take->Stdout().find(" 2\n"), std::string::npos) << "pending first: " << take->Stdout();
  EXPECT_TRUE(Wire("SA3,5", kWaitMs)) << sim_->Err();
  EXPECT_TRUE(kirn_watch->WaitForOutput("RR 101 003 005", kWaitMs));
  EXPECT_TRUE(watch->WaitForOutput("CONN 1.12.1.1 2 5 0\n", kWaitMs)) << watch->Stdout();

  // At the router's own panel: destination 4 takes source 9.
  ASSERT_TRUE(sim_->Console("route A 4 9", "ok route"));
  EXPECT_TRUE(watch->WaitForOutput("CONN 1.12.1.1 3 9 0\n", kWaitMs)) << watch->Stdout();
  watch->Kill();
  kirn_watch->Kill();
}

// A destination locked by the control system and a read-only provider answer locked with nothing
// on the wire; only the allowed addresses may connect.
TEST_F(EmberTest, LockedReadOnlyAndTheAllowList) {
  const int port = StartEmber();
  ASSERT_EQ(Kirn({"send", "101", "RL 101 6 6 1 0"}).code, 0);
  RawConsumer c(port);
  c.Directory(kMatrixA);
  ASSERT_TRUE(c.Until([&] { return c.tally_.size() == 16; }));
  c.Take(kMatrixA, 5, 7);
  ASSERT_TRUE(c.Until([&] { return c.disposition_[5] == 3; }));
  EXPECT_TRUE(
      metrics_[0]->WaitForOutput("destination 6 answered locked: locked by the control "
                                 "system",
                                 kWaitMs, true))
      << metrics_[0]->Stderr();
  // Unlocked, the same take goes through: at once, or once the refusal has had the tables read
  // again (what the provider knows of the locks is as old as its last read).
  ASSERT_EQ(Kirn({"send", "101", "RL 101 6 6 0 0"}).code, 0);
  for (int i = 0; i < 20 && c.disposition_[5] != 1; ++i) {
    c.disposition_.erase(5);
    c.Take(kMatrixA, 5, 7);
    ASSERT_TRUE(c.Until([&] { return c.disposition_.count(5) && c.disposition_[5] != 2; }));
    if (c.disposition_[5] == 3) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_EQ(c.disposition_[5], 1) << metrics_[0]->Stderr();
  EXPECT_EQ(c.tally_[5], 7);
  EXPECT_TRUE(Wire("SA6,7", kWaitMs));

  const int read_only = StartEmber({"--ember-read-only", "--ember-allow", "127.0.0.2/32"});
  RawConsumer refused(read_only, "127.0.0.1");
  EXPECT_TRUE(refused.Closed());
  EXPECT_TRUE(metrics_[1]->WaitForOutput("refused: not in the allow list", kWaitMs, true));
  RawConsumer allowed(read_only, "127.0.0.2");
  allowed.Directory(kMatrixA);
  ASSERT_TRUE(allowed.Until([&] { return allowed.tally_.size() == 16; }));
  allowed.Take(kMatrixA, 7, 9);
  ASSERT_TRUE(allowed.Until([&] { return allowed.disposition_[7] == 3; }));
  EXPECT_TRUE(metrics_[1]->WaitForOutput("read-only", kWaitMs, true));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(Wire("SA8,9", 0)) << "nothing of the refused take: " << sim_->Err();
}

// A malformed frame closes that consumer, one that stops reading is closed once too much waits
// for it, and 64 consumers at once (16 from each of four addresses) are served all the while.
TEST_F(EmberTest, BadAndStalledConsumersAreClosedAloneAndSixtyFourAreServed) {
  const int port = StartEmber({"--ember-max-unsent", "16384"});
  RawConsumer fast(port);
  fast.Directory(kMatrixA);
  ASSERT_TRUE(fast.Until([&] { return fast.tally_.size() == 16; }));
  RawConsumer stalled(port, "127.0.0.1", 4096);
  stalled.Directory(kMatrixA);
  RawConsumer bad(port);
  bad.Send({0xFE, 0x00, 0x0E, 0x00, 0x01, 0xC0, 0x01, 0xFF});
  EXPECT_TRUE(bad.Closed());
  EXPECT_TRUE(metrics_[0]->WaitForOutput("closed: a malformed frame", kWaitMs, true));

  std::vector<std::unique_ptr<RawConsumer>> many;
  const char* from[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
  for (int i = 0; i < 64; ++i) {
    many.push_back(std::make_unique<RawConsumer>(port, from[i / 16]));
    many.back()->Directory(kMatrixA);
  }
  RawConsumer over(port, "127.0.0.2");  // the 17th from one address
  EXPECT_TRUE(over.Closed());
  for (auto& m : many) ASSERT_TRUE(m->Until([&] { return m->tally_.size() == 16; }));

  // A salvo far more than the stalled consumer can be held for; the last route reaches all.
  std::string list;
  for (int i = 0; i < 8000; ++i) {
    list +=
        "RC 101 " + std::to_string(1 + i % 30) + " " + std::to_string(1 + i % 16) + " ',---' 0\n";
  }
  list += "RC 101 31 16 ',---' 0\n";
  const auto file = dir_.path() / "salvo.txt";
  testing_support::WriteFile(file, list);
  Process send({"/bin/sh", "-c",
                std::string("exec '") + KIRN_BIN + "' send 101 - --wait 200 < '" + file.string() +
                    "' > /dev/null"},
               Env());
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (send.Wait(0) == -1 && Clock::now() < deadline) {
    fast.Until([] { return false; }, 20);
    for (auto& m : many) m->Until([] { return false; }, 0);
  }
  ASSERT_EQ(send.Wait(1000), 0) << send.Stderr();
  EXPECT_TRUE(fast.Until([&] { return fast.tally_[15] == 31; }));
  for (auto& m : many) EXPECT_TRUE(m->Until([&] { return m->tally_[15] == 31; }));
  EXPECT_TRUE(metrics_[0]->WaitForOutput("the consumer does not read", kWaitMs, true))
      << metrics_[0]->Stderr();
  EXPECT_TRUE(stalled.Closed());
}

}  // namespace
