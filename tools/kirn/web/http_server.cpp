#include "tools/kirn/web/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kirn {

struct HttpServer::Context {
  RequestId id = 0;  // set while deferred
  std::optional<HttpResponse> response;
};

// An open connection: since when it has been waiting for a request head.
struct HttpServer::Peer {
  std::chrono::steady_clock::time_point waiting_since;
  bool in_request = false;  // a whole request head has come and is not answered yet
  bool closing = false;
};

namespace {

constexpr int kListenBacklog = 64;

HttpResponse Plain(int status, std::string body) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

// Puts the response on the connection; false when the library refuses it.
bool Queue(MHD_Connection* connection, const HttpResponse& response) {
  MHD_Response* r = MHD_create_response_from_buffer(
      response.body.size(), const_cast<char*>(response.body.data()), MHD_RESPMEM_MUST_COPY);
  if (r == nullptr) return false;
  auto replaced = [&response](const char* name) {
    for (const auto& [n, v] : response.headers) {
      if (strcasecmp(n.c_str(), name) == 0) return true;
    }
    return false;
  };
  for (const auto& [name, value] : kSecurityHeaders) {
    if (!replaced(name)) MHD_add_response_header(r, name, value);
  }
  for (const auto& [name, value] : response.headers) {
    MHD_add_response_header(r, name.c_str(), value.c_str());
  }
  MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, response.content_type.c_str());
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(response.status), r);
  MHD_destroy_response(r);
  return queued == MHD_YES;
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

struct HttpCallbacks {
  static MHD_Result Request(void* cls, MHD_Connection* connection, const char* url,
                            const char* method, const char* /*version*/,
                            const char* /*upload_data*/, size_t* upload_data_size, void** context) {
    auto* server = static_cast<HttpServer*>(cls);
    auto** ctx = reinterpret_cast<HttpServer::Context**>(context);
    return server->Dispatch(connection, url, method, upload_data_size, ctx) ? MHD_YES : MHD_NO;
  }
  static void Completed(void* cls, MHD_Connection* connection, void** context,
                        MHD_RequestTerminationCode /*why*/) {
    auto* server = static_cast<HttpServer*>(cls);
    server->Completed(connection, static_cast<HttpServer::Context*>(*context));
    *context = nullptr;
  }
  static void Connection(void* cls, MHD_Connection* connection, void** /*socket_context*/,
                         MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<HttpServer*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto peer = std::make_unique<HttpServer::Peer>();
      peer->waiting_since = std::chrono::steady_clock::now();
      server->peers_[connection] = std::move(peer);
    } else {
      server->peers_.erase(connection);
    }
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
                                               std::string* error) {
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
  MHD_AccessHandlerCallback on_request = &HttpCallbacks::Request;
  MHD_RequestCompletedCallback on_completed = &HttpCallbacks::Completed;
  MHD_NotifyConnectionCallback on_connection = &HttpCallbacks::Connection;
  server->daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, on_request, server.get(), MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_CONNECTION_LIMIT, limits.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      limits.per_address, MHD_OPTION_CONNECTION_TIMEOUT, limits.idle_timeout_s,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.memory_per_connection, MHD_OPTION_NOTIFY_COMPLETED,
      on_completed, server.get(), MHD_OPTION_NOTIFY_CONNECTION, on_connection, server.get(),
      MHD_OPTION_STRICT_FOR_CLIENT, 1, MHD_OPTION_END);
  if (server->daemon_ == nullptr) {
    ::close(fd);
    *error = "cannot start the HTTP server on " + address;
    return nullptr;
  }
  return server;
}

HttpServer::~HttpServer() {
  if (daemon_ == nullptr) return;
  // The library must not be stopped with connections suspended.
  while (!deferred_.empty()) {
    Answer(deferred_.begin()->first, Plain(503, "shutting down\n"));
  }
  MHD_run(daemon_);
  MHD_stop_daemon(daemon_);
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

bool HttpServer::Dispatch(MHD_Connection* connection, const char* url, const char* method,
                          size_t* upload_data_size, Context** context) {
  if (*context == nullptr) {
    // The first call, once the headers are in: what needs no handler is answered now.
    *context = new Context;
    if (auto peer = peers_.find(connection); peer != peers_.end()) peer->second->in_request = true;
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
      return Queue(connection, r);
    }
    // The library gives the path without the query; the whole target is bounded too.
    size_t target = std::strlen(url);
    MHD_get_connection_values(
        connection, MHD_GET_ARGUMENT_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) {
          *static_cast<size_t*>(cls) += std::strlen(key) + 2 + (value ? std::strlen(value) : 0);
          return MHD_YES;
        },
        &target);
    if (body) return Queue(connection, Plain(400, "a GET or HEAD request has no body\n"));
    if (target > limits_.max_target) {
      return Queue(connection, Plain(400, "request target too long\n"));
    }
    return true;
  }
  Context* ctx = *context;
  if (*upload_data_size != 0) {
    // A body was refused with the first call; nothing of it is kept.
    *upload_data_size = 0;
    return true;
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

int HttpServer::fd() const {
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
  return info != nullptr ? info->epoll_fd : -1;
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
  MHD_run(daemon_);
  CloseOverdue();
}

}  // namespace kirn
