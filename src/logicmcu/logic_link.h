#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include <termios.h>

#include "common/event_fd.h"
#include "common/unique_fd.h"
#include "logicmcu/logic_frame.h"

namespace ftmd {

// The UART wired to the logic MCU.
inline constexpr char kLogicMcuPort[] = "/dev/ttymxc2";
inline constexpr speed_t kLogicMcuBaud = B115200;
// How long a command waits for the MCU's reply, on the realtime clock.
inline constexpr std::chrono::seconds kLogicReplyTimeout{3};

// The reply the receiver thread hands to the command that waits for it.
struct LogicMcuReply {
  LogicText text{};  // NUL-terminated text of the last decoded reply frame
  int ready = 0;     // 1 while `text` holds a reply nobody has consumed yet

  // Empties the text and drops the flag in one step (under the link's mutex).
  void clear() {
    text.fill('\0');
    ready = 0;
  }
};

// Everything the receiver thread and the logic MCU commands share. One
// process-wide instance serves the daemon (logicmcu_process_link); tests make
// their own on a pty.
//
// Threads: the receiver thread opens the port, reads it, and fills `reply`;
// the command handlers (main thread, one at a time) write requests and
// consume `reply`. `mutex` is the only lock and is never held with another.
struct LogicMcuLink {
  LogicMcuLink() = default;
  LogicMcuLink(const LogicMcuLink&) = delete;
  LogicMcuLink& operator=(const LogicMcuLink&) = delete;
  // Stops the receiver (if any) and joins it; the port is closed after.
  ~LogicMcuLink() { stop_receiver(); }

  // Starts the receiver thread on the tty at `path`. It opens and configures
  // the port itself; if that fails it ends at once and the port stays closed.
  // Call once. A thread that cannot be created leaves the link without one.
  void start_receiver(const char* path);

  // Wakes the receiver out of its poll() and joins it. The daemon never
  // calls this: its receiver lives as long as the process.
  void stop_receiver();

  std::mutex mutex;
  std::condition_variable replied;  // signalled once per decoded reply frame
  LogicMcuReply reply;              // guarded by mutex
  UniqueFd uart;                    // guarded by mutex; closed only by the receiver

 private:
  EventFd wake_;  // signalled once the receiver must stop
  std::thread receiver_;
};

// The daemon's link, created on first use.
LogicMcuLink& logicmcu_process_link();

// Opens `path` read-write (no controlling tty, blocking), sets 115200 baud,
// raw input and output, keeps the control flags and VMIN/VTIME as the port
// reports them, and stores the descriptor in `link.uart`. Returns 0, or -1
// after logging the failing step (the descriptor then stays closed).
int logicmcu_open_uart(LogicMcuLink& link, const char* path);

// Receiver thread body: opens `path`, then reads one frame per read until a
// read fails with an error other than EINTR or EAGAIN (the port is then
// closed) or `wake_fd` becomes readable. A read of 0 bytes, a hung-up line's
// too, goes back to reading. Never holds the mutex while it reads.
void logicmcu_rx_thread(LogicMcuLink& link, const char* path, int wake_fd);

// Decodes one received frame whose checksum matched (`count` is what the read
// returned): a reply of code 1 to 4 replaces `link.reply` and is signalled;
// code 0, short frames and wrong heads are ignored; other codes are logged.
void logicmcu_handle_frame(LogicMcuLink& link, const LogicFrame& frame, std::size_t count);

// Sends `request` (head, cmd, msglen and data filled, the rest zero; its
// checkbit is filled here) and waits up to 3 seconds on the realtime clock for
// the receiver's next reply. A reply decoded before the request was sent is
// discarded. Returns true with the reply text in `text`, false on time-out
// (a failed write is logged and also ends in a time-out).
bool logicmcu_exchange(LogicMcuLink& link, LogicFrame& request, LogicText& text);

}  // namespace ftmd
