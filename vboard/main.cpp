// vboard: boots the virtual board with the unchanged ftmd and sends it the
// commands given on the command line, printing each request and reply.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "vboard/board.h"
#include "vboard/host_client.h"

using namespace std::chrono_literals;

namespace {

std::string default_ftmd(const char* argv0) {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) return (self.parent_path() / "ftmd").string();
  return std::filesystem::path(argv0).parent_path() / "ftmd";
}

}  // namespace

int main(int argc, char** argv) {
  std::string ftmd = default_ftmd(argv[0]);
  std::vector<std::string> commands;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--ftmd" && i + 1 < argc) {
      ftmd = argv[++i];
    } else {
      commands.push_back(a);
    }
  }
  try {
    vboard::BoardOptions options;
    options.ftmd = ftmd;
    auto start = std::chrono::steady_clock::now();
    vboard::Board board(options);
    if (!board.wait_serving(10s)) {
      std::fprintf(stderr, "vboard: ftmd did not start serving; its output:\n%s", board.daemon_output().c_str());
      return 1;
    }
    auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("board up, ftmd serving after %.1f ms\n", ms);
    vboard::HostClient client(board.usb_host().port());
    for (const auto& c : commands) {
      std::printf("> %s\n", vboard::HostClient::escaped(c).c_str());
      auto reply = client.request(c);
      std::printf("< %s\n", reply ? vboard::HostClient::escaped(reply->text).c_str() : "(no reply)");
    }
  } catch (const vboard::BoardError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}
