#include "browser/firefox_ini.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace korvo {
namespace {

// installs.ini and profiles.ini as Firefox writes them for one install.
constexpr const char* kInstallsIni =
    "[Install4F96D1932A9F858E]\n"
    "Default=Profiles/abc.default-release\n"
    "Locked=1\n"
    "\n";

constexpr const char* kProfilesIni =
    "[Profile1]\n"
    "Name=default\n"
    "IsRelative=1\n"
    "Path=Profiles/xyz.default\n"
    "Default=1\n"
    "\n"
    "[Profile0]\n"
    "Name=default-release\n"
    "IsRelative=1\n"
    "Path=Profiles/abc.default-release\n"
    "\n"
    "[General]\n"
    "StartWithLastProfile=1\n"
    "Version=2\n";

struct LookupCase {
  const char* name;
  std::string installs;
  std::string profiles;
  std::optional<ProfileRecord> expected;
};
// Keeps test listings readable: a case prints as its name.
void PrintTo(const LookupCase& c, std::ostream* out) { *out << c.name; }

class ProfileLookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(ProfileLookupTest, ChoosesTheProfileFirefoxUses) {
  ProfileLookup lookup;
  lookup.read(GetParam().installs);
  lookup.read(GetParam().profiles);
  EXPECT_EQ(lookup.choice(), GetParam().expected);
}

const LookupCase kLookupCases[] = {
    {"InstallDefaultBeatsDefaultFlag", kInstallsIni, kProfilesIni, ProfileRecord{"Profiles/abc.default-release", true}},
    {"InstallSectionsInsideProfilesIni", "", std::string(kInstallsIni) + kProfilesIni,
     ProfileRecord{"Profiles/abc.default-release", true}},
    {"InstallDefaultFromInstallsIniComesFirst", "[InstallA]\nDefault=Profiles/a\n", "[InstallB]\nDefault=Profiles/b\n",
     ProfileRecord{"Profiles/a", true}},
    {"DefaultFlagWithoutInstallDefault", "", kProfilesIni, ProfileRecord{"Profiles/xyz.default", true}},
    {"FirstProfileWithAPath", "",
     "[Profile0]\nName=broken\nDefault=0\n[Profile1]\nPath=Profiles/one\n[Profile2]\nPath=Profiles/two\n",
     ProfileRecord{"Profiles/one", true}},
    {"FirstDefaultFlagWins", "", "[Profile0]\nPath=a\nDefault=1\n[Profile1]\nPath=b\nDefault=1\n",
     ProfileRecord{"a", true}},
    {"DefaultFlagNeedsExactlyOne", "", "[Profile0]\nPath=a\n[Profile1]\nPath=b\nDefault=true\n",
     ProfileRecord{"a", true}},
    {"IsRelativeZeroIsAbsolute", "", "[Profile0]\nIsRelative=0\nPath=/data/ff/p\n", ProfileRecord{"/data/ff/p", false}},
    {"OtherIsRelativeValuesAreRelative", "", "[Profile0]\nIsRelative=false\nPath=p\n", ProfileRecord{"p", true}},
    {"LaterPathInSectionReplaces", "", "[Profile0]\nPath=old\nPath=new\n", ProfileRecord{"new", true}},
    {"StateResetsAtEachHeader", "", "[Profile0]\nIsRelative=0\nDefault=1\n[Profile1]\nPath=p\n",
     ProfileRecord{"p", true}},
    {"OnlyProfileSectionsCount", "", "[General]\nPath=nope\n[Backup]\nPath=nope\nDefault=1\n", std::nullopt},
    {"InstallSectionWithDefaultOneIsNoInstallDefault", "", "[InstallX]\nDefault=1\n[Profile0]\nPath=p\n",
     ProfileRecord{"p", true}},
    {"ProfileSectionDefaultPathIsNoInstallDefault", "", "[Profile0]\nPath=p\n[Profile1]\nPath=q\nDefault=q\n",
     ProfileRecord{"p", true}},
    {"CrLfBlanksAndBracketsAreTrimmed", "", "  [[Profile0]]  \r\nName=x\r\n\tPath=Profiles/a b  \r\nDefault=1\r\n",
     ProfileRecord{"Profiles/a b", true}},
    {"KeysAreExactAndCaseSensitive", "", "[Profile0]\npath=lower\nPath =spaced\n[Profile1]\nPath= lead\n",
     ProfileRecord{" lead", true}},
    {"ValueKeepsEqualsSigns", "", "[Profile0]\nPath=a=b\n", ProfileRecord{"a=b", true}},
    {"KeyBeforeAnyHeaderIsAnInstallDefault", "Default=Profiles/top\n", kProfilesIni,
     ProfileRecord{"Profiles/top", true}},
    {"LastSectionClosedAtEndOfFile", "", "[Profile0]\nPath=last", ProfileRecord{"last", true}},
    {"Empty", "", "", std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Cases, ProfileLookupTest, ::testing::ValuesIn(kLookupCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvo
