#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/host_frame.h"
#include "common/unique_fd.h"

namespace ftmd::pc::test {

using Bytes = std::vector<std::uint8_t>;

// The reply frame a well-behaved device sends for `text` to `request`.
inline Bytes reply_frame(const Bytes& request, const std::string& text) {
  Bytes out(text.size() + kHostBodyOffset + 1);
  out.resize(host_reply_encode(request, text.c_str(), out));
  return out;
}

// A stand-in for the device on the master side of a pty: each request that
// arrives goes to `respond`, whose bytes are written back (in pieces of
// `chunk` bytes when set, to split the reply across reads). The client opens
// slave_path() like a serial port.
class FakeDevice {
 public:
  using Responder = std::function<Bytes(const Bytes& request, const std::string& command)>;

  explicit FakeDevice(Responder respond, std::size_t chunk = 0)
      : respond_(std::move(respond)), chunk_(chunk) {
    int master = -1, slave = -1;
    char name[64] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) throw std::runtime_error("openpty");
    master_.reset(master);
    // Held open so the master never sees a hang-up between clients.
    slave_.reset(slave);
    slave_path_ = name;
    thread_ = std::jthread([this](const std::stop_token& stop) { serve(stop); });
  }

  const std::string& slave_path() const { return slave_path_; }
  // Bytes written to the client before any request (a late reply, noise).
  void inject(const Bytes& bytes) { write_all(bytes); }
  // The command texts received so far.
  std::vector<std::string> commands() {
    std::lock_guard lock(mutex_);
    return commands_;
  }
  // Closes the master: the client's port fails.
  void hang_up() {
    thread_.request_stop();
    thread_.join();
    master_.reset();
  }

 private:
  void write_all(const Bytes& bytes) {
    const std::size_t step = chunk_ == 0 ? bytes.size() : chunk_;
    for (std::size_t i = 0; i < bytes.size(); i += step) {
      std::size_t n = std::min(step, bytes.size() - i);
      if (::write(master_.get(), bytes.data() + i, n) != static_cast<ssize_t>(n)) return;
      if (chunk_ != 0) tcdrain(master_.get());
    }
  }

  void serve(const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      pollfd p{master_.get(), POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
      std::uint8_t buf[2048];
      ssize_t n = ::read(master_.get(), buf, sizeof(buf));
      if (n <= 0) continue;
      Bytes request(buf, buf + n);
      std::array<char, kCommandBufferSize> command{};
      host_request_command(request, command);
      {
        std::lock_guard lock(mutex_);
        commands_.emplace_back(command.data());
      }
      write_all(respond_(request, command.data()));
    }
  }

  Responder respond_;
  UniqueFd master_;
  UniqueFd slave_;
  std::string slave_path_;
  const std::size_t chunk_;
  std::mutex mutex_;
  std::vector<std::string> commands_;  // guarded by mutex_
  std::jthread thread_;
};

}  // namespace ftmd::pc::test
