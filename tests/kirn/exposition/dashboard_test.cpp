// The example Grafana dashboard against a real Prometheus server: Debian's prometheus, on a free
// loopback port, scrapes kirn metrics of a running driver; every panel's expression, with
// Grafana's variables filled in as a dashboard showing everything would, must parse and return
// at least one series.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "e2e_site.h"
#include "http_client.h"
#include "sim_process.h"

namespace {

using testing_support::HttpGet;
using testing_support::HttpReply;
using testing_support::Process;
using testing_support::SimProcess;
using testing_support::WriteFile;

constexpr int kWaitMs = 20000;

// A port of 127.0.0.1 that was free a moment ago (Prometheus prints only the address it was
// given, so the test cannot hand it port 0).
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

std::string QueryPath(const std::string& expr) {
  return "/api/v1/query?query=" + QByteArray::fromStdString(expr).toPercentEncoding().toStdString();
}

// Grafana's variables as a dashboard showing every workstation and driver fills them in.
std::string Expand(QString expr) {
  expr.replace("$__rate_interval", "1m").replace("$__interval", "15s");
  expr.replace(QRegularExpression(R"(\$\{\w+\}|\$\w+)"), ".*");
  return expr.toStdString();
}

class DashboardTest : public testing_support::SiteTest {
 protected:
  void TearDown() override {
    if (prometheus_) prometheus_->Stop();
    if (metrics_) metrics_->Stop();
  }

  // The query's result series; `error` says why there are none when the query failed.
  QJsonArray Query(const std::string& expr, std::string* error) {
    const HttpReply r = HttpGet(prom_port_, QueryPath(expr));
    const QJsonObject answer = QJsonDocument::fromJson(QByteArray::fromStdString(r.body)).object();
    if (r.status != 200 || answer["status"].toString() != "success") {
      *error = "HTTP " + std::to_string(r.status) + ": " + r.body;
      return {};
    }
    return answer["data"].toObject()["result"].toArray();
  }

  std::unique_ptr<Process> metrics_;
  std::unique_ptr<Process> prometheus_;
  int prom_port_ = 0;
};

TEST_F(DashboardTest, EveryPanelsExpressionReturnsSeriesFromARealPrometheus) {
  ASSERT_EQ(std::system("command -v prometheus >/dev/null 2>&1"), 0)
      << "Debian's prometheus package is needed (scripts/install-deps installs it)";
  QFile file(XARVEL_SOURCE_DIR "/examples/grafana/xarvel.json");
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QJsonObject dashboard = QJsonDocument::fromJson(file.readAll()).object();
  const QJsonArray panels = dashboard["panels"].toArray();
  ASSERT_GE(panels.size(), 10);

  SimProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.Ready()) << sim.Err();
  WriteSite("Simulation=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" +
            std::to_string(sim.ports.at(0)) + "\n");
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  int metrics_port = 0;
  metrics_ = StartMetrics(&metrics_port);
  ASSERT_GT(metrics_port, 0);
  // A route, a refusal and a save, so that the rates and the save panel have something to show.
  Kirn({"send", "101", "RC 101 5 12 ',---' 0"});
  Kirn({"send", "101", "RC 101 5 99 ',---' 0"});
  Kirn({"menu", "101", "save"});

  prom_port_ = FreePort();
  ASSERT_GT(prom_port_, 0);
  WriteFile(dir_.path() / "prometheus.yml",
            "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
            "scrape_configs:\n  - job_name: xarvel\n    static_configs:\n"
            "      - targets: ['127.0.0.1:" +
                std::to_string(metrics_port) + "']\n");
  // Found on PATH by the shell, which then becomes the server (exec).
  prometheus_ = std::make_unique<Process>(
      std::vector<std::string>{"/bin/sh", "-c", "exec prometheus \"$@\"", "prometheus",
                               "--config.file=" + (dir_.path() / "prometheus.yml").string(),
                               "--storage.tsdb.path=" + (dir_.path() / "tsdb").string(),
                               "--web.listen-address=127.0.0.1:" + std::to_string(prom_port_)});

  // Rates over a minute need two samples of each series: wait for the third scrape.
  std::string error;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  bool scraped = false;
  while (!scraped && Clock::now() < deadline) {
    scraped = !Query("count_over_time(xarvel_up[1m]) >= 3", &error).isEmpty();
    if (!scraped) std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  ASSERT_TRUE(scraped) << error << "\n" << prometheus_->Stderr();

  int expressions = 0;
  for (const auto& p : panels) {
    const QJsonObject panel = p.toObject();
    for (const auto& t : panel["targets"].toArray()) {
      const std::string expr = Expand(t.toObject()["expr"].toString());
      error.clear();
      const QJsonArray series = Query(expr, &error);
      EXPECT_FALSE(series.isEmpty()) << panel["title"].toString().toStdString() << ": " << expr
                                     << (error.empty() ? " returned no series" : "\n" + error);
      ++expressions;
    }
  }
  EXPECT_GE(expressions, panels.size());
  // The dashboard's instance and driver variables list what Prometheus has.
  for (const char* label : {"instance", "driver"}) {
    const HttpReply r = HttpGet(prom_port_, std::string("/api/v1/label/") + label + "/values");
    EXPECT_NE(r.body.find('"'), std::string::npos) << r.body;
    EXPECT_NE(r.body.find(label == std::string("driver") ? "\"12\"" : "127.0.0.1:"),
              std::string::npos)
        << r.body;
  }
}

}  // namespace
