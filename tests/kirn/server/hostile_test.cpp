// kirn metrics against a hostile neighbour on the same network: requests the HTTP library
// refuses on its own, peers that trickle their request heads into every slot they can get,
// guesses that time user names or hide a NUL in a password, and a flood of good passwords that
// would push Prometheus's out of the cache.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "e2e_site.h"
#include "http_client.h"
#include "tools/kirn/server/basic_auth.h"

namespace {

using testing_support::HttpExchange;
using testing_support::HttpGet;
using testing_support::HttpReply;
using testing_support::Process;
using testing_support::WriteFile;

bool Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

int CountOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

std::string Basic(const std::string& credentials) {
  return "Authorization: Basic " + QByteArray::fromStdString(credentials).toBase64().toStdString() +
         "\r\n";
}

class HostileTest : public testing_support::SiteTest {
 protected:
  void TearDown() override {
    if (metrics_) {
      EXPECT_EQ(metrics_->Stop(), 0) << metrics_->Stderr();
      EXPECT_FALSE(Contains(metrics_->Stderr(), "Sanitizer")) << metrics_->Stderr();
      EXPECT_FALSE(Contains(metrics_->Stderr(), "runtime error")) << metrics_->Stderr();
    }
  }
  // A bcrypt hash of `password` of `cost`, made by htpasswd.
  std::string Hash(const std::string& password, int cost) {
    Process p({"/bin/sh", "-c",
               "htpasswd -nbBC " + std::to_string(cost) + " u '" + password + "' | cut -d: -f2"});
    p.Wait(20000);
    std::string hash = p.Stdout();
    return hash.substr(0, hash.find('\n'));
  }
  // The reply to `head_lines` (the request line and headers, without the empty line) sent whole,
  // as one string.
  std::string Raw(const std::string& head_lines, const char* from = nullptr) {
    const int fd = testing_support::ConnectLoopback(port_, from);
    const std::string request = head_lines + "\r\n";
    for (size_t off = 0; off < request.size();) {
      const ssize_t n = ::send(fd, request.data() + off, request.size() - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    const std::string reply = testing_support::ReadReply(fd, 5000, false);
    ::close(fd);
    return reply;
  }
  std::unique_ptr<Process> metrics_;
  int port_ = 0;
};

// What the HTTP library refuses before any handler (no Host in HTTP/1.1, a version it does not
// speak, a request line or headers too long) is answered once, as plain text with the headers of
// every answer; a request with hundreds of query arguments gets an answer too.
TEST_F(HostileTest, TheLibrarysOwnRefusalsCarryTheHeaders) {
  metrics_ = StartMetrics(&port_);
  std::string many = "GET /healthz?";
  for (int i = 0; i < 300; ++i) many += "a&";
  const std::vector<std::pair<std::string, int>> cases = {
      {"GET /healthz HTTP/1.1\r\n", 400},
      {"GET /healthz HTTP/2.0\r\nHost: localhost\r\n", 505},
      {"GET /healthz HTTP/0.9\r\nHost: localhost\r\n", 505},
      {"GET /" + std::string(40000, 'a') + " HTTP/1.1\r\nHost: localhost\r\n", 414},
      {"GET /" + std::string(2000, 'a') + " HTTP/1.1\r\nHost: localhost\r\n", 414},
      {"GET /healthz HTTP/1.1\r\nHost: localhost\r\nX: " + std::string(40000, 'b') + "\r\n", 431},
      {"GET /healthz HTTP/1.1\r\nHost: localhost\r\nX: " + std::string(20000, 'b') + "\r\n", 431},
      {many + " HTTP/1.1\r\nHost: localhost\r\n", 503},  // served: no bus
  };
  for (const auto& [request, status] : cases) {
    const std::string reply = Raw(request);
    const std::string what = request.substr(0, 30) + " (" + std::to_string(request.size()) + ")\n";
    EXPECT_EQ(testing_support::ParseReply(reply).status, status) << what << reply.substr(0, 300);
    EXPECT_EQ(CountOf(reply, "\r\nContent-Length: "), 1) << what << reply.substr(0, 600);
    EXPECT_TRUE(Contains(reply, "\r\nX-Content-Type-Options: nosniff\r\n")) << what << reply;
    EXPECT_TRUE(Contains(reply, "\r\nContent-Security-Policy: default-src 'none'")) << what;
    EXPECT_TRUE(Contains(reply, "\r\nContent-Type: text/plain")) << what << reply;
    EXPECT_FALSE(Contains(reply, "<html")) << what << reply;
  }
}

// 45 addresses open 8 connections each and trickle their request heads a byte at a time,
// reconnecting whenever they are closed; they hold at most the slots of unknown connections,
// and a client that has been served before keeps getting every answer.
TEST_F(HostileTest, TricklingPeersCannotTakeTheLastSlotFromAKnownClient) {
  auto serve = StartServe();
  metrics_ = StartMetrics(&port_);
  ASSERT_GT(HttpGet(port_, "/healthz", 5000, "GET", "127.0.0.2").status, 0);
  struct Peer {
    int fd = -1;
    std::string from;
    size_t sent = 0;
    Clock::time_point last{};
  };
  std::vector<Peer> peers;
  for (int a = 0; a < 45; ++a) {
    for (int c = 0; c < 8; ++c) peers.push_back(Peer{-1, "127.0.2." + std::to_string(10 + a)});
  }
  std::atomic<bool> on{true};
  std::atomic<int> connects{0};
  // Each peer sends a byte of its head every 300 ms and comes back at once when it is closed.
  std::thread trickle([&] {
    const std::string head = "GET /metrics HTTP/1.1\r\nHost: localhost\r\nX-Slow: ";
    while (on) {
      const auto now = Clock::now();
      for (Peer& p : peers) {
        if (p.fd >= 0) {
          char byte;
          const ssize_t n = ::recv(p.fd, &byte, 1, MSG_DONTWAIT);
          if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            ::close(p.fd);
            p.fd = -1;
          }
        }
        if (p.fd < 0) {
          p.fd = testing_support::ConnectLoopback(port_, p.from.c_str());
          if (p.fd < 0) continue;
          ::fcntl(p.fd, F_SETFL, O_NONBLOCK);
          p.sent = 0;
          p.last = Clock::time_point{};
          ++connects;
        }
        if (now - p.last >= std::chrono::milliseconds(300)) {
          const char byte = p.sent < head.size() ? head[p.sent] : 'x';
          ++p.sent;
          p.last = now;
          ::send(p.fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (Peer& p : peers) {
      if (p.fd >= 0) ::close(p.fd);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  int answered = 0;
  long long worst = 0;
  for (int i = 0; i < 15; ++i) {
    const auto t0 = Clock::now();
    if (HttpGet(port_, "/healthz", 3000, "GET", "127.0.0.2").status == 200) ++answered;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    worst = std::max<long long>(worst, ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max<long long>(0, 1000 - ms)));
  }
  on = false;
  trickle.join();
  std::printf("45 x 8 trickling peers (%d connects): %d of 15 scrapes answered, slowest %lld ms\n",
              connects.load(), answered, worst);
  EXPECT_EQ(answered, 15);
  EXPECT_LT(worst, 1000);
  EXPECT_GT(connects, 360);  // the trickling peers were closed and came back
}

// An unknown user's answer takes as long as a wrong password of the slowest user (the dummy hash
// has the highest cost), and a NUL or another control character in a user name or password is
// refused, never cut short.
TEST_F(HostileTest, UnknownUsersTakeAsLongAndControlCharactersAreRefused) {
  WriteFile(dir_.path() / "web.yml", "basic_auth_users:\n  a: '" + Hash("quick", 4) + "'\n  z: '" +
                                         Hash("slow", 12) + "'\n");
  metrics_ = StartMetrics(&port_, {"--web-config", (dir_.path() / "web.yml").string()});
  int from = 10;
  auto timed = [&](const std::string& credentials, int* status) {
    const std::string address = "127.0.3." + std::to_string(from++);
    const auto t0 = Clock::now();
    *status = HttpExchange(port_,
                           "GET /healthz HTTP/1.1\r\nHost: x\r\n" + Basic(credentials) +
                               "Connection: close\r\n\r\n",
                           10000, address.c_str())
                  .status;
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
  };
  std::vector<long long> unknown, wrong;
  int status = 0;
  for (int i = 0; i < 3; ++i) {
    unknown.push_back(timed("nobody:slow", &status));
    EXPECT_EQ(status, 401);
    wrong.push_back(timed("z:wrong", &status));
    EXPECT_EQ(status, 401);
  }
  std::sort(unknown.begin(), unknown.end());
  std::sort(wrong.begin(), wrong.end());
  std::printf("median answer: unknown user %lld us, wrong password of the cost-12 user %lld us\n",
              unknown[1], wrong[1]);
  EXPECT_GT(unknown[1], wrong[1] / 2);
  EXPECT_EQ((timed("a:quick", &status), status), 503);  // let through: no bus
  for (const std::string& bad :
       {std::string("a:quick\0anything", 16), std::string("a:quick\n"), std::string("a\t:quick")}) {
    timed(bad, &status);
    EXPECT_EQ(status, 401) << bad;
  }
}

// Good passwords are remembered up to a bound, the least recently used forgotten first and one
// at a time: a user who logs in with a thousand variants of a long password does not push out
// a scraper that keeps using its own.
TEST(BasicAuthTest, TheCacheForgetsTheLeastRecentlyUsedOneAtATime) {
  int checks = 0;
  kirn::BasicAuthenticator auth([&checks](const std::string& password, const std::string&) {
    ++checks;
    return password.rfind("good", 0) == 0;
  });
  auth.SetUsers(
      {{"prom", "$2b$04$" + std::string(53, 'p')}, {"flood", "$2b$04$" + std::string(53, 'f')}});
  uint64_t ticket = 0;
  auto login = [&](const std::string& user, const std::string& password) {
    const std::string header =
        "Basic " + QByteArray::fromStdString(user + ":" + password).toBase64().toStdString();
    int retry = 0;
    auth.ForgetFailures();
    const auto verdict = auth.Check("127.0.0.1", header, ++ticket, &retry);
    if (verdict != kirn::HttpAuthenticator::Verdict::kPending) {
      return verdict == kirn::HttpAuthenticator::Verdict::kAllow;
    }
    for (int i = 0; i < 1000; ++i) {
      pollfd p{auth.fd(), POLLIN, 0};
      ::poll(&p, 1, 10);
      for (const auto& [t, ok] : auth.TakeDone()) {
        if (t == ticket) return ok;
      }
    }
    return false;
  };
  ASSERT_TRUE(login("prom", "good"));
  for (size_t i = 0; i < kirn::BasicAuthenticator::kMaxCached + 100; ++i) {
    ASSERT_TRUE(login("flood", "good" + std::to_string(i)));
    if (i % 100 == 0) {
      ASSERT_TRUE(login("prom", "good"));
    }
  }
  EXPECT_EQ(auth.cached(), kirn::BasicAuthenticator::kMaxCached);
  checks = 0;
  EXPECT_TRUE(login("prom", "good"));
  EXPECT_TRUE(login("flood", "good" + std::to_string(kirn::BasicAuthenticator::kMaxCached + 99)));
  EXPECT_EQ(checks, 0);  // both still remembered
  EXPECT_TRUE(login("flood", "good0"));
  EXPECT_EQ(checks, 1);  // the oldest went
  // A new file with the same hash for prom and a new one for flood keeps only prom's.
  auth.SetUsers(
      {{"prom", "$2b$04$" + std::string(53, 'p')}, {"flood", "$2b$04$" + std::string(53, 'g')}});
  EXPECT_EQ(auth.cached(), 1u);
  EXPECT_TRUE(login("prom", "good"));
  EXPECT_EQ(checks, 1);
}

}  // namespace
