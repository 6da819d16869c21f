#include <syslog.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/boot_env.h"
#include "core/shell.h"
#include "mcu/mcu.h"

namespace ftmd {
namespace {

constexpr int kCircuitTestFirst = 1;
constexpr int kCircuitTestLast = 14;
// The test number that starts the ageing run.
constexpr int kAgingTest = 15;

// The MCU takes test lines written straight into its tty; the shell's echo
// ends the line with a line feed.
constexpr char kMcuTestLine[] = "echo test:%d,%d > %s";
constexpr char kAgingVariable[] = "aging";
constexpr char kAgingWrite[] = "fw_setenv aging %d";
constexpr char kAgingRead[] = "fw_printenv aging";
constexpr std::size_t kShellLineSize = 256;
// The record as the tool prints it, "aging=<value>", read with this buffer.
constexpr int kEnvLineSize = 256;

constexpr char kReplyOk[] = "OK\n";
constexpr char kReplyError[] = "ERROR\n";
constexpr char kReplyFormatError[] = "ERROR,Command format error\n";
constexpr char kReplyData1Error[] = "ERROR,Command data1 format error\n";
constexpr char kReplyExecError[] = "ERROR,Failed to execute command\n";

constexpr char kTokenSeparators[] = ",";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool all_digits(const char* text) {
  for (const char* p = text; *p != '\0'; ++p)
    if (!is_digit(*p)) return false;
  return *text != '\0';
}

// The value of the digits `text` begins with, as atoi reads them, but held
// just above INT_MAX instead of overflowing.
constexpr long long kTooLarge = static_cast<long long>(INT_MAX) + 1;
long long leading_decimal(const char* text) {
  long long value = 0;
  for (const char* p = text; is_digit(*p); ++p) {
    value = value * 10 + (*p - '0');
    if (value >= kTooLarge) return kTooLarge;
  }
  return value;
}

// Writes one "test:%d,%d" line to the MCU through the shell. Only a shell
// that cannot be started counts as a failure.
bool send_test_line(int test, int value) {
  std::array<char, kShellLineSize> line{};
  std::snprintf(line.data(), line.size(), kMcuTestLine, test, value, kRpmsgTty);
  syslog(LOG_WARNING, "command -> %s", line.data());
  ReadPipe pipe(line.data());
  if (!pipe.started()) return false;
  pipe.close();
  return true;
}

}  // namespace

void circuit_test(char* args, ReplyBuffer& reply) {
  syslog(LOG_DEBUG, "Func: --> circuit_test");
  char* save = nullptr;
  const char* test_token = strtok_r(args, kTokenSeparators, &save);
  if (test_token == nullptr || !is_digit(test_token[0])) {
    reply.set(kReplyFormatError);
    return;
  }
  const long long test = leading_decimal(test_token);
  if (test < kCircuitTestFirst || test > kCircuitTestLast) {
    reply.set(kReplyFormatError);
    return;
  }
  const char* selector_token = strtok_r(nullptr, kTokenSeparators, &save);
  if (selector_token == nullptr ||
      (std::strcmp(selector_token, "1") != 0 && std::strcmp(selector_token, "2") != 0)) {
    reply.set(kReplyFormatError);
    return;
  }
  reply.set(send_test_line(static_cast<int>(test), selector_token[0] - '0') ? kReplyOk : kReplyExecError);
}

void deviceaging_test(char* args, ReplyBuffer& reply) {
  syslog(LOG_DEBUG, "Func: --> deviceaging_test");

  if (std::strcmp(args, "?") == 0) {
    syslog(LOG_DEBUG, "Reading aging");
    std::array<char, kEnvLineSize> line{};
    aging_env_read(line.data(), kEnvLineSize);
    if (line[0] == '\0')
      reply.set(kReplyError);
    else
      reply.printf("OK,%s\n", line.data());
    return;
  }

  char* save = nullptr;
  const char* test_token = strtok_r(args, kTokenSeparators, &save);
  if (test_token == nullptr || !is_digit(test_token[0]) || leading_decimal(test_token) != kAgingTest) {
    reply.set(kReplyData1Error);
    return;
  }
  const char* value_token = strtok_r(nullptr, kTokenSeparators, &save);
  if (value_token == nullptr) {
    reply.set(kReplyFormatError);
    return;
  }
  syslog(LOG_DEBUG, "token -> %s", value_token);
  // A value too long for a number is as wrong as one with a letter in it.
  if (!all_digits(value_token) || leading_decimal(value_token) == kTooLarge) {
    reply.set(kReplyFormatError);
    return;
  }
  const int value = static_cast<int>(leading_decimal(value_token));

  if (!send_test_line(kAgingTest, value)) {
    reply.set(kReplyExecError);
    return;
  }
  reply.set(kReplyOk);
  // The PC's answer does not depend on the record: the MCU runs the test anyway.
  if (aging_env_write(value)) syslog(LOG_DEBUG, "record aging time success");
}

bool aging_env_write(int value) {
  std::array<char, kShellLineSize> line{};
  std::snprintf(line.data(), line.size(), kAgingWrite, value);
  syslog(LOG_WARNING, "command -> %s", line.data());
  ReadPipe pipe(line.data());
  if (!pipe.started()) return false;
  pipe.close();
  return true;
}

void aging_env_read(char* buf, int size) {
  if (size <= 0) return;
  std::optional<std::string> line = first_output_line(kAgingRead, static_cast<std::size_t>(size - 1)).line;
  if (!line || env_line_is_unset(*line, kAgingVariable)) return;
  if (line->back() == '\n') line->pop_back();
  std::memcpy(buf, line->c_str(), line->size() + 1);
}

}  // namespace ftmd
