// kirn status and kirn menu: a driver's status panel and its menu commands, for an operator
// without a display. They talk to the driver directly over the bus (core/remote_panel.h).
#include <QJsonArray>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/panel_counters.h"
#include "core/remote_panel.h"
#include "interface/kirnif.h"
#include "platform/bus_client.h"
#include "platform/bus_host.h"
#include "tools/kirn/client/client_commands.h"
#include "tools/kirn/common/driver_check.h"
#include "tools/kirn/common/json_text.h"
#include "tools/kirn/common/kirn_messages.h"
#include "tools/kirn/common/tool_client.h"

namespace kirn {

const char kStatusHelp[] =
    "usage: kirn status DEV [--json]\n"
    "       kirn status DEV --check [--critical-after SECONDS] [--drop-window SECONDS]\n"
    "Prints the status panel of the driver that serves device DEV, as its dialog shows it:\n"
    "interface mode, link mode, controllers A and B (connection, status, resets), active\n"
    "controller, Tx/Rx counters, poll router and pointer, park source, last answer, lock poll,\n"
    "name updates, lock infodriver, current router with the lock states of its selected\n"
    "destination, the message line, how it reads a route command (SourceToDest, DestToSource,\n"
    "ParkSource: the profile's values), and the router table (letter, device id, sources,\n"
    "destinations, offsets); then routes carried out and refused, routes the controller\n"
    "refused, commands dropped and the last save.\n"
    "  --json   the same as one JSON object: the fields by name, \"routers\" as an array, and\n"
    "           \"counters\": every counter and link figure of the driver, by name, nested by\n"
    "           label (\"routes_refused\": {\"101\": {\"locked\": 2, ...}, \"none\": {...}})\n"
    "Exit 1 when there is no bus or no driver serves DEV, and when two windows serve DEV or\n"
    "answer as the same driver (a driver started twice, or a peer posing as it): neither\n"
    "is taken.\n"
    "\n"
    "  --check  a check for a monitoring system: one line 'XARVEL STATE - SUMMARY[: REASONS]\n"
    "           | PERFDATA' and the exit code of the state:\n"
    "     0 OK\n"
    "     1 WARNING   running on controller B; a command dropped within the drop window; the\n"
    "                 link unconfirmed, or down for less than --critical-after\n"
    "     2 CRITICAL  no driver serves DEV; two windows serve DEV or answer as one driver;\n"
    "                 the link failed or (over TCP) no controller active for\n"
    "                 --critical-after seconds or longer; the latest save failed\n"
    "     3 UNKNOWN   no bus, no answer from the driver, or a usage error\n"
    "  --critical-after SECONDS  how long the link may be down before it is critical\n"
    "                            (default 0: at once; a monitoring system retries anyway)\n"
    "  --drop-window SECONDS     how recent a dropped command warns (default 300; 0: drops\n"
    "                            never warn)\n"
    "PERFDATA: latency_p50, latency_p99 (route report latency, upper bucket bounds in\n"
    "seconds; U while no route report has been timed), dropped, refused, link_failures\n"
    "(counters since the driver started), queue_depth.\n";

const char kMenuHelp[] =
    "usage: kirn menu DEV ITEM\n"
    "Runs a menu command of the driver that serves device DEV, as a click on its menu would,\n"
    "and prints the dialog's message line afterwards. ITEM is a menu id or one of:\n"
    "  save          save all current routes and lock data (index and lock files)\n"
    "  reload-locks  reload the locked-destination lists from the profile\n"
    "  unlock-all    unlock all destinations of the current router\n"
    "  reconnect     force a new connection to the controller (IP)\n"
    "  debug-on, debug-off\n"
    "                turn the driver's debug trace on or off\n"
    "  lock-poll     toggle polling for the controller's lock status\n"
    "  names         toggle setting database names on the router\n"
    "  lock-change   allow controller lock changes for 30 seconds (toggle)\n"
    "  router-A .. router-Z\n"
    "                make that router the dialog's current router\n"
    "  take, dest-box, source-box, exit\n"
    "                the other items of the driver's menu\n"
    "Exit 1 when there is no bus, no driver serves DEV, or the driver refuses the item (not\n"
    "in its menu, grayed, or About, which opens a box on the driver's own display).\n";

namespace {

// One connection to the bus, a window, and the main window of the driver that serves a device.
class PanelClient {
 public:
  // Nullptr with one line in `error` when there is no bus (`no_bus` then set, when given) or no
  // driver for `device`.
  static std::unique_ptr<PanelClient> Open(int device, std::string* error, bool* no_bus = nullptr) {
    std::string why;
    auto bus = plat::BusClient::Connect(plat::BusPath(), &why);
    if (!bus) {
      *error = "no workstation bus (is 'kirn serve' running?): " + why;
      if (no_bus != nullptr) *no_bus = true;
      return nullptr;
    }
    std::unique_ptr<PanelClient> client(new PanelClient);
    client->bus_ = std::move(bus);
    plat::SetTransport(client->bus_.get());
    PanelClient* self = client.get();
    client->window_ = plat::CreateWindow(
        [self, device](plat::Hwnd, uint32_t msg, plat::WParam w, plat::LParam l) {
          // The first driver to answer for the device is the one asked; a second window that
          // answers for it too is a conflict.
          if (msg == xarvel::kPanelHere && l == device) {
            const auto window = static_cast<plat::Hwnd>(w & 0xFFFF);
            if (self->driver_ == plat::kNoWindow) {
              self->driver_ = window;
            } else if (window != self->driver_ && self->other_ == plat::kNoWindow) {
              self->other_ = window;
            }
          }
          return plat::LResult{0};
        },
        false);
    if (client->window_ == plat::kNoWindow) {
      *error = "the bus host gave no window handle";
      return nullptr;
    }
    plat::SendMessage(plat::HWND_BROADCAST, xarvel::kPanelFind, client->window_, device);
    if (client->driver_ == plat::kNoWindow) {
      *error = "no driver serves device " + std::to_string(device);
      return nullptr;
    }
    return client;
  }

  plat::Hwnd driver() const { return driver_; }

  // Two windows answered for the device: one line saying so, else empty.
  std::string Conflict(int device) const {
    if (other_ == plat::kNoWindow) return {};
    char text[160];
    std::snprintf(text, sizeof text,
                  "two windows (0x%04x, 0x%04x) serve device %d: a driver started twice, or a "
                  "peer posing as it",
                  driver_, other_, device);
    return text;
  }

  ~PanelClient() {
    if (window_ != plat::kNoWindow) plat::DestroyWindow(window_);
    plat::SetTransport(nullptr);
  }
  PanelClient(const PanelClient&) = delete;
  PanelClient& operator=(const PanelClient&) = delete;

  // Sends `msg` with `param` and an answer block; the block's text in `answer`.
  int32_t Ask(uint32_t msg, int32_t param, std::string* answer) {
    return AskWindow(driver_, msg, param, answer);
  }
  int32_t AskWindow(plat::Hwnd window, uint32_t msg, int32_t param, std::string* answer) {
    std::vector<char> block(static_cast<size_t>(xarvel::kPanelBlockSize), '\0');
    const int32_t r =
        xarvel::KirnIf_SendData(window, msg, param, block.data(), 1, xarvel::kPanelBlockSize);
    block.back() = '\0';
    *answer = block.data();
    return r;
  }

 private:
  PanelClient() = default;
  std::unique_ptr<plat::BusClient> bus_;
  plat::Hwnd window_ = plat::kNoWindow;
  plat::Hwnd driver_ = plat::kNoWindow;
  plat::Hwnd other_ = plat::kNoWindow;
};

// The windows that registered devices with the interface (none when it cannot be asked).
std::set<plat::Hwnd> RegisteredWindows() {
  std::set<plat::Hwnd> windows;
  std::string error;
  auto client = ToolClient::Open(&error);
  if (!client) return windows;
  client->SetLineHandler([&windows](std::string_view line) {
    int device = 0;
    int mode = 0;
    unsigned window = 0;
    const std::string text(line);
    if (std::sscanf(text.c_str(), "%d %d %u", &device, &mode, &window) == 3 && window > 0 &&
        window < plat::HWND_BROADCAST) {
      windows.insert(static_cast<plat::Hwnd>(window));
    }
  });
  plat::LResult count = 0;
  client->RequestAnswered(kKirnRegistrations, client->window(), 0, &count);
  return windows;
}

// Another registered window that answers as driver `number` too, or 0.
plat::Hwnd SameDriverElsewhere(PanelClient& client, const std::set<plat::Hwnd>& windows,
                               int64_t number) {
  for (const plat::Hwnd w : windows) {
    if (w == client.driver()) continue;
    std::string answer;
    if (client.AskWindow(w, xarvel::kPanelCounters, 0, &answer) <= 0) continue;
    const xarvel::PanelCounters other = xarvel::ParsePanelCounters(answer);
    if (other.complete && other.Get("driver", {}, -1) == number) return w;
  }
  return plat::kNoWindow;
}

std::vector<std::string> Split(std::string_view text, char at) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(at, start);
    parts.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::string Trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return std::string(text);
}

// Labels of the text form, by key.
const char* Label(std::string_view key) {
  static const std::pair<const char*, const char*> kLabels[] = {
      {"interface_mode", "Interface mode"},
      {"link_mode", "Link mode"},
      {"connection_a", "Controller A"},
      {"status_a", "  status"},
      {"resets_a", "  resets"},
      {"connection_b", "Controller B"},
      {"status_b", "  status"},
      {"resets_b", "  resets"},
      {"active_controller", "Active controller"},
      {"tx", "Tx (revertives)"},
      {"rx", "Rx (commands)"},
      {"poll_router", "Poll router"},
      {"poll_pointer", "Poll pointer"},
      {"park", "Park source"},
      {"answer", "Poll answer"},
      {"lock_poll", "Lock"},
      {"names", "Names"},
      {"lock_infodriver", "Lock infodriver"},
      {"current_router", "Current router"},
      {"lock", "  destination lock"},
      {"mc1000_lock", "  controller lock"},
      {"message", "Message"},
      {"source_to_dest", "SourceToDest"},
      {"dest_to_source", "DestToSource"},
      {"park_source", "ParkSource"},
  };
  for (const auto& [k, label] : kLabels) {
    if (key == k) return label;
  }
  return nullptr;
}

std::string Ago(int64_t now_ms, int64_t then_ms) {
  if (then_ms <= 0) return "never";
  return std::to_string((now_ms - then_ms) / 1000) + " s ago";
}

// A few counters under the panel's text.
void PrintCountersText(const xarvel::PanelCounters& c) {
  const int64_t now = c.Get("now_ms");
  std::printf("%-20s %lld carried out, %lld refused\n", "Routes",
              static_cast<long long>(CounterTotal(c, "routes")),
              static_cast<long long>(CounterTotal(c, "routes_refused")));
  std::printf("%-20s %lld\n", "Refused by ctrl",
              static_cast<long long>(c.Get("refused_by_controller")));
  const int64_t dropped = CounterTotal(c, "commands_dropped");
  if (dropped == 0) {
    std::printf("%-20s 0\n", "Commands dropped");
  } else {
    std::printf("%-20s %lld (the last %s)\n", "Commands dropped", static_cast<long long>(dropped),
                Ago(now, c.Get("last_drop_ms")).c_str());
  }
  std::printf("%-20s %s%s\n", "Last save", Ago(now, c.Get("last_save_ms")).c_str(),
              c.Get("save_failed") != 0 ? " (the latest save failed)" : "");
}

// The panel's fields, then the counters (when there are any), then the router table.
void PrintText(const std::vector<std::vector<std::string>>& lines,
               const xarvel::PanelCounters* counters) {
  bool table = false;
  for (const auto& f : lines) {
    if (f[0] == "router" && f.size() == 6) {
      if (!table) {
        if (counters != nullptr) PrintCountersText(*counters);
        std::printf("Routers\n  Rtr  Drv  Srcs  Dests  Offsets\n");
        table = true;
      }
      std::printf("  %-3s  %-3s  %-4s  %-5s  %s\n", f[1].c_str(), f[2].c_str(), f[3].c_str(),
                  f[4].c_str(), f[5].c_str());
    } else if (f.size() == 2) {
      const char* label = Label(f[0]);
      std::printf("%-20s %s\n", label != nullptr ? label : f[0].c_str(), Trim(f[1]).c_str());
    }
  }
  if (!table && counters != nullptr) PrintCountersText(*counters);
}

void PrintJson(const std::vector<std::vector<std::string>>& lines,
               const xarvel::PanelCounters* counters) {
  QJsonObject out;
  QJsonArray routers;
  for (const auto& f : lines) {
    if (f[0] == "router" && f.size() == 6) {
      routers.append(QJsonObject{{"letter", JsonText(f[1])},
                                 {"device", JsonText(f[2])},
                                 {"sources", JsonText(f[3])},
                                 {"destinations", JsonText(f[4])},
                                 {"offsets", JsonText(f[5])}});
    } else if (f.size() == 2) {
      out.insert(JsonText(f[0]).toString(), JsonText(Trim(f[1])));
    }
  }
  out.insert("routers", routers);
  if (counters != nullptr) out.insert("counters", CountersObject(*counters));
  std::printf("%s\n", JsonBytes(out).c_str());
}

int CheckLine(int state, const std::string& text) {
  std::printf("XARVEL %s - %s\n", CheckStateName(state), text.c_str());
  return state;
}

}  // namespace

int RunStatus(const Args& args) {
  bool json = false;
  bool check = false;
  for (const std::string& a : args) check = check || a == "--check";
  // A monitoring system reads exit 2 as CRITICAL: a check's usage errors are UNKNOWN.
  auto usage = [check](const std::string& what) {
    if (!check) return UsageError("status", what);
    return CheckLine(kCheckUnknown, "usage: " + what + " (see 'kirn status --help')");
  };
  CheckOptions options;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      json = true;
    } else if (a == "--check") {
    } else if (a == "--critical-after" || a == "--drop-window") {
      long long seconds = 0;
      if (i + 1 >= args.size() || !ParseInt(args[i + 1], 0, 100000000, &seconds)) {
        return usage(a + " expects SECONDS (0..100000000)");
      }
      (a == "--critical-after" ? options.critical_after_s : options.drop_window_s) = seconds;
      ++i;
    } else if (a.size() > 1 && a[0] == '-') {
      return usage("unknown option '" + a + "'");
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 1) return usage("expects DEV");
  if (json && check) return usage("--json and --check do not go together");
  int device = 0;
  if (!ParseDevice(positional[0], &device)) {
    return usage("DEV must be a device id 1..999, not '" + positional[0] + "'");
  }
  std::string error;
  bool no_bus = false;
  // The registrations first: only one bus client at a time in a process.
  const std::set<plat::Hwnd> registered = RegisteredWindows();
  auto client = PanelClient::Open(device, &error, &no_bus);
  if (!client) {
    if (check) return CheckLine(no_bus ? kCheckUnknown : kCheckCritical, error);
    return Failure("status", error);
  }
  if (const std::string conflict = client->Conflict(device); !conflict.empty()) {
    // Neither window is taken for the driver.
    if (check) return CheckLine(kCheckCritical, conflict);
    return Failure("status", conflict);
  }
  std::string answer;
  xarvel::PanelCounters counters;
  const bool have_counters = client->Ask(xarvel::kPanelCounters, 0, &answer) > 0;
  if (have_counters) counters = xarvel::ParsePanelCounters(answer);
  if (have_counters && counters.complete) {
    const int64_t number = counters.Get("driver", {}, -1);
    if (const plat::Hwnd other = SameDriverElsewhere(*client, registered, number);
        other != plat::kNoWindow) {
      char text[192];
      std::snprintf(text, sizeof text,
                    "two windows (0x%04x, 0x%04x) answer as driver %lld: a driver started twice, "
                    "or a peer posing as it",
                    client->driver(), other, static_cast<long long>(number));
      if (check) return CheckLine(kCheckCritical, text);
      return Failure("status", text);
    }
  }
  if (check) {
    if (!have_counters || !counters.complete) {
      return CheckLine(kCheckUnknown, "the driver of device " + std::to_string(device) +
                                          " gave no complete counters");
    }
    const CheckResult result = CheckDriver(counters, options);
    return CheckLine(result.state, result.text);
  }
  if (client->Ask(xarvel::kPanelStatus, 0, &answer) <= 0) {
    return Failure("status", "the driver of device " + std::to_string(device) + " did not answer");
  }
  std::vector<std::vector<std::string>> lines;
  for (const std::string& line : Split(answer, '\n')) {
    if (!line.empty()) lines.push_back(Split(line, '\t'));
  }
  if (json) {
    PrintJson(lines, have_counters ? &counters : nullptr);
  } else {
    PrintText(lines, have_counters ? &counters : nullptr);
  }
  return 0;
}

int RunPanelMenu(const Args& args) {
  for (const std::string& a : args) {
    if (a.size() > 1 && a[0] == '-') return UsageError("menu", "unknown option '" + a + "'");
  }
  if (args.size() != 2) return UsageError("menu", "expects DEV and ITEM");
  int device = 0;
  if (!ParseDevice(args[0], &device)) {
    return UsageError("menu", "DEV must be a device id 1..999, not '" + args[0] + "'");
  }
  int id = xarvel::PanelMenuId(args[1]);
  long long number = 0;
  if (id == 0 && !args[1].empty() && args[1][0] >= '0' && args[1][0] <= '9' &&
      ParseInt(args[1], 1, 65535, &number)) {
    id = static_cast<int>(number);
  }
  if (id == 0) {
    return UsageError("menu",
                      "ITEM must be a menu id or a name (see --help), not '" + args[1] + "'");
  }
  std::string error;
  auto client = PanelClient::Open(device, &error);
  if (!client) return Failure("menu", error);
  std::string message;
  const int32_t r = client->Ask(xarvel::kPanelMenu, id, &message);
  const std::string item = args[1] + " (" + std::to_string(id) + ")";
  switch (r) {
    case xarvel::kPanelMenuDone:
      std::printf("%s\n", Trim(Split(message, '\n')[0]).c_str());
      return 0;
    case xarvel::kPanelMenuUnknown:
      return Failure("menu", "the driver's menu has no item " + item);
    case xarvel::kPanelMenuGrayed:
      return Failure("menu", "the menu item " + item + " is grayed");
    case xarvel::kPanelMenuNotRemote:
      return Failure("menu", "the menu item " + item + " opens a box on the driver's display");
    default:
      return Failure("menu", "the driver of device " + std::to_string(device) + " did not answer");
  }
}

}  // namespace kirn
