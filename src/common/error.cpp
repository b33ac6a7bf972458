#include "common/error.hpp"

#include <cerrno>
#include <cstring>

namespace korvo {

std::string Error::render() const {
  std::string text = message_;
  for (const Error* cause = cause_.get(); cause != nullptr; cause = cause->cause()) {
    text += ": ";
    text += cause->message();
  }
  return text;
}

Error os_error(int errnum) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
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
