#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vboard {

// The board's simulated kernel files: /sys (LED class, GPIO, soc0, the GPIO
// debug listing) and /dev/triggerout, served to the board through FUSE
// (fuse_server.h) with kernel attribute semantics: every write() reaches the
// attribute's handler whole and replaces the value, reads show the current
// state, nothing is cached. Paths are the board's absolute paths
// ("/sys/class/leds/red/brightness").
//
// Components (leds.h, gpio.h, triggers.h, ...) add their files here; tests
// read the write log and inject faults. All methods are thread-safe; handlers
// run with the tree's (recursive) lock held and may call back into the tree.
class HwTree {
 public:
  // Handlers of one attribute file. A missing `read` makes the file
  // write-only and a missing `write` read-only (opening it that way fails
  // with EACCES, as sysfs does). `write` gets the bytes of one write() and
  // returns 0 or an errno value.
  struct Attribute {
    std::function<std::string()> read;
    std::function<int(std::string_view bytes)> write;
    unsigned mode = 0644;
  };

  // What a test can make an attribute do instead of its normal behaviour.
  enum class Fault {
    kNone,
    kOpenFails,   // open() fails (EACCES unless another errno is given)
    kWriteFails,  // open() works, write() fails (EIO unless given)
    kReadFails,   // open() works, read() fails (EIO unless given)
  };

  // One write() the board made to an attribute, successful or not.
  struct WriteRecord {
    std::string path;
    std::string bytes;  // exactly what was written, NULs included
    int error = 0;      // 0, or the errno the writer got
    std::chrono::steady_clock::time_point when;
  };

  HwTree();

  // Creates a directory and any missing parents. A `stable` directory never
  // changes (the kernel may cache it; mounts may be placed on it).
  void add_dir(const std::string& path, bool stable = false);
  void add_attribute(const std::string& path, Attribute attribute);
  // A plain attribute holding `value`; writes replace it when `writable`.
  void add_value(const std::string& path, std::string value, bool writable = true);
  void add_symlink(const std::string& path, std::string target);
  // Removes a node and everything below it.
  void remove(const std::string& path);
  bool exists(const std::string& path) const;

  // Replaces the content of a value added with add_value().
  void set_value(const std::string& path, std::string value);
  // Reads an attribute through its handler, as the board would (no fault
  // applied); nothing if it does not exist or is not readable.
  std::optional<std::string> read(const std::string& path) const;

  void set_fault(const std::string& path, Fault fault, int error = 0);
  void clear_faults();

  // Write log: every write() so far (or from index `since` on), optionally
  // only those to `path`.
  std::size_t write_mark() const;
  std::vector<WriteRecord> writes(std::size_t since = 0) const;
  std::vector<WriteRecord> writes_to(const std::string& path, std::size_t since = 0) const;

  // The tree's lock, for components that keep their state under it (their
  // handlers already run with it held).
  std::unique_lock<std::recursive_mutex> lock() const { return std::unique_lock(mutex_); }

  // ---- For the FUSE server ----------------------------------------------
  enum class Kind { kDir, kAttribute, kSymlink };
  struct Stat {
    std::uint64_t ino = 0;
    Kind kind = Kind::kDir;
    unsigned mode = 0;
    bool stable = false;
  };
  static constexpr std::uint64_t kRootIno = 1;
  std::optional<Stat> stat(std::uint64_t ino) const;
  std::optional<Stat> lookup(std::uint64_t parent, const std::string& name) const;
  // Children of a directory: (name, stat) pairs.
  std::vector<std::pair<std::string, Stat>> list(std::uint64_t dir) const;
  std::optional<std::string> readlink(std::uint64_t ino) const;
  // Checks an open for reading and/or writing: 0 or an errno.
  int open(std::uint64_t ino, bool for_read, bool for_write) const;
  // The content a read sees (fault applied): the text, or an errno.
  int read_content(std::uint64_t ino, std::string& out) const;
  // One write() from the board: 0 or an errno. Logged.
  int write(std::uint64_t ino, std::string_view bytes);

 private:
  struct Node {
    Kind kind = Kind::kDir;
    Attribute attribute;
    std::string symlink;
    bool stable = false;
    Fault fault = Fault::kNone;
    int fault_error = 0;
    std::uint64_t ino = 0;
  };
  std::uint64_t ino_for(const std::string& path);
  const Node* find(std::uint64_t ino, std::string* path = nullptr) const;
  Stat stat_of(const Node& node) const;
  void add_node(const std::string& path, Node node);

  mutable std::recursive_mutex mutex_;
  std::map<std::string, Node> nodes_;          // by path; "/" is the root
  std::map<std::string, std::uint64_t> inos_;  // stable across remove/add
  std::map<std::uint64_t, std::string> paths_;
  std::map<std::string, std::string> values_;  // add_value() contents
  std::vector<WriteRecord> writes_;
  std::uint64_t next_ino_ = kRootIno;
};

// Parses an attribute write the way the kernel's kstrtol() does: optional
// sign, digits in `base` (0: C prefixes), at most one trailing line feed;
// the text ends at the first NUL. False when it is not a number.
bool parse_kernel_number(std::string_view bytes, int base, long& value);

}  // namespace vboard
