#include "common/json.hpp"

#include <fmt/format.h>

#include <set>

namespace korvo {
namespace {

// Thrown out of the event handler: the parser only stops on an exception.
struct JsonRuleViolation {
  std::string message;
};

// Builds the document like the plain parser and adds the nesting limit and
// the repeated-key rule. (The parser's callback form would do the same but
// scans the parent container at every closing brace: quadratic in a
// manifest's file list.)
class StrictJsonBuilder {
 public:
  explicit StrictJsonBuilder(Json& result) : dom_(result, /*allow_exceptions=*/true) {}

  bool null() { return dom_.null(); }
  bool boolean(bool value) { return dom_.boolean(value); }
  bool number_integer(Json::number_integer_t value) { return dom_.number_integer(value); }
  bool number_unsigned(Json::number_unsigned_t value) { return dom_.number_unsigned(value); }
  bool number_float(Json::number_float_t value, const Json::string_t& text) { return dom_.number_float(value, text); }
  bool string(Json::string_t& value) { return dom_.string(value); }
  bool binary(Json::binary_t& value) { return dom_.binary(value); }

  bool start_object(std::size_t elements) {
    open_container();
    open_objects_.emplace_back();
    return dom_.start_object(elements);
  }
  bool key(Json::string_t& key) {
    if (!open_objects_.back().insert(key).second) throw JsonRuleViolation{fmt::format("duplicate key \"{}\"", key)};
    return dom_.key(key);
  }
  bool end_object() {
    --depth_;
    open_objects_.pop_back();
    return dom_.end_object();
  }
  bool start_array(std::size_t elements) {
    open_container();
    return dom_.start_array(elements);
  }
  bool end_array() {
    --depth_;
    return dom_.end_array();
  }
  template <typename Exception>
  bool parse_error(std::size_t position, const std::string& last_token, const Exception& error) {
    return dom_.parse_error(position, last_token, error);
  }

 private:
  void open_container() {
    if (++depth_ > kMaxJsonNesting) {
      throw JsonRuleViolation{fmt::format("nesting deeper than {} levels", kMaxJsonNesting)};
    }
  }

  nlohmann::detail::json_sax_dom_parser<Json> dom_;
  int depth_ = 0;
  std::vector<std::set<std::string>> open_objects_;
};

}  // namespace

Result<Json> parse_json_strict(std::string_view text) {
  Json result;
  StrictJsonBuilder builder(result);
  try {
    Json::sax_parse(text.begin(), text.end(), &builder, nlohmann::detail::input_format_t::json, /*strict=*/true,
                    /*ignore_comments=*/false);
  } catch (const JsonRuleViolation& violation) {
    return Error(violation.message);
  } catch (const Json::exception& error) {
    return Error(error.what());
  }
  return result;
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
