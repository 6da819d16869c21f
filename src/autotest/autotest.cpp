#include "autotest/autotest.h"

#include <syslog.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "core/command.h"
#include "identity/identity.h"

namespace ftmd {
namespace {

// The number is read from one past the first character of the arguments.
constexpr std::size_t kNumberPosition = 1;

constexpr char kUnknownCase[] = "ERROR\n";

// The cases that run one identity query and pass its reply on unchanged.
// Each query gets the arguments its own command would have for a query.
struct SingleQuery {
  long number;
  const char* args;
  CommandHandler handler;
};

constexpr SingleQuery kSingleQueries[] = {
    {2, "", ftmver_query},
    {3, "", swver_query},
    {4, "?", sn_command},
    {5, "?", csn_command},
    // ethaddr alone, not the two-address read-back of the MAC command.
    {6, "?", ethaddr_query},
};

constexpr long kHelpCase = 1;
// Handlers may cut their arguments in place: they get a writable copy.
constexpr std::size_t kQueryArgsSize = 4;

}  // namespace

long autotest_parameter(std::string_view args) {
  if (args.size() <= kNumberPosition) return 0;
  // strtol reads exactly what atoi reads; on overflow it saturates, which no
  // case number matches.
  std::string number(args.substr(kNumberPosition));
  return std::strtol(number.c_str(), nullptr, 10);
}

bool autotest_wants_report(std::string_view args) {
  if (args.empty()) return true;
  return args.find('=') != std::string_view::npos && autotest_parameter(args) == 0;
}

void autotest(char* args, ReplyBuffer& reply) {
  if (autotest_wants_report(args)) {
    autotest_feedback(reply);
    return;
  }
  reply.clear();
  long number = autotest_parameter(args);
  if (number == kHelpCase) {
    reply.set(kAutotestHelp);
    return;
  }
  for (const SingleQuery& query : kSingleQueries) {
    if (query.number != number) continue;
    std::array<char, kQueryArgsSize> text{};
    std::strncpy(text.data(), query.args, text.size() - 1);
    query.handler(text.data(), reply);
    return;
  }
  syslog(LOG_INFO, "unkown test case...\n");
  reply.set(kUnknownCase);
}

}  // namespace ftmd
