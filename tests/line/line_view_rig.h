#pragma once

// The line view in headless chromium against a test database: the rig the
// view's browser tests share. A test feeds the database (here through
// publish_station and store_run; with stations on virtual boards, through
// real `ftmstation --db` processes on the same database) and asks the page.

#include <memory>
#include <string>

#include "line/line_test_db.h"
#include "line/line_view.h"
#include "view_browser.h"

namespace ftmd::line::test {

struct LineViewRig {
  // A view of `db` on a free loopback port and chromium showing it; the
  // reason in `error` when either does not come up.
  bool open(const TestDb& db, std::string* error, int width = 1600, int height = 1000) {
    LineViewOptions options;
    options.db_url = db.url();
    view = LineView::start(options, error);
    if (!view) return false;
    browser = station::testing::HeadlessChromium::open(
        "http://127.0.0.1:" + std::to_string(view->port()) + "/", width, height, error);
    return browser != nullptr;
  }

  // JavaScript: the tile of slot `slot` of station `station` (names plain,
  // without quotes or backslashes).
  static std::string slot(const std::string& station, const std::string& slot) {
    return "document.querySelector('.station[data-station=\"" + station + "\"] .slot[data-slot=\"" + slot +
           "\"]')";
  }
  static std::string station(const std::string& name) {
    return "document.querySelector('.station[data-station=\"" + name + "\"]')";
  }

  std::unique_ptr<LineView> view;
  std::unique_ptr<station::testing::HeadlessChromium> browser;
};

}  // namespace ftmd::line::test
