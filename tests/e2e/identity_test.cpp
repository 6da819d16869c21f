// Identity provisioning on the virtual board: versions and hardware id,
// serial numbers and MAC addresses in the boot environment and the
// systemd-networkd unit files, as the production line's test PC sees them.
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "board_fixture.h"

namespace ftmd::test {
namespace {

using EnvTools = vboard::StandIns::EnvTools;

constexpr char kLan4Unit[] = "/etc/systemd/network/lan4.network";
constexpr char kLan3Unit[] = "/etc/systemd/network/lan3.network";
constexpr char kMac1[] = "00:1B:2C:3D:4E:5F";
constexpr char kMac2[] = "00:1B:2C:3D:4E:60";
constexpr char kBurn[] = "at+ftm,ethmac=001B2C3D4E5F,001B2C3D4E60";
constexpr char kBurned[] = "OK,ethmac=001B2C3D4E5F,001B2C3D4E60\n";

// What a unit file burned from nothing holds, byte for byte.
std::string unit_text(const std::string& name, const std::string& mac) {
  return "[Match]\nName=" + name + "\n[Network]\nDHCP=ipv4\n[Link]\nMACAddress=" + mac + "\n";
}

class IdentityTest : public BoardTest {
 protected:
  std::optional<std::string> env(const std::string& name) { return board().uboot_env().get(name); }
  std::optional<std::string> unit(const char* path) { return board().read_file(path); }
  std::string live(const std::string& ifname) { return board().network().mac(ifname).value_or("?"); }
  bool exists(const std::string& board_path) { return board().read_file(board_path).has_value(); }
  ino_t inode(const char* board_path) {
    struct stat st {};
    return ::stat(board().host_path(board_path).c_str(), &st) == 0 ? st.st_ino : 0;
  }
  std::size_t networkd_restarts() { return board().standins().systemctl_calls().size(); }
  // Log lines since `mark` that `keep` selects, in order.
  template <typename Keep>
  std::vector<std::string> logged(std::size_t mark, Keep keep) {
    std::vector<std::string> out;
    for (const auto& line : syslog().lines(mark))
      if (keep(line)) out.push_back(line.text);
    return out;
  }
};

// ---- Versions and hardware id ------------------------------------------------

TEST_F(IdentityTest, VersionsAndHardwareIdComeFromTheBoardsFiles) {
  EXPECT_EQ(ask_text("AT+FTM,HWID=?"), "OK,0x1122334455667788\n");
  const std::pair<std::string, std::string> releases[] = {
      {"NAME=x\nVERSION_ID=\"2.0.1\"\n", "OK,swver=\"2.0.1\"\n"},
      // Only the first 256 bytes are searched.
      {"# " + std::string(260, 'x') + "\nVERSION_ID=9\n", "ERROR"},
      {std::string(240, '#') + "\nVERSION_ID=9\n", "OK,swver=9\n"},
  };
  for (const auto& [os_release, reply] : releases) {
    board().set_os_release(os_release);
    EXPECT_EQ(ask_text("at+ftm,swver=?"), reply) << os_release;
  }
  board().shell("rm /etc/os-release");
  EXPECT_EQ(ask_text("at+ftm,swver=?"), "ERROR");

  board().set_soc_uid("0x1\nsecond line\n");
  EXPECT_EQ(ask_text("at+ftm,hwid=?"), "OK,0x1\n");
  board().set_soc_uid("");
  EXPECT_EQ(ask_text("at+ftm,hwid=?"), "OK,");
  board().hw().remove("/sys/devices/soc0/soc_uid");
  EXPECT_EQ(ask_text("at+ftm,hwid=?"), "ERROR");
}

// ---- Serial numbers ----------------------------------------------------------

// Both families of U-Boot tools: they differ only for unset variables.
class SerialNumberTest : public IdentityTest, public testing::WithParamInterface<EnvTools> {
 protected:
  void SetUp() override {
    IdentityTest::SetUp();
    board().standins().set_env_tools(GetParam());
  }
};

TEST_P(SerialNumberTest, WriteAndReadBack) {
  EXPECT_EQ(board().shell("fw_printenv msn 2>/dev/null").output,
            GetParam() == EnvTools::kUboot ? "" : "msn=\n");
  // Not set: both read-backs say null.
  EXPECT_EQ(ask_text("at+ftm,sn=?"), "ERROR,null\n");
  EXPECT_EQ(ask_text("at+ftm,csn=?"), "ERROR,null\n");
  EXPECT_EQ(ask_text("at+ftm,Autotest=6"), "ERROR,null\n");  // ethaddr alone

  const struct {
    std::string value;  // stored as sent
    std::string sn_reply;
    std::string csn_reply;
  } cases[] = {
      {"SN0001", "OK,SN0001\n", "OK,SN0001\n"},
      {"A=B", "OK,A=B\n", "OK,A\n"},  // awk's second field
      {"null", "ERROR,null\n", "OK,null\n"},
      {"SN 00 01", "OK,SN 00 01\n", "OK,SN 00 01\n"},  // spaces kept
      {"??", "OK,??\n", "OK,??\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ask_text("at+ftm,sn=" + c.value), "OK\n") << c.value;
    EXPECT_EQ(ask_text("at+ftm,csn=" + c.value), "OK\n") << c.value;
    EXPECT_EQ(env("msn"), c.value);
    EXPECT_EQ(env("csn"), c.value);
    EXPECT_EQ(ask_text("at+ftm,sn=?"), c.sn_reply) << c.value;
    EXPECT_EQ(ask_text("AT+FTM,CSN=?"), c.csn_reply) << c.value;
  }
  // "?" and a line feed is a value, not a query; an empty value runs nothing.
  EXPECT_EQ(ask_text("at+ftm,sn=?\n"), "OK\n");
  EXPECT_EQ(ask_text("at+ftm,sn="), "ERROR,Invalid Cmd\n");
  EXPECT_EQ(ask_text("at+ftm,csn="), "ERROR,Invalid Cmd\n");
  EXPECT_EQ(env("msn"), "?\n");
}

INSTANTIATE_TEST_SUITE_P(BothToolFamilies, SerialNumberTest,
                         testing::Values(EnvTools::kLibubootenv, EnvTools::kUboot), [](const auto& family) {
                           return family.param == EnvTools::kUboot ? "Uboot" : "Libubootenv";
                         });

TEST_F(IdentityTest, InjectionAttemptsAreStoredLiterallyAndNeverRun) {
  for (const std::string value : {"x;touch /tmp/owned", "$(touch /tmp/owned)", "`touch /tmp/owned`",
                                  "x' ; touch /tmp/owned ; echo '", "x\"; touch /tmp/owned; echo \"",
                                  "x || touch /tmp/owned | cat > /tmp/owned", "$HOME ${PATH} * ~ \\ !"}) {
    EXPECT_EQ(ask_text("at+ftm,sn=" + value), "OK\n") << value;
    EXPECT_EQ(ask_text("at+ftm,csn=" + value), "OK\n") << value;
    EXPECT_EQ(env("msn"), value);
    EXPECT_EQ(env("csn"), value);
    EXPECT_EQ(ask_text("at+ftm,sn=?"), "OK," + value + "\n");
    EXPECT_FALSE(exists("/tmp/owned")) << value;
  }
}

// A value fits when its own length does: 241 characters after the 14 of
// "fw_setenv msn " fill the tool's 256-byte command line; the quotes the
// daemon adds do not count.
TEST_F(IdentityTest, ValuesThatCannotBeStoredAsSentAreRefused) {
  const std::string longest(241, 'A'), quotes = std::string(239, 'Q') + "''";
  EXPECT_EQ(ask_text("at+ftm,sn=" + longest), "OK\n");
  EXPECT_EQ(env("msn"), longest);
  EXPECT_EQ(ask_text("at+ftm,sn=?"), "OK," + longest + "\n");
  EXPECT_EQ(ask_text("at+ftm,csn=" + quotes), "OK\n");
  EXPECT_EQ(env("csn"), quotes);

  EXPECT_EQ(ask_text("at+ftm,sn=" + longest + "B"), "ERROR,length error\n");
  // The tools would take these for options ("-s <file>" loads a script).
  EXPECT_EQ(ask_text("at+ftm,sn=-s/etc/os-release"), "ERROR,format error\n");
  EXPECT_EQ(ask_text("at+ftm,csn=-n"), "ERROR,format error\n");
  EXPECT_EQ(env("msn"), longest);
  EXPECT_EQ(env("csn"), quotes);
  EXPECT_FALSE(env("NAME"));
}

// ---- MAC addresses -----------------------------------------------------------

TEST_F(IdentityTest, FullProvisioningFlow) {
  EXPECT_EQ(ask_text("at+ftm,ethmac=?"), "ERROR,ethmac read error\n");
  EXPECT_EQ(ask_text(kBurn), "OK\n");
  EXPECT_EQ(unit(kLan4Unit), unit_text("lan4", kMac1));
  EXPECT_EQ(unit(kLan3Unit), unit_text("lan3", kMac2));
  EXPECT_EQ(env("ethaddr"), kMac1);
  EXPECT_EQ(env("eth1addr"), kMac2);
  EXPECT_EQ(board().standins().systemctl_calls(),
            std::vector<std::string>{"systemctl restart systemd-networkd.service"});
  // The reply came after the restart: the interfaces already carry them.
  EXPECT_EQ(live("lan4"), "00:1b:2c:3d:4e:5f");
  EXPECT_EQ(live("lan3"), "00:1b:2c:3d:4e:60");
  EXPECT_EQ(live("eth0"), "02:00:00:00:00:01");  // left alone
  EXPECT_EQ(ask_text("at+ftm,ethmac=?"), kBurned);
  EXPECT_EQ(ask_text("at+ftm,Autotest=6"), "OK,001B2C3D4E5F\n");

  // The unit restarts (as after a reboot): everything is still there.
  start_daemon();
  EXPECT_EQ(ask_text("at+ftm,ethmac=?"), kBurned);

  // Burning the same addresses again: unit files not touched, variables
  // set again, networkd restarted.
  ino_t lan4_inode = inode(kLan4Unit);
  std::size_t mark = syslog().mark();
  EXPECT_EQ(ask_text(std::string(kBurn) + "\n"), "OK\n");
  EXPECT_EQ(inode(kLan4Unit), lan4_inode);
  EXPECT_EQ(syslog().count("Write: -->Not conflicts with 00:1B:2C:3D:4E:5F", mark, kLogDebug), 1u);
  EXPECT_EQ(networkd_restarts(), 2u);

  // New addresses replace the old ones.
  EXPECT_EQ(ask_text("at+ftm,ethmac=A0B1C2D3E4F5,A0B1C2D3E4F6"), "OK\n");
  EXPECT_EQ(unit(kLan3Unit), unit_text("lan3", "A0:B1:C2:D3:E4:F6"));
  EXPECT_EQ(ask_text("at+ftm,ethmac=?"), "OK,ethmac=A0B1C2D3E4F5,A0B1C2D3E4F6\n");
}

// A unit file is created where its update starts, before the defaults and the
// address are worked out; it appears whole, and only when the directory takes
// files at all.
TEST_F(IdentityTest, UnitFilesAreCreatedFirstOrTheBurnFails) {
  ASSERT_TRUE(board().network().set_unit_dir_writable(false));
  std::size_t mark = syslog().mark();
  EXPECT_EQ(ask_text(kBurn), "burned failed\n");
  EXPECT_EQ(
      logged(mark, [](auto& l) { return l.level == kLogDebug && l.text.find("文件") != std::string::npos; }),
      (std::vector<std::string>{"文件创建失败或出现错误。\n", "文件创建失败或出现错误。\n"}));
  EXPECT_EQ(syslog().count("Failed to create file: --> /etc/systemd/network/lan4.network\n", mark, kLogDebug),
            1u);
  EXPECT_FALSE(env("ethaddr"));
  ASSERT_TRUE(board().network().set_unit_dir_writable(true));

  mark = syslog().mark();
  EXPECT_EQ(ask_text(kBurn), "OK\n");
  auto lan4 = logged(mark, [](auto& l) {
    return l.text.find("lan4.network") != std::string::npos || l.text.starts_with("文件");
  });
  lan4.resize(4);
  EXPECT_EQ(lan4, (std::vector<std::string>{
                      "File --> /etc/systemd/network/lan4.network created successfully!\n", "文件存在。\n",
                      "文件内容已更新。\n",
                      "Cannot get MACAddress: (null) from /etc/systemd/network/lan4.network\n"}));
  EXPECT_EQ(unit(kLan4Unit), unit_text("lan4", kMac1));
}

TEST_F(IdentityTest, BadWriteArgumentsWriteNothing) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "ERROR,length error\n"},
      {"?\n", "ERROR,length error\n"},
      {"001B2C3D4E5F,001B2C3D4E6", "ERROR,length error\n"},
      {"001B2C3D4E5F,001B2C3D4E600", "ERROR,length error\n"},
      {"001B2C3D4E5F,001B2C3D4E60\n\n", "ERROR,length error\n"},
      {"001B2C3D4E5F;001B2C3D4E60", "ERROR,format error\n"},
      {"001B2C3D4E5,F001B2C3D4E60", "ERROR,format error\n"},
      {"001B2C3D4E5F,001B2C3D4E5F", "ERROR,MACAddres Conflict\n"},
      {"001b2c3d4e5f,001b2c3d4e60", "burned failed\n"},
      {"011B2C3D4E5F,031B2C3D4E60", "burned failed\n"},  // both multicast
      {"00:1B:2C:3D:,00:1B:2C:3E:", "burned failed\n"},
  };
  for (const auto& [argument, reply] : cases)
    EXPECT_EQ(ask_text("at+ftm,ethmac=" + argument), reply) << argument;
  EXPECT_FALSE(exists(kLan4Unit));
  EXPECT_FALSE(exists(kLan3Unit));
  EXPECT_FALSE(env("ethaddr"));
  EXPECT_FALSE(env("eth1addr"));
  EXPECT_EQ(networkd_restarts(), 0u);
}

TEST_F(IdentityTest, OneBadAddressFailsOnlyThatAddress) {
  // Mac1 multicast: Mac2 is still burned, nothing rolled back, no restart.
  EXPECT_EQ(ask_text("at+ftm,ethmac=011B2C3D4E5F,001B2C3D4E60"), "Mac1 burned failed\n");
  EXPECT_FALSE(exists(kLan4Unit));
  EXPECT_FALSE(env("ethaddr"));
  EXPECT_EQ(unit(kLan3Unit), unit_text("lan3", kMac2));
  EXPECT_EQ(env("eth1addr"), kMac2);
  EXPECT_EQ(ask_text("at+ftm,ethmac=?"), "ERROR,Mac1 read error\n");

  // Mac2 with a stray character: the old one stays.
  EXPECT_EQ(ask_text("at+ftm,ethmac=001B2C3D4E5F,001B2C3D4E6G"), "Mac2 burned failed\n");
  EXPECT_EQ(unit(kLan4Unit), unit_text("lan4", kMac1));
  EXPECT_EQ(unit(kLan3Unit), unit_text("lan3", kMac2));
  EXPECT_EQ(networkd_restarts(), 0u);
  // Both files and variables agree now, but networkd never applied them.
  EXPECT_EQ(ask_text("at+ftm,ethmac=?"), "ERROR,Mac burning not effective\n");
}

// The query reports the first disagreement it finds: unit files, then the
// boot environment, then the live interfaces.
TEST_F(IdentityTest, QueryReportsTheFirstDisagreement) {
  vboard::Board& b = board();
  const std::string alien = "02:00:00:00:04:01";
  const struct {
    const char* name;
    std::function<void()> change;
    std::string reply;
  } cases[] = {
      {"all agree", [] {}, kBurned},
      {"lan4 file missing", [&] { b.shell("rm /etc/systemd/network/lan4.network"); },
       "ERROR,Mac1 read error\n"},
      {"lan3 file lower case", [&] { b.write_file(kLan3Unit, unit_text("lan3", "00:1b:2c:3d:4e:60")); },
       "ERROR,Mac2 read error\n"},
      {"both files without a link section",
       [&] {
         b.write_file(kLan4Unit, "[Match]\nName=lan4\nMACAddress=" + std::string(kMac1) + "\n");
         b.write_file(kLan3Unit, "");
       },
       "ERROR,ethmac read error\n"},
      {"ethaddr lower case", [&] { b.uboot_env().set("ethaddr", "00:1b:2c:3d:4e:5f"); },
       "ERROR,Macaddress needs to be rewritten\n"},
      {"ethaddr not set", [&] { b.uboot_env().unset("ethaddr"); },
       "ERROR,Macaddress needs to be rewritten\n"},
      {"ethaddr not set, other tools",
       [&] {
         b.uboot_env().unset("ethaddr");
         b.standins().set_env_tools(EnvTools::kUboot);
       },
       "ERROR,Macaddress needs to be rewritten\n"},
      {"eth1addr another address", [&] { b.uboot_env().set("eth1addr", kMac1); },
       "ERROR,Macaddress needs to be rewritten\n"},
      {"lan3 not applied", [&] { b.network().set_mac("lan3", alien); }, "ERROR,Mac burning not effective\n"},
      {"eth0 same as lan4, lan4 not Mac1",
       [&] {
         b.network().set_mac("eth0", alien);
         b.network().set_mac("lan4", alien);
       },
       "ERROR,Mac burning not effective\n"},
      // lan4 is checked only while eth0 carries its address.
      {"eth0 differs, lan4 not Mac1", [&] { b.network().set_mac("lan4", alien); }, kBurned},
  };
  for (const auto& c : cases) {
    b.standins().set_env_tools(EnvTools::kLibubootenv);
    b.write_file(kLan4Unit, unit_text("lan4", kMac1));
    b.write_file(kLan3Unit, unit_text("lan3", kMac2));
    b.uboot_env().set("ethaddr", kMac1);
    b.uboot_env().set("eth1addr", kMac2);
    b.network().set_mac("eth0", "02:00:00:00:00:01");
    b.network().set_mac("lan4", kMac1);
    b.network().set_mac("lan3", kMac2);
    c.change();
    EXPECT_EQ(ask_text("at+ftm,ethmac=?"), c.reply) << c.name;
  }
  // A board whose eth0 takes lan4's address: then lan4 must equal Mac1.
  b.standins().set_eth0_follows_lan4(true);
  EXPECT_EQ(ask_text("at+ftm,ethmac=A0B1C2D3E4F5,A0B1C2D3E4F6"), "OK\n");
  EXPECT_EQ(live("eth0"), "a0:b1:c2:d3:e4:f5");
  EXPECT_EQ(ask_text("at+ftm,ethmac=?"), "OK,ethmac=A0B1C2D3E4F5,A0B1C2D3E4F6\n");
}

TEST_F(IdentityTest, StorageFaults) {
  // fw_setenv failing is not seen by the write; the query finds it.
  board().standins().set_fw_setenv_fails(true);
  EXPECT_EQ(ask_text(kBurn), "OK\n");
  EXPECT_EQ(unit(kLan4Unit), unit_text("lan4", kMac1));
  EXPECT_FALSE(env("ethaddr"));
  EXPECT_EQ(ask_text("at+ftm,ethmac=?"), "ERROR,Macaddress needs to be rewritten\n");
  EXPECT_EQ(ask_text("at+ftm,sn=SN0001"), "OK\n");
  EXPECT_EQ(ask_text("at+ftm,sn=?"), "ERROR,null\n");
  board().standins().set_fw_setenv_fails(false);
  EXPECT_EQ(ask_text(kBurn), "OK\n");

  // A unit directory that cannot be written: both fail, even for the
  // addresses the files hold (they cannot be opened for writing); files and
  // variables keep what they held, networkd is not restarted.
  std::size_t restarts = networkd_restarts();
  ASSERT_TRUE(board().network().set_unit_dir_writable(false));
  EXPECT_EQ(ask_text("at+ftm,ethmac=A0B1C2D3E4F5,A0B1C2D3E4F6"), "burned failed\n");
  std::size_t mark = syslog().mark();
  EXPECT_EQ(ask_text(kBurn), "burned failed\n");
  EXPECT_EQ(syslog().count("无法打开文件", mark, kLogError), 2u);
  EXPECT_EQ(syslog().count("无法打开文件。\n", mark, kLogDebug), 2u);
  EXPECT_TRUE(syslog().wait_exact("Failed to update lan4 MAC address.\n", kLogWarning, 1s, mark));
  EXPECT_TRUE(syslog().wait_exact("Failed to update Lan3 MAC address.\n", kLogWarning, 1s, mark));
  EXPECT_EQ(unit(kLan3Unit), unit_text("lan3", kMac2));
  EXPECT_EQ(env("ethaddr"), kMac1);
  EXPECT_EQ(networkd_restarts(), restarts);
  ASSERT_TRUE(board().network().set_unit_dir_writable(true));
  EXPECT_EQ(ask_text("at+ftm,ethmac=?"), kBurned);
}

// Kills the daemon with SIGKILL at random moments while it burns addresses,
// over and over: each unit file is always whole, the old one or the new one.
// FTMD_POWER_CUT_ROUNDS sets the number of rounds (default 20).
TEST_F(IdentityTest, KilledDuringMacBurnsNeverLeavesAPartialUnitFile) {
  const char* n = std::getenv("FTMD_POWER_CUT_ROUNDS");
  const int rounds = n != nullptr ? std::max(1, std::atoi(n)) : 20;
  const std::string burns[2] = {kBurn, "at+ftm,ethmac=A0B1C2D3E4F5,A0B1C2D3E4F6"};
  const std::string lan4[2] = {unit_text("lan4", kMac1), unit_text("lan4", "A0:B1:C2:D3:E4:F5")};
  const std::string lan3[2] = {unit_text("lan3", kMac2), unit_text("lan3", "A0:B1:C2:D3:E4:F6")};
  // One whole burn first: the files exist from then on, and it tells how
  // long the unit-file part of a burn takes on this machine.
  std::size_t mark = syslog().mark();
  ASSERT_EQ(ask_text(burns[1]), "OK\n");
  auto begin = syslog().wait_for("Dual ethaddr needs to be burned", 1s, mark);
  auto done = syslog().wait_for("Lan3 MAC address update successful.", 1s, mark);
  ASSERT_TRUE(begin && done);
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(done->when - begin->when).count();
  std::mt19937 random(std::random_device{}());
  int replaced = 0;
  for (int round = 0; round < rounds; ++round) {
    mark = syslog().mark();
    ASSERT_TRUE(client().send(burns[round % 2]));
    ASSERT_TRUE(syslog().wait_for("Dual ethaddr needs to be burned", 10s, mark));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (span * 3 / 2 + 1)));
    board().kill_daemon(SIGKILL);
    ASSERT_TRUE(board().wait_daemon_exit(10s));
    for (const auto& [path, ok] : {std::pair{kLan4Unit, lan4}, std::pair{kLan3Unit, lan3}}) {
      std::string text = unit(path).value_or("<vanished>");
      EXPECT_TRUE(text == ok[round % 2] || text == ok[(round + 1) % 2])
          << path << " in round " << round << ":\n"
          << text;
      replaced += text == ok[round % 2];
    }
    client().read_available(20ms);  // a reply cut by the kill
    start_daemon();
  }
  std::printf("%d rounds (unit-file part %lld us): files found replaced %d of %d times\n", rounds,
              static_cast<long long>(span), replaced, 2 * rounds);
  EXPECT_EQ(ask_text(kBurn), "OK\n");
  EXPECT_EQ(ask_text("at+ftm,ethmac=?"), kBurned);
}

}  // namespace
}  // namespace ftmd::test
