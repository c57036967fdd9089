#include "platform/dialog.h"

#include <map>
#include <utility>

namespace plat {
namespace {

struct Control {
  std::string text;
  bool enabled = true;
  std::vector<std::string> rows;
  int selected = -1;
  int column_width = 0;
  bool text_set = false;
};

struct MenuItem {
  std::string text;
  bool checked = false;
  bool grayed = false;
};

struct WindowModel {
  std::map<int, Control> controls;
  int focus = 0;
  std::map<int, MenuItem> menu;
  std::vector<int> menu_order;
  Hwnd fitted_to = kNoWindow;
  int origin_moves = 0;
  bool iconic = false;
};

struct Models {
  std::map<Hwnd, WindowModel> windows;
  std::map<int, ModelObserver> observers;
  int next_key = 1;
};

Models& M() {
  static Models models;
  return models;
}

Control& ControlOf(Hwnd dlg, int id) {
  return M().windows[dlg].controls[id];
}

const Control* FindControl(Hwnd dlg, int id) {
  auto w = M().windows.find(dlg);
  if (w == M().windows.end()) return nullptr;
  auto c = w->second.controls.find(id);
  return c == w->second.controls.end() ? nullptr : &c->second;
}

MenuItem& MenuOf(Hwnd owner, int id) {
  WindowModel& w = M().windows[owner];
  auto it = w.menu.find(id);
  if (it == w.menu.end()) {
    w.menu_order.push_back(id);
    it = w.menu.emplace(id, MenuItem{}).first;
  }
  return it->second;
}

const MenuItem* FindMenu(Hwnd owner, int id) {
  auto w = M().windows.find(owner);
  if (w == M().windows.end()) return nullptr;
  auto m = w->second.menu.find(id);
  return m == w->second.menu.end() ? nullptr : &m->second;
}

void Notify(Hwnd hwnd, int id) {
  // Copy: an observer may add or remove observers.
  auto observers = M().observers;
  for (auto& [key, observer] : observers) observer(hwnd, id);
}

}  // namespace

void SetDlgItemText(Hwnd dlg, int id, std::string_view text) {
  Control& c = ControlOf(dlg, id);
  c.text.assign(text);
  c.text_set = true;
  Notify(dlg, id);
}

std::string GetDlgItemText(Hwnd dlg, int id) {
  const Control* c = FindControl(dlg, id);
  return c == nullptr ? std::string() : c->text;
}

bool DlgItemTextSet(Hwnd dlg, int id) {
  const Control* c = FindControl(dlg, id);
  return c != nullptr && c->text_set;
}

void EnableWindow(Hwnd dlg, int id, bool enable) {
  ControlOf(dlg, id).enabled = enable;
  Notify(dlg, id);
}

bool IsWindowEnabled(Hwnd dlg, int id) {
  const Control* c = FindControl(dlg, id);
  return c == nullptr || c->enabled;
}

void SetFocus(Hwnd dlg, int id) {
  M().windows[dlg].focus = id;
  Notify(dlg, id);
}

int GetFocus(Hwnd dlg) {
  auto w = M().windows.find(dlg);
  return w == M().windows.end() ? 0 : w->second.focus;
}

void ListReset(Hwnd dlg, int id) {
  Control& c = ControlOf(dlg, id);
  c.rows.clear();
  c.selected = -1;
  Notify(dlg, id);
}

int ListAddRow(Hwnd dlg, int id, std::string_view text) {
  Control& c = ControlOf(dlg, id);
  c.rows.emplace_back(text);
  const int row = static_cast<int>(c.rows.size()) - 1;
  Notify(dlg, id);
  return row;
}

int ListSelect(Hwnd dlg, int id, int row) {
  Control& c = ControlOf(dlg, id);
  c.selected = (row >= 0 && row < static_cast<int>(c.rows.size())) ? row : -1;
  Notify(dlg, id);
  return c.selected;
}

int ListSelected(Hwnd dlg, int id) {
  const Control* c = FindControl(dlg, id);
  return c == nullptr ? -1 : c->selected;
}

int ListCount(Hwnd dlg, int id) {
  const Control* c = FindControl(dlg, id);
  return c == nullptr ? 0 : static_cast<int>(c->rows.size());
}

std::string ListRow(Hwnd dlg, int id, int row) {
  const Control* c = FindControl(dlg, id);
  if (c == nullptr || row < 0 || row >= static_cast<int>(c->rows.size())) return {};
  return c->rows[static_cast<size_t>(row)];
}

void ListSetColumnWidth(Hwnd dlg, int id, int chars) {
  ControlOf(dlg, id).column_width = chars;
  Notify(dlg, kPlacement);
}

int ListColumnWidth(Hwnd dlg, int id) {
  const Control* c = FindControl(dlg, id);
  return c == nullptr ? 0 : c->column_width;
}

void FitWindowToDialog(Hwnd window, Hwnd dlg) {
  M().windows[window].fitted_to = dlg;
  Notify(window, kPlacement);
}

Hwnd FittedDialog(Hwnd window) {
  auto w = M().windows.find(window);
  return w == M().windows.end() ? kNoWindow : w->second.fitted_to;
}

void MoveDialogToOrigin(Hwnd dlg) {
  ++M().windows[dlg].origin_moves;
  Notify(dlg, kPlacement);
}

int DialogOriginMoves(Hwnd dlg) {
  auto w = M().windows.find(dlg);
  return w == M().windows.end() ? 0 : w->second.origin_moves;
}

void SetIconic(Hwnd window, bool iconic) {
  M().windows[window].iconic = iconic;
}

bool IsIconic(Hwnd window) {
  auto w = M().windows.find(window);
  return w != M().windows.end() && w->second.iconic;
}

void SetMenuItem(Hwnd owner, int id, std::string_view text) {
  MenuOf(owner, id).text.assign(text);
  Notify(owner, id);
}

std::string GetMenuItemText(Hwnd owner, int id) {
  const MenuItem* m = FindMenu(owner, id);
  return m == nullptr ? std::string() : m->text;
}

void CheckMenuItem(Hwnd owner, int id, bool checked) {
  MenuOf(owner, id).checked = checked;
  Notify(owner, id);
}

void EnableMenuItem(Hwnd owner, int id, bool enabled) {
  MenuOf(owner, id).grayed = !enabled;
  Notify(owner, id);
}

bool IsMenuItemChecked(Hwnd owner, int id) {
  const MenuItem* m = FindMenu(owner, id);
  return m != nullptr && m->checked;
}

bool IsMenuItemGrayed(Hwnd owner, int id) {
  const MenuItem* m = FindMenu(owner, id);
  return m != nullptr && m->grayed;
}

std::vector<int> MenuItemIds(Hwnd owner) {
  auto w = M().windows.find(owner);
  return w == M().windows.end() ? std::vector<int>() : w->second.menu_order;
}

int AddModelObserver(ModelObserver observer) {
  const int key = M().next_key++;
  M().observers.emplace(key, std::move(observer));
  return key;
}

void RemoveModelObserver(int key) {
  M().observers.erase(key);
}

void ResetDialogModels() {
  M().windows.clear();
}

}  // namespace plat
