#include "link/comsup.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "config/profile.h"
#include "ids/window_ids.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
#include "link/link_counters.h"
#include "link/link_state.h"
#include "link/serial.h"
#include "link/sockspawn.h"
#include "platform/debug_output.h"
#include "platform/msgbox.h"
#include "protocol/ntp.h"
#include "tracing/debug.h"
#include "ui/dialog_state.h"

namespace xarvel {
namespace {

constexpr int kConnected = 1;
constexpr int kDisconnected = 2;
constexpr int kResetCountMax = 9999;
// Bytes taken from the wire per pass of a receive pump.
constexpr int kReadChunk = 256;
// Line speed assumed when the profile names none.
constexpr unsigned kDefaultSpeed = 38400;
// Least time between two attempts to open a serial device that has gone.
constexpr int64_t kReopenMs = 1000;

// The two controller connections of TCP mode. Created on first use, on the main thread.
struct Sockets {
  std::unique_ptr<SockSpawn> a;
  std::unique_ptr<SockSpawn> b;
};

Sockets& Socks() {
  static Sockets sockets;
  return sockets;
}

SockSpawn& SocketA() {
  if (!Socks().a) Socks().a = std::make_unique<SockSpawn>();
  return *Socks().a;
}

SockSpawn& SocketB() {
  if (!Socks().b) Socks().b = std::make_unique<SockSpawn>();
  return *Socks().b;
}

std::function<void(std::string_view)>& SendTap() {
  static std::function<void(std::string_view)> tap;
  return tap;
}

bool TcpMode() {
  return Profile().settings.Connection_Mode == 2;
}

int UnAckLimit() {
  return Profile().settings.MaxUnACKedRoutesBeforeCommsFail;
}

// ComSup_SetComState takes its serial paths only in serial mode proper: connection mode 0 (a
// mode text the profile did not recognise) uses the serial port but the TCP state paths.
bool SerialStatePaths() {
  return Profile().settings.Connection_Mode == 1;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Keeps the time the link stopped being OK, for a check that asks how long it has been down.
void NoteComState(int before, int after) {
  if (after == kComOk) {
    LinkCount().NotOkSinceUnixMs = 0;
    if (before != kComOk) DebugPrintAt(LogLevel::kNotice, "ComSup - link to the controller OK", 1);
  } else if (before == kComOk) {
    LinkCount().NotOkSinceUnixMs = WallMs();
    // The journal's one line for a link that went down, whatever the way (silence, a close).
    DebugPrintAt(LogLevel::kErr, "ComSup - link to the controller failed", 1);
  }
}

void ReopenSerialIfGone();

// --- The send window and the writes.

// Bits on the line for one character: start bit, data bits, parity bit, one stop bit.
int BitsPerCharacter() {
  const Settings& s = Profile().settings;
  const int data = s.DataBits >= 5 && s.DataBits <= 8 ? s.DataBits : 8;
  return 1 + data + (s.Parity == 'n' || s.Parity == 0 ? 0 : 1) + 1;
}

// The send window with the profile's settings of the moment. Over TCP the line speed is assumed
// as well: the controller may well sit behind a serial converter at the far end, and the speed
// key is the best guide the profile has.
SendWindow& Win() {
  const Settings& s = Profile().settings;
  WindowConfig config;
  config.unack_limit = UnAckLimit();
  config.reply_timeout_ms = s.ReplyTimeoutMs;
  config.speed = s.Speed > 0 ? s.Speed : kDefaultSpeed;
  config.bits_per_character = BitsPerCharacter();
  config.tcp = TcpMode();
  config.dual = s.Dual_Controllers != 0;
  SendWindow& w = Link().Window;
  w.Configure(config);
  // RX only forbids routes whichever way the mode was reached.
  w.SetRxOnly(Kapi().DriverMode == IFMODE_RXONLY);
  return w;
}

// The revertive owed for a destination asked again after a refused route: the source the
// driver holds for it.
void SendOwedRevertive(const RouteOrigin& route) {
  if (route.device > 0) SendRevertives(route.device, route.dest, route.dest, 1, 0);
}

// Counts and traces what the window gave up, and answers for the routes the controller refused:
// each is traced and counted once (not as a drop: the controller answered), its destination is
// asked again and the control system gets one revertive of the source the controller really
// has. The route itself is not written again.
void FlushDrops() {
  for (const LinkCommand& r : Link().Window.TakeRefused()) {
    const RouteOrigin& route = r.origin.route;
    ++LinkCount().RefusedByController;
    if (route.device > 0) {
      DebugPrintfAt(LogLevel::kNotice, 1, "ROUTE %d %d %d refused by the controller", route.device,
                    route.dest, route.source);
    }
    if (route.device > 0 && r.level >= 0 && r.level < kRouterCount) {
      NTP_Interrogate(r.level, route.dest, Asker::kRecheck);
    }
  }
  for (const WindowDrop& d : Link().Window.TakeDrops()) {
    if (d.command.origin.asker == Asker::kRecheck) {
      // Given up before its answer came: the source the driver holds is the best it knows.
      SendOwedRevertive(d.command.origin.route);
      continue;
    }
    if (d.passed_over) {
      std::string text = d.command.text;
      while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
      DebugPrintfAt(LogLevel::kDebug, 1,
                    "ComSup - no answer to %s within its reply timeout - given up", text.c_str());
    }
    ComSup_CountDrop(d.reason, d.command.text, d.command.origin.route, d.abandoned);
  }
}

// A command is written when the link can carry it: over TCP to the active controller, serially
// once ComSup_Init has opened the port.
bool CanWrite() {
  if (TcpMode()) return Link().ActiveController != kControllerNone;
  return Link().SerialOpened;
}

LinkCommand MakeCommand(const char* text, int length, const CommandOrigin& origin) {
  LinkCommand c;
  c.text.assign(text, static_cast<size_t>(length));
  c.origin = origin;
  ClassifyCommand(c);
  return c;
}

// Writes one command on the serial port or to the active controller, and hands it to the
// window. A route or interrogate command then awaits its answer, even when the write failed:
// the reply timeout finds out what became of it, and the window keeps a failing port from being
// written in a tight loop. A route of the control system leaves a trace line naming the
// connection ("A", "B" or "serial" and that channel's connection count).
void Write(LinkCommand c) {
  LinkState& link = Link();
  const int length = static_cast<int>(c.text.size());
  LinkChannel channel = kChannelSerial;
  bool failed = false;
  if (TcpMode()) {
    channel = link.ActiveController == kControllerB ? kChannelB : kChannelA;
    SockSpawn& socket = channel == kChannelB ? SocketB() : SocketA();
    socket.Send(c.text.data(), length);
    ++LinkCount().CommandsSent;
  } else {
    const int written = Serial_Write(link.SerialPort, c.text.data(), length);
    if (written > 0) ++LinkCount().CommandsSent;
    if (written <= 0) {
      Serial_ClearError(link.SerialPort, nullptr);
      failed = true;
    }
  }
  if (c.is_route() && c.origin.route.device > 0) {
    DebugPrintfAt(LogLevel::kDebug, 0, "ROUTE %d %d %d written %s %llu", c.origin.route.device,
                  c.origin.route.dest, c.origin.route.source, LinkChannelName(channel),
                  static_cast<unsigned long long>(LinkCount().Connections[channel]));
  }
  if (link.UnAckedCount < INT_MAX) ++link.UnAckedCount;
  Win().Written(std::move(c), NowUs());
  // A device that has gone is opened again; what it had not answered, this command included,
  // goes again in order on the new one.
  if (failed) ReopenSerialIfGone();
}

// The first router at or after `from` whose destinations the resync walk covers, or -1.
int ResyncRouterFrom(int from) {
  for (int i = from < 0 ? 0 : from; i < kRouterCount; ++i) {
    const RouterConfig& r = Profile().routers[static_cast<size_t>(i)];
    if (r.DeviceId > 0 && r.Min_Dest >= 1 && r.Min_Dest <= r.Max_Dest) return i;
  }
  return -1;
}

// Starts the resync walk from the first router's Min_Dest (a walk under way goes on when
// `restart` is false).
void ResyncStart(bool restart) {
  LinkState& link = Link();
  const Settings& s = Profile().settings;
  if (s.Simulation == 1 || s.ResyncOnConnect == 0) return;
  if (!restart && link.ResyncRouter >= 0) return;
  link.ResyncRouter = ResyncRouterFrom(0);
  if (link.ResyncRouter < 0) return;
  link.ResyncDest = Profile().routers[static_cast<size_t>(link.ResyncRouter)].Min_Dest;
  DebugPrintAt(LogLevel::kNotice,
               "ComSup - resync: interrogating every destination of every router", 1);
}

// Moves the walk to the next destination, the next router after the last, or ends it.
void ResyncAdvance() {
  LinkState& link = Link();
  const RouterConfig& r = Profile().routers[static_cast<size_t>(link.ResyncRouter)];
  if (link.ResyncDest < r.Max_Dest) {
    ++link.ResyncDest;
    return;
  }
  link.ResyncRouter = ResyncRouterFrom(link.ResyncRouter + 1);
  if (link.ResyncRouter < 0) {
    DebugPrintAt(LogLevel::kNotice, "ComSup - resync done", 0);
    return;
  }
  link.ResyncDest = Profile().routers[static_cast<size_t>(link.ResyncRouter)].Min_Dest;
}

// One interrogate of the resync walk, when the window has a slot for it.
bool ResyncStep() {
  LinkState& link = Link();
  if (link.ResyncRouter < 0 || !Win().ResyncSlotFree()) return false;
  const int router = link.ResyncRouter;
  const int dest = link.ResyncDest;
  ResyncAdvance();
  NTP_Interrogate(router, dest, Asker::kResync);
  return true;
}

// The connection of controller `letter` is gone: what it had not confirmed waits for the next.
void RequeueSent(char letter) {
  const int before = Win().QueueDepth();
  Win().ConnectionLost(NowUs());
  FlushDrops();
  const int back = Win().QueueDepth() - before;
  if (back > 0) {
    DebugPrintfAt(LogLevel::kNotice, 1,
                  "ComSup - holding %d unanswered command(s) of controller %c for the next one",
                  back, letter);
  }
}

// Starts, moves or stops the link timer for the next thing the window has due. A timer due no
// later than that is left to run: its expiry looks at the time and arms the timer again.
void ArmTimer() {
  LinkState& link = Link();
  const int64_t due = Win().NextDueUs();
  const plat::Hwnd window = Core().MainWindow;
  if (due == 0) {
    if (link.TimerDueUs != 0) plat::KillTimer(window, kTimerLink);
    link.TimerDueUs = 0;
    return;
  }
  if (link.TimerDueUs != 0 && link.TimerDueUs <= due) return;
  // Rounded up to whole milliseconds; a timer that fires early is armed again for the rest.
  const int64_t wait_ms = std::clamp<int64_t>((due - NowUs() + 999) / 1000, 1, INT_MAX);
  if (plat::SetTimer(window, kTimerLink, static_cast<unsigned>(wait_ms))) link.TimerDueUs = due;
}

// The probe, when the window says it is due: an interrogate of a destination the controller has
// answered on this connection, written beyond the window.
void ProbeStep() {
  int level = -1;
  int dest = -1;
  if (!CanWrite() || !Win().ProbeDue(NowUs(), &level, &dest)) return;
  const std::string text =
      ".I" + std::string(1, static_cast<char>('A' + level)) + std::to_string(dest) + "\r";
  CommandOrigin origin;
  origin.asker = Asker::kProbe;
  DebugPrintfAt(LogLevel::kDebug, 0, "ComSup - probe TX> %s", text.c_str());
  Write(MakeCommand(text.data(), static_cast<int>(text.size()), origin));
}

// Writes what the window allows, in queue order, then resync interrogates into free slots, then
// the probe if it is due.
void Drain() {
  LinkState& link = Link();
  if (link.Draining || Profile().settings.Simulation == 1) return;
  link.Draining = true;
  while (CanWrite()) {
    LinkCommand c;
    if (Win().NextToWrite(&c)) {
      Write(std::move(c));
      continue;
    }
    if (!ResyncStep()) break;
  }
  ProbeStep();
  link.Draining = false;
  FlushDrops();
  ArmTimer();
}

// Leaves the active controller: its socket is closed, what it had not confirmed waits for the
// next one.
void LeaveActiveController() {
  LinkState& link = Link();
  if (link.ActiveController == kControllerA) {
    RequeueSent('A');
    SocketA().Close();
    Dlg_SetText(IDC_LINK_STATUS, "Disconnected");
    link.ActiveController = kControllerNone;
    link.ConnStateA = kDisconnected;
    Dlg_SetText(IDC_MESSAGE, "Comms Failed - Lost connection to Controller A");
  } else if (link.ActiveController == kControllerB) {
    RequeueSent('B');
    SocketB().Close();
    Dlg_SetText(IDC_LINK_STATUS2, "Disconnected");
    link.ActiveController = kControllerNone;
    link.ConnStateB = kDisconnected;
    Dlg_SetText(IDC_MESSAGE, "Comms Failed - Lost connection to Controller B");
  }
}

// No answer has come from the controller for the reply timeout while commands were
// outstanding. Over TCP the connection is left for the other controller (or, with one, for a
// new connection after a pause), in the failed state as in the OK state. A serial line is
// handled alike, on the same line: for the hold (kHoldMs from the first silence) the commands
// written await their answers, what waits waits in order, and the driver stays as it is; only
// when the hold is over (HoldOver) does it go RX only. After the hold the commands written are
// not waited for.
void DeclareSilence(int64_t now, int64_t quiet_us) {
  const long long quiet = quiet_us / 1000;
  LinkState& link = Link();
  const int outstanding = Win().Outstanding();
  if (TcpMode()) {
    const int silent = link.ActiveController;
    DebugPrintfAt(LogLevel::kErr, 1,
                  "Xarvel SendData(IP) - no reply for %lld ms with %d command(s) outstanding - "
                  "setting comms fail flag ",
                  quiet, outstanding);
    if (silent != kControllerNone) Win().ControllerLost(silent, true, now);
    if (link.ComState != kComFailed) {
      ComSup_SetComState(kComFailed);
    } else {
      LeaveActiveController();
    }
    ComSup_IpConnect();
    return;
  }
  if (link.ComState != kComFailed) {
    DebugPrintfAt(LogLevel::kErr, 1,
                  "Xarvel SendData(serial) - no reply for %lld ms with %d command(s) outstanding - "
                  "holding the commands for %lld s",
                  quiet, outstanding, static_cast<long long>(kHoldMs / 1000));
    Win().LineSilent(now);
    FlushDrops();
    ComSup_SetComState(kComFailed);
    return;
  }
  if (Win().Holding()) {
    // Failed already, within the hold: the commands still await their answers.
    Win().LineSilent(now);
    DebugPrintfAt(LogLevel::kWarning, 1,
                  "ComSup - still no reply from the controller - %d command(s) await an answer",
                  outstanding);
    FlushDrops();
    return;
  }
  // Failed already, the hold over: the commands written since are not waited for, and nothing
  // else changes.
  DebugPrintfAt(LogLevel::kWarning, 1,
                "ComSup - still no reply from the controller - %d command(s) given up",
                outstanding);
  Win().GiveUpOutstanding();
  FlushDrops();
}

// A serial line silent for the whole hold: what waited has been given up (held_too_long), and
// the driver goes RX only (in serial mode proper), so that its partner may take over.
void HoldOver() {
  if (!SerialStatePaths()) {
    DebugPrintfAt(LogLevel::kErr, 1,
                  "ComSup - no reply for %lld s - the waiting commands are given up",
                  static_cast<long long>(kHoldMs / 1000));
    return;
  }
  DebugPrintfAt(LogLevel::kErr, 1,
                "Xarvel SendData(serial) - no reply for %lld s - setting mode rxonly",
                static_cast<long long>(kHoldMs / 1000));
  KAPISup_LinkRxOnly();
  Dlg_SetText(IDC_LINK_STATUS, " Comms Fail ");
  Dlg_SetText(IDC_MESSAGE,
              Kapi().DriverMode == IFMODE_RXONLY
                  ? " Comms Failed - no response from hardware - Driver in RX-Only mode "
                  : " Comms Failed - no response from hardware ");
}

// Counts one more time the link became OK; 1..9999, then 1 again.
int BumpResetCount(int& count) {
  count = count >= kResetCountMax || count < 0 ? 1 : count + 1;
  return count;
}

void ShowCount(int control, int count) {
  char text[16];
  std::snprintf(text, sizeof text, "%0d", count);
  Dlg_SetText(control, text);
}

// Hands every byte waiting on the socket to the reply decoder. One byte is the smallest unit the
// decoder takes; the socket reports a further read event while bytes remain, so taking all that
// is waiting now only saves event round trips.
void ReadSocket(SockSpawn& socket, const char* error_text) {
  unsigned char buffer[kReadChunk];
  const int n = socket.Receive(buffer, sizeof buffer);
  if (socket.LastError() != 0) {
    DebugPrintAt(LogLevel::kWarning, error_text, 1);
    return;
  }
  if (n > 0) NTP_RxBytes(buffer, static_cast<size_t>(n));
}

// The network events of one controller's connection. `self` is 1 for A, 2 for B.
void NetEvent(SockSpawn& socket, int self) {
  const bool is_a = self == kControllerA;
  LinkState& link = Link();
  int& state = is_a ? link.ConnStateA : link.ConnStateB;
  const int status_field = is_a ? IDC_LINK_STATUS : IDC_LINK_STATUS2;
  const char letter = is_a ? 'A' : 'B';
  const int error = socket.LastError();
  switch (socket.LastEvent()) {
    case FD_CLOSE: {
      char text[64];
      std::snprintf(text, sizeof text, "MC1000 driver - Net %c FD Close \n", letter);
      plat::OutputDebugString(text, plat::LogLevel::kWarning);
      Dlg_SetText(status_field, "DisConnected");
      state = kDisconnected;
      if (link.ActiveController == self) {
        Dlg_SetText(IDC_ACTIVE_CONTROLLER, " ");
        link.ActiveController = kControllerNone;
        NoteComState(link.ComState, kComFailed);
        link.ComState = kComFailed;
        // What this controller had not confirmed goes to the next one; the hold runs from now,
        // and the other controller of a pair is tried first.
        Win().ControllerLost(self, false, NowUs());
        RequeueSent(letter);
        link.ResyncRouter = -1;
        Win().LinkFailed();
        Drain();
      }
      break;
    }
    case FD_CONNECT:
      if (error != 0) {
        char text[80];
        std::snprintf(text, sizeof text, "MC1000 driver - Net %c FD Connected fail status=%d \n",
                      letter, error);
        plat::OutputDebugString(text, plat::LogLevel::kDebug);
        socket.Close();
        Dlg_SetText(status_field, "Disconnected!");
        state = kDisconnected;
        if (link.ActiveController == self) {
          Dlg_SetText(IDC_ACTIVE_CONTROLLER, " ");
          link.ActiveController = kControllerNone;
        }
      } else {
        plat::OutputDebugString(is_a ? "MC1000 driver - Net A FD Connected ok\n"
                                     : "MC1000 driver - Net B FD Connected ok \n",
                                plat::LogLevel::kNotice);
        Dlg_SetText(status_field, "Connected OK");
        state = kConnected;
        ++LinkCount().Connections[is_a ? kChannelA : kChannelB];
        // The controller used last was the other one: the pair has failed over.
        if (link.LastConnected != kControllerNone && link.LastConnected != self) {
          ++LinkCount().Failovers;
        }
        link.LastConnected = self;
        Dlg_SetText(IDC_MESSAGE, is_a ? " Connected to and Using Controller A "
                                      : " Connected to and Using Controller B ");
        link.ActiveController = self;
        Dlg_SetText(IDC_ACTIVE_CONTROLLER, is_a ? "A" : "B");
        // The other controller's attempt (or connection) is not wanted any more.
        if (is_a) {
          if (Socks().b) Socks().b->Close();
        } else {
          if (Socks().a) Socks().a->Close();
        }
        // Commands that arrived while no controller was active, and those the lost one had not
        // confirmed, go to this one now, in order, so that a failover loses no route; then the
        // resync walk brings in what changed at the router meanwhile.
        if (link.ActiveController == self) {
          const size_t held = Win().ConnectionMade(NowUs());
          FlushDrops();
          if (held > 0) {
            DebugPrintfAt(LogLevel::kNotice, 1,
                          "ComSup - sending %d held command(s) to controller %c",
                          static_cast<int>(held), letter);
          }
          ResyncStart(true);
          Drain();
        }
      }
      break;
    case FD_READ:
      if (error != 0) {
        DebugPrintAt(LogLevel::kWarning,
                     is_a ? "Main Server_1---Read Error-2--" : " B Server_1---Read Error-2--", 1);
      } else {
        ReadSocket(socket,
                   is_a ? "Main Server_1---Read Error-1--" : " B Server_1---Read Error-1--");
      }
      break;
    default:
      break;
  }
}

void StartConnect(SockSpawn& socket, const std::string& address, bool is_a) {
  DebugPrintAt(LogLevel::kDebug,
               is_a ? "ComSUp_IpConnect - trying to connect to server A"
                    : "ComSUp_IpConnect - trying to connect to server B",
               1);
  const int result = socket.Open(address, Profile().settings.IP_Port);
  const int notify = socket.SetNotify(
      is_a ? SockSpawn::Callback(NetA_Event) : SockSpawn::Callback(NetB_Event), FD_READ);
  DebugPrintfAt(LogLevel::kDebug, 1, "ComSup_IpConnect -%c- open result is %d  notify result %s ",
                is_a ? 'A' : 'B', result, notify != 0 ? "true" : "false");
}

// The serial channel's parity code for the profile's parity letter.
int ParityCode() {
  switch (Profile().settings.Parity) {
    case 'o':
      return ODDPARITY;
    case 'e':
      return EVENPARITY;
    case 'm':
      return MARKPARITY;
    case 's':
      return SPACEPARITY;
    default:
      return NOPARITY;
  }
}

// After a failed write: a serial device that has gone away (an unplugged adapter, a
// pseudo-terminal replaced by a new one) is opened again by its number, at most once per
// kReopenMs, so the link comes back without a restart of the driver.
void ReopenSerialIfGone() {
  LinkState& link = Link();
  if (link.SerialPort >= 0 && !Serial_DeviceGone(link.SerialPort)) return;
  const int64_t now = NowMs();
  if (link.SerialReopenMs != 0 && now - link.SerialReopenMs < kReopenMs) return;
  link.SerialReopenMs = now;
  const Settings& s = Profile().settings;
  Serial_ClosePort(link.SerialPort);
  link.SerialPort =
      Serial_OpenPort(s.Com, static_cast<int>(s.Speed), s.DataBits, ONESTOPBIT, ParityCode());
  if (link.SerialPort < 0) {
    // Said once per outage, not on every attempt.
    if (!link.SerialGone) {
      DebugPrintfAt(LogLevel::kErr, 1,
                    "ComSup - serial port COM%d has gone; opening it again failed (%d)", s.Com,
                    link.SerialPort);
    }
    link.SerialGone = true;
    return;
  }
  link.SerialGone = false;
  ++LinkCount().Connections[kChannelSerial];
  // A new line: what the old one carried unanswered goes again, in order, and nothing is known
  // yet of how the controller answers on it.
  Win().ConnectionLost(NowUs());
  Win().ConnectionMade(NowUs());
  FlushDrops();
  Serial_EnableNotify(link.SerialPort, Core().MainWindow, 1);
  NTP_ResetReceiver();
  DebugPrintfAt(LogLevel::kNotice, 1, "ComSup - serial port COM%d had gone; opened again", s.Com);
  // What changed at the router while the line was gone comes in through the resync walk.
  ResyncStart(true);
}

// The first defined router, or -1: the router named to the interface for an answer that names
// none.
int FirstDefinedRouter() {
  for (int i = 0; i < kRouterCount; ++i) {
    if (Profile().routers[static_cast<size_t>(i)].DeviceId > 0) return i;
  }
  return -1;
}

// The link-state side of an answer (a route report, an acknowledgement, a lock status or a name
// acknowledgement that answered a command), as the connection mode and the state ask.
void ConfirmLink(int router_index) {
  LinkState& link = Link();
  auto confirm_tcp = [&link] {
    ComSup_SetComState(kComOk);
    link.UnAckedCount = 0;
    KAPISup_LinkReturn();
  };
  if (TcpMode()) {
    const bool unconfirmed = link.ComState == kComUnconfirmed || link.ComState == kComFailed;
    // Controller B confirms the link from the unconfirmed state as A does: with A out of reach
    // from the start, B is the only controller there is.
    if (link.ActiveController == kControllerA && unconfirmed) {
      confirm_tcp();
    } else if (link.ActiveController == kControllerB && Profile().settings.Dual_Controllers != 0 &&
               unconfirmed) {
      confirm_tcp();
    }
    return;
  }
  if (link.ComState == kComFailed) {
    const int device = router_index >= 0 && router_index < kRouterCount
                           ? Profile().routers[static_cast<size_t>(router_index)].DeviceId
                           : 0;
    const plat::LResult mode =
        plat::SendMessage(Kapi().KapiWindow, ZUT_GETDEVMODE, Core().MainWindow, device);
    char text[96];
    std::snprintf(text, sizeof text, "ZZZpoint1 returns mode %d for dev %d \n",
                  static_cast<int>(mode), device);
    plat::OutputDebugString(text, plat::LogLevel::kDebug);
    // The link's return: TX/RX again only where the link itself had taken it away.
    const int mode_now = KAPISup_LinkReturn();
    std::snprintf(text, sizeof text, "ZZZpoint2 returns mode %d for dev %d \n", mode_now, device);
    plat::OutputDebugString(text, plat::LogLevel::kDebug);
    ComSup_SetComState(kComOk);
    link.UnAckedCount = 0;
  } else if (link.ComState == kComUnconfirmed) {
    ComSup_SetComState(kComOk);
    link.UnAckedCount = 0;
  }
}

}  // namespace

int ComSup_Init() {
  LinkState& link = Link();
  // No controller is chosen yet and none has been reset: the link starts from nothing.
  link.ActiveController = kControllerNone;
  link.ResetCountA = 0;
  link.ResetCountB = 0;
  link.UnAckedCount = 0;
  link.ComState = kComUnconfirmed;
  link.ConnStateA = kDisconnected;
  link.ConnStateB = kDisconnected;
  link.Window.Reset();
  link.FrameAnswered = false;
  link.ResyncRouter = -1;
  Dlg().PollPointer = 0;
  const Settings& s = Profile().settings;
  if (s.Simulation == 1) {
    NTP_ResetReceiver();
    link.ComState = kComOk;
    return 1;
  }
  if (TcpMode()) {
    // No controller yet: commands are held from now.
    Win().ConnectionLost(NowUs());
    ComSup_IpConnect();
    NTP_ResetReceiver();
    return 1;
  }
  const int result = ComSup_OpenComm(s.Com);
  NTP_ResetReceiver();
  if (result == 1) {
    link.SerialOpened = true;
    ResyncStart(true);
    Drain();
  }
  return result;
}

int ComSup_OpenComm(int port) {
  const Settings& s = Profile().settings;
  // The port always runs with one stop bit; "StopBits" is only shown.
  Link().SerialPort =
      Serial_OpenPort(port, static_cast<int>(s.Speed), s.DataBits, ONESTOPBIT, ParityCode());
  DebugPrintf(0, "ComSup_OpenComm COM %d %d", port, Link().SerialPort);
  if (Link().SerialPort < 0) {
    char text[64];
    std::snprintf(text, sizeof text, "Can't open serial port %d", port);
    plat::MessageBox(Core().MainWindow, text, kErrorCaption);
    DebugPrintAt(LogLevel::kErr, text, 0);
    Dlg_SetText(IDC_LINK_STATUS, "OpenPort FAIL");
    return 0;
  }
  Dlg_SetText(IDC_LINK_STATUS, "ComPort Open");
  ++LinkCount().Connections[kChannelSerial];
  const int enabled = Serial_EnableNotify(Link().SerialPort, Core().MainWindow, 1);
  DebugPrint(enabled != 0 ? "ComSup_OpenComm enable true" : "ComSup_OpenComm enable false", 1);
  return 1;
}

void ComSup_CloseComm() {
  Serial_ClosePort(Link().SerialPort);
  Link().SerialPort = -1;
  Link().SerialOpened = false;
}

void ComSup_Shutdown() {
  // What never left is given up and traced; what was written is the controller's.
  Win().Shutdown();
  FlushDrops();
  if (TcpMode()) {
    ComSup_IpClose();
  } else {
    ComSup_CloseComm();
  }
  LinkState& link = Link();
  link.SerialOpened = false;
  if (link.TimerDueUs != 0) plat::KillTimer(Core().MainWindow, kTimerLink);
  link.TimerDueUs = 0;
}

void ComSup_SetSendTap(std::function<void(std::string_view)> tap) {
  SendTap() = std::move(tap);
}

void SendData(const char* text, int length) {
  SendData(text, length, CommandOrigin{});
}

void SendData(const char* text, int length, const CommandOrigin& origin) {
  if (text == nullptr || length <= 0) return;
  if (SendTap()) SendTap()(std::string_view(text, static_cast<size_t>(length)));
  // In simulation there is no controller: nothing goes out and nothing waits for an answer.
  if (Profile().settings.Simulation == 1) return;
  LinkState& link = Link();
  LinkCommand c = MakeCommand(text, length, origin);
  if (origin.asker == Asker::kResync) {
    // The walk asks only when the window has a slot for it.
    if (CanWrite()) Write(std::move(c));
    return;
  }
  const bool no_controller = TcpMode() && link.ActiveController == kControllerNone;
  if (no_controller && origin.asker == Asker::kPoll) {
    // The poll's tick starts the connection attempts; its interrogate is not held, it is asked
    // again once a controller is there.
    ComSup_IpConnect();
    return;
  }
  if (no_controller)
    DebugPrintAt(LogLevel::kDebug, "SendData - Controller UNKNOWN - ERROR Status", 1);
  // A destination asked again after a refusal goes first: the control system awaits its answer.
  Win().Submit(std::move(c), NowUs(), origin.asker == Asker::kRecheck);
  FlushDrops();
  if (no_controller) ComSup_IpConnect();
  Drain();
}

int ComSup_QueueDepth() {
  return Link().Window.QueueDepth();
}

int ComSup_Outstanding() {
  return Link().Window.Outstanding();
}

bool ComSup_PollMayAsk() {
  if (Profile().settings.Simulation == 1) return true;
  if (TcpMode() && Link().ActiveController == kControllerNone) return false;
  return !Link().Window.PollWaiting();
}

void ComSup_Timer() {
  LinkState& link = Link();
  link.TimerDueUs = 0;
  const int64_t now = NowUs();
  int64_t quiet = 0;
  const Verdict verdict = Win().Tick(now, &quiet);
  FlushDrops();
  if (verdict == Verdict::kSilent) DeclareSilence(now, quiet);
  if (verdict == Verdict::kHoldOver) HoldOver();
  FlushDrops();
  // A single silent controller's pause is over: try it again.
  if (TcpMode() && link.ActiveController == kControllerNone && Win().RetryAtUs() != 0 &&
      Win().RetryAtUs() <= now) {
    ComSup_IpConnect();
  }
  Drain();
  ArmTimer();
}

bool ComSup_RouteEntry(int router_index, char type, int controller_dest, int controller_source) {
  WindowAnswer answer;
  bool owed = false;
  if (Win().Entry(type, router_index, controller_dest, controller_source, NowUs(), &answer)) {
    LinkCount().RouteReportLatency.Observe(answer.latency_us);
    Link().FrameAnswered = true;
    owed = answer.command.origin.asker == Asker::kRecheck;
  }
  FlushDrops();
  Drain();
  return owed;
}

void ComSup_Ack() {
  WindowAnswer answer;
  if (!Win().Ack(NowUs(), &answer)) return;
  // An interrogate asked again after a refusal, answered without a source: the driver's own.
  if (answer.command.origin.asker == Asker::kRecheck) {
    SendOwedRevertive(answer.command.origin.route);
  }
  FlushDrops();
  // The acknowledgement proves the command path; the count of commands sent since the last
  // route report is the route reports' to clear.
  const int unacked = Link().UnAckedCount;
  ConfirmLink(answer.command.level >= 0 ? answer.command.level : FirstDefinedRouter());
  Link().UnAckedCount = unacked;
  Drain();
}

void ComSup_LockStatus(int lock_dest) {
  if (!Win().LockStatus(lock_dest, NowUs())) return;
  FlushDrops();
  ConfirmLink(FirstDefinedRouter());
  Drain();
}

void ComSup_NameAck() {
  if (!Win().NameAck(NowUs())) return;
  FlushDrops();
  ConfirmLink(FirstDefinedRouter());
  Drain();
}

void ComSup_ModeChanged() {
  Win();
  FlushDrops();
}

void ComSup_ReadComm() {
  unsigned char buffer[kReadChunk];
  if (TcpMode()) {
    SockSpawn* socket = Link().ActiveController == kControllerA   ? Socks().a.get()
                        : Link().ActiveController == kControllerB ? Socks().b.get()
                                                                  : nullptr;
    if (socket == nullptr) return;
    for (;;) {
      const int n = socket->Receive(buffer, sizeof buffer);
      if (socket->LastError() != 0 || n <= 0) return;
      NTP_RxBytes(buffer, static_cast<size_t>(n));
    }
  }
  for (;;) {
    const int n = Serial_Read(Link().SerialPort, buffer, sizeof buffer);
    if (n <= 0) break;
    NTP_RxBytes(buffer, static_cast<size_t>(n));
  }
  Serial_ClearError(Link().SerialPort, nullptr);
}

void ComSup_SetComState(int state) {
  LinkState& link = Link();
  if (state == kComOk) {
    if (link.ComState == kComOk) return;
    Dlg().PollRouter = Profile().CurrentRouter;
    Dlg().PollPointer = 0;
    NoteComState(link.ComState, kComOk);
    link.ComState = kComOk;
    if (SerialStatePaths()) {
      Dlg_SetText(IDC_LINK_STATUS, " Comms Ok ");
      KAPISup_LinkReturn();
      ShowCount(IDC_RESETS_A, BumpResetCount(link.ResetCountA));
    } else if (link.ActiveController == kControllerA) {
      Dlg_SetText(IDC_LINK_STATUS, "Connected Ok");
      ShowCount(IDC_RESETS_A, BumpResetCount(link.ResetCountA));
    } else if (link.ActiveController == kControllerB) {
      Dlg_SetText(IDC_LINK_STATUS2, "Connected OK");
      ShowCount(IDC_RESETS_B, BumpResetCount(link.ResetCountB));
    }
    Dlg_SetText(IDC_MESSAGE, " ");
    // What changed at the router while the link was not OK comes in through the resync walk
    // (one started at the connect goes on).
    if (CanWrite()) ResyncStart(false);
    return;
  }
  if (state != kComFailed || link.ComState == kComFailed) return;
  NoteComState(link.ComState, kComFailed);
  link.ComState = kComFailed;
  ++LinkCount().LinkFailures;
  // The walk starts again when the link returns; until the next answer one command at a time
  // probes the controller.
  link.ResyncRouter = -1;
  Win().LinkFailed();
  Dlg_SetText(IDC_ANSWER, "  ");
  if (SerialStatePaths()) {
    // RX only comes only when the hold is over (HoldOver): a pause loses nothing.
    Dlg_SetText(IDC_LINK_STATUS, " Comms Fail ");
    Dlg_SetText(IDC_MESSAGE,
                Kapi().DriverMode == IFMODE_RXONLY
                    ? " Comms Failed - no response from hardware - Driver in RX-Only mode "
                    : " Comms Failed - no response from hardware ");
  } else {
    // The driver gives up on this controller: what it had not confirmed goes to the next one.
    LeaveActiveController();
  }
}

void ComSup_IpConnect() {
  const Settings& s = Profile().settings;
  LinkState& link = Link();
  unsigned may = 0;
  if (link.ConnStateA == kDisconnected && link.ActiveController != kControllerB) may |= 1u;
  if (s.Dual_Controllers != 0 && link.ConnStateB == kDisconnected &&
      link.ActiveController != kControllerA) {
    may |= 2u;
  }
  // After a failure the window says whose turn it is (and a single silent controller waits).
  const unsigned now = Win().ControllersToTry(may, NowUs());
  if ((now & 1u) != 0) StartConnect(SocketA(), s.IP_Address_A, true);
  if ((now & 2u) != 0) StartConnect(SocketB(), s.IP_Address_B, false);
  ArmTimer();
}

void ComSup_IpClose() {
  if (Socks().a) Socks().a->Close();
  Link().ConnStateA = kDisconnected;
  if (Profile().settings.Dual_Controllers != 0) {
    if (Socks().b) Socks().b->Close();
    Link().ConnStateB = kDisconnected;
  }
  // Closed on purpose, not lost: no controller is to blame, both are tried again at once.
  Win().ReconnectRequested();
}

void ComSup_ReleaseSockets() {
  Socks().a.reset();
  Socks().b.reset();
}

void NetA_Event(SockSpawn& socket) {
  NetEvent(socket, kControllerA);
}

void NetB_Event(SockSpawn& socket) {
  NetEvent(socket, kControllerB);
}

void ComSup_RouteReply(int router_index) {
  LinkState& link = Link();
  ++LinkCount().RouteReports;
  // Only a reply that answered an outstanding command proves the command path and brings the
  // link back; front-panel reports only update the tables.
  const bool answered = link.FrameAnswered;
  link.FrameAnswered = false;
  if (answered) ConfirmLink(router_index);
  Drain();
}

}  // namespace xarvel
