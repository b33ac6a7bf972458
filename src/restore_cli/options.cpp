#include "restore_cli/options.hpp"

#include <fmt/format.h>

#include <array>

#include "common/i18n.hpp"
#include "common/text.hpp"

namespace korvo {
namespace {

constexpr std::string_view kUnattended = "--unattended";
constexpr std::string_view kPasswordStdin = "--password-stdin";
constexpr std::string_view kPasswordFile = "--password-file";
constexpr std::string_view kApps = "--apps";
constexpr std::string_view kFirefox = "--firefox";
constexpr std::string_view kReportJson = "--report-json";
// Both choose between a window and the terminal, and an unattended run has neither.
constexpr std::array<std::string_view, 2> kPersonOptions = {"--gui", "--no-gui"};

Error refused(std::string message) { return Error(std::move(message), ErrorKind::kRefused); }

class Parser {
 public:
  explicit Parser(const std::vector<std::string>& args) : args_(args) {}

  RunOptions parse() {
    std::vector<std::string_view> unattended_only;
    for (index_ = 0; index_ < args_.size(); ++index_) {
      const std::string& arg = args_[index_];
      const std::size_t equals = arg.find('=');
      name_ = starts_with(arg, "--") && equals != std::string::npos ? std::string_view(arg).substr(0, equals) : arg;
      inline_value_ = name_.size() < arg.size() ? std::optional<std::string>(arg.substr(equals + 1)) : std::nullopt;
      if (name_ == kUnattended) {
        options_.unattended = true;
      } else if (name_ == kPasswordStdin) {
        options_.password_stdin = true;
        unattended_only.push_back(kPasswordStdin);
      } else if (name_ == kPasswordFile) {
        options_.password_file = value();
        unattended_only.push_back(kPasswordFile);
      } else if (name_ == kApps) {
        read_apps(value());
        unattended_only.push_back(kApps);
      } else if (name_ == kFirefox) {
        read_firefox(value());
        unattended_only.push_back(kFirefox);
      } else if (name_ == kReportJson) {
        options_.report_json = value();
      } else {
        options_.rest.push_back(arg);
      }
    }
    if (!options_.unattended && !unattended_only.empty()) {
      refuse(trf("{} needs --unattended", unattended_only.front()));
    }
    if (options_.unattended) {
      for (const std::string& arg : options_.rest) {
        for (const std::string_view person_option : kPersonOptions) {
          if (arg == person_option) {
            refuse(trf("{} is for a person at the screen: an unattended run shows no window and asks nothing", arg));
          }
        }
      }
      if (options_.password_stdin == options_.password_file.has_value()) {
        refuse(tr("An unattended run takes the password from exactly one of --password-stdin and --password-file FILE"));
      }
    }
    return std::move(options_);
  }

 private:
  // The value after "=" or the next argument; empty after a refusal.
  std::string value() {
    if (inline_value_) return *inline_value_;
    if (index_ + 1 < args_.size()) return args_[++index_];
    refuse(trf("{} needs a value", name_));
    return {};
  }

  void bad_value(std::string_view accepted, std::string_view given) {
    refuse(trf("{} takes {}, not “{}”", name_, accepted, given));
  }

  void read_apps(const std::string& value) {
    UnattendedAnswers& answers = options_.answers;
    answers.app_names.clear();
    if (value == "none") {
      answers.apps = AppAnswer::kNone;
    } else if (value == "all") {
      answers.apps = AppAnswer::kAll;
    } else {
      answers.apps = AppAnswer::kNamed;
      std::size_t start = 0;
      while (start <= value.size()) {
        const std::size_t comma = std::min(value.find(',', start), value.size());
        const std::string name = value.substr(start, comma - start);
        if (name.empty()) return bad_value("none|all|NAME,…", value);
        answers.app_names.push_back(name);
        start = comma + 1;
      }
    }
  }

  void read_firefox(const std::string& value) {
    if (value == "keep" || value == "replace") {
      options_.answers.replace_firefox = value == "replace";
    } else {
      bad_value("keep|replace", value);
    }
  }

  void refuse(std::string message) {
    if (!options_.refusal) options_.refusal = refused(std::move(message));
  }

  const std::vector<std::string>& args_;
  std::size_t index_ = 0;
  std::string_view name_;
  std::optional<std::string> inline_value_;
  RunOptions options_;
};

}  // namespace

RunOptions parse_run_options(const std::vector<std::string>& args) { return Parser(args).parse(); }

}  // namespace korvo
