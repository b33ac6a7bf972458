#include "apps/package_request.hpp"

#include <gtest/gtest.h>

#include <string>


namespace korvo {
namespace {

TEST(PackageName, Rule) {
  const struct {
    std::string name;
    bool valid;
  } cases[] = {
      {"vlc", true},
      {"7", true},
      {std::string(64, 'a'), true},
      {std::string(65, 'a'), false},
      {"libreoffice-writer", true},
      {"g++", true},
      {"python3.12", true},
      {"", false},
      {"VLC", false},
      {"vlC", false},
      {"-vlc", false},
      {"+vlc", false},
      {".vlc", false},
      {"vl c", false},
      {"vlc\n", false},
      {"a/b", false},
      {"a:b", false},
      {"a_b", false},
      {"caf\xC3\xA9", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_package_name(c.name), c.valid) << "\"" << c.name << "\"";
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
