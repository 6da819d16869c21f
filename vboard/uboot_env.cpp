#include "vboard/uboot_env.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unistd.h>

namespace vboard {

UbootEnv::UbootEnv(std::string image_host_path, std::string image_board_path)
    : host_path_(std::move(image_host_path)), board_path_(std::move(image_board_path)) {}

std::string UbootEnv::config_line() const { return board_path_ + " 0x0 0x4000\n"; }

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
    std::string entry = name + "=" + value;
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

std::optional<UbootEnv::Vars> UbootEnv::parse_image(const std::vector<std::uint8_t>& image) {
  if (image.size() < 5) return std::nullopt;
  std::uint32_t stored = 0;
  for (int i = 0; i < 4; ++i) stored |= static_cast<std::uint32_t>(image[static_cast<std::size_t>(i)]) << (8 * i);
  if (stored != crc32(image.data() + 4, image.size() - 4)) return std::nullopt;
  Vars vars;
  std::size_t pos = 4;
  while (pos < image.size() && image[pos] != 0) {
    std::size_t end = pos;
    while (end < image.size() && image[end] != 0) ++end;
    std::string entry(image.begin() + static_cast<std::ptrdiff_t>(pos), image.begin() + static_cast<std::ptrdiff_t>(end));
    std::size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    pos = end + 1;
  }
  return vars;
}

void UbootEnv::write(const Vars& vars) {
  auto image = build_image(vars);
  std::string tmp = host_path_ + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (!out) throw std::runtime_error("cannot write " + tmp);
  }
  if (::rename(tmp.c_str(), host_path_.c_str()) != 0) throw std::runtime_error("cannot rename " + tmp);
}

std::optional<UbootEnv::Vars> UbootEnv::read() const {
  std::ifstream in(host_path_, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return parse_image(image);
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
  std::ofstream out(host_path_, std::ios::binary | std::ios::trunc);
  std::string blank(kSize, '\0');
  out.write(blank.data(), static_cast<std::streamsize>(blank.size()));
}

void UbootEnv::remove() { ::unlink(host_path_.c_str()); }

}  // namespace vboard
