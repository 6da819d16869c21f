#include "vboard/pc_usb_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/c_handle.h"
#include "common/unique_fd.h"

namespace vboard {
namespace {

constexpr char kDev[] = "/dev";
constexpr char kSerial[] = "/dev/serial";

ftmd::Status fail(const std::string& what) {
  return ftmd::Status::from_errno("cannot give the program the port's USB names: " + what);
}

using Dir = ftmd::CHandle<DIR, ::closedir>;

// Puts a copy of the mount at `name` in the detached tree `tree` (with the
// mounts below it) onto `target`.
bool graft(int tree, const char* name, const std::string& target) {
  ftmd::UniqueFd sub(
      static_cast<int>(::open_tree(tree, name, OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE)));
  return sub && ::move_mount(sub.get(), "", AT_FDCWD, target.c_str(), MOVE_MOUNT_F_EMPTY_PATH) == 0;
}

// A /dev like the host's, with room for serial/: a tmpfs with each entry of
// the host's /dev bound (devices, sockets, directories with their mounts)
// or copied (links) into it.
ftmd::Status rebuild_dev() {
  ftmd::UniqueFd tree(
      static_cast<int>(::open_tree(AT_FDCWD, kDev, OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE)));
  if (!tree) return fail("cannot copy /dev");
  std::vector<std::string> names;
  {
    Dir dir(::fdopendir(::openat(tree.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    if (!dir) return fail("cannot list /dev");
    while (dirent* e = ::readdir(dir.get()))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.emplace_back(e->d_name);
  }
  if (::mount("vboard-pc-dev", kDev, "tmpfs", MS_NOSUID, "mode=0755") != 0)
    return fail("cannot mount a /dev");
  for (const auto& name : names) {
    struct stat st {};
    if (::fstatat(tree.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const std::string target = std::string(kDev) + "/" + name;
    if (S_ISLNK(st.st_mode)) {
      char link[PATH_MAX];
      ssize_t n = ::readlinkat(tree.get(), name.c_str(), link, sizeof(link) - 1);
      if (n < 0) continue;
      link[n] = '\0';
      [[maybe_unused]] int r = ::symlink(link, target.c_str());
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      if (::mkdir(target.c_str(), st.st_mode & 07777) != 0) continue;
    } else {
      ftmd::UniqueFd placeholder(::open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
      if (!placeholder) continue;
    }
    // An entry that cannot be bound is left out; the program finds the rest.
    graft(tree.get(), name.c_str(), target);
  }
  return {};
}

}  // namespace

ftmd::Status enter_pc_usb_names(const std::string& names_dir) {
  if (::unshare(CLONE_NEWNS) != 0) return fail("cannot make a mount namespace");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return fail("cannot make mounts private");
  struct stat st {};
  if (::stat(kSerial, &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (ftmd::Status rebuilt = rebuild_dev(); !rebuilt) return rebuilt;
    if (::mkdir(kSerial, 0755) != 0) return fail("cannot make /dev/serial");
  }
  if (::mount(names_dir.c_str(), kSerial, nullptr, MS_BIND, nullptr) != 0)
    return fail("cannot bind /dev/serial");
  return {};
}

}  // namespace vboard
