#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvo {

enum class WifiSecurity {
  Open,
  EnhancedOpen,  // "owe": encrypted, no key
  Wep,           // "open" with encryption "WEP"
  WepSharedKey,  // "shared" with encryption "WEP"
  WpaPersonal,   // "wpa2psk" or "wpapsk"
  Wpa3Personal,  // "wpa3sae"
  Other,         // enterprise logins and anything unknown or missing
};

// One saved network from a Windows WLAN profile file.
struct WifiProfile {
  std::string name;                // the profile's own name: the connection name
  std::string ssid;                // the network's name, the profile name when the file gives none
  std::optional<std::string> key;  // never empty when present; blanks kept
  WifiSecurity security = WifiSecurity::Other;
  bool hidden = false;  // does not broadcast its name, so it must be probed for
};

// The text between the first "<name>" and the first "</name>" after it,
// trimmed, then with the five predefined entities replaced in turn ("&amp;"
// last). A plain text search: a start tag with attributes is not found.
std::optional<std::string> xml_element_text(std::string_view xml, std::string_view element);

// Nothing when the file has no "name" element.
std::optional<WifiProfile> read_wifi_profile(std::string_view xml);

}  // namespace korvo
