#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vboard {

// The board's U-Boot environment: one image file (CRC32 LE, then
// "name=value" NUL ... NUL, padded with 0xFF to 16 KiB, the layout
// mkenvimage writes) that the real fw_printenv/fw_setenv reach through the
// board's /etc/fw_env.config.
//
// Redundant (set_redundant before the first write): two copies in two files,
// each as `mkenvimage -r` writes it (CRC32 LE, a flags byte, the variables).
// fw_env.config then has two lines; the tools read the valid copy with the
// newer flags and write the other one with the flags one up, so a write cut
// short leaves the older copy whole.
class UbootEnv {
 public:
  static constexpr std::size_t kSize = 0x4000;
  using Vars = std::map<std::string, std::string>;

  // `image_host_path`: the image seen from the host; `image_board_path`: the
  // same file seen from the board.
  UbootEnv(std::string image_host_path, std::string image_board_path);

  // Two copies: the second is `image_host_path` + "-redund".
  void set_redundant(bool redundant) { redundant_ = redundant; }
  bool redundant() const { return redundant_; }

  // The content of /etc/fw_env.config (one line, or two when redundant).
  std::string config_line() const;

  // Replaces the whole environment.
  void write(const Vars& vars);
  // The environment now, or nothing when the image is missing or corrupt.
  std::optional<Vars> read() const;
  std::optional<std::string> get(const std::string& name) const;
  void set(const std::string& name, const std::string& value);
  void unset(const std::string& name);
  // Faults: a blank image (the tools report "Cannot read environment, using
  // default"), or no image file at all.
  void corrupt();
  void remove();

  static std::vector<std::uint8_t> build_image(const Vars& vars, std::size_t size = kSize);
  static std::optional<Vars> parse_image(const std::vector<std::uint8_t>& image);
  // A copy of a redundant environment with its flags byte.
  static std::vector<std::uint8_t> build_redundant_image(const Vars& vars, std::uint8_t flags,
                                                         std::size_t size = kSize);
  struct RedundantCopy {
    Vars vars;
    std::uint8_t flags = 0;
  };
  static std::optional<RedundantCopy> parse_redundant_image(const std::vector<std::uint8_t>& image);
  static std::uint32_t crc32(const std::uint8_t* data, std::size_t size);

 private:
  // Index (0, 1) and content of the copy the tools use, if any is valid.
  std::optional<std::pair<int, RedundantCopy>> current_copy() const;
  void write_file(const std::string& path, const std::vector<std::uint8_t>& image) const;

  std::string host_path_;
  std::string board_path_;
  bool redundant_ = false;
};

}  // namespace vboard
