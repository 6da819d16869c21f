#include "vboard/fuse_server.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vboard {
namespace {

HwTree& tree_of(fuse_req_t req) { return *static_cast<HwTree*>(fuse_req_userdata(req)); }

// Files that change (LED class dirs, exported GPIOs, trigger state) must be
// looked up again on every access; only stable directories may be cached.
constexpr double kStableTimeout = 86400.0;

struct stat to_stat(const HwTree::Stat& s) {
  struct stat st {};
  st.st_ino = s.ino;
  st.st_nlink = s.kind == HwTree::Kind::kDir ? 2 : 1;
  switch (s.kind) {
    case HwTree::Kind::kDir:
      st.st_mode = S_IFDIR | s.mode;
      break;
    case HwTree::Kind::kSymlink:
      st.st_mode = S_IFLNK | s.mode;
      break;
    // Like sysfs: every attribute claims one page.
    case HwTree::Kind::kAttribute:
      st.st_mode = S_IFREG | s.mode;
      st.st_size = 4096;
      break;
  }
  st.st_blksize = 4096;
  return st;
}

void reply_entry(fuse_req_t req, const HwTree::Stat& s) {
  fuse_entry_param e{};
  e.ino = s.ino;
  e.attr = to_stat(s);
  e.attr_timeout = s.stable ? kStableTimeout : 0.0;
  e.entry_timeout = s.stable ? kStableTimeout : 0.0;
  fuse_reply_entry(req, &e);
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  auto s = tree_of(req).lookup(parent, name);
  if (!s) {
    // A negative entry must not be cached either: gpioN appears on export.
    fuse_entry_param e{};
    e.ino = 0;
    fuse_reply_entry(req, &e);
    return;
  }
  reply_entry(req, *s);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  auto s = tree_of(req).stat(ino);
  if (!s) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  struct stat st = to_stat(*s);
  fuse_reply_attr(req, &st, s->stable ? kStableTimeout : 0.0);
}

// Truncation (a shell's "> file") means nothing to an attribute.
void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat*, int, fuse_file_info* fi) {
  op_getattr(req, ino, fi);
}

void op_readlink(fuse_req_t req, fuse_ino_t ino) {
  auto target = tree_of(req).readlink(ino);
  if (!target) {
    fuse_reply_err(req, EINVAL);
    return;
  }
  fuse_reply_readlink(req, target->c_str());
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  int acc = fi->flags & O_ACCMODE;
  int err = tree_of(req).open(ino, acc != O_WRONLY, acc != O_RDONLY);
  if (err) {
    fuse_reply_err(req, err);
    return;
  }
  // Every read and write goes to the tree, whatever size was reported.
  fi->direct_io = 1;
  fi->keep_cache = 0;
  fi->nonseekable = 0;
  fuse_reply_open(req, fi);
}

void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  std::string content;
  int err = tree_of(req).read_content(ino, content);
  if (err) {
    fuse_reply_err(req, err);
    return;
  }
  if (off < 0 || static_cast<std::size_t>(off) >= content.size()) {
    fuse_reply_buf(req, nullptr, 0);
    return;
  }
  std::size_t n = std::min(size, content.size() - static_cast<std::size_t>(off));
  fuse_reply_buf(req, content.data() + off, n);
}

void op_write(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t, fuse_file_info*) {
  int err = tree_of(req).write(ino, std::string_view(buf, size));
  if (err) {
    fuse_reply_err(req, err);
    return;
  }
  fuse_reply_write(req, size);
}

void op_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  auto s = tree_of(req).stat(ino);
  if (!s) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  if (s->kind != HwTree::Kind::kDir) {
    fuse_reply_err(req, ENOTDIR);
    return;
  }
  fuse_reply_open(req, fi);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  auto entries = tree_of(req).list(ino);
  std::string buf(size, '\0');
  std::size_t used = 0;
  // Offsets: 1 ".", 2 "..", then entries from 3 on.
  std::vector<std::pair<std::string, struct stat>> all;
  struct stat dir {};
  dir.st_ino = ino;
  dir.st_mode = S_IFDIR;
  all.emplace_back(".", dir);
  all.emplace_back("..", dir);
  for (auto& [name, s] : entries) all.emplace_back(name, to_stat(s));
  for (std::size_t i = static_cast<std::size_t>(off); i < all.size(); ++i) {
    std::size_t need = fuse_add_direntry(req, nullptr, 0, all[i].first.c_str(), nullptr, 0);
    if (used + need > size) break;
    fuse_add_direntry(req, buf.data() + used, size - used, all[i].first.c_str(), &all[i].second,
                      static_cast<off_t>(i + 1));
    used += need;
  }
  fuse_reply_buf(req, buf.data(), used);
}

void op_access(fuse_req_t req, fuse_ino_t ino, int) {
  fuse_reply_err(req, tree_of(req).stat(ino) ? 0 : ENOENT);
}

void op_flush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }
void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

ssize_t io_read(int fd, void* buf, size_t len, void*) { return ::read(fd, buf, len); }
ssize_t io_writev(int fd, iovec* iov, int count, void*) { return ::writev(fd, iov, count); }

void quiet_log(fuse_log_level, const char*, va_list) {}

}  // namespace

FuseServer::FuseServer(HwTree& tree, ftmd::UniqueFd fuse_fd) : tree_(tree) {
  static fuse_lowlevel_ops ops = [] {
    fuse_lowlevel_ops o{};
    o.lookup = op_lookup;
    o.getattr = op_getattr;
    o.setattr = op_setattr;
    o.readlink = op_readlink;
    o.open = op_open;
    o.read = op_read;
    o.write = op_write;
    o.flush = op_flush;
    o.release = op_release;
    o.opendir = op_opendir;
    o.readdir = op_readdir;
    o.access = op_access;
    return o;
  }();
  fuse_set_log_func(quiet_log);
  char name[] = "vboard";
  char* argv[] = {name, nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, argv);
  session_.reset(fuse_session_new(&args, &ops, sizeof(ops), &tree_));
  fuse_opt_free_args(&args);
  if (!session_ || !wake_.valid()) throw std::runtime_error("fuse_session_new failed");
  static const fuse_custom_io io{io_writev, io_read, nullptr, nullptr};
  if (fuse_session_custom_io(session_.get(), &io, fuse_fd.get()) != 0)
    throw std::runtime_error("fuse_session_custom_io failed");
  [[maybe_unused]] int owned_by_session = fuse_fd.release();
  thread_ = std::jthread([this](const std::stop_token& st) { loop(st); });
}

FuseServer::~FuseServer() { stop(); }

void FuseServer::stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  wake_.signal();
  thread_.join();
}

void FuseServer::loop(const std::stop_token& stop) {
  fuse_buf buf{};
  int fd = fuse_session_fd(session_.get());
  while (!stop.stop_requested() && !fuse_session_exited(session_.get())) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents) break;
    if (p[0].revents & (POLLERR | POLLHUP)) break;
    int res = fuse_session_receive_buf(session_.get(), &buf);
    if (res == -EINTR || res == -EAGAIN) continue;
    if (res <= 0) break;  // the mount went away with the board
    fuse_session_process_buf(session_.get(), &buf);
  }
  std::free(buf.mem);
}

}  // namespace vboard
