// The benchmark's CPU floor: the least work that any one-pass restore of a
// backup must do, done as directly as this program can, on one thread:
//
//   korvo-bench-floor BACKUP_FOLDER PASSWORD OUT_FOLDER
//
// - derive the key from backup.salt and the password (the product's Argon2id
//   call: the parameters are fixed, so there is no cheaper way);
// - read Backup.enc once and authenticate and decrypt every record into
//   memory (nothing decrypted is written, nothing synced);
// - open the plaintext as a ZIP archive in memory and parse manifest.json
//   once (the digests to compare against are in there);
// - for every manifest file: inflate its entry (CRC-32 checked by the
//   reader) in 1 MiB pieces, hashing them and writing them to
//   OUT_FOLDER/Restored as they come (a small file: one open, write, close;
//   each folder made once), then read that copy back to its end and hash
//   it; compare both digests with the manifest.
// No staging, no temporary names or renames, no sync, no path checks, no
// progress, no messages beyond a failure. It holds the whole decrypted
// archive in memory, so its peak RSS is no yardstick.
// Not part of the product.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "crypto/key.hpp"

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "korvo-bench-floor: %s\n", what.c_str());
  std::exit(1);
}

void read_exact(int fd, void* buffer, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t got = ::read(fd, bytes, size);
    if (got <= 0) fail("short read of Backup.enc");
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
}

std::uint32_t be32(const unsigned char* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

// Decrypts the whole container into an anonymous mapping; returns its length.
std::size_t decrypt_to_memory(const std::string& path, const korvo::BackupKey& key, unsigned char** out) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) fail("cannot open " + path);
  struct stat info;
  if (::fstat(fd, &info) != 0) fail("cannot stat " + path);
  const std::size_t bound = static_cast<std::size_t>(info.st_size) + 1;
  void* mapped = ::mmap(nullptr, bound, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) fail("out of memory");
  auto* plain = static_cast<unsigned char*>(mapped);

  unsigned char header[13];
  read_exact(fd, header, sizeof header);
  if (std::memcmp(header, "KORVOENC1", 9) != 0) fail("bad header");
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), nullptr) != 1) fail("cipher setup");
  std::vector<unsigned char> record;
  std::size_t used = 0;
  while (true) {
    unsigned char prefix[16];
    const ssize_t got = ::read(fd, prefix, sizeof prefix);
    if (got == 0) break;
    if (got != static_cast<ssize_t>(sizeof prefix)) fail("truncated record");
    const std::uint32_t length = be32(prefix + 12);
    if (length < 16) fail("bad record length");
    record.resize(length);
    read_exact(fd, record.data(), length);
    const int text = static_cast<int>(length - 16);
    int produced = 0;
    int tail = 0;
    if (EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, prefix) != 1 ||
        EVP_DecryptUpdate(ctx, plain + used, &produced, record.data(), text) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, record.data() + text) != 1 ||
        EVP_DecryptFinal_ex(ctx, plain + used + produced, &tail) != 1) {
      fail("authentication failed");
    }
    used += static_cast<std::size_t>(text);
  }
  EVP_CIPHER_CTX_free(ctx);
  ::close(fd);
  *out = plain;
  return used;
}

// Folders made so far, so each is made once.
std::unordered_set<std::string> made_folders;

void make_parents(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  const std::string parent = path.substr(0, slash);
  if (made_folders.count(parent) != 0) return;
  if (::mkdir(parent.c_str(), 0777) != 0) {
    if (errno == ENOENT) {
      make_parents(parent);
      if (::mkdir(parent.c_str(), 0777) != 0 && errno != EEXIST) fail("cannot make " + parent);
    } else if (errno != EEXIST) {
      fail("cannot make " + parent);
    }
  }
  made_folders.insert(parent);
}

int create_file(const std::string& path) {
  make_parents(path);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) fail("cannot create " + path);
  return fd;
}

void write_exact(int fd, const unsigned char* bytes, std::size_t size, const std::string& path) {
  if (size > 0 && ::write(fd, bytes, size) != static_cast<ssize_t>(size)) fail("cannot write " + path);
}

void close_file(int fd, const std::string& path) {
  if (::close(fd) != 0) fail("cannot close " + path);
}

std::string hex_digest(EVP_MD_CTX* ctx) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx, digest, &length) != 1) fail("SHA-256 failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex(2 * length, '0');
  for (unsigned i = 0; i < length; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 0x0f];
  }
  return hex;
}

constexpr std::size_t kChunk = 1 << 20;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) fail("usage: korvo-bench-floor BACKUP_FOLDER PASSWORD OUT_FOLDER");
  const std::string folder = argv[1];
  const std::string out = argv[3];

  using Clock = std::chrono::steady_clock;
  const auto since = [](Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); };
  auto start = Clock::now();
  auto key = korvo::derive_backup_key(folder + "/backup.salt", argv[2]);
  if (!key) fail(key.error().render());
  const double derive_s = since(start);
  start = Clock::now();
  unsigned char* plain = nullptr;
  const std::size_t plain_size = decrypt_to_memory(folder + "/Backup.enc", *key, &plain);
  const double decrypt_s = since(start);
  start = Clock::now();

  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(plain, plain_size, 0, &error);
  zip_t* archive = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
  if (archive == nullptr) fail("not a ZIP archive");

  std::vector<unsigned char> buffer(kChunk);
  const auto manifest_index = zip_name_locate(archive, "manifest.json", 0);
  if (manifest_index < 0) fail("no manifest.json");
  std::string manifest_text;
  {
    zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(manifest_index), 0);
    if (file == nullptr) fail("cannot open manifest.json");
    zip_int64_t got;
    while ((got = zip_fread(file, buffer.data(), kChunk)) > 0) {
      manifest_text.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(got));
    }
    if (got < 0) fail("cannot inflate manifest.json");
    zip_fclose(file);
  }
  const auto manifest = nlohmann::json::parse(manifest_text);

  const std::string restored = out + "/Restored";
  const double extract_s = since(start);
  start = Clock::now();

  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_MD* sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  std::size_t checked = 0;
  for (const auto& entry : manifest.at("files")) {
    const std::string relative = entry.at("backup_path").get<std::string>();
    const std::string expected = entry.at("sha256").get<std::string>();
    const std::string copy = restored + "/" + relative;
    // Inflate the entry, hashing it and writing the same bytes to the copy.
    const zip_int64_t index = zip_name_locate(archive, relative.c_str(), 0);
    if (index < 0) fail("no entry for " + relative);
    zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(index), 0);
    if (file == nullptr) fail("cannot open entry " + relative);
    const int output = create_file(copy);
    if (EVP_DigestInit_ex(ctx, sha256, nullptr) != 1) fail("SHA-256 failed");
    zip_int64_t inflated;
    while ((inflated = zip_fread(file, buffer.data(), kChunk)) > 0) {
      EVP_DigestUpdate(ctx, buffer.data(), static_cast<std::size_t>(inflated));
      write_exact(output, buffer.data(), static_cast<std::size_t>(inflated), copy);
    }
    if (inflated < 0) fail("cannot inflate " + relative);
    zip_fclose(file);
    close_file(output, copy);
    if (hex_digest(ctx) != expected) fail("checksum mismatch: " + relative);
    // Read the copy back and hash it.
    const int back = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC);
    if (back < 0) fail("cannot open " + copy);
    if (EVP_DigestInit_ex(ctx, sha256, nullptr) != 1) fail("SHA-256 failed");
    ssize_t got;
    while ((got = ::read(back, buffer.data(), kChunk)) > 0) EVP_DigestUpdate(ctx, buffer.data(), static_cast<std::size_t>(got));
    if (got < 0) fail("cannot read " + copy);
    ::close(back);
    if (hex_digest(ctx) != expected) fail("copy mismatch: " + relative);
    ++checked;
  }
  zip_discard(archive);
  ::munmap(plain, plain_size + 1);
  EVP_MD_free(sha256);
  EVP_MD_CTX_free(ctx);
  std::printf("key_derivation %.3f\ndecryption %.3f\nextraction %.3f\ncopy_verify %.3f\nfiles %zu\n", derive_s,
              decrypt_s, extract_s, since(start), checked);
  return 0;
}
