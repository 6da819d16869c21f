// Ethernet MAC addresses: "<Mac1>,<Mac2>" burns both (unit file of lan4/lan3,
// then the boot variables ethaddr/eth1addr), and "?" checks that unit files,
// boot environment and the live interfaces agree. ethaddr_query reads back
// `ethaddr` alone.
#include <strings.h>
#include <syslog.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "core/boot_env.h"
#include "core/file_text.h"
#include "core/shell.h"
#include "identity/identity.h"
#include "identity/identity_constants.h"
#include "identity/identity_text.h"
#include "identity/mac_commands.h"
#include "identity/netfile.h"

namespace ftmd {
namespace {

using namespace identity;

struct MacInstance {
  const char* unit_path;
  const char* set_prefix;
  const char* update_failed_log;
  const char* update_done_log;
  bool logs_digit_count;
};

constexpr MacInstance kInstances[] = {
    {kLan4UnitPath, kEthaddrSetPrefix, "Failed to update lan4 MAC address.\n",
     "Lan4 MAC address update successful.\n", true},
    {kLan3UnitPath, kEth1addrSetPrefix, "Failed to update Lan3 MAC address.\n",
     "Lan3 MAC address update successful.\n", false},
};

}  // namespace

bool mac_burn(std::string_view address, MacSlot slot) {
  const MacInstance& instance = kInstances[static_cast<int>(slot)];
  if (!mac_command_form_ok(address, instance.logs_digit_count)) return false;
  std::string stored = mac_insert_colons(address);
  if (!netfile_update_mac(instance.unit_path, stored)) {
    syslog(LOG_WARNING, "%s", instance.update_failed_log);
    return false;
  }
  syslog(LOG_DEBUG, "%s", instance.update_done_log);
  // The unit file counts; the tool's exit status is never looked at.
  std::string line = std::string(instance.set_prefix) + stored;
  run_shell(line.c_str());
  return true;
}

void ethmac_write(char* argument, ReplyBuffer& reply) {
  std::string_view arg(argument);
  if (arg.ends_with('\n')) arg.remove_suffix(1);
  if (arg.size() != kMacPairLength) {
    reply.set("ERROR,length error\n");
    return;
  }
  if (arg[kMacDigits] != ',') {
    reply.set("ERROR,format error\n");
    return;
  }
  auto comma = arg.find(',');
  std::string data1(arg.substr(0, comma));
  std::string data2(arg.substr(comma + 1));
  syslog(LOG_DEBUG, "data1: %s\n", data1.c_str());
  syslog(LOG_DEBUG, "data2: %s\n", data2.c_str());
  if (data1 == data2) {
    reply.set("ERROR,MACAddres Conflict\n");
    return;
  }
  bool mac1 = mac_burn(data1, MacSlot::kMac1);
  if (mac1) syslog(LOG_DEBUG, "Mac1 burned successfully");
  bool mac2 = mac_burn(data2, MacSlot::kMac2);
  if (mac2) syslog(LOG_DEBUG, "Mac2 burned successfully");

  if (mac1 && mac2) {
    syslog(LOG_DEBUG, "write ethmac successfully");
    reply.set("OK\n");
    // The PC gets its "OK" only once networkd has been restarted.
    run_shell(kNetworkdRestartCommand);
  } else if (mac1) {
    syslog(LOG_DEBUG, "write Mac2 failed");
    reply.set("Mac2 burned failed\n");
  } else if (mac2) {
    syslog(LOG_DEBUG, "write Mac1 failed");
    reply.set("Mac1 burned failed\n");
  } else {
    syslog(LOG_DEBUG, "burned failed");
    reply.set("burned failed\n");
  }
}

bool env_mac_matches(std::string_view address, const char* variable) {
  char command[kCommandLineSize];
  std::snprintf(command, sizeof command, kPrintenvFormat, variable);
  syslog(LOG_DEBUG, "fw_printenv command --> %s", command);
  OutputLine output = first_output_line(command, kMaxEnvMacLine);
  if (!output.started) {
    syslog(LOG_ERR, "无法执行命令: %s", command);
    return false;
  }
  auto candidate = output.line ? env_mac_candidate(*output.line, variable) : std::nullopt;
  if (!candidate) {
    syslog(LOG_ERR, "无法读取 EnvAddr 的值");
    return false;
  }
  syslog(LOG_DEBUG, "fw_printenv checkaddr --> %s", candidate->c_str());
  if (!check_mac_format(*candidate)) {
    syslog(LOG_DEBUG, "EnvAddr 不是有效的 MAC 地址格式，需要重新烧写地址");
    return false;
  }
  if (*candidate != address) return false;
  syslog(LOG_DEBUG, "EnvAddr 变量与配置文件中的 Mac 相同，无需重设");
  return true;
}

std::optional<std::string> sysfs_read_line(const char* path) {
  auto line = read_first_line(path, kLiveAddressMaxLine);
  if (!line) {
    syslog(LOG_ERR, "打开文件失败 --> %s", path);
    return std::nullopt;
  }
  if (line->empty()) return std::nullopt;
  if (line->back() == '\n') line->pop_back();
  return line;
}

bool live_mac_check(std::string_view mac1, std::string_view mac2) {
  auto eth0 = sysfs_read_line(kEth0AddressPath);
  auto lan4 = sysfs_read_line(kLan4AddressPath);
  auto lan3 = sysfs_read_line(kLan3AddressPath);
  if (!eth0 || !lan4 || !lan3) {
    syslog(LOG_ERR, "无法读取 MAC 地址");
    return false;
  }
  syslog(LOG_DEBUG, "ETH0 address: %s", eth0->c_str());
  syslog(LOG_DEBUG, "LAN4 address: %s", lan4->c_str());
  syslog(LOG_DEBUG, "LAN3 address: %s", lan3->c_str());
  auto same = [](std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
  };
  // lan4 is held to Mac1 only while eth0 carries the same address as lan4.
  if (same(*eth0, *lan4)) {
    syslog(LOG_DEBUG, "ETH0 and LAN4 addresses are the same");
    if (!same(*lan4, mac1)) {
      syslog(LOG_DEBUG, "LAN4 address is not equal to Mac1");
      return false;
    }
  } else {
    syslog(LOG_DEBUG, "ETH0 and LAN4 addresses are not the same");
  }
  if (same(*lan3, mac2)) return true;
  syslog(LOG_DEBUG, "LAN3 address is not equal to Mac2");
  return false;
}

void ethmac_query(ReplyBuffer& reply) {
  auto mac1 = netfile_read_mac(kLan4UnitPath);
  if (mac1)
    syslog(LOG_DEBUG, "从eth0文件中读取的有效 MAC 地址：%s\n", mac1->c_str());
  else
    syslog(LOG_DEBUG, "无法获取有效的eth0 MAC 地址。\n");
  auto mac2 = netfile_read_mac(kLan3UnitPath);
  if (mac2)
    syslog(LOG_DEBUG, "从lan4文件中读取的有效 MAC 地址：%s\n", mac2->c_str());
  else
    syslog(LOG_DEBUG, "无法获取有效的lan4 MAC 地址。\n");

  if (!mac1 || !mac2) {
    reply.set(mac2   ? "ERROR,Mac1 read error\n"
              : mac1 ? "ERROR,Mac2 read error\n"
                     : "ERROR,ethmac read error\n");
    return;
  }
  const struct {
    const std::string& address;
    const char* variable;
  } checks[] = {{*mac1, kEthaddrVar}, {*mac2, kEth1addrVar}};
  for (int i = 0; i < 2; ++i) {
    syslog(LOG_DEBUG, "macAddresses[%d] --> %s", i, checks[i].address.c_str());
    if (!env_mac_matches(checks[i].address, checks[i].variable)) {
      reply.set("ERROR,Macaddress needs to be rewritten\n");
      return;
    }
  }
  if (!live_mac_check(*mac1, *mac2)) {
    reply.set("ERROR,Mac burning not effective\n");
    return;
  }
  reply.printf("OK,ethmac=%s,%s\n", mac_strip_colons(*mac1).c_str(), mac_strip_colons(*mac2).c_str());
}

void ethmac_command(char* args, ReplyBuffer& reply) {
  syslog(LOG_DEBUG, "Dual ethaddr needs to be burned");
  if (std::strcmp(args, "?") == 0)
    ethmac_query(reply);
  else
    ethmac_write(args, reply);
}

std::string ethaddr_parse_file() {
  auto first_line = read_first_line(kEthaddrScratchPath, kMaxLine);
  if (!first_line) syslog(LOG_INFO, "cannot read the file\n");
  return scratch_value(first_line, kEthaddrVar);
}

void ethaddr_query(char*, ReplyBuffer& reply) {
  run_shell(kEthaddrReadCommand);
  std::string value = mac_strip_colons(ethaddr_parse_file());
  reply.printf(value == kNullValue ? "ERROR,%s\n" : "OK,%s\n", value.c_str());
}

}  // namespace ftmd
