// The cost of the operator's window: the driver's CPU time with 26 routers polled at TallyDelay
// 10 ms (100 interrogations a second) against the controller emulator over TCP, run headless and
// run with its window on a virtual X server (Xvfb) of this program's own. With no window manager
// on that server the minimised start still maps the window, so the dialog is on screen and drawn
// (the poll fields change with every interrogation).
//
// The two kinds of run alternate, each driver measured over a quiet spell after its start-up;
// the figures are the medians.
//
// Run it by hand (it is not part of the test run):
//   build/bench/gui_bench [--seconds S] [--repeats N]
// Every process it starts is stopped before it returns; the site directory is removed.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/proc_stat.h"
#include "gui/xserver.h"
#include "test_support.h"

namespace {

using bench::CpuSeconds;
using testing_support::Process;
constexpr int kRouters = 26;
constexpr int kStartMs = 20000;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int Usage() {
  std::fprintf(stderr, "usage: gui_bench [--seconds S] [--repeats N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // one line per run as it ends
  int seconds = 10;
  int repeats = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::printf(
          "usage: gui_bench [--seconds S] [--repeats N]\n"
          "The driver's CPU with 26 routers polled every 10 ms, headless and with its window on\n"
          "a virtual X server: N runs of each (default 3), S seconds measured each (default "
          "10).\n");
      return 0;
    }
    if (i + 1 >= argc) return Usage();
    const int n = std::atoi(argv[++i]);
    if (n < 1) return Usage();
    if (a == "--seconds") {
      seconds = n;
    } else if (a == "--repeats") {
      repeats = n;
    } else {
      return Usage();
    }
  }

  testing_support::TempDir site;
  testing_support::XServer x;
  if (!x.Start()) {
    std::fprintf(stderr, "gui_bench: cannot start Xvfb\n");
    return 1;
  }
  Process sim({MC1000_SIM_BIN, "--tcp", "0", "--quiet"});
  if (!sim.WaitForOutput("ready", kStartMs)) {
    std::fprintf(stderr, "gui_bench: the controller emulator did not start\n");
    return 1;
  }
  const std::string out = sim.Stdout();
  const std::string port = std::to_string(std::atoi(out.c_str() + out.find(':') + 1));
  std::string profile =
      "[Controller]\nSimulation=0\nConnection_Mode=IP\nDual_Controllers=0\nIP_Address_A="
      "127.0.0.1\nIP_Port=" +
      port + "\nForwardBufferDelay=0\nTallyDelay=10\nDebugMode=0\n[Routers]\n";
  for (int i = 0; i < kRouters; ++i) {
    const int device = 101 + i;
    profile += "Router_" + std::string(1, static_cast<char>('A' + i)) + "=" +
               std::to_string(device) + ",1,64\n";
    testing_support::WriteFile(site.path() / ("DEV_" + std::to_string(device) + ".INI"),
                               "[Database]\nDatabaseSize_0=256\nDatabaseSize_1=64\n");
  }
  testing_support::WriteFile(site.path() / "DEV_012.INI", profile);

  const std::vector<std::string> env = {"KIRN_WINDIR=" + site.str(),
                                        "KIRN_BUS=" + site.str() + "/bus.sock",
                                        "KIRN_CONFIG_LOCATOR=" + site.str() + "/no-locator.ini",
                                        "ZQ_ROOT=",
                                        "ZQ_SYSTEM=",
                                        "WAYLAND_DISPLAY=",
                                        "QT_QPA_PLATFORM="};
  Process serve({KIRN_BIN, "serve"}, env);
  if (!serve.WaitForOutput("ready bus", kStartMs)) {
    std::fprintf(stderr, "gui_bench: kirn serve did not start\n");
    return 1;
  }

  std::printf(
      "gui_bench: %d routers x 64 destinations, TallyDelay 10 ms, %d s per run, %d runs "
      "each\n",
      kRouters, seconds, repeats);
  std::vector<double> headless;
  std::vector<double> shown;
  for (int run = 0; run < 2 * repeats; ++run) {
    const bool display = run % 2 == 1;
    std::vector<std::string> driver_env = env;
    driver_env.push_back(display ? "DISPLAY=" + x.display() : "DISPLAY=");
    Process driver({XARVEL_BIN, "12"}, driver_env);
    if (!driver.WaitForOutput("Net A FD Connected ok", kStartMs, true)) {
      std::fprintf(stderr, "gui_bench: the driver did not connect:\n%s\n", driver.Stderr().c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // start-up settles
    const double before = CpuSeconds(driver.pid());
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double after = CpuSeconds(driver.pid());
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    driver.Stop();
    if (before < 0 || after < 0) {
      std::fprintf(stderr, "gui_bench: cannot read the driver's CPU time\n");
      return 1;
    }
    const double percent = 100.0 * (after - before) / wall;
    (display ? shown : headless).push_back(percent);
    std::printf("  run %d %-9s %.2f%% of one core\n", run / 2 + 1, display ? "shown" : "headless",
                percent);
  }
  const double h = Median(headless);
  const double s = Median(shown);
  std::printf("headless  median %.2f%% of one core\n", h);
  std::printf("shown     median %.2f%% of one core\n", s);
  std::printf("the window adds %.2f%% of one core (goal: under 2%%)\n", s - h);
  return 0;
}
