#include "interface/peer_watch.h"

#include <QTimer>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "config/profile.h"
#include "ids/window_ids.h"
#include "interface/interface_counters.h"
#include "interface/interface_upcalls.h"
#include "interface/kapisup.h"
#include "interface/lock_infodriver.h"
#include "platform/bus_client.h"
#include "platform/bus_host.h"
#include "tracing/debug.h"
#include "tracing/trace_stream.h"

namespace xarvel {
namespace {

struct Watch {
  plat::BusClient* bus = nullptr;
  // The one timer of the retries; single-shot, restarted with the next delay.
  std::unique_ptr<QTimer> timer;
  int delay_ms = kPeerRetryFirstMs;
  bool bus_lost = false;
  bool kapi_pending = false;
  bool info_pending = false;
  bool restart_needed = false;
  // "Still missing" is said once per loss, not on every retry.
  bool kapi_missing_said = false;
};

Watch& W() {
  static Watch watch;
  return watch;
}

// Retries soon: the first step of the back-off.
void RetrySoon() {
  Watch& w = W();
  if (!w.timer) return;
  if (w.timer->isActive() && w.timer->remainingTime() <= kPeerRetryFirstMs) return;
  w.delay_ms = kPeerRetryFirstMs;
  w.timer->start(w.delay_ms);
}

// Retries later: the next step of the back-off.
void RetryLater() {
  Watch& w = W();
  if (!w.timer) return;
  w.delay_ms = std::min(w.delay_ms * 2, kPeerRetryMaxMs);
  w.timer->start(w.delay_ms);
}

void OnBusLost() {
  Watch& w = W();
  DebugPrintAt(LogLevel::kWarning,
               "Xarvel - workstation bus lost: running on without the control system, reconnecting",
               1);
  Dlg_SetText(IDC_MESSAGE, " Workstation bus lost - reconnecting");
  TraceStream_BusLost();
  // The interface process's handle means nothing on the next host.
  Kapi().KapiWindow = plat::kNoWindow;
  w.bus_lost = true;
  w.kapi_pending = true;
  w.kapi_missing_said = false;
  if (LockInfodriver_Connected()) w.info_pending = true;
  // This may run inside a send that was waiting: the rest happens from the loop.
  QTimer::singleShot(0, [] { LockInfodriver_Lost(); });
  RetrySoon();
}

void OnWindowGone(plat::Hwnd h) {
  Watch& w = W();
  if (h == plat::kNoWindow) return;
  TraceStream_WindowGone(h);
  if (h == Kapi().KapiWindow) {
    DebugPrintAt(LogLevel::kWarning,
                 "Xarvel - the KIRN Interface window has gone: finding it again", 1);
    Kapi().KapiWindow = plat::kNoWindow;
    w.kapi_pending = true;
    w.kapi_missing_said = false;
    RetrySoon();
  }
  if (h == LockInfodriver_Window()) {
    QTimer::singleShot(0, [h] {
      if (LockInfodriver_Window() == h) LockInfodriver_Lost();
    });
  }
}

// A window of the driver lost its handle to another process: messages meant for it would
// reach that process. Only a fresh start gives every window a handle again.
void RestartForLostHandles(const std::vector<plat::Hwnd>& lost) {
  for (plat::Hwnd h : lost) {
    DebugPrintfAt(LogLevel::kErr, 1,
                  "Xarvel - window handle 0x%04x is held by another process on the new bus host: "
                  "shutting down to be started afresh",
                  h);
  }
  W().restart_needed = true;
  InterfaceUp().Shutdown(1);
}

void Tick() {
  Watch& w = W();
  if (w.bus == nullptr || Core().ShutdownDone) return;
  if (!w.bus->connected()) {
    std::string error;
    std::vector<plat::Hwnd> lost;
    if (!w.bus->Reconnect(plat::BusPath(), &error, &lost)) {
      RetryLater();
      return;
    }
    if (!lost.empty()) {
      RestartForLostHandles(lost);
      return;
    }
    w.bus_lost = false;
    ++InterfaceCount().BusReconnections;
    DebugPrintAt(LogLevel::kNotice,
                 "Xarvel - workstation bus back: attaching and registering again", 1);
  }
  if (w.kapi_pending) {
    if (KAPISup_Find() == 0) {
      if (!w.kapi_missing_said)
        DebugPrintAt(LogLevel::kWarning, "Xarvel - no KIRN Interface on the bus yet", 1);
      w.kapi_missing_said = true;
      RetryLater();
      return;
    }
    w.kapi_pending = false;
    DebugPrintAt(LogLevel::kNotice, "Attached OK to KAPI", 1);
    // A refusal ends the driver here as it does at start-up.
    if (KAPISup_Init() == 0) return;
    Dlg_SetText(IDC_MESSAGE, " Workstation bus back - devices registered again");
  }
  if (w.info_pending && Profile().settings.LockStatusInfodriverID > 0) {
    if (LockInfodriver_Reconnect() == 0) {
      RetryLater();
      return;
    }
  }
  w.info_pending = false;
  w.delay_ms = kPeerRetryFirstMs;
}

}  // namespace

void PeerWatch_Install(plat::BusClient* bus) {
  Watch& w = W();
  w = Watch{};
  w.bus = bus;
  w.timer = std::make_unique<QTimer>();
  w.timer->setSingleShot(true);
  QObject::connect(w.timer.get(), &QTimer::timeout, [] { Tick(); });
  bus->SetDisconnectHandler(OnBusLost);
  bus->SetWindowGoneHandler(OnWindowGone);
  LockInfo().OnLost = [] {
    W().info_pending = true;
    RetrySoon();
  };
}

void PeerWatch_Uninstall() {
  Watch& w = W();
  if (w.bus != nullptr) {
    w.bus->SetDisconnectHandler(nullptr);
    w.bus->SetWindowGoneHandler(nullptr);
  }
  LockInfo().OnLost = nullptr;
  const bool restart = w.restart_needed;
  w = Watch{};
  w.restart_needed = restart;
}

bool PeerWatch_BusLost() {
  return W().bus_lost;
}

bool PeerWatch_RestartNeeded() {
  return W().restart_needed;
}

}  // namespace xarvel
