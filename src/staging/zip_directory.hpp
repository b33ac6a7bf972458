#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "crypto/stream.hpp"

namespace korvo {

// What the ZIP reader found wrong, in the words it has always said it in.
enum class ZipFault { kNotZip, kInconsistent, kMultiDisk, kCrc, kCompressedData, kInvalidArgument };
Error zip_fault(ZipFault fault);

// One entry of the central directory as the archive declares it; its
// sizes are the ones a read is held to.
struct ZipEntry {
  std::uint64_t header_offset = 0;  // of its local header
  std::uint64_t compressed = 0;
  std::uint64_t size = 0;
  std::uint64_t name_at = 0;  // in the name pool; the name ends where the next one begins
  std::uint32_t crc = 0;
  std::uint16_t method = 0;
  std::uint16_t flags = 0;

  bool encrypted() const { return (flags & 0x0041) != 0; }  // traditional or strong encryption
};

// The central directory of the archive a sealed stream holds: one record
// per entry and every decoded name in one pool, so that a backup of many
// small files costs little more than their names.
class ZipDirectory {
 public:
  ZipDirectory() = default;

  // A fault of the archive is "Backup data is not a valid ZIP archive" over
  // its description; a record that does not open, the stream's own error.
  static Result<ZipDirectory> read(SealedStream& stream);

  std::uint64_t size() const { return entries_.size(); }
  const ZipEntry& operator[](std::uint64_t index) const { return entries_[static_cast<std::size_t>(index)]; }
  // UTF-8: as flagged, as guessed, from the Info-ZIP Unicode Path field, or
  // from code page 437.
  std::string_view name(std::uint64_t index) const;

 private:
  std::vector<ZipEntry> entries_;
  std::string names_;
};

}  // namespace korvo
