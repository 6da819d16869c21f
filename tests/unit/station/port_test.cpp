#include "port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sched.h>
#include <sys/file.h>
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
  void link(const std::string& rel, const std::string& target) const {
    fs::create_directories(fs::path(path(rel)).parent_path());
    fs::create_symlink(target, path(rel));
  }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

PortChoice by_path(const std::string& v) {
  PortChoice c;
  c.path = v;
  return c;
}
PortChoice by_serial(const std::string& v) {
  PortChoice c;
  c.usb_serial = v;
  return c;
}
PortChoice by_location(const std::string& v) {
  PortChoice c;
  c.usb_location = v;
  return c;
}

constexpr char kById[] = "serial/by-id/";
constexpr char kByPath[] = "serial/by-path/";

struct FindCase {
  const char* what;
  PortChoice choice;
  std::vector<std::pair<std::string, std::string>> links;  // name under the dev root -> target
  std::string found;                                       // device under the dev root, empty: none
  std::string error_part;                                  // a part of the error when none
};

TEST(FindPort, ChoosesExactlyOneDeviceByPathSerialOrLocation) {
  const std::string acm = "usb-Acme_FTM-Audio_";
  const std::string bus = "pci-0000:00:14.0-";
  const std::vector<FindCase> cases = {
      {"serial: no match lists what is there",
       by_serial("9999"),
       {{kById + acm + "1234-if00", "../../ttyACM0"}},
       "",
       "no port with USB serial 9999 in "},
      {"serial: one",
       by_serial("1234"),
       {{kById + acm + "1234-if00", "../../ttyACM0"}, {kById + acm + "5678-if00", "../../ttyACM1"}},
       "ttyACM0",
       ""},
      {"serial: a tail of another serial is no match",
       by_serial("34"),
       {{kById + acm + "1234-if00", "../../ttyACM0"}},
       "",
       "(present: usb-Acme_FTM-Audio_1234-if00)"},
      {"serial: two interfaces of one unit are two ports",
       by_serial("1234"),
       {{kById + acm + "1234-if00", "../../ttyACM0"}, {kById + acm + "1234-if02", "../../ttyACM1"}},
       "",
       "USB serial 1234 names more than one port: usb-Acme_FTM-Audio_1234-if00, "
       "usb-Acme_FTM-Audio_1234-if02"},
      {"serial: a dangling name (device gone) is no match",
       by_serial("1234"),
       {{kById + acm + "1234-if00", "../../ttyACM7"}},
       "",
       "no port with USB serial 1234"},
      {"serial: no by-id directory", by_serial("1234"), {}, "", "lists no serial port"},
      {"location: a root hub port",
       by_location("usb-0:2"),
       {{kByPath + bus + "usb-0:2:1.0", "../../ttyACM0"},
        {kByPath + bus + "usb-0:2.1:1.0", "../../ttyACM1"},
        {kByPath + bus + "usb-0:21:1.0", "../../ttyACM2"}},
       "ttyACM0",
       ""},
      {"location: the whole name",
       by_location(bus + "usb-0:2.1:1.0"),
       {{kByPath + bus + "usb-0:2:1.0", "../../ttyACM0"}, {kByPath + bus + "usb-0:2.1:1.0", "../../ttyACM1"}},
       "ttyACM1",
       ""},
      {"location: two names of one device count once",
       by_location("0:2"),
       {{kByPath + bus + "usb-0:2:1.0", "../../ttyACM0"}, {kByPath + bus + "usbv2-0:2:1.0", "../../ttyACM0"}},
       "ttyACM0",
       ""},
      {"location: two devices",
       by_location("usb-0:2"),
       {{kByPath + bus + "usb-0:2:1.0", "../../ttyACM0"}, {kByPath + bus + "usb-0:2:1.2", "../../ttyACM1"}},
       "",
       "names more than one port: " + bus + "usb-0:2:1.0, " + bus + "usb-0:2:1.2"},
      {"location: no match",
       by_location("usb-0:3"),
       {{kByPath + bus + "usb-0:2:1.0", "../../ttyACM0"}},
       "",
       "no port with USB location usb-0:3"},
      {"nothing chosen", PortChoice(), {}, "", "no port given"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempTree dev;
    dev.file("ttyACM0");
    dev.file("ttyACM1");
    dev.file("ttyACM2");
    for (const auto& [name, target] : c.links) dev.link(name, target);
    PortLookup got = find_port(c.choice, dev.root());
    if (c.found.empty()) {
      EXPECT_FALSE(got.path) << *got.path;
      EXPECT_NE(got.error.find(c.error_part), std::string::npos) << got.error;
    } else {
      ASSERT_TRUE(got.path) << got.error;
      EXPECT_EQ(fs::path(*got.path), fs::canonical(dev.path(c.found)));
    }
  }
}

TEST(FindPort, PathIsTakenAsGivenWhileItExists) {
  TempTree dev;
  dev.file("ttyACM0");
  EXPECT_EQ(find_port(by_path(dev.path("ttyACM0")), dev.root()).path, dev.path("ttyACM0"));
  PortLookup gone = find_port(by_path(dev.path("ttyACM9")), dev.root());
  EXPECT_FALSE(gone.path);
  EXPECT_NE(gone.error.find("does not exist"), std::string::npos) << gone.error;
}

TEST(PortHolders, NamesEachProcessWithADescriptorOnThePort) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> fds;  // proc entry -> target under the tree
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"none", {{"100/fd/0", "dev/other"}}, ""},
      {"one, through another name of the same device",
       {{"4242/fd/3", "dev/by-id-name"}},
       "pid 4242 (minicom)"},
      {"two, each once, by pid",
       {{"4242/fd/3", "dev/ttyACM0"}, {"4242/fd/4", "dev/ttyACM0"}, {"300/fd/5", "dev/ttyACM0"}},
       "pid 300 (screen), pid 4242 (minicom)"},
      {"a dangling descriptor link is skipped",
       {{"4242/fd/3", "dev/gone"}, {"300/fd/1", "dev/ttyACM0"}},
       "pid 300 (screen)"},
      {"entries that are not processes are skipped", {{"self/fd/3", "dev/ttyACM0"}}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempTree tree;
    tree.file("dev/ttyACM0");
    tree.file("dev/other");
    tree.link("dev/by-id-name", "ttyACM0");
    tree.file("proc/4242/comm", "minicom\n");
    tree.file("proc/300/comm", "screen\n");
    tree.file("proc/100/comm", "bash\n");
    for (const auto& [entry, target] : c.fds) tree.link("proc/" + entry, tree.path(target));
    EXPECT_EQ(port_holders(tree.path("dev/by-id-name"), tree.path("proc")), c.expected);
  }
}

// A pty slave another process holds, locked or exclusive: opening it fails
// with a message that says so (and names the holder when it can be seen).
TEST(OpenPort, BusyPortSaysAnotherProgramHoldsIt) {
  int master = -1, slave = -1;
  char name[64];
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  ::close(slave);

  enum class Hold { kLock, kExclusive };
  for (Hold hold : {Hold::kLock, Hold::kExclusive}) {
    SCOPED_TRACE(hold == Hold::kLock ? "flock" : "TIOCEXCL");
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
      ::close(done[1]);
      int fd = ::open(name, O_RDWR | O_NOCTTY);
      if (hold == Hold::kLock) ::flock(fd, LOCK_EX);
      if (hold == Hold::kExclusive) ::ioctl(fd, TIOCEXCL);
      [[maybe_unused]] ssize_t n = ::write(ready[1], "x", 1);
      char c;
      n = ::read(done[0], &c, 1);  // until the test is done
      _exit(0);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);

    std::string error;
    if (hold == Hold::kLock) {
      EXPECT_FALSE(open_port(by_path(name), &error));
      EXPECT_NE(error.find("is held by another program: pid " + std::to_string(holder) + " ("),
                std::string::npos)
          << error;
      EXPECT_NE(error.find("(flock: EWOULDBLOCK)"), std::string::npos) << error;
    } else {
      // The exclusive mode stops only the unprivileged: try from a user
      // namespace, where this process has no say over the host's ttys.
      int result[2];
      ASSERT_EQ(::pipe(result), 0);
      pid_t opener = ::fork();
      if (opener == 0) {
        if (::unshare(CLONE_NEWUSER) != 0) _exit(2);
        std::string why;
        bool opened = open_port(by_path(name), &why).has_value();
        [[maybe_unused]] ssize_t n = ::write(result[1], why.data(), why.size());
        _exit(opened ? 1 : 0);
      }
      ::close(result[1]);
      char buf[512];
      for (ssize_t n; (n = ::read(result[0], buf, sizeof(buf))) > 0;)
        error.append(buf, static_cast<std::size_t>(n));
      ::close(result[0]);
      int status = 0;
      ::waitpid(opener, &status, 0);
      if (WEXITSTATUS(status) == 2) {
        GTEST_LOG_(INFO) << "no user namespace here: the exclusive case is not tried";
      } else {
        EXPECT_EQ(WEXITSTATUS(status), 0) << "opened a port held exclusively";
        EXPECT_NE(error.find("is held by another program"), std::string::npos) << error;
        EXPECT_NE(error.find("(TIOCEXCL: EBUSY)"), std::string::npos) << error;
      }
    }
    ::close(done[1]);
    ::waitpid(holder, nullptr, 0);
    for (int fd : {ready[0], ready[1], done[0]}) ::close(fd);
  }
  ::close(master);
}

}  // namespace
}  // namespace ftmd::station
