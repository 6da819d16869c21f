#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "common/status.h"

namespace ftmd {

// Replaces the file at `path` with `content` so that a reader, or a power cut,
// finds either the old file or the new one whole, never a mix: a temp file
// with a unique name in the same directory, written, given its mode, fsynced
// and closed (close errors count), renamed over `path`, then the directory
// fsynced so the rename itself is on disk. A file that already exists keeps its
// permission bits; a new one gets `new_mode`. On any failure the temp file is
// removed, `path` is untouched (unless only the directory sync failed: then it
// holds the new text, not yet known to be durable), and the Status names the
// step and errno, e.g. "cannot write /etc/x/.lan4.network.Ab12Cd: No space left
// on device".
Status write_file_atomic(const std::string& path, std::string_view content, mode_t new_mode = 0644);

}  // namespace ftmd
