// The serial port channel: open a COM port by number, collect what it receives on a reader
// thread, tell a window that data has arrived, and write to the port.
//
// COM port n is "$KIRN_COMDIR/COM<n>" when KIRN_COMDIR is set, else "/dev/ttyS<n-1>". A port is
// opened for exclusive use: an exclusive flock is taken on the device, so a port that another
// process (or another open of this process) holds gives -2.
//
// Each open port has one reader thread. It waits for input with poll (an idle port costs no CPU),
// puts what it reads into the port's 16384-byte receive ring and posts WM_COMMNOTIFY to the notify
// window (wParam = port index, lParam = unread count << 16). At most one notification is
// outstanding per port: another is posted only after the window has read, after 100 ms (the
// earlier one is taken as lost) or when more than 8192 bytes are unread. The receiver calls
// Serial_Read until it returns 0.
//
// When the ring is full the reader thread stops taking bytes from the device until the window
// reads, so nothing already received is overwritten; the device's own buffer holds the rest.
//
// Every function except the reader thread's own work runs on the caller's (main) thread; the
// reader thread's only call into the platform is plat::PostMessage.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/window.h"

namespace xarvel {

inline constexpr int kSerialMaxPorts = 256;
// Data bytes of a port's receive ring; at most kSerialRingSize - 1 of them are unread at once.
inline constexpr int kSerialRingSize = 16384;
// Largest read the reader thread makes (its private buffer).
inline constexpr int kSerialReadBuffer = 256;
// Read size of a port from open until Serial_EnableNotify sets another.
inline constexpr int kSerialDefaultReadSize = 16;

// Stop-bit codes of Serial_OpenPort.
inline constexpr int ONESTOPBIT = 0;
inline constexpr int ONE5STOPBITS = 1;
inline constexpr int TWOSTOPBITS = 2;
// Parity codes of Serial_OpenPort.
inline constexpr int NOPARITY = 0;
inline constexpr int ODDPARITY = 1;
inline constexpr int EVENPARITY = 2;
inline constexpr int MARKPARITY = 3;
inline constexpr int SPACEPARITY = 4;

// Error flags returned by Serial_ClearError.
inline constexpr uint32_t CE_RXOVER = 0x0001;    // the receive ring was full (bytes held back)
inline constexpr uint32_t CE_OVERRUN = 0x0002;   // the device lost characters
inline constexpr uint32_t CE_RXPARITY = 0x0004;  // parity error
inline constexpr uint32_t CE_FRAME = 0x0008;     // framing error
inline constexpr uint32_t CE_BREAK = 0x0010;     // break received
inline constexpr uint32_t CE_IOE = 0x0400;       // a read from the device failed

// The status record that Serial_ClearError fills.
struct SerialStatus {
  // Bytes received and not yet read (the port's receive ring), -1 when the ring was busy.
  int32_t InQue = 0;
  // Bytes written and not yet sent by the device.
  int32_t OutQue = 0;
};

// A port's time-out settings in milliseconds. Only the write time-outs are used here: a write
// gives up after WriteTotalMultiplier * length + WriteTotalConstant ms. The read time-outs are
// kept with the port for completeness; the reader thread waits with poll instead.
struct SerialTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// Opens COM port `port` (1..256) with the given speed (baud), data bits (5..8), stop-bit code and
// parity code, raw (no line editing, no character translation). Returns the port index port - 1;
// -1 for a port number outside 1..256, a missing device, a device that is not a terminal or
// settings it refuses; -2 when the port is in use.
int Serial_OpenPort(int port, int speed, int data_bits, int stop_bits, int parity);

// Closes the port: stops its reader thread (waits at most 500 ms), discards unread input, closes
// the device and frees the ring. Index -1 closes nothing. Either way the port table is released
// when no port is open any more. Indexes of ports that are not open are ignored.
void Serial_ClosePort(int index);

// Sends WM_COMMNOTIFY to `window` from now on and makes the reader thread ask for `read_size`
// bytes per read (kept within 1..256). A negative size turns notification off and keeps the read
// size. Returns 1, or 0 for an index that names no open port.
int Serial_EnableNotify(int index, plat::Hwnd window, int read_size);

// Writes `length` bytes (the low 16 bits of it are used) and waits until the device has taken
// them, at most the write time-out. Returns the length on success; -1 when the write failed or
// timed out; -2 for an index that names no open port; -3 when no port is open at all.
int Serial_Write(int index, const void* bytes, int length);

// Copies up to `count` (at most 65535) received bytes into `buffer`, oldest first, and answers
// the outstanding notification. Returns the number copied; 0 when none, for a count of 0 or less,
// a bad index or without a port table.
int Serial_Read(int index, void* buffer, int count);

// Returns the error flags (CE_*) gathered since the last call and clears them; fills `status`
// (may be null). -1 for an index that names no open port.
int Serial_ClearError(int index, SerialStatus* status);

// True when the port's device has gone: its path no longer names the device that is open
// (removed, or replaced by another device, as when a USB adapter or a pseudo-terminal is
// unplugged and plugged in again). False for a port that is not open.
bool Serial_DeviceGone(int index);

// Process-wide state of the serial channel.
struct SerialState {
  // Millisecond tick count used for the notification rule; empty means the steady clock. Read by
  // reader threads: set it only while no port is open (tests).
  std::function<uint32_t()> Tick;
};
SerialState& Serial();
// Closes every open port and restores the start values (tests).
void ResetSerial();

// True while the port table exists (at least one port open).
bool Serial_TableAllocated();
// Number of reader threads that have not ended yet.
int Serial_ReaderThreadsRunning();

// The notification rule: an outstanding notification is taken as lost when 100 ms or more have
// passed since it was posted (correct across the 32-bit tick wrap) or when more than 8192 bytes
// are unread.
bool Serial_NotificationLapsed(uint32_t now, uint32_t last_posted, int unread);

}  // namespace xarvel
