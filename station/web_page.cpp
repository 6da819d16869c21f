#include "web_page.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "pc/text.h"

namespace ftmd::station {
namespace {

// Inline style, sized for a line screen read from a few metres: a dark
// page, the verdict and the operator prompt large, the steps coloured by
// state (classes step-passed, step-failed, step-running, step-pending,
// step-skipped).
constexpr std::string_view kStyle = R"css(
*{box-sizing:border-box}
[hidden]{display:none!important}
html,body{margin:0;height:100%}
body{background:#10151b;color:#e8eaed;font:18px/1.3 "DejaVu Sans","Liberation Sans",sans-serif;
 display:flex;flex-direction:column}
header{display:flex;align-items:baseline;gap:28px;padding:10px 22px;background:#1d252e;
 border-bottom:2px solid #2c3945;font-size:21px;white-space:nowrap}
#station{font-weight:bold;font-size:25px}
#port{color:#9fb3c8;font-family:"DejaVu Sans Mono",monospace;font-size:17px;flex:0 1 auto;min-width:0;overflow:hidden;
 text-overflow:ellipsis}
#status{flex:1 0 12em;color:#cfd8e3;overflow:hidden;text-overflow:ellipsis}
#counts b{font-size:25px}
.count-passed{color:#6bd38a}.count-failed{color:#ff7b7b}
#link{color:#6c7a89;font-size:17px}
body[data-live="1"] #link{color:#6bd38a}
body[data-live="1"] #link::after{content:" live"}
body[data-live="0"] #link{color:#ff7b7b}
body[data-live="0"] #link::after{content:" connection lost"}
main{flex:1;display:grid;grid-template-columns:minmax(0,5fr) minmax(0,3fr);gap:18px;padding:12px 22px;
 min-height:0}
#steps-pane{overflow-y:auto;min-height:0;scrollbar-color:#3a4652 #10151b}
table{width:100%;border-collapse:separate;border-spacing:0 2px;table-layout:fixed;font-size:17px;line-height:1.22}
th{text-align:left;font-size:15px;font-weight:normal;color:#8a99a8;text-transform:uppercase;
 letter-spacing:.06em;padding:0 8px 4px}
td{padding:2px 8px;white-space:nowrap;overflow:hidden;text-overflow:ellipsis;vertical-align:baseline}
th.num,td.num{width:3em;text-align:right;color:#8a99a8}
th.name{width:39%}
th.state,td.state{width:9.4em}
th.time,td.time{width:6.9em;text-align:right;font-variant-numeric:tabular-nums}
td.name{font-weight:bold}
td .cmd,td .msg{font-weight:normal;font-size:14px;font-family:"DejaVu Sans Mono",monospace;margin-left:.7em}
td .cmd{color:#8a99a8}
td.reply{font-family:"DejaVu Sans Mono",monospace;font-size:16px}
tr.step td:first-child{border-left:7px solid transparent}
tr.step-pending{color:#9aa5b1}
tr.step-pending td:first-child{border-left-color:#3a4652}
tr.step-running{background:#0f3d6e;color:#fff}
tr.step-running td:first-child{border-left-color:#4dabff}
tr.step-passed{background:#123821;color:#b9f0c8}
tr.step-passed td:first-child{border-left-color:#34c759}
tr.step-failed{background:#4d1518;color:#ffd0d0}
tr.step-failed td:first-child{border-left-color:#ff453a}
tr.step-failed .msg{color:#ff9d9d}
tr.step-skipped{color:#6c7a89;font-style:italic}
tr.step-skipped td:first-child{border-left-color:#4a4a4a}
#side{display:flex;flex-direction:column;gap:14px;min-height:0}
#unit{background:#1d252e;border-radius:10px;padding:12px 18px}
.label{color:#8a99a8;font-size:16px;text-transform:uppercase;letter-spacing:.06em}
#serial{font:bold 44px/1.15 "DejaVu Sans Mono",monospace;overflow-wrap:anywhere}
#plan{color:#9fb3c8}
.verdict{border-radius:10px;padding:10px 18px;text-align:center;font:bold 54px/1.1 "DejaVu Sans",sans-serif;
 letter-spacing:.08em}
.verdict-idle{background:#2c3945;color:#cfd8e3}
.verdict-running{background:#0f3d6e;color:#fff}
.verdict-passed{background:#1f8f45;color:#fff}
.verdict-failed{background:#c62828;color:#fff}
.prompt{background:#ffd60a;color:#111;border-radius:10px;padding:18px 20px;font:bold 38px/1.2 "DejaVu Sans",sans-serif;
 text-align:center;box-shadow:0 0 0 6px #ffd60a55;animation:pulse 1.6s ease-in-out infinite;overflow-wrap:anywhere}
@keyframes pulse{50%{box-shadow:0 0 0 14px #ffd60a22}}
.focus{background:#1d252e;border-radius:10px;padding:12px 18px;border-left:8px solid #4dabff;min-height:0;overflow:hidden}
.focus.step-failed{border-left-color:#ff453a}
.focus.step-passed{border-left-color:#34c759}
.focus-head{display:flex;justify-content:space-between;gap:12px;font-size:26px;font-weight:bold}
#focus-attempt{font-size:18px;color:#9fb3c8;font-weight:normal;white-space:nowrap}
#focus-command{font-family:"DejaVu Sans Mono",monospace;color:#9fb3c8;overflow-wrap:anywhere}
.bar{height:22px;background:#2c3945;border-radius:11px;overflow:hidden;margin:10px 0 4px}
.fill{height:100%;background:linear-gradient(90deg,#4dabff,#8fd0ff);border-radius:11px}
.focus.step-failed .fill{background:#ff453a}
.focus.step-passed .fill{background:#34c759}
#focus-time{font-size:22px;font-variant-numeric:tabular-nums}
pre{margin:4px 0 0;padding:8px 10px;background:#0b0f13;border-radius:6px;font:17px/1.3 "DejaVu Sans Mono",monospace;
 white-space:pre-wrap;overflow-wrap:anywhere;max-height:7.8em;overflow:hidden}
#focus-message{margin-top:8px;color:#cfd8e3;font-size:21px;overflow-wrap:anywhere}
.focus.step-failed #focus-message{color:#ff9d9d;font-weight:bold}
.failure{background:#3a1214;border-radius:10px;padding:10px 18px;border-left:8px solid #ff453a;color:#ffd0d0;overflow:hidden}
#failure-name{font-size:22px;font-weight:bold}
#failure-message{color:#ff9d9d;font-size:19px;overflow-wrap:anywhere}
.failure pre{max-height:3.9em}
)css";

// The page's script: follows /api/state by long-polling (one request open;
// the server answers when the state changes or after a bounded wait) and
// rebuilds the same markup the server rendered. It sets data-live="1" on
// <body> once it has shown a state itself, "0" while the server is gone.
// Texts only ever go in through textContent.
constexpr std::string_view kScript = R"js(
(function () {
  'use strict';
  var RETRY_MS = 1000;
  var TICK_MS = 200;
  var SYMBOL = {passed: '\u2714', failed: '\u2718', running: '\u25b6', pending: '\u00b7', skipped: '\u2013'};
  var VERDICT = {passed: 'PASS', failed: 'FAIL', running: 'TESTING'};
  var body = document.body;
  var version = Number(body.getAttribute('data-version')) || 0;
  var current = null;
  var receivedAt = 0;

  function $(id) { return document.getElementById(id); }
  function shown(s) {
    return String(s || '').replace(/\r?\n$/, '').replace(/[\x00-\x08\x0b-\x1f\x7f]/g, function (c) {
      return '\\x' + ('0' + c.charCodeAt(0).toString(16)).slice(-2);
    });
  }
  function seconds(ms) { return (ms / 1000).toFixed(1); }
  function took(ms) { return ms < 1000 ? ms + ' ms' : seconds(ms) + ' s'; }
  function limit(ms) { return ms % 1000 === 0 ? String(ms / 1000) : seconds(ms); }
  function timeText(step, elapsed) {
    if (step.state === 'running') {
      return step.timeout_ms > 0 ? seconds(elapsed) + ' / ' + limit(step.timeout_ms) + ' s' : seconds(elapsed) + ' s';
    }
    if (step.state === 'pending' || step.attempt === 0) return '';
    return took(step.elapsed_ms);
  }
  function stateText(step) {
    var text = (SYMBOL[step.state] || '') + ' ' + step.state;
    if (step.attempts > 1 && step.attempt > 0) text += ' ' + step.attempt + '/' + step.attempts;
    return text;
  }
  function cell(row, cls, text) {
    var td = document.createElement('td');
    td.className = cls;
    td.textContent = text;
    row.appendChild(td);
    return td;
  }
  function inline(parent, cls, text) {
    var span = document.createElement('span');
    span.className = cls;
    span.textContent = text;
    parent.appendChild(span);
  }
  function focusIndex(steps) {
    var i;
    for (i = 0; i < steps.length; i++) if (steps[i].state === 'running') return i;
    for (i = 0; i < steps.length; i++) if (steps[i].state === 'failed') return i;
    return -1;
  }
  function lastFailure(steps, focus) {
    if (focus < 0 || steps[focus].state !== 'running') return -1;
    for (var i = steps.length - 1; i >= 0; i--) if (steps[i].state === 'failed') return i;
    return -1;
  }
  function percent(elapsed, timeout) {
    return timeout > 0 ? Math.min(100, 100 * elapsed / timeout) : 0;
  }

  function render(s) {
    var unit = s.unit, steps = unit.steps, rows = $('step-rows'), i;
    $('station').textContent = shown(s.station);
    $('port').textContent = shown(s.port);
    $('status').textContent = shown(s.status);
    $('passed').textContent = s.passed;
    $('failed').textContent = s.failed;
    $('serial').textContent = unit.serial ? shown(unit.serial) : '\u2014';
    $('plan').textContent = shown(unit.plan);
    $('unit-index').textContent = unit.index > 0 ? (unit.count > 0 ? unit.index + ' of ' + unit.count : String(unit.index)) : '';
    var verdict = $('verdict');
    verdict.className = 'verdict verdict-' + (VERDICT[unit.verdict] ? unit.verdict : 'idle');
    verdict.textContent = VERDICT[unit.verdict] || 'WAITING';
    var prompt = $('prompt');
    prompt.textContent = shown(s.prompt);
    prompt.hidden = !s.prompt;

    var fresh = document.createElement('tbody');
    fresh.id = 'step-rows';
    for (i = 0; i < steps.length; i++) {
      var step = steps[i], row = document.createElement('tr');
      row.className = 'step step-' + step.state;
      row.setAttribute('data-state', step.state);
      cell(row, 'num', String(i + 1));
      inline(cell(row, 'name', shown(step.name)), 'cmd', shown(step.command));
      cell(row, 'state', stateText(step));
      cell(row, 'time', timeText(step, step.elapsed_ms));
      var reply = cell(row, 'reply', shown(step.reply));
      if (step.message) inline(reply, 'msg', shown(step.message));
      fresh.appendChild(row);
    }
    rows.parentNode.replaceChild(fresh, rows);

    var f = focusIndex(steps), focus = $('focus');
    focus.hidden = f < 0;
    if (f >= 0) {
      var st = steps[f];
      focus.className = 'focus step-' + st.state;
      $('focus-name').textContent = shown(st.name);
      $('focus-attempt').textContent = st.attempts > 1 && st.attempt > 0 ? 'try ' + st.attempt + ' of ' + st.attempts : '';
      $('focus-command').textContent = shown(st.command);
      $('focus-reply').textContent = shown(st.reply);
      $('focus-reply').hidden = !st.reply;
      $('focus-message').textContent = shown(st.message);
      $('focus-message').hidden = !st.message;
      $('focus-fill').style.width = percent(st.elapsed_ms, st.timeout_ms) + '%';
      $('focus-time').textContent = timeText(st, st.elapsed_ms);
      if (st.state === 'running' && fresh.rows[f]) fresh.rows[f].scrollIntoView({block: 'nearest'});
    }
    var l = lastFailure(steps, f);
    $('failure').hidden = l < 0;
    if (l >= 0) {
      $('failure-name').textContent = '\u2718 ' + shown(steps[l].name);
      $('failure-message').textContent = shown(steps[l].message);
      $('failure-reply').textContent = shown(steps[l].reply);
      $('failure-reply').hidden = !steps[l].reply;
    }
    body.setAttribute('data-version', String(s.version));
    current = s;
    receivedAt = Date.now();
  }

  // Between updates the running step's clock keeps moving on its own.
  function tick() {
    if (!current) return;
    var steps = current.unit.steps, f = focusIndex(steps);
    if (f < 0 || steps[f].state !== 'running') return;
    var st = steps[f], elapsed = st.elapsed_ms + (Date.now() - receivedAt);
    if (st.timeout_ms > 0) elapsed = Math.min(elapsed, st.timeout_ms);
    $('focus-fill').style.width = percent(elapsed, st.timeout_ms) + '%';
    $('focus-time').textContent = timeText(st, elapsed);
    var row = $('step-rows').rows[f];
    if (row) row.cells[3].textContent = timeText(st, elapsed);
  }

  function poll(first) {
    fetch(first ? '/api/state' : '/api/state?since=' + version, {cache: 'no-store'})
      .then(function (r) {
        if (!r.ok) throw new Error('HTTP ' + r.status);
        return r.json();
      })
      .then(function (s) {
        if (first || s.version !== version) render(s);
        version = s.version;
        body.setAttribute('data-live', '1');
        poll(false);
      })
      .catch(function () {
        body.setAttribute('data-live', '0');
        setTimeout(function () { poll(true); }, RETRY_MS);
      });
  }

  setInterval(tick, TICK_MS);
  poll(true);
})();
)js";

constexpr char kSymbolPassed[] = "\u2714";
constexpr char kSymbolFailed[] = "\u2718";
constexpr char kSymbolRunning[] = "\u25b6";
constexpr char kSymbolPending[] = "\u00b7";
constexpr char kSymbolSkipped[] = "\u2013";
constexpr char kNoSerial[] = "\u2014";

const char* state_symbol(StepState state) {
  switch (state) {
    case StepState::kPassed:
      return kSymbolPassed;
    case StepState::kFailed:
      return kSymbolFailed;
    case StepState::kRunning:
      return kSymbolRunning;
    case StepState::kPending:
      return kSymbolPending;
    case StepState::kSkipped:
    case StepState::kAborted:
      return kSymbolSkipped;
  }
  return "";
}

const char* verdict_class(const std::string& verdict) {
  if (verdict == "passed" || verdict == "failed" || verdict == "running") return verdict.c_str();
  return "idle";
}

const char* verdict_text(const std::string& verdict) {
  if (verdict == "passed") return "PASS";
  if (verdict == "failed") return "FAIL";
  if (verdict == "running") return "TESTING";
  return "WAITING";
}

// One decimal, as the script's toFixed(1).
std::string seconds(std::int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(ms) / 1000.0);
  return text;
}

std::string limit(std::int64_t ms) { return ms % 1000 == 0 ? std::to_string(ms / 1000) : seconds(ms); }

std::string time_text(const StepView& step) {
  if (step.state == StepState::kRunning) {
    return step.timeout_ms > 0 ? seconds(step.elapsed_ms) + " / " + limit(step.timeout_ms) + " s"
                               : seconds(step.elapsed_ms) + " s";
  }
  if (step.state == StepState::kPending || step.attempt == 0) return "";
  return step.elapsed_ms < 1000 ? std::to_string(step.elapsed_ms) + " ms" : seconds(step.elapsed_ms) + " s";
}

std::string state_text(const StepView& step) {
  std::string text = std::string(state_symbol(step.state)) + " " + step_state_name(step.state);
  if (step.attempts > 1 && step.attempt > 0) {
    text += " " + std::to_string(step.attempt) + "/" + std::to_string(step.attempts);
  }
  return text;
}

std::string percent(std::int64_t elapsed, std::int64_t timeout) {
  if (timeout <= 0) return "0";
  const double value = std::min(100.0, 100.0 * static_cast<double>(elapsed) / static_cast<double>(timeout));
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// The step the side panel shows: the running one, else the first failure.
int focus_index(const std::vector<StepView>& steps) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].state == StepState::kRunning) return static_cast<int>(i);
  }
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].state == StepState::kFailed) return static_cast<int>(i);
  }
  return -1;
}

// While a step runs, the latest failure stays in sight below it.
int last_failure_index(const std::vector<StepView>& steps, int focus) {
  if (focus < 0 || steps[static_cast<std::size_t>(focus)].state != StepState::kRunning) return -1;
  for (std::size_t i = steps.size(); i-- > 0;) {
    if (steps[i].state == StepState::kFailed) return static_cast<int>(i);
  }
  return -1;
}

std::string unit_index_text(const UnitView& unit) {
  if (unit.index <= 0) return "";
  if (unit.count <= 0) return std::to_string(unit.index);
  return std::to_string(unit.index) + " of " + std::to_string(unit.count);
}

const char* hidden_if(bool hide) { return hide ? " hidden" : ""; }

void append_step_row(std::string& out, std::size_t number, const StepView& step) {
  const char* state = step_state_name(step.state);
  out += "<tr class=\"step step-";
  out += state;
  out += "\" data-state=\"";
  out += state;
  out += "\"><td class=\"num\">" + std::to_string(number) + "</td>";
  out += "<td class=\"name\">" + html_text(step.name) + "<span class=\"cmd\">" + html_text(step.command) +
         "</span></td>";
  out += "<td class=\"state\">" + html_text(state_text(step)) + "</td>";
  out += "<td class=\"time\">" + time_text(step) + "</td>";
  out += "<td class=\"reply\">" + html_text(step.reply);
  if (!step.message.empty()) out += "<span class=\"msg\">" + html_text(step.message) + "</span>";
  out += "</td></tr>\n";
}

void append_focus(std::string& out, const std::vector<StepView>& steps) {
  const int index = focus_index(steps);
  static const StepView kNone;
  const StepView& step = index >= 0 ? steps[static_cast<std::size_t>(index)] : kNone;
  out += "<div id=\"focus\" class=\"focus step-";
  out += step_state_name(step.state);
  out += "\"";
  out += hidden_if(index < 0);
  out += "><div class=\"focus-head\"><span id=\"focus-name\">" + html_text(step.name) +
         "</span><span id=\"focus-attempt\">";
  if (step.attempts > 1 && step.attempt > 0) {
    out += "try " + std::to_string(step.attempt) + " of " + std::to_string(step.attempts);
  }
  out += "</span></div>\n<div id=\"focus-command\">" + html_text(step.command) + "</div>\n";
  out += "<div class=\"bar\"><div id=\"focus-fill\" class=\"fill\" style=\"width:" +
         percent(step.elapsed_ms, step.timeout_ms) + "%\"></div></div>\n";
  out += "<div id=\"focus-time\">" + time_text(step) + "</div>\n";
  out += "<pre id=\"focus-reply\"";
  out += hidden_if(step.reply.empty());
  out += ">" + html_text(step.reply) + "</pre>\n";
  out += "<div id=\"focus-message\"";
  out += hidden_if(step.message.empty());
  out += ">" + html_text(step.message) + "</div></div>\n";

  const int failure = last_failure_index(steps, index);
  const StepView& failed = failure >= 0 ? steps[static_cast<std::size_t>(failure)] : kNone;
  out += "<div id=\"failure\" class=\"failure\"";
  out += hidden_if(failure < 0);
  out += "><div id=\"failure-name\">";
  if (failure >= 0) out += std::string(kSymbolFailed) + " " + html_text(failed.name);
  out += "</div><div id=\"failure-message\">" + html_text(failed.message) + "</div><pre id=\"failure-reply\"";
  out += hidden_if(failed.reply.empty());
  out += ">" + html_text(failed.reply) + "</pre></div>\n";
}

// Until the view shows every slot, it shows the first.
const SlotView& first_slot(const StationSnapshot& snapshot) {
  static const SlotView kNoSlot;
  return snapshot.slots.empty() ? kNoSlot : snapshot.slots.front();
}

}  // namespace

std::string html_text(std::string_view text) {
  if (text.ends_with('\n')) {
    text.remove_suffix(1);
    if (text.ends_with('\r')) text.remove_suffix(1);
  }
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '&':
        out += "&amp;";
        continue;
      case '<':
        out += "&lt;";
        continue;
      case '>':
        out += "&gt;";
        continue;
      case '"':
        out += "&quot;";
        continue;
      case '\'':
        out += "&#39;";
        continue;
      case '\t':
      case '\n':
        out += c;
        continue;
      default:
        break;
    }
    if (byte < 0x20 || byte == 0x7f) {
      pc::append_byte_escape(out, byte);
      continue;
    }
    out += c;
  }
  return out;
}

std::string render_station_page(const StationSnapshot& snapshot) {
  const SlotView& slot = first_slot(snapshot);
  const UnitView& unit = slot.unit;
  std::string out;
  out.reserve(16384 + unit.steps.size() * 400);
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
  out += html_text(snapshot.station.empty() ? std::string("Test station")
                                            : snapshot.station + " \u00b7 test station");
  out += "</title>\n<style>";
  out += kStyle;
  out += "</style></head>\n<body data-version=\"" + std::to_string(snapshot.version) + "\">\n";

  out += "<header><span id=\"station\">" + html_text(snapshot.station) + "</span>";
  out += "<span id=\"port\">" + html_text(slot.port) + "</span>";
  out += "<span id=\"status\">" + html_text(slot.status) + "</span>";
  out += "<span id=\"counts\"><b id=\"passed\" class=\"count-passed\">" + std::to_string(slot.passed) +
         "</b> passed &nbsp;<b id=\"failed\" class=\"count-failed\">" + std::to_string(slot.failed) +
         "</b> failed</span><span id=\"link\">\u25cf</span></header>\n";

  out +=
      "<main><section id=\"steps-pane\"><table id=\"steps\"><thead><tr><th class=\"num\">#</th>"
      "<th class=\"name\">Step</th><th class=\"state\">State</th><th class=\"time\">Time</th>"
      "<th class=\"reply\">Reply</th></tr></thead>\n<tbody id=\"step-rows\">\n";
  for (std::size_t i = 0; i < unit.steps.size(); ++i) append_step_row(out, i + 1, unit.steps[i]);
  out += "</tbody></table></section>\n";

  out += "<section id=\"side\"><div id=\"unit\"><div class=\"label\">Unit <span id=\"unit-index\">" +
         unit_index_text(unit) + "</span></div>";
  out += "<div id=\"serial\">" + (unit.serial.empty() ? std::string(kNoSerial) : html_text(unit.serial)) +
         "</div>";
  out += "<div id=\"plan\">" + html_text(unit.plan) + "</div></div>\n";
  out += "<div id=\"verdict\" class=\"verdict verdict-";
  out += verdict_class(unit.verdict);
  out += "\">";
  out += verdict_text(unit.verdict);
  out += "</div>\n<div id=\"prompt\" class=\"prompt\"";
  out += hidden_if(slot.prompt.empty());
  out += ">" + html_text(slot.prompt) + "</div>\n";
  append_focus(out, unit.steps);
  out += "</section></main>\n<script>";
  out += kScript;
  out += "</script>\n</body></html>\n";
  return out;
}

std::string station_state_json(const StationSnapshot& snapshot) {
  using nlohmann::json;
  const SlotView& slot = first_slot(snapshot);
  json steps = json::array();
  for (const StepView& step : slot.unit.steps) {
    steps.push_back({{"name", step.name},
                     {"command", step.command},
                     {"state", step_state_name(step.state)},
                     {"attempt", step.attempt},
                     {"attempts", step.attempts},
                     {"elapsed_ms", step.elapsed_ms},
                     {"timeout_ms", step.timeout_ms},
                     {"reply", step.reply},
                     {"message", step.message}});
  }
  const UnitView& unit = slot.unit;
  const json state = {{"version", snapshot.version},
                      {"station", snapshot.station},
                      {"port", slot.port},
                      {"status", slot.status},
                      {"prompt", slot.prompt},
                      {"passed", slot.passed},
                      {"failed", slot.failed},
                      {"unit",
                       {{"serial", unit.serial},
                        {"plan", unit.plan},
                        {"index", unit.index},
                        {"count", unit.count},
                        {"verdict", unit.verdict},
                        {"steps", std::move(steps)}}}};
  // A device can send any byte; replacing what is not UTF-8 keeps dump()
  // from throwing and the answer parseable.
  return state.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace ftmd::station
