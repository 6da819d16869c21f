#pragma once

#include <string>
#include <utility>
#include <variant>

namespace ftmd::line {

// How a caller must treat a failure of the line database.
enum class ErrorKind {
  kRefused,      // a rule of the line says no: empty pool, overlapping block, duplicate, unknown or void unit
  kDenied,       // the database role may not do this (a station role importing)
  kSchema,       // the schema is missing, older than this program (run init) or newer (use a newer program)
  kUnreachable,  // the database could not be reached: nothing was done
  kInDoubt,      // the connection broke during the operation: it may or may not have been done
  kRetry,        // the engine rolled the transaction back (serialization, deadlock, busy): nothing was done
  kFailed,       // anything else the database or the system said
};

struct Error {
  ErrorKind kind = ErrorKind::kFailed;
  std::string message;  // names what was refused or failed, ready for "ftmline: <message>"

  // The database cannot be used now; a station keeps its records in the outbox.
  bool unavailable() const { return kind == ErrorKind::kUnreachable || kind == ErrorKind::kInDoubt; }
};

inline Error refused(std::string message) { return {ErrorKind::kRefused, std::move(message)}; }

// Success of an operation that gives nothing back.
struct Done {};

// A value or the Error that prevented it. No exception leaves the line
// database's interface: every failure is one of these.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}      // NOLINT(google-explicit-constructor)
  Result(Error error) : value_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return std::holds_alternative<T>(value_); }
  explicit operator bool() const { return ok(); }

  // Only when ok(). On a temporary Result the value is moved out, so
  // `for (auto& x : *db.levels())` iterates a value that lives for the loop.
  T& value() & { return std::get<T>(value_); }
  const T& value() const& { return std::get<T>(value_); }
  T value() && { return std::get<T>(std::move(value_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T operator*() && { return std::move(*this).value(); }

  // Only when !ok().
  const Error& error() const { return std::get<Error>(value_); }

 private:
  std::variant<T, Error> value_;
};

}  // namespace ftmd::line
