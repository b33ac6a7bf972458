#include "staging/zip_directory.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "common/i18n.hpp"
#include "common/text.hpp"

namespace korvo {
namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kLocatorSize = 20;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kCentralSize = 46;
// The end record is looked for where it can be: in the last bytes, below a comment of at most 64 KiB.
constexpr std::uint64_t kTailSize = kEndSize + 0xFFFF;
// The directory is read in pieces of this size; one holds any entry (46 bytes and three 64 KiB fields).
constexpr std::size_t kWindowSize = 1 << 20;
constexpr std::uint64_t kReserveEntries = 1 << 20;
constexpr std::uint64_t kReserveNames = 64 << 20;
constexpr std::uint32_t kMax32 = 0xFFFFFFFF;
constexpr std::uint16_t kZip64Field = 0x0001;
constexpr std::uint16_t kUnicodePathField = 0x7075;
constexpr std::uint16_t kUtf8Flag = 0x0800;

std::uint16_t le16(const char* at) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(at);
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}
std::uint32_t le32(const char* at) { return le16(at) | static_cast<std::uint32_t>(le16(at + 2)) << 16; }
std::uint64_t le64(const char* at) { return le32(at) | static_cast<std::uint64_t>(le32(at + 4)) << 32; }

constexpr std::string_view kNotValid = N_("Backup data is not a valid ZIP archive");

Error not_valid(ZipFault fault) { return Error(tr(kNotValid), zip_fault(fault)); }

// Exactly `size` bytes that lie within the plaintext; the stream's error otherwise.
Result<void> read_exactly(SealedStream& stream, std::uint64_t offset, char* into, std::size_t size) {
  auto got = stream.read_at(offset, into, size);
  if (!got) return got.error();
  if (*got != size) return not_valid(ZipFault::kInconsistent);
  return Ok{};
}

// Code page 437 as Unicode, the control codes as their glyphs.
constexpr std::array<std::uint16_t, 256> kCodePage437 = {
    0x2007, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022, 0x25D8, 0x25CB, 0x25D9, 0x2642, 0x2640, 0x266A,
    0x266B, 0x263C, 0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8, 0x2191, 0x2193, 0x2192, 0x2190,
    0x221F, 0x2194, 0x25B2, 0x25BC, 0x0020, 0x0021, 0x0022, 0x0023, 0x0024, 0x0025, 0x0026, 0x0027, 0x0028, 0x0029,
    0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F, 0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037,
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F, 0x0040, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045,
    0x0046, 0x0047, 0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F, 0x0050, 0x0051, 0x0052, 0x0053,
    0x0054, 0x0055, 0x0056, 0x0057, 0x0058, 0x0059, 0x005A, 0x005B, 0x005C, 0x005D, 0x005E, 0x005F, 0x0060, 0x0061,
    0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067, 0x0068, 0x0069, 0x006A, 0x006B, 0x006C, 0x006D, 0x006E, 0x006F,
    0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077, 0x0078, 0x0079, 0x007A, 0x007B, 0x007C, 0x007D,
    0x007E, 0x2302, 0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561,
    0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C,
    0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564,
    0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6,
    0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A,
    0x207F, 0x00B2, 0x25A0, 0x00A0,
};

void append_code_page_437(std::string& out, std::string_view raw) {
  for (const char byte : raw) utf8_append(kCodePage437[static_cast<unsigned char>(byte)], out);
}

enum class Encoding { kAscii, kUtf8, kCodePage437 };

// The encoding a name is taken to be in when its entry does not say: only
// printable ASCII (and tab, CR, LF) is ASCII; lead and continuation bytes
// in the right places are UTF-8, however odd the code points; the rest
// is code page 437. Names have always been guessed by this rule.
Encoding guess_encoding(std::string_view text) {
  Encoding guess = Encoding::kAscii;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte > 31 && byte < 128) || byte == '\r' || byte == '\n' || byte == '\t') continue;
    guess = Encoding::kUtf8;
    std::size_t following = 0;
    if ((byte & 0xE0) == 0xC0) {
      following = 1;
    } else if ((byte & 0xF0) == 0xE0) {
      following = 2;
    } else if ((byte & 0xF8) == 0xF0) {
      following = 3;
    } else {
      return Encoding::kCodePage437;
    }
    if (i + following >= text.size()) return Encoding::kCodePage437;
    for (std::size_t j = 1; j <= following; ++j) {
      if ((static_cast<unsigned char>(text[i + j]) & 0xC0) != 0x80) return Encoding::kCodePage437;
    }
    i += following;
  }
  return guess;
}

// The first field of each kind that matters here; nothing if the fields do
// not parse (up to three zero bytes of padding may follow them).
struct ExtraFields {
  std::optional<std::string_view> zip64;
  std::optional<std::string_view> unicode_path;
};
std::optional<ExtraFields> parse_extra_fields(std::string_view extra) {
  ExtraFields fields;
  while (extra.size() >= 4) {
    const std::uint16_t id = le16(extra.data());
    const std::uint16_t length = le16(extra.data() + 2);
    if (length > extra.size() - 4) return std::nullopt;
    const std::string_view data = extra.substr(4, length);
    if (id == kZip64Field && !fields.zip64) fields.zip64 = data;
    if (id == kUnicodePathField && !fields.unicode_path) fields.unicode_path = data;
    extra.remove_prefix(4 + std::size_t{length});
  }
  if (extra.find_first_not_of('\0') != std::string_view::npos) return std::nullopt;
  return fields;
}

// The Info-ZIP Unicode Path, version 1: used only while it belongs to the
// name beside it (its CRC-32 is the raw name's) and is UTF-8.
std::optional<std::string_view> unicode_path(std::string_view field, std::string_view raw_name) {
  if (field.size() < 5 || field[0] != 1) return std::nullopt;
  const auto crc = static_cast<std::uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(raw_name.data()), static_cast<uInt>(raw_name.size())));
  if (le32(field.data() + 1) != crc) return std::nullopt;
  const std::string_view path = field.substr(5);
  if (path.empty() || guess_encoding(path) == Encoding::kCodePage437) return std::nullopt;
  return path;
}

// Where the end records put the central directory.
struct EndRecord {
  std::uint64_t entries = 0;
  std::uint64_t size = 0;
  std::uint64_t offset = 0;
  std::uint64_t end_at = 0;  // where the first end record begins: the directory stops before it
  bool zip64 = false;
};

// The end record whose signature is at `at` (its 22 bytes lie within the
// plaintext); nothing if it does not lead to a directory, so that an
// earlier signature is tried.
Result<std::optional<EndRecord>> read_end_record(SealedStream& stream, std::uint64_t at) {
  const std::uint64_t total = stream.size();
  std::array<char, kEndSize> end{};
  KORVO_RETURN_IF_ERROR(read_exactly(stream, at, end.data(), end.size()));
  const std::uint16_t this_disk = le16(&end[4]);
  const std::uint16_t directory_disk = le16(&end[6]);
  const std::uint16_t disk_entries = le16(&end[8]);
  EndRecord record{le16(&end[10]), le32(&end[12]), le32(&end[16]), at, false};

  std::array<char, kLocatorSize> locator{};
  if (at >= kLocatorSize) {
    KORVO_RETURN_IF_ERROR(read_exactly(stream, at - kLocatorSize, locator.data(), locator.size()));
  }
  if (at >= kLocatorSize && le32(locator.data()) == kZip64LocatorSignature) {
    const std::uint32_t end64_disk = le32(&locator[4]);
    const std::uint64_t end64_at = le64(&locator[8]);
    const std::uint32_t disks = le32(&locator[16]);
    if (total < kZip64EndSize || end64_at > total - kZip64EndSize) return std::optional<EndRecord>();
    std::array<char, kZip64EndSize> end64{};
    KORVO_RETURN_IF_ERROR(read_exactly(stream, end64_at, end64.data(), end64.size()));
    if (le32(end64.data()) != kZip64EndSignature) return std::optional<EndRecord>();
    if (disks != 1) return not_valid(ZipFault::kMultiDisk);
    if (end64_at + kZip64EndSize > at - kLocatorSize) return not_valid(ZipFault::kInconsistent);
    if (le32(&end64[20]) != end64_disk) return not_valid(ZipFault::kInconsistent);
    if (le32(&end64[16]) != 0 || end64_disk != 0 || le64(&end64[24]) != le64(&end64[32])) {
      return not_valid(ZipFault::kMultiDisk);
    }
    record = {le64(&end64[32]), le64(&end64[40]), le64(&end64[48]), end64_at, true};
  } else {
    const bool empty = at == 0 && this_disk == 0 && directory_disk == 0 && record.entries == 0 &&
                       record.size == 0 && record.offset == 0;
    if (!empty) {
      if (record.offset > total || total - record.offset < 4) return std::optional<EndRecord>();
      std::array<char, 4> signature{};
      KORVO_RETURN_IF_ERROR(read_exactly(stream, record.offset, signature.data(), signature.size()));
      if (le32(signature.data()) != kCentralSignature) return std::optional<EndRecord>();
    }
    if (this_disk != 0 || directory_disk != 0 || disk_entries != record.entries) {
      return not_valid(ZipFault::kMultiDisk);
    }
  }
  if (record.offset > record.end_at || record.size > record.end_at - record.offset) {
    return not_valid(ZipFault::kInconsistent);
  }
  // Each entry takes at least a fixed header of the directory, whatever the count says.
  if (record.entries > record.size / kCentralSize) return not_valid(ZipFault::kInconsistent);
  return std::optional<EndRecord>(record);
}

// The last end record in the tail that leads to a directory. The tail may
// span records that hold files: one that does not open reads as zeros here,
// so that its damage costs only those files.
Result<EndRecord> find_end_record(SealedStream& stream) {
  const std::uint64_t total = stream.size();
  if (total < kEndSize) return not_valid(ZipFault::kNotZip);
  const std::uint64_t tail_at = total - std::min(total, kTailSize);
  std::string tail(static_cast<std::size_t>(total - tail_at), '\0');
  stream.set_lenient(true);
  auto got = stream.read_at(tail_at, tail.data(), tail.size());
  stream.set_lenient(false);
  if (!got) return got.error();
  for (std::size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
    if (le32(tail.data() + at) != kEndSignature) continue;
    auto record = read_end_record(stream, tail_at + at);
    if (!record) return record.error();
    if (*record) return **record;
  }
  return not_valid(ZipFault::kNotZip);
}

// The central directory read through a window of the stream.
class DirectoryReader {
 public:
  DirectoryReader(SealedStream& stream, const EndRecord& end)
      : stream_(stream),
        next_(end.offset),
        left_(end.size),
        window_(static_cast<std::size_t>(std::min<std::uint64_t>(end.size, kWindowSize))) {}

  std::uint64_t left() const { return left_ + (filled_ - used_); }

  // The next `size` bytes, valid until the next call.
  Result<const char*> take(std::size_t size) {
    if (filled_ - used_ < size) {
      std::memmove(window_.data(), window_.data() + used_, filled_ - used_);
      filled_ -= used_;
      used_ = 0;
      const auto more = static_cast<std::size_t>(std::min<std::uint64_t>(left_, window_.size() - filled_));
      KORVO_RETURN_IF_ERROR(read_exactly(stream_, next_, window_.data() + filled_, more));
      next_ += more;
      left_ -= more;
      filled_ += more;
      if (filled_ < size) return not_valid(ZipFault::kInconsistent);
    }
    const char* at = window_.data() + used_;
    used_ += size;
    return at;
  }

 private:
  SealedStream& stream_;
  std::uint64_t next_;  // the first byte not yet in the window
  std::uint64_t left_;  // of the directory, not yet in the window
  std::vector<char> window_;
  std::size_t filled_ = 0;
  std::size_t used_ = 0;
};

}  // namespace

Error zip_fault(ZipFault fault) {
  switch (fault) {
    case ZipFault::kNotZip:
      return Error("Not a zip archive");
    case ZipFault::kInconsistent:
      return Error("Zip archive inconsistent");
    case ZipFault::kMultiDisk:
      return Error("Multi-disk zip archives not supported");
    case ZipFault::kCrc:
      return Error("CRC error");
    case ZipFault::kCompressedData:
      return Error("Compressed data invalid");
    case ZipFault::kInvalidArgument:
      break;
  }
  return Error("Invalid argument");
}

std::string_view ZipDirectory::name(std::uint64_t index) const {
  if (index >= entries_.size()) return {};
  const std::size_t at = static_cast<std::size_t>(entries_[static_cast<std::size_t>(index)].name_at);
  const std::size_t end = index + 1 < entries_.size()
                              ? static_cast<std::size_t>(entries_[static_cast<std::size_t>(index + 1)].name_at)
                              : names_.size();
  return std::string_view(names_).substr(at, end - at);
}

Result<ZipDirectory> ZipDirectory::read(SealedStream& stream) {
  auto directory = [&]() -> Result<ZipDirectory> {
    auto end = find_end_record(stream);
    if (!end) return end.error();
    ZipDirectory read;
    // Room for what the end record promises, up to a bound: past it, only
    // entries actually read make the vectors grow.
    read.entries_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(end->entries, kReserveEntries)));
    read.names_.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(end->size - end->entries * kCentralSize, kReserveNames)));
    DirectoryReader reader(stream, *end);
    while (reader.left() > 0) {
      if (reader.left() < kCentralSize) return not_valid(ZipFault::kInconsistent);
      auto fixed = reader.take(kCentralSize);
      if (!fixed) return fixed.error();
      const char* header = *fixed;
      if (le32(header) != kCentralSignature) return not_valid(ZipFault::kNotZip);
      ZipEntry entry;
      entry.flags = le16(header + 8);
      entry.method = le16(header + 10);
      entry.crc = le32(header + 16);
      entry.compressed = le32(header + 20);
      entry.size = le32(header + 24);
      const std::size_t name_length = le16(header + 28);
      const std::size_t extra_length = le16(header + 30);
      const std::size_t comment_length = le16(header + 32);
      entry.header_offset = le32(header + 42);
      const std::size_t variable = name_length + extra_length + comment_length;
      if (variable > reader.left()) return not_valid(ZipFault::kInconsistent);
      auto rest = reader.take(variable);
      if (!rest) return rest.error();
      const std::string_view raw_name(*rest, name_length);
      const std::string_view comment(*rest + name_length + extra_length, comment_length);
      const auto extra = parse_extra_fields(std::string_view(*rest + name_length, extra_length));
      if (!extra) return not_valid(ZipFault::kInconsistent);
      if ((entry.flags & kUtf8Flag) != 0 &&
          (guess_encoding(raw_name) == Encoding::kCodePage437 || guess_encoding(comment) == Encoding::kCodePage437)) {
        return not_valid(ZipFault::kInconsistent);
      }
      // ZIP64: the fields that overflowed, in their order.
      if (entry.size == kMax32 || entry.compressed == kMax32 || entry.header_offset == kMax32) {
        std::string_view field = extra->zip64.value_or(std::string_view());
        for (std::uint64_t* value : {&entry.size, &entry.compressed, &entry.header_offset}) {
          if (*value != kMax32) continue;
          if (field.size() < 8) return not_valid(ZipFault::kInconsistent);
          *value = le64(field.data());
          field.remove_prefix(8);
        }
      }
      if (entry.header_offset > INT64_MAX) return not_valid(ZipFault::kInconsistent);
      entry.name_at = read.names_.size();
      const auto unicode = extra->unicode_path ? unicode_path(*extra->unicode_path, raw_name) : std::nullopt;
      if (unicode) {
        read.names_ += *unicode;
      } else if ((entry.flags & kUtf8Flag) == 0 && guess_encoding(raw_name) == Encoding::kCodePage437) {
        append_code_page_437(read.names_, raw_name);
      } else {
        read.names_ += raw_name;
      }
      read.entries_.push_back(entry);
    }
    // Past 65,535 entries an archive without ZIP64 may count them modulo 65,536.
    const std::uint64_t found = read.entries_.size();
    if (end->zip64 ? found != end->entries : found % 0x10000 != end->entries) {
      return not_valid(ZipFault::kInconsistent);
    }
    return read;
  }();
  // A record that did not open was read as zeros while the end was looked
  // for: it is the likelier cause of an archive that makes no sense.
  if (!directory && directory.error().message() == tr(kNotValid) && stream.filled_with_zeros()) {
    return damaged_record();
  }
  return directory;
}

}  // namespace korvo
