#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vboard {

// Running a daemon built for another machine (the aarch64 target) on the
// board through qemu-user. binfmt_misc may not be registered on the build
// machine, so the board starts the emulator itself, through a link named ftmd
// (so the process is called ftmd): ftmd -0 ftmd /usr/local/sbin/ftmd. Plain
// qemu-aarch64, never with -L: the multiarch loader and libraries are found at
// their usual paths.

// e_machine of an ELF file from its first bytes (at least 20); nothing when
// the bytes are not an ELF header.
std::optional<std::uint16_t> elf_machine(std::span<const std::uint8_t> head);

// The qemu-user program name for a foreign ELF machine ("qemu-aarch64"),
// "" when `machine` is the build machine's own, nothing when unsupported.
std::optional<std::string> qemu_user_for(std::uint16_t machine);

// The emulator (host path) to run `program` with: "" for a native program or
// a script. Throws BoardError when it is foreign and no qemu-user for it is
// installed.
std::string emulator_for(const std::string& program);

}  // namespace vboard
