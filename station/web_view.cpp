#include "web_view.h"

#include "web_server.h"

namespace ftmd::station {

std::unique_ptr<WebView> WebView::start(const LiveState& state, const std::string& address, int port,
                                        std::string* error) {
  return WebServer::start(state, address, port, error);
}

}  // namespace ftmd::station
