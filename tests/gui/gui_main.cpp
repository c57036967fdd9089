// The GUI tests run on a real X server of their own (Xvfb, on a free display number) and Qt's
// xcb platform. Listing the tests needs no server.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "gui/xserver.h"

// Under the leak sanitizer: what the system's D-Bus library keeps for Qt's platform integration
// is not the driver's.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n";
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  testing_support::XServer x;
  if (!x.Start()) {
    std::fprintf(stderr, "gui_tests: cannot start Xvfb (is the xvfb package installed?)\n");
    return 1;
  }
  ::setenv("DISPLAY", x.display().c_str(), 1);
  ::unsetenv("WAYLAND_DISPLAY");
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  int code = 1;
  {
    QApplication app(argc, argv);
    code = RUN_ALL_TESTS();
  }
  return code;
}
