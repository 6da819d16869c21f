#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "common/status.h"
#include "common/unique_fd.h"

namespace ftmd {

// A replacement of the file at `path`, in two steps, so that a reader, or a
// power cut, finds either the old file or the new one whole, never a mix:
//
//   open():   a temp file with a unique name in the same directory is created
//             (the step that shows whether the directory takes a new file);
//   commit(): the content is written, the temp file given its mode, fsynced
//             and closed (close errors count), renamed over `path`, and the
//             directory fsynced so the rename itself is on disk.
//
// A file that already exists when the temp file is made keeps its permission
// bits; a new one gets `new_mode`. Until a commit succeeded the temp file is
// removed again (on a failed step, or when the object goes), and `path` is
// untouched (unless only the directory sync failed: then it holds the new
// text, not yet known to be durable). A Status names the step and errno, e.g.
// "cannot write /etc/x/.lan4.network.Ab12Cd: No space left on device".
// Move-only; one thread at a time.
class AtomicFile {
 public:
  explicit AtomicFile(std::string path, mode_t new_mode = 0644);
  AtomicFile(AtomicFile&& other) noexcept;
  AtomicFile& operator=(AtomicFile&&) = delete;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  // Creates the temp file; a second call does nothing.
  Status open();
  // Replaces `path` with `content`; opens first when open() was not called.
  // Once only.
  Status commit(std::string_view content);

 private:
  std::string path_;
  mode_t mode_;
  std::string temp_;  // empty until open() succeeded, and again once renamed
  UniqueFd fd_;
};

// The two steps at once: replaces the file at `path` with `content`.
Status write_file_atomic(const std::string& path, std::string_view content, mode_t new_mode = 0644);

}  // namespace ftmd
