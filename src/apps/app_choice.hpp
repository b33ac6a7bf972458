#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "apps/install_item.hpp"

// Which of the offered apps the user wants: a zenity checklist, or a listing
// and one question in the terminal.
namespace korvo {

struct ChecklistRow {
  std::string label;
  bool ticked = false;
};

ChecklistRow checklist_row(const InstallItem& item);

// The arguments after "zenity" "--title=Korvo".
std::vector<std::string> checklist_arguments(const std::vector<ChecklistRow>& rows);

// Row indices printed by the checklist, in printed order; pieces that are no
// index or name no row are skipped.
std::vector<std::size_t> parse_checklist_output(std::string_view output, std::size_t row_count);

// The rows as the terminal shows them, intro first.
std::string terminal_listing(const std::vector<ChecklistRow>& rows);

// The chosen row indices; empty when the user chose nothing.
std::vector<std::size_t> choose_apps(const std::vector<ChecklistRow>& rows, bool gui);

}  // namespace korvo
