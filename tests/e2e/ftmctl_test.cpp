// ftmctl, the test PC's client, against the real daemon on the virtual board.
// The board's USB cable (a relay pty) gives ftmctl a serial port path to open,
// as the station's adapter does.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "board_fixture.h"
#include "common/unique_fd.h"
#include "pc/handover.h"

extern char** environ;

namespace ftmd::test {
namespace {

struct ClientRun {
  int status = -1;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class FtmctlOnBoard : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    if (HasFatalFailure()) return;
    port_ = board().usb_host().attach_cable(board().state_dir() + "/ttyPC0");
    dir_ = board().state_dir() + "/ftmctl";
    std::filesystem::create_directories(dir_);
  }

  // Runs the ftmctl binary with `args` after --port, `input` on stdin.
  ClientRun ftmctl(std::vector<std::string> args, const std::string& input = {}) {
    std::ofstream(dir_ + "/in") << input;
    args.insert(args.begin(), {FTMCTL_BINARY, "--port", port_});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, (dir_ + "/in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    ClientRun run;
    if (posix_spawn(&pid, FTMCTL_BINARY, &actions, nullptr, argv.data(), environ) == 0) {
      UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
      pollfd p{pidfd.get(), POLLIN, 0};
      if (::poll(&p, 1, 60'000) != 1) ::kill(pid, SIGKILL);
      int wstatus = 0;
      ::waitpid(pid, &wstatus, 0);
      run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = slurp(dir_ + "/out");
    run.err = slurp(dir_ + "/err");
    return run;
  }

  std::string port_, dir_;
};

TEST_F(FtmctlOnBoard, PrintsEachReplyEscapedAndExitsOnItsFirstWord) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {{"at+ftm,dsp"}, "", 1, "ERROR,Command not supported in tolvek\\n\n"},
      {{"at+ftm,dsp", "at+ftm,nonsense", "AT+FTM,DSP=1,2"},
       "",
       1,
       "ERROR,Command not supported in tolvek\\n\nERROR,Invalid Cmd\\n\nERROR,Command not supported in "
       "tolvek\\n\n"},
      // Without commands they come from stdin, one per line.
      {{},
       "at+ftm,tamosound\n\nat+ftm,dsp\r\n",
       1,
       "ERROR,Invalid Cmd\\n\nERROR,Command not supported in tolvek\\n\n"},
  };
  for (const auto& c : cases) {
    ClientRun run = ftmctl(c.args, c.input);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(FtmctlOnBoard, JsonCarriesTheWholeFrame) {
  ClientRun run = ftmctl({"--json", "at+ftm,dsp"});
  EXPECT_EQ(run.status, 1) << run.err;
  // The frame: 7 header bytes, length 0x26 0x00, the text, the checksum.
  const std::string text = "ERROR,Command not supported in tolvek\n";
  std::string hex_text;
  for (unsigned char ch : text) {
    char b[3];
    std::snprintf(b, sizeof(b), "%02x", ch);
    hex_text += b;
  }
  EXPECT_TRUE(
      run.out.starts_with("{\"command\":\"at+ftm,dsp\",\"reply\":\"ERROR,Command not supported in "
                          "tolvek\\n\",\"raw\":\""))
      << run.out;
  EXPECT_NE(run.out.find("00000000002600" + hex_text), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\",\"ok\":false,\"outcome\":\"reply\",\"elapsed_ms\":"), std::string::npos)
      << run.out;
  EXPECT_TRUE(run.out.ends_with("}\n")) << run.out;
}

TEST_F(FtmctlOnBoard, OkReplyExitsZeroAndTheRebootFollows) {
  ClientRun run = ftmctl({"AT+FTM,REBOOT=1"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "OK, tamo is rebooting...\n");
  EXPECT_TRUE(syslog().wait_exact("string is reboot\n", kLogInfo, 10s));
  EXPECT_TRUE(board().standins().wait_reboot(1, 10s));
}

// The whole handover from the PC's side: ftmctl runs in the test PC's network,
// downloads from the board's web server at lan4's address and checks the
// device's digest against the bytes it got.
TEST_F(FtmctlOnBoard, HandoverDownloadsAndMatchesTheDevicesDigest) {
  const std::string licence = std::string("licence\0\x01\xff\r\n", 13) + std::string(3000, 'L');
  const std::string cert = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
  board().write_file("/data/dante_data/activation/device.lic", licence);
  board().write_file("/data/dante_data/activation/manufacturer.cert", cert);
  const std::string hw = "0x1122334455667788";

  auto run = board().run_on_pc({FTMCTL_BINARY, "--port", port_, "handover", "devlic"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("at+ftm,dantedevlic=?: OK,http://192.0.2.1/device.lic\\n\n"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("handover device.lic: OK, 3013 bytes, md5 " + pc::md5_hex(licence) +
                            ", hardware id " + hw + "\n"),
            std::string::npos)
      << run.output;
  EXPECT_FALSE(board().read_file("/var/www/html/device.lic")) << "the published copy stays after confirm";

  run = board().run_on_pc({FTMCTL_BINARY, "--port", port_, "--json", "handover", "cert"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("\"bytes\":" + std::to_string(cert.size()) + ",\"md5\":\"" + pc::md5_hex(cert) +
                            "\",\"device_md5\":\"" + pc::md5_hex(cert) + "\",\"hardware_id\":\"" + hw +
                            "\",\"ok\":true"),
            std::string::npos)
      << run.output;

  // A file the device does not have: nothing is downloaded or confirmed.
  board().write_file("/data/dante_data/activation/device.lic", "");
  run = board().run_on_pc({FTMCTL_BINARY, "--port", port_, "handover", "devlic"});
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(
      run.output.find("handover device.lic: FAILED: publish refused: \"ERROR, device.lic is empty or does "
                      "not exist\\n\""),
      std::string::npos)
      << run.output;
}

}  // namespace
}  // namespace ftmd::test
