#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "apps/installer.hpp"

// The test binary doubles as the installer copy: code under test that starts
// its own executable with "--install-apps" (through a fake pkexec) lands here.
int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--install-apps") {
    return korvo::run_installer(std::vector<std::string>(argv + 2, argv + argc));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
