#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/secret.hpp"

// Every way the program talks to the user. The entry picks one of the
// implementations, zenity windows, the terminal or answers given ahead of
// time, once per run; stages get it and never ask which one they have.
namespace korvo {

// One moment of a long copy, its texts already in the user's language.
struct TransferUpdate {
  unsigned percent = 0;    // of the bytes; not capped
  std::string amount;      // "12.3 GB of 210.0 GB"
  std::string speed;       // "85.2 MB/s"; empty until it can be told
  std::string time_left;   // "about 25 minutes left"; empty until it can be told
  std::string path;        // the file's path on the old computer
  bool operator==(const TransferUpdate&) const = default;
};

// One progress display, from start to close. Closing twice is harmless; one
// destroyed unclosed is closed then.
class Progress {
 public:
  virtual ~Progress() = default;
  virtual void percent(unsigned percent, std::string_view text) = 0;
  // A display without room for the words shows the percent and the path.
  virtual void transfer(const TransferUpdate& update) { percent(update.percent, update.path); }
  virtual void step(std::string_view text) = 0;
  virtual void close() = 0;
};

struct ChecklistRow {
  std::string label;
  bool ticked = false;
  std::string name;  // what an answer given ahead of time calls the row
};

struct Checklist {
  std::string intro;     // above the rows
  std::string question;  // the terminal's one question: take the ticked rows?
  std::vector<ChecklistRow> rows;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // A status line in the terminal; windows show nothing.
  virtual void say(std::string_view text) = 0;
  virtual bool ask_yes_no(std::string_view question) = 0;
  // Whether the backup's browser data may take the place of what this
  // computer has. A person who started the restore asked for that.
  virtual bool replace_firefox_data() { return true; }
  virtual Result<SecretString> ask_password() = 0;
  // The backup folder picked by hand; nothing when none was (or can be) picked.
  virtual std::optional<std::string> choose_folder() = 0;
  // The chosen row indices, in the order given; empty when nothing was chosen.
  virtual std::vector<std::size_t> choose_rows(const Checklist& checklist) = 0;
  virtual std::unique_ptr<Progress> start_progress(std::string_view text, bool pulsate) = 0;
  // A problem the user can mend right away, before the run goes on.
  virtual void show_notice(std::string_view text) = 0;
  // The end of a run that went through: the report lines, and the folder
  // the files came back to.
  virtual void show_report(const std::vector<std::string>& lines, const std::string& restored_folder) = 0;
  // A result that needs no folder opened, as the end of a check.
  virtual void show_info(std::string_view text) = 0;
  // The end of a run that failed: the failure report, then any notes.
  virtual void show_failure(const std::vector<std::string>& paragraphs) = 0;
};

std::unique_ptr<Dialogs> make_zenity_dialogs();
std::unique_ptr<Dialogs> make_terminal_dialogs();
// The unattended implementation is in dialogs/unattended.hpp.

// The final report's text in a window.
std::string final_dialog_text(const std::vector<std::string>& summary);

}  // namespace korvo
