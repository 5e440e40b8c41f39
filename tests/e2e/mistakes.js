// The mistakes every developer makes, each of which must give the page a
// documented code at once: a printer that is not there, a request larger than
// the browser carries (refused by the library, and, past the library, by the
// content script), a frame without the extension, and (as /mistakes.html?policy)
// a policy file with a typo. Each result goes to the test server as
// {name: "mistakes.<what>", value: {code, ..., ms}}.
const config = await (await fetch("/config.json")).json();
const policyTypo = location.search === "?policy";

async function post(path, body) {
  await fetch(path, { method: "POST", body: JSON.stringify(body) });
}
// How a call failed, and how long it took to say so.
async function outcome(name, run) {
  const started = performance.now();
  let value;
  try {
    value = { resolved: await run() };
  } catch (e) {
    value = { code: e && e.code, message: String((e && e.message) || e) };
    for (const key of ["printers", "limit", "size", "decidedBy", "mayAsk", "capability"]) if (e && key in e) value[key] = e[key];
  }
  value.ms = Math.round(performance.now() - started);
  await post("/observe", { name: `mistakes.${name}`, value });
}

const client = kestrix.createClient({ timeout: config.callTimeoutMs });
if (policyTypo) {
  await outcome("policyTypo", () => client.getPrinters());
} else {
  await outcome("wrongPrinter", () => {
    let done;
    const heard = new Promise((resolve) => (done = resolve));
    return client
      .print({ html: "<p>label</p>", printer: "kx-pfd", done: (status, result) => done([status, result.code]) })
      .finally(async () => post("/observe", { name: "mistakes.wrongPrinterDone", value: await heard }));
  });
  const big = "x".repeat(70 * 1024 * 1024);
  await outcome("tooLarge", () => client.print({ html: big }));
  // Past the library's own check, the browser refuses to carry it; the content script says so.
  const unchecked = kestrix.createClient({ timeout: config.callTimeoutMs, maxRequestBytes: Infinity });
  await outcome("tooLargeForTheBrowser", () => unchecked.printToPDF({ html: big }, "big.pdf"));
  await outcome("stillConnected", () => unchecked.getVersion());
  // A frame has no content script (the extension serves top frames only).
  const frame = document.createElement("iframe");
  frame.src = "/frame.html";
  const report = new Promise((resolve) => addEventListener("message", (e) => e.data && e.data.frame && resolve(e.data.frame)));
  document.body.append(frame);
  await post("/observe", { name: "mistakes.noExtension", value: await report });
}
document.getElementById("state").textContent = "finished";
await post("/finished", { site: policyTypo ? "policyTypo" : "mistakes" });
