#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace ftmd::client {

const char kUsage[] =
    "usage: ftmctl [--port PATH] [--timeout SEC] [--json] [COMMAND | handover devlic|cert]...\n"
    "Sends each COMMAND (e.g. 'at+ftm,swver=?') to the device in one frame and prints its reply\n"
    "with control characters escaped. Without commands, reads them from stdin, one per line.\n"
    "  --port PATH     serial port of the device (default /dev/ttyACM0)\n"
    "  --timeout SEC   time allowed for each reply (default 20)\n"
    "  --json          one JSON object per command: command, reply, raw, ok, elapsed_ms\n"
    "  handover FILE   publish, download over HTTP, digest and confirm device.lic (devlic)\n"
    "                  or manufacturer.cert (cert)\n"
    "Exit status: 0 every reply began with OK, 1 some did not, 2 transport error, time-out or\n"
    "bad frame, 64 bad usage.\n";

namespace {

constexpr std::string_view kHandoverWord = "handover";

std::optional<std::chrono::milliseconds> parse_timeout(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(seconds) || seconds <= 0) return std::nullopt;
  auto ms = std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
  if (ms > kMaxTimeout) return std::nullopt;
  return ms;
}

}  // namespace

ParsedArgs parse_args(std::span<const char* const> args) {
  Options options;
  bool options_done = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_done = true;
        continue;
      }
      std::string name = arg;
      std::optional<std::string> value;
      if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
      }
      auto take_value = [&]() -> std::optional<std::string> {
        if (value) return value;
        if (i + 1 < args.size()) return std::string(args[++i]);
        return std::nullopt;
      };
      if (name == "--json" || name == "-j") {
        if (value) return {std::nullopt, "--json takes no value"};
        options.json = true;
      } else if (name == "--help" || name == "-h") {
        options.help = true;
      } else if (name == "--port" || name == "-p") {
        auto v = take_value();
        if (!v || v->empty()) return {std::nullopt, "--port needs a path"};
        options.port = *v;
      } else if (name == "--timeout" || name == "-t") {
        auto v = take_value();
        if (!v) return {std::nullopt, "--timeout needs a number of seconds"};
        auto timeout = parse_timeout(*v);
        if (!timeout)
          return {std::nullopt, "--timeout: '" + *v + "' is not a number of seconds in (0, 3600]"};
        options.timeout = *timeout;
      } else {
        return {std::nullopt, "unknown option " + name};
      }
      continue;
    }
    if (arg == kHandoverWord) {
      if (i + 1 >= args.size()) return {std::nullopt, "handover needs a file: devlic or cert"};
      auto file = pc::handover_file_from_name(args[++i]);
      if (!file)
        return {std::nullopt, std::string("handover: unknown file '") + args[i] + "' (devlic or cert)"};
      options.steps.push_back({{}, file});
      continue;
    }
    options.steps.push_back({arg, std::nullopt});
  }
  return {options, {}};
}

ParsedLine parse_line(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (line.empty() || line.front() == '#') return {};
  if (line.starts_with(kHandoverWord) &&
      (line.size() == kHandoverWord.size() || line[kHandoverWord.size()] == ' ')) {
    std::string_view name = line.substr(kHandoverWord.size());
    while (name.starts_with(' ')) name.remove_prefix(1);
    while (name.ends_with(' ')) name.remove_suffix(1);
    auto file = pc::handover_file_from_name(name);
    if (!file) return {std::nullopt, "handover: unknown file '" + std::string(name) + "' (devlic or cert)"};
    return {Step{{}, file}, {}};
  }
  return {Step{std::string(line), std::nullopt}, {}};
}

}  // namespace ftmd::client
