// The privileged installer's arguments: the input is the argument list, one
// argument per NUL-separated piece. Anything accepted must match the
// "{tag}:{name}" form and the package name rule exactly, every package tool
// call must be the fixed one with the name as one argument,
// and a single bad argument must refuse the whole list.

#include "apps/installer.hpp"
#include "apps/package_request.hpp"
#include "fuzz_support.hpp"
#include "package_rule.hpp"

namespace {

struct Expected {
  bool valid = false;
  std::string name;
  bool snap = false;
  bool classic = false;
};

Expected reference_request(std::string_view argument) {
  Expected expected;
  const std::size_t colon = argument.find(':');
  if (colon == std::string_view::npos) return expected;
  const std::string_view tag = argument.substr(0, colon), name = argument.substr(colon + 1);
  if (tag != "apt" && tag != "snap" && tag != "snap-classic") return expected;
  if (!korvo::fuzz::reference_package_name(name)) return expected;
  expected = {true, std::string(name), tag != "apt", tag == "snap-classic"};
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = korvo::fuzz::as_text(data, size);
  std::vector<std::string> arguments;
  if (!input.empty()) {
    for (const std::string_view piece : korvo::fuzz::split_at_nul(input)) arguments.emplace_back(piece);
  }

  bool all_valid = true;
  for (const std::string& argument : arguments) {
    const Expected expected = reference_request(argument);
    all_valid = all_valid && expected.valid;
    const auto request = korvo::parse_package_request(argument);
    FUZZ_CHECK(request.has_value() == expected.valid, argument);
    FUZZ_CHECK(korvo::is_valid_package_name(argument) == korvo::fuzz::reference_package_name(argument), argument);
    if (!request) continue;
    FUZZ_CHECK(request->name == expected.name && request->is_snap == expected.snap &&
                   request->classic == expected.classic,
               argument);
    std::vector<std::string> expected_command = {"apt-get", "-o", "DPkg::Lock::Timeout=600", "install", "-y", "--no-remove", expected.name};
    if (expected.snap) expected_command = {"snap", "install", expected.name};
    if (expected.classic) expected_command.emplace_back("--classic");
    FUZZ_CHECK(korvo::install_command(*request) == expected_command, argument);
    FUZZ_CHECK(expected.name[0] != '-', "a package name that reads as an option");
    FUZZ_CHECK(korvo::package_request_argument(argument.substr(0, argument.find(':')), request->name) == argument,
               argument);
  }
  const auto requests = korvo::parse_installer_requests(arguments);
  FUZZ_CHECK(requests.has_value() == all_valid, "the list is judged otherwise than its arguments");
  if (requests) FUZZ_CHECK(requests->size() == arguments.size(), "requests lost or added");
  return 0;
}
