#include "common/json.hpp"

#include <fmt/format.h>

#include <set>

namespace korvo {
namespace {

// Thrown out of the parser callback: nlohmann only stops on an exception.
struct JsonRuleViolation {
  std::string message;
};

}  // namespace

Result<Json> parse_json_strict(std::string_view text) {
  std::vector<std::set<std::string>> open_objects;
  auto check = [&](int depth, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
      case Json::parse_event_t::array_start:
        // depth is the parent's level here, so this value sits at depth + 1.
        if (depth + 1 > kMaxJsonNesting) {
          throw JsonRuleViolation{fmt::format("nesting deeper than {} levels", kMaxJsonNesting)};
        }
        if (event == Json::parse_event_t::object_start) open_objects.emplace_back();
        break;
      case Json::parse_event_t::object_end:
        if (!open_objects.empty()) open_objects.pop_back();
        break;
      case Json::parse_event_t::key: {
        const std::string& key = parsed.get_ref<const std::string&>();
        if (!open_objects.empty() && !open_objects.back().insert(key).second) {
          throw JsonRuleViolation{fmt::format("duplicate key \"{}\"", key)};
        }
        break;
      }
      default:
        break;
    }
    return true;
  };
  try {
    return Json::parse(text.begin(), text.end(), check, /*allow_exceptions=*/true, /*ignore_comments=*/false);
  } catch (const JsonRuleViolation& violation) {
    return Error(violation.message);
  } catch (const Json::exception& error) {
    return Error(error.what());
  }
}

std::string json_type_name(const Json& value) {
  if (value.is_number_unsigned()) return "unsigned number";
  if (value.is_number_integer()) return "negative number";
  if (value.is_number_float()) return "fractional number";
  return value.type_name();
}

Result<const Json*> json_field(const Json& object, std::string_view key, std::string_view where) {
  if (!object.is_object()) return Error(fmt::format("{}: expected an object, found {}", where, json_type_name(object)));
  const auto found = object.find(key);
  if (found == object.end()) return Error(fmt::format("{}: missing key \"{}\"", where, key));
  return &*found;
}

namespace {

Error wrong_type(std::string_view where, std::string_view key, std::string_view expected, const Json& value) {
  return Error(fmt::format("{}: key \"{}\" must be {}, found {}", where, key, expected, json_type_name(value)));
}

}  // namespace

Result<std::string> json_string_field(const Json& object, std::string_view key, std::string_view where) {
  auto field = json_field(object, key, where);
  if (!field) return field.error();
  if (!(*field)->is_string()) return wrong_type(where, key, "a string", **field);
  return (*field)->get<std::string>();
}

Result<std::uint64_t> json_u64_field(const Json& object, std::string_view key, std::string_view where) {
  auto field = json_field(object, key, where);
  if (!field) return field.error();
  // Checked first: get<uint64_t>() would quietly convert -1, 1.5 and true.
  if (!(*field)->is_number_unsigned()) return wrong_type(where, key, "a whole number from 0 to 2^64-1", **field);
  return (*field)->get<std::uint64_t>();
}

Result<bool> json_bool_field(const Json& object, std::string_view key, std::string_view where) {
  auto field = json_field(object, key, where);
  if (!field) return field.error();
  if (!(*field)->is_boolean()) return wrong_type(where, key, "a boolean", **field);
  return (*field)->get<bool>();
}

Result<const Json*> json_array_field(const Json& object, std::string_view key, std::string_view where) {
  auto field = json_field(object, key, where);
  if (!field) return field.error();
  if (!(*field)->is_array()) return wrong_type(where, key, "an array", **field);
  return *field;
}

Result<std::optional<bool>> json_optional_bool(const Json& object, std::string_view key, std::string_view where,
                                               bool null_allowed) {
  const auto found = object.find(key);
  if (found == object.end() || (null_allowed && found->is_null())) return std::optional<bool>();
  if (!found->is_boolean()) return wrong_type(where, key, null_allowed ? "a boolean or null" : "a boolean", *found);
  return std::optional<bool>(found->get<bool>());
}

Result<std::optional<std::string>> json_optional_string(const Json& object, std::string_view key,
                                                        std::string_view where, bool null_allowed) {
  const auto found = object.find(key);
  if (found == object.end() || (null_allowed && found->is_null())) return std::optional<std::string>();
  if (!found->is_string()) return wrong_type(where, key, null_allowed ? "a string or null" : "a string", *found);
  return std::optional<std::string>(found->get<std::string>());
}

}  // namespace korvo
