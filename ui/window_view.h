// The operator's window on screen: a Qt Widgets view of the dialog and menu model.
//
// The view renders what the driver wrote into the model (platform/dialog.h) and nothing else:
// the main window's frame with the menu bar of the "Menu" form, and the status dialog laid out
// from the "MAINDIALOG" form, each control found by its `ctrlId` property. It turns the
// operator's actions back into the messages the window procedures handle: a list selection into
// the list's command, a button click into WM_COMMAND with the button's id, a menu choice into
// WM_COMMAND with the item's id, closing the frame into WM_CLOSE. It holds no driver logic.
//
// Without a display nothing is created. Model changes are collected and drawn in one pass per
// turn of the event loop, and no more often than every kRenderIntervalMs (ten times a second is
// plenty for an operator and keeps a fast poll cheap); while the window cannot be seen
// (minimised, hidden) they wait until it is exposed again.
#pragma once

#include "platform/window.h"

class QWidget;

namespace xarvel {

inline constexpr int kRenderIntervalMs = 100;

// Creates the main window's frame for window `main` when windows can be shown: fixed size, with
// caption, system menu, minimise and close boxes, the program icon and the menu bar; shown
// minimised. The frame is attached to `main` (titles and message boxes use it). Returns false,
// creating nothing, when there is no display.
bool View_CreateMainWindow(plat::Hwnd main);

// Lays out dialog window `dlg` from the "MAINDIALOG" form at the origin of the main window's
// client area. Does nothing when View_CreateMainWindow created no frame for `main`.
void View_CreateDialog(plat::Hwnd main, plat::Hwnd dlg);

// Deletes every widget of the view (before the application object goes).
void View_Destroy();

// The frame and the dialog widget; null when there are none.
QWidget* View_Frame();
QWidget* View_Dialog();

// Renders every pending change now when the window can be seen (tests, screenshots).
void View_Flush();
// The number of render passes made so far.
int View_Renders();

}  // namespace xarvel
