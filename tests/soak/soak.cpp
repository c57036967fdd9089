// soak: the whole workstation under a seeded random schedule of faults, with a ledger of every
// route commanded and what became of it.
//
// Two drivers on one workstation bus: driver 12 (routers 101 and 102) on a redundant TCP pair
// served by one emulator (controller A at 127.0.0.1, B at 127.0.0.2, one port, one router
// state, 2 ms a crosspoint), with lock infodriver 900; driver 13 (router 103) on the emulator's
// terminal at 38400 baud. The emulators have fewer sources than the profiles name. Every few
// seconds a fault: a controller of the pair taken away (closed and refused) and brought back, a
// pause of the command side of 0.5 to 3 s (of one controller of the pair, the pair, or the
// serial one) with routes flowing, line noise, the bus host killed and started again, the lock
// infodriver killed and started again, a driver SIGKILLed and started again as its service
// manager would, a driver put in RX only and back in TX/RX by the interface while routes flow,
// a deaf controller, one back silent, RX only with routes outstanding, routes to a destination
// locked at the controller's panel (refused with the unchanged crosspoint, a bare
// acknowledgement or nothing), routes from sources the controller lacks. Between them: salvos of
// 1 to 200 routes and single routes (kirn send --check), controller locks through the
// infodriver (kirn slot) and front-panel routes at the emulators.
//
// The ledger: every route command a driver was given left one intake line in its trace (taken,
// refused, or dropped from the forward buffer), and a route's commands are paired in order
// with those lines. A taken route is confirmed only by its own evidence: its ".S" command in the
// emulator's wire log at or after its send began, and a revertive of it to that send (each wire
// line and each revertive confirm one route, paired in order); else confirmed_by_wire when only the
// emulator shows it executed; else refused_by_controller when the driver's trace says the
// controller refused it and the emulator's wire log shows that refusal; else refused, dropped or
// abandoned with the reason of its ROUTE line in the driver's trace, and dropped_unexplained (a
// failure) when no fault of that moment explains the reason (unanswered or held_too_long with the
// controllers answering, queue_full); else lost_with_driver when a SIGKILLed life of its driver had
// taken it and neither written nor given it up; else undelivered when kirn could not deliver it
// (and said so); anything else is unaccounted. The driver's own write lines also show that nothing
// was written while it was RX only. At the end every fault is undone, the drivers resync and save,
// and their index files must equal the emulators' crosspoints. records.txt keeps what the ledger
// needs, so that
// --ledger can judge a kept run again.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "soak_process.h"

namespace {

// Sources the routes of the schedule use (the profile names 256, the emulators have 240: a route
// from 241..256 is one the controller lacks the source of).
constexpr int kSources = 200;
constexpr int kControllerSources = 240;
constexpr int kProfileSources = 256;

using soak::Clock;
using soak::Proc;
namespace fs = soak::fs;

const char* const kUsage =
    "usage: soak [SECONDS] [--seed N] [--keep] [--work DIR] [--swallow N]\n"
    "       soak --ledger DIR [--remove-route]\n"
    "Runs the driver, the workstation bus, a lock infodriver and the controller emulator for\n"
    "SECONDS (default 1800) under a seeded random schedule of faults, with salvos, single\n"
    "routes, controller locks and front-panel changes between them, and keeps a ledger of every\n"
    "route commanded: confirmed (its own command on the emulator's wire and its revertive, one\n"
    "for one), confirmed_by_wire (only the emulator shows it executed), refused_by_controller\n"
    "(the driver says so and the emulator's wire log shows the refusal), refused, dropped or\n"
    "abandoned (the driver's ROUTE trace line says why), dropped_unexplained (a drop no fault\n"
    "of the moment explains), lost_with_driver (taken by a driver that was SIGKILLed before it\n"
    "wrote or gave it up), undelivered (kirn said it could not deliver it) or unaccounted. At\n"
    "the end every fault is undone, the drivers resync and save, and their index files are\n"
    "compared with the emulators' crosspoints.\n"
    "Prints one summary line: seconds, seed, faults by kind, routes and each ledger class,\n"
    "unaccounted, whether the tables are equal, crashes and sanitizer reports, and the resident\n"
    "memory and open files of the bus host and the drivers at the start and the end (flat: for\n"
    "each one that lived 5 minutes, the first and last tenth after its first minute within 10%).\n"
    "  --seed N   seed of the schedule (default: from the clock; printed)\n"
    "  --keep     keep the work directory (it is kept anyway after a failure)\n"
    "  --work DIR use DIR as the work directory (emptied first)\n"
    "  --swallow N  the pair's emulator takes N route commands of a salvo at the start and\n"
    "             neither executes nor reports them: the run must fail and name them\n"
    "  --ledger DIR [--remove-route]  only the ledger of a kept run's records (DIR/records.txt\n"
    "             and its files), with one confirmed route's wire line and revertive removed\n"
    "             first when asked: it must then be 'unaccounted 1'. Prints the ledger line\n"
    "Exit codes: 0 nothing lost or unexplained, tables equal, no crash, flat, no route written\n"
    "while RX only; 1 otherwise (the lines before the summary say what); 2 usage error;\n"
    "3 the programs could not be started; 130/143 interrupted (everything started is stopped\n"
    "first).\n";

// ---------------------------------------------------------------------------------------------
// The site.

struct Router {
  int device;
  char level;       // the router's letter, also its level at the controller
  int dests;        // destinations 1..dests
  int dest_offset;  // controller destination = destination + offset
};

struct Emulator;

struct Driver {
  int number;
  std::vector<Router> routers;
  Emulator* emu = nullptr;
  Proc proc;
  // One life per start: its trace file, when it lived and how it ended.
  struct Life {
    fs::path err;
    Clock::time_point start;
    Clock::time_point end{};
    bool ended = false;
    bool killed = false;  // by the schedule (SIGKILL)
    int status = -1;
    double min_life = 0;                       // seconds before the schedule may kill it
    std::vector<std::array<long, 3>> samples;  // seconds since start, rss kB, fds
  };
  std::vector<Life> lives;
  std::optional<Clock::time_point> restart_at;
  bool rx_only = false;
  std::optional<Clock::time_point> txrx_at;
};

struct Emulator {
  std::string name;
  Proc proc;
  fs::path out;
  fs::path err;
  Clock::time_point start;
  bool ended = false;
};

struct Options {
  double seconds = 1800;
  unsigned seed = 0;
  bool keep = false;
  std::string work;           // --work: the work directory (default: a new one in $TMPDIR)
  int swallow = 0;            // --swallow N: the pair's emulator swallows N route commands
  std::string ledger;         // --ledger DIR: only the ledger, of a kept run's records
  bool remove_route = false;  // --remove-route: ... with one confirmed route's evidence removed
};

struct Command {
  int device = 0;
  int dest = 0;
  int source = 0;
  std::string text;
  std::string outcome;  // ledger class
  std::string reason;   // for refused and dropped
};

// One kirn send of the schedule.
struct Send {
  Driver* driver = nullptr;
  int device = 0;
  std::vector<Command> commands;
  Clock::time_point start;
  Clock::time_point end{};
  std::unique_ptr<Proc> proc;
  fs::path out;
  fs::path err;
  int status = -1;
  bool done = false;
};

// A SIGKILLed program's later lives and the restart delay as a service manager gives it.
struct Service {
  std::string name;
  Proc proc;
  std::vector<std::string> argv;
  fs::path out;
  fs::path err;
  Clock::time_point started;
  double min_life = 0;
  std::optional<Clock::time_point> restart_at;
  std::vector<std::array<long, 3>> samples;  // of all lives: seconds since the run's start
  int lives = 0;
  int crashes = 0;
};

class Soak {
 public:
  explicit Soak(const Options& options) : options_(options), rng_(options.seed) {}
  int Run();

 private:
  // Setting up.
  bool MakeWorkDir();
  void WriteSite(int port);
  bool StartEmulators();
  bool StartService(Service* s);
  bool StartDriver(Driver* d);
  bool WaitRegistered(double seconds);

  // The run.
  void Tick();
  void Supervise();
  void Sample();
  void SampleHost();
  void InjectFault();
  void StartTraffic();
  void ReapTools();
  void Console(Emulator* e, const std::string& line);
  bool Tool(const std::vector<std::string>& args, std::string* out = nullptr,
            int timeout_ms = 10000);
  void StartTool(const std::vector<std::string>& args);
  // A send of `commands` routes on one router of `d`: every other one to controller destination
  // `to_cd` when it is one of that router's (0: none), sources from `first_source` up to
  // `last_source`.
  void StartSend(Driver* d, int commands, int to_cd = 0, int first_source = 1,
                 int last_source = kSources);

  // The end.
  bool Quiesce();
  bool CompareTables(std::string* report);
  void Ledger();
  void Shutdown();
  std::string Summary(bool tables_equal, double seconds);

  double Uniform(double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng_);
  }
  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  double Now() const { return soak::Seconds(start_); }
  double MinLife() {
    if (options_.seconds >= 600) return Pick(0, 1) == 0 ? Uniform(330, 420) : Uniform(20, 90);
    return Uniform(8, 20);
  }
  Clock::time_point After(double seconds) const {
    return Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  }

  Options options_;
  std::mt19937 rng_;
  fs::path work_;
  fs::path site_;
  std::string kirn_ = KIRN_BIN;
  Clock::time_point start_;
  int port_ = 0;

  Emulator emu_tcp_;
  Emulator emu_serial_;
  Service bus_;
  Service info_;
  std::vector<std::unique_ptr<Driver>> drivers_;
  std::vector<std::unique_ptr<Send>> sends_;
  std::vector<std::unique_ptr<Proc>> tools_;  // kirn slot, mode, menu started by the schedule

  std::map<std::string, int> faults_;
  std::vector<int> fault_bag_;
  std::set<int> fault_deferred_;  // kinds already put back once in this round
  struct Restore {
    Clock::time_point at;
    std::string what;
  };
  // A fault that keeps a controller from answering (stall, deaf, back silent), on one emulator,
  // in seconds since the start: a route dropped unanswered or held too long then is explained.
  struct Window {
    std::string emu;  // "tcp" or "serial"
    std::string kind;
    double from = 0;
    double to = 0;
  };
  std::vector<Window> windows_;
  void Record(const std::string& emu, const std::string& kind, double seconds) {
    windows_.push_back({emu, kind, Now(), Now() + seconds});
  }
  // The run's records (records.txt) for a later --ledger; reading them back.
  void WriteRecords();
  bool ReadRecords(const fs::path& dir);
  // Reads a file of the run, through the texts --remove-route edits.
  std::string Text(const fs::path& p) {
    auto it = texts_.find(p.string());
    if (it == texts_.end()) it = texts_.emplace(p.string(), soak::ReadAll(p)).first;
    return it->second;
  }
  std::map<std::string, std::string> texts_;
  // Removes the wire line and the revertive of one confirmed route from the texts; false when
  // no route was confirmed.
  bool RemoveOneRoute();
  int LedgerOnly();
  std::vector<Restore> restores_;
  bool a_away_ = false;
  bool b_away_ = false;
  Clock::time_point next_fault_;
  Clock::time_point next_traffic_;
  Clock::time_point next_sample_;
  Clock::time_point next_host_sample_;
  bool quiet_ = false;
  Clock::time_point quiet_since_;
  long front_panel_ = 0;
  long locks_ = 0;
  std::vector<std::string> problems_;
  std::map<std::string, long> ledger_;
  std::map<std::string, long> reasons_;
  long unaccounted_ = 0;
  long unexplained_ = 0;
  std::string tables_report_;
};

// ---------------------------------------------------------------------------------------------

bool Soak::MakeWorkDir() {
  if (!options_.work.empty()) {
    std::error_code ec;
    fs::remove_all(options_.work, ec);
    work_ = fs::absolute(options_.work);
    site_ = work_ / "site";
    fs::create_directories(site_, ec);
    fs::create_directories(work_ / "com", ec);
    return !ec;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string base = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/soak.XXXXXX";
  std::vector<char> name(base.begin(), base.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) return false;
  work_ = name.data();
  site_ = work_ / "site";
  fs::create_directories(site_);
  fs::create_directories(work_ / "com");
  return true;
}

void Soak::WriteSite(int port) {
  const std::string common =
      "DebugMode=1\nSimulation=0\nSaveDelay=1\nTallyDelay=50\nSourceToDest=1\nDestToSource=0\n"
      "ParkSource=0\nMaxUnACKedRoutesBeforeCommsFail=5\nForwardBufferDelay=0\nAccess=ALL\n";
  soak::WriteAll(site_ / "DEV_012.INI",
                 "[Controller]\nName=Soak pair\n" + common +
                     "Connection_Mode=IP\nDual_Controllers=1\nIP_Address_A=127.0.0.1\n"
                     "IP_Address_B=127.0.0.2\nIP_Port=" +
                     std::to_string(port) +
                     "\nPollForMC1000LockStatus=1\nLockStatusInfodriverID=900\n\n[Routers]\n"
                     "Router_A=101,1,64,0,0\nRouter_B=102,1,32,0,128\n");
  soak::WriteAll(site_ / "DEV_013.INI",
                 "[Controller]\nName=Soak serial\n" + common +
                     "Connection_Mode=SERIAL\nCom=1\nSpeed=38400\nDataBits=8\nParity=N\n"
                     "PollForMC1000LockStatus=0\nLockStatusInfodriverID=0\n\n[Routers]\n"
                     "Router_A=103,1,48,0,0\n");
  for (const auto& [dev, dests] :
       std::vector<std::pair<int, int>>{{101, 64}, {102, 32}, {103, 48}}) {
    soak::WriteAll(site_ / ("DEV_" + std::to_string(dev) + ".INI"),
                   "[Database]\nDatabaseSize_0=" + std::to_string(kProfileSources) +
                       "\nDatabaseSize_1=" + std::to_string(dests) + "\n");
  }
}

// A port number free on both loopback addresses of the pair at the moment of asking.
int FreePairPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

bool WaitForText(const fs::path& file, const std::string& needle, int timeout_ms, size_t from = 0) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    const std::string text = soak::ReadAll(file);
    if (text.size() > from && text.find(needle, from) != std::string::npos) return true;
    soak::SleepMs(20);
  }
  return false;
}

bool Soak::StartEmulators() {
  emu_tcp_.name = "emulator (pair)";
  emu_serial_.name = "emulator (serial)";
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePairPort();
    const std::string p = std::to_string(port_);
    emu_tcp_.out = work_ / "emu_tcp.out";
    emu_tcp_.err = work_ / "emu_tcp.err";
    soak::Remove(emu_tcp_.out);
    soak::Remove(emu_tcp_.err);
    emu_tcp_.start = Clock::now();
    if (!emu_tcp_.proc.Start(
            {MC1000_SIM_BIN, "--tcp", "127.0.0.1:" + p, "--tcp", "127.0.0.2:" + p, "--xpt-ms", "2",
             "--levels", "2", "--dests", "256", "--sources", std::to_string(kControllerSources)},
            emu_tcp_.out, emu_tcp_.err, Proc::Input::kPipe)) {
      return false;
    }
    if (WaitForText(emu_tcp_.out, "ready\n", 5000)) break;
    emu_tcp_.proc.Kill();
  }
  if (!emu_tcp_.proc.running()) return false;
  emu_serial_.out = work_ / "emu_serial.out";
  emu_serial_.err = work_ / "emu_serial.err";
  emu_serial_.start = Clock::now();
  if (!emu_serial_.proc.Start({MC1000_SIM_BIN, "--pty", (work_ / "com" / "COM1").string(), "--baud",
                               "38400", "--xpt-ms", "2", "--levels", "1", "--dests", "64",
                               "--sources", std::to_string(kControllerSources)},
                              emu_serial_.out, emu_serial_.err, Proc::Input::kPipe)) {
    return false;
  }
  return WaitForText(emu_serial_.out, "ready\n", 5000);
}

bool Soak::StartService(Service* s) {
  s->restart_at.reset();
  s->started = Clock::now();
  s->min_life = MinLife();
  ++s->lives;
  return s->proc.Start(s->argv, s->out, s->err);
}

bool Soak::StartDriver(Driver* d) {
  d->restart_at.reset();
  Driver::Life life;
  life.err = work_ / ("driver" + std::to_string(d->number) + ".life" +
                      std::to_string(d->lives.size() + 1) + ".err");
  life.start = Clock::now();
  life.min_life = MinLife();
  d->lives.push_back(life);
  return d->proc.Start({XARVEL_BIN, std::to_string(d->number)},
                       work_ / ("driver" + std::to_string(d->number) + ".out"), life.err);
}

// Every router device registered in TX/RX.
bool Soak::WaitRegistered(double seconds) {
  const auto deadline = After(seconds);
  while (Clock::now() < deadline && !soak::Interrupted()) {
    std::string out;
    if (Tool({"devices"}, &out, 5000)) {
      bool all = true;
      for (const auto& d : drivers_) {
        for (const Router& r : d->routers) {
          all = all && out.find(std::to_string(r.device) + " 2\n") != std::string::npos;
        }
      }
      if (all) return true;
    }
    soak::SleepMs(200);
  }
  return false;
}

bool Soak::Tool(const std::vector<std::string>& args, std::string* out, int timeout_ms) {
  std::vector<std::string> argv = {kirn_};
  argv.insert(argv.end(), args.begin(), args.end());
  const fs::path o = work_ / "tool.out";
  soak::Remove(o);
  Proc p;
  if (!p.Start(argv, o, work_ / "tool.err")) return false;
  const int code = p.Wait(timeout_ms);
  if (code < 0) p.Kill();
  if (out != nullptr) *out = soak::ReadAll(o);
  return code == 0;
}

void Soak::StartTool(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kirn_};
  argv.insert(argv.end(), args.begin(), args.end());
  auto p = std::make_unique<Proc>();
  if (p->Start(argv, work_ / "tools.out", work_ / "tools.err")) tools_.push_back(std::move(p));
}

void Soak::Console(Emulator* e, const std::string& line) {
  e->proc.Write(line + "\n");
}

// ---------------------------------------------------------------------------------------------
// The schedule.

void Soak::StartSend(Driver* d, int commands, int to_cd, int first_source, int last_source) {
  auto s = std::make_unique<Send>();
  s->driver = d;
  // One router a send: kirn prints the revertives of the device it sends to, and the ledger
  // pairs each route with a revertive it printed.
  const Router* router =
      &d->routers[static_cast<size_t>(Pick(0, static_cast<int>(d->routers.size()) - 1))];
  for (const Router& x : d->routers) {
    if (to_cd > x.dest_offset && to_cd <= x.dest_offset + x.dests) router = &x;
  }
  const Router& r = *router;
  const bool aim = to_cd > r.dest_offset && to_cd <= r.dest_offset + r.dests;
  s->device = r.device;
  std::string input;
  for (int i = 0; i < commands; ++i) {
    Command c;
    c.device = r.device;
    c.dest = aim && i % 2 == 0 ? to_cd - r.dest_offset : Pick(1, r.dests);
    c.source = Pick(first_source, last_source);
    c.text = "RC " + std::to_string(c.device) + " " + std::to_string(c.source) + " " +
             std::to_string(c.dest) + " ',---' 0";
    input += c.text + "\n";
    s->commands.push_back(c);
  }
  const std::string id = std::to_string(sends_.size() + 1);
  const fs::path in = work_ / "sends" / (id + ".in");
  s->out = work_ / "sends" / (id + ".out");
  s->err = work_ / "sends" / (id + ".err");
  soak::WriteAll(in, input);
  s->proc = std::make_unique<Proc>();
  s->start = Clock::now();
  if (!s->proc->Start({kirn_, "send", std::to_string(s->device), "-", "--check", "--wait",
                       commands > 1 ? "3000" : "2000"},
                      s->out, s->err, Proc::Input::kFile, in)) {
    problems_.push_back("kirn send could not be started");
    return;
  }
  sends_.push_back(std::move(s));
}

void Soak::StartTraffic() {
  Driver* d = drivers_[static_cast<size_t>(Pick(0, static_cast<int>(drivers_.size()) - 1))].get();
  const int kind = Pick(0, 9);
  if (kind <= 5) {
    int running = 0;
    for (const auto& s : sends_) running += (!s->done && s->driver == d) ? 1 : 0;
    if (running >= 2) return;
    StartSend(d, kind <= 2 ? Pick(1, 200) : 1);
  } else if (kind <= 7) {
    // A front-panel route at the controller: the driver learns it from the route report or, if
    // the link is down, from the resync or the poll.
    const Router& r =
        d->routers[static_cast<size_t>(Pick(0, static_cast<int>(d->routers.size()) - 1))];
    Console(d->emu, std::string("route ") + r.level + " " +
                        std::to_string(Pick(1, r.dests) + r.dest_offset) + " " +
                        std::to_string(Pick(0, 200)));
    ++front_panel_;
  } else {
    // A controller lock asked for through the lock infodriver (driver 12's routers).
    const Router& r = drivers_[0]->routers[static_cast<size_t>(Pick(0, 1))];
    const int slot = Pick(1, r.dests) + r.dest_offset;
    StartTool({"slot", "900", std::to_string(slot), Pick(0, 1) == 0 ? "MC1000 255" : "MC1000 0"});
    ++locks_;
  }
}

void Soak::InjectFault() {
  const std::string a = "127.0.0.1:" + std::to_string(port_);
  const std::string b = "127.0.0.2:" + std::to_string(port_);
  auto inject = [&](int kind) -> bool {
    if (kind == 0 || kind == 1) {
      // Controller A or B taken away: its connections closed, new ones refused; back later.
      bool& away = kind == 0 ? a_away_ : b_away_;
      if (away) return false;
      const std::string& which = kind == 0 ? a : b;
      Console(&emu_tcp_, "refuse " + which + " on");
      Console(&emu_tcp_, "close " + which);
      away = true;
      restores_.push_back({After(Uniform(1, 5)), kind == 0 ? "a" : "b"});
      ++faults_[kind == 0 ? "take_a" : "take_b"];
      return true;
    }
    if (kind == 2) {
      // A pause of the command side of 0.5 to 3 s, of the serial controller, of the pair, or of
      // one controller of the pair; with routes flowing.
      Emulator* e = Pick(0, 1) == 0 ? &emu_tcp_ : &emu_serial_;
      const int ms = Pick(500, 3000);
      const std::string which = e == &emu_tcp_ && Pick(0, 1) == 0 ? " " + a : "";
      Console(e, "stall " + std::to_string(ms) + which);
      Record(e == &emu_tcp_ ? "tcp" : "serial", "stall", ms / 1000.0);
      StartSend(e == &emu_tcp_ ? drivers_[0].get() : drivers_[1].get(), Pick(10, 40));
      ++faults_["stall"];
      return true;
    }
    if (kind == 11) {
      // A destination locked at the controller's panel, routes to it (refused, answered in one of
      // the three ways a controller may), unlocked later.
      Driver* d = drivers_[static_cast<size_t>(Pick(0, 1))].get();
      const Router& r =
          d->routers[static_cast<size_t>(Pick(0, static_cast<int>(d->routers.size()) - 1))];
      const int cd = Pick(1, r.dests) + r.dest_offset;
      static const char* const kForms[] = {"report", "ack", "none"};
      Console(d->emu, std::string("refuse-with ") + kForms[Pick(0, 2)]);
      Console(d->emu, "lock " + std::to_string(cd) + " 255");
      StartSend(d, Pick(4, 30), cd);
      restores_.push_back(
          {After(Uniform(2, 5)),
           "unlock " + std::string(d->emu == &emu_tcp_ ? "tcp " : "serial ") + std::to_string(cd)});
      ++faults_["locked"];
      return true;
    }
    if (kind == 12) {
      // Routes from sources the controller does not have (the profile names more).
      Driver* d = drivers_[static_cast<size_t>(Pick(0, 1))].get();
      StartSend(d, Pick(2, 20), 0, kControllerSources + 1, kProfileSources);
      ++faults_["no_source"];
      return true;
    }
    if (kind == 3) {
      Console(Pick(0, 1) == 0 ? &emu_tcp_ : &emu_serial_, "noise");
      ++faults_["noise"];
      return true;
    }
    if (kind == 4) {
      if (!bus_.proc.running() || soak::Seconds(bus_.started) < bus_.min_life) return false;
      bus_.proc.Kill();
      bus_.restart_at = After(Uniform(0.3, 2));
      ++faults_["bus_kill"];
      return true;
    }
    if (kind == 5) {
      if (!info_.proc.running() || soak::Seconds(info_.started) < info_.min_life) return false;
      info_.proc.Kill();
      info_.restart_at = After(Uniform(0.5, 3));
      ++faults_["infodriver_kill"];
      return true;
    }
    if (kind == 6) {
      Driver* d = drivers_[static_cast<size_t>(Pick(0, 1))].get();
      Driver::Life& life = d->lives.back();
      if (!d->proc.running() || soak::Seconds(life.start) < life.min_life) return false;
      d->proc.Kill();
      life.killed = true;
      life.ended = true;
      life.end = Clock::now();
      life.status = d->proc.status();
      d->restart_at = After(Uniform(0.3, 1.5));
      ++faults_["driver_kill"];
      return true;
    }
    if (kind == 8) {
      // A controller whose command side hangs while its front panel keeps reporting: one of
      // the pair, or the serial one, for longer than the reply timeout.
      const bool serial = Pick(0, 1) == 0;
      Emulator* e = serial ? &emu_serial_ : &emu_tcp_;
      const std::string which = serial ? "" : (Pick(0, 1) == 0 ? " " + a : " " + b);
      const double seconds = Uniform(1.5, 4);
      Console(e, "deaf on" + which);
      Console(e, "chatter 150");
      restores_.push_back(
          {After(seconds), "undeaf " + std::string(serial ? "serial" : "tcp") + which});
      Record(serial ? "serial" : "tcp", "deaf", seconds);
      ++faults_["deaf_chatter"];
      return true;
    }
    if (kind == 9) {
      // A controller of the pair lost, then back but silent (it takes commands and answers
      // nothing) for a while.
      const bool is_a = Pick(0, 1) == 0;
      bool& away = is_a ? a_away_ : b_away_;
      if (a_away_ || b_away_) return false;
      const std::string& which = is_a ? a : b;
      Console(&emu_tcp_, "deaf on " + which);
      Console(&emu_tcp_, "refuse " + which + " on");
      Console(&emu_tcp_, "close " + which);
      away = true;
      const double lost = Uniform(1, 3);
      const double silent = Uniform(1.5, 3);
      restores_.push_back({After(lost), is_a ? "a" : "b"});
      restores_.push_back({After(lost + silent), "undeaf tcp " + which});
      Record("tcp", "silent_back", lost + silent);
      ++faults_["silent_back"];
      return true;
    }
    if (kind == 10) {
      // RX only while routes are outstanding on a slow controller: a salvo into a stalled
      // controller, the driver put in RX only while it waits, back in TX/RX later.
      Driver* d = drivers_[static_cast<size_t>(Pick(0, 1))].get();
      if (d->rx_only || !d->proc.running()) return false;
      const int stall = Pick(800, 1500);
      Console(d->emu, "stall " + std::to_string(stall));
      Record(d->emu == &emu_tcp_ ? "tcp" : "serial", "stall", stall / 1000.0);
      StartSend(d, 30);
      restores_.push_back({After(0.3), "rxonly " + std::to_string(d->number)});
      d->rx_only = true;
      d->txrx_at = After(Uniform(1.5, 4));
      ++faults_["rx_outstanding"];
      return true;
    }
    // A mode change while routes flow: the driver goes RX only, later back to TX/RX.
    Driver* d = drivers_[static_cast<size_t>(Pick(0, 1))].get();
    if (d->rx_only) return false;
    StartSend(d, Pick(20, 60));
    StartTool({"mode", std::to_string(d->routers.front().device), "rxonly"});
    d->rx_only = true;
    d->txrx_at = After(Uniform(1, 4));
    ++faults_["mode"];
    return true;
  };
  // Every kind comes once in each round of thirteen, in a shuffled order; a kind that cannot come
  // now (its process too young to be killed again, its controller already away) is tried once
  // more at the end of the round, and else waits for the next round.
  for (int attempt = 0; attempt < 39; ++attempt) {
    if (fault_bag_.empty()) {
      fault_bag_ = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
      std::shuffle(fault_bag_.begin(), fault_bag_.end(), rng_);
      fault_deferred_.clear();
    }
    const int kind = fault_bag_.back();
    fault_bag_.pop_back();
    if (inject(kind)) return;
    if (fault_deferred_.insert(kind).second) fault_bag_.insert(fault_bag_.begin(), kind);
  }
}

void Soak::Supervise() {
  const auto now = Clock::now();
  for (auto it = restores_.begin(); it != restores_.end();) {
    if (it->at > now) {
      ++it;
      continue;
    }
    const std::string what = it->what;
    it = restores_.erase(it);
    if (what.rfind("undeaf ", 0) == 0) {
      // "undeaf tcp|serial[ ADDR:PORT]"
      Emulator* e = what.compare(7, 3, "tcp") == 0 ? &emu_tcp_ : &emu_serial_;
      const size_t space = what.find(' ', 7);
      Console(e, "deaf off" + (space == std::string::npos ? "" : what.substr(space)));
      Console(e, "chatter 0");
      continue;
    }
    if (what.rfind("unlock ", 0) == 0) {
      // "unlock tcp|serial CD"
      Emulator* e = what.compare(7, 3, "tcp") == 0 ? &emu_tcp_ : &emu_serial_;
      Console(e, "lock " + what.substr(what.rfind(' ') + 1) + " 0");
      continue;
    }
    if (what.rfind("rxonly ", 0) == 0) {
      for (auto& d : drivers_) {
        if (std::to_string(d->number) == what.substr(7)) {
          StartTool({"mode", std::to_string(d->routers.front().device), "rxonly"});
        }
      }
      continue;
    }
    const bool is_a = what == "a";
    Console(&emu_tcp_, "refuse " + std::string(is_a ? "127.0.0.1:" : "127.0.0.2:") +
                           std::to_string(port_) + " off");
    (is_a ? a_away_ : b_away_) = false;
  }
  for (Service* s : {&bus_, &info_}) {
    if (s->proc.running()) continue;
    if (!s->restart_at) {
      // It ended without being asked to.
      ++s->crashes;
      problems_.push_back(s->name + " ended by itself (exit " + std::to_string(s->proc.status()) +
                          ") at " + std::to_string(static_cast<int>(Now())) + " s");
      s->restart_at = now;
    }
    if (*s->restart_at <= now && !StartService(s)) problems_.push_back(s->name + " did not start");
  }
  for (auto& d : drivers_) {
    if (d->txrx_at && *d->txrx_at <= now) {
      if (d->proc.running()) StartSend(d.get(), Pick(5, 30));
      StartTool({"mode", std::to_string(d->routers.front().device), "txrx"});
      d->rx_only = false;
      d->txrx_at.reset();
    }
    if (d->proc.running()) continue;
    Driver::Life& life = d->lives.back();
    if (!life.ended) {
      life.ended = true;
      life.end = now;
      life.status = d->proc.status();
      // A driver that gives up a window handle claimed on a new bus host exits 1 so that its
      // service manager starts it afresh; anything else is a crash.
      if (life.status != 1) {
        problems_.push_back("driver " + std::to_string(d->number) + " ended by itself (exit " +
                            std::to_string(life.status) + ") at " +
                            std::to_string(static_cast<int>(Now())) + " s");
      }
      d->restart_at = After(0.5);
    }
    if (d->restart_at && *d->restart_at <= now && !StartDriver(d.get())) {
      problems_.push_back("driver " + std::to_string(d->number) + " did not start");
    }
  }
  for (Emulator* e : {&emu_tcp_, &emu_serial_}) {
    if (!e->ended && !e->proc.running()) {
      e->ended = true;
      problems_.push_back(e->name + " ended (exit " + std::to_string(e->proc.status()) + ")");
    }
  }
}

void Soak::ReapTools() {
  for (auto& s : sends_) {
    if (s->done || s->proc->running()) continue;
    s->done = true;
    s->end = Clock::now();
    s->status = s->proc->status();
  }
  std::erase_if(tools_, [](const std::unique_ptr<Proc>& p) { return !p->running(); });
}

void Soak::Sample() {
  for (auto& d : drivers_) {
    if (!d->proc.running()) continue;
    Driver::Life& life = d->lives.back();
    const long rss = soak::RssKb(d->proc.pid());
    const long fds = soak::OpenFds(d->proc.pid());
    if (rss > 0) life.samples.push_back({static_cast<long>(soak::Seconds(life.start)), rss, fds});
  }
  next_sample_ = After(5);
  // The bus host's descriptors include every tool's connection and every driver's: it is
  // sampled in a quiet moment, made every 30 s, with no tool running and every peer connected
  // for a while.
  if (Clock::now() >= next_host_sample_ && !quiet_) {
    quiet_ = true;
    quiet_since_ = Clock::now();
  }
}

// In a quiet moment (no new traffic until the tools have ended, at most 8 s): the host's sample.
void Soak::SampleHost() {
  bool tools_running = !tools_.empty();
  for (const auto& s : sends_) tools_running = tools_running || !s->done;
  bool peers = info_.proc.running() && soak::Seconds(info_.started) > 3;
  for (const auto& d : drivers_) {
    peers = peers && d->proc.running() && soak::Seconds(d->lives.back().start) > 3;
  }
  if (soak::Seconds(quiet_since_) > 8) {
    quiet_ = false;
    next_host_sample_ = After(10);
    return;
  }
  if (tools_running || !peers || !bus_.proc.running()) return;
  soak::SleepMs(100);  // connections of tools just ended are closed at the host
  const long rss = soak::RssKb(bus_.proc.pid());
  const long fds = soak::OpenFds(bus_.proc.pid());
  if (rss > 0) bus_.samples.push_back({static_cast<long>(soak::Seconds(bus_.started)), rss, fds});
  quiet_ = false;
  next_host_sample_ = After(30);
}

void Soak::Tick() {
  ReapTools();
  Supervise();
  const auto now = Clock::now();
  if (now >= next_sample_) Sample();
  if (now >= next_fault_) {
    InjectFault();
    next_fault_ = options_.seconds <= 120 ? After(Uniform(3, 7)) : After(Uniform(2, 6));
  }
  if (quiet_) SampleHost();
  if (now >= next_traffic_ && !quiet_) {
    StartTraffic();
    next_traffic_ = After(Uniform(0.2, 1.0));
  }
}

// ---------------------------------------------------------------------------------------------
// The end.

bool Soak::Quiesce() {
  // The last commands finish (their own waits are bounded), every fault is undone.
  const auto deadline = After(30);
  while (Clock::now() < deadline && !soak::Interrupted()) {
    ReapTools();
    Supervise();
    bool busy = !tools_.empty();
    for (const auto& s : sends_) busy = busy || !s->done;
    if (!busy) break;
    soak::SleepMs(50);
  }
  for (auto& s : sends_) {
    if (!s->done) {
      s->proc->Kill();
      problems_.push_back("a kirn send did not end within 30 s of the schedule's end");
    }
  }
  ReapTools();
  for (auto& r : restores_) r.at = Clock::now();
  Supervise();
  for (Emulator* e : {&emu_tcp_, &emu_serial_}) {
    for (const char* undo : {"stall 0", "deaf off", "chatter 0", "swallow 0"}) Console(e, undo);
  }
  for (int i = 0; i < 60 && !soak::Interrupted(); ++i) {
    Supervise();
    bool all = bus_.proc.running() && info_.proc.running();
    for (const auto& d : drivers_) all = all && d->proc.running();
    if (all) break;
    soak::SleepMs(100);
  }
  for (auto& d : drivers_) {
    d->txrx_at.reset();
    d->rx_only = false;
    Tool({"mode", std::to_string(d->routers.front().device), "txrx"});
  }
  return WaitRegistered(60);
}

// The tables in each driver's index file against the emulator's crosspoints, after one resync
// and a save.
bool Soak::CompareTables(std::string* report) {
  std::ostringstream why;
  bool equal = true;
  for (auto& d : drivers_) {
    const std::string dev = std::to_string(d->routers.front().device);
    std::string out;
    Tool({"menu", dev, "save"}, &out, 10000);
    char name[32];
    std::snprintf(name, sizeof name, "DEV_%03d.IDX", d->number);
    const std::string file = soak::ReadAll(site_ / name);
    if (file.size() != 26 * 8192) {
      equal = false;
      why << "driver " << d->number << ": index file of " << file.size() << " bytes; ";
      continue;
    }
    for (const Router& r : d->routers) {
      const size_t from = soak::ReadAll(d->emu->out).size();
      const std::string ask = std::string("dump ") + r.level + " " +
                              std::to_string(1 + r.dest_offset) + " " +
                              std::to_string(r.dests + r.dest_offset);
      Console(d->emu, ask);
      if (!WaitForText(d->emu->out, ask + " ", 5000, from)) {
        equal = false;
        why << "no dump from the " << d->emu->name << "; ";
        continue;
      }
      const std::string text = soak::ReadAll(d->emu->out);
      std::istringstream line(text.substr(text.find(ask + " ", from) + ask.size()));
      const int block = r.level - 'A';
      int differ = 0;
      for (int dest = 1; dest <= r.dests; ++dest) {
        int source = -1;
        line >> source;
        const size_t at = static_cast<size_t>(block) * 8192 + 2 * static_cast<size_t>(dest - 1);
        const int stored =
            static_cast<uint8_t>(file[at]) * 256 + static_cast<uint8_t>(file[at + 1]);
        if (stored != source) {
          if (differ < 3) {
            why << "device " << r.device << " destination " << dest << ": file " << stored
                << ", controller " << source << "; ";
          }
          ++differ;
        }
      }
      if (differ > 0) {
        equal = false;
        why << "device " << r.device << ": " << differ << " destinations differ; ";
      }
    }
  }
  *report = why.str();
  return equal;
}

// Reads what every send, every driver life and the emulators' logs say, and gives every route
// its class. Each route command a driver was given left one intake line in its trace: "taken",
// "refused <reason>" or "dropped forward_buffer_full"; a route's commands (by send start) are
// paired in order with its intake lines (by life, then line). A taken route is confirmed only by
// its own evidence: its ".S" command in the emulator's wire log at or after its send began, and
// a revertive of it to that send; each wire line and each revertive confirm one route, paired in
// order (the driver's instant revertive for a route already made counts only with the wire line
// of the command it still sends).
void Soak::Ledger() {
  using Key = std::tuple<int, int, int>;  // device, destination, source
  // Routes the emulators executed: (emulator, level, controller dest, source) -> times.
  // Routes the emulators refused (a locked destination, a source they lack), likewise.
  std::map<std::tuple<const Emulator*, char, int, int>, std::deque<double>> executed;
  std::map<std::tuple<const Emulator*, char, int, int>, std::deque<double>> refusals;
  const std::regex rx(R"(^(\d+)\.(\d+) rx \S+ \.S([A-Z])(\d+),(\d+)\\r (route|refused))");
  for (const Emulator* e : {&emu_tcp_, &emu_serial_}) {
    std::istringstream in(Text(e->err));
    const double offset = soak::Seconds(start_, e->start);
    for (std::string line; std::getline(in, line);) {
      std::smatch m;
      if (!std::regex_search(line, m, rx)) continue;
      const double t = std::stod(m[1].str()) + std::stod(m[2].str()) / 1000 + offset;
      auto& map = m[6].str() == "route" ? executed : refusals;
      map[{e, m[3].str()[0], std::stoi(m[4].str()), std::stoi(m[5].str())}].push_back(t);
    }
  }
  // What each driver's trace says of a route, in order. An intake: taken (with what followed
  // it in that life: a write, a drop or an abandonment), or refused, or dropped before it was
  // taken.
  struct Intake {
    const Driver::Life* life = nullptr;
    std::string kind;    // "taken", "refused", "dropped"
    std::string reason;  // of a refusal or a drop
    bool written = false;
    std::string fate;  // after "taken": "dropped" or "abandoned", with fate_reason
    std::string fate_reason;
  };
  const std::regex route_line(
      R"(ROUTE (\d+) (\d+) (\d+) (taken|written|refused|dropped|abandoned)(?: (\S+))?)");
  // A route report as the driver traces it (debug mode): router index, destination, source.
  const std::regex report_line(
      R"(RX> Incoming -> iRtr= (\d+), iRtrDest=-?\d+ / iZQDest=(-?\d+), iRtrSrc=-?\d+ / iZQSrc=(-?\d+))");
  std::map<const Driver*, std::map<Key, std::deque<Intake>>> intakes;
  for (const auto& d : drivers_) {
    for (const Driver::Life& life : d->lives) {
      std::istringstream in(Text(life.err));
      bool rx_only = false;
      int written_rx_only = 0;
      // The takens of this life whose fate is still open, by route.
      std::map<Key, std::deque<Intake*>> open;
      for (std::string line; std::getline(in, line);) {
        if (line.find("SetTXRX - into RXONLY") != std::string::npos) rx_only = true;
        if (line.find("SetTXRX - into TXRX") != std::string::npos) rx_only = false;
        std::smatch r;
        if (std::regex_search(line, r, report_line)) {
          // A report of the route's crosspoint with its source answers the oldest written one:
          // it is closed, and a later refusal line cannot be taken for it.
          const int index = std::stoi(r[1].str());
          for (const Router& router : d->routers) {
            if (router.level - 'A' != index) continue;
            auto& waiting = open[Key{router.device, std::stoi(r[2].str()), std::stoi(r[3].str())}];
            auto it = std::find_if(waiting.begin(), waiting.end(),
                                   [](const Intake* i) { return i->written; });
            if (it != waiting.end()) waiting.erase(it);
          }
          continue;
        }
        std::smatch m;
        if (!std::regex_search(line, m, route_line)) continue;
        const Key k{std::stoi(m[1].str()), std::stoi(m[2].str()), std::stoi(m[3].str())};
        const std::string what = m[4].str();
        const std::string reason = m[5].str();
        auto& list = intakes[d.get()][k];
        // "ROUTE D D S refused by the controller": the fate of a written route, not an intake.
        const bool by_controller = what == "refused" && reason == "by";
        if (what == "taken" || (what == "refused" && !by_controller) ||
            (what == "dropped" && reason == "forward_buffer_full")) {
          Intake intake;
          intake.life = &life;
          intake.kind = what;
          if (what != "taken") intake.reason = reason;
          list.push_back(intake);
          if (what == "taken") open[k].push_back(&list.back());
          continue;
        }
        auto& waiting = open[k];
        if (what == "written") {
          // The driver's own write lines: nothing goes out while it is RX only.
          if (rx_only && written_rx_only++ < 3) {
            problems_.push_back("driver " + std::to_string(d->number) +
                                " wrote a route while RX only: " + line.substr(line.find("ROUTE")));
          }
          for (Intake* i : waiting) {
            if (!i->written) {
              i->written = true;
              break;
            }
          }
          continue;
        }
        // A drop, an abandonment or a refusal by the controller ends the oldest open taken of
        // the route that it can concern: one written already for an abandonment, a drop
        // unanswered or a refusal, one still waiting for the other reasons (an answered route
        // stays open, as nothing in the trace closes it).
        const bool after_write = what == "abandoned" || reason == "unanswered" || by_controller;
        auto it = std::find_if(waiting.begin(), waiting.end(), [after_write](const Intake* i) {
          return i->written == after_write;
        });
        if (it == waiting.end()) it = waiting.begin();
        if (it != waiting.end()) {
          (*it)->fate = by_controller ? "refused_by_controller" : what;
          (*it)->fate_reason = by_controller ? "" : reason;
          waiting.erase(it);
        }
      }
    }
  }
  // Whether a fault of the driver's controller explains a drop of `reason` in a send of
  // t0..t1: unanswered and held_too_long only while no controller of the pair could answer
  // (a stall, a deaf or silent controller, with the reply timeout and the hold around it);
  // queue_full never here (a few hundred routes wait at most).
  auto explained = [this](const Driver& d, const std::string& reason, double t0, double t1) {
    if (reason == "queue_full") return false;
    if (reason != "unanswered" && reason != "held_too_long") return true;
    const std::string emu = d.emu == &emu_tcp_ ? "tcp" : "serial";
    return std::any_of(windows_.begin(), windows_.end(), [&](const Window& w) {
      return w.emu == emu && w.from <= t1 + 1 && w.to + 4 >= t0;
    });
  };
  // What kirn said of each send: the undelivered, by text; the revertives that came, by route.
  std::map<const Send*, std::map<std::string, int>> undelivered;
  std::map<const Send*, std::map<Key, int>> revertives;
  for (auto& s : sends_) {
    std::istringstream in(Text(s->out));
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("UNDELIVERED ", 0) == 0) ++undelivered[s.get()][line.substr(12)];
      int dev = 0, dst = 0, src = 0;
      const size_t rr = line.find("RR ");
      if (line.rfind("REV ", 0) == 0 && rr != std::string::npos &&
          std::sscanf(line.c_str() + rr, "RR %d %d %d", &dev, &dst, &src) == 3) {
        ++revertives[s.get()][{dev, dst, src}];
      }
    }
    if (!(s->status == 0 || s->status == 1 || s->status == 4)) {
      problems_.push_back("kirn send ended with code " + std::to_string(s->status) + " (" +
                          s->out.filename().string() + ")");
    }
  }
  // Every command in the order of its send's start, which is the order the driver took them in.
  std::vector<std::pair<Send*, Command*>> order;
  for (auto& s : sends_) {
    for (Command& c : s->commands) order.emplace_back(s.get(), &c);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& x, const auto& y) { return x.first->start < y.first->start; });
  for (auto& [s, cp] : order) {
    Command& c = *cp;
    const double t0 = soak::Seconds(start_, s->start);
    const double t1 = soak::Seconds(start_, s->end);
    const std::string route = "route " + std::to_string(c.device) + " " + std::to_string(c.dest) +
                              " " + std::to_string(c.source);
    if (undelivered[s][c.text] > 0) {
      --undelivered[s][c.text];
      c.outcome = "undelivered";
      continue;
    }
    const Key key{c.device, c.dest, c.source};
    auto& list = intakes[s->driver][key];
    if (list.empty()) {
      c.outcome = "unaccounted";
    } else {
      const Intake in = list.front();
      list.pop_front();
      const Router* r = nullptr;
      for (const Router& x : s->driver->routers) {
        if (x.device == c.device) r = &x;
      }
      const auto wire_key = std::make_tuple(static_cast<const Emulator*>(s->driver->emu), r->level,
                                            c.dest + r->dest_offset, c.source);
      auto& times = executed[wire_key];
      auto& refused = refusals[wire_key];
      // Its own command on the wire: one the driver wrote (a command dropped before its write
      // has none, whatever later command of the same route the wire shows), at or after its
      // send began and before its driver life ended.
      const double life_end = in.life->ended ? soak::Seconds(start_, in.life->end) + 2 : 1e18;
      auto in_life = [t0, life_end](double t) { return t >= t0 - 0.2 && t <= life_end; };
      const auto hit = std::find_if(times.begin(), times.end(), in_life);
      const auto refusal = std::find_if(refused.begin(), refused.end(), in_life);
      const bool on_wire = hit != times.end() && in.kind == "taken" && in.written;
      // Refused at a destination that held the asked source already: the controller's
      // unchanged crosspoint answered the route, and its revertive confirms it.
      const bool held_already =
          refusal != refused.end() && in.kind == "taken" && in.written && in.fate.empty();
      if (in.kind != "taken") {
        c.outcome = in.kind;
        c.reason = in.reason;
      } else if ((on_wire || held_already) && revertives[s][key] > 0) {
        --revertives[s][key];
        if (on_wire) {
          times.erase(hit);
        } else {
          refused.erase(refusal);
        }
        c.outcome = "confirmed";
      } else if (in.fate == "refused_by_controller") {
        // Only the controller's own refusal on the wire accounts for it.
        if (refusal != refused.end() && in.written) {
          refused.erase(refusal);
          c.outcome = "refused_by_controller";
        } else {
          c.outcome = "unaccounted";
        }
      } else if (!in.fate.empty()) {
        c.outcome = in.fate;
        c.reason = in.fate_reason;
      } else if (on_wire) {
        // Made at the controller, its revertive not seen (its driver killed meanwhile, say).
        times.erase(hit);
        c.outcome = "confirmed_by_wire";
      } else if (in.life->ended && (in.life->killed || in.life->status == 1) && !in.written) {
        // Taken by a life that was killed before it wrote or gave it up.
        c.outcome = "lost_with_driver";
      } else {
        c.outcome = "unaccounted";
      }
    }
    if (c.outcome == "dropped" && !explained(*s->driver, c.reason, t0, t1)) {
      c.outcome = "dropped_unexplained";
      if (unexplained_ < 10) {
        problems_.push_back("dropped_unexplained: " + route + " " + c.reason + " (" + c.text +
                            ", sent " + std::to_string(t0) + ".." + std::to_string(t1) + " s, " +
                            s->out.filename().string() + ")");
      }
      ++unexplained_;
    }
    if (c.outcome == "unaccounted") {
      if (unaccounted_ < 10) {
        problems_.push_back("unaccounted: " + route + " (" + c.text + ", sent " +
                            std::to_string(t0) + ".." + std::to_string(t1) + " s, " +
                            s->out.filename().string() + ")");
      }
      ++unaccounted_;
    }
  }
  for (auto& s : sends_) {
    for (const Command& c : s->commands) {
      ++ledger_[c.outcome];
      if (!c.reason.empty()) ++reasons_[c.outcome + "/" + c.reason];
    }
  }
}

void Soak::Shutdown() {
  for (auto& s : sends_) s->proc->Kill();
  for (auto& t : tools_) t->Kill();
  for (auto& d : drivers_) {
    if (!d->proc.running()) continue;
    const int code = d->proc.Stop(15000);
    Driver::Life& life = d->lives.back();
    life.ended = true;
    life.end = Clock::now();
    life.status = code;
    if (code != 0) {
      problems_.push_back("driver " + std::to_string(d->number) + " ended with " +
                          std::to_string(code) + " on SIGTERM");
    }
  }
  for (Service* s : {&info_, &bus_}) {
    const int code = s->proc.Stop(10000);
    if (code != 0 && code != -1) {
      problems_.push_back(s->name + " ended with " + std::to_string(code) + " on SIGTERM");
    }
  }
  for (Emulator* e : {&emu_tcp_, &emu_serial_}) {
    Console(e, "quit");
    if (e->proc.Wait(5000) < 0) e->proc.Stop(2000);
  }
}

// "start->end" of the samples' rss and fds, and whether a life of at least 5 minutes stayed
// flat after its first minute (first and last tenth within 10 %).
struct Figures {
  long rss0 = -1, rss1 = -1, fds0 = -1, fds1 = -1;
  int judged = 0;
  bool flat = true;
  std::string detail;
};

void Judge(const std::vector<std::array<long, 3>>& samples, long lived, Figures* f,
           const std::string& who) {
  if (samples.empty()) return;
  if (f->rss0 < 0) {
    f->rss0 = samples.front()[1];
    f->fds0 = samples.front()[2];
  }
  f->rss1 = samples.back()[1];
  f->fds1 = samples.back()[2];
  if (lived < 300) return;
  std::vector<std::array<long, 3>> after;
  for (const auto& s : samples) {
    if (s[0] >= 60) after.push_back(s);
  }
  if (after.size() < 10) return;
  const size_t tenth = std::max<size_t>(1, after.size() / 10);
  auto mean = [&](size_t from, int col) {
    double sum = 0;
    for (size_t i = from; i < from + tenth; ++i)
      sum += static_cast<double>(after[i][static_cast<size_t>(col)]);
    return sum / static_cast<double>(tenth);
  };
  ++f->judged;
  for (int col : {1, 2}) {
    const double first = mean(0, col);
    const double last = mean(after.size() - tenth, col);
    if (first > 0 && std::fabs(last - first) / first > 0.10) {
      f->flat = false;
      char text[160];
      std::snprintf(text, sizeof text, "%s %s %.0f -> %.0f over %ld s; ", who.c_str(),
                    col == 1 ? "rss kB" : "fds", first, last, lived);
      f->detail += text;
    }
  }
}

std::string Soak::Summary(bool tables_equal, double seconds) {
  std::ostringstream line;
  long total = 0;
  for (const auto& s : sends_) total += static_cast<long>(s->commands.size());
  long fault_count = 0;
  for (const auto& [k, v] : faults_) fault_count += v;
  line << "soak seconds " << static_cast<long>(std::lround(seconds)) << " seed " << options_.seed
       << " faults " << fault_count << " (";
  bool first = true;
  for (const char* k :
       {"take_a", "take_b", "stall", "noise", "bus_kill", "infodriver_kill", "driver_kill", "mode",
        "deaf_chatter", "silent_back", "rx_outstanding", "locked", "no_source"}) {
    line << (first ? "" : " ") << k << "=" << faults_[k];
    first = false;
  }
  line << ") routes " << total;
  for (const char* k :
       {"confirmed", "confirmed_by_wire", "refused", "refused_by_controller", "dropped",
        "abandoned", "lost_with_driver", "undelivered", "dropped_unexplained"}) {
    line << " " << k << " " << ledger_[k];
    if (std::string(k) == "refused" || std::string(k) == "dropped" ||
        std::string(k) == "abandoned" || std::string(k) == "dropped_unexplained") {
      std::string reasons;
      for (const auto& [key, n] : reasons_) {
        if (key.rfind(std::string(k) + "/", 0) == 0) {
          reasons += (reasons.empty() ? "" : " ") + key.substr(key.find('/') + 1) + "=" +
                     std::to_string(n);
        }
      }
      if (!reasons.empty()) line << " (" << reasons << ")";
    }
  }
  line << " unaccounted " << unaccounted_ << " tables equal " << (tables_equal ? "yes" : "no");
  line << " front_panel " << front_panel_ << " locks " << locks_;
  int crashes = bus_.crashes + info_.crashes;
  for (const auto& d : drivers_) {
    for (const auto& life : d->lives)
      crashes += (life.ended && !life.killed && life.status != 0 && life.status != 1) ? 1 : 0;
  }
  line << " crashes " << crashes;
  // Sanitizer reports in any output of the run.
  int reports = 0;
  for (const auto& entry : fs::recursive_directory_iterator(work_)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".err") continue;
    const std::string text = soak::ReadAll(entry.path());
    for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
      for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1)) {
        ++reports;
      }
    }
  }
  line << " sanitizer " << reports;
  bool flat = true;
  int judged = 0;
  std::string flat_detail;
  {
    Figures f;
    // The bus host's lives: its samples carry the seconds since the start of their own life.
    std::vector<std::array<long, 3>> life;
    long lived = 0;
    for (size_t i = 0; i < bus_.samples.size(); ++i) {
      if (i > 0 && bus_.samples[i][0] < bus_.samples[i - 1][0]) {
        Judge(life, lived, &f, "bus host");
        life.clear();
      }
      life.push_back(bus_.samples[i]);
      lived = bus_.samples[i][0];
    }
    Judge(life, lived, &f, "bus host");
    line << " host rss_kb " << f.rss0 << "->" << f.rss1 << " fds " << f.fds0 << "->" << f.fds1;
    flat = flat && f.flat;
    judged += f.judged;
    flat_detail += f.detail;
  }
  for (const auto& d : drivers_) {
    Figures f;
    for (const auto& life : d->lives) {
      const long lived =
          static_cast<long>(soak::Seconds(life.start, life.ended ? life.end : Clock::now()));
      Judge(life.samples, lived, &f, "driver " + std::to_string(d->number));
    }
    line << " driver" << d->number << " lives " << d->lives.size() << " rss_kb " << f.rss0 << "->"
         << f.rss1 << " fds " << f.fds0 << "->" << f.fds1;
    flat = flat && f.flat;
    judged += f.judged;
    flat_detail += f.detail;
  }
  line << " flat " << (judged == 0 ? "n/a" : (flat ? "yes" : "no")) << " (" << judged << " judged)";
  if (!flat) problems_.push_back("not flat: " + flat_detail);
  if (crashes > 0 || reports > 0) problems_.push_back("crashes or sanitizer reports");
  return line.str();
}

// records.txt: what the ledger needs of the run besides its files, one item a line (times in
// seconds since the start): "emulator tcp|serial START", "life DRIVER START END ENDED KILLED
// STATUS", "send DRIVER DEVICE START END STATUS NAME", "command DEVICE DEST SOURCE TEXT" (of the
// send before), "window EMU KIND FROM TO".
void Soak::WriteRecords() {
  std::ostringstream out;
  out << "emulator tcp " << soak::Seconds(start_, emu_tcp_.start) << "\n";
  out << "emulator serial " << soak::Seconds(start_, emu_serial_.start) << "\n";
  for (const auto& d : drivers_) {
    for (const Driver::Life& l : d->lives) {
      out << "life " << d->number << " " << soak::Seconds(start_, l.start) << " "
          << (l.ended ? soak::Seconds(start_, l.end) : 0.0) << " " << l.ended << " " << l.killed
          << " " << l.status << "\n";
    }
  }
  for (const auto& snd : sends_) {
    out << "send " << snd->driver->number << " " << snd->device << " "
        << soak::Seconds(start_, snd->start) << " " << soak::Seconds(start_, snd->end) << " "
        << snd->status << " " << snd->out.stem().string() << "\n";
    for (const Command& c : snd->commands) {
      out << "command " << c.device << " " << c.dest << " " << c.source << " " << c.text << "\n";
    }
  }
  for (const Window& w : windows_) {
    out << "window " << w.emu << " " << w.kind << " " << w.from << " " << w.to << "\n";
  }
  soak::WriteAll(work_ / "records.txt", out.str());
}

bool Soak::ReadRecords(const fs::path& dir) {
  work_ = dir;
  std::istringstream in(soak::ReadAll(dir / "records.txt"));
  auto at = [this](double seconds) {
    return start_ + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
  };
  bool any = false;
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::string what;
    f >> what;
    any = true;
    if (what == "emulator") {
      std::string which;
      double t = 0;
      f >> which >> t;
      Emulator& e = which == "tcp" ? emu_tcp_ : emu_serial_;
      e.start = at(t);
      e.err = dir / (which == "tcp" ? "emu_tcp.err" : "emu_serial.err");
    } else if (what == "life") {
      int number = 0;
      Driver::Life l;
      double t0 = 0, t1 = 0;
      f >> number >> t0 >> t1 >> l.ended >> l.killed >> l.status;
      l.start = at(t0);
      l.end = at(t1);
      for (auto& d : drivers_) {
        if (d->number != number) continue;
        l.err = dir / ("driver" + std::to_string(number) + ".life" +
                       std::to_string(d->lives.size() + 1) + ".err");
        d->lives.push_back(l);
      }
    } else if (what == "send") {
      auto snd = std::make_unique<Send>();
      int number = 0;
      double t0 = 0, t1 = 0;
      std::string name;
      f >> number >> snd->device >> t0 >> t1 >> snd->status >> name;
      snd->start = at(t0);
      snd->end = at(t1);
      snd->done = true;
      snd->out = dir / "sends" / (name + ".out");
      for (auto& d : drivers_) {
        if (d->number == number) snd->driver = d.get();
      }
      if (snd->driver == nullptr) return false;
      sends_.push_back(std::move(snd));
    } else if (what == "command" && !sends_.empty()) {
      Command c;
      f >> c.device >> c.dest >> c.source;
      std::getline(f >> std::ws, c.text);
      sends_.back()->commands.push_back(c);
    } else if (what == "window") {
      Window w;
      f >> w.emu >> w.kind >> w.from >> w.to;
      windows_.push_back(w);
    }
  }
  return any;
}

bool Soak::RemoveOneRoute() {
  // A confirmed route whose destination and source no other command of the run asked for, so
  // that its wire line and revertive are its own.
  std::map<std::tuple<int, int, int>, int> asked;
  for (const auto& snd : sends_) {
    for (const Command& c : snd->commands) ++asked[{c.device, c.dest, c.source}];
  }
  for (const auto& snd : sends_) {
    for (const Command& c : snd->commands) {
      if (c.outcome != "confirmed" || asked[{c.device, c.dest, c.source}] != 1) continue;
      const Router* r = nullptr;
      for (const Router& x : snd->driver->routers) {
        if (x.device == c.device) r = &x;
      }
      char wire[64];
      std::snprintf(wire, sizeof wire, ".S%c%d,%d\\r route", r->level, c.dest + r->dest_offset,
                    c.source);
      char rev[32];
      std::snprintf(rev, sizeof rev, "RR %d %03d %03d", c.device, c.dest, c.source);
      auto remove_lines = [this](const fs::path& p, const std::string& needle) {
        std::string& text = texts_[p.string()];
        std::istringstream in(text);
        std::string kept;
        int removed = 0;
        for (std::string line; std::getline(in, line);) {
          if (line.find(needle) != std::string::npos) {
            ++removed;
          } else {
            kept += line + "\n";
          }
        }
        text = kept;
        return removed;
      };
      const int wires = remove_lines(snd->driver->emu->err, wire);
      const int revs = remove_lines(snd->out, rev);
      std::printf("soak: removed the evidence of %s: %d wire line(s), %d revertive(s)\n",
                  c.text.c_str(), wires, revs);
      return wires > 0 && revs > 0;
    }
  }
  return false;
}

// The ledger of a kept run, from its records and files (--ledger DIR), optionally with one
// confirmed route's wire line and revertive removed first (--remove-route): the ledger must
// then count that route as unaccounted.
int Soak::LedgerOnly() {
  start_ = Clock::now();
  if (!ReadRecords(options_.ledger)) {
    std::fprintf(stderr, "soak: no records in %s\n", options_.ledger.c_str());
    return 3;
  }
  for (const std::string& p : {std::string("emu_tcp.err"), std::string("emu_serial.err")}) {
    Text(work_ / p);
  }
  if (options_.remove_route) {
    Ledger();
    const bool removed = RemoveOneRoute();
    ledger_.clear();
    reasons_.clear();
    problems_.clear();
    unaccounted_ = 0;
    unexplained_ = 0;
    for (auto& snd : sends_) {
      for (Command& c : snd->commands) {
        c.outcome.clear();
        c.reason.clear();
      }
    }
    if (!removed) {
      std::fprintf(stderr, "soak: no confirmed route of its own in %s\n", work_.c_str());
      return 3;
    }
  }
  Ledger();
  for (const std::string& p : problems_) std::printf("soak: %s\n", p.c_str());
  long total = 0;
  for (const auto& snd : sends_) total += static_cast<long>(snd->commands.size());
  std::printf("ledger routes %ld", total);
  for (const char* k :
       {"confirmed", "confirmed_by_wire", "refused", "refused_by_controller", "dropped",
        "abandoned", "lost_with_driver", "undelivered", "dropped_unexplained"}) {
    std::printf(" %s %ld", k, ledger_[k]);
  }
  std::printf(" unaccounted %ld\n", unaccounted_);
  return unaccounted_ == 0 && unexplained_ == 0 && problems_.empty() ? 0 : 1;
}

int Soak::Run() {
  if (!options_.ledger.empty()) {
    auto d12 = std::make_unique<Driver>();
    d12->number = 12;
    d12->routers = {{101, 'A', 64, 0}, {102, 'B', 32, 128}};
    d12->emu = &emu_tcp_;
    auto d13 = std::make_unique<Driver>();
    d13->number = 13;
    d13->routers = {{103, 'A', 48, 0}};
    d13->emu = &emu_serial_;
    drivers_.push_back(std::move(d12));
    drivers_.push_back(std::move(d13));
    return LedgerOnly();
  }
  if (!MakeWorkDir()) {
    std::fprintf(stderr, "soak: cannot make a work directory\n");
    return 3;
  }
  fs::create_directories(work_ / "sends");
  ::setenv("KIRN_WINDIR", site_.c_str(), 1);
  ::setenv("KIRN_BUS", (work_ / "bus.sock").c_str(), 1);
  ::setenv("KIRN_COMDIR", (work_ / "com").c_str(), 1);
  ::setenv("KIRN_CONFIG_LOCATOR", (work_ / "no_locator.ini").c_str(), 1);
  ::unsetenv("ZQ_ROOT");
  ::unsetenv("ZQ_SYSTEM");
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  std::printf("soak: %.0f s, seed %u, work directory %s\n", options_.seconds, options_.seed,
              work_.c_str());
  std::fflush(stdout);
  start_ = Clock::now();

  if (!StartEmulators()) {
    std::fprintf(stderr, "soak: the controller emulators did not start (see %s)\n", work_.c_str());
    return 3;
  }
  WriteSite(port_);
  bus_.name = "bus host";
  bus_.argv = {kirn_, "serve"};
  bus_.out = work_ / "serve.out";
  bus_.err = work_ / "serve.err";
  info_.name = "lock infodriver";
  info_.argv = {kirn_, "infodriver", "900"};
  info_.out = work_ / "infodriver.out";
  info_.err = work_ / "infodriver.err";
  auto d12 = std::make_unique<Driver>();
  d12->number = 12;
  d12->routers = {{101, 'A', 64, 0}, {102, 'B', 32, 128}};
  d12->emu = &emu_tcp_;
  auto d13 = std::make_unique<Driver>();
  d13->number = 13;
  d13->routers = {{103, 'A', 48, 0}};
  d13->emu = &emu_serial_;
  drivers_.push_back(std::move(d12));
  drivers_.push_back(std::move(d13));

  bool started = StartService(&bus_);
  for (int i = 0; i < 250 && !fs::exists(work_ / "bus.sock"); ++i) soak::SleepMs(20);
  started = started && StartService(&info_);
  soak::SleepMs(300);
  for (auto& d : drivers_) started = started && StartDriver(d.get());
  if (!started || !WaitRegistered(60)) {
    std::fprintf(stderr, "soak: the drivers did not register within 60 s (see %s)\n",
                 work_.c_str());
    Shutdown();
    return 3;
  }
  std::printf("soak: started in %.1f s\n", Now());
  std::fflush(stdout);

  const auto run_start = Clock::now();
  const auto run_end = After(options_.seconds);
  // No fault in the last seconds: what the last one did settles before the end.
  const auto faults_end = After(std::max(0.0, options_.seconds - 5));
  next_fault_ = After(Uniform(1, 3));
  if (options_.swallow > 0) {
    // The pair's emulator takes the next route commands of a salvo without carrying them out,
    // with no fault near that could explain their loss: the ledger must name exactly them.
    Console(&emu_tcp_, "swallow " + std::to_string(options_.swallow));
    StartSend(drivers_[0].get(), 40);
    next_fault_ = After(8);
  }
  next_traffic_ = Clock::now();
  next_sample_ = Clock::now();
  next_host_sample_ = After(5);
  while (Clock::now() < run_end && !soak::Interrupted()) {
    if (Clock::now() >= faults_end) next_fault_ = run_end + std::chrono::hours(1);
    Tick();
    soak::SleepMs(20);
  }
  const double seconds = soak::Seconds(run_start);
  bool tables_equal = false;
  if (!soak::Interrupted()) {
    if (!Quiesce())
      problems_.push_back("after the faults were undone the devices did not all register in TX/RX");
    // One resync: the pair's driver reconnects (it walks every destination on connect); the
    // poll walks them too, every 50 ms one destination, so two rounds of it are waited for.
    Tool({"menu", "101", "reconnect"});
    const auto settle = Clock::now();
    soak::SleepMs(2 * 50 * (64 + 32) + 2000);
    for (;;) {
      tables_equal = CompareTables(&tables_report_);
      if (tables_equal || soak::Seconds(settle) > 40 || soak::Interrupted()) break;
      soak::SleepMs(2000);
    }
    if (!tables_equal) problems_.push_back("tables differ: " + tables_report_);
    std::printf("soak: tables compared %.1f s after the resync began\n", soak::Seconds(settle));
  }
  Shutdown();
  if (soak::Interrupted()) {
    std::printf("soak: interrupted; everything it started is stopped; work directory %s\n",
                work_.c_str());
    return 128 + soak::g_interrupt;
  }
  WriteRecords();
  Ledger();
  const std::string summary = Summary(tables_equal, seconds);
  const bool ok = problems_.empty() && unaccounted_ == 0 && unexplained_ == 0 && tables_equal;
  for (const std::string& p : problems_) std::printf("soak: %s\n", p.c_str());
  if (ok && !options_.keep) {
    std::error_code ec;
    fs::remove_all(work_, ec);
  } else {
    std::printf("soak: work directory kept: %s\n", work_.c_str());
  }
  std::printf("%s\n", summary.c_str());
  std::fflush(stdout);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.seed = static_cast<unsigned>(Clock::now().time_since_epoch().count() % 1000000);
  bool have_seconds = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--keep") {
      options.keep = true;
      continue;
    }
    if (a == "--remove-route") {
      options.remove_route = true;
      continue;
    }
    if ((a == "--work" || a == "--ledger") && i + 1 < argc) {
      (a == "--work" ? options.work : options.ledger) = argv[++i];
      continue;
    }
    if (a == "--swallow" && i + 1 < argc) {
      char* e = nullptr;
      const long v = std::strtol(argv[++i], &e, 10);
      if (*e != '\0' || v < 1 || v > 100) {
        std::fprintf(stderr, "soak: --swallow takes 1..100\nTry 'soak --help'.\n");
        return 2;
      }
      options.swallow = static_cast<int>(v);
      continue;
    }
    char* end = nullptr;
    errno = 0;
    if (a == "--seed" && i + 1 < argc) {
      const long long v = std::strtoll(argv[++i], &end, 10);
      if (errno != 0 || *end != '\0' || v < 0 || v > 4294967295LL) {
        std::fprintf(stderr, "soak: --seed takes 0..4294967295\nTry 'soak --help'.\n");
        return 2;
      }
      options.seed = static_cast<unsigned>(v);
      continue;
    }
    if (!have_seconds && !a.empty() && a[0] != '-') {
      const double v = std::strtod(a.c_str(), &end);
      if (errno != 0 || *end != '\0' || v < 10 || v > 7 * 86400) {
        std::fprintf(stderr, "soak: SECONDS takes 10..604800\nTry 'soak --help'.\n");
        return 2;
      }
      options.seconds = v;
      have_seconds = true;
      continue;
    }
    std::fprintf(stderr, "soak: unexpected argument '%s'\nTry 'soak --help'.\n", a.c_str());
    return 2;
  }
  soak::InstallInterruptHandler();
  Soak soak(options);
  return soak.Run();
}
