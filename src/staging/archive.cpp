#include "staging/archive.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/i18n.hpp"
#include "common/text.hpp"
#include "staging/paths.hpp"

namespace korvo {
namespace {

constexpr std::string_view kManifestName = "manifest.json";
constexpr std::size_t kCopyBufferSize = 64 * 1024;
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;
constexpr std::string_view kLocalSignature = "PK\3\4";
constexpr std::size_t kLocalHeaderSize = 30;
// Compressed data is read in pieces this large, so that a big file costs few reads of the stream.
constexpr std::size_t kInputSize = 256 * 1024;
// What one inflate call may be asked for.
constexpr std::uint64_t kLargestRead = UINT_MAX;

std::uint16_t le16(const char* at) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(at);
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

bool names_folder(std::string_view name) { return ends_with(name, "/") || ends_with(name, "\\"); }

// Only stored and Deflate plaintext entries are read.
Result<void> readable(const ZipEntry& entry) {
  if (entry.encrypted()) return Error(tr("Password required to decrypt file"));
  if (entry.method != kStored && entry.method != kDeflated) return Error(tr("Compression method not supported"));
  return Ok{};
}

// Where unpacking leaves the entry, when that is below one of `tops`.
std::optional<std::string> path_below(std::string_view name, const std::vector<std::string_view>& tops) {
  auto path = resolved_entry_path(name);
  if (!path) return std::nullopt;
  const std::string_view top = std::string_view(*path).substr(0, path->find('/'));
  if (std::find(tops.begin(), tops.end(), top) == tops.end()) return std::nullopt;
  return path;
}

}  // namespace

std::optional<std::string> resolved_entry_path(std::string_view name) {
  if (name.find('\0') != std::string_view::npos || starts_with(name, "/")) return std::nullopt;
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t slash = std::min(name.find('/', start), name.size());
    const std::string_view part = name.substr(start, slash - start);
    if (part == "..") {
      if (parts.empty()) return std::nullopt;
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  std::string path;
  for (const std::string_view part : parts) {
    if (!path.empty()) path += '/';
    path += part;
  }
  return path;
}

struct EntryReader::Inflater {
  z_stream z{};
  std::unique_ptr<char[]> input = std::make_unique<char[]>(kInputSize);

  Inflater() = default;
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() { ::inflateEnd(&z); }
};

EntryReader::EntryReader(BackupArchive& archive, const ZipEntry& entry, std::uint64_t data_at)
    : archive_(&archive),
      next_(data_at),
      data_left_(entry.compressed),
      declared_(entry.size),
      expected_crc_(entry.crc) {}

EntryReader::EntryReader(EntryReader&& other) noexcept
    : archive_(other.archive_),
      inflater_(std::move(other.inflater_)),
      next_(other.next_),
      data_left_(other.data_left_),
      declared_(other.declared_),
      produced_(other.produced_),
      expected_crc_(other.expected_crc_),
      crc_(other.crc_),
      ended_(other.ended_),
      failure_(std::move(other.failure_)) {}

EntryReader::~EntryReader() {
  if (inflater_ && !archive_->spare_inflater_) archive_->spare_inflater_ = std::move(inflater_);
}

Result<std::size_t> EntryReader::read(char* into, std::size_t size) {
  if (failure_) return *failure_;
  if (ended_ || size == 0) return std::size_t{0};
  // One byte past the declared size is asked for, to see the end or an overrun
  // (a size declared as the largest there is has no byte past it).
  const std::uint64_t left = declared_ - std::min(declared_, produced_);
  const std::uint64_t room = left == UINT64_MAX ? left : left + 1;
  const auto ask = static_cast<std::size_t>(std::min<std::uint64_t>({size, room, kLargestRead}));
  std::size_t got = 0;
  bool ended = false;
  if (inflater_) {
    auto inflated = inflate_into(into, ask, ended);
    if (!inflated) {
      failure_ = inflated.error();
      return inflated;
    }
    got = *inflated;
  } else {
    // Stored: its data is its content, read straight into place.
    got = static_cast<std::size_t>(std::min<std::uint64_t>(ask, data_left_));
    auto read = archive_->stream_->read_at(next_, into, got);
    if (!read || *read != got) {
      failure_ = read ? zip_fault(ZipFault::kInconsistent) : read.error();
      return *failure_;
    }
    next_ += got;
    data_left_ -= got;
    ended = data_left_ == 0;
  }
  crc_ = static_cast<std::uint32_t>(::crc32(crc_, reinterpret_cast<const Bytef*>(into), static_cast<uInt>(got)));
  produced_ += got;
  if (produced_ > declared_ || (ended && produced_ != declared_)) {
    failure_ = zip_fault(ZipFault::kInconsistent);
  } else if (ended && crc_ != expected_crc_) {
    failure_ = zip_fault(ZipFault::kCrc);
  }
  if (failure_) return *failure_;
  ended_ = ended;
  return got;
}

// Inflates into `into` until it is full or the data ends; `ended` when the
// Deflate stream is complete or its data ran out before that.
Result<std::size_t> EntryReader::inflate_into(char* into, std::size_t size, bool& ended) {
  z_stream& z = inflater_->z;
  z.next_out = reinterpret_cast<Bytef*>(into);
  z.avail_out = static_cast<uInt>(size);
  while (z.avail_out > 0) {
    if (z.avail_in == 0 && data_left_ > 0) {
      const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(data_left_, kInputSize));
      auto read = archive_->stream_->read_at(next_, inflater_->input.get(), piece);
      if (!read) return read.error();
      if (*read != piece) return zip_fault(ZipFault::kInconsistent);
      next_ += piece;
      data_left_ -= piece;
      z.next_in = reinterpret_cast<Bytef*>(inflater_->input.get());
      z.avail_in = static_cast<uInt>(piece);
    }
    const int status = ::inflate(&z, Z_NO_FLUSH);
    if (status == Z_STREAM_END || (status == Z_BUF_ERROR && z.avail_in == 0 && data_left_ == 0)) {
      ended = true;
      break;
    }
    if (status != Z_OK && status != Z_BUF_ERROR) return zip_fault(ZipFault::kCompressedData);
  }
  return size - z.avail_out;
}

BackupArchive::BackupArchive(std::unique_ptr<SealedStream> stream, ZipDirectory directory)
    : stream_(std::move(stream)), directory_(std::move(directory)) {}

BackupArchive::~BackupArchive() = default;

Result<std::unique_ptr<BackupArchive>> BackupArchive::open(std::unique_ptr<SealedStream> stream) {
  auto directory = ZipDirectory::read(*stream);
  if (!directory) return directory.error();
  return std::unique_ptr<BackupArchive>(new BackupArchive(std::move(stream), std::move(*directory)));
}

std::uint64_t BackupArchive::entry_count() const { return directory_.size(); }

std::string BackupArchive::entry_name(std::uint64_t index) const { return std::string(directory_.name(index)); }

bool BackupArchive::is_folder(std::uint64_t index) const { return names_folder(directory_.name(index)); }

std::uint64_t BackupArchive::entry_size(std::uint64_t index) const {
  return index < directory_.size() ? directory_[index].size : 0;
}

Result<EntryReader> BackupArchive::open_entry(std::uint64_t index) {
  if (index >= directory_.size()) return zip_fault(ZipFault::kInvalidArgument);
  const ZipEntry& entry = directory_[index];
  KORVO_RETURN_IF_ERROR(readable(entry));
  // Its data begins past its local header's own name and extra field; the
  // central directory's sizes are the ones that count.
  const std::uint64_t total = stream_->size();
  if (entry.header_offset > total || total - entry.header_offset < kLocalHeaderSize) {
    return zip_fault(ZipFault::kInconsistent);
  }
  std::array<char, kLocalHeaderSize> header{};
  auto got = stream_->read_at(entry.header_offset, header.data(), header.size());
  if (!got) return got.error();
  if (*got != header.size() || std::memcmp(header.data(), kLocalSignature.data(), kLocalSignature.size()) != 0) {
    return zip_fault(ZipFault::kInconsistent);
  }
  const std::uint64_t data_at = entry.header_offset + kLocalHeaderSize + le16(&header[26]) + le16(&header[28]);
  if (data_at > total || entry.compressed > total - data_at) return zip_fault(ZipFault::kInconsistent);
  if (entry.method == kStored && entry.compressed != entry.size) return zip_fault(ZipFault::kInconsistent);

  EntryReader reader(*this, entry, data_at);
  if (entry.method == kDeflated) {
    if (spare_inflater_) {
      reader.inflater_ = std::move(spare_inflater_);
      if (::inflateReset(&reader.inflater_->z) != Z_OK) return zip_fault(ZipFault::kCompressedData);
    } else {
      reader.inflater_ = std::make_unique<EntryReader::Inflater>();
      if (::inflateInit2(&reader.inflater_->z, -MAX_WBITS) != Z_OK) {
        reader.inflater_.reset();
        return zip_fault(ZipFault::kCompressedData);
      }
    }
  }
  return reader;
}

Result<void> BackupArchive::read_manifest(const ManifestCheck& check) {
  constexpr std::string_view kOuter = N_("Decrypted backup is missing a valid manifest");
  // With a repeated name the later entry is the one that unpacking kept.
  std::optional<std::uint64_t> found;
  for (std::uint64_t index = 0; index < entry_count(); ++index) {
    if (directory_.name(index) == kManifestName) found = index;
  }
  if (!found) return Error(tr(kOuter), Error(tr("Backup data is missing manifest.json")));
  auto entry = open_entry(*found);
  if (!entry) {
    if (entry.error().kind() == ErrorKind::kDamaged) return entry.error();
    return Error(tr(kOuter), Error(tr("Backup data is missing manifest.json"), entry.error()));
  }
  std::optional<Error> record_failure;
  const TextReader read = [&](char* buffer, std::size_t size) -> Result<std::size_t> {
    auto got = entry->read(buffer, size);
    if (!got && !record_failure && got.error().kind() == ErrorKind::kDamaged) record_failure = got.error();
    return got;
  };
  auto checked = check(read);
  // A record that does not open ends the run as it always has, whatever the manifest said.
  if (record_failure) return *record_failure;
  if (!checked.read) {
    return Error(tr(kOuter), Error(tr("Cannot read manifest.json from backup data"), checked.read.error()));
  }
  if (!checked.parse) return Error(tr(kOuter), Error(tr("Backup manifest is invalid"), checked.parse.error()));
  return Ok{};
}

Result<void> BackupArchive::check_entries() {
  for (std::uint64_t index = 0; index < entry_count(); ++index) {
    if (auto fine = readable(directory_[index]); !fine) return Error(tr("Invalid ZIP entry"), fine.error());
    if (!safe_relative_path(directory_.name(index))) return Error(tr("ZIP entry has an unsafe path"));
  }
  return Ok{};
}

void BackupArchive::build_lookup() {
  looked_up_ = true;
  const std::uint64_t count = entry_count();
  lookup_.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t index = 0; index < count; ++index) {
    const std::string_view name = directory_.name(index);
    if (names_folder(name)) continue;
    const auto path = resolved_entry_path(name);
    if (!path || path->empty()) continue;
    lookup_.emplace_back(std::hash<std::string_view>{}(*path), index);
  }
  std::sort(lookup_.begin(), lookup_.end());
}

std::optional<std::uint64_t> BackupArchive::find_file(std::string_view relative_path) {
  if (!looked_up_) build_lookup();
  const std::uint64_t hash = std::hash<std::string_view>{}(relative_path);
  auto first = std::lower_bound(lookup_.begin(), lookup_.end(), std::make_pair(hash, std::uint64_t{0}));
  auto last = std::upper_bound(lookup_.begin(), lookup_.end(), std::make_pair(hash, UINT64_MAX));
  // Sorted by entry within one hash: the later entry is tried first.
  while (last != first) {
    --last;
    if (resolved_entry_path(directory_.name(last->second)) == relative_path) return last->second;
  }
  return std::nullopt;
}

std::uint64_t BackupArchive::size_below(const std::vector<std::string_view>& tops) {
  std::uint64_t total = 0;
  for (std::uint64_t index = 0; index < entry_count(); ++index) {
    const std::string_view name = directory_.name(index);
    if (names_folder(name) || !path_below(name, tops)) continue;
    const std::uint64_t size = entry_size(index);
    total = size > UINT64_MAX - total ? UINT64_MAX : total + size;
  }
  return total;
}

Result<std::string> BackupArchive::unpack_below(const std::vector<std::string_view>& tops,
                                                const std::string& staging_dir) {
  const std::string destination = join_path(staging_dir, "Backup");
  if (auto made = create_directories(destination); !made) {
    return Error(tr("Cannot create restore staging directory"), made.error());
  }
  auto root = canonical_path(destination);
  if (!root) return Error(tr("Cannot resolve staging directory"), root.error());

  FolderMaker folders;
  std::vector<char> buffer(kCopyBufferSize);
  for (std::uint64_t index = 0; index < entry_count(); ++index) {
    const std::string_view name = directory_.name(index);
    const auto path = path_below(name, tops);
    if (!path) continue;
    const std::string output_path = join_path(*root, *path);
    KORVO_RETURN_IF_ERROR(ensure_within_root(*root, output_path));
    if (names_folder(name)) {
      if (auto made = folders.make(output_path); !made) {
        return Error(tr("Cannot create staging directory"), made.error());
      }
      continue;
    }
    auto entry = open_entry(index);
    if (!entry) return Error(tr("Invalid ZIP entry"), entry.error());
    if (auto made = folders.make(parent_path(output_path)); !made) {
      return Error(tr("Cannot create staging directory"), made.error());
    }
    auto output = open_file(output_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (!output) return Error(tr("Cannot write staging file"), output.error());
    while (true) {
      auto got = entry->read(buffer.data(), buffer.size());
      if (!got) return Error(tr("Cannot extract staging file"), got.error());
      if (*got == 0) break;
      auto written = write_all(output->get(), std::string_view(buffer.data(), *got));
      if (!written) return Error(tr("Cannot extract staging file"), written.error());
    }
    if (auto closed = close_checked(*output); !closed) return Error(tr("Cannot extract staging file"), closed.error());
  }
  return *root;
}

}  // namespace korvo
