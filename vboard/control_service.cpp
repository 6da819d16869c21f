#include "vboard/control_service.h"

namespace vboard {

ControlService::ControlService(Board& board)
    : controls_(board),
      socket_(board.state_dir() + "/control.sock", [this](const std::string& line) { return answer(line); }) {
}

std::string ControlService::run(const std::string& line) {
  std::lock_guard lock(mutex_);
  return controls_.run(line);
}

std::string ControlService::answer(const std::string& line) {
  try {
    std::string out = run(line);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    for (std::size_t at; (at = out.find('\n')) != std::string::npos;) out.replace(at, 1, "; ");
    return out.empty() ? "ok" : "ok: " + out;
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

}  // namespace vboard
