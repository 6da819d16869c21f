#include "vboard/usb_host.h"

namespace vboard {

UsbHost::UsbHost(std::string device_host_path) : port_(std::move(device_host_path)) {}

void UsbHost::connect() { port_.connect(); }
void UsbHost::hang_up() { port_.hang_up(); }
void UsbHost::unplug() { port_.close_master(); }
void UsbHost::remove_port() { port_.remove_link(); }

}  // namespace vboard
