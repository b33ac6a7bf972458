#include "apps/elevated_install.hpp"

#include <unistd.h>

#include <cerrno>

#include "apps/installer_protocol.hpp"
#include "apps/package_request.hpp"
#include "common/i18n.hpp"
#include "common/process.hpp"
#include "common/text.hpp"

namespace korvo {
namespace {

constexpr std::size_t kReadChunk = 4096;

// One complete line; false when it ends the reading.
bool deliver(std::string_view line, const std::function<void(std::string_view)>& on_line) {
  if (!is_valid_utf8(line)) return false;
  on_line(line);
  return true;
}

}  // namespace

std::string shown_progress_text(std::string_view protocol_text) {
  if (protocol_text == kUpdatingProgress) return tr("Updating the package list…");
  if (protocol_text.size() > kInstallingProgressStart.size() + kInstallingProgressEnd.size() &&
      starts_with(protocol_text, kInstallingProgressStart) && ends_with(protocol_text, kInstallingProgressEnd)) {
    const std::string_view name = protocol_text.substr(
        kInstallingProgressStart.size(),
        protocol_text.size() - kInstallingProgressStart.size() - kInstallingProgressEnd.size());
    return trf("Installing {}…", name);
  }
  return std::string(protocol_text);
}

std::string elevation_tool() { return command_exists("pkexec") ? "pkexec" : "sudo"; }

std::vector<std::string> installer_command_line(std::string_view tool, std::string_view executable,
                                                const std::vector<const InstallItem*>& items) {
  std::vector<std::string> argv = {std::string(tool), std::string(executable), std::string(kInstallerFlag)};
  for (const InstallItem* item : items) {
    for (const std::string& package : item->packages) {
      argv.push_back(package_request_argument(installer_tag(*item), package));
    }
  }
  return argv;
}

void read_installer_lines(int fd, const std::function<void(std::string_view)>& on_line) {
  std::string pending;
  char chunk[kReadChunk];
  while (true) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return;
    if (got == 0) {
      if (!pending.empty()) (void)deliver(pending, on_line);
      return;
    }
    pending.append(chunk, static_cast<std::size_t>(got));
    std::size_t start = 0;
    for (std::size_t feed; (feed = pending.find('\n', start)) != std::string::npos; start = feed + 1) {
      std::string_view line(pending.data() + start, feed - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (!deliver(line, on_line)) return;
    }
    pending.erase(0, start);
  }
}

Result<std::set<std::string>> run_elevated_installer(const std::vector<std::string>& command_line,
                                                     Progress& progress) {
  Command command;
  command.argv = command_line;
  command.out = Stream::kPipe;  // stdin stays the terminal's, where sudo asks
  auto child = spawn_process(command);
  if (!child) return child.error();
  std::set<std::string> installed;
  read_installer_lines(child->stdout_pipe().get(), [&](std::string_view line) {
    if (starts_with(line, kProgressPrefix)) {
      progress.step(shown_progress_text(line.substr(kProgressPrefix.size())));
    } else if (starts_with(line, kInstalledPrefix)) {
      installed.emplace(line.substr(kInstalledPrefix.size()));
    }
  });
  // Closed before waiting: an installer still writing after the reading
  // stopped early would otherwise block on a full pipe and never end.
  child->stdout_pipe().reset();
  (void)child->wait();  // the "ok" lines alone tell what was installed
  return installed;
}

}  // namespace korvo
