#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dialogs/dialogs.hpp"

// A dialog layer for stage tests: it records what a stage shows and answers
// from a script, with no window or terminal behind it.
namespace korvo::testing {

struct ProgressRecord {
  std::vector<std::pair<unsigned, std::string>> percents;  // of transfers too: percent and path
  std::vector<TransferUpdate> transfers;
  std::vector<std::string> steps;
  bool closed = false;
};

class RecordingProgress : public Progress {
 public:
  explicit RecordingProgress(ProgressRecord& record) : record_(record) {}
  void percent(unsigned percent, std::string_view text) override { record_.percents.emplace_back(percent, text); }
  void transfer(const TransferUpdate& update) override {
    record_.transfers.push_back(update);
    percent(update.percent, update.path);
  }
  void step(std::string_view text) override { record_.steps.emplace_back(text); }
  void close() override { record_.closed = true; }

 private:
  ProgressRecord& record_;
};

class RecordingDialogs : public Dialogs {
 public:
  std::vector<std::string> said, questions, notices;
  std::vector<bool> answers;  // taken in order; "no" once they run out
  std::vector<ProgressRecord> progress;

  void say(std::string_view text) override { said.emplace_back(text); }
  bool ask_yes_no(std::string_view question) override {
    questions.emplace_back(question);
    return questions.size() <= answers.size() && answers[questions.size() - 1];
  }
  Result<SecretString> ask_password() override { return Error("Cancelled"); }
  std::optional<std::string> choose_folder() override { return std::nullopt; }
  std::vector<std::size_t> choose_rows(const Checklist&) override { return {}; }
  std::unique_ptr<Progress> start_progress(std::string_view, bool) override {
    progress.emplace_back();
    return std::make_unique<RecordingProgress>(progress.back());
  }
  void show_notice(std::string_view text) override { notices.emplace_back(text); }
  void show_report(const std::vector<std::string>&, const std::string&) override {}
  void show_info(std::string_view text) override { notices.emplace_back(text); }
  void show_failure(const std::vector<std::string>&) override {}
};

}  // namespace korvo::testing
