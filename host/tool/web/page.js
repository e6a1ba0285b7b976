"use strict";
// The page of kav-host serve: it reads and sets the host's session, calls the plugin's
// endpoints and follows everything the server publishes over the WebSocket.
const PLUGIN = "/kav-pre-end-of-game/v1";
const SESSION = "/kav-gameflow/v1/session";
const CURRENT_KEY = "OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent";
const SESSION_KEY = "OnJsonApiEvent_kav-gameflow_v1_session";
const COMPLETION = "/kav-gameflow/v1/session/event";
const MAX_ITEMS = 300;
const REPLAY = 100;  // items the server replays to a page that connects

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

function showPhase(newPhase) {
  phase = newPhase ?? null;
  showQueue();
  $("phase").textContent = phase ?? "no session";
  for (const button of document.querySelectorAll("[data-phase]")) {
    button.classList.toggle("active", button.dataset.phase === phase);
  }
}

// The registrations this page made, by priority, kept by the plugin's rules: one event
// per priority (a second is dropped), deregistration takes the lowest priority of a name
// unless that event is current, completing removes nothing. The plugin has no way to list
// them, so registrations of other clients are not here.
const queue = new Map();
let currentPriority = null;
let phase = null;

function showQueue() {
  const list = $("queue");
  list.replaceChildren(...[...queue.entries()].sort((a, b) => a[0] - b[0]).map(([priority, name]) => {
    const li = document.createElement("li");
    li.textContent = `${name} (priority ${priority})`;
    li.dataset.priority = priority;
    if (phase === "PreEndOfGame" && priority === currentPriority) li.className = "current";
    return li;
  }));
}

function showCurrent(event) {
  $("current").textContent = event && event.name ? `${event.name} (priority ${event.priority})` : "none";
  currentPriority = event && event.name ? event.priority : null;
  showQueue();
}

function note(text) {
  $("reply").textContent += ` (${text})`;
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
  if ([...$("events").children].some((li) => li.value === item.seq)) return;  // replayed after a reconnection
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
  // The recent past first (a page opened late), then everything live; refresh() after the
  // acknowledgement reads the state as it is now.
  socket.onopen = () => socket.send(JSON.stringify({ subscribe: ["*"], replay: REPLAY }));
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

$("event-form").addEventListener("submit", async (e) => {
  e.preventDefault();
  const text = $("priority").value.trim();
  const priority = Number(text);
  if (!/^-?[0-9]+$/.test(text) || priority < -2147483648 || priority > 2147483647) {
    const reply = $("reply");
    reply.textContent = "Not sent: the priority is a whole number from -2147483648 to 2147483647";
    reply.className = "reply error";
    return;
  }
  const name = $("name").value.trim();
  const { status } = await call("POST", `${PLUGIN}/registration/${eventName()}/${priority}`);
  if (status < 200 || status >= 300) return;
  if (queue.has(priority)) {
    note(`the plugin drops it: priority ${priority} is taken by ${queue.get(priority)}`);
  } else {
    queue.set(priority, name);
    showQueue();
  }
});
$("deregister").addEventListener("click", async () => {
  const name = $("name").value.trim();
  const { status } = await call("DELETE", `${PLUGIN}/registration/${eventName()}`);
  if (status < 200 || status >= 300) return;
  const match = [...queue.entries()].sort((a, b) => a[0] - b[0]).find(([, n]) => n === name);
  if (!match) return note("no such registration from this page");
  if (phase === "PreEndOfGame" && match[0] === currentPriority) return note("it is its turn: the plugin keeps it");
  queue.delete(match[0]);
  showQueue();
});
$("complete").addEventListener("click", () => call("POST", `${PLUGIN}/complete/${eventName()}`));
for (const button of document.querySelectorAll("[data-phase]")) {
  button.addEventListener("click", () => call("PUT", SESSION, { phase: button.dataset.phase }));
}
$("delete-session").addEventListener("click", () => call("DELETE", SESSION));

connect();
