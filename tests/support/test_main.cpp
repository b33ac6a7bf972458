#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "apps/installer.hpp"

int main(int argc, char** argv) {
  // In-process app offers start /proc/self/exe as the installer copy, which
  // is this binary: it has to answer like the program would.
  if (argc > 1 && std::string_view(argv[1]) == "--install-apps") {
    return korvo::run_installer(std::vector<std::string>(argv + 2, argv + argc));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
