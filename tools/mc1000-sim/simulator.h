// The emulator's event loop: TCP listeners and their client connections, pseudo-terminals for
// serial mode, and the operator console on standard input, all served by one poll() loop over
// one shared router state.
#pragma once

#include <cstdint>
#include <deque>
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
  std::string bind_address = "127.0.0.1";  // dotted IPv4 address
  std::vector<std::string> pty_links;      // where to link each terminal's device
  Limits limits;
  ReplyFormat format;
};

// Limits that keep a misbehaving peer from exhausting the emulator.
constexpr size_t kMaxConnections = 64;        // TCP clients at once, all ports together
constexpr size_t kMaxPendingBytes = 1 << 20;  // queued output per connection
constexpr size_t kMaxConsoleLine = 1024;      // bytes of one console command
constexpr int kMaxDelayMs = 60000;            // "delay"
constexpr int kMaxByteGapMs = 1000;           // "bytewise on GAP"
constexpr int kPeerCheckMs = 100;             // how often a terminal without peer is checked
constexpr int kMaxReadsPerWakeup = 16;        // 4 KiB reads from one connection per wake-up

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
  struct Chunk {
    int64_t due_ms = 0;  // not written before this time
    std::string bytes;
    std::string log;  // logged when the chunk is written; empty for all but a reply's last chunk
  };

  struct Connection {
    bool pty = false;
    int fd = -1;
    std::string name;  // "tcp:PORT#N" or "pty:DEVICE"
    int port = 0;      // listener port (TCP)
    std::string link;  // link path and device (terminal)
    std::string device;
    bool peer = true;  // terminal: some process has the device open
    bool dead = false;
    bool blocked = false;  // the last write could not take everything; waiting for POLLOUT
    CommandFramer framer;
    std::deque<Chunk> out;
    size_t pending = 0;
  };

  struct Listener {
    int port = 0;
    int fd = -1;  // -1 while refused
  };

  struct Faults {
    bool silent = false;
    int delay_ms = 0;
    long drop = 0;
    bool lf = false;
    bool bytewise = false;
    int byte_gap_ms = 1;
  };

  int64_t Now() const;
  bool OpenListener(Listener* l, std::string* error);
  bool OpenPty(const std::string& link, std::string* error);
  void Accept(Listener* l);
  void Receive(Connection* c);
  void Handle(Connection* c, const CommandFramer::Item& item);
  // Queues `bytes` for `c` with the current faults applied; `silent_applies` is false only for
  // injected noise, which is line trouble rather than the controller speaking.
  void Send(Connection* c, const std::string& bytes, bool silent_applies = true);
  void SendAll(const std::string& bytes, bool silent_applies = true);
  void Flush(Connection* c);
  void Close(Connection* c, const std::string& why);
  void CheckPeers();
  int Timeout() const;
  void Reap();

  void ReadConsole();
  void Console(const std::string& line);
  void Answer(const std::string& text);
  void Status();
  Listener* FindListener(const std::string& port_text);

  Options options_;
  WireLog* log_;
  RouterState state_;
  Faults faults_;
  std::vector<Listener> listeners_;
  std::vector<std::unique_ptr<Connection>> connections_;
  int accepted_ = 0;
  bool console_open_ = true;
  std::string console_buffer_;
  bool console_overlong_ = false;
  bool quit_ = false;
};

}  // namespace mc1000sim
