#include "dialogs/zenity_version.hpp"

#include <charconv>
#include <string>
#include <tuple>

#include "common/process.hpp"
#include "common/text.hpp"

namespace korvo {
namespace {

// One decimal number at the front of `text`, consumed; nothing when absent.
std::optional<unsigned> take_number(std::string_view& text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

bool take_dot(std::string_view& text) {
  if (!starts_with(text, ".")) return false;
  text.remove_prefix(1);
  return true;
}

}  // namespace

std::optional<ZenityVersion> parse_zenity_version(std::string_view output) {
  std::string_view line = output.substr(0, output.find('\n'));
  line = trim_unicode(line);
  ZenityVersion version;
  const auto major = take_number(line);
  if (!major || !take_dot(line)) return std::nullopt;
  const auto minor = take_number(line);
  if (!minor) return std::nullopt;
  version.major = *major;
  version.minor = *minor;
  if (take_dot(line)) {
    const auto micro = take_number(line);
    if (!micro) return std::nullopt;
    version.micro = *micro;
  }
  if (!line.empty()) return std::nullopt;
  return version;
}

bool progress_lines_read_markup(const std::optional<ZenityVersion>& version) {
  if (!version) return true;
  return std::tie(version->major, version->minor, version->micro) >= std::make_tuple(4u, 0u, 3u);
}

bool zenity_progress_lines_read_markup() {
  static const bool reads_markup = [] {
    Command command;
    command.argv = {"zenity", "--version"};
    command.in = Stream::kNull;
    command.out = Stream::kCapture;
    command.err = Stream::kCapture;
    const auto output = run_process(command);
    if (!output || !output->status.success()) return progress_lines_read_markup(std::nullopt);
    return progress_lines_read_markup(parse_zenity_version(output->out));
  }();
  return reads_markup;
}

}  // namespace korvo
