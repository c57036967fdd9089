// What the journal keeps of the driver's trace, and what the trace costs, with the real programs
// (`kirn serve`, the driver, the controller emulator over TCP) in a temporary site on loopback.
// The driver's standard error is a file that JOURNAL_STREAM names, as systemd hands a service
// the journal's stream, so the driver takes the journal's default level (info) and priorities.
//
//   walk     lines written for the first start's resync walk of 26 x 4096 destinations (no
//            index file: every entry is new), from the link's opening to the walk's last reply
//   salvo    lines written for a salvo of --routes (default 4096) routes
//   refused  lines written for a salvo of --routes routes of which half name a source out of
//            range, until the journal's summary of the refusals (10 s after the first)
//   outage   lines written during an outage of --outage seconds (default 60) of the only
//            controller (its port refused and its connection closed), and from its return to
//            the end of the resync walk that follows
//   cpu      the driver's CPU time (user + system) per route over a salvo of --routes routes on
//            one router of 4096 destinations, at the log levels debug (standard error a plain
//            file) and info (the journal's), with `kirn trace` attached (to a file) and
//            detached; --repeat salvos each (default 3), the median
//
// Each kind of line the journal got is listed with its count (numbers folded to #), so that the
// lines still too loud can be named.
//
// With --baseline XARVEL, that driver (another build's, say of the commit before the levels) is
// measured too, at debug with no tracer, after this build's. --xarvel XARVEL measures that driver
// in place of this build's (the other programs stay this build's).
//
//   build/bench/journal_bench [--routes N] [--outage S] [--repeat N] [--only walk|cpu]
//                             [--baseline XARVEL] [--xarvel XARVEL] [--keep]
//
// Every process it starts is stopped before it returns; the site directory is removed unless
// --keep asks to leave it.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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
#include "bench/proc_stat.h"

namespace {

using bench::Child;
using bench::Clock;
using bench::CpuSeconds;
using bench::Site;
using bench::WaitText;
using bench::WriteAll;
namespace fs = std::filesystem;

constexpr int kStartMs = 20000;  // bound of a wait for a program or a state to come
constexpr int kWalkMs = 600000;  // bound of a resync walk of 26 x 4096 destinations
// How often a wait looks again: seldom enough not to weigh on the timed walk of a busy machine.
constexpr int kPollMs = 20;
constexpr int kSalvoMs = 600000;  // bound of a salvo

struct Options {
  int routes = 4096;
  int outage_s = 60;
  int repeat = 3;
  std::string only;
  bool keep = false;
  std::string baseline;  // another build's driver, measured at debug, detached, alongside
  std::string xarvel = XARVEL_BIN;  // the driver measured
};

int Fail(const std::string& what) {
  std::fprintf(stderr, "journal_bench: %s\n", what.c_str());
  return 1;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A line with its numbers folded to '#', so that lines of one kind count together.
std::string Kind(const std::string& line) {
  std::string kind;
  for (char c : line) {
    if (std::isdigit(static_cast<unsigned char>(c)) && !kind.empty() && kind.back() == '#')
      continue;
    kind.push_back(std::isdigit(static_cast<unsigned char>(c)) && kind.size() > 2 ? '#' : c);
  }
  return kind;
}

// "N lines (err E, warning W, notice N, info I, debug D)" and the kinds, most frequent first.
void Report(const std::string& label, const std::string& text) {
  const auto lines = Lines(text);
  int by_priority[8] = {};
  std::map<std::string, int> kinds;
  for (const std::string& line : lines) {
    if (line.size() > 2 && line[0] == '<' && line[2] == '>' && line[1] >= '0' && line[1] <= '7') {
      ++by_priority[line[1] - '0'];
    }
    ++kinds[Kind(line)];
  }
  std::printf("%-8s %zu lines (err %d, warning %d, notice %d, info %d, debug %d)\n", label.c_str(),
              lines.size(), by_priority[3], by_priority[4], by_priority[5], by_priority[6],
              by_priority[7]);
  std::vector<std::pair<int, std::string>> sorted;
  for (const auto& [kind, n] : kinds) sorted.emplace_back(n, kind);
  std::sort(sorted.rbegin(), sorted.rend());
  for (size_t i = 0; i < sorted.size() && i < 12; ++i) {
    std::printf("         %6d x %s\n", sorted[i].first, sorted[i].second.substr(0, 110).c_str());
  }
}

class Bench {
 public:
  Bench(Options options, fs::path dir) : options_(std::move(options)), site_{std::move(dir)} {}
  ~Bench() {
    if (console_ >= 0) ::close(console_);
  }

  int Run() {
    serve_ =
        std::make_unique<Child>(std::vector<std::string>{KIRN_BIN, "serve"}, site_.dir, "serve");
    if (!serve_->WaitFor("ready bus", kStartMs)) return Fail("kirn serve did not start");
    std::printf("journal_bench: salvos of %d routes, an outage of %d s, %d repeats for the CPU\n",
                options_.routes, options_.outage_s, options_.repeat);
    int failures = 0;
    if (options_.only.empty() || options_.only == "walk") failures += Journal();
    if (options_.only.empty() || options_.only == "cpu") failures += Cpu();
    return failures == 0 ? 0 : 1;
  }

 private:
  // The emulator with its fault console on a named pipe that this process holds open.
  std::unique_ptr<Child> StartSim(int levels) {
    const fs::path fifo = site_.dir / "sim.console";
    if (console_ < 0) {
      if (::mkfifo(fifo.c_str(), 0600) != 0) return nullptr;
      console_ = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
      if (console_ < 0) return nullptr;
    }
    auto sim = std::make_unique<Child>(
        std::vector<std::string>{MC1000_SIM_BIN, "--tcp", "0", "--levels", std::to_string(levels)},
        site_.dir, "sim", fifo.string());
    if (!sim->WaitFor("ready\n", kStartMs)) return nullptr;
    const std::string out = sim->Out();
    port_ = std::atoi(out.c_str() + out.find(':') + 1);
    return sim;
  }

  bool Console(Child& sim, const std::string& line, const std::string& expect) {
    const size_t from = sim.OutSize();
    const std::string text = line + "\n";
    if (::write(console_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      return false;
    }
    return WaitText([&](size_t at) { return sim.OutFrom(at); }, expect, from, kStartMs, kPollMs)
        .has_value();
  }

  void WriteSite(int routers) {
    site_.Write("Simulation=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" +
                    std::to_string(port_) + "\nForwardBufferDelay=0\nTallyDelay=500\n",
                routers, 4096, 4096);
  }

  // The driver, its standard error on `name`.err; with `journal` that file is named by
  // JOURNAL_STREAM. Waits until its last router (device 100 + routers) is registered.
  std::unique_ptr<Child> StartDriver(int routers, bool journal, const std::string& name,
                                     const std::string& program) {
    const fs::path err = site_.dir / (name + ".err");
    WriteAll(err, "");
    struct stat st {};
    if (journal && ::stat(err.c_str(), &st) == 0) {
      const std::string stream = std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                                 std::to_string(static_cast<unsigned long long>(st.st_ino));
      ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
    }
    const size_t from = serve_->OutSize();
    auto driver = std::make_unique<Child>(std::vector<std::string>{program, "12"}, site_.dir, name);
    ::unsetenv("JOURNAL_STREAM");
    const std::string want = "register " + std::to_string(100 + routers) + " ";
    if (!WaitText([&](size_t at) { return serve_->OutFrom(at); }, want, from, kStartMs, kPollMs)) {
      Fail("the driver did not register: " + driver->Err());
      return nullptr;
    }
    return driver;
  }

  // Waits for the emulator's answer to the interrogate of the last destination of level
  // `letter`, from log offset `from`.
  bool WaitWalk(Child& sim, char letter, size_t from) {
    const std::string last = std::string(".A") + letter + "4096,";
    return WaitText([&](size_t at) { return sim.ErrFrom(at); }, last, from, kWalkMs, kPollMs)
        .has_value();
  }

  // A salvo on router A, every route to source `src` (each one changes the tally); with
  // `refuse_half` every even destination asks for source 5000, beyond the router's 4096.
  std::optional<double> Salvo(int src, bool refuse_half = false) {
    std::string commands;
    for (int d = 1; d <= options_.routes; ++d) {
      const int source = refuse_half && d % 2 == 0 ? 5000 : src;
      commands += "RC 101 " + std::to_string(source) + " " + std::to_string(d) + " ',---' 0\n";
    }
    const long expected = refuse_half ? options_.routes - options_.routes / 2 : options_.routes;
    WriteAll(site_.dir / "salvo.txt", commands);
    Child send({KIRN_BIN, "send", "101", "-", "--stats", "--wait", "1000"}, site_.dir, "send",
               (site_.dir / "salvo.txt").string());
    if (send.Wait(kSalvoMs) != 0) {
      Fail("kirn send failed: " + send.Err());
      return std::nullopt;
    }
    long sent = 0;
    long revertives = 0;
    double seconds = 0;
    const std::string out = send.Out();
    const size_t at = out.rfind("sent ");
    if (at == std::string::npos ||
        std::sscanf(out.c_str() + at, "sent %ld, revertives %ld, seconds %lf", &sent, &revertives,
                    &seconds) != 3 ||
        revertives < expected) {
      Fail("the salvo did not complete: " + out.substr(at == std::string::npos ? 0 : at));
      return std::nullopt;
    }
    return seconds;
  }

  // The walk, a salvo and an outage on a site of 26 routers of 4096 destinations.
  int Journal() {
    auto sim = StartSim(26);
    if (!sim) return Fail("the emulator did not start");
    WriteSite(26);
    const auto launched = Clock::now();
    auto driver = StartDriver(26, true, "journal", options_.xarvel);
    if (!driver) return 1;
    const fs::path journal = site_.dir / "journal.err";
    if (!WaitText([&](size_t at) { return sim->ErrFrom(at); }, "accept tcp:", 0, kStartMs,
                  kPollMs)) {
      return Fail("the driver did not connect");
    }
    const size_t opened = bench::FileSize(journal);
    if (!WaitWalk(*sim, 'Z', 0)) return Fail("the resync walk did not end");
    const double walk_s = std::chrono::duration<double>(Clock::now() - launched).count();
    // A moment for the last replies' lines (if any) to be written.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string all = bench::ReadAll(journal);
    Report("start-up", all.substr(0, opened));
    std::printf("walk     26 x 4096 destinations, %.1f s from the launch\n", walk_s);
    Report("walk", all.substr(opened));

    size_t from = bench::FileSize(journal);
    const auto salvo = Salvo(2);
    if (!salvo) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("salvo    %d routes in %.3f s\n", options_.routes, *salvo);
    Report("salvo", bench::ReadFrom(journal, from));

    // Half of a salvo refused: the first refusal, and the summary when its period has ended.
    from = bench::FileSize(journal);
    const auto refused = Salvo(3, true);
    if (!refused) return 1;
    WaitText([&](size_t at) { return bench::ReadFrom(journal, at); }, "ROUTE summary", from,
             kStartMs, kPollMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("refused  %d routes in %.3f s, half of them refused (source out of range)\n",
                options_.routes, *refused);
    Report("refused", bench::ReadFrom(journal, from));

    from = bench::FileSize(journal);
    if (!Console(*sim, "refuse " + std::to_string(port_) + " on", "ok refuse") ||
        !Console(*sim, "close all", "ok close")) {
      return Fail("the emulator's console did not answer");
    }
    std::this_thread::sleep_for(std::chrono::seconds(options_.outage_s));
    std::printf("outage   %d s of the only controller\n", options_.outage_s);
    Report("outage", bench::ReadFrom(journal, from));
    from = bench::FileSize(journal);
    const size_t log_from = sim->ErrSize();
    if (!Console(*sim, "refuse " + std::to_string(port_) + " off", "ok refuse")) {
      return Fail("the emulator's console did not answer");
    }
    if (!WaitWalk(*sim, 'Z', log_from)) return Fail("the walk after the outage did not end");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Report("return", bench::ReadFrom(journal, from));
    driver->Stop();
    return 0;
  }

  // The driver's CPU per route at debug and at info, with a tracer attached and detached.
  int Cpu() {
    auto sim = StartSim(1);
    if (!sim) return Fail("the emulator did not start");
    WriteSite(1);
    struct Config {
      const char* label;
      bool journal;
      bool traced;
      int pass;  // 0: debug, 1: info, 2: the baseline driver
      std::vector<double> us;
    };
    std::vector<Config> configs = {{"debug, detached", false, false, 0, {}},
                                   {"debug, kirn trace attached", false, true, 0, {}},
                                   {"info, detached", true, false, 1, {}},
                                   {"info, kirn trace attached", true, true, 1, {}}};
    if (!options_.baseline.empty()) {
      configs.push_back({"debug, detached, baseline driver", false, false, 2, {}});
    }
    int src = 1;
    for (int pass = 0; pass < (options_.baseline.empty() ? 2 : 3); ++pass) {
      const bool journal = pass == 1;
      const size_t log_from = sim->ErrSize();
      auto driver = StartDriver(1, journal, "cpu-" + std::to_string(pass),
                                pass == 2 ? options_.baseline : options_.xarvel);
      if (!driver) return 1;
      if (!WaitWalk(*sim, 'A', log_from)) return Fail("the resync walk did not end");
      for (int r = 0; r < options_.repeat; ++r) {
        for (Config& c : configs) {
          if (c.pass != pass) continue;
          std::unique_ptr<Child> trace;
          if (c.traced) {
            trace = std::make_unique<Child>(std::vector<std::string>{KIRN_BIN, "trace", "101"},
                                            site_.dir, "trace");
            if (!trace->WaitFor("attached", kStartMs)) return Fail("kirn trace did not attach");
          }
          src = src % 4000 + 1;
          const double before = CpuSeconds(driver->pid());
          const auto seconds = Salvo(src);
          const double after = CpuSeconds(driver->pid());
          if (!seconds) return 1;
          c.us.push_back(1e6 * (after - before) / options_.routes);
        }
      }
      driver->Stop();
    }
    for (Config& c : configs) {
      std::sort(c.us.begin(), c.us.end());
      std::printf("cpu      %-34s %7.2f us a route (median of %zu, %.2f..%.2f)\n", c.label,
                  c.us[c.us.size() / 2], c.us.size(), c.us.front(), c.us.back());
    }
    return 0;
  }

  Options options_;
  Site site_;
  std::unique_ptr<Child> serve_;
  int console_ = -1;
  int port_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](int min, int max) {
      const int v = i + 1 < argc ? std::atoi(argv[++i]) : min - 1;
      if (v < min || v > max) {
        std::fprintf(stderr, "journal_bench: %s expects %d..%d\n", a.c_str(), min, max);
        std::exit(2);
      }
      return v;
    };
    if (a == "--routes") {
      options.routes = value(1, 4096);
    } else if (a == "--outage") {
      options.outage_s = value(1, 3600);
    } else if (a == "--repeat") {
      options.repeat = value(1, 100);
    } else if (a == "--only" && i + 1 < argc) {
      options.only = argv[++i];
    } else if (a == "--baseline" && i + 1 < argc) {
      options.baseline = argv[++i];
    } else if (a == "--xarvel" && i + 1 < argc) {
      options.xarvel = argv[++i];
    } else if (a == "--keep") {
      options.keep = true;
    } else {
      std::fprintf(stderr,
                   "usage: journal_bench [--routes N] [--outage S] [--repeat N] "
                   "[--only walk|cpu] [--baseline XARVEL] [--xarvel XARVEL] [--keep]\n");
      return a == "--help" ? 0 : 2;
    }
  }
  const fs::path dir = bench::MakeSite("journal-bench");
  if (dir.empty()) return Fail("no temporary directory");
  int code = 0;
  {
    Bench b(options, dir);
    code = b.Run();
  }
  if (options.keep) {
    std::printf("site kept in %s\n", dir.c_str());
  } else {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  return code;
}
