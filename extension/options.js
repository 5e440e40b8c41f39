// The options page: every site with the user's remembered decisions, each one
// changeable unless the administrator's policy decides it (then the policy's
// decision is shown instead), and each site removable; the policy, read-only.
// It talks to the background over its own port ("kestrix-ui"), which only the
// extension's own pages can open.
"use strict";

const api = globalThis.browser || globalThis.chrome;
const port = api.runtime.connect({ name: "kestrix-ui" });
const waiting = new Map();
let nextId = 1;
port.onMessage.addListener((msg) => {
  const call = waiting.get(msg.id);
  if (!call) return;
  waiting.delete(msg.id);
  if ("error" in msg) call.reject(new Error(msg.error));
  else call.resolve(msg.data);
});

function call(method, params) {
  return new Promise((resolve, reject) => {
    const id = nextId++;
    waiting.set(id, { resolve, reject });
    port.postMessage({ id, method, params });
  });
}

function cell(row, content, tag = "td") {
  const c = document.createElement(tag);
  if (content instanceof Node) c.append(content);
  else c.textContent = content;
  row.append(c);
  return c;
}

function status(text, error) {
  const s = document.getElementById("status");
  s.textContent = text;
  s.className = error ? "error" : "note";
}

async function change(promise) {
  try {
    await promise;
    await show();
  } catch (e) {
    status(e.message, true);
  }
}

function showSites(list) {
  const table = document.getElementById("sites");
  table.replaceChildren();
  const origins = Object.keys(list.sites).sort();
  if (origins.length === 0) {
    cell(table.insertRow(), "No site has asked yet, or you have not kept a decision.");
    return;
  }
  const head = table.insertRow();
  for (const h of ["Site", "Capability", "Decision", ""]) cell(head, h, "th");
  for (const origin of origins) {
    const capabilities = Object.keys(list.sites[origin]);
    capabilities.forEach((capability, i) => {
      const row = table.insertRow();
      row.dataset.origin = origin;
      row.dataset.capability = capability;
      cell(row, i === 0 ? origin : "");
      cell(row, KestrixCapabilities[capability] || capability);
      // Where the policy decides, the user's own decision does not count: say so.
      const byPolicy = KestrixPolicy.decides(list.policy, origin, capability);
      if (byPolicy) {
        const mine = list.sites[origin][capability] === "allow" ? "Allow" : "Block";
        const said = cell(row, `${byPolicy === "allow" ? "Allowed" : "Blocked"} by your administrator (your "${mine}" does not apply)`);
        said.className = "policy";
        row.dataset.policy = byPolicy;
        if (i === 0) appendRemove(row, origin);
        else cell(row, "");
        return;
      }
      const select = document.createElement("select");
      for (const [value, label] of [["allow", "Allow"], ["block", "Block"], ["forget", "Ask again"]]) {
        const o = new Option(label, value);
        o.selected = list.sites[origin][capability] === value;
        select.append(o);
      }
      select.addEventListener("change", () =>
        change(call("siteDecide", [origin, capability, select.value, true])));
      cell(row, select);
      if (i === 0) appendRemove(row, origin);
      else cell(row, "");
    });
  }
}

function appendRemove(row, origin) {
  const remove = document.createElement("button");
  remove.textContent = "Remove site";
  remove.className = "remove";
  remove.addEventListener("click", () => change(call("siteForget", [origin])));
  cell(row, remove);
}

function showPolicy(policy) {
  document.getElementById("policyFile").textContent = policy.fromFile
    ? `from ${policy.file}`
    : `no ${policy.file}, so pages on this computer (127.0.0.1, localhost) may do everything`;
  const table = document.getElementById("policy");
  table.replaceChildren();
  if (policy.error) cell(table.insertRow(), `The policy file is refused: ${policy.error}. No site may do anything.`).className = "error";
  for (const [origin, capabilities] of Object.entries(policy.allow)) {
    const row = table.insertRow();
    cell(row, origin);
    cell(row, "allowed: " + capabilities.join(", "));
  }
  for (const origin of policy.block) {
    const row = table.insertRow();
    cell(row, origin);
    cell(row, "blocked");
  }
  cell(table.insertRow(), policy.othersMayAsk ? "Other sites may ask." : "Other sites may not ask and get nothing.");
}

async function show() {
  try {
    const list = await call("siteList", []);
    showSites(list);
    showPolicy(list.policy);
    status("Changes hold at a site's next request.");
  } catch (e) {
    status(`The host cannot be reached: ${e.message}`, true);
  }
}

show();
