#include "vboard/sysfs.h"

#include <cerrno>
#include <cstdlib>

namespace vboard {
namespace {

std::string parent_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string child_path(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

}  // namespace

bool parse_kernel_number(std::string_view bytes, int base, long& value) {
  std::string text(bytes.substr(0, bytes.find('\0')));
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty() || text[0] == ' ' || text[0] == '\t' || text[0] == '\n') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text.c_str(), &end, base);
  return errno == 0 && end != text.c_str() && *end == '\0';
}

HwTree::HwTree() { add_node("/", Node{.kind = Kind::kDir, .stable = true}); }

std::uint64_t HwTree::ino_for(const std::string& path) {
  auto it = inos_.find(path);
  if (it != inos_.end()) return it->second;
  std::uint64_t ino = next_ino_++;
  inos_[path] = ino;
  paths_[ino] = path;
  return ino;
}

void HwTree::add_node(const std::string& path, Node node) {
  std::lock_guard lock(mutex_);
  if (path != "/" && !nodes_.count(parent_of(path))) add_dir(parent_of(path));
  node.ino = ino_for(path);
  nodes_[path] = std::move(node);
}

void HwTree::add_dir(const std::string& path, bool stable) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(path);
  if (it != nodes_.end() && it->second.kind == Kind::kDir) {
    it->second.stable |= stable;
    return;
  }
  add_node(path, Node{.kind = Kind::kDir, .stable = stable});
}

void HwTree::add_attribute(const std::string& path, Attribute attribute) {
  add_node(path, Node{.kind = Kind::kAttribute, .attribute = std::move(attribute)});
}

void HwTree::add_value(const std::string& path, std::string value, bool writable) {
  std::lock_guard lock(mutex_);
  values_[path] = std::move(value);
  Attribute a;
  a.read = [this, path] {
    std::lock_guard l(mutex_);
    return values_[path];
  };
  if (writable) {
    a.write = [this, path](std::string_view bytes) {
      std::lock_guard l(mutex_);
      values_[path] = std::string(bytes);
      return 0;
    };
  }
  a.mode = writable ? 0644 : 0444;
  add_attribute(path, std::move(a));
}

void HwTree::add_symlink(const std::string& path, std::string target) {
  add_node(path, Node{.kind = Kind::kSymlink, .symlink = std::move(target)});
}

void HwTree::remove(const std::string& path) {
  std::lock_guard lock(mutex_);
  nodes_.erase(path);
  std::string prefix = path + "/";
  for (auto it = nodes_.lower_bound(prefix); it != nodes_.end() && it->first.starts_with(prefix);)
    it = nodes_.erase(it);
}

bool HwTree::exists(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return nodes_.count(path) != 0;
}

void HwTree::set_value(const std::string& path, std::string value) {
  std::lock_guard lock(mutex_);
  values_[path] = std::move(value);
}

std::optional<std::string> HwTree::read(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(path);
  if (it == nodes_.end() || it->second.kind != Kind::kAttribute || !it->second.attribute.read)
    return std::nullopt;
  return it->second.attribute.read();
}

void HwTree::set_fault(const std::string& path, Fault fault, int error) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return;
  it->second.fault = fault;
  it->second.fault_error = error;
}

void HwTree::clear_faults() {
  std::lock_guard lock(mutex_);
  for (auto& [path, node] : nodes_) node.fault = Fault::kNone;
}

std::size_t HwTree::write_mark() const {
  std::lock_guard lock(mutex_);
  return writes_.size();
}

std::vector<HwTree::WriteRecord> HwTree::writes(std::size_t since) const {
  std::lock_guard lock(mutex_);
  if (since >= writes_.size()) return {};
  return {writes_.begin() + static_cast<std::ptrdiff_t>(since), writes_.end()};
}

std::vector<HwTree::WriteRecord> HwTree::writes_to(const std::string& path, std::size_t since) const {
  std::vector<WriteRecord> out;
  for (auto& w : writes(since))
    if (w.path == path) out.push_back(w);
  return out;
}

const HwTree::Node* HwTree::find(std::uint64_t ino, std::string* path) const {
  auto p = paths_.find(ino);
  if (p == paths_.end()) return nullptr;
  auto it = nodes_.find(p->second);
  if (it == nodes_.end()) return nullptr;
  if (path) *path = p->second;
  return &it->second;
}

HwTree::Stat HwTree::stat_of(const Node& node) const {
  Stat s{.ino = node.ino, .kind = node.kind, .stable = node.stable};
  switch (node.kind) {
    case Kind::kDir:
      s.mode = 0755;
      break;
    case Kind::kSymlink:
      s.mode = 0777;
      break;
    case Kind::kAttribute:
      s.mode = node.attribute.mode;
      break;
  }
  return s;
}

std::optional<HwTree::Stat> HwTree::stat(std::uint64_t ino) const {
  std::lock_guard lock(mutex_);
  const Node* n = find(ino);
  if (!n) return std::nullopt;
  return stat_of(*n);
}

std::optional<HwTree::Stat> HwTree::lookup(std::uint64_t parent, const std::string& name) const {
  std::lock_guard lock(mutex_);
  std::string dir;
  const Node* p = find(parent, &dir);
  if (!p || p->kind != Kind::kDir) return std::nullopt;
  auto it = nodes_.find(child_path(dir, name));
  if (it == nodes_.end()) return std::nullopt;
  return stat_of(it->second);
}

std::vector<std::pair<std::string, HwTree::Stat>> HwTree::list(std::uint64_t dir_ino) const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::string, Stat>> out;
  std::string dir;
  const Node* d = find(dir_ino, &dir);
  if (!d || d->kind != Kind::kDir) return out;
  std::string prefix = dir == "/" ? "/" : dir + "/";
  for (auto it = nodes_.lower_bound(prefix); it != nodes_.end() && it->first.starts_with(prefix); ++it) {
    std::string rest = it->first.substr(prefix.size());
    if (rest.empty() || rest.find('/') != std::string::npos) continue;
    out.emplace_back(rest, stat_of(it->second));
  }
  return out;
}

std::optional<std::string> HwTree::readlink(std::uint64_t ino) const {
  std::lock_guard lock(mutex_);
  const Node* n = find(ino);
  if (!n || n->kind != Kind::kSymlink) return std::nullopt;
  return n->symlink;
}

int HwTree::open(std::uint64_t ino, bool for_read, bool for_write) const {
  std::lock_guard lock(mutex_);
  const Node* n = find(ino);
  if (!n) return ENOENT;
  if (n->kind == Kind::kDir) return for_write ? EISDIR : 0;
  if (n->fault == Fault::kOpenFails) return n->fault_error ? n->fault_error : EACCES;
  if (for_read && !n->attribute.read) return EACCES;
  if (for_write && !n->attribute.write) return EACCES;
  return 0;
}

int HwTree::read_content(std::uint64_t ino, std::string& out) const {
  std::lock_guard lock(mutex_);
  const Node* n = find(ino);
  if (!n) return ENOENT;
  if (n->kind != Kind::kAttribute || !n->attribute.read) return EIO;
  if (n->fault == Fault::kReadFails) return n->fault_error ? n->fault_error : EIO;
  out = n->attribute.read();
  return 0;
}

int HwTree::write(std::uint64_t ino, std::string_view bytes) {
  std::lock_guard lock(mutex_);
  std::string path;
  const Node* n = find(ino, &path);
  if (!n) return ENOENT;
  int error = 0;
  if (n->kind != Kind::kAttribute || !n->attribute.write) {
    error = EACCES;
  } else if (n->fault == Fault::kWriteFails) {
    error = n->fault_error ? n->fault_error : EIO;
  } else {
    auto handler = n->attribute.write;  // the handler may change the tree
    error = handler(bytes);
  }
  writes_.push_back({path, std::string(bytes), error, std::chrono::steady_clock::now()});
  return error;
}

}  // namespace vboard
