#include "core/remote_panel.h"

#include <cctype>
#include <cstring>
#include <string>

#include "config/profile.h"
#include "core/driver.h"
#include "core/main_window.h"
#include "core/panel_counters.h"
#include "platform/dialog.h"
#include "ui/dialog_ids.h"
#include "ui/status_dialog.h"

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

std::string StatusText() {
  std::string text;
  for (const PanelField& f : kPanelFields) {
    text += f.key;
    text += '\t';
    text += FieldText(f.id);
    text += '\n';
  }
  text += RouteReadingText();
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
  return msg == kPanelFind || msg == kPanelStatus || msg == kPanelMenu || msg == kPanelCounters;
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
