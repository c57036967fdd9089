// kirn metrics: the workstation's HTTP server for monitoring. One thread: the HTTP server and the
// survey of the drivers both run from one poll loop, and a request that needs the drivers waits
// (its connection suspended) while the loop goes on serving every other connection.
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/service_notify.h"
#include "platform/debug_output.h"
#include "tools/kirn/common/json_text.h"
#include "tools/kirn/common/tool_client.h"
#include "tools/kirn/ember/ember_service.h"
#include "tools/kirn/web/driver_survey.h"
#include "tools/kirn/web/event_streams.h"
#include "tools/kirn/web/history_feed.h"
#include "tools/kirn/web/history_query.h"
#include "tools/kirn/web/history_recorder.h"
#include "tools/kirn/web/host_names.h"
#include "tools/kirn/web/http_server.h"
#include "tools/kirn/web/metrics_text.h"
#include "tools/kirn/web/page.h"
#include "tools/kirn/web/web_access.h"
#include "tools/kirn/web/web_commands.h"

namespace kirn {

const char kMetricsHelp[] =
    "usage: kirn metrics [--listen ADDR:PORT] [--web-config FILE] [--allowed-host NAME]...\n"
    "                    [--history FILE | --no-history] [--history-days N]\n"
    "                    [--history-max-mb N] [--ember ADDR:PORT]... [--ember-allow A/P]...\n"
    "                    [--ember-max-per-address N] [--ember-read-only] [--ember-access N]\n"
    "Serves the figures and the health of every driver on the workstation bus over HTTP:\n"
    "  /metrics   the Prometheus text exposition (format 0.0.4): xarvel_up, xarvel_comms_ok,\n"
    "             xarvel_link_up, xarvel_routes_total, ... labelled driver (the driver's own\n"
    "             device number), router (a router's device id), controller (A, B, serial),\n"
    "             kind and reason\n"
    "  /healthz   one line per driver, the check of 'kirn status --check' with its default\n"
    "             thresholds; 503 when one of them is CRITICAL (a driver that does not\n"
    "             answer is) or there is no bus, else 200\n"
    "  /          a read-only status page in the browser: every driver at a glance (the\n"
    "             dialog's interface mode, link mode and status of controllers A and B,\n"
    "             active controller, lock infodriver, message line, routes and drops, last\n"
    "             save), updated twice a second\n"
    "  /driver/N  driver N's panel (the fields of its status dialog), its router table and\n"
    "             one router's crosspoints (?router=DEV): every destination with the source\n"
    "             that feeds it, numbers and names, locks marked, changes highlighted; paged,\n"
    "             with a search box\n"
    "  /api/status, /api/driver/N[?router=DEV]\n"
    "             the same as JSON, for scripts (docs/monitoring.md)\n"
    "  /api/events[?driver=N[&router=DEV]]\n"
    "             the changes as server-sent events: a snapshot (the overview, or driver N\n"
    "             with router DEV's crosspoints), then route, mode and link events as they\n"
    "             happen; Last-Event-ID resumes; at most 64 streams, 16 from one address,\n"
    "             apart from the connections below\n"
    "  /api/history/N?router=DEV[&dest=D][&since=T][&until=T][&limit=L][&cursor=C]\n"
    "             driver N's recorded changes of router DEV (of destination D), newest\n"
    "             first, with the router's gaps: at most L rows (default 100, at most\n"
    "             1000) and 'next', the cursor of the next (older) page, or null\n"
    "It learns the drivers from the interface's registrations and remembers every driver\n"
    "it has heard from. At each request it asks all of them at once, under one deadline of\n"
    "1 s: a driver that does not answer in time, or has gone, shows as xarvel_up 0 and\n"
    "holds up nothing else. Requests that come while the drivers are being asked wait for\n"
    "the next round; rounds start at most ten times a second.\n"
    "  --listen ADDR:PORT  where to serve (default 127.0.0.1:9436): a numeric IPv4 address\n"
    "                      or a bracketed IPv6 one; port 0 picks a free port. Only the\n"
    "                      loopback address unless another one is given.\n"
    "  --web-config FILE   TLS and passwords, in the web configuration file format of\n"
    "                      the Prometheus exporters (YAML): tls_server_config (cert_file,\n"
    "                      key_file, client_auth_type, client_ca_file, client_allowed_sans,\n"
    "                      min_version, max_version, cipher_suites, curve_preferences,\n"
    "                      prefer_server_cipher_suites), http_server_config (http2,\n"
    "                      headers) and basic_auth_users (user: bcrypt hash, as made by\n"
    "                      'htpasswd -nBC 10 USER'). Every path is under the same rules.\n"
    "                      The file (and the certificate and key) is read again when it\n"
    "                      changes, looked at once a second; a broken new file keeps the\n"
    "                      last good one. A good password is remembered; after 5 wrong\n"
    "                      ones an address waits (1 s, doubling, up to 30 s: 429).\n"
    "                      Without it on an address other than loopback, anyone on the\n"
    "                      network reads everything: a warning says so (and /healthz).\n"
    "  --allowed-host NAME without passwords, only requests for loopback names, the\n"
    "                      listening address (for 0.0.0.0 or [::] also this machine's\n"
    "                      names and addresses) and these names are served; any other\n"
    "                      Host is answered 421 (a page rebinding its name to this\n"
    "                      address reads nothing). Repeatable.\n"
    "Names of sources and destinations are the interface's name look-ups, read a few at a\n"
    "time and kept for a minute; the drivers are only ever asked for their counters, status\n"
    "panel and router tables, and nothing a request says reaches them beyond which.\n"
    "Only GET and HEAD are served (others: 405); an unknown path gets 404; a malformed\n"
    "request, one with a body or a target over 1024 bytes 400, one whose request line or\n"
    "headers outgrow 16 KiB 414 or 431; a line that is not HTTP at all is closed unanswered.\n"
    "Two Content-Length or Host headers, a bare CR or a signed Content-Length: 400.\n"
    "At most 256 connections, 8 from one address (IPv6: one /64); one that has not sent\n"
    "a whole request head 5 s after connecting (or after its last answer) is closed.\n"
    "The crosspoint history: every tally change the drivers report (each revertive the\n"
    "interface relays to kirn metrics) is recorded with the time in milliseconds, the\n"
    "driver, router, destination, source and both names as they were, in an SQLite\n"
    "database (WAL; written in batches on a thread of its own). Whatever the feed misses\n"
    "is a gap row: relays the interface dropped, its start and stop, a bus loss, a driver\n"
    "gone or not answering, a driver in RX only. After a gap the driver's tables are read\n"
    "again and the destinations that differ from the history are written as found.\n"
    "Ask it with 'kirn history'. When the file cannot be written (a full disk, no\n"
    "permission) recording is off (a warning, xarvel_exporter_history_up 0, a /healthz\n"
    "line) and is tried again every 5 s; everything else goes on serving. A file written\n"
    "by a newer kirn is refused and left untouched (docs/history.md).\n"
    "  --history FILE      the history (default $KIRN_HISTORY, else\n"
    "                      $XDG_STATE_HOME/kirn/history.db, else\n"
    "                      ~/.local/state/kirn/history.db)\n"
    "  --no-history        record nothing\n"
    "  --history-days N    keep N days (default 90; 0: no age limit)\n"
    "  --history-max-mb N  keep the used pages under N MiB (default 1024; 0: no limit),\n"
    "                      oldest first; the last change of every destination before the\n"
    "                      cut is kept, so the state at the cut stays known\n"
    "Ember+ (docs/ember.md): every router of every driver as a matrix that panels and\n"
    "control systems browse, watch and route, from the same survey as the page.\n"
    "  --ember ADDR:PORT   also serve Ember+ there (repeatable; off unless given;\n"
    "                      127.0.0.1:9000 is the usual choice). A take becomes the control\n"
    "                      system's route command to the driver (RC); what the driver would\n"
    "                      refuse (RX only, a lock, out of range) is answered locked at once,\n"
    "                      the rest pending, then modified with the revertive, or the\n"
    "                      connection as it stands after twice the driver's reply timeout.\n"
    "                      Ember+ has no authentication: keep it on loopback, or allow only\n"
    "                      the panels' addresses, behind a firewall.\n"
    "  --ember-allow ADDRESS[/PREFIX]\n"
    "                      only these peers may connect (repeatable; IPv4 or IPv6); others\n"
    "                      are closed at accept with a line in the journal\n"
    "  --ember-max-per-address N\n"
    "                      consumers from one address at once (default 16; 128 in all)\n"
    "  --ember-read-only   consumers browse and watch; every take is answered locked\n"
    "  --ember-access N    the access number of its route commands (0..1000, default 0,\n"
    "                      which the access list always allows)\n"
    "Prints 'listening http://ADDR:PORT' (https:// with TLS) once it serves, then\n"
    "'ember ADDR:PORT' for each Ember+ address; without a bus it "
    "serves all the\n"
    "same (xarvel_exporter_bus_up 0) and connects once there is one. Ends on SIGTERM or\n"
    "SIGINT (exit 0). Exit 1 when it cannot listen on the address, 2 on a usage error.\n";

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDefaultListen = "127.0.0.1:9436";
// Rounds of asking every driver start at most this often, however many requests come.
constexpr auto kRoundSpacing = std::chrono::milliseconds(100);
// The loop wakes at least this often (a stop signal that came just before a wait).
constexpr int kMaxWaitMs = 200;

// While event streams are open, the drivers are asked this often for what the revertives do not
// tell (link and mode changes).
constexpr auto kStreamRound = std::chrono::milliseconds(500);

enum class Want { kMetrics, kHealth, kStatusJson, kDriverJson, kEvents };

struct Waiting {
  HttpServer::RequestId id;
  Want want;
  int driver = 0;  // kDriverJson, kEvents (0: every driver)
  DriverQuery query;
  uint64_t after = 0;  // kEvents: the last event before the request
  EventScope scope;    // kEvents; `id` is then the stream's
};

// A stream to open once its request is deferred: its scope, the event it follows and whether it
// starts with a snapshot (from the next survey) rather than resuming.
struct Opening {
  HttpServer::RequestId id;
  EventScope scope;
  uint64_t after = 0;
  bool snapshot = false;
};

// The head of an event stream's answer.
HttpResponse EventHead() {
  HttpResponse r;
  r.content_type = "text/event-stream; charset=utf-8";
  r.headers.emplace_back("X-Accel-Buffering", "no");
  return r;
}

// Argument `name` of `request` as a number 1..max, 0 when absent; false when it is not one.
bool NumberArg(const HttpRequest& request, const char* name, int max, int* out) {
  *out = 0;
  const std::string text = request.Arg(name);
  if (text.empty()) return true;
  if (text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *out = std::atoi(text.c_str());
  return *out >= 1 && *out <= max;
}

// What a survey tells of a driver's link, as the stream's "link" event carries it.
std::string LinkJson(const DriverReading& d) {
  QJsonObject o{{"driver", d.driver}, {"up", d.up}};
  if (d.up) {
    for (const char* name : {"comms_state", "active_controller", "connection_mode", "simulation"}) {
      o.insert(name, static_cast<qint64>(d.counters.Get(name)));
    }
    QJsonObject link_up;
    for (const xarvel::CounterLine& line : d.counters.lines) {
      if (line.name != "link_up" || line.labels.size() != 1) continue;
      link_up.insert(JsonText(line.labels[0].second).toString(), static_cast<qint64>(line.value));
    }
    o.insert("link_up", link_up);
  }
  return JsonBytes(o, true);
}

// The exporter's own figures of its event streams.
std::string StreamFigures(const EventStreams& hub) {
  return "# HELP xarvel_exporter_event_streams Event streams (/api/events) open.\n"
         "# TYPE xarvel_exporter_event_streams gauge\n"
         "xarvel_exporter_event_streams " +
         std::to_string(hub.open()) +
         "\n# HELP xarvel_exporter_event_streams_behind_total Event streams closed for falling "
         "too far behind.\n"
         "# TYPE xarvel_exporter_event_streams_behind_total counter\n"
         "xarvel_exporter_event_streams_behind_total " +
         std::to_string(hub.closed_behind()) + "\n";
}

HttpResponse Answer(Want want, const Survey& survey, const std::string& warning,
                    const EventStreams& hub) {
  HttpResponse r;
  if (want == Want::kMetrics) {
    r.content_type = kExpositionType;
    r.body = ExpositionText(survey) + StreamFigures(hub);
  } else if (want == Want::kHealth) {
    const Health h = HealthOf(survey);
    r.status = h.status;
    r.body = warning + h.text;
  } else {
    r = StatusJson(survey);
  }
  return r;
}

// What a round must read for the requests that wait for it.
SurveyWants WantsOf(const std::vector<Waiting>& waiting) {
  SurveyWants wants;
  for (const Waiting& w : waiting) {
    if (w.want == Want::kStatusJson) wants.status = true;
    if (w.want == Want::kDriverJson) wants.tables[w.driver].insert(w.query.router);
    if (w.want == Want::kEvents) {
      if (w.driver != 0) {
        wants.tables[w.driver].insert(w.query.router);
      } else {
        wants.status = true;
      }
    }
  }
  return wants;
}

// With the history on, a round starts at least this often: it notices drivers that go, come
// or change mode, and reads the tables a re-base wants.
constexpr auto kHistoryRoundSpacing = std::chrono::seconds(2);
// Router tables a round reads for the history's re-bases at most, and only in a round that no
// request waits for: a full workstation's re-base (hundreds of routers of 4096 destinations)
// read in one round held every scrape behind it for seconds.
constexpr size_t kHistoryTablesPerRound = 4;

// The history's lines of the exposition.
std::string HistoryExposition(const HistoryRecorder& h) {
  std::string out =
      "# HELP xarvel_exporter_history_up Whether the crosspoint history is being recorded (0: "
      "recording is off, see /healthz).\n"
      "# TYPE xarvel_exporter_history_up gauge\n"
      "xarvel_exporter_history_up " +
      std::string(h.up() ? "1" : "0") +
      "\n"
      "# HELP xarvel_exporter_history_changes_total Crosspoint changes written to the history.\n"
      "# TYPE xarvel_exporter_history_changes_total counter\n"
      "xarvel_exporter_history_changes_total " +
      std::to_string(h.recorded()) +
      "\n"
      "# HELP xarvel_exporter_history_lost_total Changes and gaps the history could not write.\n"
      "# TYPE xarvel_exporter_history_lost_total counter\n"
      "xarvel_exporter_history_lost_total " +
      std::to_string(h.lost()) + "\n";
  return out;
}

HttpResponse BadRequest(const std::string& what) {
  HttpResponse r;
  r.status = 400;
  r.body = what + "\n";
  return r;
}

}  // namespace

int RunMetrics(const Args& args) {
  std::string listen = kDefaultListen;
  std::vector<std::string> allowed_hosts;
  std::string web_config;
  HistoryOptions history;
  history.path = DefaultHistoryPath();
  bool record = true;
  ember::EmberOptions ember_options;
  std::string ember_error;
  for (size_t i = 0; i < args.size(); ++i) {
    long long n = 0;
    if (args[i] == "--listen") {
      if (i + 1 >= args.size()) return UsageError("metrics", "--listen needs ADDR:PORT");
      listen = args[++i];
    } else if (args[i] == "--web-config") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return UsageError("metrics", "--web-config needs a FILE");
      }
      web_config = args[++i];
    } else if (args[i] == "--allowed-host") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return UsageError("metrics", "--allowed-host needs a NAME");
      }
      allowed_hosts.push_back(args[++i]);
    } else if (args[i] == "--history") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return UsageError("metrics", "--history needs a FILE");
      }
      history.path = args[++i];
    } else if (args[i] == "--no-history") {
      record = false;
    } else if (args[i] == "--history-days") {
      if (i + 1 >= args.size() || !ParseInt(args[i + 1], 0, 100000, &n)) {
        return UsageError("metrics", "--history-days takes a number of days 0..100000");
      }
      history.days = static_cast<int>(n);
      ++i;
    } else if (args[i] == "--history-max-mb") {
      if (i + 1 >= args.size() || !ParseInt(args[i + 1], 0, 1LL << 30, &n)) {
        return UsageError("metrics", "--history-max-mb takes a number of MiB");
      }
      history.max_bytes = n * 1024 * 1024;
      ++i;
    } else if (args[i] == "--history-max-pages") {
      // Not in the help: a full disk made on purpose (tests, benchmarks).
      if (i + 1 >= args.size() || !ParseInt(args[i + 1], 1, 1LL << 40, &n)) {
        return UsageError("metrics", "--history-max-pages takes a number");
      }
      history.max_pages = n;
      ++i;
    } else if (const int taken = ember::ParseEmberOption(args, &i, &ember_options, &ember_error);
               taken != 0) {
      if (taken < 0) return UsageError("metrics", ember_error);
    } else if (args[i] == "--" && i + 1 == args.size()) {
      break;
    } else {
      return UsageError("metrics", "unexpected argument '" + args[i] + "'");
    }
  }
  sockaddr_storage address;
  socklen_t length = 0;
  std::string error;
  if (!ParseListenAddress(listen, &address, &length, &error)) {
    return UsageError("metrics", "--listen " + error);
  }
  std::unique_ptr<WebAccess> access = WebAccess::Load(web_config, &error);
  if (!access) return Failure("metrics", error);
  const HttpTls tls = access->tls() ? access->TlsOptions() : HttpTls{};
  std::unique_ptr<HttpServer> server =
      HttpServer::Listen(listen, HttpLimits{}, &error, access->tls() ? &tls : nullptr);
  if (!server) return Failure("metrics", error);
  // Without credentials only requests for this machine's own names are served, so that a web
  // page that rebinds its name to this address reads nothing.
  const std::string listen_host = listen.substr(0, listen.rfind(':'));
  access->Attach(server.get(), HostNamesFor(listen_host, allowed_hosts));
  std::string warning;
  if (web_config.empty() && !IsLoopbackListen(listen_host)) {
    warning = "XARVEL WARNING - served on " + server->address() +
              " without TLS or a password: anyone on the network can read it (see --web-config)\n";
    plat::OutputDebugString("kirn metrics: " + warning.substr(15), plat::LogLevel::kWarning);
  }

  // A file-size limit makes writes fail (recording goes off) instead of ending the process.
  ::signal(SIGXFSZ, SIG_IGN);
  DriverSurvey survey;
  // Ember+ shares the survey, its names and its follower with the page and the history.
  std::unique_ptr<ember::EmberService> ember;
  if (!ember_options.listen.empty()) {
    ember = ember::EmberService::Start(ember_options, survey, &error);
    if (!ember) return Failure("metrics", "--ember " + error);
  }
  std::unique_ptr<HistoryRecorder> recorder;
  std::unique_ptr<HistoryFeed> feed;
  // The history's readers (/api/history) share one read-only connection, opened once the file
  // is there.
  std::unique_ptr<HistoryStore> reader;
  if (record) {
    recorder = std::make_unique<HistoryRecorder>(history);
    feed = std::make_unique<HistoryFeed>(*recorder, survey);
    feed->Attach();
  }

  std::vector<Waiting> waiting;    // for the next round
  std::vector<Waiting> answering;  // for the round that runs
  auto defer = [&waiting](Want want) {
    return [&waiting, want](const HttpRequest&, HttpServer::RequestId id) {
      waiting.push_back(Waiting{id, want, 0, {}, 0, {}});
      return std::optional<HttpResponse>();
    };
  };
  server->Route("/metrics", defer(Want::kMetrics));
  server->Route("/healthz", defer(Want::kHealth));
  server->Route("/api/status", defer(Want::kStatusJson));
  server->RoutePrefix(
      "/api/driver/", [&waiting](const HttpRequest& request, HttpServer::RequestId id) {
        Waiting w{id, Want::kDriverJson, DriverInPath(request.path, "/api/driver/"), {}, 0, {}};
        if (w.driver == 0) {
          HttpResponse r;
          r.status = 404;
          r.body = "not found\n";
          return std::optional<HttpResponse>(r);
        }
        if (!ParseDriverQuery(request, &w.query)) {
          return std::optional<HttpResponse>(BadRequest("router and names take a number"));
        }
        waiting.push_back(w);
        return std::optional<HttpResponse>();
      });
  server->RoutePrefix("/api/history/", [&](const HttpRequest& request, HttpServer::RequestId) {
    const int driver = DriverInPath(request.path, "/api/history/");
    if (driver == 0) {
      HttpResponse r;
      r.status = 404;
      r.body = "not found\n";
      return std::optional<HttpResponse>(r);
    }
    if (!reader && record) {
      std::string error;
      reader = HistoryStore::OpenForReading(history.path, &error);
    }
    return std::optional<HttpResponse>(HistoryApi(request, driver, reader.get()));
  });
  // The page's files; a path that is none of them is not found.
  auto page = [](const HttpRequest& request, HttpServer::RequestId) {
    std::optional<HttpResponse> r = PageFile(request.path);
    if (!r) {
      r = HttpResponse{};
      r->status = 404;
      r->body = "not found\n";
    }
    return r;
  };

  // The event streams, and the revertives they carry as they come.
  EventStreams hub(
      EventStreams::Sink{[&server](uint64_t stream, std::string text) {
                           return server->StreamSend(stream, std::move(text));
                         },
                         [&server](uint64_t stream) { return server->StreamBacklog(stream); },
                         [&server](uint64_t stream) { server->StreamClose(stream); }},
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count()));
  server->OnStreamGone([&hub](uint64_t stream) { hub.Gone(stream); });
  std::vector<Opening> opening;
  server->Route("/api/events", [&](const HttpRequest& request, HttpServer::RequestId id) {
    EventScope scope;
    if (!NumberArg(request, "driver", 65535, &scope.driver) ||
        !NumberArg(request, "router", 999, &scope.router)) {
      return std::optional<HttpResponse>(BadRequest("driver and router take a number"));
    }
    if (request.head) return std::optional<HttpResponse>(EventHead());
    std::optional<uint64_t> after = hub.ResumeAfter(request.last_event_id);
    opening.push_back(Opening{id, scope, after.value_or(hub.last()), !after.has_value()});
    return std::optional<HttpResponse>();
  });
  // Router device -> driver number, from the surveys.
  std::map<int, int> driver_of;
  std::map<int, std::string> last_link;
  std::map<int, int64_t> last_mode;
  auto driver_for = [&driver_of](int device) {
    auto it = driver_of.find(device);
    return it == driver_of.end() ? 0 : it->second;
  };
  auto relayed = [&](std::string_view line) {
    const std::string copy(line.substr(0, 127));
    int param = 0;
    int device = 0;
    int dest = 0;
    int source = 0;
    int mode = 0;
    char kind[4] = "";
    if (std::sscanf(copy.c_str(), "%3s %d RR %d %d %d", kind, &param, &device, &dest, &source) ==
            5 &&
        (std::string_view(kind) == "REV" || std::string_view(kind) == "QRY")) {
      const int driver = driver_for(device);
      hub.Publish(
          "route", driver, device,
          JsonBytes(QJsonObject{
              {"driver", driver}, {"router", device}, {"destination", dest}, {"source", source}}));
    } else if (std::sscanf(copy.c_str(), "MODE %d %d", &device, &mode) == 2) {
      const int driver = driver_for(device);
      if (driver != 0) last_mode[driver] = mode;
      hub.Publish("mode", driver, driver != 0 ? 0 : device,
                  JsonBytes(QJsonObject{{"driver", driver}, {"device", device}, {"mode", mode}}));
    }
  };
  // Lines may have been missed before a watch was (again) made, or when relays were lost: no
  // stream goes on across that, and none resumes; their clients come back for a snapshot.
  DriverSurvey::Follower follower;
  follower.line = relayed;
  follower.watching = [&hub] { hub.Reset(); };
  follower.lost = [&hub](int64_t) { hub.Reset(); };
  follower.bus_lost = [&hub] { hub.Reset(); };
  survey.Follow(std::move(follower));
  // What the revertives do not say, from a survey: link and mode changes of every driver.
  auto compare = [&](const Survey& s) {
    for (const DriverReading& d : s.drivers) {
      if (d.driver == 0 || d.conflict) continue;
      for (int router : d.routers) driver_of[router] = d.driver;
      std::string link = LinkJson(d);
      auto known = last_link.find(d.driver);
      if (known != last_link.end() && known->second != link) {
        hub.Publish("link", d.driver, 0, link);
      }
      last_link[d.driver] = std::move(link);
      if (!d.up) continue;
      const int64_t mode = d.counters.Get("interface_mode");
      auto was = last_mode.find(d.driver);
      if (was != last_mode.end() && was->second != mode) {
        hub.Publish("mode", d.driver, 0,
                    JsonBytes(QJsonObject{
                        {"driver", d.driver}, {"device", 0}, {"mode", static_cast<qint64>(mode)}}));
      }
      last_mode[d.driver] = mode;
    }
  };
  auto open_streams = [&]() {
    for (Opening& o : opening) {
      const HttpServer::StreamId stream = server->OpenStream(o.id, EventHead());
      if (stream == 0) {
        HttpResponse r;
        r.status = 503;
        r.body = "too many event streams: read /api/status or /api/driver/N instead\n";
        r.headers.emplace_back("Retry-After", "10");
        server->Answer(o.id, r);
        continue;
      }
      if (o.snapshot) {
        // Open at once (the head goes out, and it counts as a stream); its events start with
        // the snapshot of the next survey.
        Waiting w{stream, Want::kEvents, o.scope.driver, {}, o.after, o.scope};
        w.query.router = o.scope.router;
        waiting.push_back(w);
      } else {
        hub.Open(stream, o.scope, o.after, std::nullopt, Clock::now());
      }
    }
    opening.clear();
  };
  server->Route("/", page);
  server->RoutePrefix("/page/", page);
  server->RoutePrefix("/driver/", page);
  server->Route("/xarvel.svg", page);

  InstallStopSignals();
  int ember_wait = -1;
  // A first round at once learns the drivers before the first request.
  int64_t round_asked_ms = NowMs();
  SurveyWants first;
  if (ember) {
    ember->Want(&first);
    ember->RoundStarted();
  }
  survey.Start(first);
  Clock::time_point last_round = Clock::now();

  const std::string scheme = access->tls() ? "https://" : "http://";
  std::printf("listening %s%s\n", scheme.c_str(), server->address().c_str());
  if (ember) {
    for (const std::string& a : ember->addresses()) std::printf("ember %s\n", a.c_str());
  }
  std::fflush(stdout);
  xarvel::ServiceNotify_Send("READY=1\nSTATUS=serving " + scheme + server->address());

  while (!StopRequested()) {
    const auto now = Clock::now();
    const bool streaming = hub.open() > 0 && now - last_round >= kStreamRound;
    // The history wants a round now and then, and sooner for a re-base.
    const bool history_round =
        feed && (now - last_round >= kHistoryRoundSpacing || feed->wants_round());
    const bool ember_round = ember && ember->wants_round(now);
    if (!survey.running() && (!waiting.empty() || history_round || streaming || ember_round) &&
        now - last_round >= kRoundSpacing) {
      answering.swap(waiting);
      SurveyWants wants = WantsOf(answering);
      if (feed && answering.empty()) {
        size_t tables = 0;
        for (const auto& [driver, routers] : feed->Wanted()) {
          for (const int router : routers) {
            if (tables == kHistoryTablesPerRound) break;
            wants.tables[driver].insert(router);
            ++tables;
          }
        }
      }
      if (ember) {
        ember->Want(&wants);
        ember->RoundStarted();
      }
      round_asked_ms = NowMs();
      survey.Start(wants);
      last_round = now;
    }
    int wait = kMaxWaitMs;
    auto sooner = [&wait](int ms) {
      if (ms >= 0) wait = std::min(wait, ms);
    };
    sooner(server->TimeoutMs());
    sooner(survey.MsUntilDeadline());
    sooner(hub.Tick(now));
    sooner(ember_wait);
    if (!survey.running() && hub.open() > 0) {
      sooner(static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(last_round + kStreamRound - now)
              .count()));
    }
    if (!survey.running() && (!waiting.empty() || feed || ember)) {
      sooner(static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(last_round + kRoundSpacing - now)
              .count()));
    }
    std::vector<pollfd> fds = {{server->fd(), POLLIN, 0}, {survey.fd(), POLLIN, 0}};
    if (ember) ember->PollFds(&fds);
    ::poll(fds.data(), fds.size(), std::max(wait, 0));
    if (survey.Poll()) {
      const Survey s = survey.Take();
      if (ember) ember->Surveyed(s, Clock::now());
      compare(s);
      if (feed) feed->Surveyed(s, round_asked_ms);
      // Each kind of answer is made once for every request of the round.
      std::optional<HttpResponse> made[3];
      for (const Waiting& w : answering) {
        if (w.want == Want::kEvents) {
          // An unknown driver's snapshot is the error the JSON gives.
          const HttpResponse r =
              w.driver != 0 ? DriverJson(s, w.driver, w.query, survey) : StatusJson(s);
          hub.Open(w.id, w.scope, w.after, r.body, Clock::now());
          continue;
        }
        if (w.want == Want::kDriverJson) {
          server->Answer(w.id, DriverJson(s, w.driver, w.query, survey));
          continue;
        }
        std::optional<HttpResponse>& r = made[static_cast<int>(w.want)];
        if (!r) {
          r = Answer(w.want, s, warning, hub);
          if (recorder && w.want == Want::kMetrics) r->body += HistoryExposition(*recorder);
          if (recorder && w.want == Want::kHealth && !recorder->note().empty()) {
            // A note, not a failure: the drivers and their control go on without it.
            r->body += recorder->note() + "\n";
          }
        }
        server->Answer(w.id, *r);
      }
      answering.clear();
    }
    if (feed) feed->Tick();
    server->Run();
    if (ember) ember_wait = ember->Run(fds, Clock::now());
    open_streams();
    access->Poll();
  }
  xarvel::ServiceNotify_Send("STOPPING=1");
  server.reset();
  return 0;
}

}  // namespace kirn
