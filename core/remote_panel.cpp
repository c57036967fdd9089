#include "core/remote_panel.h"

#include <QAbstractEventDispatcher>
#include <QObject>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "config/profile.h"
#include "core/panel_counters.h"
#include "ids/window_ids.h"
#include "platform/bus_client.h"
#include "platform/dialog.h"
#include "state/router_tables.h"

namespace xarvel {
namespace {

// A dialog text as one field: tabs and line ends become blanks.
std::string FieldText(int id) {
  const plat::Hwnd dlg = Core().MainDialog;
  std::string text = dlg == plat::kNoWindow ? std::string() : plat::GetDlgItemText(dlg, id);
  for (char& c : text) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

// Copies whole lines of `text` into the handed-off block at `l`, zero-terminated; returns the
// bytes written.
int32_t WriteBlock(plat::LParam l, const std::string& text) {
  const size_t size = plat::HandedOffBlockSize();
  if (l == 0 || size == 0) return 0;
  size_t n = text.size();
  if (n > size - 1) {
    n = text.rfind('\n', size - 2);
    n = n == std::string::npos ? 0 : n + 1;
  }
  char* block = reinterpret_cast<char*>(l);
  std::memcpy(block, text.data(), n);
  std::memset(block + n, 0, size - n);
  return static_cast<int32_t>(n);
}

// How the driver reads the numbers of a route command (the profile's values, which the dialog
// does not show), so that a tool can tell which route a command asked for.
std::string RouteReadingText() {
  const Settings& s = Profile().settings;
  return "source_to_dest\t" + std::to_string(s.SourceToDest) + "\ndest_to_source\t" +
         std::to_string(s.DestToSource) + "\npark_source\t" + std::to_string(s.ParkSource) + "\n";
}

// The controller's name (the profile's) and the driver's version, as the window title shows them,
// and the link's reply timeout as the profile sets it (0: automatic).
std::string IdentityText() {
  std::string name = Profile().settings.Name;
  std::string version = Core().VersionString;
  for (std::string* t : {&name, &version}) {
    for (char& c : *t) {
      if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    }
  }
  return "controller_name\t" + name + "\nversion\t" + version + "\nreply_timeout_ms\t" +
         std::to_string(Profile().settings.ReplyTimeoutMs) + "\n";
}

std::string StatusText() {
  std::string text;
  for (const PanelField& f : kPanelFields) {
    text += f.key;
    text += '\t';
    text += FieldText(f.id);
    text += '\n';
  }
  text += RouteReadingText();
  text += IdentityText();
  // The router rows, as the dialog shows them: only the defined routers have a device id.
  for (int i = 0; i < kRouterCount; ++i) {
    const std::string device = FieldText(IDC_ROUTER_DEVICE + i);
    if (device.empty()) continue;
    text += "router\t";
    text += static_cast<char>('A' + i);
    text += '\t' + device + '\t' + FieldText(IDC_ROUTER_SOURCES + i) + '\t' +
            FieldText(IDC_ROUTER_DESTS + i) + '\t' + FieldText(IDC_ROUTER_OFFSETS + i) + '\n';
  }
  return text;
}

void AddNumber(std::string& out, long long n) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, n);
  if (ec == std::errc()) out.append(digits, end);
}

// One router's tables from destination `first` on, as many lines as `room` bytes hold with the
// closing lines; empty when the router is unknown or not even one line fits.
std::string TableText(int device, int first, size_t room) {
  const int index = device > 0 ? FindRouter(device) : -1;
  if (index < 0) return {};
  const RouterConfig& r = Profile().routers[static_cast<size_t>(index)];
  const Settings& s = Profile().settings;
  std::string park = s.ParkName;
  for (char& c : park) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  std::string text = "table\t1\nrouter\t" + std::to_string(device) + "\nletter\t" +
                     static_cast<char>('A' + index) + "\nsources\t" +
                     std::to_string(r.SourceCount) + "\ndestinations\t" +
                     std::to_string(r.DestCount) + "\nmin_dest\t" + std::to_string(r.Min_Dest) +
                     "\nmax_dest\t" + std::to_string(r.Max_Dest) + "\npark_source\t" +
                     std::to_string(s.ParkSource) + "\npark_name\t" + park + "\nfirst\t" +
                     std::to_string(first) + "\n";
  // "next\t4096\nend\t1\n" and the block's closing zero.
  constexpr size_t kClosing = 24;
  const int last = std::min(r.DestCount, kTableDests);
  int dest = first;
  std::string line;
  for (; dest <= last; ++dest) {
    line.clear();
    AddNumber(line, dest);
    line += '\t';
    AddNumber(line, GetTally(device, dest));
    line += '\t';
    AddNumber(line, GetLock(device, dest));
    line += '\t';
    AddNumber(line, GetMC1000Lock(index, dest));
    line += '\n';
    if (text.size() + line.size() + kClosing > room) break;
    text += line;
  }
  if (dest == first && dest <= last) return {};
  if (text.size() + kClosing > room) return {};
  text += "next\t" + std::to_string(dest <= last ? dest : 0) + "\nend\t1\n";
  return text;
}

// The tools subscribed to the link news, and where the news go out.
struct Subscriber {
  plat::Hwnd window = plat::kNoWindow;
  uint32_t serial = 0;  // the kLinkNews on its way, 0: none
  bool told = false;    // `last` has been sent
  LinkFigures last;
};
struct LinkNews {
  plat::BusClient* bus = nullptr;
  std::vector<Subscriber> subscribers;
  QMetaObject::Connection turn;
};

LinkNews& News() {
  static LinkNews news;
  return news;
}

void DropSubscribers() {
  LinkNews& n = News();
  if (n.bus != nullptr) {
    for (const Subscriber& s : n.subscribers) {
      if (s.serial != 0) n.bus->Forget(s.serial);
    }
  }
  n.subscribers.clear();
}

plat::LResult Subscribe(uint32_t msg, plat::WParam w) {
  LinkNews& n = News();
  const auto window = static_cast<plat::Hwnd>(w & 0xFFFF);
  // Only a subscriber's own window subscribes or unsubscribes itself.
  if (window == plat::kNoWindow || plat::MessageSender() != window) return 0;
  auto it = std::find_if(n.subscribers.begin(), n.subscribers.end(),
                         [window](const Subscriber& s) { return s.window == window; });
  if (msg == kLinkUnsubscribe) {
    if (it == n.subscribers.end()) return 0;
    if (it->serial != 0 && n.bus != nullptr) n.bus->Forget(it->serial);
    n.subscribers.erase(it);
    return 1;
  }
  if (n.bus == nullptr || !n.bus->connected()) return 0;
  if (it != n.subscribers.end()) {
    it->told = false;
    return 1;
  }
  if (n.subscribers.size() >= kMaxLinkSubscribers) return 0;
  n.subscribers.push_back(Subscriber{window, 0, false, {}});
  return 1;
}

int32_t RunMenu(int id) {
  const plat::Hwnd main = Core().MainWindow;
  bool known = false;
  for (int item : plat::MenuItemIds(main)) known = known || item == id;
  if (!known) return kPanelMenuUnknown;
  if (id == IDM_ABOUT) return kPanelMenuNotRemote;
  if (plat::IsMenuItemGrayed(main, id)) return kPanelMenuGrayed;
  plat::SendMessage(main, plat::WM_COMMAND, id, 0);
  return kPanelMenuDone;
}

}  // namespace

int PanelMenuId(std::string_view name) {
  for (const PanelMenuName& m : kPanelMenuNames) {
    if (name == m.name) return m.id;
  }
  if (name.size() == 8 && name.substr(0, 7) == "router-") {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[7])));
    if (letter >= 'A' && letter <= 'Z') return IDM_ROUTER_A + (letter - 'A');
  }
  return 0;
}

bool RemotePanel_Handles(uint32_t msg) {
  return msg == kPanelFind || msg == kPanelStatus || msg == kPanelMenu || msg == kPanelCounters ||
         msg == kPanelTable || msg == kLinkSubscribe || msg == kLinkUnsubscribe;
}

void RemotePanel_Install(plat::BusClient* bus) {
  LinkNews& n = News();
  DropSubscribers();
  n.bus = bus;
  QObject::disconnect(n.turn);
  if (auto* loop = QAbstractEventDispatcher::instance(); loop != nullptr && bus != nullptr) {
    n.turn = QObject::connect(loop, &QAbstractEventDispatcher::aboutToBlock,
                              [] { RemotePanel_AnnounceLink(); });
  }
}

void RemotePanel_Uninstall() {
  LinkNews& n = News();
  QObject::disconnect(n.turn);
  DropSubscribers();
  n.bus = nullptr;
}

size_t RemotePanel_LinkSubscribers() {
  return News().subscribers.size();
}

void RemotePanel_AnnounceLink() {
  LinkNews& n = News();
  if (n.subscribers.empty()) return;
  if (n.bus == nullptr || !n.bus->connected()) {
    // They subscribe again on the next host.
    DropSubscribers();
    return;
  }
  const LinkFigures now = CurrentLinkFigures();
  std::vector<uint8_t> block;
  for (auto it = n.subscribers.begin(); it != n.subscribers.end();) {
    Subscriber& s = *it;
    if (s.told && s.last == now && s.serial == 0) {
      ++it;
      continue;
    }
    if (s.serial != 0) {
      if (n.bus->Awaiting(s.serial)) {
        ++it;
        continue;
      }
      const auto reply = n.bus->TakeReply(s.serial);
      s.serial = 0;
      if (!reply || reply->result != 1) {
        // Gone, or not a subscriber any more.
        it = n.subscribers.erase(it);
        continue;
      }
      if (s.told && s.last == now) {
        ++it;
        continue;
      }
    }
    if (block.empty()) {
      const std::string text = LinkNewsText(now);
      block.assign(text.begin(), text.end());
      block.push_back(0);
    }
    s.serial = n.bus->StartSend(Core().MainWindow, s.window, kLinkNews, 0, 0, block);
    if (s.serial == 0) {
      it = n.subscribers.erase(it);
      continue;
    }
    s.told = true;
    s.last = now;
    ++it;
  }
}

plat::LResult RemotePanel_Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l) {
  switch (msg) {
    case kPanelFind: {
      const plat::Hwnd asker = static_cast<plat::Hwnd>(w & 0xFFFF);
      if (asker == plat::kNoWindow || asker == hwnd || l <= 0) return 0;
      for (const RouterConfig& r : Profile().routers) {
        if (r.DeviceId > 0 && r.DeviceId == l) {
          plat::SendMessage(asker, kPanelHere, hwnd, l);
          break;
        }
      }
      return 0;
    }
    case kPanelStatus:
      // Only a block handed off with the message is an answer block.
      if (!plat::IsHandedOffBlock(l)) return 0;
      return WriteBlock(l, StatusText());
    case kPanelCounters:
      if (!plat::IsHandedOffBlock(l)) return 0;
      return WriteBlock(l, PanelCountersText());
    case kPanelTable: {
      if (!plat::IsHandedOffBlock(l)) return 0;
      const int device = static_cast<int>(w & 0xFFFF);
      const int first = std::max(1, static_cast<int>((static_cast<uint32_t>(w) >> 16) & 0xFFFF));
      const std::string text = TableText(device, first, plat::HandedOffBlockSize());
      if (text.empty()) return 0;
      return WriteBlock(l, text);
    }
    case kLinkSubscribe:
    case kLinkUnsubscribe:
      return Subscribe(msg, w);
    case kPanelMenu: {
      if (!plat::IsHandedOffBlock(l)) return 0;
      const int32_t result = RunMenu(static_cast<int>(w));
      WriteBlock(l, FieldText(IDC_MESSAGE) + "\n");
      return result;
    }
    default:
      return 0;
  }
}

}  // namespace xarvel
