#include <syslog.h>

#include <cerrno>

#include "daemon/service.h"

namespace ftmd {

int serial_set_attributes(int fd, speed_t speed, tcflag_t parity) {
  termios tty{};
  if (tcgetattr(fd, &tty) != 0) {
    syslog(LOG_INFO, "error %d from tcgetattr", errno);
    return -1;
  }
  cfsetospeed(&tty, speed);
  cfsetispeed(&tty, speed);
  tty.c_cflag = (tty.c_cflag & ~CSIZE) | CS8;
  tty.c_iflag &= ~IGNBRK;
  tty.c_lflag = 0;
  tty.c_oflag = 0;
  tty.c_cc[VMIN] = 0;
  tty.c_cc[VTIME] = 5;
  tty.c_iflag &= ~(ICRNL | IXON | IXOFF | IXANY);
  tty.c_cflag |= (CLOCAL | CREAD);
  tty.c_cflag &= ~(PARENB | PARODD);
  tty.c_cflag |= parity;
  tty.c_cflag &= ~CSTOPB;
  tty.c_cflag &= ~CRTSCTS;
  if (tcsetattr(fd, TCSANOW, &tty) != 0) {
    syslog(LOG_INFO, "error %d from tcsetattr", errno);
    return -1;
  }
  return 0;
}

void serial_set_blocking(int fd, int blocking) {
  termios tty{};
  if (tcgetattr(fd, &tty) != 0) {
    // The odd spelling is the text the line's log parsers know.
    syslog(LOG_INFO, "error %d from tggetattr", errno);
    return;
  }
  tty.c_cc[VMIN] = blocking ? 1 : 0;
  tty.c_cc[VTIME] = 5;
  if (tcsetattr(fd, TCSANOW, &tty) != 0) syslog(LOG_INFO, "error %d setting term attributes", errno);
}

}  // namespace ftmd
