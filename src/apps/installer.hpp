#pragma once

#include <string>
#include <vector>

namespace korvo {

// The privileged installer mode: checks every "{tag}:{package}" request,
// installs them one by one and writes one protocol line per step on
// standard output. Returns the process exit status (0, or 2 when refused).
int run_installer(const std::vector<std::string>& requests);

}  // namespace korvo
