#include "restore_cli/ui.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fmt/format.h>

#include "common/text.hpp"
#include "restore_cli/password.hpp"
#include "restore_cli/zenity_version.hpp"

namespace korvo {
namespace {

constexpr std::string_view kZenity = "zenity";
constexpr std::string_view kTitleArgument = "--title=Korvo";
constexpr unsigned kWindowPercentCap = 99;
constexpr std::size_t kProgressTextWidth = 60;

void print(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// zenity runs every "# " line through g_strcompress, which eats backslashes
// ("C:\Users" would show as "C:Users"); doubled ones come out as one.
std::string protect_backslashes(std::string_view text) { return replace_all(text, "\\", "\\\\"); }

// Older zenity shows "# " lines as plain text; the version is asked only
// when escaping would change the line.
std::string window_text(std::string_view text) {
  const bool escape = text.find_first_of("&<>") != std::string_view::npos && zenity_progress_lines_read_markup();
  return protect_backslashes(escape ? escape_markup(text) : std::string(text));
}

std::size_t utf8_char_count(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

// The first `limit` characters of a UTF-8 text.
std::string_view utf8_prefix(std::string_view text, std::size_t limit) {
  std::size_t seen = 0;
  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    if ((static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80) {
      if (seen == limit) return text.substr(0, pos);
      ++seen;
    }
  }
  return text;
}

}  // namespace

std::string strip_trailing_line_feeds(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::optional<std::string> run_zenity(const std::vector<std::string>& args) {
  Command command;
  command.argv = {std::string(kZenity), std::string(kTitleArgument)};
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  command.in = Stream::kNull;
  command.out = Stream::kCapture;
  command.err = Stream::kCapture;
  auto output = run_process(command);
  if (!output || !output->status.success()) return std::nullopt;
  return strip_trailing_line_feeds(utf8_lossy(output->out));
}

std::string escape_markup(std::string_view text) {
  std::string escaped = replace_all(text, "&", "&amp;");
  escaped = replace_all(escaped, "<", "&lt;");
  return replace_all(escaped, ">", "&gt;");
}

void say(bool gui, std::string_view text) {
  if (gui) return;
  print(fmt::format("{}\n", text));
}

bool is_no_answer(std::string_view line) {
  const std::string answer = ascii_lower(trim_unicode(line));
  return starts_with(answer, "n");
}

bool ask_yes_no(bool gui, std::string_view question) {
  if (gui) {
    return run_zenity({"--question", "--width=420", "--no-markup", fmt::format("--text={}", question)}).has_value();
  }
  print(fmt::format("{} [Y/n] ", question));
  char* line = nullptr;
  std::size_t capacity = 0;
  const ssize_t length = ::getline(&line, &capacity, stdin);
  bool yes;
  if (length < 0) {
    yes = !std::ferror(stdin);  // end of input counts as the default, yes
    std::clearerr(stdin);
  } else {
    const std::string_view text(line, static_cast<std::size_t>(length));
    yes = is_valid_utf8(text) && !is_no_answer(text);
  }
  std::free(line);
  return yes;
}

Result<SecretString> ask_password(bool gui) {
  SecretString password;
  if (gui) {
    auto answer = run_zenity({"--password"});
    if (!answer) return Error("Cancelled");
    password.append(*answer);
    wipe_string(*answer);
  } else {
    auto typed = read_password_from_terminal("Backup password: ");
    if (!typed) return Error("Could not read the password", typed.error());
    password = std::move(*typed);
  }
  if (password.empty()) return Error("No password entered");
  return password;
}

std::optional<std::string> choose_folder() {
  return run_zenity({"--file-selection", "--directory", "--title=Korvo — select your Korvo USB drive"});
}

void show_info(std::string_view text) {
  (void)run_zenity({"--info", "--width=520", "--no-markup", fmt::format("--text={}", text)});
}

void show_error(std::string_view text) {
  (void)run_zenity({"--error", "--width=460", "--no-markup", fmt::format("--text={}", text)});
}

ProgressDialog::~ProgressDialog() {
  if (!closed_ && window_.running()) close_progress(*this);
}

ProgressDialog start_progress(bool gui, std::string_view text, bool pulsate) {
  if (!gui) {
    print(fmt::format("{}\n", text));
    return ProgressDialog();
  }
  Command command;
  command.argv = {std::string(kZenity), std::string(kTitleArgument), "--progress", "--width=460", "--no-cancel",
                  "--auto-close",       fmt::format("--text={}", escape_markup(text))};
  if (pulsate) command.argv.emplace_back("--pulsate");
  command.in = Stream::kPipe;
  auto child = spawn_process(command);
  if (!child) return ProgressDialog();
  Fd input = std::move(child->stdin_pipe());
  return ProgressDialog(std::move(input), std::move(*child));
}

std::string terminal_progress_line(unsigned percent, std::string_view text) {
  const std::string_view shown = utf8_prefix(text, kProgressTextWidth);
  const std::size_t padding = kProgressTextWidth - utf8_char_count(shown);
  return fmt::format("\r  {:>3}%  {}{}", percent, shown, std::string(padding, ' '));
}

std::string window_progress_line(unsigned percent, std::string_view text) {
  return fmt::format("{}\n# {}\n", std::min(percent, kWindowPercentCap), window_text(text));
}

std::string window_step_line(std::string_view text) {
  return fmt::format("# {}\n", window_text(text));
}

void progress_percent(ProgressDialog& progress, unsigned percent, std::string_view text) {
  // A window that has died only makes the write fail; the work goes on.
  if (progress.window_input_.valid()) {
    (void)write_all(progress.window_input_.get(), window_progress_line(percent, text));
  } else {
    print(terminal_progress_line(percent, text));
  }
}

void progress_step(ProgressDialog& progress, std::string_view text) {
  if (progress.window_input_.valid()) {
    (void)write_all(progress.window_input_.get(), window_step_line(text));
  } else {
    print(fmt::format("  {}\n", text));
  }
}

void close_progress(ProgressDialog& progress) {
  if (progress.closed_) return;
  progress.closed_ = true;
  progress.window_input_.reset();
  if (!progress.window_.running()) {
    print("\n");
    return;
  }
  progress.window_.kill(SIGKILL);
  (void)progress.window_.wait();
}

bool command_exists(std::string_view name) {
  Command command;
  command.argv = {"sh", "-c", "command -v \"$1\"", "sh", std::string(name)};
  command.out = Stream::kNull;
  return run_succeeds(command);
}

}  // namespace korvo
