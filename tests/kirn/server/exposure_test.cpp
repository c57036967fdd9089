// kirn metrics facing a network: loose HTTP framing, foreign Host names, clients that hold
// every slot they can, peers whose answers would break the exposition, and two windows that
// answer as one driver.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/panel_counters.h"
#include "e2e_site.h"
#include "http_client.h"
#include "tools/kirn/common/text_encoding.h"
#include "tools/kirn/exposition/metrics_text.h"
#include "tools/kirn/survey/counter_lines.h"

namespace {

using testing_support::HttpExchange;
using testing_support::HttpGet;
using testing_support::HttpReply;
using testing_support::Process;
using testing_support::WriteFile;

constexpr int kWaitMs = 10000;

bool Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

int CountOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// promtool's verdict on `exposition`: empty when it is valid.
std::string Promtool(const testing_support::TempDir& dir, const std::string& exposition) {
  const auto file = dir.path() / "scrape.txt";
  WriteFile(file, exposition);
  Process p({"/bin/sh", "-c", "promtool check metrics < " + file.string()});
  const int code = p.Wait(kWaitMs);
  return code == 0 ? "" : "exit " + std::to_string(code) + ": " + p.Stdout() + p.Stderr();
}

// A driver's answer as a peer might give it: invalid UTF-8, control bytes, quotes and
// backslashes in label values, an undocumented label, a duplicate series, a bound that is not
// a number, a line that is no line at all. Only the bad series go; the page stays valid.
TEST(ExpositionTest, APeerWithBadBytesAndLabelsLeavesTheExpositionValid) {
  testing_support::TempDir dir;
  const std::string answer =
      "format 1\ndriver 12\ninterface_mode 2\ncomms_state 1\n"
      "link_up controller=A\xff\x01\"\\ 1\n"  // invalid byte, control, quote, backslash
      "routes router=101 7\n"
      "routes router=101 8\n"                         // the same series again
      "routes router=102 evil=1 3\n"                  // an undocumented label
      "commands_received kind=\xc3\xa9t\xc3\xa9 4\n"  // valid UTF-8 stays as it is
      "route_report_latency_bucket le=abc 1\n"        // not a bound
      "route_report_latency_bucket le=+Inf 2\n"
      "route_report_latency_sum_us 1000\nroute_report_latency_count 2\n"
      "what\x01ever\n"
      "end 1\n";
  kirn::DriverReading good;
  good.driver = 12;
  good.up = true;
  good.counters = xarvel::ParsePanelCounters(answer);
  EXPECT_EQ(kirn::DropBadLines(&good.counters), 4);
  kirn::DriverReading conflict;
  conflict.driver = 14;
  conflict.conflict = true;
  conflict.windows = {3, 4};
  kirn::Survey survey;
  survey.bus = true;
  survey.drivers = {good, conflict};

  const std::string text = kirn::ExpositionText(survey);
  EXPECT_EQ(Promtool(dir, text), "") << text;
  EXPECT_TRUE(Contains(
      text, "xarvel_link_up{driver=\"12\",controller=\"A\xEF\xBF\xBD\xEF\xBF\xBD\\\"\\\\\"} 1"))
      << text;
  EXPECT_TRUE(Contains(text, "xarvel_routes_total{driver=\"12\",router=\"101\"} 7")) << text;
  EXPECT_EQ(CountOf(text, "xarvel_routes_total{"), 1) << text;
  EXPECT_TRUE(Contains(text, "kind=\"\xc3\xa9t\xc3\xa9\"")) << text;
  EXPECT_FALSE(Contains(text, "evil")) << text;
  EXPECT_TRUE(Contains(text, "xarvel_driver_conflict{driver=\"14\"} 1")) << text;
  EXPECT_TRUE(Contains(text, "xarvel_up{driver=\"14\"} 0")) << text;
  const kirn::Health health = kirn::HealthOf(survey);
  EXPECT_EQ(health.status, 503);
  EXPECT_TRUE(Contains(health.text, "driver 14: XARVEL CRITICAL - 2 windows answer as this driver"))
      << health.text;
}

class WebServerTest : public testing_support::SiteTest {
 protected:
  void TearDown() override {
    if (metrics_) {
      // It ends cleanly on SIGTERM, with nothing from the sanitizers on its way out.
      EXPECT_EQ(metrics_->Stop(), 0) << metrics_->Stderr();
      EXPECT_FALSE(Contains(metrics_->Stderr(), "Sanitizer")) << metrics_->Stderr();
      EXPECT_FALSE(Contains(metrics_->Stderr(), "runtime error")) << metrics_->Stderr();
    }
  }
  HttpReply Get(const std::string& head_lines, const char* from = nullptr) {
    return HttpExchange(
        port_, "GET /healthz HTTP/1.1\r\n" + head_lines + "Connection: close\r\n\r\n", 5000, from);
  }
  std::unique_ptr<Process> metrics_;
  int port_ = 0;
};

TEST_F(WebServerTest, LooseFramingAndForeignHostsAreRefusedOnce) {
  metrics_ = StartMetrics(&port_, {"--allowed-host", "desk.example"});
  const std::string host = "Host: 127.0.0.1\r\n";
  for (const std::string& loose :
       {host + "Content-Length: 0\r\nContent-Length: 5\r\n", host + "Host: evil.example\r\n",
        host + "X-A: a\rb\r\n", host + "Content-Length: +0\r\n"}) {
    const std::string raw = testing_support::ReadReply(
        [&] {
          const int fd = testing_support::ConnectLoopback(port_);
          const std::string req = "GET /healthz HTTP/1.1\r\n" + loose + "\r\n";
          ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
          return fd;
        }(),
        3000, false);
    EXPECT_EQ(testing_support::ParseReply(raw).status, 400) << loose << raw;
    // A signed Content-Length is refused by the library itself, before any handler: it sends
    // its status line twice (one body, then it closes), which no handler can mend.
    if (!Contains(loose, "+0")) {
      EXPECT_EQ(CountOf(raw, "HTTP/1.1 "), 1) << loose << raw;
    }
  }
  // A page whose name was rebound to this address reads nothing; this machine's own names,
  // loopback ones and --allowed-host names are served, with or without the port.
  const HttpReply rebound = Get("Host: attacker.example:" + std::to_string(port_) + "\r\n");
  EXPECT_EQ(rebound.status, 421);
  EXPECT_FALSE(Contains(rebound.body, "XARVEL"));
  for (const std::string& ok : {std::string("localhost"), "127.0.0.1:" + std::to_string(port_),
                                std::string("DESK.example"), std::string("desk.example:80")}) {
    EXPECT_EQ(Get("Host: " + ok + "\r\n").status, 503) << ok;  // no bus: 503, but served
  }
}

// Three addresses open 40 idle connections each: each holds only 8 slots, and a fourth address
// is served at once, again and again.
TEST_F(WebServerTest, ThreeAddressesCannotStarveAFourth) {
  auto serve = StartServe();
  metrics_ = StartMetrics(&port_);
  std::vector<int> held;
  for (const char* from : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
    for (int i = 0; i < 40; ++i) {
      const int fd = testing_support::ConnectLoopback(port_, from);
      if (fd >= 0) held.push_back(fd);
    }
  }
  // Let the server take them all in (and close those over the bound).
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::chrono::microseconds worst{0};
  for (int i = 0; i < 5; ++i) {
    const auto t0 = Clock::now();
    EXPECT_EQ(Get("Host: 127.0.0.1\r\n", "127.0.0.4").status, 200);
    worst =
        std::max(worst, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0));
  }
  std::printf("fourth address with 3 x 40 held: slowest of 5 answers %lld us\n",
              static_cast<long long>(worst.count()));
  EXPECT_LT(worst, std::chrono::seconds(1));
  // An address over its bound is closed at once rather than kept waiting.
  int closed = 0;
  for (const int fd : held) {
    char byte;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0) ++closed;
    ::close(fd);
  }
  EXPECT_GE(closed, 3 * 32);
}

// A second driver that calls itself driver 12 (a copy of the site started by mistake, with
// other router ids): the exporter takes neither, says so, and /healthz is 503.
TEST_F(WebServerTest, TwoWindowsAsOneDriverAreAConflict) {
  WriteSimulationSite();
  testing_support::TempDir copy;
  WriteFile(copy.path() / "DEV_012.INI",
            "[Controller]\nSimulation=1\n[Routers]\nRouter_A=201,1,16\n");
  WriteFile(copy.path() / "DEV_201.INI", "[Database]\nDatabaseSize_0=32\nDatabaseSize_1=16\n");
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  std::vector<std::string> env = Env();
  env.push_back("KIRN_WINDIR=" + copy.str());
  Process second({XARVEL_BIN, "12"}, env);
  ASSERT_TRUE(serve->WaitForOutput("register 201 ", kWaitMs)) << serve->Stdout();
  metrics_ = StartMetrics(&port_);
  HttpReply health;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  do {
    health = HttpGet(port_, "/healthz");
  } while (!Contains(health.body, "windows answer as this driver") && Clock::now() < deadline);
  EXPECT_EQ(health.status, 503) << health.body;
  EXPECT_TRUE(Contains(health.body, "driver 12: XARVEL CRITICAL - 2 windows answer as this driver"))
      << health.body;
  const HttpReply metrics = HttpGet(port_, "/metrics");
  EXPECT_TRUE(Contains(metrics.body, "xarvel_driver_conflict{driver=\"12\"} 1")) << metrics.body;
  EXPECT_TRUE(Contains(metrics.body, "xarvel_up{driver=\"12\"} 0")) << metrics.body;
  // kirn status takes neither either: its check is CRITICAL (exit 2).
  const testing_support::Result check = Kirn({"status", "101", "--check"});
  EXPECT_EQ(check.code, 2) << check.out << check.err;
  EXPECT_TRUE(Contains(check.out, "XARVEL CRITICAL - two windows")) << check.out;
  EXPECT_TRUE(Contains(check.out, "answer as driver 12")) << check.out;
  EXPECT_EQ(second.Stop(5000), 0);
  EXPECT_EQ(driver->Stop(5000), 0);
}

// Names as a Windows editor and a Linux one save them: Windows-1252 bytes and UTF-8. The JSON
// shows both as the same characters, in valid UTF-8.
TEST_F(WebServerTest, NamesShowInTheirEncoding) {
  WriteSimulationSite();
  WriteFile(dir_.path() / "DEV_101.INI",
            "[Database]\nDatabaseSize_0=32\nDatabaseSize_1=16\n"
            "[Database_0]\n5=Caf\xe9 1\n6=Cam\xc3\xa9ra 2\n7=\x80uro\n[Database_1]\n1=MON 1\n");
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  metrics_ = StartMetrics(&port_);
  std::string body;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  do {
    body = HttpGet(port_, "/api/driver/12?router=101").body;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (!Contains(body, "\"7\":") && Clock::now() < deadline);
  EXPECT_TRUE(Contains(body, "\"5\":\"Caf\xc3\xa9 1\"")) << body;
  EXPECT_TRUE(Contains(body, "\"6\":\"Cam\xc3\xa9ra 2\"")) << body;
  EXPECT_TRUE(Contains(body, "\"7\":\"\xe2\x82\xacuro\"")) << body;
  EXPECT_TRUE(kirn::IsUtf8(body));
  EXPECT_EQ(driver->Stop(5000), 0);
}

}  // namespace
