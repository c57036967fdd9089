// Message boxes and the headless mode.
#pragma once

#include <string_view>

#include "platform/window.h"

namespace plat {

inline constexpr int IDOK = 1;

// True when neither DISPLAY nor WAYLAND_DISPLAY is set: nothing can be shown.
bool IsHeadless();

// True when windows can be shown: a widget application runs on a platform with a display (not
// headless, not Qt's offscreen platform). Without it no widget is created, and message boxes and
// the About box return at once.
bool CanShowWindows();

// Before the Qt application object is created: selects Qt's offscreen platform when headless, so
// windows and dialogs work without being shown. Leaves an explicit QT_QPA_PLATFORM alone.
void PrepareQtPlatform();

// Shows a modal box with an OK button and waits for the operator. When windows cannot be shown
// (CanShowWindows) the caption and text go to the debug output as one line "<caption>: <text>\n"
// and the call returns at once: a service must never hang on a box. Always returns IDOK.
int MessageBox(Hwnd owner, std::string_view text, std::string_view caption);

}  // namespace plat
