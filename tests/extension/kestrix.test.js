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
  await assert.rejects(k.getVersion(), (e) => e instanceof kestrix.KestrixError && e.code === "extensionMissing" &&
    /^getVersion: the Kestrix extension is not installed/.test(e.message));
});

test("an extension id nobody answers fails calls with the same clear error", async () => {
  const { runtime, k } = client();
  const call = k.getVersion();
  runtime.lastError = { message: "Could not establish connection. Receiving end does not exist." };
  runtime.ports[0].drop();
  await assert.rejects(call, { code: "extensionMissing", message: /getVersion: the Kestrix extension is not installed/ });
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
  runtime.ports[0].deliver({ id: ra.id, error: "Specified native messaging host not found.", code: "hostMissing" });
  runtime.ports[0].deliver({ id: rb.id, data: [] });
  await assert.rejects(a, { name: "KestrixError", code: "hostMissing", message: "getVersion: Specified native messaging host not found." });
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

test("several jobs keep their own callbacks until their own end", async () => {
  const { runtime, k } = client();
  const seen = [];
  k.print({ html: "a", done: (r) => seen.push(["a done", r]), onState: (s) => seen.push(["a state", s.status]) }, false);
  k.print({ html: "b", listener: (o) => seen.push(["b", o.status || o.message]) }, false);
  const p = runtime.ports[0];
  const [one, two] = p.take();
  assert.deepEqual(two.params[0], { html: "b", listener: "listener", _hasCallback: true });
  const unclaimed = [];
  k.on("event", (name, params) => unclaimed.push([name, params]));
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

// The host's refusal of a job before it starts, as its OnDone carries it.
const NO_PRINTER = {
  type: "print", id: "print-1-1", jobId: 0, code: "printerNotFound",
  message: "no printer named 'kx-pfd'", printers: ["kx-pdf", "kx-raw"],
};

test("a print settles once the host has taken the job: a refused one rejects with the job's code", async () => {
  const { runtime, k } = client();
  const dones = [];
  const wrong = k.print({ html: "<p>label</p>", printer: "kx-pfd", done: (status, result) => dones.push([status, result.code]) });
  const right = k.print({ html: "<p>label</p>", printer: "kx-pdf" });
  const p = runtime.ports[0];
  const [one, two] = p.take();
  // Without callbacks of its own, the job still asks for its states and end.
  assert.deepEqual(two.params[0], { html: "<p>label</p>", printer: "kx-pdf", done: "done", onState: "onState", _hasCallback: true });
  let settled = false;
  right.then(() => (settled = true));
  p.deliver({ id: one.id });
  p.deliver({ id: two.id });
  await new Promise((r) => setImmediate(r));
  assert.equal(settled, false, "the hand-over does not tell whether the job was taken");
  p.deliver({ id: one.id, event: "done", params: ["error", Object.assign({}, NO_PRINTER)] });
  p.deliver({ id: two.id, event: "onState", params: [{ status: "rendering" }] });
  await assert.rejects(wrong, (e) => e instanceof kestrix.KestrixError && e.code === "printerNotFound" &&
    e.method === "print" && e.message === "print: no printer named 'kx-pfd'" &&
    JSON.stringify(e.printers) === JSON.stringify(["kx-pdf", "kx-raw"]));
  assert.equal(await right, undefined);
  assert.deepEqual(dones, [["error", "printerNotFound"]], "the done callback hears the code too");
});

test("printToPDF answered true resolves at once; answered false rejects with the code its done brings", async () => {
  const { runtime, k } = client();
  const started = k.printToPDF({ html: "a" }, "a.pdf");
  const refused = k.printToPDF({ html: "b" }, "/etc/b.pdf");
  const p = runtime.ports[0];
  const [one, two] = p.take();
  p.deliver({ id: one.id, data: true });
  assert.equal(await started, true);
  p.deliver({ id: two.id, data: false });
  p.deliver({ id: two.id, event: "done", params: ["error", { type: "printToPDF", code: "pathRefused", message: "outside" }] });
  await assert.rejects(refused, { code: "pathRefused", message: "printToPDF: outside" });
});

test("wait: true settles with the outcome, however long after the reply; a failure rejects with its code", async () => {
  const { runtime, k } = client({ timeout: 20 });
  const states = [];
  const first = k.print({ html: "a", wait: true, onState: (s) => states.push(s.status) }, false);
  const second = k.print({ html: "b", wait: true }, false);
  const third = k.print({ html: "c", wait: true, listener: () => {} }, false);
  const [one, two, three] = runtime.ports[0].take();
  assert.equal("wait" in one.params[0], false);
  assert.equal(one.params[0].done, "done", "the outcome is asked for");
  const p = runtime.ports[0];
  for (const m of [one, two, three]) p.deliver({ id: m.id });
  // Longer than the client's time-out: the host has answered, the job may take its time.
  await new Promise((r) => setTimeout(r, 40));
  p.deliver({ id: one.id, event: "onState", params: [{ status: "completed" }] });
  p.deliver({ id: one.id, event: "done", params: ["success", { jobId: 7 }] });
  assert.deepEqual(await first, { status: "success", result: { jobId: 7 } });
  assert.deepEqual(states, ["completed"]);
  p.deliver({ id: two.id, event: "done", params: ["error", { message: "job 8 aborted" }] });
  await assert.rejects(second, (e) => e.code === "jobFailed" && e.result.code === "jobFailed");
  // A listener's outcome has no status text: its code tells a failure.
  p.deliver({ id: three.id, event: "listener", params: [Object.assign({}, NO_PRINTER)] });
  await assert.rejects(third, { code: "printerNotFound" });
});

test("the host's end fails a job's waiting call, with the code of the browser's reason", async () => {
  const { runtime, k } = client();
  const waiting = k.print({ html: "a", wait: true });
  const p = runtime.ports[0];
  p.deliver({ id: p.take()[0].id });
  p.deliver({ disconnected: "Native host has exited." });
  await assert.rejects(waiting, { code: "hostExited", message: "print: Native host has exited." });
});

test("a request larger than the browser carries is refused before it is sent", async () => {
  const { runtime, k } = client();
  assert.equal(kestrix.MAX_REQUEST_BYTES, 64 * 1024 * 1024 - 1024);
  await assert.rejects(k.print({ html: "x".repeat(kestrix.MAX_REQUEST_BYTES) }), (e) =>
    e.code === "requestTooLarge" && e.limit === kestrix.MAX_REQUEST_BYTES && e.size > e.limit && /^print: /.test(e.message));
  // Counted in UTF-8 bytes, not characters.
  const small = kestrix.createClient({ runtime, timeout: 0, maxRequestBytes: 1000 });
  const text = "\u00e9".repeat(480);
  const sent = JSON.stringify({ id: 1, method: "writeString", params: ["f.txt", text, ""] });
  assert.ok(sent.length < 1000 && Buffer.byteLength(sent) > 1000);
  await assert.rejects(small.writeString("f.txt", text, ""), { code: "requestTooLarge", size: Buffer.byteLength(sent) });
  assert.equal(runtime.ports.length, 0, "nothing was sent");
});

test("a call without a reply fails after the client's timeout; a job handed over keeps its callbacks", async () => {
  const { runtime, k } = client({ timeout: 20 });
  await assert.rejects(k.getVersion(), { code: "timeout", message: "getVersion: no reply within 20 ms" });
  const dones = [];
  const call = k.print({ html: "a", done: (status) => dones.push(status) });
  const p = runtime.ports[0];
  const sent = p.take().find((m) => m.method === "print");
  p.deliver({ id: sent.id });
  await assert.rejects(call, { code: "timeout" });
  p.deliver({ id: sent.id, event: "done", params: ["success", {}] });
  assert.deepEqual(dones, ["success"]);
});

test("host messages and the host's end reach the listeners; waiting calls fail when the port closes", async () => {
  const { runtime, k } = client();
  const messages = [];
  const ends = [];
  k.on("message", (m) => messages.push(m)).on("disconnect", (why, code) => ends.push(why, code));
  const call = k.getVersion();
  const port = runtime.ports[0];
  port.deliver({ message: { text: "hello", tab: 3 } });
  port.deliver({ disconnected: "Native host has exited." });
  assert.deepEqual(messages, [{ text: "hello", tab: 3 }]);
  assert.deepEqual(ends, ["Native host has exited.", "hostExited"]);
  runtime.lastError = undefined;
  port.drop();
  await assert.rejects(call, { code: "connectionClosed", message: /connection to the Kestrix extension closed/ });
  // The next call opens a new connection.
  k.getVersion();
  assert.equal(runtime.ports.length, 2);
});

test("close() fails waiting calls and disconnects", async () => {
  const { runtime, k } = client();
  const call = k.getVersion();
  k.close();
  assert.equal(runtime.ports[0].closedByUs, true);
  await assert.rejects(call, { code: "clientClosed" });
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
function fakeWindow(withExtension, protocol = "https:") {
  const listeners = new Set();
  const win = {
    location: { origin: "https://shop.test", protocol },
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
    handshakeTimeout: 30000, // only a failure waits this long: a loaded machine must not fail it
  });
  assert.equal(await present.ready(), true);
});

test("in a page without the extension, calls fail with extensionMissing: after one handshake, then at once", { timeout: 10000 }, async () => {
  let hellos = 0;
  const win = fakeWindow((msg) => (hellos += msg.type === "hello"));
  const k = kestrix.createClient({ window: win, handshakeTimeout: 30, timeout: 0 });
  await assert.rejects(k.getVersion(), { code: "extensionMissing" });
  // A handshake long enough to notice: the answer is already known, to every client of the page.
  const again = kestrix.createClient({ window: win, handshakeTimeout: 60000, timeout: 0 });
  await assert.rejects(k.getPrinters(), { code: "extensionMissing", method: "getPrinters" });
  await assert.rejects(again.getPrinters(), { code: "extensionMissing" });
  assert.equal(hellos, 1, "one handshake for the page");
  // A file: page never has the content script: no handshake at all.
  const local = kestrix.createClient({ window: fakeWindow(() => assert.fail("greeted"), "file:"), handshakeTimeout: 60000 });
  assert.equal(await local.ready(), false);
  await assert.rejects(local.print({ html: "x" }), { code: "extensionMissing" });
  // An extension that arrives later says so, and is used from then on.
  win.postMessage({ channel: "kestrix-extension", type: "ready" });
  await new Promise((r) => setImmediate(r));
  assert.equal(await again.ready(), true);
});

test("in a page: calls go through the content script and a refusal names the capability and who decided", async () => {
  const seen = [];
  const win = fakeWindow((msg, w) => {
    const reply = (m) => w.postMessage(Object.assign({ channel: "kestrix-extension" }, m));
    seen.push(msg.type);
    if (msg.type === "hello") reply({ type: "ready" });
    if (msg.type === "message" && msg.message.method === "getVersion")
      reply({ type: "message", conn: msg.conn, message: { id: msg.message.id, data: "0.2.0" } });
    if (msg.type === "message" && msg.message.method === "getPrinters")
      reply({ type: "message", conn: msg.conn, message: { id: msg.message.id, error: "refused", code: "permissionDenied",
        capability: "printers", decidedBy: "policy", mayAsk: false, origin: "https://shop.test" } });
  });
  const k = kestrix.createClient({ window: win, timeout: 0 });
  assert.equal(await k.getVersion(), "0.2.0");
  await assert.rejects(k.getPrinters(), (e) => e.code === "permissionDenied" && e.capability === "printers" &&
    e.decidedBy === "policy" && e.mayAsk === false && e.origin === "https://shop.test" && /^getPrinters: refused/.test(e.message));
  assert.deepEqual(seen, ["hello", "connect", "message", "message"], "one connection, opened after the handshake");
});
