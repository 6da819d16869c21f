#pragma once

#include <string_view>

// USB stick detection: a monitor thread records the kind of the latest
// matching kernel device event in the status file; the command reads it.
namespace ftmd {

inline constexpr char kUsbStatusFile[] = "/tmp/usbdetect.txt";
inline constexpr char kUsbSeedCommand[] = "echo ERROR,Insert or Pull out Usb first > /tmp/usbdetect.txt";
inline constexpr char kUsbAddedCommand[] = "echo OK,udisk=1 > /tmp/usbdetect.txt";
inline constexpr char kUsbRemovedCommand[] = "echo OK,udisk=0 > /tmp/usbdetect.txt";

// Headers of the events that count, compared as prefixes, case-sensitively.
inline constexpr std::string_view kUeventAddPrefix = "add@/devices/platform";
inline constexpr std::string_view kUeventRemovePrefix = "remove@/devices/platform";

inline constexpr int kUeventSocketBuffer = 1024;  // SO_RCVBUF
inline constexpr std::size_t kUeventReceiveSize = 2048;
inline constexpr int kUeventPollMs = 100;

// The monitor thread body: listens on the kernel's device-event netlink
// socket for the life of the process and rewrites the status file on each
// matching event. Never returns.
[[noreturn]] void udisk_monitor();

}  // namespace ftmd
