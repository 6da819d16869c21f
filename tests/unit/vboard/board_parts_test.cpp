// The board's parts that need no board: the kernel's number parsing, the
// hardware tree behind /sys, the GPIO listing, the U-Boot image, the ELF
// check for emulation, the control socket and the checks of control lines.
#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "pc/text.h"
#include "vboard/control_socket.h"
#include "vboard/controls.h"
#include "vboard/emulation.h"
#include "vboard/gpio.h"
#include "vboard/leds.h"
#include "vboard/sysfs.h"
#include "vboard/triggers.h"
#include "vboard/uboot_env.h"

namespace vboard {
namespace {

TEST(VboardKernelNumber, ParsesLikeKstrtol) {
  const std::pair<std::string, long> accepted[] = {
      {"84", 84}, {"84\n", 84}, {std::string("84\0", 3), 84}, {std::string("1\0zz", 4), 1}, {"0x54", 84},
      {"010", 8}, {"-1", -1}};
  const std::string refused[] = {"84\n\n", " 84", "84 ", "", "\n", "8a"};
  for (const auto& [bytes, value] : accepted) {
    long v = 0;
    EXPECT_TRUE(parse_kernel_number(bytes, 0, v)) << ftmd::pc::escape_reply(bytes);
    EXPECT_EQ(v, value) << ftmd::pc::escape_reply(bytes);
  }
  for (const auto& bytes : refused) {
    long v = 0;
    EXPECT_FALSE(parse_kernel_number(bytes, 0, v)) << ftmd::pc::escape_reply(bytes);
  }
}

// The inode of a board path, walked as the FUSE lookups arrive; 0 when absent.
std::uint64_t ino_of(const HwTree& tree, const std::string& path) {
  std::uint64_t ino = HwTree::kRootIno;
  for (const auto& part : std::filesystem::path(path).relative_path()) {
    auto s = tree.lookup(ino, part.string());
    if (!s) return 0;
    ino = s->ino;
  }
  return ino;
}

// Writes through the FUSE-facing interface, as the board's writes arrive.
int write_path(HwTree& tree, const std::string& path, std::string_view bytes) {
  const std::uint64_t ino = ino_of(tree, path);
  if (ino == 0) return ENOENT;
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
  const auto soc = ino_of(tree, "/sys/devices/soc0/soc_uid");
  EXPECT_EQ(tree.open(soc, false, true), EACCES);
  EXPECT_EQ(tree.open(soc, true, false), 0);

  // A removed LED's class directory vanishes and comes back under its inode.
  const auto green = ino_of(tree, "/sys/class/leds/green");
  leds.remove("green");
  EXPECT_EQ(ino_of(tree, "/sys/class/leds/green"), 0u);
  std::vector<std::string> names;
  for (auto& [name, s] : tree.list(ino_of(tree, "/sys/class/leds"))) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"blue", "red"}));
  leds.add("green");
  EXPECT_EQ(ino_of(tree, "/sys/class/leds/green"), green);
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
  image[100] ^= 1;
  EXPECT_EQ(UbootEnv::parse_image(image), std::nullopt);
  EXPECT_EQ(UbootEnv::parse_image(std::vector<std::uint8_t>(UbootEnv::kSize, 0)), std::nullopt);
  const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(UbootEnv::crc32(check, sizeof(check)), 0xCBF43926u);
}

std::vector<std::uint8_t> elf_head(std::uint16_t machine, bool little = true) {
  std::vector<std::uint8_t> h(64, 0);
  std::memcpy(h.data(), ELFMAG, SELFMAG);
  h[EI_DATA] = little ? ELFDATA2LSB : ELFDATA2MSB;
  h[little ? 18 : 19] = static_cast<std::uint8_t>(machine & 0xff);
  h[little ? 19 : 18] = static_cast<std::uint8_t>(machine >> 8);
  return h;
}

TEST(VboardEmulation, RunsOnlyForeignElfProgramsUnderQemu) {
  const auto head = elf_head(EM_AARCH64);
  EXPECT_EQ(elf_machine(head), EM_AARCH64);
  EXPECT_EQ(elf_machine(elf_head(EM_AARCH64, false)), EM_AARCH64);
  EXPECT_EQ(elf_machine(std::span(head).first(19)), std::nullopt);
  EXPECT_EQ(elf_machine(std::vector<std::uint8_t>(64, '#')), std::nullopt);  // a script
#if defined(__x86_64__)
  EXPECT_EQ(qemu_user_for(EM_AARCH64), "qemu-aarch64");
#endif
  EXPECT_EQ(qemu_user_for(EM_SPARC), std::nullopt);
  EXPECT_EQ(emulator_for("/proc/self/exe"), "");  // a program of this machine runs natively
  const std::string foreign = testing::TempDir() + "/foreign-ftmd";
  const auto sparc = elf_head(EM_SPARC);
  std::ofstream(foreign, std::ios::binary)
      .write(reinterpret_cast<const char*>(sparc.data()), static_cast<std::streamsize>(sparc.size()));
  EXPECT_THROW(emulator_for(foreign), BoardError);
}

TEST(VboardControlSocket, OneAnswerLinePerControlLine) {
  const std::string path = testing::TempDir() + "/vboard-control-" + std::to_string(::getpid());
  std::vector<std::string> seen;
  {
    ControlSocket socket(path, [&](const std::string& line) {
      seen.push_back(line);
      return line == "bad" ? std::string("error: unknown control: bad") : std::string("ok");
    });
    std::string error;
    EXPECT_EQ(ControlSocket::ask(path, "gpio 9 1", &error), "ok") << error;
    EXPECT_EQ(ControlSocket::ask(path, "bad", &error), "error: unknown control: bad") << error;
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"gpio 9 1", "bad"}));
  EXPECT_FALSE(std::filesystem::exists(path)) << "the socket is removed with the board";
  std::string error;
  EXPECT_FALSE(ControlSocket::ask(path, "key", &error));
  EXPECT_NE(error.find("cannot reach the board at " + path), std::string::npos) << error;
}

// Each control's declared arguments decide which lines reach it.
TEST(VboardControls, LinesAreCheckedAgainstTheDeclaredArguments) {
  struct Case {
    const char* line;
    const char* error;  // nullptr: accepted
  };
  const Case cases[] = {
      {"usb-stick add", nullptr},
      {"usb-stick sideways", "usb-stick: sideways is not one of add|remove"},
      {"key now", "usage: key"},
      {"gpio 0x9 2", "gpio: 2 is not one of 0|1"},
      {"reboot-mode log", nullptr},
      {"reboot-mode log -1", "reboot-mode: BOOT-MS must be a number from 0 to 600000, not -1"},
      {"logic-answer all 100 split", nullptr},
      {"sh", "usage: sh COMMAND..."},
      {"shout", "unknown control: shout (try help)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    try {
      EXPECT_TRUE(Controls::parse(c.line).first);
      EXPECT_EQ(c.error, nullptr);
    } catch (const ControlError& e) {
      EXPECT_STREQ(e.what(), c.error ? c.error : "(accepted)");
    }
  }
  auto [entry, args] = Controls::parse("activation-file device.lic two  words");
  EXPECT_EQ(args.word(1), "two words");
  EXPECT_EQ(Controls::parse("gpio 0x9 1").second.number(0), 9);
}

}  // namespace
}  // namespace vboard
