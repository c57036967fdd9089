// A peer process for the bus tests: connects to the bus, creates one top-level window and serves
// it in a way chosen on the command line, until SIGTERM.
//
//   bus_peer echo   msg 100 answers wParam + lParam; a data message 200 upper-cases its block
//                   and answers its length; msg 300 sends msg 301 back to the window in wParam
//                   (nested) and answers that result + 1; posts of msg 400 are counted and
//                   msg 401 answers the count.
//   bus_peer die    exits at once when it receives msg 100, in the middle of the send.
//   bus_peer hang   does not answer msg 100 for 30 seconds.
//   bus_peer host   hosts the bus itself (no window) and prints "READY 0".
//   bus_peer raw    asks the host for a handle without any check of its own and prints
//                   "HANDLE <n>", or "CLOSED" when the host closes the connection instead.
// It prints "READY <handle>" when its window exists.
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/bus_client.h"
#include "platform/bus_host.h"
#include "platform/window.h"
#include "raw_bus_peer.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnTerm(int) {
  g_stop = 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "echo";
  if (mode != "echo" && mode != "die" && mode != "hang" && mode != "host" && mode != "raw") {
    const bool help = mode == "--help" || mode == "-h";
    std::fputs(
        "usage: bus_peer [echo|die|hang|host|raw]   (the bus of $KIRN_BUS)\n"
        "A peer for the bus tests, serving one window until SIGTERM (see bus_peer.cpp).\n",
        help ? stdout : stderr);
    return help ? 0 : 2;
  }
  signal(SIGTERM, OnTerm);
  std::string error;
  if (mode == "raw") {
    testing_support::RawBusPeer raw(plat::BusPath());
    const uint16_t h = raw.Acquire();
    if (h != 0) std::printf("HANDLE %d\n", h);
    if (raw.closed()) std::printf("CLOSED\n");
    return h != 0 ? 0 : 1;
  }
  if (mode == "host") {
    auto host = plat::BusHost::Listen(plat::BusPath(), &error);
    if (!host) {
      std::fprintf(stderr, "bus_peer: %s\n", error.c_str());
      return 1;
    }
    host->Start();
    std::printf("READY 0\n");
    std::fflush(stdout);
    while (g_stop == 0) ::usleep(50000);
    return 0;
  }
  auto bus = plat::BusClient::Connect(plat::BusPath(), &error);
  if (!bus) {
    std::fprintf(stderr, "bus_peer: %s\n", error.c_str());
    return 1;
  }
  plat::SetTransport(bus.get());
  int posts = 0;
  const plat::Hwnd self = plat::CreateWindow(
      [&](plat::Hwnd h, uint32_t msg, plat::WParam w, plat::LParam l) -> plat::LResult {
        if (msg == plat::kDataMessage) return plat::HandOffDataMessage(h, w, l);
        if (msg == 100) {
          if (mode == "die") ::_exit(0);
          if (mode == "hang") std::this_thread::sleep_for(std::chrono::seconds(30));
          return w + l;
        }
        if (msg == 200) {
          auto* text = reinterpret_cast<char*>(l);
          for (char* p = text; *p != '\0'; ++p) *p = static_cast<char>(std::toupper(*p));
          return static_cast<plat::LResult>(std::strlen(text));
        }
        if (msg == 300) return plat::SendMessage(static_cast<plat::Hwnd>(w), 301, 0, 0) + 1;
        if (msg == 400) ++posts;
        if (msg == 401) return posts;
        return 0;
      },
      true);
  if (self == plat::kNoWindow) {
    std::fprintf(stderr, "bus_peer: no window handle\n");
    return 1;
  }
  std::printf("READY %d\n", self);
  std::fflush(stdout);
  while (g_stop == 0 && bus->connected()) bus->Pump(50);
  plat::SetTransport(nullptr);
  return 0;
}
