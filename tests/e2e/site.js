// A page on a named (non-loopback) origin: what it does depends on which site
// it plays (its host name); each result goes to the test server as
// {name: "<site>.<what>", value} or {name, error, code, capability}.
const config = await (await fetch("/config.json")).json();
const site = location.hostname.split(".")[0];

async function post(path, body) {
  await fetch(path, { method: "POST", body: JSON.stringify(body) });
}
async function observe(what, run) {
  const name = `${site}.${what}`;
  try {
    await post("/observe", { name, value: await run() });
  } catch (e) {
    await post("/observe", { name, error: String((e && e.message) || e), code: e && e.code, capability: e && e.capability });
  }
}
function printToPDF(client, path) {
  let done;
  const finished = new Promise((resolve) => (done = resolve));
  return client
    .printToPDF({ html: `<h1>${site}</h1>`, title: site, done: (result, info) => done({ result, info }) }, path)
    .then(async (reply) => ({ reply, done: await finished }));
}

const client = kestrix.createClient({ timeout: config.callTimeoutMs });
await observe("ready", () => client.ready());
if (site === "intranet") {
  // The policy allows printers and writing files (a PDF is written), nothing
  // else: no prompt either way.
  await observe("printToPDF", () => printToPDF(client, "intranet.pdf"));
  await observe("readString", () => client.readString("intranet.txt", ""));
} else if (site === "shop") {
  // Nobody has decided: the user is asked (the test answers the prompt).
  await observe("getPrinters", () => client.getPrinters());
  await observe("printToPDF", () => printToPDF(client, "shop.pdf"));
  await observe("writeString", () => client.writeString("shop-secret.txt", "only for the shop", ""));
} else if (site === "blocked") {
  await observe("writeString", () => client.writeString("blocked.txt", "should never be written", ""));
  await observe("print", () => client.print({ html: "<p>blocked</p>" }, false));
  await observe("getVersion", () => client.getVersion());
} else if (site === "quiet") {
  // The user closes the prompt: refused, and not asked again during this visit.
  await observe("getFonts", () => client.getFonts());
  await observe("getPrinters", () => client.getPrinters());
} else if (site === "other") {
  // Allowed to read and write its own files (decided before the visit); the
  // shop's file is out of its reach by the shop's relative name and by its full path.
  await observe("writeOwn", () => client.writeString("mine.txt", "other's own", ""));
  await observe("readOwn", () => client.readString("mine.txt", ""));
  await observe("readShopByName", () => client.readString("shop-secret.txt", ""));
  await observe("readShopByPath", () => client.readString(config.shopFile, ""));
}
document.getElementById("state").textContent = "finished";
await post("/finished", { site });
