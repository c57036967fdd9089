// crash_saves: kills the real driver with SIGKILL at random moments while it saves its index
// and lock files back to back and route and lock commands change its tables, then starts it
// again and checks what it finds: every file whole and holding a state the tables really went
// through, no older than the last save that completed, and the driver's tables after the
// start-up equal to the file it read.
//
// The driver runs in simulation (a route is stored as it is taken), as device 12 with four
// routers of 64 destinations: 101 at A and 126 at Z, changed by routes, and 102 at B and 125 at
// Y, changed by locks, so that the changes lie at both ends of each file. Routes sweep the
// destinations from 64 down to 1, pass after pass, with a source of its own for each pass; locks
// sweep the same way, setting and clearing on alternate passes. Because a sweep runs against the
// order in which a file is written (router A and destination 1 first), a file made of two saves,
// the new one at its start and the old one after it, is not a state of the sweeps and is found
// out.
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "soak_process.h"

namespace {

using soak::Clock;
using soak::Proc;
using soak::fs::path;

constexpr int kDests = 64;
constexpr int kSources = 4096;
constexpr size_t kIndexBytes = 26 * 8192;
constexpr size_t kLockBytes = 26 * 4096;

const char* const kUsage =
    "usage: crash_saves [--kills N] [--seed N] [--keep]\n"
    "Starts a workstation bus and the driver (device 12, simulation, routers 101, 102, 125\n"
    "and 126) and, N times (default 1000), lets route and lock commands change its tables\n"
    "while 'kirn menu 101 save' saves them back to back, SIGKILLs the driver at a random moment\n"
    "of a save, and checks the index and lock files: whole, each the previous or a new version\n"
    "of the tables (never a mix of two), and read by the next start-up, whose query answers\n"
    "must equal the file. Ends with one line: kills, how many of them interrupted a save (its\n"
    "temporary file was there), saves completed, seconds, and the result.\n"
    "  --kills N   number of kills (1..100000)\n"
    "  --seed N    seed of the random moments (default: from the clock; printed)\n"
    "  --keep      keep the work directory (it is kept anyway after a failure)\n"
    "Exit codes: 0 every check held, 1 a check failed (the line says which and where),\n"
    "2 usage error, 3 the programs could not be started, 130/143 interrupted.\n";

// The source that pass p of the route sweep gives; pass -1 is the table as a first start
// leaves it (no source known).
int PassSource(long pass) {
  return pass < 0 ? 65535 : static_cast<int>(pass % (kSources - 1)) + 1;
}

// The tally of destination d (1-based) after `count` routes of the sweep.
int SweepTally(long count, int d) {
  const long full = count / kDests;
  const long done = count % kDests;  // destinations kDests .. kDests - done + 1 are in pass full
  return d > kDests - done ? PassSource(full) : PassSource(full - 1);
}

// The lock of destination d after `count` lock commands: pass p locks on even p, unlocks on odd.
int SweepLock(long count, int d) {
  const long full = count / kDests;
  const long done = count % kDests;
  const long pass = d > kDests - done ? full : full - 1;
  return pass < 0 ? 0 : (pass % 2 == 0 ? 1 : 0);
}

// Routes alternate between routers A (block 0) and Z (block 25), locks between B (block 1) and
// Y (block 24): with commands 0..c-1 of a pair carried out, its first router has had (c + 1) / 2
// of them and its second c / 2. A file whose first blocks come from a later save than its last
// ones holds no such state.
constexpr int kRouteFirst = 0;
constexpr int kRouteSecond = 25;
constexpr int kLockFirst = 1;
constexpr int kLockSecond = 24;
const int kDevice[26] = {101, 102, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,   0,
                         0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 125, 126};

bool Configured(int index) {
  return kDevice[index] != 0;
}

int Tally(const std::string& file, int index, int d) {
  const size_t at = static_cast<size_t>(index) * 8192 + 2 * static_cast<size_t>(d - 1);
  return static_cast<uint8_t>(file[at]) * 256 + static_cast<uint8_t>(file[at + 1]);
}

// The route state in [lo, hi] that the index file holds, or -1 for none.
long DecodeIndex(const std::string& file, long lo, long hi) {
  if (file.size() != kIndexBytes) return -1;
  // Whatever the routes do not touch holds what the first start wrote: no source known in the
  // configured routers' tables, zeros for the others.
  for (int i = 0; i < 26; ++i) {
    const bool routed = i == kRouteFirst || i == kRouteSecond;
    for (size_t b = routed ? 2 * kDests : 0; b < 8192; ++b) {
      if (static_cast<uint8_t>(file[static_cast<size_t>(i) * 8192 + b]) !=
          (Configured(i) ? 255 : 0)) {
        return -1;
      }
    }
  }
  for (long c = hi; c >= lo; --c) {
    bool all = true;
    for (int d = 1; d <= kDests && all; ++d) {
      all = Tally(file, kRouteFirst, d) == SweepTally((c + 1) / 2, d) &&
            Tally(file, kRouteSecond, d) == SweepTally(c / 2, d);
    }
    if (all) return c;
  }
  return -1;
}

// The lock state in [lo, hi] that the lock file holds, or -1 for none.
long DecodeLocks(const std::string& file, long lo, long hi) {
  if (file.size() != kLockBytes) return -1;
  auto lock = [&file](int index, int d) {
    return static_cast<int>(file[static_cast<size_t>(index) * 4096 + static_cast<size_t>(d - 1)]);
  };
  for (int i = 0; i < 26; ++i) {
    const bool locked = i == kLockFirst || i == kLockSecond;
    for (int d = locked ? kDests + 1 : 1; d <= 4096; ++d) {
      if (lock(i, d) != 0) return -1;
    }
  }
  for (long c = hi; c >= lo; --c) {
    bool all = true;
    for (int d = 1; d <= kDests && all; ++d) {
      all = lock(kLockFirst, d) == SweepLock((c + 1) / 2, d) &&
            lock(kLockSecond, d) == SweepLock(c / 2, d);
    }
    if (all) return c;
  }
  return -1;
}

struct Run {
  path work;
  path site;
  std::string kirn = KIRN_BIN;
  std::string xarvel = XARVEL_BIN;
};

// Runs a kirn command to its end (at most `timeout_ms`); its exit code, its output in `out`.
int Kirn(const Run& run, const std::vector<std::string>& args, std::string* out,
         int timeout_ms = 10000) {
  std::vector<std::string> argv = {run.kirn};
  argv.insert(argv.end(), args.begin(), args.end());
  const path o = run.work / "kirn.out";
  const path e = run.work / "kirn.err";
  soak::Remove(o);
  soak::Remove(e);
  Proc p;
  if (!p.Start(argv, o, e)) return -1;
  const int code = p.Wait(timeout_ms);
  if (code < 0) p.Kill();
  if (out != nullptr) *out = soak::ReadAll(o);
  return code;
}

// The driver's answer to a query of router `device`: source by destination; empty until it
// answers.
std::map<int, int> Query(const Run& run, int device) {
  std::string out;
  std::map<int, int> tallies;
  const std::string dev = std::to_string(device);
  if (Kirn(run, {"send", dev, "RQ " + dev + " 1 " + std::to_string(kDests) + " 0", "--wait", "100"},
           &out) != 0) {
    return tallies;
  }
  for (size_t at = out.find("QRY "); at != std::string::npos; at = out.find("QRY ", at + 1)) {
    long param = 0;
    int of = 0;
    int dest = 0;
    int source = 0;
    if (std::sscanf(out.c_str() + at, "QRY %ld RR %d %d %d", &param, &of, &dest, &source) == 4 &&
        of == device) {
      tallies[dest] = source;
    }
  }
  return tallies;
}

void WriteSite(const Run& run) {
  soak::fs::create_directories(run.site);
  std::string routers;
  for (int i = 0; i < 26; ++i) {
    if (!Configured(i)) continue;
    routers += std::string("Router_") + static_cast<char>('A' + i) + "=" +
               std::to_string(kDevice[i]) + ",1," + std::to_string(kDests) + ",0,0\n";
    soak::WriteAll(run.site / ("DEV_" + std::to_string(kDevice[i]) + ".INI"),
                   "[Database]\nDatabaseSize_0=" + std::to_string(kSources) +
                       "\nDatabaseSize_1=" + std::to_string(kDests) + "\n");
  }
  soak::WriteAll(run.site / "DEV_012.INI",
                 "[Controller]\nName=Crash Saves\nSimulation=1\nDebugMode=0\nSaveDelay=1\n"
                 "TallyDelay=600000\nSourceToDest=1\nDestToSource=0\nParkSource=0\n"
                 "LockStatusInfodriverID=0\nPollForMC1000LockStatus=0\nAccess=ALL\n\n"
                 "[Routers]\n" +
                     routers);
}

}  // namespace

int main(int argc, char** argv) {
  long kills = 1000;
  unsigned seed = static_cast<unsigned>(Clock::now().time_since_epoch().count());
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--keep") {
      keep = true;
      continue;
    }
    char* end = nullptr;
    if ((a == "--kills" || a == "--seed") && i + 1 < argc) {
      errno = 0;
      const long long v = std::strtoll(argv[++i], &end, 10);
      if (errno != 0 || *end != '\0' || v < (a == "--seed" ? 0 : 1) ||
          v > (a == "--seed" ? 4294967295LL : 100000)) {
        std::fprintf(stderr, "crash_saves: bad value for %s\nTry 'crash_saves --help'.\n",
                     a.c_str());
        return 2;
      }
      if (a == "--kills") {
        kills = static_cast<long>(v);
      } else {
        seed = static_cast<unsigned>(v);
      }
      continue;
    }
    std::fprintf(stderr, "crash_saves: unexpected argument '%s'\nTry 'crash_saves --help'.\n",
                 a.c_str());
    return 2;
  }
  soak::InstallInterruptHandler();

  char templ[] = "/tmp/crash_saves.XXXXXX";
  const char* tmp = std::getenv("TMPDIR");
  std::string base =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/crash_saves.XXXXXX";
  std::vector<char> dir_name(base.begin(), base.end());
  dir_name.push_back('\0');
  if (::mkdtemp(dir_name.data()) == nullptr && ::mkdtemp(templ) == nullptr) {
    std::fprintf(stderr, "crash_saves: cannot make a work directory\n");
    return 3;
  }
  Run run;
  run.work =
      dir_name[0] == '/' && soak::fs::exists(dir_name.data()) ? path(dir_name.data()) : path(templ);
  run.site = run.work / "site";
  WriteSite(run);
  ::setenv("KIRN_WINDIR", run.site.c_str(), 1);
  ::setenv("KIRN_BUS", (run.work / "bus.sock").c_str(), 1);
  ::setenv("KIRN_CONFIG_LOCATOR", (run.work / "no_locator.ini").c_str(), 1);
  ::unsetenv("ZQ_ROOT");
  ::unsetenv("ZQ_SYSTEM");
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");

  std::printf("crash_saves: seed %u, %ld kills, work directory %s\n", seed, kills,
              run.work.c_str());
  std::fflush(stdout);
  std::mt19937 rng(seed);
  auto uniform = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };

  Proc bus;
  if (!bus.Start({run.kirn, "serve"}, run.work / "serve.out", run.work / "serve.err")) {
    std::fprintf(stderr, "crash_saves: cannot start kirn serve\n");
    return 3;
  }
  for (int i = 0; i < 500 && !soak::fs::exists(run.work / "bus.sock"); ++i) soak::SleepMs(10);

  const path idx_path = run.site / "DEV_012.IDX";
  const path lck_path = run.site / "DEV_012.LCK";
  const auto started = Clock::now();
  long routes = 0;       // route sweep state the files hold
  long locks = 0;        // lock sweep state
  long interrupted = 0;  // kills that found a save's temporary file
  long saves_done = 0;
  std::string failure;
  long k = 0;
  Proc driver;
  for (; k < kills && failure.empty() && !soak::Interrupted(); ++k) {
    const path driver_err = run.work / "driver.err";
    soak::Remove(driver_err);
    if (!driver.Start({run.xarvel, "12"}, run.work / "driver.out", driver_err)) {
      failure = "the driver could not be started";
      break;
    }
    // The start-up read the files: its answers are the state they hold (or, the first time, no
    // source known anywhere).
    for (const int index : {kRouteFirst, kRouteSecond}) {
      std::map<int, int> answer;
      const auto deadline = Clock::now() + std::chrono::seconds(30);
      while (answer.size() < static_cast<size_t>(kDests) && Clock::now() < deadline &&
             driver.running() && !soak::Interrupted()) {
        answer = Query(run, kDevice[index]);
        if (answer.size() < static_cast<size_t>(kDests)) soak::SleepMs(20);
      }
      if (soak::Interrupted()) break;
      if (answer.size() < static_cast<size_t>(kDests)) {
        failure =
            "start " + std::to_string(k + 1) + ": the driver did not answer within 30 s" +
            (driver.running() ? "" : " (it ended, code " + std::to_string(driver.status()) + ")");
        break;
      }
      const long applied = index == kRouteFirst ? (routes + 1) / 2 : routes / 2;
      for (int d = 1; d <= kDests && failure.empty(); ++d) {
        if (answer[d] != SweepTally(applied, d)) {
          failure = "start " + std::to_string(k + 1) + ": device " +
                    std::to_string(kDevice[index]) + " destination " + std::to_string(d) +
                    " reads source " + std::to_string(answer[d]) + " after the start-up, the " +
                    "file holds " + std::to_string(SweepTally(applied, d));
        }
      }
      if (!failure.empty()) break;
    }
    if (!failure.empty() || soak::Interrupted()) break;

    // Commands through one live kirn send, saves one after another, and a kill at a random
    // moment after the first save began.
    Proc feeder;
    soak::Remove(run.work / "feed.out");
    if (!feeder.Start({run.kirn, "send", "101", "-", "--wait", "0"}, run.work / "feed.out",
                      run.work / "feed.err", Proc::Input::kPipe)) {
      failure = "kirn send could not be started";
      break;
    }
    long sent_routes = routes;
    long sent_locks = locks;
    long snapshot_routes = routes;  // the state of the last save known to have completed
    long snapshot_locks = locks;
    // Command j of a pair goes to its first router when j is even, else to its second, each
    // router sweeping on its own.
    auto feed = [&](int n) {
      std::string text;
      for (int i = 0; i < n; ++i) {
        const long r = sent_routes / 2;
        const int d = kDests - static_cast<int>(r % kDests);
        const int device = kDevice[sent_routes % 2 == 0 ? kRouteFirst : kRouteSecond];
        text += "RC " + std::to_string(device) + " " + std::to_string(PassSource(r / kDests)) +
                " " + std::to_string(d) + " ',---' 0\n";
        ++sent_routes;
        if (i % 2 == 0) {
          const long l = sent_locks / 2;
          const int ld = kDests - static_cast<int>(l % kDests);
          const int lock_device = kDevice[sent_locks % 2 == 0 ? kLockFirst : kLockSecond];
          text += "RL " + std::to_string(lock_device) + " " + std::to_string(ld) + " " +
                  std::to_string(ld) + " " + ((l / kDests) % 2 == 0 ? "1" : "0") + " 0\n";
          ++sent_locks;
        }
      }
      feeder.Write(text);
    };
    feed(uniform(1, 40));
    const int saves_before_kill = uniform(0, 3);
    for (int s = 0; s < saves_before_kill && failure.empty(); ++s) {
      feed(uniform(1, 40));
      std::string out;
      if (Kirn(run, {"menu", "101", "save"}, &out) == 0) {
        ++saves_done;
        // The files now hold a complete save made after every command fed so far was taken
        // or not: read what they hold, it is the floor for the files after the kill.
        const long r = DecodeIndex(soak::ReadAll(idx_path), snapshot_routes, sent_routes);
        const long l = DecodeLocks(soak::ReadAll(lck_path), snapshot_locks, sent_locks);
        if (r < 0 || l < 0) {
          failure = "round " + std::to_string(k + 1) + ": after a completed save the " +
                    (r < 0 ? "index" : "lock") + " file holds no state of the tables";
        }
        snapshot_routes = r;
        snapshot_locks = l;
      }
    }
    if (!failure.empty()) break;
    // The save that the kill interrupts: the menu command reaches the driver a moment after
    // kirn starts; the kill falls anywhere from before it arrives to after it is done.
    feed(uniform(1, 40));
    Proc saver;
    saver.Start({run.kirn, "menu", "101", "save"}, run.work / "save.out", run.work / "save.err");
    feed(uniform(0, 10));
    if (uniform(0, 1) == 0) {
      soak::SleepMs(uniform(0, 40));
    } else {
      // Into the write itself: once the save's temporary file is there, within a few ms.
      const auto until = Clock::now() + std::chrono::milliseconds(300);
      while (!soak::fs::exists(idx_path.string() + ".tmp") &&
             !soak::fs::exists(lck_path.string() + ".tmp") && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      std::this_thread::sleep_for(std::chrono::microseconds(uniform(0, 4000)));
    }
    driver.Kill();
    saver.Kill();
    feeder.Kill();
    if (soak::fs::exists(idx_path.string() + ".tmp") ||
        soak::fs::exists(lck_path.string() + ".tmp")) {
      ++interrupted;
    }
    const std::string idx = soak::ReadAll(idx_path);
    const std::string lck = soak::ReadAll(lck_path);
    const long r = DecodeIndex(idx, snapshot_routes, sent_routes);
    const long l = DecodeLocks(lck, snapshot_locks, sent_locks);
    if (r < 0 || l < 0) {
      const bool index_bad = r < 0;
      const size_t size = index_bad ? idx.size() : lck.size();
      failure = "kill " + std::to_string(k + 1) + ": the " + (index_bad ? "index" : "lock") +
                " file (" + std::to_string(size) + " bytes) is neither the last completed save " +
                "nor a later state of the tables";
      break;
    }
    routes = r;
    locks = l;
  }
  driver.Kill();
  const double seconds = soak::Seconds(started);
  bus.Stop(3000);
  const bool interrupted_run = soak::Interrupted();
  const bool ok = failure.empty() && !interrupted_run;
  std::printf(
      "crash_saves seed %u kills %ld interrupted_saves %ld completed_saves %ld routes %ld "
      "locks %ld seconds %.1f per_kill_ms %.0f result %s\n",
      seed, k, interrupted, saves_done, routes, locks, seconds,
      k > 0 ? 1000.0 * seconds / static_cast<double>(k) : 0.0,
      ok ? "ok" : (interrupted_run ? "interrupted" : "FAILED"));
  if (!failure.empty()) std::printf("crash_saves: %s\n", failure.c_str());
  if (ok && !keep) {
    std::error_code ec;
    soak::fs::remove_all(run.work, ec);
  } else {
    std::printf("crash_saves: work directory kept: %s\n", run.work.c_str());
  }
  if (interrupted_run) return 128 + soak::g_interrupt;
  return ok ? 0 : 1;
}
