// The Ember+ provider of `kirn metrics --ember`, measured on the provider's side with a raw S101
// reader (a consumer library's own decoding is far slower than the provider), against the real
// programs on loopback:
//
//   ember_bench [--repeat N] [--only one|node|takes|workstation] [--drivers N] [--no-names]
//
//   one          one router of 4096 targets and 4097 sources, every name set: the time from the
//                directory requests of its matrix and its two label lists to the last connection
//                and label received (goal < 100 ms), and the longest wait for a keep-alive's
//                answer meanwhile
//   node         the same router loaded by node-emberplus as a panel would (its tree walked, the
//                matrix, then its labels), when the consumer is installed (tests/ember/consumer)
//   takes        one take at a time, to modified, against one route at a time from a kirn client
//                (the command through the interface, to its revertive relayed back), medians
//                (goal <= 1.2 x + 1 ms); a salvo of 1000 takes from one consumer against the same
//                salvo through `kirn send -` (goal <= 1.1 x, every take modified, none lost)
//   workstation  DRIVERS (default 12) drivers of 26 routers of 4096 destinations: every matrix
//                with its connections and labels to one raw consumer (goal < 5 s), keep-alives
//                sent every 50 ms answered within 200 ms throughout, and kirn metrics' CPU for
//                it; then, once the drivers' first walks and the names' first pass are over,
//                the idle CPU of kirn metrics with 10 consumers subscribed to every matrix (goal
//                < 0.5 % of a core); with --no-names its routers have no names (their labels go
//                empty)
//
// Every process it starts is stopped before it returns; the site directory is removed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/proc_stat.h"
#include "e2e_site.h"
#include "http_client.h"
#include "sim_process.h"
#include "tools/kirn/common/kirn_messages.h"
#include "tools/kirn/common/tool_client.h"
#include "tools/kirn/ember/glow.h"
#include "tools/kirn/ember/s101.h"

namespace {

using bench::CpuTicks;
using kirn::ember::GlowElement;
using kirn::ember::Path;
using testing_support::Process;
using testing_support::SimProcess;
using testing_support::WriteFile;
using Clock = std::chrono::steady_clock;

constexpr int kRouters = 26;
constexpr int kStartMs = 30000;

int Fail(const std::string& what) {
  std::fprintf(stderr, "ember_bench: %s\n", what.c_str());
  return 1;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string Spread(const std::vector<double>& v) {
  if (v.empty()) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%.1f..%.1f", *std::min_element(v.begin(), v.end()),
                *std::max_element(v.begin(), v.end()));
  return text;
}

// A raw consumer: S101 framing and Glow reading, nothing else; it remembers which connections and
// labels of which matrices and lists it has received.
class RawConsumer {
 public:
  explicit RawConsumer(int port, const char* from = nullptr) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (from) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      ::inet_pton(AF_INET, from, &local.sin_addr);
      ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~RawConsumer() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return ok_ && !closed_; }

  void Send(const std::vector<uint8_t>& frames) {
    size_t at = 0;
    while (at < frames.size()) {
      const ssize_t n = ::send(fd_, frames.data() + at, frames.size() - at, MSG_NOSIGNAL);
      if (n <= 0) {
        closed_ = true;
        return;
      }
      at += static_cast<size_t>(n);
    }
  }
  void Command(const Path& path, int64_t command, bool matrix) {
    Message(kirn::ember::ConsumerCommand(path, command, matrix));
  }
  // The tree's matrices are the elements with four arcs (workstation, driver, router, matrix).
  void Directory(const Path& path) {
    Command(path, kirn::ember::kCommandGetDirectory, path.size() == 4);
  }
  void Take(const Path& matrix, int target, uint32_t source) {
    Message(kirn::ember::ConsumerTake(matrix, target, {source}));
  }
  void Message(const std::vector<uint8_t>& glow) {
    std::vector<uint8_t> frames;
    kirn::ember::S101Encoder::Message(glow, &frames);
    Send(frames);
  }
  // Sends a keep-alive request; its answer's delay is kept.
  void KeepAlive() {
    std::vector<uint8_t> frames;
    kirn::ember::S101Encoder::KeepAliveRequest(&frames);
    keepalives_.push_back(Clock::now());
    Send(frames);
  }

  // Reads what has come within `timeout_ms`; false once the connection has ended.
  bool Read(int timeout_ms) {
    if (!ok()) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return true;
    uint8_t buffer[1 << 16];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    bytes_ += static_cast<size_t>(n);
    std::vector<kirn::ember::S101Event> events;
    if (!decoder_.Feed(buffer, static_cast<size_t>(n), &events)) {
      closed_ = true;
      return false;
    }
    for (const auto& e : events) {
      if (e.kind == kirn::ember::S101Event::Kind::kKeepAliveResponse) {
        if (!keepalives_.empty()) {
          max_keepalive_ms_ = std::max(max_keepalive_ms_, Ms(Clock::now() - keepalives_.front()));
          keepalives_.erase(keepalives_.begin());
        }
        continue;
      }
      if (e.kind != kirn::ember::S101Event::Kind::kMessage) continue;
      if (count_only) {
        // Only the framing and the BER: connections and parameters counted by their tags.
        kirn::ember::BerTree tree;
        std::string error;
        if (!tree.Parse(e.payload.data(), e.payload.size(), {}, &error)) {
          closed_ = true;
          return false;
        }
        for (size_t i = 0; i < tree.size(); ++i) {
          const auto& t = tree.at(static_cast<int>(i));
          if (t.cls != kirn::ember::TagClass::kApplication) continue;
          connections_counted += t.number == 16;
          parameters_counted += t.number == 1;
        }
        continue;
      }
      std::vector<GlowElement> elements;
      std::string error;
      if (!kirn::ember::DecodeElements(e.payload.data(), e.payload.size(), {}, &elements, &error)) {
        closed_ = true;
        return false;
      }
      for (const GlowElement& g : elements) {
        if (g.type == GlowElement::Type::kMatrix) {
          auto& m = matrices_[g.path];
          if (g.targets >= 0) m.targets = g.targets;
          for (const auto& c : g.connections) {
            m.connections.insert(c.target);
            m.disposition[c.target] = c.disposition;
            m.source[c.target] = c.sources.empty() ? -1 : static_cast<int64_t>(c.sources[0]);
            ++m.received;
          }
        } else if (g.type == GlowElement::Type::kParameter && g.path.size() == 7) {
          Path list(g.path.begin(), g.path.end() - 1);
          auto& l = lists_[list];
          l.labels.insert(g.path.back());
          if (!g.text.empty()) l.named.insert(g.path.back());
        }
      }
    }
    return true;
  }
  // Reads until `done()` or `timeout_ms`; true when done.
  template <typename Done>
  bool Until(Done done, int timeout_ms, int keepalive_ms = 0) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    auto next_keepalive = Clock::now();
    while (!done()) {
      if (Clock::now() > deadline || !ok()) return false;
      if (keepalive_ms > 0 && Clock::now() >= next_keepalive) {
        KeepAlive();
        next_keepalive = Clock::now() + std::chrono::milliseconds(keepalive_ms);
      }
      Read(keepalive_ms > 0 ? std::min(keepalive_ms, 20) : 20);
    }
    return true;
  }

  struct Matrix {
    int64_t targets = -1;
    std::set<int64_t> connections;
    std::map<int64_t, int64_t> disposition;
    std::map<int64_t, int64_t> source;  // the last source reported, -1: none
    size_t received = 0;
  };
  struct List {
    std::set<uint32_t> labels;
    std::set<uint32_t> named;
  };
  std::map<Path, Matrix> matrices_;
  std::map<Path, List> lists_;
  size_t bytes_ = 0;
  double max_keepalive_ms_ = 0;
  // Counts only (a whole workstation is millions of elements): no element is kept.
  bool count_only = false;
  size_t connections_counted = 0;
  size_t parameters_counted = 0;
  size_t keepalives_waiting() const { return keepalives_.size(); }

 private:
  int fd_ = -1;
  bool ok_ = false;
  bool closed_ = false;
  kirn::ember::S101Decoder decoder_;
  std::vector<Clock::time_point> keepalives_;
};

struct Site : testing_support::SiteTest {
  void TestBody() override {}
  using SiteTest::Bus;
  using SiteTest::dir_;
  using SiteTest::Env;
  using SiteTest::Start;
  using SiteTest::StartServe;
};

// A router device's profile with `sources` x `dests` and, with `names`, every name set.
void WriteRouter(const Site& site, int device, int sources, int dests, bool names = true) {
  std::string text = "[Database]\nDatabaseSize_0=" + std::to_string(sources) +
                     "\nDatabaseSize_1=" + std::to_string(dests) + "\n[Database_0]\n";
  if (!names) {
    char name[24];
    std::snprintf(name, sizeof name, "DEV_%03d.INI", device);
    WriteFile(site.dir_.path() / name, text);
    return;
  }
  char line[48];
  for (int s = 1; s <= sources; ++s) {
    std::snprintf(line, sizeof line, "%d=SRC %03d %04d\n", s, device, s);
    text += line;
  }
  text += "[Database_1]\n";
  for (int d = 1; d <= dests; ++d) {
    std::snprintf(line, sizeof line, "%d=DST %03d %04d\n", d, device, d);
    text += line;
  }
  char name[24];
  std::snprintf(name, sizeof name, "DEV_%03d.INI", device);
  WriteFile(site.dir_.path() / name, text);
}

std::string DriverProfile(int port, const std::vector<int>& devices, int dests) {
  std::string profile =
      "[Controller]\nSimulation=0\nDebugMode=0\nForwardBufferDelay=0\nConnection_Mode=IP\n"
      "IP_Address_A=127.0.0.1\nIP_Address_B=0.0.0.0\nDual_Controllers=0\nIP_Port=" +
      std::to_string(port) + "\nParkSource=1\n[Routers]\n";
  for (size_t r = 0; r < devices.size(); ++r) {
    profile += "Router_" + std::string(1, static_cast<char>('A' + r)) + "=" +
               std::to_string(devices[r]) + ",1," + std::to_string(dests) + "\n";
  }
  return profile;
}

int PortAfter(const std::string& out, const std::string& marker) {
  const size_t at = out.find(marker);
  return at == std::string::npos ? 0 : std::atoi(out.c_str() + at + marker.size());
}

struct Options {
  int repeat = 5;
  std::string only;
  int drivers = 12;
  // The workstation's routers without names: their labels are sent empty, and the 2.5 million
  // look-ups of a named workstation (tens of minutes on a loaded machine) are not waited for.
  bool names = true;
};

// Walks down to the matrix at `matrix` (root, workstation, driver, router), then asks for the
// matrix and its two label lists; true once all have come.
bool LoadRouter(RawConsumer& c, const Path& matrix, int targets, int sources, bool named,
                int timeout_ms, int keepalive_ms = 0) {
  Path labels = matrix;
  labels.push_back(1);
  Path t = labels;
  t.push_back(1);
  Path s = labels;
  s.push_back(2);
  c.Directory(matrix);
  c.Directory(t);
  c.Directory(s);
  return c.Until(
      [&] {
        const auto& m = c.matrices_[matrix];
        const auto& lt = c.lists_[t];
        const auto& ls = c.lists_[s];
        return static_cast<int>(m.connections.size()) >= targets &&
               static_cast<int>((named ? lt.named : lt.labels).size()) >= targets &&
               static_cast<int>((named ? ls.named : ls.labels).size()) >= sources + 1 - named;
      },
      timeout_ms, keepalive_ms);
}

class Bench {
 public:
  explicit Bench(Options o) : options_(o) {}

  int Run() {
    int failures = 0;
    if (options_.only.empty() || options_.only == "one" || options_.only == "node" ||
        options_.only == "takes") {
      failures += OneRouter();
    }
    if (options_.only.empty() || options_.only == "workstation") failures += Workstation();
    return failures == 0 ? 0 : 1;
  }

 private:
  // Starts kirn metrics with the provider; its Ember+ port, or 0.
  int StartMetrics(Site& site, std::unique_ptr<Process>* metrics) {
    *metrics = site.Start({KIRN_BIN, "metrics", "--listen", "127.0.0.1:0", "--no-history",
                           "--ember", "127.0.0.1:0", "--ember-max-per-address", "64"});
    if (!(*metrics)->WaitForOutput("ember 127.0.0.1:", kStartMs)) return 0;
    web_port_ = PortAfter((*metrics)->Stdout(), "listening http://127.0.0.1:");
    return PortAfter((*metrics)->Stdout(), "ember 127.0.0.1:");
  }

  int OneRouter() {
    Site site;
    SimProcess sim({"--tcp", "0", "--quiet"});
    if (!sim.Ready()) return Fail("the emulator did not start: " + sim.Err());
    constexpr int kDests = 4096;
    constexpr int kSources = 4096;
    WriteRouter(site, 101, kSources, kDests);
    WriteFile(site.dir_.path() / "DEV_012.INI", DriverProfile(sim.ports.at(0), {101}, kDests));
    auto serve = site.StartServe();
    auto driver = site.Start({XARVEL_BIN, "12"});
    std::unique_ptr<Process> metrics;
    const int port = StartMetrics(site, &metrics);
    if (port == 0) return Fail("kirn metrics did not serve Ember+: " + metrics->Stderr());
    const Path matrix = {1, 12, 1, 1};

    // Warm: the walk has read every destination and the names are all looked up.
    {
      RawConsumer warm(port);
      const auto deadline = Clock::now() + std::chrono::minutes(3);
      bool loaded = false;
      while (!loaded && Clock::now() < deadline) {
        warm.Directory({1});
        warm.Directory({1, 12});
        loaded = LoadRouter(warm, matrix, kDests, kSources, true, 5000);
      }
      if (!loaded) return Fail("the router's matrix and names did not load in 3 minutes");
    }
    int failures = 0;
    if (options_.only.empty() || options_.only == "one") {
      std::vector<double> ms;
      double keepalive = 0;
      size_t bytes = 0;
      for (int i = 0; i < options_.repeat; ++i) {
        RawConsumer c(port);
        c.Directory({1, 12});
        c.Until([&] { return c.bytes_ > 0; }, 5000);
        const auto start = Clock::now();
        if (!LoadRouter(c, matrix, kDests, kSources, true, 10000, 50)) {
          return Fail("a load of the router did not complete");
        }
        ms.push_back(Ms(Clock::now() - start));
        keepalive = std::max(keepalive, c.max_keepalive_ms_);
        bytes = c.bytes_;
      }
      std::printf(
          "one router, 4096 targets and 4097 sources with every label, raw reader: %.1f ms "
          "(%s, %d runs; goal < 100 ms), %.0f KB, keep-alive answered within %.1f ms\n",
          Median(ms), Spread(ms).c_str(), options_.repeat, static_cast<double>(bytes) / 1024,
          keepalive);
    }
    if ((options_.only.empty() || options_.only == "node") && NodeConsumer()) {
      std::vector<double> total;
      std::vector<double> connections;
      for (int i = 0; i < options_.repeat; ++i) {
        Process node({"/usr/bin/env", "node", ConsumerScript(), "127.0.0.1", std::to_string(port),
                      "load", "1.12.1.1"});
        if (const int rc = node.Wait(120000); rc != 0) {
          return Fail("node-emberplus did not load (exit " + std::to_string(rc) +
                      "): " + node.Stdout() + node.Stderr());
        }
        double c = 0;
        double t = 0;
        const std::string out = node.Stdout();
        const size_t at = out.find("connections_ms ");
        if (at == std::string::npos ||
            std::sscanf(out.c_str() + at, "connections_ms %lf total_ms %lf", &c, &t) != 2) {
          return Fail("no LOADED line from node-emberplus: " + out);
        }
        connections.push_back(c);
        total.push_back(t);
      }
      std::printf(
          "one router with labels loaded by node-emberplus 3.0.8 as a panel would: %.0f ms "
          "(%s), its connections after %.0f ms\n",
          Median(total), Spread(total).c_str(), Median(connections));
    }
    if (options_.only.empty() || options_.only == "takes") failures += Takes(site, port, matrix);
    metrics->Stop();
    driver->Stop();
    serve->Stop();
    return failures;
  }

  static std::string ConsumerScript() {
    return std::string(XARVEL_SOURCE_DIR) + "/tests/ember/consumer/consumer.js";
  }
  static bool NodeConsumer() {
    const std::string modules =
        std::string(XARVEL_SOURCE_DIR) + "/tests/ember/consumer/node_modules/node-emberplus";
    if (::access(modules.c_str(), R_OK) != 0) {
      std::printf("node-emberplus not installed (scripts/install-deps): its figure skipped\n");
      return false;
    }
    return true;
  }

  int Takes(Site& site, int port, const Path& matrix) {
    std::string error;
    ::setenv("KIRN_BUS", site.Bus().c_str(), 1);
    auto client = kirn::ToolClient::Open(&error);
    if (!client) return Fail("cannot attach to the bus: " + error);
    std::string expected;
    Clock::time_point arrived{};
    client->SetLineHandler([&](std::string_view line) {
      if (line == expected) arrived = Clock::now();
    });
    if (client->Request(kirn::kKirnWatch, client->window(), 101) != 1) {
      return Fail("the interface stand-in refused to relay revertives");
    }
    RawConsumer c(port);
    c.Directory(matrix);
    c.Until([&] { return c.matrices_[matrix].connections.size() >= 4096; }, 10000);
    constexpr int kOneByOne = 300;
    std::vector<double> kirn_us;
    std::vector<double> ember_us;
    int source = 10;
    int lost = 0;
    for (int k = 0; k < kOneByOne; ++k) {
      // Alternately, so that both see the same machine: a route from this kirn client ...
      const int dest = 1 + k % 64;
      ++source;
      char text[64];
      std::snprintf(text, sizeof text, "REV 0 RR 101 %03d %03d", dest, source);
      expected = text;
      arrived = Clock::time_point{};
      auto sent = Clock::now();
      const std::string command =
          "RC 101 " + std::to_string(source) + " " + std::to_string(dest) + " ',---' 0";
      if (client->RequestWithText(kirn::kKirnSend, 101, command) == 1) {
        const auto deadline = sent + std::chrono::seconds(5);
        while (arrived == Clock::time_point{} && Clock::now() < deadline && client->Pump(20)) {
        }
      }
      if (arrived == Clock::time_point{}) {
        ++lost;
      } else {
        kirn_us.push_back(std::chrono::duration<double, std::micro>(arrived - sent).count());
      }
      // ... and a take of the next destination, to its modified.
      const int target = 64 + k % 64;
      ++source;
      auto& m = c.matrices_[matrix];
      m.disposition.erase(target);
      sent = Clock::now();
      c.Take(matrix, target, static_cast<uint32_t>(source));
      // The kirn client is served meanwhile: the interface relays this route's revertive to it
      // too, and waits for its answer.
      const auto deadline = sent + std::chrono::seconds(5);
      while (!(m.disposition.count(target) && m.disposition[target] != 2) &&
             Clock::now() < deadline && c.ok()) {
        c.Read(1);
        client->Pump(0);
      }
      if (m.disposition.count(target) && m.disposition[target] == 1) {
        ember_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
      } else {
        ++lost;
      }
    }
    const double k50 = Median(kirn_us);
    const double e50 = Median(ember_us);
    std::printf(
        "one take to modified: median %.0f us; one route from a kirn client to its revertive: "
        "median %.0f us; %.2f x (goal <= 1.2 x + 1 ms: %s); %d of %d without an answer\n",
        e50, k50, k50 > 0 ? e50 / k50 : 0.0, e50 <= 1.2 * k50 + 1000 ? "met" : "missed", lost,
        2 * kOneByOne);

    // The salvo: 1000 takes back to back, then the same routes through kirn send -, alternately,
    // so that both see the same machine. This process no longer watches: nothing waits on it.
    client->Request(kirn::kKirnUnwatch, client->window(), 0);
    constexpr int kSalvo = 1000;
    std::vector<double> ember_s;
    std::vector<double> kirn_s;
    std::vector<double> ratio;
    int modified_all = 0;
    double marks_ms[3] = {0, 0, 0};
    auto& m = c.matrices_[matrix];
    for (int run = 0; run < options_.repeat; ++run) {
      const int base = 100 + 200 * run;  // new sources each run: every take changes a tally
      for (int t = 0; t < kSalvo; ++t) m.disposition.erase(t);
      const auto start = Clock::now();
      for (int t = 0; t < kSalvo; ++t) c.Take(matrix, t, static_cast<uint32_t>(base + t % 100));
      // When a tenth, half and nine tenths of the takes had their answer: the salvo's shape.
      c.Until(
          [&] {
            int done = 0;
            for (int t = 0; t < kSalvo; ++t) {
              auto it = m.disposition.find(t);
              done += it != m.disposition.end() && it->second != 2;
            }
            const int marks[3] = {kSalvo / 10, kSalvo / 2, kSalvo * 9 / 10};
            for (int i = 0; i < 3; ++i) {
              if (run == 0 && marks_ms[i] == 0 && done >= marks[i]) {
                marks_ms[i] = Ms(Clock::now() - start);
              }
            }
            return done == kSalvo;
          },
          60000);
      ember_s.push_back(Ms(Clock::now() - start) / 1000);
      int modified = 0;
      for (int t = 0; t < kSalvo; ++t) modified += m.disposition.count(t) && m.disposition[t] == 1;
      modified_all += modified;
      std::string list;
      for (int t = 0; t < kSalvo; ++t) {
        list += "RC 101 " + std::to_string(base + 100 + t % 100) + " " + std::to_string(t + 1) +
                " ',---' 0\n";
      }
      const auto file = site.dir_.path() / "salvo.txt";
      WriteFile(file, list);
      Process send({"/bin/sh", "-c",
                    std::string("exec '") + KIRN_BIN + "' send 101 - --stats --wait 1000 < '" +
                        file.string() + "'"},
                   site.Env());
      if (send.Wait(120000) != 0) return Fail("kirn send failed: " + send.Stderr());
      long sent = 0;
      long revertives = 0;
      double seconds = 0;
      const std::string out = send.Stdout();
      const size_t at = out.rfind("sent ");
      if (at == std::string::npos ||
          std::sscanf(out.c_str() + at, "sent %ld, revertives %ld, seconds %lf", &sent, &revertives,
                      &seconds) != 3 ||
          seconds <= 0) {
        return Fail("no statistics line from kirn send");
      }
      kirn_s.push_back(seconds);
      ratio.push_back(ember_s.back() / seconds);
      // The next salvo starts once the provider has shown this one's revertives: otherwise their
      // tallies, still on their way, would answer the next salvo's takes before their own.
      c.Until(
          [&] {
            for (int t = 0; t < kSalvo; ++t) {
              auto it = m.source.find(t);
              if (it == m.source.end() || it->second != base + 100 + t % 100) return false;
            }
            return true;
          },
          30000);
    }
    std::printf(
        "salvo of %d takes: a tenth answered after %.0f ms, half after %.0f ms, nine tenths after "
        "%.0f ms (first run)\n",
        kSalvo, marks_ms[0], marks_ms[1], marks_ms[2]);
    const int total = kSalvo * options_.repeat;
    std::printf(
        "salvo of %d takes from one consumer: %.3f s (median of %d), %d of %d modified, %d lost; "
        "through kirn send -: %.3f s; %.2f x (median ratio, %s; goal <= 1.1 x: %s)\n",
        kSalvo, Median(ember_s), options_.repeat, modified_all, total, total - modified_all,
        Median(kirn_s), Median(ratio), Spread(ratio).c_str(),
        Median(ratio) <= 1.1 && modified_all == total ? "met" : "missed");
    return 0;
  }

  int Workstation() {
    Site site;
    const int drivers = options_.drivers;
    constexpr int kDests = 4096;
    std::vector<std::unique_ptr<SimProcess>> sims;
    for (int d = 0; d < drivers; ++d) {
      sims.push_back(
          std::make_unique<SimProcess>(std::vector<std::string>{"--tcp", "0", "--quiet"}));
      if (!sims.back()->Ready()) return Fail("an emulator did not start: " + sims.back()->Err());
      std::vector<int> devices;
      for (int r = 0; r < kRouters; ++r) {
        devices.push_back(101 + kRouters * d + r);
        WriteRouter(site, devices.back(), kDests, kDests, options_.names);
      }
      WriteFile(site.dir_.path() / ("DEV_0" + std::to_string(21 + d) + ".INI"),
                DriverProfile(sims.back()->ports.at(0), devices, kDests));
    }
    auto serve = site.StartServe();
    std::unique_ptr<Process> metrics;
    const int port = StartMetrics(site, &metrics);
    if (port == 0) return Fail("kirn metrics did not serve Ember+: " + metrics->Stderr());
    std::vector<std::unique_ptr<Process>> driver_processes;
    for (int d = 0; d < drivers; ++d) {
      driver_processes.push_back(site.Start({XARVEL_BIN, std::to_string(21 + d)}));
    }
    std::vector<Path> matrices;
    for (int d = 0; d < drivers; ++d) {
      for (int r = 1; r <= kRouters; ++r) {
        matrices.push_back({1, static_cast<uint32_t>(21 + d), static_cast<uint32_t>(r), 1});
      }
    }
    // Warm: every walk done and every name looked up, as one consumer sees it.
    const auto started = Clock::now();
    {
      RawConsumer warm(port);
      bool loaded = false;
      while (!loaded && Clock::now() - started < std::chrono::minutes(30)) {
        warm.Directory({1});
        for (int d = 0; d < drivers; ++d) warm.Directory({1, static_cast<uint32_t>(21 + d)});
        warm.Until([] { return false; }, 2000);
        for (const Path& m : matrices) {
          Path t = m;
          t.insert(t.end(), {1, 1});
          Path s = m;
          s.insert(s.end(), {1, 2});
          warm.Directory(m);
          warm.Directory(t);
          warm.Directory(s);
        }
        loaded = warm.Until(
            [&] {
              for (const Path& m : matrices) {
                Path t = m;
                t.insert(t.end(), {1, 1});
                Path s = m;
                s.insert(s.end(), {1, 2});
                const auto& lt = options_.names ? warm.lists_[t].named : warm.lists_[t].labels;
                const auto& ls = options_.names ? warm.lists_[s].named : warm.lists_[s].labels;
                if (warm.matrices_[m].connections.size() < kDests || lt.size() < kDests ||
                    ls.size() < kDests) {
                  return false;
                }
              }
              return true;
            },
            60000);
      }
      if (!loaded) return Fail("the workstation did not load in 30 minutes");
    }
    std::printf("workstation: %d drivers x %d routers x %d destinations, %s, ready after %.0f s\n",
                drivers, kRouters, kDests,
                options_.names ? "every name set" : "no names (empty labels)",
                Ms(Clock::now() - started) / 1000);
    {
      std::vector<double> ms;
      std::vector<double> cpu;  // of kirn metrics, ms
      double keepalive = 0;
      size_t bytes = 0;
      for (int i = 0; i < std::max(1, options_.repeat / 2); ++i) {
        RawConsumer c(port);
        c.count_only = true;
        const auto start = Clock::now();
        const long long ticks_before = CpuTicks(metrics->pid());
        for (const Path& m : matrices) {
          Path t = m;
          t.insert(t.end(), {1, 1});
          Path s = m;
          s.insert(s.end(), {1, 2});
          c.Directory(m);
          c.Directory(t);
          c.Directory(s);
        }
        // Nothing changes meanwhile: every connection and label comes once.
        const size_t connections = matrices.size() * kDests;
        const size_t labels = matrices.size() * (2 * kDests + 1);
        const bool done = c.Until(
            [&] { return c.connections_counted >= connections && c.parameters_counted >= labels; },
            120000, 50);
        if (!done) return Fail("a load of the workstation did not complete in 120 s");
        ms.push_back(Ms(Clock::now() - start));
        cpu.push_back(1000.0 * static_cast<double>(CpuTicks(metrics->pid()) - ticks_before) /
                      static_cast<double>(::sysconf(_SC_CLK_TCK)));
        cpu.push_back(1000.0 * static_cast<double>(CpuTicks(metrics->pid()) - ticks_before) /
                      static_cast<double>(::sysconf(_SC_CLK_TCK)));
        keepalive = std::max(keepalive, c.max_keepalive_ms_);
        bytes = c.bytes_;
      }
      std::printf(
          "workstation: every matrix with its connections and labels (%zu matrices), raw reader: "
          "%.2f s (%s ms; goal < 5 s), %.1f MB, keep-alives every 50 ms answered within %.1f ms "
          "(goal 200 ms); kirn metrics' CPU meanwhile %.2f s (%s ms)\n",
          matrices.size(), Median(ms) / 1000, Spread(ms).c_str(),
          static_cast<double>(bytes) / 1048576, keepalive, Median(cpu) / 1000, Spread(cpu).c_str());
    }
    // Idle: 10 consumers subscribed to every matrix.
    std::vector<std::unique_ptr<RawConsumer>> consumers;
    for (int i = 0; i < 10; ++i) {
      consumers.push_back(std::make_unique<RawConsumer>(port));
      consumers.back()->count_only = true;
      for (const Path& m : matrices) consumers.back()->Directory(m);
    }
    for (auto& c : consumers) {
      const size_t connections = matrices.size() * kDests;
      if (!c->Until([&] { return c->connections_counted >= connections; }, 120000)) {
        return Fail("10 consumers did not get every matrix in 120 s each");
      }
    }
    // Idle is measured once nothing changes any more: the drivers' first walks of their routers
    // (each destination's source, as the controller answers, reaches every consumer) and the
    // names' first pass (the look-ups of every label list the loads asked for, empty ones too,
    // go over the bus) are work, not idleness. Three readings 2 s apart with no names pending
    // and no connection come (the provider wants the names still missing again once the queue
    // is empty).
    const auto quiet_start = Clock::now();
    int quiet = 0;
    size_t connections_seen = 0;
    while (quiet < 3 && Clock::now() - quiet_start < std::chrono::minutes(30)) {
      const auto reply = testing_support::HttpGet(web_port_, "/api/driver/21?router=101", 20000);
      const size_t at = reply.body.find("\"names_pending\":");
      const bool no_names =
          at != std::string::npos && std::atoll(reply.body.c_str() + at + 16) == 0;
      size_t connections = 0;
      for (auto& c : consumers) connections += c->connections_counted;
      quiet = no_names && connections == connections_seen ? quiet + 1 : 0;
      connections_seen = connections;
      for (int i = 0; i < 20 && quiet < 3; ++i) {
        for (auto& c : consumers) c->Read(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
    if (quiet < 3) return Fail("the workstation did not settle in 30 minutes");
    std::printf("workstation: settled (walks and names done) %.0f s after the load\n",
                Ms(Clock::now() - quiet_start) / 1000);
    constexpr int kIdleSeconds = 30;
    const long long before = CpuTicks(metrics->pid());
    const auto idle_start = Clock::now();
    while (Clock::now() - idle_start < std::chrono::seconds(kIdleSeconds)) {
      for (auto& c : consumers) c->Read(0);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const long long after = CpuTicks(metrics->pid());
    const double seconds = Ms(Clock::now() - idle_start) / 1000;
    const double percent = 100.0 * static_cast<double>(after - before) /
                           static_cast<double>(::sysconf(_SC_CLK_TCK)) / seconds;
    std::printf(
        "workstation: idle CPU of kirn metrics with 10 consumers subscribed to every matrix: "
        "%.2f %% of a core over %d s (goal < 0.5 %%)\n",
        percent, kIdleSeconds);
    metrics->Stop();
    for (auto& p : driver_processes) p->Stop();
    serve->Stop();
    return 0;
  }

  Options options_;
  int web_port_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--no-names") {
      o.names = false;
      continue;
    }
    if (a == "--help" || a == "-h") {
      std::printf(
          "usage: ember_bench [--repeat N] [--only one|node|takes|workstation] [--drivers N]\n"
          "                   [--no-names]\n"
          "Measures kirn metrics' Ember+ provider with a raw S101 reader and node-emberplus:\n"
          "one router's matrix with its labels, a panel's load, takes against kirn's route\n"
          "commands, a full workstation's matrices and the idle CPU with 10 consumers.\n");
      return 0;
    }
    if (i + 1 >= argc) return Fail("'" + a + "' needs a value (see --help)");
    const std::string v = argv[++i];
    if (a == "--repeat") {
      o.repeat = std::clamp(std::atoi(v.c_str()), 1, 100);
    } else if (a == "--only") {
      o.only = v;
    } else if (a == "--drivers") {
      o.drivers = std::clamp(std::atoi(v.c_str()), 1, 30);
    } else {
      return Fail("unknown argument '" + a + "' (see --help)");
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  // Each figure as soon as it is measured, for bench/run.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return Bench(o).Run();
}
