// A driver site in a temporary directory with the real programs started against it: the bus host
// and interface stand-in (`kirn serve`), the driver, kirn's command clients and `kirn metrics`.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace testing_support {

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

class SiteTest : public ::testing::Test {
 protected:
  using Clock = std::chrono::steady_clock;

  // The sample site: driver 12 in simulation, router A = device 101 (32 sources, 16
  // destinations, with names), router B = device 102 (16 sources, 8 destinations).
  void WriteSimulationSite() { WriteSite("Simulation=1\n"); }

  // The sample site with `controller_keys` (lines "Key=value\n") as the driver's [Controller]
  // section; `router_b` is router B's definition.
  void WriteSite(const std::string& controller_keys, const std::string& router_b = "102,1,8") {
    WriteFile(dir_.path() / "DEV_012.INI",
              "[Controller]\n" + controller_keys +
                  "[Routers]\nRouter_A=101,1,16\nRouter_B=" + router_b + "\n");
    WriteFile(dir_.path() / "DEV_101.INI",
              "[Database]\nDatabaseSize_0=32\nDatabaseSize_1=16\n"
              "[Database_0]\n5=CAM 5\n6=A NAME OF TWENTY-SIX CHARS\n[Database_1]\n1=MON 1\n");
    WriteFile(dir_.path() / "DEV_102.INI", "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=8\n");
  }

  std::string Bus() const { return (dir_.path() / "bus.sock").string(); }

  std::vector<std::string> Env() const {
    return {"KIRN_BUS=" + Bus(), "KIRN_WINDIR=" + dir_.str(),
            "DISPLAY=", "WAYLAND_DISPLAY=", "ZQ_ROOT=", "ZQ_SYSTEM=",
            "KIRN_CONFIG_LOCATOR=" + (dir_.path() / "no-locator.ini").string(),
            "HOME=" + dir_.str(),
            // COM n is <site>/COM<n>: a driver never reaches for the machine's own ports.
            "KIRN_COMDIR=" + dir_.str()};
  }

  std::unique_ptr<Process> Start(std::vector<std::string> argv) {
    return std::make_unique<Process>(argv, Env());
  }

  std::unique_ptr<Process> StartServe(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {KIRN_BIN, "serve"});
    auto serve = Start(args);
    EXPECT_TRUE(serve->WaitForOutput("ready bus", 10000)) << serve->Stderr();
    return serve;
  }

  // Starts the driver and waits until both its devices are registered.
  std::unique_ptr<Process> StartDriver(const Process& serve) {
    auto driver = Start({XARVEL_BIN, "12"});
    EXPECT_TRUE(serve.WaitForOutput("register 102 ", 20000)) << serve.Stdout() << driver->Stderr();
    return driver;
  }

  // Starts `kirn metrics` on a free loopback port (--listen 127.0.0.1:0, then `extra`) and reads
  // the port it listens on into `*port`.
  std::unique_ptr<Process> StartMetrics(int* port, const std::vector<std::string>& extra = {},
                                        const std::string& scheme = "http") {
    std::vector<std::string> argv = {KIRN_BIN, "metrics", "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto metrics = Start(argv);
    *port = MetricsPort(*metrics, scheme);
    return metrics;
  }

  // The port of a `kirn metrics` that listens on 127.0.0.1 (`scheme` "http" or "https"), read from
  // its "listening" line once it is whole; 0, and a failure, when it does not come within 20 s.
  static int MetricsPort(const Process& metrics, const std::string& scheme = "http") {
    const std::string needle = "listening " + scheme + "://127.0.0.1:";
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (;;) {
      const std::string out = metrics.Stdout();
      const size_t at = out.find(needle);
      if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
        return std::atoi(out.c_str() + at + needle.size());
      }
      if (Clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "kirn metrics did not print '" << needle << "PORT': " << metrics.Stdout()
                  << metrics.Stderr();
    return 0;
  }

  Result Kirn(std::vector<std::string> args) {
    args.insert(args.begin(), KIRN_BIN);
    Process p(args, Env());
    Result r;
    r.code = p.Wait(15000);
    r.out = p.Stdout();
    r.err = p.Stderr();
    return r;
  }

  // Polls `kirn devices` until it prints `want`.
  bool DevicesBecome(const std::string& want, std::string* last) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    do {
      *last = Kirn({"devices"}).out;
      if (*last == want) return true;
    } while (Clock::now() < deadline);
    return false;
  }

  TempDir dir_;
};

}  // namespace testing_support
