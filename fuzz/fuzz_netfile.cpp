// The unit-file editing rules on any text, and the whole update of a unit
// file (read, edit, atomic replace) on a temporary directory: whatever the
// file held, afterwards it holds the address, and nothing else is left behind.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "identity/netfile.h"

using namespace ftmd;
using ftmd::fuzz::require;

namespace {

// A directory of our own for the whole run, removed at exit (the name lives
// as long as the process, past the static destructors).
const std::string& work_dir() {
  static const std::string& dir = *new std::string([] {
    char templ[] = "/dev/shm/fuzz-netfile-XXXXXX";
    char tmp_templ[] = "/tmp/fuzz-netfile-XXXXXX";
    const char* made = ::mkdtemp(templ);
    if (made == nullptr) made = ::mkdtemp(tmp_templ);
    require(made != nullptr);
    std::string path = made;
    std::atexit([] {
      std::string unit = work_dir() + "/10-lan4.network";
      ::unlink(unit.c_str());
      ::rmdir(work_dir().c_str());
    });
    return path;
  }());
  return dir;
}

std::size_t entries(const std::string& dir) {
  std::size_t n = 0;
  DIR* d = ::opendir(dir.c_str());
  require(d != nullptr);
  while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
  ::closedir(d);
  return n;
}

// Six bytes as the 17-character form, so the file update always runs.
std::string mac_from(const std::string& bytes) {
  char mac[18];
  unsigned char b[6] = {};
  for (std::size_t i = 0; i < 6 && i < bytes.size(); ++i) b[i] = static_cast<unsigned char>(bytes[i]);
  std::snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
  return mac;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // text, header, entry, address text, address bytes
  auto f = fuzz::fields(data, size, 5);
  const std::string& text = f[0];

  check_mac_format(f[3]);
  netfile_find_mac(text);
  netfile_ensure_entry(text, f[1], f[2]);
  netfile_ensure_defaults(text, "Name=lan4");

  const std::string mac = mac_from(f[4]);
  require(check_mac_format(mac));
  const std::string rewritten = netfile_rewrite_mac(text, mac);
  require(netfile_find_mac(rewritten) == mac);
  // Rewriting what was rewritten changes nothing.
  require(netfile_rewrite_mac(rewritten, mac) == rewritten);

  // The file update on a unit holding the text.
  const std::string& dir = work_dir();
  const std::string unit = dir + "/10-lan4.network";
  int fd = ::open(unit.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  require(fd >= 0);
  require(::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
  ::close(fd);
  require(netfile_update_unit(unit.c_str(), "Name=lan4", mac));
  require(netfile_read_mac(unit.c_str()) == mac);
  require(entries(dir) == 1);  // no temporary file left
  return 0;
}
