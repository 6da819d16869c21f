#include "vboard/emulation.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "common/unique_fd.h"
#include "vboard/board.h"

namespace vboard {
namespace {

// The machines the board can emulate, with their qemu-user program.
struct Emulated {
  std::uint16_t machine;
  const char* qemu;
};
constexpr Emulated kEmulated[] = {
    {EM_AARCH64, "qemu-aarch64"},
    {EM_ARM, "qemu-arm"},
    {EM_X86_64, "qemu-x86_64"},
    {EM_RISCV, "qemu-riscv64"},
};

#if defined(__x86_64__)
constexpr std::uint16_t kNativeMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr std::uint16_t kNativeMachine = EM_AARCH64;
#elif defined(__arm__)
constexpr std::uint16_t kNativeMachine = EM_ARM;
#elif defined(__riscv)
constexpr std::uint16_t kNativeMachine = EM_RISCV;
#else
#error "unknown build machine"
#endif

constexpr const char* kToolDirs[] = {"/usr/bin", "/usr/sbin", "/bin"};

}  // namespace

std::optional<std::uint16_t> elf_machine(std::span<const std::uint8_t> head) {
  if (head.size() < 20 || std::memcmp(head.data(), ELFMAG, SELFMAG) != 0) return std::nullopt;
  // e_machine at offset 18, in the file's own byte order.
  bool little = head[EI_DATA] == ELFDATA2LSB;
  return static_cast<std::uint16_t>(little ? head[18] | head[19] << 8 : head[18] << 8 | head[19]);
}

std::optional<std::string> qemu_user_for(std::uint16_t machine) {
  if (machine == kNativeMachine) return std::string();
  for (const auto& e : kEmulated)
    if (e.machine == machine) return std::string(e.qemu);
  return std::nullopt;
}

std::string emulator_for(const std::string& program) {
  ftmd::UniqueFd fd(::open(program.c_str(), O_RDONLY | O_CLOEXEC));
  std::uint8_t head[64] = {};
  ssize_t n = fd ? ::read(fd.get(), head, sizeof(head)) : -1;
  auto machine = elf_machine(std::span<const std::uint8_t>(head, n > 0 ? static_cast<std::size_t>(n) : 0));
  if (!machine) return {};
  auto qemu = qemu_user_for(*machine);
  if (!qemu)
    throw BoardError("vboard: " + program + " is for ELF machine " + std::to_string(*machine) +
                     ", which the board cannot emulate");
  if (qemu->empty()) return {};
  for (const char* dir : kToolDirs) {
    std::string path = std::string(dir) + "/" + *qemu;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  throw BoardError("vboard: " + program + " needs " + *qemu + " (run tools/install-cross-deps)");
}

}  // namespace vboard
