#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/secret.hpp"
#include "wifi/profile.hpp"

namespace korvo {

// nmcli's connection editor ("nmcli connection edit") adds a network from
// commands it reads on its standard input, so that the network's key
// travels through a pipe and never stands on an argument vector.

// The arguments after "nmcli" that open the editor on a new connection.
std::vector<std::string> editor_arguments(const WifiProfile& profile);

// The environment the editor needs on top of ours, so that it takes every
// typed byte as text and writes no history of what it read.
std::vector<std::pair<std::string, std::string>> editor_environment();

// The editor's commands that add the profile as a connection only `owner`
// (a user name) may see and use, then save it and quit: the editor ends
// with status 0 only when the save went through. Nothing when the profile
// cannot be added faithfully this way: a value holding a NUL byte, a WEP
// key NetworkManager would refuse, an owner name the editor would split.
std::optional<SecretString> editor_input(const WifiProfile& profile, std::string_view owner);

// 5 or 13 printable ASCII characters, or 10 or 26 hexadecimal digits.
bool is_valid_wep_key(std::string_view key);

}  // namespace korvo
