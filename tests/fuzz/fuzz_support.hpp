#pragma once

// Shared pieces of the fuzz targets: a failing check that libFuzzer reports
// as a crash, a private scratch folder per process, input splitting, and a
// plain reference UTF-8 check written from the byte table of RFC 3629.

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace korvo::fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  if (!detail.empty()) std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::abort();
}

#define FUZZ_CHECK(condition, detail)                                               \
  do {                                                                              \
    if (!(condition)) ::korvo::fuzz::fail(__FILE__, __LINE__, #condition, detail); \
  } while (false)

inline int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

// Removes the folder and everything in it, without following links.
inline void remove_tree(const std::string& path) {
  ::nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// A folder of this process's own on tmpfs where there is one (the targets
// sync files to disk), removed when the process exits.
inline const std::string& scratch_dir() {
  static const std::string dir = [] {
    std::string base = "/dev/shm";
    if (::access(base.c_str(), W_OK) != 0) {
      const char* tmp = std::getenv("TMPDIR");
      base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    std::string path = base + "/korvo-fuzz-" + std::to_string(::getpid());
    remove_tree(path);
    if (::mkdir(path.c_str(), 0700) != 0) {
      std::perror(path.c_str());
      std::abort();
    }
    std::atexit([] { remove_tree(scratch_dir()); });
    return path;
  }();
  return dir;
}

inline void write_bytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) fail(__FILE__, __LINE__, "writing a scratch file", path);
}

inline bool read_bytes(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The input cut at each NUL byte (which none of the texts can hold anyway).
inline std::vector<std::string_view> split_at_nul(std::string_view input) {
  std::vector<std::string_view> parts;
  while (true) {
    const std::size_t nul = input.find('\0');
    parts.push_back(input.substr(0, nul));
    if (nul == std::string_view::npos) return parts;
    input.remove_prefix(nul + 1);
  }
}

// Length of the well-formed UTF-8 sequence at text[pos] by the table of
// RFC 3629 section 4, or 0.
inline std::size_t reference_utf8_length(std::string_view text, std::size_t pos) {
  const auto at = [&](std::size_t i) -> int {
    return pos + i < text.size() ? static_cast<unsigned char>(text[pos + i]) : -1;
  };
  const auto in = [](int byte, int low, int high) { return byte >= low && byte <= high; };
  const int b0 = at(0), b1 = at(1), b2 = at(2), b3 = at(3);
  if (in(b0, 0x00, 0x7F)) return 1;
  if (in(b0, 0xC2, 0xDF)) return in(b1, 0x80, 0xBF) ? 2 : 0;
  if (b0 == 0xE0) return in(b1, 0xA0, 0xBF) && in(b2, 0x80, 0xBF) ? 3 : 0;
  if (in(b0, 0xE1, 0xEC) || b0 == 0xEE || b0 == 0xEF) return in(b1, 0x80, 0xBF) && in(b2, 0x80, 0xBF) ? 3 : 0;
  if (b0 == 0xED) return in(b1, 0x80, 0x9F) && in(b2, 0x80, 0xBF) ? 3 : 0;
  if (b0 == 0xF0) return in(b1, 0x90, 0xBF) && in(b2, 0x80, 0xBF) && in(b3, 0x80, 0xBF) ? 4 : 0;
  if (in(b0, 0xF1, 0xF3)) return in(b1, 0x80, 0xBF) && in(b2, 0x80, 0xBF) && in(b3, 0x80, 0xBF) ? 4 : 0;
  if (b0 == 0xF4) return in(b1, 0x80, 0x8F) && in(b2, 0x80, 0xBF) && in(b3, 0x80, 0xBF) ? 4 : 0;
  return 0;
}

inline bool reference_valid_utf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = reference_utf8_length(text, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

// The code point of a well-formed sequence of the given length.
inline std::uint32_t reference_code_point(std::string_view text, std::size_t pos, std::size_t length) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(text[pos + i])); };
  switch (length) {
    case 1: return byte(0);
    case 2: return ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
    case 3: return ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    default: return ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
  }
}

// Unicode White_Space, as the salt file and the INI files trim it.
inline bool reference_white_space(std::uint32_t code) {
  static constexpr std::uint32_t kSpaces[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,
                                              0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
                                              0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F,
                                              0x3000};
  for (const std::uint32_t space : kSpaces) {
    if (code == space) return true;
  }
  return false;
}

// Valid UTF-8 with its leading and trailing White_Space removed.
inline std::string_view reference_trim(std::string_view text) {
  std::vector<std::size_t> starts;
  for (std::size_t pos = 0; pos < text.size();) {
    starts.push_back(pos);
    const std::size_t length = reference_utf8_length(text, pos);
    pos += length == 0 ? 1 : length;
  }
  const auto code_at = [&](std::size_t index, std::size_t end) {
    const std::size_t pos = starts[index];
    const std::size_t length = reference_utf8_length(text, pos);
    return length == 0 || pos + length > end ? 0xFFFFFFFFu : reference_code_point(text, pos, length);
  };
  std::size_t first = 0;
  while (first < starts.size() && reference_white_space(code_at(first, text.size()))) ++first;
  std::size_t last = starts.size();
  while (last > first && reference_white_space(code_at(last - 1, text.size()))) --last;
  const std::size_t begin = first < starts.size() ? starts[first] : text.size();
  const std::size_t end = last < starts.size() ? starts[last] : text.size();
  return text.substr(begin, end - begin);
}

}  // namespace korvo::fuzz
