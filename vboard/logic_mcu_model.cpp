#include "vboard/logic_mcu_model.h"

namespace vboard {
namespace {

constexpr std::uint8_t kHead = 0xAA;
constexpr std::size_t kHeader = 6;
constexpr std::uint8_t kAllGroups[] = {1, 2, 3, 4};

std::uint16_t u16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

}  // namespace

LogicMcuModel::LogicMcuModel() {
  group(2).mode = kOutput;
  group(3).mode = kOutput;
}

LogicMcuModel::Bytes LogicMcuModel::frame(std::uint16_t cmd, std::span<const std::uint8_t> data) {
  Bytes f = {kHead,
             kHead,
             static_cast<std::uint8_t>(cmd & 0xFF),
             static_cast<std::uint8_t>(cmd >> 8),
             static_cast<std::uint8_t>(data.size() & 0xFF),
             static_cast<std::uint8_t>(data.size() >> 8)};
  f.insert(f.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (std::uint8_t b : f) sum += b;
  f.push_back(static_cast<std::uint8_t>(sum & 0xFF));
  return f;
}

std::optional<std::uint16_t> LogicMcuModel::request_code(std::span<const std::uint8_t> f) {
  if (f.size() < kHeader + 1 || f[0] != kHead || f[1] != kHead) return std::nullopt;
  std::size_t len = u16(f, 4);
  if (f.size() < kHeader + len + 1) return std::nullopt;
  unsigned sum = 0;
  for (std::size_t i = 0; i < kHeader + len; ++i) sum += f[i];
  if (static_cast<std::uint8_t>(sum & 0xFF) != f[kHeader + len]) return std::nullopt;
  return u16(f, 2);
}

std::uint8_t LogicMcuModel::mode_of(std::uint8_t g) const {
  return g >= 1 && g <= kGroups ? group(g).mode : 0;
}

LogicMcuModel::Bytes LogicMcuModel::mode_report(std::uint16_t cmd,
                                                std::span<const std::uint8_t> groups) const {
  Bytes data;
  for (std::uint8_t g : groups) data.insert(data.end(), {g, mode_of(g)});
  return frame(cmd, data);
}

std::optional<LogicMcuModel::Bytes> LogicMcuModel::answer(std::span<const std::uint8_t> request) {
  std::optional<std::uint16_t> code = request_code(request);
  if (!code) return std::nullopt;
  std::span<const std::uint8_t> data = request.subspan(kHeader, u16(request, 4));

  switch (*code) {
    case 1:
      return mode_report(1, data);
    case 2:
      if (data.size() == 2 && data[0] >= 1 && data[0] <= kGroups &&
          (data[1] == kInput || data[1] == kOutput || data[1] == kModeA))
        group(data[0]).mode = data[1];
      return mode_report(2, kAllGroups);
    case 3: {
      Bytes out;
      for (std::uint8_t g : data) {
        if (mode_of(g) == kModeA) {
          out.insert(out.end(), {g, kModeA, group(g).number});
        } else {
          std::uint8_t pair = 0;
          if (g >= 1 && g <= kGroups) pair = static_cast<std::uint8_t>(group(g).first << 4 | group(g).second);
          out.insert(out.end(), {g, mode_of(g), pair});
        }
      }
      return frame(3, out);
    }
    case 4: {
      if (data.size() != 6) return std::nullopt;
      std::uint8_t g = data[0];
      bool done = !reject_level_set && data[3] == g && mode_of(g) == kOutput;
      if (done) {
        group(g).first = data[2] != 0;
        group(g).second = data[5] != 0;
      }
      std::uint8_t status = done ? 0 : 1;
      const std::uint8_t out[] = {g, 1, status, g, 2, status};
      return frame(4, out);
    }
    default:
      return std::nullopt;
  }
}

}  // namespace vboard
