/* The floor of one request on the USB serial link: the least a responder on a
 * pty can do for the daemon's observable behaviour. It reads one frame, does
 * what the daemon did for that request and writes a reply of the same bytes,
 * for as long as the port is open.
 *
 *   ftmd_floor_responder TTY REPLY-HEX STEP...
 *
 * TTY is the pty slave, REPLY-HEX the whole reply frame in hex; each STEP is
 * done per request, in the order given (the daemon's own order):
 *   LEVEL:TEXT     one syslog call (a text the daemon logged)
 *   read:N:PATH    open, one read of at most N bytes, close (a device
 *                  attribute, a scratch file: the first line the daemon needs)
 *   readall:PATH   open, read to the end of the file, close (a unit file)
 *   system:LINE    the command line run with system()
 *   popen:LINE     the command line run with popen(), its first output line
 *                  read, then pclose()
 *   reply          the reply frame written with one write()
 * The steps after "reply" (the loop's trace before its next read) run after
 * the reply has gone out, as the daemon's do. syslog() goes to /dev/log as the
 * daemon's does. */
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
      if (strcmp(step, "reply") == 0) {
        if (write(fd, reply, reply_len) != (ssize_t)reply_len) return 0;
      } else if (strncmp(step, "read:", 5) == 0) {
        char* path;
        size_t size = strtoul(step + 5, &path, 10);
        if (*path != ':' || size > sizeof scratch) return 2;
        int afd = open(path + 1, O_RDONLY | O_CLOEXEC);
        if (afd < 0 || read(afd, scratch, size) < 0) return 1;
        close(afd);
      } else if (strncmp(step, "readall:", 8) == 0) {
        int afd = open(step + 8, O_RDONLY | O_CLOEXEC);
        if (afd < 0) return 1;
        ssize_t got;
        while ((got = read(afd, scratch, sizeof scratch)) > 0) {
        }
        close(afd);
        if (got < 0) return 1;
      } else if (strncmp(step, "system:", 7) == 0) {
        if (system(step + 7) == -1) return 1;
      } else if (strncmp(step, "popen:", 6) == 0) {
        FILE* pipe = popen(step + 6, "re");
        if (pipe == NULL) return 1;
        if (fgets(scratch, 256, pipe) == NULL) scratch[0] = '\0';
        pclose(pipe);
      } else {
        const char* colon = strchr(step, ':');
        if (colon == NULL) return 2;
        syslog(atoi(step), "%s", colon + 1);
      }
    }
  }
  return 0;
}
