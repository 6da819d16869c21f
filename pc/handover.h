#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ftmd::pc {

// The two activation files the device hands over, each in two steps: publish
// (the device copies the file to its web server and answers the URL) and
// confirm (the device answers the file's MD5 and its hardware id, and
// withdraws the copy).
enum class HandoverFile { kDeviceLicence, kManufacturerCert };

struct HandoverTarget {
  std::string_view name;     // on ftmctl's command line
  std::string_view file;     // the file name at the end of the URL
  std::string_view publish;  // command texts
  std::string_view confirm;
};

inline constexpr HandoverTarget kHandoverTargets[] = {
    {"devlic", "device.lic", "at+ftm,dantedevlic=?", "at+ftm,checkdantedevlic=?"},
    {"cert", "manufacturer.cert", "at+ftm,dantecert=?", "at+ftm,checkdantecert=?"},
};

const HandoverTarget& handover_target(HandoverFile file);
std::optional<HandoverFile> handover_file_from_name(std::string_view name);

// A publish reply "OK,http://<address>/<file>\n": the URL, or why the reply
// is not that (the device's own error reply is quoted back).
struct PublishReply {
  std::optional<std::string> url;
  std::string error;
};
PublishReply parse_publish_reply(std::string_view reply, const HandoverTarget& target);

// A confirm reply "OK,<md5>,<hardware id>\n". The hardware id is the first
// line of the device's soc_uid file with its own line end, so the reply
// usually ends in "\n\n"; `hardware_id` keeps that line end. The digest is 32
// lower-case hex digits, or empty when the device could not read the file.
struct ConfirmReply {
  std::optional<std::string> digest;
  std::string hardware_id;
  std::string error;
};
ConfirmReply parse_confirm_reply(std::string_view reply);

// http://host[:port]/path, the only form a publish reply carries.
struct HttpUrl {
  std::string host;
  std::string port = "80";
  std::string path = "/";
};
std::optional<HttpUrl> parse_http_url(std::string_view url);

// The bytes of an HTTP/1.0 response read to the end of the connection: the
// body on status 200, with the Content-Length (when sent) matching it;
// otherwise `error` says what is wrong.
struct HttpResponse {
  int status = 0;
  std::string body;
  std::string error;
};
HttpResponse parse_http_response(std::string_view raw);

// What an HTTP GET of one URL gave: a response, or a transport failure.
struct HttpFetch {
  bool transport_ok = false;
  HttpResponse response;  // when transport_ok
  std::string error;      // when not
};
// Connects to `url` (IPv4 or IPv6, name or address), sends one HTTP/1.0 GET
// and reads to the end of the connection, all within `timeout`. At most
// kMaxDownload bytes are accepted.
inline constexpr std::size_t kMaxDownload = 16u << 20;
HttpFetch http_get(const HttpUrl& url, std::chrono::milliseconds timeout);

// MD5 of `bytes` as 32 lower-case hex digits (OpenSSL EVP).
std::string md5_hex(std::string_view bytes);

// Compares the device's digest with the digest of the bytes the PC
// downloaded. Empty when they agree, else a sentence saying what differed.
std::string compare_digests(const ConfirmReply& confirm, std::string_view downloaded_md5, std::size_t size,
                            std::string_view file);

}  // namespace ftmd::pc
