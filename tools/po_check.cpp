// Checks compiled message catalogs (.mo files): every translation of a
// message keeps exactly the fmt fields ("{}", "{:>3}", ...) of its English
// text, in the same order, and has no stray brace that fmt would reject.
//
//   korvo-po-check FILE.mo...
//
// Prints each fault and exits 1 if there was one.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint32_t kMagic = 0x950412de;

// The fields of an fmt template in order, or nothing when a brace is unmatched.
std::optional<std::vector<std::string>> fields(std::string_view text) {
  std::vector<std::string> found;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '}') {
      if (i + 1 < text.size() && text[i + 1] == '}') {
        ++i;
        continue;
      }
      return std::nullopt;
    }
    if (text[i] != '{') continue;
    if (i + 1 < text.size() && text[i + 1] == '{') {
      ++i;
      continue;
    }
    const std::size_t end = text.find_first_of("{}", i + 1);
    if (end == std::string_view::npos || text[end] != '}') return std::nullopt;
    found.emplace_back(text.substr(i, end - i + 1));
    i = end;
  }
  return found;
}

std::vector<std::string_view> split_nul(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t nul; (nul = text.find('\0', start)) != std::string_view::npos; start = nul + 1) {
    parts.push_back(text.substr(start, nul - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

class Catalog {
 public:
  explicit Catalog(std::string bytes) : bytes_(std::move(bytes)) {}

  bool valid() const { return bytes_.size() >= 20 && word(0) == kMagic; }
  std::uint32_t count() const { return word(8); }
  std::optional<std::string_view> original(std::uint32_t i) const { return string_at(word(12) + 8 * i); }
  std::optional<std::string_view> translation(std::uint32_t i) const { return string_at(word(16) + 8 * i); }

 private:
  std::uint32_t word(std::size_t offset) const {
    std::uint32_t value = 0;
    if (offset + 4 <= bytes_.size()) std::memcpy(&value, bytes_.data() + offset, 4);
    return value;
  }
  std::optional<std::string_view> string_at(std::size_t descriptor) const {
    if (descriptor + 8 > bytes_.size()) return std::nullopt;
    const std::size_t length = word(descriptor);
    const std::size_t offset = word(descriptor + 4);
    if (offset > bytes_.size() || length > bytes_.size() - offset) return std::nullopt;
    return std::string_view(bytes_).substr(offset, length);
  }
  std::string bytes_;
};

std::string shown(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\n') c = ' ';
  }
  return out;
}

int check(const char* path) {
  std::ifstream in(path, std::ios::binary);
  const Catalog catalog{std::string(std::istreambuf_iterator<char>(in), {})};
  if (!catalog.valid()) {
    std::fprintf(stderr, "%s: not a little-endian message catalog\n", path);
    return 1;
  }
  int faults = 0;
  for (std::uint32_t i = 0; i < catalog.count(); ++i) {
    const auto original = catalog.original(i);
    const auto translation = catalog.translation(i);
    if (!original || !translation) {
      std::fprintf(stderr, "%s: entry %u lies outside the file\n", path, i);
      return 1;
    }
    if (original->empty()) continue;  // the header
    std::string_view english = *original;
    if (const std::size_t context = english.find('\x04'); context != std::string_view::npos) {
      english.remove_prefix(context + 1);
    }
    const auto english_forms = split_nul(english);
    const auto expected = fields(english_forms.back());
    if (!expected || (english_forms.size() > 1 && fields(english_forms.front()) != expected)) {
      std::fprintf(stderr, "%s: the English text is no valid template: \"%s\"\n", path, shown(english_forms[0]).c_str());
      ++faults;
      continue;
    }
    for (const std::string_view form : split_nul(*translation)) {
      if (fields(form) != expected) {
        std::fprintf(stderr, "%s: \"%s\" does not keep the fields of \"%s\"\n", path, shown(form).c_str(),
                     shown(english_forms[0]).c_str());
        ++faults;
      }
    }
  }
  return faults == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvo-po-check FILE.mo...\n");
    return 2;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) status |= check(argv[i]);
  return status;
}
