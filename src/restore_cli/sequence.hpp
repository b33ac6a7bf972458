#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.hpp"

namespace korvo {

// One restore run, stage after stage, ending with the final report.
// Success means the report was shown, not that everything came back.
Result<void> run_restore(bool gui, const std::vector<std::string>& args);

// The report's file lines: the count, then at most ten failures.
std::vector<std::string> file_report_lines(std::uint64_t restored, const std::vector<std::string>& failures);

// The text of the final information dialog.
std::string final_dialog_text(const std::vector<std::string>& summary);

}  // namespace korvo
