#include "apps/install_item.hpp"

#include <gtest/gtest.h>

#include <string>

namespace korvo {
namespace {

TEST(InstallItems, ReadsEveryFieldWithDefaults) {
  const auto items = parse_install_items(R"([
    {"app": "Media Player", "linux_name": "VLC", "manager": "apt", "packages": ["vlc", "vlc-l10n"], "extra": 1},
    {"app": "Photoshop", "linux_name": "GIMP", "manager": "snap", "packages": [], "classic": true,
     "alternative": true}
  ]  )");
  ASSERT_TRUE(items) << items.error().render();
  ASSERT_EQ(items->size(), 2u);
  const InstallItem& vlc = (*items)[0];
  EXPECT_EQ(vlc.app, "Media Player");
  EXPECT_EQ(vlc.linux_name, "VLC");
  EXPECT_EQ(vlc.manager, PackageManager::kApt);
  EXPECT_EQ(vlc.packages, (std::vector<std::string>{"vlc", "vlc-l10n"}));
  EXPECT_FALSE(vlc.classic);
  EXPECT_FALSE(vlc.alternative);
  const InstallItem& gimp = (*items)[1];
  EXPECT_EQ(gimp.manager, PackageManager::kSnap);
  EXPECT_TRUE(gimp.packages.empty());
  EXPECT_TRUE(gimp.classic);
  EXPECT_TRUE(gimp.alternative);
}

TEST(InstallItems, OneBadElementSpoilsTheFile) {
  const std::string good = R"({"app": "A", "linux_name": "B", "manager": "apt", "packages": ["b"]})";
  for (const std::string bad : {
           R"({"linux_name": "B", "manager": "apt", "packages": ["b"]})",
           R"({"app": "A", "manager": "apt", "packages": ["b"]})",
           R"({"app": "A", "linux_name": "B", "packages": ["b"]})",
           R"({"app": "A", "linux_name": "B", "manager": "apt"})",
           R"({"app": "A", "app": "A", "linux_name": "B", "manager": "apt", "packages": ["b"]})",
           R"({"app": 1, "linux_name": "B", "manager": "apt", "packages": ["b"]})",
           R"({"app": "A", "linux_name": "B", "manager": "flatpak", "packages": ["b"]})",
           R"({"app": "A", "linux_name": "B", "manager": "Apt", "packages": ["b"]})",
           R"({"app": "A", "linux_name": "B", "manager": "apt", "packages": "b"})",
           R"({"app": "A", "linux_name": "B", "manager": "apt", "packages": ["b", 2]})",
           R"({"app": "A", "linux_name": "B", "manager": "snap", "packages": ["b"], "classic": "yes"})",
           R"({"app": "A", "linux_name": "B", "manager": "snap", "packages": ["b"], "alternative": null})",
           R"(["A", "B"])",
       }) {
    EXPECT_FALSE(parse_install_items("[" + good + ", " + bad + "]")) << bad;
  }
  EXPECT_FALSE(parse_install_items(good));
  EXPECT_FALSE(parse_install_items("[" + good + "] x"));
  EXPECT_TRUE(parse_install_items("[" + good + "]\n\t "));
}

}  // namespace
}  // namespace korvo
