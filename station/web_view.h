#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "live_state.h"
#include "operator_desk.h"

namespace ftmd::station {

// How the station's web view is served.
struct WebViewConfig {
  std::string address;  // what to listen on ("127.0.0.1", "0.0.0.0", "::1", a name)
  int port = 0;         // 0: any free port
  // The token an answer from the page must carry; "" when answers need none
  // (the station gives one whenever the address is not loopback, and says
  // so in the snapshot's answer_needs_token). Given "" on an address that is
  // not loopback, the view makes one itself (see url()).
  std::string answer_token;
  // Who answered, when the page sends no badge: the station's operator.
  std::string operator_name;
};

// Whether `address` (a numeric address or a name) is loopback only: every
// address it stands for is in 127.0.0.0/8 or is ::1. Anything else
// ("0.0.0.0", "::", a LAN address, a name that does not resolve) is not:
// answering there needs the token.
bool is_loopback_address(const std::string& address);

// A fresh answer token: 32 lower-case hex digits from the kernel's random
// source ("" if it cannot give any, which the caller must treat as fatal).
std::string new_answer_token();

// The station's web view: a small local HTTP server that shows every slot
// live (one tile each: unit, step, clock, verdict, prompt) for a line
// screen, and takes the operator's answers to the slots' questions into
// `desk` (channel kChannelWeb). It reads `state`; `state` and `desk` must
// outlive it. It serves on threads of its own from start() until it is
// destroyed.
class WebView {
 public:
  // Listens as `config` says; nothing and the reason in `error` when it
  // cannot.
  static std::unique_ptr<WebView> start(const LiveState& state, OperatorDesk& desk,
                                        const WebViewConfig& config, std::string* error);
  virtual ~WebView() = default;
  // The port it listens on.
  virtual int port() const = 0;
  // What to print for the operator: "http://ADDR:PORT/", with
  // "?token=..." when answering needs the token (an unspecified address
  // such as 0.0.0.0 is shown as this host's name).
  virtual std::string url() const = 0;
  // Called once the snapshot says `ended`: waits at most `within` for the
  // open pages to have been handed that final state, so that they can say
  // the station has ended rather than lose the connection.
  virtual void linger(std::chrono::milliseconds within) { (void)within; }
};

}  // namespace ftmd::station
