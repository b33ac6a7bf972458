#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "dialogs/dialogs.hpp"

// The terminal side of the dialog layer: pieces its tests pin.
namespace korvo {

// An answer that begins with n, or with what the user's language says instead.
bool is_no_answer(std::string_view line);
std::string terminal_progress_line(unsigned percent, std::string_view text);
// Percent, amount, speed, time left and path on one line of `columns`
// columns, overwriting the one before.
std::string terminal_transfer_line(const TransferUpdate& update, std::size_t columns);
// The checklist's rows as the terminal shows them, intro first.
std::string terminal_listing(const Checklist& checklist);
// Progress as terminal lines, without a heading of its own.
std::unique_ptr<Progress> make_terminal_progress();

}  // namespace korvo
