// The extension's relay: host start per tab, reply routing, pieces, job events,
// pings, host exit and page exit. Run with: node --test tests/extension/
"use strict";

const test = require("node:test");
const assert = require("node:assert/strict");
const { Relay, hostErrorCode } = require("../../extension/relay.js");
const { FakePort } = require("./fakes.js");

function setup() {
  const natives = [];
  let lastError;
  const relay = new Relay({
    connectNative: () => {
      const port = new FakePort();
      natives.push(port);
      return port;
    },
    lastError: () => lastError,
  });
  const page = (tabId, url = "http://127.0.0.1:8000/a.html") => {
    const port = new FakePort({ tab: { id: tabId }, url });
    relay.attachPage(port);
    return port;
  };
  return { relay, natives, page, setLastError: (e) => (lastError = e) };
}

// Answers every "siteCheck" the host was sent with "allowed" (commands that never
// reply are checked first); keeps the other messages for the test to take.
function answerChecks(native) {
  const rest = [];
  for (const m of native.take()) {
    if (m.method === "siteCheck") native.deliver({ data: true, event: m.event, tab: 1 });
    else if (m.method !== "new") rest.push(m);
  }
  native.sent = rest.concat(native.sent);
}

test("the first request starts the host, names the tab with new, and gets its reply", () => {
  const { natives, page } = setup();
  const p = page(7, "http://127.0.0.1:9/x.html");
  assert.equal(natives.length, 0, "no host before the page asks for something");
  p.deliver({ id: 1, method: "getVersion", params: [] });
  assert.equal(natives.length, 1);
  const [hello, request] = natives[0].take();
  assert.deepEqual(hello, { method: "new", sender: { tab: { id: 7 }, url: "http://127.0.0.1:9/x.html" } });
  assert.equal(request.method, "getVersion");
  assert.deepEqual(request.params, []);
  assert.equal(typeof request.event, "string");
  natives[0].deliver({ data: "1.2.3", event: request.event, tab: 7 });
  assert.deepEqual(p.take(), [{ id: 1, data: "1.2.3" }]);
});

test("concurrent requests have distinct event names and their replies reach the right call", () => {
  const { natives, page } = setup();
  const p = page(1);
  p.deliver({ id: "a", method: "readString", params: ["one"] });
  p.deliver({ id: "b", method: "readString", params: ["two"] });
  const [, first, second] = natives[0].take();
  assert.notEqual(first.event, second.event);
  natives[0].deliver({ data: "second", event: second.event, tab: 1 });
  natives[0].deliver({ data: "first", event: first.event, tab: 1 });
  assert.deepEqual(p.take(), [
    { id: "b", data: "second" },
    { id: "a", data: "first" },
  ]);
  // A reply is delivered once: a repeat of the same event is not a reply any more.
  natives[0].deliver({ data: "again", event: first.event, tab: 1 });
  assert.deepEqual(p.take(), [{ message: { data: "again", event: first.event, tab: 1 } }]);
});

test("pieces with an index are joined, also when another reply comes in between", () => {
  const { natives, page } = setup();
  const p = page(1);
  p.deliver({ id: 1, method: "readBase64", params: ["big.bin"] });
  p.deliver({ id: 2, method: "getVersion" });
  const [, big, small] = natives[0].take();
  natives[0].deliver({ data: "AAAA", event: big.event, index: 0, tab: 1 });
  natives[0].deliver({ data: "BBBB", event: big.event, index: 1, tab: 1 });
  natives[0].deliver({ data: "v", event: small.event, tab: 1 });
  assert.deepEqual(p.take(), [{ id: 2, data: "v" }], "nothing of the long reply goes out early");
  natives[0].deliver({ data: "CC", event: big.event, tab: 1 });
  assert.deepEqual(p.take(), [{ id: 1, data: "AAAABBBBCC" }]);
});

test("a reply without data settles the call without data", () => {
  const { natives, page } = setup();
  const p = page(1);
  p.deliver({ id: 3, method: "setOffsetPage", params: [2] });
  const [, request] = natives[0].take();
  natives[0].deliver({ event: request.event, tab: 1 });
  assert.deepEqual(p.take(), [{ id: 3 }]);
});

test("commands the host never answers are acknowledged once handed over, without an event name", () => {
  const { natives, page } = setup();
  const p = page(1);
  for (const [id, method] of [[1, "print"], [2, "printPreview"], [3, "about"]]) {
    p.deliver({ id, method, params: method === "about" ? [] : [{ html: "<p>x</p>" }, false] });
  }
  answerChecks(natives[0]);
  const sent = natives[0].take();
  assert.deepEqual(sent.map((m) => m.method), ["print", "printPreview", "about"]);
  for (const m of sent) assert.equal("event" in m, false);
  assert.deepEqual(p.take(), [{ id: 1 }, { id: 2 }, { id: 3 }]);
});

test("job events come back under the job's own names, to the page that started the job", () => {
  const { natives, page } = setup();
  const asking = page(1, "http://127.0.0.1:1/a");
  const other = page(1, "http://127.0.0.1:1/a");
  asking.deliver({
    id: 9,
    method: "printToPDF",
    params: [{ html: "<p>x</p>", done: "done", onState: "onState", _hasCallback: true }, "/tmp/out.pdf"],
  });
  const [, request] = natives[0].take();
  const job = request.params[0];
  assert.equal(request.params[1], "/tmp/out.pdf");
  assert.equal(job.html, "<p>x</p>");
  assert.equal(job._hasCallback, true);
  assert.notEqual(job.done, "done");
  assert.notEqual(job.onState, job.done);
  assert.equal("listener" in job, false, "absent members stay absent");

  natives[0].deliver({ data: true, event: request.event, tab: 1 });
  natives[0].deliver({ event: job.onState, params: [{ status: "printing" }], tab: 1 });
  natives[0].deliver({ event: job.done, params: ["success", { type: "pdf" }], tab: 1 });
  assert.deepEqual(asking.take(), [
    { id: 9, data: true },
    { id: 9, event: "onState", params: [{ status: "printing" }] },
    { id: 9, event: "done", params: ["success", { type: "pdf" }] },
  ]);
  assert.deepEqual(other.take(), []);

  // After its done, the job's names are forgotten.
  natives[0].deliver({ event: job.done, params: ["late"], tab: 1 });
  natives[0].deliver({ event: job.onState, params: [{ status: "late" }], tab: 1 });
  assert.equal(asking.take().some((m) => m.id === 9 && m.event), false);
});

test("several jobs of a page each get their own events until their own end", () => {
  const { natives, page } = setup();
  const p = page(1);
  const jobs = [];
  // A "done" job, a "listener" job (states and outcome under one name), a third "done" job.
  p.deliver({ id: 1, method: "print", params: [{ html: "a", done: "d", onState: "s", _hasCallback: true }, false] });
  p.deliver({ id: 2, method: "print", params: [{ html: "b", listener: "l", _hasCallback: true }, false] });
  p.deliver({ id: 3, method: "printToPDF", params: [{ html: "c", done: "d", _hasCallback: true }, ""] });
  answerChecks(natives[0]);
  for (const m of natives[0].take()) if (m.params && m.method !== "new") jobs.push(m.params[0]);
  assert.equal(jobs.length, 3);
  // Prints go after their permission check, printToPDF at once: order them as sent by the page.
  jobs.sort((x, y) => x.html.localeCompare(y.html));
  const host = natives[0];
  host.deliver({ event: jobs[1].listener, params: [{ status: "printing", type: "print" }] });
  host.deliver({ event: jobs[0].onState, params: [{ status: "printing" }] });
  host.deliver({ event: jobs[2].done, params: ["error", { type: "printToPDF" }] });
  host.deliver({ event: jobs[1].listener, params: [{ type: "print", id: "print-2" }] });  // its outcome
  host.deliver({ event: jobs[0].done, params: ["success", { type: "print" }] });
  // Anything after each job's end goes nowhere.
  for (const j of jobs) for (const m of ["done", "onState", "listener"]) if (j[m]) host.deliver({ event: j[m], params: ["late"] });
  const got = p.take().filter((m) => m.event);
  assert.deepEqual(got, [
    { id: 2, event: "l", params: [{ status: "printing", type: "print" }] },
    { id: 1, event: "s", params: [{ status: "printing" }] },
    { id: 3, event: "d", params: ["error", { type: "printToPDF" }] },
    { id: 2, event: "l", params: [{ type: "print", id: "print-2" }] },
    { id: 1, event: "d", params: ["success", { type: "print" }] },
  ]);
});

test("two jobs in two tabs with equal member names stay apart", () => {
  const { natives, page } = setup();
  const a = page(1);
  const b = page(2);
  a.deliver({ id: 1, method: "printToPDF", params: [{ done: "done", _hasCallback: true }, "/a.pdf"] });
  b.deliver({ id: 1, method: "printToPDF", params: [{ done: "done", _hasCallback: true }, "/b.pdf"] });
  const jobA = natives[0].take()[1].params[0];
  const jobB = natives[1].take()[1].params[0];
  assert.notEqual(jobA.done, jobB.done);
  natives[1].deliver({ event: jobB.done, params: ["success", {}], tab: 2 });
  assert.deepEqual(a.take(), []);
  assert.deepEqual(b.take(), [{ id: 1, event: "done", params: ["success", {}] }]);
});

test("pings are answered to the host and never reach the page", () => {
  const { natives, page } = setup();
  const p = page(1);
  p.deliver({ id: 1, method: "getFonts" });
  natives[0].take();
  natives[0].deliver({ method: "ping" });
  natives[0].deliver({ method: "ping" });
  assert.deepEqual(natives[0].take(), [{ method: "ping" }, { method: "ping" }]);
  assert.deepEqual(p.take(), []);
});

test("host messages that match no request go to every page of that tab only", () => {
  const { natives, page } = setup();
  const a1 = page(1);
  const a2 = page(1);
  const b = page(2);
  a1.deliver({ id: 1, method: "getFonts" });
  b.deliver({ id: 1, method: "getFonts" });
  const note = { text: "refused path", tab: 1 };
  natives[0].deliver(note);
  assert.deepEqual(a1.take(), [{ message: note }]);
  assert.deepEqual(a2.take(), [{ message: note }]);
  assert.deepEqual(b.take(), []);
});

test("when the host exits, waiting calls fail with the browser's reason and the next call starts a new host", () => {
  const { natives, page, setLastError } = setup();
  const p = page(4, "http://localhost/p");
  p.deliver({ id: 1, method: "getPrinters" });
  setLastError("Native host has exited.");
  natives[0].drop();
  assert.deepEqual(p.take(), [
    { id: 1, error: "Native host has exited.", code: "hostExited" },
    { disconnected: "Native host has exited.", code: "hostExited" },
  ]);
  setLastError(undefined);
  p.deliver({ id: 2, method: "getVersion" });
  assert.equal(natives.length, 2);
  const [hello, request] = natives[1].take();
  assert.deepEqual(hello, { method: "new", sender: { tab: { id: 4 }, url: "http://localhost/p" } });
  natives[1].deliver({ data: "v2", event: request.event, tab: 4 });
  assert.deepEqual(p.take(), [{ id: 2, data: "v2" }]);
});

test("a host that cannot be found fails the call with the browser's text", () => {
  const { natives, page, setLastError } = setup();
  const p = page(1);
  p.deliver({ id: 5, method: "getVersion" });
  setLastError("Specified native messaging host not found.");
  natives[0].drop();
  assert.deepEqual(p.take()[0], { id: 5, error: "Specified native messaging host not found.", code: "hostMissing" });
  // Firefox's words for the same, and a manifest that does not allow the extension.
  assert.equal(hostErrorCode("No such native application com.kestrix.host"), "hostMissing");
  assert.equal(hostErrorCode("Access to the specified native messaging host is forbidden."), "hostForbidden");
});

test("a request that meets a host port already closed fails at once", () => {
  const { natives, page } = setup();
  const p = page(1);
  p.deliver({ id: 1, method: "getVersion" });
  natives[0].gone = true; // closed, its onDisconnect not yet run
  p.deliver({ id: 2, method: "getVersion" });
  const [reply] = p.take();
  assert.equal(reply.id, 2);
  assert.match(reply.error, /cannot be reached/);
});

test("when the tab's last page goes, the host port is closed and late replies are dropped", () => {
  const { natives, page } = setup();
  const a = page(3);
  const b = page(3);
  a.deliver({ id: 1, method: "readBase64", params: ["f"] });
  const [, request] = natives[0].take();
  a.drop();
  assert.equal(natives[0].closedByUs, false, "another page of the tab still uses the host");
  natives[0].deliver({ data: "late", event: request.event, tab: 3 });
  assert.deepEqual(b.take(), []);
  b.drop();
  assert.equal(natives[0].closedByUs, true);
});

test("a page at another URL in the same tab renames the host's page with a new new", () => {
  const { natives, page } = setup();
  const a = page(6, "http://127.0.0.1/one");
  a.deliver({ id: 1, method: "getVersion" });
  a.deliver({ id: 2, method: "getVersion" });
  assert.equal(natives[0].take().filter((m) => m.method === "new").length, 1);
  const b = page(6, "http://127.0.0.1/two");
  b.deliver({ id: 1, method: "getVersion" });
  assert.equal(natives.length, 1, "one host per tab");
  const [hello] = natives[0].take();
  assert.deepEqual(hello, { method: "new", sender: { tab: { id: 6 }, url: "http://127.0.0.1/two" } });
});

test("requests a page may not send are refused without reaching the host", () => {
  const { natives, page } = setup();
  const p = page(1);
  p.deliver({ id: 1, method: "new", params: [] });
  p.deliver({ id: 2, method: "exit" });
  p.deliver({ id: 3, method: "ping" });
  p.deliver({ id: 4, method: "getVersion", params: "not an array" });
  p.deliver("not an object");
  // Decisions are the extension's own pages' business, never a web page's.
  p.deliver({ id: 5, method: "siteDecide", params: ["http://127.0.0.1:8000", "printers", "allow", true] });
  p.deliver({ id: 6, method: "siteForget", params: ["https://shop.test"] });
  p.deliver({ id: 7, method: "siteCheck", params: ["print", []] });
  p.deliver({ id: 8, method: "siteList" });
  const replies = p.take();
  assert.deepEqual(replies.map((r) => r.id), [1, 2, 3, 4, 5, 6, 7, 8]);
  for (const r of replies) assert.match(r.error, /unknown command|must be an array/);
  assert.deepEqual(replies.map((r) => r.code), ["unknownCommand", "unknownCommand", "unknownCommand", "badRequest",
    "unknownCommand", "unknownCommand", "unknownCommand", "unknownCommand"]);
  assert.equal(natives.length, 0);
});

test("a connection from outside a tab is refused", () => {
  const { relay } = setup();
  const port = new FakePort({ url: "http://127.0.0.1/" });
  relay.attachPage(port);
  assert.match(port.take()[0].error, /browser tab/);
  assert.equal(port.closedByUs, true);
});

// ---- site permissions -------------------------------------------------------------

function permissionSetup(answers) {
  const asked = [];
  const natives = [];
  const relay = new Relay({
    connectNative: () => {
      const port = new FakePort();
      natives.push(port);
      return port;
    },
    ask: (origin, capability, tabId) => {
      asked.push({ origin, capability, tabId });
      return Promise.resolve(answers.shift());
    },
    uiUrl: "chrome-extension://x/options.html",
  });
  const page = (tabId, url) => {
    const port = new FakePort({ tab: { id: tabId }, url });
    relay.attachPage(port);
    return port;
  };
  return { relay, natives, page, asked };
}

const settle = () => new Promise((resolve) => setImmediate(resolve));
const refusal = (event, mayAsk, decidedBy = "nobody") => ({
  error: {
    code: "permissionDenied", capability: "printers", origin: "https://shop.test", method: "getPrinters",
    decidedBy, mayAsk, message: "https://shop.test may not use the capability \"printers\"",
  },
  event,
  tab: 3,
});

test("an undecided site: the user is asked once, the host told, the requests sent again", async () => {
  const { natives, page, asked } = permissionSetup([{ decision: "allow", remember: true }]);
  const p = page(3, "https://shop.test/cart");
  p.deliver({ id: 1, method: "getPrinters" });
  p.deliver({ id: 2, method: "getPrinters" });
  const [, first, second] = natives[0].take();
  natives[0].deliver(refusal(first.event, true));
  natives[0].deliver(refusal(second.event, true));
  await settle();
  assert.deepEqual(asked, [{ origin: "https://shop.test", capability: "printers", tabId: 3 }]);
  const [decide] = natives[0].take();
  assert.equal(decide.method, "siteDecide");
  assert.deepEqual(decide.params, ["https://shop.test", "printers", "allow", true]);
  assert.deepEqual(p.take(), [], "nothing reaches the page while the decision is on its way");
  natives[0].deliver({ data: true, event: decide.event, tab: 3 });
  await settle();
  const again = natives[0].take();
  assert.deepEqual(again.map((m) => m.method), ["getPrinters", "getPrinters"]);
  natives[0].deliver({ data: ["A"], event: again[0].event, tab: 3 });
  // Refused again (another tab blocked meanwhile): no second prompt, the page gets the error.
  natives[0].deliver(refusal(again[1].event, true));
  await settle();
  assert.equal(asked.length, 1);
  assert.deepEqual(p.take(), [
    { id: 1, data: ["A"] },
    { id: 2, error: 'https://shop.test may not use the capability "printers"', code: "permissionDenied", capability: "printers",
      decidedBy: "nobody", origin: "https://shop.test", mayAsk: true },
  ]);
});

test("a command that needs two undecided capabilities asks for each once", async () => {
  const { natives, page, asked } = permissionSetup([{ decision: "allow" }, { decision: "allow" }]);
  const p = page(3, "https://shop.test/");
  p.deliver({ id: 1, method: "printToPDF", params: [{ html: "<p>x</p>" }, "a.pdf"] });
  const refusedFor = (capability, event) => {
    const r = refusal(event, true);
    r.error.capability = capability;
    return r;
  };
  let [, request] = natives[0].take();
  for (const capability of ["printers", "writeFiles", "writeFiles"]) {
    natives[0].deliver(refusedFor(capability, request.event));
    await settle();
    const [decide] = natives[0].take();
    if (!decide) break;  // the third refusal is not asked about again
    natives[0].deliver({ data: true, event: decide.event, tab: 3 });
    await settle();
    [request] = natives[0].take();
  }
  assert.deepEqual(asked.map((a) => a.capability), ["printers", "writeFiles"]);
  assert.deepEqual(p.take().map((m) => [m.id, m.capability]), [[1, "writeFiles"]]);
});

test("a dismissed prompt blocks for this host only; a decided refusal asks nobody", async () => {
  const { natives, page, asked } = permissionSetup([null]);
  const p = page(3, "https://shop.test/");
  p.deliver({ id: 1, method: "getPrinters" });
  const [, request] = natives[0].take();
  natives[0].deliver(refusal(request.event, true));
  await settle();
  const [decide] = natives[0].take();
  assert.deepEqual(decide.params, ["https://shop.test", "printers", "block", false]);
  natives[0].deliver({ data: true, event: decide.event, tab: 3 });
  await settle();
  const [retry] = natives[0].take();
  natives[0].deliver(refusal(retry.event, false, "session"));
  p.deliver({ id: 2, method: "getPrinters" });
  const [third] = natives[0].take();
  natives[0].deliver(refusal(third.event, false, "policy"));
  await settle();
  assert.equal(asked.length, 1);
  // Who decided reaches the page: a policy's refusal is not the user's.
  assert.deepEqual(p.take().map((m) => [m.id, m.code, m.decidedBy, m.mayAsk]),
    [[1, "permissionDenied", "session", false], [2, "permissionDenied", "policy", false]]);
});

test("a print is checked before it is sent, and sent only once allowed", async () => {
  const { natives, page, asked } = permissionSetup([{ decision: "allow", remember: false }]);
  const p = page(3, "https://shop.test/");
  p.deliver({ id: 1, method: "print", params: [{ html: "<p>x</p>" }, false] });
  const [, check] = natives[0].take();
  assert.equal(check.method, "siteCheck");
  assert.deepEqual(check.params, ["print", [{ html: "<p>x</p>" }, false]]);
  natives[0].deliver(refusal(check.event, true));
  await settle();
  const [decide] = natives[0].take();
  assert.deepEqual(decide.params, ["https://shop.test", "printers", "allow", false]);
  natives[0].deliver({ data: true, event: decide.event, tab: 3 });
  await settle();
  const [recheck] = natives[0].take();
  assert.equal(recheck.method, "siteCheck");
  assert.deepEqual(p.take(), []);
  natives[0].deliver({ data: true, event: recheck.event, tab: 3 });
  const [print] = natives[0].take();
  assert.equal(print.method, "print");
  assert.deepEqual(p.take(), [{ id: 1 }]);
  assert.equal(asked.length, 1);
});

test("the extension's own pages manage decisions through a host of their own", async () => {
  const { relay, natives } = permissionSetup([]);
  const listed = relay.manage("siteList", []);
  const [hello, list] = natives[0].take();
  assert.deepEqual(hello, { method: "new", sender: { tab: { id: -1 }, url: "chrome-extension://x/options.html" } });
  natives[0].deliver({ data: { sites: {} }, event: list.event, tab: -1 });
  assert.deepEqual(await listed, { sites: {} });
  const refused = relay.manage("siteDecide", ["http://127.0.0.1", "printers", "block", true]);
  const [decide] = natives[0].take();
  natives[0].deliver({ error: { code: "siteDecisionRefused", message: "the administrator's policy decides" }, event: decide.event, tab: -1 });
  await assert.rejects(refused, /administrator/);
  await assert.rejects(relay.manage("getPrinters", []), /not a management request/);
  relay.closeUi();
  assert.equal(natives[0].closedByUs, true);
});

test("the options page shows what the policy decides before the user's own decision", () => {
  require("../../extension/capabilities.js");
  const { decides } = globalThis.KestrixPolicy;
  const policy = {
    allow: { "https://intranet.test": ["printers"], "http://127.0.0.1:*": ["printers", "readFiles"] },
    block: ["https://evil.test:*"], othersMayAsk: true,
  };
  assert.equal(decides(policy, "https://intranet.test", "printers"), "allow");
  assert.equal(decides(policy, "https://intranet.test", "writeFiles"), "block", "an allowed origin gets its list only");
  assert.equal(decides(policy, "http://127.0.0.1:8000", "readFiles"), "allow");
  assert.equal(decides(policy, "https://evil.test:8443", "printers"), "block");
  assert.equal(decides(policy, "https://shop.test", "printers"), null, "the user decides");
  assert.equal(decides(Object.assign({}, policy, { othersMayAsk: false }), "https://shop.test", "printers"), "block");
  assert.equal(decides(Object.assign({}, policy, { error: "not JSON" }), "https://intranet.test", "printers"), "block");
});
