// The infodriver client: connects this process to an infodriver (a device of the control system
// that exposes numbered text slots) through a hidden window of its own, reads and writes slots,
// asks for and sets the infodriver's interface mode, answers the control system's mode requests
// addressed to its window, and reports every event to a notification function.
//
// Everything runs on the thread that owns the windows. Messages to the infodriver are synchronous
// sends; over the workstation bus a peer that is gone or does not answer in time reads as 0, so
// no call here can wait without bound.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/window.h"

namespace xarvel {

class ExtInfoClient;

// The interface version this client implements; a user built against another prints a warning.
inline constexpr int kExtInfoHeaderVersion = 109;
// Size of the text buffer that receives ZUT_TEXT texts (299 characters and a terminator).
inline constexpr int kExtInfoTextBufferSize = 300;
// Size of a slot text buffer for ReadSlot (255 characters and a terminator).
inline constexpr int kSlotBufferSize = 256;
// Size of the buffer a slot text is formatted into by WriteSlot and UpdateSlot.
inline constexpr int kSlotFormatBufferSize = 512;

// iStatus values.
inline constexpr int kInfoStatusDisconnected = 3;    // constructed, or ZUT_CLOSE arrived
inline constexpr int kInfoStatusNoDevice = 4;        // connect was given device number 0
inline constexpr int kInfoStatusNoWindow = 5;        // no infodriver answered
inline constexpr int kInfoStatusTxRx = 6;            // go TX/RX accepted, or go RX only denied
inline constexpr int kInfoStatusRxOnly = 7;          // go RX only accepted
inline constexpr int kInfoStatusInquiry = 8;         // inquiry to go TX/RX answered
inline constexpr int kInfoStatusNoClass = 9;         // window class not registered
inline constexpr int kInfoStatusConnected = 15;      // connected; also every slot change
inline constexpr int kInfoStatusDeviceInUse = 2190;  // ZUT_DeviceIDInUse arrived

// Called for every event with the event's index and text; reads iStatus and DeviceNumber from
// the client. The text is valid only during the call.
using InfoNotifyFunc = std::function<void(ExtInfoClient* client, int index, const char* text)>;

class ExtInfoClient {
 public:
  // Prepares an unconnected client: iStatus 3, mode 2, a no-op notification function and the
  // text buffer. A header version other than kExtInfoHeaderVersion shows the message box
  // "Header doesn't match library" and carries on.
  explicit ExtInfoClient(int header_version);
  // Closes the client if CloseClient has not been called.
  ~ExtInfoClient();
  ExtInfoClient(const ExtInfoClient&) = delete;
  ExtInfoClient& operator=(const ExtInfoClient&) = delete;

  void SetNotifyFunc(InfoNotifyFunc func);

  // Finds infodriver `device` by broadcast and creates the hidden client window. The extras are
  // kept only when a * c * d is non-zero. Returns (and leaves in iStatus) 15 connected, 9 window
  // class not registered, 5 no infodriver answered (or it refused the options), 4 device 0.
  // REQUIRES: not already connected.
  int ConnectToInfoDriver(int device, void* instance, int a, int b, int c, int d);

  // The infodriver's interface mode (ZUT_IDGETTXRXMODE); 0 when it does not answer.
  int GetTXRXMode();
  // Stores `mode` in Mode; for 1..3 asks the infodriver to take it (ZUT_IDSETTXRXMODE), for any
  // other value only asks for its mode. Returns the infodriver's answer.
  int SetTXRXMode(int mode);

  // Reads the text of `slot` into `buffer`, which always ends up zero-terminated (an empty text
  // when the infodriver does not answer). Returns the data call's result.
  // REQUIRES: `buffer` holds kSlotBufferSize bytes.
  int ReadSlot(int slot, char* buffer);
  // Formats a text (at most 511 characters) and sends it to slot |slot|: ZUT_SLOTWRITE2 for a
  // negative slot number, else ZUT_SLOTWRITE. Counts it in SentCount.
  void WriteSlot(int slot, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // As WriteSlot, but only when the slot's current text differs (exact comparison). Returns 1
  // when written, 0 when the slot already holds the text.
  int UpdateSlot(int slot, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Frees the text buffer and destroys the hidden window, which tells the infodriver the client
  // is leaving (ZUT_INFODETACH); the client then sends nothing more. Safe to call more than
  // once.
  void CloseClient();

  // The hidden window's procedure.
  plat::LResult Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l);

  // --- The client's fields (read by its user; Mode is also set by it). ---
  InfoNotifyFunc NotifyFunc;
  int32_t DeviceNumber = 0;
  // Filled in by the infodriver's ZUT_INFOHANDLE answer while connecting; 0 = none.
  plat::Hwnd InfoWindow = plat::kNoWindow;
  // Receives ZUT_TEXT texts; null after CloseClient.
  std::unique_ptr<char[]> TextBuffer;
  int32_t iStatus = kInfoStatusDisconnected;
  // The client's view of the infodriver's mode, with the markers 6 (change to TX/RX accepted)
  // and 7 (change to RX only accepted).
  int32_t Mode = 2;
  int32_t ExtraA = 0;
  int32_t ExtraB = 0;
  int32_t ExtraC = 0;
  int32_t ExtraD = 0;
  int32_t ExtrasFlag = 0;
  plat::Hwnd KapiWindow = plat::kNoWindow;
  plat::Hwnd OwnWindow = plat::kNoWindow;
  // Slot texts sent; slot change notifications received.
  int32_t SentCount = 0;
  int32_t ReceivedCount = 0;
  void* Instance = nullptr;

 private:
  // The work of window creation: find the infodriver, pass the options, find KAPI. False when
  // the window must not be kept.
  bool OnCreate(plat::Hwnd hwnd);
  // Sends `text` to slot |slot| (WriteSlot's second half).
  void SendSlotText(int slot, const char* text);
  plat::LResult ModeRequest(uint32_t msg);
  void Notify(int index, const char* text);
};

}  // namespace xarvel
