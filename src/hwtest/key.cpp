#include "hwtest/key.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/event_fd.h"
#include "common/unique_fd.h"
#include "core/command.h"
#include "hwtest/hwtest.h"

namespace ftmd {
namespace {

// SIGUSR1 only interrupts the reader's poll(); the wake-up fd is what stops
// it, so the handler has nothing to do (and does nothing unsafe).
extern "C" void on_key_stop_signal(int) {}

void install_stop_signal() {
  struct sigaction action {};
  action.sa_handler = on_key_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  if (::sigaction(SIGUSR1, &action, nullptr) != 0)
    syslog(LOG_INFO, "warning, failed to setup signal handler.\n");
}

// The request's unnamed semaphore, destroyed when the request ends.
class KeySemaphore {
 public:
  KeySemaphore() : ready_(::sem_init(&sem_, 0, 0) == 0) {}
  KeySemaphore(const KeySemaphore&) = delete;
  KeySemaphore& operator=(const KeySemaphore&) = delete;
  ~KeySemaphore() {
    if (ready_) ::sem_destroy(&sem_);
  }
  bool ready() const { return ready_; }
  sem_t* get() { return &sem_; }

  // Waits until posted or until the absolute realtime `deadline`; false on
  // time-out (or any other failure of the wait).
  bool wait_until(const timespec& deadline) {
    int rc;
    while ((rc = ::sem_timedwait(&sem_, &deadline)) != 0 && errno == EINTR) {
    }
    return rc == 0;
  }

 private:
  sem_t sem_;
  bool ready_;
};

// The reader thread of one request. Whatever path the request takes, the
// destructor stops the reader (if it still runs) and joins it, so no reader
// outlives its request. Declared after the semaphore and the wake-up fd, so
// it is destroyed before them.
class KeyReader {
 public:
  KeyReader(KeyWaitContext& context, const EventFd& wake) : context_(context), wake_(wake) {}
  KeyReader(const KeyReader&) = delete;
  KeyReader& operator=(const KeyReader&) = delete;
  ~KeyReader() {
    if (running_) {
      stop();
      join();
    }
  }

  bool start() {
    running_ = ::pthread_create(&thread_, nullptr, &KeyReader::entry, &context_) == 0;
    return running_;
  }

  // Makes the reader's poll() return: the write is what ends it, the signal
  // merely interrupts a wait in progress.
  void stop() {
    wake_.signal();
    ::pthread_kill(thread_, SIGUSR1);
  }

  void join() {
    if (!running_) return;
    ::pthread_join(thread_, nullptr);
    running_ = false;
  }

 private:
  static void* entry(void* arg) {
    keypad_check_thread(static_cast<KeyWaitContext*>(arg));
    return nullptr;
  }

  KeyWaitContext& context_;
  const EventFd& wake_;
  pthread_t thread_{};
  bool running_ = false;
};

void log_press_event(const KeyEvent& event, std::uint32_t flag) {
  syslog(LOG_INFO, "--Thread-- Reading...\n");
  syslog(LOG_INFO, "-------------------------\n");
  syslog(LOG_INFO, "value: %d\n", event.value);
  syslog(LOG_INFO, "time.tv_sec: %llu\n", static_cast<unsigned long long>(event.sec));
  syslog(LOG_INFO, "type: %hd\n", static_cast<short>(event.type));
  syslog(LOG_INFO, "code: %hd\n\n", static_cast<short>(event.code));
  syslog(LOG_INFO, "flag: %#x\n", flag);
}

enum class ReadOutcome { kEvent, kAgain, kFailed };

ReadOutcome read_event(const UniqueFd& device, KeyEvent& event) {
  event = KeyEvent{};
  ssize_t got = ::read(device.get(), &event, sizeof(event));
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return ReadOutcome::kAgain;
  if (got != static_cast<ssize_t>(sizeof(event))) {
    std::perror("read");
    return ReadOutcome::kFailed;
  }
  return ReadOutcome::kEvent;
}

}  // namespace

void keypad_check_thread(KeyWaitContext* context) {
  // Non-blocking, so neither the open nor a read can hold the reader once it
  // is asked to stop; it waits only in poll().
  UniqueFd device(::open(kKeyDevice, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!device) {
    syslog(LOG_INFO, "failed to open the device\n");
    ::sem_post(context->sem);
    return;
  }
  syslog(LOG_INFO, "--Thread-- %s device opened OK\n", kKeyDevice);

  while (context->flag != kKeySeen) {
    pollfd fds[2] = {{device.get(), POLLIN, 0}, {context->wake_fd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::perror("poll");
      break;
    }
    if (fds[1].revents != 0) {
      syslog(LOG_INFO, "thread-%#x would quit for signal trigger\n",
             static_cast<unsigned>(static_cast<std::uint32_t>(::pthread_self())));
      return;  // the device closes here, once, by its owner
    }
    if (fds[0].revents == 0) continue;

    KeyEvent event;
    ReadOutcome outcome = read_event(device, event);
    if (outcome == ReadOutcome::kAgain) continue;
    // A failing device will not recover within the request: give up at once
    // and let the handler answer now rather than at the deadline.
    if (outcome == ReadOutcome::kFailed) break;
    if (event.value != kKeyPressValue) continue;
    log_press_event(event, context->flag);
    if (event.code == kResetKeyCode) context->flag |= kKeySeen;
    syslog(LOG_INFO, "\n");
  }

  if (context->flag == kKeySeen) syslog(LOG_INFO, "Reset key event are detected, notify caller\n");
  device.reset();
  ::sem_post(context->sem);
}

void key_test(char* args, ReplyBuffer& reply) {
  if (std::strcmp(args, kKeyTestArgs) != 0) {
    invalid_command(args, reply);
    return;
  }

  timespec deadline{};
  if (::clock_gettime(CLOCK_REALTIME, &deadline) != 0) {
    reply.set("AT+NOK,get time failed\n");
    return;
  }
  // Absolute on the realtime clock: a change of the system time moves the end.
  deadline.tv_sec += kKeyWaitSeconds;

  KeySemaphore sem;
  if (!sem.ready()) {
    reply.set("AT+NOK,sem failed\n");
    return;
  }
  install_stop_signal();

  syslog(LOG_INFO, "now, will create the thread...\n");
  EventFd wake;
  KeyWaitContext context{sem.get(), 0, wake.fd()};
  KeyReader reader(context, wake);
  if (!wake.valid() || !reader.start()) {
    syslog(LOG_INFO, "can't create keypad press checking thread\n");
    reply.set("AT+NOK,thread failed\n");
    return;
  }

  if (sem.wait_until(deadline)) {
    reader.join();
  } else {
    syslog(LOG_INFO, "oh, this is timeout for key testing case.\n");
    syslog(LOG_INFO, "try to kill the background thread...\n");
    reader.stop();
    reader.join();
    syslog(LOG_INFO, "the child thread killed[OK]\n");
  }

  // No press: the reply stays empty, which the station reads as a failed key.
  if (context.flag != 0) reply.set("OK\n");
}

}  // namespace ftmd
