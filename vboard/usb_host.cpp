#include "vboard/usb_host.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace vboard {
namespace fs = std::filesystem;

UsbHost::UsbHost(std::string device_host_path) : port_(std::move(device_host_path)) {}

UsbHost::~UsbHost() { detach_cable(); }

void UsbHost::connect() { port_.connect(); }
void UsbHost::hang_up() { port_.hang_up(); }
void UsbHost::unplug() { port_.close_master(); }
void UsbHost::remove_port() { port_.remove_link(); }

std::string UsbHost::attach_cable(const std::string& link_host_path) {
  detach_cable();
  std::lock_guard lock(mutex_);
  cable_ = std::make_unique<PtyPort>(link_host_path);
  cable_->connect(true);
  // The relay's callbacks hold no lock: detach_cable() stops them (joins
  // their threads) before the cable goes.
  PtyPort* cable = cable_.get();
  cable_->set_reader([this](std::span<const std::uint8_t> bytes) {
    if (accepting_) port_.write(bytes);
  });
  port_.set_reader([cable](std::span<const std::uint8_t> bytes) { cable->write(bytes); });
  link_names_locked();
  return link_host_path;
}

void UsbHost::detach_cable() {
  std::lock_guard lock(mutex_);
  if (!cable_) return;
  unlink_names_locked();
  port_.set_reader(nullptr);
  cable_->close_master();
  cable_->remove_link();
  cable_.reset();
}

std::string UsbHost::cable_path() const {
  std::lock_guard lock(mutex_);
  return cable_ ? cable_->link_path() : std::string();
}

void UsbHost::set_usb_names(const std::string& dir, const std::string& serial, const std::string& location) {
  std::lock_guard lock(mutex_);
  unlink_names_locked();
  names_dir_ = dir;
  serial_ = serial;
  location_ = location;
  if (!names_dir_.empty()) {
    fs::create_directories(names_dir_ + "/by-id");
    fs::create_directories(names_dir_ + "/by-path");
  }
  if (cable_) link_names_locked();
}

// Each name appears whole (a link renamed into place), as udev makes them.
void UsbHost::link_names_locked() const {
  if (names_dir_.empty() || !cable_) return;
  auto place = [&](const std::string& name) {
    std::string tmp = name + ".new";
    ::unlink(tmp.c_str());
    if (::symlink(cable_->link_path().c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), name.c_str()) != 0)
      std::fprintf(stderr, "vboard: cannot make the USB name %s\n", name.c_str());
  };
  if (!serial_.empty()) place(names_dir_ + "/by-id/" + kByIdPrefix + serial_ + kByIdSuffix);
  if (!location_.empty()) place(names_dir_ + "/by-path/" + location_);
}

void UsbHost::unlink_names_locked() const {
  if (names_dir_.empty()) return;
  if (!serial_.empty()) ::unlink((names_dir_ + "/by-id/" + kByIdPrefix + serial_ + kByIdSuffix).c_str());
  if (!location_.empty()) ::unlink((names_dir_ + "/by-path/" + location_).c_str());
}

}  // namespace vboard
