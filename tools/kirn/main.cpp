// kirn: the workstation's companion tool. `kirn serve` hosts the workstation bus and the
// control-system interface stand-in; the other subcommands talk to drivers through it. This file
// only dispatches: each command lives in its room (host/, client/, metrics/, history/) over
// common/.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/qt_messages.h"
#include "tools/kirn/client/client_commands.h"
#include "tools/kirn/common/command_line.h"
#include "tools/kirn/history/history_commands.h"
#include "tools/kirn/host/host_commands.h"
#include "tools/kirn/metrics/metrics_commands.h"

namespace kirn {
namespace {

constexpr const char* kOverview =
    "usage: kirn COMMAND [ARGS...]\n"
    "Workstation bus host, control-system interface stand-in and command client.\n"
    "\n"
    "commands:\n"
    "  serve [--mode txrx|rxonly] [--refuse DEV=CODE]...  host the bus and the interface\n"
    "  send DEV TEXT [--wait MS] [--stats] [--check]\n"
    "                                        deliver a command, print its revertives\n"
    "  watch [DEV...]                        print revertives, query replies and modes\n"
    "  mode DEV MODE                         set the driver's mode (0..5, txrx, rxonly)\n"
    "  devices                               list registered devices and their modes\n"
    "  dbchange DEV LPARAM                   tell DEV's driver a name database changed\n"
    "  close DEV                             ask DEV's driver to close\n"
    "  infodriver DEV [--mode txrx|rxonly]   run an infodriver with 4096 text slots\n"
    "  slot INFODEV SLOT TEXT                ask an infodriver for a new text in SLOT\n"
    "  slots INFODEV                         list an infodriver's non-empty slots\n"
    "  status DEV [--json|--check]           print the driver's status panel and counters,\n"
    "                                        or check it for a monitoring system\n"
    "  menu DEV ITEM                         run a menu command of the driver\n"
    "  metrics [--listen ADDR:PORT]          serve every driver's metrics and health over\n"
    "                                        HTTP (Prometheus, /healthz), a read-only\n"
    "                                        status page and its JSON, and record the\n"
    "                                        crosspoint history\n"
    "  history DEV [DEST] --at TIME | --since TIME [--until TIME] [--json]\n"
    "                                        what fed a destination at a moment, or the\n"
    "                                        changes over a time\n"
    "  trace DEV [--level L]                 stream the driver's whole trace as it happens\n"
    "\n"
    "Every command takes --log-level err|warning|notice|info|debug (else $XARVEL_LOG_LEVEL):\n"
    "the lines it logs above that level are not written. The default is info when standard\n"
    "error is the journal (each line then carries its syslog priority, '<3>' ... '<7>'),\n"
    "else debug (every line, without priorities).\n"
    "'kirn COMMAND --help' describes one command; '--' ends the options (a TEXT that\n"
    "starts with '-' follows it). Numbers are decimal (leading zeros allowed).\n"
    "The bus is $KIRN_BUS, else $XDG_RUNTIME_DIR/kirn-bus.sock, else\n"
    "${TMPDIR:-/tmp}/kirn-<uid>/bus.sock.\n"
    "Exit codes: 0 success, 1 bus or device not there, 2 usage error; 'send --check':\n"
    "4 a route command unconfirmed; 'history --at': 3 unknown at that time.\n";

struct Command {
  int (*run)(const Args&);
  const char* help;
  // The options that take a value: the word after one is that value, never an option itself.
  std::vector<std::string> value_options = {};
  // What the help says of this machine, after the help (nullptr: nothing).
  std::string (*help_tail)() = nullptr;
};

const std::map<std::string, Command>& Commands() {
  static const std::map<std::string, Command> commands = {
      {"serve",
       {RunServe,
        "usage: kirn serve [--mode txrx|rxonly] [--refuse DEV=CODE]...\n"
        "Hosts the workstation bus and runs the control-system interface stand-in on it:\n"
        "answers the drivers' find broadcasts, registers device ids (0 registered, 1 invalid\n"
        "id, 2 in use by another driver), reports and records modes, answers name look-ups\n"
        "from DEV_<id>.INI ([Database_0] sources, [Database_1] destinations) and relays\n"
        "revertives and mode changes to 'kirn watch' and 'kirn send'.\n"
        "  --mode txrx|rxonly   mode reported for a newly registered device (default txrx)\n"
        "  --refuse DEV=CODE    answer CODE (non-zero) to every registration of DEV\n"
        "Prints one line per event on standard output (each command relayed at debug, a\n"
        "registration at info, ready and stopped at notice: see --log-level in 'kirn --help');\n"
        "ends on SIGTERM or SIGINT (exit 0).\n"
        "Exit 1 when another host already listens on the bus path.\n",
        {"--mode", "--refuse"}}},
      {"send",
       {RunSend,
        "usage: kirn send DEV TEXT [--wait MS] [--stats] [--check]\n"
        "Delivers TEXT as a command to the driver registered for DEV and prints the\n"
        "revertives of DEV (REV <param> <text>, QRY <param> <text>) until MS milliseconds\n"
        "(default 500) pass without one. With TEXT '-', reads commands from standard input,\n"
        "one a line, and delivers each as it arrives (in order, as fast as the driver takes\n"
        "them), printing revertives as they come; the wait starts at the end of the input.\n"
        "A line longer than 511 characters is reported with its number and skipped; the\n"
        "exit code is then 2. Use 'kirn send DEV -- TEXT' for a TEXT that starts with '-'.\n"
        "  --stats   end with 'sent N, revertives M, seconds S, unconfirmed U' (S from the\n"
        "            first delivery to the last revertive; U as for --check)\n"
        "  --check   print 'UNCONFIRMED TEXT' for each route command (RC) whose destination\n"
        "            got no revertive naming the asked source between its delivery and the\n"
        "            end of the wait, and exit 4 when there is one; when delivery stops at\n"
        "            a failure (exit 1), also 'UNDELIVERED TEXT' for the command that\n"
        "            failed and each one read after it (with no bus, every command that\n"
        "            standard input holds at that moment)\n"
        "A route command's numbers are read as the driver reads them: its SourceToDest and\n"
        "DestToSource (both: each reading whose numbers fit the router is asked for) and its\n"
        "ParkSource for source 0, which kirn asks the driver for. A route command naming\n"
        "another device of the same driver is checked against that device's revertives.\n"
        "Exit codes: 0 done, 1 no bus, no device or no answer (also: --check with a route\n"
        "command while the driver does not say how it reads them; nothing more is delivered;\n"
        "--stats then leaves the count out), 2 usage error or a skipped line, 4 (--check) a\n"
        "route command unconfirmed.\n",
        {"--wait"}}},
      {"watch",
       {RunWatch,
        "usage: kirn watch [DEV...]\n"
        "Prints every revertive (REV <param> <text>), query reply (QRY <param> <text>) and\n"
        "mode assertion (MODE <dev> <mode>) of the given devices, or of all devices, as it\n"
        "arrives. 'LOST <count>' says that many relays were dropped before the lines that\n"
        "follow (the interface's queue was full); 'LOST watch' that the interface dropped\n"
        "this watch (it fell behind): it is set up again at once, and what came meanwhile\n"
        "is lost. Ends on SIGTERM or SIGINT (exit 0), or when the bus goes (exit 1: the\n"
        "relays went with it; start the watch again once 'kirn serve' is back).\n"}},
      {"mode",
       {RunMode,
        "usage: kirn mode DEV MODE\n"
        "Asks the driver of DEV to take MODE (0..5, txrx = 2, rxonly = 1) and prints the\n"
        "mode it answers with.\n"}},
      {"devices",
       {RunDevices,
        "usage: kirn devices\n"
        "Prints the registered device ids with their modes, one 'DEV MODE' a line, sorted.\n"}},
      {"dbchange",
       {RunDbChange,
        "usage: kirn dbchange DEV LPARAM\n"
        "Tells the driver of DEV that a name database changed (LPARAM with high 16 bits 0:\n"
        "source names; non-zero: destination names). Decimal or 0x-hexadecimal.\n"}},
      {"close",
       {RunClose,
        "usage: kirn close DEV\n"
        "Asks the driver of DEV to close in order (it saves its files and detaches).\n"}},
      {"infodriver",
       {RunInfodriver,
        "usage: kirn infodriver DEV [--mode txrx|rxonly]\n"
        "Runs infodriver DEV on the bus: 4096 text slots (0..4095, 255 characters each) that\n"
        "drivers connect to as clients. Answers its find broadcast, slot reads and writes and\n"
        "the mode messages; passes the slot requests of 'kirn slot' to its clients; forgets\n"
        "clients that detach. On SIGTERM or SIGINT it tells its clients it is closing and\n"
        "ends (exit 0). When the bus host goes it keeps its slots, reconnects (0.25 s, 0.5 s,\n"
        "1 s, then every 2 s), takes its window handle back and tells its clients.\n"
        "  --mode txrx|rxonly   the interface mode it starts in (default txrx)\n"
        "Prints one line per event on standard output. Exit 1 when there is no bus or\n"
        "another infodriver DEV is already on it.\n",
        {"--mode"}}},
      {"slot",
       {RunSlot,
        "usage: kirn slot INFODEV SLOT TEXT\n"
        "As another user of the control system, asks infodriver INFODEV for TEXT in SLOT\n"
        "(0..4095). The infodriver passes the request to its clients, which decide what the\n"
        "slot then holds. Prints the number of clients that took the request.\n"
        "A lock request to the router driver reads 'MC1000 255' (lock) or 'MC1000 0' (unlock).\n"}},
      {"slots",
       {RunSlots,
        "usage: kirn slots INFODEV\n"
        "Prints the non-empty slots of infodriver INFODEV, one 'SLOT TEXT' a line, in slot\n"
        "order (control characters shown as '?').\n"}},
      {"status", {RunStatus, kStatusHelp, {"--critical-after", "--drop-window"}}},
      {"menu", {RunPanelMenu, kMenuHelp}},
      {"metrics",
       {RunMetrics,
        kMetricsHelp,
        {"--listen", "--web-config", "--allowed-host", "--history", "--history-days",
         "--history-max-mb", "--history-max-pages", "--ember", "--ember-allow",
         "--ember-max-per-address", "--ember-access", "--ember-max-unsent"}}},
      {"history",
       {RunHistory, kHistoryHelp, {"--at", "--since", "--until", "--history"}, HistoryHelpTail}},
      {"trace", {RunTrace, kTraceHelp, {"--level"}}},
  };
  return commands;
}

bool IsHelp(const std::string& a) {
  return a == "--help" || a == "-h";
}

}  // namespace

}  // namespace kirn

int main(int argc, char** argv) {
  using namespace kirn;
  if (argc < 2) {
    std::fputs(kOverview, stderr);
    return 2;
  }
  const std::string name = argv[1];
  if (IsHelp(name) || name == "help") {
    std::fputs(kOverview, stdout);
    return 0;
  }
  auto it = Commands().find(name);
  if (it == Commands().end()) {
    std::fprintf(stderr, "kirn: unknown command '%s'\nTry 'kirn --help'.\n", name.c_str());
    return 2;
  }
  Args args(argv + 2, argv + argc);
  // --help counts only where an option may stand: not after "--", not as an option's value.
  const auto& value_options = it->second.value_options;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") break;
    if (IsHelp(args[i])) {
      std::fputs(it->second.help, stdout);
      if (it->second.help_tail != nullptr) std::fputs(it->second.help_tail().c_str(), stdout);
      return 0;
    }
    if (std::find(value_options.begin(), value_options.end(), args[i]) != value_options.end()) {
      ++i;
    }
  }
  // --log-level, for every command, is taken out here before the command reads its own options.
  std::optional<plat::LogLevel> level;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") break;
    if (args[i] != "--log-level" && args[i].rfind("--log-level=", 0) != 0) continue;
    std::string value;
    size_t words = 1;
    if (args[i] == "--log-level") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "kirn %s: --log-level needs a value\n", name.c_str());
        return 2;
      }
      value = args[i + 1];
      words = 2;
    } else {
      value = args[i].substr(std::strlen("--log-level="));
    }
    level = plat::ParseLogLevel(value);
    if (!level) {
      std::fprintf(stderr, "kirn %s: --log-level '%s' is not err, warning, notice, info or debug\n",
                   name.c_str(), value.c_str());
      return 2;
    }
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
               args.begin() + static_cast<std::ptrdiff_t>(i + words));
    --i;
  }
  std::string bad_env;
  plat::InitLogOutput(level, &bad_env);
  plat::RouteQtMessages();
  if (!bad_env.empty()) {
    plat::OutputDebugString("kirn: XARVEL_LOG_LEVEL '" + bad_env + "' is not a level: ignored\n",
                            plat::LogLevel::kWarning);
  }
  return it->second.run(args);
}
