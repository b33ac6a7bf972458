#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "apps/installer.hpp"

int main(int argc, char** argv) {
  // In-process app offers start /proc/self/exe as the installer copy, which
  // is this binary: it has to answer like the program would.
  if (argc > 1 && std::string_view(argv[1]) == "--install-apps") {
    // The product always uses /usr/bin; a test must point this copy at its
    // fakes, and one that forgot must never reach the real package tools.
    const char* fakes = std::getenv("KORVO_TEST_PACKAGE_TOOLS");
    if (fakes == nullptr) return 3;
    korvo::InstallerTools tools;
    tools.directory = fakes;
    return korvo::installer_main(std::vector<std::string>(argv + 2, argv + argc), tools);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
