#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "restore/file_copy.hpp"
#include "restore_cli/run_context.hpp"

namespace korvo {

// One restore run, stage after stage, ending with the final report.
// Success means the report was shown, not that everything came back. The
// staging directory is removed at the end, success or not; when that fails
// on a failed run, `failure_notes` gets the line for the failure report.
Result<void> run_restore(const RunContext& context, const std::vector<std::string>& args,
                         std::vector<std::string>& failure_notes);

// Asks for the password and opens the backup with it through `attempt`,
// under a pulsating progress window: a wrong one is said and asked for
// again, five tries in all. Any other failure comes back under "Decryption
// failed — wrong password, or the backup is damaged", a disk's as it is.
Result<void> try_passwords(Dialogs& dialogs, std::string_view progress_text,
                           const std::function<Result<void>(std::string_view password)>& attempt);

// The line that sends the user to a staging directory that could not be removed.
std::string leftover_staging_line(const std::string& staging_dir, const Error& error);

// The report's file lines: the count, then at most ten failures, then the
// full disk that stopped the copy.
std::vector<std::string> file_report_lines(const FileRestoreOutcome& files);

}  // namespace korvo
