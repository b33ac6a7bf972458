#pragma once

#include <optional>
#include <string>

#include "dialogs/dialogs.hpp"

namespace korvo {

// Everything a restore run depends on from outside, read once by the entry.
// Stages get the pieces they need from here, never from the environment.
struct RunContext {
  Dialogs& dialogs;
  std::optional<std::string> home;  // HOME as the environment has it, if at all
  std::string temp_dir;             // TMPDIR when set (even empty), else "/tmp"
};

// The one place that reads the process environment.
RunContext run_context_from_environment(Dialogs& dialogs);
// TMPDIR when set (even empty), else "/tmp".
std::string temp_dir_from_environment();

}  // namespace korvo
