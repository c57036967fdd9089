#include "tools/kirn/metrics/metrics_run.h"

#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "tools/kirn/exposition/metrics_text.h"
#include "tools/kirn/history/history_query.h"

namespace kirn {
namespace {

using Clock = std::chrono::steady_clock;

// Rounds of asking every driver start at most this often, however many requests come.
constexpr auto kRoundSpacing = std::chrono::milliseconds(100);
// The loop wakes at least this often (a stop signal that came just before a wait).
constexpr int kMaxWaitMs = 200;
// While event streams are open and some driver's changes are not announced (an older driver or
// interface), the drivers are asked this often for what the revertives do not tell (link and
// mode changes).
constexpr auto kStreamRound = std::chrono::milliseconds(500);
// With the history on and some changes not announced, a round starts at least this often: it
// notices drivers that go, come or change mode.
constexpr auto kHistoryRoundSpacing = std::chrono::seconds(2);
// While every change is announced (the interface relays the registrations, every driver sends
// its link news), the streams and the history still have a round this often, as a safety net
// for what no one announces: a driver that hangs with its window still there shows as not
// answering within this time, and a subscription a driver dropped (a news it could not
// deliver in time) is made again. 10 s is within the 15 s a Prometheus scrape is usually
// spaced by, and a round of a dozen drivers once in 10 s costs next to nothing.
constexpr auto kSafetyRound = std::chrono::seconds(10);
// Router tables a round reads for the history's re-bases at most, and only in a round that no
// request waits for: a full workstation's re-base (hundreds of routers of 4096 destinations)
// read in one round held every scrape behind it for seconds.
constexpr size_t kHistoryTablesPerRound = 4;

// The head of an event stream's answer.
HttpResponse EventHead() {
  HttpResponse r;
  r.content_type = "text/event-stream; charset=utf-8";
  r.headers.emplace_back("X-Accel-Buffering", "no");
  return r;
}

HttpResponse Plain(int status, const std::string& text) {
  HttpResponse r;
  r.status = status;
  r.body = text + "\n";
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

// The names of sources and destinations read from the interface, and those still to read.
std::string NameFigures(const DriverSurvey& survey) {
  return "# HELP xarvel_exporter_names_read_total Names of sources and destinations read from "
         "the interface.\n"
         "# TYPE xarvel_exporter_names_read_total counter\n"
         "xarvel_exporter_names_read_total " +
         std::to_string(survey.names_read()) +
         "\n# HELP xarvel_exporter_names_pending Names waiting to be read from the interface.\n"
         "# TYPE xarvel_exporter_names_pending gauge\n"
         "xarvel_exporter_names_pending " +
         std::to_string(survey.names_pending()) + "\n";
}

int MsUntil(Clock::time_point t, Clock::time_point now) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count());
}

}  // namespace

const MetricsRun::Route MetricsRun::kRoutes[] = {
    {"/metrics", false, &MetricsRun::Metrics},
    {"/healthz", false, &MetricsRun::Healthz},
    {"/api/status", false, &MetricsRun::StatusApi},
    {"/api/driver/", true, &MetricsRun::DriverApi},
    {"/api/history/", true, &MetricsRun::HistoryRoute},
    {"/api/events", false, &MetricsRun::Events},
    // The page's files; a path that is none of them is not found.
    {"/", false, &MetricsRun::PageFiles},
    {"/page/", true, &MetricsRun::PageFiles},
    {"/driver/", true, &MetricsRun::PageFiles},
    {"/xarvel.svg", false, &MetricsRun::PageFiles},
};

MetricsRun::MetricsRun(HttpServer& server, const MetricsOptions& options, std::string warning)
    : server_(server),
      warning_(std::move(warning)),
      record_(options.record),
      readers_(options.history.path, options.record),
      hub_(EventStreams::Sink{[this](uint64_t stream, std::string text) {
                                return server_.StreamSend(stream, std::move(text));
                              },
                              [this](uint64_t stream) { return server_.StreamBacklog(stream); },
                              [this](uint64_t stream) { server_.StreamClose(stream); }},
           static_cast<uint64_t>(NowMs())),
      events_(hub_) {
  if (record_) {
    recorder_ = std::make_unique<HistoryRecorder>(options.history);
    feed_ = std::make_unique<HistoryFeed>(*recorder_, survey_);
    feed_->Attach();
  }
  events_.Attach(survey_);
  server_.OnStreamGone([this](uint64_t stream) { hub_.Gone(stream); });
  for (const Route& route : kRoutes) {
    HttpServer::Handler handler = [this, h = route.handler](const HttpRequest& request,
                                                            RequestId id) {
      return (this->*h)(request, id);
    };
    if (route.prefix) {
      server_.RoutePrefix(route.path, std::move(handler));
    } else {
      server_.Route(route.path, std::move(handler));
    }
  }
}

std::optional<HttpResponse> MetricsRun::Defer(Want want, RequestId id) {
  waiting_.push_back(Waiting{id, want, 0, {}, 0, {}});
  return std::nullopt;
}

std::optional<HttpResponse> MetricsRun::Metrics(const HttpRequest&, RequestId id) {
  return Defer(Want::kMetrics, id);
}

std::optional<HttpResponse> MetricsRun::Healthz(const HttpRequest&, RequestId id) {
  return Defer(Want::kHealth, id);
}

std::optional<HttpResponse> MetricsRun::StatusApi(const HttpRequest&, RequestId id) {
  return Defer(Want::kStatusJson, id);
}

std::optional<HttpResponse> MetricsRun::DriverApi(const HttpRequest& request, RequestId id) {
  Waiting w{id, Want::kDriverJson, DriverInPath(request.path, "/api/driver/"), {}, 0, {}};
  if (w.driver == 0) return Plain(404, "not found");
  if (!ParseDriverQuery(request, &w.query)) return Plain(400, "router and names take a number");
  waiting_.push_back(w);
  return std::nullopt;
}

std::optional<HttpResponse> MetricsRun::HistoryRoute(const HttpRequest& request, RequestId id) {
  const int driver = DriverInPath(request.path, "/api/history/");
  if (driver == 0) return Plain(404, "not found");
  return readers_.Ask(id, request, driver);
}

std::optional<HttpResponse> MetricsRun::Events(const HttpRequest& request, RequestId id) {
  EventScope scope;
  if (!NumberArg(request, "driver", 65535, &scope.driver) ||
      !NumberArg(request, "router", 999, &scope.router)) {
    return Plain(400, "driver and router take a number");
  }
  if (request.head) return EventHead();
  std::optional<uint64_t> after = hub_.ResumeAfter(request.last_event_id);
  opening_.push_back(Opening{id, scope, after.value_or(hub_.last()), !after.has_value()});
  return std::nullopt;
}

std::optional<HttpResponse> MetricsRun::PageFiles(const HttpRequest& request, RequestId) {
  std::optional<HttpResponse> r = PageFile(request.path);
  if (!r) r = Plain(404, "not found");
  return r;
}

bool MetricsRun::ServeEmber(const ember::EmberOptions& options, std::string* error) {
  if (options.listen.empty()) return true;
  ember_ = ember::EmberService::Start(options, survey_, error);
  return ember_ != nullptr;
}

std::vector<std::string> MetricsRun::ember_addresses() const {
  return ember_ ? ember_->addresses() : std::vector<std::string>{};
}

void MetricsRun::Start() {
  round_asked_ms_ = NowMs();
  SurveyWants wants;
  if (ember_) {
    ember_->Want(&wants);
    ember_->RoundStarted();
  }
  survey_.Start(wants);
  last_round_ = Clock::now();
}

Clock::duration MetricsRun::RoundPeriod() const {
  const bool streaming = hub_.open() > 0;
  if (!streaming && !feed_) return Clock::duration::zero();
  if (survey_.announced()) return kSafetyRound;
  return streaming ? Clock::duration(kStreamRound) : Clock::duration(kHistoryRoundSpacing);
}

void MetricsRun::StartRoundIfDue(Clock::time_point now) {
  if (survey_.TakeRegistrationsChanged()) registrations_changed_ = true;
  const Clock::duration period = RoundPeriod();
  const bool periodic = period != Clock::duration::zero() && now - last_round_ >= period;
  // A re-base of the history wants its tables read.
  const bool history_round = feed_ && feed_->wants_round();
  // Ember+ wants one for the drivers' status now and then, and for the tables it reads.
  const bool ember_round = ember_ && ember_->wants_round(now);
  if (survey_.running() ||
      (waiting_.empty() && !history_round && !periodic && !registrations_changed_ &&
       !ember_round) ||
      now - last_round_ < kRoundSpacing) {
    return;
  }
  registrations_changed_ = false;
  answering_.swap(waiting_);
  // What the round must read for the requests that wait for it.
  SurveyWants wants;
  // The safety net's round also subscribes again to the link news of every driver that
  // answers (a subscription a driver dropped is made again).
  wants.subscribe_again = periodic;
  for (const Waiting& w : answering_) {
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
  if (feed_ && answering_.empty()) {
    size_t tables = 0;
    for (const auto& [driver, routers] : feed_->Wanted()) {
      for (const int router : routers) {
        if (tables == kHistoryTablesPerRound) break;
        wants.tables[driver].insert(router);
        ++tables;
      }
    }
  }
  if (ember_) {
    ember_->Want(&wants);
    ember_->RoundStarted();
  }
  round_asked_ms_ = NowMs();
  survey_.Start(wants);
  last_round_ = now;
}

int MetricsRun::WaitMs(Clock::time_point now) {
  int wait = kMaxWaitMs;
  auto sooner = [&wait](int ms) {
    if (ms >= 0) wait = std::min(wait, ms);
  };
  sooner(server_.TimeoutMs());
  sooner(survey_.MsUntilDeadline());
  sooner(hub_.Tick(now));
  sooner(ember_wait_);
  if (!survey_.running()) {
    if (const Clock::duration period = RoundPeriod(); period != Clock::duration::zero()) {
      sooner(MsUntil(last_round_ + period, now));
    }
    if (!waiting_.empty() || registrations_changed_ || (feed_ && feed_->wants_round()) || ember_) {
      sooner(MsUntil(last_round_ + kRoundSpacing, now));
    }
  }
  return std::max(wait, 0);
}

HttpResponse MetricsRun::Made(Want want, const Survey& s) {
  HttpResponse r;
  if (want == Want::kMetrics) {
    r.content_type = kExpositionType;
    r.body = ExpositionText(s) + StreamFigures(hub_) + NameFigures(survey_);
    if (recorder_) r.body += HistoryFigures(*recorder_);
    if (access_) r.body += access_->Figures();
  } else if (want == Want::kHealth) {
    const Health h = HealthOf(s);
    r.status = h.status;
    r.body = warning_ + h.text;
    // A note, not a failure: the drivers and their control go on without it.
    if (recorder_ && !recorder_->note().empty()) r.body += recorder_->note() + "\n";
    // A refused web configuration is a note too: the last good one serves on.
    if (access_ && !access_->note().empty()) r.body += access_->note() + "\n";
  } else {
    r = StatusJson(s);
  }
  return r;
}

void MetricsRun::AnswerRound(const Survey& s) {
  // Each kind of answer is made once for every request of the round.
  std::optional<HttpResponse> made[3];
  for (const Waiting& w : answering_) {
    if (w.want == Want::kEvents) {
      // An unknown driver's snapshot is the error the JSON gives.
      const HttpResponse r =
          w.driver != 0 ? DriverJson(s, w.driver, w.query, survey_) : StatusJson(s);
      hub_.Open(w.id, w.scope, w.after, r.body, Clock::now());
    } else if (w.want == Want::kDriverJson) {
      server_.Answer(w.id, DriverJson(s, w.driver, w.query, survey_));
    } else {
      std::optional<HttpResponse>& r = made[static_cast<int>(w.want)];
      if (!r) r = Made(w.want, s);
      server_.Answer(w.id, *r);
    }
  }
  answering_.clear();
}

void MetricsRun::OpenStreams() {
  for (Opening& o : opening_) {
    const HttpServer::StreamId stream = server_.OpenStream(o.id, EventHead());
    if (stream == 0) {
      HttpResponse r =
          Plain(503, "too many event streams: read /api/status or /api/driver/N instead");
      r.headers.emplace_back("Retry-After", "10");
      server_.Answer(o.id, r);
      continue;
    }
    if (o.snapshot) {
      // Open at once (the head goes out, and it counts as a stream); its events start with the
      // snapshot of the next survey.
      Waiting w{stream, Want::kEvents, o.scope.driver, {}, o.after, o.scope};
      w.query.router = o.scope.router;
      waiting_.push_back(w);
    } else {
      hub_.Open(stream, o.scope, o.after, std::nullopt, Clock::now());
    }
  }
  opening_.clear();
}

void MetricsRun::Turn() {
  const auto now = Clock::now();
  StartRoundIfDue(now);
  std::vector<pollfd> fds = {
      {server_.fd(), POLLIN, 0}, {survey_.fd(), POLLIN, 0}, {readers_.fd(), POLLIN, 0}};
  if (ember_) ember_->PollFds(&fds);
  ::poll(fds.data(), fds.size(), WaitMs(now));
  if (fds[2].revents & POLLIN) {
    for (auto& [id, answer] : readers_.TakeDone()) server_.Answer(id, std::move(answer));
  }
  if (survey_.Poll()) {
    const Survey s = survey_.Take();
    if (ember_) ember_->Surveyed(s, Clock::now());
    events_.Surveyed(s);
    if (feed_) feed_->Surveyed(s, round_asked_ms_);
    AnswerRound(s);
  }
  if (feed_) feed_->Tick();
  server_.Run();
  OpenStreams();
  if (ember_) ember_wait_ = ember_->Run(fds, Clock::now());
}

}  // namespace kirn
