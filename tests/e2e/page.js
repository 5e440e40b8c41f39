// The test page: drives the host through the page library and posts what it sees to
// the test server, which judges it (run.mjs). Each observation is {name, value} or
// {name, error}.
import kestrix from "/kestrix.mjs";

const config = await (await fetch("/config.json")).json();

async function post(path, body) {
  await fetch(path, { method: "POST", body: JSON.stringify(body) });
}

async function observe(name, run) {
  try {
    await post("/observe", { name, value: await run() });
  } catch (e) {
    await post("/observe", { name, error: String((e && e.message) || e) });
  }
}

function within(ms, promise, what) {
  let timer;
  const late = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: nothing within ${ms} ms`)), ms);
  });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

const client = kestrix.createClient({ timeout: config.callTimeoutMs });
const messages = [];
client.on("message", (m) => messages.push(m));
client.on("disconnect", (why) => post("/log", { disconnect: why }));

await observe("library", async () => ({
  sameObject: kestrix === window.kestrix,
  functions: kestrix.COMMANDS.filter((c) => typeof kestrix[c] === "function").length,
  commands: kestrix.COMMANDS.length,
}));

await observe("getVersion", () => client.getVersion());

await observe("getPrinters", () => client.getPrinters());

await observe("readBase64", () => client.readBase64(config.bigFile));

await observe("printToPDF", async () => {
  const states = [];
  let done;
  const finished = new Promise((resolve) => (done = resolve));
  const job = {
    html: "<h1>Kestrix</h1><p>Printed by the end-to-end test.</p>",
    title: "kestrix e2e",
    onState: (state) => states.push(state),
    done: (result, info) => done({ result, info }),
  };
  const reply = await client.printToPDF(job, config.pdfFile);
  const end = await within(config.jobTimeoutMs, finished, "the job's done event");
  return { reply, states, done: end, messages };
});

// Several print jobs at once, each with its own callbacks, and one that waits for
// its outcome: every job must hear its own events, once, and nothing after done.
await observe("severalJobs", async () => {
  const jobs = [];
  for (const title of ["label 1", "label 2", "label 3"]) {
    const seen = { title, events: [] };
    let ended;
    seen.finished = new Promise((resolve) => (ended = resolve));
    jobs.push(seen);
    await client.print({
      data: btoa(`kestrix ${title}\n`), type: "text/plain", printer: "kx-raw", title,
      onState: (state) => seen.events.push(["state", state.document, state.status]),
      done: (result, info) => {
        seen.events.push(["done", result, info && info.message]);
        ended();
      },
    }, false);
  }
  const waited = await within(config.jobTimeoutMs,
    client.print({ data: btoa("kestrix waited\n"), type: "text/plain", printer: "kx-raw", title: "waited", wait: true }, false),
    "the waited job's outcome");
  await within(config.jobTimeoutMs, Promise.all(jobs.map((j) => j.finished)), "every job's done event");
  // Anything late would arrive within a moment.
  await new Promise((resolve) => setTimeout(resolve, 500));
  return { jobs: jobs.map(({ title, events }) => ({ title, events })), waited };
});

// The host ends when a keepalive tick finds no request since the previous one, so
// after a quiet spell longer than two ticks the same host is only still there if
// the extension answered its pings. The spell is the thing under test, not a wait
// for an outcome.
await observe("keepalive", async () => {
  await new Promise((resolve) => setTimeout(resolve, config.quietMs));
  return client.getVersion();
});

document.getElementById("state").textContent = "finished";
await post("/finished", {});
