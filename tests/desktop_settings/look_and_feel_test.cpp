#include "desktop_settings/look_and_feel.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "support/env_override.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

using testing::EnvOverride;
using testing::FakeTools;
using testing::read_test_file;
using testing::ScratchDir;
using testing::write_test_file;
using Args = std::vector<std::string>;
namespace fs = std::filesystem;

TEST(LookAndFeel, ParsesSettings) {
  struct Case {
    std::string json;
    std::optional<bool> dark_mode;
    std::optional<std::string> wallpaper;
  };
  const Case cases[] = {
      {"{}", std::nullopt, std::nullopt},
      {" {\"dark_mode\": null, \"wallpaper\": null}\n", std::nullopt, std::nullopt},
      {R"({"dark_mode": true, "wallpaper": "wallpaper.jpg", "accent": [1, 2]})", true, "wallpaper.jpg"},
      {R"({"dark_mode": false})", false, std::nullopt},
  };
  for (const Case& c : cases) {
    auto settings = parse_personal_settings(c.json);
    ASSERT_TRUE(settings.ok()) << c.json;
    EXPECT_EQ(settings->dark_mode, c.dark_mode) << c.json;
    EXPECT_EQ(settings->wallpaper, c.wallpaper) << c.json;
  }
  for (const char* json : {R"({"dark_mode": "true"})", R"({"dark_mode": 1})", R"({"wallpaper": 5})",
                           R"({"dark_mode": true, "dark_mode": true})", R"({"accent": 1, "accent": 2})",
                           R"([{"dark_mode": true}])", "null", R"({"dark_mode": true} {})", ""}) {
    EXPECT_FALSE(parse_personal_settings(json).ok()) << json;
  }
}

TEST(LookAndFeel, WallpaperNameRule) {
  for (const char* name : {"wallpaper.jpg", "wallpaper.JPEG", "wallpaper.png", "wallpaper.b", "wallpaper.Heic2"}) {
    EXPECT_TRUE(is_wallpaper_name(name)) << name;
  }
  for (const char* name :
       {"wallpaper.", "wallpaper.jpegxl", "Wallpaper.jpg", "wallpaper.jp-g", "wallpaper.jpg ", "../wallpaper.jpg",
        "wallpaper./jpg", "sub/wallpaper.jpg", "wallpaper.j\xc3\xa9", "", "wallpaper.jpg/x", "wallpaper..jpg"}) {
    EXPECT_FALSE(is_wallpaper_name(name)) << name;
  }
}

TEST(LookAndFeel, PictureUriEscapesOnlySpaces) {
  EXPECT_EQ(picture_uri("/home/ann lee/a  b/korvo-wallpaper.jpg"),
            "file:///home/ann%20lee/a%20%20b/korvo-wallpaper.jpg");
  EXPECT_EQ(picture_uri("/h/%#?&\xc3\xa9\t"), "file:///h/%#?&\xc3\xa9\t");
}

class LookAndFeelStage : public ::testing::Test {
 protected:
  ScratchDir scratch;
  FakeTools tools{scratch.sub("tools")};
  std::string settings = scratch.sub("staging/Settings");
  std::string home = scratch.sub("my home");
  std::string backgrounds = home + "/.local/share/backgrounds";
  EnvOverride env{{"PATH", tools.path_value()}, {"HOME", home}};

  void write_settings(const std::string& json) { write_test_file(settings + "/settings.json", json); }
  static Args ui(const std::string& key, const std::string& value) {
    return {"set", "org.gnome.desktop.interface", key, value};
  }
  static Args bg(const std::string& key, const std::string& uri) {
    return {"set", "org.gnome.desktop.background", key, uri};
  }
  std::string uri() const { return "file://" + replace_all(backgrounds, " ", "%20") + "/korvo-wallpaper.jpg"; }
  void forget_calls() {
    fs::remove_all(tools.dir() + "/log");
    fs::create_directories(tools.dir() + "/log");
  }
};

TEST_F(LookAndFeelStage, AppliesDarkModeAndWallpaper) {
  const std::string streams = scratch.sub("streams.log");
  tools.add("gsettings",
            "for fd in 0 1 2; do target=$(readlink /proc/$$/fd/$fd); echo \"$target\" >> '" + streams + "'; done");
  write_settings(R"({"dark_mode": true, "wallpaper": "wallpaper.jpg", "accent": "blue"})");
  write_test_file(settings + "/wallpaper.jpg", "JPEG picture bytes");
  write_test_file(backgrounds + "/korvo-wallpaper.jpg", "an older picture that is longer");

  EXPECT_EQ(apply_look_and_feel(settings, home), Args{"Look and feel: dark mode and your wallpaper applied."});

  EXPECT_EQ(tools.calls("gsettings"),
            (std::vector<Args>{ui("color-scheme", "prefer-dark"), ui("gtk-theme", "Yaru-dark"),
                               bg("picture-uri", uri()), bg("picture-uri-dark", uri())}));
  EXPECT_NE(uri().find("my%20home"), std::string::npos);
  EXPECT_EQ(read_test_file(backgrounds + "/korvo-wallpaper.jpg"), "JPEG picture bytes");

  // gsettings shares the program's own streams.
  std::vector<std::string> own;
  for (int fd = 0; fd < 3; ++fd) own.push_back(fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).string());
  const std::vector<std::string> fds = split_lines(read_test_file(streams));
  ASSERT_EQ(fds.size(), 4u * 3u);
  for (std::size_t i = 0; i < fds.size(); ++i) EXPECT_EQ(fds[i], own[i % 3]) << i;
}

TEST_F(LookAndFeelStage, LightModeWithUnusableWallpaper) {
  tools.add("gsettings");
  write_test_file(settings + "/wallpaper.jpegxl", "picture");
  write_test_file(settings + "/Wallpaper.jpg", "picture");
  for (const char* name : {"wallpaper.jpegxl", "Wallpaper.jpg", "../Settings/wallpaper.jpg", "wallpaper.",
                           "wallpaper.png" /* not in the backup */}) {
    SCOPED_TRACE(name);
    forget_calls();
    write_settings(std::string(R"({"dark_mode": false, "wallpaper": ")") + name + "\"}");

    EXPECT_EQ(apply_look_and_feel(settings, home), Args{"Look and feel: light mode applied."});
    EXPECT_EQ(tools.calls("gsettings"), (std::vector<Args>{ui("color-scheme", "default"), ui("gtk-theme", "Yaru")}));
    EXPECT_FALSE(fs::exists(backgrounds + "/korvo-" + std::string(name)));
  }
}

TEST_F(LookAndFeelStage, FailedCommandsOnlyDropTheirPart) {
  write_test_file(settings + "/wallpaper.jpg", "picture");
  write_settings(R"({"dark_mode": true, "wallpaper": "wallpaper.jpg"})");
  const Args scheme = ui("color-scheme", "prefer-dark"), theme = ui("gtk-theme", "Yaru-dark");
  const Args picture = bg("picture-uri", uri()), dark_picture = bg("picture-uri-dark", uri());
  const struct {
    const char* fake;
    std::vector<std::string> lines;
    std::vector<Args> calls;
  } cases[] = {
      {"[ \"$3\" = picture-uri ] && exit 1; exit 0", {"Look and feel: dark mode applied."}, {scheme, theme, picture}},
      {"[ \"$3\" = color-scheme ] && exit 1; exit 0",
       {"Look and feel: your wallpaper applied."},
       {scheme, theme, picture, dark_picture}},
      {"exit 1", {}, {scheme, theme, picture}},
  };
  for (const auto& c : cases) {
    forget_calls();
    tools.add("gsettings", c.fake);
    EXPECT_EQ(apply_look_and_feel(settings, home), c.lines) << c.fake;
    EXPECT_EQ(tools.calls("gsettings"), c.calls) << c.fake;
  }
}

TEST_F(LookAndFeelStage, NothingToApplyOrNothingUsable) {
  tools.add("gsettings");
  write_test_file(settings + "/wallpaper.jpg", "picture");
  const std::string unusable[] = {
      R"({"dark_mode": null})",
      "{}",
      R"({"dark_mode": "yes", "wallpaper": "wallpaper.jpg"})",
      "{\"dark_mode\": true, \"wallpaper\": \"wallpaper.jpg\", \"x\": \"\xff\"}",
  };
  for (const std::string& json : unusable) {
    write_settings(json);
    EXPECT_TRUE(apply_look_and_feel(settings, home).empty()) << json;
  }
  fs::remove(settings + "/settings.json");
  EXPECT_TRUE(apply_look_and_feel(settings, home).empty());
  EXPECT_TRUE(tools.calls("gsettings").empty());
  EXPECT_FALSE(fs::exists(backgrounds));
}

TEST_F(LookAndFeelStage, PictureThatIsAFolderKeepsTheEarlierCopy) {
  tools.add("gsettings");
  fs::create_directories(settings + "/wallpaper.jpg");
  write_test_file(backgrounds + "/korvo-wallpaper.jpg", "earlier picture");
  write_settings(R"({"wallpaper": "wallpaper.jpg"})");
  EXPECT_TRUE(apply_look_and_feel(settings, home).empty());
  EXPECT_TRUE(tools.calls("gsettings").empty());
  EXPECT_EQ(read_test_file(backgrounds + "/korvo-wallpaper.jpg"), "earlier picture");
}

TEST_F(LookAndFeelStage, WithoutGsettingsNothingChanges) {
  write_test_file(settings + "/wallpaper.jpg", "picture");
  write_settings(R"({"dark_mode": true, "wallpaper": "wallpaper.jpg"})");
  EXPECT_TRUE(apply_look_and_feel(settings, home).empty());
  EXPECT_FALSE(fs::exists(home));
}

TEST_F(LookAndFeelStage, RelativeHomeIsTakenFromTheCurrentFolder) {
  tools.add("gsettings");
  write_test_file(settings + "/wallpaper.png", "picture");
  write_settings(R"({"wallpaper": "wallpaper.png"})");
  const fs::path old_cwd = fs::current_path();
  fs::create_directories(scratch.sub("cwd"));
  fs::current_path(scratch.sub("cwd"));
  const auto lines = apply_look_and_feel(settings, ".");
  fs::current_path(old_cwd);

  EXPECT_EQ(lines, Args{"Look and feel: your wallpaper applied."});
  const std::string uri = "file://./.local/share/backgrounds/korvo-wallpaper.png";
  EXPECT_EQ(tools.calls("gsettings"), (std::vector<Args>{bg("picture-uri", uri), bg("picture-uri-dark", uri)}));
  EXPECT_EQ(read_test_file(scratch.sub("cwd/.local/share/backgrounds/korvo-wallpaper.png")), "picture");
}

}  // namespace
}  // namespace korvo
