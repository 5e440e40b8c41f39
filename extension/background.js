// Background (a service worker in Chromium, an event page in Firefox): web
// pages reach it through the content script (or, on the origins listed in
// "externally_connectable", directly); relay.js does the rest. This file adds
// the browser's parts: the prompt window that asks the user, and the port of
// the extension's own options page.
if (typeof importScripts === "function") importScripts("relay.js");

const api = globalThis.browser || globalThis.chrome;
// How long a prompt waits for the user; unanswered counts as dismissed.
const PROMPT_TIMEOUT_MS = 45000;
const ownBase = api.runtime.getURL("");
const prompts = new Map(); // key -> {finish, windowId}
let promptSequence = 0;

// Pages of this extension: the prompt and the options page. A content
// script's messages carry the web page's address, never one of these.
function isOwnPage(sender) {
  return !!sender && sender.id === api.runtime.id && typeof sender.url === "string" && sender.url.startsWith(ownBase);
}

function ask(origin, capability) {
  return new Promise((resolve) => {
    const key = String(++promptSequence);
    const prompt = { windowId: null, done: false };
    prompt.finish = (answer) => {
      if (prompt.done) return;
      prompt.done = true;
      clearTimeout(prompt.timer);
      prompts.delete(key);
      if (prompt.windowId !== null) api.windows.remove(prompt.windowId).catch(() => {});
      resolve(answer);
    };
    prompt.timer = setTimeout(() => prompt.finish(null), PROMPT_TIMEOUT_MS);
    prompts.set(key, prompt);
    const url = api.runtime.getURL("prompt.html?" + new URLSearchParams({ origin, capability, key }));
    api.windows.create({ url, type: "popup", width: 460, height: 340 }).then(
      (win) => {
        prompt.windowId = win.id;
        if (prompt.done) api.windows.remove(win.id).catch(() => {});
      },
      () => prompt.finish(null),
    );
  });
}

const relay = new KestrixRelay.Relay({
  connectNative: () => api.runtime.connectNative(KestrixRelay.HOST_NAME),
  // Reading lastError inside onDisconnect also keeps the browser from logging it as unchecked.
  lastError: () => api.runtime.lastError && api.runtime.lastError.message,
  ask,
  uiUrl: api.runtime.getURL("options.html"),
});

// A closed prompt window is a dismissed prompt.
api.windows.onRemoved.addListener((windowId) => {
  for (const prompt of prompts.values()) if (prompt.windowId === windowId) prompt.finish(null);
});

api.runtime.onMessage.addListener((msg, sender) => {
  if (!isOwnPage(sender) || !msg || typeof msg.promptKey !== "string") return;
  const prompt = prompts.get(msg.promptKey);
  if (!prompt) return;
  const decision = msg.decision === "allow" ? "allow" : "block";
  prompt.finish({ decision, remember: msg.remember === true });
});

let uiPorts = 0;
function attachUi(port) {
  uiPorts += 1;
  port.onMessage.addListener((msg) => {
    if (!msg || typeof msg !== "object") return;
    relay.manage(msg.method, msg.params).then(
      (data) => port.postMessage({ id: msg.id, data }),
      (e) => port.postMessage({ id: msg.id, error: e.message }),
    );
  });
  port.onDisconnect.addListener(() => {
    uiPorts -= 1;
    if (uiPorts === 0) relay.closeUi();
  });
}

api.runtime.onConnect.addListener((port) => {
  if (port.name === "kestrix-ui" && isOwnPage(port.sender)) return attachUi(port);
  if (port.name === "kestrix-page") return relay.attachPage(port);
  port.disconnect();
});
if (api.runtime.onConnectExternal) api.runtime.onConnectExternal.addListener((port) => relay.attachPage(port));
