// Page library for kestrix-host. Every command is a function that returns a promise:
//
//   <script src="kestrix.js"></script>
//   const version = await kestrix.getVersion();
//   await kestrix.printToPDF({ html: "<p>Hi</p>", done: (result, info) => ..., onState: (job) => ... },
//                            "/path/out.pdf");
//   // With "wait: true" a job's promise settles with its outcome instead of its hand-over:
//   const { status, result } = await kestrix.print({ html: "<p>Label</p>", printer: "labels", wait: true });
//
// Every job keeps its callbacks until its own end, so several jobs may run at once.
// As an ES module: import kestrix from "./kestrix.mjs".
// The page talks to the Kestrix extension through the extension's content script
// (window.postMessage, after a handshake: kestrix.ready() tells whether the
// extension is there), on any http or https page. The site's capabilities are
// decided by the user or the administrator; a refused call rejects with a
// KestrixError whose code is "permissionDenied" and whose capability names what
// was missing. createClient({runtime: chrome.runtime}) talks to the extension
// directly instead, for pages on the origins of its "externally_connectable".
(function (global) {
  "use strict";

  // Fixed by the "key" in the extension's manifest.json.
  const EXTENSION_ID = "obkkhjkmknnbggeelnmbimmleflkgjoj";
  const COMMANDS = [
    "about", "printPreview", "print", "getPrinters", "getPapers", "isCustomPaperSupported",
    "isImplemented", "isExcelInstalled", "getDefaultPrinter", "getVersion", "getLocalMacAddress",
    "getCPUSerialNo", "setOffsetPage", "isPrintableFileType", "setDragCSS", "clearLastSettings",
    "printDocument", "printTIFF", "exportAsImage", "exportAsExcel", "setupNormalOffset", "download",
    "printToImage", "printToPDF", "liveUpdate", "getFonts", "copy", "copied", "writeString",
    "writeBase64", "readString", "readBase64", "readHTML", "chooseFile", "showPageSetupDialog",
    "getLastSettings", "getAbsoluteURL", "setLastSettings", "setDefaultPrinter", "openFile",
    "getPrinterInfo", "getPrinterStatus", "setPrintBackground",
  ];
  const PRINT_JOBS = ["print", "printPreview", "printToImage", "printToPDF"];
  const JOB_EVENTS = ["done", "onState", "listener"];
  const DEFAULT_TIMEOUT_MS = 60000;
  const MISSING = "the Kestrix extension is not installed, is disabled, or does not serve this page";
  // How long the content script may take to answer the handshake.
  const DEFAULT_HANDSHAKE_MS = 2000;
  const PAGE_CHANNEL = "kestrix-page";
  const EXTENSION_CHANNEL = "kestrix-extension";

  class KestrixError extends Error {
    // code: "permissionDenied" when the site lacks the capability; undefined otherwise.
    constructor(message, code, capability) {
      super(message);
      this.name = "KestrixError";
      if (code) this.code = code;
      if (capability) this.capability = capability;
    }
  }

  // The content script's side of the page: detect() is a promise of whether the
  // extension answered the handshake; open() a port-like connection over it.
  function windowTransport(win, handshakeMs) {
    let present = null;
    let nextConn = 1;
    const prefix = Math.random().toString(36).slice(2);
    const send = (msg) => win.postMessage(Object.assign({ channel: PAGE_CHANNEL }, msg), win.location.origin);
    const fromExtension = (event) =>
      event.source === win && event.data && typeof event.data === "object" && event.data.channel === EXTENSION_CHANNEL
        ? event.data
        : null;

    function detect() {
      if (present) return present;
      present = new Promise((resolve) => {
        const listen = (event) => {
          const msg = fromExtension(event);
          if (msg && msg.type === "ready") done(true);
        };
        const timer = setTimeout(() => done(false), handshakeMs);
        function done(found) {
          clearTimeout(timer);
          win.removeEventListener("message", listen);
          if (!found) present = null; // asked again next time: the extension may come later
          resolve(found);
        }
        win.addEventListener("message", listen);
        send({ type: "hello" });
      });
      return present;
    }

    function open() {
      const conn = `${prefix}.${nextConn++}`;
      const messageListeners = [];
      const disconnectListeners = [];
      let state = "opening"; // "open", "closed"
      let queue = [];
      const port = {
        error: "",
        onMessage: { addListener: (fn) => messageListeners.push(fn) },
        onDisconnect: { addListener: (fn) => disconnectListeners.push(fn) },
        postMessage(msg) {
          if (state === "closed") throw new Error("the connection to the Kestrix extension is closed");
          if (state === "opening") queue.push(msg);
          else send({ type: "message", conn, message: msg });
        },
        disconnect() {
          if (state === "closed") return;
          if (state === "open") send({ type: "disconnect", conn });
          close("");
        },
      };
      function close(error) {
        if (state === "closed") return;
        state = "closed";
        queue = [];
        win.removeEventListener("message", listen);
        port.error = error;
      }
      function gone(error) {
        if (state === "closed") return;
        close(error);
        for (const fn of disconnectListeners) fn(port);
      }
      function listen(event) {
        const msg = fromExtension(event);
        if (!msg || msg.conn !== conn) return;
        if (msg.type === "message") for (const fn of messageListeners) fn(msg.message);
        else if (msg.type === "disconnect") gone(msg.error || "");
      }
      win.addEventListener("message", listen);
      detect().then((found) => {
        if (state !== "opening") return;
        if (!found) return gone(MISSING);
        state = "open";
        send({ type: "connect", conn });
        for (const msg of queue) send({ type: "message", conn, message: msg });
        queue = [];
      });
      return port;
    }

    return { detect, open };
  }

  function isPlainObject(v) {
    return v !== null && typeof v === "object" && !Array.isArray(v);
  }

  // Function members done/onState/listener become event names that the host sends
  // back; "_hasCallback" asks the host to forward the job's events at all. "wait"
  // stays here: it asks for the "done" event so that the call can settle with it.
  function splitJob(job) {
    const wire = {};
    const callbacks = {};
    for (const key of Object.keys(job)) {
      if (key === "wait") continue;
      if (JOB_EVENTS.includes(key) && typeof job[key] === "function") {
        callbacks[key] = job[key];
        wire[key] = key;
      } else {
        wire[key] = job[key];
      }
    }
    const wait = job.wait === true;
    if (wait && !callbacks.done && !callbacks.listener) wire.done = "done";
    if (Object.keys(callbacks).length > 0 || wait) wire._hasCallback = true;
    return { wire, callbacks, wait };
  }

  // The event that ends a job: "listener" when the job has one (its outcome is the
  // object without a "status", which job states always have), else "done".
  function endsJob(callbacks, event, params) {
    if (callbacks.listener) return event === "listener" && !(isPlainObject(params[0]) && "status" in params[0]);
    return event === "done";
  }

  function later(error) {
    setTimeout(() => {
      throw error;
    }, 0);
  }

  // options: timeout (ms without a reply before a call fails; 0 = never; a call
  // the user is asked about waits for the answer, up to 45 s), handshakeTimeout
  // (ms), window (instead of the page's), runtime (talk to the extension directly,
  // e.g. chrome.runtime, on an "externally_connectable" origin) with extensionId.
  function createClient(options) {
    options = options || {};
    const direct = "runtime" in options;
    const win = options.window || (typeof global.window === "object" ? global.window : null);
    const transport = !direct && win && typeof win.postMessage === "function"
      ? windowTransport(win, options.handshakeTimeout || DEFAULT_HANDSHAKE_MS)
      : null;
    const extensionId = options.extensionId || EXTENSION_ID;
    const timeoutMs = options.timeout === undefined ? DEFAULT_TIMEOUT_MS : options.timeout;
    const calls = new Map(); // request id -> {method, resolve, reject, timer}
    let jobs = new Map(); // request id -> {callbacks, outcome} of a job not yet ended
    const listeners = { message: new Set(), event: new Set(), disconnect: new Set() };
    let port = null;
    let closeReason = "";
    let nextId = 1;

    function emit(type, ...args) {
      for (const fn of listeners[type]) {
        try {
          fn(...args);
        } catch (e) {
          later(e);
        }
      }
    }

    function settle(id, error, data, code, capability) {
      const call = calls.get(id);
      if (!call) return;
      calls.delete(id);
      clearTimeout(call.timer);
      const job = jobs.get(id);
      if (error) {
        if (job) jobs.delete(id);
        call.reject(new KestrixError(`${call.method}: ${error}`, code, capability));
      } else if (job && job.outcome) {
        // A job the host refused at once (false) still ends with its done event.
        job.outcome.promise.then(call.resolve, () => {});  // a failure rejects the call on its own
      } else {
        call.resolve(data);
      }
    }

    // Jobs waiting for their outcome fail with the connection.
    function dropJobs(reason) {
      const waiting = Array.from(jobs.values());
      jobs = new Map();
      for (const job of waiting) if (job.outcome) job.outcome.reject(new KestrixError(`print job: ${reason}`));
    }

    function receive(msg) {
      if (!isPlainObject(msg)) return;
      if ("message" in msg) return emit("message", msg.message);
      if ("disconnected" in msg) {
        dropJobs(msg.disconnected);
        return emit("disconnect", msg.disconnected);
      }
      if ("event" in msg) {
        const params = Array.isArray(msg.params) ? msg.params : [];
        const job = jobs.get(msg.id);
        const callback = job && job.callbacks[msg.event];
        if (!job) return emit("event", msg.event, params);
        if (callback) {
          try {
            callback(...params);
          } catch (e) {
            later(e);
          }
        }
        if (endsJob(job.callbacks, msg.event, params)) {
          jobs.delete(msg.id);
          if (job.outcome) {
            const listener = msg.event === "listener";
            job.outcome.resolve({ status: listener ? null : params[0], result: listener ? params[0] : params[1] });
          }
        }
        return;
      }
      if ("error" in msg && msg.id === undefined) {
        // The extension refused the connection itself; it closes the port next.
        closeReason = String(msg.error);
        return;
      }
      settle(msg.id, "error" in msg ? String(msg.error) : "", msg.data, msg.code, msg.capability);
    }

    function connect() {
      if (port) return port;
      const runtime = direct ? options.runtime : null;
      let p;
      if (transport) {
        p = transport.open();
      } else {
        if (!runtime || typeof runtime.connect !== "function") throw new KestrixError(MISSING);
        try {
          p = runtime.connect(extensionId, { name: "kestrix" });
        } catch (e) {
          throw new KestrixError(`${MISSING} (${e.message})`);
        }
      }
      p.onMessage.addListener(receive);
      p.onDisconnect.addListener(() => {
        const why = (runtime && runtime.lastError && runtime.lastError.message) || p.error || closeReason;
        closeReason = "";
        if (port === p) port = null;
        const error = why === MISSING || /receiving end does not exist|could not establish connection/i.test(why)
          ? MISSING
          : `the connection to the Kestrix extension closed${why ? ": " + why : ""}`;
        for (const id of Array.from(calls.keys())) settle(id, error);
        dropJobs(error);
        emit("disconnect", error);
      });
      port = p;
      return p;
    }

    function request(method, args) {
      const params = Array.from(args);
      let job = null;
      if (PRINT_JOBS.includes(method) && isPlainObject(params[0])) {
        const split = splitJob(params[0]);
        params[0] = split.wire;
        if (split.wire._hasCallback) job = { callbacks: split.callbacks, outcome: null };
        if (split.wait) {
          job.outcome = {};
          job.outcome.promise = new Promise((resolve, reject) => Object.assign(job.outcome, { resolve, reject }));
          job.outcome.promise.catch(() => {});  // rejections reach the caller through the call
        }
      }
      return new Promise((resolve, reject) => {
        let p;
        try {
          p = connect();
        } catch (e) {
          reject(e);
          return;
        }
        const id = nextId++;
        if (job) jobs.set(id, job);
        const call = { method, resolve, reject, timer: null };
        if (job && job.outcome) {
          // The outcome's failure (the host went away) fails the call too.
          const fail = (e) => reject(e);
          job.outcome.promise.catch(fail);
        }
        if (timeoutMs > 0) call.timer = setTimeout(() => settle(id, `no reply within ${timeoutMs} ms`), timeoutMs);
        calls.set(id, call);
        try {
          p.postMessage({ id, method, params });
        } catch (e) {
          settle(id, e.message);
        }
      });
    }

    const client = {
      // A promise of whether the extension answers in this page.
      ready() {
        if (transport) return transport.detect();
        return Promise.resolve(!!(options.runtime && typeof options.runtime.connect === "function"));
      },
      // type: "message" (host messages no request claims: fn(object)),
      // "event" (job events without a callback: fn(name, params)),
      // "disconnect" (the host or the extension went away: fn(reason)).
      on(type, fn) {
        if (!listeners[type]) throw new KestrixError(`unknown event type ${type}`);
        listeners[type].add(fn);
        return client;
      },
      off(type, fn) {
        if (listeners[type]) listeners[type].delete(fn);
        return client;
      },
      // Closes the connection; the host ends once no page of the tab uses it.
      close() {
        if (!port) return;
        const p = port;
        port = null;
        p.disconnect();
        for (const id of Array.from(calls.keys())) settle(id, "the client was closed");
        dropJobs("the client was closed");
      },
    };
    for (const method of COMMANDS) client[method] = (...args) => request(method, args);
    return client;
  }

  const kestrix = createClient();
  kestrix.createClient = createClient;
  kestrix.KestrixError = KestrixError;
  kestrix.EXTENSION_ID = EXTENSION_ID;
  kestrix.COMMANDS = COMMANDS.slice();

  // Loaded both as a classic script and through kestrix.mjs, the page keeps one client.
  if (typeof module === "object" && module.exports) module.exports = kestrix;
  else if (!global.kestrix) global.kestrix = kestrix;
})(globalThis);
