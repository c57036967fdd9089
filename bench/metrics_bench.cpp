// The metrics exporter as Prometheus meets it, one run per invocation, for bench/run:
//
//   metrics_bench [SCRAPES]   `kirn serve`, 8 drivers of 26 routers each (in simulation) and
//                             `kirn metrics`; SCRAPES scrapes of /metrics over loopback HTTP,
//                             each timed from the connect to the last byte of the answer
//
// Output: one "name value unit" line per figure: the median and the slowest scrape, and the
// size of one answer.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_child.h"
#include "bench/bench_site.h"
#include "bench/bench_usage.h"
#include "http_client.h"

namespace {

using bench::Child;
using bench::Clock;
using bench::WriteAll;
namespace fs = std::filesystem;

constexpr int kDrivers = 8;
constexpr int kRouters = 26;
constexpr int kWaitMs = 30000;

int Fail(const std::string& what) {
  std::fprintf(stderr, "metrics_bench: %s\n", what.c_str());
  return 1;
}

// Driver d (0..7) is device number 21 + d; its routers are devices 101 + 26 d ... 126 + 26 d.
int RouterDevice(int d, int r) {
  return 101 + kRouters * d + r;
}

void WriteSite(const fs::path& dir) {
  for (int d = 0; d < kDrivers; ++d) {
    std::string profile = "[Controller]\nSimulation=1\nDebugMode=0\n[Routers]\n";
    for (int r = 0; r < kRouters; ++r) {
      const int device = RouterDevice(d, r);
      profile += "Router_" + std::string(1, static_cast<char>('A' + r)) + "=" +
                 std::to_string(device) + ",1,16\n";
      WriteAll(dir / ("DEV_" + std::to_string(device) + ".INI"),
               "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=16\n");
    }
    char name[16];
    std::snprintf(name, sizeof name, "DEV_%03d.INI", 21 + d);
    WriteAll(dir / name, profile);
  }
}

int Run(const std::string& bin_dir, int scrapes, const fs::path& dir) {
  WriteSite(dir);
  Child serve({bin_dir + "/kirn", "serve"}, dir, "serve");
  if (!serve.WaitFor("ready bus", kWaitMs)) return Fail("kirn serve did not start");
  std::vector<std::unique_ptr<Child>> drivers;
  for (int d = 0; d < kDrivers; ++d) {
    drivers.push_back(std::make_unique<Child>(
        std::vector<std::string>{bin_dir + "/xarvel", std::to_string(21 + d)}, dir,
        "driver" + std::to_string(d)));
  }
  Child metrics({bin_dir + "/kirn", "metrics", "--listen", "127.0.0.1:0"}, dir, "metrics");
  if (!metrics.WaitFor("listening http://127.0.0.1:", kWaitMs)) return Fail("no kirn metrics");
  const std::string out = metrics.Out();
  const int port = std::atoi(out.c_str() + out.find("127.0.0.1:") + 10);

  // Every driver up, with all its routers, before the clock runs.
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  for (;;) {
    const auto reply = testing_support::HttpGet(port, "/metrics");
    int up = 0;
    for (int d = 0; d < kDrivers; ++d) {
      const std::string series = "xarvel_up{driver=\"" + std::to_string(21 + d) + "\"} 1\n";
      const std::string last = "xarvel_routes_total{driver=\"" + std::to_string(21 + d) +
                               "\",router=\"" + std::to_string(RouterDevice(d, kRouters - 1)) +
                               "\"} ";
      if (reply.body.find(series) != std::string::npos &&
          reply.body.find(last) != std::string::npos) {
        ++up;
      }
    }
    if (up == kDrivers) break;
    if (Clock::now() >= deadline) return Fail("only " + std::to_string(up) + " drivers up");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }

  std::vector<double> ms;
  size_t bytes = 0;
  for (int i = 0; i < scrapes + 3; ++i) {
    // Rounds of the exporter start at most every 100 ms: each scrape gets one of its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    const auto t0 = Clock::now();
    const auto reply = testing_support::HttpGet(port, "/metrics");
    const double took = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (reply.status != 200) return Fail("a scrape failed: " + reply.head);
    bytes = reply.body.size();
    if (i >= 3) ms.push_back(took);  // three to warm up
  }
  std::sort(ms.begin(), ms.end());
  std::printf("scrape_8x26_median %.2f ms\n", ms[ms.size() / 2]);
  std::printf("scrape_8x26_max %.2f ms\n", ms.back());
  std::printf("scrape_8x26_bytes %zu B\n", bytes);
  return 0;
}

}  // namespace

constexpr const char* kUsage =
    "usage: metrics_bench [SCRAPES]\n"
    "One scrape of kirn metrics with 8 drivers of 26 routers each (in simulation): SCRAPES\n"
    "scrapes (default 30) over loopback HTTP; prints the median and slowest scrape and the\n"
    "size of one answer.\n";

int main(int argc, char** argv) {
  if (bench::HelpAsked(argc, argv, kUsage)) return 0;
  if (argc > 2) bench::UsageError("metrics_bench", "too many arguments", kUsage);
  const int scrapes = argc > 1 ? static_cast<int>(std::clamp<long>(
                                     bench::Number("metrics_bench", argv[1], kUsage), 1, 100000))
                               : 30;
  const fs::path dir = bench::MakeSite("metrics-bench");
  if (dir.empty()) return Fail("no temporary directory");
  const int code = Run(BIN_DIR, scrapes, dir);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return code;
}
