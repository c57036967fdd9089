// One run of kirn metrics: the rooms wired together (the survey of the drivers, the exposition,
// the page and its event streams, the history) on the server, and the loop that serves them.
// One thread: the HTTP server and the survey both run from one poll loop, and a request that
// needs the drivers waits (its connection suspended) while the loop goes on serving every other
// connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/kirn/ember/ember_service.h"
#include "tools/kirn/history/history_feed.h"
#include "tools/kirn/history/history_readers.h"
#include "tools/kirn/history/history_recorder.h"
#include "tools/kirn/history/history_store.h"
#include "tools/kirn/page/event_feed.h"
#include "tools/kirn/page/event_streams.h"
#include "tools/kirn/page/page.h"
#include "tools/kirn/server/http_server.h"
#include "tools/kirn/server/web_access.h"
#include "tools/kirn/survey/driver_survey.h"

namespace kirn {

// What the command line of kirn metrics says.
struct MetricsOptions {
  std::string listen = "127.0.0.1:9436";
  std::vector<std::string> allowed_hosts;
  std::string web_config;
  HistoryOptions history;
  bool record = true;         // --no-history: false
  ember::EmberOptions ember;  // no address: no Ember+
};

class MetricsRun {
 public:
  // Routes every path of kirn metrics on `server`, which is destroyed before this run (its
  // deferred requests answered 503, its streams gone). `warning` heads the /healthz answer.
  MetricsRun(HttpServer& server, const MetricsOptions& options, std::string warning);
  MetricsRun(const MetricsRun&) = delete;
  MetricsRun& operator=(const MetricsRun&) = delete;

  // Serves Ember+ as `options` say (nothing when they name no address), on the same survey.
  // REQUIRES: before Start(). False with `error` set when an address cannot be served.
  bool ServeEmber(const ember::EmberOptions& options, std::string* error);
  // Where Ember+ is served, as bound.
  std::vector<std::string> ember_addresses() const;
  // Shows the web configuration's state in /healthz and /metrics (`access` outlives this run).
  void ShowWebAccess(const WebAccess* access) { access_ = access; }
  // A first round at once: learns the drivers before the first request.
  void Start();
  // One turn of the loop: starts a round of asking the drivers when one is due, waits for the
  // server, the bus or the next thing due, answers the requests of a round that has ended, and
  // serves.
  void Turn();

 private:
  using Clock = std::chrono::steady_clock;
  using RequestId = HttpServer::RequestId;
  using Handler = std::optional<HttpResponse> (MetricsRun::*)(const HttpRequest&, RequestId);
  struct Route {
    const char* path;
    bool prefix;  // every path that starts so (and is longer)
    Handler handler;
  };
  static const Route kRoutes[];

  // What a request that waits for a round wants of it.
  enum class Want { kMetrics, kHealth, kStatusJson, kDriverJson, kEvents };
  struct Waiting {
    RequestId id;
    Want want;
    int driver = 0;  // kDriverJson, kEvents (0: every driver)
    DriverQuery query;
    uint64_t after = 0;  // kEvents: the last event before the request
    EventScope scope;    // kEvents; `id` is then the stream's
  };
  // A stream to open once its request is deferred: its scope, the event it follows and whether
  // it starts with a snapshot (from the next survey) rather than resuming.
  struct Opening {
    RequestId id;
    EventScope scope;
    uint64_t after = 0;
    bool snapshot = false;
  };

  // The routes, one handler a path.
  std::optional<HttpResponse> Metrics(const HttpRequest& request, RequestId id);
  std::optional<HttpResponse> Healthz(const HttpRequest& request, RequestId id);
  std::optional<HttpResponse> StatusApi(const HttpRequest& request, RequestId id);
  std::optional<HttpResponse> DriverApi(const HttpRequest& request, RequestId id);
  std::optional<HttpResponse> HistoryRoute(const HttpRequest& request, RequestId id);
  std::optional<HttpResponse> Events(const HttpRequest& request, RequestId id);
  std::optional<HttpResponse> PageFiles(const HttpRequest& request, RequestId id);
  // Defers the request to the next round.
  std::optional<HttpResponse> Defer(Want want, RequestId id);

  // Starts a round for the requests that wait, the event streams or the history, when one is
  // due.
  void StartRoundIfDue(Clock::time_point now);
  // The milliseconds the loop may wait for the server or the bus.
  int WaitMs(Clock::time_point now);
  // How long after the last round the next starts unasked (the streams' and the history's
  // rounds); zero when none does.
  Clock::duration RoundPeriod() const;
  // Answers the requests of the round that has ended with survey `s`.
  void AnswerRound(const Survey& s);
  // The answer of `want` made from one survey, for every request of the round that wants it.
  HttpResponse Made(Want want, const Survey& s);
  // Opens the streams whose requests came in this turn.
  void OpenStreams();

  HttpServer& server_;
  const std::string warning_;
  const WebAccess* access_ = nullptr;
  const bool record_;
  DriverSurvey survey_;
  std::unique_ptr<HistoryRecorder> recorder_;
  std::unique_ptr<HistoryFeed> feed_;
  // The history's readers (/api/history): queries on a worker of their own.
  HistoryReaders readers_;
  std::vector<Waiting> waiting_;    // for the next round
  std::vector<Waiting> answering_;  // for the round that runs
  std::vector<Opening> opening_;
  // The event streams, and what they carry as it comes.
  EventStreams hub_;
  EventFeed events_;
  int64_t round_asked_ms_ = 0;
  Clock::time_point last_round_{};
  // A registration came or went since the last round: the next starts at once.
  bool registrations_changed_ = false;
  // The Ember+ provider, when served, and the milliseconds until its next take's deadline.
  std::unique_ptr<ember::EmberService> ember_;
  int ember_wait_ = -1;
};

}  // namespace kirn
