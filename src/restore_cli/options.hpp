#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "dialogs/unattended.hpp"

namespace korvo {

// The command line of a restore run.
struct RunOptions {
  bool unattended = false;
  bool password_stdin = false;
  std::optional<std::string> password_file;
  UnattendedAnswers answers;
  std::optional<std::string> report_json;
  // The other arguments, for the choice of dialogs and the backup folder.
  std::vector<std::string> rest;
  // The first thing that keeps the run from starting.
  std::optional<Error> refusal;
};

// Options take their value as the next argument or after "=". Unknown
// options stay in `rest`, where they are ignored.
RunOptions parse_run_options(const std::vector<std::string>& args);

}  // namespace korvo
