#include "common/json.hpp"

#include <fmt/format.h>

#include <cstring>
#include <istream>
#include <memory>
#include <set>
#include <streambuf>

#include "common/files.hpp"
#include "common/text.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

// Thrown out of the event handler: the parser only stops on an exception.
struct JsonRuleViolation {
  std::string message;
};

// Adds the nesting limit and the repeated-key rule to the parser's events
// and hands them on to the sink. (The parser's callback form would do the
// same but scans the parent container at every closing brace: quadratic in
// a manifest's file list.)
template <typename Sink>
class StrictEvents {
 public:
  explicit StrictEvents(Sink& sink) : sink_(sink) {}

  bool null() { return sink_.null(); }
  bool boolean(bool value) { return sink_.boolean(value); }
  bool number_integer(Json::number_integer_t value) { return sink_.number_integer(value); }
  bool number_unsigned(Json::number_unsigned_t value) { return sink_.number_unsigned(value); }
  bool number_float(Json::number_float_t value, const Json::string_t& text) { return sink_.number_float(value, text); }
  bool string(Json::string_t& value) { return sink_.string(value); }
  bool binary(Json::binary_t& value) { return sink_.binary(value); }

  bool start_object(std::size_t elements) {
    open_container();
    open_objects_.emplace_back();
    return sink_.start_object(elements);
  }
  bool key(Json::string_t& key) {
    if (!open_objects_.back().insert(key).second) throw JsonRuleViolation{trf("duplicate key \"{}\"", key)};
    return sink_.key(key);
  }
  bool end_object() {
    --depth_;
    open_objects_.pop_back();
    return sink_.end_object();
  }
  bool start_array(std::size_t elements) {
    open_container();
    return sink_.start_array(elements);
  }
  bool end_array() {
    --depth_;
    return sink_.end_array();
  }
  template <typename Exception>
  bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/, const Exception& error) {
    throw error;
  }

 private:
  void open_container() {
    if (++depth_ > kMaxJsonNesting) {
      throw JsonRuleViolation{trf("nesting deeper than {} levels", kMaxJsonNesting)};
    }
  }

  Sink& sink_;
  int depth_ = 0;
  std::vector<std::set<std::string>> open_objects_;
};

// The parser's events as JsonEvents calls, a scalar as a one-value Json.
class EventSink {
 public:
  explicit EventSink(JsonEvents& events) : events_(events) {}

  bool null() { return scalar(Json()); }
  bool boolean(bool value) { return scalar(Json(value)); }
  bool number_integer(Json::number_integer_t value) { return scalar(Json(value)); }
  bool number_unsigned(Json::number_unsigned_t value) { return scalar(Json(value)); }
  bool number_float(Json::number_float_t value, const Json::string_t& /*text*/) { return scalar(Json(value)); }
  bool string(Json::string_t& value) { return scalar(Json(std::move(value))); }
  bool binary(Json::binary_t& value) { return scalar(Json::binary(std::move(value))); }
  bool start_object(std::size_t /*elements*/) {
    events_.start_object();
    return true;
  }
  bool key(Json::string_t& key) {
    events_.key(key);
    return true;
  }
  bool end_object() {
    events_.end_object();
    return true;
  }
  bool start_array(std::size_t /*elements*/) {
    events_.start_array();
    return true;
  }
  bool end_array() {
    events_.end_array();
    return true;
  }

 private:
  bool scalar(Json value) {
    events_.scalar(value);
    return true;
  }

  JsonEvents& events_;
};

// Runs the parser over `input` (a text, or a stream); a failure is the
// parser's description or the broken rule.
template <typename Sink, typename Input>
Result<void> parse_strictly(Input&& input, Sink& sink) {
  StrictEvents<Sink> strict(sink);
  try {
    Json::sax_parse(std::forward<Input>(input), &strict, nlohmann::detail::input_format_t::json, /*strict=*/true,
                    /*ignore_comments=*/false);
  } catch (const JsonRuleViolation& violation) {
    return Error(violation.message);
  } catch (const Json::exception& error) {
    return Error(error.what());
  }
  return Ok{};
}

// Hands a text to the parser piece by piece and checks on the way that it
// is UTF-8; the last bytes of an unfinished sequence are checked together
// with the piece that finishes it.
class CheckedTextBuffer : public std::streambuf {
 public:
  explicit CheckedTextBuffer(const TextReader& reader) : reader_(reader), buffer_(new char[kSize]) {}

  void read_to_end() {
    while (underflow() != traits_type::eof()) setg(egptr(), egptr(), egptr());
  }

  Result<void> outcome() const {
    if (read_error_) return *read_error_;
    if (!utf8_) return Error(std::string(kNotUtf8Message));
    return Ok{};
  }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (at_end_) return traits_type::eof();
    char* const buffer = buffer_.get();
    std::memmove(buffer, buffer + unchecked_from_, unchecked_);
    auto got = reader_(buffer + unchecked_, kSize - unchecked_);
    if (!got || *got == 0) {
      at_end_ = true;
      if (!got) read_error_ = got.error();
      if (unchecked_ > 0) utf8_ = false;
      setg(buffer, buffer, buffer);
      return traits_type::eof();
    }
    const std::size_t filled = unchecked_ + *got;
    const std::size_t complete = complete_sequences(filled);
    if (utf8_ && !is_valid_utf8(std::string_view(buffer, complete))) utf8_ = false;
    setg(buffer, buffer + unchecked_, buffer + filled);
    unchecked_from_ = complete;
    unchecked_ = filled - complete;
    return traits_type::to_int_type(*gptr());
  }

 private:
  // The length of buffer_[0, filled) without a UTF-8 sequence that its last
  // bytes begin but do not finish.
  std::size_t complete_sequences(std::size_t filled) const {
    const char* const buffer = buffer_.get();
    std::size_t start = filled;
    std::size_t continuations = 0;
    while (start > 0 && continuations < 3 && (static_cast<unsigned char>(buffer[start - 1]) & 0xC0) == 0x80) {
      --start;
      ++continuations;
    }
    if (start == 0) return filled;
    const auto lead = static_cast<unsigned char>(buffer[start - 1]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return length > continuations + 1 ? start - 1 : filled;
  }

  static constexpr std::size_t kSize = 64 * 1024;

  const TextReader& reader_;
  std::unique_ptr<char[]> buffer_;
  std::size_t unchecked_from_ = 0;
  std::size_t unchecked_ = 0;
  bool at_end_ = false;
  bool utf8_ = true;
  std::optional<Error> read_error_;
};

}  // namespace

Result<Json> parse_json_strict(std::string_view text) {
  Json result;
  nlohmann::detail::json_sax_dom_parser<Json> builder(result, /*allow_exceptions=*/true);
  auto parsed = parse_strictly(text, builder);
  if (!parsed) return parsed.error();
  return result;
}

Result<void> parse_json_events(std::string_view text, JsonEvents& events) {
  EventSink sink(events);
  return parse_strictly(text, sink);
}

StreamedJsonParse parse_json_events(const TextReader& reader, JsonEvents& events) {
  CheckedTextBuffer buffer(reader);
  std::istream stream(&buffer);
  EventSink sink(events);
  auto parsed = parse_strictly(stream, sink);
  buffer.read_to_end();
  return {buffer.outcome(), std::move(parsed)};
}

Error json_not_an_object(std::string_view where, std::string_view found) {
  return Error(trf("{}: expected an object, found {}", where, tr(found)));
}

Error json_missing_key(std::string_view where, std::string_view key) {
  return Error(trf("{}: missing key \"{}\"", where, key));
}

Error json_wrong_type(std::string_view where, std::string_view key, std::string_view expected, std::string_view found) {
  return Error(trf("{}: key \"{}\" must be {}, found {}", where, key, tr(expected), tr(found)));
}

// The names nlohmann gives the other types, for the catalogs: messages
// translate every type name when they show it.
[[maybe_unused]] constexpr const char* kLibraryTypeNames[] = {N_("null"),   N_("object"),  N_("array"),
                                                              N_("string"), N_("boolean"), N_("number")};

std::string json_type_name(const Json& value) {
  if (value.is_number_unsigned()) return N_("unsigned number");
  if (value.is_number_integer()) return N_("negative number");
  if (value.is_number_float()) return N_("fractional number");
  return value.type_name();
}

Result<const Json*> json_field(const Json& object, std::string_view key, std::string_view where) {
  if (!object.is_object()) return json_not_an_object(where, json_type_name(object));
  const auto found = object.find(key);
  if (found == object.end()) return json_missing_key(where, key);
  return &*found;
}

namespace {

Error wrong_type(std::string_view where, std::string_view key, std::string_view expected, const Json& value) {
  return json_wrong_type(where, key, expected, json_type_name(value));
}

}  // namespace

Result<std::string> json_string_field(const Json& object, std::string_view key, std::string_view where) {
  auto field = json_field(object, key, where);
  if (!field) return field.error();
  if (!(*field)->is_string()) return wrong_type(where, key, kJsonExpectString, **field);
  return (*field)->get<std::string>();
}

Result<std::uint64_t> json_u64_field(const Json& object, std::string_view key, std::string_view where) {
  auto field = json_field(object, key, where);
  if (!field) return field.error();
  // Checked first: get<uint64_t>() would quietly convert -1, 1.5 and true.
  if (!(*field)->is_number_unsigned()) return wrong_type(where, key, kJsonExpectU64, **field);
  return (*field)->get<std::uint64_t>();
}

Result<const Json*> json_array_field(const Json& object, std::string_view key, std::string_view where) {
  auto field = json_field(object, key, where);
  if (!field) return field.error();
  if (!(*field)->is_array()) return wrong_type(where, key, kJsonExpectArray, **field);
  return *field;
}

Result<std::optional<bool>> json_optional_bool(const Json& object, std::string_view key, std::string_view where,
                                               bool null_allowed) {
  const auto found = object.find(key);
  if (found == object.end() || (null_allowed && found->is_null())) return std::optional<bool>();
  if (!found->is_boolean()) return wrong_type(where, key, null_allowed ? N_("a boolean or null") : N_("a boolean"), *found);
  return std::optional<bool>(found->get<bool>());
}

Result<std::optional<std::string>> json_optional_string(const Json& object, std::string_view key,
                                                        std::string_view where, bool null_allowed) {
  const auto found = object.find(key);
  if (found == object.end() || (null_allowed && found->is_null())) return std::optional<std::string>();
  if (!found->is_string()) return wrong_type(where, key, null_allowed ? N_("a string or null") : N_("a string"), *found);
  return std::optional<std::string>(found->get<std::string>());
}

}  // namespace korvo
