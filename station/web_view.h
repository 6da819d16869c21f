#pragma once

#include <memory>
#include <string>

#include "live_state.h"

namespace ftmd::station {

// The station's web view: a small local HTTP server that shows the current
// unit's steps live (pass/fail colours, the operator prompt) for a line
// screen. It only reads `state`, which must outlive it. It serves on a
// thread of its own from start() until it is destroyed.
class WebView {
 public:
  // Listens on `address`:`port` (port 0: any free port); nothing and the
  // reason in `error` when it cannot.
  static std::unique_ptr<WebView> start(const LiveState& state, const std::string& address, int port,
                                        std::string* error);
  virtual ~WebView() = default;
  // The port it listens on.
  virtual int port() const = 0;
};

}  // namespace ftmd::station
