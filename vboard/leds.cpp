#include "vboard/leds.h"

#include <cerrno>

namespace vboard {
namespace {

constexpr const char* kDefaultLeds[] = {"red", "green", "blue"};
constexpr const char* kTriggers[] = {"none", "timer", "heartbeat", "default-on"};

}  // namespace

Leds::Leds(HwTree& tree) : tree_(tree) {
  tree_.add_dir("/sys/class/leds", true);
  for (const char* name : kDefaultLeds) add(name);
}

std::string Leds::dir(const std::string& name) { return "/sys/class/leds/" + name; }
std::string Leds::brightness_path(const std::string& name) { return dir(name) + "/brightness"; }

Leds::Led* Leds::find(const std::string& name) {
  for (auto& [n, led] : leds_)
    if (n == name) return &led;
  return nullptr;
}

const Leds::Led* Leds::find(const std::string& name) const {
  for (auto& [n, led] : leds_)
    if (n == name) return &led;
  return nullptr;
}

void Leds::add(const std::string& name) {
  auto lock = tree_.lock();
  if (Led* led = find(name)) {
    *led = Led{};
  } else {
    leds_.emplace_back(name, Led{});
  }
  tree_.add_dir(dir(name));
  tree_.add_attribute(brightness_path(name),
                      {.read = [this, name] { return std::to_string(find(name)->brightness) + "\n"; },
                       .write =
                           [this, name](std::string_view bytes) {
                             long value = 0;
                             if (!parse_kernel_number(bytes, 10, value) || value < 0) return EINVAL;
                             Led* led = find(name);
                             led->brightness =
                                 value > kMaxBrightness ? kMaxBrightness : static_cast<int>(value);
                             if (value == 0) led->trigger = "none";
                             return 0;
                           }});
  tree_.add_value(dir(name) + "/max_brightness", std::to_string(kMaxBrightness) + "\n", false);
  tree_.add_attribute(dir(name) + "/trigger",
                      {.read =
                           [this, name] {
                             std::string out;
                             for (const char* t : kTriggers) {
                               if (!out.empty()) out += ' ';
                               out += find(name)->trigger == t ? "[" + std::string(t) + "]" : t;
                             }
                             return out + "\n";
                           },
                       .write =
                           [this, name](std::string_view bytes) {
                             std::string t(bytes.substr(0, bytes.find('\0')));
                             if (!t.empty() && t.back() == '\n') t.pop_back();
                             for (const char* known : kTriggers)
                               if (t == known) {
                                 find(name)->trigger = t;
                                 return 0;
                               }
                             return EINVAL;
                           }});
}

void Leds::remove(const std::string& name) {
  auto lock = tree_.lock();
  tree_.remove(dir(name));
  std::erase_if(leds_, [&](const auto& l) { return l.first == name; });
}

int Leds::brightness(const std::string& name) const {
  auto lock = tree_.lock();
  const Led* led = find(name);
  return led ? led->brightness : -1;
}

std::string Leds::trigger(const std::string& name) const {
  auto lock = tree_.lock();
  const Led* led = find(name);
  return led ? led->trigger : "";
}

}  // namespace vboard
