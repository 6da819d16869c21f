#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/reply_buffer.h"

namespace ftmd {

// The audio-network module's activation files are handed to the test PC in
// two steps per file: publish (copy into the web server's directory, reply
// the download URL on lan4's address) and confirm (reply the source file's
// MD5 and the hardware id, withdraw the copy). Whether a file is published is
// told by the file system alone: a non-empty copy in the web directory.

// The fixed description of one handed-over file: its paths and its own reply
// texts (the device.lic texts carry a blank after "ERROR," in three places;
// the certificate's do not).
struct ActivationFile {
  const char* source;      // the module's file, never changed
  const char* published;   // the copy the web server serves
  const char* publish_ok;  // printf format, %s is lan4's dotted address
  const char* publish_missing;
  const char* copy_not_started;
  const char* copy_failed;
  const char* confirm_missing;
  const char* not_published;
};

inline constexpr ActivationFile kDeviceLic{
    .source = "/data/dante_data/activation/device.lic",
    .published = "/var/www/html/device.lic",
    .publish_ok = "OK,http://%s/device.lic\n",
    .publish_missing = "ERROR, device.lic is empty or does not exist\n",
    .copy_not_started = "ERROR, failed to copy file\n",
    .copy_failed = "ERROR, copy operation failed\n",
    .confirm_missing = "ERROR,device.lic is empty or does not exist\n",
    .not_published = "ERROR,device.lic need download first\n",
};

inline constexpr ActivationFile kManufacturerCert{
    .source = "/data/dante_data/activation/manufacturer.cert",
    .published = "/var/www/html/manufacturer.cert",
    .publish_ok = "OK,http://%s/manufacturer.cert\n",
    .publish_missing = "ERROR,manufacturer.cert is empty or does not exist\n",
    .copy_not_started = "ERROR,failed to copy file\n",
    .copy_failed = "ERROR,copy operation failed\n",
    .confirm_missing = "ERROR,manufacturer.cert is empty or does not exist\n",
    .not_published = "ERROR,manufacturer.cert need download first\n",
};

// The interface whose IPv4 address the download URL carries.
inline constexpr char kActivationInterface[] = "lan4";
// Dotted IPv4 text: at most 15 characters and a NUL.
inline constexpr std::size_t kIpv4TextSize = 16;

// Handler bodies shared by both files. Main thread; no state kept between
// calls. Publish looks up lan4's address before it looks at the argument.
void activation_publish(const ActivationFile& file, char* args, ReplyBuffer& reply);
void activation_confirm(const ActivationFile& file, char* args, ReplyBuffer& reply);

// Command-table adaptors: each binds the shared publish or confirm body to
// the activation file its row hands over.
void publish_device_lic(char* args, ReplyBuffer& reply);
void publish_manufacturer_cert(char* args, ReplyBuffer& reply);
void confirm_device_lic(char* args, ReplyBuffer& reply);
void confirm_manufacturer_cert(char* args, ReplyBuffer& reply);

// The argument rule of all four commands: exactly one "?" and nothing after it.
bool activation_argument_ok(std::string_view args);

// True when `path` opens for reading and its size is greater than 0.
bool file_has_content(const char* path);

// Writes the dotted IPv4 address of `interface` into `text` (at most `size`
// bytes, NUL included). Returns 0, or -1 (logged) when the interface has no
// address or does not exist.
int get_ipv4_address(const char* interface, char* text, std::size_t size);

// The MD5 digest of the file's bytes as 32 lower-case hex digits, or an empty
// string when the file cannot be opened or read to its end.
std::string md5_file_hex(const char* path);

}  // namespace ftmd
