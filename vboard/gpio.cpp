#include "vboard/gpio.h"

#include <cerrno>
#include <cstdio>

namespace vboard {
namespace {

constexpr int kBankSize = 32;
constexpr const char* kBankDevices[] = {"30200000.gpio", "30210000.gpio", "30220000.gpio", "30230000.gpio",
                                        "30240000.gpio"};

std::string trimmed(std::string_view bytes) {
  std::string t(bytes.substr(0, bytes.find('\0')));
  if (!t.empty() && t.back() == '\n') t.pop_back();
  return t;
}

}  // namespace

Gpio::Gpio(HwTree& tree) : tree_(tree) {
  tree_.add_dir("/sys/class/gpio", true);
  tree_.add_attribute("/sys/class/gpio/export",
                      {.write = [this](std::string_view b) { return do_export(b); }, .mode = 0200});
  tree_.add_attribute("/sys/class/gpio/unexport",
                      {.write = [this](std::string_view b) { return do_unexport(b); }, .mode = 0200});
  tree_.add_dir("/sys/kernel/debug", true);
  tree_.add_attribute("/sys/kernel/debug/gpio", {.read = [this] { return debug_listing(); }, .mode = 0444});
  for (int n : kDefaultLines) add_line(n);
}

std::string Gpio::line_dir(int number) { return "/sys/class/gpio/gpio" + std::to_string(number); }

void Gpio::add_line(int number) {
  auto lock = tree_.lock();
  lines_.try_emplace(number, Line{.number = number});
}

void Gpio::claim(int number, const std::string& label, bool output, int value) {
  auto lock = tree_.lock();
  lines_[number] = Line{.number = number, .label = label, .output = output, .value = value};
}

void Gpio::set_input(int number, int level) {
  auto lock = tree_.lock();
  add_line(number);
  lines_[number].input_level = level ? 1 : 0;
}

void Gpio::drive(int number, int value) {
  auto lock = tree_.lock();
  auto it = lines_.find(number);
  if (it != lines_.end()) it->second.value = value ? 1 : 0;
}

void Gpio::set_listed(int number, bool listed) {
  auto lock = tree_.lock();
  auto it = lines_.find(number);
  if (it != lines_.end()) it->second.listed = listed;
}

std::optional<Gpio::Line> Gpio::line(int number) const {
  auto lock = tree_.lock();
  auto it = lines_.find(number);
  if (it == lines_.end()) return std::nullopt;
  return it->second;
}

int Gpio::do_export(std::string_view bytes) {
  long number = 0;
  if (!parse_kernel_number(bytes, 0, number)) return EINVAL;
  auto it = lines_.find(static_cast<int>(number));
  if (it == lines_.end()) return EINVAL;
  Line& l = it->second;
  if (!l.label.empty()) return EBUSY;
  l.exported = true;
  l.label = "sysfs";
  add_line_files(l.number);
  return 0;
}

int Gpio::do_unexport(std::string_view bytes) {
  long number = 0;
  if (!parse_kernel_number(bytes, 0, number)) return EINVAL;
  auto it = lines_.find(static_cast<int>(number));
  if (it == lines_.end() || !it->second.exported) return EINVAL;
  it->second.exported = false;
  it->second.label.clear();
  tree_.remove(line_dir(it->second.number));
  return 0;
}

void Gpio::add_line_files(int number) {
  std::string dir = line_dir(number);
  tree_.add_dir(dir);
  tree_.add_attribute(dir + "/direction",
                      {.read = [this, number] { return lines_[number].output ? "out\n" : "in\n"; },
                       .write =
                           [this, number](std::string_view bytes) {
                             std::string t = trimmed(bytes);
                             Line& l = lines_[number];
                             if (t == "in") {
                               l.output = false;
                             } else if (t == "out" || t == "low") {
                               l.output = true;
                               l.value = 0;
                             } else if (t == "high") {
                               l.output = true;
                               l.value = 1;
                             } else {
                               return EINVAL;
                             }
                             return 0;
                           }});
  tree_.add_attribute(dir + "/value", {.read =
                                           [this, number] {
                                             const Line& l = lines_[number];
                                             return std::to_string(l.output ? l.value : l.input_level) + "\n";
                                           },
                                       .write =
                                           [this, number](std::string_view bytes) {
                                             Line& l = lines_[number];
                                             if (!l.output) return EPERM;
                                             long v = 0;
                                             if (!parse_kernel_number(bytes, 0, v)) return EINVAL;
                                             l.value = v != 0;
                                             return 0;
                                           }});
  tree_.add_value(dir + "/edge", "none\n");
  tree_.add_value(dir + "/active_low", "0\n");
}

std::string Gpio::debug_listing() const {
  auto lock = tree_.lock();
  std::string out;
  int bank = -1;
  for (const auto& [number, l] : lines_) {
    if (l.label.empty() || !l.listed) continue;
    if (number / kBankSize != bank) {
      bank = number / kBankSize;
      const char* dev = bank < 5 ? kBankDevices[bank] : "gpio";
      char head[160];
      std::snprintf(head, sizeof(head), "%sgpiochip%d: GPIOs %d-%d, parent: platform/%s, %s:\n",
                    out.empty() ? "" : "\n", bank, bank * kBankSize, bank * kBankSize + kBankSize - 1, dev,
                    dev);
      out += head;
    }
    int level = l.output ? l.value : l.input_level;
    char row[160];
    std::snprintf(row, sizeof(row), " gpio-%-3d (%-20.20s|%-20.20s) %s %s \n", number, "", l.label.c_str(),
                  l.output ? "out" : "in ", level ? "hi" : "lo");
    out += row;
  }
  return out;
}

}  // namespace vboard
