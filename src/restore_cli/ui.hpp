#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/files.hpp"
#include "common/process.hpp"
#include "common/secret.hpp"

// The dialog layer: every exchange with the user, through zenity (gui) or
// the terminal.
namespace korvo {

// Runs "zenity" "--title=Korvo" args...; its output without trailing line
// feeds when it exits with status 0, nothing otherwise.
std::optional<std::string> run_zenity(const std::vector<std::string>& args);

// "&" → "&amp;", then "<" → "&lt;", then ">" → "&gt;".
std::string escape_markup(std::string_view text);

void say(bool gui, std::string_view text);
bool ask_yes_no(bool gui, std::string_view question);
Result<SecretString> ask_password(bool gui);
std::optional<std::string> choose_folder();
void show_info(std::string_view text);
void show_error(std::string_view text);

// One progress display: a zenity window fed through a pipe, or the terminal.
class ProgressDialog {
 public:
  ProgressDialog() = default;
  ProgressDialog(Fd window_input, Child window) : window_input_(std::move(window_input)), window_(std::move(window)) {}
  ProgressDialog(ProgressDialog&&) = default;
  ProgressDialog& operator=(ProgressDialog&&) = delete;
  // Ends a window that its owner did not close (an early return).
  ~ProgressDialog();

  bool has_window() const { return window_.running(); }

 private:
  friend void progress_percent(ProgressDialog&, unsigned, std::string_view);
  friend void progress_step(ProgressDialog&, std::string_view);
  friend void close_progress(ProgressDialog&);
  Fd window_input_;
  Child window_;
  bool closed_ = false;
};

ProgressDialog start_progress(bool gui, std::string_view text, bool pulsate);
void progress_percent(ProgressDialog& progress, unsigned percent, std::string_view text);
void progress_step(ProgressDialog& progress, std::string_view text);
void close_progress(ProgressDialog& progress);

// "sh" "-c" "command -v \"$1\"" "sh" name: true when sh exits with status 0.
bool command_exists(std::string_view name);

// Pieces exposed for tests.
std::string strip_trailing_line_feeds(std::string text);
bool is_no_answer(std::string_view line);
std::string terminal_progress_line(unsigned percent, std::string_view text);
std::string window_progress_line(unsigned percent, std::string_view text);
std::string window_step_line(std::string_view text);

}  // namespace korvo
