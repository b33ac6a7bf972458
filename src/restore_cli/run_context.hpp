#pragma once

#include <functional>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "dialogs/dialogs.hpp"
#include "report/run_report.hpp"

namespace korvo {

// Everything a restore run depends on from outside, read once by the entry.
// Stages get the pieces they need from here, never from the environment.
struct RunContext {
  Dialogs& dialogs;
  std::optional<std::string> home;  // HOME as the environment has it, if at all
  std::string temp_dir;             // TMPDIR when set (even empty), else "/tmp"
  RunReport* report = nullptr;      // filled as the stages go, when the run is reported
  // Answers given ahead of time, checked against the opened backup before
  // anything is written; an error ends the run.
  std::function<Result<void>(const std::string& staging_root)> check_staged;
};

// The one place that reads the process environment.
RunContext run_context_from_environment(Dialogs& dialogs);
// TMPDIR when set (even empty), else "/tmp".
std::string temp_dir_from_environment();

}  // namespace korvo
