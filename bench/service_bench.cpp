// The driver as a service sees it, one run per invocation, for bench/run:
//
//   service_bench yardstick [ROUNDS]   the round trip of one byte over a Unix-domain socket pair
//                                      between two processes (the machine's yardstick)
//   service_bench driver [ROUTES [BIN]]
//                                      with `kirn serve` and the controller emulator over TCP:
//                                      start-up from launch to the first "Comms Ok" status the
//                                      driver reports to its service manager (NOTIFY_SOCKET),
//                                      the driver's CPU time per route over a salvo through
//                                      `kirn send`, and its peak resident memory afterwards;
//                                      the programs of this build, or those in directory BIN
//                                      (another build, to compare a driver against)
//
// Output: one "name value unit" line per figure.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_child.h"
#include "bench/bench_usage.h"
#include "bench/proc_stat.h"

namespace {

using bench::Child;
using bench::Clock;
using bench::CpuSeconds;
using bench::ReadAll;
using bench::StatusKb;
using bench::WriteAll;
namespace fs = std::filesystem;

constexpr int kWaitMs = 20000;  // bound of every wait for a program

int Fail(const std::string& what) {
  std::fprintf(stderr, "service_bench: %s\n", what.c_str());
  return 1;
}

int Yardstick(int rounds) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return Fail("socketpair");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    char byte = 0;
    while (::read(fds[1], &byte, 1) == 1) {
      if (::write(fds[1], &byte, 1) != 1) break;
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  char byte = 'x';
  // A short warm-up so both processes are scheduled in before the clock starts.
  for (int i = 0; i < 1000; ++i) {
    if (::write(fds[0], &byte, 1) != 1 || ::read(fds[0], &byte, 1) != 1) return Fail("echo");
  }
  const auto t0 = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    if (::write(fds[0], &byte, 1) != 1 || ::read(fds[0], &byte, 1) != 1) return Fail("echo");
  }
  const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  std::printf("yardstick_round_trip %.3f us\n", us / rounds);
  return 0;
}

int Driver(const std::string& bin_dir, int routes, const fs::path& dir) {
  const std::string kirn = bin_dir + "/kirn";
  Child sim({bin_dir + "/mc1000-sim", "--tcp", "0", "--quiet"}, dir, "sim");
  if (!sim.WaitFor("ready\n", kWaitMs)) return Fail("the emulator did not start");
  const std::string out = sim.Out();
  const int port = std::atoi(out.c_str() + out.find(':') + 1);
  constexpr int kDests = 256;
  WriteAll(dir / "DEV_012.INI",
           "[Controller]\nSimulation=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" +
               std::to_string(port) +
               "\nForwardBufferDelay=0\nTallyDelay=500\nDebugMode=0\n"
               "MaxUnACKedRoutesBeforeCommsFail=1000000\n[Routers]\nRouter_A=101,1," +
               std::to_string(kDests) + "\n");
  WriteAll(dir / "DEV_101.INI", "[Database]\nDatabaseSize_0=" + std::to_string(kDests) +
                                    "\nDatabaseSize_1=" + std::to_string(kDests) + "\n");
  Child serve({kirn, "serve"}, dir, "serve");
  if (!serve.WaitFor("ready bus", kWaitMs)) return Fail("kirn serve did not start");

  // The service manager's end: the driver reports "Comms Ok" in its STATUS= once the link is up.
  const std::string notify_path = (dir / "notify.sock").string();
  const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, notify_path.c_str(), sizeof addr.sun_path - 1);
  if (notify < 0 || ::bind(notify, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    return Fail("cannot bind the notification socket");
  }
  ::setenv("NOTIFY_SOCKET", notify_path.c_str(), 1);
  const auto launched = Clock::now();
  Child driver({bin_dir + "/xarvel", "12"}, dir, "driver");
  ::unsetenv("NOTIFY_SOCKET");
  bool comms_ok = false;
  while (!comms_ok && Clock::now() < launched + std::chrono::milliseconds(kWaitMs)) {
    pollfd p = {notify, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[1024];
    const ssize_t n = ::recv(notify, buffer, sizeof buffer - 1, 0);
    if (n > 0)
      comms_ok = std::string(buffer, static_cast<size_t>(n)).find("Comms Ok") != std::string::npos;
  }
  const double startup_ms =
      std::chrono::duration<double, std::milli>(Clock::now() - launched).count();
  ::close(notify);
  if (!comms_ok) return Fail("the driver never reported Comms Ok: " + driver.Err());

  // A salvo in which every route changes a tally.
  std::string commands;
  for (int k = 0; k < routes; ++k) {
    commands += "RC 101 " + std::to_string(2 + k / kDests) + " " + std::to_string(k % kDests + 1) +
                " ',---' 0\n";
  }
  WriteAll(dir / "salvo.txt", commands);
  const double cpu_before = CpuSeconds(driver.pid());
  Child send({kirn, "send", "101", "-", "--stats", "--wait", "1000"}, dir, "send",
             (dir / "salvo.txt").string());
  if (send.Wait(600000) != 0) return Fail("kirn send failed: " + send.Err());
  const double cpu_after = CpuSeconds(driver.pid());
  long sent = 0;
  long revertives = 0;
  double seconds = 0;
  const std::string stats = send.Out();
  const size_t at = stats.rfind("sent ");
  if (at == std::string::npos ||
      std::sscanf(stats.c_str() + at, "sent %ld, revertives %ld, seconds %lf", &sent, &revertives,
                  &seconds) != 3 ||
      revertives <= 0) {
    return Fail("no revertives from the salvo: " + stats);
  }
  const long hwm = StatusKb(driver.pid(), "VmHWM");
  std::printf("startup_to_comms_ok %.1f ms\n", startup_ms);
  // The wait for quiet after the last revertive costs no CPU: the driver is idle but for polls.
  std::printf("driver_cpu_per_route %.2f us\n", 1e6 * (cpu_after - cpu_before) / revertives);
  std::printf("driver_peak_rss %ld kB\n", hwm);
  return 0;
}

}  // namespace

constexpr const char* kUsage =
    "usage: service_bench yardstick [ROUNDS] | driver [ROUTES [BIN]]\n"
    "  yardstick  the round trip of one byte over a Unix-domain socket pair between two\n"
    "             processes, ROUNDS times (default 100000): the machine's yardstick\n"
    "  driver     with kirn serve and the emulator over TCP: start-up to the first 'Comms Ok',\n"
    "             the driver's CPU per route over a salvo of ROUTES (default 2000) and its\n"
    "             peak memory; the programs of this build, or those in directory BIN\n";

int main(int argc, char** argv) {
  if (bench::HelpAsked(argc, argv, kUsage)) return 0;
  const std::string what = argc > 1 ? argv[1] : "";
  const int n = argc > 2 ? std::atoi(argv[2]) : 0;
  if (what == "yardstick") return Yardstick(n > 0 ? n : 100000);
  if (what == "driver") {
    char pattern[] = "/tmp/service-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return Fail("no temporary directory");
    const fs::path dir = pattern;
    ::setenv("KIRN_BUS", (dir / "bus.sock").c_str(), 1);
    ::setenv("KIRN_WINDIR", dir.c_str(), 1);
    ::setenv("HOME", dir.c_str(), 1);
    ::setenv("KIRN_CONFIG_LOCATOR", (dir / "no-locator.ini").c_str(), 1);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "ZQ_ROOT", "ZQ_SYSTEM"}) {
      ::unsetenv(name);
    }
    ::signal(SIGPIPE, SIG_IGN);
    int code = 0;
    code = Driver(argc > 3 ? argv[3] : BIN_DIR, n > 0 ? n : 2000, dir);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return code;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
