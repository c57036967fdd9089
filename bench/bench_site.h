// The temporary site of the end-to-end benchmarks: the driver's profile, one profile per router
// device, and the environment that points every program at the site and at nothing of the user's.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/bench_child.h"

namespace bench {

#if defined(XARVEL_BIN) && defined(KIRN_BIN) && defined(MC1000_SIM_BIN)
// This build's driver, kirn and emulator, for the benchmarks that start all three.
struct Bins {
  std::string xarvel = XARVEL_BIN;
  std::string kirn = KIRN_BIN;
  std::string sim = MC1000_SIM_BIN;
};
#endif

struct Site {
  fs::path dir;

  // The driver's profile DEV_012.INI with routers A.. as devices 101.., `sources` x `dests`
  // each. `controller` are the lines of its [Controller] section.
  void Write(const std::string& controller, int routers, int sources, int dests) const {
    std::string profile = "[Controller]\n" + controller + "[Routers]\n";
    for (int i = 0; i < routers; ++i) {
      const int device = 101 + i;
      profile += "Router_" + std::string(1, static_cast<char>('A' + i)) + "=" +
                 std::to_string(device) + ",1," + std::to_string(dests) + "\n";
      WriteAll(dir / ("DEV_" + std::to_string(device) + ".INI"),
               "[Database]\nDatabaseSize_0=" + std::to_string(sources) +
                   "\nDatabaseSize_1=" + std::to_string(dests) + "\n");
    }
    WriteAll(dir / "DEV_012.INI", profile);
    // Each run starts from empty tables.
    for (const char* ext : {".IDX", ".DAT", ".LCK"})
      fs::remove(dir / ("DEV_012" + std::string(ext)));
  }
};

// Points the bus, the configuration, the serial ports and HOME of every program started from now
// on at `dir`, and hides the display and the control system's own locations.
inline void UseSiteEnvironment(const fs::path& dir) {
  ::setenv("KIRN_BUS", (dir / "bus.sock").c_str(), 1);
  ::setenv("KIRN_WINDIR", dir.c_str(), 1);
  ::setenv("KIRN_COMDIR", dir.c_str(), 1);
  ::setenv("HOME", dir.c_str(), 1);
  ::setenv("KIRN_CONFIG_LOCATOR", (dir / "no-locator.ini").c_str(), 1);
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "ZQ_ROOT", "ZQ_SYSTEM", "NOTIFY_SOCKET"}) {
    ::unsetenv(name);
  }
}

// A new site for one benchmark run: a fresh directory /tmp/NAME-XXXXXX that every program started
// from now on uses (UseSiteEnvironment), standard output line-buffered so that bench/run sees
// each line as it comes, and the children stopped on SIGINT and SIGTERM. Empty when no directory
// can be made.
inline fs::path MakeSite(const char* name) {
  std::string pattern = std::string("/tmp/") + name + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  UseSiteEnvironment(pattern);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  StopChildrenOnSignals();
  return pattern;
}

// Runs `run(dir)` in a new site (MakeSite) and removes the site afterwards, or with `keep` says
// where it is left. The code `run` returns, or 1 when no site could be made.
template <class Run>
int RunInSite(const char* name, const char* program, bool keep, Run run) {
  const fs::path dir = MakeSite(name);
  if (dir.empty()) return 1;
  const int code = run(dir);
  if (keep) {
    std::printf("%s: the site is left in %s\n", program, dir.c_str());
  } else {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  return code;
}

}  // namespace bench
