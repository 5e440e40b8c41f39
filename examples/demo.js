// @ts-check
// The demo page: lists the printers, prints a label, prints to PDF and shows
// every event and error (with its code) as it comes. Served by
// `node examples/serve.mjs`; the type check (examples/package.json) reads
// this file against the library's declarations.
import kestrix from "../extension/page/kestrix.mjs";

const $ = (/** @type {string} */ id) => /** @type {HTMLElement} */ (document.getElementById(id));
const printers = /** @type {HTMLSelectElement} */ ($("printers"));

/** @param {string} text @param {boolean} [error] */
function log(text, error) {
  const line = document.createElement("div");
  line.textContent = `${new Date().toLocaleTimeString()}  ${text}`;
  if (error) line.className = "error";
  $("log").prepend(line);
}

/** A failed call: its code says what to do about it. @param {unknown} e */
function failed(e) {
  if (!(e instanceof kestrix.KestrixError)) return log(String(e), true);
  let hint = "";
  if (e.code === "printerNotFound") hint = ` (printers there are: ${(e.printers || []).join(", ")})`;
  if (e.code === "permissionDenied") hint = ` (capability ${e.capability}, decided by ${e.decidedBy})`;
  if (e.code === "requestTooLarge") hint = ` (at most ${e.limit} bytes)`;
  log(`${e.code}: ${e.message}${hint}`, true);
}

/** The job's events, as they come. @type {(name: string) => Pick<import("../extension/page/kestrix.mjs").Job, "onState">} */
const follow = (name) => ({
  onState: (state) => log(`${name}: ${state.status} - ${state.statusText}`),
});

kestrix.on("disconnect", (reason, code) => log(`disconnected (${code}): ${reason}`, true));
kestrix.on("message", (message) => log(`host message: ${JSON.stringify(message)}`));

$("list").addEventListener("click", async () => {
  try {
    const names = await kestrix.getPrinters();
    const chosen = printers.value;
    printers.replaceChildren(new Option("(the default printer)", ""));
    for (const name of names) printers.append(new Option(name, name, false, name === chosen));
    log(`printers: ${names.join(", ") || "none"}`);
  } catch (e) {
    failed(e);
  }
});

$("label").addEventListener("click", async () => {
  const text = /** @type {HTMLInputElement} */ ($("text")).value;
  try {
    const { result } = await kestrix.print({
      html: `<div style="font: bold 28px sans-serif; padding: 4mm">${text.replace(/[<&]/g, (c) => `&#${c.charCodeAt(0)};`)}</div>`,
      title: "Kestrix demo label",
      printer: printers.value || undefined,
      ...follow("label"),
      wait: true,
    });
    log(`label: ${result.message}`);
  } catch (e) {
    failed(e);
  }
});

$("pdf").addEventListener("click", async () => {
  const file = /** @type {HTMLInputElement} */ ($("file")).value;
  try {
    const { result } = await kestrix.printToPDF(
      { html: "<h1>Invoice 42</h1><p>Printed to PDF from the Kestrix demo page.</p>", ...follow("pdf"), wait: true },
      file,
    );
    log(`pdf: written to ${result.file}`);
  } catch (e) {
    failed(e);
  }
});

if (await kestrix.ready()) {
  $("status").textContent = `The Kestrix extension is here (library ${kestrix.VERSION}).`;
  kestrix.getVersion().then((version) => log(`host ${version}`), failed);
} else {
  $("status").textContent = "The Kestrix extension does not serve this page: install it (docs/extension.md) and reload.";
}
