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
#include "link/channel.h"
#include "link/link_counters.h"
#include "link/link_state.h"
#include "link/link_wiring.h"
#include "link/serial.h"
#include "link/sockspawn.h"
#include "link/supervisor_state.h"
#include "platform/debug_output.h"
#include "tracing/debug.h"

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

// The link's channels: A (the serial port, or controller A over TCP) and B (controller B of a
// pair). Used on the main thread only.
struct Channels {
  Channel a;
  Channel b;
};

Channels& Chans() {
  static Channels channels;
  return channels;
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

void OnChannelEvent(Channel& c, ChannelEvent event, int error);
int ParityCode();

// Channel `self` (A or B) with the operations of the profile's connection mode: TCP, or the
// serial port (always A).
Channel& ChannelOf(int self) {
  Channel& c = self == kControllerB ? Chans().b : Chans().a;
  const bool tcp = TcpMode();
  c.self = self == kControllerB ? kControllerB : kControllerA;
  c.ops = tcp ? &kTcpChannelOps : &kSerialChannelOps;
  c.counted_as = !tcp ? kChannelSerial : c.self == kControllerB ? kChannelB : kChannelA;
  if (!c.on_event) c.on_event = OnChannelEvent;
  return c;
}

// The channel commands are written to and replies read from: the active controller's (null
// while none is), or the serial port.
Channel* InUse() {
  if (!TcpMode()) return &ChannelOf(kControllerA);
  if (Link().ActiveController == kControllerNone) return nullptr;
  return &ChannelOf(Link().ActiveController);
}

// The other controller of a pair.
int Other(int self) {
  return self == kControllerA ? kControllerB : kControllerA;
}

char Letter(int self) {
  return self == kControllerB ? 'B' : 'A';
}

// The dialog's connection field of controller `self`.
LinkField StatusField(int self) {
  return self == kControllerB ? LinkField::kStatusB : LinkField::kStatusA;
}

// The connection state of controller `self`.
int& ConnState(int self) {
  return self == kControllerB ? Link().ConnStateB : Link().ConnStateA;
}

// --- The seams to the layers above (link/link_wiring.h).

int64_t NowUs() {
  if (LinkWiring().now_us) return LinkWiring().now_us();
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t NowMs() {
  return NowUs() / 1000;
}

void Show(LinkField field, std::string_view text) {
  if (LinkWiring().show) LinkWiring().show(field, text);
}

int Tell(LinkVerdict verdict) {
  return LinkWiring().verdict ? LinkWiring().verdict(verdict) : 0;
}

bool RxOnly() {
  return LinkWiring().rx_only && LinkWiring().rx_only();
}

void Received(const unsigned char* bytes, size_t count) {
  if (LinkWiring().received) LinkWiring().received(bytes, count);
}

void ResetReceiver() {
  if (LinkWiring().reset_receiver) LinkWiring().reset_receiver();
}

void Interrogate(int index, int dest, Asker asker) {
  if (LinkWiring().interrogate) LinkWiring().interrogate(index, dest, asker);
}

plat::Hwnd NotifyWindow() {
  return LinkWiring().window ? LinkWiring().window() : plat::kNoWindow;
}

// Starts the link timer for `ms` (1 or more) or stops it (0).
bool LinkTimer(unsigned ms) {
  return !LinkWiring().timer || LinkWiring().timer(ms);
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
  SendWindow& w = Supervisor().Window;
  w.Configure(config);
  // RX only forbids routes whichever way the mode was reached.
  w.SetRxOnly(RxOnly());
  return w;
}

// The revertive owed for a destination asked again after a refused route: the source the
// driver holds for it.
void SendOwedRevertive(const RouteOrigin& route) {
  if (route.device > 0 && LinkWiring().owe_revertive) LinkWiring().owe_revertive(route);
}

// Counts and traces what the window gave up, and answers for the routes the controller refused:
// each is traced and counted once (not as a drop: the controller answered), its destination is
// asked again and the control system gets one revertive of the source the controller really
// has. The route itself is not written again.
void FlushDrops() {
  for (const LinkCommand& r : Supervisor().Window.TakeRefused()) {
    const RouteOrigin& route = r.origin.route;
    ++LinkCount().RefusedByController;
    if (route.device > 0) {
      DebugPrintfAt(LogLevel::kNotice, 1, "ROUTE %d %d %d refused by the controller", route.device,
                    route.dest, route.source);
    }
    if (route.device > 0 && r.level >= 0 && r.level < kRouterCount) {
      Interrogate(r.level, route.dest, Asker::kRecheck);
    }
  }
  for (const WindowDrop& d : Supervisor().Window.TakeDrops()) {
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
  return Supervisor().SerialOpened;
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
  Channel* in_use = InUse();
  Channel& ch = in_use != nullptr ? *in_use : ChannelOf(kControllerA);
  const LinkChannel channel = ch.counted_as;
  bool failed = false;
  const int written = ch.ops->write(ch, c.text.data(), length);
  if (written > 0 || !ch.ops->write_fails) ++LinkCount().CommandsSent;
  if (written <= 0 && ch.ops->write_fails) {
    ch.ops->clear_error(ch);
    failed = true;
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
  SupervisorState& sup = Supervisor();
  const Settings& s = Profile().settings;
  if (s.Simulation == 1 || s.ResyncOnConnect == 0) return;
  if (!restart && sup.ResyncRouter >= 0) return;
  sup.ResyncRouter = ResyncRouterFrom(0);
  if (sup.ResyncRouter < 0) return;
  sup.ResyncDest = Profile().routers[static_cast<size_t>(sup.ResyncRouter)].Min_Dest;
  DebugPrintAt(LogLevel::kNotice,
               "ComSup - resync: interrogating every destination of every router", 1);
}

// Moves the walk to the next destination, the next router after the last, or ends it.
void ResyncAdvance() {
  SupervisorState& sup = Supervisor();
  const RouterConfig& r = Profile().routers[static_cast<size_t>(sup.ResyncRouter)];
  if (sup.ResyncDest < r.Max_Dest) {
    ++sup.ResyncDest;
    return;
  }
  sup.ResyncRouter = ResyncRouterFrom(sup.ResyncRouter + 1);
  if (sup.ResyncRouter < 0) {
    DebugPrintAt(LogLevel::kNotice, "ComSup - resync done", 0);
    return;
  }
  sup.ResyncDest = Profile().routers[static_cast<size_t>(sup.ResyncRouter)].Min_Dest;
}

// One interrogate of the resync walk, when the window has a slot for it.
bool ResyncStep() {
  SupervisorState& sup = Supervisor();
  if (sup.ResyncRouter < 0 || !Win().ResyncSlotFree()) return false;
  const int router = sup.ResyncRouter;
  const int dest = sup.ResyncDest;
  ResyncAdvance();
  Interrogate(router, dest, Asker::kResync);
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
  SupervisorState& sup = Supervisor();
  const int64_t due = Win().NextDueUs();
  if (due == 0) {
    if (sup.TimerDueUs != 0) LinkTimer(0);
    sup.TimerDueUs = 0;
    return;
  }
  if (sup.TimerDueUs != 0 && sup.TimerDueUs <= due) return;
  // Rounded up to whole milliseconds; a timer that fires early is armed again for the rest.
  const int64_t wait_ms = std::clamp<int64_t>((due - NowUs() + 999) / 1000, 1, INT_MAX);
  if (LinkTimer(static_cast<unsigned>(wait_ms))) sup.TimerDueUs = due;
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
  if (Supervisor().Draining || Profile().settings.Simulation == 1) return;
  Supervisor().Draining = true;
  while (CanWrite()) {
    LinkCommand c;
    if (Win().NextToWrite(&c)) {
      Write(std::move(c));
      continue;
    }
    if (!ResyncStep()) break;
  }
  ProbeStep();
  Supervisor().Draining = false;
  FlushDrops();
  ArmTimer();
}

// Leaves the active controller: its socket is closed, what it had not confirmed waits for the
// next one.
void LeaveActiveController() {
  LinkState& link = Link();
  const int self = link.ActiveController;
  if (self != kControllerA && self != kControllerB) return;
  RequeueSent(Letter(self));
  Channel& ch = ChannelOf(self);
  ch.ops->close(ch);
  Show(StatusField(self), "Disconnected");
  link.ActiveController = kControllerNone;
  ConnState(self) = kDisconnected;
  Show(LinkField::kMessage, self == kControllerA
                                ? "Comms Failed - Lost connection to Controller A"
                                : "Comms Failed - Lost connection to Controller B");
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
  Tell(LinkVerdict::kRxOnly);
  Show(LinkField::kStatusA, " Comms Fail ");
  Show(LinkField::kMessage,
       RxOnly() ? " Comms Failed - no response from hardware - Driver in RX-Only mode "
                : " Comms Failed - no response from hardware ");
}

// Counts one more time the link became OK; 1..9999, then 1 again.
int BumpResetCount(int& count) {
  count = count >= kResetCountMax || count < 0 ? 1 : count + 1;
  return count;
}

void ShowCount(LinkField control, int count) {
  char text[16];
  std::snprintf(text, sizeof text, "%0d", count);
  Show(control, text);
}

// Hands every byte waiting on a connection to the reply decoder. One byte is the smallest unit
// the decoder takes; the connection reports a further read event while bytes remain, so taking
// all that is waiting now only saves event round trips.
void ReadConnection(Channel& c, const char* error_text) {
  unsigned char buffer[kReadChunk];
  const int n = c.ops->read(c, buffer, sizeof buffer);
  if (n < 0) {
    DebugPrintAt(LogLevel::kWarning, error_text, 1);
    return;
  }
  if (n > 0) Received(buffer, static_cast<size_t>(n));
}

// Controller `self`'s connection closed: the link fails if it was the active one.
void ConnectionClosed(int self) {
  LinkState& link = Link();
  char text[64];
  std::snprintf(text, sizeof text, "MC1000 driver - Net %c FD Close \n", Letter(self));
  plat::OutputDebugString(text, plat::LogLevel::kWarning);
  Show(StatusField(self), "DisConnected");
  ConnState(self) = kDisconnected;
  if (link.ActiveController != self) return;
  Show(LinkField::kActiveController, " ");
  link.ActiveController = kControllerNone;
  NoteComState(link.ComState, kComFailed);
  link.ComState = kComFailed;
  // What this controller had not confirmed goes to the next one; the hold runs from now, and
  // the other controller of a pair is tried first.
  Win().ControllerLost(self, false, NowUs());
  RequeueSent(Letter(self));
  Supervisor().ResyncRouter = -1;
  Win().LinkFailed();
  Drain();
}

// Controller `self`'s connection attempt failed with `error`.
void ConnectFailed(Channel& c, int error) {
  const int self = c.self;
  char text[80];
  std::snprintf(text, sizeof text, "MC1000 driver - Net %c FD Connected fail status=%d \n",
                Letter(self), error);
  plat::OutputDebugString(text, plat::LogLevel::kDebug);
  c.ops->close(c);
  Show(StatusField(self), "Disconnected!");
  ConnState(self) = kDisconnected;
  if (Link().ActiveController == self) {
    Show(LinkField::kActiveController, " ");
    Link().ActiveController = kControllerNone;
  }
}

// Controller `self` connected: it becomes the active one, the other's attempt is closed and
// what waited goes to it.
void Connected(int self) {
  LinkState& link = Link();
  const bool is_a = self == kControllerA;
  plat::OutputDebugString(
      is_a ? "MC1000 driver - Net A FD Connected ok\n" : "MC1000 driver - Net B FD Connected ok \n",
      plat::LogLevel::kNotice);
  Show(StatusField(self), "Connected OK");
  ConnState(self) = kConnected;
  ++LinkCount().Connections[ChannelOf(self).counted_as];
  // The controller used last was the other one: the pair has failed over.
  if (link.LastConnected != kControllerNone && link.LastConnected != self) {
    ++LinkCount().Failovers;
  }
  link.LastConnected = self;
  Show(LinkField::kMessage,
       is_a ? " Connected to and Using Controller A " : " Connected to and Using Controller B ");
  link.ActiveController = self;
  Show(LinkField::kActiveController, is_a ? "A" : "B");
  // The other controller's attempt (or connection) is not wanted any more.
  Channel& other = ChannelOf(Other(self));
  other.ops->close(other);
  // Commands that arrived while no controller was active, and those the lost one had not
  // confirmed, go to this one now, in order, so that a failover loses no route; then the resync
  // walk brings in what changed at the router meanwhile.
  if (link.ActiveController != self) return;
  const size_t held = Win().ConnectionMade(NowUs());
  FlushDrops();
  if (held > 0) {
    DebugPrintfAt(LogLevel::kNotice, 1, "ComSup - sending %d held command(s) to controller %c",
                  static_cast<int>(held), Letter(self));
  }
  ResyncStart(true);
  Drain();
}

// The events of one controller's connection.
void OnChannelEvent(Channel& c, ChannelEvent event, int error) {
  const bool is_a = c.self == kControllerA;
  switch (event) {
    case ChannelEvent::kClosed:
      ConnectionClosed(c.self);
      break;
    case ChannelEvent::kConnectFailed:
      ConnectFailed(c, error);
      break;
    case ChannelEvent::kConnected:
      Connected(c.self);
      break;
    case ChannelEvent::kReadable:
      if (error != 0) {
        DebugPrintAt(LogLevel::kWarning,
                     is_a ? "Main Server_1---Read Error-2--" : " B Server_1---Read Error-2--", 1);
      } else {
        ReadConnection(c, is_a ? "Main Server_1---Read Error-1--" : " B Server_1---Read Error-1--");
      }
      break;
  }
}

void StartConnect(int self, const std::string& address) {
  const bool is_a = self == kControllerA;
  DebugPrintAt(LogLevel::kDebug,
               is_a ? "ComSUp_IpConnect - trying to connect to server A"
                    : "ComSUp_IpConnect - trying to connect to server B",
               1);
  Channel& c = ChannelOf(self);
  c.address = address;
  c.port = Profile().settings.IP_Port;
  const int result = c.ops->open(c);
  const int notify = c.ops->listen(c);
  DebugPrintfAt(LogLevel::kDebug, 1, "ComSup_IpConnect -%c- open result is %d  notify result %s ",
                Letter(self), result, notify != 0 ? "true" : "false");
}

// The serial port's settings from the profile: port `com`, the line, the notification window.
Channel& SerialChannel(int com) {
  const Settings& s = Profile().settings;
  Channel& c = ChannelOf(kControllerA);
  c.com = com;
  c.speed = static_cast<int>(s.Speed);
  c.data_bits = s.DataBits;
  c.parity = ParityCode();
  c.window = NotifyWindow();
  return c;
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
  SupervisorState& sup = Supervisor();
  Channel& line = ChannelOf(kControllerA);
  if (line.handle >= 0 && !line.ops->gone(line)) return;
  const int64_t now = NowMs();
  if (sup.SerialReopenMs != 0 && now - sup.SerialReopenMs < kReopenMs) return;
  sup.SerialReopenMs = now;
  const Settings& s = Profile().settings;
  line.ops->close(line);
  SerialChannel(s.Com);
  if (line.ops->open(line) < 0) {
    // Said once per outage, not on every attempt.
    if (!sup.SerialGone) {
      DebugPrintfAt(LogLevel::kErr, 1,
                    "ComSup - serial port COM%d has gone; opening it again failed (%d)", s.Com,
                    line.handle);
    }
    sup.SerialGone = true;
    return;
  }
  sup.SerialGone = false;
  ++LinkCount().Connections[kChannelSerial];
  // A new line: what the old one carried unanswered goes again, in order, and nothing is known
  // yet of how the controller answers on it.
  Win().ConnectionLost(NowUs());
  Win().ConnectionMade(NowUs());
  FlushDrops();
  line.ops->listen(line);
  ResetReceiver();
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
    Tell(LinkVerdict::kTxRxRestored);
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
    const int mode = LinkWiring().device_mode ? LinkWiring().device_mode(device) : 0;
    char text[96];
    std::snprintf(text, sizeof text, "ZZZpoint1 returns mode %d for dev %d \n",
                  static_cast<int>(mode), device);
    plat::OutputDebugString(text, plat::LogLevel::kDebug);
    // The link's return: TX/RX again only where the link itself had taken it away.
    const int mode_now = Tell(LinkVerdict::kTxRxRestored);
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
  Supervisor().Window.Reset();
  Supervisor().FrameAnswered = false;
  Supervisor().ResyncRouter = -1;
  Tell(LinkVerdict::kStarted);
  const Settings& s = Profile().settings;
  if (s.Simulation == 1) {
    ResetReceiver();
    link.ComState = kComOk;
    return 1;
  }
  if (TcpMode()) {
    // No controller yet: commands are held from now.
    Win().ConnectionLost(NowUs());
    ComSup_IpConnect();
    ResetReceiver();
    return 1;
  }
  const int result = ComSup_OpenComm(s.Com);
  ResetReceiver();
  if (result == 1) {
    Supervisor().SerialOpened = true;
    ResyncStart(true);
    Drain();
  }
  return result;
}

int ComSup_OpenComm(int port) {
  Channel& line = SerialChannel(port);
  line.ops->open(line);
  DebugPrintf(0, "ComSup_OpenComm COM %d %d", port, line.handle);
  if (line.handle < 0) {
    char text[64];
    std::snprintf(text, sizeof text, "Can't open serial port %d", port);
    if (LinkWiring().alert) LinkWiring().alert(text);
    DebugPrintAt(LogLevel::kErr, text, 0);
    Show(LinkField::kStatusA, "OpenPort FAIL");
    return 0;
  }
  Show(LinkField::kStatusA, "ComPort Open");
  ++LinkCount().Connections[kChannelSerial];
  const int enabled = line.ops->listen(line);
  DebugPrint(enabled != 0 ? "ComSup_OpenComm enable true" : "ComSup_OpenComm enable false", 1);
  return 1;
}

void ComSup_CloseComm() {
  // Whatever the connection mode now, a serial port still open is closed.
  if (Chans().a.handle >= 0) kSerialChannelOps.close(Chans().a);
  Supervisor().SerialOpened = false;
}

bool ComSup_SerialLineUp() {
  return ComSup_SerialPort() >= 0 && !Supervisor().SerialGone;
}

int ComSup_SerialPort() {
  return Chans().a.ops == &kSerialChannelOps ? Chans().a.handle : -1;
}

void ComSup_Shutdown() {
  SupervisorState& sup = Supervisor();
  // What never left is given up and traced; what was written is the controller's.
  Win().Shutdown();
  FlushDrops();
  if (TcpMode()) {
    ComSup_IpClose();
  } else {
    ComSup_CloseComm();
  }
  sup.SerialOpened = false;
  if (sup.TimerDueUs != 0) LinkTimer(0);
  sup.TimerDueUs = 0;
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
  LinkCommand c = MakeCommand(text, length, origin);
  if (origin.asker == Asker::kResync) {
    // The walk asks only when the window has a slot for it.
    if (CanWrite()) Write(std::move(c));
    return;
  }
  const bool no_controller = InUse() == nullptr;
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
  return Supervisor().Window.QueueDepth();
}

int ComSup_Outstanding() {
  return Supervisor().Window.Outstanding();
}

bool ComSup_PollMayAsk() {
  if (Profile().settings.Simulation == 1) return true;
  if (InUse() == nullptr) return false;
  return !Supervisor().Window.PollWaiting();
}

void ComSup_Timer() {
  Supervisor().TimerDueUs = 0;
  const int64_t now = NowUs();
  int64_t quiet = 0;
  const Verdict verdict = Win().Tick(now, &quiet);
  FlushDrops();
  if (verdict == Verdict::kSilent) DeclareSilence(now, quiet);
  if (verdict == Verdict::kHoldOver) HoldOver();
  FlushDrops();
  // A single silent controller's pause is over: try it again.
  if (InUse() == nullptr && Win().RetryAtUs() != 0 && Win().RetryAtUs() <= now) {
    ComSup_IpConnect();
  }
  Drain();
  ArmTimer();
}

bool ComSup_RouteEntry(int router_index, char type, int controller_dest, int controller_source) {
  // Any route report clears the dialog's count of commands sent since the last one.
  Link().UnAckedCount = 0;
  WindowAnswer answer;
  bool owed = false;
  if (Win().Entry(type, router_index, controller_dest, controller_source, NowUs(), &answer)) {
    LinkCount().RouteReportLatency.Observe(answer.latency_us);
    Supervisor().FrameAnswered = true;
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
  Channel* c = InUse();
  if (c == nullptr) return;
  unsigned char buffer[kReadChunk];
  for (;;) {
    const int n = c->ops->read(*c, buffer, sizeof buffer);
    if (n <= 0) break;
    Received(buffer, static_cast<size_t>(n));
  }
  c->ops->clear_error(*c);
}

void ComSup_SetComState(int state) {
  LinkState& link = Link();
  if (state == kComOk) {
    if (link.ComState == kComOk) return;
    Tell(LinkVerdict::kOk);
    NoteComState(link.ComState, kComOk);
    link.ComState = kComOk;
    if (SerialStatePaths()) {
      Show(LinkField::kStatusA, " Comms Ok ");
      Tell(LinkVerdict::kTxRxRestored);
      ShowCount(LinkField::kResetsA, BumpResetCount(link.ResetCountA));
    } else if (link.ActiveController == kControllerA) {
      Show(LinkField::kStatusA, "Connected Ok");
      ShowCount(LinkField::kResetsA, BumpResetCount(link.ResetCountA));
    } else if (link.ActiveController == kControllerB) {
      Show(LinkField::kStatusB, "Connected OK");
      ShowCount(LinkField::kResetsB, BumpResetCount(link.ResetCountB));
    }
    Show(LinkField::kMessage, " ");
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
  Supervisor().ResyncRouter = -1;
  Win().LinkFailed();
  Show(LinkField::kAnswer, "  ");
  if (SerialStatePaths()) {
    // RX only comes only when the hold is over (HoldOver): a pause loses nothing.
    Show(LinkField::kStatusA, " Comms Fail ");
    Show(LinkField::kMessage,
         RxOnly() ? " Comms Failed - no response from hardware - Driver in RX-Only mode "
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
  if ((now & 1u) != 0) StartConnect(kControllerA, s.IP_Address_A);
  if ((now & 2u) != 0) StartConnect(kControllerB, s.IP_Address_B);
  ArmTimer();
}

void ComSup_IpClose() {
  Channel& a = ChannelOf(kControllerA);
  a.ops->close(a);
  Link().ConnStateA = kDisconnected;
  if (Profile().settings.Dual_Controllers != 0) {
    Channel& b = ChannelOf(kControllerB);
    b.ops->close(b);
    Link().ConnStateB = kDisconnected;
  }
  // Closed on purpose, not lost: no controller is to blame, both are tried again at once.
  Win().ReconnectRequested();
}

void ComSup_ReleaseSockets() {
  Chans().a = Channel{};
  Chans().b = Channel{};
}

void ComSup_RouteReply(int router_index) {
  ++LinkCount().RouteReports;
  // Only a reply that answered an outstanding command proves the command path and brings the
  // link back; front-panel reports only update the tables.
  const bool answered = Supervisor().FrameAnswered;
  Supervisor().FrameAnswered = false;
  if (answered) ConfirmLink(router_index);
  Drain();
}

}  // namespace xarvel

namespace xarvel {

LinkSeams& LinkWiring() {
  static LinkSeams seams;
  return seams;
}

}  // namespace xarvel
