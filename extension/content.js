// Content script, in every http(s) page: the bridge between the page library
// (window.postMessage) and the extension's background (a runtime port). The
// browser, not the page, tells the background which page a port belongs to,
// so nothing the page writes here can change the origin the host sees.
//
// Page -> here (channel "kestrix-page"):
//   {type: "hello"}                       answered with {type: "ready"}: the extension is present
//   {type: "connect", conn}               opens a port for the connection conn
//   {type: "message", conn, message}      passes message on
//   {type: "disconnect", conn}            closes the port
// Here -> page (channel "kestrix-extension"):
//   {type: "ready", version}
//   {type: "message", conn, message}      what the background sent
//   {type: "disconnect", conn, error, code}  the port closed
// A message the browser will not carry (larger than it allows, or not
// serializable) is answered at once as a failed request of the page's, with a
// code; a port found closed is reported as closed at once: either way the
// page does not wait for a reply that cannot come.
"use strict";

(function () {
  const api = globalThis.browser || globalThis.chrome;
  const PAGE = "kestrix-page";
  const EXTENSION = "kestrix-extension";
  const ports = new Map(); // conn -> port
  const version = api.runtime.getManifest().version;

  function toPage(msg) {
    window.postMessage(Object.assign({ channel: EXTENSION }, msg), window.location.origin);
  }

  function failedPost(conn, message, error) {
    if (/disconnected port|port closed|is closed/i.test(error)) {
      // The port has gone (its onDisconnect may still be on its way): the page
      // hears it now, and this connection is forgotten.
      ports.delete(conn);
      return toPage({ type: "disconnect", conn, error, code: "connectionClosed" });
    }
    // The port is fine; this one message cannot be sent. Its call fails.
    const id = message && typeof message === "object" ? message.id : undefined;
    const code = /maximum allowed size|too large/i.test(error) ? "requestTooLarge" : "badRequest";
    toPage({ type: "message", conn, message: { id, error, code } });
  }

  window.addEventListener("message", (event) => {
    // Only the page's own window: frames and other windows cannot speak for it.
    if (event.source !== window) return;
    const msg = event.data;
    if (!msg || typeof msg !== "object" || msg.channel !== PAGE) return;
    const conn = msg.conn;
    if (msg.type === "hello") return toPage({ type: "ready", version });
    if (typeof conn !== "string" && typeof conn !== "number") return;
    if (msg.type === "connect" && !ports.has(conn)) {
      const port = api.runtime.connect({ name: "kestrix-page" });
      ports.set(conn, port);
      port.onMessage.addListener((message) => toPage({ type: "message", conn, message }));
      port.onDisconnect.addListener(() => {
        const error = api.runtime.lastError && api.runtime.lastError.message;
        if (ports.get(conn) !== port) return; // already reported
        ports.delete(conn);
        toPage({ type: "disconnect", conn, error: error || "" });
      });
      return;
    }
    const port = ports.get(conn);
    if (!port) return;
    if (msg.type === "message") {
      try {
        port.postMessage(msg.message);
      } catch (e) {
        failedPost(conn, msg.message, String((e && e.message) || e));
      }
    } else if (msg.type === "disconnect") {
      ports.delete(conn);
      port.disconnect();
    }
  });

  // For a library that loaded before this script (it also asks with "hello").
  toPage({ type: "ready", version });
})();
