#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace korvo {

// What a caller may do about a failure, beyond showing it. A wrapping
// error keeps its cause's kind.
enum class ErrorKind {
  kOther,
  kWrongKey,    // the key did not open the first sealed record: another password may
  kNoSpace,     // a disk, or the user's quota on it, is full (or would be)
  kDiskFailed,  // a write failed on a read-only file system or with an I/O error
  kRefused,     // an answer given ahead of time does not fit: the run was not tried
  kTempFolder,  // the temporary folder, or a private folder in it, cannot be used
  kDamaged,     // a sealed record after the first did not open: only what it holds is lost
};

// A message with an optional cause. Callers add their own message above a
// callee's error instead of re-formatting it.
class Error {
 public:
  explicit Error(std::string message, ErrorKind kind = ErrorKind::kOther) : message_(std::move(message)), kind_(kind) {}
  Error(std::string message, Error cause)
      : message_(std::move(message)), kind_(cause.kind()), cause_(std::make_shared<const Error>(std::move(cause))) {}
  Error(std::string message, Error cause, ErrorKind kind)
      : message_(std::move(message)), kind_(kind), cause_(std::make_shared<const Error>(std::move(cause))) {}

  const std::string& message() const { return message_; }
  const Error* cause() const { return cause_.get(); }
  ErrorKind kind() const { return kind_; }
  // Space or a failing disk: nothing about the backup or its password.
  bool is_disk_problem() const { return kind_ == ErrorKind::kNoSpace || kind_ == ErrorKind::kDiskFailed; }

  // One line: the outermost message first, each cause after ": ".
  std::string render() const;

 private:
  std::string message_;
  ErrorKind kind_ = ErrorKind::kOther;
  std::shared_ptr<const Error> cause_;
};

// The operating system's text for an errno value, as an Error without cause;
// a full disk or quota, a read-only file system and an I/O error get their kind.
Error os_error(int errnum);
// The same under the file or program it concerns: "{subject}: {text}". For
// failures whose callers do not already name it in their own message.
Error os_error(int errnum, std::string_view subject);

// Returns the error of a failed Result from the enclosing function.
#define KORVO_RETURN_IF_ERROR(expr)            \
  do {                                         \
    if (auto korvo_result_ = (expr); !korvo_result_) \
      return std::move(korvo_result_).error(); \
  } while (false)

// Either a value or an Error.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

struct Ok {};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Ok) {}
  Result(Error error) : error_(std::make_shared<const Error>(std::move(error))) {}

  bool ok() const { return error_ == nullptr; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return *error_; }

 private:
  std::shared_ptr<const Error> error_;
};

}  // namespace korvo
