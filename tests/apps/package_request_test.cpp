#include "apps/package_request.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvo {
namespace {

TEST(PackageName, Rule) {
  for (const std::string& name :
       std::vector<std::string>{"vlc", "7", std::string(64, 'a'), "libreoffice-writer", "g++", "python3.12"}) {
    EXPECT_TRUE(is_valid_package_name(name)) << name;
  }
  for (const std::string& name :
       std::vector<std::string>{std::string(65, 'a'), "", "VLC", "vlC", "-vlc", "+vlc", ".vlc", "vl c", "vlc\n", "a/b",
                                "a:b", "a_b", "caf\xC3\xA9"}) {
    EXPECT_FALSE(is_valid_package_name(name)) << "\"" << name << "\"";
  }
}

TEST(PackageName, SnapRule) {
  for (const std::string& name : std::vector<std::string>{"gimp", "vlc", "code", "k8s-tools", "a1", std::string(40, 'a')}) {
    EXPECT_TRUE(is_valid_snap_name(name)) << name;
  }
  for (const std::string& name : std::vector<std::string>{"a", "12", "x--y", "edge-", "-edge", "code.snap", "gimp+",
                                                          std::string(41, 'a'), "g_imp", "Gimp"}) {
    EXPECT_FALSE(is_valid_snap_name(name)) << name;
  }
}

TEST(PackageRequest, ParsesTheThreeTags) {
  const struct {
    std::string argument;
    bool is_snap;
    bool classic;
  } cases[] = {
      {"apt:vlc", false, false},
      {"snap:vlc", true, false},
      {"snap-classic:code", true, true},
  };
  for (const auto& c : cases) {
    const auto request = parse_package_request(c.argument);
    ASSERT_TRUE(request) << c.argument;
    EXPECT_EQ(request->is_snap, c.is_snap) << c.argument;
    EXPECT_EQ(request->classic, c.classic) << c.argument;
    EXPECT_EQ(package_request_argument(c.argument.substr(0, c.argument.find(':')), request->name), c.argument);
  }
  EXPECT_EQ(parse_package_request("apt:" + std::string(64, '0'))->name, std::string(64, '0'));
}

TEST(PackageRequest, RefusesAnythingElse) {
  for (const std::string& argument : std::vector<std::string>{
           "vlc", "apt:", "apt:VLC", "apt:vlc:extra", "apt::vlc", ":vlc", "APT:vlc", "Snap:vlc", "snap-Classic:vlc",
           "flatpak:vlc", "deb:vlc", " apt:vlc", "apt :vlc", "apt:-y", "apt:" + std::string(65, 'a')}) {
    EXPECT_FALSE(parse_package_request(argument)) << argument;
  }
}

}  // namespace
}  // namespace korvo
