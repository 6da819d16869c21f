#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/unique_fd.h"

namespace ftmd::station::testing {

// Debian's chromium; tests that need it skip when it is absent.
inline constexpr char kChromiumPath[] = "/usr/bin/chromium";

// A real headless chromium showing one page, driven over the DevTools
// protocol on a pipe. The page's script runs in real time, so a long-polling
// page can be watched while its state changes. The browser has a process
// group and profile of its own; the destructor kills the group and reaps it.
class HeadlessChromium {
 public:
  // Starts chromium on `url` with a `width`x`height` viewport, in the
  // network namespace `netns_fd` when it is not -1 (the virtual board's PC
  // side). Nothing, and why in `error`, when it does not come up.
  static std::unique_ptr<HeadlessChromium> open(const std::string& url, int width, int height,
                                                std::string* error, int netns_fd = -1);
  struct Key {};  // lets open() use make_unique; use open()
  explicit HeadlessChromium(Key) {}
  ~HeadlessChromium();

  // The value of a JavaScript expression in the page, or nothing and why.
  std::optional<nlohmann::json> evaluate(const std::string& expression, std::string* error);
  // Evaluates `expression` until it is true or `within` has passed (an
  // expression that throws, or a page being loaded, is not true yet).
  bool wait_until(const std::string& expression, std::chrono::milliseconds within, std::string* error);
  // Types `text` and then Enter into whatever has the focus, as a barcode
  // scanner does.
  bool scan(const std::string& text, std::string* error);
  // A PNG of the viewport, its size times `scale`.
  std::optional<std::string> screenshot_png(std::string* error, double scale = 1);

 private:
  std::optional<nlohmann::json> call(const std::string& method, const nlohmann::json& params, bool in_page,
                                     std::string* error);

  pid_t pid_ = -1;
  UniqueFd to_browser_;
  UniqueFd from_browser_;
  std::string pending_;  // bytes read after the last whole message
  std::string session_;  // the page target's session
  std::int64_t next_id_ = 1;
  int width_ = 0, height_ = 0;
  bool broken_ = false;  // chromium has closed the pipe or stopped answering
  std::filesystem::path dir_;
};

}  // namespace ftmd::station::testing
