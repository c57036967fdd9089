// kirn trace: attaches to the driver of a device over the bus and prints every line of its trace
// as it happens (ui/trace_stream.h), whatever the driver's log level.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "core/remote_panel.h"
#include "interface/kirnif.h"
#include "interface/messages.h"
#include "platform/bus_client.h"
#include "platform/bus_host.h"
#include "platform/debug_output.h"
#include "tools/kirn/client/client_commands.h"
#include "tools/kirn/common/tool_client.h"
#include "tracing/trace_stream.h"

namespace kirn {

const char kTraceHelp[] =
    "usage: kirn trace DEV [--level L]\n"
    "Attaches to the driver that serves device DEV and prints every line of its trace as it\n"
    "happens, whatever the driver's log level (its journal may keep only the faults), until\n"
    "SIGINT or SIGTERM (exit 0). Several may attach to one driver (up to 8).\n"
    "  --level L   only lines at L or more severe: err, warning, notice, info or debug\n"
    "              (default debug: every line)\n"
    "The driver keeps a buffer of 1 MiB per tracer and sends from it as the tracer takes the\n"
    "lines: a tracer that cannot keep up (a slow terminal, a stopped pager) slows neither the\n"
    "driver nor its other traffic. Lines that do not fit are dropped for that tracer and\n"
    "said once room is back, as '<xarvel-trace>-N lines dropped'.\n"
    "When the driver goes, the trace says so on standard error and attaches again once a\n"
    "driver serves DEV. Exit 1 when there is no bus, no driver serves DEV at the start, or\n"
    "the bus goes; 2 on a usage error.\n";

namespace {

class TraceClient {
 public:
  static std::unique_ptr<TraceClient> Open(std::string* error) {
    std::string why;
    auto bus = plat::BusClient::Connect(plat::BusPath(), &why);
    if (!bus) {
      *error = "no workstation bus (is 'kirn serve' running?): " + why;
      return nullptr;
    }
    std::unique_ptr<TraceClient> client(new TraceClient);
    client->bus_ = std::move(bus);
    plat::SetTransport(client->bus_.get());
    TraceClient* self = client.get();
    client->window_ =
        plat::CreateWindow([self](plat::Hwnd h, uint32_t msg, plat::WParam w,
                                  plat::LParam l) { return self->Proc(h, msg, w, l); },
                           false);
    if (client->window_ == plat::kNoWindow) {
      *error = "the bus host gave no window handle";
      return nullptr;
    }
    return client;
  }
  ~TraceClient() {
    if (window_ != plat::kNoWindow) plat::DestroyWindow(window_);
    plat::SetTransport(nullptr);
  }
  TraceClient(const TraceClient&) = delete;
  TraceClient& operator=(const TraceClient&) = delete;

  // Finds the driver of `device` and attaches with `level`; false when none answers or it
  // refuses (`refused` then set).
  bool Attach(int device, plat::LogLevel level, bool* refused) {
    *refused = false;
    driver_ = plat::kNoWindow;
    device_ = device;
    plat::SendMessage(plat::HWND_BROADCAST, xarvel::kPanelFind, window_, device);
    device_ = 0;
    if (driver_ == plat::kNoWindow) return false;
    const plat::LResult r = bus_->Send(window_, driver_, xarvel::kTraceAttach, window_,
                                       static_cast<int>(level), nullptr);
    if (r != 1) {
      *refused = bus_->last_send_answered();
      driver_ = plat::kNoWindow;
      return false;
    }
    return true;
  }
  void Detach() {
    if (driver_ != plat::kNoWindow && bus_->connected()) {
      bus_->Send(window_, driver_, xarvel::kTraceDetach, window_, 0, nullptr);
    }
    driver_ = plat::kNoWindow;
  }
  bool DriverThere() { return driver_ != plat::kNoWindow && bus_->WindowExists(driver_); }
  bool Pump(int ms) {
    bus_->Pump(ms);
    return bus_->connected();
  }

 private:
  TraceClient() = default;
  plat::LResult Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l) {
    const plat::Hwnd sender = plat::MessageSender();
    switch (msg) {
      case xarvel::kPanelHere:
        // The first driver to answer for the device, naming its own window, is the one asked.
        if (device_ != 0 && l == device_ && driver_ == plat::kNoWindow &&
            (sender == plat::kNoWindow || sender == (w & 0xFFFF))) {
          driver_ = static_cast<plat::Hwnd>(w & 0xFFFF);
        }
        return 0;
      case xarvel::ZUT_DATA:
        return xarvel::KirnIf_HandOff(hwnd, w, l);
      case xarvel::kTraceLines: {
        if (!plat::IsHandedOffBlock(l) || l == 0 || sender != driver_) return 0;
        // Whole lines, zero-terminated; written as they came (a full pipe holds us here, and
        // the driver then keeps the lines for us or drops them).
        const std::string_view text(reinterpret_cast<const char*>(l));
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        return 1;
      }
      default:
        return 0;
    }
  }

  std::unique_ptr<plat::BusClient> bus_;
  plat::Hwnd window_ = plat::kNoWindow;
  plat::Hwnd driver_ = plat::kNoWindow;
  int device_ = 0;  // the device a driver is looked for, while the search runs
};

}  // namespace

int RunTrace(const Args& args) {
  plat::LogLevel level = plat::LogLevel::kDebug;
  std::string dev_text;
  bool options_end = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!options_end && a == "--") {
      options_end = true;
    } else if (!options_end && a == "--level") {
      if (i + 1 >= args.size()) return UsageError("trace", "--level expects a level");
      const auto parsed = plat::ParseLogLevel(args[++i]);
      if (!parsed) {
        return UsageError("trace",
                          "--level '" + args[i] + "' is not err, warning, notice, info or debug");
      }
      level = *parsed;
    } else if (!options_end && a.size() > 1 && a[0] == '-') {
      return UsageError("trace", "unknown option '" + a + "'");
    } else if (dev_text.empty()) {
      dev_text = a;
    } else {
      return UsageError("trace", "expects one DEV");
    }
  }
  int device = 0;
  if (dev_text.empty()) return UsageError("trace", "expects DEV");
  if (!ParseDevice(dev_text, &device)) {
    return UsageError("trace", "DEV must be a device id 1..999, not '" + dev_text + "'");
  }
  InstallStopSignals();
  std::string error;
  auto client = TraceClient::Open(&error);
  if (!client) return Failure("trace", error);
  bool refused = false;
  if (!client->Attach(device, level, &refused)) {
    return Failure("trace", refused ? "the driver of device " + std::to_string(device) +
                                          " refused (too many tracers attached)"
                                    : "no driver serves device " + std::to_string(device));
  }
  bool attached = true;
  int quiet_ms = 0;
  while (!StopRequested()) {
    if (!client->Pump(200)) {
      return Failure("trace", "the bus has gone (kirn serve stopped or restarted)");
    }
    quiet_ms += 200;
    if (quiet_ms < 1000) continue;
    quiet_ms = 0;
    // Once a second: is the driver still there, or back?
    if (attached && !client->DriverThere()) {
      attached = false;
      std::fprintf(stderr, "kirn trace: the driver of device %d has gone; waiting for it\n",
                   device);
    } else if (!attached && client->Attach(device, level, &refused)) {
      attached = true;
      std::fprintf(stderr, "kirn trace: attached again to the driver of device %d\n", device);
    }
  }
  client->Detach();
  return 0;
}

}  // namespace kirn
