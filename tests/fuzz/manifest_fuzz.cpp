// manifest.json text. An accepted manifest must agree field by field with a
// plain parse of the same text, hold valid UTF-8 only, and parse again to
// the same value once written back out. Checked piece by piece (pieces of
// 1 to 8 bytes, chosen by the input's length), the text must come to the
// same verdict as parsed whole.

#include <algorithm>
#include <cstring>

#include "common/json.hpp"
#include "fuzz_support.hpp"
#include "common/files.hpp"
#include "restore/manifest.hpp"

namespace {

using korvo::Json;

bool same(const korvo::Manifest& a, const korvo::Manifest& b) {
  if (a.korvo_version != b.korvo_version || a.created_at != b.created_at || a.source_user != b.source_user ||
      a.source_os != b.source_os || a.files.size() != b.files.size() || a.skipped.size() != b.skipped.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.files.size(); ++i) {
    const auto &x = a.files[i], &y = b.files[i];
    if (x.original_path != y.original_path || x.backup_path != y.backup_path || x.size_bytes != y.size_bytes ||
        x.sha256 != y.sha256) {
      return false;
    }
  }
  for (std::size_t i = 0; i < a.skipped.size(); ++i) {
    if (a.skipped[i].path != b.skipped[i].path || a.skipped[i].reason != b.skipped[i].reason) return false;
  }
  return true;
}

Json written_out(const korvo::Manifest& m) {
  Json files = Json::array();
  for (std::size_t i = 0; i < m.files.size(); ++i) {
    const korvo::ManifestEntryView f = m.files[i];
    files.push_back({{"original_path", f.original_path}, {"backup_path", f.backup_path},
                     {"size_bytes", f.size_bytes}, {"sha256", f.sha256}});
  }
  Json skipped = Json::array();
  for (const auto& s : m.skipped) skipped.push_back({{"path", s.path}, {"reason", s.reason}});
  return {{"korvo_version", m.korvo_version}, {"created_at", m.created_at}, {"source_user", m.source_user},
          {"source_os", m.source_os}, {"files", files}, {"skipped", skipped}};
}

void check_text(std::string_view text) { FUZZ_CHECK(korvo::fuzz::reference_valid_utf8(text), text); }

// What check_manifest says, given the text in pieces of `piece` bytes.
std::string checked_in_pieces(std::string_view text, std::size_t piece) {
  std::size_t at = 0;
  const korvo::TextReader read = [&](char* buffer, std::size_t size) -> korvo::Result<std::size_t> {
    const std::size_t take = std::min({piece, size, text.size() - at});
    if (take > 0) std::memcpy(buffer, text.data() + at, take);
    at += take;
    return take;
  };
  const auto checked = korvo::check_manifest(read);
  FUZZ_CHECK(at == text.size(), "the check stopped reading before the end");
  if (!checked.read) return "unreadable: " + checked.read.error().render();
  return checked.parse ? "valid" : "invalid: " + checked.parse.error().render();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = korvo::fuzz::as_text(data, size);
  const auto manifest = korvo::parse_manifest(text);
  const std::string whole = !korvo::fuzz::reference_valid_utf8(text)
                                ? "unreadable: " + std::string(korvo::kNotUtf8Message)
                            : manifest ? "valid"
                                       : "invalid: " + manifest.error().render();
  FUZZ_CHECK(checked_in_pieces(text, 1 + size % 8) == whole, whole);
  if (!manifest) {
    FUZZ_CHECK(!manifest.error().message().empty(), "a refusal without a description");
    return 0;
  }
  const Json plain = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  FUZZ_CHECK(plain.is_object(), "accepted text that is no JSON object");
  for (const char* key : {"korvo_version", "created_at", "source_user", "source_os"}) {
    FUZZ_CHECK(plain.contains(key) && plain[key].is_string(), key);
  }
  FUZZ_CHECK(manifest->korvo_version == plain["korvo_version"] && manifest->created_at == plain["created_at"] &&
                 manifest->source_user == plain["source_user"] && manifest->source_os == plain["source_os"],
             "top-level fields differ from the text");
  const Json& files = plain["files"];
  FUZZ_CHECK(files.is_array() && files.size() == manifest->files.size(), "files");
  for (std::size_t i = 0; i < files.size(); ++i) {
    const korvo::ManifestEntryView entry = manifest->files[i];
    const Json& item = files[i];
    FUZZ_CHECK(item["size_bytes"].is_number_unsigned() && item["size_bytes"].get<std::uint64_t>() == entry.size_bytes,
               "size_bytes");
    FUZZ_CHECK(item["original_path"] == Json(entry.original_path) && item["backup_path"] == Json(entry.backup_path) &&
                   item["sha256"] == Json(entry.sha256),
               "files[" + std::to_string(i) + "]");
    for (const auto* field : {&entry.original_path, &entry.backup_path, &entry.sha256}) check_text(*field);
  }
  const Json& skipped = plain["skipped"];
  FUZZ_CHECK(skipped.is_array() && skipped.size() == manifest->skipped.size(), "skipped");
  for (std::size_t i = 0; i < skipped.size(); ++i) {
    FUZZ_CHECK(skipped[i]["path"] == manifest->skipped[i].path && skipped[i]["reason"] == manifest->skipped[i].reason,
               "skipped[" + std::to_string(i) + "]");
  }
  for (const auto* field : {&manifest->korvo_version, &manifest->created_at, &manifest->source_user,
                            &manifest->source_os}) {
    check_text(*field);
  }
  const auto again = korvo::parse_manifest(written_out(*manifest).dump());
  FUZZ_CHECK(again.ok() && same(*again, *manifest), "a written-out manifest does not parse back the same");
  return 0;
}
