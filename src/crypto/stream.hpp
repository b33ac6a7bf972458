#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/files.hpp"
#include "crypto/key.hpp"

namespace korvo {

// Where one sealed record lies in Backup.enc and in the plaintext.
struct SealedRecord {
  std::uint64_t file_offset = 0;   // its nonce
  std::uint32_t length = 0;        // the length field: sealed chunk and tag
  std::uint64_t plain_offset = 0;  // its first plaintext byte
};

// Every record of a container, from the headers alone; the last element is
// a sentinel that marks the end of the file and of the plaintext. Failures
// are the bare container messages.
Result<std::vector<SealedRecord>> index_sealed_records(int fd);

// What a record that does not open gives, of kind kDamaged.
Error damaged_record();

// Backup.enc read in place, as the plaintext archive it seals. A record is
// read, authenticated and decrypted only when a read reaches it, and at most
// two are held at a time.
class SealedStream {
 public:
  // Checks the container and indexes its records, then opens the first one:
  // a key that does not open it is the one failure of kind kWrongKey. Every
  // failure is "Decryption failed. The password is incorrect or the backup
  // is corrupted. ({})", as reading the whole stream had it.
  static Result<std::unique_ptr<SealedStream>> open(const std::string& path, BackupKey key);
  ~SealedStream();
  SealedStream(const SealedStream&) = delete;
  SealedStream& operator=(const SealedStream&) = delete;

  std::uint64_t size() const { return records_.back().plain_offset; }
  std::size_t record_count() const { return records_.size() - 1; }

  // Up to `length` plaintext bytes from `offset`, fewer only at the end. A
  // record that does not open is an error of kind kDamaged: only what it
  // holds is lost.
  Result<std::size_t> read_at(std::uint64_t offset, char* into, std::size_t length);

  // While on, a record that does not open reads as zeros instead of
  // failing: the archive's end is looked for in a stretch that may span
  // records holding files, whose damage must cost only those files. Whether
  // any record was read so is kept.
  void set_lenient(bool lenient) { lenient_ = lenient; }
  bool filled_with_zeros() const { return zero_filled_; }

  // Authenticates a record that no read has reached yet (an empty one, or
  // one no entry lies in); fine for one already tried, whatever came of it.
  Result<void> check_record(std::size_t index);

 private:
  struct Slot;
  SealedStream(Fd file, BackupKey key, std::vector<SealedRecord> records);
  Result<const Slot*> load(std::size_t index);
  void read_ahead(std::size_t index);

  Fd file_;
  BackupKey key_;
  std::vector<SealedRecord> records_;
  std::vector<bool> tried_;
  std::unique_ptr<Slot[]> slots_;
  std::size_t next_slot_ = 0;
  std::uint64_t advised_to_ = 0;
  bool lenient_ = false;
  bool zero_filled_ = false;  // Backup.enc is asked for ahead up to here
  struct Cipher;
  std::unique_ptr<Cipher> cipher_;
};

}  // namespace korvo
