// The virtual board itself: the simulated hardware must behave like the
// device's kernel and tools, or every other end-to-end test proves nothing.
// Most checks run shell commands inside a board, as the daemon would.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "board_fixture.h"
#include "common/unique_fd.h"
#include "vboard/audio_mcu.h"

namespace ftmd::test {
namespace {

using vboard::HwTree;

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
      // export creates gpioN once; a second export is EBUSY; unexport removes it.
      {"test -e /sys/class/gpio/gpio84 || echo absent", "absent\n"},
      {"printf '84\\0' > /sys/class/gpio/export && ls /sys/class/gpio/gpio84",
       "active_low\ndirection\nedge\nvalue\n"},
      {"{ printf 84 > /sys/class/gpio/export; } 2>/dev/null || echo refused", "refused\n"},
      {"echo 6 > /sys/class/gpio/export; printf 6 > /sys/class/gpio/unexport; "
       "test -e /sys/class/gpio/gpio6 || echo gone",
       "gone\n"},
      {"{ printf 999 > /sys/class/gpio/export; } 2>/dev/null || echo refused", "refused\n"},
      {"cat /sys/class/gpio/gpio84/direction; { echo 1 > /sys/class/gpio/gpio84/value; } 2>/dev/null || echo "
       "refused",
       "in\nrefused\n"},
      {"echo out > /sys/class/gpio/gpio84/direction; printf '1\\0' > /sys/class/gpio/gpio84/value; "
       "cat /sys/class/gpio/gpio84/value",
       "1\n"},
      // The trigger outputs follow /dev/triggerout at once in the listing.
      {"echo 3 > /dev/triggerout; grep trigger_out /sys/kernel/debug/gpio",
       " gpio-112 (                    |trigger_out_1       ) out hi \n"
       " gpio-113 (                    |trigger_out_2       ) out hi \n"},
      {"echo 0 > /dev/triggerout; grep -c 'out lo' /sys/kernel/debug/gpio", "2\n"},
      {"grep -c sysfs /sys/kernel/debug/gpio", "1\n"},  // gpio84, exported above
      {"{ echo 7 > /dev/triggerout; } 2>/dev/null || echo refused", "refused\n"},
      // soc_uid: read-only, the exact bytes.
      {"cat /sys/devices/soc0/soc_uid; { echo x > /sys/devices/soc0/soc_uid; } 2>/dev/null || echo read-only",
       "0x1122334455667788\nread-only\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(sh(c.command), c.output) << c.command;

  // Every write is logged with its exact bytes, refused ones with their errno.
  auto exports = board().hw().writes_to("/sys/class/gpio/export");
  ASSERT_EQ(exports.size(), 4u);
  EXPECT_EQ(exports[0].bytes, std::string("84\0", 3));
  EXPECT_EQ(exports[0].error, 0);
  EXPECT_EQ(exports[1].bytes, "84");
  EXPECT_EQ(exports[1].error, EBUSY);
  EXPECT_EQ(exports[2].bytes, "6\n");
  EXPECT_EQ(exports[3].error, EINVAL);
  EXPECT_EQ(board().hw().writes_to("/sys/class/gpio/gpio84/value").front().error, EPERM);
  EXPECT_EQ(board().gpio().line(84)->value, 1);
}

TEST_F(VirtualBoard, FaultsAndControlsReachTheBoardAtOnce) {
  const std::string red = vboard::Leds::brightness_path("red");
  board().hw().set_fault(red, HwTree::Fault::kOpenFails);
  EXPECT_EQ(sh("{ echo 1 > " + red + "; } 2>/dev/null || echo no-open"), "no-open\n");
  board().hw().set_fault(red, HwTree::Fault::kWriteFails);
  EXPECT_EQ(sh("{ echo 1 > " + red + "; } 2>/dev/null || echo no-write"), "no-write\n");
  EXPECT_EQ(board().hw().writes_to(red).back().error, EIO);
  board().hw().clear_faults();
  board().leds().remove("green");
  EXPECT_EQ(sh("ls /sys/class/leds"), "blue\nred\n");
  board().triggers().set_fault(1, vboard::Triggers::LineFault::kStuckLow);
  board().triggers().set_fault(2, vboard::Triggers::LineFault::kMissing);
  EXPECT_EQ(sh("echo 3 > /dev/triggerout; grep -o 'trigger_out_.*' /sys/kernel/debug/gpio"),
            "trigger_out_1       ) out lo \n");
  board().triggers().set_present(false);
  EXPECT_EQ(sh("test -e /dev/triggerout || echo no-node"), "no-node\n");
  board().gpio().set_input(9, 1);
  EXPECT_EQ(sh("echo 9 > /sys/class/gpio/export; cat /sys/class/gpio/gpio9/value"), "1\n");
  board().set_soc_uid("ABC");
  EXPECT_EQ(sh("cat /sys/devices/soc0/soc_uid"), "ABC");
  board().set_os_release("VERSION_ID=\"2.0.1\"\n");
  EXPECT_EQ(sh("readlink /etc/os-release >/dev/null && cat /etc/os-release"), "VERSION_ID=\"2.0.1\"\n");
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
  board().uboot_env().set("csn", "C42");
  EXPECT_EQ(sh("fw_printenv csn"), "csn=C42\n");
  board().uboot_env().corrupt();
  EXPECT_NE(sh("fw_printenv csn 2>&1").find("Cannot read environment"), std::string::npos);
}

TEST_F(VirtualBoard, StandInsActAsTheDevicesTools) {
  // networkd applies each unit's MACAddress= to its interface; eth0 is left alone.
  board().write_file("/etc/systemd/network/lan4.network",
                     "[Match]\nName=lan4\n[Network]\nDHCP=ipv4\n[Link]\nMACAddress=00:1B:2C:3D:4E:5F\n");
  board().write_file("/etc/systemd/network/eth0.network",
                     "[Match]\nName=eth0\n[Link]\nMACAddress=00:11:22:33:44:55\n");
  EXPECT_EQ(sh("systemctl restart systemd-networkd.service"), "");
  EXPECT_EQ(sh("cat /sys/class/net/lan4/address"), "00:1b:2c:3d:4e:5f\n");
  EXPECT_EQ(board().network().mac("lan4"), "00:1b:2c:3d:4e:5f");
  EXPECT_EQ(board().network().mac("eth0"), "02:00:00:00:00:01");
  EXPECT_EQ(board().network().mac("lan3"), "02:00:00:00:03:01");
  EXPECT_EQ(board().standins().systemctl_calls(),
            std::vector<std::string>{"systemctl restart systemd-networkd.service"});

  const char* poll = "/usr/local/dep/dante_package/runc list|grep dante |awk '{print $3}'";
  for (const char* state : {"running", "created", "paused"}) {
    board().standins().set_container_status(state);
    EXPECT_EQ(sh(poll), std::string(state) + "\n");
  }
  board().standins().set_container_status("absent");
  EXPECT_EQ(sh(poll), "");

  EXPECT_EQ(sh("reboot; reboot"), "");
  EXPECT_EQ(board().standins().reboot_count(), 2);
  EXPECT_EQ(sh("ip -4 -o addr show lan4 | awk '{print $4}'"), "192.0.2.1/24\n");
  ASSERT_TRUE(board().network().set_address("lan4", ""));
  EXPECT_EQ(sh("ip -4 -o addr show lan4"), "");
}

TEST_F(VirtualBoard, KeyEventsArriveAsWholeRecords) {
  ASSERT_TRUE(board().keypad().press_reset_key());
  // Four 24-byte records: press, sync, release, sync.
  EXPECT_EQ(sh("dd if=/dev/input/by-path/platform-keys-event bs=24 count=4 2>/dev/null | wc -c"), "96\n");
  ASSERT_TRUE(board().keypad().inject(vboard::Keypad::kEvKey, 2, 1));
  EXPECT_EQ(sh("dd if=/dev/input/by-path/platform-keys-event bs=24 count=1 2>/dev/null | od -An -tx1 -j16 | "
               "tr -d ' '"),
            "0100020001000000\n");
}

TEST_F(VirtualBoard, UeventsReachTheDaemonsSocket) {
  EXPECT_EQ(ask_text("at+ftm,udisk"), "ERROR,Insert or Pull out Usb first\n");
  std::size_t mark = syslog().mark();
  ASSERT_TRUE(board().uevents().usb_stick(true));
  ASSERT_TRUE(syslog().wait_for("add@/devices/platform/", 5s, mark));
  // The monitor rewrites the status file through a shell right after logging.
  for (int i = 0; i < 100 && board().read_file("/tmp/usbdetect.txt") != "OK,udisk=1\n"; ++i)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ask_text("at+ftm,udisk"), "OK,udisk=1\n");
}

// The audio MCU answers the leave-low-power message with a 200-byte message,
// which the daemon's start-up waits for.
TEST_F(VirtualBoard, AudioMcuAnswersLeaveLowPower) {
  std::string slave = board().audio_mcu().port().slave_path();
  ftmd::UniqueFd fd(::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(fd);
  termios t{};
  ::tcgetattr(fd.get(), &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd.get(), TCSANOW, &t);
  // The daemon's start-up has had its answer already.
  const int before = board().audio_mcu().leave_low_power_count();
  auto request = vboard::AudioMcu::message(0xAA, 2, vboard::AudioMcu::kLeaveLowPower);
  ASSERT_EQ(::write(fd.get(), request.data(), request.size()), 200);
  std::vector<std::uint8_t> answer;
  while (answer.size() < 200) {
    pollfd p{fd.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1) << "no answer";
    std::uint8_t buf[256];
    ssize_t n = ::read(fd.get(), buf, sizeof(buf));
    ASSERT_GT(n, 0);
    answer.insert(answer.end(), buf, buf + n);
  }
  EXPECT_EQ(answer.size(), 200u);
  EXPECT_EQ(answer[0], 0xAA);
  EXPECT_EQ(vboard::AudioMcu::command_of(answer), vboard::AudioMcu::kLeaveLowPower);
  EXPECT_EQ(board().audio_mcu().leave_low_power_count(), before + 1);
}

// The test PC sits on lan4's far end in a network of its own and downloads
// what the board's web server publishes, as the station does.
TEST_F(VirtualBoard, ThePcDownloadsFromTheBoardsWebServer) {
  board().write_file("/var/www/html/device.lic", std::string("LIC\0\x01", 5));
  auto got = board().run_on_pc({"curl", "-sS", "--max-time", "10", "http://192.0.2.1/device.lic"});
  EXPECT_EQ(got.status, 0) << got.output;
  EXPECT_EQ(got.output, std::string("LIC\0\x01", 5));
  auto addr = board().run_on_pc({"sh", "-c", "ip -4 -o addr show lan4-pc | awk '{print $4}'"});
  EXPECT_EQ(addr.output, "192.0.2.2/24\n");
  // The PC's network is not the board's: lan4's address is not local there,
  // and the board sees only its own interfaces.
  EXPECT_EQ(board().run_on_pc({"sh", "-c", "ip -4 -o addr | grep -c 192.0.2.1"}).output, "0\n");
  EXPECT_EQ(sh("ls /sys/class/net"), "eth0\nlan3\nlan4\nlo\n");
}

TEST_F(VirtualBoard, DaemonRestartsOnTheSameBoardWithItsState) {
  EXPECT_EQ(sh("fw_setenv msn SN9 && echo kept > /tmp/mark"), "");
  std::size_t mark = syslog().mark();
  board().start_daemon();
  ASSERT_TRUE(wait_serving(mark));
  EXPECT_EQ(board().uboot_env().get("msn"), "SN9");
  EXPECT_EQ(board().read_file("/tmp/mark"), "kept\n");
  EXPECT_EQ(ask_text("at+ftm,dsp"), "ERROR,Command not supported in tolvek\n");
}

}  // namespace
}  // namespace ftmd::test
