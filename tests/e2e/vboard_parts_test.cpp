// The board's pure parts, in-process without a board: the kernel's number
// parsing, the hardware tree behind /sys, the GPIO listing, the U-Boot
// image, the syslog datagram format and the PC-side frame helpers.
#include <gtest/gtest.h>

#include <cerrno>

#include "vboard/gpio.h"
#include "vboard/host_client.h"
#include "vboard/leds.h"
#include "vboard/sysfs.h"
#include "vboard/syslog_capture.h"
#include "vboard/triggers.h"
#include "vboard/uboot_env.h"

namespace vboard {
namespace {

TEST(VboardKernelNumber, ParsesLikeKstrtol) {
  struct Case {
    std::string bytes;
    int base;
    bool ok;
    long value;
  };
  const Case cases[] = {
      {"84", 0, true, 84},
      {"84\n", 0, true, 84},
      {std::string("84\0", 3), 0, true, 84},
      {std::string("1\0zz", 4), 10, true, 1},
      {"0x54", 0, true, 84},
      {"010", 0, true, 8},
      {"84\n\n", 0, false, 0},
      {" 84", 0, false, 0},
      {"84 ", 0, false, 0},
      {"", 0, false, 0},
      {"\n", 0, false, 0},
      {"8a", 10, false, 0},
      {"-1", 10, true, -1},
  };
  for (const auto& c : cases) {
    long v = 0;
    EXPECT_EQ(parse_kernel_number(c.bytes, c.base, v), c.ok) << HostClient::escaped(c.bytes);
    if (c.ok) {
      EXPECT_EQ(v, c.value) << HostClient::escaped(c.bytes);
    }
  }
}

// Writes through the FUSE-facing interface, as the board's writes arrive.
int write_path(HwTree& tree, const std::string& path, std::string_view bytes) {
  std::uint64_t ino = HwTree::kRootIno;
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    auto s = tree.lookup(ino, path.substr(start, end - start));
    if (!s) return ENOENT;
    ino = s->ino;
    start = end + 1;
  }
  if (int err = tree.open(ino, false, true)) return err;
  return tree.write(ino, bytes);
}

TEST(VboardHwTree, WritesReplaceLogExactlyAndHonourFaults) {
  HwTree tree;
  Leds leds(tree);
  const std::string red = Leds::brightness_path("red");
  EXPECT_EQ(write_path(tree, red, "255"), 0);
  EXPECT_EQ(write_path(tree, red, std::string("0\0", 2)), 0);
  EXPECT_EQ(tree.read(red), "0\n");
  EXPECT_EQ(write_path(tree, red, "on"), EINVAL);
  tree.set_fault(red, HwTree::Fault::kWriteFails);
  EXPECT_EQ(write_path(tree, red, "1"), EIO);
  tree.set_fault(red, HwTree::Fault::kOpenFails, ENXIO);
  EXPECT_EQ(write_path(tree, red, "1"), ENXIO);
  auto log = tree.writes_to(red);
  ASSERT_EQ(log.size(), 4u);  // the refused open never reached a write
  EXPECT_EQ(log[1].bytes, std::string("0\0", 2));
  EXPECT_EQ(log[2].error, EINVAL);
  EXPECT_EQ(log[3].error, EIO);
  // Read-only and write-only attributes refuse the other kind of open.
  tree.add_value("/sys/devices/soc0/soc_uid", "X\n", false);
  auto soc = tree.lookup(
      tree.lookup(tree.lookup(tree.lookup(HwTree::kRootIno, "sys")->ino, "devices")->ino, "soc0")->ino,
      "soc_uid");
  ASSERT_TRUE(soc);
  EXPECT_EQ(tree.open(soc->ino, false, true), EACCES);
  EXPECT_EQ(tree.open(soc->ino, true, false), 0);
}

TEST(VboardHwTree, RemovedNodesVanishAndComeBackUnderTheSameInode) {
  HwTree tree;
  Leds leds(tree);
  auto leds_dir = tree.lookup(tree.lookup(tree.lookup(HwTree::kRootIno, "sys")->ino, "class")->ino, "leds");
  ASSERT_TRUE(leds_dir);
  auto green = tree.lookup(leds_dir->ino, "green");
  ASSERT_TRUE(green);
  leds.remove("green");
  EXPECT_FALSE(tree.lookup(leds_dir->ino, "green"));
  EXPECT_FALSE(tree.exists(Leds::brightness_path("green")));
  std::vector<std::string> names;
  for (auto& [name, s] : tree.list(leds_dir->ino)) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"blue", "red"}));
  leds.add("green");
  EXPECT_EQ(tree.lookup(leds_dir->ino, "green")->ino, green->ino);
}

TEST(VboardGpio, ExportOnceAndListLikeTheKernel) {
  HwTree tree;
  Gpio gpio(tree);
  Triggers triggers(tree, gpio);
  EXPECT_EQ(write_path(tree, "/sys/class/gpio/export", "84"), 0);
  EXPECT_EQ(write_path(tree, "/sys/class/gpio/export", std::string("84\0", 3)), EBUSY);
  EXPECT_EQ(write_path(tree, "/sys/class/gpio/export", "85"), EINVAL);
  EXPECT_EQ(write_path(tree, "/sys/class/gpio/export", "112"), EBUSY);  // claimed by the trigger driver
  EXPECT_EQ(write_path(tree, "/sys/class/gpio/gpio84/value", "1"), EPERM);
  EXPECT_EQ(write_path(tree, "/sys/class/gpio/gpio84/direction", "high\n"), 0);
  EXPECT_EQ(write_path(tree, "/dev/triggerout", "1\n"), 0);
  EXPECT_EQ(gpio.debug_listing(),
            "gpiochip2: GPIOs 64-95, parent: platform/30220000.gpio, 30220000.gpio:\n"
            " gpio-84  (                    |sysfs               ) out hi \n"
            "\n"
            "gpiochip3: GPIOs 96-127, parent: platform/30230000.gpio, 30230000.gpio:\n"
            " gpio-112 (                    |trigger_out_1       ) out hi \n"
            " gpio-113 (                    |trigger_out_2       ) out lo \n");
  triggers.set_fault(1, Triggers::LineFault::kStuckLow);
  EXPECT_EQ(triggers.level(1), 0);
  EXPECT_EQ(write_path(tree, "/sys/class/gpio/unexport", "84"), 0);
  EXPECT_FALSE(tree.exists("/sys/class/gpio/gpio84"));
  EXPECT_EQ(write_path(tree, "/sys/class/gpio/unexport", "84"), EINVAL);
}

TEST(VboardUbootEnv, ImageRoundTripsAndRejectsCorruption) {
  UbootEnv::Vars vars = {{"msn", "SN 0001"}, {"ethaddr", "00:1B:2C:3D:4E:5F"}, {"x", "a=b"}};
  auto image = UbootEnv::build_image(vars);
  ASSERT_EQ(image.size(), UbootEnv::kSize);
  EXPECT_EQ(UbootEnv::parse_image(image), vars);
  // The data starts right after the CRC; the list ends with an empty entry.
  EXPECT_EQ(std::string(image.begin() + 4, image.begin() + 22), std::string("ethaddr=00:1B:2C:3D", 18));
  image[100] ^= 1;
  EXPECT_EQ(UbootEnv::parse_image(image), std::nullopt);
  EXPECT_EQ(UbootEnv::parse_image(std::vector<std::uint8_t>(UbootEnv::kSize, 0)), std::nullopt);
  const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(UbootEnv::crc32(check, sizeof(check)), 0xCBF43926u);
}

TEST(VboardSyslogCapture, ParsesGlibcDatagrams) {
  auto l = SyslogCapture::parse("<14>Dec  5 16:00:00 ftmd: try to read for 2048 bytes...\n");
  EXPECT_EQ(l.level, 6);
  EXPECT_EQ(l.facility, 1);
  EXPECT_EQ(l.ident, "ftmd");
  EXPECT_EQ(l.text, "try to read for 2048 bytes...\n");
  // The text keeps its own colons and leading line feeds.
  l = SyslogCapture::parse("<11>Dec 15 01:02:03 ftmd: \nline 344: result-->OK: x\n");
  EXPECT_EQ(l.level, 3);
  EXPECT_EQ(l.text, "\nline 344: result-->OK: x\n");
}

TEST(VboardHostClient, FramesMatchTheLinksWorkedExample) {
  EXPECT_EQ(HostClient::expected_reply("OK\n"),
            (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x4F, 0x4B, 0x0A, 0x59}));
  EXPECT_EQ(HostClient::encode_request("ab", Bytes{1, 2, 3, 4, 5, 6, 7}),
            (Bytes{1, 2, 3, 4, 5, 6, 7, 2, 0, 'a', 'b'}));
  EXPECT_EQ(HostClient::escaped(std::string("OK\n\0\x7f\\", 6)), "OK\\n\\x00\\x7f\\\\");
}

}  // namespace
}  // namespace vboard
