// The emulator's event loop: TCP listeners and their client connections, pseudo-terminals for
// serial mode, and the operator console on standard input, all served by one poll() loop over
// one shared router state.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/mc1000-sim/controller.h"
#include "tools/mc1000-sim/router_state.h"
#include "tools/mc1000-sim/wire_log.h"

namespace mc1000sim {

// The console commands, as --help and the console's own "help" show them.
extern const char* const kConsoleHelp;

struct Options {
  std::vector<int> tcp_ports;              // 0 = any free port
  std::vector<std::string> tcp_addresses;  // one per port; empty = bind_address
  std::string bind_address = "127.0.0.1";  // dotted IPv4 address
  std::vector<std::string> pty_links;      // where to link each terminal's device
  Limits limits;
  ReplyFormat format;
  long baud = 0;      // line rate of the terminals; 0 = as fast as the terminal takes bytes
  long tcp_baud = 0;  // the same for TCP connections (a controller behind a serial converter)
  int xpt_ms = 0;     // time to execute one route command
  // How it answers refused routes, interrogates and destinations beyond the router.
  Behaviour behaviour;
  // Faults from the start, as the console's "silent on", "deaf on" and "chatter MS" set them.
  bool silent = false;
  bool deaf = false;
  int chatter_ms = 0;
};

// A byte on the emulated serial line: start bit, 8 data bits, stop bit (no parity).
constexpr int kBitsPerByte = 10;
constexpr long kMinBaud = 50;
constexpr long kMaxBaud = 4000000;
constexpr int kMaxXptMs = 10000;

// Limits that keep a misbehaving peer from exhausting the emulator.
constexpr size_t kMaxConnections = 64;        // TCP clients at once, all ports together
constexpr size_t kMaxPendingBytes = 1 << 20;  // queued output per connection
constexpr size_t kMaxConsoleLine = 1024;      // bytes of one console command
constexpr int kMaxDelayMs = 60000;            // "delay" and "stall"
constexpr int kMaxByteGapMs = 1000;           // "bytewise on GAP"
constexpr int kMinChatterMs = 1;              // "chatter MS"
constexpr int kMaxChatterMs = 60000;
constexpr int kPeerCheckMs = 100;       // how often an unwatched idle terminal is checked
constexpr int kMaxReadsPerWakeup = 16;  // 4 KiB reads from one connection per wake-up
// A paced connection holds at most this many received bytes that are still on the line, and a
// controller at most this many commands waiting for execution; beyond that it stops reading,
// and the peer's writes wait in the operating system as they would behind a full line.
constexpr size_t kMaxLineBacklog = 4096;
constexpr size_t kMaxQueuedCommands = 4096;

class Simulator {
 public:
  // `log` must outlive the simulator.
  Simulator(const Options& options, WireLog* log);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens every listener and terminal, then prints one line per endpoint on standard output
  // ("tcp ADDR:PORT", "pty LINK DEVICE") and "ready". Returns false with `error` set when an
  // endpoint cannot be opened.
  bool Open(std::string* error);

  // Serves until the console says "quit" or SIGTERM, SIGINT or SIGHUP arrives. End of input on
  // the console does not stop it. Returns the exit code.
  int Run();

 private:
  // Times are nanoseconds of the steady clock.
  struct Chunk {
    int64_t due = 0;  // its first byte does not go on the line before this time
    std::string bytes;
    std::string log;  // logged when the chunk is written; empty for all but a reply's last chunk
  };

  // A received byte and when its stop bit has come over the line.
  struct LineByte {
    int64_t at = 0;
    char byte = 0;
  };

  // A command taken off the line, waiting for the controller's command processor.
  struct Pending {
    uint64_t from = 0;  // Connection::id of the sender
    std::string name;   // the sender's name, for the log
    std::string text;   // with its terminator
    int64_t arrived = 0;
  };

  // One controller (a TCP port or a terminal): it executes its commands one after another, in
  // the order they arrived, whichever connection sent them.
  struct Processor {
    std::deque<Pending> queue;
    int64_t busy_until = 0;   // when the last executed command was done
    int64_t stall_until = 0;  // nothing is executed or sent before this time
  };

  struct Connection {
    uint64_t id = 0;
    bool pty = false;
    int fd = -1;
    size_t processor = 0;          // index into processors_
    int64_t byte_ns = 0;           // line time of one byte, both ways; 0 = not paced
    std::deque<LineByte> line_in;  // received, not yet through the line (paced only)
    int64_t rx_free = 0;           // when the line is free for the next received byte
    int64_t tx_free = 0;           // when the line is free for the next sent byte
    std::string name;              // "tcp:PORT#N" or "pty:DEVICE"
    int port = 0;                  // listener port (TCP)
    size_t listener = 0;           // index into listeners_ (TCP)
    std::string link;              // link path and device (terminal)
    std::string device;
    bool peer = true;           // terminal: some process has the device open
    bool open_watched = false;  // terminal: its device's openings are reported on opens_fd_
    bool dead = false;
    bool blocked = false;  // the last write could not take everything; waiting for POLLOUT
    CommandFramer framer;
    std::deque<Chunk> out;
    size_t pending = 0;
  };

  struct Listener {
    std::string address;  // dotted IPv4 address
    int port = 0;
    int fd = -1;        // -1 while refused
    bool deaf = false;  // "deaf on ADDR:PORT": this controller of a pair only
    std::string Name() const { return address + ":" + std::to_string(port); }
  };

  struct Faults {
    bool silent = false;
    // Commands are taken off the line but never executed or answered (a hung command
    // processor); front-panel reports go on.
    bool deaf = false;
    int delay_ms = 0;
    long drop = 0;
    // The next N route commands are taken and neither executed nor reported.
    long swallow = 0;
    // A front-panel route report to every connection every chatter_ms (0: none), on the given
    // crosspoint (level 0: rotating over every level and destination).
    int chatter_ms = 0;
    char chatter_level = 0;
    int chatter_dest = 0;
    int64_t chatter_next = 0;
    long chatter_seq = 0;
    bool lf = false;
    bool bytewise = false;
    int byte_gap_ms = 1;
  };

  int64_t Now() const;
  bool OpenListener(Listener* l, std::string* error);
  bool OpenPty(const std::string& link, std::string* error);
  void Accept(Listener* l);
  // True while `c` may read more: its line and its controller have room.
  bool CanTake(const Connection& c) const;
  void Receive(Connection* c);
  // Hands the bytes whose time on the line is over to the command framer.
  void TakeFromLine(Connection* c, int64_t now);
  void Frame(Connection* c, std::string_view bytes, int64_t at);
  void Handle(Connection* c, const CommandFramer::Item& item, int64_t at);
  // True when `c`'s controller takes commands but does not carry them out.
  bool Deaf(const Connection& c) const;
  // Sends the front-panel reports of "chatter" that are due.
  void Chatter(int64_t now);
  // When `c`'s controller is stalled until (0: not stalled).
  int64_t StallUntil(const Connection& c) const { return processors_[c.processor].stall_until; }
  // When the head of `p`'s queue is done (its execution time after its arrival, the end of the
  // command before it and the end of a stall).
  int64_t DueAt(const Processor& p) const;
  void Process(int64_t now);
  Connection* Find(uint64_t id);
  // Queues `bytes` for `c` with the current faults applied, as sent at time `at` (-1: now);
  // `silent_applies` is false only for injected noise, which is line trouble rather than the
  // controller speaking.
  void Send(Connection* c, const std::string& bytes, bool silent_applies = true, int64_t at = -1);
  void SendAll(const std::string& bytes, bool silent_applies = true, int64_t at = -1);
  // When `k`, the head of `c`'s output, has gone through the line and is written.
  int64_t WriteTime(const Connection& c, const Chunk& k) const;
  void Flush(Connection* c);
  void Close(Connection* c, const std::string& why);
  void CheckPeers();
  // Reports each opening of `c`'s terminal device on opens_fd_, so that a peer is served from
  // the moment it opens the line, as on a real serial line; false where that cannot be done.
  bool WatchOpenings(const Connection& c);
  void DrainOpenings();
  // Nanoseconds until the next timed event, or -1 for none.
  int64_t Timeout() const;
  void Reap();

  void ReadConsole();
  void Console(const std::string& line);
  void Answer(const std::string& text);
  void Status();
  // The listeners that `text` names: "ADDR:PORT" names one, "PORT" every listener on that port.
  std::vector<Listener*> FindListeners(const std::string& text);
  // "dump L [FROM [TO]]": the sources feeding destinations FROM..TO of level L, on one line.
  void Dump(const std::vector<std::string>& words);

  Options options_;
  Behaviour behaviour_;
  WireLog* log_;
  RouterState state_;
  Faults faults_;
  // The source last commanded for each crosspoint (level letter * 65536 + destination), so
  // that chatter never reports one by chance.
  std::map<long, int> commanded_;
  std::vector<Listener> listeners_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::vector<Processor> processors_;  // one per listener, then one per terminal
  int opens_fd_ = -1;                  // inotify: the terminals' devices being opened
  uint64_t next_id_ = 0;
  int accepted_ = 0;
  bool console_open_ = true;
  std::string console_buffer_;
  bool console_overlong_ = false;
  bool quit_ = false;
};

}  // namespace mc1000sim
