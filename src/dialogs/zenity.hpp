#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dialogs/dialogs.hpp"

// The zenity side of the dialog layer: pieces its tests pin.
namespace korvo {

// Runs "zenity" "--title=Korvo" args...; its output without trailing line
// feeds when it exits with status 0, nothing otherwise.
std::optional<std::string> run_zenity(const std::vector<std::string>& args);

std::string strip_trailing_line_feeds(std::string text);
std::string window_progress_line(unsigned percent, std::string_view text);
// The words over the path, on two lines of the window.
std::string window_transfer_line(const TransferUpdate& update);
std::string window_step_line(std::string_view text);

// The arguments after "zenity" "--title=Korvo".
std::vector<std::string> checklist_arguments(const Checklist& checklist);

// Row indices printed by the checklist, in printed order; pieces that are no
// index or name no row are skipped.
std::vector<std::size_t> parse_checklist_output(std::string_view output, std::size_t row_count);

}  // namespace korvo
