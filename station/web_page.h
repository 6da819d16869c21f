#pragma once

#include <string>
#include <string_view>

#include "live_state.h"

namespace ftmd::station {

// The station view's content, as pure text-in/text-out functions: the
// server (web_view.cpp) only routes requests to them.

// `text` made safe and readable inside HTML text or a double-quoted
// attribute: & < > " ' are escaped; one trailing line end is dropped (replies
// end in one); other control bytes (except tab and newline) are shown as
// \xNN (lower-case hex, as in the records and on the terminal), so a reply
// with stray bytes shows them instead of breaking the page. The page's
// script shows the JSON texts the same way.
std::string html_text(std::string_view text);

// The whole page: inline style and script, no outside resources (the
// station PC has no internet). `snapshot` is rendered into it, so the page
// is right before its script runs; the script then follows the state through
// /api/state.
std::string render_station_page(const StationSnapshot& snapshot);

// The snapshot as the JSON object /api/state serves. Texts are carried as
// they are (control bytes JSON-escaped); bytes that are not UTF-8 become
// U+FFFD, since JSON cannot carry them.
std::string station_state_json(const StationSnapshot& snapshot);

}  // namespace ftmd::station
