#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Small readers for the files the daemon looks at: kernel attribute files,
// the tools' scratch files, release and unit files.
namespace ftmd {

// True when `path` names something (stat(2) succeeds).
bool path_exists(const char* path);

// The first line of `path` as a line reader with a buffer of `max_chars`+1
// bytes sees it: at most `max_chars` bytes, up to and including the first line
// feed, cut at a NUL byte. Empty when the file is empty or the read fails;
// nothing when the file cannot be opened.
std::optional<std::string> read_first_line(const char* path, std::size_t max_chars);

// The text of `path` as one read of at most `max_bytes` bytes (the way kernel
// and release files are read), cut at a NUL byte; nothing when the file cannot
// be opened.
std::optional<std::string> read_head(const char* path, std::size_t max_bytes);

// Everything that is left to read on `fd`; nothing when a read fails.
std::optional<std::string> read_rest(int fd);

// The whole content of `path`; nothing when it cannot be opened or read.
std::optional<std::string> read_whole_file(const char* path);

}  // namespace ftmd
