#include "common/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace ftmd {
namespace {

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

std::string directory_of(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

AtomicFile::AtomicFile(std::string path, mode_t new_mode) : path_(std::move(path)), mode_(new_mode) {}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : path_(std::move(other.path_)),
      mode_(other.mode_),
      temp_(std::exchange(other.temp_, {})),
      fd_(std::move(other.fd_)) {}

AtomicFile::~AtomicFile() {
  fd_.reset();
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

Status AtomicFile::open() {
  if (!temp_.empty()) return {};
  const std::string::size_type slash = path_.rfind('/');
  const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  struct stat old {};
  if (::stat(path_.c_str(), &old) == 0) mode_ = old.st_mode & 07777;

  std::string temp = directory_of(path_) + "/." + name + ".XXXXXX";
  fd_.reset(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd_) return Status::from_errno("cannot create " + temp);
  temp_ = std::move(temp);
  return {};
}

Status AtomicFile::commit(std::string_view content) {
  if (Status opened = open(); !opened) return opened;
  auto give_up = [this](const std::string& what) {
    Status failed = Status::from_errno(what);
    fd_.reset();
    ::unlink(temp_.c_str());
    temp_.clear();
    return failed;
  };
  if (::fchmod(fd_.get(), mode_) != 0 || !write_all(fd_.get(), content) || ::fsync(fd_.get()) != 0)
    return give_up("cannot write " + temp_);
  // close() may report a write the file system could not complete.
  if (::close(fd_.release()) != 0) return give_up("cannot write " + temp_);
  if (::rename(temp_.c_str(), path_.c_str()) != 0) return give_up("cannot rename " + temp_ + " to " + path_);
  temp_.clear();

  const std::string dir = directory_of(path_);
  UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd || ::fsync(dir_fd.get()) != 0) return Status::from_errno("cannot sync directory " + dir);
  return {};
}

Status write_file_atomic(const std::string& path, std::string_view content, mode_t new_mode) {
  AtomicFile file(path, new_mode);
  return file.commit(content);
}

}  // namespace ftmd
