#include "restore/manifest.hpp"

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/json.hpp"

namespace korvo {
namespace {

constexpr std::string_view kManifestFile = "manifest.json";

Result<ManifestEntry> parse_entry(const Json& object, const std::string& where) {
  ManifestEntry entry;
  auto original_path = json_string_field(object, "original_path", where);
  if (!original_path) return original_path.error();
  auto backup_path = json_string_field(object, "backup_path", where);
  if (!backup_path) return backup_path.error();
  auto size_bytes = json_u64_field(object, "size_bytes", where);
  if (!size_bytes) return size_bytes.error();
  auto sha256 = json_string_field(object, "sha256", where);
  if (!sha256) return sha256.error();
  entry.original_path = std::move(*original_path);
  entry.backup_path = std::move(*backup_path);
  entry.size_bytes = *size_bytes;
  entry.sha256 = std::move(*sha256);
  return entry;
}

Result<SkippedEntry> parse_skipped(const Json& object, const std::string& where) {
  auto path = json_string_field(object, "path", where);
  if (!path) return path.error();
  auto reason = json_string_field(object, "reason", where);
  if (!reason) return reason.error();
  return SkippedEntry{std::move(*path), std::move(*reason)};
}

template <typename Record, typename Parse>
Result<std::vector<Record>> parse_list(const Json& manifest, std::string_view key, Parse parse) {
  auto array = json_array_field(manifest, key, "manifest");
  if (!array) return array.error();
  std::vector<Record> records;
  records.reserve((*array)->size());
  for (std::size_t index = 0; index < (*array)->size(); ++index) {
    auto record = parse((**array)[index], fmt::format("{}[{}]", key, index));
    if (!record) return record.error();
    records.push_back(std::move(*record));
  }
  return records;
}

}  // namespace

Result<Manifest> parse_manifest(std::string_view text) {
  auto json = parse_json_strict(text);
  if (!json) return json.error();
  constexpr std::string_view kWhere = "manifest";
  Manifest manifest;
  for (auto [key, field] : {std::pair{"korvo_version", &manifest.korvo_version},
                            std::pair{"created_at", &manifest.created_at},
                            std::pair{"source_user", &manifest.source_user},
                            std::pair{"source_os", &manifest.source_os}}) {
    auto value = json_string_field(*json, key, kWhere);
    if (!value) return value.error();
    *field = std::move(*value);
  }
  auto files = parse_list<ManifestEntry>(*json, "files", parse_entry);
  if (!files) return files.error();
  auto skipped = parse_list<SkippedEntry>(*json, "skipped", parse_skipped);
  if (!skipped) return skipped.error();
  manifest.files = std::move(*files);
  manifest.skipped = std::move(*skipped);
  return manifest;
}

Result<Manifest> load_manifest(const std::string& staging_root) {
  auto text = read_text_file(join_path(staging_root, kManifestFile));
  if (!text) return Error("manifest.json not found in backup", text.error());
  auto manifest = parse_manifest(*text);
  if (!manifest) return Error("Failed to parse manifest.json", manifest.error());
  return manifest;
}

}  // namespace korvo
