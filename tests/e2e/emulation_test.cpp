#include "vboard/emulation.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "vboard/board.h"

namespace vboard {
namespace {

std::vector<std::uint8_t> elf_head(std::uint16_t machine, bool little = true) {
  std::vector<std::uint8_t> h(64, 0);
  std::memcpy(h.data(), ELFMAG, SELFMAG);
  h[EI_CLASS] = ELFCLASS64;
  h[EI_DATA] = little ? ELFDATA2LSB : ELFDATA2MSB;
  h[18] = static_cast<std::uint8_t>(little ? machine & 0xff : machine >> 8);
  h[19] = static_cast<std::uint8_t>(little ? machine >> 8 : machine & 0xff);
  return h;
}

TEST(BoardEmulation, ReadsTheElfMachine) {
  EXPECT_EQ(elf_machine(elf_head(EM_AARCH64)), EM_AARCH64);
  EXPECT_EQ(elf_machine(elf_head(EM_X86_64)), EM_X86_64);
  EXPECT_EQ(elf_machine(elf_head(EM_AARCH64, false)), EM_AARCH64);
  const std::string script = "#!/bin/sh\necho hello world\n";
  EXPECT_EQ(elf_machine(std::span(reinterpret_cast<const std::uint8_t*>(script.data()), script.size())),
            std::nullopt);
  auto short_head = elf_head(EM_AARCH64);
  short_head.resize(19);
  EXPECT_EQ(elf_machine(short_head), std::nullopt);
}

TEST(BoardEmulation, PicksQemuUserOnlyForForeignPrograms) {
#if defined(__x86_64__)
  EXPECT_EQ(qemu_user_for(EM_X86_64), "");
  EXPECT_EQ(qemu_user_for(EM_AARCH64), "qemu-aarch64");
#endif
  EXPECT_EQ(qemu_user_for(EM_SPARC), std::nullopt);
  // The build's own daemon runs natively; a foreign one names its emulator
  // or says what is missing.
  EXPECT_EQ(emulator_for(FTMD_BINARY), "");
  std::string fake = testing::TempDir() + "/foreign-ftmd";
  auto head = elf_head(EM_SPARC);
  std::ofstream(fake, std::ios::binary).write(reinterpret_cast<const char*>(head.data()), head.size());
  EXPECT_THROW(emulator_for(fake), BoardError);
}

}  // namespace
}  // namespace vboard
