// The download step of the handover: one HTTP/1.0 GET over a TCP socket.
// HTTP/1.0 with "Connection: close" keeps the server to a plain body that ends
// with the connection, which is all a file on the device's web server needs;
// doing it here rather than through a curl child keeps the whole step under
// the same deadline and the station free of another run-time dependency.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/c_handle.h"
#include "common/deadline.h"
#include "common/unique_fd.h"
#include "pc/handover.h"

namespace ftmd::pc {
namespace {

using AddrInfo = CHandle<addrinfo, freeaddrinfo>;

// Waits for `events` on `fd` until the deadline; false on time-out.
bool wait_for(int fd, short events, const Deadline& deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    int r = ::poll(&p, 1, deadline.poll_ms());
    if (r > 0) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

std::string errno_text(const char* what, int err) { return std::string(what) + ": " + std::strerror(err); }

}  // namespace

HttpFetch http_get(const HttpUrl& url, std::chrono::milliseconds timeout) {
  const Deadline deadline(timeout);
  std::string where = url.host + ":" + url.port;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (int rc = getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &found); rc != 0)
    return {false, {}, "cannot resolve " + url.host + ": " + gai_strerror(rc)};
  AddrInfo addresses(found);

  UniqueFd sock;
  std::string error = "no address for " + where;
  for (addrinfo* ai = addresses.get(); ai != nullptr && !sock; ai = ai->ai_next) {
    UniqueFd s(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
    if (!s) {
      error = errno_text("socket", errno);
      continue;
    }
    if (::connect(s.get(), ai->ai_addr, ai->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        error = errno_text(("connect to " + where).c_str(), errno);
        continue;
      }
      if (!wait_for(s.get(), POLLOUT, deadline)) return {false, {}, "time-out connecting to " + where};
      int so_error = 0;
      socklen_t len = sizeof(so_error);
      ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &so_error, &len);
      if (so_error != 0) {
        error = errno_text(("connect to " + where).c_str(), so_error);
        continue;
      }
    }
    sock = std::move(s);
  }
  if (!sock) return {false, {}, error};

  std::string request = "GET " + url.path + " HTTP/1.0\r\nHost: " + url.host + "\r\nUser-Agent: ftmctl\r\n" +
                        "Connection: close\r\n\r\n";
  for (std::size_t sent = 0; sent < request.size();) {
    if (!wait_for(sock.get(), POLLOUT, deadline))
      return {false, {}, "time-out sending the request to " + where};
    ssize_t n = ::send(sock.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno != EINTR && errno != EAGAIN) return {false, {}, errno_text("send", errno)};
    if (n > 0) sent += static_cast<std::size_t>(n);
  }

  std::string raw;
  char buf[4096];
  for (;;) {
    if (!wait_for(sock.get(), POLLIN, deadline))
      return {
          false, {}, "time-out reading from " + where + " after " + std::to_string(raw.size()) + " bytes"};
    ssize_t n = ::recv(sock.get(), buf, sizeof(buf), 0);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return {false, {}, errno_text(("reading from " + where).c_str(), errno)};
    }
    raw.append(buf, static_cast<std::size_t>(n));
    if (raw.size() > kMaxDownload) return {false, {}, "the download from " + where + " exceeds 16 MiB"};
  }
  return {true, parse_http_response(raw), {}};
}

}  // namespace ftmd::pc
