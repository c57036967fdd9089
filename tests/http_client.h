// A plain HTTP/1.1 client over a loopback TCP socket, every step bounded: what the tests and the
// benchmarks use to talk to `kirn metrics` byte for byte as they mean it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace testing_support {

struct HttpReply {
  int status = 0;    // 0: no status line came
  std::string head;  // status line and headers
  std::string body;
};

// A connected socket to 127.0.0.1:port, or -1; from the loopback address `from` (another one
// of 127.0.0.0/8 stands for another client) when given.
inline int ConnectLoopback(int port, const char* from = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (from != nullptr) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd);
      return -1;
    }
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads until the peer closes, `timeout_ms` passes, or (when `stop_at_length`) the body that
// Content-Length announces is in. Returns what came.
inline std::string ReadReply(int fd, int timeout_ms, bool stop_at_length = true) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string in;
  char buf[65536];
  for (;;) {
    if (stop_at_length) {
      const size_t end = in.find("\r\n\r\n");
      const size_t cl = in.find("Content-Length: ");
      if (end != std::string::npos && cl != std::string::npos && cl < end &&
          in.size() >= end + 4 + std::strtoul(in.c_str() + cl + 16, nullptr, 10)) {
        return in;
      }
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return in;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return in;
    in.append(buf, static_cast<size_t>(n));
  }
}

inline HttpReply ParseReply(const std::string& in) {
  HttpReply r;
  const size_t end = in.find("\r\n\r\n");
  r.head = in.substr(0, end);
  if (end != std::string::npos) r.body = in.substr(end + 4);
  if (in.compare(0, 9, "HTTP/1.1 ") == 0 || in.compare(0, 9, "HTTP/1.0 ") == 0) {
    r.status = std::atoi(in.c_str() + 9);
  }
  return r;
}

// Sends `request` exactly as given and reads the reply (see ReadReply).
inline HttpReply HttpExchange(int port, const std::string& request, int timeout_ms = 5000,
                              const char* from = nullptr) {
  const int fd = ConnectLoopback(port, from);
  if (fd < 0) return {};
  size_t off = 0;
  while (off < request.size()) {
    const ssize_t n = ::send(fd, request.data() + off, request.size() - off, MSG_NOSIGNAL);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  const std::string in = ReadReply(fd, timeout_ms);
  ::close(fd);
  return ParseReply(in);
}

inline HttpReply HttpGet(int port, const std::string& path, int timeout_ms = 5000,
                         const char* method = "GET", const char* from = nullptr) {
  return HttpExchange(port,
                      std::string(method) + " " + path +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
                      timeout_ms, from);
}

}  // namespace testing_support
