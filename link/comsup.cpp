#include "link/comsup.h"

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "config/profile.h"
#include "core/driver.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
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
  for (int i = 0; i < n; ++i) NTP_RxByte(buffer[i]);
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
        link.ComState = kComFailed;
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

}  // namespace

int ComSup_Init() {
  LinkState& link = Link();
  link.UnAckedCount = 0;
  link.ComState = kComUnconfirmed;
  link.ConnStateA = kDisconnected;
  link.ConnStateB = kDisconnected;
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
  int parity = NOPARITY;
  switch (s.Parity) {
    case 'o':
      parity = ODDPARITY;
      break;
    case 'e':
      parity = EVENPARITY;
      break;
    case 'm':
      parity = MARKPARITY;
      break;
    case 's':
      parity = SPACEPARITY;
      break;
    default:
      break;
  }
  // The port always runs with one stop bit; "StopBits" is only shown.
  Link().SerialPort =
      Serial_OpenPort(port, static_cast<int>(s.Speed), s.DataBits, ONESTOPBIT, parity);
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
      SocketA().Send(text, length);
    } else if (link.ActiveController == kControllerB) {
      SocketB().Send(text, length);
    } else {
      DebugPrint("SendData - Controller UNKNOWN - ERROR Status", 1);
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
  if (link.UnAckedCount < limit) ++link.UnAckedCount;
  if (link.UnAckedCount >= limit && link.ComState != kComFailed) {
    DebugPrint("Xarvel SendData(serial) - too many unacks - setting mode rxonly", 1);
    SetTXRX(IFMODE_RXONLY);
    ComSup_SetComState(kComFailed);
  }
  if (written <= 0) Serial_ClearError(link.SerialPort, nullptr);
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
      for (int i = 0; i < n; ++i) NTP_RxByte(buffer[i]);
    }
  }
  for (;;) {
    const int n = Serial_Read(Link().SerialPort, buffer, sizeof buffer);
    if (n <= 0) break;
    for (int i = 0; i < n; ++i) NTP_RxByte(buffer[i]);
  }
  Serial_ClearError(Link().SerialPort, nullptr);
}

void ComSup_SetComState(int state) {
  LinkState& link = Link();
  if (state == kComOk) {
    if (link.ComState == kComOk) return;
    Dlg().PollRouter = Profile().CurrentRouter;
    Dlg().PollPointer = 0;
    link.ComState = kComOk;
    if (!TcpMode()) {
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
  link.ComState = kComFailed;
  Dlg_SetText(IDC_ANSWER, "  ");
  if (!TcpMode()) {
    AssertMode(IFMODE_RXONLY);
    Dlg_SetText(IDC_LINK_STATUS, " Comms Fail ");
    Dlg_SetText(IDC_MESSAGE,
                Kapi().DriverMode == IFMODE_RXONLY
                    ? " Comms Failed - no response from hardware - Driver in RX-Only mode "
                    : " Comms Failed - no response from hardware ");
  } else if (link.ActiveController == kControllerA) {
    SocketA().Close();
    Dlg_SetText(IDC_LINK_STATUS, "Disconnected");
    link.ActiveController = kControllerNone;
    link.ConnStateA = kDisconnected;
    Dlg_SetText(IDC_MESSAGE, "Comms Failed - Lost connection to Controller A");
  } else if (link.ActiveController == kControllerB) {
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

}  // namespace xarvel
