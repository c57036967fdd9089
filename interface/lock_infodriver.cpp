#include "interface/lock_infodriver.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/profile.h"
#include "ids/window_ids.h"
#include "interface/interface_upcalls.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
#include "platform/bus_client.h"
#include "platform/dialog.h"
#include "tracing/debug.h"

namespace xarvel {
namespace {

// A requested slot text split as "%s %d" splits it: the fields read (-1 when the text holds
// nothing but blanks), the first word and the integer after it (-1 when absent).
struct SlotRequest {
  int fields = -1;
  std::string word;
  int state = -1;
};

bool IsBlank(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Reads the word and the integer the way the pattern "%s %d" reads them, except that a number
// too large for an int saturates (to INT_MIN or INT_MAX) instead of being undefined; such a
// state is then simply out of range.
SlotRequest ParseSlotRequest(const char* text) {
  SlotRequest r;
  const char* p = text;
  while (*p != '\0' && IsBlank(*p)) ++p;
  if (*p == '\0') return r;
  const char* word_end = p;
  while (*word_end != '\0' && !IsBlank(*word_end)) ++word_end;
  r.word.assign(p, word_end);
  r.fields = 1;
  p = word_end;
  while (*p != '\0' && IsBlank(*p)) ++p;
  const char* digits = p;
  if (*digits == '+' || *digits == '-') ++digits;
  if (!std::isdigit(static_cast<unsigned char>(*digits))) return r;
  errno = 0;
  const long long v = std::strtoll(p, nullptr, 10);
  if (errno == ERANGE || v > INT_MAX || v < INT_MIN) {
    r.state = (*p == '-') ? INT_MIN : INT_MAX;
  } else {
    r.state = static_cast<int>(v);
  }
  r.fields = 2;
  return r;
}

// Control 2002 after a mode question to the infodriver.
void ShowInfodriverMode(int mode) {
  const int id = Profile().settings.LockStatusInfodriverID;
  char text[64] = "";
  if (mode == IFMODE_RXONLY) {
    std::snprintf(text, sizeof text, "%d Rxonly", id);
  } else if (mode == IFMODE_TXRX) {
    std::snprintf(text, sizeof text, "%d TXRX", id);
  }
  Dlg_SetText(IDC_LOCK_INFODRIVER, text);
}

LockInfoState DefaultLockInfo() {
  LockInfoState s;
  s.FindDest = [](int lock_dest, int& router_index, int& dest) {
    return InterfaceUp().FindLockDest(lock_dest, router_index, dest);
  };
  s.LockChange = [](int router_index, int dest, int state) {
    InterfaceUp().LockChange(router_index, dest, state);
  };
  return s;
}

}  // namespace

LockInfoState& LockInfo() {
  static LockInfoState state = DefaultLockInfo();
  return state;
}

void ResetLockInfo() {
  LockInfoState& s = LockInfo();
  // Forget the windows without sending anything: the infodriver of a test may be gone.
  for (ExtInfoClient* c : {s.Client.get(), s.Retired.get()}) {
    if (c == nullptr) continue;
    c->InfoWindow = plat::kNoWindow;
    c->CloseClient();
  }
  s = DefaultLockInfo();
}

void LockInfodriver_CreateClient() {
  LockInfoState& s = LockInfo();
  if (s.Client) {
    s.Client->CloseClient();
    s.Retired = std::move(s.Client);
  }
  s.Client = std::make_unique<ExtInfoClient>(kExtInfoHeaderVersion);
}

bool LockInfodriver_Connected() {
  return LockInfo().Connected == 1 && LockInfo().Client != nullptr;
}

void LockInfodriver_FollowMode(int mode) {
  if (!LockInfodriver_Connected()) return;
  if (mode != IFMODE_RXONLY && mode != IFMODE_TXRX) return;
  ExtInfoClient& client = *LockInfo().Client;
  client.SetTXRXMode(mode);
  client.Mode = mode == IFMODE_RXONLY ? kModeChangedToRxOnly : kModeChangedToTxRx;
  ShowInfodriverMode(client.GetTXRXMode());
}

namespace {

// INFO_connect's work; `quiet` leaves a missing infodriver unreported (a retry after a loss).
int Connect(bool quiet) {
  LockInfoState& s = LockInfo();
  s.Connected = 0;
  const int id = Profile().settings.LockStatusInfodriverID;
  if (id < 1 || id > 999) {
    DebugPrintAt(LogLevel::kWarning, "InfoConnect -- LockINfodriver number invalid", 1);
    return 0;
  }
  // Connecting is done once per client; a second attempt starts from a fresh one. The old
  // client's infodriver window is forgotten first: it may be gone, or another's by now.
  if (!s.Client || s.Client->OwnWindow != plat::kNoWindow) {
    if (s.Client) s.Client->InfoWindow = plat::kNoWindow;
    LockInfodriver_CreateClient();
  }
  ExtInfoClient& client = *s.Client;
  client.SetNotifyFunc(InfoNotify);
  const int r = client.ConnectToInfoDriver(id, nullptr, 0, 0, 0, 0);
  char text[64];
  if (r == kInfoStatusConnected) {
    std::snprintf(text, sizeof text, "%d - OK", id);
    Dlg_SetText(IDC_LOCK_INFODRIVER, text);
    DebugPrintfAt(LogLevel::kNotice, 1,
                  " INFO_connect - ConnectToInfoDriver connected to OK to infodriver %d", id);
    s.Connected = 1;
    return 1;
  }
  if (quiet) return 0;
  if (r == kInfoStatusNoWindow) {
    std::snprintf(text, sizeof text, "%d - FAIL", id);
    Dlg_SetText(IDC_LOCK_INFODRIVER, text);
    DebugPrintfAt(LogLevel::kWarning, 1, " INFO_connect - FAILED - - Missing infodriver %d", id);
    return 0;
  }
  std::snprintf(text, sizeof text, "ERROR %d", r);
  Dlg_SetText(IDC_LOCK_INFODRIVER, text);
  DebugPrintfAt(LogLevel::kWarning, 1, " INFO_connect - ERROR status %d for infodriver %d", r, id);
  return 0;
}

}  // namespace

int INFO_connect() {
  return Connect(false);
}

int LockInfodriver_Reconnect() {
  if (Connect(true) == 0) return 0;
  LockInfodriver_StartFollowing();
  LockInfodriver_FollowMode(Kapi().DriverMode);
  LockInfoState& s = LockInfo();
  if (s.PollBeforeLoss > 0 && Profile().settings.PollForMC1000LockStatus == 0) {
    Profile().settings.PollForMC1000LockStatus = s.PollBeforeLoss;
    plat::CheckMenuItem(Core().MainWindow, IDM_LOCK_POLL, true);
    Dlg_SetText(IDC_LOCK_POLL, "Y");
    DebugPrintAt(LogLevel::kNotice, " + MC1000 lock poll on again with the lock infodriver back",
                 1);
  }
  s.PollBeforeLoss = -1;
  if (Core().MainDialog != plat::kNoWindow) {
    plat::EnableWindow(Core().MainDialog, IDC_MC1000_LOCK, InterfaceUp().LockChangeEnabled());
  }
  return 1;
}

void LockInfodriver_Lost() {
  LockInfoState& s = LockInfo();
  if (!LockInfodriver_Connected()) return;
  ExtInfoClient* client = s.Client.get();
  // The window it had is not written to again, not even to say goodbye.
  client->InfoWindow = plat::kNoWindow;
  client->iStatus = kInfoStatusDisconnected;
  client->NotifyFunc(client, 0, "Infodriver has disconnected");
}

bool LockInfodriver_StillThere() {
  const plat::Hwnd h = LockInfodriver_Window();
  if (h == plat::kNoWindow) return false;
  auto* bus = dynamic_cast<plat::BusClient*>(plat::GetTransport());
  if (bus == nullptr || !bus->connected()) return true;
  return plat::IsLocalWindow(h) || bus->WindowExists(h);
}

plat::Hwnd LockInfodriver_Window() {
  return LockInfodriver_Connected() ? LockInfo().Client->InfoWindow : plat::kNoWindow;
}

void LockInfodriver_StartFollowing() {
  if (!LockInfodriver_Connected()) return;
  plat::SetTimer(Core().MainDialog, kTimerInfodriver, kInfodriverCheckMs);
  ShowInfodriverMode(LockInfo().Client->GetTXRXMode());
}

void InfoNotify(ExtInfoClient* client, int index, const char* text) {
  if (client == nullptr) return;
  switch (client->iStatus) {
    case kInfoStatusDisconnected: {
      char message[128];
      std::snprintf(message, sizeof message,
                    "Info_Notify ERROR - - - Lock Infodriver %d has disconnected",
                    client->DeviceNumber);
      Dlg_SetText(IDC_MESSAGE, message);
      DebugPrintAt(LogLevel::kWarning, message, 1);
      const bool was_connected = LockInfo().Connected == 1;
      LockInfo().Connected = 0;
      if (was_connected && LockInfo().PollBeforeLoss < 0) {
        LockInfo().PollBeforeLoss = Profile().settings.PollForMC1000LockStatus;
      }
      Profile().settings.PollForMC1000LockStatus = 0;
      plat::CheckMenuItem(Core().MainWindow, IDM_LOCK_POLL, false);
      Dlg_SetText(IDC_LOCK_POLL, " ");
      Dlg_SetText(IDC_MC1000_LOCK, "");
      if (Core().MainDialog != plat::kNoWindow) {
        plat::EnableWindow(Core().MainDialog, IDC_MC1000_LOCK, false);
      }
      Dlg_SetText(IDC_LOCK_INFODRIVER, "DISCONNECT");
      if (was_connected && LockInfo().OnLost) LockInfo().OnLost();
      return;
    }
    case kInfoStatusTxRx:
    case kInfoStatusInquiry:
    case kInfoStatusDeviceInUse:
      return;
    case kInfoStatusRxOnly:
      DebugPrintfAt(LogLevel::kInfo, 0,
                    "InfoNotify RXONLY : Infodriver %d received request to go RX Only",
                    client->DeviceNumber);
      return;
    case kInfoStatusConnected:
      SlotChange(client->DeviceNumber, index, text);
      return;
    default:
      DebugPrintfAt(LogLevel::kDebug, 0, "InfoNotify default - driver %d iStatus=%d",
                    client->DeviceNumber, client->iStatus);
      return;
  }
}

int SlotChange(int /*infodriver*/, int slot, const char* text) {
  // The request is cut to what a 256-byte buffer holds before it is read.
  char buffer[kMaxSlotRequest + 1] = "";
  if (text != nullptr) {
    const size_t length = strnlen(text, kMaxSlotRequest);
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
  }
  const SlotRequest req = ParseSlotRequest(buffer);
  DebugPrintfAt(LogLevel::kDebug, 1, "Slot change sscanf read %d = %s and %d  from %s ", req.fields,
                req.word.c_str(), req.state, buffer);

  int router = -1;
  int dest = -1;
  const LockInfoState& s = LockInfo();
  if (!s.FindDest || s.FindDest(slot, router, dest) == 0) {
    DebugPrintfAt(LogLevel::kWarning, 1, "SlotChange - invalid dest %d ", slot);
    return 1;
  }
  if (req.word.find("MC1000") == std::string::npos) {
    DebugPrintfAt(LogLevel::kWarning, 1, "SlotChange - invalid command %s from slot %d (%d) ",
                  buffer, slot, dest);
    return 1;
  }
  if (req.state < 0 || req.state > 255) {
    DebugPrintfAt(LogLevel::kWarning, 1, "SlotChange - invalid newstate %d from slot %d (%d) ",
                  req.state, slot, dest);
    return 1;
  }
  if (s.LockChange) s.LockChange(router, dest, req.state);
  return 1;
}

void CheckInfoDriver() {
  if (!LockInfodriver_Connected()) return;
  // An infodriver that was killed sends no close notice: its window is simply gone.
  if (!LockInfodriver_StillThere()) {
    LockInfodriver_Lost();
    return;
  }
  ExtInfoClient& client = *LockInfo().Client;
  const int mode = client.GetTXRXMode();
  const int driver_mode = Kapi().DriverMode;
  if (mode == driver_mode) return;
  if (driver_mode == IFMODE_RXONLY) {
    DebugPrintAt(LogLevel::kNotice, "CheckInfoDriver - Forcing into RXONLY mode same as driver ",
                 1);
    client.SetTXRXMode(IFMODE_RXONLY);
    client.Mode = kModeChangedToRxOnly;
  } else if (driver_mode == IFMODE_TXRX) {
    DebugPrintAt(LogLevel::kNotice, "CheckInfoDriver - Forcing into TXRX mode same as driver ", 1);
    client.SetTXRXMode(IFMODE_TXRX);
    client.Mode = kModeChangedToTxRx;
  }
  ShowInfodriverMode(client.GetTXRXMode());
}

void LockInfodriver_UpdateSlot(int slot, std::string_view text) {
  if (!LockInfodriver_Connected() || slot < 1 || slot > kMaxInfoSlot) return;
  const int length = static_cast<int>(std::min<size_t>(text.size(), kSlotFormatBufferSize - 1));
  LockInfo().Client->UpdateSlot(slot, "%.*s", length, text.data());
}

void LockInfodriver_Close() {
  LockInfoState& s = LockInfo();
  if (!s.Client) return;
  // The client goes out of the state first: nothing reached from the messages below can use it.
  s.Retired = std::move(s.Client);
  ExtInfoClient& client = *s.Retired;
  s.Connected = 0;
  client.SetTXRXMode(IFMODE_RXONLY);
  client.Mode = kModeChangedToRxOnly;
  client.CloseClient();
}

}  // namespace xarvel
