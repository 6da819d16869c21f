#include "port.h"

#include <thread>

namespace ftmd::station {

// Placeholder: only a port given by path is found, and a reboot is waited
// out by retrying the open.
std::string PortChoice::describe() const {
  if (!usb_serial.empty()) return "USB serial " + usb_serial;
  if (!usb_location.empty()) return "USB location " + usb_location;
  return path;
}

PortLookup find_port(const PortChoice& choice, const std::string&) {
  if (choice.path.empty()) return {std::nullopt, "only a port path is supported yet"};
  return {choice.path, {}};
}

std::string port_holders(const std::string&, const std::string&) { return {}; }

std::optional<client::SerialLink> open_port(const PortChoice& choice, std::string* error) {
  auto found = find_port(choice);
  if (!found.path) {
    if (error) *error = found.error;
    return std::nullopt;
  }
  return client::SerialLink::open(*found.path, error);
}

std::optional<client::SerialLink> reopen_after_reboot(const PortChoice& choice, std::chrono::milliseconds,
                                                      std::chrono::milliseconds back_within, std::string* error) {
  auto deadline = std::chrono::steady_clock::now() + back_within;
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto link = open_port(choice, error)) return link;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return std::nullopt;
}

}  // namespace ftmd::station
