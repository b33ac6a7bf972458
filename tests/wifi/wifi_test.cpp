#include "wifi/wifi.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/files.hpp"
#include "common/text.hpp"
#include "support/env_override.hpp"
#include "support/sandbox.hpp"
#include "wifi/profile.hpp"

namespace korvo {
namespace {

using testing::EnvOverride;
using testing::FakeTools;
using testing::read_test_file;
using testing::ScratchDir;
using testing::write_test_file;
using Args = std::vector<std::string>;

// What varies between the profile files of the tests; the rest is fixed.
struct ProfileXml {
  std::string name;
  std::string authentication;
  std::optional<std::string> key = std::nullopt;
  std::string ssid = "";  // the profile name when empty
  std::string encryption = "AES";
  std::string non_broadcast = "";  // no element when empty
  std::string protected_flag = "false";
};

// A profile as "netsh wlan export profile" writes it: CRLF, tabs, the
// profile's own name before the SSID block, the key in a sharedKey block.
std::string windows_profile(const ProfileXml& profile) {
  constexpr std::string_view kShape = R"(<?xml version="1.0"?>
<WLANProfile xmlns="http://www.microsoft.com/networking/WLAN/profile/v1">
	<name>{0}</name>
	<SSIDConfig>
		<SSID>
			<hex>486F6D65</hex>
			<name>{1}</name>
		</SSID>{2}
	</SSIDConfig>
	<connectionType>ESS</connectionType>
	<connectionMode>auto</connectionMode>
	<MSM>
		<security>
			<authEncryption>
				<authentication>{3}</authentication>
				<encryption>{4}</encryption>
				<useOneX>false</useOneX>
			</authEncryption>{5}
		</security>
	</MSM>
	<MacRandomization xmlns="http://www.microsoft.com/networking/WLAN/profile/v3">
		<enableRandomization>false</enableRandomization>
	</MacRandomization>
</WLANProfile>
)";
  constexpr std::string_view kSharedKey = R"(
			<sharedKey>
				<keyType>passPhrase</keyType>
				<protected>{0}</protected>
				<keyMaterial>{1}</keyMaterial>
			</sharedKey>)";
  const std::string shared_key =
      profile.key ? fmt::format(fmt::runtime(kSharedKey), profile.protected_flag, *profile.key) : "";
  const std::string non_broadcast =
      profile.non_broadcast.empty() ? "" : fmt::format("\n\t\t<nonBroadcast>{}</nonBroadcast>", profile.non_broadcast);
  const std::string xml =
      fmt::format(fmt::runtime(kShape), profile.name, profile.ssid.empty() ? profile.name : profile.ssid, non_broadcast,
                  profile.authentication, profile.encryption, shared_key);
  return replace_all(xml, "\n", "\r\n");
}

std::string windows_profile(const std::string& name, const std::string& authentication,
                            const std::optional<std::string>& key = std::nullopt) {
  return windows_profile({.name = name, .authentication = authentication, .key = key});
}

TEST(WifiProfile, ElementTextIsAPlainTextScan) {
  struct Case {
    std::string xml;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"<a><name> x </name></a>", "x"},
      {"<name>\n\t\xc2\xa0 padded \xe3\x80\x80\r\n</name>", "padded"},
      {"<name></name>", ""},
      {"<name attr=\"1\">x</name>", std::nullopt},
      {"<ns:name>x</ns:name>", std::nullopt},
      {"<name>x", std::nullopt},
      {"no element", std::nullopt},
      {"</name><name>x</name>", "x"},
      {"<name>a<name>b</name>c</name>", "a<name>b"},
      {"<name>&lt;b&gt; &quot;q&quot; &apos;s&apos; &amp; &#233;</name>", "<b> \"q\" 's' & &#233;"},
      {"<name>Caf&amp;lt;e</name>", "Caf&lt;e"},
      {"<name>&amp;amp;</name>", "&amp;"},
      {"<name><![CDATA[x]]></name>", "<![CDATA[x]]>"},
  };
  for (const Case& c : cases) EXPECT_EQ(xml_element_text(c.xml, "name"), c.expected) << c.xml;
}

TEST(WifiProfile, ReadsWindowsProfiles) {
  struct Case {
    std::string xml;
    std::string name;
    std::string ssid;
    std::optional<std::string> key;
    WifiSecurity security;
    bool hidden = false;
  };
  const Case cases[] = {
      {windows_profile("Home", "WPA2PSK", "correct horse"), "Home", "Home", "correct horse", WifiSecurity::WpaPersonal},
      {windows_profile("Home", " wPa2PSK\t", "k"), "Home", "Home", "k", WifiSecurity::WpaPersonal},
      {windows_profile("Old", "WPAPSK", "k"), "Old", "Old", "k", WifiSecurity::WpaPersonal},
      {windows_profile("New", "WPA3SAE", "k"), "New", "New", "k", WifiSecurity::Wpa3Personal},
      {windows_profile({.name = "Cafe", .authentication = "open", .encryption = "none"}), "Cafe", "Cafe", std::nullopt,
       WifiSecurity::Open},
      {windows_profile("Work", "WPA2"), "Work", "Work", std::nullopt, WifiSecurity::Other},
      {windows_profile("Guest", "OWE"), "Guest", "Guest", std::nullopt, WifiSecurity::EnhancedOpen},
      {windows_profile("Empty key", "WPA2PSK", ""), "Empty key", "Empty key", std::nullopt, WifiSecurity::WpaPersonal},
      // Blanks belong to the passphrase; entities are still replaced.
      {windows_profile("Blanks", "WPA2PSK", "  two &amp; two\t "), "Blanks", "Blanks", "  two & two\t ",
       WifiSecurity::WpaPersonal},
      {windows_profile({.name = "Wep", .authentication = "open", .key = "abcde", .encryption = " wEp "}), "Wep", "Wep",
       "abcde", WifiSecurity::Wep},
      {windows_profile({.name = "Shared", .authentication = "shared", .key = "k", .encryption = "WEP"}), "Shared",
       "Shared", "k", WifiSecurity::WepSharedKey},
      {windows_profile({.name = "Shared", .authentication = "shared", .key = "k"}), "Shared", "Shared", "k",
       WifiSecurity::Other},
      // The profile name stays the connection's, the network's own name is the SSID; a protected key is passed on.
      {windows_profile({.name = "Profile name",
                        .authentication = "WPA2PSK",
                        .key = "01000000D08C9DDF",
                        .ssid = " SSID &amp; name ",
                        .protected_flag = "true"}),
       "Profile name", "SSID & name", "01000000D08C9DDF", WifiSecurity::WpaPersonal},
      {windows_profile({.name = "Hidden", .authentication = "open", .non_broadcast = " true "}), "Hidden", "Hidden",
       std::nullopt, WifiSecurity::Open, true},
      {windows_profile({.name = "Hidden", .authentication = "open", .non_broadcast = "1"}), "Hidden", "Hidden",
       std::nullopt, WifiSecurity::Open, true},
      {windows_profile({.name = "Shown", .authentication = "open", .non_broadcast = "false"}), "Shown", "Shown",
       std::nullopt, WifiSecurity::Open},
      {windows_profile({.name = "Shown", .authentication = "open", .non_broadcast = "TRUE"}), "Shown", "Shown",
       std::nullopt, WifiSecurity::Open},
      // Only SSIDConfig and its SSID entry count; an empty SSID name falls back to the profile name.
      {"<WLANProfile><name>Bare</name><nonBroadcast>true</nonBroadcast></WLANProfile>", "Bare", "Bare", std::nullopt,
       WifiSecurity::Other},
      {"<name>P</name><SSIDConfig><SSID><name></name></SSID></SSIDConfig>", "P", "P", std::nullopt,
       WifiSecurity::Other},
      {"<name>P</name><SSIDConfig><SSID><hex>51</hex></SSID></SSIDConfig><x><name>Q</name></x>", "P", "P", std::nullopt,
       WifiSecurity::Other},
  };
  for (const Case& c : cases) {
    const auto profile = read_wifi_profile(c.xml);
    ASSERT_TRUE(profile.has_value()) << c.xml;
    EXPECT_EQ(profile->name, c.name);
    EXPECT_EQ(profile->ssid, c.ssid) << c.name;
    EXPECT_EQ(profile->key, c.key) << c.name;
    EXPECT_EQ(profile->security, c.security) << c.name;
    EXPECT_EQ(profile->hidden, c.hidden) << c.name;
  }
  EXPECT_FALSE(read_wifi_profile("<WLANProfile><SSIDConfig/></WLANProfile>").has_value());
}

// One nmcli call as the fake saw it: its arguments and what it read.
struct NmcliCall {
  Args argv;
  std::string input;
  bool operator==(const NmcliCall&) const = default;
};

void PrintTo(const NmcliCall& call, std::ostream* out) {
  *out << ::testing::PrintToString(call.argv) << " reading " << ::testing::PrintToString(call.input);
}

// The account the networks belong to, as the password database names it.
std::string login_name() {
  const passwd* entry = ::getpwuid(::getuid());
  return entry != nullptr ? entry->pw_name : "";
}

class WifiMigration : public ::testing::Test {
 protected:
  ScratchDir scratch;
  FakeTools tools{scratch.sub("tools")};
  std::string staging = scratch.sub("staging");
  // The owner comes from the password database, whatever the environment says.
  EnvOverride env{{"PATH", tools.path_value()},
                  {"HOME", scratch.sub("home")},
                  {"USER", "someone-else"},
                  {"LOGNAME", "someone-else"}};

  void profile_file(const std::string& file, const std::string& content) {
    write_test_file(staging + "/WiFi/" + file, content);
  }
  // The editor session that adds a network: the base lines, then the
  // security and hidden-network lines, then the owner.
  static NmcliCall add_args(const std::string& name, const Args& extra = {}, const std::string& ssid = "") {
    std::string input = "nmcli save-confirmation no\nset 802-11-wireless.ssid\n" + (ssid.empty() ? name : ssid) + "\n";
    for (const std::string& line : extra) input += line + "\n";
    input += "set connection.permissions\nuser:" + login_name() + "\nsave\nquit\n";
    return {{"connection", "edit", "type", "wifi", "con-name", name}, input};
  }
  static Args psk(const std::string& key_mgmt, const std::string& key) {
    return {"set wifi-sec.key-mgmt " + key_mgmt, "set wifi-sec.psk", key};
  }
  static Args wep(const std::string& key) {
    return {"set wifi-sec.key-mgmt none", "set wifi-sec.wep-key-type 1", "set wifi-sec.wep-key0", key};
  }
  static const NmcliCall kList;

  std::vector<NmcliCall> nmcli_calls() const {
    const auto calls = tools.calls("nmcli");
    const auto inputs = tools.inputs("nmcli");
    EXPECT_EQ(calls.size(), inputs.size());
    std::vector<NmcliCall> result;
    for (std::size_t i = 0; i < std::min(calls.size(), inputs.size()); ++i) result.push_back({calls[i], inputs[i]});
    return result;
  }
  // No key may stand on an argument vector, where every account can read it.
  void expect_no_key_on_argv(const std::vector<std::string>& keys) const {
    for (const Args& call : tools.calls("nmcli")) {
      for (const std::string& arg : call) {
        for (const std::string& key : keys) EXPECT_EQ(arg.find(key), std::string::npos) << key;
      }
    }
  }
};
const NmcliCall WifiMigration::kList = {{"-t", "-f", "NAME", "connection", "show"}, ""};

TEST_F(WifiMigration, AddsSortedProfilesAndReportsEachKind) {
  const std::string streams = scratch.sub("streams.log");
  // The listing escapes ":" and "\" as terse output does.
  tools.add("nmcli",
            "for fd in 0 1 2; do target=$(readlink /proc/$$/fd/$fd); echo \"$target\" >> '" + streams +
                "'; done\n"
                "echo \"$HOME ${INPUTRC-} ${LC_ALL-}\" >> '" +
                streams +
                "'\n"
                "case \"$1\" in\n"
                R"(  -t) printf 'Neighbour\r\nWired connection 1\nCafe\\: Guest\nLab\\\\Printer\n' ;;)"
                "\n"
                "  connection) if [ \"$6\" = Broken ]; then echo 'Error: failed' >&2; exit 4; fi ;;\n"
                "esac",
            true);
  profile_file("Home.xml", windows_profile("home net", "WPA2PSK", "  pa ss\"word;$(x) "));
  profile_file("office.xml", windows_profile("Office", "WPA2"));
  profile_file("office-2.xml", windows_profile("Office", "WPA2"));
  profile_file("cafe.xml", windows_profile("Caf\xc3\xa9 &amp; Co&apos;s &quot;Free&quot;", "open", "ignored"));
  profile_file("wpa3.xml", windows_profile("Zed Net", "WPA3SAE", "sae-key"));
  profile_file("nokey.xml", windows_profile("Backup AP", "WPA2PSK", ""));
  profile_file("broken.xml", windows_profile("Broken", "WPA2PSK", "broken-key"));
  profile_file("existing.xml", windows_profile("Neighbour", "open"));
  profile_file("colon.xml", windows_profile("Cafe: Guest", "open"));
  profile_file("backslash.xml", windows_profile("Lab\\Printer", "open"));
  profile_file("dash.xml", windows_profile("-rf", "open"));
  profile_file("twin-a.xml", windows_profile("Twin Peaks", "WPA2PSK", "twin-key"));
  profile_file("twin-b.xml", windows_profile("Twin Peaks", "WPA2PSK", "twin-key"));
  profile_file("wep.xml",
               windows_profile({.name = "Old WEP", .authentication = "open", .key = "abcde", .encryption = "WEP"}));
  profile_file("wep-shared.xml", windows_profile({.name = "Shared WEP",
                                                  .authentication = "shared",
                                                  .key = "0123456789",
                                                  .encryption = "WEP",
                                                  .non_broadcast = "true"}));
  profile_file("wep-nokey.xml", windows_profile({.name = "WEP no key", .authentication = "open", .encryption = "WEP"}));
  profile_file("owe.xml", windows_profile("Airport", "OWE"));
  profile_file("hidden.xml",
               windows_profile(
                   {.name = "Hidden Den", .authentication = "WPA2PSK", .key = "hidden-key", .non_broadcast = "true"}));
  profile_file("ssid.xml",
               windows_profile({.name = "HomeNet 2", .authentication = "WPA2PSK", .key = "homenet-key", .ssid = "HomeNet"}));
  profile_file("readme.txt", windows_profile("Text file", "open"));
  profile_file("noname.xml", "<WLANProfile><SSIDConfig/></WLANProfile>");
  profile_file("latin1.xml", windows_profile("Caf\xe9", "open"));
  profile_file("folder.xml/inner.xml", windows_profile("Inner", "open"));

  const std::vector<std::string> lines = migrate_wifi(staging);

  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "Wi-Fi networks saved: -rf, Airport, Caf\xc3\xa9 & Co's \"Free\", Hidden Den, home net, HomeNet 2, "
                "Old WEP, Shared WEP, Twin Peaks, Zed Net.",
                "Sign in again (work/school login): Backup AP, Office, WEP no key.",
                "Wi-Fi not added: Broken — passwords are in WiFi-Passwords.txt.",
            }));
  const std::string hidden = "set 802-11-wireless.hidden yes";
  Args hidden_psk = psk("wpa-psk", "hidden-key");
  hidden_psk.push_back(hidden);
  Args shared_wep = wep("0123456789");
  shared_wep.insert(shared_wep.end(), {"set wifi-sec.auth-alg shared", hidden});
  // The keys, once arguments of "connection add", are typed into the editor.
  const std::vector<NmcliCall> expected_calls = {
      kList,
      add_args("-rf"),
      add_args("Airport", {"set wifi-sec.key-mgmt owe"}),
      add_args("Broken", psk("wpa-psk", "broken-key")),
      add_args("Caf\xc3\xa9 & Co's \"Free\""),
      add_args("Hidden Den", hidden_psk),
      add_args("home net", psk("wpa-psk", "  pa ss\"word;$(x) ")),
      add_args("HomeNet 2", psk("wpa-psk", "homenet-key"), "HomeNet"),
      add_args("Old WEP", wep("abcde")),
      add_args("Shared WEP", shared_wep),
      add_args("Twin Peaks", psk("wpa-psk", "twin-key")),
      add_args("Zed Net", psk("sae", "sae-key")),
  };
  EXPECT_EQ(nmcli_calls(), expected_calls);
  expect_no_key_on_argv({"pa ss", "broken-key", "hidden-key", "homenet-key", "abcde", "0123456789", "twin-key",
                         "sae-key"});
  // The listing: stdin from /dev/null, stdout and stderr captured on pipes.
  // The editor: its commands on a pipe, and nowhere to echo them, key and
  // all; no history file of them in any home, every byte typed as text.
  const std::vector<std::string> streams_seen = split_lines(read_test_file(streams));
  ASSERT_EQ(streams_seen.size(), expected_calls.size() * 4u);
  EXPECT_EQ(streams_seen[0], "/dev/null");
  EXPECT_TRUE(starts_with(streams_seen[1], "pipe:")) << streams_seen[1];
  EXPECT_TRUE(starts_with(streams_seen[2], "pipe:")) << streams_seen[2];
  for (std::size_t i = 4; i < streams_seen.size(); i += 4) {
    EXPECT_TRUE(starts_with(streams_seen[i], "pipe:")) << streams_seen[i];
    EXPECT_EQ(streams_seen[i + 1], "/dev/null");
    EXPECT_EQ(streams_seen[i + 2], "/dev/null");
    EXPECT_EQ(streams_seen[i + 3], "/dev/null /dev/null C.UTF-8");
  }
}

// Whatever a value holds, the editor must store exactly it or nothing.
TEST_F(WifiMigration, ValuesAreTypedExactlyOrTheNetworkIsNotAdded) {
  tools.add("nmcli", "", true);
  struct Case {
    std::string name;
    std::string xml;
    std::optional<Args> typed;  // the security lines; nothing when no editor may run
  };
  auto profile = [](const ProfileXml& xml) { return windows_profile(xml); };
  const std::string quoted = "\x16";  // readline's quoted-insert
  const Case cases[] = {
      {"Tab", profile({.name = "Tab", .authentication = "WPA2PSK", .key = "a\tb c"}),
       psk("wpa-psk", "a" + quoted + "\tb c")},
      {"Breaks",
       "<name>Breaks</name><authentication>WPA2PSK</authentication>"
       "<keyMaterial>line one\r\nsave\nquit</keyMaterial>",
       psk("wpa-psk", "line one" + quoted + "\r" + quoted + "\nsave" + quoted + "\nquit")},
      {"Escape", profile({.name = "Escape", .authentication = "WPA3SAE", .key = "\x1b[A\x7f\x01\x16 \\ '\" \xc3\xbc"}),
       psk("sae", quoted + "\x1b[A" + quoted + "\x7f" + quoted + "\x01" + quoted + "\x16 \\ '\" \xc3\xbc")},
      {"Nul", profile({.name = "Nul", .authentication = "WPA2PSK", .key = std::string("before\0after", 12)}),
       std::nullopt},
      {"Wep 5", profile({.name = "Wep 5", .authentication = "open", .key = " \"\\' ", .encryption = "WEP"}),
       wep(" \"\\' ")},
      {"Wep 13", profile({.name = "Wep 13", .authentication = "open", .key = "13 printable!", .encryption = "WEP"}),
       wep("13 printable!")},
      {"Wep 26",
       profile({.name = "Wep 26", .authentication = "open", .key = "0123456789abcdefABCDEF0123", .encryption = "WEP"}),
       wep("0123456789abcdefABCDEF0123")},
      {"Wep long",
       profile({.name = "Wep long", .authentication = "open", .key = "01000000D08C9DDF0115", .encryption = "WEP"}),
       std::nullopt},
      {"Wep not hex",
       profile({.name = "Wep not hex", .authentication = "open", .key = "012345678g", .encryption = "WEP"}),
       std::nullopt},
      {"Wep umlaut", profile({.name = "Wep umlaut", .authentication = "open", .key = "gr\xc3\xbcn", .encryption = "WEP"}),
       std::nullopt},
      // A network name with control characters is typed the same way.
      {"Ssid", profile({.name = "Ssid", .authentication = "open", .ssid = "a\x03z"}), Args{}},
  };
  std::vector<std::string> saved, not_added;
  std::vector<NmcliCall> expected_calls = {kList};
  for (const Case& c : cases) {
    profile_file(c.name + ".xml", c.xml);
    (c.typed ? saved : not_added).push_back(c.name);
    if (c.typed) expected_calls.push_back(add_args(c.name, *c.typed, c.name == "Ssid" ? "a" + quoted + "\x03z" : ""));
  }
  auto by_lower_name = [](const std::string& a, const std::string& b) { return ascii_lower(a) < ascii_lower(b); };
  std::sort(saved.begin(), saved.end(), by_lower_name);
  std::sort(not_added.begin(), not_added.end(), by_lower_name);
  std::sort(expected_calls.begin() + 1, expected_calls.end(),
            [&](const NmcliCall& a, const NmcliCall& b) { return by_lower_name(a.argv[5], b.argv[5]); });

  EXPECT_EQ(migrate_wifi(staging),
            (std::vector<std::string>{
                "Wi-Fi networks saved: " + join(saved, ", ") + ".",
                "Wi-Fi not added: " + join(not_added, ", ") + " — passwords are in WiFi-Passwords.txt.",
            }));
  EXPECT_EQ(nmcli_calls(), expected_calls);
  expect_no_key_on_argv({"a\tb", "line one", "\x1b", "before", "\\'", "13 printable", "0123456789", "D08C9DDF"});
}

TEST_F(WifiMigration, SortIgnoresCaseAndKeepsListingOrderForEqualNames) {
  tools.add("nmcli", "exit 0", true);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"1.xml", "beta"},  {"2.xml", "Beta"},  {"3.xml", "BETA"},      {"4.xml", "Bravo"},
      {"5.xml", "alpha"}, {"6.xml", "alpha"}, {"7.xml", "\u00c9lan"}, {"8.xml", "\u00e9clair"}};
  for (const auto& [file, name] : files) profile_file(file, windows_profile(name, "open"));

  // The three spellings of beta keep the order of the folder listing.
  std::vector<std::string> expected = {"alpha"};
  const std::vector<std::string> listing = *list_directory(staging + "/WiFi");
  for (const std::string& file : listing) {
    const std::string digit = file.substr(0, 1);
    if (digit == "1" || digit == "2" || digit == "3") expected.push_back(files[std::stoul(digit) - 1].second);
  }
  ASSERT_EQ(expected.size(), 4u);
  // The same name twice is added once.
  expected.insert(expected.end(), {"Bravo", "\u00e9clair", "\u00c9lan"});

  const auto lines = migrate_wifi(staging);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Wi-Fi networks saved: " + join(expected, ", ") + ".");
  const auto calls = nmcli_calls();
  ASSERT_EQ(calls.size(), expected.size() + 1);
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(calls[i + 1], add_args(expected[i]));
}

// Whatever the folder order, a name is saved when any one of its profiles
// can be added, and is reported once.
TEST_F(WifiMigration, NextProfileOfANameGetsItsTurnAfterAFailure) {
  tools.add("nmcli", "[ \"$1\" = connection ] && grep -q bad-key \"$KORVO_FAKE_INPUT\" && exit 4; exit 0", true);
  profile_file("dual-a.xml", windows_profile("Dual", "WPA2PSK", "bad-key"));
  profile_file("dual-b.xml", windows_profile("Dual", "WPA2PSK", "good-key"));
  profile_file("login-a.xml", windows_profile("Campus", "WPA2"));
  profile_file("login-b.xml", windows_profile("Campus", "WPA2PSK", "campus-key"));
  profile_file("fail-a.xml", windows_profile("Flaky", "WPA2PSK", "bad-key"));
  profile_file("fail-b.xml", windows_profile("Flaky", "WPA2PSK", "bad-key"));

  EXPECT_EQ(migrate_wifi(staging), (std::vector<std::string>{
                                       "Wi-Fi networks saved: Campus, Dual.",
                                       "Wi-Fi not added: Flaky — passwords are in WiFi-Passwords.txt.",
                                   }));
  const auto calls = nmcli_calls();
  auto adds_of = [&calls](const std::string& name) {
    std::vector<NmcliCall> adds;
    for (const NmcliCall& call : calls) {
      if (call.argv.size() > 5 && call.argv[5] == name) adds.push_back(call);
    }
    return adds;
  };
  EXPECT_EQ(adds_of("Campus"), (std::vector<NmcliCall>{add_args("Campus", psk("wpa-psk", "campus-key"))}));
  EXPECT_EQ(adds_of("Flaky"), (std::vector<NmcliCall>(2, add_args("Flaky", psk("wpa-psk", "bad-key")))));
  const auto dual = adds_of("Dual");
  ASSERT_FALSE(dual.empty());
  EXPECT_EQ(dual.back(), add_args("Dual", psk("wpa-psk", "good-key")));  // the last try is the one that worked
}

TEST_F(WifiMigration, MissingNetworkManagerAddsNothing) {
  profile_file("home.xml", windows_profile("Home", "WPA2PSK", "k"));
  const std::vector<std::string> expected = {
      "Wi-Fi: NetworkManager is not available — passwords are in WiFi-Passwords.txt in the Restored folder."};

  EXPECT_EQ(migrate_wifi(staging), expected);  // nmcli not installed

  tools.add("nmcli", "exit 8");
  EXPECT_EQ(migrate_wifi(staging), expected);
  EXPECT_EQ(tools.calls("nmcli"), (std::vector<Args>{kList.argv}));
}

TEST_F(WifiMigration, NoUsableProfileRunsNoTool) {
  tools.add("nmcli");
  EXPECT_TRUE(migrate_wifi(staging).empty());  // no WiFi folder

  profile_file("HOME.XML", windows_profile("Home", "open"));
  profile_file("Office.Xml", windows_profile("Office", "open"));
  profile_file(".xml", windows_profile("Dot", "open"));
  profile_file("empty.xml", "");
  EXPECT_TRUE(migrate_wifi(staging).empty());
  EXPECT_TRUE(tools.calls("nmcli").empty());
}

}  // namespace
}  // namespace korvo
