// UTF-8 handling in common/text and common/unicode_case. The validator and
// the decoder are compared with a reference written from the RFC 3629 byte
// table; trimming with a plain White_Space trim; lower-casing must keep
// valid UTF-8 valid and change ASCII-only text as A-Z to a-z; the lossy
// decoder must always give UTF-8, and valid input unchanged.

#include "common/text.hpp"
#include "common/unicode_case.hpp"
#include "fuzz_support.hpp"

using korvo::fuzz::reference_utf8_length;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = korvo::fuzz::as_text(data, size);
  const bool valid = korvo::fuzz::reference_valid_utf8(text);
  FUZZ_CHECK(korvo::is_valid_utf8(text) == valid, "validator disagrees");

  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    std::uint32_t code = 0;
    const std::size_t length = korvo::utf8_decode(text, pos, code);
    FUZZ_CHECK(length == reference_utf8_length(text, pos), "decoder length at " + std::to_string(pos));
    if (length > 0) {
      FUZZ_CHECK(code == korvo::fuzz::reference_code_point(text, pos, length), "decoded code point");
    }
  }

  const std::string lossy = korvo::utf8_lossy(text);
  FUZZ_CHECK(korvo::fuzz::reference_valid_utf8(lossy), "lossy decoding gave bad UTF-8");
  if (valid) FUZZ_CHECK(lossy == text, "lossy decoding changed valid text");

  const std::string lower = korvo::unicode_lower(text);
  if (valid) FUZZ_CHECK(korvo::fuzz::reference_valid_utf8(lower), "lower-casing broke valid UTF-8");
  bool ascii = true;
  for (const char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) FUZZ_CHECK(lower == korvo::ascii_lower(text), "ASCII lower-casing");

  const std::string_view trimmed = korvo::trim_unicode(text);
  FUZZ_CHECK(trimmed.data() >= text.data() && trimmed.data() + trimmed.size() <= text.data() + text.size(),
             "trim left the text");
  if (valid) FUZZ_CHECK(trimmed == korvo::fuzz::reference_trim(text), "trim differs");
  return 0;
}
