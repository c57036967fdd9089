// kirn metrics as Prometheus and an operator's checks meet it: real drivers, bus host and
// controller emulator, scraped over loopback HTTP; promtool reads the exposition.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e_site.h"
#include "http_client.h"
#include "sim_process.h"

namespace {

using testing_support::HttpExchange;
using testing_support::HttpGet;
using testing_support::HttpReply;
using testing_support::Process;
using testing_support::SimProcess;
using testing_support::WriteFile;

constexpr int kWaitMs = 10000;

bool Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

// The value of the sample `series` (name and labels as exposed), NaN when there is none.
double Sample(const std::string& body, const std::string& series) {
  const std::string key = "\n" + series + " ";
  const size_t at = ("\n" + body).find(key);
  if (at == std::string::npos) return std::nan("");
  return std::strtod(body.c_str() + at + key.size() - 1, nullptr);
}

class MetricsTest : public testing_support::SiteTest {
 protected:
  // The exporter ends cleanly on SIGTERM, with nothing from the sanitizers on its way out.
  void TearDown() override {
    if (!metrics_) return;
    EXPECT_EQ(metrics_->Stop(), 0) << metrics_->Stderr();
    EXPECT_FALSE(Contains(metrics_->Stderr(), "Sanitizer")) << metrics_->Stderr();
    EXPECT_FALSE(Contains(metrics_->Stderr(), "runtime error")) << metrics_->Stderr();
  }

  std::string Scrape() {
    const HttpReply r = HttpGet(port_, "/metrics");
    EXPECT_EQ(r.status, 200) << r.head;
    EXPECT_TRUE(Contains(r.head, "Content-Type: text/plain; version=0.0.4")) << r.head;
    return r.body;
  }

  // Scrapes until `series` has `value`; the last scrape in `last`.
  bool ScrapeUntil(const std::string& series, double value, std::string* last) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    do {
      *last = Scrape();
      if (Sample(*last, series) == value) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < deadline);
    return false;
  }

  // promtool's verdict on an exposition: its output, empty when it found nothing to say.
  std::string Promtool(const std::string& exposition) {
    if (std::system("command -v promtool >/dev/null 2>&1") != 0) return "no promtool";
    const auto file = dir_.path() / "scrape.txt";
    WriteFile(file, exposition);
    Process p({"/bin/sh", "-c", "promtool check metrics < " + file.string()});
    const int code = p.Wait(kWaitMs);
    return code == 0 ? p.Stdout() + p.Stderr() : "exit " + std::to_string(code) + ": " + p.Stderr();
  }

  std::unique_ptr<Process> metrics_;
  int port_ = 0;
};

TEST_F(MetricsTest, CountersMoveWithRoutesAndTheControllerLossShowsOnTheNextScrapes) {
  SimProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.Ready()) << sim.Err();
  WriteSite(
      "Simulation=0\nForwardBufferDelay=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\n"
      "IP_Port=" +
      std::to_string(sim.ports.at(0)) + "\nTallyDelay=40\n");
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  metrics_ = StartMetrics(&port_);

  std::string body;
  ASSERT_TRUE(ScrapeUntil("xarvel_comms_ok{driver=\"12\"}", 1, &body)) << body;
  EXPECT_EQ(Sample(body, "xarvel_up{driver=\"12\"}"), 1) << body;
  EXPECT_EQ(Sample(body, "xarvel_link_up{driver=\"12\",controller=\"A\"}"), 1) << body;
  EXPECT_EQ(Sample(body, "xarvel_active_controller{driver=\"12\"}"), 1) << body;
  EXPECT_EQ(Sample(body, "xarvel_routes_total{driver=\"12\",router=\"101\"}"), 0) << body;

  EXPECT_TRUE(Contains(Kirn({"send", "101", "RC 101 5 12 ',---' 0"}).out, "RR 101 012 005"));
  Kirn({"send", "101", "RC 101 5 99 ',---' 0"});  // destination out of range: refused
  body = Scrape();
  EXPECT_EQ(Sample(body, "xarvel_routes_total{driver=\"12\",router=\"101\"}"), 1) << body;
  EXPECT_EQ(
      Sample(body, "xarvel_routes_refused_total{driver=\"12\",router=\"101\",reason=\"range\"}"), 1)
      << body;
  EXPECT_EQ(Sample(body, "xarvel_commands_received_total{driver=\"12\",kind=\"RC\"}"), 2) << body;
  EXPECT_GE(Sample(body, "xarvel_route_report_seconds_count{driver=\"12\"}"), 1) << body;
  EXPECT_EQ(Sample(body, "xarvel_route_report_seconds_bucket{driver=\"12\",le=\"+Inf\"}"),
            Sample(body, "xarvel_route_report_seconds_count{driver=\"12\"}"))
      << body;
  EXPECT_GE(Sample(body, "xarvel_controller_commands_sent_total{driver=\"12\"}"), 1) << body;
  EXPECT_GT(Sample(body, "xarvel_start_time_seconds{driver=\"12\"}"), 1.6e9) << body;
  EXPECT_EQ(Promtool(body), "");
  HttpReply health = HttpGet(port_, "/healthz");
  EXPECT_EQ(health.status, 200) << health.body;
  EXPECT_TRUE(Contains(health.body, "driver 12: XARVEL OK - Tx/Rx, Comms Ok, controller A"))
      << health.body;

  // The controller vanishes: the driver sees its connection close and the next scrapes say so.
  sim.Kill();
  ASSERT_TRUE(ScrapeUntil("xarvel_link_up{driver=\"12\",controller=\"A\"}", 0, &body)) << body;
  EXPECT_EQ(Sample(body, "xarvel_up{driver=\"12\"}"), 1) << body;
  EXPECT_EQ(Sample(body, "xarvel_active_controller{driver=\"12\"}"), 0) << body;
  health = HttpGet(port_, "/healthz");
  EXPECT_EQ(health.status, 503) << health.body;
  EXPECT_TRUE(Contains(health.body, "driver 12: XARVEL CRITICAL - ")) << health.body;
  EXPECT_EQ(Promtool(body), "");
}

TEST_F(MetricsTest, AHungDriverCostsAScrapeItsDeadlineAndTheOthersStayUp) {
  WriteSimulationSite();
  WriteFile(dir_.path() / "DEV_013.INI",
            "[Controller]\nSimulation=1\n[Routers]\nRouter_A=103,1,16\n");
  WriteFile(dir_.path() / "DEV_103.INI", "[Database]\nDatabaseSize_0=16\nDatabaseSize_1=16\n");
  auto serve = StartServe();
  auto driver12 = StartDriver(*serve);
  auto driver13 = Start({XARVEL_BIN, "13"});
  ASSERT_TRUE(serve->WaitForOutput("register 103 ", kWaitMs)) << serve->Stdout();
  metrics_ = StartMetrics(&port_);
  std::string body;
  ASSERT_TRUE(ScrapeUntil("xarvel_up{driver=\"13\"}", 1, &body)) << body;
  EXPECT_EQ(Sample(body, "xarvel_up{driver=\"12\"}"), 1) << body;

  // Stopped, driver 13 answers nothing; the bus host would wait 5 s for it.
  ASSERT_EQ(::kill(driver13->pid(), SIGSTOP), 0);
  for (int scrape = 0; scrape < 3; ++scrape) {
    const auto t0 = Clock::now();
    body = Scrape();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_LT(ms, 1600) << "scrape " << scrape;
    EXPECT_EQ(Sample(body, "xarvel_up{driver=\"13\"}"), 0) << body;
    EXPECT_EQ(Sample(body, "xarvel_up{driver=\"12\"}"), 1) << body;
    EXPECT_EQ(Sample(body, "xarvel_comms_ok{driver=\"12\"}"), 1) << body;
  }
  EXPECT_TRUE(std::isnan(Sample(body, "xarvel_comms_ok{driver=\"13\"}"))) << body;
  const HttpReply health = HttpGet(port_, "/healthz");
  EXPECT_EQ(health.status, 503) << health.body;
  EXPECT_TRUE(Contains(health.body, "driver 12: XARVEL OK - ")) << health.body;
  EXPECT_TRUE(Contains(health.body, "driver 13: XARVEL CRITICAL - does not answer")) << health.body;

  ASSERT_EQ(::kill(driver13->pid(), SIGCONT), 0);
  ASSERT_TRUE(ScrapeUntil("xarvel_up{driver=\"13\"}", 1, &body)) << body;
  // Gone for good: remembered, and down.
  driver13->Kill();
  ASSERT_TRUE(ScrapeUntil("xarvel_up{driver=\"13\"}", 0, &body)) << body;
  EXPECT_EQ(Sample(body, "xarvel_up{driver=\"12\"}"), 1) << body;
  EXPECT_EQ(Promtool(body), "");
}

TEST_F(MetricsTest, ThePageHasItsOwnPolicyAndItsJsonTakesOnlyNumbers) {
  WriteSimulationSite();
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  metrics_ = StartMetrics(&port_);
  for (const char* path : {"/", "/driver/12"}) {
    const HttpReply page = HttpGet(port_, path);
    EXPECT_EQ(page.status, 200) << path;
    EXPECT_TRUE(Contains(page.head, "Content-Type: text/html")) << page.head;
    EXPECT_TRUE(Contains(page.head,
                         "Content-Security-Policy: default-src 'none'; script-src "
                         "'self'; style-src 'self'; img-src 'self'; connect-src "
                         "'self'; base-uri 'none'; form-action 'none'; "
                         "frame-ancestors 'none'"))
        << page.head;
    EXPECT_TRUE(Contains(page.head, "X-Frame-Options: DENY")) << page.head;
    EXPECT_TRUE(Contains(page.head, "X-Content-Type-Options: nosniff")) << page.head;
    EXPECT_TRUE(Contains(page.head, "Referrer-Policy: no-referrer")) << page.head;
    // Nothing inline and nothing from elsewhere: every script and style is a file of its own.
    EXPECT_FALSE(Contains(page.body, "<script>")) << page.body;
    EXPECT_FALSE(Contains(page.body, "style=")) << page.body;
    EXPECT_FALSE(Contains(page.body, "http")) << page.body;
  }
  EXPECT_TRUE(Contains(HttpGet(port_, "/xarvel.svg").head, "Content-Type: image/svg+xml"));
  EXPECT_TRUE(Contains(HttpGet(port_, "/page/driver.js").head, "Content-Type: text/javascript"));
  for (const char* path : {"/driver/", "/driver/x", "/driver/-1", "/driver/12/1", "/page/none.js",
                           "/api/driver/", "/api/driver/0", "/api/driver/12x"}) {
    EXPECT_EQ(HttpGet(port_, path).status, 404) << path;
  }
  EXPECT_EQ(HttpGet(port_, "/api/driver/12?router=abc").status, 400);
  EXPECT_EQ(HttpGet(port_, "/api/driver/12?names=-1").status, 400);

  const HttpReply unknown = HttpGet(port_, "/api/driver/13");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_TRUE(Contains(unknown.body, "\"error\":\"no driver 13 has been heard from\""))
      << unknown.body;
  const HttpReply status = HttpGet(port_, "/api/status");
  EXPECT_EQ(status.status, 200);
  EXPECT_TRUE(Contains(status.head, "Content-Type: application/json")) << status.head;
  EXPECT_TRUE(Contains(status.body, "{\"bus\":true,\"drivers\":[{")) << status.body;
  EXPECT_TRUE(Contains(status.body, "\"driver\":12,")) << status.body;
  EXPECT_TRUE(Contains(status.body, "\"up\":true")) << status.body;
  // A router the driver does not have: no table, and the driver still answers.
  const HttpReply other = HttpGet(port_, "/api/driver/12?router=555");
  EXPECT_EQ(other.status, 200);
  EXPECT_TRUE(Contains(other.body, "\"table\":null")) << other.body;
  const HttpReply b = HttpGet(port_, "/api/driver/12?router=102");
  EXPECT_TRUE(Contains(b.body, "\"table\":{")) << b.body;
  EXPECT_TRUE(Contains(b.body, "\"letter\":\"B\",")) << b.body;
  EXPECT_TRUE(Contains(b.body, "\"router\":102,")) << b.body;
  EXPECT_TRUE(Contains(b.body, "\"source\":[")) << b.body;
}

TEST_F(MetricsTest, BadRequestsAndSlowClientsDoNotStallTheServer) {
  WriteSimulationSite();
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  metrics_ = StartMetrics(&port_);
  const std::string host = "Host: 127.0.0.1\r\nConnection: close\r\n";

  HttpReply r = HttpGet(port_, "/metrics", 5000, "POST");
  EXPECT_EQ(r.status, 405) << r.head;
  EXPECT_TRUE(Contains(r.head, "Allow: GET, HEAD")) << r.head;
  EXPECT_EQ(HttpGet(port_, "/nope").status, 404);
  r = HttpGet(port_, "/metrics/");
  EXPECT_EQ(r.status, 404);
  for (const char* header : {"X-Content-Type-Options: nosniff", "X-Frame-Options: DENY",
                             "Cache-Control: no-store", "Content-Security-Policy: "}) {
    EXPECT_TRUE(Contains(r.head, header)) << header << "\n" << r.head;
  }
  EXPECT_EQ(
      HttpExchange(port_, "GET /metrics HTTP/1.1\r\n" + host + "Content-Length: 5\r\n\r\nhello")
          .status,
      400);
  EXPECT_EQ(HttpGet(port_, "/metrics?" + std::string(1100, 'a')).status, 414);
  EXPECT_EQ(HttpExchange(port_, "GET /metrics HTTP/1.1\r\n" + host +
                                    "X-Big: " + std::string(20000, 'b') + "\r\n\r\n")
                .status,
            431);
  EXPECT_EQ(HttpGet(port_, "/" + std::string(20000, 'c')).status, 414);
  EXPECT_EQ(HttpExchange(port_, "GET /metrics HTTP/1.1\r\n\r\n").status, 400);  // no Host
  EXPECT_EQ(HttpExchange(port_, "GET /metrics HTTP/1.1\r\nNo colon\r\n\r\n").status, 400);
  // Not HTTP at all: the library closes the connection without a status line.
  EXPECT_EQ(HttpExchange(port_, "GARBAGE\r\n\r\n", 2000).head, "");
  r = HttpGet(port_, "/healthz", 5000, "HEAD");
  EXPECT_EQ(r.status, 200) << r.head;
  EXPECT_EQ(r.body, "");

  // Clients that never finish their request, one that trickles a byte at a time, and many
  // at once: everyone else is served meanwhile, and the unfinished ones are closed.
  std::vector<int> hung;
  // At most 8 connections from one address are served: the hung clients come from two.
  for (int i = 0; i < 10; ++i) {
    const int fd = testing_support::ConnectLoopback(port_, i < 5 ? "127.0.0.2" : "127.0.0.3");
    ASSERT_GE(fd, 0);
    const std::string part = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    ASSERT_EQ(::send(fd, part.data(), part.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(part.size()));
    hung.push_back(fd);
  }
  std::atomic<bool> trickler_closed{false};
  std::thread trickler([&] {
    const int fd = testing_support::ConnectLoopback(port_, "127.0.0.4");
    const auto until = Clock::now() + std::chrono::seconds(8);
    while (fd >= 0 && Clock::now() < until) {
      if (::send(fd, "X", 1, MSG_NOSIGNAL) != 1) break;
      pollfd p{fd, POLLIN, 0};
      char byte;
      if (::poll(&p, 1, 200) > 0 && ::read(fd, &byte, 1) <= 0) {
        trickler_closed = true;
        break;
      }
    }
    if (fd >= 0) ::close(fd);
  });
  const auto t0 = Clock::now();
  std::atomic<int> served{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 20; ++i) {
    clients.emplace_back([&, i] {
      const std::string from = "127.0.1." + std::to_string(i % 4 + 1);
      if (HttpGet(port_, i % 2 == 0 ? "/metrics" : "/healthz", 5000, "GET", from.c_str()).status ==
          200) {
        ++served;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(served, 20);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
  for (int fd : hung) {
    // Closed by the server within its 5 s for a request head (and this test's bound).
    const std::string rest = testing_support::ReadReply(fd, 8000, false);
    EXPECT_EQ(rest, "");
    ::close(fd);
  }
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(8));
  trickler.join();
  EXPECT_TRUE(trickler_closed);
  EXPECT_EQ(HttpGet(port_, "/healthz").status, 200);

  // No name is looked up for the address, and a port in use is a failure, not a usage error.
  EXPECT_EQ(Kirn({"metrics", "--listen", "localhost:9436"}).code, 2);
  EXPECT_EQ(Kirn({"metrics", "--listen", "127.0.0.1:" + std::to_string(port_)}).code, 1);
}

}  // namespace
