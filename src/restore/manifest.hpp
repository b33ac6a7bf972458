#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace korvo {

struct ManifestEntry {
  std::string original_path;
  std::string backup_path;
  std::uint64_t size_bytes = 0;
  std::string sha256;
};

struct SkippedEntry {
  std::string path;
  std::string reason;
};

struct Manifest {
  std::string korvo_version;
  std::string created_at;
  std::string source_user;
  std::string source_os;
  std::vector<ManifestEntry> files;
  std::vector<SkippedEntry> skipped;
};

// The error's message is the parser's description of what was wrong.
Result<Manifest> parse_manifest(std::string_view text);

// Reads and parses manifest.json directly inside the canonical staging root.
Result<Manifest> load_manifest(const std::string& staging_root);

}  // namespace korvo
