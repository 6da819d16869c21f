#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pc/handover.h"
#include "pc/link.h"

namespace ftmd::client {

// Longer than the slowest step on the device (the key test waits 15 s).
inline constexpr std::chrono::milliseconds kDefaultTimeout{20'000};
inline constexpr std::chrono::milliseconds kMaxTimeout{3'600'000};

// Exit statuses of ftmctl.
inline constexpr int kExitOk = 0;         // every reply began with "OK"
inline constexpr int kExitNotOk = 1;      // some reply did not (or a handover failed)
inline constexpr int kExitTransport = 2;  // the link failed: I/O error, time-out, bad frame
inline constexpr int kExitUsage = 64;     // bad command line (EX_USAGE)

// One thing to do on the link: send a command text, or run the activation
// file handover of one file.
struct Step {
  std::string command;  // when no handover
  std::optional<pc::HandoverFile> handover;
};

struct Options {
  std::string port = pc::kDefaultPort;
  std::chrono::milliseconds timeout = kDefaultTimeout;
  bool json = false;
  bool help = false;
  std::vector<Step> steps;  // empty: read them from stdin
};

struct ParsedArgs {
  std::optional<Options> options;
  std::string error;  // when options is empty
};

// Parses the arguments after argv[0]:
//   [--port PATH] [--timeout SEC] [--json] [--help] [--] COMMAND...
// "--opt=value" works too. SEC may have a fraction ("0.5"). Each COMMAND is
// one command text sent as is; the word "handover" takes the next argument
// ("devlic" or "cert") and stands for the whole handover of that file.
ParsedArgs parse_args(std::span<const char* const> args);

// One line read interactively: the line end ("\n" or "\r\n") removed and
// nothing else, since spaces can be part of a command. Empty lines and lines
// starting with '#' give nothing; "handover devlic" / "handover cert" give a
// handover; any other "handover ..." is an error.
struct ParsedLine {
  std::optional<Step> step;
  std::string error;
};
ParsedLine parse_line(std::string_view line);

extern const char kUsage[];

}  // namespace ftmd::client
