// Xvfb comes first: the application connects to its display as it starts.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/e2e_tree_window/display.h"

namespace zentu::testing {
XSession* g_x = nullptr;
}  // namespace zentu::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  bool listing = false;
  for (int i = 1; i < argc; ++i)
    if (std::strstr(argv[i], "list_tests")) listing = true;
  if (listing) return RUN_ALL_TESTS();
  zentu::testing::XSession x(1280, 960);
  if (!x.Started()) {
    std::fprintf(stderr, "no X display: %s\n", x.Error().c_str());
    return std::getenv("CI") ? 1 : 0;
  }
  ::setenv("DISPLAY", x.Name().c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  ::unsetenv("WAYLAND_DISPLAY");
  QApplication app(argc, argv);
  zentu::testing::g_x = &x;
  return RUN_ALL_TESTS();
}
