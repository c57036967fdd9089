// mc1000-sim: an emulated router controller for running and testing the driver without the
// hardware. One router state is served on any number of TCP ports (a redundant controller pair
// is two ports on one state) and pseudo-terminals (serial mode); faults are injected from the
// console on standard input.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/mc1000-sim/simulator.h"

namespace {

using mc1000sim::Options;

constexpr const char* kUsage =
    "usage: mc1000-sim [--tcp PORT]... [--pty PATH]... [OPTIONS]\n"
    "Emulates the router controller: one router state (levels x destinations, lock status,\n"
    "names) answering the controller commands (.S route, .I interrogate, .BI/.BL/.BU locks,\n"
    ".WS/.WT/.WD/.WE names) on every endpoint. Route reports (.U) and lock reports (.BA) of a\n"
    "change go to every connection; answers to questions go to the asker. Unknown, malformed\n"
    "and out-of-range commands are answered with the bare acknowledgement .A and change\n"
    "nothing. A route to a locked destination, or from a source beyond --sources, is\n"
    "refused (see --refuse-with). Destinations start fed by source 0 and unlocked; a lock\n"
    "stores status 255.\n"
    "\n"
    "endpoints (at least one):\n"
    "  --tcp [ADDR:]PORT  listen on PORT (0 = any free port), at ADDR when given, else at\n"
    "                  --bind's; repeat for a controller pair A/B sharing one state (the same\n"
    "                  port at two addresses is a pair as the driver sees one)\n"
    "  --bind ADDR     IPv4 address to listen on where --tcp names none (default 127.0.0.1)\n"
    "  --pty PATH      create a pseudo-terminal in raw mode and link its device at PATH (an\n"
    "                  existing symbolic link there is replaced); repeatable. Bytes sent while\n"
    "                  no process has the terminal open are lost, as on an unplugged line.\n"
    "options:\n"
    "  --levels N      levels A.. (1..26, default 26)\n"
    "  --dests N       destinations 1..N per level, also the lock numbers (default 4096)\n"
    "  --sources N     sources 0..N (default 4096)\n"
    "  --pad [WIDTH]   zero-fill numbers in replies to WIDTH digits (1..6, default 3)\n"
    "  --quiet         no log lines on standard error\n"
    "  --log FILE      append the log lines to FILE as well\n"
    "  --refuse-with report|ack|none\n"
    "                  how a refused route is answered: the unchanged crosspoint (default),\n"
    "                  the bare acknowledgement .A, or nothing; the console's 'refuse-with'\n"
    "                  changes it\n"
    "  --u-answers     answer interrogates with .U<L><dest>,<src> instead of .A...\n"
    "  --ignore-beyond answer nothing at all to a route, interrogate or lock command naming a\n"
    "                  destination beyond --dests (default: the bare acknowledgement .A), as\n"
    "                  a controller smaller than the driver's profile may\n"
    "  --silent, --deaf, --chatter MS\n"
    "                  start with that fault on, as the console's 'silent on', 'deaf on'\n"
    "                  and 'chatter MS' set it\n"
    "  --help          print this help\n"
    "pacing (like a controller on a serial line):\n"
    "  --baud N        the terminals' line rate (50..4000000): received bytes are taken,\n"
    "                  and replies written, no faster than N baud carries them, 10 bits a\n"
    "                  byte (start bit, 8 data bits, stop bit). A reply is written when its\n"
    "                  last byte has come through the line. Default: unpaced\n"
    "  --tcp-baud N    the same for TCP connections (a controller behind a serial-to-network\n"
    "                  converter); without it TCP is unpaced, as a controller on the network\n"
    "  --xpt-ms MS     time to execute one route command (0..10000, default 0) before its\n"
    "                  route report is sent. Each controller (a TCP port, with all its\n"
    "                  connections, or a terminal) executes its commands one at a time in the\n"
    "                  order they arrived; interrogates, locks and names take no time of their\n"
    "                  own but wait their turn behind the routes\n"
    "\n"
    "Standard output: one line 'tcp ADDR:PORT' per port in the order given, one line\n"
    "'pty PATH DEVICE' per terminal, then 'ready'; afterwards the console's answers.\n"
    "Standard error: one log line per command as it is executed or dropped (rx), sent\n"
    "reply (tx), connection event and console command, prefixed with the seconds since\n"
    "start.\n"
    "A command is the text from '.' to a carriage return (a line feed also ends one); bytes\n"
    "outside commands are logged and ignored; a command longer than 255 bytes is discarded.\n"
    "\n"
    "%s"
    "\n"
    "The emulator runs until 'quit' or SIGTERM/SIGINT/SIGHUP; the end of standard input does\n"
    "not stop it. Exit codes: 0 stopped normally, 1 an endpoint or the log file could not be\n"
    "opened, 2 usage error.\n";

int UsageError(const std::string& what) {
  std::fprintf(stderr, "mc1000-sim: %s\nTry 'mc1000-sim --help'.\n", what.c_str());
  return 2;
}

bool ParseNumber(const std::string& text, long min, long max, long* out) {
  if (text.empty() || text.size() > 12 || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool IsDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool quiet = false;
  std::string log_file;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::printf(kUsage, mc1000sim::kConsoleHelp);
      return 0;
    }
    if (a == "--quiet") {
      quiet = true;
      continue;
    }
    if (a == "--silent" || a == "--deaf") {
      (a == "--silent" ? options.silent : options.deaf) = true;
      continue;
    }
    if (a == "--u-answers" || a == "--ignore-beyond") {
      (a == "--u-answers" ? options.behaviour.u_answers : options.behaviour.ignore_beyond) = true;
      continue;
    }
    if (a == "--refuse-with") {
      if (i + 1 >= argc ||
          !mc1000sim::ParseRefuseWith(argv[i + 1], &options.behaviour.refuse_with)) {
        return UsageError("--refuse-with takes report, ack or none");
      }
      ++i;
      continue;
    }
    if (a == "--pad") {
      long width = 3;
      if (i + 1 < argc && IsDigits(argv[i + 1])) {
        if (!ParseNumber(argv[++i], 1, 6, &width)) return UsageError("--pad takes 1..6");
      }
      options.format.pad = static_cast<int>(width);
      continue;
    }
    if (a != "--tcp" && a != "--bind" && a != "--pty" && a != "--levels" && a != "--dests" &&
        a != "--sources" && a != "--log" && a != "--baud" && a != "--tcp-baud" && a != "--xpt-ms" &&
        a != "--chatter") {
      return UsageError("unexpected argument '" + a + "'");
    }
    if (i + 1 >= argc) return UsageError(a + " needs a value");
    const std::string v = argv[++i];
    long n = 0;
    if (a == "--tcp") {
      const size_t colon = v.rfind(':');
      std::string address;
      if (colon != std::string::npos) {
        address = v.substr(0, colon);
        in_addr addr{};
        if (::inet_pton(AF_INET, address.c_str(), &addr) != 1) {
          return UsageError("--tcp takes [ADDR:]PORT with a dotted IPv4 address, not '" + v + "'");
        }
      }
      if (!ParseNumber(colon == std::string::npos ? v : v.substr(colon + 1), 0, 65535, &n)) {
        return UsageError("--tcp takes [ADDR:]PORT with a port 0..65535");
      }
      options.tcp_ports.push_back(static_cast<int>(n));
      options.tcp_addresses.push_back(address);
    } else if (a == "--bind") {
      in_addr addr{};
      if (::inet_pton(AF_INET, v.c_str(), &addr) != 1) {
        return UsageError("--bind takes a dotted IPv4 address, not '" + v + "'");
      }
      options.bind_address = v;
    } else if (a == "--pty") {
      if (v.empty()) return UsageError("--pty needs a path");
      options.pty_links.push_back(v);
    } else if (a == "--levels") {
      if (!ParseNumber(v, 1, 26, &n)) return UsageError("--levels takes 1..26");
      options.limits.levels = static_cast<int>(n);
    } else if (a == "--baud" || a == "--tcp-baud") {
      if (!ParseNumber(v, mc1000sim::kMinBaud, mc1000sim::kMaxBaud, &n)) {
        return UsageError(a + " takes " + std::to_string(mc1000sim::kMinBaud) + ".." +
                          std::to_string(mc1000sim::kMaxBaud) + " baud");
      }
      (a == "--baud" ? options.baud : options.tcp_baud) = n;
    } else if (a == "--xpt-ms") {
      if (!ParseNumber(v, 0, mc1000sim::kMaxXptMs, &n)) {
        return UsageError("--xpt-ms takes 0.." + std::to_string(mc1000sim::kMaxXptMs) + " ms");
      }
      options.xpt_ms = static_cast<int>(n);
    } else if (a == "--chatter") {
      if (!ParseNumber(v, 0, mc1000sim::kMaxChatterMs, &n)) {
        return UsageError("--chatter takes 0.." + std::to_string(mc1000sim::kMaxChatterMs) + " ms");
      }
      options.chatter_ms = static_cast<int>(n);
    } else if (a == "--dests" || a == "--sources") {
      if (!ParseNumber(v, 1, mc1000sim::kMaxNumber, &n)) {
        return UsageError(a + " takes 1.." + std::to_string(mc1000sim::kMaxNumber));
      }
      (a == "--dests" ? options.limits.dests : options.limits.sources) = static_cast<int>(n);
    } else {
      log_file = v;
    }
  }
  if (options.tcp_ports.empty() && options.pty_links.empty()) {
    return UsageError("give at least one --tcp PORT or --pty PATH");
  }

  mc1000sim::WireLog log;
  log.set_quiet(quiet);
  std::string error;
  if (!log_file.empty() && !log.OpenFile(log_file, &error)) {
    std::fprintf(stderr, "mc1000-sim: cannot open the log file %s\n", error.c_str());
    return 1;
  }
  mc1000sim::Simulator simulator(options, &log);
  if (!simulator.Open(&error)) {
    std::fprintf(stderr, "mc1000-sim: %s\n", error.c_str());
    return 1;
  }
  return simulator.Run();
}
