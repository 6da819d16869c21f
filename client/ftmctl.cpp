#include "ftmctl.h"

#include <unistd.h>

#include <cstdlib>

#include "common/c_handle.h"
#include "options.h"
#include "session.h"

namespace ftmd::client {

int ftmctl_main(int argc, char** argv, std::FILE* in, std::FILE* out, std::FILE* err) {
  ParsedArgs parsed = parse_args(std::span<const char* const>(argv + 1, argc > 0 ? argc - 1 : 0));
  if (!parsed.options) {
    std::fprintf(err, "ftmctl: %s\n%s", parsed.error.c_str(), kUsage);
    return kExitUsage;
  }
  const Options& options = *parsed.options;
  if (options.help) {
    std::fputs(kUsage, out);
    return kExitOk;
  }

  std::string error;
  std::optional<pc::SerialLink> link = pc::SerialLink::open(options.port, &error);
  if (!link) {
    std::fprintf(err, "ftmctl: transport error: %s\n", error.c_str());
    if (options.json) std::fprintf(out, "%s\n", open_failure_json(options.port, error).c_str());
    return kExitTransport;
  }
  Session session(*link, options, out, err);

  int status = kExitOk;
  if (!options.steps.empty()) {
    for (const Step& step : options.steps) {
      if (link->broken()) {
        std::fprintf(err, "ftmctl: the port failed; remaining commands not sent\n");
        break;
      }
      status = worse_status(status, session.run(step));
    }
    return status;
  }

  const bool prompt = ::isatty(::fileno(in)) != 0;
  // getline's buffer, grown (moved) by getline itself.
  CHandle<char, ::free> line;
  std::size_t cap = 0;
  for (;;) {
    if (prompt) {
      std::fputs("ftm> ", err);
      std::fflush(err);
    }
    char* buf = line.release();
    ssize_t n = ::getline(&buf, &cap, in);
    line.reset(buf);
    if (n < 0) break;
    ParsedLine parsed_line = parse_line(std::string_view(line.get(), static_cast<std::size_t>(n)));
    if (!parsed_line.error.empty()) {
      std::fprintf(err, "ftmctl: %s\n", parsed_line.error.c_str());
      status = worse_status(status, kExitNotOk);
      continue;
    }
    if (!parsed_line.step) continue;
    status = worse_status(status, session.run(*parsed_line.step));
    if (link->broken()) {
      std::fprintf(err, "ftmctl: the port failed; stopping\n");
      break;
    }
  }
  return status;
}

}  // namespace ftmd::client
