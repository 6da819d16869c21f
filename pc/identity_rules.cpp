#include "pc/identity_rules.h"

#include <algorithm>
#include <cctype>

namespace ftmd::pc {
namespace {

constexpr std::size_t kMacDigits = 12;
// A serial number is read back as "OK," and the value; the device reboots
// after any reply that begins, in any case, with its reboot reply.
constexpr std::string_view kReadBackPrefix = "OK,";
constexpr std::string_view kRebootReply = "OK, tamo is rebooting...";
constexpr std::size_t kHwidMax = 254;
constexpr const char* kNotAMac = "not a MAC address (12 hex digits, or six pairs with : or -)";

bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

bool starts_with_any_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         });
}

}  // namespace

std::string serial_problem(std::string_view name, std::string_view value) {
  std::string n(name);
  if (value.empty()) return n + " is empty";
  for (unsigned char c : value)
    if (c < 0x20 || c > 0x7e) return n + " has a byte that is not printable ASCII";
  if (value.front() == '-') return n + " begins with \"-\", which the device refuses";
  if (value.size() > kSerialMax)
    return n + " is too long for the device (" + std::to_string(value.size()) + " characters)";
  // csn is read back through awk split at "=", msn treats "null" as unset.
  if (name == "csn" && value.find('=') != std::string_view::npos)
    return "csn has a \"=\", which the device cannot read back";
  if (name == "sn" && value == "null") return "sn \"null\" reads back as \"no serial number\"";
  if (starts_with_any_case(std::string(kReadBackPrefix) + std::string(value), kRebootReply))
    return n + " reads back like the reboot reply \"" + std::string(kRebootReply) +
           "\", which makes the device reboot";
  return {};
}

std::optional<std::string> normalize_mac(std::string_view text, std::string* reason) {
  auto bad = [&](const std::string& why) -> std::optional<std::string> {
    if (reason) *reason = why;
    return std::nullopt;
  };
  std::string digits;
  if (text.size() == 17) {
    char separator = text[2];
    if (separator != ':' && separator != '-') return bad(kNotAMac);
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (i % 3 != 2)
        digits += text[i];
      else if (text[i] != separator)
        return bad(kNotAMac);
    }
  } else if (text.size() == kMacDigits) {
    digits = text;
  } else {
    return bad(kNotAMac);
  }
  if (!std::all_of(digits.begin(), digits.end(), is_hex)) return bad(kNotAMac);
  std::transform(digits.begin(), digits.end(), digits.begin(),
                 [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
  if (digits == "000000000000") return bad("the all-zero address is not a unit's address");
  int first_octet = std::stoi(digits.substr(0, 2), nullptr, 16);
  if (first_octet & 1) return bad("a multicast address (odd first octet), not a unit's address");
  return digits;
}

std::string mac_with_colons(std::string_view mac) {
  std::string out;
  for (std::size_t i = 0; i < mac.size(); ++i) {
    if (i > 0 && i % 2 == 0) out += ':';
    out += mac[i];
  }
  return out;
}

std::optional<std::uint64_t> mac_number(std::string_view command_form) {
  if (command_form.size() != kMacDigits || !std::all_of(command_form.begin(), command_form.end(), is_hex))
    return std::nullopt;
  return std::stoull(std::string(command_form), nullptr, 16);
}

std::string mac_command_form(std::uint64_t number) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out(kMacDigits, '0');
  for (std::size_t i = kMacDigits; i-- > 0; number >>= 4) out[i] = kDigits[number & 0xF];
  return out;
}

std::string mac_block_problem(std::string_view first, std::uint64_t count, std::uint64_t* first_number) {
  std::string why;
  auto normal = normalize_mac(first, &why);
  if (!normal) return "first address \"" + std::string(first) + "\": " + why;
  if (count == 0) return "the count must be above zero";
  if (count % 2 != 0)
    return "the count " + std::to_string(count) + " is odd: each unit takes two addresses (lan4, lan3)";
  std::uint64_t number = *mac_number(*normal);
  std::uint64_t in_oui = number % kAddressesPerOui;
  if (count > kAddressesPerOui - in_oui) {
    std::uint64_t oui_end = number - in_oui + kAddressesPerOui - 1;
    return "the block runs past " + mac_with_colons(mac_command_form(oui_end)) + ", the end of its OUI (" +
           std::to_string(kAddressesPerOui - in_oui) + " addresses from " + mac_with_colons(*normal) + ")";
  }
  if (first_number) *first_number = number;
  return {};
}

std::string hwid_problem(std::string_view hwid) {
  if (hwid.empty()) return "the hardware id is empty";
  if (hwid.size() > kHwidMax)
    return "the hardware id is too long (" + std::to_string(hwid.size()) + " characters, at most " +
           std::to_string(kHwidMax) + ")";
  for (unsigned char c : hwid)
    if (c < 0x20 || c > 0x7e) return "the hardware id has a byte that is not printable ASCII";
  if (hwid.front() == ' ' || hwid.back() == ' ') return "the hardware id begins or ends with a blank";
  return {};
}

}  // namespace ftmd::pc
