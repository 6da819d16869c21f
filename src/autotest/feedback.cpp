#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "autotest/autotest.h"
#include "common/c_handle.h"
#include "core/boot_env.h"
#include "core/shell.h"
#include "identity/identity_constants.h"

namespace ftmd {
namespace {

using identity::kOsReleasePath;
using identity::kVersionIdKey;
using File = CHandle<FILE, std::fclose>;

// Lines of the release file are examined in pieces of at most 255 characters.
constexpr int kOsReleaseLineSize = 256;

constexpr std::string_view kFeedbackHead = "-----feedback:-----\n[1],ftmver=V1.0\n";
constexpr std::string_view kFailedValue = "ERROR";
constexpr std::array<std::string_view, 4> kMarkers = {"[2],", "[3],", "[4],", "[5],"};

// A boot variable as the report reads it: the tool's command line, the
// variable's name and the most of its line that is read. "msn=" and 19
// characters fill the 23, so longer serial numbers are cut and run on into
// the next marker.
struct EnvReader {
  const char* command;
  std::string_view name;
  std::size_t max_line;
};

constexpr EnvReader kSnReader{"fw_printenv msn", "msn", 23};
constexpr EnvReader kCsnReader{"fw_printenv csn", "csn", 23};
constexpr EnvReader kEthMacReader{"fw_printenv ethaddr", "ethaddr", 47};

std::optional<std::string> read_boot_env(const EnvReader& reader) {
  // Only stdout is read: the tool's complaints go to our stderr.
  std::optional<std::string> line = first_output_line(reader.command, reader.max_line).line;
  if (!line) return std::nullopt;
  return boot_env_value(*line, reader.name);
}

std::string_view shown(const std::optional<std::string>& value) {
  return value ? std::string_view(*value) : kFailedValue;
}

}  // namespace

std::optional<std::string> boot_env_value(std::string_view line, std::string_view name) {
  if (env_line_is_unset(line, name)) return std::nullopt;
  std::string key = std::string(name) + "=";
  std::size_t at = line.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  return std::string(line.substr(at + key.size()));
}

std::optional<std::string> os_release_value(std::string_view line) {
  if (line.find(kVersionIdKey) == std::string_view::npos) return std::nullopt;
  // After the line's first "=", which is not always the one of VERSION_ID=.
  return std::string(line.substr(line.find('=') + 1));
}

std::optional<std::string> report_os_release() {
  struct stat st {};
  if (::lstat(kOsReleasePath, &st) != 0 || !S_ISLNK(st.st_mode)) return std::nullopt;
  File file(std::fopen(kOsReleasePath, "re"));
  if (!file) return std::nullopt;
  std::array<char, kOsReleaseLineSize> piece{};
  std::optional<std::string> value;
  while (!value && std::fgets(piece.data(), piece.size(), file.get()) != nullptr)
    value = os_release_value(piece.data());
  return value;
}

std::optional<std::string> report_sn() { return read_boot_env(kSnReader); }

std::optional<std::string> report_csn() { return read_boot_env(kCsnReader); }

std::optional<std::string> report_eth_mac() {
  std::optional<std::string> value = read_boot_env(kEthMacReader);
  if (value) std::erase(*value, ':');
  return value;
}

std::string feedback_text(const FeedbackValues& values) {
  std::string text(kFeedbackHead);
  for (std::size_t i = 0; i < values.size(); ++i) {
    text += kMarkers[i];
    text += shown(values[i]);
  }
  return text;
}

void autotest_feedback(ReplyBuffer& reply) {
  // Readers run in report order, each logged as soon as it answered.
  FeedbackValues values;
  values[0] = report_os_release();
  syslog(LOG_INFO, "getOsRelease is %s\n", std::string(shown(values[0])).c_str());
  values[1] = report_sn();
  syslog(LOG_INFO, "getSn number is %s\n", std::string(shown(values[1])).c_str());
  values[2] = report_csn();
  syslog(LOG_INFO, "getCsn number is %s\n", std::string(shown(values[2])).c_str());
  values[3] = report_eth_mac();
  syslog(LOG_INFO, "getEthMac number is %s\n", std::string(shown(values[3])).c_str());

  reply.set(feedback_text(values));
  syslog(LOG_INFO, "feedback is %s, len = %d\n", reply.c_str(), static_cast<int>(reply.text().size() + 1));
}

}  // namespace ftmd
