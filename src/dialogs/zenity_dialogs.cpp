#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fmt/format.h>

#include "common/files.hpp"
#include "common/i18n.hpp"
#include "common/process.hpp"
#include "common/text.hpp"
#include "dialogs/terminal.hpp"
#include "dialogs/zenity.hpp"
#include "dialogs/zenity_version.hpp"

namespace korvo {
namespace {

constexpr std::string_view kZenity = "zenity";
constexpr std::string_view kTitleArgument = "--title=Korvo";
constexpr unsigned kWindowPercentCap = 99;

// zenity runs every "# " line through g_strcompress, which eats backslashes
// ("C:\Users" would show as "C:Users"); doubled ones come out as one.
std::string protect_backslashes(std::string_view text) { return replace_all(text, "\\", "\\\\"); }

// zenity reads its input line by line, and GLib ends a line at a line
// feed, a carriage return, a NUL or U+2029: text from a backup must not
// start a line of its own ("100" closes the window, "# " shows anything).
// Those, and every other control character, show as U+FFFD, as on a terminal.
std::string one_line(std::string_view text) {
  return replace_all(replace_all(terminal_safe(text), "\u2028", "\uFFFD"), "\u2029", "\uFFFD");
}

// Older zenity shows "# " lines as plain text; the version is asked only
// when escaping would change the line.
std::string window_text(std::string_view text) {
  const std::string line = one_line(text);
  const bool escape = line.find_first_of("&<>") != std::string::npos && zenity_progress_lines_read_markup();
  return protect_backslashes(escape ? escape_markup(line) : line);
}

// GLib reads an option anywhere in zenity's vector, so a row that begins
// with "-" would be one ("--ok-label=Skip"). An end-of-options "--" does
// not help: GLib leaves it in the vector as a row of its own when a later
// value begins with "-". An invisible word joiner in front keeps the value
// a value and shows it as it is.
std::string row_value(std::string_view label) {
  return starts_with(label, "-") ? "\u2060" + std::string(label) : std::string(label);
}

// Digits only; anything else, or a number too big for an index, is no index.
std::optional<std::size_t> parse_index(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// zenity's answer goes straight from the pipe into a SecretString through
// one buffer that is wiped: no ordinary string ever holds a copy.
std::optional<SecretString> run_zenity_password() {
  Command command;
  command.argv = {std::string(kZenity), std::string(kTitleArgument), "--password"};
  command.in = Stream::kNull;
  command.out = Stream::kPipe;
  command.err = Stream::kNull;
  auto child = spawn_process(command);
  if (!child) return std::nullopt;
  SecretString answer;
  char buffer[4096];
  while (true) {
    const auto got = read_full(child->stdout_pipe().get(), buffer, sizeof buffer);
    if (!got) break;
    answer.append(std::string_view(buffer, *got));
    if (*got < sizeof buffer) break;  // end of output
  }
  wipe_bytes(buffer, sizeof buffer);
  child->stdout_pipe().reset();
  const auto status = child->wait();
  if (!status || !status->success()) return std::nullopt;
  while (!answer.empty() && answer.view().back() == '\n') answer.truncate(answer.size() - 1);
  if (is_valid_utf8(answer.view())) return answer;
  std::string lossy = utf8_lossy(answer.view());
  SecretString shown(lossy);
  wipe_string(lossy);
  return shown;
}

// A zenity progress window fed through a pipe, killed on close.
class WindowProgress : public Progress {
 public:
  WindowProgress(Fd input, Child window) : input_(std::move(input)), window_(std::move(window)) {}
  ~WindowProgress() override { close(); }

  // A window that has died only makes the write fail; the work goes on.
  void percent(unsigned percent, std::string_view text) override {
    (void)write_all(input_.get(), window_progress_line(percent, text));
  }
  void transfer(const TransferUpdate& update) override {
    (void)write_all(input_.get(), window_transfer_line(update));
  }
  void step(std::string_view text) override { (void)write_all(input_.get(), window_step_line(text)); }
  void close() override {
    input_.reset();
    if (!window_.running()) return;
    window_.kill(SIGKILL);
    (void)window_.wait();
  }

 private:
  Fd input_;
  Child window_;
};

class ZenityDialogs : public Dialogs {
 public:
  void say(std::string_view) override {}

  bool ask_yes_no(std::string_view question) override {
    return run_zenity({"--question", "--width=420", "--no-markup", fmt::format("--text={}", question)}).has_value();
  }

  Result<SecretString> ask_password() override {
    auto answer = run_zenity_password();
    if (!answer) return Error(tr("Cancelled"));
    if (answer->empty()) return Error(tr("No password entered"));
    return std::move(*answer);
  }

  std::optional<std::string> choose_folder() override {
    return run_zenity({"--file-selection", "--directory", "--title=" + tr("Korvo — select your Korvo USB drive")});
  }

  std::vector<std::size_t> choose_rows(const Checklist& checklist) override {
    const auto output = run_zenity(checklist_arguments(checklist));
    if (!output) return {};
    return parse_checklist_output(*output, checklist.rows.size());
  }

  std::unique_ptr<Progress> start_progress(std::string_view text, bool pulsate) override {
    Command command;
    command.argv = {std::string(kZenity), std::string(kTitleArgument), "--progress", "--width=460", "--no-cancel",
                    "--auto-close",       fmt::format("--text={}", escape_markup(text))};
    if (pulsate) command.argv.emplace_back("--pulsate");
    command.in = Stream::kPipe;
    auto child = spawn_process(command);
    // Without a window the progress still shows, as the terminal would.
    if (!child) return make_terminal_progress();
    Fd input = std::move(child->stdin_pipe());
    return std::make_unique<WindowProgress>(std::move(input), std::move(*child));
  }

  void show_report(const std::vector<std::string>& lines, const std::string& restored_folder) override {
    (void)run_zenity({"--info", "--width=520", "--no-markup", fmt::format("--text={}", final_dialog_text(lines))});
    // The file manager stays open after we are gone: started, never waited for.
    Command open_folder;
    open_folder.argv = {"xdg-open", restored_folder};
    if (auto child = spawn_process(open_folder)) child->detach();
  }

  void show_notice(std::string_view text) override { error_window(text); }

  void show_info(std::string_view text) override {
    (void)run_zenity({"--info", "--width=520", "--no-markup", fmt::format("--text={}", text)});
  }

  void show_failure(const std::vector<std::string>& paragraphs) override { error_window(join(paragraphs, "\n\n")); }

 private:
  static void error_window(std::string_view text) {
    (void)run_zenity({"--error", "--width=460", "--no-markup", fmt::format("--text={}", text)});
  }
};

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

std::string window_progress_line(unsigned percent, std::string_view text) {
  return fmt::format("{}\n# {}\n", std::min(percent, kWindowPercentCap), window_text(text));
}

std::string window_transfer_line(const TransferUpdate& update) {
  std::string words = update.amount;
  if (!update.time_left.empty()) words += " · " + update.time_left;
  std::string text = window_text(words);
  // An escaped line feed, which zenity turns into a line break.
  if (!update.path.empty()) text += "\\n" + window_text(update.path);
  return fmt::format("{}\n# {}\n", std::min(update.percent, kWindowPercentCap), text);
}

std::string window_step_line(std::string_view text) {
  return fmt::format("# {}\n", window_text(text));
}

std::vector<std::string> checklist_arguments(const Checklist& checklist) {
  std::vector<std::string> args = {"--list",
                                   "--checklist",
                                   "--width=560",
                                   "--height=440",
                                   "--column=" + tr("Install"),
                                   "--column=#",
                                   "--column=" + tr("App"),
                                   "--hide-column=2",
                                   "--print-column=2",
                                   "--separator=\n",
                                   fmt::format("--text={}", escape_markup(checklist.intro))};
  for (std::size_t i = 0; i < checklist.rows.size(); ++i) {
    args.emplace_back(checklist.rows[i].ticked ? "TRUE" : "FALSE");
    args.push_back(std::to_string(i));
    args.push_back(row_value(checklist.rows[i].label));
  }
  return args;
}

std::vector<std::size_t> parse_checklist_output(std::string_view output, std::size_t row_count) {
  std::vector<std::size_t> chosen;
  while (true) {
    const std::size_t feed = output.find('\n');
    const auto index = parse_index(trim_unicode(output.substr(0, feed)));
    if (index && *index < row_count) chosen.push_back(*index);
    if (feed == std::string_view::npos) break;
    output.remove_prefix(feed + 1);
  }
  return chosen;
}

std::string final_dialog_text(const std::vector<std::string>& summary) {
  return trf("Done — welcome to Ubuntu!\n\n{}", join(summary, "\n\n"));
}

std::unique_ptr<Dialogs> make_zenity_dialogs() { return std::make_unique<ZenityDialogs>(); }

}  // namespace korvo
