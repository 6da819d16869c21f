#include "web_page.h"

#include <nlohmann/json.hpp>

namespace ftmd::station {
namespace {

// Inline style, sized for a line screen read from a few metres: a dark
// page, one tile per slot in a grid, the verdict as colour and word, the
// operator's question in large type with large buttons.
constexpr std::string_view kStyle = R"css(
*{box-sizing:border-box}
[hidden]{display:none!important}
html,body{margin:0;height:100%}
body{background:#10151b;color:#e8eaed;font:20px/1.25 "DejaVu Sans","Liberation Sans",sans-serif;
 display:flex;flex-direction:column;overflow:hidden}
header{display:flex;align-items:center;gap:22px;padding:8px 20px;background:#1d252e;
 border-bottom:2px solid #2c3945;white-space:nowrap;font-size:21px}
#station{font-weight:bold;font-size:27px}
#operator{color:#9fb3c8}
#status{flex:1 1 auto;min-width:0;overflow:hidden;text-overflow:ellipsis;color:#cfd8e3}
#totals b{font-size:26px}
.n-passed{color:#6bd38a}.n-failed{color:#ff7b7b}.n-aborted{color:#ffb347}
#badge-box{color:#9fb3c8;font-size:18px}
#badge{font:bold 20px "DejaVu Sans Mono",monospace;width:8em;margin-left:8px;padding:3px 8px;background:#0b0f13;
 color:#fff;border:2px solid #3a4652;border-radius:6px}
#badge:focus{outline:none;border-color:#ffd60a}
#who{color:#cfd8e3;font-size:18px}
#link{font-size:18px;color:#6c7a89}
body[data-live="1"] #link{color:#6bd38a}
body[data-live="1"] #link::after{content:" live"}
body[data-live="0"] #link{color:#ff7b7b}
body[data-live="0"] #link::after{content:" connection lost"}
body[data-ended="1"][data-live] #link{color:#9fb3c8}
body[data-ended="1"][data-live] #link::after{content:" finished"}
#notice{background:#3a2f0b;color:#ffd60a;padding:6px 20px;font-size:20px}
#ended{background:#24303c;color:#fff;font:bold 32px/1.2 "DejaVu Sans",sans-serif;padding:14px 20px;
 text-align:center;border-bottom:3px solid #9fb3c8}
main{flex:1;min-height:0;display:grid;grid-template-columns:repeat(var(--cols,1),minmax(0,1fr));
 grid-auto-rows:minmax(0,1fr);gap:14px;padding:14px}
.tile{background:#1a2129;border:3px solid #2c3945;border-left-width:16px;border-radius:12px;padding:10px 16px;
 display:flex;flex-direction:column;gap:9px;min-height:0;overflow:hidden}
.tile.v-running{border-color:#4dabff}
.tile.v-passed{border-color:#34c759}
.tile.v-failed{border-color:#ff453a}
.tile.v-aborted{border-color:#ff9f0a}
.tile-head{display:flex;align-items:baseline;gap:14px;white-space:nowrap}
.slot-name{font-weight:bold;font-size:30px}
.port{flex:1 1 auto;min-width:0;overflow:hidden;text-overflow:ellipsis;color:#9fb3c8;
 font:16px "DejaVu Sans Mono",monospace}
.counts b{font-size:24px;margin-left:12px}
.unit-row{display:flex;align-items:center;gap:14px}
.serial{flex:1 1 auto;min-width:0;font:bold 44px/1.1 "DejaVu Sans Mono",monospace;overflow:hidden;
 text-overflow:ellipsis;white-space:nowrap}
.verdict{border-radius:10px;padding:6px 20px;font:bold 42px/1.1 "DejaVu Sans",sans-serif;letter-spacing:.06em;
 white-space:nowrap;color:#fff}
.verdict.v-idle{background:#2c3945;color:#cfd8e3}
.verdict.v-running{background:#0f5aa6}
.verdict.v-passed{background:#1f8f45}
.verdict.v-failed{background:#c62828}
.verdict.v-aborted{background:#b35c00}
.unit-info{color:#9fb3c8;font-size:19px;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.strip{display:flex;gap:3px;height:14px;flex:0 0 auto}
.strip span{flex:1;border-radius:3px;background:#3a4652}
.strip .s-passed{background:#34c759}.strip .s-failed{background:#ff453a}.strip .s-running{background:#4dabff}
.strip .s-skipped{background:#2a3139}.strip .s-aborted{background:#ff9f0a}
.now{display:flex;align-items:baseline;gap:14px;font-size:27px;white-space:nowrap}
.now-name{font-weight:bold;flex:1 1 auto;min-width:0;overflow:hidden;text-overflow:ellipsis}
.now-count{color:#9fb3c8;font-size:19px}
.clock{font-variant-numeric:tabular-nums;font-size:29px;font-weight:bold}
.bar{height:16px;background:#2c3945;border-radius:8px;overflow:hidden;flex:0 0 auto}
.fill{height:100%;background:linear-gradient(90deg,#4dabff,#8fd0ff);border-radius:8px}
.note{font-size:22px;color:#cfd8e3;overflow-wrap:anywhere}
.note.wait{color:#ffd60a;font-weight:bold}
.prompt{background:#ffd60a;color:#111;border-radius:10px;padding:10px 14px;font:bold 30px/1.2 "DejaVu Sans",sans-serif;
 text-align:center;overflow-wrap:anywhere}
.ask{background:#2b2508;border:3px solid #ffd60a;border-radius:12px;padding:10px 14px;display:flex;
 flex-direction:column;gap:10px;animation:pulse 1.6s ease-in-out infinite}
@keyframes pulse{50%{box-shadow:0 0 0 8px #ffd60a33}}
.ask-text{font:bold 34px/1.2 "DejaVu Sans",sans-serif;color:#fff;overflow-wrap:anywhere}
.ask-row{display:flex;gap:14px}
.ask button{font:bold 34px/1 "DejaVu Sans",sans-serif;padding:14px 0;flex:1;border:0;border-radius:10px;color:#fff;
 cursor:pointer}
.ask button.pass{background:#1f8f45}.ask button.fail{background:#c62828}.ask button.yes{background:#0f5aa6}
.ask button.no{background:#4a5561;flex:0 0 28%}.ask button.send{background:#0f5aa6;flex:0 0 auto;padding:10px 28px}
.ask button:disabled{opacity:.45;cursor:default}
.scan{flex:1;min-width:0;font:bold 34px "DejaVu Sans Mono",monospace;padding:8px 12px;border-radius:8px;
 border:3px solid #4dabff;background:#0b0f13;color:#fff}
.scan:focus{outline:none;border-color:#ffd60a;box-shadow:0 0 0 4px #ffd60a55}
.hint{color:#cfd8e3;font-size:20px}
.hint code{font:bold 20px "DejaVu Sans Mono",monospace;color:#ffd60a}
.ask-status{font-size:21px;color:#9fb3c8;overflow-wrap:anywhere}
.ask-status.refusal{color:#ff9d9d;font-weight:bold;font-size:23px}
.read-only{color:#ffd60a;font-size:20px}
.failure{background:#3a1214;border-left:8px solid #ff453a;border-radius:8px;padding:6px 12px;color:#ffd0d0;
 font-size:20px;overflow:hidden;flex:0 1 auto;min-height:0}
.failure-name{font-weight:bold;font-size:23px}
.failure-message{color:#ff9d9d;overflow-wrap:anywhere}
.failure pre{margin:4px 0 0;font:17px/1.3 "DejaVu Sans Mono",monospace;white-space:pre-wrap;overflow-wrap:anywhere;
 max-height:2.7em;overflow:hidden;color:#ffb3b3}
.steps{flex:1 1 0;min-height:0;overflow:hidden;position:relative;font-size:18px;border-top:1px solid #2c3945}
.steps.more{-webkit-mask-image:linear-gradient(#000 calc(100% - 1.4em),transparent);
 mask-image:linear-gradient(#000 calc(100% - 1.4em),transparent)}
.step{display:flex;gap:10px;padding:1px 6px;white-space:nowrap;border-radius:4px}
.step .sym{flex:0 0 1.2em;text-align:center}
.step .sname{flex:0 1 40%;min-width:0;overflow:hidden;text-overflow:ellipsis}
.step .stime{flex:0 0 6.5em;text-align:right;font-variant-numeric:tabular-nums;color:#9fb3c8}
.step .sreply{flex:1 1 0;min-width:0;overflow:hidden;text-overflow:ellipsis;font-family:"DejaVu Sans Mono",monospace;
 color:#9fb3c8}
.step.s-passed .sym{color:#34c759}
.step.s-failed{background:#4d1518;color:#ffd0d0}
.step.s-running{background:#0f3d6e;color:#fff}
.step.s-running .stime,.step.s-running .sreply{color:#cfe6ff}
.step.s-pending{color:#8a99a8}
.step.s-skipped{color:#6c7a89;font-style:italic}
.step.s-aborted{color:#ffb347}
)css";

// The page's one renderer: it shows the state embedded in the page, then
// follows /api/state by long-polling (one request open; the server answers
// when the state changes or after a bounded wait) and stops once the
// station has ended. Tiles are made once per slot and updated in place; a
// question's controls are made once per question, so a field a scanner is
// typing into survives every update. Texts only ever go in through
// textContent. The token comes from the link (?token=...) and is kept for
// the tab's session; the badge too.
//
// On <body>: data-version (the state shown), data-live ("1" following the
// station, "0" while it cannot be reached), data-ended ("1" once finished).
constexpr std::string_view kScript = R"js(
(function () {
  'use strict';
  var RETRY_MS = 1000;
  var TICK_MS = 200;
  var VERDICT = {passed: 'PASS', failed: 'FAIL', running: 'TESTING', aborted: 'ABORTED'};
  var SYMBOL = {passed: '\u2714', failed: '\u2718', running: '\u25b6', pending: '\u00b7', skipped: '\u2013',
                aborted: '\u2298'};
  var NOTICE = {
    'no-token': 'Read-only: answering needs the link with the token that the station printed when it started.',
    'wrong-token': 'Read-only: the token in this link is not this station\u2019s; ' +
                   'use the link the station printed when it started.'
  };
  var body = document.body;
  var main = document.getElementById('slots');
  var page = Math.random().toString(36).slice(2, 10) + Date.now().toString(36);
  var tiles = new Map();
  var current = null;
  var receivedAt = 0;
  var linkToken = new URLSearchParams(location.search).get('token');
  var token = kept('token', linkToken);
  var badge = kept('badge', null);
  // Only what a header can carry; anything else is no token at all.
  if (!/^[\x21-\x7e]*$/.test(token)) token = '';
  if (linkToken !== null) history.replaceState(null, '', location.pathname);

  function kept(name, value) {
    try {
      if (value !== null) sessionStorage.setItem('ftm-' + name, value);
      return sessionStorage.getItem('ftm-' + name) || '';
    } catch (e) {
      return value || '';
    }
  }
  function $(id) { return document.getElementById(id); }
  function el(tag, cls, parent, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    if (parent) parent.appendChild(e);
    return e;
  }
  function shown(s) {
    return String(s || '').replace(/\r?\n$/, '').replace(/[\x00-\x08\x0b-\x1f\x7f]/g, function (c) {
      return '\\x' + ('0' + c.charCodeAt(0).toString(16)).slice(-2);
    });
  }
  function seconds(ms) { return (ms / 1000).toFixed(1); }
  function limit(ms) { return ms % 1000 === 0 ? String(ms / 1000) : seconds(ms); }
  function clockText(step, elapsed) {
    return step.timeout_ms > 0 ? seconds(elapsed) + ' / ' + limit(step.timeout_ms) + ' s' : seconds(elapsed) + ' s';
  }
  function percent(elapsed, timeout) { return timeout > 0 ? Math.min(100, 100 * elapsed / timeout) : 0; }
  function running(steps) {
    for (var i = 0; i < steps.length; i++) if (steps[i].state === 'running') return i;
    return -1;
  }
  function lastFailure(steps) {
    for (var i = steps.length - 1; i >= 0; i--) if (steps[i].state === 'failed') return i;
    return -1;
  }
  function took(ms) { return ms < 1000 ? ms + ' ms' : seconds(ms) + ' s'; }
  function stepTime(step) {
    if (step.state === 'running') return clockText(step, step.elapsed_ms);
    return step.state === 'pending' || step.attempt === 0 ? '' : took(step.elapsed_ms);
  }
  function stepReply(step) {
    if (step.answer) return shown(step.answer) + (step.answered_by ? ' \u00b7 ' + shown(step.answered_by) : '');
    const said = step.measured ? shown(step.measured) : shown(step.reply);
    return said + (step.message && step.state === 'failed' ? '  ' + shown(step.message) : '');
  }
  function plural(n, word) { return n + ' ' + word + (n === 1 ? '' : 's'); }
  function totals(slots) {
    var t = {passed: 0, failed: 0, aborted: 0};
    slots.forEach(function (s) { t.passed += s.passed; t.failed += s.failed; t.aborted += s.aborted; });
    return t;
  }
  function countText(t) {
    return t.passed + ' passed, ' + t.failed + ' failed' + (t.aborted ? ', ' + t.aborted + ' aborted' : '');
  }
  function mayAnswer(s) { return !s.ended && (s.access === 'open' || s.access === 'token'); }

  function makeTile(name) {
    var t = {root: el('section', 'tile'), key: null, scan: null, qid: 0};
    t.root.setAttribute('data-slot', name);
    var head = el('div', 'tile-head', t.root);
    t.name = el('span', 'slot-name', head);
    t.port = el('span', 'port', head);
    t.counts = el('span', 'counts', head);
    var row = el('div', 'unit-row', t.root);
    t.serial = el('div', 'serial', row);
    t.verdict = el('div', 'verdict', row);
    t.info = el('div', 'unit-info', t.root);
    t.strip = el('div', 'strip', t.root);
    t.now = el('div', 'now', t.root);
    t.nowName = el('span', 'now-name', t.now);
    t.nowCount = el('span', 'now-count', t.now);
    t.clock = el('span', 'clock', t.now);
    t.bar = el('div', 'bar', t.root);
    t.fill = el('div', 'fill', t.bar);
    t.note = el('div', 'note', t.root);
    t.prompt = el('div', 'prompt', t.root);
    t.ask = el('div', 'ask', t.root);
    t.failure = el('div', 'failure', t.root);
    t.failName = el('div', 'failure-name', t.failure);
    t.failMessage = el('div', 'failure-message', t.failure);
    t.failReply = el('pre', '', t.failure);
    t.steps = el('div', 'steps', t.root);
    return t;
  }

  function renderTile(t, slot, s) {
    var unit = slot.unit, steps = unit.steps, i;
    var verdict = VERDICT[unit.verdict] ? unit.verdict : 'idle';
    t.root.className = 'tile v-' + verdict;
    t.root.setAttribute('data-verdict', verdict);
    t.name.textContent = shown(slot.name);
    t.port.textContent = shown(slot.port);
    t.counts.textContent = '';
    el('b', 'n-passed', t.counts, '\u2714 ' + slot.passed);
    el('b', 'n-failed', t.counts, '\u2718 ' + slot.failed);
    if (slot.aborted) el('b', 'n-aborted', t.counts, '\u2298 ' + slot.aborted);
    t.serial.textContent = unit.serial ? shown(unit.serial) : '\u2014';
    t.verdict.className = 'verdict v-' + verdict;
    t.verdict.textContent = VERDICT[unit.verdict] || (slot.stopped ? 'STOPPED' : 'WAITING');
    var info = [];
    if (unit.index > 0) info.push('unit ' + unit.index + (unit.count > 0 ? ' of ' + unit.count : ''));
    if (unit.plan) info.push('plan ' + shown(unit.plan));
    if (unit.hwid) info.push('hwid ' + shown(unit.hwid));
    t.info.textContent = info.join(' \u00b7 ');

    if (t.strip.children.length !== steps.length) {
      t.strip.textContent = '';
      for (i = 0; i < steps.length; i++) el('span', '', t.strip);
    }
    for (i = 0; i < steps.length; i++) {
      t.strip.children[i].className = 's-' + steps[i].state;
      t.strip.children[i].title = shown(steps[i].name) + ': ' + steps[i].state;
    }

    var r = running(steps), passed = steps.filter(function (x) { return x.state === 'passed'; }).length;
    t.now.hidden = r < 0 && !(unit.verdict in VERDICT && steps.length);
    t.bar.hidden = r < 0 || !(steps[r].timeout_ms > 0) || s.ended;
    if (r >= 0) {
      var st = steps[r];
      t.nowName.textContent = shown(st.name);
      t.nowCount.textContent = 'step ' + (r + 1) + ' of ' + steps.length +
          (st.attempts > 1 && st.attempt > 0 ? ', try ' + st.attempt + ' of ' + st.attempts : '');
      t.clock.textContent = clockText(st, st.elapsed_ms);
      t.fill.style.width = percent(st.elapsed_ms, st.timeout_ms) + '%';
    } else {
      t.nowName.textContent = passed + ' of ' + plural(steps.length, 'step') + ' passed';
      t.nowCount.textContent = '';
      t.clock.textContent = '';
    }

    var note = '', wait = false;
    if (slot.waiting_for_fixture) {
      note = 'waiting for the fixture \u201c' + shown(slot.waiting_for_fixture) + '\u201d' +
             (slot.fixture_holder ? ', in use by slot ' + shown(slot.fixture_holder) : '');
      wait = true;
    } else if (slot.status && slot.status !== 'running') {
      note = shown(slot.status);
    } else if (r >= 0 && steps[r].message && steps[r].message !== slot.prompt) {
      note = shown(steps[r].message);
    }
    t.note.textContent = note;
    t.note.className = wait ? 'note wait' : 'note';
    t.note.hidden = !note;
    t.prompt.textContent = shown(slot.prompt);
    t.prompt.hidden = !slot.prompt || s.ended;

    var f = lastFailure(steps);
    t.failure.hidden = f < 0;
    if (f >= 0) {
      t.failName.textContent = '\u2718 ' + shown(steps[f].name);
      t.failMessage.textContent = shown(steps[f].message);
      t.failReply.textContent = shown(steps[f].reply);
      t.failReply.hidden = !steps[f].reply;
    }
    renderAsk(t, slot, s);
    renderSteps(t, steps, r);
  }

  // Every step of the unit in a compact list, the running one kept in sight
  // with a few done above it.
  function renderSteps(t, steps, r) {
    var running = null;
    t.steps.textContent = '';
    t.runningTime = null;
    steps.forEach(function (step, i) {
      var row = el('div', 'step s-' + step.state, t.steps);
      el('span', 'sym', row, SYMBOL[step.state] || '');
      el('span', 'sname', row, shown(step.name));
      var time = el('span', 'stime', row, stepTime(step));
      el('span', 'sreply', row, stepReply(step));
      if (i === r) {
        running = row;
        t.runningTime = time;
      }
    });
    if (running) {
      var above = Math.floor(t.steps.clientHeight / 3 / Math.max(1, running.offsetHeight));
      t.steps.scrollTop = t.steps.children[Math.max(0, r - above)].offsetTop - t.steps.children[0].offsetTop;
    }
    // Fades the last row out when more steps follow below it.
    t.steps.classList.toggle('more', t.steps.scrollHeight - t.steps.scrollTop > t.steps.clientHeight + 1);
  }

  // The question's controls, made anew only when another question opens
  // (or what the page may do changes).
  function renderAsk(t, slot, s) {
    var q = slot.question;
    var key = q && !s.ended ? q.id + ' ' + mayAnswer(s) : '';
    if (t.key === key) return;
    t.key = key;
    t.qid = q ? q.id : 0;
    t.scan = null;
    t.ask.textContent = '';
    t.ask.hidden = !key;
    if (!key) return;
    t.ask.setAttribute('data-kind', q.kind);
    el('div', 'ask-text', t.ask, shown(q.text));
    if (!mayAnswer(s)) {
      el('div', 'read-only', t.ask, 'Answer at the station: this page is read-only.');
      return;
    }
    var row = el('div', 'ask-row', t.ask), status;
    function send(value, label) { answer(t, slot.name, q, value, label, status); }
    if (q.kind === 'scan') {
      var field = el('input', 'scan', row);
      field.autocomplete = 'off';
      field.spellcheck = false;
      field.placeholder = 'scan here';
      var go = el('button', 'send', row, 'Send');
      var submit = function () { if (field.value) send(field.value, '\u201c' + field.value + '\u201d'); };
      field.addEventListener('keydown', function (e) {
        if (e.key === 'Enter') { e.preventDefault(); submit(); }
      });
      go.addEventListener('click', submit);
      var hint = el('div', 'hint', t.ask, 'must match ');
      el('code', '', hint, shown(q.pattern));
      t.scan = field;
    } else {
      var choices = q.kind === 'judge' ? [['pass', 'PASS'], ['fail', 'FAIL']] : [['yes', 'Done'], ['no', 'No']];
      choices.forEach(function (c) {
        el('button', c[0], row, c[1]).addEventListener('click', function () { send(c[0], c[1]); });
      });
    }
    status = el('div', 'ask-status', t.ask);
    status.hidden = true;
  }

  function answer(t, slotName, q, value, label, status) {
    var key = t.key, controls = t.ask.querySelectorAll('button, input');
    function settle(accepted, text) {
      if (t.key !== key) return;  // that question has gone meanwhile
      status.className = accepted ? 'ask-status' : 'ask-status refusal';
      status.textContent = text;
      if (accepted) {
        focusScan();  // the next slot's label, if one is asked for
        return;
      }
      controls.forEach(function (c) { c.disabled = false; });
      if (t.scan) { t.scan.focus(); t.scan.select(); }
    }
    controls.forEach(function (c) { c.disabled = true; });
    status.hidden = false;
    status.className = 'ask-status';
    status.textContent = 'sending ' + label + '\u2026';
    var request = {slot: slotName, question: q.id, value: value};
    if (badge) request.badge = badge;
    fetch('/api/answer', {method: 'POST', cache: 'no-store', body: JSON.stringify(request),
                          headers: {'Content-Type': 'application/json', 'X-Answer-Token': token}})
      .then(function (r) {
        return r.json().catch(function () { return {accepted: false, refusal: 'the station said HTTP ' + r.status}; });
      })
      .then(function (a) {
        if (a.accepted) settle(true, label + ' sent; waiting for the station\u2026');
        else settle(false, shown(a.refusal || 'refused'));
      }, function () { settle(false, 'not sent: the station cannot be reached'); });
  }

  // A barcode scanner types into whatever has focus: an open scan field
  // (the oldest question's still waiting for a value) has it unless the
  // operator chose another field.
  function focusScan() {
    var active = document.activeElement;
    if (active && active.tagName === 'INPUT' && !active.disabled && body.contains(active)) return;
    var best = null;
    tiles.forEach(function (t) {
      if (t.scan && !t.scan.disabled && (!best || t.qid < best.qid)) best = t;
    });
    if (best) best.scan.focus();
  }

  function showWho() {
    var name = badge || (current && current.operator) || '';
    $('who').textContent = name ? 'answering as ' + shown(name) : '';
  }

  function render(s) {
    current = s;
    receivedAt = Date.now();
    var t = totals(s.slots);
    document.title = (s.station ? shown(s.station) + ' \u00b7 ' : '') + 'test station';
    $('station').textContent = shown(s.station);
    $('operator').textContent = s.operator ? 'operator ' + shown(s.operator) : '';
    $('status').textContent = shown(s.status);
    $('n-passed').textContent = t.passed;
    $('n-failed').textContent = t.failed;
    $('n-aborted').textContent = t.aborted;
    $('aborted-box').hidden = t.aborted === 0;
    showWho();
    $('notice').textContent = NOTICE[s.access] || '';
    $('notice').hidden = s.ended || !NOTICE[s.access];
    $('ended').textContent = 'The station has finished' + (s.ended_at ? ' at ' + s.ended_at : '') + ': ' +
                             countText(t);
    $('ended').hidden = !s.ended;
    if (s.ended) body.setAttribute('data-ended', '1');

    var names = new Set(s.slots.map(function (slot) { return slot.name; }));
    tiles.forEach(function (tile, name) {
      if (!names.has(name)) { tile.root.remove(); tiles.delete(name); }
    });
    main.style.setProperty('--cols', s.slots.length <= 1 ? 1 : s.slots.length <= 4 ? 2 : s.slots.length <= 9 ? 3 : 4);
    s.slots.forEach(function (slot, i) {
      var tile = tiles.get(slot.name);
      if (!tile) { tile = makeTile(slot.name); tiles.set(slot.name, tile); }
      if (main.children[i] !== tile.root) main.insertBefore(tile.root, main.children[i] || null);
      renderTile(tile, slot, s);
    });
    focusScan();
    body.setAttribute('data-version', String(s.version));
  }

  // Between updates the running steps' clocks keep moving on their own.
  function tick() {
    if (!current || current.ended) return;
    var since = Date.now() - receivedAt;
    current.slots.forEach(function (slot) {
      var t = tiles.get(slot.name), steps = slot.unit.steps, r = running(steps);
      if (!t || r < 0) return;
      var st = steps[r], elapsed = st.elapsed_ms + since;
      if (st.timeout_ms > 0) elapsed = Math.min(elapsed, st.timeout_ms);
      t.clock.textContent = clockText(st, elapsed);
      t.fill.style.width = percent(elapsed, st.timeout_ms) + '%';
      if (t.runningTime) t.runningTime.textContent = clockText(st, elapsed);
    });
  }

  function poll(first) {
    if (current && current.ended) return;
    var query = (first ? '' : 'since=' + current.version + '&') + 'page=' + page;
    fetch('/api/state?' + query, {cache: 'no-store', headers: {'X-Answer-Token': token}})
      .then(function (r) {
        if (!r.ok) throw new Error('HTTP ' + r.status);
        return r.json();
      })
      .then(function (s) {
        if (first || s.version !== current.version || s.access !== current.access) render(s);
        body.setAttribute('data-live', '1');
        poll(false);
      })
      .catch(function () {
        body.setAttribute('data-live', '0');
        setTimeout(function () { poll(!current); }, RETRY_MS);
      });
  }

  var badgeField = $('badge');
  badgeField.value = badge;
  function takeBadge() {
    badge = kept('badge', badgeField.value.trim());
    badgeField.value = badge;
    showWho();
  }
  badgeField.addEventListener('change', takeBadge);
  badgeField.addEventListener('keydown', function (e) {
    if (e.key !== 'Enter') return;
    e.preventDefault();
    takeBadge();
    badgeField.blur();
    focusScan();
  });

  try {
    render(JSON.parse($('first-state').textContent));
  } catch (e) {
    current = null;
  }
  setInterval(tick, TICK_MS);
  poll(true);
})();
)js";

constexpr std::string_view kShell = R"html(<header><span id="station"></span><span id="operator"></span>
<span id="status"></span><span id="totals"><b id="n-passed" class="n-passed">0</b> passed &nbsp;<b id="n-failed"
class="n-failed">0</b> failed<span id="aborted-box" hidden> &nbsp;<b id="n-aborted" class="n-aborted">0</b>
aborted</span></span><label id="badge-box">Badge<input id="badge" autocomplete="off" spellcheck="false"
placeholder="scan badge"></label><span id="who"></span><span id="link">&#9679;</span></header>
<div id="notice" hidden></div>
<div id="ended" hidden></div>
<main id="slots"></main>
<noscript>This page needs JavaScript.</noscript>
)html";

nlohmann::json step_json(const StepView& step) {
  return {{"name", step.name},
          {"command", step.command},
          {"kind", step.kind},
          {"state", step_state_name(step.state)},
          {"attempt", step.attempt},
          {"attempts", step.attempts},
          {"elapsed_ms", step.elapsed_ms},
          {"timeout_ms", step.timeout_ms},
          {"reply", step.reply},
          {"message", step.message},
          {"fixture", step.fixture},
          {"answer", step.answer},
          {"answered_by", step.answered_by}};
}

nlohmann::json slot_json(const SlotView& slot) {
  nlohmann::json steps = nlohmann::json::array();
  for (const StepView& step : slot.unit.steps) steps.push_back(step_json(step));
  for (const MeasuredView& measured : slot.measured) {
    if (measured.step < steps.size()) steps[measured.step]["measured"] = measured.text;
  }
  nlohmann::json question = nullptr;
  if (slot.question.id != 0) {
    question = {{"id", slot.question.id},
                {"kind", slot.question.kind},
                {"text", slot.question.text},
                {"pattern", slot.question.pattern},
                {"step", slot.question.step}};
  }
  const UnitView& unit = slot.unit;
  return {{"name", slot.name},
          {"port", slot.port},
          {"status", slot.status},
          {"prompt", slot.prompt},
          {"question", std::move(question)},
          {"waiting_for_fixture", slot.waiting_for_fixture},
          {"fixture_holder", slot.fixture_holder},
          {"stopped", slot.stopped},
          {"passed", slot.passed},
          {"failed", slot.failed},
          {"aborted", slot.aborted},
          {"unit",
           {{"serial", unit.serial},
            {"hwid", unit.hwid},
            {"plan", unit.plan},
            {"index", unit.index},
            {"count", unit.count},
            {"verdict", unit.verdict},
            {"steps", std::move(steps)}}}};
}

}  // namespace

const char* access_name(Access access) {
  switch (access) {
    case Access::kOpen:
      return "open";
    case Access::kToken:
      return "token";
    case Access::kNoToken:
      return "no-token";
    case Access::kWrongToken:
      return "wrong-token";
  }
  return "no-token";
}

std::string station_state_json(const StationSnapshot& snapshot, const ViewExtras& extras) {
  nlohmann::json slots = nlohmann::json::array();
  for (const SlotView& slot : snapshot.slots) slots.push_back(slot_json(slot));
  const nlohmann::json state = {{"version", snapshot.version},
                                {"station", snapshot.station},
                                {"operator", snapshot.operator_name},
                                {"status", snapshot.status},
                                {"ended", snapshot.ended},
                                {"ended_at", extras.ended_at},
                                {"access", access_name(extras.access)},
                                {"slots", std::move(slots)}};
  // A device can send any byte; replacing what is not UTF-8 keeps dump()
  // from throwing and the answer parseable.
  return state.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string render_station_page(std::string_view state_json) {
  std::string out;
  out.reserve(kStyle.size() + kScript.size() + kShell.size() + state_json.size() + 1024);
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>test station</title>\n<style>";
  out += kStyle;
  out += "</style></head>\n<body>\n";
  out += kShell;
  // The state as data, not script. < > & and DEL only occur inside JSON
  // strings, so writing them as \u escapes keeps the same JSON and lets no
  // text end the element, look like markup or put a control byte in the page.
  out += "<script type=\"application/json\" id=\"first-state\">";
  for (const char c : state_json) {
    switch (c) {
      case '<':
        out += "\\u003c";
        break;
      case '>':
        out += "\\u003e";
        break;
      case '&':
        out += "\\u0026";
        break;
      case '\x7f':
        out += "\\u007f";
        break;
      default:
        out += c;
    }
  }
  out += "</script>\n<script>";
  out += kScript;
  out += "</script>\n</body></html>\n";
  return out;
}

}  // namespace ftmd::station
