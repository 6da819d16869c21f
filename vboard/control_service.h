#pragma once

#include <mutex>
#include <string>

#include "vboard/control_socket.h"
#include "vboard/controls.h"

namespace vboard {

// The board's controls for the programs that run as the test PC and for the
// prompt of `vboard up`: one Controls, run one line at a time, and the
// control socket (<board dir>/control.sock) that answers it.
class ControlService {
 public:
  // Listens at once; throws BoardError.
  explicit ControlService(Board& board);

  const std::string& path() const { return socket_.path(); }

  // Runs a line; the text to print, or throws ControlError.
  std::string run(const std::string& line);

 private:
  // The socket's answer line: "ok", "ok: TEXT" (lines joined with "; ") or
  // "error: WHY".
  std::string answer(const std::string& line);

  std::mutex mutex_;
  Controls controls_;     // guarded by mutex_
  ControlSocket socket_;  // last: answers only while the rest is there
};

}  // namespace vboard
