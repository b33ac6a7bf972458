// installs.ini and profiles.ini of one Firefox root: the input is
// "installs NUL profiles" (no NUL: profiles.ini alone). The choice must be
// the one a plain reading of the INI rules makes. The files are read as
// UTF-8 text, so the comparison is made where both are UTF-8; other input
// only has to be survived.

#include <optional>

#include "browser/firefox_ini.hpp"
#include "fuzz_support.hpp"

namespace {

struct Record {
  std::string path;
  bool relative = true;
};

struct Reference {
  std::optional<std::string> install_default;
  std::optional<Record> default_profile;
  std::optional<Record> first_profile;

  void read(std::string_view text) {
    std::string name;
    std::optional<std::string> path;
    bool relative = true;
    bool is_default = false;
    const auto is_profile = [&] { return name.rfind("Profile", 0) == 0; };
    const auto close = [&] {
      if (!is_profile() || !path) return;
      if (is_default && !default_profile) default_profile = Record{*path, relative};
      if (!first_profile) first_profile = Record{*path, relative};
    };
    const auto line_of = [&](std::string_view raw) {
      const std::string_view line = korvo::fuzz::reference_trim(raw);
      if (!line.empty() && line[0] == '[') {
        close();
        std::string_view header = line;
        while (!header.empty() && header.front() == '[') header.remove_prefix(1);
        while (!header.empty() && header.back() == ']') header.remove_suffix(1);
        name = std::string(header);
        path.reset();
        relative = true;
        is_default = false;
        return;
      }
      const std::size_t equals = line.find('=');
      if (equals == std::string_view::npos) return;
      const std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
      if (key == "Path") path = std::string(value);
      if (key == "IsRelative") relative = value != "0";
      if (key == "Default") {
        if (!is_profile() && value != "1") {
          if (!install_default) install_default = std::string(value);
        } else {
          is_default = value == "1";
        }
      }
    };
    while (!text.empty()) {
      const std::size_t feed = text.find('\n');
      std::string_view line = text.substr(0, feed);
      if (feed != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
      line_of(line);
      if (feed == std::string_view::npos) break;
      text.remove_prefix(feed + 1);
    }
    line_of("[end]");
  }

  std::optional<Record> choice() const {
    if (install_default) return Record{*install_default, true};
    if (default_profile) return default_profile;
    return first_profile;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = korvo::fuzz::as_text(data, size);
  const std::size_t nul = input.find('\0');
  const std::string_view installs = nul == std::string_view::npos ? std::string_view() : input.substr(0, nul);
  const std::string_view profiles = nul == std::string_view::npos ? input : input.substr(nul + 1);

  korvo::ProfileLookup lookup;
  lookup.read(installs);
  lookup.read(profiles);
  const auto chosen = lookup.choice();
  if (!korvo::fuzz::reference_valid_utf8(input)) return 0;

  Reference reference;
  reference.read(installs);
  reference.read(profiles);
  const auto expected = reference.choice();
  FUZZ_CHECK(chosen.has_value() == expected.has_value(), chosen ? "a profile where there is none" : "no profile");
  if (chosen) {
    FUZZ_CHECK(chosen->path == expected->path && chosen->relative == expected->relative,
               "chose " + chosen->path + " instead of " + expected->path);
  }
  return 0;
}
