// The crosspoint history as an engineer asks it after a fault: real drivers, bus host, emulator
// and kirn metrics recording; `kirn history`, /api/history and the sqlite3 tool read the file.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e_site.h"
#include "http_client.h"
#include "sim_process.h"
#include "tools/kirn/history/history_recorder.h"
#include "tools/kirn/history/history_store.h"

namespace {

using testing_support::HttpGet;
using testing_support::HttpReply;
using testing_support::Process;
using testing_support::ReadFile;
using testing_support::Result;
using testing_support::SimProcess;
using testing_support::WriteFile;

constexpr int kWaitMs = 15000;

bool Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

double Sample(const std::string& body, const std::string& series) {
  const std::string key = "\n" + series + " ";
  const size_t at = ("\n" + body).find(key);
  if (at == std::string::npos) return -1;
  return std::strtod(body.c_str() + at + key.size() - 1, nullptr);
}

int64_t NowMs() {
  return kirn::NowMs();
}

// A moment as --at takes it, to the millisecond.
std::string At(int64_t ms) {
  return "@" + std::to_string(ms / 1000) + "." + std::to_string(1000 + ms % 1000).substr(1);
}

class HistoryTest : public testing_support::SiteTest {
 protected:
  std::string Db() const { return (dir_.path() / "state" / "history.db").string(); }

  // Router 101 with `dests` destinations and names for a few sources and destinations; the
  // driver's [Controller] keys are `controller`.
  void WriteRouterSite(const std::string& controller, int dests) {
    WriteFile(dir_.path() / "DEV_012.INI", "[Controller]\n" + controller +
                                               "[Routers]\nRouter_A=101,1," +
                                               std::to_string(dests) + "\n");
    WriteFile(dir_.path() / "DEV_101.INI",
              "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=" + std::to_string(dests) +
                  "\n[Database_0]\n2=CAM 2\n3=CAM 3\n9=VTR 9\n[Database_1]\n7=MON 7\n2=MON 2\n");
  }

  // Starts kirn metrics recording into Db() (`wrap`: a shell prefix that ends in a program that
  // runs the rest, such as "exec prlimit ... ").
  void StartMetrics(const std::string& wrap = "") {
    const std::string cmd = (wrap.empty() ? std::string("exec ") : wrap) + KIRN_BIN +
                            " metrics --listen 127.0.0.1:0 --history " + Db();
    metrics_ = Start({"/bin/sh", "-c", cmd});
    port_ = MetricsPort(*metrics_);
  }

  void TearDown() override {
    if (!metrics_) return;
    metrics_->Stop();
    EXPECT_FALSE(Contains(metrics_->Stderr(), "Sanitizer")) << metrics_->Stderr();
    EXPECT_FALSE(Contains(metrics_->Stderr(), "runtime error")) << metrics_->Stderr();
  }

  // Polls until `done` holds (every 50 ms, up to kWaitMs).
  bool Until(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (Clock::now() < deadline) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
  }

  double Metric(const std::string& series) {
    return Sample(HttpGet(port_, "/metrics").body, series);
  }

  Result History(std::vector<std::string> args) {
    args.insert(args.begin(), "history");
    args.push_back("--history");
    args.push_back(Db());
    return Kirn(args);
  }

  // The number of rows of router 101 recorded as `kind` (change, base, gap, rebased).
  int Rows(const std::string& kind) {
    const std::string out =
        Kirn({"history", "101", "--since", "@0", "--json", "--history", Db()}).out;
    int n = 0;
    for (size_t at = out.find("\"kind\":\"" + kind + "\""); at != std::string::npos;
         at = out.find("\"kind\":\"" + kind + "\"", at + 1)) {
      ++n;
    }
    return n;
  }

  // `kirn send 101 -` with these command lines on its standard input.
  Result Salvo(const std::string& lines) {
    const auto file = dir_.path() / "salvo.txt";
    WriteFile(file, lines);
    Process p(
        {"/bin/sh", "-c", std::string(KIRN_BIN) + " send 101 - --wait 300 < " + file.string()},
        Env());
    Result r;
    r.code = p.Wait(60000);
    r.out = p.Stdout();
    r.err = p.Stderr();
    return r;
  }

  std::string IntegrityCheck() {
    Process p({"/bin/sh", "-c", "exec sqlite3 \"$0\" 'PRAGMA integrity_check'", Db()}, Env());
    p.Wait(kWaitMs);
    return p.Stdout() + p.Stderr();
  }

  std::unique_ptr<Process> metrics_;
  int port_ = 0;
};

// A salvo over a 4096-destination router: every change is in the history, in order, with its
// time; --at between two routes of one destination answers the first, and the API pages.
TEST_F(HistoryTest, ASalvosEveryChangeIsRecordedAndAtAnswersBetweenTwoRoutes) {
  WriteRouterSite("Simulation=1\nForwardBufferDelay=0\n", 4096);
  auto serve = StartServe();
  auto driver = Start({XARVEL_BIN, "12"});
  ASSERT_TRUE(serve->WaitForOutput("register 101 ", 20000)) << serve->Stdout();
  StartMetrics();
  // The recorder's start is a gap until the driver's tables were read.
  ASSERT_TRUE(Until([&] { return Rows("rebased") >= 1; }));

  const int64_t before = NowMs();
  std::string lines;
  for (int d = 1; d <= 4096; ++d) {
    lines += "RC 101 " + std::to_string(d % 16 + 1) + " " + std::to_string(d) + " ',---' 0\n";
  }
  ASSERT_EQ(Salvo(lines).code, 0);
  ASSERT_TRUE(Until([&] { return Metric("xarvel_exporter_history_changes_total") >= 4096; }))
      << Metric("xarvel_exporter_history_changes_total");
  const int64_t after = NowMs();
  EXPECT_EQ(Metric("xarvel_exporter_history_changes_total"), 4096)
      << History({"101", "--since", "@0"}).out.substr(0, 3000);
  EXPECT_EQ(Metric("xarvel_exporter_history_up"), 1);

  const Result list = History({"101", "--since", "@" + std::to_string(before / 1000)});
  ASSERT_EQ(list.code, 0) << list.err;
  std::map<int, int> fed;
  int changes = 0;
  for (size_t at = 0; at < list.out.size();) {
    const size_t end = list.out.find('\n', at);
    const std::string line = list.out.substr(at, end - at);
    at = end + 1;
    int dest = 0, source = 0;
    const size_t space = line.find(' ');
    if (std::sscanf(line.c_str() + space, " 101 %d <- %d", &dest, &source) == 2 &&
        !Contains(line, "(read after a gap)")) {
      fed[dest] = source;
      ++changes;
    }
  }
  EXPECT_EQ(changes, 4096);
  ASSERT_EQ(fed.size(), 4096u);
  for (const auto& [dest, source] : fed) ASSERT_EQ(source, dest % 16 + 1) << dest;
  // Names as they were, and a time inside the salvo.
  const Result json = History({"101", "7", "--since", "@0", "--json"});
  EXPECT_TRUE(Contains(json.out, "\"dest_name\":\"MON 7\"")) << json.out;
  EXPECT_TRUE(Contains(json.out, "\"source\":8,\"source_name\":\"\"")) << json.out;
  const size_t t_at = json.out.find("\"kind\":\"change\"");
  ASSERT_NE(t_at, std::string::npos) << json.out;
  const int64_t t = std::atoll(json.out.c_str() + json.out.find("\"t\":", t_at) + 4);
  EXPECT_GE(t, before);
  EXPECT_LE(t, after);

  // Two routes of destination 7, a moment apart: --at between them answers the first.
  ASSERT_TRUE(Contains(Kirn({"send", "101", "RC 101 2 7 ',---' 0"}).out, "RR 101 007 002"));
  const int64_t between = NowMs() + 300;
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  ASSERT_TRUE(Contains(Kirn({"send", "101", "RC 101 3 7 ',---' 0"}).out, "RR 101 007 003"));
  ASSERT_TRUE(Until([&] { return Metric("xarvel_exporter_history_changes_total") >= 4098; }));
  const std::string at = At(between);
  Result r = History({"101", "7", "--at", at});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, " 101 7 MON 7 <- 2 CAM 2 since ")) << r.out;
  r = History({"101", "7", "--at", at, "--json"});
  EXPECT_TRUE(Contains(r.out, "\"known\":true")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"source\":2,\"source_name\":\"CAM 2\"")) << r.out;
  // Before the recorder started nothing is known.
  r = History({"101", "7", "--at", "2001-01-01T00:00:00Z"});
  EXPECT_EQ(r.code, 3) << r.out;
  EXPECT_TRUE(Contains(r.out, "unknown (the history holds nothing of it) in " + Db())) << r.out;
  // An empty listing says which file it read, and the help which file is read without
  // --history (here $HOME's, the site's directory).
  r = History({"101", "7", "--since", "2001-01-01T00:00:00Z", "--until", "2001-01-02"});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "no changes of 101 7 from 2001-01-01T")) << r.out;
  EXPECT_TRUE(Contains(r.out, " in " + Db() + "\n")) << r.out;
  r = Kirn({"history", "--help"});
  EXPECT_TRUE(Contains(r.out, "Without --history here: " + dir_.str() +
                                  "/.local/state/kirn/history.db (from $HOME).\n"))
      << r.out;

  // The API: newest first, a page of 1000 and a cursor to the next.
  HttpReply page = HttpGet(port_, "/api/history/12?router=101&dest=7&limit=2");
  ASSERT_EQ(page.status, 200) << page.body;
  EXPECT_TRUE(Contains(page.body, "\"rows\":[{")) << page.body;
  EXPECT_LT(page.body.find("\"source\":3"), page.body.find("\"source\":2")) << page.body;
  int rows = 0;
  std::string cursor;
  do {
    page = HttpGet(port_, "/api/history/12?router=101&limit=1000" +
                              (cursor.empty() ? "" : "&cursor=" + cursor));
    ASSERT_EQ(page.status, 200) << page.body;
    for (size_t at2 = page.body.find("\"kind\":\"change\""); at2 != std::string::npos;
         at2 = page.body.find("\"kind\":\"change\"", at2 + 1)) {
      ++rows;
    }
    const size_t next = page.body.find("\"next\":\"");
    cursor = next == std::string::npos
                 ? ""
                 : page.body.substr(next + 8, page.body.find('"', next + 8) - next - 8);
  } while (!cursor.empty());
  EXPECT_EQ(rows, 4098);
  EXPECT_EQ(HttpGet(port_, "/api/history/12?router=101&limit=1001").status, 400);
  EXPECT_EQ(HttpGet(port_, "/api/history/12?dest=7").status, 400);
  EXPECT_EQ(History({"101", "7", "--at", "yesterday"}).code, 2);
}

// In RX only the driver sends no revertives: that time is a gap (--at in it is unknown), and
// the re-base when it is back in TX/RX writes only the destination that changed meanwhile. A
// lost bus is a gap of every router.
TEST_F(HistoryTest, AnRxOnlyPeriodIsAGapAndTheRebaseWritesOnlyTheDifference) {
  // A serial line: told to go RX only, the driver stays there (over TCP the reconnection that
  // the mode message forces brings it back to TX/RX at the first route report).
  SimProcess sim({"--pty", (dir_.path() / "COM1").string()});
  ASSERT_TRUE(sim.Ready()) << sim.Err();
  WriteRouterSite(
      "Simulation=0\nForwardBufferDelay=0\nConnection_Mode=SERIAL\nCom=1\n"
      "Speed=38400\nTallyDelay=40\n",
      16);
  auto serve = StartServe();
  auto driver = Start({XARVEL_BIN, "12"});
  ASSERT_TRUE(serve->WaitForOutput("register 101 ", 20000)) << serve->Stdout();
  StartMetrics();
  ASSERT_TRUE(Until([&] { return Rows("rebased") >= 1; }));
  ASSERT_TRUE(Contains(Kirn({"send", "101", "RC 101 3 2 ',---' 0"}).out, "RR 101 002 003"));

  // From here on: what the history says of the RX-only period and after it.
  const int64_t rx_start = NowMs();
  auto since_rx = [&] { return History({"101", "--since", At(rx_start)}).out; };
  ASSERT_EQ(Kirn({"mode", "101", "rxonly"}).code, 0);
  ASSERT_TRUE(Until([&] { return Contains(since_rx(), "gap: driver 12 in RX only"); }));
  // Meanwhile at the router's own panel: destination 2 takes source 9, silently for us.
  ASSERT_TRUE(sim.Console("route A 2 9", "ok route"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int64_t inside = NowMs();
  Result r = History({"101", "2", "--at", At(inside)});
  EXPECT_EQ(r.code, 3) << r.out;
  EXPECT_TRUE(Contains(r.out, "unknown (in a gap since ")) << r.out;
  EXPECT_TRUE(Contains(r.out, "in RX only")) << r.out;

  ASSERT_EQ(Kirn({"mode", "101", "txrx"}).code, 0);
  ASSERT_TRUE(Until([&] { return Contains(since_rx(), "complete again (tables read)"); }));
  // Only destination 2 changed meanwhile: the re-base wrote it and nothing else.
  const std::string after = since_rx();
  size_t bases = 0;
  for (size_t at = after.find("(read after a gap)"); at != std::string::npos;
       at = after.find("(read after a gap)", at + 1)) {
    ++bases;
  }
  EXPECT_EQ(bases, 1u) << after;
  EXPECT_TRUE(Contains(after, " 101 2 <- 9  MON 2 <- VTR 9  (read after a gap)")) << after;
  r = History({"101", "2", "--at", At(NowMs())});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "<- 9 VTR 9 since ")) << r.out;
  // The moment inside RX only stays unknown; destination 3, unchanged, is confirmed.
  EXPECT_EQ(History({"101", "2", "--at", At(inside)}).code, 3);
  r = History({"101", "3", "--at", At(NowMs())});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "until the tables were read at")) << r.out;

  // The bus goes: a gap of every router, and nothing is known from then on.
  EXPECT_EQ(serve->Stop(), 0);
  ASSERT_TRUE(Until([&] { return Contains(since_rx(), "all gap: the bus was lost"); }))
      << since_rx();
  EXPECT_EQ(History({"101", "3", "--at", At(NowMs())}).code, 3);
}

// SIGKILL at random moments while routes are being recorded: after every kill the database is
// sound (PRAGMA integrity_check), the next start records on with a gap for the unknown end of
// the killed run, and the history still answers.
TEST_F(HistoryTest, KillsDuringRecordingLeaveASoundDatabaseThatStillAnswers) {
  WriteRouterSite("Simulation=1\nForwardBufferDelay=0\n", 256);
  auto serve = StartServe();
  auto driver = Start({XARVEL_BIN, "12"});
  ASSERT_TRUE(serve->WaitForOutput("register 101 ", 20000)) << serve->Stdout();
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    for (int round = 0; !stop; ++round) {
      std::string lines;
      for (int d = 1; d <= 256; ++d) {
        lines += "RC 101 " + std::to_string((d + round) % 16 + 1) + " " + std::to_string(d) +
                 " ',---' 0\n";
      }
      Salvo(lines);
    }
  });
  std::mt19937 random(7);
  constexpr int kKills = 20;
  int sound = 0;
  for (int k = 0; k < kKills; ++k) {
    StartMetrics();
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(150, 600)(random)));
    metrics_->Kill();
    const std::string check = IntegrityCheck();
    EXPECT_EQ(check, "ok\n") << "after kill " << k + 1;
    if (check != "ok\n") break;
    ++sound;
  }
  stop = true;
  feeder.join();
  ASSERT_EQ(sound, kKills);
  const int rebased = Rows("rebased");
  StartMetrics();
  ASSERT_TRUE(Until([&] { return Rows("rebased") > rebased; }));
  const Result r = History({"101", "1", "--at", At(NowMs())});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, " 101 1 <- ")) << r.out;
  const std::string all = History({"101", "--since", "@0"}).out;
  size_t ended = 0;
  for (size_t at = all.find("ended without stopping"); at != std::string::npos;
       at = all.find("ended without stopping", at + 1)) {
    ++ended;
  }
  EXPECT_EQ(ended, static_cast<size_t>(kKills));
  // Recording went on between the kills: more than a salvo of 256 changes, whatever the
  // machine's speed (a plain build records thousands here, a sanitizer build under load a few
  // hundred).
  EXPECT_GT(Rows("change"), 256);
}

// A full disk (a file-size limit on kirn metrics) turns recording off with a warning, the
// metric and a /healthz line, while the exporter serves on; once the file may grow again
// recording resumes after a gap, and the re-base brings back what was lost. A file of a newer
// version is refused and left as it was.
TEST_F(HistoryTest, AFullDiskStopsOnlyTheRecordingWhichResumesAndANewerFileIsRefused) {
  WriteRouterSite("Simulation=1\nForwardBufferDelay=0\n", 4096);
  auto serve = StartServe();
  auto driver = Start({XARVEL_BIN, "12"});
  ASSERT_TRUE(serve->WaitForOutput("register 101 ", 20000)) << serve->Stdout();
  StartMetrics("exec prlimit --fsize=65536: ");
  std::string lines;
  for (int round = 0; round < 2; ++round) {
    for (int d = 1; d <= 4096; ++d) {
      lines += "RC 101 " + std::to_string((d + round) % 16 + 1) + " " + std::to_string(d) +
               " ',---' 0\n";
    }
  }
  ASSERT_EQ(Salvo(lines).code, 0);
  ASSERT_TRUE(Until([&] { return Metric("xarvel_exporter_history_up") == 0; }))
      << metrics_->Stderr();
  EXPECT_TRUE(Contains(metrics_->Stderr(), "kirn metrics: history recording off: "))
      << metrics_->Stderr();
  // The rest serves on.
  const HttpReply health = HttpGet(port_, "/healthz");
  EXPECT_EQ(health.status, 200) << health.body;
  EXPECT_TRUE(Contains(health.body, "driver 12: XARVEL OK")) << health.body;
  EXPECT_TRUE(Contains(health.body, "history recording off: ")) << health.body;
  EXPECT_EQ(Metric("xarvel_up{driver=\"12\"}"), 1);

  // Room again: recording resumes (within its 5 s retry), a gap marks the loss, and the
  // re-base writes the destinations as they are now.
  Process raise(
      {"/usr/bin/prlimit", "--pid", std::to_string(metrics_->pid()), "--fsize=unlimited:"});
  ASSERT_EQ(raise.Wait(kWaitMs), 0) << raise.Stderr();
  ASSERT_TRUE(Until([&] { return Metric("xarvel_exporter_history_up") == 1; }))
      << metrics_->Stderr();
  EXPECT_TRUE(Contains(metrics_->Stderr(), "history recording resumed")) << metrics_->Stderr();
  EXPECT_FALSE(Contains(HttpGet(port_, "/healthz").body, "history"));
  ASSERT_TRUE(Until([&] { return History({"101", "4096", "--at", At(NowMs())}).code == 0; }));
  Result r = History({"101", "4096", "--at", At(NowMs())});
  EXPECT_TRUE(Contains(r.out, " 101 4096 <- 2 CAM 2 since ")) << r.out;
  EXPECT_TRUE(Contains(History({"101", "--since", "@0"}).out, "gap: recording was off: "));
  ASSERT_EQ(IntegrityCheck(), "ok\n");

  // A file of a newer version: kirn history refuses it, kirn metrics records nothing into it.
  metrics_->Stop();
  Process newer({"/usr/bin/sqlite3", Db(), "PRAGMA user_version = 2"});
  ASSERT_EQ(newer.Wait(kWaitMs), 0) << newer.Stderr();
  const std::string before = ReadFile(Db());
  r = History({"101", "1", "--at", At(NowMs())});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Contains(r.err, "written by a newer kirn (history schema 2")) << r.err;
  StartMetrics();
  ASSERT_TRUE(Until([&] { return Metric("xarvel_exporter_history_up") == 0; }));
  EXPECT_TRUE(Contains(HttpGet(port_, "/healthz").body, "history refused: ")) << metrics_->Stderr();
  ASSERT_EQ(Kirn({"send", "101", "RC 101 3 1 ',---' 0"}).code, 0);
  metrics_->Stop();
  EXPECT_EQ(ReadFile(Db()), before) << "the newer file was written";
}

// Retention by age and by size: the oldest rows go in small steps, the state at the cut stays
// answerable, and the file gives the space back.
TEST(HistoryRetentionTest, OldRowsGoTheStateAtTheCutStaysAndTheFileShrinks) {
  testing_support::TempDir dir;
  const std::string path = (dir.path() / "h.db").string();
  const int64_t day = 86400000;
  const int64_t now = kirn::NowMs();
  {
    std::string error;
    auto store = kirn::HistoryStore::OpenForWriting(path, &error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Begin(&error));
    // 200 days of one change a destination every two hours on 64 destinations, the last one
    // of destination 1 long ago.
    for (int64_t t = now - 200 * day, n = 0; t < now; t += 7200000 / 64, ++n) {
      kirn::HistoryRow row;
      row.t_ms = t;
      row.router = 101;
      row.dest = static_cast<int>(n % 64) + 1;
      if (row.dest == 1 && t > now - 150 * day) continue;
      row.source = static_cast<int>(n % 16) + 1;
      row.source_name = "SOURCE NAME " + std::to_string(row.source);
      ASSERT_TRUE(store->Insert(row, &error)) << error;
    }
    ASSERT_TRUE(store->Commit(&error)) << error;
  }
  const auto full = std::filesystem::file_size(path);
  kirn::HistoryAnswer old_state;
  {
    std::string error;
    auto reader = kirn::HistoryStore::OpenForReading(path, &error);
    ASSERT_TRUE(reader->At(101, 1, now - day, &old_state, &error)) << error;
    ASSERT_TRUE(old_state.known);
  }
  int64_t used = 0;
  {
    kirn::HistoryOptions options;
    options.path = path;
    options.days = 90;
    options.max_bytes = static_cast<int64_t>(full / 3);
    kirn::HistoryRecorder recorder(options);
    std::string error;
    auto reader = kirn::HistoryStore::OpenForReading(path, &error);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      used = reader->UsedBytes();
    } while (used > options.max_bytes && std::chrono::steady_clock::now() < deadline);
    EXPECT_LE(used, options.max_bytes);
    EXPECT_TRUE(recorder.up()) << recorder.note();
  }
  EXPECT_LT(std::filesystem::file_size(path), full / 2);
  std::string error;
  auto reader = kirn::HistoryStore::OpenForReading(path, &error);
  kirn::HistoryAnswer a;
  // Destination 1's last change, 150 days old, still answers for now.
  ASSERT_TRUE(reader->At(101, 1, now - day, &a, &error)) << error;
  EXPECT_TRUE(a.known);
  EXPECT_EQ(a.row.source, old_state.row.source);
  EXPECT_EQ(a.row.t_ms, old_state.row.t_ms);
  // Long before the cut, the history says it does not know.
  ASSERT_TRUE(reader->At(101, 2, now - 180 * day, &a, &error)) << error;
  EXPECT_FALSE(a.known);
  EXPECT_EQ(a.gap.note, "older than the history keeps");
  std::vector<kirn::HistoryRow> rows;
  kirn::HistoryFilter f;
  f.router = 101;
  f.dest = 2;
  f.until_ms = now - 91 * day;
  ASSERT_TRUE(reader->List(f, &rows, &error)) << error;
  EXPECT_LE(rows.size(), 1u) << "older rows of destination 2 are gone but its last before the cut";
}

// A history of 250,000 rows asked by 8 clients in a loop, each a query that once scanned the
// router's every row (a driver with no rows of it) or a long page: the queries run on a worker
// of their own, by indexes, so /metrics and /healthz answer at once all the while. And names
// with control characters and invalid bytes reach the terminal escaped.
TEST_F(HistoryTest, EightHistoryReadersNeverStallAScrape) {
  std::string error;
  ASSERT_TRUE(kirn::HistoryStore::OpenForWriting(Db(), &error)) << error;
  Process fill({"/bin/sh", "-c",
                "exec sqlite3 \"$0\" \"PRAGMA synchronous = OFF; BEGIN; WITH RECURSIVE n(i) AS "
                "(SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 250000) INSERT INTO "
                "history(t, kind, driver, router, dest, src, src_name, dest_name) SELECT "
                "1765000000000 + i * 2500, 0, 12, 101, 1 + i % 16, 1 + i * 7 % 32, 'CAM', 'MON' "
                "FROM n; INSERT INTO history(t, kind, driver, router, dest, src, src_name, "
                "dest_name) VALUES(1766000000000, 0, 12, 101, 7, 9, CAST(X'ff4341' AS TEXT), "
                "CAST(X'4d4f4e1b5b33316d0a37' AS TEXT)); COMMIT;\"",
                Db()});
  ASSERT_EQ(fill.Wait(120000), 0) << fill.Stderr();
  auto serve = StartServe();
  StartMetrics();
  auto timed = [&](const char* path) {
    const auto t0 = Clock::now();
    EXPECT_GT(HttpGet(port_, path, 10000).status, 0) << path;
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
  };
  std::vector<long long> quiet;
  for (int i = 0; i < 10; ++i) {
    quiet.push_back(timed("/metrics"));
    std::this_thread::sleep_for(std::chrono::milliseconds(110));
  }
  std::sort(quiet.begin(), quiet.end());
  std::atomic<bool> on{true};
  std::atomic<int> answers[600] = {};
  std::vector<std::thread> readers;
  for (int r = 0; r < 8; ++r) {
    readers.emplace_back([&, r] {
      const std::string from = "127.0.4." + std::to_string(20 + r);
      for (int i = 0; on; ++i) {
        const char* path =
            i % 2 == 0 ? "/api/history/13?router=101" : "/api/history/12?router=101&dest=5";
        ++answers[HttpGet(port_, path, 10000, "GET", from.c_str()).status % 600];
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<long long> took;
  // Each after the 100 ms that rounds of asking the drivers keep between them.
  for (int i = 0; i < 20; ++i) {
    for (const char* path : {"/metrics", "/healthz"}) {
      took.push_back(timed(path));
      std::this_thread::sleep_for(std::chrono::milliseconds(110));
    }
  }
  on = false;
  for (std::thread& t : readers) t.join();
  std::sort(took.begin(), took.end());
  std::printf(
      "/metrics alone: median %lld us; /metrics and /healthz under 8 history readers of "
      "250,000 rows: median %lld us, slowest %lld us; history answers 200: %d, 429: %d, "
      "503: %d\n",
      quiet[quiet.size() / 2], took[took.size() / 2], took.back(), answers[200].load(),
      answers[429].load(), answers[503].load());
  EXPECT_LT(took[took.size() / 2], 100000);
  EXPECT_LT(took.back(), 1000000);
  EXPECT_GT(answers[200], 8);
  const std::string page = HttpGet(port_, "/api/history/12?router=101&dest=7&limit=1").body;
  EXPECT_TRUE(Contains(page, "\"dest\":7")) << page;

  const Result listing = History({"101", "7", "--since", "@1765999999", "--until", "@1766000001"});
  EXPECT_EQ(listing.code, 0) << listing.err;
  EXPECT_TRUE(Contains(listing.out, "MON\\x1b[31m\\x0a7 <- \\xffCA")) << listing.out;
  EXPECT_FALSE(Contains(listing.out, "\x1b")) << listing.out;
}

}  // namespace
