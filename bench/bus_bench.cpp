// Sends per second between two processes over the workstation bus: a plain message, and a data
// message carrying a 64-byte block there and back. The benchmark runs the bus host in-process
// and starts itself a second time as the answering peer.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/bus_client.h"
#include "platform/bus_host.h"
#include "platform/window.h"
#include "raw_bus_peer.h"

namespace {

constexpr uint32_t kPing = 100;
constexpr uint32_t kBlock = 200;

// The answering peer: one top-level window whose handle it prints.
int RunPeer() {
  std::string error;
  auto bus = plat::BusClient::Connect(plat::BusPath(), &error);
  if (!bus) return 1;
  plat::SetTransport(bus.get());
  const plat::Hwnd self = plat::CreateWindow(
      [](plat::Hwnd h, uint32_t msg, plat::WParam w, plat::LParam l) -> plat::LResult {
        if (msg == plat::kDataMessage) return plat::HandOffDataMessage(h, w, l);
        if (msg == kPing) return w + 1;
        if (msg == kBlock) {
          reinterpret_cast<char*>(l)[0] = 'A';
          return 64;
        }
        return 0;
      },
      true);
  std::printf("%d\n", self);
  std::fflush(stdout);
  while (bus->connected()) bus->Pump(1000);
  return 0;
}

struct Fixture {
  std::unique_ptr<plat::BusHost> host;
  std::unique_ptr<plat::BusClient> client;
  plat::Hwnd self = 0;
  plat::Hwnd peer = 0;
  pid_t pid = -1;
};

Fixture* g_fixture = nullptr;

bool SetUpFixture(Fixture& f) {
  const std::string path = "/tmp/xarvel-bus-bench-" + std::to_string(::getpid()) + ".sock";
  ::setenv("KIRN_BUS", path.c_str(), 1);
  std::string error;
  f.host = plat::BusHost::Listen(path, &error);
  if (!f.host) return false;
  f.host->Start();
  int out[2];
  if (::pipe(out) != 0) return false;
  f.pid = ::fork();
  if (f.pid == 0) {
    ::dup2(out[1], 1);
    ::execl("/proc/self/exe", "bus_bench", "--peer", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  char line[32] = {};
  ssize_t n = ::read(out[0], line, sizeof line - 1);
  ::close(out[0]);
  if (n <= 0) return false;
  f.peer = static_cast<plat::Hwnd>(std::atoi(line));
  f.client = plat::BusClient::Connect(path, &error);
  if (!f.client) return false;
  plat::SetTransport(f.client.get());
  f.self =
      plat::CreateWindow([](plat::Hwnd, uint32_t, plat::WParam, plat::LParam) { return 0; }, true);
  return f.self != 0 && f.peer != 0;
}

void TearDownFixture(Fixture& f) {
  plat::ResetWindows();
  plat::SetTransport(nullptr);
  f.client.reset();
  if (f.pid > 0) {
    ::kill(f.pid, SIGTERM);
    ::waitpid(f.pid, nullptr, 0);
  }
  f.host.reset();
}

void BM_PlainSend(benchmark::State& state) {
  int64_t errors = 0;
  for (auto _ : state) {
    if (plat::SendMessage(g_fixture->peer, kPing, 41, 0) != 42) ++errors;
  }
  state.counters["sends/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["errors"] = static_cast<double>(errors);
}
BENCHMARK(BM_PlainSend)->UseRealTime()->MinTime(1.0);

void BM_DataSend64(benchmark::State& state) {
  int64_t errors = 0;
  std::vector<uint8_t> block(64, 'x');
  for (auto _ : state) {
    std::vector<uint8_t> data = block;
    if (g_fixture->client->Send(g_fixture->self, g_fixture->peer, kBlock, 0, 0, &data) != 64 ||
        data[0] != 'A') {
      ++errors;
    }
  }
  state.counters["sends/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["errors"] = static_cast<double>(errors);
}
BENCHMARK(BM_DataSend64)->UseRealTime()->MinTime(1.0);

// The same sends while another connection pipelines sends at the same peer as fast as the host
// takes them: the host reads the flooder only while few of its sends wait, so the measured
// client's sends stay close to their speed without the flood.
void BM_PlainSendDuringFlood(benchmark::State& state) {
  testing_support::RawBusPeer flooder(std::getenv("KIRN_BUS"));
  const uint16_t from = flooder.Acquire();
  std::atomic<bool> stop{false};
  std::atomic<int64_t> flood_answered{0};
  std::thread reader([&] {
    while (!stop.load() && !flooder.closed()) {
      auto r = flooder.Read(50);
      if (r && r->kind == plat::FrameKind::kReply) ++flood_answered;
    }
  });
  std::thread writer([&] {
    plat::Frame f;
    f.kind = plat::FrameKind::kSend;
    f.from = from;
    f.to = g_fixture->peer;
    f.msg = kPing;
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 256; ++i) plat::EncodeFrame(f, bytes);
    while (!stop.load() && flooder.WriteBytes(bytes)) {
    }
  });
  // Let the flood fill the host's bounds first.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int64_t flood_before = flood_answered.load();
  int64_t errors = 0;
  for (auto _ : state) {
    if (plat::SendMessage(g_fixture->peer, kPing, 41, 0) != 42) ++errors;
  }
  state.counters["sends/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["flood sends/s"] = benchmark::Counter(
      static_cast<double>(flood_answered.load() - flood_before), benchmark::Counter::kIsRate);
  state.counters["errors"] = static_cast<double>(errors);
  stop.store(true);
  ::shutdown(flooder.fd(), SHUT_RDWR);
  writer.join();
  reader.join();
}
BENCHMARK(BM_PlainSendDuringFlood)->UseRealTime()->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--peer") == 0) return RunPeer();
  Fixture fixture;
  if (!SetUpFixture(fixture)) {
    std::fprintf(stderr, "bus_bench: could not set up the bus and its peer\n");
    TearDownFixture(fixture);
    return 1;
  }
  g_fixture = &fixture;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  TearDownFixture(fixture);
  return 0;
}
