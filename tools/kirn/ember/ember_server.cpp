#include "tools/kirn/ember/ember_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kirn::ember {
namespace {

bool ParseAddress(const std::string& host, sockaddr_storage* out) {
  std::memset(out, 0, sizeof *out);
  auto* v4 = reinterpret_cast<sockaddr_in*>(out);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    return true;
  }
  return false;
}

// An IPv4 address mapped into IPv6 as the IPv4 address itself.
sockaddr_storage Unmapped(const sockaddr_storage& a) {
  if (a.ss_family != AF_INET6) return a;
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
  if (!IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) return a;
  sockaddr_storage out{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
  v4->sin_family = AF_INET;
  v4->sin_port = v6->sin6_port;
  std::memcpy(&v4->sin_addr, v6->sin6_addr.s6_addr + 12, 4);
  return out;
}

std::string HostText(const sockaddr_storage& a) {
  char text[INET6_ADDRSTRLEN] = "";
  if (a.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&a)->sin_addr, text, sizeof text);
  } else if (a.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&a)->sin6_addr, text, sizeof text);
  }
  return text;
}

}  // namespace

bool AddressPrefix::Parse(const std::string& text, AddressPrefix* out, std::string* error) {
  const size_t slash = text.find('/');
  const std::string host = text.substr(0, slash);
  if (!ParseAddress(host, &out->address)) {
    *error = "'" + text + "' is not an address";
    return false;
  }
  const int max = out->address.ss_family == AF_INET ? 32 : 128;
  out->bits = max;
  if (slash != std::string::npos) {
    const std::string bits = text.substr(slash + 1);
    char* end = nullptr;
    const long n = bits.empty() ? -1 : std::strtol(bits.c_str(), &end, 10);
    if (bits.empty() || *end != '\0' || n < 0 || n > max) {
      *error = "'" + text + "': the prefix length is 0.." + std::to_string(max);
      return false;
    }
    out->bits = static_cast<int>(n);
  }
  out->address = Unmapped(out->address);
  if (out->address.ss_family == AF_INET && max == 128) out->bits = std::max(out->bits - 96, 0);
  return true;
}

bool AddressPrefix::Contains(const sockaddr_storage& peer_address) const {
  const sockaddr_storage peer = Unmapped(peer_address);
  if (peer.ss_family != address.ss_family) return false;
  const uint8_t* a = nullptr;
  const uint8_t* b = nullptr;
  if (peer.ss_family == AF_INET) {
    a = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(&address)->sin_addr);
    b = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr);
  } else {
    a = reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr.s6_addr;
    b = reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr.s6_addr;
  }
  int bits = this->bits;
  for (int i = 0; bits > 0; ++i, bits -= 8) {
    const uint8_t mask = bits >= 8 ? 0xFF : static_cast<uint8_t>(0xFF << (8 - bits));
    if ((a[i] & mask) != (b[i] & mask)) return false;
  }
  return true;
}

bool ParseHostPort(const std::string& text, sockaddr_storage* address, socklen_t* length,
                   std::string* error) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    *error = "'" + text + "' is not ADDR:PORT";
    return false;
  }
  std::string host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (host.front() == '[') {
    if (host.back() != ']') {
      *error = "'" + text + "': an IPv6 address goes in brackets";
      return false;
    }
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    *error = "'" + text + "': an IPv6 address goes in brackets";
    return false;
  }
  char* end = nullptr;
  const long p = port.empty() ? -1 : std::strtol(port.c_str(), &end, 10);
  if (port.empty() || *end != '\0' || p < 0 || p > 65535) {
    *error = "'" + text + "': the port is 0..65535";
    return false;
  }
  if (!ParseAddress(host, address)) {
    *error = "'" + text + "': '" + host + "' is not a numeric address";
    return false;
  }
  if (address->ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(address)->sin_port = htons(static_cast<uint16_t>(p));
    *length = sizeof(sockaddr_in);
  } else {
    reinterpret_cast<sockaddr_in6*>(address)->sin6_port = htons(static_cast<uint16_t>(p));
    *length = sizeof(sockaddr_in6);
  }
  return true;
}

std::string AddressText(const sockaddr_storage& address) {
  const sockaddr_storage a = Unmapped(address);
  const std::string host = HostText(a);
  if (a.ss_family == AF_INET) {
    return host + ":" + std::to_string(ntohs(reinterpret_cast<const sockaddr_in*>(&a)->sin_port));
  }
  return "[" + host +
         "]:" + std::to_string(ntohs(reinterpret_cast<const sockaddr_in6*>(&a)->sin6_port));
}

std::unique_ptr<EmberServer> EmberServer::Listen(const std::vector<std::string>& listen,
                                                 std::vector<AddressPrefix> allow,
                                                 EmberServerLimits limits, Provider::Sink sink,
                                                 ProviderOptions options,
                                                 std::function<void(const std::string&)> trace,
                                                 std::string* error) {
  std::unique_ptr<EmberServer> server(new EmberServer());
  server->allow_ = std::move(allow);
  server->limits_ = limits;
  server->trace_ = std::move(trace);
  for (const std::string& text : listen) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!ParseHostPort(text, &address, &length, error)) return nullptr;
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *error = text + ": " + std::strerror(errno);
      return nullptr;
    }
    server->listeners_.push_back(fd);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (address.ss_family == AF_INET6)
      ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 64) != 0) {
      *error = text + ": " + std::strerror(errno);
      return nullptr;
    }
    sockaddr_storage bound{};
    socklen_t bound_length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_length);
    server->addresses_.push_back(AddressText(bound));
  }
  EmberServer* self = server.get();
  sink.output = [self](uint64_t session) {
    auto it = self->connections_.find(session);
    if (it != self->connections_.end()) it->second.wants_write = true;
  };
  sink.close = [self](uint64_t session, const std::string&) {
    auto it = self->connections_.find(session);
    if (it != self->connections_.end()) it->second.closing = true;
  };
  server->provider_ = std::make_unique<Provider>(std::move(sink), std::move(options));
  return server;
}

EmberServer::~EmberServer() {
  for (const int fd : listeners_) ::close(fd);
  for (auto& [id, c] : connections_) ::close(c.fd);
}

void EmberServer::PollFds(std::vector<pollfd>* fds) const {
  for (const int fd : listeners_) fds->push_back(pollfd{fd, POLLIN, 0});
  for (const auto& [id, c] : connections_) {
    fds->push_back(pollfd{c.fd, static_cast<short>(POLLIN | (c.wants_write ? POLLOUT : 0)), 0});
  }
}

void EmberServer::Run(const std::vector<pollfd>& fds, Clock::time_point now) {
  std::map<int, short> ready;
  for (const pollfd& p : fds) {
    if (p.revents != 0) ready[p.fd] = p.revents;
  }
  for (const int fd : listeners_) {
    if (ready.count(fd) != 0) Accept(fd);
  }
  std::vector<uint64_t> ids;
  for (const auto& [id, c] : connections_) ids.push_back(id);
  for (const uint64_t id : ids) {
    auto it = connections_.find(id);
    if (it == connections_.end()) continue;
    Connection& c = it->second;
    auto r = ready.find(c.fd);
    if (r != ready.end() && (r->second & (POLLIN | POLLHUP | POLLERR)) != 0 && !c.closing) {
      Read(id, c, now);
    }
  }
  // Writes after the reads, so that a keep-alive's answer leaves in the same turn.
  for (const uint64_t id : ids) {
    auto it = connections_.find(id);
    if (it == connections_.end()) continue;
    if (!it->second.closing) Write(id, it->second);
    it = connections_.find(id);
    if (it != connections_.end() && it->second.closing) Drop(id);
  }
}

void EmberServer::Accept(int listener) {
  for (int i = 0; i < 64; ++i) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const std::string text = AddressText(peer);
    const std::string address = HostText(Unmapped(peer));
    bool allowed = allow_.empty();
    for (const AddressPrefix& a : allow_) allowed = allowed || a.Contains(peer);
    std::string refused;
    if (!allowed) {
      refused = "not in the allow list";
    } else if (static_cast<int>(connections_.size()) >= limits_.max_connections) {
      refused = std::to_string(limits_.max_connections) + " consumers connected already";
    } else if (per_address_[address] >= limits_.per_address) {
      refused = std::to_string(limits_.per_address) + " consumers from " + address + " already";
    }
    if (!refused.empty()) {
      if (trace_) trace_("ember: " + text + " refused: " + refused);
      ::close(fd);
      if (per_address_[address] == 0) per_address_.erase(address);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A fixed send buffer: what waits for a consumer waits in the provider, which bounds it and
    // lets a keep-alive's answer pass everything not started, rather than in the kernel.
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &limits_.send_buffer, sizeof limits_.send_buffer);
    const uint64_t id = next_id_++;
    Connection& c = connections_[id];
    c.fd = fd;
    c.peer = peer;
    c.peer_text = text;
    c.address = address;
    ++per_address_[address];
    provider_->Open(id, text);
  }
}

void EmberServer::Read(uint64_t id, Connection& c, Clock::time_point now) {
  uint8_t buffer[16384];
  size_t total = 0;
  while (total < limits_.read_per_turn) {
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      total += static_cast<size_t>(n);
      provider_->Received(id, buffer, static_cast<size_t>(n), now);
      if (c.closing) return;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 && errno == EINTR) continue;
    // The consumer has gone (or its connection failed).
    provider_->Closed(id);
    c.closing = true;
    return;
  }
}

void EmberServer::Write(uint64_t id, Connection& c) {
  const uint8_t* data = nullptr;
  size_t size = 0;
  while (provider_->Peek(id, &data, &size)) {
    const ssize_t n = ::send(c.fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      provider_->Sent(id, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      c.wants_write = true;
      return;
    }
    provider_->Closed(id);
    c.closing = true;
    return;
  }
  c.wants_write = false;
}

void EmberServer::Drop(uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  ::close(it->second.fd);
  auto a = per_address_.find(it->second.address);
  if (a != per_address_.end() && --a->second <= 0) per_address_.erase(a);
  provider_->Closed(id);
  connections_.erase(it);
}

}  // namespace kirn::ember
