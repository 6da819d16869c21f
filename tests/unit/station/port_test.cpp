#include "port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace ftmd::station {
namespace {

namespace fs = std::filesystem;
using Links = std::vector<std::pair<std::string, std::string>>;  // name -> target

// A scratch directory standing for /dev or /proc, removed afterwards.
class TempTree {
 public:
  TempTree() {
    std::string tmpl = (fs::temp_directory_path() / "port-test-XXXXXX").string();
    root_ = ::mkdtemp(tmpl.data());
  }
  ~TempTree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  std::string path(const std::string& rel) const { return root_ + "/" + rel; }
  void file(const std::string& rel, const std::string& content = {}) const {
    fs::create_directories(fs::path(path(rel)).parent_path());
    std::ofstream(path(rel)) << content;
  }
  void links(const Links& links) const {
    for (const auto& [name, target] : links) {
      fs::create_directories(fs::path(path(name)).parent_path());
      fs::create_symlink(target, path(name));
    }
  }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

PortChoice choice(std::string path, std::string serial = {}, std::string location = {}) {
  return {std::move(path), std::move(serial), std::move(location)};
}

TEST(FindPort, ChoosesExactlyOneDeviceByPathSerialOrLocation) {
  struct Case {
    const char* what;
    PortChoice choice;  // a path is under the tree's root
    Links links;
    std::string found;  // device under the root; empty: none, and `error` is part of why
    std::string error = {};
  };
  const std::string id = "serial/by-id/usb-Acme_FTM-Audio_";
  const std::string bus = "serial/by-path/pci-0000:00:14.0-usb-0:";
  const std::vector<Case> cases = {
      {"path", choice("ttyACM0"), {}, "ttyACM0"},
      {"path that is not there", choice("ttyACM9"), {}, "", "no port /"},
      {"serial: no match lists what is there",
       choice("", "9999"),
       {{id + "1234-if00", "../../ttyACM0"}},
       "",
       "no port with USB serial 9999 in "},
      {"serial: one",
       choice("", "1234"),
       {{id + "1234-if00", "../../ttyACM0"}, {id + "5678-if00", "../../ttyACM1"}},
       "ttyACM0"},
      {"serial: a tail of another serial is no match",
       choice("", "34"),
       {{id + "1234-if00", "../../ttyACM0"}},
       "",
       "(present: usb-Acme_FTM-Audio_1234-if00)"},
      {"serial: two interfaces of one unit are two ports",
       choice("", "1234"),
       {{id + "1234-if00", "../../ttyACM0"}, {id + "1234-if02", "../../ttyACM1"}},
       "",
       "USB serial 1234 names more than one port: usb-Acme_FTM-Audio_1234-if00, "
       "usb-Acme_FTM-Audio_1234-if02"},
      {"serial: a dangling name (device gone) is no match",
       choice("", "1234"),
       {{id + "1234-if00", "../../ttyACM7"}},
       "",
       "no port with USB serial 1234"},
      {"serial: no by-id directory", choice("", "1234"), {}, "", "lists no serial port"},
      {"location: a root hub port",
       choice("", "", "usb-0:2"),
       {{bus + "2:1.0", "../../ttyACM0"},
        {bus + "2.1:1.0", "../../ttyACM1"},
        {bus + "21:1.0", "../../ttyACM2"}},
       "ttyACM0"},
      {"location: the whole name",
       choice("", "", "pci-0000:00:14.0-usb-0:2.1:1.0"),
       {{bus + "2:1.0", "../../ttyACM0"}, {bus + "2.1:1.0", "../../ttyACM1"}},
       "ttyACM1"},
      {"location: two names of one device count once",
       choice("", "", "0:2"),
       {{bus + "2:1.0", "../../ttyACM0"}, {"serial/by-path/pci-0000:00:14.0-usbv2-0:2:1.0", "../../ttyACM0"}},
       "ttyACM0"},
      {"location: two devices",
       choice("", "", "usb-0:2"),
       {{bus + "2:1.0", "../../ttyACM0"}, {bus + "2:1.2", "../../ttyACM1"}},
       "",
       "names more than one port: pci-0000:00:14.0-usb-0:2:1.0, pci-0000:00:14.0-usb-0:2:1.2"},
      {"location: no match",
       choice("", "", "usb-0:3"),
       {{bus + "2:1.0", "../../ttyACM0"}},
       "",
       "no port with USB location usb-0:3"},
      {"nothing chosen", PortChoice(), {}, "", "no port given"},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.what);
    TempTree dev;
    for (const char* tty : {"ttyACM0", "ttyACM1", "ttyACM2"}) dev.file(tty);
    dev.links(c.links);
    if (!c.choice.path.empty()) c.choice.path = dev.path(c.choice.path);
    PortLookup got = find_port(c.choice, dev.root());
    if (c.found.empty()) {
      EXPECT_FALSE(got.path) << *got.path;
      EXPECT_NE(got.error.find(c.error), std::string::npos) << got.error;
    } else {
      ASSERT_TRUE(got.path) << got.error;
      EXPECT_EQ(fs::canonical(*got.path), fs::canonical(dev.path(c.found)));
    }
  }
}

// Each process with a descriptor on the port once, by pid, whichever name
// of the device it opened; dangling descriptors and entries that are not
// processes are skipped.
TEST(PortHolders, NamesEachProcessWithADescriptorOnThePort) {
  TempTree tree;
  for (const char* file : {"dev/ttyACM0", "dev/other", "dev/free"}) tree.file(file);
  tree.file("proc/4242/comm", "minicom\n");
  tree.file("proc/300/comm", "screen\n");
  tree.file("proc/100/comm", "bash\n");
  tree.links({{"dev/by-id-name", "ttyACM0"},
              {"proc/4242/fd/3", tree.path("dev/by-id-name")},
              {"proc/4242/fd/4", tree.path("dev/ttyACM0")},
              {"proc/300/fd/5", tree.path("dev/ttyACM0")},
              {"proc/300/fd/6", tree.path("dev/gone")},
              {"proc/100/fd/0", tree.path("dev/other")},
              {"proc/self/fd/3", tree.path("dev/ttyACM0")}});
  EXPECT_EQ(port_holders(tree.path("dev/by-id-name"), tree.path("proc")),
            "pid 300 (screen), pid 4242 (minicom)");
  EXPECT_EQ(port_holders(tree.path("dev/other"), tree.path("proc")), "pid 100 (bash)");
  EXPECT_EQ(port_holders(tree.path("dev/free"), tree.path("proc")), "");
}

// A port another program opened exclusively stops only the unprivileged:
// the open is tried from a user namespace, where this process has no say
// over the host's ttys. (A port locked by another program: tests/e2e.)
TEST(OpenPort, ExclusivelyHeldPortSaysSo) {
  int master = -1, slave = -1;
  char name[64];
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  UniqueFd held(slave), master_fd(master);
  ASSERT_EQ(::ioctl(held.get(), TIOCEXCL), 0);
  int result[2];
  ASSERT_EQ(::pipe(result), 0);
  UniqueFd from_child(result[0]), to_parent(result[1]);
  const pid_t opener = ::fork();
  if (opener == 0) {
    if (::unshare(CLONE_NEWUSER) != 0) _exit(2);
    std::string why;
    const bool opened = open_port(choice(name), &why).has_value();
    [[maybe_unused]] ssize_t n = ::write(to_parent.get(), why.data(), why.size());
    _exit(opened ? 1 : 0);
  }
  to_parent.reset();
  std::string error;
  char buf[512];
  for (ssize_t n; (n = ::read(from_child.get(), buf, sizeof(buf))) > 0;)
    error.append(buf, static_cast<std::size_t>(n));
  int status = 0;
  ::waitpid(opener, &status, 0);
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no user namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "opened a port held exclusively";
  EXPECT_NE(error.find(std::string(name) + " is held by another program"), std::string::npos) << error;
  EXPECT_NE(error.find("; it opened the port exclusively (TIOCEXCL: EBUSY). Close it and try again."),
            std::string::npos)
      << error;
}

}  // namespace
}  // namespace ftmd::station
