#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fmt/format.h>

#include "common/text.hpp"
#include "dialogs/password.hpp"
#include "dialogs/terminal.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::size_t kProgressTextWidth = 60;

void print(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
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

class TerminalProgress : public Progress {
 public:
  void percent(unsigned percent, std::string_view text) override { print(terminal_progress_line(percent, text)); }
  void step(std::string_view text) override { print(fmt::format("  {}\n", terminal_safe(text))); }
  // Ends the line that the percentages kept rewriting.
  void close() override {
    if (closed_) return;
    closed_ = true;
    print("\n");
  }

 private:
  bool closed_ = false;
};

class TerminalDialogs : public Dialogs {
 public:
  void say(std::string_view text) override { print(fmt::format("{}\n", text)); }

  bool ask_yes_no(std::string_view question) override {
    // TRANSLATORS: Enter alone means yes; an answer that begins with n, or
    // with one of the translation of "n", means no.
    print(trf("{} [Y/n] ", question));
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

  Result<SecretString> ask_password() override {
    auto typed = read_password_from_terminal(tr("Backup password: "));
    if (!typed) return Error(tr("Could not read the password"), typed.error());
    if (typed->empty()) return Error(tr("No password entered"));
    return std::move(*typed);
  }

  std::optional<std::string> choose_folder() override { return std::nullopt; }

  // The terminal offers no way to change the ticks: the ticked rows, or none.
  std::vector<std::size_t> choose_rows(const Checklist& checklist) override {
    print(terminal_listing(checklist));
    if (!ask_yes_no(checklist.question)) return {};
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < checklist.rows.size(); ++i) {
      if (checklist.rows[i].ticked) chosen.push_back(i);
    }
    return chosen;
  }

  std::unique_ptr<Progress> start_progress(std::string_view text, bool) override {
    print(fmt::format("{}\n", text));
    return make_terminal_progress();
  }

  void show_notice(std::string_view text) override { print(fmt::format("{}\n", text)); }

  void show_report(const std::vector<std::string>& lines, const std::string&) override {
    std::string text = "\n";
    for (const std::string& line : lines) text += terminal_safe(line) + "\n";
    print(text);
  }

  void show_info(std::string_view text) override { print("\n" + terminal_safe(text) + "\n"); }

  void show_failure(const std::vector<std::string>& paragraphs) override {
    std::string shown = "\n";
    for (const std::string& paragraph : paragraphs) shown += terminal_safe(paragraph) + "\n";
    std::fwrite(shown.data(), 1, shown.size(), stderr);
    std::fflush(stderr);
  }
};

}  // namespace

bool is_no_answer(std::string_view line) {
  const std::string answer = ascii_lower(trim_unicode(line));
  if (starts_with(answer, "n")) return true;
  // TRANSLATORS: how a "no" answer in the terminal may begin besides the
  // English n: words separated by spaces, both cases of letters beyond ASCII.
  const std::string starts = tr("n");
  for (std::size_t pos = 0; pos < starts.size();) {
    const std::size_t end = std::min(starts.find(' ', pos), starts.size());
    if (end > pos && starts_with(answer, std::string_view(starts).substr(pos, end - pos))) return true;
    pos = end + 1;
  }
  return false;
}

std::string terminal_progress_line(unsigned percent, std::string_view text) {
  const std::string safe = terminal_safe(text);
  const std::string_view shown = utf8_prefix(safe, kProgressTextWidth);
  const std::size_t padding = kProgressTextWidth - utf8_char_count(shown);
  return fmt::format("\r  {:>3}%  {}{}", percent, shown, std::string(padding, ' '));
}

std::string terminal_listing(const Checklist& checklist) {
  std::string text = fmt::format("\n{}\n", checklist.intro);
  for (const ChecklistRow& row : checklist.rows) {
    text += fmt::format("  [{}] {}\n", row.ticked ? "x" : " ", terminal_safe(row.label));
  }
  return text;
}

std::unique_ptr<Progress> make_terminal_progress() { return std::make_unique<TerminalProgress>(); }

std::unique_ptr<Dialogs> make_terminal_dialogs() { return std::make_unique<TerminalDialogs>(); }

}  // namespace korvo
