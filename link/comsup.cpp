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
#include "core/driver.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
#include "link/link_counters.h"
#include "link/link_state.h"
#include "link/serial.h"
#include "link/sockspawn.h"
#include "platform/debug_output.h"
#include "platform/msgbox.h"
#include "protocol/ntp.h"
#include "ui/debug.h"
#include "ui/dialog_ids.h"
#include "ui/status_dialog.h"

namespace xarvel {
namespace {

constexpr int kConnected = 1;
constexpr int kDisconnected = 2;
constexpr int kResetCountMax = 9999;
// Bytes taken from the wire per pass of a receive pump.
constexpr int kReadChunk = 256;
// The part of the reply timeout that does not depend on the line: a controller's own time to
// take a command and answer it, with room for a busy moment.
constexpr int64_t kReplyBaseMs = 1000;
// Bytes allowed on the line for the reply to each outstanding command (the longest reply).
constexpr int64_t kReplyAllowance = static_cast<int64_t>(kReplyBufferSize);
// A profile's reply timeout is taken within these bounds.
constexpr int kReplyTimeoutMinMs = 100;
constexpr int kReplyTimeoutMaxMs = 600000;
// Line speed assumed when the profile names none.
constexpr unsigned kDefaultSpeed = 38400;
// Commands kept in Sent that no report answers: beyond this the oldest are taken as delivered.
constexpr size_t kSentMax = 4096;
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

// The command text for a trace line, without its carriage return.
std::string Printable(const std::string& text) {
  std::string out = text;
  while (!out.empty() && (out.back() == '\r' || out.back() == '\n')) out.pop_back();
  return out;
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
  } else if (before == kComOk) {
    LinkCount().NotOkSinceUnixMs = WallMs();
  }
}

void ReopenSerialIfGone();

// --- The send queue and the window.

// How many commands may await their route report: the unACK limit - 1, at least one; one only
// after a failure until the next route report.
int Window() {
  if (Link().SingleUntilReport) return 1;
  const int limit = UnAckLimit();
  return limit > 2 ? limit - 1 : 1;
}

// A command is written when the link can carry it: over TCP to the active controller, serially
// once ComSup_Init has opened the port.
bool CanWrite() {
  if (TcpMode()) return Link().ActiveController != kControllerNone;
  return Link().SerialOpened;
}

// Bits on the line for one character: start bit, data bits, parity bit, one stop bit.
int64_t BitsPerCharacter() {
  const Settings& s = Profile().settings;
  const int data = s.DataBits >= 5 && s.DataBits <= 8 ? s.DataBits : 8;
  return 1 + data + (s.Parity == 'n' || s.Parity == 0 ? 0 : 1) + 1;
}

// Milliseconds that `bytes` take on the line at the profile's speed (rounded up). Over TCP the
// same speed is assumed: the controller may well sit behind a serial converter at the far end,
// and the speed key is the best guide the profile has.
int64_t WireMs(int64_t bytes) {
  const unsigned speed = Profile().settings.Speed > 0 ? Profile().settings.Speed : kDefaultSpeed;
  return (bytes * BitsPerCharacter() * 1000 + speed - 1) / speed;
}

// The reply timeout with `bytes` written and not yet followed by a reply, and `outstanding`
// commands awaiting theirs: the profile's "ReplyTimeoutMs", else 1 s plus the wire time of those
// bytes and of the replies, so that a slow line is never taken for silence.
int64_t ReplyTimeoutMs(int64_t bytes, int outstanding) {
  const int configured = Profile().settings.ReplyTimeoutMs;
  if (configured > 0) return std::clamp(configured, kReplyTimeoutMinMs, kReplyTimeoutMaxMs);
  return kReplyBaseMs + WireMs(bytes + kReplyAllowance * outstanding);
}

// Reads the level and controller destination of a route (".S") or interrogate (".I") command;
// false for every other command, and for a destination no route report could name.
bool AnsweredByReport(const std::string& text, int& level, int& dest) {
  if (text.size() < 4 || text[0] != '.' || (text[1] != 'S' && text[1] != 'I')) return false;
  if (text[2] < 'A' || text[2] > 'Z') return false;
  long long n = 0;
  size_t p = 3;
  for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) {
    n = n * 10 + (text[p] - '0');
    if (n > INT_MAX) return false;
  }
  if (p == 3) return false;
  level = text[2] - 'A';
  dest = static_cast<int>(n);
  return true;
}

LinkCommand MakeCommand(const char* text, int length, const CommandOrigin& origin) {
  LinkCommand c;
  c.text.assign(text, static_cast<size_t>(length));
  c.origin = origin;
  c.answered_by_report = AnsweredByReport(c.text, c.level, c.dest);
  return c;
}

bool IsRoute(const LinkCommand& c) {
  return c.origin.route.device > 0 || (c.text.size() > 1 && c.text[1] == 'S');
}

bool IsInterrogate(const LinkCommand& c) {
  return c.text.size() > 1 && c.text[0] == '.' && c.text[1] == 'I';
}

void CountDrop(DropReason reason, const LinkCommand& c) {
  ComSup_CountDrop(reason, c.text, c.origin.route);
}

// Keeps the queue within its bound: the oldest waiting commands go first.
void BoundQueue() {
  LinkState& link = Link();
  while (link.Queue.size() > kSendQueueMax) {
    CountDrop(kDropQueueFull, link.Queue.front());
    link.Queue.pop_front();
  }
}

// Over TCP: once no controller has been connected for kHoldMs, waiting commands are dropped.
void DropHeldTooLong(int64_t now) {
  LinkState& link = Link();
  if (!TcpMode() || link.ActiveController != kControllerNone || link.NoControllerSinceMs == 0 ||
      now - link.NoControllerSinceMs < kHoldMs) {
    return;
  }
  while (!link.Queue.empty()) {
    CountDrop(kDropHeldTooLong, link.Queue.front());
    link.Queue.pop_front();
  }
}

// Sent keeps the commands no report answers only over TCP, to be sent again after a lost
// connection; far more than the window would hold have surely arrived.
void BoundSent() {
  LinkState& link = Link();
  while (link.Sent.size() > kSentMax) {
    auto it = std::find_if(link.Sent.begin(), link.Sent.end(),
                           [](const LinkCommand& c) { return !c.answered_by_report; });
    if (it == link.Sent.end()) break;
    link.Sent.erase(it);
  }
}

// Writes one command on the serial port or to the active controller. A route or interrogate
// command then awaits its route report, even when the write failed: the reply timeout finds out
// what became of it, and the window keeps a failing port from being written in a tight loop.
void Write(LinkCommand c) {
  LinkState& link = Link();
  const int length = static_cast<int>(c.text.size());
  if (TcpMode()) {
    SockSpawn& socket = link.ActiveController == kControllerB ? SocketB() : SocketA();
    socket.Send(c.text.data(), length);
    ++LinkCount().CommandsSent;
  } else {
    const int written = Serial_Write(link.SerialPort, c.text.data(), length);
    if (written > 0) ++LinkCount().CommandsSent;
    if (written <= 0) {
      Serial_ClearError(link.SerialPort, nullptr);
      ReopenSerialIfGone();
    }
  }
  if (link.UnAckedCount < INT_MAX) ++link.UnAckedCount;
  const int64_t now = NowUs();
  link.BytesSinceProgress += length;
  c.sent_us = now;
  if (c.answered_by_report) {
    // The wait for an answer starts now if nothing was awaited before.
    if (link.Outstanding == 0) link.ProgressUs = now;
    ++link.Outstanding;
    if (c.origin.resync) ++link.ResyncOutstanding;
    c.due_us = now + 1000 * ReplyTimeoutMs(link.BytesSinceProgress, link.Outstanding);
    link.Sent.push_back(std::move(c));
  } else if (TcpMode()) {
    link.Sent.push_back(std::move(c));
    BoundSent();
  }
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
  DebugPrint("ComSup - resync: interrogating every destination of every router", 1);
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
    DebugPrint("ComSup - resync done", 0);
    return;
  }
  link.ResyncDest = Profile().routers[static_cast<size_t>(link.ResyncRouter)].Min_Dest;
}

// How many resync interrogates may be outstanding at once: all the window but one slot, which
// stays free for a route that arrives meanwhile (at least one, so a window of one still walks,
// and a route then waits behind that one interrogate only).
int ResyncWindow() {
  return std::max(1, Window() - 1);
}

// One interrogate of the resync walk, when nothing waits in the queue and the walk has a slot:
// while the line is otherwise idle the walk keeps it busy, and a route that arrives finds its
// slot free.
bool ResyncStep() {
  LinkState& link = Link();
  if (link.ResyncRouter < 0 || !link.Queue.empty() || link.ResyncOutstanding >= ResyncWindow() ||
      link.Outstanding >= Window()) {
    return false;
  }
  const int router = link.ResyncRouter;
  const int dest = link.ResyncDest;
  ResyncAdvance();
  NTP_Interrogate(router, dest, true);
  return true;
}

// Moves Sent back to the front of the queue, in order, for the next controller: the lost
// connection may have taken the commands, their answers, or both. Resync interrogates are not
// kept; the walk starts again at the next connect.
void RequeueSent(char letter) {
  LinkState& link = Link();
  std::deque<LinkCommand> back;
  for (LinkCommand& c : link.Sent) {
    if (!c.origin.resync) back.push_back(std::move(c));
  }
  link.Sent.clear();
  link.Outstanding = 0;
  link.ResyncOutstanding = 0;
  if (back.empty()) return;
  DebugPrintf(1, "ComSup - holding %d unanswered command(s) of controller %c for the next one",
              static_cast<int>(back.size()), letter);
  link.Queue.insert(link.Queue.begin(), std::make_move_iterator(back.begin()),
                    std::make_move_iterator(back.end()));
  BoundQueue();
}

// Stops waiting for everything written: each outstanding command is given up.
void GiveUpSent() {
  LinkState& link = Link();
  for (const LinkCommand& c : link.Sent) {
    if (c.answered_by_report) CountDrop(kDropUnanswered, c);
  }
  link.Sent.clear();
  link.Outstanding = 0;
  link.ResyncOutstanding = 0;
}

// True when nothing has been heard from the controller for the reply timeout while commands
// were outstanding, or since a command whose answer is now overdue was written.
bool Silent(int64_t now) {
  const LinkState& link = Link();
  if (link.Outstanding == 0) return false;
  if (now - link.ProgressUs >= 1000 * ReplyTimeoutMs(link.BytesSinceProgress, link.Outstanding)) {
    return true;
  }
  return std::any_of(link.Sent.begin(), link.Sent.end(), [&](const LinkCommand& c) {
    return c.answered_by_report && c.due_us <= now && link.HeardUs <= c.sent_us;
  });
}

// An outstanding command the controller has passed over: a command written after it has been
// answered. (An answer to an older command proves nothing: the controller may have fallen
// silent since, and then the silence verdict, not this, decides.)
bool PassedOver(const LinkCommand& c) {
  return Link().AnsweredSentUs > c.sent_us;
}

// Gives up the outstanding commands whose answer is overdue while the controller answers later
// ones (it may ignore an interrogate of a destination it does not have); each frees its slot.
void GiveUpOverdue(int64_t now) {
  LinkState& link = Link();
  for (auto it = link.Sent.begin(); it != link.Sent.end();) {
    if (!it->answered_by_report || it->due_us > now || !PassedOver(*it)) {
      ++it;
      continue;
    }
    DebugPrintf(1, "ComSup - no answer to %s within its reply timeout - given up",
                Printable(it->text).c_str());
    CountDrop(kDropUnanswered, *it);
    --link.Outstanding;
    if (it->origin.resync) --link.ResyncOutstanding;
    it = link.Sent.erase(it);
  }
}

// Starts, moves or stops the link timer for the next thing due: the silence verdict and the
// oldest answer due while commands are outstanding, the end of the hold while no TCP
// controller is connected and commands wait. A timer due no later than that is left to run: its
// expiry looks at the time and arms the timer again.
void ArmTimer() {
  LinkState& link = Link();
  int64_t due = 0;
  if (link.Outstanding > 0) {
    due = link.ProgressUs + 1000 * ReplyTimeoutMs(link.BytesSinceProgress, link.Outstanding);
    int seen = 0;
    for (const LinkCommand& c : link.Sent) {
      if (!c.answered_by_report) continue;
      // A command's own due time decides only when it has been passed over or was written
      // since the controller last spoke; for the others only the silence verdict can.
      if (PassedOver(c) || link.HeardUs <= c.sent_us) due = std::min(due, c.due_us);
      if (++seen == link.Outstanding) break;
    }
  }
  if (TcpMode() && link.ActiveController == kControllerNone && !link.Queue.empty() &&
      link.NoControllerSinceMs != 0) {
    const int64_t hold_end = 1000 * (link.NoControllerSinceMs + kHoldMs);
    due = due == 0 ? hold_end : std::min(due, hold_end);
  }
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

// Writes what the window allows, in queue order, then resync interrogates into free slots.
void Drain() {
  LinkState& link = Link();
  if (link.Draining || Profile().settings.Simulation == 1) return;
  link.Draining = true;
  while (CanWrite()) {
    if (!link.Queue.empty()) {
      if (link.Queue.front().answered_by_report && link.Outstanding >= Window()) break;
      LinkCommand c = std::move(link.Queue.front());
      link.Queue.pop_front();
      Write(std::move(c));
      continue;
    }
    if (!ResyncStep()) break;
  }
  link.Draining = false;
  ArmTimer();
}

// Answers the oldest outstanding command of `level` and `dest`. Everything written before it has
// reached the controller, so the commands no report answers that came before it are let go.
void Answer(int level, int dest) {
  LinkState& link = Link();
  auto it = std::find_if(link.Sent.begin(), link.Sent.end(), [&](const LinkCommand& c) {
    return c.answered_by_report && c.level == level && c.dest == dest;
  });
  if (it == link.Sent.end()) return;
  LinkCount().RouteReportLatency.Observe(NowUs() - it->sent_us);
  link.AnsweredSentUs = std::max(link.AnsweredSentUs, it->sent_us);
  --link.Outstanding;
  if (it->origin.resync) --link.ResyncOutstanding;
  const auto before = it - link.Sent.begin();
  link.Sent.erase(it);
  const auto end = link.Sent.begin() + before;
  link.Sent.erase(std::remove_if(link.Sent.begin(), end,
                                 [](const LinkCommand& c) { return !c.answered_by_report; }),
                  end);
}

// Nothing has come from the controller for the reply timeout while commands were outstanding.
void DeclareSilence(int64_t now) {
  LinkState& link = Link();
  const long long quiet = (now - std::max(link.HeardUs, link.ProgressUs)) / 1000;
  const int outstanding = link.Outstanding;
  link.ProgressUs = now;
  link.BytesSinceProgress = 0;
  if (link.ComState == kComFailed) {
    // Failed already: the commands written since are not waited for, and nothing else changes.
    DebugPrintf(1, "ComSup - still no reply from the controller - %d command(s) given up",
                outstanding);
    GiveUpSent();
    return;
  }
  if (TcpMode()) {
    DebugPrintf(1,
                "Xarvel SendData(IP) - no reply for %lld ms with %d command(s) outstanding - "
                "setting comms fail flag ",
                quiet, outstanding);
    ComSup_SetComState(kComFailed);
    ComSup_IpConnect();
    return;
  }
  DebugPrintf(1,
              "Xarvel SendData(serial) - no reply for %lld ms with %d command(s) outstanding - "
              "setting mode rxonly",
              quiet, outstanding);
  GiveUpSent();
  SetTXRX(IFMODE_RXONLY);
  ComSup_SetComState(kComFailed);
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
    DebugPrint(error_text, 1);
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
      plat::OutputDebugString(text);
      Dlg_SetText(status_field, "DisConnected");
      state = kDisconnected;
      if (link.ActiveController == self) {
        Dlg_SetText(IDC_ACTIVE_CONTROLLER, " ");
        link.ActiveController = kControllerNone;
        NoteComState(link.ComState, kComFailed);
        link.ComState = kComFailed;
        // What this controller had not confirmed goes to the next one; the hold runs from now.
        RequeueSent(letter);
        link.NoControllerSinceMs = NowMs();
        link.ResyncRouter = -1;
        link.SingleUntilReport = true;
        Drain();
      }
      break;
    }
    case FD_CONNECT:
      if (error != 0) {
        char text[80];
        std::snprintf(text, sizeof text, "MC1000 driver - Net %c FD Connected fail status=%d \n",
                      letter, error);
        plat::OutputDebugString(text);
        socket.Close();
        Dlg_SetText(status_field, "Disconnected!");
        state = kDisconnected;
        if (link.ActiveController == self) {
          Dlg_SetText(IDC_ACTIVE_CONTROLLER, " ");
          link.ActiveController = kControllerNone;
        }
      } else {
        plat::OutputDebugString(is_a ? "MC1000 driver - Net A FD Connected ok\n"
                                     : "MC1000 driver - Net B FD Connected ok \n");
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
          // An outage longer than the hold has dropped what waited, even if the hold's timer
          // has not come round yet.
          if (link.NoControllerSinceMs != 0 && NowMs() - link.NoControllerSinceMs >= kHoldMs) {
            while (!link.Queue.empty()) {
              CountDrop(kDropHeldTooLong, link.Queue.front());
              link.Queue.pop_front();
            }
          }
          link.NoControllerSinceMs = 0;
          if (!link.Queue.empty()) {
            DebugPrintf(1, "ComSup - sending %d held command(s) to controller %c",
                        static_cast<int>(link.Queue.size()), letter);
          }
          ResyncStart(true);
          Drain();
        }
      }
      break;
    case FD_READ:
      if (error != 0) {
        DebugPrint(is_a ? "Main Server_1---Read Error-2--" : " B Server_1---Read Error-2--", 1);
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
  DebugPrint(is_a ? "ComSUp_IpConnect - trying to connect to server A"
                  : "ComSUp_IpConnect - trying to connect to server B",
             1);
  const int result = socket.Open(address, Profile().settings.IP_Port);
  const int notify = socket.SetNotify(
      is_a ? SockSpawn::Callback(NetA_Event) : SockSpawn::Callback(NetB_Event), FD_READ);
  DebugPrintf(1, "ComSup_IpConnect -%c- open result is %d  notify result %s ", is_a ? 'A' : 'B',
              result, notify != 0 ? "true" : "false");
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
      DebugPrintf(1, "ComSup - serial port COM%d has gone; opening it again failed (%d)", s.Com,
                  link.SerialPort);
    }
    link.SerialGone = true;
    return;
  }
  link.SerialGone = false;
  ++LinkCount().Connections[kChannelSerial];
  Serial_EnableNotify(link.SerialPort, Core().MainWindow, 1);
  NTP_ResetReceiver();
  DebugPrintf(1, "ComSup - serial port COM%d had gone; opened again", s.Com);
  // What changed at the router while the line was gone comes in through the resync walk.
  ResyncStart(true);
}

// The link-state side of a route report, as the connection mode and the state ask.
void ConfirmLink(int router_index) {
  LinkState& link = Link();
  auto confirm_tcp = [&link] {
    ComSup_SetComState(kComOk);
    link.UnAckedCount = 0;
    plat::SendMessage(Core().MainWindow, ZUT_REQDEVGOTXRX, IFMODE_TXRX, 0);
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
    plat::OutputDebugString(text);
    const plat::LResult asserted =
        plat::SendMessage(Core().MainWindow, ZUT_IDSETTXRXMODE, IFMODE_TXRX, 0);
    std::snprintf(text, sizeof text, "ZZZpoint2 returns mode %d for dev %d \n",
                  static_cast<int>(asserted), device);
    plat::OutputDebugString(text);
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
  link.UnAckedCount = 0;
  link.ComState = kComUnconfirmed;
  link.ConnStateA = kDisconnected;
  link.ConnStateB = kDisconnected;
  link.Queue.clear();
  link.Sent.clear();
  link.Outstanding = 0;
  link.ResyncOutstanding = 0;
  link.SingleUntilReport = false;
  link.ResyncRouter = -1;
  link.BytesSinceProgress = 0;
  link.NoControllerSinceMs = 0;
  Dlg().PollPointer = 0;
  const Settings& s = Profile().settings;
  if (s.Simulation == 1) {
    NTP_ResetReceiver();
    link.ComState = kComOk;
    return 1;
  }
  if (TcpMode()) {
    link.NoControllerSinceMs = NowMs();
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
    DebugPrint(text, 0);
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
  if (origin.resync) {
    // The walk asks only when a slot is free and nothing waits.
    if (CanWrite()) Write(std::move(c));
    return;
  }
  const bool no_controller = TcpMode() && link.ActiveController == kControllerNone;
  if (no_controller) {
    DebugPrint("SendData - Controller UNKNOWN - ERROR Status", 1);
    if (link.NoControllerSinceMs == 0) link.NoControllerSinceMs = NowMs();
  }
  // The poll's interrogate while an earlier one still waits would only lengthen the queue (a
  // slow or silent controller would otherwise gather one per poll tick); the earlier one keeps
  // its place.
  const bool redundant =
      IsInterrogate(c) && std::any_of(link.Queue.begin(), link.Queue.end(),
                                      [](const LinkCommand& q) { return IsInterrogate(q); });
  if (redundant) {
    DebugPrintf(0, "SendData - %s not queued: an interrogate still waits",
                Printable(c.text).c_str());
  } else {
    link.Queue.push_back(std::move(c));
    BoundQueue();
    DropHeldTooLong(NowMs());
  }
  if (no_controller) ComSup_IpConnect();
  Drain();
}

int ComSup_QueueDepth() {
  return static_cast<int>(Link().Queue.size());
}

int ComSup_Outstanding() {
  return Link().Outstanding;
}

void ComSup_Timer() {
  LinkState& link = Link();
  link.TimerDueUs = 0;
  const int64_t now = NowUs();
  // Commands ignored while the controller answered after them go first; silence is judged on
  // what is left.
  GiveUpOverdue(now);
  if (Silent(now)) DeclareSilence(now);
  DropHeldTooLong(NowMs());
  Drain();
  ArmTimer();
}

void ComSup_RouteEntry(int router_index, int controller_dest) {
  Answer(router_index, controller_dest);
  Drain();
}

void ComSup_ReplyHeard() {
  LinkState& link = Link();
  link.HeardUs = NowUs();
  link.ProgressUs = link.HeardUs;
  link.BytesSinceProgress = 0;
}

void ComSup_RxOnlyEntered() {
  LinkState& link = Link();
  std::deque<LinkCommand> kept;
  for (LinkCommand& c : link.Queue) {
    if (IsRoute(c)) {
      CountDrop(kDropRxOnly, c);
    } else {
      kept.push_back(std::move(c));
    }
  }
  link.Queue.swap(kept);
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
      plat::SendMessage(Core().MainWindow, ZUT_IDSETTXRXMODE, IFMODE_TXRX, 0);
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
  // The walk starts again when the link returns; until the next route report one command at a
  // time probes the controller.
  link.ResyncRouter = -1;
  link.SingleUntilReport = true;
  Dlg_SetText(IDC_ANSWER, "  ");
  if (SerialStatePaths()) {
    AssertMode(IFMODE_RXONLY);
    Dlg_SetText(IDC_LINK_STATUS, " Comms Fail ");
    Dlg_SetText(IDC_MESSAGE,
                Kapi().DriverMode == IFMODE_RXONLY
                    ? " Comms Failed - no response from hardware - Driver in RX-Only mode "
                    : " Comms Failed - no response from hardware ");
  } else if (link.ActiveController == kControllerA) {
    // The driver gives up on this controller: what it had not confirmed goes to the next one.
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

void ComSup_IpConnect() {
  const Settings& s = Profile().settings;
  LinkState& link = Link();
  if (link.ConnStateA == kDisconnected && link.ActiveController != kControllerB) {
    StartConnect(SocketA(), s.IP_Address_A, true);
  }
  if (s.Dual_Controllers != 0 && link.ConnStateB == kDisconnected &&
      link.ActiveController != kControllerA) {
    StartConnect(SocketB(), s.IP_Address_B, false);
  }
}

void ComSup_IpClose() {
  if (Socks().a) Socks().a->Close();
  Link().ConnStateA = kDisconnected;
  if (Profile().settings.Dual_Controllers != 0) {
    if (Socks().b) Socks().b->Close();
    Link().ConnStateB = kDisconnected;
  }
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
  // The controller reports routes again: the whole window may be used.
  link.SingleUntilReport = false;
  ConfirmLink(router_index);
  Drain();
}

}  // namespace xarvel
