#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/error.hpp"

namespace korvo {

using Json = nlohmann::json;

inline constexpr int kMaxJsonNesting = 128;

// Parses exactly one JSON value (only whitespace around it). A key repeated
// in one object and nesting deeper than 128 levels are errors. The error's
// message is the parser's description, with line and column where it has them.
Result<Json> parse_json_strict(std::string_view text);

// Typed field readers for records: each fails with a message naming the key
// and what was expected. `where` names the record ("manifest", "files[3]").
Result<const Json*> json_field(const Json& object, std::string_view key, std::string_view where);
Result<std::string> json_string_field(const Json& object, std::string_view key, std::string_view where);
Result<std::uint64_t> json_u64_field(const Json& object, std::string_view key, std::string_view where);
Result<bool> json_bool_field(const Json& object, std::string_view key, std::string_view where);
Result<const Json*> json_array_field(const Json& object, std::string_view key, std::string_view where);

// Optional keys: absent gives nothing; present with the wrong type is an error.
Result<std::optional<bool>> json_optional_bool(const Json& object, std::string_view key, std::string_view where,
                                               bool null_allowed);
Result<std::optional<std::string>> json_optional_string(const Json& object, std::string_view key,
                                                        std::string_view where, bool null_allowed);

// The JSON type's name as a message would say it ("string", "number", ...).
std::string json_type_name(const Json& value);

}  // namespace korvo
