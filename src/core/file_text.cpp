#include "core/file_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/unique_fd.h"

namespace ftmd {
namespace {

UniqueFd open_for_reading(const char* path) { return UniqueFd(::open(path, O_RDONLY | O_CLOEXEC)); }

// Reads until `max` bytes, end of file, an error, or (when `stop_at_lf`) the
// first line feed.
std::string read_up_to(int fd, std::size_t max, bool stop_at_lf) {
  std::string text(max, '\0');
  std::size_t used = 0;
  while (used < max) {
    ssize_t n = ::read(fd, text.data() + used, max - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::size_t before = used;
    used += static_cast<std::size_t>(n);
    if (!stop_at_lf) break;  // one read, as kernel attribute files are read
    if (std::memchr(text.data() + before, '\n', used - before) != nullptr) break;
  }
  text.resize(used);
  return text;
}

void cut_at_nul(std::string& text) {
  auto nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
}

}  // namespace

bool path_exists(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0;
}

std::optional<std::string> read_first_line(const char* path, std::size_t max_chars) {
  UniqueFd fd = open_for_reading(path);
  if (!fd) return std::nullopt;
  std::string text = read_up_to(fd.get(), max_chars, true);
  auto lf = text.find('\n');
  if (lf != std::string::npos) text.resize(lf + 1);
  cut_at_nul(text);
  return text;
}

std::optional<std::string> read_head(const char* path, std::size_t max_bytes) {
  UniqueFd fd = open_for_reading(path);
  if (!fd) return std::nullopt;
  std::string text = read_up_to(fd.get(), max_bytes, false);
  cut_at_nul(text);
  return text;
}

std::optional<std::string> read_rest(int fd) {
  std::string out;
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return out;
    out.append(chunk, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> read_whole_file(const char* path) {
  UniqueFd fd = open_for_reading(path);
  if (!fd) return std::nullopt;
  return read_rest(fd.get());
}

}  // namespace ftmd
