// kirn status and kirn menu: a driver's status panel and its menu commands, for an operator
// without a display. They talk to the driver directly over the bus (core/remote_panel.h).
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/remote_panel.h"
#include "interface/kirnif.h"
#include "platform/bus_client.h"
#include "platform/bus_host.h"
#include "tools/kirn/commands.h"

namespace kirn {

const char kStatusHelp[] =
    "usage: kirn status DEV [--json]\n"
    "Prints the status panel of the driver that serves device DEV, as its dialog shows it:\n"
    "interface mode, link mode, controllers A and B (connection, status, resets), active\n"
    "controller, Tx/Rx counters, poll router and pointer, park source, last answer, lock poll,\n"
    "name updates, lock infodriver, current router with the lock states of its selected\n"
    "destination, the message line, how it reads a route command (SourceToDest, DestToSource,\n"
    "ParkSource: the profile's values), and the router table (letter, device id, sources,\n"
    "destinations, offsets).\n"
    "  --json   the same as one JSON object: the fields by name, \"routers\" as an array\n"
    "Exit 1 when there is no bus or no driver serves DEV.\n";

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
  // Nullptr with one line in `error` when there is no bus or no driver for `device`.
  static std::unique_ptr<PanelClient> Open(int device, std::string* error) {
    std::string why;
    auto bus = plat::BusClient::Connect(plat::BusPath(), &why);
    if (!bus) {
      *error = "no workstation bus (is 'kirn serve' running?): " + why;
      return nullptr;
    }
    std::unique_ptr<PanelClient> client(new PanelClient);
    client->bus_ = std::move(bus);
    plat::SetTransport(client->bus_.get());
    PanelClient* self = client.get();
    client->window_ = plat::CreateWindow(
        [self, device](plat::Hwnd, uint32_t msg, plat::WParam w, plat::LParam l) {
          // The first driver to answer for the device is the one asked.
          if (msg == xarvel::kPanelHere && l == device && self->driver_ == plat::kNoWindow) {
            self->driver_ = static_cast<plat::Hwnd>(w & 0xFFFF);
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

  ~PanelClient() {
    if (window_ != plat::kNoWindow) plat::DestroyWindow(window_);
    plat::SetTransport(nullptr);
  }
  PanelClient(const PanelClient&) = delete;
  PanelClient& operator=(const PanelClient&) = delete;

  // Sends `msg` with `param` and an answer block; the block's text in `answer`.
  int32_t Ask(uint32_t msg, int32_t param, std::string* answer) {
    std::vector<char> block(static_cast<size_t>(xarvel::kPanelBlockSize), '\0');
    const int32_t r =
        xarvel::KirnIf_SendData(driver_, msg, param, block.data(), 1, xarvel::kPanelBlockSize);
    block.back() = '\0';
    *answer = block.data();
    return r;
  }

 private:
  PanelClient() = default;
  std::unique_ptr<plat::BusClient> bus_;
  plat::Hwnd window_ = plat::kNoWindow;
  plat::Hwnd driver_ = plat::kNoWindow;
};

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

std::string Json(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7F) {
      // The dialog texts are plain ASCII; anything else is shown as a code, never raw.
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", u);
      out += code;
    } else {
      out += c;
    }
  }
  return out + "\"";
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

void PrintText(const std::vector<std::vector<std::string>>& lines) {
  bool table = false;
  for (const auto& f : lines) {
    if (f[0] == "router" && f.size() == 6) {
      if (!table) {
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
}

void PrintJson(const std::vector<std::vector<std::string>>& lines) {
  std::string out = "{";
  std::string routers;
  for (const auto& f : lines) {
    if (f[0] == "router" && f.size() == 6) {
      if (!routers.empty()) routers += ",";
      routers += "{\"letter\":" + Json(f[1]) + ",\"device\":" + Json(f[2]) +
                 ",\"sources\":" + Json(f[3]) + ",\"destinations\":" + Json(f[4]) +
                 ",\"offsets\":" + Json(f[5]) + "}";
    } else if (f.size() == 2) {
      if (out.size() > 1) out += ",";
      out += Json(f[0]) + ":" + Json(Trim(f[1]));
    }
  }
  if (out.size() > 1) out += ",";
  out += "\"routers\":[" + routers + "]}";
  std::printf("%s\n", out.c_str());
}

}  // namespace

int RunStatus(const Args& args) {
  bool json = false;
  std::vector<std::string> positional;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError("status", "unknown option '" + a + "'");
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 1) return UsageError("status", "expects DEV");
  int device = 0;
  if (!ParseDevice(positional[0], &device)) {
    return UsageError("status", "DEV must be a device id 1..999, not '" + positional[0] + "'");
  }
  std::string error;
  auto client = PanelClient::Open(device, &error);
  if (!client) return Failure("status", error);
  std::string answer;
  if (client->Ask(xarvel::kPanelStatus, 0, &answer) <= 0) {
    return Failure("status", "the driver of device " + std::to_string(device) + " did not answer");
  }
  std::vector<std::vector<std::string>> lines;
  for (const std::string& line : Split(answer, '\n')) {
    if (!line.empty()) lines.push_back(Split(line, '\t'));
  }
  if (json) {
    PrintJson(lines);
  } else {
    PrintText(lines);
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
