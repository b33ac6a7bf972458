#include "common/unicode_case.hpp"

#include <locale.h>
#include <wctype.h>

#include <cstdint>

#include "common/text.hpp"

namespace korvo {
namespace {

// The process locale may be "C", where towlower knows only ASCII; a private
// C.UTF-8 locale carries the full table without touching the global one.
locale_t utf8_ctype() {
  static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

std::string unicode_lower(std::string_view text) {
  const locale_t locale = utf8_ctype();
  if (locale == static_cast<locale_t>(nullptr)) return ascii_lower(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    std::uint32_t code = 0;
    const std::size_t length = utf8_decode(text, pos, code);
    if (length == 0) {
      out += text[pos++];
      continue;
    }
    const wint_t lower = ::towlower_l(static_cast<wint_t>(code), locale);
    const auto lower_code = static_cast<std::uint32_t>(lower);
    // A mapping outside Unicode or into the surrogates would make bad UTF-8.
    if (lower_code > 0x10FFFF || (lower_code >= 0xD800 && lower_code <= 0xDFFF)) {
      out.append(text.substr(pos, length));
    } else {
      utf8_append(lower_code, out);
    }
    pos += length;
  }
  return out;
}

}  // namespace korvo
