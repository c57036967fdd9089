// The controller emulator run as a real process: its answers on TCP and on the pseudo-terminal,
// one state shared by a controller pair with route reports reaching every connection, and the
// console's fault commands.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim_process.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::Process;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

constexpr int kWaitMs = 5000;  // upper bound of every wait for something that should happen
constexpr int kQuietMs = 300;  // how long "nothing arrives" is watched

using Sim = testing_support::SimProcess;

// One end of a byte stream (a TCP connection or the terminal), read with bounded waits.
class Peer {
 public:
  explicit Peer(int fd) : fd_(fd) {}
  ~Peer() {
    if (fd_ >= 0) ::close(fd_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  static std::unique_ptr<Peer> Tcp(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<Peer>(fd);
  }

  bool valid() const { return fd_ >= 0; }

  void Send(const std::string& bytes) {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Reads until what arrived since the last read contains `want`, the stream ends or
  // `timeout_ms` pass. Returns everything read, so a mismatch shows in the failure message.
  std::string ReadUntil(const std::string& want, int timeout_ms = kWaitMs) {
    Pump([&want](const std::string& got) { return got.find(want) != std::string::npos; },
         timeout_ms);
    return Take();
  }

  // Everything that arrives within `ms`.
  std::string Collect(int ms = kQuietMs) {
    Pump([](const std::string&) { return false; }, ms);
    return Take();
  }

  // True when the other side closes the stream within the usual bound.
  bool WaitEnd() {
    Pump([](const std::string&) { return false; }, kWaitMs);
    return ended_;
  }

  // Sends a command and returns what came back once `want` was there (or the time ran out).
  std::string Ask(const std::string& command, const std::string& want) {
    Send(command);
    return ReadUntil(want);
  }

  bool ended() const { return ended_; }

 private:
  void Pump(const std::function<bool(const std::string&)>& done, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done(got_) && !ended_) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) {
        ended_ = true;
        return;
      }
      got_.append(buffer, static_cast<size_t>(n));
    }
  }

  std::string Take() {
    std::string all;
    all.swap(got_);
    return all;
  }

  int fd_;
  std::string got_;
  bool ended_ = false;
};

class Mc1000SimTest : public ::testing::Test {
 protected:
  // Starts the emulator with `args` and waits until it is ready.
  Sim& Start(const std::vector<std::string>& args) {
    sim_ = std::make_unique<Sim>(args);
    EXPECT_TRUE(sim_->Ready()) << sim_->Err();
    return *sim_;
  }

  void TearDown() override {
    if (sim_ && HasFailure()) std::fprintf(stderr, "emulator log:\n%s", sim_->Err().c_str());
  }

  TempDir dir_;
  std::unique_ptr<Sim> sim_;
};

TEST_F(Mc1000SimTest, CommandLine) {
  Process help({MC1000_SIM_BIN, "--help"});
  EXPECT_EQ(help.Wait(kWaitMs), 0);
  for (const char* fault :
       {"silent on|off", "delay MS", "drop N", "close PORT|all", "refuse PORT on|off", "noise",
        "lf on|off", "bytewise", "stall MS", "route L DEST SRC", "status", "quit", "--baud N",
        "--tcp-baud N", "--xpt-ms MS"}) {
    EXPECT_NE(help.Stdout().find(fault), std::string::npos) << fault;
  }

  Process nothing({MC1000_SIM_BIN});
  EXPECT_EQ(nothing.Wait(kWaitMs), 2);
  EXPECT_NE(nothing.Stderr().find("--tcp"), std::string::npos);
  Process bad_port({MC1000_SIM_BIN, "--tcp", "70000"});
  EXPECT_EQ(bad_port.Wait(kWaitMs), 2);
  Process bad_bind({MC1000_SIM_BIN, "--tcp", "0", "--bind", "localhost:1"});
  EXPECT_EQ(bad_bind.Wait(kWaitMs), 2);
  Process bad_baud({MC1000_SIM_BIN, "--tcp", "0", "--baud", "0"});
  EXPECT_EQ(bad_baud.Wait(kWaitMs), 2);
  EXPECT_NE(bad_baud.Stderr().find("--baud takes"), std::string::npos);
  Process bad_xpt({MC1000_SIM_BIN, "--tcp", "0", "--xpt-ms", "-1"});
  EXPECT_EQ(bad_xpt.Wait(kWaitMs), 2);

  // A path that is not a link is never replaced by the terminal's link.
  const auto file = dir_.path() / "COM1";
  WriteFile(file, "keep");
  Process pty_on_file({MC1000_SIM_BIN, "--pty", file.string()});
  EXPECT_EQ(pty_on_file.Wait(kWaitMs), 1);
  EXPECT_EQ(ReadFile(file), "keep");
}

TEST_F(Mc1000SimTest, AnswersTheControllerCommands) {
  Sim& sim = Start({"--tcp", "0", "--levels", "3", "--dests", "64", "--sources", "32"});
  auto c = Peer::Tcp(sim.ports.at(0));
  ASSERT_TRUE(c);

  EXPECT_EQ(c->Ask(".SA12,5\r", "\r"), ".UA12,5\r");
  EXPECT_EQ(c->Ask(".IA12\r", "\r"), ".AA12,5\r");
  EXPECT_EQ(c->Ask(".IC64\r", "\r"), ".AC64,0\r") << "untouched destinations are fed by 0";
  EXPECT_EQ(c->Ask(".SA12,0\r", "\r"), ".UA12,0\r") << "source 0 is a valid source";

  EXPECT_EQ(c->Ask(".BI7\r", "\r"), ".BA7,0\r");
  EXPECT_EQ(c->Ask(".BL7\r", "\r"), ".BA7,255\r");
  EXPECT_EQ(c->Ask(".BI7\r", "\r"), ".BA7,255\r");
  EXPECT_EQ(c->Ask(".BU7\r", "\r"), ".BA7,0\r");

  EXPECT_EQ(c->Ask(".WS4,CAM1     \r", "\r"), ".RAS4\r");
  EXPECT_EQ(c->Ask(".WE64,MON,LEFT  \r", "\r"), ".RAE64\r") << "a comma inside a name";

  // Anything that cannot be executed is acknowledged and changes nothing.
  c->Send(".SA12,9\r");
  c->ReadUntil("\r");
  for (const char* bad :
       {".SD1,1\r", ".SA65,1\r", ".SA0,1\r", ".SA12\r", ".SA12,5x\r", ".Sa12,5\r", ".SA1234567,5\r",
        ".IA0\r", ".BL65\r", ".BI\r", ".WS33,X\r", ".WD0,X\r", ".WS4\r", ".X\r", ".\r"}) {
    EXPECT_EQ(c->Ask(bad, "\r"), ".A\r") << bad;
  }
  EXPECT_EQ(c->Ask(".IA12\r", "\r"), ".AA12,9\r");

  // Bytes outside commands are skipped, a line feed also ends a command, and a command may
  // arrive in pieces.
  EXPECT_EQ(c->Ask("\x07noise\r\n.IA12\n", "\r"), ".AA12,9\r");
  for (const char ch : std::string(".SB3,4\r")) c->Send(std::string(1, ch));
  EXPECT_EQ(c->ReadUntil("\r"), ".UB3,4\r");
  EXPECT_EQ(c->Ask(".IA12\r.IB3\r", ".AB3,4\r"), ".AA12,9\r.AB3,4\r");

  // An endless command is discarded without taking the emulator down; the next one works.
  c->Send("." + std::string(100000, 'S'));
  EXPECT_EQ(c->Ask("\r.IB3\r", "\r"), ".AB3,4\r");
}

// A route to a locked destination or from a source beyond the router is refused, answered as
// asked: with the unchanged crosspoint (to the asker only), a bare acknowledgement, or nothing.
// Interrogates may be answered with ".U", and a destination beyond the router not at all.
TEST_F(Mc1000SimTest, RefusesAsAControllerDoesAndAnswersItsOwnWay) {
  Sim& sim = Start({"--tcp", "0", "--tcp", "0", "--dests", "16", "--sources", "32"});
  auto c = Peer::Tcp(sim.ports.at(0));
  auto other = Peer::Tcp(sim.ports.at(1));
  ASSERT_TRUE(c && other);
  EXPECT_EQ(c->Ask(".SA3,5\r", "\r"), ".UA3,5\r");
  EXPECT_EQ(other->ReadUntil("\r"), ".UA3,5\r");
  ASSERT_TRUE(sim.Console("lock 3 255", "ok lock"));
  EXPECT_EQ(c->ReadUntil("\r"), ".BA3,255\r");
  EXPECT_EQ(other->ReadUntil("\r"), ".BA3,255\r");
  EXPECT_EQ(c->Ask(".SA3,7\r", "\r"), ".UA3,5\r") << "the unchanged crosspoint";
  EXPECT_EQ(c->Ask(".SA4,33\r", "\r"), ".UA4,0\r") << "no source 33";
  EXPECT_EQ(other->Collect(), "") << "a refusal is the asker's";
  ASSERT_TRUE(sim.Console("refuse-with ack", "ok refuse-with ack"));
  EXPECT_EQ(c->Ask(".SA3,7\r", "\r"), ".A\r");
  ASSERT_TRUE(sim.Console("refuse-with none", "ok refuse-with none"));
  c->Send(".SA3,7\r.SA4,33\r");
  EXPECT_EQ(c->Ask(".IA3\r", "\r"), ".AA3,5\r") << "refused without a word, nothing changed";
  EXPECT_TRUE(sim.WaitErr(".SA3,7\\r refused (locked)"));
  EXPECT_TRUE(sim.WaitErr(".SA4,33\\r refused (no such source)"));
  EXPECT_EQ(c->Ask(".IA17\r", "\r"), ".A\r") << "beyond the router, acknowledged";

  Sim& odd = Start({"--tcp", "0", "--dests", "16", "--u-answers", "--ignore-beyond"});
  auto d = Peer::Tcp(odd.ports.at(0));
  ASSERT_TRUE(d);
  d->Send(".IA17\r.SA17,1\r.BL17\r");
  EXPECT_EQ(d->Ask(".IA16\r", "\r"), ".UA16,0\r") << "nothing beyond the router, .U answers";
}

TEST_F(Mc1000SimTest, PairSharesOneStateAndReportsChangesToEveryConnection) {
  Sim& sim = Start({"--tcp", "0", "--tcp", "0", "--pad"});
  ASSERT_EQ(sim.ports.size(), 2u);
  ASSERT_NE(sim.ports[0], sim.ports[1]);
  auto a = Peer::Tcp(sim.ports[0]);
  auto a2 = Peer::Tcp(sim.ports[0]);
  auto b = Peer::Tcp(sim.ports[1]);
  ASSERT_TRUE(a && a2 && b);

  a->Send(".SA12,5\r");
  EXPECT_EQ(a->ReadUntil("\r"), ".UA012,005\r");
  EXPECT_EQ(a2->ReadUntil("\r"), ".UA012,005\r");
  EXPECT_EQ(b->ReadUntil("\r"), ".UA012,005\r");

  // Controller B sees what was routed through A; the answer goes to the asker only.
  EXPECT_EQ(b->Ask(".IA12\r", "\r"), ".AA012,005\r");
  b->Send(".BL130\r");
  EXPECT_EQ(b->ReadUntil("\r"), ".BA130,255\r");
  EXPECT_EQ(a->ReadUntil("\r"), ".BA130,255\r") << "lock changes reach every connection";
  EXPECT_EQ(a2->ReadUntil("\r"), ".BA130,255\r");
  EXPECT_EQ(a->Collect(), "") << "no interrogation answer for a connection that did not ask";
}

TEST_F(Mc1000SimTest, TerminalCarriesCommandsAndLosesWhatNobodyReads) {
  const std::string link = (dir_.path() / "COM1").string();
  // A stale link left by an earlier run is replaced.
  std::filesystem::create_symlink("/nonexistent", link);
  Sim& sim = Start({"--pty", link, "--tcp", "0"});
  auto tcp = Peer::Tcp(sim.ports.at(0));
  ASSERT_TRUE(tcp);

  // A route reported while nobody has the terminal open is not delivered to the next opener.
  tcp->Send(".SA1,1\r");
  ASSERT_EQ(tcp->ReadUntil("\r"), ".UA1,1\r");
  {
    Peer line(::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(line.valid());
    EXPECT_EQ(line.Ask(".IA3\r", "\r"), ".AA3,0\r") << "raw: no echo, carriage return kept";
    tcp->Send(".SA3,7\r");
    EXPECT_EQ(line.ReadUntil("\r"), ".UA3,7\r");
    EXPECT_EQ(tcp->ReadUntil("\r"), ".UA3,7\r");
  }
  ASSERT_TRUE(sim.WaitErr("closed by its peer"));
  tcp->Send(".SA4,8\r");
  ASSERT_EQ(tcp->ReadUntil("\r"), ".UA4,8\r");
  {
    Peer line(::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(line.valid());
    EXPECT_EQ(line.Ask(".IA4\r", "\r"), ".AA4,8\r") << "nothing stale before the answer";
  }

  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(link)) << "the link goes with the emulator";
}

// A serial line carries what is written from the moment the port is opened: the emulator
// serves a newly opened terminal at once, not at its next look for a peer.
TEST_F(Mc1000SimTest, TerminalIsServedFromTheMomentItIsOpened) {
  const std::string link = (dir_.path() / "COM1").string();
  Sim& sim = Start({"--pty", link});
  constexpr int kOpenings = 10;
  Clock::duration waited{};
  for (int i = 0; i < kOpenings; ++i) {
    const size_t from = sim.Err().size();
    {
      Peer line(::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
      ASSERT_TRUE(line.valid());
      const auto opened = Clock::now();
      ASSERT_EQ(line.Ask(".IA1\r", "\r"), ".AA1,0\r");
      waited += Clock::now() - opened;
    }
    ASSERT_TRUE(sim.WaitErr("closed by its peer", kWaitMs, from));
  }
  // A look every 100 ms would cost about 50 ms an opening, 500 ms in all.
  EXPECT_LT(waited, std::chrono::milliseconds(200))
      << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms";
}

TEST_F(Mc1000SimTest, SilentAndDropLoseRepliesDifferently) {
  Sim& sim = Start({"--tcp", "0"});
  auto c = Peer::Tcp(sim.ports.at(0));
  ASSERT_TRUE(c);

  // Silent: the command is carried out, nothing is sent back.
  ASSERT_TRUE(sim.Console("silent on", "ok silent on"));
  c->Send(".SA2,6\r");
  EXPECT_EQ(c->Collect(), "");
  ASSERT_TRUE(sim.Console("silent off", "ok silent off"));
  EXPECT_EQ(c->Ask(".IA2\r", "\r"), ".AA2,6\r");

  // Dropped: the command has no effect at all.
  ASSERT_TRUE(sim.Console("drop 1", "ok drop 1"));
  c->Send(".SA2,7\r");
  EXPECT_EQ(c->Collect(), "");
  EXPECT_EQ(c->Ask(".IA2\r", "\r"), ".AA2,6\r");
}

TEST_F(Mc1000SimTest, CloseAndRefuseActOnOnePort) {
  Sim& sim = Start({"--tcp", "0", "--tcp", "0"});
  const std::string a_port = std::to_string(sim.ports.at(0));
  auto a = Peer::Tcp(sim.ports[0]);
  auto b = Peer::Tcp(sim.ports[1]);
  ASSERT_TRUE(a && b);
  ASSERT_EQ(a->Ask(".IA1\r", "\r"), ".AA1,0\r");  // both accepted before the close

  ASSERT_TRUE(sim.Console("close " + a_port, "ok close " + a_port + ": 1 closed"));
  EXPECT_TRUE(a->WaitEnd());
  EXPECT_EQ(b->Ask(".IA1\r", "\r"), ".AA1,0\r");

  ASSERT_TRUE(sim.Console("refuse " + a_port + " on", "ok refuse " + a_port + " on"));
  EXPECT_FALSE(Peer::Tcp(sim.ports[0])) << "connects to a refusing port fail";
  EXPECT_EQ(b->Ask(".IA1\r", "\r"), ".AA1,0\r");
  ASSERT_TRUE(sim.Console("refuse " + a_port + " off", "ok refuse " + a_port + " off"));
  auto again = Peer::Tcp(sim.ports[0]);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Ask(".IA1\r", "\r"), ".AA1,0\r");

  ASSERT_TRUE(sim.Console("close all", "ok close all: 2 closed"));
  EXPECT_TRUE(b->WaitEnd());
  EXPECT_TRUE(again->WaitEnd());
  EXPECT_TRUE(sim.Console("close 1", "error: no TCP port 1"));
}

TEST_F(Mc1000SimTest, LineFaultsShapeTheBytesOnTheWire) {
  Sim& sim = Start({"--tcp", "0"});
  auto c = Peer::Tcp(sim.ports.at(0));
  ASSERT_TRUE(c);

  ASSERT_TRUE(sim.Console("lf on", "ok lf on"));
  EXPECT_EQ(c->Ask(".IA1\r", "\n"), ".AA1,0\r\n");
  ASSERT_TRUE(sim.Console("lf off", "ok lf off"));

  ASSERT_TRUE(sim.Console("noise", "ok noise"));
  const std::string noise = c->ReadUntil("\r");
  EXPECT_FALSE(noise.empty());
  EXPECT_EQ(noise.find('.'), std::string::npos) << noise;
  ASSERT_TRUE(sim.Console("noise ab\\x01\\r", "ok noise ab\\x01\\r"));
  EXPECT_EQ(c->ReadUntil("\r"), std::string("ab\x01\r"));
  EXPECT_TRUE(sim.Console("noise a.b", "error: noise text must not contain a full stop"));

  ASSERT_TRUE(sim.Console("bytewise on 2", "ok bytewise on 2"));
  EXPECT_EQ(c->Ask(".SZ4095,4096\r", "\r"), ".UZ4095,4096\r");
  ASSERT_TRUE(sim.Console("bytewise off", "ok bytewise off"));

  // A delayed reply is held back (a lower bound only: the machine may be slow, never fast).
  ASSERT_TRUE(sim.Console("delay 400", "ok delay 400"));
  const auto sent = Clock::now();
  EXPECT_EQ(c->Ask(".IA1\r", "\r"), ".AA1,0\r");
  EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(350));
  ASSERT_TRUE(sim.Console("delay 0", "ok delay 0"));
}

TEST_F(Mc1000SimTest, FrontPanelChangesStatusAndQuit) {
  Sim& sim = Start({"--tcp", "0", "--tcp", "0"});
  auto a = Peer::Tcp(sim.ports.at(0));
  auto b = Peer::Tcp(sim.ports.at(1));
  ASSERT_TRUE(a && b);
  ASSERT_EQ(a->Ask(".IA1\r", "\r"), ".AA1,0\r");  // both accepted before the route

  ASSERT_TRUE(sim.Console("route C 17 3", "ok route C 17 3"));
  EXPECT_EQ(a->ReadUntil("\r"), ".UC17,3\r");
  EXPECT_EQ(b->ReadUntil("\r"), ".UC17,3\r");
  EXPECT_EQ(b->Ask(".IC17\r", "\r"), ".AC17,3\r");
  ASSERT_TRUE(sim.Console("lock 9 1", "ok lock 9 1"));
  EXPECT_EQ(a->ReadUntil("\r"), ".BA9,1\r");
  EXPECT_TRUE(sim.Console("route [ 1 1", "error: usage: route"));
  EXPECT_TRUE(sim.Console("route A 4097 1", "error: usage: route"));
  EXPECT_TRUE(sim.Console("silent maybe", "error: usage: silent on|off"));
  EXPECT_TRUE(sim.Console("explode", "error: unknown command 'explode'"));

  ASSERT_TRUE(sim.Console("status", "ok status"));
  const std::string out = sim.Out();
  EXPECT_NE(
      out.find("status tcp 127.0.0.1:" + std::to_string(sim.ports[0]) + " accepting clients 1"),
      std::string::npos)
      << out;
  EXPECT_NE(out.find("status level C routed 1"), std::string::npos) << out;
  EXPECT_NE(out.find("status locked 1 names 0"), std::string::npos) << out;

  // The wire log shows each command and reply.
  EXPECT_NE(sim.Err().find("rx tcp:" + std::to_string(sim.ports[1]) + "#2 .IC17\\r"),
            std::string::npos);
  EXPECT_NE(sim.Err().find("tx tcp:" + std::to_string(sim.ports[1]) + "#2 .AC17,3\\r"),
            std::string::npos);

  ASSERT_TRUE(sim.Console("quit", "ok quit"));
  EXPECT_EQ(sim.Wait(), 0);
}

// Time a line at `baud` takes for `bytes` bytes of ten bits.
std::chrono::microseconds WireTime(size_t bytes, long baud) {
  return std::chrono::microseconds(static_cast<long long>(bytes) * 10 * 1000000 / baud);
}

TEST_F(Mc1000SimTest, TerminalTakesAndAnswersAtTheLineRate) {
  const std::string link = (dir_.path() / "COM1").string();
  Sim& sim = Start({"--pty", link, "--baud", "38400"});
  Peer line(::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(line.valid());
  ASSERT_EQ(line.Ask(".IA1\r", "\r"), ".AA1,0\r");

  // A burst of 40 routes written at once. The numbers are zero-filled, so the commands (17
  // bytes) are longer than their reports (at most 8): the burst's time is the line's time for
  // the commands, which only a paced receiver spends.
  std::string burst;
  std::string reports;
  for (int i = 1; i <= 40; ++i) {
    char command[32];
    std::snprintf(command, sizeof command, ".SA%06d,%06d\r", i, i % 7 + 1);
    burst += command;
    reports += ".UA" + std::to_string(i) + "," + std::to_string(i % 7 + 1) + "\r";
  }
  const size_t last_report = reports.size() - reports.rfind(".UA");
  const auto wire = WireTime(burst.size() + last_report, 38400);
  const auto sent = Clock::now();
  line.Send(burst);
  EXPECT_EQ(line.ReadUntil(".UA40,6\r"), reports);
  const auto took = Clock::now() - sent;
  EXPECT_GE(took, wire);
  EXPECT_LE(took, 2 * wire + std::chrono::milliseconds(150))
      << "wire time " << wire.count() << " us";

  // Replies are paced too: 384 bytes of noise take their line time to come out.
  const std::string noise(383, '~');
  const auto asked = Clock::now();
  ASSERT_TRUE(sim.Console("noise " + noise + "\\r", "ok noise"));
  EXPECT_EQ(line.ReadUntil("\r"), noise + "\r");
  EXPECT_GE(Clock::now() - asked, WireTime(noise.size() + 1, 38400));
}

TEST_F(Mc1000SimTest, RoutesTakeTheirExecutionTimeOneAfterAnother) {
  Sim& sim = Start({"--tcp", "0", "--xpt-ms", "40"});
  auto c = Peer::Tcp(sim.ports.at(0));
  ASSERT_TRUE(c);
  ASSERT_EQ(c->Ask(".IA1\r", "\r"), ".AA1,0\r") << "an interrogate alone is answered at once";

  // Four routes and an interrogate between them, all at once: each route report comes at least
  // one execution time after the one before; the interrogate waits its turn but costs nothing.
  const auto sent = Clock::now();
  c->Send(".SA1,1\r.SA2,2\r.SA3,3\r.IA1\r.SA4,4\r");
  // A loaded machine may wake this reader only after several reports have come: each is looked
  // for in everything read so far, and its time bound holds all the more for a late reader.
  std::string got;
  for (int k = 1; k <= 4; ++k) {
    const std::string report = ".UA" + std::to_string(k) + "," + std::to_string(k) + "\r";
    if (got.find(report) == std::string::npos) got += c->ReadUntil(report);
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(40 * k)) << report;
  }
  EXPECT_EQ(got, ".UA1,1\r.UA2,2\r.UA3,3\r.AA1,1\r.UA4,4\r");
  EXPECT_LE(Clock::now() - sent, std::chrono::milliseconds(160 + 500));
}

TEST_F(Mc1000SimTest, StallHoldsEverythingThenAnswersItInOrder) {
  Sim& sim = Start({"--tcp", "0"});
  auto c = Peer::Tcp(sim.ports.at(0));
  ASSERT_TRUE(c);
  ASSERT_EQ(c->Ask(".IA1\r", "\r"), ".AA1,0\r");

  const auto stalled = Clock::now();
  ASSERT_TRUE(sim.Console("stall 500", "ok stall 500"));
  c->Send(".SA5,6\r.IA5\r.BL9\r");
  EXPECT_EQ(c->Collect(), "") << "nothing is answered during the stall";
  EXPECT_EQ(c->ReadUntil(".BA9,255\r"), ".UA5,6\r.AA5,6\r.BA9,255\r");
  EXPECT_GE(Clock::now() - stalled, std::chrono::milliseconds(500));

  // Over again: the next command is answered at once.
  EXPECT_EQ(c->Ask(".IA5\r", "\r"), ".AA5,6\r");
  ASSERT_TRUE(sim.Console("stall 60000", "ok stall 60000"));
  c->Send(".IA5\r");
  ASSERT_TRUE(sim.Console("stall 0", "ok stall 0")) << "stall 0 ends a stall";
  EXPECT_EQ(c->ReadUntil("\r"), ".AA5,6\r");
  // A stall of one port leaves the other controller of a pair answering.
  Sim& pair = Start({"--tcp", "0", "--tcp", "0"});
  auto a = Peer::Tcp(pair.ports.at(0));
  auto b = Peer::Tcp(pair.ports.at(1));
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(pair.Console("stall 500 " + std::to_string(pair.ports.at(0)), "ok stall 500"));
  a->Send(".IA5\r");
  EXPECT_EQ(b->Ask(".IA5\r", "\r"), ".AA5,0\r");
  EXPECT_EQ(a->Collect(), "");
  EXPECT_EQ(a->ReadUntil("\r"), ".AA5,0\r");
}

}  // namespace
