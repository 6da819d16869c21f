// The virtual board itself: the simulated hardware must behave like the
// device's kernel and tools, or every other end-to-end test proves nothing.
// Most checks run shell commands inside a board, as the daemon would.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "board_fixture.h"
#include "pc/link.h"
#include "wait_until.h"

namespace ftmd::test {
namespace {

namespace fs = std::filesystem;

class VirtualBoard : public BoardTest {
 protected:
  // Runs a shell command inside the board; "<exit N>" is appended on failure.
  std::string sh(const std::string& command) {
    auto r = board().shell(command);
    return r.status == 0 ? r.output : r.output + "<exit " + std::to_string(r.status) + ">";
  }
};

// The daemon drives GPIO 84 at start-up: the sysfs checks start from a board
// whose daemon never ran.
class VirtualBoardIdle : public VirtualBoard {
 protected:
  void configure(vboard::BoardOptions& options) override { options.start_daemon = false; }
};

// What the shell's writes do through the FUSE /sys (the attribute rules
// themselves are unit-tested on the tree).
TEST_F(VirtualBoardIdle, SysfsAttributesBehaveLikeTheKernels) {
  struct Case {
    const char* command;
    const char* output;
  };
  const Case cases[] = {
      // Each write replaces the value, whatever was there before.
      {"echo 255 > /sys/class/leds/red/brightness; echo 0 > /sys/class/leds/red/brightness; "
       "cat /sys/class/leds/red/brightness",
       "0\n"},
      {"printf 300 > /sys/class/leds/red/brightness; cat /sys/class/leds/red/brightness", "255\n"},
      {"{ printf x > /sys/class/leds/red/brightness; } 2>/dev/null || echo refused", "refused\n"},
      // export creates gpioN once; a second export is refused.
      {"test -e /sys/class/gpio/gpio84 || echo absent", "absent\n"},
      {"printf '84\\0' > /sys/class/gpio/export && ls /sys/class/gpio/gpio84",
       "active_low\ndirection\nedge\nvalue\n"},
      {"{ printf 84 > /sys/class/gpio/export; } 2>/dev/null || echo refused", "refused\n"},
      // The trigger outputs follow /dev/triggerout at once in the listing.
      {"echo 3 > /dev/triggerout; grep trigger_out /sys/kernel/debug/gpio",
       " gpio-112 (                    |trigger_out_1       ) out hi \n"
       " gpio-113 (                    |trigger_out_2       ) out hi \n"},
      // soc_uid: read-only, the exact bytes.
      {"cat /sys/devices/soc0/soc_uid; { echo x > /sys/devices/soc0/soc_uid; } 2>/dev/null || echo read-only",
       "0x1122334455667788\nread-only\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(sh(c.command), c.output) << c.command;
  // Each write() arrives whole, NUL included, and refused ones with their errno.
  auto exports = board().hw().writes_to("/sys/class/gpio/export");
  ASSERT_EQ(exports.size(), 2u);
  EXPECT_EQ(exports[0].bytes, std::string("84\0", 3));
  EXPECT_EQ(exports[1].error, EBUSY);
}

TEST_F(VirtualBoard, UbootToolsWorkOnTheFileBackedEnvironment) {
  // The board writes the same image mkenvimage makes.
  std::string dir = board().state_dir();
  std::ofstream(dir + "/vars.txt") << "baudrate=115200\nbootdelay=1\n";
  ASSERT_EQ(std::system(("mkenvimage -s 0x4000 -o " + dir + "/ref.bin " + dir + "/vars.txt").c_str()), 0);
  std::ifstream ref(dir + "/ref.bin", std::ios::binary);
  std::vector<std::uint8_t> expected((std::istreambuf_iterator<char>(ref)), std::istreambuf_iterator<char>());
  EXPECT_EQ(expected, vboard::UbootEnv::build_image(default_board_options().boot_env));

  EXPECT_EQ(sh("fw_printenv bootdelay"), "bootdelay=1\n");
  EXPECT_EQ(sh("fw_setenv msn 'SN 0001' && fw_printenv msn"), "msn=SN 0001\n");
  EXPECT_EQ(board().uboot_env().get("msn"), "SN 0001");
}

// networkd's stand-in applies each unit's MACAddress= to its interface (lan4
// and lan3 only) and records the call.
TEST_F(VirtualBoard, NetworkdStandInAppliesTheUnitsAddresses) {
  board().write_file("/etc/systemd/network/lan4.network",
                     "[Match]\nName=lan4\n[Network]\nDHCP=ipv4\n[Link]\nMACAddress=00:1B:2C:3D:4E:5F\n");
  board().write_file("/etc/systemd/network/eth0.network",
                     "[Match]\nName=eth0\n[Link]\nMACAddress=00:11:22:33:44:55\n");
  EXPECT_EQ(sh("systemctl restart systemd-networkd.service"), "");
  EXPECT_EQ(sh("cat /sys/class/net/lan4/address"), "00:1b:2c:3d:4e:5f\n");
  EXPECT_EQ(board().network().mac("eth0"), "02:00:00:00:00:01");
  EXPECT_EQ(board().network().mac("lan3"), "02:00:00:00:03:01");
  EXPECT_EQ(board().standins().systemctl_calls(),
            std::vector<std::string>{"systemctl restart systemd-networkd.service"});
}

// As an evdev node does, the key device gives a reader only what happens
// while it has the device open: a stray press, or what a key test left
// unread, does not answer the next key test.
TEST_F(VirtualBoard, KeyDeviceGivesEachReaderOnlyTheEventsAfterItsOpen) {
  ASSERT_TRUE(board().keypad().press_reset_key());
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("key test " + std::to_string(round + 1));
    const std::size_t mark = syslog().mark();
    ASSERT_TRUE(client().send("at+ftm,keytest=1"));
    ASSERT_TRUE(syslog().wait_for("device opened OK", 5s, mark));
    EXPECT_TRUE(client().read_available(300ms).empty()) << "answered by an earlier press";
    // Two presses: the key test takes the first, the second stays unread.
    ASSERT_TRUE(board().keypad().press_reset_key() && board().keypad().press_reset_key());
    auto reply = client().read_frame(5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "OK\n");
    ASSERT_TRUE(wait_back_in_read(mark));
    // The board learns of the key test's close from inotify; the next key
    // test comes after it has (on the line, seconds pass between them).
    ASSERT_TRUE(wait_until([&] { return board().keypad().readers() == 0; }));
  }
}

// The test PC sits on lan4's far end in a network of its own and downloads
// what the board's web server publishes, as the station does.
TEST_F(VirtualBoard, ThePcDownloadsFromTheBoardsWebServer) {
  board().write_file("/var/www/html/device.lic", std::string("LIC\0\x01", 5));
  auto got = board().run_on_pc({"curl", "-sS", "--max-time", "10", "http://192.0.2.1/device.lic"});
  EXPECT_EQ(got.output, std::string("LIC\0\x01", 5));
  auto addr = board().run_on_pc({"sh", "-c", "ip -4 -o addr show lan4-pc | awk '{print $4}'"});
  EXPECT_EQ(addr.output, "192.0.2.2/24\n");
  // The PC's network is not the board's: lan4's address is not local there,
  // and the board sees only its own interfaces.
  EXPECT_EQ(board().run_on_pc({"sh", "-c", "ip -4 -o addr | grep -c 192.0.2.1"}).output, "0\n");
  EXPECT_EQ(sh("ls /sys/class/net"), "eth0\nlan3\nlan4\nlo\n");
}

bool present(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

// A reboot as the test PC sees it: the port and its USB names go, come back
// on a new tty, and ftmd serves again with the board's state kept.
TEST_F(VirtualBoard, RebootTakesThePortAndItsNamesAwayAndBringsThemBackOnANewTty) {
  board().set_reboot_reenumerates(true, 500ms);
  const std::string names = board().state_dir() + "/names";
  board().usb_host().set_usb_names(names, "0042", vboard::UsbHost::kDefaultLocation);
  const std::string link = board().usb_host().attach_cable(board().state_dir() + "/ttyPC0");
  const std::string by_id = names + "/by-id/usb-Acme_FTM-Audio_0042-if00";
  const std::string by_path = names + "/by-path/" + vboard::UsbHost::kDefaultLocation;
  ASSERT_TRUE(fs::exists(by_id));
  EXPECT_EQ(fs::canonical(by_path), fs::canonical(link));
  std::string error;
  auto old_link = pc::SerialLink::open(link, &error);
  ASSERT_TRUE(old_link) << error;
  board().uboot_env().set("msn", "SN0042");
  // The PC has talked to the board over lan4; the unit then gets another MAC.
  board().write_file("/var/www/html/probe.txt", "here\n");
  const std::vector<std::string> fetch = {"curl", "-s", "-m", "3", "http://192.0.2.1/probe.txt"};
  ASSERT_EQ(board().run_on_pc(fetch).output, "here\n");
  ASSERT_TRUE(board().network().set_mac("lan4", "02:00:00:00:04:42"));

  const auto mark = syslog().mark();
  ASSERT_EQ(board().shell("reboot").status, 0);
  ASSERT_TRUE(wait_until([&] { return !present(link); }, 10s)) << "the PC-side port did not go";
  // udev's names went first.
  EXPECT_FALSE(present(by_id));
  EXPECT_FALSE(present(by_path));
  EXPECT_FALSE(board().daemon_running());

  ASSERT_TRUE(board().wait_rebooted(1, 10s));
  ASSERT_TRUE(present(by_id) && present(by_path));
  EXPECT_EQ(fs::canonical(by_id), fs::canonical(link));
  ASSERT_TRUE(board().wait_serving(10s, mark));
  EXPECT_EQ(board().uboot_env().get("msn"), "SN0042");

  auto new_link = pc::SerialLink::open(link, &error);
  ASSERT_TRUE(new_link) << error;
  EXPECT_EQ(new_link->transact("at+ftm,ftmver=?", 5s).reply, "OK,ftmver=V1.0\n");
  EXPECT_EQ(old_link->transact("at+ftm,ftmver=?", 2s).outcome, pc::LinkOutcome::kTransport);
  EXPECT_EQ(board().reboots_done(), 1);
  // The links went down with the board: the PC forgot the old MAC.
  EXPECT_EQ(board().run_on_pc(fetch).output, "here\n");
}

}  // namespace
}  // namespace ftmd::test
