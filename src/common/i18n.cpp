#include "common/i18n.hpp"

#include <libintl.h>

namespace korvo {

std::string tr(std::string_view english) {
  if (english.empty()) return {};  // "" looks up the catalog's header
  const std::string key(english);
  return ::dgettext(kTextDomain, key.c_str());
}

std::string trn(std::string_view singular, std::string_view plural, unsigned long n) {
  const std::string one(singular);
  const std::string many(plural);
  return ::dngettext(kTextDomain, one.c_str(), many.c_str(), n);
}

std::string trnp(std::string_view context, std::string_view singular, std::string_view plural, unsigned long n) {
  // gettext keeps a context before the English text, parted by EOT.
  const std::string key = std::string(context) + '\x04' + std::string(singular);
  const std::string many(plural);
  const char* found = ::dngettext(kTextDomain, key.c_str(), many.c_str(), n);
  if (found == key.c_str()) return std::string(singular);
  return found;
}

}  // namespace korvo
