#pragma once

#include <optional>
#include <string>
#include <vector>

#include "apps/package_request.hpp"

namespace korvo {

// The privileged installer mode: checks every "{tag}:{package}" request,
// installs them one by one and writes one protocol line per step on
// standard output. Returns the process exit status (0, or 2 when refused).
int run_installer(const std::vector<std::string>& requests);

// All requests in order, or nothing when any one of them is bad.
std::optional<std::vector<PackageRequest>> parse_installer_requests(const std::vector<std::string>& arguments);

// The package tool's argument vector for one request.
std::vector<std::string> install_command(const PackageRequest& request);

}  // namespace korvo
