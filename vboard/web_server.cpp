#include "vboard/web_server.h"

namespace vboard {
namespace {

// busybox httpd binds and listens before it detaches, so a zero exit means
// it is already serving.
const std::vector<std::string> kStart = {"busybox", "httpd", "-p", "80", "-h", WebServer::kDocumentRoot};

}  // namespace

bool WebServer::start() { return run_(kStart).status == 0; }

std::optional<std::string> WebServer::fetch(const std::string& url) const {
  // -q: on success nothing but the body reaches the output. No -T: Debian
  // 12's busybox wget crashes with it; the runner's deadline bounds the wait.
  Run r = run_({"busybox", "wget", "-q", "-O", "-", url});
  if (r.status != 0) return std::nullopt;
  return r.output;
}

std::string WebServer::url(const std::string& address, const std::string& file) {
  return "http://" + address + "/" + file;
}

}  // namespace vboard
