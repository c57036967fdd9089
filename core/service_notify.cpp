#include "core/service_notify.h"

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <QTimer>
#include <cstdlib>
#include <memory>

#include "config/profile.h"
#include "ids/window_ids.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
#include "link/link_state.h"
#include "platform/debug_output.h"
#include "platform/dialog.h"

namespace xarvel {
namespace {

// How often the summary is compared with the one last sent, besides the dialog changes that
// trigger it at once.
constexpr int kStatusCheckMs = 1000;

struct NotifyState {
  bool ready_sent = false;
  bool stopping_sent = false;
  std::string last_status;
  // The first error box of a start-up that has not completed yet.
  std::string startup_failure;
  std::unique_ptr<QTimer> watchdog;
  std::unique_ptr<QTimer> status_check;
  int observer = -1;
  bool sink_installed = false;
  plat::DebugSink previous_sink;
};

NotifyState& State() {
  static NotifyState state;
  return state;
}

void SendStatusIfChanged() {
  NotifyState& s = State();
  if (!s.ready_sent || s.stopping_sent) return;
  std::string status = ServiceNotify_Summary();
  if (status == s.last_status) return;
  s.last_status = status;
  ServiceNotify_Send("STATUS=" + status);
}

// Forwards every debug line where it went before and keeps the first error box's text.
void CaptureStartupFailure(std::string_view text) {
  NotifyState& s = State();
  const std::string_view caption = kErrorCaption;
  if (s.startup_failure.empty() && text.substr(0, caption.size()) == caption) {
    std::string_view rest = text.substr(caption.size());
    if (rest.substr(0, 2) == ": ") rest.remove_prefix(2);
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == ' ')) rest.remove_suffix(1);
    s.startup_failure = std::string(rest);
  }
  if (s.previous_sink) {
    s.previous_sink(text);
  } else {
    // The default stream: standard error, one write per call.
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
  }
}

void RestoreDebugSink() {
  NotifyState& s = State();
  if (!s.sink_installed) return;
  s.sink_installed = false;
  plat::SetDebugSink(std::move(s.previous_sink));
  s.previous_sink = nullptr;
}

}  // namespace

bool ServiceNotify_Enabled() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && socket[0] != '\0';
}

void ServiceNotify_Send(std::string_view state) {
  if (!ServiceNotify_Enabled()) return;
  const std::string text(state);
  sd_notify(0, text.c_str());
}

std::string ServiceNotify_Summary() {
  std::string line;
  switch (Kapi().DriverMode) {
    case IFMODE_TXRX:
      line = "Tx/Rx";
      break;
    case IFMODE_RXONLY:
      line = "Rx Only";
      break;
    case IFMODE_NONE:
      line = "no mode";
      break;
    default:
      line = InterfaceModeName(Kapi().DriverMode);
      break;
  }
  const Settings& settings = Profile().settings;
  if (settings.Simulation != 0) return line + ", Simulation";
  switch (Link().ComState) {
    case kComOk:
      line += ", Comms Ok";
      break;
    case kComFailed:
      line += ", Comms Fail";
      break;
    default:
      line += ", Comms unconfirmed";
      break;
  }
  if (settings.Connection_Mode == 2) {
    const int active = Link().ActiveController;
    line += active == kControllerA   ? ", controller A"
            : active == kControllerB ? ", controller B"
                                     : ", no controller";
  }
  return line;
}

void ServiceNotify_Start() {
  if (!ServiceNotify_Enabled()) return;
  NotifyState& s = State();
  s.previous_sink = plat::SetDebugSink(CaptureStartupFailure);
  s.sink_installed = true;

  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    s.watchdog = std::make_unique<QTimer>();
    const uint64_t half_ms = usec / 2000;
    s.watchdog->setInterval(static_cast<int>(half_ms < 1         ? 1
                                             : half_ms > 3600000 ? 3600000
                                                                 : half_ms));
    QObject::connect(s.watchdog.get(), &QTimer::timeout, [] { ServiceNotify_Send("WATCHDOG=1"); });
    s.watchdog->start();
  }
  s.status_check = std::make_unique<QTimer>();
  s.status_check->setInterval(kStatusCheckMs);
  QObject::connect(s.status_check.get(), &QTimer::timeout, [] { SendStatusIfChanged(); });
  s.status_check->start();
  // The fields that follow the mode and the link change with them: compare at once.
  s.observer = plat::AddModelObserver([](plat::Hwnd hwnd, int id) {
    if (hwnd != Core().MainDialog) return;
    if (id == IDC_MODE || id == IDC_LINK_STATUS || id == IDC_LINK_STATUS2 ||
        id == IDC_ACTIVE_CONTROLLER || id == IDC_MESSAGE) {
      SendStatusIfChanged();
    }
  });
}

void ServiceNotify_Ready() {
  NotifyState& s = State();
  if (s.ready_sent || !ServiceNotify_Enabled()) return;
  s.ready_sent = true;
  RestoreDebugSink();
  s.last_status = ServiceNotify_Summary();
  ServiceNotify_Send("READY=1\nSTATUS=" + s.last_status);
}

void ServiceNotify_Stopping() {
  NotifyState& s = State();
  if (s.stopping_sent || !ServiceNotify_Enabled()) return;
  if (!s.ready_sent) {
    s.ready_sent = true;
    RestoreDebugSink();
    s.last_status =
        "Start-up failed: " +
        (s.startup_failure.empty() ? std::string("see the journal") : s.startup_failure);
    ServiceNotify_Send("READY=1\nSTATUS=" + s.last_status);
  }
  s.stopping_sent = true;
  ServiceNotify_Send("STOPPING=1");
}

void ServiceNotify_End() {
  NotifyState& s = State();
  if (s.observer >= 0) plat::RemoveModelObserver(s.observer);
  s.observer = -1;
  s.watchdog.reset();
  s.status_check.reset();
  RestoreDebugSink();
}

}  // namespace xarvel
