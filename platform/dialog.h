// The dialog manager and menus, as a model.
//
// Every control of a dialog window is kept by id: its text, whether it is enabled and, for list
// boxes, its rows and selected row. Every menu item of a window is kept by id with its text,
// check mark and gray state. The driver writes the model through the calls below (shaped like the
// platform calls they stand in for); tests read it; a Qt view renders it and turns clicks back
// into the same commands. The model holds no Qt types.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/window.h"

namespace plat {

// Controls.
void SetDlgItemText(Hwnd dlg, int id, std::string_view text);
std::string GetDlgItemText(Hwnd dlg, int id);
void EnableWindow(Hwnd dlg, int id, bool enable);
// True once a text has been written to control `id` of `dlg`; until then the control shows the
// text of its resource.
bool DlgItemTextSet(Hwnd dlg, int id);
// Controls are enabled until disabled.
bool IsWindowEnabled(Hwnd dlg, int id);
void SetFocus(Hwnd dlg, int id);
// Id of the focused control of `dlg`, 0 when none.
int GetFocus(Hwnd dlg);

// List boxes. Rows are numbered from 0; no selection is -1.
void ListReset(Hwnd dlg, int id);
// Appends a row; returns its index.
int ListAddRow(Hwnd dlg, int id, std::string_view text);
// Selects `row`; a row outside the list clears the selection. Returns the selection.
int ListSelect(Hwnd dlg, int id, int row);
int ListSelected(Hwnd dlg, int id);
int ListCount(Hwnd dlg, int id);
// Text of `row`, empty outside the list.
std::string ListRow(Hwnd dlg, int id, int row);

// Width of a column of list `id`, in average character widths of the list's font
// (LB_SETCOLUMNWIDTH); 0 until set.
void ListSetColumnWidth(Hwnd dlg, int id, int chars);
int ListColumnWidth(Hwnd dlg, int id);

// Placement. The model keeps no pixels: it records what the driver asked for and tells the view,
// through an observer call with id kPlacement, which does the moving and sizing.
inline constexpr int kPlacement = 0;
// Sizes `window` so that its client area holds dialog `dlg` exactly (the dialog's rectangle).
void FitWindowToDialog(Hwnd window, Hwnd dlg);
// The dialog that `window` was fitted to, 0 when none.
Hwnd FittedDialog(Hwnd window);
// Puts dialog `dlg` back at the origin of its parent's client area, with its own size.
void MoveDialogToOrigin(Hwnd dlg);
// How often MoveDialogToOrigin was asked for `dlg`.
int DialogOriginMoves(Hwnd dlg);

// Whether `window` is minimised on screen (iconic); the view keeps it. False without a view.
void SetIconic(Hwnd window, bool iconic);
bool IsIconic(Hwnd window);

// Menu items of window `owner`.
void SetMenuItem(Hwnd owner, int id, std::string_view text);
std::string GetMenuItemText(Hwnd owner, int id);
void CheckMenuItem(Hwnd owner, int id, bool checked);
// Enabled = not grayed. Items are enabled until grayed.
void EnableMenuItem(Hwnd owner, int id, bool enabled);
bool IsMenuItemChecked(Hwnd owner, int id);
bool IsMenuItemGrayed(Hwnd owner, int id);
// Ids of the menu items of `owner` in the order they were first set.
std::vector<int> MenuItemIds(Hwnd owner);

// Called after every change with the window and the control or menu id that changed, so a view
// can re-render it. Returns a key for RemoveModelObserver.
using ModelObserver = std::function<void(Hwnd, int id)>;
int AddModelObserver(ModelObserver observer);
void RemoveModelObserver(int key);

// Forgets every dialog and menu model (tests).
void ResetDialogModels();

}  // namespace plat
