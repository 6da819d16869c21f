#include "port_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "pc/handover.h"
#include "pc/text.h"

namespace ftmd::station {
namespace {

constexpr std::size_t kMaxNameKey = 180;
constexpr std::size_t kMaxHolderText = 512;
// A holder writes its name just after it took the lock: a reader that finds
// the file still empty looks again this often, this many times.
constexpr auto kHolderRetry = std::chrono::milliseconds(20);
constexpr int kHolderTries = 10;

std::string safe(std::string_view text) {
  std::string out;
  for (char c : text) {
    const bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    out += plain ? c : '_';
  }
  if (out.size() > kMaxNameKey) {
    // Long names keep their ends apart by a digest of the whole.
    out = out.substr(0, kMaxNameKey - 33) + "-" + pc::md5_hex(text);
  }
  return out;
}

std::string read_holder(int fd) {
  char text[kMaxHolderText];
  for (int i = 0; i < kHolderTries; ++i) {
    ssize_t n = ::pread(fd, text, sizeof text, 0);
    if (n > 0) {
      std::string holder(text, static_cast<std::size_t>(n));
      while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0')) holder.pop_back();
      // Whatever another program left in the file: shown, never obeyed.
      if (!holder.empty()) return pc::escape_reply(holder);
    }
    std::this_thread::sleep_for(kHolderRetry);
  }
  return {};
}

}  // namespace

std::string PortLock::file_name(const PortChoice& port) {
  if (!port.usb_serial.empty()) return "ftmstation-usb-serial-" + safe(port.usb_serial) + ".lock";
  if (!port.usb_location.empty()) return "ftmstation-usb-location-" + safe(port.usb_location) + ".lock";
  return "ftmstation-path-" + safe(port.path) + ".lock";
}

std::optional<PortLock> PortLock::take(const PortChoice& port, const std::string& holder, std::string* error,
                                       const std::string& dir) {
  const std::string path = dir + "/" + file_name(port);
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd) {
    *error = "cannot make the port lock " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err != EWOULDBLOCK) {
      *error = "cannot lock " + path + ": " + std::strerror(err);
      return std::nullopt;
    }
    std::string who = read_holder(fd.get());
    *error = port.describe() + " is in use by " + (who.empty() ? "another station" : who) +
             ", which holds it (across its unit's reboots) until that slot ends; lock " + path;
    return std::nullopt;
  }
  const std::string text = holder + "\n";
  // Should the name not be written, the lock still holds; a refused station
  // then only says less.
  [[maybe_unused]] const bool named =
      ::ftruncate(fd.get(), 0) == 0 && ::pwrite(fd.get(), text.data(), text.size(), 0) >= 0;
  return PortLock(std::move(fd), path);
}

}  // namespace ftmd::station
