#include <syslog.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "activation/activation.h"
#include "core/shell.h"
#include "identity/identity.h"

namespace ftmd {
namespace {

// Command lines run through the shell; both paths are our own constants.
constexpr char kCopyFormat[] = "cp %s %s";
constexpr char kDeleteFormat[] = "rm -rf %s";
constexpr std::size_t kCommandLineSize = 1024;

constexpr char kInvalidArgument[] = "Invalid Cmd\n";
constexpr char kNoNetwork[] = "ERROR,Not insert Dante Network\n";
constexpr char kNoHardwareId[] = "ERROR\n";
constexpr char kDeleteNotStarted[] = "ERROR,failed to delete file\n";
constexpr char kDeleteFailed[] = "ERROR,delete operation failed\n";

enum class FileCommand { kDone, kNotStarted, kFailed };

// Runs a command line through the shell on a read pipe whose output nobody
// reads, and waits for it: only a zero status counts as done.
FileCommand run_file_command(const char* line) {
  ReadPipe pipe(line);
  if (!pipe.started()) return FileCommand::kNotStarted;
  return pipe.close() == 0 ? FileCommand::kDone : FileCommand::kFailed;
}

}  // namespace

bool activation_argument_ok(std::string_view args) { return args == "?"; }

void activation_publish(const ActivationFile& file, char* args, ReplyBuffer& reply) {
  // The PC learns of a missing network before anything else, even when its
  // argument is wrong.
  std::array<char, kIpv4TextSize> address{};
  if (get_ipv4_address(kActivationInterface, address.data(), address.size()) != 0) {
    syslog(LOG_ERR, "Failed to get IPv4 address of %s\n", kActivationInterface);
    reply.set(kNoNetwork);
    return;
  }
  syslog(LOG_DEBUG, "IPv4 address of %s: %s\n", kActivationInterface, address.data());

  if (!activation_argument_ok(args)) {
    reply.set(kInvalidArgument);
    return;
  }
  if (!file_has_content(file.source)) {
    reply.set(file.publish_missing);
    return;
  }
  std::array<char, kCommandLineSize> copy{};
  std::snprintf(copy.data(), copy.size(), kCopyFormat, file.source, file.published);
  switch (run_file_command(copy.data())) {
    case FileCommand::kNotStarted:
      reply.set(file.copy_not_started);
      return;
    case FileCommand::kFailed:
      reply.set(file.copy_failed);
      return;
    case FileCommand::kDone:
      break;
  }
  reply.printf(file.publish_ok, address.data());
}

void activation_confirm(const ActivationFile& file, char* args, ReplyBuffer& reply) {
  if (!activation_argument_ok(args)) {
    reply.set(kInvalidArgument);
    return;
  }
  if (!file_has_content(file.source)) {
    reply.set(file.confirm_missing);
    return;
  }
  if (!file_has_content(file.published)) {
    reply.set(file.not_published);
    return;
  }

  // Always the source's digest, never the copy's. Should the source vanish
  // between the check above and now, the digest field stays empty.
  std::string digest = md5_file_hex(file.source);
  syslog(LOG_DEBUG, "MD5: %s\n", digest.c_str());

  // The same hardware id the hwid query reports, its line end included, so
  // the reply then ends in two.
  std::optional<std::string> hardware_id = read_hardware_id();
  if (!hardware_id) {
    // The copy stays published; the PC may confirm again.
    reply.set(kNoHardwareId);
    return;
  }
  syslog(LOG_DEBUG, "HwId --> %s", hardware_id->c_str());

  std::array<char, kCommandLineSize> remove{};
  std::snprintf(remove.data(), remove.size(), kDeleteFormat, file.published);
  switch (run_file_command(remove.data())) {
    case FileCommand::kNotStarted:
      reply.set(kDeleteNotStarted);
      return;
    case FileCommand::kFailed:
      reply.set(kDeleteFailed);
      return;
    case FileCommand::kDone:
      break;
  }
  reply.printf("OK,%s,%s\n", digest.c_str(), hardware_id->c_str());
}

void publish_device_lic(char* args, ReplyBuffer& reply) { activation_publish(kDeviceLic, args, reply); }

void publish_manufacturer_cert(char* args, ReplyBuffer& reply) {
  activation_publish(kManufacturerCert, args, reply);
}

void confirm_device_lic(char* args, ReplyBuffer& reply) { activation_confirm(kDeviceLic, args, reply); }

void confirm_manufacturer_cert(char* args, ReplyBuffer& reply) {
  activation_confirm(kManufacturerCert, args, reply);
}

}  // namespace ftmd
