// The content script between the page library and the extension, in a stand-in
// page: a message the browser will not carry fails its call at once, and a port
// found closed is reported as closed at once. Run with: node --test tests/extension/
"use strict";

const test = require("node:test");
const assert = require("node:assert/strict");
const fs = require("node:fs");
const path = require("node:path");
const vm = require("node:vm");
const { FakePort } = require("./fakes.js");

const source = fs.readFileSync(path.join(__dirname, "../../extension/content.js"), "utf8");

// A page with the content script in it; toPage lists what the script told the page.
function page() {
  const listeners = [];
  const toPage = [];
  const ports = [];
  const window = {
    location: { origin: "https://shop.test" },
    addEventListener: (type, fn) => listeners.push(fn),
    // Across the realm boundary as the browser would clone it.
    postMessage: (data) => toPage.push(JSON.parse(JSON.stringify(data))),
  };
  const chrome = {
    runtime: {
      getManifest: () => ({ version: "0.2.0" }),
      connect: () => {
        const port = new FakePort();
        ports.push(port);
        return port;
      },
    },
  };
  vm.runInNewContext(source, { window, chrome, globalThis: { chrome } });
  const fromPage = (msg) => {
    for (const fn of listeners) fn({ source: window, data: Object.assign({ channel: "kestrix-page" }, msg) });
  };
  toPage.length = 0; // the greeting at start
  return { fromPage, toPage, ports };
}

test("a message the browser refuses fails its call at once; the connection stays", () => {
  const { fromPage, toPage, ports } = page();
  fromPage({ type: "connect", conn: "c1" });
  ports[0].postMessage = () => {
    throw new Error("Message exceeded maximum allowed size of 64MiB.");
  };
  fromPage({ type: "message", conn: "c1", message: { id: 7, method: "print", params: [] } });
  assert.deepEqual(toPage, [{
    channel: "kestrix-extension", type: "message", conn: "c1",
    message: { id: 7, error: "Message exceeded maximum allowed size of 64MiB.", code: "requestTooLarge" },
  }]);
  delete ports[0].postMessage; // the next message goes through the same port
  fromPage({ type: "message", conn: "c1", message: { id: 8, method: "getVersion", params: [] } });
  assert.deepEqual(ports[0].take(), [{ id: 8, method: "getVersion", params: [] }]);
});

test("a port found closed is reported closed at once, and only once", () => {
  const { fromPage, toPage, ports } = page();
  fromPage({ type: "connect", conn: "c1" });
  ports[0].gone = true; // closed; its onDisconnect not yet run
  fromPage({ type: "message", conn: "c1", message: { id: 1, method: "getVersion", params: [] } });
  assert.equal(toPage.length, 1);
  assert.equal(toPage[0].type, "disconnect");
  assert.equal(toPage[0].code, "connectionClosed");
  ports[0].drop();
  assert.equal(toPage.length, 1);
});
