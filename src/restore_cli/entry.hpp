#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/error.hpp"

namespace korvo {

// Dialogs or terminal, decided once: "--gui" skips the terminal test,
// "--no-gui" wins, and otherwise zenity must be installed.
bool decide_gui(const std::vector<std::string>& args, bool stdin_is_terminal,
                const std::function<bool()>& zenity_installed);

// "Restore failed: " followed by the error's chain on one line.
std::string failure_report_text(const Error& error);
// The same for a run that was refused before it was tried.
std::string refusal_text(const Error& error);

// The program: installer mode or a restore run; returns the exit status.
int run_entry(int argc, char** argv);

}  // namespace korvo
