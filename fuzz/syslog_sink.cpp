// The fuzz targets' syslog: every message is still formatted (so a bad format
// or an unterminated argument is found by the sanitizers) but goes nowhere,
// instead of to the build machine's log socket millions of times.
#include <cstdarg>
#include <cstdio>

extern "C" {

void vsyslog(int, const char* format, va_list args) {
  char line[2048];
  std::vsnprintf(line, sizeof line, format, args);
}

void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsyslog(priority, format, args);
  va_end(args);
}

void __syslog_chk(int priority, int, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsyslog(priority, format, args);
  va_end(args);
}

}  // extern "C"
