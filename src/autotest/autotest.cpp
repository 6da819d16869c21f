#include "autotest/autotest.h"

#include <syslog.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "core/command_table.h"
#include "identity/identity.h"

namespace ftmd {
namespace {

// "at+ftm,Autotest"; the number is read from one past its end.
constexpr std::size_t kPrefixLength = 15;
constexpr std::size_t kNumberPosition = 16;

constexpr char kUnknownCase[] = "ERROR\n";

// The cases that run one identity query and pass its reply on unchanged.
// Each query gets the command text its own table row would receive.
struct SingleQuery {
  long number;
  const char* command;
  CommandHandler handler;
};

constexpr SingleQuery kSingleQueries[] = {
    {2, "at+ftm,ftmver=?", ftmver_query},
    {3, "at+ftm,swver=?", swver_query},
    {4, "at+ftm,sn=?", sn_command},
    {5, "at+ftm,csn=?", csn_command},
    // ethaddr alone, not the two-address read-back of the table row.
    {6, "at+ftm,ethmac=?", ethaddr_query},
};

constexpr long kHelpCase = 1;
// Handlers may cut their command text in place: they get a writable copy.
constexpr std::size_t kQueryTextSize = 32;

}  // namespace

long autotest_parameter(std::string_view command) {
  if (command.size() <= kNumberPosition) return 0;
  // strtol reads exactly what atoi reads; on overflow it saturates, which no
  // case number matches.
  std::string number(command.substr(kNumberPosition));
  return std::strtol(number.c_str(), nullptr, 10);
}

bool autotest_wants_report(std::string_view command) {
  if (command.size() <= kPrefixLength) return true;
  return command.substr(kPrefixLength).find('=') != std::string_view::npos &&
         autotest_parameter(command) == 0;
}

void autotest(char* command, ReplyBuffer& reply) {
  if (autotest_wants_report(command)) {
    autotest_feedback(reply);
    return;
  }
  reply.clear();
  long number = autotest_parameter(command);
  if (number == kHelpCase) {
    reply.set(kAutotestHelp);
    return;
  }
  for (const SingleQuery& query : kSingleQueries) {
    if (query.number != number) continue;
    std::array<char, kQueryTextSize> text{};
    std::strncpy(text.data(), query.command, text.size() - 1);
    query.handler(text.data(), reply);
    return;
  }
  syslog(LOG_INFO, "unkown test case...\n");
  reply.set(kUnknownCase);
}

}  // namespace ftmd
