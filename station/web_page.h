#pragma once

#include <string>
#include <string_view>

#include "live_state.h"

namespace ftmd::station {

// The station view's content, as pure text-in/text-out functions: the
// server (web_server.cpp) only routes requests to them. There is one
// renderer: the server says what the state is as JSON, and the page's
// script alone turns it into what the operator sees (every text through
// textContent, control bytes shown as \xNN).

// What a page may do with the questions, as its request showed it.
enum class Access {
  kOpen,        // answers need no token (a loopback view)
  kToken,       // the request carried the station's token
  kNoToken,     // answers need the token and the request carried none
  kWrongToken,  // the request carried a token that is not the station's
};
const char* access_name(Access access);  // "open", "token", "no-token", "wrong-token"
inline bool may_answer(Access access) { return access == Access::kOpen || access == Access::kToken; }

// What the view adds to the snapshot.
struct ViewExtras {
  Access access = Access::kOpen;
  std::string ended_at;  // "HH:MM" once the station has ended ("" before, or unknown)
};

// The snapshot as the JSON object /api/state serves: the station, every slot
// (its unit, steps, open question, fixture wait and counts), `access` and
// `ended_at`. Texts are carried as they are (control bytes JSON-escaped);
// bytes that are not UTF-8 become U+FFFD, since JSON cannot carry them.
std::string station_state_json(const StationSnapshot& snapshot, const ViewExtras& extras);

// The whole page: inline style and script, no outside resources (the
// station PC has no internet). `state_json` (station_state_json's) is
// embedded as the state the page shows first, so it is complete before its
// first request; the script then follows the state through /api/state.
std::string render_station_page(std::string_view state_json);

}  // namespace ftmd::station
