#include "vboard/uboot_env.h"

#include <unistd.h>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vboard {

UbootEnv::UbootEnv(std::string image_host_path, std::string image_board_path)
    : host_path_(std::move(image_host_path)), board_path_(std::move(image_board_path)) {}

namespace {

constexpr char kRedundantSuffix[] = "-redund";

std::optional<std::vector<std::uint8_t>> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

std::string UbootEnv::config_line() const {
  std::string line = board_path_ + " 0x0 0x4000\n";
  if (redundant_) line += board_path_ + kRedundantSuffix + " 0x0 0x4000\n";
  return line;
}

std::uint32_t UbootEnv::crc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::vector<std::uint8_t> UbootEnv::build_image(const Vars& vars, std::size_t size) {
  std::vector<std::uint8_t> image(size, 0xFF);
  std::size_t pos = 4;
  for (const auto& [name, value] : vars) {
    std::string entry = std::string(name).append("=").append(value);
    if (pos + entry.size() + 2 > size) throw std::length_error("U-Boot environment too large");
    std::copy(entry.begin(), entry.end(), image.begin() + static_cast<std::ptrdiff_t>(pos));
    pos += entry.size();
    image[pos++] = 0;
  }
  image[pos++] = 0;  // the empty entry that ends the list
  std::uint32_t crc = crc32(image.data() + 4, size - 4);
  for (int i = 0; i < 4; ++i) image[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
  return image;
}

std::vector<std::uint8_t> UbootEnv::build_redundant_image(const Vars& vars, std::uint8_t flags,
                                                          std::size_t size) {
  // The single layout one byte shorter, with the flags byte put after the CRC.
  std::vector<std::uint8_t> single = build_image(vars, size - 1);
  std::vector<std::uint8_t> image(size);
  std::copy(single.begin() + 4, single.end(), image.begin() + 5);
  image[4] = flags;
  std::uint32_t crc = crc32(image.data() + 5, size - 5);
  for (int i = 0; i < 4; ++i) image[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
  return image;
}

std::optional<UbootEnv::RedundantCopy> UbootEnv::parse_redundant_image(
    const std::vector<std::uint8_t>& image) {
  if (image.size() < 6) return std::nullopt;
  std::vector<std::uint8_t> single(image.begin(), image.begin() + 4);
  single.insert(single.end(), image.begin() + 5, image.end());
  auto vars = parse_image(single);
  if (!vars) return std::nullopt;
  return RedundantCopy{std::move(*vars), image[4]};
}

std::optional<std::pair<int, UbootEnv::RedundantCopy>> UbootEnv::current_copy() const {
  std::optional<RedundantCopy> copies[2];
  for (int i = 0; i < 2; ++i)
    if (auto bytes = read_bytes(i == 0 ? host_path_ : host_path_ + kRedundantSuffix))
      copies[i] = parse_redundant_image(*bytes);
  if (!copies[0] && !copies[1]) return std::nullopt;
  if (!copies[1]) return std::pair{0, *copies[0]};
  if (!copies[0]) return std::pair{1, *copies[1]};
  // Both whole: the newer flags win (255 wraps to 0).
  std::uint8_t a = copies[0]->flags, b = copies[1]->flags;
  bool first = (a == 0 && b == 0xFF) ? true : (a == 0xFF && b == 0) ? false : a >= b;
  return first ? std::pair{0, *copies[0]} : std::pair{1, *copies[1]};
}

void UbootEnv::write_file(const std::string& path, const std::vector<std::uint8_t>& image) const {
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (!out) throw std::runtime_error("cannot write " + tmp);
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot rename " + tmp);
}

std::optional<UbootEnv::Vars> UbootEnv::parse_image(const std::vector<std::uint8_t>& image) {
  if (image.size() < 5) return std::nullopt;
  std::uint32_t stored = 0;
  for (int i = 0; i < 4; ++i)
    stored |= static_cast<std::uint32_t>(image[static_cast<std::size_t>(i)]) << (8 * i);
  if (stored != crc32(image.data() + 4, image.size() - 4)) return std::nullopt;
  Vars vars;
  std::size_t pos = 4;
  while (pos < image.size() && image[pos] != 0) {
    std::size_t end = pos;
    while (end < image.size() && image[end] != 0) ++end;
    std::string entry(image.begin() + static_cast<std::ptrdiff_t>(pos),
                      image.begin() + static_cast<std::ptrdiff_t>(end));
    std::size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    pos = end + 1;
  }
  return vars;
}

void UbootEnv::write(const Vars& vars) {
  if (!redundant_) {
    write_file(host_path_, build_image(vars));
    return;
  }
  // As the tools do: the other copy than the current one, flags one up. The
  // first write makes copy 0 current (flags 1) and copy 1 an older twin.
  auto current = current_copy();
  if (!current) {
    write_file(host_path_, build_redundant_image(vars, 1));
    write_file(host_path_ + kRedundantSuffix, build_redundant_image(vars, 0));
    return;
  }
  int other = 1 - current->first;
  write_file(other == 0 ? host_path_ : host_path_ + kRedundantSuffix,
             build_redundant_image(vars, static_cast<std::uint8_t>(current->second.flags + 1)));
}

std::optional<UbootEnv::Vars> UbootEnv::read() const {
  if (redundant_) {
    auto current = current_copy();
    if (!current) return std::nullopt;
    return current->second.vars;
  }
  auto image = read_bytes(host_path_);
  if (!image) return std::nullopt;
  return parse_image(*image);
}

std::optional<std::string> UbootEnv::get(const std::string& name) const {
  auto vars = read();
  if (!vars) return std::nullopt;
  auto it = vars->find(name);
  if (it == vars->end()) return std::nullopt;
  return it->second;
}

void UbootEnv::set(const std::string& name, const std::string& value) {
  Vars vars = read().value_or(Vars{});
  vars[name] = value;
  write(vars);
}

void UbootEnv::unset(const std::string& name) {
  Vars vars = read().value_or(Vars{});
  vars.erase(name);
  write(vars);
}

void UbootEnv::corrupt() {
  for (int i = 0; i < (redundant_ ? 2 : 1); ++i) {
    std::ofstream out(i == 0 ? host_path_ : host_path_ + kRedundantSuffix,
                      std::ios::binary | std::ios::trunc);
    std::string blank(kSize, '\0');
    out.write(blank.data(), static_cast<std::streamsize>(blank.size()));
  }
}

void UbootEnv::remove() {
  ::unlink(host_path_.c_str());
  if (redundant_) ::unlink((host_path_ + kRedundantSuffix).c_str());
}

}  // namespace vboard
