#pragma once

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace ftmd {

// The outcome of an infrastructure step (a file write, a pipe, a port): success,
// or one message that names what failed and why, ready for a log line or an
// error reply on the PC side. This is the one result type below the command
// handlers; handlers keep the small results the device defines for them.
class [[nodiscard]] Status {
 public:
  Status() = default;  // success

  static Status failure(std::string message) {
    Status s;
    s.message_ = std::move(message);
    return s;
  }
  // "`what`: <strerror(err)>", e.g. "cannot create /etc/x.tmp: Permission denied".
  static Status from_errno(std::string_view what, int err = errno) {
    return failure(std::string(what) + ": " + std::strerror(err));
  }

  bool ok() const { return !message_; }
  explicit operator bool() const { return ok(); }
  // Empty on success.
  const std::string& message() const {
    static const std::string kNone;
    return message_ ? *message_ : kNone;
  }

 private:
  std::optional<std::string> message_;
};

}  // namespace ftmd
