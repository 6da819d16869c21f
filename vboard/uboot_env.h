#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

// The board's U-Boot environment: one image file (CRC32 LE, then
// "name=value" NUL ... NUL, padded with 0xFF to 16 KiB, the layout
// mkenvimage writes) that the real fw_printenv/fw_setenv reach through the
// board's /etc/fw_env.config.
class UbootEnv {
 public:
  static constexpr std::size_t kSize = 0x4000;
  using Vars = std::map<std::string, std::string>;

  // `image_host_path`: the image seen from the host; `image_board_path`: the
  // same file seen from the board.
  UbootEnv(std::string image_host_path, std::string image_board_path);

  // The line of /etc/fw_env.config.
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
  static std::uint32_t crc32(const std::uint8_t* data, std::size_t size);

 private:
  std::string host_path_;
  std::string board_path_;
};

}  // namespace vboard
