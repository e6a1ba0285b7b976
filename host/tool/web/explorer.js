"use strict";
// The explorer of kav-host serve's page, for any plugin: built from the API description
// the plugin handed the host (GET /kav-host/api). Each function gets a form for its
// parameters and shows its reply; each event the plugin declares shows its latest
// payload, live. The sequencer's own panels are shown only for the sequencer.
(() => {
  const SEQUENCER = "kav-pre-end-of-game";
  const VERBS = ["GET", "POST", "PUT", "PATCH", "DELETE", "HEAD", "OPTIONS"];
  const $ = (id) => document.getElementById(id);

  function element(tag, properties = {}, ...children) {
    const node = Object.assign(document.createElement(tag), properties);
    node.append(...children);
    return node;
  }

  function typeText(type) {
    if (type.typeName) return type.typeName;
    return type.elementKind && type.elementKind !== "none" ? `${type.kind} of ${type.elementKind}` : type.kind;
  }

  // An input for one parameter: the enumerators of an enum, true/false, or text (JSON for
  // a body that is not an enum).
  function inputFor(parameter, enums) {
    const id = `p-${Math.random().toString(36).slice(2)}`;
    let input;
    const enumerators = enums.get(parameter.typeName);
    if (enumerators) {
      input = element("select", { id });
      for (const e of enumerators) input.append(element("option", { value: e.name, textContent: e.name }));
    } else if (parameter.kind === "bool") {
      input = element("select", { id });
      for (const v of ["true", "false"]) input.append(element("option", { value: v, textContent: v }));
    } else if (parameter.location === "body") {
      input = element("textarea", { id, rows: 2, placeholder: "JSON" });
    } else {
      input = element("input", { id, placeholder: typeText(parameter) });
    }
    input.dataset.parameter = parameter.name;
    const label = element("label", { htmlFor: id }, `${parameter.name} `,
      element("small", { textContent: `${typeText(parameter)}, ${parameter.location}` }));
    return { label, input, parameter, isEnum: Boolean(enumerators) };
  }

  // The request for a function from its inputs: path parameters fill the template, header
  // parameters become headers, the body parameter the body, every other one the query.
  function requestOf(fn, fields) {
    let path = fn.path;
    const query = new URLSearchParams();
    const headers = {};
    let body;
    for (const { input, parameter, isEnum } of fields) {
      const value = input.value;
      const name = parameter.name;
      const inTemplate = new RegExp(`\\{([+#]?)${name.replace(/[.*+?^${}()|[\]\\]/g, "\\$&")}\\}`);
      const match = path.match(inTemplate);
      if (match) {
        path = path.replace(inTemplate, match[1] ? encodeURI(value) : encodeURIComponent(value));
      } else if (parameter.location === "header") {
        headers[name] = value;
      } else if (parameter.location === "body") {
        body = isEnum ? JSON.stringify(value) : value;
        headers["Content-Type"] = "application/json";
      } else if (value !== "") {
        query.set(name, value);
      }
    }
    const search = query.toString();
    const method = VERBS.includes(fn.method) ? fn.method : "POST";
    return { method, url: path + (search ? `?${search}` : ""), headers, body };
  }

  function functionCard(fn, enums) {
    const fields = fn.parameters.map((parameter) => inputFor(parameter, enums));
    const reply = element("pre", { className: "reply" });
    const form = element("form", { autocomplete: "off" });
    for (const { label, input } of fields) form.append(element("div", { className: "field" }, label, input));
    form.append(element("button", { type: "submit", textContent: "Call" }));
    form.addEventListener("submit", async (e) => {
      e.preventDefault();
      const request = requestOf(fn, fields);
      let status = 0, text = "";
      try {
        const response = await fetch(request.url, { method: request.method, headers: request.headers, body: request.body });
        status = response.status;
        text = await response.text();
      } catch (error) {
        text = String(error);
      }
      reply.textContent = `${request.method} ${request.url} → ${status || "no answer"}${text ? "\n" + text : ""}`;
      reply.className = "reply " + (status >= 200 && status < 300 ? "ok" : "error");
    });
    const card = element("article", { className: "function" },
      element("h3", {}, element("span", { className: "method", textContent: fn.method || "ANY" }), ` ${fn.path}`),
      element("p", { className: "note", textContent: `${fn.name} → ${typeText(fn.result)}` }), form, reply);
    if (fn.description) card.insertBefore(element("p", { textContent: fn.description }), form);
    card.dataset.function = fn.name;
    return card;
  }

  function eventItem(event) {
    const latest = element("pre", { className: "payload", textContent: "not sent yet" });
    const item = element("li", {}, element("strong", { textContent: event.name }),
      ` ${event.payload || event.payloadTypeName}${event.description ? " · " + event.description : ""}`, latest);
    item.dataset.event = event.name;
    return { item, latest };
  }

  function follow(latestByKey) {
    const socket = new WebSocket(`ws://${location.host}/ws`);
    socket.onopen = () => socket.send(JSON.stringify({ subscribe: [...latestByKey.keys()] }));
    socket.onmessage = (message) => {
      const item = JSON.parse(message.data);
      const latest = latestByKey.get(item.key);
      if (latest && item.source === "plugin") latest.textContent = JSON.stringify(item.payload);
    };
    socket.onclose = () => setTimeout(() => follow(latestByKey), 1000);
  }

  const description = fetch("/kav-host/api").then((r) => r.json());
  // The plugin's name, for page.js.
  window.kavPluginName = description.then((api) => api.plugin.name, () => "");

  async function build() {
    let api;
    try {
      api = await description;
    } catch (error) {
      $("functions").textContent = `The API description could not be read: ${error}`;
      return;
    }
    const name = api.plugin.name || "plugin";
    $("plugin-name").textContent = name;
    document.title = `${name} · kav-host serve`;
    for (const panel of document.querySelectorAll(".sequencer-only")) panel.hidden = name !== SEQUENCER;

    const enums = new Map();
    for (const type of api.types) if (type.enumerators) enums.set(type.name, type.enumerators);
    const functions = [...api.functions].sort((a, b) => a.path.localeCompare(b.path) || a.method.localeCompare(b.method));
    $("functions").replaceChildren(...functions.map((fn) => functionCard(fn, enums)));

    const latestByKey = new Map();
    // The runtime's own events (tagged qhost) are the host's to send, not the plugin's.
    const own = api.events.filter((event) => !(event.tags || []).includes("qhost"));
    const items = own.map((event) => {
      const { item, latest } = eventItem(event);
      latestByKey.set(event.name, latest);
      return item;
    });
    $("declared-events").replaceChildren(...(items.length ? items : [element("li", { textContent: "none declared" })]));
    if (latestByKey.size) follow(latestByKey);
    document.body.dataset.explorer = "ready";
  }

  build();
})();
