// Page library for kestrix-host. Every command is a function that returns a promise:
//
//   <script src="kestrix.js"></script>
//   const version = await kestrix.getVersion();
//   await kestrix.printToPDF({ html: "<p>Hi</p>", done: (status, result) => ..., onState: (job) => ... },
//                            "/path/out.pdf");
//   // With "wait: true" a job's promise settles with its outcome instead of its start:
//   const { status, result } = await kestrix.print({ html: "<p>Label</p>", printer: "labels", wait: true });
//
// Every failure rejects with a KestrixError whose "code" is one of ERROR_CODES
// (and, where they apply, capability, decidedBy, mayAsk, limit, printers,
// result); a job's "done" result carries the same code. Mistakes fail at once:
// a job the host refuses before it starts (a printer that does not exist, an
// option it lacks, a path outside the site's folder) rejects its call; a
// request larger than the browser carries is refused before it is sent; a page
// without the extension is told after one handshake, and every call after that
// at once.
//
// Every job keeps its callbacks until its own end, so several jobs may run at once.
// As an ES module: import kestrix from "./kestrix.mjs".
// The page talks to the Kestrix extension through the extension's content script
// (window.postMessage, after a handshake: kestrix.ready() tells whether the
// extension is there), on any http or https page. createClient({runtime:
// chrome.runtime}) talks to the extension directly instead, for pages on the
// origins of its "externally_connectable".
(function (global) {
  "use strict";

  const VERSION = "0.2.0";
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
  // The codes a KestrixError or a job's outcome may carry; docs/extension.md says
  // when each one comes. Codes of the host's job outcomes pass on unchanged.
  const ERROR_CODES = [
    // the way to the host
    "extensionMissing", "hostMissing", "hostForbidden", "hostExited", "connectionClosed", "clientClosed",
    "notInTab", "requestTooLarge", "timeout", "unknownCommand", "badRequest",
    // the site's permissions
    "permissionDenied", "siteDecisionRefused",
    // jobs (the "done" result's code) and the host's other refusals
    "printerNotFound", "optionUnsupported", "schedulerUnreachable", "printerError", "renderFailed",
    "chromiumMissing", "networkRefused", "pathRefused", "noRoom", "queueFull", "timeLimit", "badJob", "noJob",
    "noDocument", "noElement", "jobProcessMissing", "submitFailed", "followFailed", "writeFailed",
    "cannotConvert", "unknownType", "fileUnreadable", "badData", "jobCanceled", "jobAborted",
    "jobStillQueued", "jobFailed",
  ];
  const DEFAULT_TIMEOUT_MS = 60000;
  // The browser carries a message of at most 64 MiB as JSON; the extension adds
  // a few members of its own to what the page sends, so the page keeps 1 KiB free.
  const MAX_REQUEST_BYTES = 64 * 1024 * 1024 - 1024;
  const MISSING = "the Kestrix extension is not installed, is disabled, or does not serve this page";
  // How long the content script may take to answer the handshake.
  const DEFAULT_HANDSHAKE_MS = 2000;
  const PAGE_CHANNEL = "kestrix-page";
  const EXTENSION_CHANNEL = "kestrix-extension";

  class KestrixError extends Error {
    // code: one of ERROR_CODES; details: the members that apply (capability,
    // decidedBy, mayAsk, origin, limit, size, printers, result, method), or the
    // capability's name alone.
    constructor(message, code, details) {
      super(message);
      this.name = "KestrixError";
      this.code = code || "jobFailed";
      if (typeof details === "string") details = { capability: details };
      if (details && typeof details === "object") {
        for (const key of Object.keys(details)) if (details[key] !== undefined && key !== "message") this[key] = details[key];
      }
    }
  }

  // The code for a native messaging error the browser reports in its own words
  // (Chromium's and Firefox's texts). The extension sends codes itself; this is
  // for texts that reach the page without one.
  function hostErrorCode(text) {
    if (/not found|no such native application/i.test(text)) return "hostMissing";
    if (/forbidden/i.test(text)) return "hostForbidden";
    return "hostExited";
  }

  // UTF-8 bytes of a text, counted only when the length alone cannot tell.
  function exceedsLimit(text, limit) {
    if (text.length > limit) return text.length;
    if (text.length * 3 <= limit) return 0;
    let bytes = 0;
    for (let i = 0; i < text.length; i++) {
      const c = text.charCodeAt(i);
      if (c < 0x80) bytes += 1;
      else if (c < 0x800) bytes += 2;
      else if (c >= 0xd800 && c <= 0xdbff && i + 1 < text.length) {
        bytes += 4;
        i++;
      } else bytes += 3;
    }
    return bytes > limit ? bytes : 0;
  }

  // The content script's side of the page: detect() is a promise of whether the
  // extension answered the handshake; open() a port-like connection over it.
  // The content script runs only in http and https pages, so elsewhere (file:,
  // data:, about:) the answer is known at once; once a handshake went
  // unanswered, later calls are told at once too, unless the content script
  // has said "ready" since (Firefox adds it to pages open when it is installed).
  // What is known of a window's extension, shared by every client of the page.
  const pages = new WeakMap(); // window -> {present: null | promise of true / false}

  function windowTransport(win, handshakeMs) {
    let nextConn = 1;
    const prefix = Math.random().toString(36).slice(2);
    const protocol = win.location && win.location.protocol;
    const served = protocol === undefined || protocol === "http:" || protocol === "https:";
    const send = (msg) => win.postMessage(Object.assign({ channel: PAGE_CHANNEL }, msg), win.location.origin);
    const fromExtension = (event) =>
      event.source === win && event.data && typeof event.data === "object" && event.data.channel === EXTENSION_CHANNEL
        ? event.data
        : null;
    let page = pages.get(win);
    if (!page) {
      page = { present: null };
      pages.set(win, page);
      if (served) {
        win.addEventListener("message", (event) => {
          const msg = fromExtension(event);
          if (msg && msg.type === "ready") page.present = Promise.resolve(true);
        });
      }
    }

    function detect() {
      if (!served) return Promise.resolve(false);
      if (page.present) return page.present;
      page.present = new Promise((resolve) => {
        const listen = (event) => {
          const msg = fromExtension(event);
          if (msg && msg.type === "ready") done(true);
        };
        const timer = setTimeout(() => done(false), handshakeMs);
        function done(found) {
          clearTimeout(timer);
          win.removeEventListener("message", listen);
          resolve(found);
        }
        win.addEventListener("message", listen);
        send({ type: "hello" });
      });
      return page.present;
    }

    function open() {
      const conn = `${prefix}.${nextConn++}`;
      const messageListeners = [];
      const disconnectListeners = [];
      let state = "opening"; // "open", "closed"
      let queue = [];
      const port = {
        error: "",
        code: "",
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
          close("", "");
        },
      };
      function close(error, code) {
        if (state === "closed") return;
        state = "closed";
        queue = [];
        win.removeEventListener("message", listen);
        port.error = error;
        port.code = code;
      }
      function gone(error, code) {
        if (state === "closed") return;
        close(error, code);
        for (const fn of disconnectListeners) fn(port);
      }
      function listen(event) {
        const msg = fromExtension(event);
        if (!msg || msg.conn !== conn) return;
        if (msg.type === "message") for (const fn of messageListeners) fn(msg.message);
        else if (msg.type === "disconnect") gone(msg.error || "", msg.code || "");
      }
      win.addEventListener("message", listen);
      detect().then((found) => {
        if (state !== "opening") return;
        if (!found) return gone(MISSING, "extensionMissing");
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
  // back; "_hasCallback" asks the host to forward the job's events. The library
  // always asks for the job's end and states (when no callback takes them): the
  // call settles on them when the host's reply cannot tell whether the job
  // started. "wait" stays here.
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
    if (!callbacks.listener) {
      if (!callbacks.done) wire.done = "done";
      if (!callbacks.onState) wire.onState = "onState";
    }
    wire._hasCallback = true;
    return { wire, callbacks, wait: job.wait === true };
  }

  // The event that ends a job: "listener" when the job has one (its outcome is the
  // object without a "status", which job states always have), else "done".
  function endsJob(callbacks, event, params) {
    if (callbacks.listener) return event === "listener" && !(isPlainObject(params[0]) && "status" in params[0]);
    return event === "done";
  }

  // A job's outcome as {status, result}; a failed one's result always has a
  // code. A "listener" outcome comes without the status text: a code tells a failure.
  function outcomeOf(event, params) {
    const listener = event === "listener";
    const result = listener ? params[0] : params[1];
    let status = listener ? null : params[0];
    if (listener && isPlainObject(result)) status = typeof result.code === "string" ? "error" : "success";
    if (status === "error" && isPlainObject(result) && typeof result.code !== "string") result.code = "jobFailed";
    return { status, result };
  }

  function jobError(method, outcome) {
    const result = isPlainObject(outcome.result) ? outcome.result : {};
    const details = { method, result };
    if (Array.isArray(result.printers)) details.printers = result.printers;
    return new KestrixError(`${method}: ${result.message || "the job failed"}`, result.code || "jobFailed", details);
  }

  function later(error) {
    setTimeout(() => {
      throw error;
    }, 0);
  }

  // options: timeout (ms without a reply before a call fails; 0 = never; a call
  // the user is asked about waits for the answer, up to 45 s), handshakeTimeout
  // (ms), window (instead of the page's), runtime (talk to the extension directly,
  // e.g. chrome.runtime, on an "externally_connectable" origin) with extensionId,
  // maxRequestBytes (the largest request sent, as JSON in UTF-8).
  function createClient(options) {
    options = options || {};
    const direct = "runtime" in options;
    const win = options.window || (typeof global.window === "object" ? global.window : null);
    const transport = !direct && win && typeof win.postMessage === "function"
      ? windowTransport(win, options.handshakeTimeout || DEFAULT_HANDSHAKE_MS)
      : null;
    const extensionId = options.extensionId || EXTENSION_ID;
    const timeoutMs = options.timeout === undefined ? DEFAULT_TIMEOUT_MS : options.timeout;
    const maxRequestBytes = options.maxRequestBytes || MAX_REQUEST_BYTES;
    const calls = new Map(); // request id -> {method, resolve, reject, timer, job}
    let jobs = new Map(); // request id -> {callbacks, wait, replied, outcome} of a job not yet ended
    const listeners = { message: new Set(), event: new Set(), disconnect: new Set() };
    let port = null;
    let closeReason = null; // {error, code} the extension gave before closing the port
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

    function finishCall(id) {
      const call = calls.get(id);
      if (!call) return null;
      calls.delete(id);
      clearTimeout(call.timer);
      return call;
    }

    // A call that fails before the host took its job takes the job with it; one
    // that fails later (its time-out) leaves the job its callbacks.
    function fail(id, error) {
      const call = finishCall(id);
      if (!call) return;
      if (!(call.job && call.job.replied)) jobs.delete(id);
      call.reject(error);
    }

    function failWith(id, message, code, details) {
      const call = calls.get(id);
      if (call) fail(id, new KestrixError(`${call.method}: ${message}`, code, Object.assign({ method: call.method }, details)));
    }

    // The host's reply. A job call settles here unless only the job's events can
    // tell whether it started: print and printPreview (the reply is the hand-over)
    // and a printToPDF or printToImage answered false (refused: its "done" says
    // why). With "wait" it settles with the job's outcome, however long the job
    // takes: the host has answered, so the call's time-out ends here.
    function replied(id, data) {
      const call = calls.get(id);
      if (!call) return;
      const job = call.job;
      if (!job) return finishCall(id).resolve(data);
      job.replied = { data };
      if (job.outcome) return settleJob(id, job);
      if (job.wait) {
        clearTimeout(call.timer);
        return;
      }
      if (data !== undefined && data !== false) finishCall(id).resolve(data);
    }

    function settleJob(id, job) {
      const call = finishCall(id);
      if (!call) return;
      if (job.outcome.status === "error") call.reject(jobError(call.method, job.outcome));
      else call.resolve(job.wait ? job.outcome : job.replied.data);
    }

    // Jobs still running fail with the connection; so do calls waiting for them.
    function dropJobs(message, code) {
      const ids = Array.from(jobs.keys());
      jobs = new Map();
      for (const id of ids) failWith(id, message, code);
    }

    function jobEvent(id, job, event, params) {
      const callback = job.callbacks[event];
      if (callback) {
        try {
          callback(...params);
        } catch (e) {
          later(e);
        }
      }
      const ends = endsJob(job.callbacks, event, params);
      if (ends) {
        jobs.delete(id);
        job.outcome = outcomeOf(event, params);
      }
      // The reply always comes before the job's events; a call still without
      // it settles when it arrives.
      if (!calls.has(id) || !job.replied) return;
      // The job's end settles any call; a state only one that waits for the start.
      if (ends) settleJob(id, job);
      else if (!job.wait) finishCall(id).resolve(job.replied.data);
    }

    function receive(msg) {
      if (!isPlainObject(msg)) return;
      if ("message" in msg) return emit("message", msg.message);
      if ("disconnected" in msg) {
        const code = typeof msg.code === "string" ? msg.code : hostErrorCode(String(msg.disconnected));
        dropJobs(String(msg.disconnected), code);
        return emit("disconnect", msg.disconnected, code);
      }
      if ("event" in msg) {
        const params = Array.isArray(msg.params) ? msg.params : [];
        const job = jobs.get(msg.id);
        if (!job) return emit("event", msg.event, params);
        return jobEvent(msg.id, job, msg.event, params);
      }
      if ("error" in msg && msg.id === undefined) {
        // The extension refused the connection itself; it closes the port next.
        closeReason = { error: String(msg.error), code: typeof msg.code === "string" ? msg.code : "" };
        return;
      }
      if ("error" in msg) {
        const error = String(msg.error);
        const details = {};
        for (const key of ["capability", "decidedBy", "mayAsk", "origin", "limit", "size"]) if (key in msg) details[key] = msg[key];
        const code = typeof msg.code === "string" ? msg.code : hostErrorCode(error);
        return failWith(msg.id, error, code, details);
      }
      replied(msg.id, msg.data);
    }

    function connect() {
      if (port) return port;
      const runtime = direct ? options.runtime : null;
      let p;
      if (transport) {
        p = transport.open();
      } else {
        if (!runtime || typeof runtime.connect !== "function") throw new KestrixError(MISSING, "extensionMissing");
        try {
          p = runtime.connect(extensionId, { name: "kestrix" });
        } catch (e) {
          throw new KestrixError(`${MISSING} (${e.message})`, "extensionMissing");
        }
      }
      p.onMessage.addListener(receive);
      p.onDisconnect.addListener(() => {
        const why = (runtime && runtime.lastError && runtime.lastError.message) || p.error || (closeReason && closeReason.error) || "";
        let code = p.code || (closeReason && closeReason.code) || "";
        closeReason = null;
        if (port === p) port = null;
        let error;
        if (why === MISSING || /receiving end does not exist|could not establish connection/i.test(why)) {
          error = MISSING;
          code = "extensionMissing";
        } else {
          error = `the connection to the Kestrix extension closed${why ? ": " + why : ""}`;
          code = code || "connectionClosed";
        }
        for (const id of Array.from(calls.keys())) failWith(id, error, code);
        dropJobs(error, code);
        emit("disconnect", error, code);
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
        job = { callbacks: split.callbacks, wait: split.wait, replied: null, outcome: null };
      }
      return new Promise((resolve, reject) => {
        const id = nextId++;
        let text;
        try {
          text = JSON.stringify({ id, method, params });
        } catch (e) {
          reject(new KestrixError(`${method}: the parameters cannot be sent (${e.message})`, "badRequest", { method }));
          return;
        }
        const size = exceedsLimit(text, maxRequestBytes);
        if (size) {
          reject(new KestrixError(
            `${method}: the request is ${size} bytes as JSON; at most ${maxRequestBytes} can be sent`,
            "requestTooLarge", { method, limit: maxRequestBytes, size }));
          return;
        }
        let p;
        try {
          p = connect();
        } catch (e) {
          e.message = `${method}: ${e.message}`;
          e.method = method;
          reject(e);
          return;
        }
        if (job) jobs.set(id, job);
        const call = { method, resolve, reject, timer: null, job };
        if (timeoutMs > 0) call.timer = setTimeout(() => failWith(id, `no reply within ${timeoutMs} ms`, "timeout"), timeoutMs);
        calls.set(id, call);
        try {
          p.postMessage({ id, method, params });
        } catch (e) {
          failWith(id, e.message, "connectionClosed");
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
      // "disconnect" (the host or the extension went away: fn(reason, code)).
      on(type, fn) {
        if (!listeners[type]) throw new KestrixError(`unknown event type ${type}`, "badRequest");
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
        for (const id of Array.from(calls.keys())) failWith(id, "the client was closed", "clientClosed");
        dropJobs("the client was closed", "clientClosed");
      },
    };
    for (const method of COMMANDS) client[method] = (...args) => request(method, args);
    // The default client greets the extension at once, so that by a page's
    // first call the answer is usually known.
    if (transport && options.eager) transport.detect();
    return client;
  }

  const kestrix = createClient({ eager: true });
  kestrix.createClient = createClient;
  kestrix.KestrixError = KestrixError;
  kestrix.EXTENSION_ID = EXTENSION_ID;
  kestrix.VERSION = VERSION;
  kestrix.MAX_REQUEST_BYTES = MAX_REQUEST_BYTES;
  kestrix.COMMANDS = COMMANDS.slice();
  // The commands whose first argument is a print job (its callbacks kept until its end).
  kestrix.PRINT_JOBS = PRINT_JOBS.slice();
  kestrix.ERROR_CODES = ERROR_CODES.slice();

  // Loaded both as a classic script and through kestrix.mjs, the page keeps one client.
  if (!global.kestrix) global.kestrix = kestrix;
  if (typeof module === "object" && module && module.exports) module.exports = kestrix;
})(globalThis);
