// kirn metrics behind TLS and basic authentication (--web-config), as a central Prometheus
// meets it: a real Prometheus scrapes it over TLS with a password; wrong and missing passwords
// and plain HTTP are refused; a certificate replaced on disk is served without a restart; a
// spray of wrong passwords does not hold up anyone else.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "e2e_site.h"
#include "http_client.h"
#include "tools/kirn/server/web_config.h"

namespace {

using testing_support::Process;
using testing_support::ReadFile;
using testing_support::WriteFile;

constexpr int kWaitMs = 15000;

bool Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

int Sh(const std::string& command) {
  Process p({"/bin/sh", "-c", command});
  return p.Wait(kWaitMs);
}

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t length = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  ::close(fd);
  return ntohs(a.sin_port);
}

// Every key of the exporters' format is read; those that cannot apply here are named; unknown
// keys and hashes that are not bcrypt are refused with a line that names them.
TEST(WebConfigTest, EveryKeyIsReadAndUnknownOnesAreRefused) {
  const std::string hash = "$2y$10$E8WdJWhrEKMzgkh8xwvVh.cpFyqTQN83/3CptCwqeMUSEdpASlLdu";
  kirn::WebConfig c;
  std::string error;
  ASSERT_TRUE(kirn::ParseWebConfig(
      "tls_server_config:\n  cert_file: s.pem\n  key_file: /k/s.key\n"
      "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.pem\n"
      "  client_allowed_sans: [scraper.example]\n  min_version: TLS13\n  max_version: TLS13\n"
      "  cipher_suites: [TLS_AES_128_GCM_SHA256]\n  curve_preferences: [X25519, CurveP256]\n"
      "  prefer_server_cipher_suites: false\nhttp_server_config:\n  http2: true\n"
      "  headers:\n    X-Frame-Options: deny\nbasic_auth_users:\n  prom: '" +
          hash + "'\n",
      "/etc/kirn", &c, &error))
      << error;
  EXPECT_EQ(c.cert_file, "/etc/kirn/s.pem");
  EXPECT_EQ(c.key_file, "/k/s.key");
  EXPECT_EQ(c.client_ca_file, "/etc/kirn/ca.pem");
  EXPECT_EQ(c.Priorities(),
            "NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-128-GCM:-MAC-ALL:+AEAD:-KX-ALL:"
            "-GROUP-ALL:+GROUP-X25519:+GROUP-SECP256R1");
  EXPECT_EQ(c.not_applied, (std::vector<std::string>{"http2"}));
  EXPECT_EQ(c.users.at("prom"), hash);
  // The default: forward-secret AEAD suites only, TLS 1.2 and 1.3; Go's suite names map to
  // GnuTLS's parts; off on purpose only by saying so.
  ASSERT_TRUE(
      kirn::ParseWebConfig("tls_server_config: {cert_file: a, key_file: b}\n", ".", &c, &error));
  EXPECT_EQ(c.Priorities(),
            "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:"
            "+CHACHA20-POLY1305:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:%SERVER_PRECEDENCE");
  ASSERT_TRUE(kirn::ParseWebConfig(
      "tls_server_config: {cert_file: a, key_file: b, max_version: TLS12, cipher_suites: "
      "[TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA, TLS_RSA_WITH_AES_256_GCM_SHA384]}\n",
      ".", &c, &error));
  EXPECT_EQ(c.Priorities(),
            "NORMAL:-VERS-ALL:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-CBC:+AES-256-GCM:-MAC-ALL:+SHA1:"
            "+AEAD:-KX-ALL:+ECDHE-RSA:+RSA:%SERVER_PRECEDENCE");
  ASSERT_TRUE(
      kirn::ParseWebConfig("tls_server_config: none\nbasic_auth_users: none\n", ".", &c, &error));
  EXPECT_TRUE(c.tls_off && c.passwords_off && !c.tls && c.users.empty());
  for (const auto& [text, said] : std::vector<std::pair<std::string, std::string>>{
           {"basic_auth_user: {}\n", "unknown key 'basic_auth_user'"},
           {"tls_server_config: {cert_file: a, key_file: b, sni: x}\n", "unknown key 'sni'"},
           {"basic_auth_users: {prom: plain}\n", "is not a bcrypt hash"},
           {"basic_auth_users: {\"a\\tb\": '" + hash + "'}\n", "control characters"},
           {"basic_auth_users: off\n", "must be a mapping (or 'none')"},
           {"tls_server_config: {cert_file: a, key_file: b, cipher_suites: "
            "[TLS_RSA_WITH_RC4_128_SHA]}\n",
            "unknown or unavailable cipher suite 'TLS_RSA_WITH_RC4_128_SHA'"},
           {"tls_server_config: {cert_file: a, key_file: b, cipher_suites: "
            "[TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA]}\n",
            "no AEAD suite, which TLS 1.3 needs"},
           {"http_server_config: {headers: {Set-Cookie: a}}\n", "cannot be set"},
           {"tls_server_config: {cert_file: a}\n", "both cert_file and key_file"},
           {"tls_server_config: {cert_file: a, key_file: b, client_auth_type: "
            "RequireAnyClientCert}\n",
            "needs client_ca_file"},
           {"tls_server_config: [\n", "not valid YAML"}}) {
    EXPECT_FALSE(kirn::ParseWebConfig(text, ".", &c, &error)) << text;
    EXPECT_TRUE(Contains(error, said)) << text << ": " << error;
  }
}

class TlsTest : public testing_support::SiteTest {
 protected:
  // A CA and a server certificate for 127.0.0.1 signed by it (common name `cn`), a bcrypt hash
  // of "secret" for user prom, and the web configuration that names them.
  void MakeCertificate(const std::string& cn) {
    const std::string d = dir_.str();
    ASSERT_EQ(Sh("cd " + d +
                 " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                 "-keyout server.key.new -out server.csr -subj /CN=" +
                 cn +
                 " 2>/dev/null && "
                 "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > ext && "
                 "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
                 "-out server.pem.new -days 2 -extfile ext 2>/dev/null && "
                 "mv server.key.new server.key && mv server.pem.new server.pem"),
              0);
  }
  void MakeSetup() {
    const std::string d = dir_.str();
    ASSERT_EQ(Sh("cd " + d +
                 " && openssl req -x509 -newkey ec -pkeyopt "
                 "ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem -days 2 "
                 "-subj /CN=kirn-test-ca 2>/dev/null"),
              0);
    MakeCertificate("first");
    ASSERT_EQ(Sh("htpasswd -nbBC 10 prom secret > " + d + "/users"), 0);
    std::string hash = ReadFile(dir_.path() / "users");
    hash = hash.substr(hash.find(':') + 1);
    hash = hash.substr(0, hash.find('\n'));
    WriteFile(dir_.path() / "web.yml",
              "tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n"
              "  min_version: TLS12\nhttp_server_config:\n  headers:\n"
              "    Strict-Transport-Security: max-age=31536000\n"
              "basic_auth_users:\n  prom: '" +
                  hash + "'\n");
  }
  void StartMetrics() {
    metrics_ = SiteTest::StartMetrics(&port_, {"--web-config", (dir_.path() / "web.yml").string()},
                                      "https");
  }
  void TearDown() override {
    if (metrics_) {
      // It ends cleanly on SIGTERM, with nothing from the sanitizers on its way out.
      EXPECT_EQ(metrics_->Stop(), 0) << metrics_->Stderr();
      EXPECT_FALSE(Contains(metrics_->Stderr(), "Sanitizer")) << metrics_->Stderr();
      EXPECT_FALSE(Contains(metrics_->Stderr(), "runtime error")) << metrics_->Stderr();
    }
  }
  // curl's status code and time for `path` with `credentials` ("" for none).
  std::string Curl(const std::string& path, const std::string& credentials,
                   const std::string& extra = "") {
    Process p({"/bin/sh", "-c",
               "curl -s -o /dev/null -w '%{http_code}' --max-time 10 --cacert " + dir_.str() +
                   "/ca.pem " + (credentials.empty() ? "" : "-u " + credentials + " ") + extra +
                   " https://127.0.0.1:" + std::to_string(port_) + path});
    p.Wait(kWaitMs);
    return p.Stdout();
  }
  // The common name of the certificate the server presents.
  std::string ServedName() {
    Process p({"/bin/sh", "-c",
               "openssl s_client -connect 127.0.0.1:" + std::to_string(port_) +
                   " </dev/null 2>/dev/null | openssl x509 -noout -subject"});
    p.Wait(kWaitMs);
    return p.Stdout();
  }
  std::unique_ptr<Process> metrics_;
  int port_ = 0;
};

TEST_F(TlsTest, PrometheusScrapesOverTlsWithAPasswordAndOthersAreRefused) {
  MakeSetup();
  WriteSimulationSite();
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  StartMetrics();
  EXPECT_EQ(Curl("/metrics", "prom:secret"), "200");
  EXPECT_EQ(Curl("/metrics", "prom:wrong"), "401");
  EXPECT_EQ(Curl("/", ""), "401");
  EXPECT_EQ(Curl("/api/status", "nobody:secret"), "401");
  // Plain HTTP to the TLS port gets no answer of the server.
  const testing_support::HttpReply plain = testing_support::HttpGet(port_, "/metrics", 3000);
  EXPECT_EQ(plain.status, 0) << plain.head;

  const int prom_port = FreePort();
  WriteFile(dir_.path() / "prometheus.yml",
            "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n"
            "  - job_name: kirn\n    scheme: https\n    tls_config:\n      ca_file: " +
                dir_.str() +
                "/ca.pem\n    basic_auth:\n      username: prom\n"
                "      password: secret\n    static_configs:\n      - targets: ['127.0.0.1:" +
                std::to_string(port_) + "']\n");
  Process prometheus({"/usr/bin/prometheus", "--config.file=" + dir_.str() + "/prometheus.yml",
                      "--web.listen-address=127.0.0.1:" + std::to_string(prom_port),
                      "--storage.tsdb.path=" + dir_.str() + "/tsdb"});
  std::string body;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    body = testing_support::HttpGet(prom_port, "/api/v1/query?query=xarvel_up", 2000).body;
  } while (!Contains(body, "\"driver\":\"12\"") && Clock::now() < deadline);
  EXPECT_TRUE(Contains(body, "\"driver\":\"12\"")) << body << prometheus.Stderr();
  const std::string targets = testing_support::HttpGet(prom_port, "/api/v1/targets", 2000).body;
  EXPECT_TRUE(Contains(targets, "\"health\":\"up\"")) << targets;
  EXPECT_EQ(prometheus.Stop(5000), 0);
}

TEST_F(TlsTest, AReplacedCertificateIsServedAndASprayStarvesNoOne) {
  MakeSetup();
  auto serve = StartServe();
  StartMetrics();
  EXPECT_TRUE(Contains(ServedName(), "CN = first")) << ServedName();
  MakeCertificate("second");
  const auto replaced = Clock::now();
  std::string name;
  do {
    name = ServedName();
  } while (!Contains(name, "CN = second") && Clock::now() - replaced < std::chrono::seconds(5));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - replaced);
  std::printf("replaced certificate served after %lld ms\n", static_cast<long long>(took.count()));
  EXPECT_TRUE(Contains(name, "CN = second")) << name;
  EXPECT_LT(took, std::chrono::seconds(2));
  // A broken new file keeps the last good configuration.
  WriteFile(dir_.path() / "web.yml", "tls_server_config: [\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_TRUE(metrics_->WaitForOutput("the last good configuration stays", 3000, true))
      << metrics_->Stderr();

  // Good credentials once (then remembered); a spray of wrong ones from another address.
  EXPECT_EQ(Curl("/healthz", "prom:secret"), "200");
  std::atomic<bool> spraying{true};
  std::atomic<int> refused{0};
  std::thread spray([&] {
    while (spraying) {
      const std::string code = Curl("/healthz", "prom:guess", "--interface 127.0.0.9");
      if (code == "401" || code == "429") ++refused;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  for (int i = 0; i < 5; ++i) {
    const auto t0 = Clock::now();
    EXPECT_EQ(Curl("/healthz", "prom:secret", "--interface 127.0.0.4"), "200");
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    std::printf("during the spray: a good scrape took %lld ms (curl included)\n",
                static_cast<long long>(ms));
  }
  spraying = false;
  spray.join();
  EXPECT_GE(refused, 1);
  // By its fifth wrong password at the latest the sprayer waits: 429 with Retry-After (how many
  // the spray got in depends on the machine's speed).
  std::string code;
  for (int i = 0; i < 6 && code != "429"; ++i) {
    code = Curl("/healthz", "prom:guess", "--interface 127.0.0.9");
  }
  EXPECT_EQ(code, "429");
}

// Prometheus scrapes every second with the right password while a guesser at its own address,
// and another that rotates through a hundred addresses, send wrong passwords as fast as they
// can, and the file is rewritten all the while: every scrape is answered 200 within a second
// (its password stays remembered: the cache is looked at before the back-off, and a rewrite
// that keeps the user's hash keeps it). The guessers get 401, 429 and 503: the scrapes, answered
// from the cache, do not forgive the guesser at their address.
TEST_F(TlsTest, PrometheusIsNeverHeldBackByGuessesOrARewrittenFile) {
  MakeSetup();
  auto serve = StartServe();
  StartMetrics();
  ASSERT_EQ(Curl("/healthz", "prom:secret", "--interface 127.0.0.4"), "200");
  const std::string file = ReadFile(dir_.path() / "web.yml");
  std::atomic<bool> on{true};
  std::atomic<int> refusals[600] = {};
  std::atomic<int> guessed_at_prometheus{0};
  auto guess = [&](bool rotate) {
    for (int i = 0; on; ++i) {
      const std::string from = rotate ? "127.0.1." + std::to_string(1 + i % 100) : "127.0.0.4";
      const std::string code =
          Curl("/healthz", "prom:guess" + std::to_string(i), "--interface " + from);
      ++refusals[std::atoi(code.c_str()) % 600];
      if (!rotate) ++guessed_at_prometheus;
    }
  };
  std::thread same(guess, false);
  std::thread rotating(guess, true);
  std::thread writer([&] {
    while (on) {
      WriteFile(dir_.path() / "web.yml", file);
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  long long worst = 0;
  for (int i = 0; i < 10; ++i) {
    const auto t0 = Clock::now();
    // The scrape's time as curl takes it, from connecting to the last byte (Prometheus's timeout
    // counts the same; the start of a curl process on a loaded machine is no part of it).
    const std::string got =
        Curl("/healthz", "prom:secret", "--interface 127.0.0.4 -w '%{http_code} %{time_total}'");
    EXPECT_EQ(got.substr(0, 4), "200 ") << i << ": " << got;
    const long long ms =
        got.size() > 4 ? static_cast<long long>(std::atof(got.c_str() + 4) * 1000) : 99999;
    worst = std::max(worst, ms);
    const auto spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max<long long>(0, 1000 - spent)));
  }
  // The guesser at Prometheus's address goes on until it has made enough guesses to be made to
  // wait (curl is slow to start on a loaded machine).
  for (int i = 0; i < 300 && guessed_at_prometheus < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  on = false;
  same.join();
  rotating.join();
  writer.join();
  std::printf(
      "Prometheus's slowest of 10 scrapes under guessing and rewrites: %lld ms; guesses "
      "answered 401: %d, 429: %d, 503: %d\n",
      worst, refusals[401].load(), refusals[429].load(), refusals[503].load());
  EXPECT_LT(worst, 1000);
  EXPECT_EQ(refusals[200], 0);
  EXPECT_GT(refusals[429], 0);
  EXPECT_TRUE(metrics_->WaitForOutput("read again", 1000, true)) << metrics_->Stderr();
}

// Client certificates: with RequireAndVerifyClientCert only a client whose certificate the CA
// signed and that names an allowed SAN is served.
TEST_F(TlsTest, OnlyAnAllowedClientCertificateIsServed) {
  MakeSetup();
  const std::string d = dir_.str();
  for (const std::string& who : {std::string("scraper"), std::string("other")}) {
    ASSERT_EQ(Sh("cd " + d +
                 " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                 "-keyout " +
                 who + ".key -out " + who + ".csr -subj /CN=" + who +
                 " 2>/dev/null && printf 'subjectAltName=DNS:" + who + ".example\\n' > " + who +
                 ".ext && openssl x509 -req -in " + who +
                 ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -out " + who +
                 ".pem -days 2 -extfile " + who + ".ext 2>/dev/null"),
              0);
  }
  WriteFile(dir_.path() / "web.yml",
            "tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n"
            "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.pem\n"
            "  client_allowed_sans: [scraper.example]\n");
  auto serve = StartServe();
  StartMetrics();
  EXPECT_EQ(Curl("/healthz", "", "--cert " + d + "/scraper.pem --key " + d + "/scraper.key"),
            "200");
  EXPECT_NE(Curl("/healthz", "", "--cert " + d + "/other.pem --key " + d + "/other.key"), "200");
  EXPECT_NE(Curl("/healthz", ""), "200");
}

}  // namespace

namespace {

// A rewrite that loses the users (an editor, a template that writes them last, `cat >`) keeps the
// passwords and TLS: the last good configuration stays, said on standard error, in /healthz and
// by xarvel_exporter_web_config_ok. Only `basic_auth_users: none` switches passwords off.
TEST_F(TlsTest, AFileThatLosesItsUsersOrTlsKeepsThem) {
  MakeSetup();
  auto serve = StartServe();
  StartMetrics();
  const std::string good = ReadFile(dir_.path() / "web.yml");
  const std::string tls = good.substr(0, good.find("http_server_config:"));
  auto refused = [&](const std::string& text, const std::string& said) {
    WriteFile(dir_.path() / "web.yml", text);
    EXPECT_TRUE(metrics_->WaitForOutput(said, 5000, true)) << text << metrics_->Stderr();
    EXPECT_EQ(Curl("/healthz", ""), "401") << text;
    Process p({"/bin/sh", "-c",
               "curl -s --max-time 10 --cacert " + dir_.str() + "/ca.pem -u prom:secret " +
                   "https://127.0.0.1:" + std::to_string(port_) +
                   "/healthz https://127.0.0.1:" + std::to_string(port_) + "/metrics"});
    p.Wait(kWaitMs);
    EXPECT_TRUE(Contains(p.Stdout(), "the last good configuration stays")) << p.Stdout();
    EXPECT_TRUE(Contains(p.Stdout(), "\nxarvel_exporter_web_config_ok 0\n")) << p.Stdout();
  };
  refused("", "basic_auth_users has no user");
  refused(tls + "basic_auth_users:\n", "basic_auth_users has no user");
  refused("basic_auth_users: none\n", "tls_server_config is gone");
  // Said on purpose, passwords go; TLS stays until a restart.
  WriteFile(dir_.path() / "web.yml", tls + "basic_auth_users: none\n");
  std::string code;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  do {
    code = Curl("/healthz", "");
  } while (code != "200" && Clock::now() < deadline);
  EXPECT_EQ(code, "200") << metrics_->Stderr();
}

// The TLS policy is the file's: by default only forward-secret AEAD suites in TLS 1.2 and 1.3;
// cipher_suites (Go's names), max_version and min_version narrow it. Checked with openssl's
// client.
TEST_F(TlsTest, TheFilesTlsPolicyIsWhatAClientGets) {
  MakeSetup();
  auto serve = StartServe();
  auto handshake = [&](const std::string& client) {
    Process p({"/bin/sh", "-c",
               "openssl s_client -connect 127.0.0.1:" + std::to_string(port_) + " " + client +
                   " </dev/null 2>&1"});
    p.Wait(kWaitMs);
    return Contains(p.Stdout(), "Cipher is ") && !Contains(p.Stdout(), "Cipher is (NONE)");
  };
  StartMetrics();
  EXPECT_TRUE(handshake("-tls1_3"));
  EXPECT_TRUE(handshake("-tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256"));
  EXPECT_TRUE(handshake("-tls1_2 -cipher ECDHE-ECDSA-CHACHA20-POLY1305"));
  EXPECT_FALSE(handshake("-tls1_2 -cipher ECDHE-ECDSA-AES128-SHA"));     // CBC, SHA-1
  EXPECT_FALSE(handshake("-tls1_2 -cipher ECDHE-ECDSA-AES256-SHA384"));  // CBC
  EXPECT_FALSE(handshake("-tls1_1"));
  EXPECT_EQ(metrics_->Stop(), 0);

  WriteFile(dir_.path() / "web.yml",
            "tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n"
            "  max_version: TLS12\n  cipher_suites: [TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384, "
            "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA]\n");
  StartMetrics();
  EXPECT_TRUE(handshake("-tls1_2 -cipher ECDHE-ECDSA-AES256-GCM-SHA384"));
  EXPECT_TRUE(handshake("-tls1_2 -cipher ECDHE-ECDSA-AES128-SHA"));
  EXPECT_FALSE(handshake("-tls1_2 -cipher ECDHE-ECDSA-CHACHA20-POLY1305"));
  EXPECT_FALSE(handshake("-tls1_3"));
  EXPECT_EQ(metrics_->Stop(), 0);

  WriteFile(dir_.path() / "web.yml",
            "tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n"
            "  min_version: TLS13\n");
  StartMetrics();
  EXPECT_TRUE(handshake("-tls1_3"));
  EXPECT_FALSE(handshake("-tls1_2"));
}

}  // namespace
