// kirn infodriver: the infodriver stand-in on the bus.
#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "interface/messages.h"
#include "platform/bus_client.h"
#include "platform/bus_host.h"
#include "platform/debug_output.h"
#include "platform/signals.h"
#include "tools/kirn/common/kirn_messages.h"
#include "tools/kirn/common/tool_client.h"
#include "tools/kirn/host/host_commands.h"
#include "tools/kirn/host/infodriver_standin.h"

namespace kirn {
namespace {

constexpr int kRetryFirstMs = 250;
constexpr int kRetryMaxMs = 2000;

std::string HexDigits(plat::Hwnd h) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04x", static_cast<unsigned>(h));
  return buf;
}

void PrintEvent(const std::string& line, plat::LogLevel level) {
  plat::OutputEventLine(line, level);
}

}  // namespace

int RunInfodriver(const Args& args) {
  int device = 0;
  int mode = xarvel::IFMODE_TXRX;
  bool have_device = false;
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--" && !options_ended) {
      options_ended = true;
    } else if (a == "--mode" && !options_ended) {
      if (i + 1 >= args.size()) return UsageError("infodriver", "--mode needs a value");
      const std::string& v = args[++i];
      if (v == "txrx") {
        mode = xarvel::IFMODE_TXRX;
      } else if (v == "rxonly") {
        mode = xarvel::IFMODE_RXONLY;
      } else {
        return UsageError("infodriver", "--mode takes txrx or rxonly, not '" + v + "'");
      }
    } else if (!have_device && ParseDevice(a, &device)) {
      have_device = true;
    } else {
      return UsageError("infodriver", "unexpected argument '" + a + "'");
    }
  }
  if (!have_device) return UsageError("infodriver", "expects DEV, a device id 1..999");

  int argc = 1;
  char arg0[] = "kirn";
  char* argv[] = {arg0, nullptr};
  QCoreApplication app(argc, argv);

  std::string error;
  std::unique_ptr<plat::BusClient> bus = plat::BusClient::Connect(plat::BusPath(), &error);
  if (!bus) {
    return Failure("infodriver", "no workstation bus (is 'kirn serve' running?): " + error);
  }
  plat::SetTransport(bus.get());
  bus->AttachToEventLoop();
  int code = 0;
  plat::BusClient* client = bus.get();
  InfodriverHooks hooks;
  hooks.event = PrintEvent;
  hooks.set_send_timeout = [client, current = std::make_shared<int>(5000)](int ms) {
    const int previous = *current;
    *current = ms;
    client->SetSendTimeoutMs(ms);
    return previous;
  };
  hooks.is_alive = [client](plat::Hwnd window) { return client->WindowExists(window); };
  hooks.quit = [] { QCoreApplication::quit(); };

  auto info = std::make_unique<InfodriverStandIn>(device, mode, hooks);
  if (!info->Create()) {
    plat::SetTransport(nullptr);
    return Failure("infodriver", "the bus host gave no window handle");
  }
  // One infodriver per device: look for another before serving.
  const uint32_t find_l = (static_cast<uint32_t>(kToolFindMarker) << 16) | device;
  plat::SendMessage(plat::HWND_BROADCAST, xarvel::ZUT_FINDINFODRIVER, info->window(),
                    static_cast<int32_t>(find_l));
  if (info->rival() != plat::kNoWindow) {
    info.reset();
    plat::SetTransport(nullptr);
    return Failure("infodriver", "infodriver " + std::to_string(device) + " is already on the bus");
  }

  char ready[64];
  std::snprintf(ready, sizeof ready, "ready infodriver %d window 0x%04x mode %d", device,
                info->window(), mode);
  PrintEvent(ready, plat::LogLevel::kNotice);

  InfodriverStandIn* standin = info.get();
  // A lost bus host (a restart of `kirn serve`) is waited for: the infodriver keeps its slots,
  // reconnects with a back-off (0.25 s, 0.5 s, 1 s, then every 2 s), takes its window handle
  // back and tells its clients where it is.
  QTimer retry;
  retry.setSingleShot(true);
  int delay_ms = kRetryFirstMs;
  QObject::connect(&retry, &QTimer::timeout, [&] {
    std::string why;
    std::vector<plat::Hwnd> lost;
    if (!client->Reconnect(plat::BusPath(), &why, &lost)) {
      delay_ms = std::min(delay_ms * 2, kRetryMaxMs);
      retry.start(delay_ms);
      return;
    }
    if (!lost.empty()) {
      plat::OutputDebugString("kirn infodriver: window handle 0x" + HexDigits(lost.front()) +
                                  " is held by another process on the new bus host\n",
                              plat::LogLevel::kErr);
      code = 1;
      QCoreApplication::exit(1);
      return;
    }
    PrintEvent("bus back: window 0x" + HexDigits(standin->window()), plat::LogLevel::kNotice);
    standin->Announce();
  });
  client->SetDisconnectHandler([&] {
    PrintEvent("bus lost: reconnecting", plat::LogLevel::kWarning);
    delay_ms = kRetryFirstMs;
    retry.start(delay_ms);
  });
  client->SetWindowGoneHandler([standin](plat::Hwnd h) { standin->WindowGone(h); });
  plat::OnTerminationSignal([standin] {
    standin->CloseClients();
    QCoreApplication::quit();
  });
  const int loop = QCoreApplication::exec();
  if (code == 0) code = loop;
  client->SetDisconnectHandler(nullptr);
  client->SetWindowGoneHandler(nullptr);

  info.reset();
  plat::SetTransport(nullptr);
  bus.reset();
  PrintEvent("stopped", plat::LogLevel::kNotice);
  return code;
}

}  // namespace kirn
