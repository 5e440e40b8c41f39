// The prompt window: shows the origin and capability the background put in
// its address and sends the user's answer back. Closing it answers "no".
"use strict";

const api = globalThis.browser || globalThis.chrome;
const query = new URLSearchParams(location.search);
const capability = query.get("capability") || "";
document.getElementById("origin").textContent = query.get("origin") || "";
document.getElementById("what").textContent = KestrixCapabilities[capability] || capability;

function answer(decision) {
  const remember = document.getElementById("remember").checked;
  api.runtime.sendMessage({ promptKey: query.get("key"), decision, remember });
}
document.getElementById("allow").addEventListener("click", () => answer("allow"));
document.getElementById("block").addEventListener("click", () => answer("block"));
