#include "daemon/command_table.h"

#include <strings.h>

#include <cstring>

#include "activation/activation.h"
#include "autotest/autotest.h"
#include "hwtest/hwtest.h"
#include "identity/identity.h"
#include "logicmcu/logicmcu.h"
#include "mcu/mcu.h"

namespace ftmd {

// Read top to bottom, this is the protocol's command list. Rows without a
// test on this device answer exactly like an unknown command.
const CommandTable kCommandTable = {{
    {"at+ftm,Autotest", autotest},
    {"at+ftm,ftmver=?", ftmver_query},
    {"at+ftm,swver=?", swver_query},
    {"at+ftm,hwid=?", hwid_query},
    {"at+ftm,sn=", sn_command},
    {"at+ftm,csn=", csn_command},
    {"at+ftm,ethmac=", ethmac_command},
    {"at+ftm,led=", led_test},
    {"at+ftm,keytest=", key_test},
    {"at+ftm,auxindetect", invalid_command},
    {"at+ftm,udisk", udisk_detect},
    {"at+ftm,rcadetect", invalid_command},
    {"at+ftm,triggertest=", triggerout_test},
    {"at+ftm,triggerin=", triggerin_test},
    {"at+ftm,fandriver", invalid_command},
    {"at+ftm,qrcode=?", invalid_command},
    {"at+ftm,record", invalid_command},
    {"at+ftm,reboot=1", reboot_device},
    {"at+ftm,tamosound", invalid_command},
    {"at+ftmsoft=", invalid_command},
    {"at+ftm,dsp", dsp_not_supported},
    {"at+ftm,volume", volume_test},
    {"at+ftm,dantedevlic=", publish_device_lic},
    {"at+ftm,dantecert=", publish_manufacturer_cert},
    {"at+ftm,checkdantedevlic=", confirm_device_lic},
    {"at+ftm,checkdantecert=", confirm_manufacturer_cert},
    {"at+ftm,logicmcugetmode=?", logicmcu_getmode},
    {"at+ftm,logicmcusetmode=", logicmcu_setmode},
    {"at+ftm,logicmcugetvalue=?", logicmcu_getvalue},
    {"at+ftm,logicmcusetvalue=", logicmcu_setvalue},
    {"at+ftm,circuit=", circuit_test},
    {"at+ftm,aging=", deviceaging_test},
}};

const CommandEntry* find_command(const char* command) {
  for (const CommandEntry& row : kCommandTable) {
    // strncasecmp stops at the text's NUL, so a shorter text never matches.
    if (strncasecmp(row.prefix, command, std::strlen(row.prefix)) == 0) return &row;
  }
  return nullptr;
}

ReplyBuffer& dispatch_command(char* command, ReplyBuffer& reply) {
  const CommandEntry* row = find_command(command);
  if (row == nullptr)
    invalid_command(command, reply);
  else
    row->handler(command + std::strlen(row->prefix), reply);
  return reply;
}

void reboot_device(char*, ReplyBuffer& reply) { reply.set(kRebootReply); }

void dsp_not_supported(char*, ReplyBuffer& reply) { reply.set("ERROR,Command not supported in tolvek\n"); }

}  // namespace ftmd
