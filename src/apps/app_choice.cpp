#include "apps/app_choice.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cstdio>
#include <optional>

#include "common/text.hpp"
#include "restore_cli/ui.hpp"

namespace korvo {
namespace {

constexpr std::string_view kIntro = "Korvo can install these apps for you. Untick anything you don't want.";
constexpr std::string_view kQuestion = "Install the ticked apps? (the others are listed in linux-apps.md)";

// Digits only; anything else, or a number too big for an index, is no index.
std::optional<std::size_t> parse_index(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

ChecklistRow checklist_row(const InstallItem& item) {
  if (item.alternative) {
    return {fmt::format("{} — instead of {} (a different app)", item.linux_name, item.app), false};
  }
  return {fmt::format("{} (you had {})", item.linux_name, item.app), true};
}

std::vector<std::string> checklist_arguments(const std::vector<ChecklistRow>& rows) {
  std::vector<std::string> args = {"--list",
                                   "--checklist",
                                   "--width=560",
                                   "--height=440",
                                   "--column=Install",
                                   "--column=#",
                                   "--column=App",
                                   "--hide-column=2",
                                   "--print-column=2",
                                   "--separator=\n",
                                   fmt::format("--text={}", escape_markup(kIntro))};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    args.emplace_back(rows[i].ticked ? "TRUE" : "FALSE");
    args.push_back(std::to_string(i));
    args.push_back(rows[i].label);
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

std::string terminal_listing(const std::vector<ChecklistRow>& rows) {
  std::string text = fmt::format("\n{}\n", kIntro);
  for (const ChecklistRow& row : rows) text += fmt::format("  [{}] {}\n", row.ticked ? "x" : " ", terminal_safe(row.label));
  return text;
}

std::vector<std::size_t> choose_apps(const std::vector<ChecklistRow>& rows, bool gui) {
  if (gui) {
    const auto output = run_zenity(checklist_arguments(rows));
    if (!output) return {};
    return parse_checklist_output(*output, rows.size());
  }
  const std::string listing = terminal_listing(rows);
  std::fwrite(listing.data(), 1, listing.size(), stdout);
  std::fflush(stdout);
  if (!ask_yes_no(false, kQuestion)) return {};
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].ticked) chosen.push_back(i);
  }
  return chosen;
}

}  // namespace korvo
