#include "options.h"

#include <gtest/gtest.h>

namespace ftmd::client {
namespace {

using namespace std::chrono_literals;

struct ArgsCase {
  std::vector<const char*> args;
  std::string error;  // non-empty: the parse fails with this text in it
  std::string port = kDefaultPort;
  std::chrono::milliseconds timeout = kDefaultTimeout;
  bool json = false;
  std::vector<std::string> steps = {};  // commands, or "handover:<file>"
};

std::vector<std::string> describe(const std::vector<Step>& steps) {
  std::vector<std::string> out;
  for (const auto& s : steps)
    out.push_back(s.handover ? "handover:" + std::string(handover_target(*s.handover).file) : s.command);
  return out;
}

TEST(ClientArgs, ParsesOptionsCommandsAndHandovers) {
  const ArgsCase cases[] = {
      {{}, ""},
      {{"at+ftm,swver=?"}, "", kDefaultPort, kDefaultTimeout, false, {"at+ftm,swver=?"}},
      {{"--port", "/dev/pts/7", "--timeout", "2.5", "--json", "a", "b"},
       "",
       "/dev/pts/7",
       2500ms,
       true,
       {"a", "b"}},
      {{"--port=/dev/ttyACM1", "--timeout=30", "x"}, "", "/dev/ttyACM1", 30s, false, {"x"}},
      {{"-p", "/dev/ttyUSB0", "-t", "0.001", "-j"}, "", "/dev/ttyUSB0", 1ms, true},
      // A command may hold spaces and commas; it is one argument, sent as is.
      {{"at+ftm,sn= 3", "at+ftm,ethmac=001122334455,001122334466"},
       "",
       kDefaultPort,
       kDefaultTimeout,
       false,
       {"at+ftm,sn= 3", "at+ftm,ethmac=001122334455,001122334466"}},
      {{"handover", "devlic", "at+ftm,hwid=?", "handover", "cert"},
       "",
       kDefaultPort,
       kDefaultTimeout,
       false,
       {"handover:device.lic", "at+ftm,hwid=?", "handover:manufacturer.cert"}},
      // After "--" everything is a command, even what looks like an option.
      {{"--", "--json"}, "", kDefaultPort, kDefaultTimeout, false, {"--json"}},
      {{"--timeout", "0"}, "not a number of seconds"},
      {{"--timeout", "-1"}, "not a number of seconds"},
      {{"--timeout", "abc"}, "not a number of seconds"},
      {{"--timeout", "5s"}, "not a number of seconds"},
      {{"--timeout", "nan"}, "not a number of seconds"},
      {{"--timeout", "3601"}, "not a number of seconds"},
      {{"--timeout"}, "--timeout needs"},
      {{"--port"}, "--port needs a path"},
      {{"--port="}, "--port needs a path"},
      {{"--json=1"}, "takes no value"},
      {{"--verbose"}, "unknown option --verbose"},
      {{"handover"}, "handover needs a file"},
      {{"handover", "device.lic"}, "unknown file 'device.lic'"},
  };
  for (const auto& c : cases) {
    std::string label;
    for (const char* a : c.args) label += std::string(a) + " ";
    ParsedArgs parsed = parse_args(c.args);
    if (!c.error.empty()) {
      EXPECT_FALSE(parsed.options) << label;
      EXPECT_NE(parsed.error.find(c.error), std::string::npos) << label << "-> " << parsed.error;
      continue;
    }
    ASSERT_TRUE(parsed.options) << label << "-> " << parsed.error;
    EXPECT_EQ(parsed.options->port, c.port) << label;
    EXPECT_EQ(parsed.options->timeout, c.timeout) << label;
    EXPECT_EQ(parsed.options->json, c.json) << label;
    EXPECT_EQ(describe(parsed.options->steps), c.steps) << label;
  }
}

TEST(ClientArgs, InteractiveLinesLoseOnlyTheirLineEnd) {
  struct Case {
    std::string line;
    std::optional<std::string> step;  // as describe() writes it
    bool error = false;
  };
  const Case cases[] = {
      {"at+ftm,swver=?\n", "at+ftm,swver=?"},
      {"at+ftm,swver=?\r\n", "at+ftm,swver=?"},
      {"at+ftm,swver=?", "at+ftm,swver=?"},
      {" at+ftm,sn= 3 \n", " at+ftm,sn= 3 "},
      {"\n", std::nullopt},
      {"\r\n", std::nullopt},
      {"# a comment\n", std::nullopt},
      {"handover devlic\n", "handover:device.lic"},
      {"handover  cert \r\n", "handover:manufacturer.cert"},
      {"handover\n", std::nullopt, true},
      {"handover x\n", std::nullopt, true},
      {"handoverdevlic\n", "handoverdevlic"},
  };
  for (const auto& c : cases) {
    ParsedLine parsed = parse_line(c.line);
    EXPECT_EQ(!parsed.error.empty(), c.error) << c.line;
    std::optional<std::string> got;
    if (parsed.step) got = describe({*parsed.step}).front();
    EXPECT_EQ(got, c.step) << c.line;
  }
}

}  // namespace
}  // namespace ftmd::client
