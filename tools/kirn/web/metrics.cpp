// kirn metrics: the workstation's HTTP server for monitoring. One thread: the HTTP server and the
// survey of the drivers both run from one poll loop, and a request that needs the drivers waits
// (its connection suspended) while the loop goes on serving every other connection.
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "core/service_notify.h"
#include "tools/kirn/common/tool_client.h"
#include "tools/kirn/web/driver_survey.h"
#include "tools/kirn/web/http_server.h"
#include "tools/kirn/web/metrics_text.h"
#include "tools/kirn/web/page.h"
#include "tools/kirn/web/web_commands.h"

namespace kirn {

const char kMetricsHelp[] =
    "usage: kirn metrics [--listen ADDR:PORT]\n"
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
    "It learns the drivers from the interface's registrations and remembers every driver\n"
    "it has heard from. At each request it asks all of them at once, under one deadline of\n"
    "1 s: a driver that does not answer in time, or has gone, shows as xarvel_up 0 and\n"
    "holds up nothing else. Requests that come while the drivers are being asked wait for\n"
    "the next round; rounds start at most ten times a second.\n"
    "  --listen ADDR:PORT  where to serve (default 127.0.0.1:9436): a numeric IPv4 address\n"
    "                      or a bracketed IPv6 one; port 0 picks a free port. Only the\n"
    "                      loopback address unless another one is given.\n"
    "Names of sources and destinations are the interface's name look-ups, read a few at a\n"
    "time and kept for a minute; the drivers are only ever asked for their counters, status\n"
    "panel and router tables, and nothing a request says reaches them beyond which.\n"
    "Only GET and HEAD are served (others: 405); an unknown path gets 404; a malformed\n"
    "request, one with a body or a target over 1024 bytes 400, one whose request line or\n"
    "headers outgrow 16 KiB 414 or 431; a line that is not HTTP at all is closed unanswered.\n"
    "At most 64 connections, 32 from one address; one that has not sent a whole request\n"
    "head 5 s after connecting (or after its last answer) is closed.\n"
    "Prints 'listening http://ADDR:PORT' once it serves; without a bus it serves all the\n"
    "same (xarvel_exporter_bus_up 0) and connects once there is one. Ends on SIGTERM or\n"
    "SIGINT (exit 0). Exit 1 when it cannot listen on the address, 2 on a usage error.\n";

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDefaultListen = "127.0.0.1:9436";
// Rounds of asking every driver start at most this often, however many requests come.
constexpr auto kRoundSpacing = std::chrono::milliseconds(100);
// The loop wakes at least this often (a stop signal that came just before a wait).
constexpr int kMaxWaitMs = 200;

enum class Want { kMetrics, kHealth, kStatusJson, kDriverJson };

struct Waiting {
  HttpServer::RequestId id;
  Want want;
  int driver = 0;  // kDriverJson
  DriverQuery query;
};

HttpResponse Answer(Want want, const Survey& survey) {
  HttpResponse r;
  if (want == Want::kMetrics) {
    r.content_type = kExpositionType;
    r.body = ExpositionText(survey);
  } else if (want == Want::kHealth) {
    const Health h = HealthOf(survey);
    r.status = h.status;
    r.body = h.text;
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
  }
  return wants;
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
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--listen") {
      if (i + 1 >= args.size()) return UsageError("metrics", "--listen needs ADDR:PORT");
      listen = args[++i];
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
  std::unique_ptr<HttpServer> server = HttpServer::Listen(listen, HttpLimits{}, &error);
  if (!server) return Failure("metrics", error);

  std::vector<Waiting> waiting;    // for the next round
  std::vector<Waiting> answering;  // for the round that runs
  auto defer = [&waiting](Want want) {
    return [&waiting, want](const HttpRequest&, HttpServer::RequestId id) {
      waiting.push_back(Waiting{id, want, 0, {}});
      return std::optional<HttpResponse>();
    };
  };
  server->Route("/metrics", defer(Want::kMetrics));
  server->Route("/healthz", defer(Want::kHealth));
  server->Route("/api/status", defer(Want::kStatusJson));
  server->RoutePrefix(
      "/api/driver/", [&waiting](const HttpRequest& request, HttpServer::RequestId id) {
        Waiting w{id, Want::kDriverJson, DriverInPath(request.path, "/api/driver/"), {}};
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
  server->Route("/", page);
  server->RoutePrefix("/page/", page);
  server->RoutePrefix("/driver/", page);
  server->Route("/xarvel.svg", page);

  InstallStopSignals();
  DriverSurvey survey;
  // A first round at once learns the drivers before the first request.
  survey.Start();
  Clock::time_point last_round = Clock::now();

  std::printf("listening http://%s\n", server->address().c_str());
  std::fflush(stdout);
  xarvel::ServiceNotify_Send("READY=1\nSTATUS=serving http://" + server->address());

  while (!StopRequested()) {
    const auto now = Clock::now();
    if (!survey.running() && !waiting.empty() && now - last_round >= kRoundSpacing) {
      answering.swap(waiting);
      survey.Start(WantsOf(answering));
      last_round = now;
    }
    int wait = kMaxWaitMs;
    auto sooner = [&wait](int ms) {
      if (ms >= 0) wait = std::min(wait, ms);
    };
    sooner(server->TimeoutMs());
    sooner(survey.MsUntilDeadline());
    if (!survey.running() && !waiting.empty()) {
      sooner(static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(last_round + kRoundSpacing - now)
              .count()));
    }
    pollfd fds[2] = {{server->fd(), POLLIN, 0}, {survey.fd(), POLLIN, 0}};
    ::poll(fds, 2, std::max(wait, 0));
    if (survey.Poll()) {
      const Survey s = survey.Take();
      // Each kind of answer is made once for every request of the round.
      std::optional<HttpResponse> made[3];
      for (const Waiting& w : answering) {
        if (w.want == Want::kDriverJson) {
          server->Answer(w.id, DriverJson(s, w.driver, w.query, survey));
          continue;
        }
        std::optional<HttpResponse>& r = made[static_cast<int>(w.want)];
        if (!r) r = Answer(w.want, s);
        server->Answer(w.id, *r);
      }
      answering.clear();
    }
    server->Run();
  }
  xarvel::ServiceNotify_Send("STOPPING=1");
  server.reset();
  return 0;
}

}  // namespace kirn
