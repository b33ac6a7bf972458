#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "apps/package_request.hpp"

namespace korvo {

// Where the root copy finds its package tools. Never taken from the
// environment it was started with: a caller could point it anywhere.
struct InstallerTools {
  std::string directory = "/usr/bin";
};

// The privileged installer mode: checks every "{tag}:{package}" request,
// installs them one by one and writes one protocol line per step on
// standard output. Returns the process exit status (0, or 2 when refused).
int run_installer(const std::vector<std::string>& requests, const InstallerTools& tools = {});

// The process entry of that mode: drops every descriptor it inherited
// above standard error first, then runs it.
int installer_main(const std::vector<std::string>& requests, const InstallerTools& tools = {});

// All requests in order, or nothing when any one of them is bad.
std::optional<std::vector<PackageRequest>> parse_installer_requests(const std::vector<std::string>& arguments);

// The package tool's argument vector for one request, the tool's name first.
std::vector<std::string> install_command(const PackageRequest& request);

// The fixed environment of every package tool, whatever ours holds.
std::vector<std::pair<std::string, std::string>> package_tool_environment();

// Whether `apt-cache pkgnames NAME` output lists exactly NAME.
bool lists_package(std::string_view pkgnames_output, std::string_view name);

}  // namespace korvo
