#include "logicmcu/logic_link.h"

#include <fcntl.h>
#include <poll.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>

namespace ftmd {
namespace {

// Publishes a decoded reply: replaces the record, flags it and wakes the
// waiting command. `build` fills the text; it runs with the mutex held.
template <typename Build>
void publish_reply(LogicMcuLink& link, const LogicFrame& frame, bool trace_data, Build build) {
  std::lock_guard lock(link.mutex);
  link.reply.clear();
  syslog(LOG_DEBUG, "here: -->return from mcu data");
  if (trace_data) {
    for (std::size_t i = 0; i < frame.msglen; ++i)
      syslog(LOG_DEBUG, "logicmsg->data[%d] = 0x%x", static_cast<int>(i), frame.data[i]);
  }
  link.reply.text = build();
  link.reply.ready = 1;
  link.replied.notify_one();
}

// How often a hung-up line is read again.
constexpr int kHungUpReadInterval = 100;  // ms

// True when `fd` becomes readable within `timeout_ms`.
bool wait_readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeout_ms) > 0;
}

void trace_received(const LogicFrame& frame) {
  syslog(LOG_DEBUG, "head1 and head2 is 0x%x 0x%x\n", frame.head1, frame.head2);
  syslog(LOG_DEBUG, "get cmd from is 0x%x\n", frame.cmd);
  syslog(LOG_DEBUG, "get len from is 0x%x\n", frame.msglen);
  syslog(LOG_DEBUG, "received from logic Mcu = 0x%x 0x%x\n", frame.data[0], frame.data[1]);
  if (logic_frame_fits(frame)) syslog(LOG_DEBUG, "get checkbit = 0x%x\n", logic_checkbit(frame));
}

}  // namespace

LogicMcuLink& logicmcu_process_link() {
  // The receiver lives as long as the process; should the process end by
  // returning from main, it is stopped and joined on the way out.
  static LogicMcuLink link;
  return link;
}

void LogicMcuLink::start_receiver(const char* path) {
  if (receiver_.joinable() || !wake_.valid()) return;
  try {
    receiver_ = std::thread([this, port = std::string(path), wake = wake_.fd()] {
      logicmcu_rx_thread(*this, port.c_str(), wake);
    });
  } catch (const std::system_error&) {
    // Without a receiver every command times out, as with a missing port.
  }
}

void LogicMcuLink::stop_receiver() {
  if (!receiver_.joinable()) return;
  wake_.signal();
  receiver_.join();
}

int logicmcu_open_uart(LogicMcuLink& link, const char* path) {
  UniqueFd fd(::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    syslog(LOG_ERR, "Failed to open the serial port");
    return -1;
  }
  termios tty{};
  if (::tcgetattr(fd.get(), &tty) != 0) {
    syslog(LOG_ERR, "tcgetattr error");
    return -1;
  }
  ::cfsetospeed(&tty, kLogicMcuBaud);
  ::cfsetispeed(&tty, kLogicMcuBaud);
  tty.c_lflag = 0;
  tty.c_oflag = 0;
  tty.c_iflag &=
      ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  // Control flags other than the speed, VMIN and VTIME stay as the port has them.
  if (::tcsetattr(fd.get(), TCSANOW, &tty) != 0) {
    syslog(LOG_ERR, "tcsetattr error");
    return -1;
  }
  std::lock_guard lock(link.mutex);
  link.uart = std::move(fd);
  return 0;
}

void logicmcu_rx_thread(LogicMcuLink& link, const char* path, int wake_fd) {
  if (logicmcu_open_uart(link, path) != 0) return;
  int port;
  {
    std::lock_guard lock(link.mutex);
    port = link.uart.get();
  }

  LogicFrame frame{};
  std::span<std::uint8_t> buffer = frame.bytes();
  for (;;) {
    pollfd fds[2] = {{port, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0 && (fds[1].revents & POLLIN)) return;
    ssize_t count = ready < 0 ? -1 : 0;
    if (ready > 0 && fds[0].revents != 0) count = ::read(port, buffer.data(), buffer.size());

    if (count > 0) {
      // Each read is one whole frame from the buffer's first byte: no header
      // hunt, no joining of pieces, anything after the first frame ignored.
      trace_received(frame);
      // A msglen that would put checkbit past the buffer is dropped like a
      // bad checksum, and so is a bad checksum: silently, buffer left as is
      // (the next read overwrites it from the start).
      if (!logic_frame_accepted(frame)) continue;
      logicmcu_handle_frame(link, frame, static_cast<std::size_t>(count));
      frame = LogicFrame{};
      continue;
    }
    if (count == 0) {
      // Back to reading. A hung-up line reads 0 and polls ready at once for
      // as long as it stays hung up: it is read again at a walking pace, not
      // in a busy loop, until data comes or the receiver is stopped.
      if ((fds[0].revents & POLLHUP) && wait_readable(wake_fd, kHungUpReadInterval)) return;
      continue;
    }
    if (errno == EINTR || errno == EAGAIN) {
      syslog(LOG_WARNING, "Got EINTR/EAGAIN, continue for reading data.");
      continue;
    }
    syslog(LOG_ERR, "Got error (%d), quit the loop.", errno);
    std::lock_guard lock(link.mutex);
    link.uart.reset();
    return;
  }
}

void logicmcu_handle_frame(LogicMcuLink& link, const LogicFrame& frame, std::size_t count) {
  if (count <= kLogicHeaderSize || frame.head1 != kLogicHead || frame.head2 != kLogicHead) return;
  if (!logic_frame_fits(frame)) return;
  std::span<const std::uint8_t> data(frame.data.data(), frame.msglen);

  switch (frame.cmd) {
    case kLogicCmdNone:
      return;
    case kLogicCmdGetMode:
    case kLogicCmdSetMode:
      publish_reply(link, frame, false, [&] { return logic_mode_text(data); });
      return;
    case kLogicCmdGetValue:
      publish_reply(link, frame, true, [&] { return logic_value_text(data); });
      return;
    case kLogicCmdSetValue:
      publish_reply(link, frame, true, [&] {
        LogicText text = logic_set_result_text(data);
        if (text[0] != '\0')
          syslog(LOG_DEBUG, "Result: %s\n", text.data());
        else
          syslog(LOG_DEBUG, "feedback error\n");
        return text;
      });
      return;
    default:
      syslog(LOG_WARNING, "unknow/unsupport command(%d)!", frame.cmd);
      return;
  }
}

bool logicmcu_exchange(LogicMcuLink& link, LogicFrame& request, LogicText& text) {
  std::uint8_t checksum = logic_checksum(request);
  syslog(LOG_DEBUG, "calculateChecksumBite(&wlogicmsg) --> 0x%x", checksum);
  logic_checkbit(request) = checksum;

  std::unique_lock lock(link.mutex);
  // Whatever the receiver decoded before this request is not its answer.
  link.reply.clear();
  // Written with the lock held so the receiver cannot close the port (and
  // the number be reused) between reading the descriptor and the write. One
  // write; a short write is not detected, a failed one ends in a time-out.
  if (::write(link.uart.get(), request.bytes().data(), logic_frame_size(request)) < 0)
    syslog(LOG_ERR, "Write logicmsg data error: [errno = %d]", errno);

  // The deadline is wall-clock time: a clock step during the wait moves it.
  const auto deadline = std::chrono::system_clock::now() + kLogicReplyTimeout;
  while (link.reply.ready == 0) {
    if (link.replied.wait_until(lock, deadline) == std::cv_status::timeout) {
      syslog(LOG_WARNING, "Timeout: No data within 3 seconds\n");
      break;
    }
  }
  // A reply that landed just as the wait timed out still counts.
  if (link.reply.ready == 0) return false;
  syslog(LOG_INFO, "Consumed: %s\n", link.reply.text.data());
  text = link.reply.text;
  link.reply.ready = 0;
  return true;
}

}  // namespace ftmd
