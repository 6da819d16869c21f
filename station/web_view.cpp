#include "web_view.h"

namespace ftmd::station {

// Placeholder until the view is served.
std::unique_ptr<WebView> WebView::start(const LiveState&, const std::string&, int, std::string* error) {
  if (error) *error = "the station view is not built yet";
  return nullptr;
}

}  // namespace ftmd::station
