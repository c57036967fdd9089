// The About box: version, build time, profile and save format.
#pragma once

#include <array>
#include <string>

#include "platform/window.h"

namespace xarvel {

inline constexpr int IDC_ABOUT_VERSION = 1998;
inline constexpr int IDC_ABOUT_BUILD = 1999;
inline constexpr int IDC_ABOUT_CONFIG = 2000;
inline constexpr int IDC_ABOUT_SAVE = 2001;

struct AboutText {
  int id;
  std::string text;
};

// The four text fields of the About box, in control order 1998..2001.
std::array<AboutText, 4> AboutBoxTexts();

// Shows the About box, modal, owned by `owner`; returns 1 when it is closed. Without a display the
// texts go to the debug output and the box closes at once.
int ShowAboutBox(plat::Hwnd owner);

}  // namespace xarvel
