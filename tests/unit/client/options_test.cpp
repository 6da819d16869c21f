#include "options.h"

#include <gtest/gtest.h>

namespace ftmd::client {
namespace {

std::string describe(const Step& s) {
  return s.handover ? "handover:" + std::string(pc::handover_target(*s.handover).file) : s.command;
}

// What the parse gave, in one line: "port timeout-ms [json] | step | step".
std::string describe(const ParsedArgs& parsed) {
  if (!parsed.options) return "error: " + parsed.error;
  const Options& o = *parsed.options;
  std::string text = o.port + " " + std::to_string(o.timeout.count()) + (o.json ? " json" : "");
  for (const Step& s : o.steps) text += " | " + describe(s);
  return text;
}

TEST(ClientArgs, ParsesOptionsCommandsAndHandovers) {
  struct Case {
    std::vector<const char*> args;
    std::string parsed;  // as describe() writes it; for an error, a piece of it
  };
  const Case cases[] = {
      {{}, "/dev/ttyACM0 20000"},
      {{"at+ftm,swver=?"}, "/dev/ttyACM0 20000 | at+ftm,swver=?"},
      {{"--port", "/dev/pts/7", "--timeout", "2.5", "--json", "a", "b"}, "/dev/pts/7 2500 json | a | b"},
      {{"--port=/dev/ttyACM1", "--timeout=30", "x"}, "/dev/ttyACM1 30000 | x"},
      {{"-p", "/dev/ttyUSB0", "-t", "0.001", "-j"}, "/dev/ttyUSB0 1 json"},
      // A command may hold spaces and commas; it is one argument, sent as is.
      {{"at+ftm,sn= 3", "at+ftm,ethmac=001122334455,001122334466"},
       "/dev/ttyACM0 20000 | at+ftm,sn= 3 | at+ftm,ethmac=001122334455,001122334466"},
      {{"handover", "devlic", "at+ftm,hwid=?", "handover", "cert"},
       "/dev/ttyACM0 20000 | handover:device.lic | at+ftm,hwid=? | handover:manufacturer.cert"},
      // After "--" everything is a command, even what looks like an option.
      {{"--", "--json"}, "/dev/ttyACM0 20000 | --json"},
      {{"--timeout", "0"}, "error: --timeout: '0' is not a number of seconds"},
      {{"--timeout", "3601"}, "not a number of seconds"},
      {{"--timeout"}, "error: --timeout needs"},
      {{"--port"}, "error: --port needs a path"},
      {{"--json=1"}, "error: --json takes no value"},
      {{"--verbose"}, "error: unknown option --verbose"},
      {{"handover"}, "error: handover needs a file"},
      {{"handover", "device.lic"}, "error: handover: unknown file 'device.lic'"},
  };
  for (const auto& c : cases) {
    const std::string got = describe(parse_args(c.args));
    if (got.starts_with("error")) {
      EXPECT_NE(got.find(c.parsed), std::string::npos) << got;
    } else {
      EXPECT_EQ(got, c.parsed);
    }
  }
}

TEST(ClientArgs, InteractiveLinesLoseOnlyTheirLineEnd) {
  struct Case {
    std::string line;
    std::string step;  // as describe() writes it; "" for nothing, "error" for an error
  };
  const Case cases[] = {
      {"at+ftm,swver=?\n", "at+ftm,swver=?"},
      {"at+ftm,swver=?\r\n", "at+ftm,swver=?"},
      {"at+ftm,swver=?", "at+ftm,swver=?"},
      {" at+ftm,sn= 3 \n", " at+ftm,sn= 3 "},
      {"\n", ""},
      {"# a comment\n", ""},
      {"handover devlic\n", "handover:device.lic"},
      {"handover  cert \r\n", "handover:manufacturer.cert"},
      {"handover\n", "error"},
      {"handover x\n", "error"},
      {"handoverdevlic\n", "handoverdevlic"},
  };
  for (const auto& c : cases) {
    ParsedLine parsed = parse_line(c.line);
    EXPECT_EQ(!parsed.error.empty() ? "error" : parsed.step ? describe(*parsed.step) : "", c.step) << c.line;
  }
}

}  // namespace
}  // namespace ftmd::client
