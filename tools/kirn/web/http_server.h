// A small HTTP server for the kirn tools, on GNU libmicrohttpd, run from the caller's own loop
// on the caller's thread: nothing here starts a thread, so a handler may use the workstation bus
// (whose client is main-thread only) and needs no lock.
//
// The library parses every request and keeps the bounds: a number of connections in all and per
// client address, an idle time-out for a connection that sends nothing, and a memory pool per
// connection that holds the request line and headers (a request that outgrows it is answered
// 414 or 431 by the library). The server adds a deadline for the request head: a connection
// that has not sent a whole request line and headers within head_timeout_s of connecting, or
// of its previous answer, is closed however slowly it trickles bytes in. Before a handler
// sees a request the server answers on its own: 405 (with Allow) for a method other than GET or
// HEAD, 400 for a request with a body or a request target longer than max_target, 404 for a path
// no route takes. Every answer carries headers for an API that no browser should frame, sniff or
// keep (see kSecurityHeaders). A HEAD request gets the headers of the GET answer without its body.
//
// A handler answers at once or later: returning nothing defers the answer, and the connection
// waits (suspended, costing no time of the loop and never timing out meanwhile) until Answer()
// gives it. Other connections go on being served in the meantime.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace kirn {

struct HttpLimits {
  unsigned connections = 64;     // open connections in all; more are closed at once
  unsigned per_address = 32;     // open connections from one client address
  unsigned idle_timeout_s = 10;  // a connection that sends nothing for this long is closed
  unsigned head_timeout_s = 5;   // the time a connection has for a whole request head
  size_t memory_per_connection = 16 * 1024;  // request line, headers and buffers of one
  size_t max_target = 1024;                  // longest request target (path and query) taken
};

struct HttpRequest {
  bool head = false;  // HEAD rather than GET
  std::string path;   // the path without its query, as decoded by the library
  // The query's arguments as decoded by the library (the first of a repeated name; an argument
  // without '=' has an empty value).
  std::map<std::string, std::string> args;
  // The value of argument `name`, or `absent`.
  std::string Arg(const std::string& name, const std::string& absent = "") const {
    auto it = args.find(name);
    return it == args.end() ? absent : it->second;
  }
};

struct HttpResponse {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
  // Extra headers; one named like a default header (kSecurityHeaders) replaces it.
  std::vector<std::pair<std::string, std::string>> headers;
};

// Headers of every answer unless a response replaces them.
inline constexpr std::pair<const char*, const char*> kSecurityHeaders[] = {
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Content-Security-Policy", "default-src 'none'; frame-ancestors 'none'"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};

// An address to listen on: "ADDR:PORT" with a numeric IPv4 address or a bracketed IPv6 one
// ("[::1]:9436"); PORT 0..65535 (0: any free port). No names are looked up. False (and `error`
// set) when the text is not such an address.
bool ParseListenAddress(const std::string& text, sockaddr_storage* address, socklen_t* length,
                        std::string* error);

class HttpServer {
 public:
  using RequestId = uint64_t;
  // Returns the answer, or nothing to give it later with Answer(id, ...).
  using Handler = std::function<std::optional<HttpResponse>(const HttpRequest&, RequestId id)>;

  // Listens on `address` (see ParseListenAddress). Nullptr and `error` set when it cannot.
  static std::unique_ptr<HttpServer> Listen(const std::string& address, const HttpLimits& limits,
                                            std::string* error);
  // Answers every deferred request 503 and closes every connection.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Requests for exactly `path` go to `handler`.
  void Route(const std::string& path, Handler handler);
  // Requests for a path that starts with `prefix` (and is longer) go to `handler`, unless an
  // exact route takes them; the longest prefix wins.
  void RoutePrefix(const std::string& prefix, Handler handler);

  // Gives a deferred request its answer. Nothing happens for a request already answered or
  // whose connection has gone.
  void Answer(RequestId id, HttpResponse response);
  // The deferred requests not answered yet.
  size_t deferred() const { return deferred_.size(); }

  // The descriptor to wait on for reading: when it is readable, or TimeoutMs() has passed, call
  // Run().
  int fd() const;
  // Milliseconds until Run() is due even without activity; -1 when only activity makes it due.
  int TimeoutMs();
  // Does what is due: accepts, reads, answers, closes timed-out connections. Never blocks.
  void Run();

  // The port listened on (the one chosen, for port 0) and the address as "ADDR:PORT".
  uint16_t port() const { return port_; }
  const std::string& address() const { return address_text_; }

 private:
  struct Context;
  struct Peer;
  // The library's callbacks (http_server.cpp).
  friend struct HttpCallbacks;
  HttpServer() = default;

  // One call of the library's request callback; true to go on with the connection.
  bool Dispatch(MHD_Connection* connection, const char* url, const char* method,
                size_t* upload_data_size, Context** context);
  // The request of `context` has ended (answered, or its connection closed).
  void Completed(MHD_Connection* connection, Context* context);
  // Closes the connections whose request head is overdue; the milliseconds until the next one
  // is due, or -1.
  int CloseOverdue();
  const Handler* Find(const std::string& path) const;

  MHD_Daemon* daemon_ = nullptr;
  HttpLimits limits_;
  uint16_t port_ = 0;
  std::string address_text_;
  std::map<std::string, Handler> exact_;
  std::map<std::string, Handler> prefixes_;
  RequestId next_id_ = 1;
  // Suspended connections by the id of their deferred request.
  std::map<RequestId, std::pair<MHD_Connection*, Context*>> deferred_;
  // Every open connection.
  std::map<MHD_Connection*, std::unique_ptr<Peer>> peers_;
};

}  // namespace kirn
