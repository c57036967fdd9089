// The crosspoint history measured: the recorder's rate, the --at query and a destination's day
// listing in a database of ten million changes (bulk-loaded), timed inside the program, the wall
// time of `kirn history` for the same, the size per million changes, how long /metrics and
// /healthz take while 8 clients ask /api/history of that database in a loop, and kills of kirn
// metrics during recording with an integrity check after each.
//
//   history_bench [--changes N] [--kills K] [--kirn PATH]
//                 (defaults 10,000,000, 100 and this build's kirn)
//
// Goals: recording >= 50,000 changes/s; --at and a day's listing < 10 ms each; /metrics and
// /healthz < 100 ms under the 8 history readers.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_child.h"
#include "bench/bench_site.h"
#include "bench/bench_usage.h"
#include "http_client.h"
#include "tools/kirn/history/history_recorder.h"
#include "tools/kirn/history/history_store.h"

namespace {

using bench::Child;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRouters = 4;
constexpr int kDests = 4096;
constexpr int kSources = 256;
constexpr int64_t kDayMs = 86400000;
constexpr int kWaitMs = 20000;

int Fail(const std::string& what) {
  std::fprintf(stderr, "history_bench: %s\n", what.c_str());
  return 1;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Median and the 99th percentile of `v` (sorted in place).
std::pair<double, double> Spread(std::vector<double>& v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

std::string Iso(int64_t ms) {
  const time_t t = static_cast<time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// The recorder's rate: changes queued as fast as the feed can, until the last is written.
int RecordingRate(const fs::path& dir) {
  constexpr int kChanges = 500000;
  kirn::HistoryOptions options;
  options.path = (dir / "rate.db").string();
  kirn::HistoryRecorder recorder(options);
  if (!recorder.Drain(kWaitMs)) return Fail("the recorder did not start");
  const auto t0 = Clock::now();
  for (int i = 0; i < kChanges; ++i) {
    kirn::HistoryRow row;
    row.t_ms = kirn::NowMs();
    row.router = 101 + i % kRouters;
    row.dest = (i / kRouters) % kDests + 1;
    // Each pass over the destinations gives every one a new source.
    row.source = (i / (kRouters * kDests)) % kSources + 1;
    row.source_name = "SRC " + std::to_string(row.source);
    row.dest_name = "DST " + std::to_string(row.dest);
    recorder.Change(std::move(row));
  }
  const auto queued = Clock::now();
  if (!recorder.Drain(120000)) return Fail("the recorder did not catch up");
  const auto written = Clock::now();
  if (recorder.recorded() != static_cast<uint64_t>(kChanges)) {
    return Fail("recorded " + std::to_string(recorder.recorded()) + " of " +
                std::to_string(kChanges));
  }
  std::printf(
      "recording rate %.0f changes/s (%d changes, written %.0f ms after the first; goal "
      ">= 50000)\n",
      kChanges / (Ms(written - t0) / 1000), kChanges, Ms(written - t0));
  std::printf("queueing a change on the main thread %.2f us\n", Ms(queued - t0) * 1000 / kChanges);
  return 0;
}

// Bulk-loads `changes` changes spread over 30 days into a new history; its first time.
int64_t BulkLoad(const std::string& path, int64_t changes, int64_t* first_ms) {
  std::string error;
  auto store = kirn::HistoryStore::OpenForWriting(path, &error);
  if (!store) {
    Fail(error);
    return -1;
  }
  // The load is the benchmark's, not the recorder's: it may trade safety for speed.
  sqlite3_exec(store->db(), "PRAGMA synchronous = OFF; PRAGMA cache_size = -262144", nullptr,
               nullptr, nullptr);
  const int64_t span = 30 * kDayMs;
  const int64_t start = kirn::NowMs() - span;
  *first_ms = start;
  std::mt19937 random(11);
  std::uniform_int_distribution<int> dest(1, kDests), source(1, kSources), router(0, kRouters - 1);
  const auto t0 = Clock::now();
  for (int64_t i = 0; i < changes;) {
    if (!store->Begin(&error)) return Fail(error), -1;
    for (int64_t n = 0; n < 200000 && i < changes; ++n, ++i) {
      kirn::HistoryRow row;
      row.t_ms = start + span * i / changes;
      row.driver = 12;
      row.router = 101 + router(random);
      row.dest = dest(random);
      row.source = source(random);
      row.source_name = "SRC " + std::to_string(row.source);
      row.dest_name = "DST " + std::to_string(row.dest);
      if (!store->Insert(row, &error)) return Fail(error), -1;
    }
    if (!store->Commit(&error)) return Fail(error), -1;
  }
  sqlite3_exec(store->db(), "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
  std::printf("bulk load %lld changes in %.0f s\n", static_cast<long long>(changes),
              Ms(Clock::now() - t0) / 1000);
  return changes;
}

// The kirn whose server is measured (--kirn: another build's, for a before and after).
std::string g_kirn = std::string(BIN_DIR) + "/kirn";

// kirn metrics serving the history at `path` while 8 clients, each from an address of its own,
// ask it in a loop: half of them for a driver that has no rows of the router (without an index
// of the drivers' rows that scans every row of the router), half for a destination's last 100
// rows. Meanwhile /metrics and /healthz are asked 40 times each, every one more than the 100 ms
// that rounds of asking the drivers keep apart after the one before.
int Readers(const fs::path& dir, const std::string& path) {
  Child serve({std::string(BIN_DIR) + "/kirn", "serve"}, dir, "serve-readers");
  if (!serve.WaitFor("ready bus", kWaitMs)) return Fail("kirn serve did not start");
  Child metrics({g_kirn, "metrics", "--listen", "127.0.0.1:0", "--history", path}, dir,
                "metrics-readers");
  if (!metrics.WaitFor("listening http://127.0.0.1:", kWaitMs)) return Fail("no kirn metrics");
  const std::string out = metrics.Out();
  const int port = std::atoi(out.c_str() + out.find("127.0.0.1:") + 10);
  std::atomic<bool> on{true};
  std::atomic<int> answered{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 8; ++r) {
    readers.emplace_back([&, r] {
      const std::string from = "127.0.5." + std::to_string(10 + r);
      const std::string ask = r % 2 == 0
                                  ? "/api/history/13?router=101"
                                  : "/api/history/12?router=101&dest=" + std::to_string(1 + r);
      while (on) {
        if (testing_support::HttpGet(port, ask, 60000, "GET", from.c_str()).status == 200) {
          ++answered;
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<double> took;
  for (int i = 0; i < 40; ++i) {
    for (const char* what : {"/metrics", "/healthz"}) {
      const auto t0 = Clock::now();
      testing_support::HttpGet(port, what, 60000);
      took.push_back(Ms(Clock::now() - t0));
      std::this_thread::sleep_for(std::chrono::milliseconds(110));
    }
  }
  on = false;
  for (std::thread& t : readers) t.join();
  const auto [median, p99] = Spread(took);
  std::printf(
      "/metrics and /healthz while 8 clients ask /api/history in a loop: median %.1f ms, "
      "slowest %.1f ms (%d history answers; goal < 100 ms)\n",
      median, took.back(), answered.load());
  (void)p99;
  return 0;
}

int Queries(const fs::path& dir, int64_t changes) {
  const std::string path = (dir / "big.db").string();
  int64_t first = 0;
  if (BulkLoad(path, changes, &first) < 0) return 1;
  std::printf("size %.1f MB per million changes (%.0f MB for %lld)\n",
              static_cast<double>(fs::file_size(path)) / 1e6 / (static_cast<double>(changes) / 1e6),
              static_cast<double>(fs::file_size(path)) / 1e6, static_cast<long long>(changes));
  std::string error;
  auto store = kirn::HistoryStore::OpenForReading(path, &error);
  if (!store) return Fail(error);
  std::mt19937 random(5);
  std::uniform_int_distribution<int> dest(1, kDests), router(0, kRouters - 1);
  std::uniform_int_distribution<int64_t> when(first + kDayMs, first + 29 * kDayMs);
  std::vector<double> at_us, list_us;
  size_t listed = 0;
  for (int i = 0; i < 1000; ++i) {
    kirn::HistoryAnswer a;
    const auto t0 = Clock::now();
    if (!store->At(101 + router(random), dest(random), when(random), &a, &error)) {
      return Fail(error);
    }
    at_us.push_back(Ms(Clock::now() - t0) * 1000);
  }
  for (int i = 0; i < 300; ++i) {
    kirn::HistoryFilter f;
    f.router = 101 + router(random);
    f.dest = dest(random);
    f.since_ms = when(random);
    f.until_ms = f.since_ms + kDayMs;
    std::vector<kirn::HistoryRow> rows;
    const auto t0 = Clock::now();
    if (!store->List(f, &rows, &error)) return Fail(error);
    list_us.push_back(Ms(Clock::now() - t0) * 1000);
    listed += rows.size();
  }
  const auto [at_median, at_p99] = Spread(at_us);
  const auto [list_median, list_p99] = Spread(list_us);
  std::printf("--at in %lld changes: median %.0f us, p99 %.0f us (goal < 10 ms)\n",
              static_cast<long long>(changes), at_median, at_p99);
  std::printf(
      "a destination's day: median %.0f us, p99 %.0f us, %.0f rows on average (goal < 10 "
      "ms)\n",
      list_median, list_p99, static_cast<double>(listed) / 300);

  // kirn history as a person runs it, start to exit.
  std::vector<double> at_ms, day_ms;
  for (int i = 0; i < 10; ++i) {
    const int64_t t = when(random);
    const std::string r = std::to_string(101 + router(random));
    const std::string d = std::to_string(dest(random));
    for (int kind = 0; kind < 2; ++kind) {
      std::vector<std::string> argv = {std::string(BIN_DIR) + "/kirn", "history", r};
      if (kind == 0) {
        argv.insert(argv.end(), {d, "--at", Iso(t)});
      } else {
        argv.insert(argv.end(), {d, "--since", Iso(t), "--until", Iso(t + kDayMs)});
      }
      argv.insert(argv.end(), {"--history", path});
      const auto t0 = Clock::now();
      Child c(argv, dir, "history");
      const int code = c.Wait(kWaitMs);
      const double took = Ms(Clock::now() - t0);
      if (code != 0 && code != 3) return Fail("kirn history failed: " + c.Err());
      (kind == 0 ? at_ms : day_ms).push_back(took);
    }
  }
  std::printf("kirn history --at: median %.1f ms wall; a day's listing: median %.1f ms wall\n",
              Spread(at_ms).first, Spread(day_ms).first);
  store.reset();
  const int code = Readers(dir, path);
  fs::remove(path);
  return code;
}

std::string IntegrityCheck(const std::string& path) {
  sqlite3* db = nullptr;
  std::string out;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_exec(
        db, "PRAGMA integrity_check",
        [](void* o, int, char** v, char**) {
          *static_cast<std::string*>(o) += v[0] ? v[0] : "";
          return 0;
        },
        &out, nullptr);
  } else {
    out = sqlite3_errmsg(db);
  }
  sqlite3_close(db);
  return out;
}

// kirn metrics killed at random moments while a driver routes all the time.
int Kills(const fs::path& dir, int kills) {
  bench::Site site{dir};
  site.Write("Simulation=1\nForwardBufferDelay=0\n", 1, 16, 256);
  Child serve({std::string(BIN_DIR) + "/kirn", "serve"}, dir, "serve");
  if (!serve.WaitFor("ready bus", kWaitMs)) return Fail("kirn serve did not start");
  Child driver({std::string(BIN_DIR) + "/xarvel", "12"}, dir, "driver");
  if (!serve.WaitFor("register 101 ", kWaitMs)) return Fail("the driver did not register");
  for (int round = 0; round < 16; ++round) {
    std::string lines;
    for (int d = 1; d <= 256; ++d) {
      lines += "RC 101 " + std::to_string((d + round) % 16 + 1) + " " + std::to_string(d) +
               " ',---' 0\n";
    }
    bench::WriteAll(dir / ("salvo" + std::to_string(round) + ".txt"), lines);
  }
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    for (int round = 0; !stop; ++round) {
      Child send({std::string(BIN_DIR) + "/kirn", "send", "101", "-", "--wait", "100"}, dir, "send",
                 (dir / ("salvo" + std::to_string(round % 16) + ".txt")).string());
      send.Wait(60000);
    }
  });
  const std::string path = (dir / "kill.db").string();
  std::mt19937 random(3);
  int sound = 0;
  for (int k = 0; k < kills; ++k) {
    Child metrics(
        {std::string(BIN_DIR) + "/kirn", "metrics", "--listen", "127.0.0.1:0", "--history", path},
        dir, "metrics");
    if (!metrics.WaitFor("listening", kWaitMs)) break;
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(100, 600)(random)));
    ::kill(metrics.pid(), SIGKILL);
    metrics.Wait(kWaitMs);
    const std::string check = IntegrityCheck(path);
    if (check != "ok") {
      std::printf("after kill %d: %s\n", k + 1, check.c_str());
      break;
    }
    ++sound;
  }
  stop = true;
  feeder.join();
  std::string error;
  auto store = kirn::HistoryStore::OpenForReading(path, &error);
  kirn::HistoryAnswer a;
  const bool answers = store && store->At(101, 1, kirn::NowMs(), &a, &error);
  std::printf("kills of kirn metrics while recording: %d, database sound after %d, answers %s\n",
              kills, sound, answers ? "yes" : ("no: " + error).c_str());
  return sound == kills && answers ? 0 : 1;
}

}  // namespace

constexpr const char* kUsage =
    "usage: history_bench [--changes N] [--kills K] [--kirn PATH]\n"
    "The crosspoint history: the recorder's rate, --at and a destination's day in N changes\n"
    "(default 10,000,000, at least 1000) bulk-loaded, kirn history's wall time, the size per\n"
    "million changes, /metrics and /healthz while 8 clients ask /api/history of them (kirn\n"
    "metrics of PATH, default this build's), and K kills of kirn metrics while it records\n"
    "(default 100).\n";

int main(int argc, char** argv) {
  if (bench::HelpAsked(argc, argv, kUsage)) return 0;
  int64_t changes = 10000000;
  int kills = 100;
  for (int i = 1; i < argc; i += 2) {
    const std::string a = argv[i];
    if ((a != "--changes" && a != "--kills" && a != "--kirn") || i + 1 >= argc) {
      bench::UsageError("history_bench", "unknown or incomplete option " + a, kUsage);
    }
    if (a == "--kirn") {
      g_kirn = argv[i + 1];
      continue;
    }
    const long n = bench::Number("history_bench", argv[i + 1], kUsage);
    if (a == "--changes") changes = std::max<int64_t>(1000, n);
    if (a == "--kills") kills = static_cast<int>(std::clamp<long>(n, 0, 100000));
  }
  const fs::path dir = bench::MakeSite("history-bench");
  if (dir.empty()) return Fail("no temporary directory");
  int code = RecordingRate(dir);
  if (code == 0) code = Queries(dir, changes);
  if (code == 0 && kills > 0) code = Kills(dir, kills);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return code;
}
