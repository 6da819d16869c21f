/* The floor of one request on the USB serial link: the least a responder on a
 * pty can do for the daemon's observable behaviour. It reads one frame, does
 * what the daemon did for that request and writes a reply of the same bytes,
 * for as long as the port is open.
 *
 *   ftmd_floor_responder TTY REPLY-HEX STEP...
 *
 * TTY is the pty slave, REPLY-HEX the whole reply frame in hex; each STEP is
 * done per request, in order:
 *   LEVEL:TEXT     one syslog call (a text the daemon logged)
 *   read:PATH      open, one read, close (a device attribute, a scratch file)
 *   system:LINE    the command line run with system()
 *   popen:LINE     the command line run with popen(), its output read whole
 * syslog() goes to /dev/log as the daemon's does. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

enum { kReceiveSize = 2048 };

static int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s TTY REPLY-HEX [STEP...]\n", argv[0]);
    return 2;
  }
  int fd = open(argv[1], O_RDWR | O_NOCTTY);
  if (fd < 0) {
    perror(argv[1]);
    return 1;
  }
  struct termios tio;
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  size_t hex_len = strlen(argv[2]);
  size_t reply_len = hex_len / 2;
  unsigned char* reply = malloc(reply_len + 1);
  for (size_t i = 0; i < reply_len; ++i) {
    int hi = hex_value(argv[2][2 * i]);
    int lo = hex_value(argv[2][2 * i + 1]);
    if (hi < 0 || lo < 0) return 2;
    reply[i] = (unsigned char)(hi * 16 + lo);
  }
  char** steps = argv + 3;
  int step_count = argc - 3;
  unsigned char buffer[kReceiveSize];
  char scratch[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    for (int i = 0; i < step_count; ++i) {
      const char* step = steps[i];
      if (strncmp(step, "read:", 5) == 0) {
        int afd = open(step + 5, O_RDONLY);
        if (afd < 0 || read(afd, scratch, sizeof scratch) < 0) return 1;
        close(afd);
      } else if (strncmp(step, "system:", 7) == 0) {
        if (system(step + 7) == -1) return 1;
      } else if (strncmp(step, "popen:", 6) == 0) {
        FILE* pipe = popen(step + 6, "r");
        if (pipe == NULL) return 1;
        while (fread(scratch, 1, sizeof scratch, pipe) > 0) {
        }
        pclose(pipe);
      } else {
        const char* colon = strchr(step, ':');
        if (colon == NULL) return 2;
        syslog(atoi(step), "%s", colon + 1);
      }
    }
    if (write(fd, reply, reply_len) != (ssize_t)reply_len) break;
  }
  return 0;
}
