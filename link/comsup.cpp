#include "link/comsup.h"

#include <chrono>
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
// How long a command may wait for a controller to connect before it is dropped.
constexpr int64_t kHoldMs = 3000;
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

size_t HoldBound() {
  return static_cast<size_t>(UnAckLimit() > 1 ? UnAckLimit() : 1);
}

void DropHeld(DropReason reason) {
  LinkState& link = Link();
  DebugPrintf(1, "SendData - no controller - dropping held command %s (%s)",
              Printable(link.Held.front().text).c_str(),
              reason == kDropHeldTooLong ? "held too long" : "too many held");
  ComSup_CountDrop(reason, link.Held.front().text);
  link.Held.pop_front();
  ++link.HeldDropped;
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

// Drops held commands that have waited too long for a controller.
void DropStaleHeld() {
  const int64_t now = NowMs();
  while (!Link().Held.empty() && now - Link().Held.front().since_ms > kHoldMs) {
    DropHeld(kDropHeldTooLong);
  }
}

// Keeps a command that found no active controller, to be sent to the controller that connects.
// At most the unACK limit (at least one) commands wait; beyond that the oldest goes first.
void HoldCommand(const char* text, int length) {
  LinkState& link = Link();
  DropStaleHeld();
  while (link.Held.size() >= HoldBound()) DropHeld(kDropQueueFull);
  link.Held.push_back({std::string(text, static_cast<size_t>(length)), NowMs()});
}

// Sends a command to the active controller and remembers it until a route report comes back.
void SendActive(SockSpawn& socket, std::string text, int64_t since_ms) {
  LinkState& link = Link();
  socket.Send(text.data(), static_cast<int>(text.size()));
  ++LinkCount().CommandsSent;
  if (link.InFlight.size() >= HoldBound()) link.InFlight.pop_front();
  link.InFlight.push_back({std::move(text), since_ms});
}

// A controller has just become active: it receives the held commands, oldest first.
void SendHeld(SockSpawn& socket, char letter) {
  LinkState& link = Link();
  DropStaleHeld();
  if (link.Held.empty()) return;
  DebugPrintf(1, "ComSup - sending %d held command(s) to controller %c",
              static_cast<int>(link.Held.size()), letter);
  std::deque<HeldCommand> held;
  held.swap(link.Held);
  for (HeldCommand& c : held) SendActive(socket, std::move(c.text), c.since_ms);
}

// The active controller's connection has dropped: the commands it has not answered go back in
// front of the held ones, to be sent to the controller that connects next.
void HoldUnanswered(char letter) {
  LinkState& link = Link();
  if (link.InFlight.empty()) return;
  DebugPrintf(1, "ComSup - holding %d unanswered command(s) of controller %c for the next one",
              static_cast<int>(link.InFlight.size()), letter);
  link.Held.insert(link.Held.begin(), std::make_move_iterator(link.InFlight.begin()),
                   std::make_move_iterator(link.InFlight.end()));
  link.InFlight.clear();
  while (link.Held.size() > HoldBound()) DropHeld(kDropQueueFull);
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
        HoldUnanswered(letter);
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
        // Commands that arrived while no controller was active go to this one now, so that a
        // failover loses no route.
        if (link.ActiveController == self) SendHeld(socket, letter);
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
}

}  // namespace

int ComSup_Init() {
  LinkState& link = Link();
  link.UnAckedCount = 0;
  link.ComState = kComUnconfirmed;
  link.ConnStateA = kDisconnected;
  link.ConnStateB = kDisconnected;
  link.Held.clear();
  link.InFlight.clear();
  Dlg().PollPointer = 0;
  const Settings& s = Profile().settings;
  if (s.Simulation == 1) {
    NTP_ResetReceiver();
    link.ComState = kComOk;
    return 1;
  }
  if (TcpMode()) {
    ComSup_IpConnect();
    NTP_ResetReceiver();
    return 1;
  }
  const int result = ComSup_OpenComm(s.Com);
  NTP_ResetReceiver();
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
}

void ComSup_SetSendTap(std::function<void(std::string_view)> tap) {
  SendTap() = std::move(tap);
}

void SendData(const char* text, int length) {
  if (text == nullptr || length <= 0) return;
  if (SendTap()) SendTap()(std::string_view(text, static_cast<size_t>(length)));
  // In simulation there is no controller: nothing goes out and nothing waits for an answer.
  if (Profile().settings.Simulation == 1) return;
  LinkState& link = Link();
  const int limit = UnAckLimit();
  if (TcpMode()) {
    if (link.ActiveController == kControllerA) {
      SendActive(SocketA(), std::string(text, static_cast<size_t>(length)), NowMs());
    } else if (link.ActiveController == kControllerB) {
      SendActive(SocketB(), std::string(text, static_cast<size_t>(length)), NowMs());
    } else {
      DebugPrint("SendData - Controller UNKNOWN - ERROR Status", 1);
      HoldCommand(text, length);
      ComSup_IpConnect();
    }
    if (link.UnAckedCount < limit) {
      ++link.UnAckedCount;
      if (link.UnAckedCount < limit) return;
    }
    DebugPrint("Xarvel SendData(IP) - too many unacks - setting comms fail flag ", 1);
    ComSup_SetComState(kComFailed);
    ComSup_IpConnect();
    link.UnAckedCount = 0;
    return;
  }
  const int written = Serial_Write(link.SerialPort, text, length);
  if (written > 0) ++LinkCount().CommandsSent;
  if (link.UnAckedCount < limit) ++link.UnAckedCount;
  if (link.UnAckedCount >= limit && link.ComState != kComFailed) {
    DebugPrint("Xarvel SendData(serial) - too many unacks - setting mode rxonly", 1);
    SetTXRX(IFMODE_RXONLY);
    ComSup_SetComState(kComFailed);
  }
  if (written <= 0) {
    Serial_ClearError(link.SerialPort, nullptr);
    ReopenSerialIfGone();
  }
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
    return;
  }
  if (state != kComFailed || link.ComState == kComFailed) return;
  NoteComState(link.ComState, kComFailed);
  link.ComState = kComFailed;
  ++LinkCount().LinkFailures;
  Dlg_SetText(IDC_ANSWER, "  ");
  if (SerialStatePaths()) {
    AssertMode(IFMODE_RXONLY);
    Dlg_SetText(IDC_LINK_STATUS, " Comms Fail ");
    Dlg_SetText(IDC_MESSAGE,
                Kapi().DriverMode == IFMODE_RXONLY
                    ? " Comms Failed - no response from hardware - Driver in RX-Only mode "
                    : " Comms Failed - no response from hardware ");
  } else if (link.ActiveController == kControllerA) {
    // The controller has not answered these: they are not sent again.
    link.InFlight.clear();
    SocketA().Close();
    Dlg_SetText(IDC_LINK_STATUS, "Disconnected");
    link.ActiveController = kControllerNone;
    link.ConnStateA = kDisconnected;
    Dlg_SetText(IDC_MESSAGE, "Comms Failed - Lost connection to Controller A");
  } else if (link.ActiveController == kControllerB) {
    link.InFlight.clear();
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
  auto confirm_tcp = [&link] {
    ComSup_SetComState(kComOk);
    link.UnAckedCount = 0;
    plat::SendMessage(Core().MainWindow, ZUT_REQDEVGOTXRX, IFMODE_TXRX, 0);
  };
  if (TcpMode()) {
    // The controller answers: what was sent to it is no longer in doubt.
    link.InFlight.clear();
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

}  // namespace xarvel
