// Serial numbers in the boot environment: `msn` (product) and `csn`
// (customer). Both share one front end and one way of writing; they read back
// differently, through a scratch file and through an awk pipeline, and the
// replies keep those differences.
#include <syslog.h>

#include <cstring>
#include <string>
#include <string_view>

#include "core/command.h"
#include "core/file_text.h"
#include "core/shell.h"
#include "identity/identity.h"
#include "identity/identity_constants.h"
#include "identity/identity_text.h"

namespace ftmd {
namespace {

using namespace identity;

struct SerialVariable {
  const char* name;        // boot variable
  const char* set_prefix;  // "fw_setenv <name> "
  void (*read_back)(ReplyBuffer&);
};

// The value is single-quoted so that no byte of it reaches the shell as
// syntax: "x;touch /tmp/owned" is stored as those 18 characters. A value
// longer than the command line leaves it is refused before anything runs.
void serial_write(const SerialVariable& variable, const char* value, ReplyBuffer& reply) {
  // Both tool families read a word that begins with "-" as an option, even
  // after the variable name ("-s <file>" loads variables from a file): such a
  // value would not be stored as sent, so it is refused before anything runs.
  if (value[0] == '-') {
    syslog(LOG_WARNING, "%s: a value beginning with '-' is not stored, nothing written", variable.name);
    reply.set("ERROR,format error\n");
    return;
  }
  auto line = quoted_command_line(variable.set_prefix, value);
  if (!line) {
    syslog(LOG_WARNING, "%s: a value of %zu bytes does not fit the command line, nothing written",
           variable.name, std::strlen(value));
    reply.set("ERROR,length error\n");
    return;
  }
  run_shell(line->c_str());
  // The tool's exit status is never looked at; the read-back tells.
  reply.set("OK\n");
}

void msn_read(ReplyBuffer& reply) {
  run_shell(kMsnReadCommand);
  auto first_line = read_first_line(kMsnScratchPath, kMaxLine);
  if (!first_line) syslog(LOG_INFO, "cannot read the file\n");
  std::string value = scratch_value(first_line, kMsnVar);
  syslog(LOG_INFO, "%s\n", value.c_str());
  reply.printf(value == kNullValue ? "ERROR,%s\n" : "OK,%s\n", value.c_str());
}

void csn_read(ReplyBuffer& reply) {
  OutputLine output = first_output_line(kCsnReadCommand, kMaxLine);
  if (!output.started) {
    reply.set("Error: failed to run command\n");
    return;
  }
  // awk prints an empty line for libubootenv's "csn=" and nothing at all
  // for the other tools: both mean not set.
  auto value = csn_value(output.line);
  reply.printf("%s,%s\n", value ? "OK" : "ERROR", value ? value->c_str() : kNullValue);
}

void serial_command(const SerialVariable& variable, char* value, ReplyBuffer& reply) {
  if (*value == '\0') {
    reply.set(kInvalidCmdReply);
  } else if (std::strcmp(value, "?") == 0) {
    variable.read_back(reply);
  } else {
    serial_write(variable, value, reply);
  }
}

constexpr SerialVariable kMsn{kMsnVar, kMsnSetPrefix, msn_read};
constexpr SerialVariable kCsn{kCsnVar, kCsnSetPrefix, csn_read};

}  // namespace

void sn_command(char* args, ReplyBuffer& reply) { serial_command(kMsn, args, reply); }

void csn_command(char* args, ReplyBuffer& reply) { serial_command(kCsn, args, reply); }

}  // namespace ftmd
