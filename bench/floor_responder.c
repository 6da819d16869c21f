/* The floor of one request on the USB serial link: the least a responder on a
 * pty can do for the daemon's observable behaviour. It reads one frame, makes
 * the same syslog calls the daemon made for that request and writes a reply of
 * the same bytes, for as long as the port is open.
 *
 *   ftmd_floor_responder TTY REPLY-HEX [read:PATH] LEVEL:TEXT...
 *
 * TTY is the pty slave, REPLY-HEX the whole reply frame in hex, read:PATH a
 * file read whole per request (open, read, close: what a handler that reports
 * a device attribute must do), each LEVEL:TEXT one syslog call (the texts the
 * daemon logged). syslog() goes to
 * /dev/log as the daemon's does; the bench program puts a captured socket
 * there. */
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
    fprintf(stderr, "usage: %s TTY REPLY-HEX [LEVEL:TEXT...]\n", argv[0]);
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
  const char* read_path = NULL;
  int first_log = 3;
  if (argc > 3 && strncmp(argv[3], "read:", 5) == 0) {
    read_path = argv[3] + 5;
    first_log = 4;
  }
  int log_count = argc - first_log;
  int* levels = calloc((size_t)log_count + 1, sizeof(int));
  const char** texts = calloc((size_t)log_count + 1, sizeof(char*));
  for (int i = 0; i < log_count; ++i) {
    char* colon = strchr(argv[first_log + i], ':');
    if (colon == NULL) return 2;
    levels[i] = atoi(argv[first_log + i]);
    texts[i] = colon + 1;
  }
  unsigned char buffer[kReceiveSize];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    if (read_path != NULL) {
      char attribute[256];
      int afd = open(read_path, O_RDONLY);
      if (afd < 0 || read(afd, attribute, sizeof attribute) < 0) return 1;
      close(afd);
    }
    for (int i = 0; i < log_count; ++i) syslog(levels[i], "%s", texts[i]);
    if (write(fd, reply, reply_len) != (ssize_t)reply_len) break;
  }
  return 0;
}
