// The status page's cost and speed, one run per invocation, for bench/run:
//
//   page_bench [SECONDS] [CHANGES]
//
// A driver with two routers (A: 256 destinations, B: 4096, every name in their profiles) on the
// controller emulator over TCP, the bus host and `kirn metrics`; headless Chromium opens the
// pages. It prints:
//   - the driver's CPU (ms a second, from the kernel's tick counts) over SECONDS (default 20)
//     with no page open, then with 20 tabs of router B's crosspoints open (each in a window of
//     its own, sharing the browser's one event stream), and kirn metrics' CPU meanwhile;
//   - the CPU (ms) of the driver and of kirn metrics for a salvo of 2000 routes (kirn send),
//     with the 20 tabs open and with none;
//   - the time from a crosspoint change at the controller (the emulator's console
//     `route L DEST SRC`, a front-panel route) to its highlight on the page, CHANGES times
//     (default 50), with the event stream and then with the page's reads alone (?events=0):
//     median, 90th percentile, lowest and highest. The page notes the moment with a mutation
//     observer (wall clock, as the bench's), so polling the page costs nothing of the figure.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_usage.h"
#include "bench/proc_stat.h"
#include "browser/chromium.h"
#include "e2e_site.h"
#include "sim_process.h"

namespace {

using bench::CpuTicks;
using bench::MachineTicks;
using testing_support::Chromium;
using testing_support::Process;
using testing_support::SimProcess;
using testing_support::WriteFile;
using Clock = std::chrono::steady_clock;

int Fail(const std::string& what) {
  std::fprintf(stderr, "page_bench: %s\n", what.c_str());
  return 1;
}

// Milliseconds of CPU a second of processes `pids` over `seconds`.
std::vector<double> CpuPerSecond(const std::vector<int>& pids, int seconds) {
  std::vector<long long> before;
  for (int pid : pids) before.push_back(CpuTicks(pid));
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double tick_ms = 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  std::vector<double> out;
  for (size_t i = 0; i < pids.size(); ++i) {
    out.push_back(static_cast<double>(CpuTicks(pids[i]) - before[i]) * tick_ms / elapsed);
  }
  return out;
}

long long WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class Site : public testing_support::SiteTest {
 public:
  void TestBody() override {}
  using SiteTest::dir_;
  using SiteTest::Env;
  using SiteTest::Start;
  using SiteTest::StartDriver;
  using SiteTest::StartServe;
};

std::string Names(const char* what, int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) {
    text += std::to_string(i) + "=" + what + " " + std::to_string(i) + "\n";
  }
  return text;
}

}  // namespace

constexpr const char* kUsage =
    "usage: page_bench [SECONDS] [CHANGES]\n"
    "The status page's cost and speed in headless Chromium: the driver's CPU over SECONDS\n"
    "(default 20) with no page and with 20 tabs open, a salvo's CPU with and without them,\n"
    "and the time from a change at the controller to its highlight, CHANGES times (default\n"
    "50), with the event stream and with the page's reads alone.\n";

int main(int argc, char** argv) {
  if (bench::HelpAsked(argc, argv, kUsage)) return 0;
  if (argc > 3) bench::UsageError("page_bench", "too many arguments", kUsage);
  const auto number = [&](int i, int fallback) {
    if (argc <= i) return fallback;
    return static_cast<int>(
        std::clamp<long>(bench::Number("page_bench", argv[i], kUsage), 1, 3600));
  };
  const int seconds = number(1, 20);
  const int changes = number(2, 50);
  if (!Chromium::Installed()) return Fail(std::string("no ") + Chromium::kBinary);
  ::signal(SIGPIPE, SIG_IGN);

  SimProcess sim({"--tcp", "0"});
  if (!sim.Ready()) return Fail("the emulator did not start: " + sim.Err());
  Site site;
  WriteFile(site.dir_.path() / "DEV_012.INI",
            "[Controller]\nSimulation=0\nDebugMode=0\nForwardBufferDelay=0\nConnection_Mode=IP\n"
            "IP_Address_A=127.0.0.1\nIP_Address_B=0.0.0.0\nDual_Controllers=0\nIP_Port=" +
                std::to_string(sim.ports.at(0)) +
                "\nTallyDelay=100\nParkName=PARK\n[Routers]\nRouter_A=101,1,256\n"
                "Router_B=102,1,4096\n");
  WriteFile(site.dir_.path() / "DEV_101.INI",
            "[Database]\nDatabaseSize_0=64\nDatabaseSize_1=256\n[Database_0]\n" + Names("CAM", 64) +
                "[Database_1]\n" + Names("MON", 256));
  WriteFile(site.dir_.path() / "DEV_102.INI",
            "[Database]\nDatabaseSize_0=4096\nDatabaseSize_1=4096\n[Database_0]\n" +
                Names("SRC", 4096) + "[Database_1]\n" + Names("DST", 4096));
  auto serve = site.StartServe();
  auto driver = site.StartDriver(*serve);
  auto metrics = site.Start({KIRN_BIN, "metrics", "--listen", "127.0.0.1:0"});
  if (!metrics->WaitForOutput("listening http://127.0.0.1:", 10000)) {
    return Fail("kirn metrics did not start: " + metrics->Stderr());
  }
  const std::string out = metrics->Stdout();
  const std::string base =
      "http://127.0.0.1:" + std::to_string(std::atoi(out.c_str() + out.find("127.0.0.1:") + 10));

  Chromium browser;
  if (!browser.Start(1280, 900)) return Fail("chromium: " + browser.error());
  if (!browser.Navigate(base + "/driver/12?router=101") ||
      !browser.WaitFor("document.getElementById('state').textContent === 'Comms Ok' && "
                       "document.querySelector('#xpt-rows tr[data-dest=\"100\"]')",
                       20000)) {
    return Fail("the page did not show the driver: " + browser.error());
  }
  // Away from the driver page: nothing reads the driver but its own poll and the bus host.
  browser.Navigate("about:blank");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const std::vector<int> pids = {driver->pid(), metrics->pid()};
  const std::vector<double> idle = CpuPerSecond(pids, seconds);

  constexpr int kTabs = 20;
  for (int i = 1; i < kTabs; ++i) {
    if (!browser.OpenPage(base + "/driver/12?router=102"))
      return Fail("a page: " + browser.error());
  }
  browser.UsePage(0);
  browser.Navigate(base + "/driver/12?router=102");
  for (size_t i = 0; i < browser.pages(); ++i) {
    browser.UsePage(i);
    if (!browser.WaitFor("document.getElementById('range').textContent === '1-100 of 4096' && "
                         "document.querySelector('#xpt-rows tr[data-dest=\"1\"]')"
                         ".children[1].textContent === 'DST 1'",
                         20000)) {
      return Fail("page " + std::to_string(i) + " did not show router B");
    }
  }
  const std::vector<double> open = CpuPerSecond(pids, seconds);
  // The server still answers everyone else.
  testing_support::Process curl(
      {"/bin/sh", "-c",
       "exec curl -s -o /dev/null -w '%{http_code}' --max-time 5 " + base + "/metrics"});
  curl.Wait(10000);
  std::printf("page: driver CPU, no page open                 %7.2f ms/s\n", idle[0]);
  std::printf("page: driver CPU, 20 tabs of 4096 dests open   %7.2f ms/s\n", open[0]);
  std::printf("page: kirn metrics CPU, no page / 20 tabs      %7.2f / %.2f ms/s\n", idle[1],
              open[1]);
  std::printf("page: /metrics while 20 tabs are open          HTTP %s\n", curl.Stdout().c_str());

  // A salvo of 2000 routes to router B with the tabs open, then with none.
  std::string list;
  for (int i = 0; i < 2000; ++i) {
    list += "RC 102 " + std::to_string(1 + i % 4000) + " " + std::to_string(1 + i) + " ',---' 0\n";
  }
  const auto salvo_file = site.dir_.path() / "salvo.txt";
  auto salvo = [&](const char* what) {
    std::vector<long long> before;
    for (int pid : pids) before.push_back(CpuTicks(pid));
    const auto machine = MachineTicks();
    const auto start = Clock::now();
    Process send({"/bin/sh", "-c",
                  std::string("exec '") + KIRN_BIN + "' send 102 - --wait 500 < '" +
                      salvo_file.string() + "' > /dev/null"},
                 site.Env());
    const int code = send.Wait(300000);
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    const double tick_ms = 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    const auto machine_after = MachineTicks();
    std::printf(
        "page: 2000-route salvo, %-28s driver CPU %7.1f ms, kirn metrics CPU %7.1f ms, "
        "%.2f s, machine %.0f %% busy%s\n",
        what, static_cast<double>(CpuTicks(pids[0]) - before[0]) * tick_ms,
        static_cast<double>(CpuTicks(pids[1]) - before[1]) * tick_ms, took,
        100.0 * static_cast<double>(machine_after.first - machine.first) /
            static_cast<double>(std::max(1LL, machine_after.second - machine.second)),
        code == 0 ? "" : " (kirn send failed)");
  };
  WriteFile(salvo_file, list);
  salvo("20 tabs");
  // The same routes again would change nothing: another source for each salvo.
  auto next_salvo = [&](int offset) {
    list.clear();
    for (int i = 0; i < 2000; ++i) {
      list += "RC 102 " + std::to_string(1 + offset + i % 4000) + " " + std::to_string(1 + i) +
              " ',---' 0\n";
    }
    WriteFile(salvo_file, list);
  };
  // The same tabs reading twice a second without the stream, for comparison.
  for (size_t i = 0; i < browser.pages(); ++i) {
    browser.UsePage(i);
    browser.Navigate(base + "/driver/12?router=102&events=0");
  }
  for (size_t i = 0; i < browser.pages(); ++i) {
    browser.UsePage(i);
    browser.WaitFor("document.getElementById('range').textContent === '1-100 of 4096'", 20000);
  }
  next_salvo(1);
  salvo("20 tabs reading, no stream,");
  next_salvo(2);
  for (size_t i = browser.pages(); i-- > 1;) {
    browser.UsePage(i);
    browser.Navigate("about:blank");
  }
  browser.UsePage(0);
  browser.Navigate("about:blank");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  salvo("no page");

  // The highlight: page 0 on router A, front-panel routes at the controller; with the event
  // stream, then with the page's reads alone.
  browser.UsePage(0);
  std::mt19937 random(12);
  auto highlight = [&](const std::string& query, const char* what) {
    if (!browser.Navigate(base + "/driver/12" + query) ||
        !browser.WaitFor("document.querySelector('#xpt-rows tr[data-dest=\"100\"]')", 20000)) {
      return Fail("router A's page");
    }
    if (query.find("events=0") == std::string::npos &&
        !browser.WaitFor("document.body.dataset.live === '1'", 10000)) {
      return Fail("the page's event stream did not come");
    }
    browser.Eval(
        "window.__xpt = {dest: 0, src: '', at: 0};"
        "new MutationObserver(() => {"
        "  const w = window.__xpt; if (w.at || !w.dest) return;"
        "  const r = document.querySelector('#xpt-rows tr[data-dest=\"' + w.dest + '\"]');"
        "  if (r && r.classList.contains('changed') && r.children[2].textContent === w.src)"
        "    w.at = Date.now();"
        "}).observe(document.getElementById('xpt-rows'),"
        "           {childList: true, subtree: true, attributes: true}); true");
    std::vector<long long> took;
    for (int i = 0; i < changes; ++i) {
      const int dest = 1 + (i * 37) % 100;
      const int src = 1 + ((i + (what[0] == 'r' ? 31 : 0)) % 63);
      browser.Eval("window.__xpt = {dest: " + std::to_string(dest) + ", src: '" +
                   std::to_string(src) + "', at: 0}; true");
      // The page's read and the change meet at any phase.
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 600));
      const long long at = WallMs();
      if (!sim.Console("route A " + std::to_string(dest) + " " + std::to_string(src), "ok route")) {
        return Fail("the emulator's console");
      }
      long long seen = 0;
      const auto deadline = Clock::now() + std::chrono::seconds(5);
      while (seen == 0 && Clock::now() < deadline) {
        seen = static_cast<long long>(browser.Eval("window.__xpt.at").toDouble());
        if (seen == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (seen == 0) return Fail("change " + std::to_string(i) + " was never highlighted");
      took.push_back(seen - at);
    }
    std::sort(took.begin(), took.end());
    std::printf(
        "page: controller change -> highlight, %-12s %d changes: median %lld ms, p90 "
        "%lld ms, %lld..%lld ms\n",
        what, changes, took[took.size() / 2], took[took.size() * 9 / 10], took.front(),
        took.back());
    return 0;
  };
  if (highlight("?router=101", "events,") != 0) return 1;
  if (highlight("?router=101&events=0", "reads only,") != 0) return 1;
  browser.Stop();
  metrics->Stop();
  driver->Stop();
  serve->Stop();
  return 0;
}
