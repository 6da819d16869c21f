// The line view's page: one self-contained document (inline style and
// script, no outside resources: line PCs are offline). The markup is a fixed
// frame; the one script fills it from the server's JSON, and only ever puts
// text in through textContent, so nothing a device, a plan or the database
// holds can become markup.
#include "line/line_view.h"

namespace ftmd::line {
namespace {

constexpr char kPage[] = R"html(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Line view</title>
<style>
*{box-sizing:border-box}
[hidden]{display:none!important}
html,body{margin:0}
body{background:#10151b;color:#e8eaed;font:16px/1.3 "DejaVu Sans","Liberation Sans",sans-serif}
header{display:flex;align-items:center;gap:18px;padding:8px 18px;background:#1d252e;border-bottom:2px solid #2c3945;
 position:sticky;top:0;z-index:2;flex-wrap:wrap}
h1{font-size:22px;margin:0}
h2{font-size:15px;font-weight:normal;color:#8a99a8;text-transform:uppercase;letter-spacing:.06em;margin:0 0 6px}
#db{color:#6c7a89;font-size:13px;font-family:"DejaVu Sans Mono",monospace;max-width:28em;overflow:hidden;
 text-overflow:ellipsis;white-space:nowrap}
.periods button,.plans button{background:#2c3945;color:#cfd8e3;border:0;border-radius:6px;padding:5px 10px;
 font:inherit;font-size:14px;cursor:pointer;margin-right:3px}
.periods button.on,.plans button.on{background:#4dabff;color:#0b0f13}
#search{display:flex;gap:4px;margin-left:auto}
#search input{background:#0b0f13;color:#e8eaed;border:1px solid #3a4652;border-radius:6px;padding:5px 8px;
 font:14px "DejaVu Sans Mono",monospace;width:17em}
#search button{background:#2c3945;color:#e8eaed;border:0;border-radius:6px;padding:5px 10px;font:inherit;cursor:pointer}
#link{font-size:14px;color:#6c7a89}
body[data-live="1"] #link{color:#6bd38a}
body[data-live="1"] #link::after{content:" live"}
body[data-live="0"] #link{color:#ff7b7b}
body[data-live="0"] #link::after{content:" connection lost"}
#problem{background:#4d1518;color:#ffd0d0;padding:6px 18px}
main{padding:12px 18px;display:flex;flex-direction:column;gap:14px}
#stations{display:flex;flex-wrap:wrap;gap:12px}
.station{background:#1d252e;border-radius:10px;padding:10px 12px;border-top:4px solid #34c759;min-width:18em;flex:0 1 auto}
.station.silent{border-top-color:#ff9f0a;opacity:.75}
.st-head{display:flex;gap:10px;align-items:baseline;margin-bottom:8px}
.st-name{font-size:20px;font-weight:bold}
.st-host{color:#8a99a8;font-size:13px}
.st-heard{margin-left:auto;font-size:13px;color:#8a99a8}
.silent .st-heard{color:#ff9f0a;font-weight:bold}
.st-outbox{background:#ff9f0a;color:#111;border-radius:5px;padding:0 6px;font-size:13px;font-weight:bold}
.slots{display:flex;flex-wrap:wrap;gap:8px}
.slot{width:15.5em;border-radius:8px;padding:7px 9px;background:#2c3945;border-left:7px solid #6c7a89}
.slot .sl-head{display:flex;justify-content:space-between;font-size:13px;color:#9fb3c8}
.slot .sl-port{font-family:"DejaVu Sans Mono",monospace;overflow:hidden;text-overflow:ellipsis;white-space:nowrap;max-width:10em}
.slot .sl-sn{font:bold 21px/1.2 "DejaVu Sans Mono",monospace;overflow-wrap:anywhere}
.slot .sl-step{font-size:14px;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.slot .sl-verdict{font-weight:bold;text-transform:uppercase;font-size:14px;letter-spacing:.05em}
.slot .bar{height:8px;background:#10151b;border-radius:4px;overflow:hidden;margin:4px 0}
.slot .fill{height:100%;background:#4dabff}
.slot .sl-prompt{background:#ffd60a;color:#111;border-radius:6px;padding:4px 6px;margin-top:5px;font-weight:bold;
 overflow-wrap:anywhere}
.v-running{border-left-color:#4dabff;background:#163252}
.v-passed{border-left-color:#34c759;background:#143823}
.v-failed{border-left-color:#ff453a;background:#4d1518}
.v-aborted{border-left-color:#bf5af2;background:#33203d}
.v-waiting-for-fixture,.v-waiting-for-operator{border-left-color:#ffd60a;background:#3d3510}
.panels{display:grid;grid-template-columns:repeat(auto-fit,minmax(27em,1fr));gap:14px}
.panel{background:#1d252e;border-radius:10px;padding:10px 14px;min-width:0}
.panel.wide{grid-column:1/-1}
.big{display:flex;gap:24px;margin-bottom:8px}
.big div{font-size:13px;color:#8a99a8}
.big b{display:block;font-size:32px;color:#e8eaed;white-space:nowrap}
table{width:100%;border-collapse:collapse;font-size:14px;table-layout:fixed}
th{text-align:left;font-weight:normal;color:#8a99a8;font-size:12px;text-transform:uppercase;padding:2px 4px;
 vertical-align:bottom;overflow:hidden;text-overflow:ellipsis}
td{padding:2px 4px;border-top:1px solid #2c3945;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
td.n,th.n{text-align:right;width:4.4em;font-variant-numeric:tabular-nums}
td.p,th.p{width:5.6em}
th.n{font-size:10.5px;letter-spacing:0}
.sub{margin-top:8px}
.pareto .row{display:grid;grid-template-columns:minmax(0,1fr) 3.5em 3.5em;gap:6px;align-items:center;cursor:pointer;
 padding:2px 0}
.pareto .row:hover{background:#2c3945}
.pareto .label{white-space:nowrap;overflow:hidden;text-overflow:ellipsis;position:relative}
.pareto .label span{position:relative}
.pareto .barbg{position:absolute;left:0;top:0;bottom:0;background:#5a1e22;border-radius:3px}
.pareto .n{text-align:right;font-variant-numeric:tabular-nums}
.pareto .cum{color:#8a99a8;text-align:right;font-size:13px}
.mono{font-family:"DejaVu Sans Mono",monospace}
.pool{margin:6px 0}
.pool .pbar{height:14px;background:#10151b;border-radius:7px;overflow:hidden;display:flex}
.pool .assigned{background:#4dabff}.pool .void{background:#6c7a89}
.pool.low .pbar{outline:2px solid #ff9f0a}
.warn{color:#ff9f0a;font-weight:bold}
tr.outside td:last-child{color:#ff9d9d;font-weight:bold}
#detail{position:fixed;top:0;right:0;bottom:0;width:min(56em,100%);background:#161d24;border-left:2px solid #3a4652;
 z-index:3;display:flex;flex-direction:column}
#detail-head{display:flex;align-items:center;gap:10px;padding:10px 14px;background:#1d252e}
#detail-title{font-size:18px;font-weight:bold;flex:1;overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
#detail-head button{background:#2c3945;color:#e8eaed;border:0;border-radius:6px;padding:5px 12px;font:inherit;cursor:pointer}
#detail-body{overflow:auto;padding:10px 14px;flex:1}
#detail-body tr.link{cursor:pointer}
#detail-body tr.link:hover td{background:#2c3945}
pre{background:#0b0f13;border-radius:6px;padding:8px 10px;font:13px/1.35 "DejaVu Sans Mono",monospace;
 white-space:pre-wrap;overflow-wrap:anywhere;margin:6px 0}
.verdict-passed{color:#6bd38a}.verdict-failed{color:#ff7b7b}.verdict-aborted{color:#d89cf6}
.empty{color:#6c7a89;font-style:italic}
</style></head>
<body data-live="" data-version="0">
<header><h1>Line view</h1><span id="db"></span>
<span class="periods" id="periods"><button data-period="shift">Shift</button><button data-period="last-shift">Last shift</button><button data-period="today">Today</button><button data-period="24h">24 h</button><button data-period="7d">7 days</button></span>
<span class="plans" id="plans"></span>
<form id="search"><input id="search-key" placeholder="serial number, hardware id or MAC" autocomplete="off"><button>Find</button></form>
<span id="link">&#9679;</span></header>
<div id="problem" hidden></div>
<main>
<section><h2>Stations</h2><div id="stations"><span class="empty">no station has published yet</span></div></section>
<div class="panels">
<section class="panel" id="yield"><h2>Yield <span id="period-text"></span></h2>
<div class="big"><div>first-pass yield<b id="fpy">&ndash;</b></div><div>final yield<b id="final">&ndash;</b></div>
<div>units<b id="units">0</b></div><div>retests<b id="retests">0</b></div><div>aborted<b id="aborted">0</b></div></div>
<div id="yield-tables"></div></section>
<section class="panel pareto"><h2>Failures by step</h2><div id="pareto-steps"></div>
<h2 class="sub">Failures by reply</h2><div id="pareto-replies"></div></section>
<section class="panel"><h2>Pools</h2><div id="pools"></div><h2 class="sub">Records waiting in station outboxes</h2>
<div id="outboxes"></div></section>
<section class="panel wide"><h2>Measurements</h2><div id="measurements"></div></section>
</div></main>
<aside id="detail" hidden><div id="detail-head"><button id="detail-back" hidden>&larr;</button><span id="detail-title"></span>
<button id="detail-close">Close</button></div><div id="detail-body"></div></aside>
<script>
(function () {
  'use strict';
  var RETRY_MS = 1000, SUMMARY_MS = 10000, TICK_MS = 500;
  var body = document.body;
  var version = 0, live = null, liveAt = 0;
  var period = 'shift', plan = '';
  var trail = [];  // how to show each page of the detail panel again, the one shown last

  function $(id) { return document.getElementById(id); }
  // Control bytes as \xNN, one trailing line end dropped (replies end in one).
  function shown(s) {
    return String(s == null ? '' : s).replace(/\r?\n$/, '').replace(/[\x00-\x08\x0b-\x1f\x7f]/g, function (c) {
      return '\\x' + ('0' + c.charCodeAt(0).toString(16)).slice(-2);
    });
  }
  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text != null) e.textContent = text;
    return e;
  }
  function add(parent, tag, cls, text) { var e = el(tag, cls, text); parent.appendChild(e); return e; }
  function fill(parent, child) { parent.textContent = ''; if (child) parent.appendChild(child); }
  function pct(n, d) { return d > 0 ? (100 * n / d).toFixed(1) + '%' : '\u2013'; }
  function secs(ms) { return (ms / 1000).toFixed(ms < 10000 ? 1 : 0) + ' s'; }
  function num(x) { return x == null ? '' : String(Math.round(x * 1000) / 1000); }
  function query(params) {
    return Object.keys(params).filter(function (k) { return params[k] !== ''; }).map(function (k) {
      return k + '=' + encodeURIComponent(params[k]);
    }).join('&');
  }
  function get(path, params) {
    return fetch(path + '?' + query(params || {}), {cache: 'no-store'}).then(function (r) {
      return r.json().then(function (j) {
        if (!r.ok) throw new Error(j.error || 'HTTP ' + r.status);
        return j;
      });
    });
  }
  function problem(text) { $('problem').textContent = text || ''; $('problem').hidden = !text; }
  // `classes`: each column's class ('n' a number, 'n p' a share, '' text).
  function table(heads, rows, classes) {
    var t = el('table'), tr = add(add(t, 'thead'), 'tr'), tb = add(t, 'tbody');
    heads.forEach(function (h, i) { add(tr, 'th', classes[i], h); });
    rows.forEach(function (r) {
      var row = add(tb, 'tr');
      r.cells.forEach(function (c, i) { add(row, 'td', classes[i], c).title = c; });
      if (r.cls) row.className = r.cls;
      if (r.click) { row.className += ' link'; row.addEventListener('click', r.click); }
    });
    return t;
  }

  // ---- stations, live ----
  function slotTile(s) {
    var tile = el('div', 'slot v-' + s.verdict), head = add(tile, 'div', 'sl-head');
    tile.setAttribute('data-slot', s.name);
    tile.setAttribute('data-verdict', s.verdict);
    add(head, 'span', '', shown(s.name));
    add(head, 'span', 'sl-port', shown(s.port)).title = shown(s.port);
    add(tile, 'div', 'sl-sn', s.sn ? shown(s.sn) : (s.hwid ? shown(s.hwid) : '\u2014'));
    add(tile, 'div', 'sl-verdict', s.verdict.replace(/-/g, ' '));
    var step = s.step_index > 0 ? s.step_index + '/' + s.step_count + ' ' + shown(s.step) : shown(s.plan);
    add(tile, 'div', 'sl-step', step).title = step;
    if (s.verdict === 'running' && s.timeout_ms > 0) {
      var bar = add(tile, 'div', 'bar');
      add(bar, 'div', 'fill').style.width = Math.min(100, 100 * s.elapsed_ms / s.timeout_ms) + '%';
      add(tile, 'div', 'sl-step', secs(s.elapsed_ms) + ' / ' + secs(s.timeout_ms));
    }
    if (s.prompt) add(tile, 'div', 'sl-prompt', shown(s.prompt));
    return tile;
  }
  function heard(st) { return st.age_ms + (Date.now() - liveAt); }
  function renderLive(s) {
    live = s; liveAt = Date.now();
    $('db').textContent = shown(s.database);
    $('db').title = shown(s.database);
    var box = el('div');
    box.id = 'stations';
    if (!s.stations.length) add(box, 'span', 'empty', 'no station has published yet');
    s.stations.forEach(function (st) {
      var card = add(box, 'div', 'station' + (st.silent ? ' silent' : '')), head = add(card, 'div', 'st-head');
      card.setAttribute('data-station', st.name);
      card.setAttribute('data-silent', st.silent ? '1' : '0');
      add(head, 'span', 'st-name', shown(st.name));
      add(head, 'span', 'st-host', shown(st.host));
      if (st.outbox_waiting > 0) add(head, 'span', 'st-outbox', st.outbox_waiting + ' waiting');
      add(head, 'span', 'st-heard');
      var slots = add(card, 'div', 'slots');
      st.slots.forEach(function (slot) { slots.appendChild(slotTile(slot)); });
    });
    $('stations').parentNode.replaceChild(box, $('stations'));
    tick();
    renderOutboxes();
    problem(s.error);
    body.setAttribute('data-version', String(s.version));
  }
  function tick() {
    if (!live) return;
    var cards = $('stations').querySelectorAll('.station');
    live.stations.forEach(function (st, i) {
      var ms = heard(st), text = st.silent ? 'silent for ' + secs(ms) : 'heard ' + secs(ms) + ' ago';
      if (cards[i]) cards[i].querySelector('.st-heard').textContent = text;
    });
  }
  function follow(first) {
    get('/api/live', first ? {} : {since: version}).then(function (s) {
      if (first || s.version !== version) renderLive(s);
      version = s.version;
      body.setAttribute('data-live', '1');
      follow(false);
    }).catch(function () {
      body.setAttribute('data-live', '0');
      setTimeout(function () { follow(true); }, RETRY_MS);
    });
  }

  // ---- the period's statistics ----
  function yieldRows(groups) {
    return groups.map(function (g) {
      var c = g.counts;
      return {cells: [shown(g.name), String(c.units), pct(c.first_pass, c.units), pct(c.final_pass, c.units),
                      String(c.retests), String(c.aborted)]};
    });
  }
  function renderYield(y) {
    var t = y.total;
    $('fpy').textContent = pct(t.first_pass, t.units);
    $('final').textContent = pct(t.final_pass, t.units);
    $('units').textContent = t.units;
    $('retests').textContent = t.retests;
    $('aborted').textContent = t.aborted;
    var box = el('div'), numeric = ['', 'n', 'n p', 'n p', 'n', 'n'];
    [['plan', y.plans], ['station', y.stations], ['shift', y.shifts], ['hour', y.hours]].forEach(function (p) {
      if (!p[1].length) return;
      add(box, 'div', 'sub').appendChild(
        table([p[0], 'units', 'first pass', 'final', 'retests', 'aborted'], yieldRows(p[1]), numeric));
    });
    if (!t.units && !t.aborted) add(box, 'div', 'empty', 'no runs in this period');
    fill($('yield-tables'), box);
  }
  function paretoRows(target, rows, total, labelOf, open) {
    var box = el('div'), sum = 0, top = rows.length ? rows[0].runs : 1;
    rows.forEach(function (r) {
      sum += r.runs;
      var row = add(box, 'div', 'row'), label = add(row, 'div', 'label');
      add(label, 'div', 'barbg').style.width = (100 * r.runs / top) + '%';
      var text = labelOf(r);
      add(label, 'span', '', text);
      label.title = text;
      add(row, 'div', 'n', String(r.runs));
      add(row, 'div', 'cum', pct(sum, total));
      row.addEventListener('click', function () { open(r); });
    });
    if (!rows.length) add(box, 'div', 'empty', 'no failed runs');
    fill(target, box);
  }
  function stepName(step) { return step ? shown(step) : '(no failed step)'; }
  function renderPareto(p) {
    paretoRows($('pareto-steps'), p.steps, p.failed, function (r) { return stepName(r.step); },
               function (r) { openFailures(r.step, null); });
    paretoRows($('pareto-replies'), p.replies, p.failed, function (r) {
      return stepName(r.step) + ': ' + (shown(r.reply) || '(empty reply)');
    }, function (r) { openFailures(r.step, r.reply); });
  }
  function renderPools(pools) {
    var box = el('div');
    pools.levels.forEach(function (l) {
      var row = add(box, 'div', 'pool' + (l.low ? ' low' : ''));
      add(row, 'div', '', l.pool + ': ' + l.left + ' left of ' + l.imported + (l.pool === 'mac' ? ' pairs' : '') +
          ' (' + l.assigned + ' assigned, ' + l.void + ' void)');
      var bar = add(row, 'div', 'pbar');
      if (l.imported > 0) {
        add(bar, 'div', 'assigned').style.width = (100 * l.assigned / l.imported) + '%';
        add(bar, 'div', 'void').style.width = (100 * l.void / l.imported) + '%';
      }
      if (l.low) add(row, 'div', 'warn', 'below the low-water mark of ' + pools.low + ': import more');
    });
    fill($('pools'), box);
  }
  function renderOutboxes() {
    if (!live) return;
    var total = 0, rows = [];
    live.stations.forEach(function (st) {
      total += st.outbox_waiting;
      if (st.outbox_waiting > 0) rows.push({cells: [shown(st.name), String(st.outbox_waiting)]});
    });
    var box = el('div');
    add(box, 'div', total ? 'warn' : '', total ? total + ' record' + (total === 1 ? '' : 's') + ' waiting'
                                               : 'none: every station\u2019s records are in the database');
    if (rows.length) box.appendChild(table(['station', 'waiting'], rows, ['', 'n']));
    fill($('outboxes'), box);
  }
  function renderMeasurements(ms) {
    if (!ms.length) { fill($('measurements'), el('div', 'empty', 'no measurements in this period')); return; }
    fill($('measurements'), table(
      ['plan', 'name', 'limits', 'count', 'mean', 'min', 'max', 'outside'],
      ms.map(function (m) {
        var limits = (m.low == null ? '' : num(m.low)) + ' \u2026 ' + (m.high == null ? '' : num(m.high)) + ' ' + shown(m.unit);
        return {cells: [shown(m.plan), shown(m.name), limits, String(m.count), num(m.mean), num(m.min), num(m.max),
                        pct(m.outside, m.count)], cls: m.outside > 0 ? 'outside' : ''};
      }), ['', '', '', 'n', 'n p', 'n p', 'n p', 'n p']));
  }
  function renderPlans(plans) {
    var box = el('span', 'plans');
    box.id = 'plans';
    [''].concat(plans).forEach(function (p) {
      var b = add(box, 'button', p === plan ? 'on' : '', p ? shown(p) : 'All plans');
      b.addEventListener('click', function () { plan = p; refresh(); });
    });
    $('plans').parentNode.replaceChild(box, $('plans'));
  }
  function renderSummary(s) {
    $('period-text').textContent = '\u00b7 ' + s.period.text;
    [].forEach.call($('periods').children, function (b) {
      b.className = b.getAttribute('data-period') === period ? 'on' : '';
    });
    renderPlans(s.plans);
    renderYield(s.yield);
    renderPareto(s.pareto);
    renderPools(s.pools);
    renderMeasurements(s.measurements);
    body.setAttribute('data-summary', String(Number(body.getAttribute('data-summary') || 0) + 1));
  }
  function refresh() {
    get('/api/summary', {period: period, plan: plan}).then(renderSummary).catch(function (e) { problem(e.message); });
  }

  // ---- details: failures, units, records ----
  function openDetail(title, content, again, first) {
    if (first) trail = [];
    trail.push(again);
    $('detail-title').textContent = title;
    fill($('detail-body'), content);
    $('detail').hidden = false;
    $('detail-back').hidden = trail.length < 2;
  }
  function runRows(runs) {
    return runs.map(function (r) {
      return {cells: [r.started_at.replace('T', ' ').replace(/\.\d+Z$/, 'Z'), shown(r.sn || r.hwid), shown(r.station),
                      r.verdict, String(r.attempt), shown(r.failed_reply)],
              click: function () { openRun(r.run_id); }};
    });
  }
  var RUN_HEADS = ['started (UTC)', 'unit', 'station', 'verdict', 'try', 'reply'];
  var RUN_NUMERIC = ['', '', '', '', 'n', ''];
  function openFailures(step, reply) {
    var params = {period: period, plan: plan, step: step};
    if (reply !== null) params.reply = reply;
    get('/api/failures', params).then(function (s) {
      var box = el('div');
      add(box, 'div', '', s.runs.length + ' failed run' + (s.runs.length === 1 ? '' : 's') + ' (newest first)');
      box.appendChild(table(RUN_HEADS, runRows(s.runs), RUN_NUMERIC));
      var title = stepName(step) + (reply !== null ? ': ' + shown(reply) : '');
      openDetail(title, box, function () { openFailures(step, reply); }, true);
    }).catch(function (e) { problem(e.message); });
  }
  function openRun(id) {
    get('/api/run', {id: id}).then(function (s) {
      var box = el('div'), r = s.run;
      add(box, 'div', 'verdict-' + r.verdict, r.verdict.toUpperCase() + ' \u00b7 ' + shown(r.plan_name) + ' \u00b7 try ' + r.attempt);
      box.appendChild(table(['', ''], [
        {cells: ['hardware id', shown(r.hwid)]}, {cells: ['serial number', shown(r.sn)]},
        {cells: ['customer sn', shown(r.csn)]}, {cells: ['MACs', shown(r.lan4_mac) + ' ' + shown(r.lan3_mac)]},
        {cells: ['station', shown(r.station) + ' \u00b7 ' + shown(r.operator)]},
        {cells: ['started', r.started_at]}, {cells: ['ended', r.ended_at]},
        {cells: ['failure', r.failed_step ? shown(r.failed_step) + ': ' + shown(r.failed_reply) : '']}], ['', '']));
      add(box, 'pre', 'mono record', JSON.stringify(s.record, null, 2));
      var unitLink = add(box, 'button', '', 'every run of this unit');
      unitLink.addEventListener('click', function () { openUnit(r.hwid, false); });
      openDetail('run ' + shown(r.run_id), box, function () { openRun(id); }, false);
    }).catch(function (e) { problem(e.message); });
  }
  function openUnit(key, first) {
    get('/api/unit', {key: key}).then(function (s) {
      var box = el('div');
      if (!s.units.length) {
        add(box, 'div', 'empty', 'no unit has ' + shown(key));
        s.values.forEach(function (v) { add(box, 'div', '', v.pool + ' ' + shown(v.value) + ' is ' + v.state + ' in its pool'); });
      }
      s.units.forEach(function (u) {
        var id = u.identity;
        add(box, 'h2', 'sub', 'unit ' + shown(id.hwid));
        box.appendChild(table(['', ''], [
          {cells: ['serial number', shown(id.sn)]}, {cells: ['customer sn', shown(id.csn)]},
          {cells: ['MACs', shown(id.lan4_mac) + ' ' + shown(id.lan3_mac)]}, {cells: ['state', u.state]},
          {cells: ['assigned', u.assigned_at + ' by ' + shown(u.assigned_station) + ' \u00b7 ' + shown(u.assigned_operator)]},
          {cells: ['provisioned', u.provisioned_at]}, {cells: ['void', u.voided_at ? u.voided_at + ': ' + shown(u.void_reason) : '']}
        ], ['', '']));
        var runs = u.runs.map(function (r) {
          return {cells: [r.started_at.replace('T', ' ').replace(/\.\d+Z$/, 'Z'), shown(r.plan_name), shown(r.station), r.verdict],
                  cls: 'verdict-' + r.verdict, click: function () { openRun(r.run_id); }};
        });
        add(box, 'div', 'sub', u.runs.length + ' run' + (u.runs.length === 1 ? '' : 's'));
        box.appendChild(table(['started (UTC)', 'plan', 'station', 'verdict'], runs, ['', '', '', '']));
      });
      openDetail('unit ' + shown(key), box, function () { openUnit(key, first); }, first);
    }).catch(function (e) { problem(e.message); });
  }

  $('periods').addEventListener('click', function (e) {
    var p = e.target.getAttribute('data-period');
    if (p) { period = p; refresh(); }
  });
  $('search').addEventListener('submit', function (e) {
    e.preventDefault();
    var key = $('search-key').value.trim();
    if (key) openUnit(key, true);
  });
  $('detail-close').addEventListener('click', function () { $('detail').hidden = true; trail = []; });
  $('detail-back').addEventListener('click', function () {
    trail.pop();
    var back = trail.pop();
    if (back) back();
  });
  setInterval(tick, TICK_MS);
  setInterval(refresh, SUMMARY_MS);
  follow(true);
  refresh();
})();
</script>
</body></html>
)html";

}  // namespace

std::string_view line_view_page() { return kPage; }

}  // namespace ftmd::line
