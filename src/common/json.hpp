#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/error.hpp"
#include "common/i18n.hpp"

namespace korvo {

using Json = nlohmann::json;

inline constexpr int kMaxJsonNesting = 128;

// Parses exactly one JSON value (only whitespace around it). A key repeated
// in one object and nesting deeper than 128 levels are errors. The error's
// message is the parser's description, with line and column where it has them.
// The tree costs several times the text: for texts that stay small whatever
// the number of files (bookmarks, settings, the install list).
Result<Json> parse_json_strict(std::string_view text);

// Receives the values of a text in document order instead of a document
// tree, for texts whose tree would cost too much (a manifest of a million
// files). Keys and strings may be moved from.
class JsonEvents {
 public:
  virtual ~JsonEvents() = default;
  virtual void start_object() = 0;
  virtual void key(std::string& name) = 0;
  virtual void end_object() = 0;
  virtual void start_array() = 0;
  virtual void end_array() = 0;
  // A null, boolean, number or string.
  virtual void scalar(Json& value) = 0;
};

// parse_json_strict's rules and messages, with events instead of a tree.
// After a failure the events so far are to be thrown away.
Result<void> parse_json_events(std::string_view text, JsonEvents& events);

// Fills the buffer with the next piece of a text: the byte count, 0 at the
// end, or the read error.
using TextReader = std::function<Result<std::size_t>(char* buffer, std::size_t size)>;

struct StreamedJsonParse {
  Result<void> read;   // the reader's error, or kNotUtf8Message
  Result<void> parse;  // as parse_json_events
};

// The same, on a text read piece by piece. The text is read to its end even
// when the parse fails early: as for a text read whole before it is parsed,
// a read failure or invalid UTF-8 anywhere outranks what the parser found.
StreamedJsonParse parse_json_events(const TextReader& reader, JsonEvents& events);

// Typed field readers for records: each fails with a message naming the key
// and what was expected. `where` names the record ("manifest", "files[3]").
Result<const Json*> json_field(const Json& object, std::string_view key, std::string_view where);
Result<std::string> json_string_field(const Json& object, std::string_view key, std::string_view where);
Result<std::uint64_t> json_u64_field(const Json& object, std::string_view key, std::string_view where);
Result<const Json*> json_array_field(const Json& object, std::string_view key, std::string_view where);

// Optional keys: absent gives nothing; present with the wrong type is an error.
Result<std::optional<bool>> json_optional_bool(const Json& object, std::string_view key, std::string_view where,
                                               bool null_allowed);
Result<std::optional<std::string>> json_optional_string(const Json& object, std::string_view key,
                                                        std::string_view where, bool null_allowed);

// The JSON type's name as a message would say it ("string", "number", ...).
std::string json_type_name(const Json& value);

// The readers' messages, for records read from events. `expected` is one of
// the kJsonExpect texts; `found` a json_type_name, "object" or "array".
inline constexpr std::string_view kJsonExpectString = N_("a string");
inline constexpr std::string_view kJsonExpectU64 = N_("a whole number from 0 to 2^64-1");
inline constexpr std::string_view kJsonExpectArray = N_("an array");
Error json_not_an_object(std::string_view where, std::string_view found);
Error json_missing_key(std::string_view where, std::string_view key);
Error json_wrong_type(std::string_view where, std::string_view key, std::string_view expected, std::string_view found);

}  // namespace korvo
