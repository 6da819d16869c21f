#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "activation/activation.h"
#include "common/c_handle.h"
#include "common/unique_fd.h"

namespace ftmd {
namespace {

// An OpenSSL digest context, freed on every path.
using EvpMdCtx = CHandle<EVP_MD_CTX, EVP_MD_CTX_free>;

constexpr std::size_t kDigestReadSize = 1024;
constexpr std::size_t kMd5Size = 16;

}  // namespace

bool file_has_content(const char* path) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  long size = static_cast<long>(::lseek(fd.get(), 0, SEEK_END));
  fd.reset();
  syslog(LOG_DEBUG, "file_size --> %ld", size);
  return size > 0;
}

int get_ipv4_address(const char* interface, char* text, std::size_t size) {
  UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock) {
    syslog(LOG_ERR, "Error opening socket");
    return -1;
  }
  ifreq request{};
  request.ifr_addr.sa_family = AF_INET;
  std::strncpy(request.ifr_name, interface, IFNAMSIZ - 1);
  if (::ioctl(sock.get(), SIOCGIFADDR, &request) != 0) {
    syslog(LOG_ERR, "Error getting IP address");
    return -1;
  }
  sock.reset();
  sockaddr_in address{};
  std::memcpy(&address, &request.ifr_addr, sizeof(address));
  if (::inet_ntop(AF_INET, &address.sin_addr, text, static_cast<socklen_t>(size)) == nullptr) {
    syslog(LOG_ERR, "Error converting IP address to string");
    return -1;
  }
  return 0;
}

std::string md5_file_hex(const char* path) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) {
    std::perror("Error opening file");
    return {};
  }
  EvpMdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return {};

  std::array<unsigned char, kDigestReadSize> chunk;
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      // Half a file has no digest worth reporting.
      return {};
    }
    if (EVP_DigestUpdate(ctx.get(), chunk.data(), static_cast<std::size_t>(n)) != 1) return {};
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1 || length != kMd5Size) return {};

  constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * kMd5Size);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0f]);
  }
  return hex;
}

}  // namespace ftmd
