#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fmt/format.h>

#include "common/files.hpp"
#include "common/i18n.hpp"
#include "common/text.hpp"
#include "dialogs/unattended.hpp"

namespace korvo {
namespace {

// Far beyond any password typed by hand; a file holding more is not a password file.
constexpr std::size_t kMaxPasswordBytes = 4096;
constexpr mode_t kOthersBits = 077;

void write_to(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// The log of a run nobody watches needs no percentages.
class SilentProgress : public Progress {
 public:
  void percent(unsigned, std::string_view) override {}
  void step(std::string_view) override {}
  void close() override {}
};

Error password_file_refused(const std::string& path, Error cause) {
  return Error(trf("The password file {} is refused", path), std::move(cause));
}

}  // namespace

UnattendedDialogs::UnattendedDialogs(SecretString password, UnattendedAnswers answers)
    : password_(std::move(password)), answers_(std::move(answers)) {}

void UnattendedDialogs::say(std::string_view text) { write_to(stdout, fmt::format("{}\n", text)); }

bool UnattendedDialogs::ask_yes_no(std::string_view) { return false; }

Result<SecretString> UnattendedDialogs::ask_password() {
  if (!password_) {
    return Error(tr("The password did not open the backup (an unattended run tries it once)"), ErrorKind::kWrongKey);
  }
  SecretString password = std::move(*password_);
  password_.reset();
  return password;
}

std::vector<std::size_t> UnattendedDialogs::choose_rows(const Checklist& checklist) {
  for (const ChecklistRow& row : checklist.rows) {
    const bool named = std::find(answers_.app_names.begin(), answers_.app_names.end(), row.name) !=
                       answers_.app_names.end();
    if (answers_.apps == AppAnswer::kAll || (answers_.apps == AppAnswer::kNamed && named)) {
      if (std::find(requested_.begin(), requested_.end(), row.name) == requested_.end()) requested_.push_back(row.name);
    }
  }
  return {};
}

std::unique_ptr<Progress> UnattendedDialogs::start_progress(std::string_view text, bool) {
  say(text);
  return std::make_unique<SilentProgress>();
}

// A notice asks for a mend right away; nobody is there to make it.
void UnattendedDialogs::show_notice(std::string_view) {}

void UnattendedDialogs::show_info(std::string_view text) { write_to(stdout, "\n" + terminal_safe(text) + "\n"); }

void UnattendedDialogs::show_report(const std::vector<std::string>& lines, const std::string&) {
  std::string text = "\n";
  for (const std::string& line : lines) text += terminal_safe(line) + "\n";
  write_to(stdout, text);
}

void UnattendedDialogs::show_failure(const std::vector<std::string>& paragraphs) {
  std::string shown;
  for (const std::string& paragraph : paragraphs) shown += terminal_safe(paragraph) + "\n";
  write_to(stderr, shown);
}

Result<void> UnattendedDialogs::check_offered(const std::vector<std::string>& offered) const {
  if (answers_.apps != AppAnswer::kNamed) return Ok{};
  for (const std::string& name : answers_.app_names) {
    if (std::find(offered.begin(), offered.end(), name) == offered.end()) {
      return Error(trf("--apps asks for {}, which the backup does not offer (it offers: {})", name,
                       offered.empty() ? std::string("—") : join(offered, ", ")),
                   ErrorKind::kRefused);
    }
  }
  return Ok{};
}

Result<SecretString> read_password_line(int fd) {
  SecretString password;
  while (true) {
    char byte = 0;
    const ssize_t got = ::read(fd, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Error(tr("Could not read the password"), os_error(errno));
    if (got == 0 || byte == '\n') break;
    if (password.size() == kMaxPasswordBytes) return Error(tr("Could not read the password"), os_error(EMSGSIZE));
    password.append(std::string_view(&byte, 1));
  }
  if (!password.empty() && password.view().back() == '\r') password.truncate(password.size() - 1);
  if (password.empty()) return Error(tr("No password entered"));
  return password;
}

Result<SecretString> read_password_file(const std::string& path) {
  // Without O_NONBLOCK a named pipe would hold the run before the checks.
  auto file = open_file(path, O_RDONLY | O_NONBLOCK);
  if (!file) return password_file_refused(path, file.error());
  struct stat status {};
  if (::fstat(file->get(), &status) != 0) return password_file_refused(path, os_error(errno));
  if (!S_ISREG(status.st_mode)) return password_file_refused(path, Error(tr("not a regular file")));
  if ((status.st_mode & kOthersBits) != 0) {
    return password_file_refused(
        path, Error(trf("its group or others may use it (mode {}): make it its owner's alone (chmod 600)",
                        fmt::format("{:04o}", status.st_mode & 07777))));
  }
  auto password = read_password_line(file->get());
  if (!password) return Error(trf("The password file {} is refused", path), password.error());
  return password;
}

}  // namespace korvo
