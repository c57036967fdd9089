// The event streams of `kirn metrics` (/api/events) against a real driver and the bus host,
// read byte for byte over loopback: a stream resumed with its last id loses no change, a client
// that stops reading is closed while a fast one keeps up, and scrapes are served with 50
// streams open.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "e2e_site.h"
#include "http_client.h"

namespace {

using testing_support::HttpGet;
using testing_support::Process;
using testing_support::WriteFile;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 10000;

struct Event {
  std::string id, type, data;
};

// One stream read as a client would: HTTP/1.0, so the body is the events as they are written.
class Stream {
 public:
  Stream(int port, const std::string& query, const std::string& last_id = "",
         const char* from = nullptr, int receive_buffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from != nullptr ? from : "127.0.0.1", &local.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    std::string request = "GET /api/events" + query + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    if (!last_id.empty()) request += "Last-Event-ID: " + last_id + "\r\n";
    request += "\r\n";
    ok_ = ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size());
  }
  ~Stream() {
    if (fd_ >= 0) ::close(fd_);
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Reads until an event of `type` (with `data_part` in its data) has come; false at the end of
  // the stream or after `timeout_ms`.
  bool WaitFor(const std::string& type, const std::string& data_part, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
      for (; seen_ < events_.size(); ++seen_) {
        if (events_[seen_].type == type &&
            events_[seen_].data.find(data_part) != std::string::npos) {
          ++seen_;
          return true;
        }
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || !ReadSome(static_cast<int>(left))) return false;
    }
  }
  // Reads what has come within `timeout_ms`; false once the stream has ended.
  bool ReadSome(int timeout_ms) {
    if (!ok_ || closed_) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return true;
    char buf[65536];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    in_.append(buf, static_cast<size_t>(n));
    if (head_.empty()) {
      const size_t end = in_.find("\r\n\r\n");
      if (end == std::string::npos) return true;
      head_ = in_.substr(0, end);
      in_.erase(0, end + 4);
    }
    for (size_t end; (end = in_.find("\n\n")) != std::string::npos;) {
      const std::string block = in_.substr(0, end + 1);
      in_.erase(0, end + 2);
      Event e;
      for (size_t at = 0, nl; (nl = block.find('\n', at)) != std::string::npos; at = nl + 1) {
        const std::string line = block.substr(at, nl - at);
        if (line.starts_with("id: ")) e.id = line.substr(4);
        if (line.starts_with("event: ")) e.type = line.substr(7);
        if (line.starts_with("data: ")) e.data += line.substr(6);
      }
      if (!e.type.empty()) events_.push_back(e);
    }
    return true;
  }
  // The stream ends (the server closes it) within `timeout_ms`.
  bool Ends(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
      if (!ReadSome(50)) return closed_;
    }
    return false;
  }
  // The head of the answer has come within `timeout_ms`.
  bool Head(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (head_.empty() && Clock::now() < deadline && ReadSome(20)) {
    }
    return !head_.empty();
  }
  const std::vector<Event>& events() const { return events_; }
  const std::string& head() const { return head_; }
  size_t Count(const std::string& type) const {
    size_t n = 0;
    for (const Event& e : events_) n += e.type == type;
    return n;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
  bool closed_ = false;
  std::string in_, head_;
  std::vector<Event> events_;
  size_t seen_ = 0;
};

class EventsTest : public testing_support::SiteTest {
 protected:
  void SetUp() override {
    WriteSimulationSite();
    serve_ = StartServe();
    driver_ = StartDriver(*serve_);
    metrics_ = StartMetrics(&port_);
    ASSERT_GT(port_, 0);
  }
  void TearDown() override {
    if (!metrics_) return;
    EXPECT_EQ(metrics_->Stop(), 0) << metrics_->Stderr();
    EXPECT_EQ(metrics_->Stderr().find("Sanitizer"), std::string::npos) << metrics_->Stderr();
    EXPECT_EQ(metrics_->Stderr().find("runtime error"), std::string::npos) << metrics_->Stderr();
  }
  // "source S to destination D of router 101" as the driver takes it.
  static std::string Route(int source, int dest) {
    return "RC 101 " + std::to_string(source) + " " + std::to_string(dest) + " ',---' 0";
  }
  static std::string RouteData(int dest, int source) {
    return "\"destination\":" + std::to_string(dest) +
           ",\"driver\":12,\"router\":101,\"source\":" + std::to_string(source);
  }

  std::unique_ptr<Process> serve_, driver_, metrics_;
  int port_ = 0;
};

TEST_F(EventsTest, AStreamResumedWithItsLastIdLosesNoChangeAndScrapesAreServedBesideFifty) {
  std::string last_id;
  {
    Stream s(port_, "?driver=12&router=101");
    ASSERT_TRUE(s.WaitFor("snapshot", "\"table\"", kWaitMs)) << s.head();
    EXPECT_NE(s.head().find("Content-Type: text/event-stream"), std::string::npos) << s.head();
    EXPECT_NE(s.head().find("X-Content-Type-Options: nosniff"), std::string::npos) << s.head();
    Kirn({"send", "101", Route(5, 3)});
    ASSERT_TRUE(s.WaitFor("route", RouteData(3, 5), kWaitMs));
    last_id = s.events().back().id;
  }
  // Changes while the client is away.
  Kirn({"send", "101", Route(6, 4)});
  Kirn({"send", "101", Route(7, 5)});
  Stream resumed(port_, "?driver=12&router=101", last_id);
  EXPECT_TRUE(resumed.WaitFor("route", RouteData(4, 6), kWaitMs));
  EXPECT_TRUE(resumed.WaitFor("route", RouteData(5, 7), kWaitMs));
  EXPECT_EQ(resumed.Count("snapshot"), 0u) << "a resumed stream starts with what it missed";
  // An id it cannot resume from (another run's) starts with a snapshot.
  Stream fresh(port_, "?driver=12&router=101", "1-3");
  EXPECT_TRUE(fresh.WaitFor("snapshot", "\"table\"", kWaitMs));

  // 50 streams more (from four loopback addresses: at most 16 from one), and a scrape still
  // has its usual slots and time. (The streams closed by their clients above may still count:
  // a quiet stream learns of its end at its next write.)
  std::vector<std::unique_ptr<Stream>> many;
  const char* from[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
  for (int i = 0; i < 50; ++i) {
    many.push_back(
        std::make_unique<Stream>(port_, i % 2 ? "" : "?driver=12&router=101", "", from[i / 16]));
    // A stream counts as one once its head is out; until then it holds an ordinary slot.
    ASSERT_TRUE(many.back()->Head(kWaitMs)) << i;
  }
  for (auto& s : many) ASSERT_TRUE(s->WaitFor("snapshot", "", kWaitMs)) << s->head();
  // The slowest of five scrapes, each at another phase of the streams' surveys.
  testing_support::HttpReply r;
  long long ms = 0;
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(137));
    const auto asked = Clock::now();
    r = HttpGet(port_, "/metrics");
    ms = std::max<long long>(
        ms, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count());
    ASSERT_EQ(r.status, 200);
  }
  std::printf("/metrics with 52 streams open: slowest of 5 scrapes %lld ms\n", ms);
  EXPECT_EQ(r.status, 200);
  const size_t at = r.body.find("\nxarvel_exporter_event_streams ");
  ASSERT_NE(at, std::string::npos);
  EXPECT_GE(std::atoi(r.body.c_str() + at + 31), 52) << r.body.substr(at, 40);
  EXPECT_LT(ms, 1000);
  // The 17th stream from one address is refused; an ordinary request from it is still served.
  Stream refused(port_, "", "", "127.0.0.2");
  refused.Ends(kWaitMs);
  EXPECT_NE(refused.head().find(" 503 "), std::string::npos) << refused.head();
  EXPECT_EQ(HttpGet(port_, "/healthz", 5000, "GET", "127.0.0.2").status, 200);
}

TEST_F(EventsTest, AStalledClientIsClosedWhileAFastOneGetsEveryRoute) {
  Stream fast(port_, "?driver=12&router=101");
  Stream stalled(port_, "?driver=12&router=101", "", nullptr, 4096);
  ASSERT_TRUE(fast.WaitFor("snapshot", "", kWaitMs));
  ASSERT_TRUE(stalled.WaitFor("snapshot", "", kWaitMs));
  // A salvo far more than a client that reads nothing can be held for.
  constexpr int kRoutes = 6000;
  std::string list;
  for (int i = 0; i < kRoutes; ++i) list += Route(1 + i % 30, 1 + i % 16) + "\n";
  list += Route(31, 16) + "\n";
  const auto file = dir_.path() / "salvo.txt";
  WriteFile(file, list);
  Process send({"/bin/sh", "-c",
                std::string("exec '") + KIRN_BIN + "' send 101 - --wait 200 < '" + file.string() +
                    "' > /dev/null"},
               Env());
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (send.Wait(0) == -1 && Clock::now() < deadline) fast.ReadSome(20);
  ASSERT_EQ(send.Wait(1000), 0) << send.Stderr();
  const auto sent = Clock::now();
  EXPECT_TRUE(fast.WaitFor("route", RouteData(16, 31), kWaitMs));
  std::printf(
      "salvo sent -> its last route on the fast stream: %lld ms\n",
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count()));
  EXPECT_GE(fast.Count("route"), static_cast<size_t>(kRoutes + 1));
  EXPECT_TRUE(stalled.Ends(kWaitMs)) << "the stalled stream is closed";
  EXPECT_LT(stalled.Count("route"), static_cast<size_t>(kRoutes));
  const testing_support::HttpReply r = HttpGet(port_, "/metrics");
  EXPECT_NE(r.body.find("\nxarvel_exporter_event_streams_behind_total 1\n"), std::string::npos);
  EXPECT_NE(r.body.find("\nxarvel_exporter_event_streams 1\n"), std::string::npos)
      << r.body.substr(r.body.find("\nxarvel_exporter_event_streams "), 40);
}

}  // namespace
