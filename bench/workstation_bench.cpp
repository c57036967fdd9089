// A full workstation, one run per invocation, for bench/run:
//
//   workstation_bench [DRIVERS] [DESTS] [IDLE_SECONDS] [--no-history]
//
// DRIVERS drivers (default 12), each with 26 routers of DESTS destinations (default 4096) over
// TCP to an emulator of its own, on one bus host, with `kirn metrics` scraped every 5 s and one
// page of the overview open in headless Chromium (when it is installed). It prints:
//   - the time from the drivers' start until every driver's resync walk has ended (each router's
//     every destination answered: the driver's route reports reach 26 x DESTS), for all of them
//     and the median driver;
//   - once the walks have ended, the idle CPU over IDLE_SECONDS (default 30) of all the drivers
//     together, of `kirn serve` and of `kirn metrics` (the emulators and the browser not
//     counted), in % of one core;
//   - one scrape of /metrics: its time (median and slowest of 10) and its size;
//   - each driver's resident memory (median and largest);
//   - a salvo of 4096 routes to one driver while the others poll, as routes a second, against
//     the same salvo to the same driver once the others have stopped (the lone figure).
// With --no-history kirn metrics records no crosspoint history (it then reads the drivers'
// tables only for the page).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_usage.h"
#include "bench/proc_stat.h"
#include "browser/chromium.h"
#include "e2e_site.h"
#include "http_client.h"
#include "sim_process.h"

namespace {

using bench::CpuTicks;
using bench::ThreadTicks;
using testing_support::Chromium;
using testing_support::HttpGet;
using testing_support::HttpReply;
using testing_support::Process;
using testing_support::SimProcess;
using testing_support::WriteFile;
using Clock = std::chrono::steady_clock;

constexpr int kRouters = 26;

int Fail(const std::string& what) {
  std::fprintf(stderr, "workstation_bench: %s\n", what.c_str());
  return 1;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The value of the sample `series` in an exposition, -1 when there is none.
double Sample(const std::string& body, const std::string& series) {
  const std::string key = "\n" + series + " ";
  const size_t at = ("\n" + body).find(key);
  if (at == std::string::npos) return -1;
  return std::strtod(body.c_str() + at + key.size() - 1, nullptr);
}

class Site : public testing_support::SiteTest {
 public:
  void TestBody() override {}
  using SiteTest::dir_;
  using SiteTest::Env;
  using SiteTest::Start;
  using SiteTest::StartServe;
};

int DriverDevice(int d) {
  return 21 + d;
}
int RouterDevice(int d, int r) {
  return 101 + kRouters * d + r;
}

// `kirn send DEV - --stats` of `n` routes; routes a second from its statistics line, or -1.
double SalvoRate(Site& site, int device, int n, int src) {
  std::string list;
  for (int i = 0; i < n; ++i) {
    list += "RC " + std::to_string(device) + " " + std::to_string(src) + " " +
            std::to_string(1 + i) + " ',---' 0\n";
  }
  const auto file = site.dir_.path() / "salvo.txt";
  WriteFile(file, list);
  Process send({"/bin/sh", "-c",
                std::string("exec '") + KIRN_BIN + "' send " + std::to_string(device) +
                    " - --stats --wait 1000 < '" + file.string() + "'"},
               site.Env());
  if (send.Wait(600000) != 0) return -1;
  const std::string out = send.Stdout();
  long sent = 0;
  long revertives = 0;
  double seconds = 0;
  const size_t at = out.rfind("sent ");
  if (at == std::string::npos ||
      std::sscanf(out.c_str() + at, "sent %ld, revertives %ld, seconds %lf", &sent, &revertives,
                  &seconds) != 3 ||
      seconds <= 0) {
    return -1;
  }
  return static_cast<double>(revertives) / seconds;
}

}  // namespace

constexpr const char* kUsage =
    "usage: workstation_bench [DRIVERS] [DESTS] [IDLE_SECONDS] [--no-history]\n"
    "A full workstation: DRIVERS drivers (default 12, 1..30) of 26 routers of DESTS\n"
    "destinations (default 4096, 16..4096) over TCP to emulators, one bus host, kirn metrics\n"
    "scraped every 5 s and one page open; prints the resync walks' time, the idle CPU over\n"
    "IDLE_SECONDS (default 30, at least 5) of the drivers, kirn serve and kirn metrics, a\n"
    "scrape, memory, and a salvo beside the others against alone. --no-history: kirn metrics\n"
    "records no crosspoint history.\n";

int main(int argc, char** argv) {
  if (bench::HelpAsked(argc, argv, kUsage)) return 0;
  bool history = true;
  std::vector<long> numbers;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--no-history") {
      history = false;
    } else if (a.rfind("-", 0) == 0 || numbers.size() == 3) {
      bench::UsageError("workstation_bench", "unknown argument " + a, kUsage);
    } else {
      numbers.push_back(bench::Number("workstation_bench", argv[i], kUsage));
    }
  }
  const auto number = [&](size_t i, long fallback, long lo, long hi) {
    return static_cast<int>(std::clamp(i < numbers.size() ? numbers[i] : fallback, lo, hi));
  };
  const int drivers = number(0, 12, 1, 30);
  const int dests = number(1, 4096, 16, 4096);
  const int idle_seconds = number(2, 30, 5, 86400);
  ::signal(SIGPIPE, SIG_IGN);

  Site site;
  std::vector<std::unique_ptr<SimProcess>> sims;
  for (int d = 0; d < drivers; ++d) {
    sims.push_back(std::make_unique<SimProcess>(std::vector<std::string>{"--tcp", "0", "--quiet"}));
    if (!sims.back()->Ready()) return Fail("an emulator did not start: " + sims.back()->Err());
    std::string profile =
        "[Controller]\nSimulation=0\nDebugMode=0\nForwardBufferDelay=0\nConnection_Mode=IP\n"
        "IP_Address_A=127.0.0.1\nIP_Address_B=0.0.0.0\nDual_Controllers=0\nIP_Port=" +
        std::to_string(sims.back()->ports.at(0)) + "\n[Routers]\n";
    for (int r = 0; r < kRouters; ++r) {
      profile += "Router_" + std::string(1, static_cast<char>('A' + r)) + "=" +
                 std::to_string(RouterDevice(d, r)) + ",1," + std::to_string(dests) + "\n";
      WriteFile(site.dir_.path() / ("DEV_" + std::to_string(RouterDevice(d, r)) + ".INI"),
                "[Database]\nDatabaseSize_0=" + std::to_string(dests) +
                    "\nDatabaseSize_1=" + std::to_string(dests) + "\n");
    }
    char name[32];
    std::snprintf(name, sizeof name, "DEV_%03d.INI", DriverDevice(d));
    WriteFile(site.dir_.path() / name, profile);
  }
  auto serve = site.StartServe();
  std::vector<std::string> metrics_args = {KIRN_BIN, "metrics", "--listen", "127.0.0.1:0"};
  if (!history) metrics_args.push_back("--no-history");
  auto metrics = site.Start(metrics_args);
  if (!metrics->WaitForOutput("listening http://127.0.0.1:", 10000)) {
    return Fail("kirn metrics did not start: " + metrics->Stderr());
  }
  const std::string out = metrics->Stdout();
  const int port = std::atoi(out.c_str() + out.find("127.0.0.1:") + 10);

  const auto start = Clock::now();
  std::vector<std::unique_ptr<Process>> driver_processes;
  for (int d = 0; d < drivers; ++d) {
    driver_processes.push_back(site.Start({XARVEL_BIN, std::to_string(DriverDevice(d))}));
  }

  Chromium browser;
  bool page = false;
  if (Chromium::Installed() && browser.Start(1280, 900)) {
    page = browser.Navigate("http://127.0.0.1:" + std::to_string(port) + "/");
  }

  // The walks: a scrape every 5 s, as a Prometheus would, tells each driver's route reports.
  const double walk_reports = static_cast<double>(kRouters) * dests;
  std::vector<double> walk_seconds(static_cast<size_t>(drivers), -1);
  int walked = 0;
  const auto walk_deadline = start + std::chrono::minutes(20);
  while (walked < drivers && Clock::now() < walk_deadline) {
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const HttpReply r = HttpGet(port, "/metrics", 10000);
    const double now = std::chrono::duration<double>(Clock::now() - start).count();
    for (int d = 0; d < drivers; ++d) {
      if (walk_seconds[static_cast<size_t>(d)] >= 0) continue;
      const double reports = Sample(
          r.body, "xarvel_route_reports_total{driver=\"" + std::to_string(DriverDevice(d)) + "\"}");
      if (reports >= walk_reports) {
        walk_seconds[static_cast<size_t>(d)] = now;
        ++walked;
      }
    }
    for (auto& p : driver_processes) {
      if (p->Wait(0) >= 0) return Fail("a driver ended: " + p->Stderr().substr(0, 2000));
    }
  }
  if (walked < drivers) return Fail("the resync walks did not end within 20 minutes");
  std::printf(
      "workstation: %d drivers x %d routers x %d destinations over TCP, page %s, history "
      "%s\n",
      drivers, kRouters, dests, page ? "open" : "not open (no Chromium)",
      history ? "recorded" : "off");
  std::printf(
      "workstation: every resync walk ended   %8.1f s (median driver %.1f s; at 5 s "
      "scrapes)\n",
      *std::max_element(walk_seconds.begin(), walk_seconds.end()), Median(walk_seconds));

  // The history's first re-base reads the name of every source and destination once (2.5
  // million for the full workstation): idle starts once they are in (a kirn metrics that does
  // not tell how many are pending is not waited for).
  const auto names_start = Clock::now();
  for (;;) {
    const HttpReply r = HttpGet(port, "/metrics", 10000);
    const double pending = Sample(r.body, "xarvel_exporter_names_pending");
    if (pending <= 0) {
      if (pending == 0) {
        std::printf("workstation: names read after the walks  %7.1f s (%.0f names in all)\n",
                    std::chrono::duration<double>(Clock::now() - names_start).count(),
                    Sample(r.body, "xarvel_exporter_names_read_total"));
      }
      break;
    }
    if (Clock::now() - names_start > std::chrono::minutes(30)) {
      return Fail("the names were not read within 30 minutes");
    }
    std::this_thread::sleep_for(std::chrono::seconds(5));
  }

  // Idle: the poll, the scrapes every 5 s and the page's reads.
  std::vector<int> pids;
  for (auto& p : driver_processes) pids.push_back(p->pid());
  pids.push_back(serve->pid());
  pids.push_back(metrics->pid());
  std::vector<long long> before;
  for (int pid : pids) before.push_back(CpuTicks(pid));
  // The threads of kirn serve (the bus host's and the stand-in's) and of kirn metrics.
  const std::map<int, long long> serve_threads = ThreadTicks(serve->pid());
  const std::map<int, long long> metrics_threads = ThreadTicks(metrics->pid());
  const auto idle_start = Clock::now();
  std::vector<double> scrape_ms;
  size_t scrape_bytes = 0;
  while (Clock::now() - idle_start < std::chrono::seconds(idle_seconds)) {
    const auto t = Clock::now();
    const HttpReply r = HttpGet(port, "/metrics", 10000);
    if (r.status == 200) {
      scrape_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
      scrape_bytes = r.body.size();
    }
    std::this_thread::sleep_until(t + std::chrono::seconds(5));
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - idle_start).count();
  const double tick_ms = 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  auto percent = [&](size_t i) {
    return static_cast<double>(CpuTicks(pids[i]) - before[i]) * tick_ms / elapsed / 10.0;
  };
  double drivers_cpu = 0;
  std::vector<double> each_driver;
  for (int d = 0; d < drivers; ++d) {
    each_driver.push_back(percent(static_cast<size_t>(d)));
    drivers_cpu += each_driver.back();
  }
  const double serve_cpu = percent(pids.size() - 2);
  const double metrics_cpu = percent(pids.size() - 1);
  // Each thread's share, largest first ("main" for the process's own thread).
  auto threads = [&](int pid, const std::map<int, long long>& was) {
    std::vector<std::pair<double, std::string>> shares;
    for (const auto& [tid, ticks] : ThreadTicks(pid)) {
      auto it = was.find(tid);
      const long long spent = ticks - (it == was.end() ? 0 : it->second);
      std::string name = testing_support::ReadFile("/proc/" + std::to_string(pid) + "/task/" +
                                                   std::to_string(tid) + "/comm");
      if (!name.empty() && name.back() == '\n') name.pop_back();
      if (tid == pid) name = "main";
      shares.emplace_back(static_cast<double>(spent) * tick_ms / elapsed / 10.0, name);
    }
    std::sort(shares.rbegin(), shares.rend());
    std::string text;
    for (size_t i = 0; i < shares.size() && i < 3; ++i) {
      char part[64];
      std::snprintf(part, sizeof part, "%s%s %.2f", i == 0 ? "" : ", ", shares[i].second.c_str(),
                    shares[i].first);
      text += part;
    }
    return text;
  };
  std::printf(
      "workstation: idle CPU, drivers together %7.2f %% of a core (each: median %.2f, largest "
      "%.2f)\n",
      drivers_cpu, Median(each_driver), *std::max_element(each_driver.begin(), each_driver.end()));
  std::printf("workstation: idle CPU, kirn serve       %7.2f %% of a core (threads: %s)\n",
              serve_cpu, threads(serve->pid(), serve_threads).c_str());
  std::printf("workstation: idle CPU, kirn metrics     %7.2f %% of a core (threads: %s)\n",
              metrics_cpu, threads(metrics->pid(), metrics_threads).c_str());
  std::printf("workstation: idle CPU, all three        %7.2f %% of a core (goal < 2 %%)\n",
              drivers_cpu + serve_cpu + metrics_cpu);
  // Ten scrapes back to back for the scrape's own figure.
  for (int i = 0; i < 10; ++i) {
    const auto t = Clock::now();
    const HttpReply r = HttpGet(port, "/metrics", 10000);
    if (r.status == 200) {
      scrape_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
      scrape_bytes = r.body.size();
    }
  }
  std::printf(
      "workstation: one scrape                 %7.1f ms median, %.1f ms slowest, %zu "
      "bytes (goal < 100 ms)\n",
      Median(scrape_ms), *std::max_element(scrape_ms.begin(), scrape_ms.end()), scrape_bytes);
  std::vector<double> rss;
  for (int d = 0; d < drivers; ++d) {
    const long kb = bench::StatusKb(pids[static_cast<size_t>(d)], "VmRSS");
    rss.push_back(kb < 0 ? -1 : static_cast<double>(kb) / 1024.0);
  }
  std::printf(
      "workstation: driver resident memory     %7.1f MB median, %.1f MB largest (goal "
      "< 40 MB)\n",
      Median(rss), *std::max_element(rss.begin(), rss.end()));

  // The salvo while the others poll, then alone.
  const int salvo = std::min(4096, dests);
  const double busy = SalvoRate(site, RouterDevice(0, 0), salvo, 3);
  for (int d = 1; d < drivers; ++d) driver_processes[static_cast<size_t>(d)]->Stop();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double lone = SalvoRate(site, RouterDevice(0, 0), salvo, 4);
  if (busy <= 0 || lone <= 0) return Fail("a salvo did not finish");
  std::printf(
      "workstation: salvo of %d routes         %7.0f routes/s with %d others polling, "
      "%.0f alone: %.2f x (goal within 1.2 x)\n",
      salvo, busy, drivers - 1, lone, lone / busy);
  return 0;
}
