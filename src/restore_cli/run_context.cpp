#include "restore_cli/run_context.hpp"

#include <cstdlib>

namespace korvo {

RunContext run_context_from_environment(Dialogs& dialogs) {
  // libzip turns every entry's DOS date into a time_t with mktime(3), and
  // glibc, while TZ is unset, checks /etc/localtime anew on every call: one
  // stat per entry of a big archive. Naming that same default zone makes
  // glibc load it once; every child reads the same zone from it.
  if (std::getenv("TZ") == nullptr) ::setenv("TZ", ":/etc/localtime", 0);
  const char* home = std::getenv("HOME");
  return RunContext{dialogs, home ? std::optional<std::string>(home) : std::nullopt, temp_dir_from_environment(),
                    nullptr, {}};
}

std::string temp_dir_from_environment() {
  const char* temp = std::getenv("TMPDIR");
  return temp ? temp : "/tmp";
}

}  // namespace korvo
