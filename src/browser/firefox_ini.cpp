#include "browser/firefox_ini.hpp"

#include <vector>

#include "common/text.hpp"

namespace korvo {
namespace {

constexpr std::string_view kProfileSectionPrefix = "Profile";
// Closes the last section of a file as if another header followed.
constexpr std::string_view kEndOfFileHeader = "[end]";

std::string_view section_name(std::string_view header) {
  while (!header.empty() && header.front() == '[') header.remove_prefix(1);
  while (!header.empty() && header.back() == ']') header.remove_suffix(1);
  return header;
}

}  // namespace

void ProfileLookup::read(std::string_view ini_text) {
  std::vector<std::string> lines = split_lines(ini_text);
  lines.emplace_back(kEndOfFileHeader);
  Section section;
  for (const std::string& raw : lines) {
    const std::string_view line = trim_unicode(raw);
    if (starts_with(line, "[")) {
      close_section(section);
      section = Section();
      section.name = section_name(line);
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    read_key(section, line.substr(0, equals), line.substr(equals + 1));
  }
}

void ProfileLookup::close_section(const Section& section) {
  if (!starts_with(section.name, kProfileSectionPrefix) || !section.path) return;
  const ProfileRecord record{*section.path, section.relative};
  if (section.is_default && !default_profile_) default_profile_ = record;
  if (!first_profile_) first_profile_ = record;
}

void ProfileLookup::read_key(Section& section, std::string_view key, std::string_view value) {
  if (key == "Path") {
    section.path = std::string(value);
  } else if (key == "IsRelative") {
    section.relative = value != "0";
  } else if (key == "Default") {
    // Install sections ([Install…]) name the profile path; profile sections
    // carry a flag.
    if (!starts_with(section.name, kProfileSectionPrefix) && value != "1") {
      if (!install_default_) install_default_ = std::string(value);
    } else {
      section.is_default = value == "1";
    }
  }
}

std::optional<ProfileRecord> ProfileLookup::choice() const {
  if (install_default_) return ProfileRecord{*install_default_, true};
  if (default_profile_) return default_profile_;
  return first_profile_;
}

}  // namespace korvo
