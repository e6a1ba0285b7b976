"use strict";
// The page of kav-host serve: it reads and sets the host's session, calls the plugin's
// endpoints and follows everything the server publishes over the WebSocket.
const PLUGIN = "/kav-pre-end-of-game/v1";
const SESSION = "/kav-gameflow/v1/session";
const CURRENT_KEY = "OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent";
const SESSION_KEY = "OnJsonApiEvent_kav-gameflow_v1_session";
const COMPLETION = "/kav-gameflow/v1/session/event";
const MAX_ITEMS = 300;

const $ = (id) => document.getElementById(id);

async function call(method, path, body) {
  const init = { method, headers: {} };
  if (body !== undefined) {
    init.body = JSON.stringify(body);
    init.headers["Content-Type"] = "application/json";
  }
  let status = 0, text = "";
  try {
    const response = await fetch(path, init);
    status = response.status;
    text = await response.text();
  } catch (error) {
    text = String(error);
  }
  const reply = $("reply");
  reply.textContent = `${method} ${path} → ${status || "no answer"}${text ? " " + text : ""}`;
  reply.className = "reply " + (status >= 200 && status < 300 ? "ok" : "error");
  let json = null;
  try { json = text ? JSON.parse(text) : null; } catch (_) { /* not JSON */ }
  return { status, json };
}

function showPhase(phase) {
  $("phase").textContent = phase ?? "no session";
  for (const button of document.querySelectorAll("[data-phase]")) {
    button.classList.toggle("active", button.dataset.phase === phase);
  }
}

function showCurrent(event) {
  $("current").textContent = event && event.name ? `${event.name} (priority ${event.priority})` : "none";
}

async function refresh() {
  const session = await fetch(SESSION).then((r) => (r.ok ? r.json() : null)).catch(() => null);
  showPhase(session ? session.phase : null);
  // The sequencer's own panel; the explorer (explorer.js) names the plugin.
  if ((await window.kavPluginName) !== "kav-pre-end-of-game") return;
  const current = await fetch(`${PLUGIN}/currentSequenceEvent`).then((r) => r.json()).catch(() => null);
  showCurrent(current);
}

function addItem(item) {
  const li = document.createElement("li");
  li.className = item.source;
  li.value = item.seq;
  const source = document.createElement("span");
  source.className = "source";
  source.textContent = item.source;
  const payload = document.createElement("span");
  payload.className = "payload";
  payload.textContent = " " + JSON.stringify(item.payload);
  li.append(source, " " + item.key, payload);
  const list = $("events");
  list.prepend(li);
  while (list.children.length > MAX_ITEMS) list.lastElementChild.remove();
}

function onItem(item) {
  addItem(item);
  const payload = item.payload || {};
  if (item.key === CURRENT_KEY) showCurrent(payload.data);
  if (item.key === SESSION_KEY) {
    showPhase(payload.eventType === "Delete" ? null : payload.data && payload.data.phase);
    if (payload.data && payload.data.phase === "PreEndOfGame") $("completed").hidden = true;
  }
  if (item.source === "request" && item.key === COMPLETION) $("completed").hidden = false;
}

function connect() {
  const link = $("link");
  const socket = new WebSocket(`ws://${location.host}/ws`);
  socket.onopen = () => socket.send(JSON.stringify({ subscribe: ["*"] }));
  socket.onmessage = (message) => {
    const item = JSON.parse(message.data);
    if (item.subscribed) {
      link.textContent = "live";
      link.className = "link live";
      refresh();
    } else if (item.key !== undefined) {
      onItem(item);
    }
  };
  socket.onclose = () => {
    link.textContent = "disconnected, retrying…";
    link.className = "link";
    setTimeout(connect, 1000);
  };
}

function eventName() {
  return encodeURIComponent($("name").value.trim());
}

$("event-form").addEventListener("submit", (e) => {
  e.preventDefault();
  const priority = Number.parseInt($("priority").value, 10) || 0;
  call("POST", `${PLUGIN}/registration/${eventName()}/${priority}`);
});
$("deregister").addEventListener("click", () => call("DELETE", `${PLUGIN}/registration/${eventName()}`));
$("complete").addEventListener("click", () => call("POST", `${PLUGIN}/complete/${eventName()}`));
for (const button of document.querySelectorAll("[data-phase]")) {
  button.addEventListener("click", () => call("PUT", SESSION, { phase: button.dataset.phase }));
}
$("delete-session").addEventListener("click", () => call("DELETE", SESSION));

connect();
