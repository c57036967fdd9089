#include "tools/mc1000-sim/simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace mc1000sim {

const char* const kConsoleHelp =
    "console commands (standard input, one a line; each is answered 'ok ...' or 'error: ...'\n"
    "on standard output):\n"
    "  silent on|off          execute commands but send nothing back\n"
    "  delay MS               hold every outgoing reply MS milliseconds (0..60000, 0 = off)\n"
    "  drop N                 ignore the next N received commands: no effect, no reply\n"
    "  deaf on|off [PORT]     take commands but never execute or answer them (a hung command\n"
    "                         processor; front-panel reports and 'route' go on); with PORT or\n"
    "                         ADDR:PORT only that controller of a pair\n"
    "  swallow N              take the next N route commands and neither execute nor report\n"
    "                         them (other commands are answered as usual)\n"
    "  chatter MS [L DEST]    every MS ms a front-panel route report to every connection, of\n"
    "                         crosspoint L DEST or of every crosspoint in turn, with a source\n"
    "                         other than the one last commanded there (0 = stop)\n"
    "  close PORT|all         close the client connections of TCP port PORT (every address\n"
    "                         listening on it, or only ADDR:PORT), or all of them\n"
    "  refuse PORT on|off     stop listening on PORT or ADDR:PORT (connects are refused) /\n"
    "                         listen again\n"
    "  noise [TEXT]           send TEXT (default '~noise~\\r'; escapes \\r \\n \\t \\\\ \\xHH)\n"
    "                         to every connection; it must not contain a full stop\n"
    "  lf on|off              send a line feed after every carriage return\n"
    "  bytewise on [GAP]|off  write byte by byte, GAP ms apart (default 1, at most 1000)\n"
    "  stall MS [PORT]        stop executing and answering for MS milliseconds (0..60000,\n"
    "                         0 = end a stall now), then execute and answer, in order,\n"
    "                         everything that came meanwhile; with PORT or ADDR:PORT only\n"
    "                         that controller of a pair\n"
    "  refuse-with report|ack|none\n"
    "                         how a refused route (to a locked destination, from a source\n"
    "                         beyond --sources) is answered: the unchanged crosspoint\n"
    "                         .U<L><dest>,<src>, the bare acknowledgement .A, or nothing\n"
    "  route L DEST SRC       front-panel route: store it and report it to every connection\n"
    "  lock DEST STATUS       front-panel lock change (STATUS 0..255), reported to every\n"
    "                         connection\n"
    "  status                 print the endpoints, the faults and a summary of the state\n"
    "  dump L [FROM [TO]]     print 'dump L FROM TO' and the source feeding each destination\n"
    "                         FROM..TO of level L (default all), on one line\n"
    "  help                   print this list\n"
    "  quit                   stop (exit 0)\n";

namespace {

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
  g_stop = 1;
}

bool ParseLong(const std::string& text, long min, long max, long* out) {
  if (text.empty() || text.size() > 12) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseSwitch(const std::string& text, bool* out) {
  if (text == "on") {
    *out = true;
    return true;
  }
  if (text == "off") {
    *out = false;
    return true;
  }
  return false;
}

const char* OnOff(bool b) {
  return b ? "on" : "off";
}

// Undoes the escapes the console accepts in noise text. Returns false on a bad escape.
bool Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out->push_back(text[i]);
      continue;
    }
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case 'r':
        out->push_back('\r');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 't':
        out->push_back('\t');
        break;
      case '\\':
        out->push_back('\\');
        break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        const std::string hex = text.substr(i + 1, 2);
        if (!std::isxdigit(static_cast<unsigned char>(hex[0])) ||
            !std::isxdigit(static_cast<unsigned char>(hex[1]))) {
          return false;
        }
        out->push_back(static_cast<char>(std::strtol(hex.c_str(), nullptr, 16)));
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

bool PeerPresent(int master) {
  pollfd p{master, POLLIN, 0};
  if (::poll(&p, 1, 0) < 0) return true;  // cannot tell; keep serving
  return (p.revents & POLLHUP) == 0;
}

std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

constexpr int64_t kNsPerMs = 1000000;

// Line time of one byte at `baud`, rounded up so that the emulated line is never faster.
int64_t ByteTime(long baud) {
  if (baud <= 0) return 0;
  const int64_t bit_ns = int64_t{1000000000} * kBitsPerByte;
  return (bit_ns + baud - 1) / baud;
}

}  // namespace

Simulator::Simulator(const Options& options, WireLog* log)
    : options_(options), behaviour_(options.behaviour), log_(log), state_(options.limits) {
  faults_.silent = options.silent;
  faults_.deaf = options.deaf;
  faults_.chatter_ms = options.chatter_ms;
  faults_.chatter_next = Now() + static_cast<int64_t>(options.chatter_ms) * kNsPerMs;
}

Simulator::~Simulator() {
  for (auto& c : connections_) {
    if (c->fd >= 0) ::close(c->fd);
    if (c->pty) {
      // Remove the link only while it still names this emulator's terminal.
      char target[PATH_MAX];
      const ssize_t n = ::readlink(c->link.c_str(), target, sizeof target - 1);
      if (n > 0 && std::string(target, static_cast<size_t>(n)) == c->device) {
        ::unlink(c->link.c_str());
      }
    }
  }
  for (auto& l : listeners_) {
    if (l.fd >= 0) ::close(l.fd);
  }
  if (opens_fd_ >= 0) ::close(opens_fd_);
}

int64_t Simulator::Now() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool Simulator::OpenListener(Listener* l, std::string* error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = ErrnoText("socket");
    return false;
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(l->port));
  ::inet_pton(AF_INET, l->address.c_str(), &addr.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    *error = ErrnoText(("cannot listen on " + l->Name()).c_str());
    ::close(fd);
    return false;
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  l->port = ntohs(addr.sin_port);
  l->fd = fd;
  return true;
}

bool Simulator::OpenPty(const std::string& link, std::string* error) {
  struct stat st {};
  if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    *error = link + " exists and is not a symbolic link; not replacing it";
    return false;
  }
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    *error = ErrnoText("posix_openpt");
    return false;
  }
  char device[128];
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, device, sizeof device) != 0) {
    *error = ErrnoText("pseudo-terminal set-up");
    ::close(master);
    return false;
  }
  // A serial line carries bytes unchanged: no echo, no CR/LF translation, no line editing. The
  // settings stay with the terminal after this descriptor is closed.
  const int slave = ::open(device, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    *error = ErrnoText(device);
    ::close(master);
    return false;
  }
  termios t{};
  if (::tcgetattr(slave, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
  }
  ::close(slave);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

  // Replace a stale link atomically: link beside it, then rename over it.
  const std::string temp = link + ".mc1000-sim." + std::to_string(::getpid());
  ::unlink(temp.c_str());
  if (::symlink(device, temp.c_str()) != 0 || ::rename(temp.c_str(), link.c_str()) != 0) {
    *error = ErrnoText(("cannot link " + link).c_str());
    ::unlink(temp.c_str());
    ::close(master);
    return false;
  }
  auto c = std::make_unique<Connection>();
  c->id = ++next_id_;
  c->pty = true;
  c->fd = master;
  c->processor = listeners_.size() +
                 static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                                   [](const auto& other) { return other->pty; }));
  c->byte_ns = ByteTime(options_.baud);
  c->link = link;
  c->device = device;
  c->name = std::string("pty:") + device;
  c->peer = PeerPresent(master);
  c->open_watched = WatchOpenings(*c);
  connections_.push_back(std::move(c));
  return true;
}

bool Simulator::WatchOpenings(const Connection& c) {
  if (opens_fd_ < 0) opens_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  return opens_fd_ >= 0 && ::inotify_add_watch(opens_fd_, c.device.c_str(), IN_OPEN) >= 0;
}

void Simulator::DrainOpenings() {
  // Which terminal was opened does not matter: CheckPeers looks at every one.
  alignas(inotify_event) char buffer[4096];
  while (::read(opens_fd_, buffer, sizeof buffer) > 0) {
  }
}

bool Simulator::Open(std::string* error) {
  for (size_t i = 0; i < options_.tcp_ports.size(); ++i) {
    Listener l;
    l.port = options_.tcp_ports[i];
    l.address = i < options_.tcp_addresses.size() && !options_.tcp_addresses[i].empty()
                    ? options_.tcp_addresses[i]
                    : options_.bind_address;
    if (!OpenListener(&l, error)) return false;
    listeners_.push_back(l);
  }
  processors_.resize(listeners_.size() + options_.pty_links.size());
  for (const std::string& link : options_.pty_links) {
    if (!OpenPty(link, error)) return false;
  }
  for (const Listener& l : listeners_) {
    std::printf("tcp %s\n", l.Name().c_str());
  }
  for (const auto& c : connections_) {
    if (c->pty) std::printf("pty %s %s\n", c->link.c_str(), c->device.c_str());
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return true;
}

void Simulator::Accept(Listener* l) {
  for (;;) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd =
        ::accept4(l->fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: nothing more waiting; other errors: the client gave up meanwhile
    }
    char address[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    const std::string from = std::string(address) + ":" + std::to_string(ntohs(peer.sin_port));
    const size_t tcp_count =
        static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                          [](const auto& c) { return !c->pty && !c->dead; }));
    if (tcp_count >= kMaxConnections) {
      log_->Line("refused tcp:" + std::to_string(l->port) + " from " + from +
                 ": too many connections");
      ::close(fd);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Connection>();
    c->id = ++next_id_;
    c->fd = fd;
    c->port = l->port;
    c->listener = static_cast<size_t>(l - listeners_.data());
    c->processor = static_cast<size_t>(l - listeners_.data());
    c->byte_ns = ByteTime(options_.tcp_baud);
    c->name = "tcp:" + std::to_string(l->port) + "#" + std::to_string(++accepted_);
    log_->Line("accept " + c->name + " from " + from);
    connections_.push_back(std::move(c));
  }
}

void Simulator::Close(Connection* c, const std::string& why) {
  if (c->dead) return;
  log_->Line("close " + c->name + ": " + why);
  c->dead = true;
  ::close(c->fd);
  c->fd = -1;
  c->out.clear();
  c->pending = 0;
  c->line_in.clear();
}

bool Simulator::CanTake(const Connection& c) const {
  return c.line_in.size() < kMaxLineBacklog &&
         processors_[c.processor].queue.size() < kMaxQueuedCommands;
}

void Simulator::Receive(Connection* c) {
  char buffer[4096];
  // A bounded number of reads per wake-up, so one flooding client cannot starve the others;
  // poll() reports the rest at once. A paced line reads no more than its backlog has room for
  // (the caller reads past a full backlog only to see a hang-up, which ends the reading).
  for (int reads = 0; reads < kMaxReadsPerWakeup; ++reads) {
    size_t room = sizeof buffer;
    if (c->byte_ns > 0 && c->line_in.size() < kMaxLineBacklog) {
      room = std::min(room, kMaxLineBacklog - c->line_in.size());
    }
    if (reads > 0 && !CanTake(*c)) return;
    const ssize_t n = c->pty ? ::read(c->fd, buffer, room) : ::recv(c->fd, buffer, room, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      if (c->pty) {
        // EIO: the last process holding the device closed it.
        if (c->peer) log_->Line(c->name + " closed by its peer");
        c->peer = false;
        c->blocked = false;
      } else {
        Close(c, n == 0 ? "closed by the peer" : ErrnoText("receive"));
      }
      return;
    }
    const int64_t now = Now();
    if (c->byte_ns == 0) {
      Frame(c, std::string_view(buffer, static_cast<size_t>(n)), now);
      continue;
    }
    // Each byte takes its line time after the one before it, or after now on an idle line.
    for (ssize_t i = 0; i < n; ++i) {
      c->rx_free = std::max(c->rx_free, now) + c->byte_ns;
      c->line_in.push_back(LineByte{c->rx_free, buffer[i]});
    }
  }
}

void Simulator::TakeFromLine(Connection* c, int64_t now) {
  // Byte by byte, so each command is stamped with the time its terminator arrived.
  while (!c->dead && !c->line_in.empty() && c->line_in.front().at <= now) {
    const LineByte b = c->line_in.front();
    c->line_in.pop_front();
    Frame(c, std::string_view(&b.byte, 1), b.at);
  }
}

void Simulator::Frame(Connection* c, std::string_view bytes, int64_t at) {
  std::vector<CommandFramer::Item> items;
  c->framer.Feed(bytes, &items);
  for (const auto& item : items) Handle(c, item, at);
}

void Simulator::Handle(Connection* c, const CommandFramer::Item& item, int64_t at) {
  if (!item.command) {
    log_->Line("rx " + c->name + " " + Escape(item.text) +
               (item.length > item.text.size() ? "..." : "") + " ignored (" +
               std::to_string(item.length) + " bytes outside a command)");
    return;
  }
  const std::string shown = "rx " + c->name + " " + Escape(item.text);
  if (faults_.drop > 0) {
    --faults_.drop;
    log_->Line(shown + " dropped (" + std::to_string(faults_.drop) + " more to drop)");
    return;
  }
  std::string_view command(item.text);
  command.remove_suffix(1);  // the terminator
  const bool route = IsRoute(state_, command);
  if (route) {
    // ".S<L><dest>,<src>": remembered so that chatter never reports the commanded source.
    const size_t comma = command.find(',');
    commanded_[command[2] * 65536L + std::atol(std::string(command.substr(3)).c_str())] =
        std::atoi(std::string(command.substr(comma + 1)).c_str());
  }
  if (Deaf(*c)) {
    log_->Line(shown + " taken (deaf)");
    return;
  }
  if (route && faults_.swallow > 0) {
    --faults_.swallow;
    log_->Line(shown + " swallowed (" + std::to_string(faults_.swallow) + " more to swallow)");
    return;
  }
  processors_[c->processor].queue.push_back(Pending{c->id, c->name, item.text, at});
}

bool Simulator::Deaf(const Connection& c) const {
  return faults_.deaf || (!c.pty && listeners_[c.listener].deaf);
}

void Simulator::Chatter(int64_t now) {
  if (faults_.chatter_ms <= 0) return;
  const Limits& limits = state_.limits();
  while (faults_.chatter_next <= now) {
    faults_.chatter_next += static_cast<int64_t>(faults_.chatter_ms) * kNsPerMs;
    char level = faults_.chatter_level;
    int dest = faults_.chatter_dest;
    if (level == 0) {
      const long n = faults_.chatter_seq++;
      level = static_cast<char>('A' + (n / limits.dests) % limits.levels);
      dest = static_cast<int>(n % limits.dests) + 1;
    }
    // The next source after the one routed now that is not the one last commanded.
    const auto commanded = commanded_.find(level * 65536L + dest);
    int source = state_.Tally(level, dest);
    for (int k = 0; k < 3; ++k) {
      source = source >= limits.sources ? 0 : source + 1;
      if (commanded == commanded_.end() || commanded->second != source) break;
    }
    state_.SetTally(level, dest, source);
    log_->Line(std::string("chatter route ") + level + " " + std::to_string(dest) + " " +
               std::to_string(source));
    SendAll(RouteReport(level, dest, source, options_.format), true, now);
    // A long pause (a stopped process) does not make up for the reports it missed.
    if (faults_.chatter_next < now) faults_.chatter_next = now;
  }
}

int64_t Simulator::DueAt(const Processor& p) const {
  const Pending& head = p.queue.front();
  std::string_view command(head.text);
  command.remove_suffix(1);  // the terminator
  // Only a route switches a crosspoint; interrogates, locks and names read or write a table.
  const int64_t cost = IsRoute(state_, command) ? options_.xpt_ms * kNsPerMs : 0;
  return std::max({head.arrived, p.busy_until, p.stall_until}) + cost;
}

Simulator::Connection* Simulator::Find(uint64_t id) {
  for (auto& c : connections_) {
    if (c->id == id) return c->dead ? nullptr : c.get();
  }
  return nullptr;
}

void Simulator::Process(int64_t now) {
  for (Processor& p : processors_) {
    while (!p.queue.empty() && !quit_) {
      const int64_t due = DueAt(p);
      if (due > now) break;
      const Pending head = std::move(p.queue.front());
      p.queue.pop_front();
      p.busy_until = due;
      std::string_view command(head.text);
      command.remove_suffix(1);
      const Outcome o = Execute(state_, command, options_.format, behaviour_);
      log_->Line("rx " + head.name + " " + Escape(head.text) + " " + o.note);
      // A command is carried out even when its sender has gone; only its answer is lost.
      Connection* sender = Find(head.from);
      if (!o.to_sender.empty() && sender != nullptr) Send(sender, o.to_sender, true, due);
      if (!o.to_all.empty()) SendAll(o.to_all, true, due);
    }
  }
}

void Simulator::Send(Connection* c, const std::string& bytes, bool silent_applies, int64_t at) {
  if (c->dead) return;
  if (silent_applies && faults_.silent) {
    log_->Line("tx " + c->name + " " + Escape(bytes) + " suppressed (silent)");
    return;
  }
  std::string wire;
  for (const char ch : bytes) {
    wire.push_back(ch);
    if (ch == '\r' && faults_.lf) wire.push_back('\n');
  }
  if (c->pending + wire.size() > kMaxPendingBytes) {
    if (!c->pty) {
      Close(c, "the peer does not read; more than " + std::to_string(kMaxPendingBytes) +
                   " bytes waiting");
      return;
    }
    log_->Line(c->name + ": the peer does not read; " + std::to_string(c->pending) +
               " waiting bytes discarded");
    c->out.clear();
    c->pending = 0;
  }
  int64_t due = (at < 0 ? Now() : at) + faults_.delay_ms * kNsPerMs;
  if (!c->out.empty()) due = std::max(due, c->out.back().due);
  if (faults_.bytewise) {
    for (size_t i = 0; i < wire.size(); ++i) {
      Chunk k;
      k.due = due + static_cast<int64_t>(i) * faults_.byte_gap_ms * kNsPerMs;
      k.bytes.assign(1, wire[i]);
      c->out.push_back(std::move(k));
    }
  } else {
    Chunk k;
    k.due = due;
    k.bytes = wire;
    c->out.push_back(std::move(k));
  }
  c->out.back().log = Escape(wire);
  c->pending += wire.size();
  Flush(c);
}

void Simulator::SendAll(const std::string& bytes, bool silent_applies, int64_t at) {
  for (auto& c : connections_) Send(c.get(), bytes, silent_applies, at);
}

int64_t Simulator::WriteTime(const Connection& c, const Chunk& k) const {
  // A paced chunk is written when its last byte has come through the line: a reader cannot
  // act on a reply before its carriage return anyway, and one write per reply keeps it cheap.
  return std::max({k.due, c.tx_free, StallUntil(c)}) +
         static_cast<int64_t>(k.bytes.size()) * c.byte_ns;
}

void Simulator::Flush(Connection* c) {
  const int64_t now = Now();
  while (!c->dead && !c->out.empty() && !c->blocked) {
    Chunk& k = c->out.front();
    const int64_t write_time = WriteTime(*c, k);
    if (write_time > now) break;
    if (c->pty && !c->peer && PeerPresent(c->fd)) {
      c->peer = true;
      log_->Line(c->name + " opened by a peer");
    }
    if (c->pty && !c->peer) {
      // Like a serial line with nothing plugged in: the bytes are lost.
      if (!k.log.empty()) {
        log_->Line("tx " + c->name + " " + k.log + " lost (nobody has the terminal open)");
      }
      c->pending -= k.bytes.size();
      c->tx_free = write_time;
      c->out.pop_front();
      continue;
    }
    const ssize_t n = c->pty ? ::write(c->fd, k.bytes.data(), k.bytes.size())
                             : ::send(c->fd, k.bytes.data(), k.bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        c->blocked = true;
        break;
      }
      if (c->pty) {
        if (c->peer) log_->Line(c->name + " closed by its peer");
        c->peer = false;
        continue;
      }
      Close(c, ErrnoText("send"));
      return;
    }
    c->pending -= static_cast<size_t>(n);
    if (static_cast<size_t>(n) < k.bytes.size()) {
      // The rest waits for the peer to read; its line time has been spent already.
      k.bytes.erase(0, static_cast<size_t>(n));
      k.due = write_time - static_cast<int64_t>(k.bytes.size()) * c->byte_ns;
      c->blocked = true;
      break;
    }
    if (!k.log.empty()) log_->Line("tx " + c->name + " " + k.log);
    c->tx_free = write_time;
    c->out.pop_front();
  }
}

void Simulator::CheckPeers() {
  for (auto& c : connections_) {
    if (!c->pty || c->peer) continue;
    if (PeerPresent(c->fd)) {
      c->peer = true;
      log_->Line(c->name + " opened by a peer");
    }
  }
}

int64_t Simulator::Timeout() const {
  int64_t wait = -1;
  const int64_t now = Now();
  auto until = [&wait, now](int64_t at) {
    const int64_t w = std::max<int64_t>(0, at - now);
    wait = wait < 0 ? w : std::min(wait, w);
  };
  for (const auto& c : connections_) {
    if (c->dead) continue;
    if (c->pty && !c->peer && !c->open_watched) until(now + kPeerCheckMs * kNsPerMs);
    if (!c->out.empty() && !c->blocked) until(WriteTime(*c, c->out.front()));
    if (!c->line_in.empty()) {
      // Wake when the next command is complete (or the backlog, if it holds none, is through):
      // bytes before a terminator change nothing on their own.
      const auto end = std::find_if(c->line_in.begin(), c->line_in.end(), [](const LineByte& b) {
        return b.byte == '\r' || b.byte == '\n';
      });
      until(end == c->line_in.end() ? c->line_in.back().at : end->at);
    }
  }
  for (const Processor& p : processors_) {
    if (!p.queue.empty()) until(DueAt(p));
  }
  if (faults_.chatter_ms > 0) until(faults_.chatter_next);
  return wait;
}

void Simulator::Reap() {
  std::erase_if(connections_, [](const auto& c) { return c->dead; });
}

int Simulator::Run() {
  sigset_t stop_signals;
  sigset_t serving_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGHUP);
  // The stop signals are only let through while waiting in ppoll, so none is missed between the
  // check of the flag and the wait.
  sigprocmask(SIG_BLOCK, &stop_signals, &serving_mask);
  // Whatever mask was inherited, the stop signals get through while waiting.
  sigdelset(&serving_mask, SIGTERM);
  sigdelset(&serving_mask, SIGINT);
  sigdelset(&serving_mask, SIGHUP);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  enum class Kind { kConsole, kListener, kConnection, kOpenings };
  struct Source {
    Kind kind;
    size_t index;
  };
  std::vector<pollfd> fds;
  std::vector<Source> sources;
  while (!quit_ && g_stop == 0) {
    fds.clear();
    sources.clear();
    for (size_t i = 0; i < listeners_.size(); ++i) {
      if (listeners_[i].fd < 0) continue;
      fds.push_back({listeners_[i].fd, POLLIN, 0});
      sources.push_back({Kind::kListener, i});
    }
    for (size_t i = 0; i < connections_.size(); ++i) {
      const Connection& c = *connections_[i];
      if (c.dead || (c.pty && !c.peer)) continue;
      const short events =
          static_cast<short>((CanTake(c) ? POLLIN : 0) | (c.blocked ? POLLOUT : 0));
      fds.push_back({c.fd, events, 0});
      sources.push_back({Kind::kConnection, i});
    }
    if (console_open_) {
      fds.push_back({0, POLLIN, 0});
      sources.push_back({Kind::kConsole, 0});
    }
    if (opens_fd_ >= 0) {
      fds.push_back({opens_fd_, POLLIN, 0});
      sources.push_back({Kind::kOpenings, 0});
    }
    const int64_t wait = Timeout();
    timespec ts{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
    const int r = ::ppoll(fds.data(), fds.size(), wait < 0 ? nullptr : &ts, &serving_mask);
    if (r < 0 && errno != EINTR) {
      log_->Line(ErrnoText("poll"));
      return 1;
    }
    for (size_t i = 0; r > 0 && i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      const Source s = sources[i];
      switch (s.kind) {
        case Kind::kListener:
          if (listeners_[s.index].fd >= 0) Accept(&listeners_[s.index]);
          break;
        case Kind::kConnection: {
          Connection* c = connections_[s.index].get();
          if (c->dead) break;
          if (fds[i].revents & POLLOUT) {
            c->blocked = false;
            Flush(c);
          }
          if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) Receive(c);
          break;
        }
        case Kind::kConsole:
          ReadConsole();
          break;
        case Kind::kOpenings:
          DrainOpenings();  // CheckPeers below serves the terminal that was opened
          break;
      }
      if (quit_) break;
    }
    CheckPeers();
    const int64_t now = Now();
    for (auto& c : connections_) TakeFromLine(c.get(), now);
    Process(now);
    Chatter(now);
    for (auto& c : connections_) Flush(c.get());
    Reap();
  }
  if (g_stop != 0) log_->Line("stopped by signal");
  return 0;
}

void Simulator::ReadConsole() {
  char buffer[1024];
  const ssize_t n = ::read(0, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    // No more operator input; keep serving until a signal or a client ends the run.
    if (!console_buffer_.empty() && !console_overlong_) Console(console_buffer_);
    console_buffer_.clear();
    console_open_ = false;
    log_->Line("console input ended; serving until terminated");
    return;
  }
  for (ssize_t i = 0; i < n && !quit_; ++i) {
    const char ch = buffer[i];
    if (ch == '\n') {
      if (console_overlong_) {
        Answer("error: console line longer than " + std::to_string(kMaxConsoleLine) + " bytes");
      } else {
        Console(console_buffer_);
      }
      console_buffer_.clear();
      console_overlong_ = false;
    } else if (console_buffer_.size() < kMaxConsoleLine) {
      console_buffer_.push_back(ch);
    } else {
      console_overlong_ = true;
    }
  }
}

void Simulator::Answer(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

std::vector<Simulator::Listener*> Simulator::FindListeners(const std::string& text) {
  std::vector<Listener*> found;
  const size_t colon = text.rfind(':');
  long port = 0;
  if (!ParseLong(colon == std::string::npos ? text : text.substr(colon + 1), 1, 65535, &port)) {
    return found;
  }
  for (auto& l : listeners_) {
    if (l.port == port && (colon == std::string::npos || l.Name() == text)) found.push_back(&l);
  }
  return found;
}

void Simulator::Dump(const std::vector<std::string>& words) {
  const Limits& limits = state_.limits();
  long from = 1;
  long to = limits.dests;
  if (words.size() < 2 || words.size() > 4 || words[1].size() != 1 ||
      !state_.IsLevel(words[1][0]) ||
      (words.size() > 2 && !ParseLong(words[2], 1, limits.dests, &from)) ||
      (words.size() > 3 && !ParseLong(words[3], from, limits.dests, &to))) {
    return Answer(
        "error: usage: dump L [FROM [TO]] (level letter, destinations within the router)");
  }
  std::string line = "dump " + words[1] + " " + std::to_string(from) + " " + std::to_string(to);
  for (long d = from; d <= to; ++d) {
    line += " " + std::to_string(state_.Tally(words[1][0], static_cast<int>(d)));
  }
  Answer(line);
}

void Simulator::Console(const std::string& raw) {
  std::string line = raw;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  if (words.empty() || words[0][0] == '#') return;
  const std::string& cmd = words[0];
  const size_t argc = words.size() - 1;
  auto usage = [this, &cmd](const char* form) { Answer("error: usage: " + cmd + " " + form); };
  log_->Line("console " + Escape(line));

  if (cmd == "silent" || cmd == "lf") {
    bool on = false;
    if (argc != 1 || !ParseSwitch(words[1], &on)) return usage("on|off");
    (cmd == "silent" ? faults_.silent : faults_.lf) = on;
    Answer("ok " + cmd + " " + OnOff(on));
  } else if (cmd == "delay") {
    long ms = 0;
    if (argc != 1 || !ParseLong(words[1], 0, kMaxDelayMs, &ms)) return usage("MS (0..60000)");
    faults_.delay_ms = static_cast<int>(ms);
    Answer("ok delay " + std::to_string(ms));
  } else if (cmd == "stall") {
    long ms = 0;
    if (argc < 1 || argc > 2 || !ParseLong(words[1], 0, kMaxDelayMs, &ms)) {
      return usage("MS [PORT|ADDR:PORT] (0..60000)");
    }
    const int64_t until = ms == 0 ? 0 : Now() + ms * kNsPerMs;
    if (argc == 1) {
      for (Processor& p : processors_) p.stall_until = until;
      return Answer("ok stall " + std::to_string(ms));
    }
    const std::vector<Listener*> named = FindListeners(words[2]);
    if (named.empty()) return Answer("error: no TCP port " + words[2]);
    for (Listener* l : named) {
      processors_[static_cast<size_t>(l - listeners_.data())].stall_until = until;
    }
    Answer("ok stall " + std::to_string(ms) + " " + words[2]);
  } else if (cmd == "refuse-with") {
    RefuseWith r = RefuseWith::kReport;
    if (argc != 1 || !ParseRefuseWith(words[1], &r)) return usage("report|ack|none");
    behaviour_.refuse_with = r;
    Answer(std::string("ok refuse-with ") + RefuseWithName(r));
  } else if (cmd == "deaf") {
    bool on = false;
    if (argc < 1 || argc > 2 || !ParseSwitch(words[1], &on))
      return usage("on|off [PORT|ADDR:PORT]");
    if (argc == 1) {
      faults_.deaf = on;
      // Every controller: a port named before is not deaf on its own any more either.
      if (!on) {
        for (Listener& l : listeners_) l.deaf = false;
      }
      return Answer("ok deaf " + std::string(OnOff(on)));
    }
    const std::vector<Listener*> named = FindListeners(words[2]);
    if (named.empty()) return Answer("error: no TCP port " + words[2]);
    for (Listener* l : named) l->deaf = on;
    Answer("ok deaf " + std::string(OnOff(on)) + " " + words[2]);
  } else if (cmd == "swallow") {
    long n = 0;
    if (argc != 1 || !ParseLong(words[1], 0, 1000000, &n)) return usage("N (0..1000000)");
    faults_.swallow = n;
    Answer("ok swallow " + std::to_string(n));
  } else if (cmd == "chatter") {
    long ms = 0;
    long dest = 0;
    if ((argc != 1 && argc != 3) || !ParseLong(words[1], 0, kMaxChatterMs, &ms) ||
        (argc == 3 && (words[2].size() != 1 || !state_.IsLevel(words[2][0]) ||
                       !ParseLong(words[3], 1, state_.limits().dests, &dest)))) {
      return usage("MS [L DEST] (0..60000 ms, a level letter and destination of the router)");
    }
    faults_.chatter_ms = static_cast<int>(ms);
    faults_.chatter_level = argc == 3 ? words[2][0] : 0;
    faults_.chatter_dest = static_cast<int>(dest);
    faults_.chatter_next = Now() + ms * kNsPerMs;
    Answer("ok chatter " + std::to_string(ms) +
           (argc == 3 ? " " + words[2] + " " + words[3] : std::string()));
  } else if (cmd == "drop") {
    long n = 0;
    if (argc != 1 || !ParseLong(words[1], 0, 1000000, &n)) return usage("N (0..1000000)");
    faults_.drop = n;
    Answer("ok drop " + std::to_string(n));
  } else if (cmd == "bytewise") {
    bool on = false;
    long gap = 1;
    if (argc < 1 || argc > 2 || !ParseSwitch(words[1], &on) || (argc == 2 && !on) ||
        (argc == 2 && !ParseLong(words[2], 0, kMaxByteGapMs, &gap))) {
      return usage("on [GAP_MS]|off");
    }
    faults_.bytewise = on;
    if (on) faults_.byte_gap_ms = static_cast<int>(gap);
    Answer("ok bytewise " + std::string(OnOff(on)) +
           (on ? " " + std::to_string(faults_.byte_gap_ms) : ""));
  } else if (cmd == "close") {
    if (argc != 1) return usage("PORT|ADDR:PORT|all");
    const bool all = words[1] == "all";
    const std::vector<Listener*> named = all ? std::vector<Listener*>{} : FindListeners(words[1]);
    if (!all && named.empty()) return Answer("error: no TCP port " + words[1]);
    int closed = 0;
    for (auto& c : connections_) {
      if (c->pty || c->dead) continue;
      if (!all && std::find(named.begin(), named.end(), &listeners_[c->listener]) == named.end()) {
        continue;
      }
      Close(c.get(), "closed by the operator");
      ++closed;
    }
    Answer("ok close " + words[1] + ": " + std::to_string(closed) + " closed");
  } else if (cmd == "refuse") {
    bool on = false;
    if (argc != 2 || !ParseSwitch(words[2], &on)) return usage("PORT|ADDR:PORT on|off");
    const std::vector<Listener*> named = FindListeners(words[1]);
    if (named.empty()) return Answer("error: no TCP port " + words[1]);
    for (Listener* l : named) {
      if (on && l->fd >= 0) {
        ::close(l->fd);
        l->fd = -1;
        log_->Line("tcp:" + l->Name() + " refusing connections");
      } else if (!on && l->fd < 0) {
        std::string error;
        if (!OpenListener(l, &error)) return Answer("error: " + error);
        log_->Line("tcp:" + l->Name() + " accepting connections again");
      }
    }
    Answer("ok refuse " + words[1] + " " + OnOff(on));
  } else if (cmd == "noise") {
    std::string text = "~noise~\r";
    const size_t at = line.find("noise") + 5;
    const size_t start = line.find_first_not_of(" \t", at);
    if (start != std::string::npos && !Unescape(line.substr(start), &text)) {
      return Answer("error: bad escape in noise text");
    }
    if (text.find('.') != std::string::npos) {
      return Answer("error: noise text must not contain a full stop");
    }
    SendAll(text, false);
    Answer("ok noise " + Escape(text));
  } else if (cmd == "route") {
    long dest = 0;
    long source = 0;
    if (argc != 3 || words[1].size() != 1 || !state_.IsLevel(words[1][0]) ||
        !ParseLong(words[2], 1, state_.limits().dests, &dest) ||
        !ParseLong(words[3], 0, state_.limits().sources, &source)) {
      return usage("L DEST SRC (level letter, destination, source within the router)");
    }
    state_.SetTally(words[1][0], static_cast<int>(dest), static_cast<int>(source));
    log_->Line("front panel route " + words[1] + " " + words[2] + " " + words[3]);
    SendAll(RouteReport(words[1][0], static_cast<int>(dest), static_cast<int>(source),
                        options_.format));
    Answer("ok route " + words[1] + " " + std::to_string(dest) + " " + std::to_string(source));
  } else if (cmd == "lock") {
    long dest = 0;
    long status = 0;
    if (argc != 2 || !ParseLong(words[1], 1, state_.limits().dests, &dest) ||
        !ParseLong(words[2], 0, 255, &status)) {
      return usage("DEST STATUS (destination within the router, status 0..255)");
    }
    state_.SetLock(static_cast<int>(dest), static_cast<int>(status));
    log_->Line("front panel lock " + words[1] + " " + words[2]);
    SendAll(LockReport(static_cast<int>(dest), static_cast<int>(status), options_.format));
    Answer("ok lock " + std::to_string(dest) + " " + std::to_string(status));
  } else if (cmd == "status") {
    Status();
  } else if (cmd == "dump") {
    Dump(words);
  } else if (cmd == "help") {
    std::fputs(kConsoleHelp, stdout);
    Answer("ok help");
  } else if (cmd == "quit") {
    quit_ = true;
    Answer("ok quit");
  } else {
    Answer("error: unknown command '" + cmd + "' (try 'help')");
  }
}

void Simulator::Status() {
  const Limits& limits = state_.limits();
  int64_t stalled = 0;
  for (const Processor& p : processors_) stalled = std::max(stalled, p.stall_until);
  Answer("status levels " + std::to_string(limits.levels) + " dests " +
         std::to_string(limits.dests) + " sources " + std::to_string(limits.sources) + " pad " +
         std::to_string(options_.format.pad));
  Answer(std::string("status faults silent ") + OnOff(faults_.silent) + " deaf " +
         OnOff(faults_.deaf) + " swallow " + std::to_string(faults_.swallow) + " chatter " +
         std::to_string(faults_.chatter_ms) + " delay " + std::to_string(faults_.delay_ms) +
         " drop " + std::to_string(faults_.drop) + " lf " + OnOff(faults_.lf) + " bytewise " +
         (faults_.bytewise ? std::to_string(faults_.byte_gap_ms) : std::string("off")) + " stall " +
         std::to_string(std::max<int64_t>(0, stalled - Now()) / kNsPerMs) + " refuse-with " +
         RefuseWithName(behaviour_.refuse_with));
  size_t queued = 0;
  for (const Processor& p : processors_) queued += p.queue.size();
  Answer("status pacing baud " + std::to_string(options_.baud) + " tcp-baud " +
         std::to_string(options_.tcp_baud) + " xpt-ms " + std::to_string(options_.xpt_ms) +
         " queued " + std::to_string(queued));
  for (const Listener& l : listeners_) {
    const auto clients = std::count_if(
        connections_.begin(), connections_.end(),
        [this, &l](auto& c) { return !c->pty && !c->dead && &listeners_[c->listener] == &l; });
    Answer("status tcp " + l.Name() + (l.fd >= 0 ? " accepting" : " refusing") + " clients " +
           std::to_string(clients));
  }
  for (const auto& c : connections_) {
    if (c->pty) {
      Answer("status pty " + c->link + " " + c->device + " peer " + (c->peer ? "yes" : "no"));
    }
  }
  for (char level = 'A'; state_.IsLevel(level); ++level) {
    const int routed = state_.RoutedCount(level);
    if (routed > 0) {
      Answer(std::string("status level ") + level + " routed " + std::to_string(routed));
    }
  }
  Answer("status locked " + std::to_string(state_.LockedCount()) + " names " +
         std::to_string(state_.NameCount()));
  Answer("ok status");
}

}  // namespace mc1000sim
