// The page library against a fake chrome.runtime: call settlement, errors, print
// job callbacks. Run with: node --test tests/extension/
"use strict";

const test = require("node:test");
const assert = require("node:assert/strict");
const kestrix = require("../../extension/page/kestrix.js");
const { FakePort } = require("./fakes.js");

// A runtime whose connect() hands out FakePorts; lastError is what the browser
// would show inside onDisconnect.
function fakeRuntime() {
  const runtime = {
    ports: [],
    lastError: undefined,
    connect(id, info) {
      const port = new FakePort({ id, info });
      runtime.ports.push(port);
      return port;
    },
  };
  return runtime;
}

function client(options = {}) {
  const runtime = fakeRuntime();
  return { runtime, k: kestrix.createClient(Object.assign({ runtime, timeout: 0 }, options)) };
}

test("every command is a function, and the default client knows the bundled extension id", () => {
  assert.equal(kestrix.EXTENSION_ID, "obkkhjkmknnbggeelnmbimmleflkgjoj");
  for (const name of kestrix.COMMANDS) assert.equal(typeof kestrix[name], "function", name);
});

test("without the extension's runtime a call fails with a clear error", async () => {
  const k = kestrix.createClient({ runtime: null });
  await assert.rejects(k.getVersion(), (e) => e instanceof kestrix.KestrixError && /not installed/.test(e.message));
});

test("an extension id nobody answers fails calls with the same clear error", async () => {
  const { runtime, k } = client();
  const call = k.getVersion();
  runtime.lastError = { message: "Could not establish connection. Receiving end does not exist." };
  runtime.ports[0].drop();
  await assert.rejects(call, /getVersion: the Kestrix extension is not installed/);
});

test("calls connect once to the configured extension and settle by id in any order", async () => {
  const { runtime, k } = client({ extensionId: "abcdefghijklmnopabcdefghijklmnop" });
  const a = k.getPrinters();
  const b = k.readString("f.txt", "utf-8");
  assert.equal(runtime.ports.length, 1);
  const port = runtime.ports[0];
  assert.equal(port.sender.id, "abcdefghijklmnopabcdefghijklmnop");
  const [ra, rb] = port.take();
  assert.deepEqual(ra, { id: ra.id, method: "getPrinters", params: [] });
  assert.deepEqual(rb, { id: rb.id, method: "readString", params: ["f.txt", "utf-8"] });
  port.deliver({ id: rb.id, data: "text" });
  port.deliver({ id: ra.id, data: ["kx-pdf", "kx-raw"] });
  assert.deepEqual(await a, ["kx-pdf", "kx-raw"]);
  assert.equal(await b, "text");
});

test("an error from the extension rejects that call only", async () => {
  const { runtime, k } = client();
  const a = k.getVersion();
  const b = k.getFonts();
  const [ra, rb] = runtime.ports[0].take();
  runtime.ports[0].deliver({ id: ra.id, error: "Native host has exited." });
  runtime.ports[0].deliver({ id: rb.id, data: [] });
  await assert.rejects(a, { name: "KestrixError", message: "getVersion: Native host has exited." });
  assert.deepEqual(await b, []);
});

test("print job callbacks become event names and receive the job's events", async () => {
  const { runtime, k } = client();
  const seen = [];
  const job = {
    html: "<p>x</p>",
    done: (result, info) => seen.push(["done", result, info]),
    onState: (state) => seen.push(["onState", state]),
  };
  const call = k.printToPDF(job, "/tmp/x.pdf");
  const [sent] = runtime.ports[0].take();
  assert.deepEqual(sent.params, [
    { html: "<p>x</p>", done: "done", onState: "onState", _hasCallback: true },
    "/tmp/x.pdf",
  ]);
  assert.equal(typeof job.done, "function", "the caller's object is left alone");
  const port = runtime.ports[0];
  port.deliver({ id: sent.id, data: true });
  port.deliver({ id: sent.id, event: "onState", params: [{ status: "printing" }] });
  port.deliver({ id: sent.id, event: "done", params: ["success", { type: "pdf" }] });
  assert.equal(await call, true);
  assert.deepEqual(seen, [
    ["onState", { status: "printing" }],
    ["done", "success", { type: "pdf" }],
  ]);
});

test("several jobs keep their own callbacks until their own end; a job without callbacks asks for none", async () => {
  const { runtime, k } = client();
  const port = runtime.ports.length ? runtime.ports[0] : null;
  const seen = [];
  k.print({ html: "a", done: (r) => seen.push(["a done", r]), onState: (s) => seen.push(["a state", s.status]) }, false);
  k.print({ html: "b", listener: (o) => seen.push(["b", o.status || o.message]) }, false);
  k.print({ html: "c" }, false);
  const [one, two, three] = (port || runtime.ports[0]).take();
  assert.equal(one.params[0]._hasCallback, true);
  assert.equal("_hasCallback" in three.params[0], false);
  const unclaimed = [];
  k.on("event", (name, params) => unclaimed.push([name, params]));
  const p = runtime.ports[0];
  p.deliver({ id: two.id, event: "listener", params: [{ status: "printing" }] });
  p.deliver({ id: one.id, event: "onState", params: [{ status: "printing" }] });
  p.deliver({ id: two.id, event: "listener", params: [{ type: "print", message: "job 2 completed" }] });
  p.deliver({ id: one.id, event: "done", params: ["success", {}] });
  // After each job's end, its names are nobody's.
  p.deliver({ id: one.id, event: "done", params: ["late"] });
  p.deliver({ id: two.id, event: "listener", params: [{ status: "late" }] });
  assert.deepEqual(seen, [
    ["b", "printing"],
    ["a state", "printing"],
    ["b", "job 2 completed"],
    ["a done", "success"],
  ]);
  assert.deepEqual(unclaimed, [["done", ["late"]], ["listener", [{ status: "late" }]]]);
});

test("wait: true settles print with the job's outcome; the host's end fails it", async () => {
  const { runtime, k } = client();
  const states = [];
  const first = k.print({ html: "a", wait: true, onState: (s) => states.push(s.status) }, false);
  const second = k.print({ html: "b", wait: true }, false);
  const [one, two] = runtime.ports[0].take();
  assert.equal("wait" in one.params[0], false);
  assert.equal(one.params[0].done, "done", "the outcome is asked for");
  assert.equal(one.params[0]._hasCallback, true);
  const p = runtime.ports[0];
  p.deliver({ id: one.id });
  p.deliver({ id: two.id });
  let settled = false;
  first.then(() => (settled = true));
  await new Promise((r) => setImmediate(r));
  assert.equal(settled, false, "the hand-over does not settle a waiting job");
  p.deliver({ id: one.id, event: "onState", params: [{ status: "completed" }] });
  p.deliver({ id: one.id, event: "done", params: ["success", { jobId: 7 }] });
  assert.deepEqual(await first, { status: "success", result: { jobId: 7 } });
  assert.deepEqual(states, ["completed"]);
  p.drop();
  await assert.rejects(second, /closed/);
});

test("a call without a reply fails after the client's timeout", async () => {
  const { k } = client({ timeout: 20 });
  await assert.rejects(k.getVersion(), /getVersion: no reply within 20 ms/);
});

test("host messages and the host's end reach the listeners; waiting calls fail when the port closes", async () => {
  const { runtime, k } = client();
  const messages = [];
  const ends = [];
  k.on("message", (m) => messages.push(m)).on("disconnect", (why) => ends.push(why));
  const call = k.getVersion();
  const port = runtime.ports[0];
  port.deliver({ message: { text: "hello", tab: 3 } });
  port.deliver({ disconnected: "Native host has exited." });
  assert.deepEqual(messages, [{ text: "hello", tab: 3 }]);
  assert.deepEqual(ends, ["Native host has exited."]);
  runtime.lastError = undefined;
  port.drop();
  await assert.rejects(call, /connection to the Kestrix extension closed/);
  // The next call opens a new connection.
  k.getVersion();
  assert.equal(runtime.ports.length, 2);
});

test("close() fails waiting calls and disconnects", async () => {
  const { runtime, k } = client();
  const call = k.getVersion();
  k.close();
  assert.equal(runtime.ports[0].closedByUs, true);
  await assert.rejects(call, /closed/);
});

test("a connection the extension refuses fails waiting calls with its reason", async () => {
  const { runtime, k } = client();
  const call = k.getVersion();
  runtime.ports[0].deliver({ error: "kestrix: only pages in a browser tab can use the host" });
  runtime.ports[0].drop();
  await assert.rejects(call, /getVersion: the connection to the Kestrix extension closed: kestrix: only pages in a browser tab/);
});

// A window whose postMessage reaches its listeners later, as in a browser; an
// extension stand-in answers the content script's side of the handshake.
function fakeWindow(withExtension) {
  const listeners = new Set();
  const win = {
    location: { origin: "https://shop.test" },
    sent: [],
    addEventListener: (type, fn) => listeners.add(fn),
    removeEventListener: (type, fn) => listeners.delete(fn),
    postMessage(data) {
      const copy = JSON.parse(JSON.stringify(data));
      setImmediate(() => {
        for (const fn of Array.from(listeners)) fn({ source: win, data: copy });
        if (withExtension && copy.channel === "kestrix-page") withExtension(copy, win);
      });
    },
  };
  return win;
}

test("in a page: the handshake tells whether the extension is there", async () => {
  const absent = kestrix.createClient({ window: fakeWindow(null), handshakeTimeout: 20, timeout: 0 });
  assert.equal(await absent.ready(), false);
  await assert.rejects(absent.getVersion(), /getVersion: the Kestrix extension is not installed/);
  const present = kestrix.createClient({
    window: fakeWindow((msg, win) => {
      if (msg.type === "hello") win.postMessage({ channel: "kestrix-extension", type: "ready", version: "0.2.0" });
    }),
    handshakeTimeout: 1000,
  });
  assert.equal(await present.ready(), true);
});

test("in a page: calls go through the content script and a refusal names the capability", async () => {
  const seen = [];
  const win = fakeWindow((msg, w) => {
    const reply = (m) => w.postMessage(Object.assign({ channel: "kestrix-extension" }, m));
    seen.push(msg.type);
    if (msg.type === "hello") reply({ type: "ready" });
    if (msg.type === "message" && msg.message.method === "getVersion")
      reply({ type: "message", conn: msg.conn, message: { id: msg.message.id, data: "0.2.0" } });
    if (msg.type === "message" && msg.message.method === "getPrinters")
      reply({ type: "message", conn: msg.conn, message: { id: msg.message.id, error: "refused", code: "permissionDenied", capability: "printers" } });
  });
  const k = kestrix.createClient({ window: win, timeout: 0 });
  assert.equal(await k.getVersion(), "0.2.0");
  await assert.rejects(k.getPrinters(), (e) => e.code === "permissionDenied" && e.capability === "printers" && /^getPrinters: refused/.test(e.message));
  assert.deepEqual(seen, ["hello", "connect", "message", "message"], "one connection, opened after the handshake");
});
