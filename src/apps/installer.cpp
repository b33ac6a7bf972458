#include "apps/installer.hpp"

#include <fmt/format.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "apps/installer_protocol.hpp"
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
constexpr std::string_view kAptCache = "apt-cache";
constexpr std::string_view kAptLockOption = "DPkg::Lock::Timeout=600";
constexpr std::string_view kSnap = "snap";

// Unbuffered, so the parent sees each line while the next package installs.
bool write_protocol_line(std::string_view line) { return write_all(STDOUT_FILENO, fmt::format("{}\n", line)).ok(); }

Command package_tool(const InstallerTools& tools, std::vector<std::string> argv) {
  Command command;
  command.argv = std::move(argv);
  command.argv.front() = join_path(tools.directory, command.argv.front());
  command.out = Stream::kNull;
  command.err = Stream::kNull;
  command.extra_env = package_tool_environment();
  command.inherit_env = false;
  return command;
}

// apt-get reads a name it does not know as a regular expression or glob,
// and a trailing "-" as "remove": only a name apt knows exactly may reach it.
bool apt_knows_exactly(const InstallerTools& tools, const std::string& name) {
  Command command = package_tool(tools, {std::string(kAptCache), "pkgnames", name});
  command.in = Stream::kNull;
  command.out = Stream::kCapture;
  auto output = run_process(command);
  return output && output->status.success() && lists_package(output->out, name);
}

bool install(const InstallerTools& tools, const PackageRequest& request) {
  if (request.is_snap ? !is_valid_snap_name(request.name) : !apt_knows_exactly(tools, request.name)) return false;
  return run_succeeds(package_tool(tools, install_command(request)));
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
  if (!request.is_snap) {
    // --no-remove: a request never takes a package away, not even to resolve a conflict.
    return {std::string(kAptGet), "-o", std::string(kAptLockOption), "install", "-y", "--no-remove", request.name};
  }
  std::vector<std::string> argv = {std::string(kSnap), "install", request.name};
  if (request.classic) argv.emplace_back("--classic");
  return argv;
}

std::vector<std::pair<std::string, std::string>> package_tool_environment() {
  return {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}, {"LANG", "C.UTF-8"}, {"DEBIAN_FRONTEND", "noninteractive"}};
}

bool lists_package(std::string_view pkgnames_output, std::string_view name) {
  std::size_t start = 0;
  while (start < pkgnames_output.size()) {
    std::size_t end = pkgnames_output.find('\n', start);
    if (end == std::string_view::npos) end = pkgnames_output.size();
    if (pkgnames_output.substr(start, end - start) == name) return true;
    start = end + 1;
  }
  return false;
}

int installer_main(const std::vector<std::string>& requests, const InstallerTools& tools) {
  // Whatever the caller left open must not reach root's package tools.
  close_descriptors_above_stderr();
  return run_installer(requests, tools);
}

int run_installer(const std::vector<std::string>& requests, const InstallerTools& tools) {
  // A closed pipe to the parent must show up as a failed write, not kill us.
  ::signal(SIGPIPE, SIG_IGN);
  const auto parsed = parse_installer_requests(requests);
  if (!parsed) {
    (void)write_all(STDERR_FILENO, kRefusal);
    return kRefusedStatus;
  }
  const bool any_apt = std::any_of(parsed->begin(), parsed->end(), [](const auto& r) { return !r.is_snap; });
  if (any_apt) {
    if (!write_protocol_line(fmt::format("{}{}", kProgressPrefix, kUpdatingProgress))) return kLostParentStatus;
    // A stale list may still install; the install itself tells.
    (void)run_succeeds(package_tool(tools, {std::string(kAptGet), "-o", std::string(kAptLockOption), "update"}));
  }
  for (const PackageRequest& request : *parsed) {
    const std::string installing =
        fmt::format("{}{}{}{}", kProgressPrefix, kInstallingProgressStart, request.name, kInstallingProgressEnd);
    if (!write_protocol_line(installing)) return kLostParentStatus;
    const bool installed = install(tools, request);
    const std::string_view result = installed ? kInstalledPrefix : kFailedPrefix;
    if (!write_protocol_line(fmt::format("{}{}", result, request.name))) return kLostParentStatus;
  }
  return kDoneStatus;
}

}  // namespace korvo
