#include "vboard/triggers.h"

#include <cerrno>

namespace vboard {

Triggers::Triggers(HwTree& tree, Gpio& gpio) : tree_(tree), gpio_(gpio) {
  gpio_.claim(kOut1Gpio, "trigger_out_1", true, 0);
  gpio_.claim(kOut2Gpio, "trigger_out_2", true, 0);
  add_device();
}

void Triggers::add_device() {
  tree_.add_dir("/dev", true);
  tree_.add_attribute(kDevice, {.read = [this] { return std::to_string(requested_) + "\n"; },
                                .write =
                                    [this](std::string_view bytes) {
                                      long v = 0;
                                      if (!parse_kernel_number(bytes, 10, v) || v < 0 || v > 3) return EINVAL;
                                      requested_ = static_cast<int>(v);
                                      apply();
                                      return 0;
                                    },
                                .mode = 0666});
}

void Triggers::apply() {
  const int gpios[2] = {kOut1Gpio, kOut2Gpio};
  for (int i = 0; i < 2; ++i) {
    int value = (requested_ >> i) & 1;
    if (faults_[i] == LineFault::kStuckLow) value = 0;
    if (faults_[i] == LineFault::kStuckHigh) value = 1;
    gpio_.drive(gpios[i], value);
    gpio_.set_listed(gpios[i], faults_[i] != LineFault::kMissing);
  }
}

void Triggers::set_fault(int line, LineFault fault) {
  auto lock = tree_.lock();
  if (line < 1 || line > 2) return;
  faults_[line - 1] = fault;
  apply();
}

int Triggers::level(int line) const {
  auto lock = tree_.lock();
  if (line < 1 || line > 2 || faults_[line - 1] == LineFault::kMissing) return -1;
  auto l = gpio_.line(line == 1 ? kOut1Gpio : kOut2Gpio);
  return l ? l->value : -1;
}

void Triggers::set_present(bool present) {
  auto lock = tree_.lock();
  if (present) {
    add_device();
  } else {
    tree_.remove(kDevice);
  }
}

}  // namespace vboard
