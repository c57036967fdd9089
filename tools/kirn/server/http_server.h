// A small HTTP server for the kirn tools, on GNU libmicrohttpd, run from the caller's own loop
// on the caller's thread: nothing here starts a thread, so a handler may use the workstation bus
// (whose client is main-thread only) and needs no lock.
//
// The library parses every request and keeps the bounds: a number of connections in all, an idle
// time-out for a connection that sends nothing, and a memory pool per connection that holds the
// request line and headers. The server adds its own slots: ordinary connections in all and per
// client (an IPv4 address, or an IPv6 /64, which one host usually holds whole), and among them
// fewer for connections still in their TLS handshake or request head from an address that has
// not been let through lately, so that peers that trickle bytes in cannot take the last slot
// from a known client (HttpLimits). A connection that has not sent a whole request line and
// headers within head_timeout_s of connecting, or of its previous answer, is closed however
// slowly it trickles bytes in. Before a handler sees a request the server answers on its own,
// in this order: 400 (and the connection closed) for loose framing (two Content-Length or Host
// headers, a Content-Length that is not plain digits, a CR that does not end a line), 421 for a
// Host that the host check does not take, 401, 429 or 503 from the authenticator, 405 (with
// Allow) for a method other than GET or HEAD, 400 for a request with a body or a request target
// longer than max_target, 404 for a path no route takes. The library's own refusals (no Host in
// HTTP/1.1, a request line or headers too long, an HTTP version it does not speak) are answered
// by the server too, as plain text with the same headers: the library offers no hook for them,
// so the server takes its calls of MHD_queue_response (see http_server.cpp). Every answer
// carries headers for an API that no browser should frame, sniff or keep (see
// kSecurityHeaders). A HEAD request gets the headers of the GET answer without its body.
//
// A handler answers at once or later: returning nothing defers the answer, and the connection
// waits (suspended, costing no time of the loop and never timing out meanwhile) until Answer()
// gives it. Other connections go on being served in the meantime.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/kirn/common/http_message.h"

struct MHD_Daemon;
struct MHD_Connection;
struct MHD_Response;

namespace kirn {

struct HttpLimits {
  unsigned connections = 256;  // open ordinary connections in all; more are closed at once
  // Of those, connections still in their handshake or request head from an address that has not
  // been let through (authenticated, or served where there are no passwords) within known_s:
  // the rest are kept for known clients.
  unsigned unknown = 128;
  unsigned known_s = 600;
  unsigned per_address = 8;      // open connections from one IPv4 address or IPv6 /64
  unsigned idle_timeout_s = 10;  // a connection that sends nothing for this long is closed
  unsigned head_timeout_s = 5;   // the time a connection has for a whole request head
  // The library's memory for one connection: its request line, headers, their parsed records
  // and its buffers. Room for the query arguments of the longest target taken (the library
  // closes a connection whose arguments do not fit, unanswered).
  size_t memory_per_connection = 64 * 1024;
  size_t max_head = 16 * 1024;  // longest request line and headers taken (431 beyond)
  size_t max_target = 1024;     // longest request target (path and query) taken
  // Event streams (OpenStream) are counted apart from the connections above: a connection that
  // becomes a stream leaves its address's ordinary count, so open pages never take the slots
  // that scrapes need.
  unsigned streams = 64;              // open streams in all
  unsigned streams_per_address = 16;  // open streams from one IPv4 address or IPv6 /64
};

// Headers of every answer unless a response replaces them.
inline constexpr std::pair<const char*, const char*> kSecurityHeaders[] = {
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Content-Security-Policy", "default-src 'none'; frame-ancestors 'none'"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};

// The key by which connections are counted: the IPv4 address, or the first 64 bits of an IPv6
// one ("2001:db8:1:2::/64"); an IPv4-mapped IPv6 address counts as its IPv4 address.
std::string ClientKey(const sockaddr* address);
// The key by which failed logins are remembered and clients are known: the whole address (an
// IPv6 /128), an IPv4-mapped IPv6 address as its IPv4 address. A neighbour in the same /64
// must not lock a client out.
std::string AddressKey(const sockaddr* address);

// The credentials check in front of every route (see WebAccess). Main thread only.
class HttpAuthenticator {
 public:
  enum class Verdict { kAllow, kDeny, kBackOff, kBusy, kPending };
  virtual ~HttpAuthenticator() = default;
  // The verdict on `authorization` (the Authorization header, empty when there is none) of a
  // request from `client` (an AddressKey). kBackOff: the client must wait `*retry_after_s`
  // before its next check (429). kBusy: no check can be made now (503, Retry-After
  // `*retry_after_s`). kPending: the verdict comes later, from TakeDone(), for `ticket`.
  virtual Verdict Check(const std::string& client, const std::string& authorization,
                        uint64_t ticket, int* retry_after_s) = 0;
  // Readable when pending verdicts are in.
  virtual int fd() const = 0;
  // The pending verdicts that are in: ticket and whether it is allowed.
  virtual std::vector<std::pair<uint64_t, bool>> TakeDone() = 0;
  // The realm named in a 401.
  virtual std::string Realm() const { return "kirn metrics"; }
};

// TLS for the server, from the library's own TLS (GnuTLS). Every handshake takes its
// certificate from `certificate_callback` (a gnutls_certificate_retrieve_function2), so that
// a certificate replaced on disk is served without a restart.
struct HttpTls {
  void* certificate_callback = nullptr;
  std::string priorities;  // GnuTLS priority string
  std::string client_ca;   // PEM; clients are asked for a certificate when set
  // Checks the client of a new request (its gnutls_session_t); false answers 403.
  std::function<bool(void* session)> check_client;
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
                                            std::string* error, const HttpTls* tls = nullptr);
  // A server without a listening socket, whose connections come from AddConnection (for the
  // fuzz target of the request handling). Nullptr and `error` set when it cannot start.
  static std::unique_ptr<HttpServer> Unbound(const HttpLimits& limits, std::string* error);
  // Serves `fd` (a connected stream socket, now the server's) as a client at `address`.
  bool AddConnection(int fd, const sockaddr* address, socklen_t length);
  // Answers every deferred request 503 and closes every connection.
  ~HttpServer();
  // The plain answer, with this server's headers, to a request the library refused on its own
  // (`status` the library's); the library's call of MHD_queue_response is given it instead.
  bool QueueLibraryRefusal(MHD_Connection* connection, unsigned status);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Requests for exactly `path` go to `handler`.
  void Route(const std::string& path, Handler handler);
  // Requests for a path that starts with `prefix` (and is longer) go to `handler`, unless an
  // exact route takes them; the longest prefix wins.
  void RoutePrefix(const std::string& prefix, Handler handler);

  // The Host check of requests: only the names and addresses in `allowed` (lower case, without
  // a port; bracketed for IPv6) are served, with or without a port; any other Host is answered
  // 421. An empty set turns the check off. A request without a Host (HTTP/1.0) passes.
  void CheckHost(std::set<std::string> allowed) { allowed_hosts_ = std::move(allowed); }
  // Puts `authenticator` (owned by the caller, outliving the server) in front of every route;
  // nullptr removes it.
  void Authenticate(HttpAuthenticator* authenticator);
  // Headers added to every answer (replacing a default header of the same name).
  void AddHeaders(std::vector<std::pair<std::string, std::string>> headers) {
    extra_headers_ = std::move(headers);
  }

  // Gives a deferred request its answer. Nothing happens for a request already answered or
  // whose connection has gone.
  void Answer(RequestId id, HttpResponse response);
  // The deferred requests not answered yet.
  size_t deferred() const { return deferred_.size(); }
  // The open connections (event streams included).
  size_t connections() const { return peers_.size(); }

  // Event streams: a deferred GET answered with `head` (status 200, its headers) and then a body
  // that goes on for as long as the stream is open, written with StreamSend. What is sent is
  // queued here while the client's socket takes no more; the connection waits suspended, costing
  // nothing, while there is nothing to send. Returns the stream's id, or 0 when the request is
  // gone or the cap of streams (in all, or from the request's address) is reached; the request
  // is then still deferred, for the caller to answer.
  using StreamId = uint64_t;
  StreamId OpenStream(RequestId id, const HttpResponse& head);
  // Queues `text` as one chunk of the stream. False when the stream has gone (closed by either
  // side): the caller forgets it.
  bool StreamSend(StreamId stream, std::string text);
  // The chunks queued for the stream and not yet taken by its socket; 0 for a stream gone.
  size_t StreamBacklog(StreamId stream) const;
  // Ends the stream: what is queued is dropped and the connection closed.
  void StreamClose(StreamId stream);
  // Called with the id of every stream that has gone (client closed, time-out, StreamClose).
  void OnStreamGone(std::function<void(StreamId)> gone) { stream_gone_ = std::move(gone); }
  size_t streams() const { return streams_.size(); }

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
  struct Stream;
  using Clock = std::chrono::steady_clock;
  // The library's callbacks (http_server.cpp).
  friend struct HttpCallbacks;
  HttpServer() = default;

  // One call of the library's request callback; true to go on with the connection.
  bool Dispatch(MHD_Connection* connection, const char* url, const char* method,
                const char* version, size_t* upload_data_size, Context** context);
  // The request of `context` has ended (answered, or its connection closed).
  void Completed(MHD_Connection* connection, Context* context);
  // Closes the connections whose request head is overdue; the milliseconds until the next one
  // is due, or -1.
  int CloseOverdue();
  const Handler* Find(const std::string& path) const;
  // The checks of a request's head before any handler: the answer when it is refused.
  std::optional<HttpResponse> CheckHead(MHD_Connection* connection, const char* url,
                                        const char* version);
  // Goes on with a request once its head is taken (the authenticator allowed it).
  bool Proceed(MHD_Connection* connection, const char* url, const char* method, Context* context);
  // Hands in the authenticator's verdicts that are in.
  void TakeVerdicts();
  bool Queue(MHD_Connection* connection, const HttpResponse& response);
  // Queues `r` (consumed) with the headers of `response`.
  bool QueueWith(MHD_Connection* connection, const HttpResponse& response, MHD_Response* r);
  // Accepts a new connection from `address` unless its client holds per_address already, the
  // ordinary connections are all taken, or it is not known and the slots of unknown
  // connections are all taken.
  bool Admit(const sockaddr* address);
  // Whether `address` (an AddressKey) was let through within known_s.
  bool Known(const std::string& address, Clock::time_point now) const;
  // A request of `connection` was let through: its address is known from now on, and the
  // connection leaves the slots of unknown ones.
  void LetThrough(MHD_Connection* connection);

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
  // Open connections by ClientKey; ordinary ones (not streams) in all, and of them those not yet
  // let through from unknown addresses.
  std::map<std::string, unsigned> per_client_;
  unsigned ordinary_ = 0;
  unsigned unknown_ = 0;
  // When each address (AddressKey) was last let through.
  std::map<std::string, Clock::time_point> known_;
  std::set<std::string> allowed_hosts_;
  // Open streams; each is owned by its libmicrohttpd response and leaves this map when the
  // library frees it.
  std::map<StreamId, Stream*> streams_;
  std::map<std::string, unsigned> streams_per_client_;
  StreamId next_stream_ = 1;
  std::function<void(StreamId)> stream_gone_;
  HttpAuthenticator* auth_ = nullptr;
  std::vector<std::pair<std::string, std::string>> extra_headers_;
  bool tls_ = false;
  std::function<bool(void*)> check_client_;
  // Requests waiting for the authenticator, by ticket.
  std::map<uint64_t, std::pair<MHD_Connection*, Context*>> checking_;
  uint64_t next_ticket_ = 1;
  // The descriptor fd() gives: an epoll set of the library's and the authenticator's.
  int epoll_fd_ = -1;
  int auth_fd_ = -1;
};

}  // namespace kirn
