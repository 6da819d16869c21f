#include "vboard/usb_host.h"

namespace vboard {

UsbHost::UsbHost(std::string device_host_path) : port_(std::move(device_host_path)) {}

UsbHost::~UsbHost() { detach_cable(); }

void UsbHost::connect() { port_.connect(); }
void UsbHost::hang_up() { port_.hang_up(); }
void UsbHost::unplug() { port_.close_master(); }
void UsbHost::remove_port() { port_.remove_link(); }

std::string UsbHost::attach_cable(const std::string& link_host_path) {
  detach_cable();
  cable_ = std::make_unique<PtyPort>(link_host_path);
  cable_->connect(true);
  cable_->set_reader([this](std::span<const std::uint8_t> bytes) { port_.write(bytes); });
  port_.set_reader([this](std::span<const std::uint8_t> bytes) { cable_->write(bytes); });
  return link_host_path;
}

void UsbHost::detach_cable() {
  if (!cable_) return;
  port_.set_reader(nullptr);
  cable_->close_master();
  cable_->remove_link();
  cable_.reset();
}

}  // namespace vboard
