#include "common/error.hpp"

#include <locale.h>
#include <string.h>

#include <cerrno>

#include "common/i18n.hpp"

namespace korvo {

std::string Error::render() const {
  std::string text = message_;
  // TRANSLATORS: between a message and its cause ("Cannot open X: No such file").
  const std::string separator = tr(": ");
  for (const Error* cause = cause_.get(); cause != nullptr; cause = cause->cause()) {
    text += separator;
    text += cause->message();
  }
  return text;
}

Error os_error(int errnum) {
  // The system's own English text whatever the user's language: causes
  // are quoted, never translated.
  static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  const char* text = ::strerror_l(errnum, c_locale);
  switch (errnum) {
    case ENOSPC:
    case EDQUOT:
      return Error(text, ErrorKind::kNoSpace);
    case EROFS:
    case EIO:
      return Error(text, ErrorKind::kDiskFailed);
    default:
      return Error(text);
  }
}

Error os_error(int errnum, std::string_view subject) { return Error(std::string(subject), os_error(errnum)); }

}  // namespace korvo
