#include "platform/window.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <map>
#include <memory>
#include <utility>

namespace plat {
namespace {

struct Window {
  WndProc proc;
  bool top_level = false;
  std::string title;
  QPointer<QWidget> widget;
};

struct PendingData {
  uint32_t msg = 0;
  WParam param = 0;
  std::vector<uint8_t>* block = nullptr;
  Hwnd sender = kNoWindow;
};

// A message queued by PostMessage, carried to the main thread as a Qt event.
class PostedMessage : public QEvent {
 public:
  static QEvent::Type EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
  }
  PostedMessage(Hwnd to, uint32_t msg, WParam w, LParam l, bool from_peer = false,
                Hwnd sender = kNoWindow)
      : QEvent(EventType()),
        to_(to),
        msg_(msg),
        w_(w),
        l_(l),
        from_peer_(from_peer),
        sender_(sender) {}
  Hwnd to_;
  uint32_t msg_;
  WParam w_;
  LParam l_;
  // Posted by another process: the origin travels with the message until it is delivered.
  bool from_peer_;
  Hwnd sender_;
};

class Dispatcher : public QObject {
 public:
  using QObject::QObject;
  ~Dispatcher() override;

 protected:
  bool event(QEvent* e) override;
};

// Where the message a running procedure handles came from, innermost last.
struct Origin {
  // A plain message of another process: its lParam is a number, never a pointer.
  bool from_peer = false;
  // The data block handed off with the message (its address), 0 when none.
  LParam block = 0;
  // The other process's window that sent or posted the message; 0 for this process's own.
  Hwnd sender = kNoWindow;
};

struct State {
  std::map<Hwnd, Window> windows;
  Transport* transport = nullptr;
  Hwnd next_local = 1;
  std::vector<Hwnd> current;
  std::vector<Origin> origins;
  std::map<std::pair<Hwnd, uintptr_t>, QTimer*> timers;
  bool quit = false;
  int quit_code = 0;
  std::map<WParam, PendingData> pending;
  WParam next_token = 1;
  std::vector<size_t> handed_off;
};

State& S() {
  static State state;
  return state;
}

std::atomic<Dispatcher*> g_dispatcher{nullptr};

// Created on the main thread by the first window; posting threads only read the pointer. It
// belongs to the application object and goes with it; timers belong to it in turn.
Dispatcher* EnsureDispatcher() {
  Dispatcher* d = g_dispatcher.load();
  if (d == nullptr && QCoreApplication::instance() != nullptr) {
    d = new Dispatcher(QCoreApplication::instance());
    g_dispatcher.store(d);
  }
  return d;
}

Dispatcher::~Dispatcher() {
  g_dispatcher.store(nullptr);
  S().timers.clear();
}

LResult Dispatch(Hwnd hwnd, uint32_t msg, WParam w, LParam l, Origin origin = {}) {
  auto it = S().windows.find(hwnd);
  if (it == S().windows.end() || !it->second.proc) return 0;
  // The procedure may destroy its own window; keep a copy of it for the call.
  WndProc proc = it->second.proc;
  S().current.push_back(hwnd);
  S().origins.push_back(origin);
  LResult r = proc(hwnd, msg, w, l);
  // (A procedure that resets the window table leaves nothing to pop.)
  if (!S().origins.empty()) S().origins.pop_back();
  if (!S().current.empty()) S().current.pop_back();
  return r;
}

Hwnd NextLocalHandle() {
  for (int tries = 0; tries < 0xFFFE; ++tries) {
    Hwnd h = S().next_local;
    S().next_local = (h >= 0xFFFE) ? 1 : static_cast<Hwnd>(h + 1);
    if (S().windows.count(h) == 0) return h;
  }
  return kNoWindow;
}

// Marks the quit message among the posted messages (it goes to no window).
constexpr uint32_t kQuitMarker = 0xFFFFFFFF;

bool Dispatcher::event(QEvent* e) {
  if (e->type() != PostedMessage::EventType()) return QObject::event(e);
  auto* m = static_cast<PostedMessage*>(e);
  if (m->to_ == kNoWindow && m->msg_ == kQuitMarker) {
    if (S().quit) QCoreApplication::exit(S().quit_code);
  } else if (S().windows.count(m->to_) != 0) {
    Dispatch(m->to_, m->msg_, m->w_, m->l_, Origin{m->from_peer_, 0, m->sender_});
  } else if (m->from_peer_) {
    // A peer's post for a window that has gone in the meantime goes nowhere.
  } else if (m->to_ != kNoWindow && S().transport != nullptr) {
    S().transport->Post(CurrentWindow(), m->to_, m->msg_, m->w_, m->l_);
  }
  return true;
}

}  // namespace

void SetTransport(Transport* transport) {
  S().transport = transport;
}
Transport* GetTransport() {
  return S().transport;
}

Hwnd CreateWindow(WndProc proc, bool top_level) {
  EnsureDispatcher();
  Hwnd h = S().transport != nullptr ? S().transport->AcquireHandle(top_level) : NextLocalHandle();
  if (h == kNoWindow || h == HWND_BROADCAST || S().windows.count(h) != 0) return kNoWindow;
  Window w;
  w.proc = std::move(proc);
  w.top_level = top_level;
  S().windows.emplace(h, std::move(w));
  return h;
}

bool DestroyWindow(Hwnd hwnd) {
  if (S().windows.count(hwnd) == 0) return false;
  Dispatch(hwnd, WM_DESTROY, 0, 0);
  for (auto it = S().timers.begin(); it != S().timers.end();) {
    if (it->first.first == hwnd) {
      it->second->stop();
      it->second->deleteLater();
      it = S().timers.erase(it);
    } else {
      ++it;
    }
  }
  S().windows.erase(hwnd);
  if (S().transport != nullptr) S().transport->ReleaseHandle(hwnd);
  return true;
}

bool IsLocalWindow(Hwnd hwnd) {
  return S().windows.count(hwnd) != 0;
}

Hwnd CurrentWindow() {
  return S().current.empty() ? kNoWindow : S().current.back();
}

LResult SendMessage(Hwnd to, uint32_t msg, WParam w, LParam l) {
  if (to == kNoWindow) return 0;
  if (to == HWND_BROADCAST) {
    if (S().transport != nullptr) {
      S().transport->Broadcast(CurrentWindow(), msg, w, l);
      return 0;
    }
    std::vector<Hwnd> targets;
    for (const auto& [h, win] : S().windows) {
      if (win.top_level) targets.push_back(h);
    }
    for (Hwnd h : targets) Dispatch(h, msg, w, l);
    return 0;
  }
  if (S().windows.count(to) != 0) return Dispatch(to, msg, w, l);
  if (S().transport != nullptr) return S().transport->Send(CurrentWindow(), to, msg, w, l, nullptr);
  return 0;
}

bool PostMessage(Hwnd to, uint32_t msg, WParam w, LParam l) {
  Dispatcher* d = g_dispatcher.load();
  if (d == nullptr || to == kNoWindow) return false;
  QCoreApplication::postEvent(d, new PostedMessage(to, msg, w, l));
  return true;
}

bool SetTimer(Hwnd hwnd, uintptr_t id, unsigned ms) {
  Dispatcher* d = EnsureDispatcher();
  if (S().windows.count(hwnd) == 0 || d == nullptr) return false;
  auto key = std::make_pair(hwnd, id);
  QTimer*& timer = S().timers[key];
  if (timer == nullptr) {
    timer = new QTimer(d);
    QObject::connect(timer, &QTimer::timeout,
                     [hwnd, id]() { Dispatch(hwnd, WM_TIMER, static_cast<WParam>(id), 0); });
  }
  timer->start(static_cast<int>(ms));
  return true;
}

bool KillTimer(Hwnd hwnd, uintptr_t id) {
  auto it = S().timers.find(std::make_pair(hwnd, id));
  if (it == S().timers.end()) return false;
  // The timer may be the one whose expiry is being handled right now: delete it later.
  it->second->stop();
  it->second->deleteLater();
  S().timers.erase(it);
  return true;
}

unsigned TimerPeriod(Hwnd hwnd, uintptr_t id) {
  auto it = S().timers.find(std::make_pair(hwnd, id));
  return it == S().timers.end() ? 0u : static_cast<unsigned>(it->second->interval());
}

void PostQuitMessage(int code) {
  if (S().quit) return;
  S().quit = true;
  S().quit_code = code;
  // Queued behind the messages already posted, so they are handled before the loop ends.
  if (Dispatcher* d = EnsureDispatcher()) {
    QCoreApplication::postEvent(d, new PostedMessage(kNoWindow, kQuitMarker, 0, 0));
  }
}

bool QuitPosted() {
  return S().quit;
}

int RunMessageLoop() {
  if (S().quit || QCoreApplication::instance() == nullptr) return S().quit_code;
  return QCoreApplication::exec();
}

void SetWindowText(Hwnd hwnd, std::string_view text) {
  auto it = S().windows.find(hwnd);
  if (it == S().windows.end()) return;
  it->second.title.assign(text);
  if (it->second.widget) {
    it->second.widget->setWindowTitle(
        QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())));
  }
}

std::string GetWindowText(Hwnd hwnd) {
  auto it = S().windows.find(hwnd);
  return it == S().windows.end() ? std::string() : it->second.title;
}

void AttachWidget(Hwnd hwnd, QWidget* widget) {
  auto it = S().windows.find(hwnd);
  if (it != S().windows.end()) it->second.widget = widget;
}

QWidget* AttachedWidget(Hwnd hwnd) {
  auto it = S().windows.find(hwnd);
  return it == S().windows.end() ? nullptr : it->second.widget.data();
}

LResult DeliverDataMessage(Hwnd to, uint32_t msg, WParam param, std::vector<uint8_t>& block,
                           Hwnd sender) {
  if (S().windows.count(to) == 0) return 0;
  // Keep a terminator past the end, so a text block is always zero-terminated for the receiver;
  // it is not part of the block that travels back.
  const size_t size = block.size();
  block.push_back(0);
  const WParam token = S().next_token++;
  S().pending[token] = PendingData{msg, param, &block, sender};
  // The data message itself carries only the token: a number, whoever sent it.
  LResult r = Dispatch(to, kDataMessage, token, 0, Origin{sender != kNoWindow, 0, sender});
  S().pending.erase(token);
  block.resize(size);
  return r;
}

LResult HandOffDataMessage(Hwnd self, WParam w, LParam /*l*/) {
  auto it = S().pending.find(w);
  if (it == S().pending.end()) return 0;
  // A block is handed off once: a handler that hands the same token off again gets nothing,
  // so a data message can never recurse into itself.
  PendingData p = it->second;
  S().pending.erase(it);
  // The block carries its terminator while it is delivered; the receiver sees the size without.
  S().handed_off.push_back(p.block->size() - 1);
  const auto block = reinterpret_cast<LParam>(p.block->data());
  const LResult r = Dispatch(self, p.msg, p.param, block, Origin{false, block, p.sender});
  S().handed_off.pop_back();
  return r;
}

LResult DeliverPeerMessage(Hwnd to, uint32_t msg, WParam w, LParam l, Hwnd sender) {
  if (S().windows.count(to) == 0) return 0;
  return Dispatch(to, msg, w, l, Origin{true, 0, sender});
}

bool PostPeerMessage(Hwnd to, uint32_t msg, WParam w, LParam l, Hwnd sender) {
  Dispatcher* d = g_dispatcher.load();
  if (d == nullptr || to == kNoWindow) return false;
  QCoreApplication::postEvent(d, new PostedMessage(to, msg, w, l, true, sender));
  return true;
}

Hwnd MessageSender() {
  return S().origins.empty() ? kNoWindow : S().origins.back().sender;
}

bool IsHandedOffBlock(LParam l) {
  return l != 0 && !S().origins.empty() && S().origins.back().block == l;
}

bool PointerParamValid(LParam l) {
  return S().origins.empty() || !S().origins.back().from_peer || IsHandedOffBlock(l);
}

size_t HandedOffBlockSize() {
  return S().handed_off.empty() ? 0 : S().handed_off.back();
}

void ResetWindows() {
  for (auto& [key, timer] : S().timers) {
    timer->stop();
    timer->deleteLater();
  }
  if (Dispatcher* d = g_dispatcher.load()) QCoreApplication::removePostedEvents(d);
  Transport* transport = S().transport;
  S() = State{};
  S().transport = transport;
}

}  // namespace plat
