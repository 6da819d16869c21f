#include "web_view.h"

#include "web_server.h"

namespace ftmd::station {

std::unique_ptr<WebView> WebView::start(const LiveState& state, OperatorDesk& desk,
                                        const WebViewConfig& config, std::string* error) {
  (void)desk;
  return WebServer::start(state, config.address, config.port, error);
}

}  // namespace ftmd::station
