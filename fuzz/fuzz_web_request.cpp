// Fuzz target: kirn metrics' request handling, the HTTP library's parsing included: a request
// as raw bytes on a connection of a server with the routes of kirn metrics, the framing and Host
// checks and basic authentication (with a password check that costs nothing instead of bcrypt).
//
// Input: byte 0 chooses the checks (bit 0: passwords, bit 1: the Host check, bit 2: the client
// address is IPv6), the rest is what the client sends before it closes its side. Whatever the
// input: the answer is empty or starts with an HTTP/1.x status line; with passwords nothing is
// answered 200 unless the right password was checked; a request refused for its Host never
// reaches a route.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "tools/kirn/page/page.h"
#include "tools/kirn/server/basic_auth.h"
#include "tools/kirn/server/http_server.h"

namespace {

bool g_good_password = false;
bool g_routed = false;

kirn::HttpServer* Server() {
  static std::unique_ptr<kirn::HttpServer> server = [] {
    std::string error;
    kirn::HttpLimits limits;
    // One client sends every input; its closed connections may linger a round.
    limits.per_address = 1000;
    auto s = kirn::HttpServer::Unbound(limits, &error);
    if (!s) std::abort();
    auto answer = [](const kirn::HttpRequest&, kirn::HttpServer::RequestId) {
      g_routed = true;
      kirn::HttpResponse r;
      r.body = "ok\n";
      return std::optional<kirn::HttpResponse>(r);
    };
    s->Route("/metrics", answer);
    s->Route("/healthz", answer);
    s->Route("/api/status", answer);
    s->RoutePrefix(
        "/api/driver/", [](const kirn::HttpRequest& request, kirn::HttpServer::RequestId) {
          g_routed = true;
          kirn::HttpResponse r;
          kirn::DriverQuery query;
          const int driver = kirn::DriverInPath(request.path, "/api/driver/");
          r.status = driver == 0 ? 404 : kirn::ParseDriverQuery(request, &query) ? 200 : 400;
          return std::optional<kirn::HttpResponse>(r);
        });
    return s;
  }();
  return server.get();
}

kirn::BasicAuthenticator* Auth() {
  static kirn::BasicAuthenticator auth([](const std::string& password, const std::string& hash) {
    const bool good = hash == "$2b$04$fuzz" && password == "secret";
    g_good_password = g_good_password || good;
    return good;
  });
  return &auth;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  kirn::HttpServer* server = Server();
  kirn::BasicAuthenticator* auth = Auth();
  // A fresh configuration for every input: nothing remembered from the one before.
  auth->SetUsers({{"prom", "$2b$04$fuzz"}});
  server->Authenticate((flags & 1) != 0 ? auth : nullptr);
  server->CheckHost((flags & 2) != 0 ? std::set<std::string>{"desk.example"}
                                     : std::set<std::string>{});
  g_good_password = false;
  g_routed = false;

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
  if (!server->AddConnection(pair[0], reinterpret_cast<sockaddr*>(&address), length)) {
    ::close(pair[1]);
    return 0;
  }
  const std::string request(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t sent = 0;
  std::string reply;
  bool closed = false;
  // Bounded: the library answers or closes within a few rounds once the client has closed its
  // side; a request line cut off by the end of the input waits for more, and is cut here.
  int idle = 0;
  for (int round = 0; round < 400 && idle < 20 && !closed; ++round) {
    if (sent < request.size()) {
      const ssize_t n = ::send(pair[1], request.data() + sent, request.size() - sent,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
      if (sent == request.size()) ::shutdown(pair[1], SHUT_WR);
    } else if (round == 0) {
      ::shutdown(pair[1], SHUT_WR);
    }
    pollfd fds[2] = {{server->fd(), POLLIN, 0}, {pair[1], POLLIN, 0}};
    ::poll(fds, 2, 1);
    server->Run();
    char buf[65536];
    const size_t before = reply.size();
    for (;;) {
      const ssize_t n = ::recv(pair[1], buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        reply.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) closed = true;
      break;
    }
    idle = reply.size() == before && sent == request.size() ? idle + 1 : 0;
  }
  if (!closed) {
    // The server's end is shut, as its deadline for a request head would: the library closes it.
    ::shutdown(pair[0], SHUT_RDWR);
  }
  ::close(pair[1]);
  // Whatever is left of the connection goes with the next rounds.
  server->Run();

  if (!reply.empty() && reply.compare(0, 7, "HTTP/1.") != 0) std::abort();
  // A foreign Host is answered 421 and the connection closed: no route saw anything.
  if (reply.compare(0, 13, "HTTP/1.1 421 ") == 0 && g_routed) std::abort();
  if ((flags & 1) != 0 && reply.find(" 200 ") != std::string::npos &&
      reply.find(" 200 ") < reply.find("\r\n") && !g_good_password) {
    std::abort();
  }
  return 0;
}
