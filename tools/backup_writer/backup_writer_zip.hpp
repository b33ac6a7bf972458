#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

// A small ZIP writer for test archives: local headers, central directory and
// end record, stored or Deflate, ZIP64 where needed or asked for. Names are
// written as given, so it can produce archives that no careful writer would.
namespace korvo::testing {

// Where the archive bytes go; patch() rewrites bytes already appended.
class ZipSink {
 public:
  virtual ~ZipSink() = default;
  virtual void append(std::string_view bytes) = 0;
  virtual void patch(std::uint64_t offset, std::string_view bytes) = 0;
  virtual std::uint64_t size() const = 0;
};

class StringSink final : public ZipSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  void append(std::string_view bytes) override { out_.append(bytes); }
  void patch(std::uint64_t offset, std::string_view bytes) override;
  std::uint64_t size() const override { return out_.size(); }

 private:
  std::string& out_;
};

class FileSink final : public ZipSink {
 public:
  explicit FileSink(const std::string& path);
  ~FileSink() override;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  void append(std::string_view bytes) override;
  void patch(std::uint64_t offset, std::string_view bytes) override;
  std::uint64_t size() const override { return size_; }

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

struct ZipEntryOptions {
  bool deflate = true;
  std::optional<std::uint16_t> method = std::nullopt;  // raw method number; content stored as given
  bool encrypted_flag = false;
  // Written as the unpacked size instead of the bytes that went in: an
  // entry that inflates to far more than it declares.
  std::optional<std::uint64_t> declared_size = std::nullopt;
};

class ZipWriter {
 public:
  ZipWriter(ZipSink& sink, bool force_zip64) : sink_(sink), force_zip64_(force_zip64) {}
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // size_hint decides whether the local header needs ZIP64 sizes.
  void begin_entry(const std::string& name, const ZipEntryOptions& options, std::uint64_t size_hint);
  void write(std::string_view piece);
  void end_entry();
  // Central directory and end records; the writer is done afterwards.
  void finish();

 private:
  struct Central {
    std::string name;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressed = 0;
    std::uint64_t uncompressed = 0;
    std::uint64_t offset = 0;
    bool directory = false;
  };
  void deflate_piece(std::string_view piece, int flush);

  ZipSink& sink_;
  bool force_zip64_;
  std::vector<Central> entries_;
  bool open_ = false;
  bool local_zip64_ = false;
  bool deflating_ = false;
  std::optional<std::uint64_t> declared_size_;
  z_stream zstream_{};
  std::string out_buffer_;
};

}  // namespace korvo::testing
