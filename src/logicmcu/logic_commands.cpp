#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "logicmcu/logic_frame.h"
#include "logicmcu/logic_link.h"
#include "logicmcu/logicmcu.h"

namespace ftmd {
namespace {

constexpr char kSetModeFormatError[] = "ERROR,Command format error\n";
constexpr char kSetValueFormatError[] = "data format error\n";
constexpr char kSetValueFailed[] = "ERROR,set group level failed\n";

constexpr int kFirstGroup = 1;
constexpr int kLastGroup = 4;
// Queries ask about every group.
constexpr std::uint8_t kAllGroups[] = {1, 2, 3, 4};

// A zeroed request frame with its head, code and data; checkbit is left to
// the exchange.
LogicFrame make_request(std::uint16_t cmd, std::span<const std::uint8_t> data) {
  LogicFrame frame{};
  frame.head1 = kLogicHead;
  frame.head2 = kLogicHead;
  frame.cmd = cmd;
  frame.msglen = static_cast<std::uint16_t>(data.size());
  std::copy(data.begin(), data.end(), frame.data.begin());
  return frame;
}

void trace_frame_size(const LogicFrame& frame) {
  syslog(LOG_DEBUG, "sizeof(wlogicmsg) == %zd, 7 + wlogicmsg.msglen = %d", sizeof(frame), 7 + frame.msglen);
}

// Mode code of a mode letter (upper case only), or 0.
std::uint8_t mode_code(char letter) {
  switch (letter) {
    case 'I':
      return kLogicModeInput;
    case 'O':
      return kLogicModeOutput;
    case 'A':
      return kLogicModeA;
    default:
      return 0;
  }
}

// Level set: the group number read like sscanf's "%d" (leading blanks and a
// sign accepted, stops at the first non-digit), or 0 when there is none or
// it is out of range.
int read_group(const char* text) {
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || value < kFirstGroup || value > kLastGroup) return 0;
  return static_cast<int>(value);
}

// Level set: is the group reported as output in the mode report the reply
// buffer holds? The check is textual: the first occurrence of the group's
// number anywhere in the report, then the first comma at or after it, must
// be followed by "O".
bool group_reported_output(int group, const char* report) {
  char number[16];
  std::snprintf(number, sizeof(number), "%d", group);
  const char* at = std::strstr(report, number);
  if (at == nullptr) {
    syslog(LOG_WARNING, "Matching pattern not found in feedback");
    return false;
  }
  const char* comma = std::strchr(at, ',');
  if (comma != nullptr && comma[1] == 'O') {
    syslog(LOG_DEBUG, "Found matching pattern and ',' after dataGroup is 'O'");
    return true;
  }
  syslog(LOG_DEBUG, "No matching pattern or ',' after dataGroup is not 'O'");
  return false;
}

}  // namespace

void start_logicmcu_receiver() { logicmcu_process_link().start_receiver(kLogicMcuPort); }

void logicmcu_getmode(LogicMcuLink& link, char*, ReplyBuffer& reply) {
  syslog(LOG_DEBUG, "Func: --> logicmcu_getmode");
  LogicFrame request = make_request(kLogicCmdGetMode, kAllGroups);
  trace_frame_size(request);
  LogicText text;
  if (logicmcu_exchange(link, request, text)) reply.printf("OK,%s\n", text.data());
}

void logicmcu_setmode(LogicMcuLink& link, char* args, ReplyBuffer& reply) {
  syslog(LOG_DEBUG, "Func: --> logicmcu_setmode");
  const char* param = args;
  syslog(LOG_DEBUG, "data len --> %d", static_cast<int>(std::strlen(param)));
  // Exactly "<group 1-4>,<I|O|A>".
  if (std::strlen(param) != 3 || param[0] < '1' || param[0] > '4' || param[1] != ',' ||
      mode_code(param[2]) == 0) {
    reply.set(kSetModeFormatError);
    return;
  }
  const std::uint8_t data[] = {static_cast<std::uint8_t>(param[0] - '0'), mode_code(param[2])};
  LogicFrame request = make_request(kLogicCmdSetMode, data);
  syslog(LOG_DEBUG, "wlogicmsg.data[0] = %d", request.data[0]);
  syslog(LOG_DEBUG, "wlogicmsg.data[1] = 0x%x", request.data[1]);
  trace_frame_size(request);
  LogicText text;
  // The MCU answers a mode set with a mode report.
  if (logicmcu_exchange(link, request, text)) reply.printf("OK,%s\n", text.data());
}

void logicmcu_getvalue(LogicMcuLink& link, char*, ReplyBuffer& reply) {
  syslog(LOG_DEBUG, "Func: --> logicmcu_getvalue");
  LogicFrame request = make_request(kLogicCmdGetValue, kAllGroups);
  LogicText text;
  if (logicmcu_exchange(link, request, text)) reply.printf("OK,%s\n", text.data());
}

void logicmcu_setvalue(LogicMcuLink& link, char* args, ReplyBuffer& reply) {
  // The mode report decides whether the group may be set; it is fetched
  // before the parameter is looked at, so even a malformed command costs one
  // exchange, and it stays in the reply if the level set goes unanswered.
  logicmcu_getmode(link, args, reply);

  const char* param = args;
  syslog(LOG_DEBUG, "data --> %s, get feedback --> %s", param, reply.c_str());

  int group = read_group(param);
  if (group == 0) {
    reply.set(kSetValueFormatError);
    return;
  }
  const char* comma = std::strchr(param, ',');
  if (comma == nullptr) {
    reply.set(kSetValueFormatError);
    return;
  }
  syslog(LOG_DEBUG, "commaPosition --> %s", comma);
  const char* levels = comma + 1;
  syslog(LOG_DEBUG, "Set Group -->: %d\n", group);
  syslog(LOG_DEBUG, "Set Value -->: %s\n", levels);
  if (std::strlen(levels) != 2) {
    syslog(LOG_DEBUG, "Invalid dataSetValue length\n");
    reply.set(kSetValueFormatError);
    return;
  }
  std::uint8_t level[2];
  for (int i = 0; i < 2; ++i) {
    syslog(LOG_DEBUG, "dataSetValue[%d] --> %c", i, levels[i]);
    if (levels[i] != 'H' && levels[i] != 'L') {
      reply.set(kSetValueFormatError);
      return;
    }
    level[i] = levels[i] == 'H' ? 1 : 0;
  }
  syslog(LOG_DEBUG, "setValue1: %d", level[0]);
  syslog(LOG_DEBUG, "setValue2: %d", level[1]);
  syslog(LOG_DEBUG, "feedback --> %s", reply.c_str());

  if (!group_reported_output(group, reply.c_str())) {
    reply.set(kSetValueFormatError);
    return;
  }

  const auto g = static_cast<std::uint8_t>(group);
  const std::uint8_t data[] = {g, 1, level[0], g, 2, level[1]};
  LogicFrame request = make_request(kLogicCmdSetValue, data);
  LogicText text;
  if (!logicmcu_exchange(link, request, text)) return;
  if (std::strcmp(text.data(), "OK") == 0)
    reply.printf("OK,%d,%s\n", group, levels);
  else
    reply.set(kSetValueFailed);
}

void logicmcu_getmode(char* args, ReplyBuffer& reply) {
  logicmcu_getmode(logicmcu_process_link(), args, reply);
}
void logicmcu_setmode(char* args, ReplyBuffer& reply) {
  logicmcu_setmode(logicmcu_process_link(), args, reply);
}
void logicmcu_getvalue(char* args, ReplyBuffer& reply) {
  logicmcu_getvalue(logicmcu_process_link(), args, reply);
}
void logicmcu_setvalue(char* args, ReplyBuffer& reply) {
  logicmcu_setvalue(logicmcu_process_link(), args, reply);
}

}  // namespace ftmd
