#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "core/reply_buffer.h"

namespace ftmd {

// The Autotest command: the combined identity report, its help text, or one
// single identity query run on the PC's behalf. Main thread.
void autotest(char* args, ReplyBuffer& reply);

// Gathers the report's four values from the readers below and writes it.
void autotest_feedback(ReplyBuffer& reply);

// The help text, sent whole in one frame (371 bytes, more than the classic
// 246-byte reply).
inline constexpr std::string_view kAutotestHelp =
    "===== Automation Test Operation Manual =====\n"
    "at cmd format: --> at+ftm,autotest=[para]\n"
    "-----------------------------\n"
    "| para = 0: --> All case      |\n"
    "| para = 1: --> help          |\n"
    "| para = 2: --> ftmver        |\n"
    "| para = 3: --> swver         |\n"
    "| para = 4: --> sn            |\n"
    "| para = 5: --> csn           |\n"
    "| para = 6: --> ethmac        |\n"
    "-----------------------------\n";

// The parameter rule, on the arguments (the text after the command's 15
// characters): the number is always read from their second character (position
// 16 of the command) the way atoi reads (blanks, a sign, digits; no digits read
// as 0), wherever the "=" stands.
//
// True when there are no arguments, or when they hold a "=" somewhere and the
// number is 0 ("=0", "=", "=x").
bool autotest_wants_report(std::string_view args);
// The number from the second character on (0 when there is none). Values
// beyond int are reported as such, never wrapped into the range of a case.
long autotest_parameter(std::string_view args);

// The report's four values, in report order; nullopt is a failed reader.
using FeedbackValues = std::array<std::optional<std::string>, 4>;
// The report text: the fixed head, then "[2]," to "[5]," each followed by its
// value or "ERROR", with nothing inserted between a value and the next marker.
std::string feedback_text(const FeedbackValues& values);

// Readers of the report (their log lines carry the device's names for them,
// getOsRelease, getSn, getCsn and getEthMac). Each gives the value text as the
// report shows it, or nullopt for "ERROR".
//
// VERSION_ID of the release file, which must be a symbolic link: everything
// after the first "=" of the first line (or 255-byte piece of a line) holding
// "VERSION_ID=", its line feed and any quotes included.
std::optional<std::string> report_os_release();
// fw_printenv msn / csn: the first output line, cut at 23 characters; the
// value after "msn=" ("csn="), with its line feed when the line fitted.
std::optional<std::string> report_sn();
std::optional<std::string> report_csn();
// fw_printenv ethaddr, cut at 47 characters, every ":" removed.
std::optional<std::string> report_eth_mac();

// What a reader makes of the first line fw_printenv printed: nullopt when the
// variable is not set (no output, or "name=" alone) or the line lacks "name=";
// otherwise everything after the first "name=".
std::optional<std::string> boot_env_value(std::string_view line, std::string_view name);
// The value an os-release line gives, if it holds "VERSION_ID=".
std::optional<std::string> os_release_value(std::string_view line);

}  // namespace ftmd
