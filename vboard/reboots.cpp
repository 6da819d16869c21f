#include "vboard/reboots.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "common/deadline.h"
#include "vboard/board.h"

namespace vboard {

using namespace std::chrono_literals;

Reboots::Reboots(Board& board, const std::string& record_dir, bool reenumerate,
                 std::chrono::milliseconds boot_time)
    : board_(board),
      inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      reenumerate_(reenumerate),
      boot_time_(boot_time) {
  if (!inotify_ || !wake_.valid() ||
      ::inotify_add_watch(inotify_.get(), record_dir.c_str(), IN_CLOSE_WRITE | IN_MODIFY) < 0)
    throw BoardError(std::string("vboard: cannot watch the board's reboot record: ") + std::strerror(errno));
  thread_ = std::jthread([this](const std::stop_token& st) { watch(st); });
}

Reboots::~Reboots() {
  thread_.request_stop();
  wake_.signal();
}

void Reboots::watch(const std::stop_token& stop) {
  const std::string record = std::filesystem::path(board_path::kRebootRecord).filename();
  alignas(inotify_event) char buf[4096];
  while (!stop.stop_requested()) {
    pollfd p[2] = {{inotify_.get(), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents || stop.stop_requested()) break;
    bool record_changed = false;
    for (ssize_t n; (n = ::read(inotify_.get(), buf, sizeof(buf))) > 0;) {
      for (char* at = buf; at < buf + n;) {
        auto* event = reinterpret_cast<inotify_event*>(at);
        if (event->len > 0 && record == event->name) record_changed = true;
        at += sizeof(inotify_event) + event->len;
      }
    }
    if (!record_changed) continue;
    const int seen = board_.standins().reboot_count();
    bool act = false;
    {
      std::lock_guard lock(mutex_);
      act = reenumerate_ && seen > seen_;
      seen_ = std::max(seen_, seen);
    }
    if (!act) continue;
    try {
      reboot(stop);
    } catch (const std::exception& e) {
      // A board that cannot come back is like a device that does not boot:
      // the test PC sees no port; say why on the tool's stderr.
      std::fprintf(stderr, "vboard: the reboot failed: %s\n", e.what());
    }
  }
}

// ftmd stops, the device's USB port goes (its names first, as udev removes
// them), the board boots for a while, the port comes back as a new tty at the
// same path and ftmd starts again.
void Reboots::reboot(const std::stop_token& stop) {
  std::chrono::milliseconds boot_time;
  {
    std::lock_guard lock(mutex_);
    boot_time = boot_time_;
  }
  if (!cycle(stop, boot_time, {})) return;
  std::lock_guard lock(mutex_);
  ++done_;
  changed_.notify_all();
}

void Reboots::swap_unit(const std::function<void()>& fresh_unit) {
  std::chrono::milliseconds boot_time;
  {
    std::lock_guard lock(mutex_);
    boot_time = boot_time_;
  }
  cycle(thread_.get_stop_token(), boot_time, fresh_unit);
}

bool Reboots::cycle(const std::stop_token& stop, std::chrono::milliseconds boot_time,
                    const std::function<void()>& while_down) {
  std::lock_guard cycling(cycle_mutex_);
  board_.kill_daemon(SIGTERM);
  if (!board_.wait_daemon_exit(3s)) {
    board_.kill_daemon(SIGKILL);
    board_.wait_daemon_exit(3s);
  }
  UsbHost& usb = board_.usb_host();
  const std::string cable = usb.cable_path();
  const BoardOptions& options = board_.options();
  usb.detach_cable();
  if (options.host_port) usb.unplug();
  // The Ethernet links drop while the board is down: the PC's side sees the
  // carrier go and forgets the board's MAC (its neighbour entry), so a unit
  // that comes back with another MAC is reached at once.
  for (const auto& i : options.interfaces) board_.network().set_up(i.name, false);
  if (while_down) while_down();
  pollfd p{wake_.fd(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(boot_time.count())) != 0 || stop.stop_requested()) return false;
  for (const auto& i : options.interfaces) board_.network().set_up(i.name, true);
  if (options.host_port) usb.connect();
  // The port is there before ftmd has opened its tty: what the PC sends
  // until then is lost, as on the device.
  usb.set_accepting(false);
  if (!cable.empty()) usb.attach_cable(cable);
  const std::size_t mark = board_.syslog().mark();
  board_.start_daemon();
  for (const ftmd::Deadline serving(30s); !stop.stop_requested() && !serving.passed();)
    if (board_.wait_serving(100ms, mark)) break;
  usb.set_accepting(true);
  return true;
}

void Reboots::set_reenumerates(bool on, std::chrono::milliseconds boot_time) {
  const int recorded = board_.standins().reboot_count();
  std::lock_guard lock(mutex_);
  reenumerate_ = on;
  boot_time_ = boot_time;
  seen_ = std::max(seen_, recorded);
}

int Reboots::done() const {
  std::lock_guard lock(mutex_);
  return done_;
}

bool Reboots::wait_done(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done_ >= count; });
}

}  // namespace vboard
