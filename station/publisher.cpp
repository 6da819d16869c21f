#include "publisher.h"

#include <algorithm>

#include "line/outbox.h"
#include "pc/text.h"
#include "records.h"

namespace ftmd::station {
namespace {

using Clock = std::chrono::steady_clock;

// How often the thread looks at the live state and its stop request.
constexpr std::chrono::milliseconds kLook{100};

// A text from a device or a plan as the line takes it: valid UTF-8 without
// control characters as it is, anything else escaped.
std::string shown(const std::string& text) {
  const bool plain = valid_utf8(text) && std::none_of(text.begin(), text.end(), [](char c) {
                       return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
                     });
  return plain ? text : pc::escape_reply(text);
}

line::SlotStatus slot_status(const SlotView& view, bool ended) {
  line::SlotStatus slot;
  slot.name = view.name;
  slot.port = shown(view.port);
  slot.plan = shown(view.unit.plan);
  if (ended) return slot;
  slot.hwid = shown(view.unit.hwid);
  slot.sn = shown(view.unit.serial);
  // The running step, else the last one that ran.
  const auto& steps = view.unit.steps;
  std::size_t at = steps.size();
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].state == StepState::kRunning) {
      at = i;
      break;
    }
    if (steps[i].state != StepState::kPending) at = i;
  }
  if (at < steps.size()) {
    slot.step = shown(steps[at].name);
    slot.step_index = static_cast<int>(at + 1);
    slot.step_count = static_cast<int>(steps.size());
    slot.elapsed_ms = steps[at].elapsed_ms;
    slot.timeout_ms = steps[at].timeout_ms;
  }
  const std::string& unit = view.unit.verdict;
  if (view.question.id != 0)
    slot.verdict = "waiting-for-operator";
  else if (!view.waiting_for_fixture.empty())
    slot.verdict = "waiting-for-fixture";
  else if (unit == "running" || unit == "passed" || unit == "failed" || unit == "aborted")
    slot.verdict = unit;
  slot.prompt = shown(view.question.id != 0 ? view.question.text : view.prompt);
  return slot;
}

// Whether two states differ in more than their clocks.
bool changed(const line::StationStatus& a, const line::StationStatus& b) {
  if (a.outbox_waiting != b.outbox_waiting || a.slots.size() != b.slots.size()) return true;
  for (std::size_t i = 0; i < a.slots.size(); ++i) {
    const auto &x = a.slots[i], &y = b.slots[i];
    if (x.hwid != y.hwid || x.sn != y.sn || x.plan != y.plan || x.step != y.step ||
        x.step_index != y.step_index || x.verdict != y.verdict || x.prompt != y.prompt ||
        x.timeout_ms != y.timeout_ms)
      return true;
  }
  return false;
}

}  // namespace

line::StationStatus station_status(const StationSnapshot& snapshot, const std::string& host,
                                   std::int64_t outbox_waiting, bool ended) {
  line::StationStatus status;
  status.station = snapshot.station;
  status.host = shown(host);
  status.outbox_waiting = outbox_waiting;
  for (const auto& view : snapshot.slots) {
    if (status.slots.size() == line::kSlotsMax) break;
    status.slots.push_back(slot_status(view, ended));
  }
  return status;
}

std::unique_ptr<StationPublisher> StationPublisher::start(const LiveState& state, Config config,
                                                          std::FILE* err, std::string* error) {
  auto db = line::open_line_db(config.db_url, kPublishRetryWithin);
  if (!db) {
    if (error) *error = db.error().message;
    return nullptr;
  }
  std::unique_ptr<StationPublisher> publisher(
      new StationPublisher(state, std::move(config), std::move(*db), err));
  publisher->thread_ = std::jthread([p = publisher.get()](const std::stop_token& stop) { p->run(stop); });
  return publisher;
}

StationPublisher::StationPublisher(const LiveState& state, Config config, std::unique_ptr<line::LineDb> db,
                                   std::FILE* err)
    : state_(state), config_(std::move(config)), db_(std::move(db)), err_(err) {}

StationPublisher::~StationPublisher() { finish(); }

bool StationPublisher::publish(const line::StationStatus& status) {
  auto done = db_->publish_station(status);
  if (done) {
    ++published_;
    if (failing_) std::fprintf(err_, "ftmstation: line database: the station's state is published again\n");
    failing_ = false;
    return true;
  }
  ++failures_;
  if (!failing_)
    std::fprintf(err_,
                 "ftmstation: line database: the station's state cannot be published: %s (tried again "
                 "every %lld s, said once)\n",
                 done.error().message.c_str(), static_cast<long long>(line::kStationHeartbeat.count()));
  std::fflush(err_);
  failing_ = true;
  return false;
}

void StationPublisher::run(const std::stop_token& stop) {
  const line::Outbox outbox(config_.outbox_dir);
  std::uint64_t seen = 0;
  std::optional<line::StationStatus> last;
  auto next_beat = Clock::now();
  while (!stop.stop_requested()) {
    StationSnapshot snapshot = state_.wait_newer(seen, kLook);
    const bool beat = Clock::now() >= next_beat;
    if (snapshot.version == seen && !beat) continue;
    seen = snapshot.version;
    line::StationStatus status =
        station_status(snapshot, config_.host, static_cast<std::int64_t>(outbox.waiting()), false);
    // While the database fails, only the beats try it again.
    if (!beat && (failing_ || (last && !changed(*last, status)))) continue;
    if (publish(status)) last = std::move(status);
    next_beat = Clock::now() + line::kStationHeartbeat;
  }
}

void StationPublisher::finish() {
  std::lock_guard lock(finish_mutex_);
  if (finished_) return;
  finished_ = true;
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
  const line::Outbox outbox(config_.outbox_dir);
  publish(station_status(state_.snapshot(), config_.host, static_cast<std::int64_t>(outbox.waiting()), true));
}

}  // namespace ftmd::station
