#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

// The device's web server, from which the test PC downloads the activation
// files ftmd publishes: Debian's busybox httpd inside the board's network
// namespace, serving the board's /var/www/html on port 80 of every address
// there, so on lan4's address whatever it is at the moment (an address set
// after boot is served at once; without one there is nothing to reach).
//
// It runs as a board process (it detaches; it dies with the board's pid 1).
// Thread-safe: every call runs one command inside the board.
class WebServer {
 public:
  static constexpr char kDocumentRoot[] = "/var/www/html";

  // Runs argv inside the board; the exit status (-1 on time-out) and what the
  // command wrote to stdout and stderr.
  struct Run {
    int status = -1;
    std::string output;
  };
  using Runner = std::function<Run(const std::vector<std::string>& argv)>;

  explicit WebServer(Runner runner) : run_(std::move(runner)) {}

  // Starts the server; once this returned true it is listening.
  bool start();

  // Downloads `url` over HTTP from inside the board's network namespace, as
  // the PC would through lan4: the body's bytes, nothing when the request
  // failed (no route, refused, not found).
  std::optional<std::string> fetch(const std::string& url) const;
  // The URL of a document-root file on `address` ("192.0.2.1").
  static std::string url(const std::string& address, const std::string& file);

 private:
  Runner run_;
};

}  // namespace vboard
