#include "console.h"

namespace ftmd::station {

void Console::line(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (progress_shown_) std::fputs("\r\033[K", out_);
  progress_shown_ = false;
  std::fputs(text.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void Console::progress(const std::string& text) {
  if (!progress_allowed_) return;
  std::lock_guard lock(mutex_);
  std::fputs("\r\033[K", out_);
  std::fputs(text.c_str(), out_);
  std::fflush(out_);
  progress_shown_ = true;
}

void Console::end_progress() {
  std::lock_guard lock(mutex_);
  if (!progress_shown_) return;
  std::fputs("\r\033[K", out_);
  std::fflush(out_);
  progress_shown_ = false;
}

}  // namespace ftmd::station
