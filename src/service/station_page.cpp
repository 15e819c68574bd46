#include "service/station_page.h"

namespace kvx {

// One page, served as it stands: no script or style from elsewhere. It
// reads /api/v1/station once and then follows /api/v1/events; the start
// button posts /api/v1/runs, the stop button the run's stop, with the token
// typed in (kept in the browser's local storage, never in the page's
// address).
const char* const kStationPage = R"PAGE(<!doctype html>
<html>
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Korvex200</title>
<style>
body { font-family: sans-serif; margin: 1em; background: #f4f4f4; color: #222; }
header { display: flex; gap: 1.5em; align-items: baseline; flex-wrap: wrap; }
h1 { font-size: 1.3em; margin: 0; }
#sockets { display: grid; grid-template-columns: repeat(4, minmax(12em, 1fr)); gap: 0.6em; margin: 1em 0; }
.socket { background: #fff; border: 2px solid #bbb; border-radius: 6px; padding: 0.5em; min-height: 7em; }
.socket .name { font-weight: bold; }
.socket .port, .socket .unit { font-size: 0.8em; color: #555; overflow-wrap: anywhere; }
.socket .bar { height: 0.6em; background: #ddd; border-radius: 3px; margin: 0.4em 0; }
.socket .bar div { height: 100%; width: 0; background: #3a7bd5; border-radius: 3px; }
.socket.absent { opacity: 0.45; }
.socket.running { border-color: #3a7bd5; }
.socket.ok { border-color: #2e9d44; background: #e7f6ea; }
.socket.failed { border-color: #c62828; background: #fdeaea; }
.socket .result { font-size: 0.85em; }
#control { display: flex; gap: 0.5em; align-items: center; flex-wrap: wrap; }
#message { color: #c62828; }
#last { font-size: 0.85em; }
</style>
</head>
<body>
<header>
  <h1 id="title"></h1>
  <span id="station"></span>
  <span id="job"></span>
  <span id="yield"></span>
  <span id="live"></span>
</header>
<section id="sockets"></section>
<section id="control">
  <label><span id="tokenLabel"></span> <input id="token" type="password" size="30" autocomplete="off"></label>
  <select id="operation">
    <option>auto</option><option>program</option><option>verify</option><option>erase</option>
    <option>blank-check</option><option>download</option><option>read-id</option>
  </select>
  <button id="start"></button>
  <button id="stop" disabled></button>
  <span id="message"></span>
</section>
<h2 id="lastTitle"></h2>
<ol id="last" reversed></ol>
<script>
"use strict";
const zh = (navigator.languages || [navigator.language]).some(l => String(l).toLowerCase().startsWith("zh"));
const T = zh ? {
  title: "Korvex200 工作站", socket: "通道", none: "无编程器", start: "开始", stop: "停止", token: "令牌",
  today: "今日", ok: "成功", ng: "失败", last: "最近结果", live: "实时", offline: "断开",
  idle: "空闲", needToken: "开始需要令牌（工作站配置目录中的 api.token）"
} : {
  title: "Korvex200 station", socket: "Socket", none: "no unit", start: "Start", stop: "Stop", token: "Token",
  today: "Today", ok: "OK", ng: "NG", last: "Last results", live: "live", offline: "disconnected",
  idle: "idle", needToken: "starting a run needs the token (api.token in the station's configuration folder)"
};
document.documentElement.lang = zh ? "zh" : "en";
const $ = id => document.getElementById(id);
$("title").textContent = T.title;
$("start").textContent = T.start;
$("stop").textContent = T.stop;
$("tokenLabel").textContent = T.token;
$("lastTitle").textContent = T.last;
$("token").value = localStorage.getItem("korvexToken") || "";
const sockets = [];
for (let ch = 1; ch <= 8; ch++) {
  const el = document.createElement("div");
  el.className = "socket absent";
  el.id = "socket-" + ch;
  el.innerHTML = '<div class="name"></div><div class="port"></div><div class="unit"></div>' +
                 '<div class="step"></div><div class="bar"><div></div></div><div class="result"></div>';
  el.querySelector(".name").textContent = T.socket + " " + ch;
  $("sockets").appendChild(el);
  sockets[ch] = el;
}
const part = (ch, cls) => sockets[ch].querySelector("." + cls);
function state(ch, s) {
  const el = sockets[ch];
  el.classList.remove("running", "ok", "failed");
  if (s) el.classList.add(s);
}
let today = { ok: 0, ng: 0 };
// The run going on (started here or elsewhere), which the stop button ends.
let running = null;
function setRunning(id) { running = id; $("stop").disabled = running === null; }
// What the station's answers may not undo: `runNews` counts the run's
// changes seen (a start answered, a start or summary event), `socketNews` the
// events of each socket. An answer asked for before such news is older than
// it and leaves that part alone (else a late answer turned off the stop
// button of the run just started, or turned a finished socket back to running).
let runNews = 0;
const socketNews = new Array(9).fill(0);
function refresh() {
  const asked = { run: runNews, sockets: socketNews.slice() };
  fetch("/api/v1/station").then(r => r.json()).then(s => station(s, asked));
}
function showYield() { $("yield").textContent = T.today + ": " + T.ok + " " + today.ok + ", " + T.ng + " " + today.ng; }
function station(s, asked) {
  $("station").textContent = s.station + (s.chip ? " · " + s.chip : "");
  $("job").textContent = s.job && s.job.file ? s.job.file + " " + (s.job.fileChecksum || "") : "";
  if (asked.run === runNews) {
    today = { ok: s.counters.today.ok, ng: s.counters.today.ng };
    showYield();
    setRunning(s.running && s.running.run ? s.running.run : null);
  }
  for (const u of s.units) {
    const el = sockets[u.channel];
    if (!el) continue;
    el.classList.toggle("absent", !u.connected);
    part(u.channel, "port").textContent = u.port || "";
    part(u.channel, "unit").textContent = u.connected && u.unit ? u.unit.text : T.none;
    if (asked.sockets[u.channel] !== socketNews[u.channel]) continue;
    part(u.channel, "step").textContent = u.busy ? u.step : T.idle;
    if (u.busy) state(u.channel, "running");
  }
}
function onEvent(e) {
  if (sockets[e.channel]) socketNews[e.channel]++;
  if (e.event === "start") {
    // A run started elsewhere: the station's answer names it for the stop button.
    runNews++;
    refresh();
    for (const p of e.ports || []) {
      const ch = p.channel;
      if (sockets[ch]) socketNews[ch]++;
      state(ch, "running");
      part(ch, "result").textContent = "";
      part(ch, "bar").firstChild.style.width = "0";
    }
  } else if (e.event === "progress" && sockets[e.channel]) {
    state(e.channel, "running");
    part(e.channel, "step").textContent = e.step;
    part(e.channel, "bar").firstChild.style.width = e.percent + "%";
  } else if (e.event === "result" && sockets[e.channel] && e.started) {
    state(e.channel, e.ok ? "ok" : "failed");
    part(e.channel, "step").textContent = e.step;
    part(e.channel, "result").textContent = (e.ok ? T.ok : T.ng + " (" + e.reason + ")") + ": " + e.message;
    if (e.ok) part(e.channel, "bar").firstChild.style.width = "100%";
    const li = document.createElement("li");
    li.textContent = e.time + " · " + T.socket + " " + e.channel + " · " + (e.ok ? T.ok : T.ng) + " · " + e.message;
    $("last").insertBefore(li, $("last").firstChild);
    while ($("last").children.length > 20) $("last").removeChild($("last").lastChild);
  } else if (e.event === "offline" && sockets[e.channel]) {
    state(e.channel, e.ok ? "ok" : "failed");
    part(e.channel, "result").textContent = T.ok + " " + e.channelOk + ", " + T.ng + " " + e.channelNg;
  } else if (e.event === "summary") {
    runNews++;
    setRunning(null);
    refresh();
  }
}
refresh();
const events = new EventSource("/api/v1/events");
events.onopen = () => { $("live").textContent = "● " + T.live; };
events.onerror = () => { $("live").textContent = "○ " + T.offline; };
events.onmessage = m => onEvent(JSON.parse(m.data));
// Posts with the token typed in; `then` gets the answer of a success.
function control(path, body, then) {
  const token = $("token").value.trim();
  $("message").textContent = "";
  if (!token) { $("message").textContent = T.needToken; return; }
  localStorage.setItem("korvexToken", token);
  fetch(path, {
    method: "POST",
    headers: { "Content-Type": "application/json", "Authorization": "Bearer " + token },
    body: JSON.stringify(body)
  }).then(r => r.json().then(b => { if (!r.ok) $("message").textContent = b.error; else if (then) then(b); }))
    .catch(err => { $("message").textContent = String(err); });
}
$("start").onclick = () => control("/api/v1/runs", { operation: $("operation").value },
                                   b => { if (b.state === "running") { runNews++; setRunning(b.id); refresh(); } });
$("stop").onclick = () => { if (running !== null) control("/api/v1/runs/" + running + "/stop", {}); };
</script>
</body>
</html>
)PAGE";

}  // namespace kvx
