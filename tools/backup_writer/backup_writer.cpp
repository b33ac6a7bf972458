#include "backup_writer/backup_writer.hpp"

#include <argon2.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "backup_writer/backup_writer_zip.hpp"

namespace korvo::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kMagic = "KORVOENC1";
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::uint32_t kArgonMemoryKiB = 19456;
constexpr std::uint32_t kArgonPasses = 2;
constexpr std::uint32_t kArgonLanes = 1;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

void put_be32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::string hex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0xF]);
  }
  return out;
}

// Lenient on purpose (padding added, any tail accepted): the writer must be
// able to seal under salts that the reader is expected to refuse.
std::optional<std::string> decode_base64_loosely(std::string_view text) {
  std::string padded(text);
  while (padded.size() % 4 != 0) padded.push_back('=');
  std::string out(padded.size() / 4 * 3 + 1, '\0');
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                      reinterpret_cast<const unsigned char*>(padded.data()),
                                      static_cast<int>(padded.size()));
  if (decoded < 0) return std::nullopt;
  std::size_t size = static_cast<std::size_t>(decoded);
  for (std::size_t i = padded.size(); i > 0 && padded[i - 1] == '='; --i) --size;
  out.resize(size);
  return out;
}

std::string_view trim_blanks(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n\v\f");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n\v\f");
  return text.substr(first, last - first + 1);
}

void write_whole_file(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      ::close(fd);
      throw std::runtime_error("cannot write " + path);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  ::close(fd);
}

}  // namespace

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("sha256 failed");
  }
  return hex(digest, size);
}

std::string windows_original_path(std::string_view backup_path) {
  std::string path = "C:\\Users\\alex\\";
  for (char c : backup_path) path.push_back(c == '/' ? '\\' : c);
  return path;
}

std::string manifest_text(const std::vector<ManifestLine>& files) {
  nlohmann::ordered_json manifest;
  manifest["korvo_version"] = "1.0.0";
  manifest["created_at"] = "2026-01-01T00:00:00Z";
  manifest["source_user"] = "alex";
  manifest["source_os"] = "Windows 11";
  manifest["files"] = nlohmann::ordered_json::array();
  for (const ManifestLine& file : files) {
    nlohmann::ordered_json entry;
    entry["original_path"] = file.original_path;
    entry["backup_path"] = file.backup_path;
    entry["size_bytes"] = file.size_bytes;
    entry["sha256"] = file.sha256;
    manifest["files"].push_back(std::move(entry));
  }
  manifest["skipped"] = nlohmann::ordered_json::array();
  return manifest.dump(2) + "\n";
}

std::string manifest_for(const std::vector<std::pair<std::string, std::string>>& files) {
  std::vector<ManifestLine> lines;
  for (const auto& [path, content] : files) {
    lines.push_back({windows_original_path(path), path, content.size(), sha256_hex(content)});
  }
  return manifest_text(lines);
}

std::vector<BackupEntry> entries_with_manifest(const std::vector<std::pair<std::string, std::string>>& files) {
  std::vector<BackupEntry> entries;
  entries.push_back({"manifest.json", manifest_for(files)});
  for (const auto& [path, content] : files) entries.push_back({path, content});
  return entries;
}

TestKey test_key(std::string_view password, std::string_view salt_text) {
  TestKey key{};
  const auto salt = decode_base64_loosely(trim_blanks(salt_text));
  if (!salt) return key;
  if (argon2id_hash_raw(kArgonPasses, kArgonMemoryKiB, kArgonLanes, password.data(), password.size(), salt->data(),
                        salt->size(), key.data(), key.size()) != ARGON2_OK) {
    key.fill(0);
  }
  return key;
}

std::string zip_archive(const std::vector<BackupEntry>& entries, bool force_zip64) {
  std::string out;
  StringSink sink(out);
  ZipWriter zip(sink, force_zip64);
  for (const BackupEntry& entry : entries) {
    zip.begin_entry(entry.name, {entry.deflate, entry.method, entry.encrypted_flag}, entry.content.size());
    zip.write(entry.content);
    zip.end_entry();
  }
  zip.finish();
  return out;
}

std::string container_header(std::uint32_t chunk_size) {
  std::string header(kMagic);
  put_be32(header, chunk_size);
  return header;
}

std::string sealed_record(const TestKey& key, std::string_view plaintext) {
  unsigned char nonce[kNonceSize];
  if (RAND_bytes(nonce, sizeof nonce) != 1) throw std::runtime_error("RAND_bytes failed");
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce) != 1) {
    throw std::runtime_error("GCM setup failed");
  }
  std::string record(reinterpret_cast<const char*>(nonce), kNonceSize);
  put_be32(record, static_cast<std::uint32_t>(plaintext.size() + kTagSize));
  const std::size_t body = record.size();
  record.resize(body + plaintext.size() + kTagSize);
  auto* out = reinterpret_cast<unsigned char*>(record.data() + body);
  int produced = 0;
  int total = 0;
  constexpr std::size_t kStep = 1 << 30;  // EVP takes int lengths
  for (std::size_t done = 0; done < plaintext.size(); done += kStep) {
    const std::size_t take = std::min(kStep, plaintext.size() - done);
    if (EVP_EncryptUpdate(ctx.get(), out + total, &produced,
                          reinterpret_cast<const unsigned char*>(plaintext.data() + done),
                          static_cast<int>(take)) != 1) {
      throw std::runtime_error("GCM encrypt failed");
    }
    total += produced;
  }
  if (EVP_EncryptFinal_ex(ctx.get(), out + total, &produced) != 1) throw std::runtime_error("GCM final failed");
  total += produced;
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, out + total) != 1) {
    throw std::runtime_error("GCM tag failed");
  }
  return record;
}

std::string raw_record(std::uint32_t length_field, std::string_view body, std::string_view nonce) {
  std::string record(nonce.empty() ? std::string(kNonceSize, '\0') : std::string(nonce));
  put_be32(record, length_field);
  record += body;
  return record;
}

std::string with_damaged_tag(std::string record) {
  if (record.empty()) throw std::logic_error("empty record");
  record.back() = static_cast<char>(record.back() ^ 0x01);
  return record;
}

std::string sealed_stream(const TestKey& key, std::string_view plaintext, std::uint32_t chunk_size,
                          std::optional<std::uint32_t> header_chunk_size) {
  if (chunk_size == 0) throw std::logic_error("chunk size 0");
  std::string out = container_header(header_chunk_size.value_or(chunk_size));
  for (std::size_t done = 0; done < plaintext.size(); done += chunk_size) {
    out += sealed_record(key, plaintext.substr(done, chunk_size));
  }
  return out;
}

void write_raw_backup(const std::string& folder, std::string_view encrypted, std::string_view salt_text) {
  fs::create_directories(folder);
  write_whole_file(folder + "/Backup.enc", encrypted);
  write_whole_file(folder + "/backup.salt", salt_text);
}

void write_backup(const std::string& folder, const BackupSpec& plan) {
  const std::string archive = zip_archive(plan.entries, plan.force_zip64);
  const TestKey key = test_key(plan.password, plan.salt_text);
  write_raw_backup(folder, sealed_stream(key, archive, plan.chunk_size, plan.header_chunk_size), plan.salt_text);
}

void write_backup_from_disk(const std::string& folder, const DiskBackupSpec& plan) {
  if (plan.chunk_size == 0) throw std::logic_error("chunk size 0");
  fs::create_directories(folder);
  const std::string zip_path = folder + "/Backup.zip.partial";
  constexpr std::size_t kReadPiece = 1 << 20;
  std::string piece(kReadPiece, '\0');
  {
    FileSink sink(zip_path);
    ZipWriter zip(sink, false);
    std::vector<ManifestLine> lines;
    for (const DiskFile& file : plan.files) {
      const int fd = ::open(file.source_path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) throw std::runtime_error("cannot open " + file.source_path + ": " + std::strerror(errno));
      struct stat info{};
      ::fstat(fd, &info);
      std::unique_ptr<EVP_MD_CTX, MdCtxFree> digest(EVP_MD_CTX_new());
      EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr);
      zip.begin_entry(file.name, {plan.deflate, std::nullopt, false}, static_cast<std::uint64_t>(info.st_size));
      std::uint64_t size = 0;
      while (true) {
        const ssize_t got = ::read(fd, piece.data(), piece.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
          ::close(fd);
          throw std::runtime_error("cannot read " + file.source_path);
        }
        if (got == 0) break;
        const std::string_view bytes(piece.data(), static_cast<std::size_t>(got));
        zip.write(bytes);
        EVP_DigestUpdate(digest.get(), bytes.data(), bytes.size());
        size += bytes.size();
      }
      ::close(fd);
      zip.end_entry();
      unsigned char sum[EVP_MAX_MD_SIZE];
      unsigned int sum_size = 0;
      EVP_DigestFinal_ex(digest.get(), sum, &sum_size);
      if (file.listed) {
        lines.push_back({file.original_path.empty() ? windows_original_path(file.name) : file.original_path,
                         file.name, size, hex(sum, sum_size)});
      }
    }
    const std::string manifest = manifest_text(lines);
    zip.begin_entry("manifest.json", {plan.deflate, std::nullopt, false}, manifest.size());
    zip.write(manifest);
    zip.end_entry();
    zip.finish();
  }

  const TestKey key = test_key(plan.password, plan.salt_text);
  const int in = ::open(zip_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) throw std::runtime_error("cannot reopen " + zip_path);
  const std::string enc_path = folder + "/Backup.enc";
  const int out = ::open(enc_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    ::close(in);
    throw std::runtime_error("cannot create " + enc_path);
  }
  auto write_out = [&](std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t written = ::write(out, bytes.data(), bytes.size());
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) throw std::runtime_error("cannot write " + enc_path);
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
  };
  std::string chunk(plan.chunk_size, '\0');
  try {
    write_out(container_header(plan.chunk_size));
    while (true) {
      std::size_t filled = 0;
      while (filled < chunk.size()) {
        const ssize_t got = ::read(in, chunk.data() + filled, chunk.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::runtime_error("cannot read " + zip_path);
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
      }
      if (filled == 0) break;
      write_out(sealed_record(key, std::string_view(chunk.data(), filled)));
      if (filled < chunk.size()) break;
    }
  } catch (...) {
    ::close(in);
    ::close(out);
    throw;
  }
  ::close(in);
  ::close(out);
  ::unlink(zip_path.c_str());
  write_whole_file(folder + "/backup.salt", plan.salt_text);
}

}  // namespace korvo::testing
