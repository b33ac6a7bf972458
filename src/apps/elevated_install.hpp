#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "apps/install_item.hpp"
#include "common/error.hpp"
#include "dialogs/dialogs.hpp"

// Starting the privileged installer copy through pkexec or sudo and
// following its protocol lines.
namespace korvo {

// "pkexec" when it is installed, "sudo" otherwise.
std::string elevation_tool();

// tool, executable, "--install-apps", then one "{tag}:{package}" per package
// of each item in the given order.
std::vector<std::string> installer_command_line(std::string_view tool, std::string_view executable,
                                                const std::vector<const InstallItem*>& items);

// Hands each line (without its line feed and one carriage return before it)
// to on_line, until end of stream, a read error or a line that is not UTF-8.
void read_installer_lines(int fd, const std::function<void(std::string_view)>& on_line);

// A progress text of the installer protocol as the user reads it: in their
// language, the package name as it came.
std::string shown_progress_text(std::string_view protocol_text);

// Runs the command line with its output on a pipe, shows its progress texts
// and returns the package names it reported installed. The error means the
// elevation tool could not be started.
Result<std::set<std::string>> run_elevated_installer(const std::vector<std::string>& command_line,
                                                     Progress& progress);

}  // namespace korvo
