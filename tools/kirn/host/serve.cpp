// kirn serve: the bus host on its own thread, and the interface stand-in as an ordinary client of
// it on the main thread's Qt loop.
#include <QCoreApplication>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <cstdio>
#include <memory>
#include <string>

#include "core/service_notify.h"
#include "interface/messages.h"
#include "platform/bus_client.h"
#include "platform/bus_host.h"
#include "platform/debug_output.h"
#include "platform/signals.h"
#include "tools/kirn/common/kirn_messages.h"
#include "tools/kirn/host/host_commands.h"
#include "tools/kirn/host/kapi_standin.h"

namespace kirn {
namespace {

void PrintEvent(const std::string& line, plat::LogLevel level) {
  plat::OutputEventLine(line, level);
}

// "DEV=CODE" with DEV an integer and CODE a non-zero integer.
bool ParseRefusal(const std::string& text, int* device, int* code) {
  const size_t eq = text.find('=');
  long long d = 0;
  long long c = 0;
  if (eq == std::string::npos || !ParseInt(text.substr(0, eq), INT32_MIN, INT32_MAX, &d) ||
      !ParseInt(text.substr(eq + 1), INT32_MIN, INT32_MAX, &c) || c == 0) {
    return false;
  }
  *device = static_cast<int>(d);
  *code = static_cast<int>(c);
  return true;
}

}  // namespace

int RunServe(const Args& args) {
  StandInOptions options;
  options.default_mode = xarvel::IFMODE_TXRX;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--mode" || a == "--refuse") {
      if (i + 1 >= args.size()) return UsageError("serve", a + " needs a value");
      const std::string& v = args[++i];
      if (a == "--mode") {
        if (v == "txrx") {
          options.default_mode = xarvel::IFMODE_TXRX;
        } else if (v == "rxonly") {
          options.default_mode = xarvel::IFMODE_RXONLY;
        } else {
          return UsageError("serve", "--mode takes txrx or rxonly, not '" + v + "'");
        }
      } else {
        int device = 0;
        int code = 0;
        if (!ParseRefusal(v, &device, &code)) {
          return UsageError("serve",
                            "--refuse takes DEV=CODE with a non-zero CODE, not '" + v + "'");
        }
        options.forced[device] = code;
      }
    } else if (a == "--" && i + 1 == args.size()) {
      break;
    } else {
      return UsageError("serve", "unexpected argument '" + a + "'");
    }
  }

  const std::string path = plat::BusPath();
  std::string error;
  std::unique_ptr<plat::BusHost> host = plat::BusHost::Listen(path, &error);
  if (!host) return Failure("serve", "cannot host the bus: " + error);
  host->Start();

  int argc = 1;
  char arg0[] = "kirn";
  char* argv[] = {arg0, nullptr};
  QCoreApplication app(argc, argv);

  std::unique_ptr<plat::BusClient> bus = plat::BusClient::Connect(path, &error);
  if (!bus) return Failure("serve", "cannot attach to its own bus: " + error);
  plat::SetTransport(bus.get());
  bus->AttachToEventLoop();
  int code = 0;
  bus->SetDisconnectHandler([&code] {
    plat::OutputDebugString("kirn serve: lost the connection to its own bus host\n",
                            plat::LogLevel::kErr);
    code = 1;
    QCoreApplication::exit(1);
  });

  plat::BusClient* client = bus.get();
  auto timeout = std::make_shared<int>(5000);
  StandInHooks hooks;
  hooks.event = PrintEvent;
  hooks.set_send_timeout = [client, timeout](int ms) {
    const int previous = *timeout;
    *timeout = ms;
    client->SetSendTimeoutMs(ms);
    return previous;
  };
  // The host knows which windows exist; asking it leaves a live driver undisturbed.
  hooks.is_alive = [client](plat::Hwnd window) { return client->WindowExists(window); };
  hooks.same_process = [client](plat::Hwnd a, plat::Hwnd b) { return client->SameProcess(a, b); };

  // The profiles the names come from: a change of one is told to the watchers that follow the
  // names, so that they read them again (they never re-read them on a timer).
  QFileSystemWatcher files;
  KapiStandIn* standin_of_files = nullptr;
  hooks.watch_file = [&files](const std::string& path) {
    const QString p = QString::fromStdString(path);
    if (!files.files().contains(p) && QFileInfo::exists(p)) files.addPath(p);
  };
  QObject::connect(&files, &QFileSystemWatcher::fileChanged, [&standin_of_files](const QString& p) {
    if (standin_of_files != nullptr) standin_of_files->NamesFileChanged(p.toStdString());
  });

  auto standin = std::make_unique<KapiStandIn>(options, hooks);
  standin_of_files = standin.get();
  if (!standin->Create()) {
    plat::SetTransport(nullptr);
    return Failure("serve", "the bus host gave no window handle");
  }
  // A driver killed without detaching leaves its registrations behind: the host's notice that
  // its windows have gone drops them (from the loop, never inside a send in progress).
  bus->SetWindowGoneHandler([window = standin->window()](plat::Hwnd gone) {
    plat::PostMessage(window, kKirnGone, gone, 0);
  });
  char ready[64];
  std::snprintf(ready, sizeof ready, "window 0x%04x mode %d", standin->window(),
                options.default_mode);
  PrintEvent("ready bus " + path + " " + ready, plat::LogLevel::kNotice);
  xarvel::ServiceNotify_Send("READY=1\nSTATUS=bus " + path);

  plat::OnTerminationSignal([] { QCoreApplication::quit(); });
  const int loop = QCoreApplication::exec();
  if (code == 0) code = loop;
  xarvel::ServiceNotify_Send("STOPPING=1");

  standin_of_files = nullptr;
  standin.reset();
  plat::SetTransport(nullptr);
  bus.reset();
  host->Stop();
  PrintEvent("stopped", plat::LogLevel::kNotice);
  return code;
}

}  // namespace kirn
