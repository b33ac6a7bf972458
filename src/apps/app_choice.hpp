#pragma once

#include <cstddef>
#include <vector>

#include "apps/install_item.hpp"
#include "dialogs/dialogs.hpp"

// Which of the offered apps the user wants.
namespace korvo {

ChecklistRow checklist_row(const InstallItem& item);

// The chosen row indices; empty when the user chose nothing.
std::vector<std::size_t> choose_apps(const std::vector<ChecklistRow>& rows, Dialogs& dialogs);

}  // namespace korvo
