#include "pc/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/unique_fd.h"

namespace ftmd::pc {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void append_hex(std::string& out, unsigned char byte) {
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0x0f];
}

}  // namespace

void append_byte_escape(std::string& out, unsigned char byte) {
  out += "\\x";
  append_hex(out, byte);
}

std::string escape_reply(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char ch : text) {
    auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (byte >= 0x20 && byte < 0x7f) {
          out += ch;
        } else {
          append_byte_escape(out, byte);
        }
    }
  }
  return out;
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte >= 0x20 && byte < 0x7f) {
          out += ch;
        } else {
          out += "\\u00";
          append_hex(out, byte);
        }
    }
  }
  out += '"';
  return out;
}

std::string hex_bytes(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) append_hex(out, b);
  return out;
}

std::optional<std::string> read_text_file(const std::string& path, std::string_view what,
                                          std::string* error) {
  auto failed = [&](int err) {
    if (error) *error = path + ": cannot read the " + std::string(what) + ": " + std::strerror(err);
    return std::nullopt;
  };
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return failed(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return failed(errno);
  if (S_ISDIR(st.st_mode)) return failed(EISDIR);
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(errno);
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace ftmd::pc
