// The Ember+ provider's TCP side: listening sockets, the allow list and the connection limits,
// and the moving of bytes between the consumers' sockets and the provider, from the caller's poll
// loop. Non-blocking throughout: it never waits on a consumer.
//
// A peer outside the allow list, or over a limit (all connections, connections from one address),
// is closed at accept with one trace line. Bytes are read as they come and handed to the
// provider; what the provider has to send is written while the socket takes it.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/kirn/ember/provider.h"

namespace kirn::ember {

// An address with a prefix length, "ADDRESS/PREFIX" (IPv4 or IPv6; without "/PREFIX" the whole
// address).
struct AddressPrefix {
  sockaddr_storage address{};
  int bits = 0;
  // Reads `text`; false with `error` set when it does not read.
  static bool Parse(const std::string& text, AddressPrefix* out, std::string* error);
  // The address falls inside (an IPv4 address mapped into IPv6 counts as IPv4).
  bool Contains(const sockaddr_storage& peer) const;
};

// "ADDR:PORT" with a numeric IPv4 address or a bracketed IPv6 one; false with `error` set.
bool ParseHostPort(const std::string& text, sockaddr_storage* address, socklen_t* length,
                   std::string* error);
// A peer's address as text: "127.0.0.1:5000", "[::1]:5000".
std::string AddressText(const sockaddr_storage& address);

struct EmberServerLimits {
  int max_connections = 128;
  int per_address = 16;
  // Bytes read from one consumer per turn, so that one busy consumer does not hold up the others.
  size_t read_per_turn = 256 * 1024;
  // The kernel's send buffer of each connection (which doubles it).
  int send_buffer = 64 * 1024;
};

class EmberServer {
 public:
  using Clock = Provider::Clock;

  // Listens on every address of `listen`. The provider's sink is wired to this server (output and
  // close); its other members are kept. `trace` gets the refusals. nullptr with `error` set when
  // an address does not read or cannot be bound.
  static std::unique_ptr<EmberServer> Listen(const std::vector<std::string>& listen,
                                             std::vector<AddressPrefix> allow,
                                             EmberServerLimits limits, Provider::Sink sink,
                                             ProviderOptions options,
                                             std::function<void(const std::string&)> trace,
                                             std::string* error);
  ~EmberServer();
  EmberServer(const EmberServer&) = delete;
  EmberServer& operator=(const EmberServer&) = delete;

  Provider& provider() { return *provider_; }
  // Where it listens, as bound ("127.0.0.1:9000").
  const std::vector<std::string>& addresses() const { return addresses_; }
  size_t connections() const { return connections_.size(); }

  // Appends the descriptors to poll: the listeners, every connection (for writing too when it has
  // something to send).
  void PollFds(std::vector<pollfd>* fds) const;
  // Handles what `fds` (as filled by PollFds and polled) says is ready, then writes what waits.
  void Run(const std::vector<pollfd>& fds, Clock::time_point now);

 private:
  struct Connection {
    int fd = -1;
    sockaddr_storage peer{};
    std::string peer_text;
    std::string address;  // the peer's address without the port, for the per-address limit
    bool wants_write = false;
    bool closing = false;
  };
  EmberServer() = default;
  void Accept(int listener);
  void Read(uint64_t id, Connection& c, Clock::time_point now);
  void Write(uint64_t id, Connection& c);
  void Drop(uint64_t id);

  std::unique_ptr<Provider> provider_;
  std::vector<int> listeners_;
  std::vector<std::string> addresses_;
  std::vector<AddressPrefix> allow_;
  EmberServerLimits limits_;
  std::function<void(const std::string&)> trace_;
  std::map<uint64_t, Connection> connections_;
  std::map<std::string, int> per_address_;
  uint64_t next_id_ = 1;
};

}  // namespace kirn::ember
