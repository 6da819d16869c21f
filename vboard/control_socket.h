#pragma once

#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "common/event_fd.h"
#include "common/unique_fd.h"

namespace vboard {

// The board's controls for the programs that run as the test PC: a unix
// stream socket that takes one control line per connection ("key-in 300\n")
// and answers with one line ("ok", "ok: TEXT" or "error: WHY"), then closes.
// `vboard run` and `vboard shell` put its path in $VBOARD_CONTROL, and
// `vboard control LINE` is its client.
class ControlSocket {
 public:
  static constexpr char kEnv[] = "VBOARD_CONTROL";

  // Runs one control line; returns the answer line (no line feed). Called on
  // the socket's thread, one connection at a time.
  using Handler = std::function<std::string(const std::string& line)>;

  // Listens at `path` (replacing a stale socket there); throws BoardError.
  ControlSocket(std::string path, Handler handler);
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;
  // Stops answering and removes the socket.
  ~ControlSocket();

  const std::string& path() const { return path_; }

  // The client: sends `line` to the socket at `path` and returns the answer
  // line; nothing, with the reason in `error`, when the board cannot be
  // reached.
  static std::optional<std::string> ask(const std::string& path, const std::string& line, std::string* error);

 private:
  void serve(const std::stop_token& stop);
  void answer(int connection);

  const std::string path_;
  Handler handler_;
  ftmd::UniqueFd listener_;
  ftmd::EventFd wake_;
  std::jthread thread_;
};

}  // namespace vboard
