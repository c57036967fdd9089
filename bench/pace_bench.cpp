// How close the paced controller link comes to the time its wire or its controller needs, with
// the real programs (`kirn serve`, the driver, the controller emulator) in a temporary site on
// loopback. Each figure is printed with the floor it is compared with:
//
//   serial salvo   --serial-routes route commands (default 200) through `kirn send - --stats`
//                  (first delivery to last revertive) over the emulator's terminal at 38400 baud.
//                  Floor: the line time, at 10 bits a byte, of the bytes the emulator received
//                  and sent from the salvo's first command to its last report (the poll's few
//                  interrogates included). The line is full duplex, so the floor is the longer
//                  direction with the pipeline's fill: all commands and then the last report, or
//                  the first command and then all reports, whichever is longer.
//   tcp salvo      --tcp-routes route commands (default 2000) over TCP to a controller that takes
//                  2 ms to execute each (--xpt-ms 2). Floor: routes x 2 ms.
//   link failures  declared during each salvo, from the driver's counters (link_failures).
//   resync         2 routers x 256 destinations over the terminal at 38400 baud: from the driver's
//                  opening of the port to the answer of the walk's last interrogate, in the
//                  emulator's wire log. Floor: as for the serial salvo, over the same span.
//   silent         a salvo under way, the emulator's `silent on`: the time to the driver's trace
//                  line that declares the link failed, serial and TCP, against the reply timeout
//                  the driver is to use (1 s plus the line time of the outstanding commands and
//                  of a 32-byte reply to each).
//   refusals       a salvo of --refuse-routes routes (default 200) of which every tenth goes to a
//                  destination locked at the controller, for each way a controller answers a
//                  refused route (the unchanged crosspoint, a bare .A, nothing), serial 38400
//                  and TCP. Floor: as for that transport's salvo (serial: the line time of what
//                  went over the wire, the rechecks of the refused destinations included; TCP:
//                  the routes made x 2 ms). For refusals answered with nothing, also the cost
//                  of each refused route (time over the floor / refused) against the reply
//                  timeout. The refused routes count as refused_by_controller, none as a drop,
//                  and no link failure is declared.
//   pause          a 40-route salvo over the terminal at 38400 baud with the controller's
//                  command side paused (stall) for 1.5 s after its fifth route: every route
//                  made, time to the last revertive against the floor (the line time of 40
//                  commands and their reports) plus the pause, the routes written again, and
//                  no change of mode.
//   failover       a stream of routes, one every 100 ms, to a pair of emulators of their own; the
//                  time from controller A going deaf (its front panel reporting every 150 ms)
//                  to the first route made through B, and from A coming back silent after A
//                  and B were lost (B back at once) to the same. Floor: the reply timeout of
//                  one outstanding route; goal: at most 0.5 s over it, no route lost.
//
// Every measurement is made --repeat times (default 3), each on one line.
//
//   build/bench/pace_bench [--repeat N] [--serial-routes N] [--tcp-routes N]
//                          [--only serial|tcp|refuse|pause|failover] [--keep]
//
// Every process it starts is stopped before it returns; the site directory is removed, unless
// --keep asks to leave it (the emulator's wire log sim.err, the driver's trace driver.err).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_child.h"
#include "bench/bench_site.h"
#include "bench/bench_usage.h"

namespace {

using bench::Bins;
using bench::Child;
using bench::Clock;
using bench::Site;
using bench::WaitText;
using bench::WriteAll;
namespace fs = std::filesystem;

constexpr int kStartMs = 20000;  // bound of every wait for a program or a state to come
constexpr int kBaud = 38400;
constexpr int kBitsPerByte = 10;  // 8N1: start bit, 8 data bits, stop bit
constexpr int kXptMs = 2;
constexpr int kSerialDests = 256;
constexpr int kTcpDests = 2048;
// The driver's window with the default unACK limit of 5, and the longest reply it allows for.
constexpr int kWindow = 4;
constexpr int kReplyAllowance = 32;

struct Options {
  int repeat = 3;
  int serial_routes = 200;
  int tcp_routes = 2000;
  int refuse_routes = 200;
  std::string only;
  bool keep = false;  // leave the site (the programs' logs) behind
};

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double LineSeconds(long bytes) {
  return static_cast<double>(bytes) * kBitsPerByte / kBaud;
}

// One command received or one reply sent, from the emulator's wire log.
struct WireEvent {
  double at = 0;  // seconds since the emulator started
  bool rx = false;
  std::string text;  // unescaped, with its carriage return
};

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out.push_back(s[i]);
      continue;
    }
    const char e = s[++i];
    if (e == 'r') {
      out.push_back('\r');
    } else if (e == 'n') {
      out.push_back('\n');
    } else if (e == 'x' && i + 2 < s.size()) {
      out.push_back(static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(e);
    }
  }
  return out;
}

// The commands taken and the replies that went on the wire, from the emulator's log.
// A reply the emulator held back (silent) or lost (nobody listening) did not use the line.
std::vector<WireEvent> WireEvents(const std::string& log) {
  std::vector<WireEvent> events;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream f(line);
    std::string at, kind, name, text, note;
    if (!(f >> at >> kind >> name >> text) || (kind != "rx" && kind != "tx")) continue;
    f >> note;
    if (kind == "tx" && (note == "suppressed" || note == "lost")) continue;
    if (kind == "rx" && (note == "ignored" || note == "dropped")) continue;
    events.push_back({std::atof(at.c_str()), kind == "rx", Unescape(text)});
  }
  return events;
}

// The wire's share of the span from event `first` (a command received) to event `last` (a
// reply sent), both included.
struct Span {
  double seconds = 0;   // on the emulator's clock, from the first command's first byte
  long out_bytes = 0;   // commands, driver to controller
  long back_bytes = 0;  // replies, controller to driver
  double floor = 0;     // seconds the line needs for them
};

Span WireSpan(const std::vector<WireEvent>& e, size_t first, size_t last) {
  Span s;
  for (size_t i = first; i <= last; ++i) {
    (e[i].rx ? s.out_bytes : s.back_bytes) += static_cast<long>(e[i].text.size());
  }
  const long c_first = static_cast<long>(e[first].text.size());
  const long r_last = static_cast<long>(e[last].text.size());
  s.floor = std::max(LineSeconds(s.out_bytes + r_last), LineSeconds(c_first + s.back_bytes));
  s.seconds = e[last].at - e[first].at + LineSeconds(c_first);
  return s;
}

std::optional<size_t> FindEvent(const std::vector<WireEvent>& e, bool rx, const std::string& text,
                                bool last = false) {
  std::optional<size_t> found;
  for (size_t i = 0; i < e.size(); ++i) {
    if (e[i].rx != rx || e[i].text.compare(0, text.size(), text) != 0) continue;
    found = i;
    if (!last) break;
  }
  return found;
}

std::string RouteText(int device, int src, int dst) {
  return "RC " + std::to_string(device) + " " + std::to_string(src) + " " + std::to_string(dst) +
         " ',---' 0";
}

class Bench {
 public:
  Bench(Bins bins, Options options, fs::path dir)
      : bins_(std::move(bins)), options_(options), site_{std::move(dir)} {}

  int Run() {
    serve_ =
        std::make_unique<Child>(std::vector<std::string>{bins_.kirn, "serve"}, site_.dir, "serve");
    if (!serve_->WaitFor("ready bus", kStartMs)) return Fail("kirn serve did not start");
    std::printf("pace_bench: %d repeats; serial salvo %d routes, tcp salvo %d routes\n",
                options_.repeat, options_.serial_routes, options_.tcp_routes);
    int failures = 0;
    if (options_.only.empty() || options_.only == "serial") failures += Serial();
    if (options_.only.empty() || options_.only == "tcp") failures += Tcp();
    if (options_.only.empty() || options_.only == "refuse") failures += Refusals();
    if (options_.only.empty() || options_.only == "pause") failures += Pause();
    if (options_.only.empty() || options_.only == "failover") failures += Failover();
    return failures == 0 ? 0 : 1;
  }

  ~Bench() {
    for (const auto& [name, fd] : consoles_) {
      if (fd > 0) ::close(fd);
    }
  }

 private:
  int Fail(const std::string& what) {
    std::fprintf(stderr, "pace_bench: %s\n", what.c_str());
    return 1;
  }

  // The emulator `name` with its fault console on a named pipe that this process holds open.
  std::unique_ptr<Child> StartSim(const std::vector<std::string>& args,
                                  const std::string& name = "sim") {
    const fs::path fifo = site_.dir / (name + ".console");
    int& console = consoles_[name];
    if (console <= 0) {
      if (::mkfifo(fifo.c_str(), 0600) != 0) return nullptr;
      console = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
      if (console < 0) return nullptr;
    }
    std::vector<std::string> argv = {bins_.sim};
    argv.insert(argv.end(), args.begin(), args.end());
    auto sim = std::make_unique<Child>(argv, site_.dir, name, fifo.string());
    if (!sim->WaitFor("ready\n", kStartMs)) {
      std::fprintf(stderr, "pace_bench: emulator did not start: %s\n", sim->Err().c_str());
      return nullptr;
    }
    console_of_[sim.get()] = console;
    return sim;
  }

  // Writes one console line; true once the emulator has answered it with `expect`.
  bool Console(Child& sim, const std::string& line, const std::string& expect) {
    const size_t from = sim.OutSize();
    const std::string text = line + "\n";
    const int console = console_of_[&sim];
    if (::write(console, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      return false;
    }
    return WaitText([&](size_t at) { return sim.OutFrom(at); }, expect, from, kStartMs, 1)
        .has_value();
  }

  // Starts the driver and waits until the last router's device is registered.
  std::unique_ptr<Child> StartDriver(int last_device) {
    const size_t from = serve_->OutSize();
    auto driver =
        std::make_unique<Child>(std::vector<std::string>{bins_.xarvel, "12"}, site_.dir, "driver");
    const std::string want = "register " + std::to_string(last_device) + " ";
    if (!WaitText([&](size_t at) { return serve_->OutFrom(at); }, want, from, kStartMs)) {
      std::fprintf(stderr, "pace_bench: the driver did not register:\n%s\n", driver->Err().c_str());
      return nullptr;
    }
    return driver;
  }

  // The driver's counter `name` from `kirn status 101 --json`, or -1.
  long Counter(const std::string& name) {
    Child status({bins_.kirn, "status", "101", "--json"}, site_.dir, "status");
    if (status.Wait(kStartMs) != 0) return -1;
    const std::string out = status.Out();
    const std::string key = "\"" + name + "\":";
    const size_t at = out.find(key);
    return at == std::string::npos ? -1 : std::atol(out.c_str() + at + key.size());
  }

  // Waits until the driver reports its link OK.
  bool WaitLinkOk() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartMs);
    while (Clock::now() < deadline) {
      if (Counter("comms_state") == 1) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // The route commands of a salvo on `device`: destinations 1..n with source `src`.
  fs::path SalvoFile(const std::string& name, int device, int n, int src) {
    std::string commands;
    for (int d = 1; d <= n; ++d) commands += RouteText(device, src, d) + "\n";
    const fs::path list = site_.dir / name;
    WriteAll(list, commands);
    return list;
  }

  // `kirn send` of the commands in `list`; it waits `wait_ms` after the last revertive.
  std::unique_ptr<Child> StartSend(const fs::path& list, const std::string& name,
                                   int wait_ms = 1000) {
    return std::make_unique<Child>(
        std::vector<std::string>{bins_.kirn, "send", "101", "-", "--stats", "--wait",
                                 std::to_string(wait_ms)},
        site_.dir, name, list.string());
  }

  struct SendResult {
    long sent = 0;
    long revertives = 0;
    double seconds = 0;
    long unconfirmed = 0;
  };

  std::optional<SendResult> Salvo(int n, int src) {
    const fs::path list = SalvoFile("salvo.txt", 101, n, src);
    auto send = StartSend(list, "send");
    if (send->Wait(600000) != 0) {
      Fail("kirn send failed: " + send->Err());
      return std::nullopt;
    }
    const std::string out = send->Out();
    SendResult r;
    const size_t at = out.rfind("sent ");
    if (at == std::string::npos ||
        std::sscanf(out.c_str() + at, "sent %ld, revertives %ld, seconds %lf, unconfirmed %ld",
                    &r.sent, &r.revertives, &r.seconds, &r.unconfirmed) != 4) {
      Fail("no statistics line from kirn send: " + out);
      return std::nullopt;
    }
    return r;
  }

  struct Silence {
    double seconds = 0;     // from `silent on` to the trace line declaring the failure
    std::string traced;     // that line
    long given_up = 0;      // commands given up on their own meanwhile ("given up" lines)
    long unconfirmed = -1;  // route commands of the salvo without their revertive in the end
  };

  // A salvo on router A under way, then `silent on` until the driver's trace line `mark`
  // declares the failure; then the emulator speaks again, and the salvo and the link recover.
  std::optional<Silence> SilentDetection(Child& sim, Child& driver, const std::string& label,
                                         const std::string& mark, int routes, int src) {
    const fs::path list = SalvoFile("silent.txt", 101, routes, src);
    const size_t log_from = sim.ErrSize();
    // The wait outlasts the outage, so that the routes sent again after it are seen.
    auto send = StartSend(list, "silent-send", 5000);
    // Well into the salvo, so that the window is full.
    const std::string tenth = ".SA" + std::to_string(std::max(1, routes / 10)) + ",";
    if (!WaitText([&](size_t at) { return sim.ErrFrom(at); }, tenth, log_from, kStartMs, 1)) {
      Fail(label + " silent: the salvo did not reach the controller");
      return std::nullopt;
    }
    const size_t trace_from = driver.ErrSize();
    const auto t0 = Clock::now();
    if (!Console(sim, "silent on", "ok silent")) {
      Fail("the emulator did not take 'silent on'");
      return std::nullopt;
    }
    const auto found =
        WaitText([&](size_t at) { return driver.ErrFrom(at); }, mark, trace_from, 30000, 1);
    const auto t1 = Clock::now();
    Console(sim, "silent off", "ok silent");
    if (!found) {
      Fail(label + " silent: no failure declared within 30 s");
      return std::nullopt;
    }
    Silence r;
    r.seconds = Seconds(t1 - t0);
    const std::string trace = driver.ErrFrom(trace_from);
    const size_t at = *found - trace_from;
    const size_t line = trace.rfind('\n', at);
    const size_t begin = line == std::string::npos ? 0 : line + 1;
    const size_t end = trace.find('\n', at);
    r.traced = trace.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    for (size_t p = trace.find("reply timeout - given up"); p != std::string::npos;
         p = trace.find("reply timeout - given up", p + 1)) {
      ++r.given_up;
    }
    if (send->Wait(60000) == 0) {
      const std::string out = send->Out();
      const size_t u = out.rfind("unconfirmed ");
      if (u != std::string::npos) r.unconfirmed = std::atol(out.c_str() + u + 12);
    }
    if (!WaitLinkOk()) {
      Fail(label + " silent: the link did not come back");
      return std::nullopt;
    }
    return r;
  }

  static void PrintSilence(const std::string& label, const Silence& s, double timeout) {
    std::printf(
        "%-8s silent: failure declared %.3f s after silent on; timeout %.3f s -> ratio %.3f; "
        "given up on their own %ld; salvo unconfirmed %ld; trace: %s\n",
        label.c_str(), s.seconds, timeout, s.seconds / timeout, s.given_up, s.unconfirmed,
        s.traced.c_str());
  }

  // The reply timeout the driver is to use with the window full of `command_bytes`-byte
  // commands: 1 s plus their line time and that of a 32-byte reply to each.
  static double ExpectedTimeout(int command_bytes) {
    return 1.0 + LineSeconds(static_cast<long>(kWindow) * (command_bytes + kReplyAllowance));
  }

  int Serial() {
    const std::string com1 = (site_.dir / "COM1").string();
    auto sim = StartSim({"--pty", com1, "--baud", std::to_string(kBaud)});
    if (!sim) return 1;
    site_.Write(
        "Simulation=0\nConnection_Mode=SERIAL\nCom=1\nSpeed=38400\n"
        "ForwardBufferDelay=0\nTallyDelay=500\nDebugMode=0\n",
        2, kSerialDests, kSerialDests);
    const int n = std::min(options_.serial_routes, kSerialDests);
    const std::string last_resync = ".AB" + std::to_string(kSerialDests) + ",";
    for (int r = 0; r < options_.repeat; ++r) {
      // Resync: from the opening of the port to the answer to the last destination's interrogate.
      const size_t log_from = sim->ErrSize();
      auto driver = StartDriver(102);
      if (!driver) return 1;
      if (!WaitText([&](size_t at) { return sim->ErrFrom(at); }, last_resync, log_from, kStartMs)) {
        return Fail("serial: the resync walk did not reach " + last_resync);
      }
      {
        const std::string log = sim->ErrFrom(log_from);
        const size_t opened = log.find("opened by a peer");
        if (opened == std::string::npos) return Fail("serial: the opening is not in the log");
        const size_t line = log.rfind('\n', opened);
        const double t_open = std::atof(log.c_str() + (line == std::string::npos ? 0 : line + 1));
        const auto e = WireEvents(log);
        const auto first = FindEvent(e, true, ".I");
        const auto last = FindEvent(e, false, last_resync);
        if (!first || !last) return Fail("serial: the resync is not in the log");
        Span s = WireSpan(e, *first, *last);
        // From the opening: whatever the first command waited for counts too.
        s.seconds = e[*last].at - t_open;
        std::printf(
            "serial   resync: 2 x %d destinations in %.3f s from the opening; wire %ld B out, "
            "%ld B back, floor %.3f s -> ratio %.3f\n",
            kSerialDests, s.seconds, s.out_bytes, s.back_bytes, s.floor, s.seconds / s.floor);
      }

      // The salvo on router A.
      const int src = 10 + r;
      const long failures_before = Counter("link_failures");
      const size_t salvo_from = sim->ErrSize();
      const auto result = Salvo(n, src);
      if (!result) return 1;
      const long failures = Counter("link_failures") - failures_before;
      const auto e = WireEvents(sim->ErrFrom(salvo_from));
      const std::string tail = "," + std::to_string(src) + "\r";
      const auto first = FindEvent(e, true, ".SA1" + tail);
      const auto last = FindEvent(e, false, ".UA" + std::to_string(n) + tail, true);
      if (!first || !last) return Fail("serial: the salvo is not in the emulator's log");
      const Span s = WireSpan(e, *first, *last);
      std::printf(
          "serial   salvo: %ld routes, %ld revertives, %ld unconfirmed in %.3f s (%.3f s on the "
          "wire); wire %ld B out, %ld B back, floor %.3f s -> ratio %.3f; link failures %ld\n",
          result->sent, result->revertives, result->unconfirmed, result->seconds, s.seconds,
          s.out_bytes, s.back_bytes, s.floor, result->seconds / s.floor, failures);

      // A silent controller in the middle of a salvo on router A. RX only drops the routes
      // still waiting, so many of the salvo's stay unconfirmed.
      const int longest = static_cast<int>(
          (".SA" + std::to_string(kSerialDests) + "," + std::to_string(100 + r) + "\r").size());
      const auto silent = SilentDetection(
          *sim, *driver, "serial", "Xarvel SendData(serial) - no reply for", kSerialDests, 100 + r);
      if (!silent) return 1;
      PrintSilence("serial", *silent, ExpectedTimeout(longest));
      driver->Stop();
    }
    return 0;
  }

  int Tcp() {
    auto sim = StartSim({"--tcp", "0", "--xpt-ms", std::to_string(kXptMs)});
    if (!sim) return 1;
    const std::string out = sim->Out();
    const int port = std::atoi(out.c_str() + out.find(':') + 1);
    site_.Write("Simulation=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" +
                    std::to_string(port) + "\nForwardBufferDelay=0\nTallyDelay=500\nDebugMode=0\n",
                1, kSerialDests, kTcpDests);
    const int n = std::min(options_.tcp_routes, kTcpDests);
    auto driver = StartDriver(101);
    if (!driver) return 1;
    // The resync walk of the connect goes first.
    const std::string last_resync = ".AA" + std::to_string(kTcpDests) + ",";
    if (!WaitText([&](size_t at) { return sim->ErrFrom(at); }, last_resync, 0, kStartMs)) {
      return Fail("tcp: the resync walk did not reach " + last_resync);
    }
    for (int r = 0; r < options_.repeat; ++r) {
      const int src = 10 + r;
      const long failures_before = Counter("link_failures");
      const size_t salvo_from = sim->ErrSize();
      const auto result = Salvo(n, src);
      if (!result) return 1;
      const long failures = Counter("link_failures") - failures_before;
      const auto e = WireEvents(sim->ErrFrom(salvo_from));
      const std::string tail = "," + std::to_string(src) + "\r";
      const auto first = FindEvent(e, true, ".SA1" + tail);
      const auto last = FindEvent(e, false, ".UA" + std::to_string(n) + tail, true);
      const double floor = n * kXptMs / 1000.0;
      const double at_controller = first && last ? e[*last].at - e[*first].at : 0;
      std::printf(
          "tcp      salvo: %ld routes, %ld revertives, %ld unconfirmed in %.3f s (%.3f s at the "
          "controller); floor %.3f s (%d x %d ms) -> ratio %.3f; link failures %ld\n",
          result->sent, result->revertives, result->unconfirmed, result->seconds, at_controller,
          floor, n, kXptMs, result->seconds / floor, failures);
    }
    for (int r = 0; r < options_.repeat; ++r) {
      // Over TCP every command the silent controller had not answered goes to the next
      // connection: the whole salvo is confirmed in the end.
      const int src = 100 + r;
      constexpr int kRoutes = 500;
      const int longest = static_cast<int>(
          (".SA" + std::to_string(kRoutes) + "," + std::to_string(src) + "\r").size());
      const auto silent =
          SilentDetection(*sim, *driver, "tcp", "Xarvel SendData(IP) - no reply for", kRoutes, src);
      if (!silent) return 1;
      PrintSilence("tcp", *silent, ExpectedTimeout(longest));
    }
    driver->Stop();
    return 0;
  }

  // Salvos of which every tenth route goes to a destination locked at the controller, for each
  // way the controller answers a refused route, over the terminal at 38400 baud and over TCP.
  int Refusals() {
    for (const bool serial : {true, false}) {
      const std::string com1 = (site_.dir / "COM1").string();
      auto sim = serial ? StartSim({"--pty", com1, "--baud", std::to_string(kBaud)}, "rsim")
                        : StartSim({"--tcp", "0", "--xpt-ms", std::to_string(kXptMs)}, "rsim");
      if (!sim) return 1;
      const std::string link =
          serial
              ? "Connection_Mode=SERIAL\nCom=1\nSpeed=38400\n"
              : "Connection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" +
                    std::to_string(std::atoi(sim->Out().c_str() + sim->Out().find(':') + 1)) + "\n";
      site_.Write("Simulation=0\n" + link + "ForwardBufferDelay=0\nTallyDelay=500\nDebugMode=0\n",
                  1, kSerialDests, kSerialDests);
      const int n = std::min(options_.refuse_routes, kSerialDests);
      for (int d = 10; d <= n; d += 10) {
        if (!Console(*sim, "lock " + std::to_string(d) + " 255", "ok lock")) {
          return Fail("refusals: the emulator did not take a lock");
        }
      }
      const int refused = n / 10;
      auto driver = StartDriver(101);
      if (!driver || !WaitLinkOk()) return Fail("refusals: the driver did not come up");
      const std::string last_resync = ".AA" + std::to_string(kSerialDests) + ",";
      if (!WaitText([&](size_t at) { return sim->ErrFrom(at); }, last_resync, 0, kStartMs)) {
        return Fail("refusals: the resync walk did not end");
      }
      const char* label = serial ? "serial  " : "tcp     ";
      int src = 30;
      for (int r = 0; r < options_.repeat; ++r) {
        for (const char* form : {"report", "ack", "none"}) {
          if (!Console(*sim, std::string("refuse-with ") + form, "ok refuse-with")) {
            return Fail("refusals: the emulator did not take refuse-with");
          }
          ++src;
          const long failures_before = Counter("link_failures");
          const long refused_before = Counter("refused_by_controller");
          const long dropped_before = Counter("unanswered");
          const size_t salvo_from = sim->ErrSize();
          const auto result = Salvo(n, src);
          if (!result) return 1;
          const long failures = Counter("link_failures") - failures_before;
          const long by_controller = Counter("refused_by_controller") - refused_before;
          const long dropped = Counter("unanswered") - dropped_before;
          const auto e = WireEvents(sim->ErrFrom(salvo_from));
          const auto first = FindEvent(e, true, ".SA1," + std::to_string(src) + "\r");
          std::optional<size_t> last;
          for (size_t i = e.size(); i-- > 0 && first && i > *first;) {
            if (!e[i].rx) {
              last = i;
              break;
            }
          }
          if (!first || !last) return Fail("refusals: the salvo is not in the emulator's log");
          const double floor = serial ? WireSpan(e, *first, *last).floor
                                      : static_cast<double>(n - refused) * kXptMs / 1000.0;
          const double timeout = ExpectedTimeout(static_cast<int>(
              (".SA" + std::to_string(n) + "," + std::to_string(src) + "\r").size()));
          std::printf(
              "%s refused %-6s: %ld routes (%d refused), %ld revertives, %ld unconfirmed in %.3f "
              "s; floor %.3f s -> ratio %.3f; refused_by_controller %ld, unanswered %ld, link "
              "failures %ld",
              label, form, result->sent, refused, result->revertives, result->unconfirmed,
              result->seconds, floor, result->seconds / floor, by_controller, dropped, failures);
          if (std::string(form) == "none") {
            const double cost = (result->seconds - floor) / refused;
            std::printf("; cost per refused route %.3f s = %.2f x the reply timeout %.3f s", cost,
                        cost / timeout, timeout);
          }
          std::printf("\n");
        }
      }
      driver->Stop();
      sim->Stop();
    }
    return 0;
  }

  // A 40-route salvo over the terminal with the controller paused for 1.5 s after its fifth
  // route.
  int Pause() {
    constexpr int kRoutes = 40;
    constexpr double kPause = 1.5;
    const std::string com1 = (site_.dir / "COM1").string();
    auto sim = StartSim(
        {"--pty", com1, "--baud", std::to_string(kBaud), "--xpt-ms", std::to_string(kXptMs)},
        "psim");
    if (!sim) return 1;
    site_.Write(
        "Simulation=0\nConnection_Mode=SERIAL\nCom=1\nSpeed=38400\n"
        "ForwardBufferDelay=0\nTallyDelay=600000\nDebugMode=0\n",
        1, kSerialDests, kSerialDests);
    auto driver = StartDriver(101);
    if (!driver || !WaitLinkOk()) return Fail("pause: the driver did not come up");
    const std::string last_resync = ".AA" + std::to_string(kSerialDests) + ",";
    if (!WaitText([&](size_t at) { return sim->ErrFrom(at); }, last_resync, 0, kStartMs)) {
      return Fail("pause: the resync walk did not end");
    }
    for (int r = 0; r < options_.repeat; ++r) {
      const int src = 60 + r;
      const long failures_before = Counter("link_failures");
      const long modes_before = Counter("interface_mode");
      const size_t from = sim->ErrSize();
      const fs::path list = SalvoFile("pause.txt", 101, kRoutes, src);
      auto send = StartSend(list, "pause-send", 3000);
      if (!WaitText([&](size_t at) { return sim->ErrFrom(at); },
                    ".SA5," + std::to_string(src) + "\\r", from, kStartMs, 1) ||
          !Console(*sim, "stall 1500", "ok stall")) {
        return Fail("pause: the salvo did not reach the controller");
      }
      if (send->Wait(60000) != 0) return Fail("pause: kirn send failed: " + send->Err());
      SendResult res;
      const std::string out = send->Out();
      const size_t at = out.rfind("sent ");
      if (at == std::string::npos ||
          std::sscanf(out.c_str() + at, "sent %ld, revertives %ld, seconds %lf, unconfirmed %ld",
                      &res.sent, &res.revertives, &res.seconds, &res.unconfirmed) != 4) {
        return Fail("pause: no statistics line from kirn send: " + out);
      }
      const auto e = WireEvents(sim->ErrFrom(from));
      long commands = 0;
      long first_command = 0;
      long last_report = 0;
      long reports = 0;
      for (const WireEvent& w : e) {
        if (w.rx && w.text.rfind(".SA", 0) == 0) {
          ++commands;
          if (first_command == 0) first_command = static_cast<long>(w.text.size());
        }
        if (!w.rx && w.text.rfind(".UA", 0) == 0) {
          reports += static_cast<long>(w.text.size());
          last_report = static_cast<long>(w.text.size());
        }
      }
      // The floor: the line time of the salvo's commands and reports once each, and the pause.
      long command_bytes = 0;
      for (int d = 1; d <= kRoutes; ++d) {
        command_bytes += static_cast<long>(
            (".SA" + std::to_string(d) + "," + std::to_string(src) + "\r").size());
      }
      const double floor =
          std::max(LineSeconds(command_bytes + last_report), LineSeconds(first_command + reports)) +
          kPause;
      std::printf(
          "serial   pause: %ld routes, %ld revertives, %ld unconfirmed in %.3f s; floor %.3f s "
          "(the wire's %.3f s + the pause %.1f s) -> ratio %.3f; over by %+.3f s; written again "
          "%ld; link failures %ld; interface mode %ld -> %ld\n",
          res.sent, res.revertives, res.unconfirmed, res.seconds, floor, floor - kPause, kPause,
          res.seconds / floor, res.seconds - floor, commands - kRoutes,
          Counter("link_failures") - failures_before, modes_before, Counter("interface_mode"));
    }
    driver->Stop();
    sim->Stop();
    return 0;
  }

  // The time from a fault of controller A to the first route made through B, with a stream of
  // routes one every 100 ms, against the reply timeout (A and B are emulators of their own, B's
  // log shows what B made). "deaf": A's command side hangs while its panel reports every 150 ms.
  // "silent back": A and B lost, A back but silent, B back as soon as the driver is on A.
  int Failover() {
    std::unique_ptr<Child> a;
    std::unique_ptr<Child> b;
    int port = 0;
    for (int attempt = 0; attempt < 5 && !b; ++attempt) {
      a = StartSim({"--bind", "127.0.0.1", "--tcp", "0", "--xpt-ms", std::to_string(kXptMs)}, "a");
      if (!a) return 1;
      const std::string out = a->Out();
      port = std::atoi(out.c_str() + out.find(':') + 1);
      b = StartSim({"--bind", "127.0.0.2", "--tcp", std::to_string(port), "--xpt-ms",
                    std::to_string(kXptMs)},
                   "b");
    }
    if (!b) return Fail("failover: no port free on both addresses");
    const std::string p = std::to_string(port);
    site_.Write(
        "Simulation=0\nConnection_Mode=IP\nDual_Controllers=1\nIP_Address_A=127.0.0.1\n"
        "IP_Address_B=127.0.0.2\nIP_Port=" +
            p + "\nForwardBufferDelay=0\nTallyDelay=500\nDebugMode=0\n",
        1, kSerialDests, kSerialDests);
    // The reply timeout with one route outstanding (a failure leaves one at a time).
    const double timeout = ExpectedTimeout(static_cast<int>(std::string(".SA200,250\r").size()));
    int dest = 0;
    for (int r = 0; r < options_.repeat; ++r) {
      for (const bool deaf : {true, false}) {
        Console(*b, "refuse " + p + " on", "ok refuse");
        auto driver = StartDriver(101);
        if (!driver || !WaitLinkOk()) return Fail("failover: the driver did not come up on A");
        Console(*b, "refuse " + p + " off", "ok refuse");
        std::vector<std::unique_ptr<Child>> sends;
        auto route = [&] {
          dest = dest % 200 + 1;
          const int src = 1 + (dest + r * 7 + (deaf ? 0 : 3)) % 250;
          sends.push_back(std::make_unique<Child>(
              std::vector<std::string>{bins_.kirn, "send", "101", RouteText(101, src, dest),
                                       "--check", "--wait", "4000"},
              site_.dir, "route" + std::to_string(sends.size())));
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        };
        for (int k = 0; k < 5; ++k) route();
        const size_t b_from = b->ErrSize();
        Clock::time_point t0;
        if (deaf) {
          Console(*a, "deaf on", "ok deaf");
          t0 = Clock::now();
          Console(*a, "chatter 150", "ok chatter");
        } else {
          Console(*b, "refuse " + p + " on", "ok refuse");
          Console(*b, "close " + p, "ok close");
          Console(*a, "refuse " + p + " on", "ok refuse");
          Console(*a, "close " + p, "ok close");
          route();
          Console(*a, "silent on", "ok silent");
          const size_t a_from = a->ErrSize();
          Console(*a, "refuse " + p + " off", "ok refuse");
          if (!WaitText([&](size_t at) { return a->ErrFrom(at); }, " accept ", a_from, kStartMs,
                        1)) {
            return Fail("failover: the driver did not come back to A");
          }
          t0 = Clock::now();
          Console(*b, "refuse " + p + " off", "ok refuse");
        }
        std::optional<double> made;
        for (int k = 0; k < 30; ++k) {
          route();
          if (!made && b->ErrFrom(b_from).find(" route\n") != std::string::npos) {
            made = Seconds(Clock::now() - t0);
          }
        }
        if (!made &&
            WaitText([&](size_t at) { return b->ErrFrom(at); }, " route\n", b_from, kStartMs, 1)) {
          made = Seconds(Clock::now() - t0);
        }
        int lost = 0;
        for (auto& s : sends) lost += s->Wait(60000) == 0 ? 0 : 1;
        Console(*a, deaf ? "deaf off" : "silent off", "ok");
        Console(*a, "chatter 0", "ok chatter");
        driver->Stop();
        if (!made) return Fail("failover: no route made through B");
        std::printf(
            "failover %s first route made through B in %.3f s from %s; timeout %.3f s -> "
            "ratio %.3f, over by %+.3f s (goal <= +0.5 s); %zu routes, lost %d\n",
            deaf ? "deaf A:" : "silent A:", *made, deaf ? "'deaf on'" : "A's connect", timeout,
            *made / timeout, *made - timeout, sends.size(), lost);
      }
    }
    return 0;
  }

  Bins bins_;
  Options options_;
  Site site_;
  std::unique_ptr<Child> serve_;
  std::map<std::string, int> consoles_;
  std::map<const Child*, int> console_of_;
};

constexpr char kUsage[] =
    "usage: pace_bench [--repeat N] [--serial-routes N] [--tcp-routes N] "
    "[--refuse-routes N] [--only serial|tcp|refuse|pause|failover] [--keep]\n";

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bench::ParseOptions(
      argc, argv, "pace_bench", kUsage,
      "Starts kirn serve, the driver and the controller emulator in a temporary site "
      "and prints the paced link's figures against the wire's and the controller's "
      "own time.\n",
      100000,
      {{"--keep", &options.keep},
       {"--repeat", &options.repeat},
       {"--serial-routes", &options.serial_routes},
       {"--tcp-routes", &options.tcp_routes},
       {"--refuse-routes", &options.refuse_routes},
       {"--only", &options.only, {"serial", "tcp", "refuse", "pause", "failover"}}});

  return bench::RunInSite("pace-bench", "pace_bench", options.keep, [&](const fs::path& dir) {
    Bench bench(Bins{}, options, dir);
    return bench.Run();
  });
}
