#include "core/reply_buffer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace ftmd {

void ReplyBuffer::set(std::string_view text) {
  clear();
  append(text);
}

void ReplyBuffer::printf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf_.data(), buf_.size(), fmt, args);
  va_end(args);
}

void ReplyBuffer::append(std::string_view text) {
  std::size_t used = std::strlen(buf_.data());
  std::size_t room = buf_.size() - 1 - used;
  std::size_t n = text.size() < room ? text.size() : room;
  std::memcpy(buf_.data() + used, text.data(), n);
  buf_[used + n] = '\0';
}

std::string_view ReplyBuffer::text() const { return std::string_view(buf_.data()); }

}  // namespace ftmd
