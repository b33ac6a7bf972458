#include "desktop_settings/look_and_feel.hpp"

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/json.hpp"
#include "common/process.hpp"
#include "common/text.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::string_view kSettingsFile = "settings.json";
constexpr std::string_view kWallpaperPrefix = "wallpaper.";
constexpr std::size_t kMaxWallpaperExtension = 5;
constexpr std::string_view kBackgroundsFolder = ".local/share/backgrounds";
constexpr std::string_view kCopiedWallpaper = "korvo-{}";

constexpr std::string_view kInterfaceSchema = "org.gnome.desktop.interface";
constexpr std::string_view kBackgroundSchema = "org.gnome.desktop.background";

constexpr std::string_view kLine = N_("Look and feel: {} applied.");

bool is_ascii_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// "gsettings" "set" schema key value with the program's own streams.
bool gsettings_set(std::string_view schema, std::string_view key, std::string_view value) {
  Command command;
  command.argv = {"gsettings", "set", std::string(schema), std::string(key), std::string(value)};
  return run_succeeds(command);
}

// The URI of the copied picture, or nothing when it could not be put in place.
std::optional<std::string> install_wallpaper(const std::string& settings_folder, const std::string& name,
                                             const std::string& home) {
  const std::string folder = join_path(home, kBackgroundsFolder);
  if (!create_directories(folder)) return std::nullopt;
  const std::string source = join_path(settings_folder, name);
  // A folder of that name would still truncate an earlier copy before failing.
  if (!is_regular_file(source)) return std::nullopt;
  const std::string target = join_path(folder, fmt::format(fmt::runtime(kCopiedWallpaper), name));
  if (!copy_file(source, target)) return std::nullopt;
  return picture_uri(target);
}

}  // namespace

Result<PersonalSettings> parse_personal_settings(std::string_view json_text) {
  constexpr std::string_view where = "settings";
  auto parsed = parse_json_strict(json_text);
  if (!parsed) return parsed.error();
  if (!parsed->is_object()) {
    return Error(trf("{}: expected an object, found {}", where, json_type_name(*parsed)));
  }
  auto dark_mode = json_optional_bool(*parsed, "dark_mode", where, /*null_allowed=*/true);
  if (!dark_mode) return dark_mode.error();
  auto wallpaper = json_optional_string(*parsed, "wallpaper", where, /*null_allowed=*/true);
  if (!wallpaper) return wallpaper.error();
  return PersonalSettings{*dark_mode, std::move(*wallpaper)};
}

bool is_wallpaper_name(std::string_view name) {
  if (!starts_with(name, kWallpaperPrefix)) return false;
  const std::string_view extension = name.substr(kWallpaperPrefix.size());
  if (extension.empty() || extension.size() > kMaxWallpaperExtension) return false;
  for (const char c : extension) {
    if (!is_ascii_alnum(c)) return false;
  }
  return true;
}

std::string picture_uri(std::string_view path) { return "file://" + replace_all(path, " ", "%20"); }

std::vector<std::string> apply_look_and_feel(const std::string& settings_folder, const std::string& home,
                                             LookOutcome* outcome) {
  auto text = read_text_file(join_path(settings_folder, kSettingsFile));
  if (!text) return {};
  auto settings = parse_personal_settings(*text);
  if (!settings) return {};
  if (!command_exists("gsettings")) return {};

  std::vector<std::string> parts;
  if (settings->dark_mode) {
    const bool dark = *settings->dark_mode;
    const bool scheme_set = gsettings_set(kInterfaceSchema, "color-scheme", dark ? "prefer-dark" : "default");
    // The theme follows the scheme either way; only the scheme decides the report.
    gsettings_set(kInterfaceSchema, "gtk-theme", dark ? "Yaru-dark" : "Yaru");
    if (scheme_set) parts.push_back(dark ? tr("dark mode") : tr("light mode"));
    if (scheme_set && outcome) outcome->dark_mode = dark;
  }
  if (settings->wallpaper && is_wallpaper_name(*settings->wallpaper)) {
    if (auto uri = install_wallpaper(settings_folder, *settings->wallpaper, home)) {
      if (gsettings_set(kBackgroundSchema, "picture-uri", *uri)) {
        gsettings_set(kBackgroundSchema, "picture-uri-dark", *uri);
        parts.push_back(tr("your wallpaper"));
        if (outcome) outcome->wallpaper = true;
      }
    }
  }
  if (parts.empty()) return {};
  // TRANSLATORS: joins "dark mode" or "light mode" with "your wallpaper".
  const std::string applied = parts.size() == 1 ? parts[0] : trf("{} and {}", parts[0], parts[1]);
  return {trf(kLine, applied)};
}

}  // namespace korvo
