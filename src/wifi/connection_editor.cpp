#include "wifi/connection_editor.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace korvo {
namespace {

// Key type 1 takes a WEP key as typed, hex digits or ASCII; 2 would hash a passphrase.
constexpr std::string_view kWepKeyIsKey = "1";

// readline's quoted-insert: the byte after it is inserted as text, whatever it is bound to.
constexpr std::string_view kQuotedInsert = "\x16";

bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

// Each line is one editor command, or the answer to the question the command before it asked.
class EditorInput {
 public:
  void command(std::string_view line) {
    text_.append(line);
    text_.append("\n");
  }

  // "set PROPERTY" without a value makes the editor ask for one and take the
  // next line whole, blanks at either end included, where a value after the
  // property name would lose them.
  void set_typed(std::string_view property, std::string_view value) {
    command(fmt::format("set {}", property));
    // A control byte would edit the line instead (a tab completes, a
    // carriage return ends it early and runs the rest as a command).
    std::size_t start = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\0') typable_ = false;
      if (!is_control(value[i])) continue;
      text_.append(value.substr(start, i - start));
      text_.append(kQuotedInsert);
      start = i;
    }
    text_.append(value.substr(start));
    text_.append("\n");
  }

  // A NUL byte would cut the value short on its way in.
  bool typable() const { return typable_; }
  SecretString take() { return std::move(text_); }

 private:
  SecretString text_;
  bool typable_ = true;
};

// nmcli splits a permission list at blanks and commas, and ":" separates
// the fields of a permission.
bool is_usable_owner(std::string_view name) {
  return !name.empty() &&
         std::none_of(name.begin(), name.end(), [](char c) { return c == ' ' || c == ',' || c == ':' || is_control(c); });
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_printable_ascii(char c) { return c >= 0x20 && c <= 0x7e; }

}  // namespace

std::vector<std::string> editor_arguments(const WifiProfile& profile) {
  return {"connection", "edit", "type", "wifi", "con-name", profile.name};
}

std::vector<std::pair<std::string, std::string>> editor_environment() {
  return {
      // The editor keeps every line it read, keys among them, in a history
      // file in HOME that others may read: below /dev/null none can be made.
      {"HOME", "/dev/null"},
      // No personal or system key bindings: typed text stays text.
      {"INPUTRC", "/dev/null"},
      // Outside a UTF-8 locale readline turns bytes above 127 into Meta keys.
      {"LC_ALL", "C.UTF-8"},
  };
}

bool is_valid_wep_key(std::string_view key) {
  if (key.size() == 10 || key.size() == 26) return std::all_of(key.begin(), key.end(), is_hex_digit);
  if (key.size() == 5 || key.size() == 13) return std::all_of(key.begin(), key.end(), is_printable_ascii);
  return false;
}

std::optional<SecretString> editor_input(const WifiProfile& profile, std::string_view owner) {
  if (!is_usable_owner(owner)) return std::nullopt;
  EditorInput input;
  // Saving a connection that may start at once would otherwise ask for a yes.
  input.command("nmcli save-confirmation no");
  input.set_typed("802-11-wireless.ssid", profile.ssid);
  switch (profile.security) {
    case WifiSecurity::Open:
    case WifiSecurity::Other:
      break;
    case WifiSecurity::EnhancedOpen:
      input.command("set wifi-sec.key-mgmt owe");
      break;
    case WifiSecurity::Wep:
    case WifiSecurity::WepSharedKey:
      // The editor drops a key it refuses and would save the network without one.
      if (!profile.key || !is_valid_wep_key(*profile.key)) return std::nullopt;
      input.command("set wifi-sec.key-mgmt none");
      input.command(fmt::format("set wifi-sec.wep-key-type {}", kWepKeyIsKey));
      input.set_typed("wifi-sec.wep-key0", *profile.key);
      if (profile.security == WifiSecurity::WepSharedKey) input.command("set wifi-sec.auth-alg shared");
      break;
    case WifiSecurity::WpaPersonal:
    case WifiSecurity::Wpa3Personal:
      if (!profile.key) return std::nullopt;
      input.command(profile.security == WifiSecurity::Wpa3Personal ? "set wifi-sec.key-mgmt sae"
                                                                   : "set wifi-sec.key-mgmt wpa-psk");
      input.set_typed("wifi-sec.psk", *profile.key);
      break;
  }
  if (profile.hidden) input.command("set 802-11-wireless.hidden yes");
  input.set_typed("connection.permissions", fmt::format("user:{}", owner));
  input.command("save");
  // After a failed save quit asks whether to drop the changes, and the end
  // of input that follows ends the editor with status 1.
  input.command("quit");
  if (!input.typable()) return std::nullopt;
  return input.take();
}

}  // namespace korvo
