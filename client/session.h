#pragma once

#include <cstdio>

#include "options.h"
#include "pc/link.h"

namespace ftmd::client {

// Runs steps on one link and prints their results: the escaped reply (or a
// JSON object) on `out`, what went wrong on `err`.
class Session {
 public:
  Session(pc::SerialLink& link, const Options& options, std::FILE* out, std::FILE* err)
      : link_(link), options_(options), out_(out), err_(err) {}

  // Runs one step; returns its exit status (kExitOk, kExitNotOk,
  // kExitTransport).
  int run(const Step& step);

 private:
  int command(const std::string& text);
  int handover(pc::HandoverFile file);
  // Sends one command, reports link failures and what was skipped on `err`
  // and sets `json` to the exchange as a JSON object.
  pc::Exchange step(const std::string& text, std::string& json);

  pc::SerialLink& link_;
  const Options& options_;
  std::FILE* out_;
  std::FILE* err_;
};

// The JSON object --json prints for a command whose exchange is `ex`.
std::string exchange_json(const std::string& command, const pc::Exchange& ex);

// The JSON object --json prints when the port cannot be opened, so that a
// program reading stdout learns why nothing was sent.
std::string open_failure_json(const std::string& port, const std::string& error);

// Combines step statuses: a transport failure outweighs a non-OK reply.
inline int worse_status(int a, int b) { return a > b ? a : b; }

}  // namespace ftmd::client
