#include "identity/netfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

#include "common/unique_fd.h"
#include "core/file_text.h"
#include "identity/identity_constants.h"
#include "identity/identity_text.h"

namespace ftmd {
namespace {

using namespace identity;

// Calls `visit(line, begin, end)` for each line of `text` (its line feed
// included, the last one may have none) until it returns false.
template <typename Visit>
void for_each_line(std::string_view text, Visit visit) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t lf = text.find('\n', pos);
    std::size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
    if (!visit(text.substr(pos, end - pos), pos, end)) return;
    pos = end;
  }
}

bool contains(std::string_view line, std::string_view what) {
  return line.find(what) != std::string_view::npos;
}

// Lines the daemon adds always start on a line of their own.
void end_line(std::string& text) {
  if (!text.empty() && text.back() != '\n') text.push_back('\n');
}

std::string parent_dir(const char* path) {
  std::string dir(path);
  auto slash = dir.rfind('/');
  if (slash == std::string::npos) return std::string();
  dir.resize(slash == 0 ? 1 : slash);
  return dir;
}

// The stored address of a unit file's text, checked, with the debug logs a
// reader of the file leaves.
std::optional<std::string> stored_mac_in(std::string_view text) {
  auto candidate = netfile_find_mac(text);
  if (!candidate) return std::nullopt;
  syslog(LOG_DEBUG, "获取到的MAC地址 --> %s", candidate->c_str());
  if (!check_mac_format(*candidate)) return std::nullopt;
  return candidate;
}

}  // namespace

bool check_mac_format(std::string_view text) {
  if (text.size() != kMacTextLength) {
    syslog(LOG_DEBUG, "CheckMacFormat --> len error");
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i % 3 == 2) {
      if (text[i] != ':') {
        syslog(LOG_DEBUG, ": --> error %d", static_cast<int>(i));
        return false;
      }
    } else if (!is_upper_hex(text[i])) {
      syslog(LOG_DEBUG, ": --> exChar %d", static_cast<int>(i));
      return false;
    }
  }
  return true;
}

std::string netfile_ensure_entry(std::string_view text, std::string_view header, std::string_view entry) {
  std::string out(text);
  bool found = false;
  for_each_line(text, [&](std::string_view line, std::size_t, std::size_t end) {
    if (!contains(line, header)) return true;
    found = true;
    // A header on the last line gets nothing; a next line that already has
    // the entry neither.
    if (end < text.size()) {
      std::string_view next = text.substr(end);
      next = next.substr(0, next.find('\n'));
      if (!contains(next, entry)) out.insert(end, std::string(entry) + "\n");
    }
    return false;
  });
  if (!found) {
    end_line(out);
    out.append(header).append("\n").append(entry).append("\n");
  }
  return out;
}

std::string netfile_ensure_defaults(std::string_view text, std::string_view match_entry) {
  std::string with_match = netfile_ensure_entry(text, kMatchHeader, match_entry);
  return netfile_ensure_entry(with_match, kNetworkHeader, kDhcpEntry);
}

std::optional<std::string> netfile_find_mac(std::string_view text) {
  std::optional<std::string> found;
  bool in_link = false;  // never cleared: later sections count too
  std::string_view key = kMacAddressKey;
  for_each_line(text, [&](std::string_view line, std::size_t, std::size_t) {
    if (contains(line, kLinkHeader)) {
      in_link = true;
      return true;
    }
    if (!in_link) return true;
    auto at = line.find(key);
    if (at == std::string_view::npos) return true;
    found = std::string(line.substr(at + key.size(), kMacTextLength));
    return false;
  });
  return found;
}

std::string netfile_rewrite_mac(std::string_view text, std::string_view mac) {
  std::string out;
  out.reserve(text.size() + 32);
  for_each_line(text, [&](std::string_view line, std::size_t, std::size_t) {
    if (!contains(line, kLinkHeader) && !contains(line, kMacAddressKey)) out.append(line);
    return true;
  });
  end_line(out);
  out.append(kLinkHeader).append("\n").append(kMacAddressKey).append(mac).append("\n");
  return out;
}

const char* netfile_match_entry(const char* path) {
  if (std::strcmp(path, kLan3UnitPath) == 0) return kLan3MatchEntry;
  if (std::strcmp(path, kLan4UnitPath) == 0) return kLan4MatchEntry;
  return nullptr;
}

int netfile_ensure_dir(const char* dir) {
  struct stat st {};
  if (::stat(dir, &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 1;
    syslog(LOG_WARNING, "Path --> %s is not a directory!\n", dir);
    return 0;
  }
  std::string parent = parent_dir(dir);
  if (!parent.empty() && parent != dir && netfile_ensure_dir(parent.c_str()) != 1) return 0;
  if (::mkdir(dir, kUnitDirMode) == 0 || errno == EEXIST) return 1;
  syslog(LOG_ERR, "Failed to create directory: %s\n", dir);
  return 0;
}

int netfile_ensure_file(const char* path, std::optional<AtomicFile>& created) {
  if (path_exists(path)) {
    syslog(LOG_DEBUG, "File --> %s already exists!\n", path);
    return 1;
  }
  std::string dir = parent_dir(path);
  if (!dir.empty() && netfile_ensure_dir(dir.c_str()) != 1) return -1;
  created.emplace(path, kNewUnitFileMode);
  if (!created->open()) {
    created.reset();
    syslog(LOG_DEBUG, "Failed to create file: --> %s\n", path);
    return -1;
  }
  syslog(LOG_DEBUG, "File --> %s created successfully!\n", path);
  return 0;
}

std::optional<std::string> netfile_read_mac(const char* path) {
  auto text = read_whole_file(path);
  if (!text) return std::nullopt;
  return stored_mac_in(*text);
}

bool netfile_update_unit(const char* path, const char* match_entry, std::string_view mac) {
  std::optional<AtomicFile> created;
  int existed = netfile_ensure_file(path, created);
  if (existed < 0) {
    syslog(LOG_DEBUG, "文件创建失败或出现错误。\n");
    return false;
  }
  syslog(LOG_DEBUG, "文件存在。\n");
  if (match_entry == nullptr) {
    syslog(LOG_DEBUG, "无法打开文件。\n");
    return false;
  }
  std::string before;
  if (existed == 1) {
    // Opened for reading and writing, as for an edit in place: a file, or a
    // file system, that takes no writes fails here, before anything is
    // compared. The file is read through it but only ever replaced whole.
    UniqueFd fd(::open(path, O_RDWR | O_CLOEXEC));
    std::optional<std::string> text = fd ? read_rest(fd.get()) : std::nullopt;
    if (!text) {
      syslog(LOG_ERR, "无法打开文件");
      syslog(LOG_DEBUG, "无法打开文件。\n");
      return false;
    }
    before = std::move(*text);
  }
  std::string text = netfile_ensure_defaults(before, match_entry);
  syslog(LOG_DEBUG, "文件内容已更新。\n");

  std::string mac_text(mac);
  bool same = false;
  if (auto stored = stored_mac_in(text)) {
    syslog(LOG_DEBUG, "filename --> %s 读取的有效 MAC 地址：%s\n", path, stored->c_str());
    same = *stored == mac;
  } else {
    syslog(LOG_DEBUG, "Cannot get MACAddress: %s from %s\n", "(null)", path);
  }
  if (same) {
    syslog(LOG_DEBUG, "Write: -->Not conflicts with %s", mac_text.c_str());
    // Only missing default sections are written; otherwise not a byte moves.
    if (text == before) return true;
  } else {
    text = netfile_rewrite_mac(text, mac);
  }
  AtomicFile file = created ? std::move(*created) : AtomicFile(path, kNewUnitFileMode);
  if (Status written = file.commit(text); !written) {
    syslog(LOG_ERR, "%s", written.message().c_str());
    syslog(LOG_DEBUG, "Failed to write filename %s MAC address.\n", path);
    return false;
  }
  if (!same) syslog(LOG_DEBUG, "filename %s MAC address written successfully.\n", path);
  return true;
}

bool netfile_update_mac(const char* path, std::string_view mac) {
  return netfile_update_unit(path, netfile_match_entry(path), mac);
}

}  // namespace ftmd
