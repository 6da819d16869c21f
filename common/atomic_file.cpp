#include "common/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "common/unique_fd.h"

namespace ftmd {
namespace {

// Removes the temp file unless the rename took it over.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  ~TempFileGuard() {
    if (armed_) ::unlink(path_.c_str());
  }
  void disarm() { armed_ = false; }

 private:
  std::string path_;
  bool armed_ = true;
};

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

Status write_file_atomic(const std::string& path, std::string_view content, mode_t new_mode) {
  const std::string::size_type slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

  mode_t mode = new_mode;
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;

  std::string temp = dir + "/." + name + ".XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return Status::from_errno("cannot create " + temp);
  TempFileGuard guard(temp);
  if (::fchmod(fd.get(), mode) != 0 || !write_all(fd.get(), content) || ::fsync(fd.get()) != 0)
    return Status::from_errno("cannot write " + temp);
  // close() may report a write the file system could not complete.
  if (::close(fd.release()) != 0) return Status::from_errno("cannot write " + temp);
  if (::rename(temp.c_str(), path.c_str()) != 0)
    return Status::from_errno("cannot rename " + temp + " to " + path);
  guard.disarm();

  UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd || ::fsync(dir_fd.get()) != 0) return Status::from_errno("cannot sync directory " + dir);
  return {};
}

}  // namespace ftmd
