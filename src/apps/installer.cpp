#include "apps/installer.hpp"

#include <fmt/format.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "common/files.hpp"
#include "common/process.hpp"

namespace korvo {
namespace {

constexpr std::string_view kRefusal = "Refusing: not a package list Korvo produced.\n";
constexpr int kDoneStatus = 0;
// The parent stopped listening: carrying on would install blindly.
constexpr int kLostParentStatus = 1;
constexpr int kRefusedStatus = 2;

constexpr std::string_view kAptGet = "apt-get";
constexpr std::string_view kAptLockOption = "DPkg::Lock::Timeout=600";
constexpr std::string_view kSnap = "snap";

// Unbuffered, so the parent sees each line while the next package installs.
bool write_protocol_line(std::string_view line) { return write_all(STDOUT_FILENO, fmt::format("{}\n", line)).ok(); }

bool run_package_tool(std::vector<std::string> argv) {
  Command command;
  command.argv = std::move(argv);
  command.out = Stream::kNull;
  command.err = Stream::kNull;
  command.extra_env = {{"DEBIAN_FRONTEND", "noninteractive"}};
  return run_succeeds(command);
}

}  // namespace

std::optional<std::vector<PackageRequest>> parse_installer_requests(const std::vector<std::string>& arguments) {
  std::vector<PackageRequest> requests;
  for (const std::string& argument : arguments) {
    auto request = parse_package_request(argument);
    if (!request) return std::nullopt;
    requests.push_back(std::move(*request));
  }
  return requests;
}

std::vector<std::string> install_command(const PackageRequest& request) {
  if (!request.is_snap) return {std::string(kAptGet), "-o", std::string(kAptLockOption), "install", "-y", request.name};
  std::vector<std::string> argv = {std::string(kSnap), "install", request.name};
  if (request.classic) argv.emplace_back("--classic");
  return argv;
}

int run_installer(const std::vector<std::string>& requests) {
  // A closed pipe to the parent must show up as a failed write, not kill us.
  ::signal(SIGPIPE, SIG_IGN);
  const auto parsed = parse_installer_requests(requests);
  if (!parsed) {
    (void)write_all(STDERR_FILENO, kRefusal);
    return kRefusedStatus;
  }
  const bool any_apt = std::any_of(parsed->begin(), parsed->end(), [](const auto& r) { return !r.is_snap; });
  if (any_apt) {
    if (!write_protocol_line("# Updating the package list…")) return kLostParentStatus;
    // A stale list may still install; the install itself tells.
    (void)run_package_tool({std::string(kAptGet), "-o", std::string(kAptLockOption), "update"});
  }
  for (const PackageRequest& request : *parsed) {
    if (!write_protocol_line(fmt::format("# Installing {}…", request.name))) return kLostParentStatus;
    const bool installed = run_package_tool(install_command(request));
    if (!write_protocol_line(fmt::format("{} {}", installed ? "ok" : "fail", request.name))) return kLostParentStatus;
  }
  return kDoneStatus;
}

}  // namespace korvo
