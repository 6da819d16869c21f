#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace ftmd {

// The reply text a handler leaves for the test PC: 1024 bytes, always
// NUL-terminated, cleared by the main loop before every command. Writes that
// would not fit are cut, never overflow.
class ReplyBuffer {
 public:
  static constexpr std::size_t kCapacity = 1024;

  void clear() { buf_.fill('\0'); }

  // Replaces the whole text.
  void set(std::string_view text);
  // Replaces the whole text with a printf-style format.
  void printf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Appends to the current text.
  void append(std::string_view text);

  std::string_view text() const;
  bool empty() const { return buf_[0] == '\0'; }

  // Raw access for code that fills the buffer itself; it must keep a NUL in it.
  char* data() { return buf_.data(); }
  const char* c_str() const { return buf_.data(); }

 private:
  std::array<char, kCapacity> buf_{};
};

}  // namespace ftmd
