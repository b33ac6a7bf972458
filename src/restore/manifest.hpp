#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/json.hpp"

namespace korvo {

struct ManifestEntry {
  std::string original_path;
  std::string backup_path;
  std::uint64_t size_bytes = 0;
  std::string sha256;
};

// An entry of a ManifestFiles list; its texts live as long as the list.
struct ManifestEntryView {
  std::string_view original_path;
  std::string_view backup_path;
  std::uint64_t size_bytes = 0;
  std::string_view sha256;
};

// The "files" list, packed: each entry is its texts back to back, after
// their lengths and the size as variable-length numbers, in blocks shared
// with its neighbours. A list of a million files then costs little more
// than its texts, where separate strings would cost about twice that.
class ManifestFiles {
 public:
  void push_back(std::string_view original_path, std::string_view backup_path, std::uint64_t size_bytes,
                 std::string_view sha256);
  void push_back(const ManifestEntry& entry) {
    push_back(entry.original_path, entry.backup_path, entry.size_bytes, entry.sha256);
  }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  ManifestEntryView operator[](std::size_t index) const;

 private:
  std::deque<const char*> entries_;  // where each entry starts; a deque grows without copying
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t block_used_ = 0;
  std::size_t block_size_ = 0;
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
  ManifestFiles files;
  std::vector<SkippedEntry> skipped;
};

// The error's message is the parser's description of what was wrong.
Result<Manifest> parse_manifest(std::string_view text);

// The same rules and messages on a text read piece by piece, keeping none of
// it: only whether it is a valid manifest.
StreamedJsonParse check_manifest(const TextReader& reader);

// The same on a text read piece by piece, filling `manifest`, which is
// only of use when both parts of the outcome succeed.
StreamedJsonParse read_manifest(const TextReader& reader, Manifest& manifest);

}  // namespace korvo
