#include "web_view.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "common/c_handle.h"
#include "web_server.h"

namespace ftmd::station {

bool is_loopback_address(const std::string& address) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (address.empty() || getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0) return false;
  const CHandle<addrinfo, freeaddrinfo> addresses(found);
  constexpr std::uint8_t kLoopbackNet = 127;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
      if (reinterpret_cast<const std::uint8_t*>(&in->sin_addr)[0] != kLoopbackNet) return false;
    } else if (a->ai_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
      if (!IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) &&
          !(IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) && in6->sin6_addr.s6_addr[12] == kLoopbackNet))
        return false;
    } else {
      return false;
    }
  }
  return true;
}

std::string new_answer_token() {
  constexpr std::size_t kBytes = 16;
  unsigned char bytes[kBytes];
  // getentropy() takes at most 256 bytes and blocks only before the
  // kernel's random source is ready.
  if (getentropy(bytes, sizeof bytes) != 0) return "";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 0xf];
  }
  return token;
}

std::unique_ptr<WebView> WebView::start(const LiveState& state, OperatorDesk& desk,
                                        const WebViewConfig& config, std::string* error) {
  return WebServer::start(state, desk, config, error);
}

}  // namespace ftmd::station
