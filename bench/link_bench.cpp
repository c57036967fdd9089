// End-to-end figures of the controller link with the real programs: `kirn serve`, the driver and
// the controller emulator, started by this program in a temporary site on loopback.
//
//   routes/s   a salvo of route commands through `kirn send - --stats` (first delivery to last
//              revertive), over TCP and over the emulator's pseudo-terminal;
//   latency    one route at a time from this process as a kirn client: command delivered to the
//              driver until its revertive arrives back here (p50, p90, p99, max);
//   idle CPU   the driver's user + system time over a quiet spell with 26 routers polled at the
//              default TallyDelay of 500 ms;
//   failover   a redundant pair on 127.0.0.1 and 127.0.0.2 with a route every 50 ms: the active
//              controller is killed (SIGKILL), a route is sent at once, and the time from the
//              kill to its revertive (through the other controller) is measured; the killed
//              controller is started again and the next round kills the other one. Routes
//              without a revertive are counted as lost.
//
// The routes' figures are taken with the resync walk after the connect turned off
// (ResyncOnConnect=0), so that they are the routes' own; pace_bench times the walk.
//
// kirn send hands the driver one command at a time and waits for its answer, so the salvo's
// rate is bounded by a bus round trip per command (see bus_bench) as much as by the driver; the
// same salvo in simulation, with no controller at all, is no faster.
//
// Run it by hand (it is not part of the test run):
//   build/bench/link_bench [--routes N] [--latency N] [--idle SECONDS] [--failovers N]
//                          [--only tcp|serial|idle|failover]
// Every process it starts is stopped before it returns; the site directory is removed.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_child.h"
#include "bench/bench_site.h"
#include "bench/bench_usage.h"
#include "bench/proc_stat.h"
#include "tools/kirn/common/kirn_messages.h"
#include "tools/kirn/common/tool_client.h"

namespace {

using bench::Bins;
using bench::Child;
using bench::Clock;
using bench::CpuSeconds;
using bench::ReadAll;
using bench::Site;
using bench::WriteAll;
namespace fs = std::filesystem;

constexpr int kStartMs = 20000;     // bound of every wait for a program to come up
constexpr int kRevertiveMs = 5000;  // bound of the wait for one route's revertive

struct Options {
  int routes = 20000;
  int latency = 2000;
  int idle_seconds = 60;
  int failovers = 10;
  std::string only;
};

// Percentile `q` (0..1) of sorted values, nearest rank.
double Percentile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  const size_t rank = static_cast<size_t>(q * static_cast<double>(sorted.size()) + 0.999999);
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

std::string RouteText(int src, int dst) {
  return "RC 101 " + std::to_string(src) + " " + std::to_string(dst) + " ',---' 0";
}

std::string RevertiveText(int src, int dst) {
  char text[48];
  std::snprintf(text, sizeof text, "REV 0 RR 101 %03d %03d", dst, src);
  return text;
}

// Route k of a run on a router of `dests` destinations: every destination in turn, each pass
// with the next source, starting at `first_source`, so that every route changes a tally and is
// answered with a revertive.
void NthRoute(int k, int dests, int first_source, int* src, int* dst) {
  *dst = k % dests + 1;
  *src = first_source + k / dests;
}

class Bench {
 public:
  Bench(Bins bins, Options options, fs::path dir)
      : bins_(std::move(bins)), options_(options), site_{std::move(dir)} {}

  int Run() {
    serve_ =
        std::make_unique<Child>(std::vector<std::string>{bins_.kirn, "serve"}, site_.dir, "serve");
    if (!serve_->WaitFor("ready bus", kStartMs)) return Fail("kirn serve did not start");
    std::string error;
    client_ = kirn::ToolClient::Open(&error);
    if (!client_) return Fail("cannot attach to the bus: " + error);
    client_->SetLineHandler([this](std::string_view line) {
      if (line == expected_) arrived_ = Clock::now();
      if (collect_) arrivals_.emplace(std::string(line), Clock::now());
    });

    std::printf("link_bench: %d routes per salvo, %d routes one by one, %d s idle\n",
                options_.routes, options_.latency, options_.idle_seconds);
    int failures = 0;
    if (options_.only.empty() || options_.only == "tcp") failures += RoutesOverTcp();
    if (options_.only.empty() || options_.only == "serial") failures += RoutesOverTerminal();
    if (options_.only.empty() || options_.only == "idle") failures += IdleCpu();
    if (options_.only.empty() || options_.only == "failover") failures += Failover();
    return failures == 0 ? 0 : 1;
  }

 private:
  static constexpr int kDests = 4096;
  // The routes' own figures: without the walk that interrogates all 4096 destinations after the
  // connect, which would share the line with the first measurements (pace_bench times it).
  static constexpr const char* kNoResync = "ResyncOnConnect=0\n";

  int Fail(const std::string& what) {
    std::fprintf(stderr, "link_bench: %s\n", what.c_str());
    return 1;
  }

  std::unique_ptr<Child> StartSim(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {bins_.sim};
    argv.insert(argv.end(), args.begin(), args.end());
    auto sim = std::make_unique<Child>(argv, site_.dir, "sim");
    if (!sim->WaitFor("ready\n", kStartMs)) {
      std::fprintf(stderr, "link_bench: emulator did not start: %s\n", sim->Err().c_str());
      return nullptr;
    }
    return sim;
  }

  // Starts the driver and waits until the last router's device is registered.
  std::unique_ptr<Child> StartDriver(int last_device) {
    const size_t from = serve_->Out().size();
    auto driver =
        std::make_unique<Child>(std::vector<std::string>{bins_.xarvel, "12"}, site_.dir, "driver");
    const std::string want = "register " + std::to_string(last_device) + " ";
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartMs);
    while (serve_->Out().find(want, from) == std::string::npos) {
      if (driver->Wait(0) >= 0 || Clock::now() >= deadline) {
        std::fprintf(stderr, "link_bench: the driver did not register:\n%s\n",
                     driver->Err().c_str());
        return nullptr;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return driver;
  }

  // Revertives of device 101 are relayed to this process only while it watches: the stand-in
  // drops a watcher that does not answer in time, and this process serves the bus only while
  // it waits for a revertive of its own.
  bool Watch(bool on) {
    return on ? client_->Request(kirn::kKirnWatch, client_->window(), 101) == 1
              : client_->Request(kirn::kKirnUnwatch, client_->window(), 0) == 1;
  }

  // Sends one route and waits for its revertive; its latency in microseconds, or -1.
  double OneRoute(int src, int dst) {
    expected_ = RevertiveText(src, dst);
    arrived_ = Clock::time_point{};
    const auto sent = Clock::now();
    if (client_->RequestWithText(kirn::kKirnSend, 101, RouteText(src, dst)) != 1) return -1;
    const auto deadline = sent + std::chrono::milliseconds(kRevertiveMs);
    while (arrived_ == Clock::time_point{} && Clock::now() < deadline) {
      if (!client_->Pump(50)) return -1;
    }
    if (arrived_ == Clock::time_point{}) return -1;
    return std::chrono::duration<double, std::micro>(arrived_ - sent).count();
  }

  // The salvo and the one-by-one routes against a driver whose link is up.
  int MeasureRoutes(const std::string& label, Child& driver) {
    // The first route also waits for the link to come up.
    double warm = -1;
    if (!Watch(true)) return Fail("the interface stand-in refused to relay revertives");
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartMs);
    for (int src = 1; warm < 0 && Clock::now() < deadline; ++src) warm = OneRoute(src, kDests);
    Watch(false);
    if (warm < 0) return Fail(label + ": no revertive for a first route: " + driver.Err());

    // Salvo through kirn send.
    const int first_source = 100;
    std::string commands;
    std::set<std::string> expected;
    for (int k = 0; k < options_.routes; ++k) {
      int src = 0;
      int dst = 0;
      NthRoute(k, kDests, first_source, &src, &dst);
      commands += RouteText(src, dst) + "\n";
      expected.insert(RevertiveText(src, dst));
    }
    const fs::path list = site_.dir / "salvo.txt";
    WriteAll(list, commands);
    Child send({bins_.kirn, "send", "101", "-", "--stats", "--wait", "1000"}, site_.dir, "send",
               list.string());
    if (send.Wait(600000) != 0) return Fail(label + ": kirn send failed: " + send.Err());
    const std::string out = send.Out();
    long sent = 0;
    long revertives = 0;
    double seconds = 0;
    const size_t stats = out.rfind("sent ");
    if (stats == std::string::npos ||
        std::sscanf(out.c_str() + stats, "sent %ld, revertives %ld, seconds %lf", &sent,
                    &revertives, &seconds) != 3) {
      return Fail(label + ": no statistics line from kirn send");
    }
    long answered = 0;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) answered += expected.count(line);
    std::printf(
        "%-8s salvo: %ld routes through kirn send, %ld answered in %.3f s -> %.0f "
        "routes/s (%ld lost)\n",
        label.c_str(), sent, answered, seconds,
        seconds > 0 ? static_cast<double>(answered) / seconds : 0.0, sent - answered);

    // One by one: sources beyond the salvo's, so every route changes its tally again.
    const int next_source = first_source + (options_.routes + kDests - 1) / kDests + 1;
    std::vector<double> us;
    int lost = 0;
    if (!Watch(true)) return Fail("the interface stand-in refused to relay revertives");
    for (int k = 0; k < options_.latency; ++k) {
      int src = 0;
      int dst = 0;
      NthRoute(k, kDests, next_source, &src, &dst);
      const double t = OneRoute(src, dst);
      if (t < 0) {
        ++lost;
      } else {
        us.push_back(t);
      }
    }
    Watch(false);
    std::sort(us.begin(), us.end());
    std::printf(
        "%-8s one by one: %zu routes, %d without revertive; latency p50 %.0f us, p90 %.0f "
        "us, p99 %.0f us, max %.0f us\n",
        label.c_str(), us.size(), lost, Percentile(us, 0.5), Percentile(us, 0.9),
        Percentile(us, 0.99), us.empty() ? 0.0 : us.back());
    // The link is declared failed only after the controller has been silent for the reply
    // timeout (TCP: the driver drops the connection and connects again; serial: RX only until
    // the next report); a salvo that outruns the reports waits in the driver's send queue.
    const std::string trace = driver.Err();
    int trips = 0;
    for (size_t at = trace.find("Xarvel SendData("); at != std::string::npos;
         at = trace.find("Xarvel SendData(", at + 1)) {
      ++trips;
    }
    if (trips > 0) {
      std::printf("%-8s note: the link was declared failed %d time%s\n", label.c_str(), trips,
                  trips == 1 ? "" : "s");
    }
    return 0;
  }

  int RoutesOverTcp() {
    auto sim = StartSim({"--tcp", "0", "--quiet"});
    if (!sim) return 1;
    const int port = std::atoi(sim->Out().c_str() + sim->Out().find(':') + 1);
    site_.Write("Simulation=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" +
                    std::to_string(port) + "\nForwardBufferDelay=0\nTallyDelay=500\nDebugMode=0\n" +
                    kNoResync,
                1, kDests, kDests);
    auto driver = StartDriver(101);
    if (!driver) return 1;
    const int r = MeasureRoutes("tcp", *driver);
    driver->Stop();
    return r;
  }

  int RoutesOverTerminal() {
    const std::string com1 = (site_.dir / "COM1").string();
    auto sim = StartSim({"--pty", com1, "--quiet"});
    if (!sim) return 1;
    site_.Write(
        "Simulation=0\nConnection_Mode=SERIAL\nCom=1\nSpeed=38400\n"
        "ForwardBufferDelay=0\nTallyDelay=500\nDebugMode=0\n" +
            std::string(kNoResync),
        1, kDests, kDests);
    auto driver = StartDriver(101);
    if (!driver) return 1;
    const int r = MeasureRoutes("serial", *driver);
    // A pseudo-terminal does not pace bytes at the line speed; a real line would. The longest
    // route command and its report are 13 characters each; at 10 bits a character the line
    // carries at most this many routes a second (each direction on its own wire).
    const std::string longest = ".SA4096,4096\r";
    std::printf(
        "%-8s note: the pseudo-terminal ignores the speed; a 38400 baud line would carry "
        "at most %.0f routes/s of %zu-character commands\n",
        "serial", 38400.0 / 10 / static_cast<double>(longest.size()), longest.size());
    driver->Stop();
    return r;
  }

  int IdleCpu() {
    auto sim = StartSim({"--tcp", "0"});
    if (!sim) return 1;
    const int port = std::atoi(sim->Out().c_str() + sim->Out().find(':') + 1);
    constexpr int kRouters = 26;
    site_.Write("Simulation=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" +
                    std::to_string(port) + "\nForwardBufferDelay=0\nTallyDelay=500\nDebugMode=0\n",
                kRouters, 256, 64);
    auto driver = StartDriver(100 + kRouters);
    if (!driver) return 1;
    // Let start-up and the first connection settle.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const size_t log_from = sim->Err().size();
    const double before = CpuSeconds(driver->pid());
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(options_.idle_seconds));
    const double after = CpuSeconds(driver->pid());
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const std::string log = sim->Err().substr(log_from);
    size_t polls = 0;
    for (size_t at = log.find(" rx "); at != std::string::npos; at = log.find(" rx ", at + 1)) {
      ++polls;
    }
    if (before < 0 || after < 0) return Fail("idle: cannot read the driver's CPU time");
    std::printf(
        "idle     %d routers, TallyDelay 500: %zu interrogations in %.1f s; driver CPU "
        "%.3f s = %.3f%% of one core\n",
        kRouters, polls, wall, after - before, 100.0 * (after - before) / wall);
    driver->Stop();
    return 0;
  }

  // Which controller of the pair the driver uses now, from its trace: 'A', 'B' or 0.
  static char ActiveController(const Child& driver) {
    const std::string trace = driver.Err();
    const size_t a = trace.rfind("Net A FD Connected ok");
    const size_t b = trace.rfind("Net B FD Connected ok");
    if (a == std::string::npos && b == std::string::npos) return 0;
    if (b == std::string::npos || (a != std::string::npos && a > b)) return 'A';
    return 'B';
  }

  std::unique_ptr<Child> StartPairMember(const char* address, const std::string& port,
                                         const std::string& name) {
    auto sim = std::make_unique<Child>(
        std::vector<std::string>{bins_.sim, "--bind", address, "--tcp", port, "--quiet"}, site_.dir,
        name);
    if (!sim->WaitFor("ready\n", kStartMs)) return nullptr;
    return sim;
  }

  int Failover() {
    auto a = std::make_unique<Child>(
        std::vector<std::string>{bins_.sim, "--bind", "127.0.0.1", "--tcp", "0", "--quiet"},
        site_.dir, "simA");
    if (!a->WaitFor("ready\n", kStartMs)) return Fail("failover: emulator A did not start");
    const std::string port = std::to_string(std::atoi(a->Out().c_str() + a->Out().find(':') + 1));
    constexpr int kPairDests = 64;
    site_.Write(
        "Simulation=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Address_B=127.0.0.2\n"
        "Dual_Controllers=1\nIP_Port=" +
            port + "\nForwardBufferDelay=0\nTallyDelay=500\nDebugMode=0\n",
        1, kPairDests, kPairDests);
    auto driver = StartDriver(101);
    if (!driver) return 1;
    if (!driver->WaitFor("Net A FD Connected ok", kStartMs, true)) {
      return Fail("failover: the driver did not connect to A");
    }
    // B joins once the driver uses A.
    auto b = StartPairMember("127.0.0.2", port, "simB");
    if (!b) return Fail("failover: emulator B did not start on 127.0.0.2:" + port);
    if (!Watch(true)) return Fail("the interface stand-in refused to relay revertives");
    double warm = -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartMs);
    for (int src = 1; warm < 0 && Clock::now() < deadline; ++src) warm = OneRoute(src, 1);
    if (warm < 0) return Fail("failover: no revertive for a first route");

    std::vector<std::string> sent;
    int k = 0;
    auto send = [&] {
      int src = 0;
      int dst = 0;
      NthRoute(k++, kPairDests, 2, &src, &dst);
      const std::string text = RevertiveText(src, dst);
      sent.push_back(text);
      client_->RequestWithText(kirn::kKirnSend, 101, RouteText(src, dst));
      return text;
    };
    auto stream = [&](int n) {
      for (int i = 0; i < n; ++i) {
        send();
        const auto until = Clock::now() + std::chrono::milliseconds(50);
        while (Clock::now() < until) client_->Pump(10);
      }
    };
    collect_ = true;
    std::vector<double> ms;
    int unanswered = 0;
    for (int round = 0; round < options_.failovers; ++round) {
      stream(10);
      const char active = ActiveController(*driver);
      std::unique_ptr<Child>& victim = active == 'B' ? b : a;
      const auto killed = Clock::now();
      ::kill(victim->pid(), SIGKILL);
      victim->Wait(5000);
      const std::string first = send();
      const auto until = killed + std::chrono::milliseconds(kRevertiveMs);
      while (arrivals_.count(first) == 0 && Clock::now() < until) client_->Pump(10);
      if (arrivals_.count(first) == 0) {
        ++unanswered;
      } else {
        ms.push_back(std::chrono::duration<double, std::milli>(arrivals_[first] - killed).count());
      }
      stream(10);
      victim = StartPairMember(active == 'B' ? "127.0.0.2" : "127.0.0.1", port,
                               active == 'B' ? "simB" : "simA");
      if (!victim) return Fail("failover: a controller did not start again");
    }
    const auto settle = Clock::now() + std::chrono::milliseconds(2000);
    while (Clock::now() < settle) client_->Pump(20);
    collect_ = false;
    Watch(false);
    size_t lost = 0;
    for (const std::string& t : sent) lost += arrivals_.count(t) == 0 ? 1 : 0;
    std::sort(ms.begin(), ms.end());
    std::printf(
        "failover %d kills of the active controller: kill -> first revertive through the other "
        "controller median %.1f ms (min %.1f, max %.1f, %d never answered); %zu routes sent "
        "every 50 ms, %zu lost\n",
        options_.failovers, Percentile(ms, 0.5), ms.empty() ? 0.0 : ms.front(),
        ms.empty() ? 0.0 : ms.back(), unanswered, sent.size(), lost);
    arrivals_.clear();
    driver->Stop();
    return 0;
  }

  Bins bins_;
  Options options_;
  Site site_;
  std::unique_ptr<Child> serve_;
  std::unique_ptr<kirn::ToolClient> client_;
  std::string expected_;
  Clock::time_point arrived_{};
  bool collect_ = false;
  std::map<std::string, Clock::time_point> arrivals_;
};

constexpr char kUsage[] =
    "usage: link_bench [--routes N] [--latency N] [--idle SECONDS] [--failovers N] "
    "[--only tcp|serial|idle|failover]\n";

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bench::ParseOptions(
      argc, argv, "link_bench", kUsage,
      "Starts kirn serve, the driver and the controller emulator in a temporary site "
      "and prints the link's figures.\n",
      10000000,
      {{"--only", &options.only, {"tcp", "serial", "idle", "failover"}},
       {"--routes", &options.routes},
       {"--latency", &options.latency},
       {"--idle", &options.idle_seconds},
       {"--failovers", &options.failovers}});

  // Everything the programs look for lives in the site; nothing of the user's is touched.
  // Interrupted, it stops what it started (the site directory is then left behind).
  return bench::RunInSite("link-bench", "link_bench", false, [&](const fs::path& dir) {
    Bench bench(Bins{}, options, dir);
    return bench.Run();
  });
}
