#include "tools/kirn/server/http_server.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kirn {

struct HttpServer::Context {
  RequestId id = 0;  // set while deferred
  std::optional<HttpResponse> response;
  bool answered = false;     // refused before any handler: later calls add nothing
  uint64_t ticket = 0;       // set while the authenticator checks it
  bool verdict_in = false;   // resumed with the authenticator's verdict
  bool allowed = false;      // the verdict
  Stream* stream = nullptr;  // resumed to start this stream (its head in `response`)
};

// An event stream: the chunks not yet taken by the socket. Owned by its libmicrohttpd response
// (freed with it), known to the server by id while open.
struct HttpServer::Stream {
  HttpServer* server = nullptr;
  StreamId id = 0;
  MHD_Connection* connection = nullptr;
  std::deque<std::string> chunks;
  size_t offset = 0;  // into chunks.front()
  bool suspended = false;
  bool closed = false;
};

// An open connection: since when it has been waiting for a request head.
struct HttpServer::Peer {
  std::string client;   // ClientKey
  std::string address;  // AddressKey
  std::chrono::steady_clock::time_point waiting_since;
  bool in_request = false;  // a whole request head has come and is not answered yet
  bool closing = false;
  bool stream = false;   // counted among the streams of its client, not its connections
  bool unknown = false;  // in the slots of unknown connections (not let through yet)
};

namespace {

constexpr int kListenBacklog = 64;
// The most addresses remembered as known; the longest unseen go first.
constexpr size_t kMaxKnown = 4096;
// Set while the server queues an answer of its own: any other call of MHD_queue_response is the
// library's own refusal of a request.
thread_local bool queuing_own = false;
// The send buffer of a stream's socket.
constexpr int kStreamSocketBuffer = 32 * 1024;

HttpResponse Plain(int status, std::string body) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

bool HasBareCr(const char* text) {
  return text != nullptr && std::strchr(text, '\r') != nullptr;
}

bool AllDigits(const char* text) {
  if (text == nullptr || *text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// The length of a request's target: the path and its query's arguments (as decoded).
size_t TargetLength(MHD_Connection* connection, const char* url) {
  size_t target = std::strlen(url);
  MHD_get_connection_values(
      connection, MHD_GET_ARGUMENT_KIND,
      [](void* cls, MHD_ValueKind, const char* key, const char* value) {
        *static_cast<size_t*>(cls) += std::strlen(key) + 2 + (value ? std::strlen(value) : 0);
        return MHD_YES;
      },
      &target);
  return target;
}

// What the framing check found in a request's headers.
struct Framing {
  int content_lengths = 0;
  int hosts = 0;
  bool bare_cr = false;
  bool signed_length = false;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The name of a Host header without its port, lower case, without a final dot; empty when it
// is not a name or address with an optional numeric port.
std::string HostName(const std::string& host) {
  std::string name;
  std::string port;
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string::npos) return {};
    name = host.substr(0, close + 1);
    if (close + 1 < host.size()) {
      if (host[close + 1] != ':') return {};
      port = host.substr(close + 2);
      if (port.empty()) return {};
    }
  } else {
    const size_t colon = host.rfind(':');
    name = host.substr(0, colon);
    if (colon != std::string::npos) {
      port = host.substr(colon + 1);
      if (port.empty()) return {};
    }
  }
  for (const char c : port) {
    if (c < '0' || c > '9') return {};
  }
  if (!name.empty() && name.back() == '.') name.pop_back();
  return Lower(name);
}

// A loopback name or literal: "localhost" (and names under it), 127.0.0.0/8, [::1].
bool IsLoopbackHost(const std::string& name) {
  if (name == "localhost" || (name.size() > 10 && name.ends_with(".localhost"))) return true;
  if (name == "[::1]") return true;
  in_addr a{};
  return ::inet_pton(AF_INET, name.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

// The socket listening on `address`, or -1 and `error` set.
int ListenSocket(const sockaddr_storage& address, socklen_t length, std::string* error) {
  const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (address.ss_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::listen(fd, kListenBacklog) != 0) {
    *error = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string AddressText(const sockaddr_storage& address, uint16_t port) {
  char host[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, host,
                sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(port);
  }
  ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, host,
              sizeof host);
  return std::string(host) + ":" + std::to_string(port);
}

}  // namespace

std::string AddressKey(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address == nullptr) return "?";
  if (address->sa_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                sizeof text);
    return text;
  }
  if (address->sa_family != AF_INET6) return "?";
  const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
  ::inet_ntop(IN6_IS_ADDR_V4MAPPED(&a) ? AF_INET : AF_INET6,
              IN6_IS_ADDR_V4MAPPED(&a) ? static_cast<const void*>(&a.s6_addr[12]) : &a, text,
              sizeof text);
  return text;
}

std::string ClientKey(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address == nullptr) return "?";
  if (address->sa_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                sizeof text);
    return text;
  }
  if (address->sa_family != AF_INET6) return "?";
  in6_addr a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
  if (IN6_IS_ADDR_V4MAPPED(&a)) {
    ::inet_ntop(AF_INET, &a.s6_addr[12], text, sizeof text);
    return text;
  }
  // One host usually holds a whole /64: it counts as one client.
  std::memset(&a.s6_addr[8], 0, 8);
  ::inet_ntop(AF_INET6, &a, text, sizeof text);
  return std::string(text) + "/64";
}

bool HttpServer::Queue(MHD_Connection* connection, const HttpResponse& response) {
  MHD_Response* r = MHD_create_response_from_buffer(
      response.body.size(), const_cast<char*>(response.body.data()), MHD_RESPMEM_MUST_COPY);
  return QueueWith(connection, response, r);
}

bool HttpServer::QueueWith(MHD_Connection* connection, const HttpResponse& response,
                           MHD_Response* r) {
  if (r == nullptr) return false;
  auto named = [](const std::vector<std::pair<std::string, std::string>>& headers,
                  const char* name) {
    for (const auto& [n, v] : headers) {
      if (strcasecmp(n.c_str(), name) == 0) return true;
    }
    return false;
  };
  for (const auto& [name, value] : kSecurityHeaders) {
    if (!named(response.headers, name) && !named(extra_headers_, name)) {
      MHD_add_response_header(r, name, value);
    }
  }
  for (const auto& [name, value] : extra_headers_) {
    if (!named(response.headers, name.c_str())) {
      MHD_add_response_header(r, name.c_str(), value.c_str());
    }
  }
  for (const auto& [name, value] : response.headers) {
    MHD_add_response_header(r, name.c_str(), value.c_str());
  }
  MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, response.content_type.c_str());
  queuing_own = true;
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(response.status), r);
  queuing_own = false;
  MHD_destroy_response(r);
  return queued == MHD_YES;
}

bool HttpServer::QueueLibraryRefusal(MHD_Connection* connection, unsigned status) {
  const char* why = "malformed request";
  switch (status) {
    case MHD_HTTP_URI_TOO_LONG:
      why = "request line too long";
      break;
    case MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE:
      why = "request headers too large";
      break;
    case MHD_HTTP_HTTP_VERSION_NOT_SUPPORTED:
      why = "HTTP version not supported: HTTP/1.1 or HTTP/1.0 only";
      break;
    case MHD_HTTP_CONTENT_TOO_LARGE:
      why = "request body too large";
      break;
    case MHD_HTTP_INTERNAL_SERVER_ERROR:
      why = "internal error";
      break;
    default:
      break;
  }
  HttpResponse r = Plain(static_cast<int>(status), std::string(why) + "\n");
  r.headers.emplace_back("Connection", "close");
  return Queue(connection, r);
}
struct HttpCallbacks {
  static MHD_Result Request(void* cls, MHD_Connection* connection, const char* url,
                            const char* method, const char* version, const char* /*upload_data*/,
                            size_t* upload_data_size, void** context) {
    auto* server = static_cast<HttpServer*>(cls);
    auto** ctx = reinterpret_cast<HttpServer::Context**>(context);
    return server->Dispatch(connection, url, method, version, upload_data_size, ctx) ? MHD_YES
                                                                                     : MHD_NO;
  }
  static void Completed(void* cls, MHD_Connection* connection, void** context,
                        MHD_RequestTerminationCode /*why*/) {
    auto* server = static_cast<HttpServer*>(cls);
    server->Completed(connection, static_cast<HttpServer::Context*>(*context));
    *context = nullptr;
  }
  static void Connection(void* cls, MHD_Connection* connection, void** socket_context,
                         MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<HttpServer*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      // The server of the connection, for the library's own refusals.
      *socket_context = server;
      auto peer = std::make_unique<HttpServer::Peer>();
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      const sockaddr* address = info != nullptr ? info->client_addr : nullptr;
      peer->client = ClientKey(address);
      peer->address = AddressKey(address);
      peer->waiting_since = std::chrono::steady_clock::now();
      peer->unknown = !server->Known(peer->address, peer->waiting_since);
      ++server->per_client_[peer->client];
      ++server->ordinary_;
      if (peer->unknown) ++server->unknown_;
      server->peers_[connection] = std::move(peer);
    } else if (auto it = server->peers_.find(connection); it != server->peers_.end()) {
      const HttpServer::Peer& peer = *it->second;
      auto& counts = peer.stream ? server->streams_per_client_ : server->per_client_;
      auto count = counts.find(peer.client);
      if (count != counts.end() && --count->second == 0) counts.erase(count);
      if (!peer.stream) --server->ordinary_;
      if (peer.unknown) --server->unknown_;
      server->peers_.erase(it);
    }
  }
  // The body of an event stream: what is queued, else the connection waits suspended until
  // StreamSend or StreamClose resumes it.
  static ssize_t StreamRead(void* cls, uint64_t /*pos*/, char* buffer, size_t max) {
    auto* s = static_cast<HttpServer::Stream*>(cls);
    if (s->closed) return MHD_CONTENT_READER_END_WITH_ERROR;
    size_t n = 0;
    while (n < max && !s->chunks.empty()) {
      const std::string& c = s->chunks.front();
      const size_t take = std::min(max - n, c.size() - s->offset);
      std::memcpy(buffer + n, c.data() + s->offset, take);
      n += take;
      s->offset += take;
      if (s->offset == c.size()) {
        s->chunks.pop_front();
        s->offset = 0;
      }
    }
    if (n > 0) return static_cast<ssize_t>(n);
    s->suspended = true;
    MHD_suspend_connection(s->connection);
    return 0;
  }
  static void StreamFree(void* cls) {
    auto* s = static_cast<HttpServer::Stream*>(cls);
    HttpServer* server = s->server;
    const HttpServer::StreamId id = s->id;
    server->streams_.erase(id);
    delete s;
    if (server->stream_gone_) server->stream_gone_(id);
  }
  static MHD_Result Accept(void* cls, const sockaddr* address, socklen_t /*length*/) {
    return static_cast<HttpServer*>(cls)->Admit(address) ? MHD_YES : MHD_NO;
  }
};

bool ParseListenAddress(const std::string& text, sockaddr_storage* address, socklen_t* length,
                        std::string* error) {
  std::memset(address, 0, sizeof *address);
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) {
    *error = "expects ADDR:PORT, not '" + text + "'";
    return false;
  }
  const std::string port_text = text.substr(colon + 1);
  for (const char c : port_text) {
    if (c < '0' || c > '9') {
      *error = "the port must be a number 0..65535, not '" + port_text + "'";
      return false;
    }
  }
  const long port = port_text.size() > 5 ? 65536 : std::strtol(port_text.c_str(), nullptr, 10);
  if (port > 65535) {
    *error = "the port must be a number 0..65535, not '" + port_text + "'";
    return false;
  }
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(address);
    if (::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &in6->sin6_addr) != 1) {
      *error = "not an IPv6 address: " + host;
      return false;
    }
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    *length = sizeof *in6;
    return true;
  }
  auto* in4 = reinterpret_cast<sockaddr_in*>(address);
  // inet_pton takes only the four dotted decimal numbers: no names, no shortened forms.
  if (::inet_pton(AF_INET, host.c_str(), &in4->sin_addr) != 1) {
    *error = "not a numeric IPv4 address (or a bracketed IPv6 one): '" + host + "'";
    return false;
  }
  in4->sin_family = AF_INET;
  in4->sin_port = htons(static_cast<uint16_t>(port));
  *length = sizeof *in4;
  return true;
}

std::unique_ptr<HttpServer> HttpServer::Listen(const std::string& address, const HttpLimits& limits,
                                               std::string* error, const HttpTls* tls) {
  sockaddr_storage addr;
  socklen_t length = 0;
  if (!ParseListenAddress(address, &addr, &length, error)) return nullptr;
  const int fd = ListenSocket(addr, length, error);
  if (fd < 0) {
    *error = "cannot listen on " + address + ": " + *error;
    return nullptr;
  }
  sockaddr_storage bound;
  socklen_t bound_length = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_length);
  const uint16_t port =
      ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

  std::unique_ptr<HttpServer> server(new HttpServer);
  server->limits_ = limits;
  server->port_ = port;
  server->address_text_ = AddressText(addr, port);
  unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  if (addr.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
  // TLS options, when asked for; the array ends with MHD_OPTION_END either way.
  std::vector<MHD_OptionItem> tls_options;
  if (tls != nullptr) {
    flags |= MHD_USE_TLS;
    server->tls_ = true;
    server->check_client_ = tls->check_client;
    tls_options.push_back({MHD_OPTION_HTTPS_CERT_CALLBACK, 0, tls->certificate_callback});
    if (!tls->priorities.empty()) {
      tls_options.push_back(
          {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(tls->priorities.c_str())});
    }
    if (!tls->client_ca.empty()) {
      tls_options.push_back(
          {MHD_OPTION_HTTPS_MEM_TRUST, 0, const_cast<char*>(tls->client_ca.c_str())});
    }
  }
  tls_options.push_back({MHD_OPTION_END, 0, nullptr});
  MHD_AccessHandlerCallback on_request = &HttpCallbacks::Request;
  MHD_RequestCompletedCallback on_completed = &HttpCallbacks::Completed;
  MHD_NotifyConnectionCallback on_connection = &HttpCallbacks::Connection;
  MHD_AcceptPolicyCallback on_accept = &HttpCallbacks::Accept;
  server->daemon_ = MHD_start_daemon(
      flags, 0, on_accept, server.get(), on_request, server.get(), MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_CONNECTION_LIMIT, limits.connections + limits.streams,
      MHD_OPTION_CONNECTION_TIMEOUT, limits.idle_timeout_s, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      limits.memory_per_connection, MHD_OPTION_NOTIFY_COMPLETED, on_completed, server.get(),
      MHD_OPTION_NOTIFY_CONNECTION, on_connection, server.get(), MHD_OPTION_STRICT_FOR_CLIENT, 0,
      MHD_OPTION_ARRAY, tls_options.data(), MHD_OPTION_END);
  if (server->daemon_ == nullptr) {
    ::close(fd);
    *error = "cannot start the HTTP server on " + address +
             (tls != nullptr ? " (TLS: check the certificate, key and TLS settings)" : "");
    return nullptr;
  }
  server->epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  const MHD_DaemonInfo* info = MHD_get_daemon_info(server->daemon_, MHD_DAEMON_INFO_EPOLL_FD);
  epoll_event ev{};
  ev.events = EPOLLIN;
  if (server->epoll_fd_ < 0 || info == nullptr ||
      ::epoll_ctl(server->epoll_fd_, EPOLL_CTL_ADD, info->epoll_fd, &ev) != 0) {
    *error = "cannot start the HTTP server on " + address + ": epoll";
    return nullptr;
  }
  return server;
}

std::unique_ptr<HttpServer> HttpServer::Unbound(const HttpLimits& limits, std::string* error) {
  std::unique_ptr<HttpServer> server(new HttpServer);
  server->limits_ = limits;
  MHD_AccessHandlerCallback on_request = &HttpCallbacks::Request;
  MHD_RequestCompletedCallback on_completed = &HttpCallbacks::Completed;
  MHD_NotifyConnectionCallback on_connection = &HttpCallbacks::Connection;
  server->daemon_ = MHD_start_daemon(
      MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr,
      on_request, server.get(), MHD_OPTION_CONNECTION_LIMIT, limits.connections + limits.streams,
      MHD_OPTION_CONNECTION_TIMEOUT, limits.idle_timeout_s, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      limits.memory_per_connection, MHD_OPTION_NOTIFY_COMPLETED, on_completed, server.get(),
      MHD_OPTION_NOTIFY_CONNECTION, on_connection, server.get(), MHD_OPTION_STRICT_FOR_CLIENT, 0,
      MHD_OPTION_END);
  const MHD_DaemonInfo* info = server->daemon_ != nullptr
                                   ? MHD_get_daemon_info(server->daemon_, MHD_DAEMON_INFO_EPOLL_FD)
                                   : nullptr;
  server->epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  if (info == nullptr || server->epoll_fd_ < 0 ||
      ::epoll_ctl(server->epoll_fd_, EPOLL_CTL_ADD, info->epoll_fd, &ev) != 0) {
    *error = "cannot start the HTTP server";
    return nullptr;
  }
  return server;
}

bool HttpServer::AddConnection(int fd, const sockaddr* address, socklen_t length) {
  if (!Admit(address)) {
    ::close(fd);
    return false;
  }
  return MHD_add_connection(daemon_, fd, address, length) == MHD_YES;
}

HttpServer::~HttpServer() {
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
  if (daemon_ == nullptr) return;
  stream_gone_ = nullptr;
  while (!streams_.empty()) {
    Stream* s = streams_.begin()->second;
    streams_.erase(streams_.begin());
    s->closed = true;
    s->chunks.clear();
    if (s->suspended) {
      s->suspended = false;
      MHD_resume_connection(s->connection);
    }
  }
  // The library must not be stopped with connections suspended.
  while (!deferred_.empty()) {
    Answer(deferred_.begin()->first, Plain(503, "shutting down\n"));
  }
  for (auto& [ticket, waiting] : checking_) {
    waiting.second->ticket = 0;
    waiting.second->verdict_in = true;
    waiting.second->allowed = false;
    MHD_resume_connection(waiting.first);
  }
  checking_.clear();
  MHD_run(daemon_);
  MHD_stop_daemon(daemon_);
}

void HttpServer::Authenticate(HttpAuthenticator* authenticator) {
  if (auth_fd_ >= 0) ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, auth_fd_, nullptr);
  auth_ = authenticator;
  auth_fd_ = auth_ != nullptr ? auth_->fd() : -1;
  if (auth_fd_ >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, auth_fd_, &ev);
  }
}

bool HttpServer::Admit(const sockaddr* address) {
  auto it = per_client_.find(ClientKey(address));
  if (it != per_client_.end() && it->second >= limits_.per_address) return false;
  if (ordinary_ >= limits_.connections) return false;
  return unknown_ < limits_.unknown || Known(AddressKey(address), Clock::now());
}

bool HttpServer::Known(const std::string& address, Clock::time_point now) const {
  auto it = known_.find(address);
  return it != known_.end() && now - it->second < std::chrono::seconds(limits_.known_s);
}

void HttpServer::LetThrough(MHD_Connection* connection) {
  auto it = peers_.find(connection);
  if (it == peers_.end()) return;
  Peer& peer = *it->second;
  if (peer.unknown) {
    peer.unknown = false;
    --unknown_;
  }
  const auto now = Clock::now();
  known_[peer.address] = now;
  if (known_.size() > kMaxKnown) {
    auto oldest = known_.begin();
    for (auto k = known_.begin(); k != known_.end(); ++k) {
      if (k->second < oldest->second) oldest = k;
    }
    known_.erase(oldest);
  }
}

std::optional<HttpResponse> HttpServer::CheckHead(MHD_Connection* connection, const char* url,
                                                  const char* version) {
  Framing f;
  f.bare_cr = HasBareCr(url);
  // The library is lenient here (its strict mode answers a missing Host twice over): the
  // request line and the size of the head are checked here.
  const bool spaced = std::strchr(url, ' ') != nullptr;
  const MHD_ConnectionInfo* size =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
  if (size != nullptr && size->header_size > limits_.max_head) {
    const bool line = TargetLength(connection, url) > limits_.max_target;
    HttpResponse r =
        line ? Plain(414, "request line too long\n") : Plain(431, "request headers too large\n");
    r.headers.emplace_back("Connection", "close");
    return r;
  }
  MHD_get_connection_values(
      connection, MHD_HEADER_KIND,
      [](void* cls, MHD_ValueKind, const char* key, const char* value) {
        auto* f = static_cast<Framing*>(cls);
        if (HasBareCr(key) || HasBareCr(value)) f->bare_cr = true;
        if (key != nullptr && strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) {
          ++f->content_lengths;
          if (!AllDigits(value)) f->signed_length = true;
        }
        if (key != nullptr && strcasecmp(key, MHD_HTTP_HEADER_HOST) == 0) ++f->hosts;
        return MHD_YES;
      },
      &f);
  auto bad = [](const char* why) {
    HttpResponse r = Plain(400, std::string(why) + "\n");
    r.headers.emplace_back("Connection", "close");
    return std::optional<HttpResponse>(r);
  };
  if (f.bare_cr) return bad("a CR that does not end a line");
  if (spaced) return bad("a space in the request target");
  if (f.hosts == 0 && version != nullptr && std::strcmp(version, MHD_HTTP_VERSION_1_1) == 0) {
    return bad("a request of HTTP/1.1 needs a Host header");
  }
  if (f.content_lengths > 1) return bad("more than one Content-Length");
  if (f.signed_length) return bad("Content-Length is not a plain number");
  if (f.hosts > 1) return bad("more than one Host");
  if (!allowed_hosts_.empty()) {
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
    if (host != nullptr) {
      const std::string name = HostName(host);
      if (name.empty() || (!IsLoopbackHost(name) && allowed_hosts_.count(name) == 0)) {
        HttpResponse r = Plain(421, "this server does not serve that host name\n");
        r.headers.emplace_back("Connection", "close");
        return r;
      }
    }
  }
  if (tls_ && check_client_) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (info == nullptr || !check_client_(info->tls_session)) {
      HttpResponse r = Plain(403, "client certificate not accepted\n");
      r.headers.emplace_back("Connection", "close");
      return r;
    }
  }
  return std::nullopt;
}

void HttpServer::TakeVerdicts() {
  if (auth_ == nullptr) return;
  for (const auto& [ticket, allowed] : auth_->TakeDone()) {
    auto it = checking_.find(ticket);
    if (it == checking_.end()) continue;
    auto [connection, context] = it->second;
    checking_.erase(it);
    context->ticket = 0;
    context->verdict_in = true;
    context->allowed = allowed;
    MHD_resume_connection(connection);
  }
}

void HttpServer::Route(const std::string& path, Handler handler) {
  exact_[path] = std::move(handler);
}

void HttpServer::RoutePrefix(const std::string& prefix, Handler handler) {
  prefixes_[prefix] = std::move(handler);
}

const HttpServer::Handler* HttpServer::Find(const std::string& path) const {
  if (auto it = exact_.find(path); it != exact_.end()) return &it->second;
  const Handler* best = nullptr;
  size_t best_length = 0;
  for (const auto& [prefix, handler] : prefixes_) {
    if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
        prefix.size() >= best_length) {
      best = &handler;
      best_length = prefix.size();
    }
  }
  return best;
}

// The checks of a request that need no handler and no credentials: the answer when refused.
static std::optional<HttpResponse> Screen(MHD_Connection* connection, const char* url,
                                          const char* method, size_t max_target) {
  const bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0;
  const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  const char* body_length =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  const bool body = (body_length != nullptr && std::strcmp(body_length, "0") != 0) ||
                    MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
  if (!get && !head) {
    HttpResponse r = Plain(405, "method not allowed: GET or HEAD only\n");
    r.headers.emplace_back("Allow", "GET, HEAD");
    return r;
  }
  // The library gives the path without the query; the whole target is bounded too.
  const size_t target = TargetLength(connection, url);
  if (body) return Plain(400, "a GET or HEAD request has no body\n");
  if (target > max_target) return Plain(414, "request target too long\n");
  return std::nullopt;
}

bool HttpServer::Dispatch(MHD_Connection* connection, const char* url, const char* method,
                          const char* version, size_t* upload_data_size, Context** context) {
  auto refuse = [this, connection](Context* ctx, const HttpResponse& r) {
    ctx->answered = true;
    return Queue(connection, r);
  };
  auto unauthorized = [this, &refuse](Context* ctx) {
    HttpResponse r = Plain(401, "unauthorized\n");
    r.headers.emplace_back("WWW-Authenticate",
                           "Basic realm=\"" + auth_->Realm() + "\", charset=\"UTF-8\"");
    return refuse(ctx, r);
  };
  if (*context == nullptr) {
    // The first call, once the headers are in: what needs no handler is answered now.
    *context = new Context;
    Context* ctx = *context;
    auto peer = peers_.find(connection);
    if (peer != peers_.end()) peer->second->in_request = true;
    if (std::optional<HttpResponse> r = CheckHead(connection, url, version)) {
      return refuse(ctx, *r);
    }
    if (auth_ != nullptr) {
      const char* authorization =
          MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
      int retry_after = 1;
      const uint64_t ticket = next_ticket_++;
      const std::string client = peer != peers_.end() ? peer->second->address : "?";
      switch (auth_->Check(client, authorization != nullptr ? authorization : "", ticket,
                           &retry_after)) {
        case HttpAuthenticator::Verdict::kAllow:
          break;
        case HttpAuthenticator::Verdict::kDeny:
          return unauthorized(ctx);
        case HttpAuthenticator::Verdict::kBackOff: {
          HttpResponse r = Plain(429, "too many logins from this address: wait and try again\n");
          r.headers.emplace_back("Retry-After", std::to_string(retry_after));
          return refuse(ctx, r);
        }
        case HttpAuthenticator::Verdict::kBusy: {
          HttpResponse r = Plain(503, "too many logins being checked: try again\n");
          r.headers.emplace_back("Retry-After", std::to_string(retry_after));
          return refuse(ctx, r);
        }
        case HttpAuthenticator::Verdict::kPending:
          ctx->ticket = ticket;
          checking_[ticket] = {connection, ctx};
          MHD_suspend_connection(connection);
          return true;
      }
    }
    LetThrough(connection);
    if (std::optional<HttpResponse> r = Screen(connection, url, method, limits_.max_target)) {
      return refuse(ctx, *r);
    }
    return true;
  }
  Context* ctx = *context;
  if (ctx->answered) {
    // Refused with an earlier call: nothing more goes out, and no body is kept.
    *upload_data_size = 0;
    return true;
  }
  if (ctx->verdict_in) {
    // Resumed with the authenticator's verdict.
    ctx->verdict_in = false;
    if (!ctx->allowed || auth_ == nullptr) return unauthorized(ctx);
    LetThrough(connection);
    if (std::optional<HttpResponse> r = Screen(connection, url, method, limits_.max_target)) {
      return refuse(ctx, *r);
    }
  }
  if (*upload_data_size != 0) {
    // A body was refused with the first call; nothing of it is kept.
    *upload_data_size = 0;
    return true;
  }
  if (ctx->stream != nullptr) {
    // Resumed to start a stream.
    Stream* stream = ctx->stream;
    ctx->stream = nullptr;
    MHD_Response* r = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, 4096, &HttpCallbacks::StreamRead, stream, &HttpCallbacks::StreamFree);
    if (r == nullptr) {
      streams_.erase(stream->id);
      delete stream;
      return false;
    }
    const bool queued = QueueWith(connection, *ctx->response, r);
    ctx->response.reset();
    return queued;
  }
  if (ctx->response) {
    // Resumed with the answer of a deferred request.
    const bool queued = Queue(connection, *ctx->response);
    ctx->response.reset();
    return queued;
  }
  HttpRequest request;
  request.head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  request.path = url;
  // The target was bounded with the first call, so the arguments are too.
  MHD_get_connection_values(
      connection, MHD_GET_ARGUMENT_KIND,
      [](void* cls, MHD_ValueKind, const char* key, const char* value) {
        if (key != nullptr) {
          static_cast<HttpRequest*>(cls)->args.emplace(key, value != nullptr ? value : "");
        }
        return MHD_YES;
      },
      &request);
  if (const char* last =
          MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Last-Event-ID")) {
    request.last_event_id = std::string(last).substr(0, 64);
  }
  if (auto peer = peers_.find(connection); peer != peers_.end()) {
    request.client = peer->second->client;
  }
  const Handler* handler = Find(request.path);
  if (handler == nullptr) return Queue(connection, Plain(404, "not found\n"));
  const RequestId id = next_id_++;
  std::optional<HttpResponse> response = (*handler)(request, id);
  if (response) return Queue(connection, *response);
  ctx->id = id;
  deferred_[id] = {connection, ctx};
  MHD_suspend_connection(connection);
  return true;
}

void HttpServer::Completed(MHD_Connection* connection, Context* context) {
  if (auto peer = peers_.find(connection); peer != peers_.end()) {
    // A kept-alive connection has the same time for its next request head.
    peer->second->in_request = false;
    peer->second->waiting_since = std::chrono::steady_clock::now();
  }
  if (context == nullptr) return;
  if (context->id != 0) deferred_.erase(context->id);
  if (context->ticket != 0) checking_.erase(context->ticket);
  delete context;
}

void HttpServer::Answer(RequestId id, HttpResponse response) {
  auto it = deferred_.find(id);
  if (it == deferred_.end()) return;
  auto [connection, context] = it->second;
  deferred_.erase(it);
  context->id = 0;
  context->response = std::move(response);
  MHD_resume_connection(connection);
}

HttpServer::StreamId HttpServer::OpenStream(RequestId id, const HttpResponse& head) {
  auto it = deferred_.find(id);
  if (it == deferred_.end()) return 0;
  auto [connection, context] = it->second;
  auto peer = peers_.find(connection);
  if (peer == peers_.end() || streams_.size() >= limits_.streams) return 0;
  const std::string& client = peer->second->client;
  if (streams_per_client_[client] >= limits_.streams_per_address) return 0;
  // From now on it counts among its client's streams, not its connections.
  ++streams_per_client_[client];
  if (auto count = per_client_.find(client); count != per_client_.end() && --count->second == 0) {
    per_client_.erase(count);
  }
  peer->second->stream = true;
  --ordinary_;
  // A small socket buffer: what a slow client has not taken waits in the stream's queue, where
  // it is counted (StreamBacklog), rather than in megabytes of the kernel's.
  if (const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
    const int size = kStreamSocketBuffer;
    ::setsockopt(info->connect_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  auto* stream = new Stream;
  stream->server = this;
  stream->id = next_stream_++;
  stream->connection = connection;
  streams_[stream->id] = stream;
  deferred_.erase(it);
  context->id = 0;
  context->stream = stream;
  context->response = head;
  context->response->body.clear();
  MHD_resume_connection(connection);
  return stream->id;
}

bool HttpServer::StreamSend(StreamId id, std::string text) {
  auto it = streams_.find(id);
  if (it == streams_.end() || it->second->closed) return false;
  Stream* s = it->second;
  s->chunks.push_back(std::move(text));
  if (s->suspended) {
    s->suspended = false;
    MHD_resume_connection(s->connection);
  }
  return true;
}

size_t HttpServer::StreamBacklog(StreamId id) const {
  auto it = streams_.find(id);
  return it == streams_.end() ? 0 : it->second->chunks.size();
}

void HttpServer::StreamClose(StreamId id) {
  auto it = streams_.find(id);
  if (it == streams_.end() || it->second->closed) return;
  Stream* s = it->second;
  s->closed = true;
  s->chunks.clear();
  // Shut, not closed: a client that has stopped reading may never make the socket writable
  // again, so the library would never call the reader; it sees the shut socket and closes.
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(s->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info != nullptr) ::shutdown(info->connect_fd, SHUT_RDWR);
  if (s->suspended) {
    s->suspended = false;
    MHD_resume_connection(s->connection);
  }
}

int HttpServer::fd() const {
  return epoll_fd_;
}

int HttpServer::TimeoutMs() {
  int due = CloseOverdue();
  MHD_UNSIGNED_LONG_LONG ms = 0;
  if (MHD_get_timeout(daemon_, &ms) == MHD_YES) {
    const int library = ms > static_cast<MHD_UNSIGNED_LONG_LONG>(std::numeric_limits<int>::max())
                            ? std::numeric_limits<int>::max()
                            : static_cast<int>(ms);
    due = due < 0 ? library : std::min(due, library);
  }
  return due;
}

int HttpServer::CloseOverdue() {
  const auto now = std::chrono::steady_clock::now();
  const auto allowed = std::chrono::seconds(limits_.head_timeout_s);
  int next = -1;
  for (auto& [connection, peer] : peers_) {
    if (peer->in_request || peer->closing) continue;
    const auto due = peer->waiting_since + allowed;
    if (due <= now) {
      // Shut, not closed: the descriptor stays the library's, which sees the end of the stream
      // at its next look and closes the connection itself.
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      if (info != nullptr) ::shutdown(info->connect_fd, SHUT_RDWR);
      peer->closing = true;
      continue;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1;
    next = next < 0 ? static_cast<int>(ms) : std::min(next, static_cast<int>(ms));
  }
  return next;
}

void HttpServer::Run() {
  TakeVerdicts();
  MHD_run(daemon_);
  CloseOverdue();
}

}  // namespace kirn

// The library answers some requests itself, before any handler: no Host in HTTP/1.1, a request
// line or headers that outgrow the connection's memory, an HTTP version it does not speak. It
// offers no hook for those answers (as of 0.9.75), and they would go out without the server's
// headers and with an HTML body. Its refusals go through this function (the library calls it
// through its procedure linkage, which a definition in the program takes): every call that is
// not the server's own is such a refusal, and the server's own answer goes out in its place.
// The library frees its own response afterwards.
extern "C" MHD_Result MHD_queue_response(MHD_Connection* connection, unsigned int status_code,
                                         MHD_Response* response) {
  using Queue = MHD_Result (*)(MHD_Connection*, unsigned int, MHD_Response*);
  static const Queue library = reinterpret_cast<Queue>(::dlsym(RTLD_NEXT, "MHD_queue_response"));
  if (library == nullptr) return MHD_NO;
  if (kirn::queuing_own) return library(connection, status_code, response);
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  auto* server = info != nullptr ? static_cast<kirn::HttpServer*>(info->socket_context) : nullptr;
  if (server == nullptr) return library(connection, status_code, response);
  return server->QueueLibraryRefusal(connection, status_code) ? MHD_YES : MHD_NO;
}
