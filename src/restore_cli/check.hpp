#pragma once

#include <string>
#include <vector>

#include "restore/file_copy.hpp"
#include "restore_cli/run_context.hpp"

namespace korvo {

// `korvo-restore --check`: finds the backup, asks for the password, reads
// every record and file of it and checks every digest, writing nothing
// anywhere; ends with its report. Returns the exit status: 0 when every
// file would come back.
int run_check(const RunContext& context, const std::vector<std::string>& args);

// The report of a check: one line when all is well, else the count and at
// most ten of the files that would not come back.
std::vector<std::string> check_report_lines(const FileCheckOutcome& outcome);

}  // namespace korvo
