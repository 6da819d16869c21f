#pragma once

#include <cstdio>

#include "link.h"
#include "options.h"

namespace ftmd::client {

// Runs steps on one link and prints their results: the escaped reply (or a
// JSON object) on `out`, what went wrong on `err`.
class Session {
 public:
  Session(SerialLink& link, const Options& options, std::FILE* out, std::FILE* err)
      : link_(link), options_(options), out_(out), err_(err) {}

  // Runs one step; returns its exit status (kExitOk, kExitNotOk,
  // kExitTransport).
  int run(const Step& step);

 private:
  int command(const std::string& text);
  int handover(HandoverFile file);
  // Sends one command, reports link failures on `err` and sets `json` to the
  // exchange as a JSON object.
  Exchange step(const std::string& text, std::string& json);
  std::string json_exchange(const std::string& text, const Exchange& ex) const;

  SerialLink& link_;
  const Options& options_;
  std::FILE* out_;
  std::FILE* err_;
};

// Combines step statuses: a transport failure outweighs a non-OK reply.
inline int worse_status(int a, int b) { return a > b ? a : b; }

}  // namespace ftmd::client
