// Small helpers the stand-ins share for their event lines and message parameters.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/window.h"

namespace kirn {

// A window handle as "0x%04x".
inline std::string Hex(plat::Hwnd h) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04x", static_cast<unsigned>(h));
  return buf;
}

// A text fit for one output line: control characters (a line break above all) become '?'.
inline std::string OneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

// The window handle carried in the low 16 bits of a parameter.
inline plat::Hwnd Low16(plat::WParam w) {
  return static_cast<plat::Hwnd>(w & 0xFFFF);
}

}  // namespace kirn
