#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvo {

// A profile folder as Firefox records it: relative to its root or absolute.
struct ProfileRecord {
  std::string path;
  bool relative = true;

  bool operator==(const ProfileRecord&) const = default;
};

// What installs.ini and profiles.ini of one Firefox root say about the
// profile in use. Each finding is kept from the first file line that gives it.
class ProfileLookup {
 public:
  // Feeds the text of one INI file; files are fed installs.ini first.
  void read(std::string_view ini_text);

  // The install default, else the profile marked Default=1, else the first
  // profile that has a Path.
  std::optional<ProfileRecord> choice() const;

 private:
  struct Section {
    std::string name;
    std::optional<std::string> path;
    bool relative = true;
    bool is_default = false;
  };

  void close_section(const Section& section);
  void read_key(Section& section, std::string_view key, std::string_view value);

  std::optional<std::string> install_default_;
  std::optional<ProfileRecord> default_profile_;
  std::optional<ProfileRecord> first_profile_;
};

}  // namespace korvo
