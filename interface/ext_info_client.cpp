#include "interface/ext_info_client.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "interface/kirnif.h"
#include "interface/messages.h"
#include "platform/msgbox.h"

namespace xarvel {
namespace {

plat::Hwnd Low16(plat::WParam w) {
  return static_cast<plat::Hwnd>(w & 0xFFFF);
}

// Slot numbers travel as their magnitude, the sign choosing the message. INT_MIN has no
// magnitude that fits, so such a slot number is never sent.
bool SlotMagnitude(int slot, int* magnitude) {
  if (slot == INT_MIN) return false;
  *magnitude = slot < 0 ? -slot : slot;
  return true;
}

}  // namespace

ExtInfoClient::ExtInfoClient(int header_version) {
  if (header_version != kExtInfoHeaderVersion) {
    plat::MessageBox(plat::kNoWindow, "Header doesn't match library", "Error");
  }
  NotifyFunc = [](ExtInfoClient*, int, const char*) {};
  TextBuffer = std::make_unique<char[]>(kExtInfoTextBufferSize);
}

ExtInfoClient::~ExtInfoClient() {
  CloseClient();
}

void ExtInfoClient::SetNotifyFunc(InfoNotifyFunc func) {
  NotifyFunc = std::move(func);
}

int ExtInfoClient::ConnectToInfoDriver(int device, void* instance, int a, int b, int c, int d) {
  Instance = instance;
  // A wide product: extras of any size must not overflow while they are checked.
  if (static_cast<int64_t>(a) * c * d != 0) {
    ExtraA = a;
    ExtraB = b;
    ExtraC = c;
    ExtraD = d;
    ExtrasFlag = 1;
  } else {
    ExtraA = ExtraB = ExtraC = ExtraD = 0;
    ExtrasFlag = 0;
  }
  iStatus = kInfoStatusConnected;
  // The window class "extinfospwn": this platform gives every window its procedure directly, so
  // there is no class to register and the "class not registered" outcome (9) cannot arise.
  if (device == 0) {
    iStatus = kInfoStatusNoDevice;
    return iStatus;
  }
  DeviceNumber = device;
  const plat::Hwnd hwnd = plat::CreateWindow([this](plat::Hwnd h, uint32_t msg, plat::WParam w,
                                                    plat::LParam l) { return Proc(h, msg, w, l); },
                                             true);
  if (hwnd == plat::kNoWindow || !OnCreate(hwnd)) {
    if (hwnd != plat::kNoWindow) plat::DestroyWindow(hwnd);
    iStatus = kInfoStatusNoWindow;
    return iStatus;
  }
  OwnWindow = hwnd;
  return kInfoStatusConnected;
}

bool ExtInfoClient::OnCreate(plat::Hwnd hwnd) {
  InfoWindow = plat::kNoWindow;
  const auto find_w = static_cast<plat::WParam>((static_cast<uint32_t>(ExtraA) << 16) | hwnd);
  const auto find_l = static_cast<plat::LParam>((static_cast<uint32_t>(ExtraB) << 16) |
                                                (static_cast<uint32_t>(DeviceNumber) & 0xFFFF));
  plat::SendMessage(plat::HWND_BROADCAST, ZUT_FINDINFODRIVER, static_cast<int32_t>(find_w),
                    static_cast<int32_t>(find_l));
  if (InfoWindow == plat::kNoWindow) return false;
  if (ExtraA != 0) {
    const auto options = static_cast<int32_t>((static_cast<uint32_t>(ExtraD) << 16) |
                                              (static_cast<uint32_t>(ExtraC) & 0xFFFF));
    if (plat::SendMessage(InfoWindow, ZUT_INFOOPTIONS, hwnd, options) < 0) return false;
  }
  plat::SendMessage(plat::HWND_BROADCAST, ZUT_FINDKAPI, hwnd, 0);
  if (KapiWindow == plat::kNoWindow)
    plat::SendMessage(plat::HWND_BROADCAST, ZUT_FINDKAPI2, hwnd, 0);
  return true;
}

int ExtInfoClient::GetTXRXMode() {
  return static_cast<int>(plat::SendMessage(InfoWindow, ZUT_IDGETTXRXMODE, 0, 0));
}

int ExtInfoClient::SetTXRXMode(int mode) {
  Mode = mode;
  if (mode >= IFMODE_RXONLY && mode <= IFMODE_FORCETXRX) {
    return static_cast<int>(plat::SendMessage(InfoWindow, ZUT_IDSETTXRXMODE, mode, 0));
  }
  return GetTXRXMode();
}

int ExtInfoClient::ReadSlot(int slot, char* buffer) {
  const int32_t r = KirnIf_SendData(InfoWindow, ZUT_SLOTREAD, slot, buffer, 1, kSlotBufferSize);
  // The infodriver is trusted to answer with a terminated text, but a full block of text must
  // not make the reader run past the buffer.
  buffer[kSlotBufferSize - 1] = '\0';
  return r;
}

void ExtInfoClient::SendSlotText(int slot, const char* text) {
  int magnitude = 0;
  if (!SlotMagnitude(slot, &magnitude)) return;
  ++SentCount;
  // The data call takes a writable block; the formatted text is copied into one.
  char block[kSlotFormatBufferSize];
  const size_t length = strnlen(text, sizeof block - 1);
  std::memcpy(block, text, length);
  block[length] = '\0';
  KirnIf_SendData(InfoWindow, slot < 0 ? ZUT_SLOTWRITE2 : ZUT_SLOTWRITE, magnitude, block, 1,
                  static_cast<int32_t>(length + 1));
}

void ExtInfoClient::WriteSlot(int slot, const char* format, ...) {
  char text[kSlotFormatBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  SendSlotText(slot, text);
}

int ExtInfoClient::UpdateSlot(int slot, const char* format, ...) {
  char text[kSlotFormatBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  int magnitude = 0;
  if (!SlotMagnitude(slot, &magnitude)) return 0;
  char current[kSlotBufferSize] = {};
  ReadSlot(magnitude, current);
  if (std::strcmp(current, text) == 0) return 0;
  SendSlotText(slot, text);
  return 1;
}

void ExtInfoClient::CloseClient() {
  TextBuffer.reset();
  if (OwnWindow != plat::kNoWindow) {
    const plat::Hwnd hwnd = OwnWindow;
    OwnWindow = plat::kNoWindow;
    plat::DestroyWindow(hwnd);
  }
  // A closed client talks to nobody, even when a call on it is still in progress further out.
  InfoWindow = plat::kNoWindow;
}

void ExtInfoClient::Notify(int index, const char* text) {
  if (NotifyFunc) NotifyFunc(this, index, text);
}

plat::LResult ExtInfoClient::ModeRequest(uint32_t msg) {
  const char* name = nullptr;
  switch (msg) {
    case ZUT_REQDEVGORXONLY:
      name = "ZUT_REQDEVGORXONLY";
      break;
    case ZUT_REQDEVGOTXRX:
      name = "ZUT_REQDEVGOTXRX";
      break;
    default:
      name = "ZUT_INQDEVGOTXRX";
      break;
  }
  // The long texts name the message, the device and the mode the decision was made in.
  auto notify_long = [&](const char* decision) {
    char text[256];
    std::snprintf(text, sizeof text, "%s Device=%u Mode=%s ~ %s", name,
                  static_cast<unsigned>(DeviceNumber), InterfaceModeName(Mode), decision);
    Notify(0, text);
  };
  const bool standby = Mode == IFMODE_NONE || Mode == IFMODE_RXONLY || Mode == IFMODE_RXONLYBROKEN;
  const bool active = Mode == IFMODE_TXRX || Mode == IFMODE_FORCETXRX || Mode == IFMODE_TXRXINQ;
  const bool changed = Mode == kModeChangedToTxRx || Mode == kModeChangedToRxOnly;
  switch (msg) {
    case ZUT_REQDEVGORXONLY:
      if (standby) {
        iStatus = kInfoStatusRxOnly;
        notify_long("Accepting request to go RX Only");
        return 1;
      }
      if (active) {
        iStatus = kInfoStatusTxRx;
        notify_long("Denying request to go RX Only");
        return 0;
      }
      if (changed) {
        iStatus = kInfoStatusRxOnly;
        Notify(0, "Accepting request to go RX Only");
      }
      return 1;
    case ZUT_REQDEVGOTXRX:
      if (Mode == IFMODE_NONE) return 0;
      if (standby || active) {
        iStatus = kInfoStatusTxRx;
        notify_long("Accepting request to go TXRX");
        return 1;
      }
      if (changed) {
        iStatus = kInfoStatusTxRx;
        Notify(0, "Accepting request to go TXRX");
        return 1;
      }
      return 0;
    default:  // ZUT_INQDEVGOTXRX
      if (standby) {
        iStatus = kInfoStatusInquiry;
        notify_long("Denying inquiry to go TXRX");
        return 0;
      }
      if (active) {
        iStatus = kInfoStatusInquiry;
        notify_long("Accepting inquiry to go TXRX");
        return 1;
      }
      return changed ? 1 : 0;
  }
}

plat::LResult ExtInfoClient::Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l) {
  // Only a block handed off with the message may be read through lParam.
  const bool via_handoff = plat::IsHandedOffBlock(l);
  // Whom the client trusts changes only through messages of this process, of the infodriver or
  // interface window it found, or, while it has none, of the window that names itself.
  const plat::Hwnd sender = plat::MessageSender();
  auto from = [sender](plat::Hwnd known) {
    return sender == plat::kNoWindow || (known != plat::kNoWindow && sender == known);
  };
  auto names_itself = [&](plat::Hwnd known) {
    return known == plat::kNoWindow ? sender == plat::kNoWindow || sender == Low16(w) : from(known);
  };
  switch (msg) {
    case plat::WM_DESTROY:
      plat::SendMessage(InfoWindow, ZUT_INFODETACH, 0, DeviceNumber);
      return 0;
    case ZUT_KAPIHANDLE:
      if (names_itself(KapiWindow)) KapiWindow = Low16(w);
      return 0;
    case ZUT_INFOHANDLE:
      if (names_itself(InfoWindow)) InfoWindow = Low16(w);
      return 0;
    case ZUT_DATA:
      return KirnIf_HandOff(hwnd, w, l);
    case ZUT_TEXT: {
      if (!via_handoff || l == 0 || !TextBuffer) return 0;
      const char* text = reinterpret_cast<const char*>(l);
      const size_t length = strnlen(
          text,
          std::min(plat::HandedOffBlockSize(), static_cast<size_t>(kExtInfoTextBufferSize - 1)));
      std::memcpy(TextBuffer.get(), text, length);
      TextBuffer[length] = '\0';
      return 0;
    }
    case ZUT_CLOSE:
      if (!from(InfoWindow)) return 0;
      iStatus = kInfoStatusDisconnected;
      Notify(0, "Infodriver has disconnected");
      return 0;
    case ZUT_DeviceIDInUse:
      if (!from(InfoWindow) && !from(KapiWindow)) return 0;
      iStatus = kInfoStatusDeviceInUse;
      Notify(static_cast<int>(w & 0xFFFF), "Device ID in use");
      return 0;
    case ZUT_SLOTCHANGE: {
      if (!via_handoff || l == 0) return 0;
      ++ReceivedCount;
      iStatus = kInfoStatusConnected;
      Notify(static_cast<int>(w), reinterpret_cast<const char*>(l));
      return 1;
    }
    case ZUT_REQDEVGORXONLY:
    case ZUT_REQDEVGOTXRX:
    case ZUT_INQDEVGOTXRX:
      return ModeRequest(msg);
    default:
      return 0;
  }
}

}  // namespace xarvel
