// Error values for the whole core. No core function throws on purpose: each
// returns a Status or a Result<T>, and the Python binding turns the error into
// exactly one exception, chosen by the error's code.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <variant>

namespace halcyra {

enum class ErrorCode {
  kOs,               // a file-system call failed; carries errno
  kLimit,            // a writer's size or format limit, or a writer precondition
  kInvalidArgument,  // a caller-supplied argument failed a check
  kConsumed,         // a builder was used after its final call
  kCore,             // a CoreError from a format reader or byte source
  kFst,              // an FstError from the FST builder
  kVector,           // a VectorBuildError from the vector trainer or writer
  kInternal,         // an invariant the code treats as impossible
  kInterrupted,      // the installed interrupt check asked the call to stop
};

class Error {
 public:
  // "<the system's description of errnum> (os error N)".
  static Error Os(int errnum) {
    return Error(ErrorCode::kOs,
                 std::system_category().message(errnum) + " (os error " + std::to_string(errnum) + ")",
                 errnum);
  }
  static Error Limit(std::string message) { return Error(ErrorCode::kLimit, std::move(message)); }
  static Error InvalidArgument(std::string message) {
    return Error(ErrorCode::kInvalidArgument, std::move(message));
  }
  static Error Consumed(std::string message) { return Error(ErrorCode::kConsumed, std::move(message)); }
  static Error Core(std::string message) { return Error(ErrorCode::kCore, std::move(message)); }
  static Error Fst(std::string message) { return Error(ErrorCode::kFst, std::move(message)); }
  static Error Vector(std::string message) { return Error(ErrorCode::kVector, std::move(message)); }
  static Error Internal(std::string message) { return Error(ErrorCode::kInternal, std::move(message)); }
  static Error Interrupted() { return Error(ErrorCode::kInterrupted, "interrupted"); }

  ErrorCode code() const { return code_; }
  const std::string& message() const { return message_; }
  int os_errno() const { return os_errno_; }

 private:
  Error(ErrorCode code, std::string message, int os_errno = 0)
      : code_(code), message_(std::move(message)), os_errno_(os_errno) {}

  ErrorCode code_;
  std::string message_;
  int os_errno_;
};

// Either a value or an Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}      // NOLINT: implicit on purpose
  Result(Error error) : v_(std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const { assert(!ok()); return std::get<1>(v_); }
  Error&& take_error() { assert(!ok()); return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

// Success or an Error.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)) {}  // NOLINT

  static Status Ok() { return Status(); }
  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Error& error() const { assert(!ok()); return *error_; }
  Error&& take_error() { assert(!ok()); return std::move(*error_); }

 private:
  std::optional<Error> error_;
};

}  // namespace halcyra

// Propagates a failed Status or Result out of the enclosing function.
#define HALCYRA_RETURN_IF_ERROR(expr)                   \
  do {                                                  \
    auto&& halcyra_status_ = (expr);                    \
    if (!halcyra_status_.ok()) return halcyra_status_.take_error(); \
  } while (0)
