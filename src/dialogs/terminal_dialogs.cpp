#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <fmt/format.h>

#include "common/text.hpp"
#include "dialogs/password.hpp"
#include "dialogs/terminal.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::size_t kProgressTextWidth = 60;
// A terminal that does not say its width is taken to be the classic one.
constexpr std::size_t kDefaultColumns = 80;
// A path cut shorter than this tells nothing; the words make room first.
constexpr std::size_t kShortestPath = 10;

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

// Columns a character takes: two for the wide characters of East Asian
// scripts, none for combining marks and joiners.
std::size_t columns_of(std::uint32_t code) {
  if ((code >= 0x0300 && code <= 0x036F) || (code >= 0x1AB0 && code <= 0x1AFF) || (code >= 0x1DC0 && code <= 0x1DFF) ||
      (code >= 0x200B && code <= 0x200F) || (code >= 0x20D0 && code <= 0x20FF) || (code >= 0xFE00 && code <= 0xFE0F) ||
      (code >= 0xFE20 && code <= 0xFE2F)) {
    return 0;
  }
  const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0x303E) ||
                    (code >= 0x3041 && code <= 0x33FF) || (code >= 0x3400 && code <= 0x4DBF) ||
                    (code >= 0x4E00 && code <= 0x9FFF) || (code >= 0xA000 && code <= 0xA4CF) ||
                    (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                    (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
                    (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x1F300 && code <= 0x1F64F) ||
                    (code >= 0x1F900 && code <= 0x1F9FF) || (code >= 0x20000 && code <= 0x3FFFD);
  return wide ? 2 : 1;
}

// The characters of a valid UTF-8 text as (offset, length, columns).
struct Glyph {
  std::size_t pos, length, columns;
};
std::vector<Glyph> glyphs(std::string_view text) {
  std::vector<Glyph> found;
  for (std::size_t pos = 0; pos < text.size();) {
    std::uint32_t code = 0;
    const std::size_t length = std::max<std::size_t>(utf8_decode(text, pos, code), 1);
    found.push_back({pos, length, columns_of(code)});
    pos += length;
  }
  return found;
}

std::size_t text_columns(std::string_view text) {
  std::size_t columns = 0;
  for (const Glyph& glyph : glyphs(text)) columns += glyph.columns;
  return columns;
}

// The longest start of the text within `limit` columns.
std::string_view first_columns(std::string_view text, std::size_t limit) {
  std::size_t used = 0;
  for (const Glyph& glyph : glyphs(text)) {
    if (used + glyph.columns > limit) return text.substr(0, glyph.pos);
    used += glyph.columns;
  }
  return text;
}

// The longest end of the text within `limit` columns.
std::string_view last_columns(std::string_view text, std::size_t limit) {
  const std::vector<Glyph> all = glyphs(text);
  std::size_t used = 0;
  for (auto glyph = all.rbegin(); glyph != all.rend(); ++glyph) {
    if (used + glyph->columns > limit) return text.substr(glyph->pos + glyph->length);
    used += glyph->columns;
  }
  return text;
}

// The text in at most `limit` columns, its middle given up for "…": a
// third for the start, which says where, the rest for the end, which names
// the file.
std::string shorten_middle(std::string_view text, std::size_t limit) {
  if (text_columns(text) <= limit) return std::string(text);
  if (limit == 0) return {};
  const std::string_view head = first_columns(text, (limit - 1) / 3);
  const std::string_view tail = last_columns(text, limit - 1 - text_columns(head));
  return fmt::format("{}…{}", head, tail);
}

std::size_t terminal_columns() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultColumns;
}

class TerminalProgress : public Progress {
 public:
  void percent(unsigned percent, std::string_view text) override { print(terminal_progress_line(percent, text)); }
  void transfer(const TransferUpdate& update) override {
    print(terminal_transfer_line(update, terminal_columns()));
  }
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

std::string terminal_transfer_line(const TransferUpdate& update, std::size_t columns) {
  // The last column stays free: a terminal that wraps there would push the
  // line down at every redraw.
  const std::size_t room = std::max<std::size_t>(columns, 1) - 1;
  // Given up in this order when the line is short of room: speed, time left, amount.
  std::vector<std::string> words;
  for (const std::string* word : {&update.amount, &update.speed, &update.time_left}) {
    if (!word->empty()) words.push_back(terminal_safe(*word));
  }
  const auto head_with = [&](const std::vector<std::string>& shown) {
    std::string head = fmt::format("  {:>3}%", update.percent);
    for (const std::string& word : shown) head += "  " + word;
    return head;
  };
  std::string line = head_with(words);
  while (!words.empty() && text_columns(line) + 2 + kShortestPath > room) {
    words.erase(words.begin() + (words.size() > 1 ? 1 : 0));
    line = head_with(words);
  }
  const std::string path = terminal_safe(update.path);
  if (!path.empty()) {
    const std::size_t used = text_columns(line) + 2;
    line += "  " + (used + kShortestPath <= room ? shorten_middle(path, room - used) : path);
  }
  line = std::string(first_columns(line, room));
  return fmt::format("\r{}{}", line, std::string(room - text_columns(line), ' '));
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
