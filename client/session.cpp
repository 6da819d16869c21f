#include "session.h"

#include "pc/handover.h"
#include "pc/text.h"

namespace ftmd::client {
namespace {

using Clock = std::chrono::steady_clock;
using pc::Exchange;
using pc::LinkOutcome;

bool is_ok(const Exchange& ex) { return ex.outcome == LinkOutcome::kReply && ex.reply.starts_with("OK"); }

int status_of(const Exchange& ex) {
  if (ex.outcome != LinkOutcome::kReply) return kExitTransport;
  return is_ok(ex) ? kExitOk : kExitNotOk;
}

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

int Session::run(const Step& step) {
  return step.handover ? handover(*step.handover) : command(step.command);
}

std::string exchange_json(const std::string& command, const Exchange& ex) {
  std::string json = "{\"command\":" + pc::json_string(command) + ",\"reply\":" +
                     (ex.outcome == LinkOutcome::kReply ? pc::json_string(ex.reply) : "null") +
                     ",\"raw\":\"" + pc::hex_bytes(ex.raw) + "\",\"ok\":" + (is_ok(ex) ? "true" : "false") +
                     ",\"outcome\":\"" + pc::outcome_name(ex.outcome) + "\"" +
                     ",\"elapsed_ms\":" + std::to_string(ex.elapsed.count());
  if (ex.outcome != LinkOutcome::kReply) json += ",\"error\":" + pc::json_string(ex.error);
  return json + "}";
}

std::string open_failure_json(const std::string& port, const std::string& error) {
  return "{\"port\":" + pc::json_string(port) + ",\"ok\":false,\"outcome\":\"" +
         pc::outcome_name(LinkOutcome::kTransport) + "\",\"error\":" + pc::json_string(error) + "}";
}

Exchange Session::step(const std::string& text, std::string& json) {
  Exchange ex = link_.transact(text, options_.timeout);
  pc::report_skipped(err_, "ftmctl", text, ex);
  if (ex.outcome != LinkOutcome::kReply)
    std::fprintf(err_, "ftmctl: %s: %s: %s\n", pc::escape_reply(text).c_str(), pc::outcome_name(ex.outcome),
                 ex.error.c_str());
  json = exchange_json(text, ex);
  return ex;
}

int Session::command(const std::string& text) {
  std::string json;
  Exchange ex = step(text, json);
  if (options_.json) {
    std::fprintf(out_, "%s\n", json.c_str());
  } else if (ex.outcome == LinkOutcome::kReply) {
    std::fprintf(out_, "%s\n", pc::escape_reply(ex.reply).c_str());
  }
  std::fflush(out_);
  return status_of(ex);
}

int Session::handover(pc::HandoverFile file) {
  const pc::HandoverTarget& target = pc::handover_target(file);
  const auto start = Clock::now();
  std::string steps_json;
  std::string url, md5, device_md5, hardware_id;
  std::size_t size = 0;

  auto text_line = [&](const char* what, const std::string& detail) {
    if (!options_.json) std::fprintf(out_, "%s: %s\n", what, detail.c_str());
  };
  auto done = [&](int status, const std::string& error) {
    if (!error.empty())
      std::fprintf(err_, "ftmctl: handover %s: %s\n", std::string(target.file).c_str(), error.c_str());
    if (options_.json) {
      std::string json =
          "{\"handover\":" + pc::json_string(target.file) + ",\"url\":" + pc::json_string(url) +
          ",\"bytes\":" + std::to_string(size) + ",\"md5\":" + pc::json_string(md5) +
          ",\"device_md5\":" + pc::json_string(device_md5) +
          ",\"hardware_id\":" + pc::json_string(hardware_id) +
          ",\"ok\":" + (status == kExitOk ? "true" : "false") +
          ",\"elapsed_ms\":" + std::to_string(ms_since(start)) + ",\"steps\":[" + steps_json + "]";
      if (!error.empty()) json += ",\"error\":" + pc::json_string(error);
      std::fprintf(out_, "%s}\n", json.c_str());
    } else if (status == kExitOk) {
      std::fprintf(out_, "handover %s: OK, %zu bytes, md5 %s, hardware id %s\n",
                   std::string(target.file).c_str(), size, md5.c_str(),
                   pc::escape_reply(hardware_id).c_str());
    } else {
      std::fprintf(out_, "handover %s: FAILED: %s\n", std::string(target.file).c_str(), error.c_str());
    }
    std::fflush(out_);
    return status;
  };
  auto serial_step = [&](std::string_view command) {
    std::string json;
    Exchange ex = step(std::string(command), json);
    steps_json += (steps_json.empty() ? "" : ",") + json;
    if (ex.outcome == LinkOutcome::kReply)
      text_line(std::string(command).c_str(), pc::escape_reply(ex.reply));
    return ex;
  };

  // 1. Publish: the device copies the file to its web server.
  Exchange publish = serial_step(target.publish);
  if (publish.outcome != LinkOutcome::kReply) return done(kExitTransport, "publish: " + publish.error);
  pc::PublishReply published = pc::parse_publish_reply(publish.reply, target);
  if (!published.url) return done(kExitNotOk, published.error);
  url = *published.url;

  // 2. Download it as the station would. A failed download leaves the copy
  // published (no confirm), so the step can be retried.
  auto parsed_url = pc::parse_http_url(url);
  pc::HttpFetch fetch = pc::http_get(*parsed_url, options_.timeout);
  if (!fetch.transport_ok) return done(kExitTransport, "download of " + url + " failed: " + fetch.error);
  if (!fetch.response.error.empty())
    return done(kExitNotOk, "download of " + url + " failed: " + fetch.response.error);
  size = fetch.response.body.size();
  md5 = pc::md5_hex(fetch.response.body);
  text_line("download", std::to_string(size) + " bytes from " + url + ", md5 " + md5);

  // 3. Confirm: the device reports its digest and withdraws the copy.
  Exchange confirm = serial_step(target.confirm);
  if (confirm.outcome != LinkOutcome::kReply) return done(kExitTransport, "confirm: " + confirm.error);
  pc::ConfirmReply confirmed = pc::parse_confirm_reply(confirm.reply);
  if (!confirmed.digest) return done(kExitNotOk, confirmed.error);
  device_md5 = *confirmed.digest;
  hardware_id = confirmed.hardware_id;
  if (hardware_id.ends_with('\n')) hardware_id.pop_back();

  // 4. The device's digest must be that of the bytes the station holds.
  std::string differs = pc::compare_digests(confirmed, md5, size, target.file);
  if (!differs.empty()) return done(kExitNotOk, differs);
  return done(kExitOk, {});
}

}  // namespace ftmd::client
