#include "backup_writer/backup_writer_zip.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace korvo::testing {
namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagUtf8 = 0x0800;
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;
constexpr std::uint16_t kVersionDefault = 20;
constexpr std::uint16_t kVersionZip64 = 45;
constexpr std::uint16_t kVersionMadeByUnix = (3 << 8) | 63;
constexpr std::uint16_t kDosTime = 0;                                  // 00:00:00
constexpr std::uint16_t kDosDate = ((2026 - 1980) << 9) | (1 << 5) | 1;  // 2026-01-01
constexpr std::uint32_t kMax32 = 0xFFFFFFFF;
constexpr std::uint16_t kMax16 = 0xFFFF;
// Deflate may grow incompressible data a little; stay clear of the 32-bit limit.
constexpr std::uint64_t kZip64Threshold = 0xF0000000;
constexpr std::size_t kLocalCrcOffset = 14;
constexpr std::size_t kLocalFixedSize = 30;

void put16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

void put32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void put64(std::string& out, std::uint64_t value) {
  for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::uint32_t clamp32(std::uint64_t value, bool force) {
  return force || value >= kMax32 ? kMax32 : static_cast<std::uint32_t>(value);
}

bool is_directory_name(const std::string& name) {
  return !name.empty() && (name.back() == '/' || name.back() == '\\');
}

}  // namespace

void StringSink::patch(std::uint64_t offset, std::string_view bytes) {
  out_.replace(static_cast<std::size_t>(offset), bytes.size(), bytes);
}

FileSink::FileSink(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
}

FileSink::~FileSink() {
  if (fd_ >= 0) ::close(fd_);
}

void FileSink::append(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("zip write failed: ") + std::strerror(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
    size_ += static_cast<std::uint64_t>(written);
  }
}

void FileSink::patch(std::uint64_t offset, std::string_view bytes) {
  if (::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset)) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("zip patch failed");
  }
}

ZipWriter::~ZipWriter() {
  if (deflating_) deflateEnd(&zstream_);
}

void ZipWriter::begin_entry(const std::string& name, const ZipEntryOptions& options, std::uint64_t size_hint) {
  if (open_) throw std::logic_error("zip entry still open");
  Central entry;
  entry.name = name;
  entry.directory = is_directory_name(name);
  entry.flags = kFlagUtf8 | (options.encrypted_flag ? kFlagEncrypted : 0);
  const bool raw = options.method.has_value() || options.encrypted_flag || entry.directory;
  entry.method = options.method ? *options.method : (options.deflate && !raw ? kMethodDeflate : kMethodStored);
  entry.crc = static_cast<std::uint32_t>(crc32_z(0, nullptr, 0));
  entry.offset = sink_.size();
  local_zip64_ = force_zip64_ || size_hint >= kZip64Threshold;

  std::string header;
  put32(header, kLocalSignature);
  put16(header, local_zip64_ ? kVersionZip64 : kVersionDefault);
  put16(header, entry.flags);
  put16(header, entry.method);
  put16(header, kDosTime);
  put16(header, kDosDate);
  put32(header, 0);  // crc, patched at the end
  put32(header, local_zip64_ ? kMax32 : 0);
  put32(header, local_zip64_ ? kMax32 : 0);
  put16(header, static_cast<std::uint16_t>(name.size()));
  put16(header, local_zip64_ ? 20 : 0);
  header += name;
  if (local_zip64_) {
    put16(header, kZip64ExtraId);
    put16(header, 16);
    put64(header, 0);
    put64(header, 0);
  }
  sink_.append(header);

  deflating_ = entry.method == kMethodDeflate && !raw;
  if (deflating_) {
    zstream_ = z_stream{};
    if (deflateInit2(&zstream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::runtime_error("deflateInit2 failed");
    }
  }
  declared_size_ = options.declared_size;
  entries_.push_back(std::move(entry));
  open_ = true;
}

void ZipWriter::deflate_piece(std::string_view piece, int flush) {
  out_buffer_.resize(1 << 16);
  zstream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
  zstream_.avail_in = static_cast<uInt>(piece.size());
  while (true) {
    zstream_.next_out = reinterpret_cast<Bytef*>(out_buffer_.data());
    zstream_.avail_out = static_cast<uInt>(out_buffer_.size());
    const int rc = deflate(&zstream_, flush);
    if (rc == Z_STREAM_ERROR) throw std::runtime_error("deflate failed");
    const std::size_t produced = out_buffer_.size() - zstream_.avail_out;
    sink_.append(std::string_view(out_buffer_.data(), produced));
    entries_.back().compressed += produced;
    if (flush == Z_FINISH ? rc == Z_STREAM_END : zstream_.avail_in == 0 && zstream_.avail_out != 0) break;
  }
}

void ZipWriter::write(std::string_view piece) {
  if (!open_) throw std::logic_error("no zip entry open");
  Central& entry = entries_.back();
  entry.crc = static_cast<std::uint32_t>(
      crc32_z(entry.crc, reinterpret_cast<const Bytef*>(piece.data()), piece.size()));
  entry.uncompressed += piece.size();
  constexpr std::size_t kMaxDeflateInput = 1 << 30;
  if (deflating_) {
    while (!piece.empty()) {
      const std::size_t take = std::min(piece.size(), kMaxDeflateInput);
      deflate_piece(piece.substr(0, take), Z_NO_FLUSH);
      piece.remove_prefix(take);
    }
  } else {
    sink_.append(piece);
    entry.compressed += piece.size();
  }
}

void ZipWriter::end_entry() {
  if (!open_) throw std::logic_error("no zip entry open");
  if (deflating_) {
    deflate_piece({}, Z_FINISH);
    deflateEnd(&zstream_);
    deflating_ = false;
  }
  Central& entry = entries_.back();
  if (declared_size_) entry.uncompressed = *declared_size_;
  if (!local_zip64_ && (entry.compressed >= kMax32 || entry.uncompressed >= kMax32)) {
    throw std::runtime_error("zip entry outgrew its local header: " + entry.name);
  }
  std::string fields;
  put32(fields, entry.crc);
  put32(fields, local_zip64_ ? kMax32 : static_cast<std::uint32_t>(entry.compressed));
  put32(fields, local_zip64_ ? kMax32 : static_cast<std::uint32_t>(entry.uncompressed));
  sink_.patch(entry.offset + kLocalCrcOffset, fields);
  if (local_zip64_) {
    std::string sizes;
    put64(sizes, entry.uncompressed);
    put64(sizes, entry.compressed);
    sink_.patch(entry.offset + kLocalFixedSize + entry.name.size() + 4, sizes);
  }
  open_ = false;
}

void ZipWriter::finish() {
  if (open_) throw std::logic_error("zip entry still open");
  const std::uint64_t directory_offset = sink_.size();
  std::uint64_t directory_size = 0;
  for (const Central& entry : entries_) {
    std::string extra;
    const bool big_u = force_zip64_ || entry.uncompressed >= kMax32;
    const bool big_c = force_zip64_ || entry.compressed >= kMax32;
    const bool big_o = force_zip64_ || entry.offset >= kMax32;
    if (big_u || big_c || big_o) {
      std::string fields;
      if (big_u) put64(fields, entry.uncompressed);
      if (big_c) put64(fields, entry.compressed);
      if (big_o) put64(fields, entry.offset);
      put16(extra, kZip64ExtraId);
      put16(extra, static_cast<std::uint16_t>(fields.size()));
      extra += fields;
    }
    std::string record;
    put32(record, kCentralSignature);
    put16(record, kVersionMadeByUnix);
    put16(record, extra.empty() ? kVersionDefault : kVersionZip64);
    put16(record, entry.flags);
    put16(record, entry.method);
    put16(record, kDosTime);
    put16(record, kDosDate);
    put32(record, entry.crc);
    put32(record, clamp32(entry.compressed, force_zip64_));
    put32(record, clamp32(entry.uncompressed, force_zip64_));
    put16(record, static_cast<std::uint16_t>(entry.name.size()));
    put16(record, static_cast<std::uint16_t>(extra.size()));
    put16(record, 0);  // comment
    put16(record, 0);  // disk
    put16(record, 0);  // internal attributes
    put32(record, entry.directory ? (040755u << 16) | 0x10 : 0100644u << 16);
    put32(record, clamp32(entry.offset, force_zip64_));
    record += entry.name;
    record += extra;
    sink_.append(record);
    directory_size += record.size();
  }

  const std::uint64_t count = entries_.size();
  const bool zip64 = force_zip64_ || count >= kMax16 || directory_size >= kMax32 || directory_offset >= kMax32;
  std::string tail;
  if (zip64) {
    const std::uint64_t end64_offset = sink_.size();
    put32(tail, kZip64EndSignature);
    put64(tail, 44);
    put16(tail, kVersionMadeByUnix);
    put16(tail, kVersionZip64);
    put32(tail, 0);
    put32(tail, 0);
    put64(tail, count);
    put64(tail, count);
    put64(tail, directory_size);
    put64(tail, directory_offset);
    put32(tail, kZip64LocatorSignature);
    put32(tail, 0);
    put64(tail, end64_offset);
    put32(tail, 1);
  }
  const std::uint16_t count16 = zip64 ? kMax16 : static_cast<std::uint16_t>(count);
  put32(tail, kEndSignature);
  put16(tail, 0);
  put16(tail, 0);
  put16(tail, count16);
  put16(tail, count16);
  put32(tail, zip64 ? kMax32 : static_cast<std::uint32_t>(directory_size));
  put32(tail, zip64 ? kMax32 : static_cast<std::uint32_t>(directory_offset));
  put16(tail, 0);
  sink_.append(tail);
}

}  // namespace korvo::testing
