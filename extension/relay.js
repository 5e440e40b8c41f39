// The relay between page ports and native host ports, kept free of chrome.* so that
// node can test it (tests/extension). background.js wires it to the browser.
//
// One host process per tab: the first request of a tab starts the host and sends
// "new" with the tab id and the page URL. Requests get an event name that is unique
// in this extension, so replies of concurrent requests cannot be mixed up; replies
// that come in pieces ("index" 0, 1, ... then a last one without) are joined before
// they go to the page. Job event names are made unique the same way, per job: the
// host reports every job to the listener it started with, so a page with several
// jobs under way hears each of them, and a job's names are forgotten at its end.
//
// Page -> extension: {id, method, params}
// Extension -> page: {id, data?}             reply (or the hand-over of a request that has none)
//                    {id, error}             the request failed
//                    {id, event, params}     a print job event; event is the job's own member value
//                    {message}               a host message for the tab that matches no request
//                    {disconnected}          the host ended; the next request starts a new one
"use strict";

(function (exports) {
  const HOST_NAME = "com.kestrix.host";

  // Every command a page may send. "new", "ping" and "exit" belong to the extension.
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
  // The host never replies to these: the page is told once the request is handed over.
  const NO_REPLY = new Set(["about", "printPreview", "print"]);
  // These attach the job's event names.
  const PRINT_JOBS = new Set(["print", "printPreview", "printToImage", "printToPDF"]);
  const JOB_EVENT_MEMBERS = ["done", "onState", "listener"];
  // Jobs of a tab whose end was never seen (a job that asked only for "onState" has
  // no end the relay can see) are forgotten oldest first beyond this many.
  const MAX_JOBS = 200;
  const COMMAND_SET = new Set(COMMANDS);

  function isPlainObject(v) {
    return v !== null && typeof v === "object" && !Array.isArray(v);
  }

  // A port can close before its onDisconnect has run; posting to it then throws.
  function post(port, msg) {
    try {
      port.postMessage(msg);
    } catch (e) {
      // The port is gone; pageGone() or hostGone() cleans up when its event arrives.
    }
  }

  class Relay {
    // connectNative(): a new native port; lastError(): the browser's text for the
    // latest port error (read inside onDisconnect), or undefined.
    constructor({ connectNative, lastError }) {
      this.connectNative = connectNative;
      this.lastError = lastError || (() => undefined);
      this.sessions = new Map(); // tab id -> session
      this.sequence = 0;
    }

    attachPage(page) {
      const sender = page.sender || {};
      const tabId = sender.tab && sender.tab.id;
      if (typeof tabId !== "number") {
        post(page, { error: "kestrix: only pages in a browser tab can use the host" });
        page.disconnect();
        return;
      }
      let session = this.sessions.get(tabId);
      if (!session) {
        session = { tabId, url: "", native: null, pages: new Set(), pending: new Map(), jobEvents: new Map(), jobs: [] };
        this.sessions.set(tabId, session);
      }
      session.pages.add(page);
      const url = sender.url || "";
      page.onMessage.addListener((msg) => this.fromPage(session, page, url, msg));
      page.onDisconnect.addListener(() => this.pageGone(session, page));
    }

    fromPage(session, page, url, msg) {
      if (!isPlainObject(msg)) return;
      const { id, method } = msg;
      const fail = (error) => post(page, { id, error });
      if (!COMMAND_SET.has(method)) return fail(`kestrix: unknown command ${JSON.stringify(method)}`);
      const params = msg.params === undefined ? [] : msg.params;
      if (!Array.isArray(params)) return fail(`kestrix: the parameters of ${method} must be an array`);

      const request = { method, params };
      try {
        this.ensureHost(session, url);
        if (PRINT_JOBS.has(method)) request.params = this.nameJobEvents(session, page, id, params);
        if (!NO_REPLY.has(method)) {
          request.event = this.uniqueName(method);
          session.pending.set(request.event, { page, id, pieces: [] });
        }
        session.native.postMessage(request);
      } catch (e) {
        // The port closed under us (its onDisconnect is still queued) or could not open.
        if (request.event) session.pending.delete(request.event);
        return fail(`kestrix: the host cannot be reached: ${e.message}`);
      }
      if (NO_REPLY.has(method)) post(page, { id });
    }

    uniqueName(what) {
      this.sequence += 1;
      return `kx${this.sequence}.${what}`;
    }

    // The host forwards job events under the names the job object gives; they are
    // replaced by unique ones and remembered with the request they belong to, until
    // the job's end: its "done" event, or its "listener" event for the job's outcome
    // (the one without a "status", which job states always have).
    nameJobEvents(session, page, id, params) {
      if (!isPlainObject(params[0])) return params;
      const job = Object.assign({}, params[0]);
      // The host sends the outcome under "listener" when the job has one, else "done".
      const endMember = typeof job.listener === "string" && job.listener !== "" ? "listener" : "done";
      const entry = { page, id, names: [] };
      for (const member of JOB_EVENT_MEMBERS) {
        if (typeof job[member] !== "string" || job[member] === "") continue;
        const name = this.uniqueName(member);
        session.jobEvents.set(name, { event: job[member], ends: member === endMember, job: entry });
        entry.names.push(name);
        job[member] = name;
      }
      if (entry.names.length > 0) {
        session.jobs.push(entry);
        while (session.jobs.length > MAX_JOBS) this.forgetJob(session, session.jobs[0]);
      }
      return [job].concat(params.slice(1));
    }

    forgetJob(session, entry) {
      for (const name of entry.names) session.jobEvents.delete(name);
      const at = session.jobs.indexOf(entry);
      if (at >= 0) session.jobs.splice(at, 1);
    }

    // True for the event that carries a job's outcome: its "done", or its "listener"
    // event without a "status" (job states always have one).
    static endsJob(target, params) {
      if (!target.ends) return false;
      const first = Array.isArray(params) ? params[0] : undefined;
      return !(isPlainObject(first) && "status" in first);
    }

    ensureHost(session, url) {
      if (session.native && session.url === url) return;
      if (!session.native) {
        const native = this.connectNative();
        session.native = native;
        native.onMessage.addListener((msg) => this.fromHost(session, native, msg));
        native.onDisconnect.addListener(() => this.hostGone(session, native));
      }
      // The last "new" names the tab and page the host works for.
      session.url = url;
      session.native.postMessage({ method: "new", sender: { tab: { id: session.tabId }, url } });
    }

    fromHost(session, native, msg) {
      if (!isPlainObject(msg)) return;
      if (msg.method === "ping") {
        post(native, { method: "ping" });
        return;
      }
      const name = msg.event;
      const pending = typeof name === "string" ? session.pending.get(name) : undefined;
      if (pending) {
        if ("index" in msg) {
          // Pieces come in order over the one pipe, so the index only marks "more follows".
          pending.pieces.push(msg.data);
          return;
        }
        session.pending.delete(name);
        if (!pending.page) return;
        const reply = { id: pending.id };
        if (pending.pieces.length > 0) {
          pending.pieces.push(msg.data);
          reply.data = pending.pieces.map((p) => (p === undefined || p === null ? "" : String(p))).join("");
        } else if ("data" in msg) {
          reply.data = msg.data;
        }
        post(pending.page, reply);
        return;
      }
      const target = typeof name === "string" ? session.jobEvents.get(name) : undefined;
      if (target) {
        const { page, id } = target.job;
        if (page) post(page, { id, event: target.event, params: msg.params });
        if (Relay.endsJob(target, msg.params)) this.forgetJob(session, target.job);
        return;
      }
      for (const page of session.pages) post(page, { message: msg });
    }

    hostGone(session, native) {
      if (session.native !== native) return;
      const error = this.lastError() || "Native host has exited.";
      for (const pending of session.pending.values())
        if (pending.page) post(pending.page, { id: pending.id, error });
      session.native = null;
      session.url = "";
      session.pending.clear();
      session.jobEvents.clear();
      session.jobs = [];
      for (const page of session.pages) post(page, { disconnected: error });
    }

    pageGone(session, page) {
      session.pages.delete(page);
      // Replies still on their way for this page are dropped when they arrive.
      for (const pending of session.pending.values()) if (pending.page === page) pending.page = null;
      for (const job of session.jobs) if (job.page === page) job.page = null;
      if (session.pages.size > 0) return;
      // The tab no longer uses the host: closing the port ends the host process.
      this.sessions.delete(session.tabId);
      if (session.native) {
        const native = session.native;
        session.native = null;
        native.disconnect();
      }
    }
  }

  exports.HOST_NAME = HOST_NAME;
  exports.COMMANDS = COMMANDS;
  exports.Relay = Relay;
})(typeof module === "object" && module.exports ? module.exports : (globalThis.KestrixRelay = {}));
