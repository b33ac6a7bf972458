#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/secret.hpp"
#include "dialogs/dialogs.hpp"

// The dialog layer of a run that nobody watches: every answer was given on
// the command line before the run started, and nothing waits for a person.
namespace korvo {

enum class AppAnswer { kNone, kAll, kNamed };

struct UnattendedAnswers {
  AppAnswer apps = AppAnswer::kNone;
  std::vector<std::string> app_names;  // with kNamed, as the backup lists them
  bool replace_firefox = false;
};

class UnattendedDialogs : public Dialogs {
 public:
  UnattendedDialogs(SecretString password, UnattendedAnswers answers);

  void say(std::string_view text) override;
  // Every question is about something a person would do at the screen.
  bool ask_yes_no(std::string_view question) override;
  bool replace_firefox_data() override { return answers_.replace_firefox; }
  // The password once: a second request means the first did not open the backup.
  Result<SecretString> ask_password() override;
  std::optional<std::string> choose_folder() override { return std::nullopt; }
  // Records the requested rows and chooses none: installing needs root, a
  // step of its own after the restore.
  std::vector<std::size_t> choose_rows(const Checklist& checklist) override;
  std::unique_ptr<Progress> start_progress(std::string_view text, bool pulsate) override;
  void show_notice(std::string_view text) override;
  void show_report(const std::vector<std::string>& lines, const std::string& restored_folder) override;
  void show_info(std::string_view text) override;
  void show_failure(const std::vector<std::string>& paragraphs) override;

  // A refusal when an app named on the command line is not among those the
  // backup offers.
  Result<void> check_offered(const std::vector<std::string>& offered) const;
  // The names of the rows the answers asked for, in the checklist's order.
  const std::vector<std::string>& requested_apps() const { return requested_; }

 private:
  std::optional<SecretString> password_;
  UnattendedAnswers answers_;
  std::vector<std::string> requested_;
};

// The first line of what the descriptor holds, without its line feed.
Result<SecretString> read_password_line(int fd);
// The first line of a regular file that neither its group nor others may
// read; the error names the file and why it was refused.
Result<SecretString> read_password_file(const std::string& path);

}  // namespace korvo
