#include "pc/handover.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <charconv>

#include "common/c_handle.h"
#include "pc/text.h"

namespace ftmd::pc {
namespace {

constexpr std::string_view kOkPrefix = "OK,";
constexpr std::string_view kHttpScheme = "http://";
constexpr std::size_t kMd5HexLength = 32;

using EvpMdCtx = CHandle<EVP_MD_CTX, EVP_MD_CTX_free>;

std::string quoted(std::string_view reply) { return "\"" + escape_reply(reply) + "\""; }

bool is_lower_hex(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

const HandoverTarget& handover_target(HandoverFile file) {
  return kHandoverTargets[file == HandoverFile::kDeviceLicence ? 0 : 1];
}

std::optional<HandoverFile> handover_file_from_name(std::string_view name) {
  if (name == kHandoverTargets[0].name) return HandoverFile::kDeviceLicence;
  if (name == kHandoverTargets[1].name) return HandoverFile::kManufacturerCert;
  return std::nullopt;
}

PublishReply parse_publish_reply(std::string_view reply, const HandoverTarget& target) {
  if (!reply.starts_with(kOkPrefix)) return {std::nullopt, "publish refused: " + quoted(reply)};
  if (!reply.ends_with('\n')) return {std::nullopt, "publish reply has no line end: " + quoted(reply)};
  std::string_view url = reply.substr(kOkPrefix.size(), reply.size() - kOkPrefix.size() - 1);
  if (!url.starts_with(kHttpScheme) || !parse_http_url(url))
    return {std::nullopt, "publish reply carries no http URL: " + quoted(reply)};
  std::string_view path = url.substr(url.find('/', kHttpScheme.size()) + 1);
  if (path != target.file)
    return {std::nullopt, "publish reply names " + quoted(path) + ", not " + std::string(target.file)};
  return {std::string(url), {}};
}

ConfirmReply parse_confirm_reply(std::string_view reply) {
  if (!reply.starts_with(kOkPrefix)) return {std::nullopt, {}, "confirm refused: " + quoted(reply)};
  if (!reply.ends_with('\n')) return {std::nullopt, {}, "confirm reply has no line end: " + quoted(reply)};
  std::string_view rest = reply.substr(kOkPrefix.size(), reply.size() - kOkPrefix.size() - 1);
  auto comma = rest.find(',');
  if (comma == std::string_view::npos)
    return {std::nullopt, {}, "confirm reply has no hardware id field: " + quoted(reply)};
  std::string_view digest = rest.substr(0, comma);
  if (!digest.empty() && (digest.size() != kMd5HexLength || !is_lower_hex(digest)))
    return {std::nullopt, {}, "confirm reply carries no MD5 digest: " + quoted(reply)};
  return {std::string(digest), std::string(rest.substr(comma + 1)), {}};
}

std::optional<HttpUrl> parse_http_url(std::string_view url) {
  if (!url.starts_with(kHttpScheme)) return std::nullopt;
  url.remove_prefix(kHttpScheme.size());
  HttpUrl out;
  auto slash = url.find('/');
  std::string_view authority = url.substr(0, slash);
  if (slash != std::string_view::npos) out.path = std::string(url.substr(slash));
  if (authority.empty() || out.path.find_first_of(" \r\n\t") != std::string::npos) return std::nullopt;
  if (authority.front() == '[') {  // [v6 address]:port
    auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    out.host = std::string(authority.substr(1, close - 1));
    authority.remove_prefix(close + 1);
    if (!authority.empty() && authority.front() != ':') return std::nullopt;
  } else {
    auto colon = authority.find(':');
    out.host = std::string(authority.substr(0, colon));
    authority.remove_prefix(colon == std::string_view::npos ? authority.size() : colon);
  }
  if (!authority.empty()) {
    std::string_view port = authority.substr(1);
    unsigned value = 0;
    auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (ec != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535)
      return std::nullopt;
    out.port = std::string(port);
  }
  if (out.host.empty()) return std::nullopt;
  return out;
}

HttpResponse parse_http_response(std::string_view raw) {
  HttpResponse out;
  std::size_t head_end = raw.find("\r\n\r\n");
  std::size_t body_start = head_end + 4;
  if (head_end == std::string_view::npos) {
    head_end = raw.find("\n\n");
    body_start = head_end + 2;
  }
  if (head_end == std::string_view::npos) {
    out.error = raw.empty() ? "the server closed the connection without a response"
                            : "the server's response ends inside its header";
    return out;
  }
  std::string_view head = raw.substr(0, head_end);
  std::string_view status_line = head.substr(0, head.find('\n'));
  if (!status_line.starts_with("HTTP/1.") || status_line.size() < 12 || status_line[8] != ' ') {
    out.error = "not an HTTP response: \"" + escape_reply(status_line) + "\"";
    return out;
  }
  auto [p, ec] = std::from_chars(status_line.data() + 9, status_line.data() + 12, out.status);
  if (ec != std::errc() || p != status_line.data() + 12) {
    out.error = "bad HTTP status line: \"" + escape_reply(status_line) + "\"";
    return out;
  }
  std::string_view body = raw.substr(body_start);
  if (out.status != 200) {
    out.error = "the server answered \"" + escape_reply(trim(status_line.substr(9))) + "\"";
    return out;
  }
  std::optional<std::size_t> content_length;
  std::string_view headers = head.substr(std::min(head.size(), status_line.size() + 1));
  while (!headers.empty()) {
    std::string_view line = headers.substr(0, headers.find('\n'));
    headers.remove_prefix(std::min(headers.size(), line.size() + 1));
    auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = trim(line.substr(0, colon));
    std::string_view value = trim(line.substr(colon + 1));
    if (iequals(name, "Content-Length")) {
      std::size_t n = 0;
      auto [end, err] = std::from_chars(value.data(), value.data() + value.size(), n);
      if (err != std::errc() || end != value.data() + value.size()) {
        out.error = "bad Content-Length \"" + escape_reply(value) + "\"";
        return out;
      }
      content_length = n;
    } else if (iequals(name, "Transfer-Encoding") && !iequals(value, "identity")) {
      out.error = "the server used Transfer-Encoding \"" + escape_reply(value) + "\" on an HTTP/1.0 request";
      return out;
    }
  }
  if (content_length && body.size() != *content_length) {
    out.error = "the download has " + std::to_string(body.size()) + " bytes, the server announced " +
                std::to_string(*content_length);
    return out;
  }
  out.body = std::string(body);
  return out;
}

std::string md5_hex(std::string_view bytes) {
  EvpMdCtx ctx(EVP_MD_CTX_new());
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1)
    return {};
  return hex_bytes(std::span<const std::uint8_t>(digest, size));
}

std::string compare_digests(const ConfirmReply& confirm, std::string_view downloaded_md5, std::size_t size,
                            std::string_view file) {
  std::string ours =
      "the " + std::to_string(size) + " downloaded bytes have MD5 " + std::string(downloaded_md5);
  if (!confirm.digest || confirm.digest->empty())
    return "the device reported no MD5 for " + std::string(file) + " (it could not read the file); " + ours;
  if (*confirm.digest != downloaded_md5)
    return "MD5 differs: the device reports " + *confirm.digest + " for " + std::string(file) + ", " + ours;
  return {};
}

}  // namespace ftmd::pc
