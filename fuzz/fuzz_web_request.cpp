// Fuzz target: kirn metrics' request handling behind the HTTP library, its parsing included: a
// request (or several, pipelined) as raw bytes on a connection of a server with the limits of
// kirn metrics and its real handlers: deferred answers made from a reading of the drivers, event
// streams that resume from a Last-Event-ID, history queries answered by the worker from a small
// history file, and the page's files. The framing and Host checks and basic authentication
// (users set once, with a password check that costs nothing instead of bcrypt; failures and
// remembered passwords forgotten before every input) are in front.
//
// Input: byte 0 chooses the checks (bit 0: passwords, bit 1: the Host check, bit 2: the client
// address is IPv6), the rest is what the client sends before it closes its side. Whatever the
// input, every answer on the connection is checked: each starts with an HTTP/1.x status line and
// carries the security headers, its body is as long as it says (or chunked, for a stream), and
// none follows an answer that closes the connection; with passwords nothing is answered 2xx
// unless the right password was checked; without passwords nothing is answered 401; a request
// refused for its Host never reaches a handler.
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/kirn/exposition/metrics_text.h"
#include "tools/kirn/history/history_readers.h"
#include "tools/kirn/history/history_store.h"
#include "tools/kirn/page/event_streams.h"
#include "tools/kirn/page/page.h"
#include "tools/kirn/server/basic_auth.h"
#include "tools/kirn/server/http_server.h"
#include "tools/kirn/survey/driver_survey.h"

namespace {

using RequestId = kirn::HttpServer::RequestId;

bool g_good_password = false;
// Requests that reached a handler: a request answered 421 must never have been one of them.
// Requests on one connection may be pipelined, so it is counted, not flagged.
int g_routed = 0;

kirn::HttpResponse Status(int status) {
  kirn::HttpResponse r;
  r.status = status;
  return r;
}

// Everything the server's handlers need, made once.
struct Site {
  std::unique_ptr<kirn::HttpServer> server;
  kirn::BasicAuthenticator auth{[](const std::string& password, const std::string& hash) {
    const bool good = hash.rfind("$2b$04$", 0) == 0 && password == "secret";
    g_good_password = g_good_password || good;
    return good;
  }};
  std::unique_ptr<kirn::EventStreams> hub;
  std::unique_ptr<kirn::HistoryReaders> history;
  kirn::DriverSurvey survey;
  kirn::Survey reading;
  // Deferred requests answered after the next turn, and streams to open.
  std::vector<std::pair<RequestId, int>> deferred;  // 0 metrics, 1 health, 2 status, N driver
  struct Opening {
    RequestId id;
    kirn::EventScope scope;
    std::optional<uint64_t> after;
  };
  std::vector<Opening> opening;
  std::vector<uint64_t> streams;
};

std::string HistoryFile() {
  char dir[] = "/tmp/fuzz-web-XXXXXX";
  if (::mkdtemp(dir) == nullptr) std::abort();
  const std::string path = std::string(dir) + "/history.db";
  std::string error;
  auto store = kirn::HistoryStore::OpenForWriting(path, &error);
  if (!store || !store->Begin(&error)) std::abort();
  for (int i = 0; i < 64; ++i) {
    kirn::HistoryRow row;
    row.t_ms = 1765000000000 + i * 1000;
    row.kind = i % 16 == 0 ? kirn::HistoryKind::kGap : kirn::HistoryKind::kChange;
    row.driver = 12;
    row.router = 101;
    row.dest = 1 + i % 8;
    row.source = i % 32;
    row.source_name = "CAM " + std::to_string(i);
    row.dest_name = "MON\x01 " + std::to_string(i);
    row.note = "driver 12 in RX only";
    if (!store->Insert(row, &error)) std::abort();
  }
  if (!store->Commit(&error)) std::abort();
  return path;
}

Site& TheSite() {
  static Site* site = [] {
    auto* s = new Site;
    std::string error;
    s->server = kirn::HttpServer::Unbound(kirn::HttpLimits{}, &error);
    if (!s->server) std::abort();
    kirn::HttpServer* server = s->server.get();
    s->hub = std::make_unique<kirn::EventStreams>(
        kirn::EventStreams::Sink{
            [server](uint64_t id, std::string text) { return server->StreamSend(id, text); },
            [server](uint64_t id) { return server->StreamBacklog(id); },
            [server](uint64_t id) { server->StreamClose(id); }},
        1765000000000);
    server->OnStreamGone([s](uint64_t id) { s->hub->Gone(id); });
    for (int i = 0; i < 8; ++i) {
      s->hub->Publish("route", 12, 101,
                      "{\"driver\": 12, \"router\": 101, \"destination\": " + std::to_string(i) +
                          ", \"source\": 5}");
    }
    s->history = std::make_unique<kirn::HistoryReaders>(HistoryFile(), true);
    s->reading.bus = true;
    kirn::DriverReading driver;
    driver.driver = 12;
    driver.up = true;
    s->reading.drivers.push_back(driver);
    s->auth.SetUsers({{"prom", "$2b$04$" + std::string(53, 'p')}});
    auto defer = [s](int what) {
      return [s, what](const kirn::HttpRequest&, RequestId id) {
        ++g_routed;
        s->deferred.emplace_back(id, what);
        return std::optional<kirn::HttpResponse>();
      };
    };
    server->Route("/metrics", defer(0));
    server->Route("/healthz", defer(1));
    server->Route("/api/status", defer(2));
    server->RoutePrefix("/api/driver/", [s](const kirn::HttpRequest& request, RequestId id) {
      ++g_routed;
      kirn::DriverQuery query;
      const int driver = kirn::DriverInPath(request.path, "/api/driver/");
      kirn::HttpResponse r;
      r.status = driver == 0 ? 404 : 400;
      if (driver == 0 || !kirn::ParseDriverQuery(request, &query)) return std::optional(r);
      s->deferred.emplace_back(id, driver);
      return std::optional<kirn::HttpResponse>();
    });
    server->RoutePrefix("/api/history/", [s](const kirn::HttpRequest& request, RequestId id) {
      ++g_routed;
      const int driver = kirn::DriverInPath(request.path, "/api/history/");
      if (driver == 0) return std::optional<kirn::HttpResponse>(Status(404));
      return s->history->Ask(id, request, driver);
    });
    server->Route("/api/events", [s](const kirn::HttpRequest& request, RequestId id) {
      ++g_routed;
      kirn::EventScope scope;
      scope.driver = std::atoi(request.Arg("driver").c_str()) & 0xFFFF;
      s->opening.push_back({id, scope, s->hub->ResumeAfter(request.last_event_id)});
      return std::optional<kirn::HttpResponse>();
    });
    auto page = [](const kirn::HttpRequest& request, RequestId) {
      ++g_routed;
      std::optional<kirn::HttpResponse> r = kirn::PageFile(request.path);
      if (!r) r = Status(404);
      return r;
    };
    server->Route("/", page);
    server->RoutePrefix("/page/", page);
    server->RoutePrefix("/driver/", page);
    server->Route("/xarvel.svg", page);
    return s;
  }();
  return *site;
}

// One turn of the loop: what the server does, then the deferred answers and the streams.
void Turn(Site& s) {
  s.server->Run();
  for (const auto& [id, what] : s.deferred) {
    kirn::HttpResponse r;
    if (what == 0) {
      r.body = kirn::ExpositionText(s.reading);
    } else if (what == 1) {
      const kirn::Health h = kirn::HealthOf(s.reading);
      r.status = h.status;
      r.body = h.text;
    } else if (what == 2) {
      r = kirn::StatusJson(s.reading);
    } else {
      r = kirn::DriverJson(s.reading, what, kirn::DriverQuery{}, s.survey);
    }
    s.server->Answer(id, r);
  }
  s.deferred.clear();
  for (const Site::Opening& o : s.opening) {
    kirn::HttpResponse head;
    head.content_type = "text/event-stream; charset=utf-8";
    const uint64_t stream = s.server->OpenStream(o.id, head);
    if (stream == 0) {
      s.server->Answer(o.id, Status(503));
      continue;
    }
    const std::optional<std::string> snapshot =
        o.after ? std::nullopt : std::optional(kirn::StatusJson(s.reading).body);
    s.hub->Open(stream, o.scope, o.after.value_or(s.hub->last()), snapshot,
                kirn::EventStreams::Clock::now());
    s.streams.push_back(stream);
  }
  s.opening.clear();
  for (auto& [id, answer] : s.history->TakeDone()) s.server->Answer(id, answer);
  s.server->Run();
}

// Every answer in `reply`, one after another: aborts on one that breaks the rules above.
void CheckAnswerList(const std::string& reply, uint8_t flags, int* answers, int* misdirected) {
  size_t at = 0;
  while (at < reply.size()) {
    if (reply.compare(at, 7, "HTTP/1.") != 0 || reply.size() < at + 13 || reply[at + 8] != ' ' ||
        reply[at + 12] != ' ') {
      std::abort();
    }
    const int status = std::atoi(reply.c_str() + at + 9);
    if (status < 100 || status > 599) std::abort();
    const size_t end = reply.find("\r\n\r\n", at);
    if (end == std::string::npos) std::abort();  // a head cut short
    const std::string head = reply.substr(at, end + 2 - at);
    // The library's own refusal of a Content-Length that is not a number repeats its head (a
    // fault of libmicrohttpd 0.9.75, before any handler): the copy is skipped.
    if ((head.compare(0, 13, "HTTP/1.1 400 ") == 0 || head.compare(0, 13, "HTTP/1.1 413 ") == 0) &&
        reply.compare(end + 4, head.size() + 2, head + "\r\n") == 0) {
      at = end + 4;
      continue;
    }
    if (head.find("\r\nX-Content-Type-Options: nosniff\r\n") == std::string::npos) std::abort();
    if (head.find("\r\nContent-Security-Policy: ") == std::string::npos) std::abort();
    if ((flags & 1) != 0 && status / 100 == 2 && !g_good_password) std::abort();
    if ((flags & 1) == 0 && status == 401) std::abort();
    ++*answers;
    if (status == 421) ++*misdirected;
    at = end + 4;
    const bool close = head.find("\r\nConnection: close\r\n") != std::string::npos;
    if (head.find("\r\nTransfer-Encoding: chunked\r\n") != std::string::npos) {
      // A stream's chunks; the harness closes streams, so the last may be cut short.
      if (head.find("text/event-stream") == std::string::npos) std::abort();
      for (;;) {
        const size_t line = reply.find("\r\n", at);
        if (line == std::string::npos) return;
        const size_t size = std::strtoul(reply.c_str() + at, nullptr, 16);
        at = line + 2 + size + 2;
        if (at > reply.size()) return;
        if (size == 0) break;
      }
    } else {
      const size_t length_at = head.find("\r\nContent-Length: ");
      if (length_at == std::string::npos) std::abort();
      const size_t length = std::strtoul(head.c_str() + length_at + 18, nullptr, 10);
      // A HEAD answer has the length of the GET answer and no body: what follows it is the next
      // answer or nothing (no body of ours starts with a status line).
      if (length > 0 && at < reply.size() && reply.compare(at, 7, "HTTP/1.") != 0) at += length;
      if (at > reply.size()) std::abort();
    }
    if (close && at != reply.size()) std::abort();  // nothing after an answer that closes
  }
}

void CheckAnswers(const std::string& reply, uint8_t flags) {
  int answers = 0;
  int misdirected = 0;
  CheckAnswerList(reply, flags, &answers, &misdirected);
  // Each request is answered once, in order: more handled requests than answers other than 421
  // means a request for a host not served reached a handler.
  if (misdirected > 0 && g_routed > answers - misdirected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  Site& s = TheSite();
  s.auth.ForgetFailures(true);
  s.server->Authenticate((flags & 1) != 0 ? &s.auth : nullptr);
  s.server->CheckHost((flags & 2) != 0 ? std::set<std::string>{"desk.example"}
                                       : std::set<std::string>{});
  g_good_password = false;
  g_routed = 0;

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  sockaddr_storage address{};
  socklen_t length = 0;
  if ((flags & 4) != 0) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr.s6_addr[0] = 0x20;
    length = sizeof *in6;
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    in4->sin_addr.s_addr = htonl(0x7F000001);
    length = sizeof *in4;
  }
  if (!s.server->AddConnection(pair[0], reinterpret_cast<sockaddr*>(&address), length)) {
    ::close(pair[1]);
    return 0;
  }
  const std::string request(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t sent = 0;
  std::string reply;
  bool closed = false;
  // Bounded: once the client has closed its side the server answers and closes within a few
  // turns; a stream is closed once it has had a turn to send.
  for (int round = 0; round < 200 && !closed; ++round) {
    if (sent < request.size()) {
      const ssize_t n = ::send(pair[1], request.data() + sent, request.size() - sent,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
    }
    if (sent == request.size()) ::shutdown(pair[1], SHUT_WR);
    pollfd fds[3] = {
        {s.server->fd(), POLLIN, 0}, {pair[1], POLLIN, 0}, {s.history->fd(), POLLIN, 0}};
    // The library may have work left without its descriptor being readable: its time-out says.
    const int due = s.server->TimeoutMs();
    ::poll(fds, 3, round == 0 ? 0 : due >= 0 && due < 2 ? due : 2);
    Turn(s);
    for (const uint64_t stream : s.streams) s.server->StreamClose(stream);
    s.streams.clear();
    char buf[65536];
    for (;;) {
      const ssize_t n = ::recv(pair[1], buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        reply.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) closed = true;
      break;
    }
  }
  ::close(pair[1]);
  // The connection goes before the next input, so that the limits per address hold as they are.
  for (int round = 0; round < 100 && s.server->connections() > 0; ++round) {
    pollfd fds[2] = {{s.server->fd(), POLLIN, 0}, {s.history->fd(), POLLIN, 0}};
    const int due = s.server->TimeoutMs();
    ::poll(fds, 2, due >= 0 && due < 2 ? due : 2);
    Turn(s);
  }
  if (s.server->connections() > 0) std::abort();
  CheckAnswers(reply, flags);
  return 0;
}
