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
// Site permissions: the host knows the page's origin from "new" (the URL the
// browser reports for the sender, never one the page states) and refuses a
// command whose capability the origin lacks. When nobody has decided yet
// ("mayAsk"), the relay asks the user through ask(origin, capability, tabId),
// tells the tab's host the answer ("siteDecide") and sends the request again;
// the host's answer to that goes to the page. A dismissed or unanswered prompt
// counts as "Block" for that host only, so a page cannot raise prompts in a
// loop. Commands that never reply (print, printPreview, about) are checked with
// "siteCheck" before they are sent. The site* requests are the extension's
// own: a page can never send them.
//
// Page -> extension: {id, method, params}
// Extension -> page: {id, data?}             reply (or the hand-over of a request that has none)
//                    {id, error, code, capability?, decidedBy?, mayAsk?, origin?}
//                                            the request failed; code says why ("permissionDenied":
//                                            the site lacks the capability; "hostMissing",
//                                            "hostForbidden", "hostExited": the host's port)
//                    {id, event, params}     a print job event; event is the job's own member value
//                    {message}               a host message for the tab that matches no request
//                    {disconnected, code}    the host ended; the next request starts a new one
"use strict";

(function (exports) {
  const HOST_NAME = "com.kestrix.host";

  // Every command a page may send, as the host's command table lists them
  // (tests/extension checks this list and the two below against it). "new",
  // "ping" and "exit" belong to the extension.
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
  // Jobs of a tab whose end was never seen are forgotten oldest first beyond
  // this many. The page library asks for every job's end, so only a host that
  // never sends it leaves names behind; a roll of labels, though, may have as
  // many jobs under way as the control lets wait (at most 1000) and run.
  const MAX_JOBS = 2000;
  const COMMAND_SET = new Set(COMMANDS);
  // What the extension's own pages may ask of their host; never taken from web pages.
  const MANAGE = new Set(["siteList", "siteDecide", "siteForget"]);

  function isPlainObject(v) {
    return v !== null && typeof v === "object" && !Array.isArray(v);
  }

  // The code for the browser's words about a native port that closed or never
  // opened (Chromium's and Firefox's texts).
  function hostErrorCode(text) {
    if (/not found|no such native application/i.test(text)) return "hostMissing";
    if (/forbidden/i.test(text)) return "hostForbidden";
    return "hostExited";
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
    // ask(origin, capability, tabId): a promise of {decision: "allow"|"block",
    // remember} or null (dismissed, timed out); without it nobody is asked.
    // uiUrl: the address the extension's own pages name in their host's "new".
    constructor({ connectNative, lastError, ask, uiUrl }) {
      this.connectNative = connectNative;
      this.lastError = lastError || (() => undefined);
      this.ask = ask || (() => Promise.resolve(null));
      this.uiUrl = uiUrl || "";
      this.sessions = new Map(); // tab id -> session
      this.asking = new Map(); // "tab origin capability" -> promise of the decision sent to the tab's host
      this.ui = null; // the host the extension's own pages use
      this.sequence = 0;
    }

    attachPage(page) {
      const sender = page.sender || {};
      const tabId = sender.tab && sender.tab.id;
      if (typeof tabId !== "number") {
        post(page, { error: "kestrix: only pages in a browser tab can use the host", code: "notInTab" });
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
      const fail = (error, code) => post(page, { id, error, code });
      if (!COMMAND_SET.has(method)) return fail(`kestrix: unknown command ${JSON.stringify(method)}`, "unknownCommand");
      const params = msg.params === undefined ? [] : msg.params;
      if (!Array.isArray(params)) return fail(`kestrix: the parameters of ${method} must be an array`, "badRequest");

      if (NO_REPLY.has(method)) this.checkThenSend(session, page, url, id, method, params, []);
      else this.send(session, page, url, id, method, params, []);
    }

    // asked: the capabilities the user has answered for this request; none is
    // asked twice (a command may need several: printToPDF needs printers and
    // writeFiles, printPreview openFiles too, and an undecided site is asked
    // for each in turn).
    send(session, page, url, id, method, params, asked) {
      // A page that went while its user was asked needs nothing any more.
      if (page.gone) return;
      const fail = (error) => post(page, { id, error, code: "hostExited" });
      const request = { method, params };
      try {
        this.ensureHost(session, url);
        if (PRINT_JOBS.has(method)) request.params = this.nameJobEvents(session, page, id, params);
        if (!NO_REPLY.has(method)) {
          request.event = this.uniqueName(method);
          const retry = (capability) => this.send(session, page, url, id, method, params, [...asked, capability]);
          session.pending.set(request.event, { page, id, url, pieces: [], asked, retry });
        }
        session.native.postMessage(request);
      } catch (e) {
        // The port closed under us (its onDisconnect is still queued) or could not open.
        if (request.event) session.pending.delete(request.event);
        return fail(`kestrix: the host cannot be reached: ${e.message}`);
      }
      if (NO_REPLY.has(method)) post(page, { id });
    }

    // For commands the host never answers: ask the host whether the page may
    // send it, and only then send it.
    checkThenSend(session, page, url, id, method, params, asked) {
      if (page.gone) return;
      this.hostRequest(session, url, "siteCheck", [method, params], (reply) => {
        if (!page.gone && reply.data === true) return this.send(session, page, url, id, method, params, asked);
        const error = reply.error;
        if (isPlainObject(error) && error.code === "permissionDenied" && error.mayAsk && !asked.includes(error.capability))
          return this.askThenRetry(session, url, error, () =>
            this.checkThenSend(session, page, url, id, method, params, [...asked, error.capability]));
        this.postError(page, id, error);
      }, (why) => post(page, { id, error: why, code: "hostExited" }));
    }

    // The host's error object, as the page gets it: its message, code and the
    // members that say what was refused and who decided.
    postError(page, id, error) {
      if (!page) return;
      if (!isPlainObject(error)) return post(page, { id, error: String(error), code: hostErrorCode(String(error)) });
      const msg = { id, error: String(error.message || error.code || "refused") };
      msg.code = typeof error.code === "string" ? error.code : "hostExited";
      for (const key of ["capability", "decidedBy", "origin"]) if (typeof error[key] === "string") msg[key] = error[key];
      if (typeof error.mayAsk === "boolean") msg.mayAsk = error.mayAsk;
      post(page, msg);
    }

    // One request of the extension's own to the tab's host; onReply(envelope).
    hostRequest(session, url, method, params, onReply, onFail) {
      const request = { method, params, event: this.uniqueName(method) };
      try {
        this.ensureHost(session, url);
        session.pending.set(request.event, { page: null, id: null, pieces: [], onReply });
        session.native.postMessage(request);
      } catch (e) {
        session.pending.delete(request.event);
        onFail(`kestrix: the host cannot be reached: ${e.message}`);
      }
    }

    // Asks the user once per tab, origin and capability, however many requests
    // wait for the answer; tells the tab's host; then runs retry.
    askThenRetry(session, url, error, retry) {
      const key = `${session.tabId} ${error.origin} ${error.capability}`;
      let asking = this.asking.get(key);
      if (!asking) {
        asking = Promise.resolve()
          .then(() => this.ask(error.origin, error.capability, session.tabId))
          .catch(() => null)
          .then((answer) => {
            const allow = isPlainObject(answer) && answer.decision === "allow";
            const remember = isPlainObject(answer) && answer.decision !== undefined && answer.remember === true;
            const params = [error.origin, error.capability, allow ? "allow" : "block", remember];
            // The tab's last page may have gone meanwhile: no host is started for nobody.
            if (this.sessions.get(session.tabId) !== session) return null;
            return new Promise((resolve) => this.hostRequest(session, url, "siteDecide", params, resolve, resolve));
          })
          .finally(() => this.asking.delete(key));
        this.asking.set(key, asking);
      }
      // Whatever the host made of it, the request goes again and the host decides.
      asking.then(retry);
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
        if (pending.onReply) {
          session.pending.delete(name);
          pending.onReply(msg);
          return;
        }
        if ("error" in msg) {
          session.pending.delete(name);
          const error = msg.error;
          if (isPlainObject(error) && error.code === "permissionDenied" && error.mayAsk && pending.retry && pending.page &&
              !pending.asked.includes(error.capability))
            return this.askThenRetry(session, pending.url, error, () => pending.retry(error.capability));
          return this.postError(pending.page, pending.id, error);
        }
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
      const code = hostErrorCode(error);
      for (const pending of session.pending.values()) {
        if (pending.onReply) pending.onReply({ error });
        else if (pending.page) post(pending.page, { id: pending.id, error, code });
      }
      session.native = null;
      session.url = "";
      session.pending.clear();
      session.jobEvents.clear();
      session.jobs = [];
      for (const page of session.pages) post(page, { disconnected: error, code });
    }

    pageGone(session, page) {
      page.gone = true;
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

  // The extension's own pages (options) manage decisions through a host of
  // their own, started on first use and closed with closeUi().
  Relay.prototype.manage = function (method, params) {
    return new Promise((resolve, reject) => {
      if (!MANAGE.has(method)) return reject(new Error(`kestrix: ${method} is not a management request`));
      if (!this.ui) {
        const native = this.connectNative();
        const ui = { native, pending: new Map() };
        this.ui = ui;
        native.onMessage.addListener((msg) => {
          if (!isPlainObject(msg)) return;
          if (msg.method === "ping") return post(native, { method: "ping" });
          const waiting = typeof msg.event === "string" && ui.pending.get(msg.event);
          if (!waiting) return;
          ui.pending.delete(msg.event);
          if ("error" in msg) waiting.reject(new Error(isPlainObject(msg.error) ? msg.error.message : String(msg.error)));
          else waiting.resolve(msg.data);
        });
        native.onDisconnect.addListener(() => {
          const why = new Error(this.lastError() || "Native host has exited.");
          for (const waiting of ui.pending.values()) waiting.reject(why);
          if (this.ui === ui) this.ui = null;
        });
        native.postMessage({ method: "new", sender: { tab: { id: -1 }, url: this.uiUrl } });
      }
      const event = this.uniqueName(method);
      this.ui.pending.set(event, { resolve, reject });
      try {
        this.ui.native.postMessage({ method, event, params: Array.isArray(params) ? params : [] });
      } catch (e) {
        this.ui.pending.delete(event);
        reject(e);
      }
    });
  };

  Relay.prototype.closeUi = function () {
    if (!this.ui) return;
    const native = this.ui.native;
    this.ui = null;
    native.disconnect();
  };

  exports.HOST_NAME = HOST_NAME;
  exports.hostErrorCode = hostErrorCode;
  exports.COMMANDS = COMMANDS;
  exports.NO_REPLY = NO_REPLY;
  exports.PRINT_JOBS = PRINT_JOBS;
  exports.Relay = Relay;
})(typeof module === "object" && module.exports ? module.exports : (globalThis.KestrixRelay = {}));
