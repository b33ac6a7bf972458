#pragma once

#include <fmt/format.h>

#include <string>
#include <string_view>

// The user's language for every text a person reads. Texts are written in
// English in the code and looked up in the "korvo-restore" catalogs; where no
// catalog applies (C, POSIX or an English locale) the English text comes back
// byte for byte. Templates are fmt templates with "{}" fields: the template is
// translated first, then formatted.
namespace korvo {

inline constexpr const char* kTextDomain = "korvo-restore";

// Marks a text for the catalogs without translating it here: constants that
// are translated where they are shown.
#define N_(text) text

// The text in the user's language.
std::string tr(std::string_view english);
// The form of a text for the count n in the user's language; in English the
// singular for 1, the plural otherwise.
std::string trn(std::string_view singular, std::string_view plural, unsigned long n);
// trn for a text whose words depend on where it stands: `context` keeps it
// apart in the catalogs from the same English text elsewhere.
std::string trnp(std::string_view context, std::string_view singular, std::string_view plural, unsigned long n);

namespace i18n_detail {
// A translation that does not format (a broken catalog) must not end the
// run: the English template, checked when the program was compiled, is used.
template <typename... T>
std::string format_or_english(const std::string& translated, std::string_view english, const T&... args) {
  if (translated != english) {
    try {
      return fmt::format(fmt::runtime(translated), args...);
    } catch (const fmt::format_error&) {
    }
  }
  return fmt::format(fmt::runtime(english), args...);
}
}  // namespace i18n_detail

// tr, then format.
template <typename... T>
std::string trf(fmt::format_string<T...> english, T&&... args) {
  const fmt::string_view view = english;
  const std::string_view text(view.data(), view.size());
  return i18n_detail::format_or_english(tr(text), text, args...);
}

// trn, then format.
template <typename... T>
std::string trnf(fmt::format_string<T...> singular, fmt::format_string<T...> plural, unsigned long n, T&&... args) {
  const fmt::string_view one_view = singular;
  const fmt::string_view many_view = plural;
  const std::string_view one(one_view.data(), one_view.size());
  const std::string_view many(many_view.data(), many_view.size());
  return i18n_detail::format_or_english(trn(one, many, n), n == 1 ? one : many, args...);
}

// trnp, then format.
template <typename... T>
std::string trnpf(std::string_view context, fmt::format_string<T...> singular, fmt::format_string<T...> plural,
                  unsigned long n, T&&... args) {
  const fmt::string_view one_view = singular;
  const fmt::string_view many_view = plural;
  const std::string_view one(one_view.data(), one_view.size());
  const std::string_view many(many_view.data(), many_view.size());
  return i18n_detail::format_or_english(trnp(context, one, many, n), n == 1 ? one : many, args...);
}

}  // namespace korvo
