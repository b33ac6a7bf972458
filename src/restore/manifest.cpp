#include "restore/manifest.hpp"


#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>

#include <fmt/format.h>

#include "common/files.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr std::string_view kWhere = "manifest";

// ---- Packing -----------------------------------------------------------

constexpr std::size_t kBlockSize = 64 * 1024;
constexpr std::size_t kMaxNumberBytes = 10;

char* put_number(char* out, std::uint64_t value) {
  while (value >= 0x80) {
    *out++ = static_cast<char>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<char>(value);
  return out;
}

std::uint64_t take_number(const char*& in) {
  std::uint64_t value = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*in++);
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if (byte < 0x80) return value;
  }
}

// ---- Reading -----------------------------------------------------------

enum class Want { kString, kUnsigned, kArray };

struct KnownKey {
  std::string_view name;
  Want want;
};

constexpr std::array<KnownKey, 6> kManifestKeys = {{{"korvo_version", Want::kString},
                                                    {"created_at", Want::kString},
                                                    {"source_user", Want::kString},
                                                    {"source_os", Want::kString},
                                                    {"files", Want::kArray},
                                                    {"skipped", Want::kArray}}};
constexpr std::size_t kFilesKey = 4;
constexpr std::size_t kSkippedKey = 5;
constexpr std::array<KnownKey, 4> kEntryKeys = {{{"original_path", Want::kString},
                                                 {"backup_path", Want::kString},
                                                 {"size_bytes", Want::kUnsigned},
                                                 {"sha256", Want::kString}}};
constexpr std::array<KnownKey, 2> kSkippedKeys = {{{"path", Want::kString}, {"reason", Want::kString}}};
constexpr std::size_t kMostKeys = kManifestKeys.size();

std::string_view expected_text(Want want) {
  switch (want) {
    case Want::kString:
      return kJsonExpectString;
    case Want::kUnsigned:
      return kJsonExpectU64;
    case Want::kArray:
      break;
  }
  return kJsonExpectArray;
}

// What one object held under the keys its record knows, in the record's
// order; unknown keys leave no trace.
class RecordCheck {
 public:
  void start(std::span<const KnownKey> keys) {
    keys_ = keys;
    std::fill(found_.begin(), found_.end(), std::nullopt);
    current_ = kUnknown;
  }

  // The key the next value belongs to.
  void select(std::string_view name) {
    current_ = kUnknown;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (keys_[i].name == name) current_ = i;
    }
  }
  // False for a key the record ignores.
  bool known() const { return current_ != kUnknown; }
  std::size_t selected() const { return current_; }
  Want wanted() const { return keys_[current_].want; }
  // Records the selected key's value by its type name: a fitting value leaves it empty.
  void found(std::string type_name) { found_[current_] = std::move(type_name); }

  // The first key, in the record's order, that is missing or of the wrong type.
  std::optional<Error> first_fault(std::string_view where) const {
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (!found_[i]) return json_missing_key(where, keys_[i].name);
      if (!found_[i]->empty()) return json_wrong_type(where, keys_[i].name, expected_text(keys_[i].want), *found_[i]);
    }
    return std::nullopt;
  }
  bool fits(std::size_t key) const { return found_[key] && found_[key]->empty(); }
  bool sound() const {
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (!fits(i)) return false;
    }
    return true;
  }

 private:
  static constexpr std::size_t kUnknown = kMostKeys;

  std::span<const KnownKey> keys_;
  std::array<std::optional<std::string>, kMostKeys> found_;
  std::size_t current_ = kUnknown;
};

bool fits(Want want, const Json& value) {
  switch (want) {
    case Want::kString:
      return value.is_string();
    case Want::kUnsigned:
      return value.is_number_unsigned();
    case Want::kArray:
      break;
  }
  return value.is_array();
}

// Maps the events of manifest.json onto the records as they come, with the
// same faults, in the same order of precedence, as checking a whole
// document would find: the manifest's keys in order, each list's first bad
// element, each element's keys in order. Anything inside a value that no
// record reads is passed over.
class ManifestReader : public JsonEvents {
 public:
  // Without a manifest to fill, it only checks.
  explicit ManifestReader(Manifest* manifest) : manifest_(manifest) {}

  void start_object() override {
    if (skip_depth_ > 0) {
      ++skip_depth_;
      return;
    }
    switch (place_) {
      case Place::kRoot:
        root_type_ = "object";
        top_.start(kManifestKeys);
        place_ = Place::kTop;
        return;
      case Place::kList:
        start_element();
        return;
      case Place::kTop:
      case Place::kRecord:
        container_value("object");
        return;
      case Place::kDone:
        return;
    }
  }

  void key(std::string& name) override {
    if (skip_depth_ > 0) return;
    if (place_ == Place::kTop) top_.select(name);
    if (place_ == Place::kRecord) record_.select(name);
  }

  void end_object() override {
    if (skip_depth_ > 0) {
      --skip_depth_;
      return;
    }
    if (place_ == Place::kRecord) {
      finish_element();
      place_ = Place::kList;
    } else {
      place_ = Place::kDone;
    }
  }

  void start_array() override {
    if (skip_depth_ > 0) {
      ++skip_depth_;
      return;
    }
    switch (place_) {
      case Place::kRoot:
        root_type_ = "array";
        place_ = Place::kDone;
        skip_depth_ = 1;
        return;
      case Place::kTop:
        if (top_.known() && top_.wanted() == Want::kArray) {
          top_.found("");
          list_ = top_.selected();
          index_ = 0;
          place_ = Place::kList;
          return;
        }
        container_value("array");
        return;
      case Place::kList:
        element_fault(json_not_an_object(where(), "array"));
        ++index_;
        skip_depth_ = 1;
        return;
      case Place::kRecord:
        container_value("array");
        return;
      case Place::kDone:
        return;
    }
  }

  void end_array() override {
    if (skip_depth_ > 0) {
      --skip_depth_;
      return;
    }
    if (place_ == Place::kList) place_ = Place::kTop;
  }

  void scalar(Json& value) override {
    if (skip_depth_ > 0) return;
    switch (place_) {
      case Place::kRoot:
        root_type_ = json_type_name(value);
        place_ = Place::kDone;
        return;
      case Place::kTop:
        if (!top_.known()) return;
        if (!fits(top_.wanted(), value)) {
          top_.found(json_type_name(value));
          return;
        }
        top_.found("");
        if (manifest_ != nullptr) *top_string(top_.selected()) = std::move(value.get_ref<std::string&>());
        return;
      case Place::kList:
        element_fault(json_not_an_object(where(), json_type_name(value)));
        ++index_;
        return;
      case Place::kRecord:
        if (!record_.known()) return;
        if (!fits(record_.wanted(), value)) {
          record_.found(json_type_name(value));
          return;
        }
        record_.found("");
        if (keeping()) keep_value(value);
        return;
      case Place::kDone:
        return;
    }
  }

  // The full verdict: the top object's keys in order, and after a list that
  // is present and an array, its first bad element.
  Result<void> verdict() const {
    if (root_type_ != "object") return json_not_an_object(kWhere, root_type_);
    for (std::size_t key = 0; key < kManifestKeys.size(); ++key) {
      if (!top_.fits(key)) return *top_.first_fault(kWhere);
      if (key == kFilesKey && files_fault_) return *files_fault_;
      if (key == kSkippedKey && skipped_fault_) return *skipped_fault_;
    }
    return Ok{};
  }

 private:
  enum class Place { kRoot, kTop, kList, kRecord, kDone };

  std::string where() const {
    return fmt::format("{}[{}]", list_ == kFilesKey ? "files" : "skipped", index_);
  }
  std::optional<Error>& fault_of_list() { return list_ == kFilesKey ? files_fault_ : skipped_fault_; }
  void element_fault(Error error) {
    if (!fault_of_list()) fault_of_list() = std::move(error);
  }
  // Records are kept only while the list has no fault; a bad manifest keeps nothing.
  bool keeping() const { return manifest_ != nullptr && !(list_ == kFilesKey ? files_fault_ : skipped_fault_); }

  std::string* top_string(std::size_t key) {
    std::string* fields[] = {&manifest_->korvo_version, &manifest_->created_at, &manifest_->source_user,
                             &manifest_->source_os};
    return fields[key];
  }

  // An object or array under a key: of the wrong type when the record knows
  // the key (none of them takes an object, and the lists are handled before).
  void container_value(std::string_view type_name) {
    RecordCheck& check = place_ == Place::kTop ? top_ : record_;
    if (check.known()) check.found(std::string(type_name));
    skip_depth_ = 1;
  }

  void start_element() {
    if (list_ == kFilesKey) {
      record_.start(kEntryKeys);
    } else {
      record_.start(kSkippedKeys);
    }
    place_ = Place::kRecord;
  }

  void keep_value(Json& value) {
    if (value.is_number_unsigned()) {
      entry_.size_bytes = value.get<std::uint64_t>();
      return;
    }
    std::string& text = value.get_ref<std::string&>();
    if (list_ == kFilesKey) {
      std::string* fields[] = {&entry_.original_path, &entry_.backup_path, nullptr, &entry_.sha256};
      *fields[record_.selected()] = std::move(text);
    } else {
      std::string* fields[] = {&skipped_entry_.path, &skipped_entry_.reason};
      *fields[record_.selected()] = std::move(text);
    }
  }

  void finish_element() {
    if (!record_.sound()) {
      element_fault(*record_.first_fault(where()));
    } else if (keeping()) {
      if (list_ == kFilesKey) {
        manifest_->files.push_back(entry_);
      } else {
        manifest_->skipped.push_back(std::move(skipped_entry_));
      }
    }
    ++index_;
  }

  Manifest* manifest_;
  Place place_ = Place::kRoot;
  std::size_t skip_depth_ = 0;  // levels open inside a value that no record reads
  std::string root_type_;
  RecordCheck top_;
  RecordCheck record_;
  std::size_t list_ = kFilesKey;
  std::size_t index_ = 0;
  std::optional<Error> files_fault_;
  std::optional<Error> skipped_fault_;
  ManifestEntry entry_;
  SkippedEntry skipped_entry_;
};

}  // namespace

void ManifestFiles::push_back(std::string_view original_path, std::string_view backup_path, std::uint64_t size_bytes,
                              std::string_view sha256) {
  const std::size_t need = 4 * kMaxNumberBytes + original_path.size() + backup_path.size() + sha256.size();
  if (blocks_.empty() || block_size_ - block_used_ < need) {
    block_size_ = std::max(kBlockSize, need);
    blocks_.emplace_back(new char[block_size_]);
    block_used_ = 0;
  }
  char* const start = blocks_.back().get() + block_used_;
  char* out = start;
  out = put_number(out, original_path.size());
  out = put_number(out, backup_path.size());
  out = put_number(out, sha256.size());
  out = put_number(out, size_bytes);
  for (const std::string_view text : {original_path, backup_path, sha256}) {
    if (!text.empty()) std::memcpy(out, text.data(), text.size());
    out += text.size();
  }
  block_used_ += static_cast<std::size_t>(out - start);
  entries_.push_back(start);
}

ManifestEntryView ManifestFiles::operator[](std::size_t index) const {
  const char* in = entries_[index];
  const std::size_t original_length = take_number(in);
  const std::size_t backup_length = take_number(in);
  const std::size_t sha256_length = take_number(in);
  ManifestEntryView entry;
  entry.size_bytes = take_number(in);
  entry.original_path = std::string_view(in, original_length);
  in += original_length;
  entry.backup_path = std::string_view(in, backup_length);
  in += backup_length;
  entry.sha256 = std::string_view(in, sha256_length);
  return entry;
}

Result<Manifest> parse_manifest(std::string_view text) {
  Manifest manifest;
  ManifestReader reader(&manifest);
  if (auto parsed = parse_json_events(text, reader); !parsed) return parsed.error();
  if (auto verdict = reader.verdict(); !verdict) return verdict.error();
  return manifest;
}

StreamedJsonParse check_manifest(const TextReader& text) {
  ManifestReader reader(nullptr);
  auto outcome = parse_json_events(text, reader);
  if (outcome.read && outcome.parse) outcome.parse = reader.verdict();
  return outcome;
}

StreamedJsonParse read_manifest(const TextReader& text, Manifest& manifest) {
  ManifestReader reader(&manifest);
  auto outcome = parse_json_events(text, reader);
  if (outcome.read && outcome.parse) outcome.parse = reader.verdict();
  return outcome;
}

}  // namespace korvo
