#include "wifi/wifi.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <optional>
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

// A profile as "netsh wlan export profile" writes it: CRLF, tabs, the
// profile's own name before the SSID block, the key in a sharedKey block.
std::string windows_profile(const std::string& name, const std::string& authentication,
                            const std::optional<std::string>& key = std::nullopt, const std::string& ssid_name = "",
                            const std::string& protected_flag = "false") {
  constexpr std::string_view kShape = R"(<?xml version="1.0"?>
<WLANProfile xmlns="http://www.microsoft.com/networking/WLAN/profile/v1">
	<name>{0}</name>
	<SSIDConfig>
		<SSID>
			<hex>486F6D65</hex>
			<name>{1}</name>
		</SSID>
	</SSIDConfig>
	<connectionType>ESS</connectionType>
	<connectionMode>auto</connectionMode>
	<MSM>
		<security>
			<authEncryption>
				<authentication>{2}</authentication>
				<encryption>AES</encryption>
				<useOneX>false</useOneX>
			</authEncryption>{3}
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
  const std::string shared_key = key ? fmt::format(fmt::runtime(kSharedKey), protected_flag, *key) : "";
  const std::string xml =
      fmt::format(fmt::runtime(kShape), name, ssid_name.empty() ? name : ssid_name, authentication, shared_key);
  return replace_all(xml, "\n", "\r\n");
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
    std::optional<std::string> key;
    WifiSecurity security;
  };
  const Case cases[] = {
      {windows_profile("Home", "WPA2PSK", "correct horse"), "Home", "correct horse", WifiSecurity::WpaPersonal},
      {windows_profile("Home", " wPa2PSK\t", "k"), "Home", "k", WifiSecurity::WpaPersonal},
      {windows_profile("Old", "WPAPSK", "k"), "Old", "k", WifiSecurity::WpaPersonal},
      {windows_profile("New", "WPA3SAE", "k"), "New", "k", WifiSecurity::Wpa3Personal},
      {windows_profile("Cafe", "open"), "Cafe", std::nullopt, WifiSecurity::Open},
      {windows_profile("Work", "WPA2"), "Work", std::nullopt, WifiSecurity::Other},
      {windows_profile("Guest", "OWE"), "Guest", std::nullopt, WifiSecurity::Other},
      {windows_profile("Empty key", "WPA2PSK", ""), "Empty key", std::nullopt, WifiSecurity::WpaPersonal},
      // The profile's own name wins over the SSID's, and a protected key is passed on as it is.
      {windows_profile("Profile name", "WPA2PSK", "01000000D08C9DDF", "SSID name", "true"), "Profile name",
       "01000000D08C9DDF", WifiSecurity::WpaPersonal},
      {"<WLANProfile><name>Bare</name></WLANProfile>", "Bare", std::nullopt, WifiSecurity::Other},
  };
  for (const Case& c : cases) {
    const auto profile = read_wifi_profile(c.xml);
    ASSERT_TRUE(profile.has_value()) << c.xml;
    EXPECT_EQ(profile->name, c.name);
    EXPECT_EQ(profile->key, c.key) << c.name;
    EXPECT_EQ(profile->security, c.security) << c.name;
  }
  EXPECT_FALSE(read_wifi_profile("<WLANProfile><SSIDConfig/></WLANProfile>").has_value());
}

class WifiMigration : public ::testing::Test {
 protected:
  ScratchDir scratch;
  FakeTools tools{scratch.sub("tools")};
  std::string staging = scratch.sub("staging");
  EnvOverride env{{"PATH", tools.path_value()}, {"HOME", scratch.sub("home")}};

  void profile_file(const std::string& file, const std::string& content) {
    write_test_file(staging + "/WiFi/" + file, content);
  }
  static Args add_args(const std::string& name) {
    return {"connection", "add", "type", "wifi", "con-name", name, "ssid", name};
  }
  static Args add_args(const std::string& name, const std::string& key_mgmt, const std::string& key) {
    Args args = add_args(name);
    args.insert(args.end(), {"wifi-sec.key-mgmt", key_mgmt, "wifi-sec.psk", key});
    return args;
  }
  static const Args kListArgs;
};
const Args WifiMigration::kListArgs = {"-t", "-f", "NAME", "connection", "show"};

TEST_F(WifiMigration, AddsSortedProfilesAndReportsEachKind) {
  const std::string streams = scratch.sub("streams.log");
  tools.add("nmcli", "for fd in 0 1 2; do target=$(readlink /proc/$$/fd/$fd); echo \"$target\" >> '" + streams +
                         "'; done\n"
                         "case \"$1\" in\n"
                         "  -t) printf 'Neighbour\\r\\nWired connection 1\\n' ;;\n"
                         "  connection) if [ \"$6\" = Broken ]; then echo 'Error: failed' >&2; exit 4; fi ;;\n"
                         "esac");
  profile_file("Home.xml", windows_profile("home net", "WPA2PSK", "pa ss\"word;$(x)"));
  profile_file("office.xml", windows_profile("Office", "WPA2"));
  profile_file("cafe.xml", windows_profile("Caf\xc3\xa9 &amp; Co&apos;s &quot;Free&quot;", "open", "ignored"));
  profile_file("wpa3.xml", windows_profile("Zed Net", "WPA3SAE", "sae-key"));
  profile_file("nokey.xml", windows_profile("Backup AP", "WPA2PSK", ""));
  profile_file("broken.xml", windows_profile("Broken", "WPA2PSK", "k"));
  profile_file("existing.xml", windows_profile("Neighbour", "open"));
  profile_file("dash.xml", windows_profile("-rf", "open"));
  profile_file("readme.txt", windows_profile("Text file", "open"));
  profile_file("noname.xml", "<WLANProfile><SSIDConfig/></WLANProfile>");
  profile_file("latin1.xml", windows_profile("Caf\xe9", "open"));
  profile_file("folder.xml/inner.xml", windows_profile("Inner", "open"));

  const std::vector<std::string> lines = migrate_wifi(staging);

  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Wi-Fi networks saved: -rf, Caf\xc3\xa9 & Co's \"Free\", home net, Zed Net.",
                       "Sign in again (work/school login): Backup AP, Office.",
                       "Wi-Fi not added: Broken — passwords are in WiFi-Passwords.txt.",
                   }));
  EXPECT_EQ(tools.calls("nmcli"), (std::vector<Args>{
                                      kListArgs,
                                      add_args("-rf"),
                                      add_args("Broken", "wpa-psk", "k"),
                                      add_args("Caf\xc3\xa9 & Co's \"Free\""),
                                      add_args("home net", "wpa-psk", "pa ss\"word;$(x)"),
                                      add_args("Zed Net", "sae", "sae-key"),
                                  }));
  // Every call: stdin from /dev/null, stdout and stderr captured on pipes.
  const std::vector<std::string> fds = split_lines(read_test_file(streams));
  ASSERT_EQ(fds.size(), 6u * 3u);
  for (std::size_t i = 0; i < fds.size(); i += 3) {
    EXPECT_EQ(fds[i], "/dev/null");
    EXPECT_TRUE(starts_with(fds[i + 1], "pipe:")) << fds[i + 1];
    EXPECT_TRUE(starts_with(fds[i + 2], "pipe:")) << fds[i + 2];
  }
}

TEST_F(WifiMigration, SortIgnoresCaseAndKeepsListingOrderForEqualNames) {
  tools.add("nmcli");
  const std::vector<std::pair<std::string, std::string>> files = {
      {"1.xml", "beta"},  {"2.xml", "Beta"},  {"3.xml", "BETA"},      {"4.xml", "Bravo"},
      {"5.xml", "alpha"}, {"6.xml", "alpha"}, {"7.xml", "\u00c9lan"}, {"8.xml", "\u00e9clair"}};
  for (const auto& [file, name] : files) profile_file(file, windows_profile(name, "open"));

  // The three spellings of beta keep the order of the folder listing.
  std::vector<std::string> expected = {"alpha", "alpha"};
  const std::vector<std::string> listing = *list_directory(staging + "/WiFi");
  for (const std::string& file : listing) {
    const std::string digit = file.substr(0, 1);
    if (digit == "1" || digit == "2" || digit == "3") expected.push_back(files[std::stoul(digit) - 1].second);
  }
  ASSERT_EQ(expected.size(), 5u);
  // The same name twice is added twice: existing names are listed once, up front.
  expected.insert(expected.end(), {"Bravo", "\u00e9clair", "\u00c9lan"});

  const auto lines = migrate_wifi(staging);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Wi-Fi networks saved: " + join(expected, ", ") + ".");
  const auto calls = tools.calls("nmcli");
  ASSERT_EQ(calls.size(), expected.size() + 1);
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(calls[i + 1], add_args(expected[i]));
}

TEST_F(WifiMigration, MissingNetworkManagerAddsNothing) {
  profile_file("home.xml", windows_profile("Home", "WPA2PSK", "k"));
  const std::vector<std::string> expected = {
      "Wi-Fi: NetworkManager is not available — passwords are in WiFi-Passwords.txt in the Restored folder."};

  EXPECT_EQ(migrate_wifi(staging), expected);  // nmcli not installed

  tools.add("nmcli", "exit 8");
  EXPECT_EQ(migrate_wifi(staging), expected);
  EXPECT_EQ(tools.calls("nmcli"), (std::vector<Args>{kListArgs}));
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
