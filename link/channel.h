// A controller channel as the link supervisor sees it: one table of operations that each
// transport fills (the serial port in link/serial.cpp, a TCP connection in link/sockspawn.cpp),
// and one instance per controller (A, or A and B of a redundant pair). The supervisor
// (link/comsup.cpp) calls only through the table; a new transport fills a table of its own.
//
// Everything runs on the main thread. Events come back on it too: a TCP connection's through
// `on_event`, from its socket's notifications; a serial port's "bytes waiting" as the serial
// notification message to `window`, which the main window hands to ComSup_ReadComm. Closes are
// synchronous: a TCP connection reports its close inside `close` (see link/sockspawn.h).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "link/link_counters.h"
#include "link/sockspawn.h"
#include "platform/window.h"

namespace xarvel {

struct Channel;

// What a channel reports.
enum class ChannelEvent : int {
  kConnected,      // a connection attempt succeeded
  kConnectFailed,  // a connection attempt failed (error: its code); the channel is closed
  kClosed,         // the connection closed (by the peer, or by `close` itself)
  kReadable,       // bytes wait to be read (error: non-zero when the read event itself failed)
};

struct ChannelOps {
  // Opens the channel with its settings below. A serial port opens at once: the result is the
  // port index, negative when it cannot be opened. A TCP connection starts: the result is the
  // socket's, the outcome comes back as kConnected or kConnectFailed.
  int (*open)(Channel& c);
  // Reports the channel's events from now on; 1 when it could, else 0.
  int (*listen)(Channel& c);
  // Closes the channel; what it reports is reported before this returns.
  void (*close)(Channel& c);
  // Writes `length` bytes: the count taken, 0 or less when the write failed.
  int (*write)(Channel& c, const char* bytes, int length);
  // Takes up to `size` received bytes: the count, 0 when none wait, negative on a read error.
  int (*read)(Channel& c, unsigned char* buffer, int size);
  // Clears the channel's error flags after a failed write or a read.
  void (*clear_error)(Channel& c);
  // True when the device behind an open channel has gone (a serial adapter unplugged).
  bool (*gone)(Channel& c);
  // A failed write is the channel's own verdict (a serial line: the command is not counted as
  // sent, and a device that has gone is opened again); otherwise the reply timeout judges it.
  bool write_fails;
};

// The serial port's and a TCP connection's operations.
extern const ChannelOps kSerialChannelOps;
extern const ChannelOps kTcpChannelOps;

struct Channel {
  const ChannelOps* ops = nullptr;
  // Which controller this is (1 = A, 2 = B), and the counters' name of it.
  int self = 1;
  LinkChannel counted_as = kChannelSerial;
  // Settings for `open`: a TCP connection's address and port; a serial port's number, line
  // settings and the window its notifications go to.
  std::string address;
  int port = 0;
  int com = 0;
  int speed = 0;
  int data_bits = 8;
  int parity = 0;
  plat::Hwnd window = plat::kNoWindow;
  // Where the events go (TCP).
  std::function<void(Channel& c, ChannelEvent event, int error)> on_event;
  // The transport's handle: the serial port index (negative when none is open), the socket.
  int handle = -1;
  std::unique_ptr<SockSpawn> socket;
};

}  // namespace xarvel
