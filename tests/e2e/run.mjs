// End-to-end test: a real headless Chromium loads the extension, a page on
// 127.0.0.1 uses the page library, the extension starts the real kestrix-host, and
// the page posts what it sees back to this script's loopback server. Then pages on
// named origins (mapped to 127.0.0.1 by the browser's host-resolver rules) meet
// the site permissions: one the policy allows, one it blocks, and one nobody has
// decided, whose prompt this script answers through the DevTools protocol.
// Before those, the mistakes every developer makes (a printer that is not
// there, a request too large, a frame without the extension, a policy typo)
// must each give the page its error code at once.
//
//   node tests/e2e/run.mjs [--build DIR] [--host PATH] [--chromium PATH] [--keep]
//   node tests/e2e/run.mjs --installed [--crx FILE] [--chromium PATH] [--keep]
//
// --installed runs the same cases against the installed package, as a managed
// machine has it: no build folder and no kestrix-install. The browser finds the
// host through the system manifest in /etc/chromium/native-messaging-hosts,
// and a managed policy forces the package's packed extension (or --crx FILE)
// onto the profile, fetched from this script's loopback server; the sites'
// policy is /etc/kestrix/policy.json. Both policies are the test's own: Chromium
// runs in a mount namespace of its own (unshare) in which the test's folders
// cover /etc/chromium (the real manifest folder still bound inside) and
// /etc/kestrix, so nothing on the machine changes and no other browser sees them.
//
// Prints one line per case and "N passed, N failed"; exits 1 when a case failed.
// Everything lives in one temporary folder; every process started here carries
// KESTRIX_E2E_RUN=<that folder> in its environment, which is how the last case
// finds anything left behind.
import { spawn } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";
import { endProcess, expect, extensionDir, findFiles, finish, here, hostWrapper, isAlive, judge, makeRun, markedProcesses,
  record, recordLeftBehind, repo, requireExecutables, runInstaller, startCups, startServer, stopCups, until } from "./common.mjs";
import { judgeSites, origin, rememberedSites, rememberOtherSite, SITE_CASES, SITE_POLICY } from "./sites.mjs";
import { rpc } from "./wire.mjs";
import { crxIdOf, updateManifest } from "../../packaging/pack-extension.mjs";

const options = parseArgs(process.argv.slice(2));
const build = path.resolve(options.build || path.join(repo, "build"));
const INSTALLED = {
  host: "/usr/lib/kestrix/kestrix-host",
  job: "/usr/lib/kestrix/kestrix-job",
  manifest: "/etc/chromium/native-messaging-hosts/com.kestrix.host.json",
  shared: "/usr/share/kestrix",
};
const hostBinary = options.installed ? INSTALLED.host : path.resolve(options.host || path.join(build, "kestrix-host"));
const installer = path.join(build, "kestrix-install");
const chromiumBinary = options.chromium || "/usr/lib/chromium/chromium";
// The page library the test pages load: the installed copy when testing the package.
const pageLibrary = path.join(options.installed ? path.join(INSTALLED.shared, "extension") : extensionDir, "page");

const OPTIONS_CASE =
  "the options page lists the remembered site and removes it, and shows the policy's decision over the user's";
const CASES = [
  "page library loads as a classic script and as an ES module",
  "new, then getVersion answers",
  "getPrinters lists the throwaway CUPS queues",
  "readBase64 of more than 1 MiB arrives whole",
  "printToPDF writes a PDF and its events reach the page",
  "several print jobs of a page each report every event once, and print can wait for its outcome",
  "the host lives on while the extension answers its pings",
  "the host ends after the page closes",
  SITE_CASES.handshake,
  SITE_CASES.policyAllowed,
  SITE_CASES.undecided,
  SITE_CASES.blocked,
  SITE_CASES.dismissed,
  OPTIONS_CASE,
  SITE_CASES.files,
  "a print to a printer that is not there rejects at once with printerNotFound and the printers there are",
  "a request larger than the browser carries is refused with requestTooLarge, by the library and by the content script",
  "a frame without the extension gets extensionMissing, the second call at once",
  "a policy file with a trailing comma allows nothing, and the refusal says the policy decided",
  "no process is left behind",
];
// Only with --installed, before the others.
const INSTALLED_CASES = [
  "the system manifest names the installed host and allows the packed extension",
  "the managed policy installs the packed extension",
];
const MISTAKE_CASES = {
  printer: CASES.find((c) => c.includes("not there rejects")),
  tooLarge: CASES.find((c) => c.includes("requestTooLarge")),
  noExtension: CASES.find((c) => c.includes("without the extension")),
  policy: CASES.find((c) => c.includes("trailing comma")),
};
const SITES = ["intranet", "blocked", "shop", "quiet", "other"];
// The unpacked extension's id (its manifest's "key"); a packed one has its signer's.
let EXTENSION_ID = "obkkhjkmknnbggeelnmbimmleflkgjoj";
const PAGE = {
  callTimeoutMs: 20000, // one call of the library
  jobTimeoutMs: 60000, // the print job's done event
  quietMs: 7000, // more than two keepalive ticks of 3 s
};
const PAGE_START_MS = 30000;
const PAGE_FINISH_MS = 200000;

function parseArgs(argv) {
  const o = {};
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === "--keep") o.keep = true;
    else if (a === "--installed") o.installed = true;
    else if (["--build", "--host", "--chromium", "--crx"].includes(a) && i + 1 < argv.length) o[a.slice(2)] = argv[++i];
    else {
      console.error(`usage: node run.mjs [--build DIR] [--host PATH] [--chromium PATH] [--keep]
       node run.mjs --installed [--crx FILE] [--chromium PATH] [--keep] (not: ${a})`);
      process.exit(2);
    }
  }
  return o;
}

// ---- DevTools over plain HTTP: list and close tabs -------------------------------------

async function devtools(profile, pathname) {
  const port = await until("DevToolsActivePort", 10000, () => {
    try {
      return fs.readFileSync(path.join(profile, "DevToolsActivePort"), "utf8").split("\n")[0].trim();
    } catch {
      return "";
    }
  });
  const res = await fetch(`http://127.0.0.1:${port}${pathname}`);
  const text = await res.text();
  try {
    return JSON.parse(text);
  } catch {
    return text;
  }
}

// ---- the site permissions, through the DevTools protocol -----------------------------

async function siteCases({ dirs, files, port, observations, sitesFinished, config }) {
  // The "other" site was allowed its files before its visit, by the user; the
  // user's "block" for the intranet's printers counts for nothing, as the policy decides.
  rememberOtherSite(dirs, port, { [origin(port, "intranet")]: { printers: "block" } });
  const [, browserPath] = fs.readFileSync(path.join(dirs.profile, "DevToolsActivePort"), "utf8").split("\n");
  const devtoolsPort = fs.readFileSync(path.join(dirs.profile, "DevToolsActivePort"), "utf8").split("\n")[0].trim();
  const cdp = await rpc(`ws://127.0.0.1:${devtoolsPort}${browserPath.trim()}`);
  const prompts = new Map(); // site -> [{origin, capability}]
  let optionsResult = { ok: false, why: "not run" };
  let shopKept = null; // sites.json as the shop's visit left it
  const answered = new Set();
  try {
    for (const site of SITES) {
      prompts.set(site, []);
      const url = `http://${site}.test:${port}/site.html`;
      const { targetId } = await cdp.call("Target.createTarget", { url });
      try {
        await until(`the ${site} page to finish`, PAGE_FINISH_MS, async () => {
          const { targetInfos } = await cdp.call("Target.getTargets");
          for (const t of targetInfos) {
            if (!t.url.includes("/prompt.html") || answered.has(t.targetId)) continue;
            const q = new URL(t.url).searchParams;
            const prompt = { origin: q.get("origin"), capability: q.get("capability") };
            if (!prompts.get(site).some((p) => p.capability === prompt.capability)) prompts.get(site).push(prompt);
            // The quiet site's prompt is closed as a user would close it.
            if (site === "quiet") {
              await cdp.call("Target.closeTarget", { targetId: t.targetId }).catch(() => {});
              answered.add(t.targetId);
              continue;
            }
            // Only the undecided shop is answered; a prompt anywhere else is a failure, left open.
            if (site !== "shop") continue;
            const { sessionId } = await cdp.call("Target.attachToTarget", { targetId: t.targetId, flatten: true });
            // The click closes the window; it happens after this evaluation has answered.
            // Only once the page's scripts have run: the button is there before its handler is.
            const click = `(() => { const a = document.getElementById("allow");
              if (!a || document.readyState !== "complete") return false;
              document.getElementById("remember").checked = true; setTimeout(() => a.click(), 20); return true; })()`;
            try {
              const { result } = await cdp.call("Runtime.evaluate", { expression: click, returnByValue: true }, { sessionId });
              if (result && result.value === true) answered.add(t.targetId);
            } catch (e) {
              // Still loading, or gone: the next round looks again.
            }
          }
          return sitesFinished.has(site);
        }, 200);
      } catch (e) {
        console.log(`# ${e.message}`);
      }
      await cdp.call("Target.closeTarget", { targetId }).catch(() => {});
      // The other site is told where the shop's file is.
      if (site === "shop") config.shopFile = findFiles(files, "shop-secret.txt")[0] || "";
    }
    shopKept = rememberedSites(dirs);
    // The options page: the shop's row is there; "Remove site" forgets it.
    const shopOrigin = origin(port, "shop");
    try {
      const { targetId } = await cdp.call("Target.createTarget", { url: `chrome-extension://${EXTENSION_ID}/options.html` });
      const { sessionId } = await cdp.call("Target.attachToTarget", { targetId, flatten: true });
      const remove = `(() => { const row = document.querySelector('tr[data-origin=${JSON.stringify(shopOrigin)}] button.remove');
        if (!row) return false; row.click(); return true; })()`;
      await until("the shop's row on the options page", 15000, async () => {
        const { result } = await cdp.call("Runtime.evaluate", { expression: remove, returnByValue: true }, { sessionId });
        return result && result.value === true;
      }, 200);
      // The intranet's row shows what the policy decides, not the user's "block".
      const intranet = `(() => { const row = document.querySelector('tr[data-origin="http://intranet.test:${port}"]');
        const said = row && row.querySelector(".policy");
        return said ? row.dataset.policy + ": " + said.textContent : ""; })()`;
      const { result: shown } = await cdp.call("Runtime.evaluate", { expression: intranet, returnByValue: true }, { sessionId });
      optionsResult.intranet = shown && shown.value;
      await until("the shop to be forgotten", 10000, () => rememberedSites(dirs)[shopOrigin] === undefined, 100);
      optionsResult.ok = true;
      await cdp.call("Target.closeTarget", { targetId }).catch(() => {});
    } catch (e) {
      optionsResult = { ok: false, why: e.message };
    }
  } finally {
    cdp.close();
  }

  judgeSites({ sites: SITES, port, dirs, files, observations, prompts, shopKept, shopFile: config.shopFile });
  judge(OPTIONS_CASE, () => {
    expect(optionsResult.ok, optionsResult.why);
    expect(String(optionsResult.intranet).startsWith("allow: "), `the intranet's row: ${optionsResult.intranet}`);
    return `the intranet's row: ${optionsResult.intranet.slice(7)}`;
  });
}

// ---- mistakes: each gives the page a documented code at once --------------------------

async function mistakeCases({ dirs, policyPath, port, observations, sitesFinished }) {
  const devtoolsPort = fs.readFileSync(path.join(dirs.profile, "DevToolsActivePort"), "utf8").split("\n")[0].trim();
  const [, browserPath] = fs.readFileSync(path.join(dirs.profile, "DevToolsActivePort"), "utf8").split("\n");
  const cdp = await rpc(`ws://127.0.0.1:${devtoolsPort}${browserPath.trim()}`);
  const policy = fs.readFileSync(policyPath, "utf8");
  let prompted = [];
  const visit = async (query, site) => {
    const { targetId } = await cdp.call("Target.createTarget", { url: `http://127.0.0.1:${port}/mistakes.html${query}` });
    try {
      await until(`the ${site} page to finish`, PAGE_FINISH_MS, async () => {
        const { targetInfos } = await cdp.call("Target.getTargets");
        prompted = prompted.concat(targetInfos.filter((t) => t.url.includes("/prompt.html")).map((t) => t.url));
        return sitesFinished.has(site);
      }, 200);
    } catch (e) {
      console.log(`# ${e.message}`);
    }
    await cdp.call("Target.closeTarget", { targetId }).catch(() => {});
  };
  try {
    await visit("", "mistakes");
    // The same policy, with a typo a lenient reader would forgive.
    fs.writeFileSync(policyPath, policy.replace(/\}\s*$/, ",}"));
    await visit("?policy", "policyTypo");
  } finally {
    fs.writeFileSync(policyPath, policy);
    cdp.close();
  }

  const seen = (name) => {
    const o = observations.get(`mistakes.${name}`);
    if (!o) throw new Error(`${name}: the page reported nothing`);
    return o.value;
  };
  judge(MISTAKE_CASES.printer, () => {
    const v = seen("wrongPrinter");
    expect(v.code === "printerNotFound", JSON.stringify(v));
    expect(Array.isArray(v.printers) && v.printers.includes("kx-pdf"), `printers: ${JSON.stringify(v.printers)}`);
    const done = seen("wrongPrinterDone");
    expect(JSON.stringify(done) === JSON.stringify(["error", "printerNotFound"]), `done: ${JSON.stringify(done)}`);
    return `${v.ms} ms; ${v.message}; printers there are: ${v.printers.join(", ")}`;
  });
  judge(MISTAKE_CASES.tooLarge, () => {
    const v = seen("tooLarge");
    expect(v.code === "requestTooLarge" && v.limit === 64 * 1024 * 1024 - 1024, JSON.stringify(v));
    const past = seen("tooLargeForTheBrowser");
    expect(past.code === "requestTooLarge", `past the library: ${JSON.stringify(past)}`);
    const after = seen("stillConnected");
    expect(typeof after.resolved === "string", `the next call: ${JSON.stringify(after)}`);
    return `library ${v.ms} ms, content script ${past.ms} ms ("${past.message}")`;
  });
  judge(MISTAKE_CASES.noExtension, () => {
    const v = seen("noExtension");
    expect(v.first.code === "extensionMissing" && v.second.code === "extensionMissing", JSON.stringify(v));
    expect(v.ready === false, "ready() in the frame");
    return `first call ${v.first.ms} ms (the handshake), second ${v.second.ms} ms`;
  });
  judge(MISTAKE_CASES.policy, () => {
    const v = seen("policyTypo");
    expect(v.code === "permissionDenied" && v.decidedBy === "policy" && v.mayAsk === false, JSON.stringify(v));
    expect(prompted.length === 0, `prompted: ${prompted.join(", ")}`);
    return `${v.ms} ms, decidedBy ${v.decidedBy}`;
  });
}

// ---- the installed package -------------------------------------------------------------

// Checks the system manifest the package installed; returns the packed
// extension to force onto the profile and sets EXTENSION_ID to its id.
function installedSetup() {
  let crx = options.crx;
  if (!crx) {
    const found = fs.readdirSync(INSTALLED.shared).filter((f) => f.endsWith(".crx"));
    expect(found.length === 1, `${INSTALLED.shared}: ${found.length} .crx files, want 1 (or name one with --crx)`);
    crx = path.join(INSTALLED.shared, found[0]);
  }
  EXTENSION_ID = crxIdOf(fs.readFileSync(crx));
  judge(INSTALLED_CASES[0], () => {
    const m = JSON.parse(fs.readFileSync(INSTALLED.manifest, "utf8"));
    expect(m.path === INSTALLED.host, `${INSTALLED.manifest} names ${m.path}`);
    const origin = `chrome-extension://${EXTENSION_ID}/`;
    expect((m.allowed_origins || []).includes(origin), `${INSTALLED.manifest} allows ${JSON.stringify(m.allowed_origins)}, not ${origin}`);
    return `${path.basename(crx)} is ${EXTENSION_ID}`;
  });
  return crx;
}

// The hosts the browser started: processes of this run whose program is the
// installed host (there is no wrapper to record them), seen every 100 ms.
function watchHosts(marker, binary) {
  const seen = new Set();
  const look = () => {
    for (const p of markedProcesses(marker)) {
      try {
        if (fs.readlinkSync(`/proc/${p.pid}/exe`) === binary) seen.add(p.pid);
      } catch {}
    }
  };
  const timer = setInterval(look, 100);
  return { hostPids: () => (look(), [...seen]), stop: () => clearInterval(timer) };
}

// Runs Chromium in a mount namespace where the test's folders cover
// /etc/chromium (with the real native-messaging-hosts bound back inside, and
// the test's managed policy) and /etc/kestrix (the test's sites policy).
function namespaced(work, policy, binary, args) {
  const etcChromium = path.join(work, "etc-chromium");
  const etcKestrix = path.join(work, "etc-kestrix");
  fs.mkdirSync(path.join(etcChromium, "policies/managed"), { recursive: true });
  fs.mkdirSync(path.join(etcChromium, "native-messaging-hosts"), { recursive: true });
  fs.mkdirSync(etcKestrix, { recursive: true });
  fs.writeFileSync(path.join(etcChromium, "policies/managed/kestrix-e2e.json"), JSON.stringify(policy.chromium));
  fs.writeFileSync(path.join(etcKestrix, "policy.json"), JSON.stringify(policy.sites));
  const script = `set -e
mount --bind /etc/chromium/native-messaging-hosts "$1/native-messaging-hosts"
mount --rbind "$1" /etc/chromium
mount --bind "$2" /etc/kestrix
shift 2
exec "$@"`;
  const unshare = process.getuid() === 0 ? ["--mount"] : ["--user", "--map-root-user", "--mount"];
  return ["unshare", [...unshare, "--propagation", "private", "sh", "-c", script, "sh", etcChromium, etcKestrix, binary, ...args]];
}

// Opens url in a new tab through the DevTools protocol.
async function openTab(profile, url) {
  const [port, browserPath] = fs.readFileSync(path.join(profile, "DevToolsActivePort"), "utf8").split("\n");
  const cdp = await rpc(`ws://127.0.0.1:${port.trim()}${browserPath.trim()}`);
  try {
    await cdp.call("Target.createTarget", { url });
  } finally {
    cdp.close();
  }
}

// ---- the run ---------------------------------------------------------------------------

async function main() {
  const { work, dirs, files, env } = makeRun("kx-e2e-");
  // The administrator's policy of this run: loopback pages (the first part) and
  // the intranet may print and write its files, "blocked" gets nothing, other sites may ask. The
  // installed host reads it where a managed machine has it, /etc/kestrix.
  const sitesPolicy = {
    allow: { "http://127.0.0.1:*": "all", ...SITE_POLICY.allow },
    block: SITE_POLICY.block,
    othersMayAsk: true,
  };
  if (options.installed) delete env.KESTRIX_POLICY;
  else fs.writeFileSync(env.KESTRIX_POLICY, JSON.stringify(sitesPolicy));
  let cupsStarted = false;
  let hostPids = () => [];
  let stopWatching = () => {};
  let chromium = null;
  let server = null;
  let chromiumLog = path.join(work, "chromium.log");

  try {
    // Prerequisites, each with a message that says what is missing.
    requireExecutables(
      options.installed
        ? [
            [INSTALLED.host, "the installed host (apt-get install ./dist/kestrix-host_*.deb)"],
            [INSTALLED.job, "the installed job process (apt-get install ./dist/kestrix-host_*.deb)"],
            [chromiumBinary, "Chromium (apt-get install chromium)"],
          ]
        : [
            [hostBinary, "the host (build it: cmake --build build --target kestrix-programs)"],
            [installer, "the installer (cmake --build build --target kestrix-programs)"],
            [path.join(build, "kestrix-job"), "the job process (cmake --build build --target kestrix-programs)"],
            [chromiumBinary, "Chromium (apt-get install chromium)"],
          ],
    );
    const crx = options.installed ? installedSetup() : null;

    // A throwaway CUPS; the host reaches it through the environment Chromium passes on.
    startCups(dirs, env);
    cupsStarted = true;

    if (options.installed) {
      // The browser starts the installed host itself, through the system manifest.
      const watch = watchHosts(work, INSTALLED.host);
      hostPids = watch.hostPids;
      stopWatching = watch.stop;
    } else {
      // The host is started through a wrapper that records its pid, then becomes it.
      const host = hostWrapper(work, hostBinary);
      hostPids = host.hostPids;
      runInstaller(
        installer,
        ["--browser", "chromium", "--dir", path.join(dirs.profile, "NativeMessagingHosts"), "--host", host.wrapper],
        env,
      );
    }

    const observations = new Map();
    let finished = false;
    const sitesFinished = new Set();
    const logs = [];
    const pageConfig = { ...PAGE };
    server = await startServer(
      {
        "/page.html": [path.join(here, "page.html"), "text/html"],
        "/page.js": [path.join(here, "page.js"), "text/javascript"],
        "/kestrix.js": [path.join(pageLibrary, "kestrix.js"), "text/javascript"],
        "/kestrix.mjs": [path.join(pageLibrary, "kestrix.mjs"), "text/javascript"],
        "/site.html": [path.join(here, "site.html"), "text/html"],
        "/site.js": [path.join(here, "site.js"), "text/javascript"],
        // The packed extension and its update manifest, for the managed policy.
        ...(crx
          ? {
              "/updates.xml": [path.join(work, "updates.xml"), "text/xml"],
              "/kestrix.crx": [crx, "application/x-chrome-extension"],
            }
          : {}),
        "/mistakes.html": [path.join(here, "mistakes.html"), "text/html"],
        "/mistakes.js": [path.join(here, "mistakes.js"), "text/javascript"],
        "/frame.html": [path.join(here, "frame.html"), "text/html"],
      },
      pageConfig,
      {
        observe: (o) => observations.set(o.name, o),
        finished: (body) => {
          if (body && body.site) sitesFinished.add(body.site);
          else finished = true;
        },
        log: (l) => logs.push(l),
      },
    );
    const base = `http://127.0.0.1:${server.address().port}`;
    if (crx) {
      const version = JSON.parse(fs.readFileSync(path.join(INSTALLED.shared, "extension/manifest.json"), "utf8")).version;
      fs.writeFileSync(path.join(work, "updates.xml"), updateManifest(EXTENSION_ID, version, `${base}/kestrix.crx`));
    }

    // Test data inside the folder the printing control gives the page's site.
    const siteFiles = path.join(files, `http_127.0.0.1_${server.address().port}`);
    fs.mkdirSync(siteFiles, { recursive: true });
    const big = crypto.randomBytes(1536 * 1024);
    const bigFile = path.join(siteFiles, "big.bin");
    fs.writeFileSync(bigFile, big);
    const pdfFile = path.join(siteFiles, "e2e.pdf");
    Object.assign(pageConfig, { bigFile, pdfFile });

    const log = fs.openSync(chromiumLog, "w");
    const args = [
      "--headless=new",
      "--no-sandbox",
      `--user-data-dir=${dirs.profile}`,
      "--disable-gpu",
      "--no-first-run",
      "--no-default-browser-check",
      "--disable-component-update",
      "--disable-sync",
      "--disable-quic",
      "--remote-debugging-port=0",
      `--host-resolver-rules=${SITES.map((s) => `MAP ${s}.test 127.0.0.1`).join(", ")}`,
    ];
    // The managed extension is fetched by the browser's extension updater,
    // which background networking would switch off; the page opens once it is in.
    const [program, argv] = options.installed
      ? namespaced(work, {
          // DevTools may attach to a policy-installed extension's pages only when
          // this allows it (1); the test clicks the prompt and the options page so.
          chromium: { ExtensionInstallForcelist: [`${EXTENSION_ID};${base}/updates.xml`], DeveloperToolsAvailability: 1 },
          sites: sitesPolicy,
        }, chromiumBinary, [...args, "about:blank"])
      : [chromiumBinary, [...args, `--load-extension=${extensionDir}`, "--disable-background-networking", `${base}/page.html`]];
    chromium = spawn(program, argv, { env, detached: true, stdio: ["ignore", log, log] });
    fs.closeSync(log);
    if (options.installed) {
      try {
        const worker = `chrome-extension://${EXTENSION_ID}/`;
        const started = Date.now();
        await until("the managed extension's service worker", 60000, async () => {
          const targets = await devtools(dirs.profile, "/json/list");
          return Array.isArray(targets) && targets.some((t) => String(t.url).startsWith(worker));
        }, 200);
        record(INSTALLED_CASES[1], true, `${EXTENSION_ID} running ${Date.now() - started} ms after start`);
        await openTab(dirs.profile, `${base}/page.html`);
      } catch (e) {
        record(INSTALLED_CASES[1], false, e.message);
      }
    }

    const seen = (name) => observations.get(name);
    const value = (name) => {
      const o = seen(name);
      if (!o) throw new Error("the page reported nothing");
      if ("error" in o) throw new Error(o.error);
      return o.value;
    };
    try {
      await until("the page to start", PAGE_START_MS, () => seen("library"));
      await until("the page to finish", PAGE_FINISH_MS, () => finished);
    } catch (e) {
      console.log(`# ${e.message}`);
    }

    judge(CASES[0], () => {
      const v = value("library");
      expect(v.sameObject, "the module's default export is not window.kestrix");
      expect(v.functions === v.commands && v.commands === 43, `${v.functions} of ${v.commands} commands are functions`);
    });
    judge(CASES[1], () => {
      const v = value("getVersion");
      expect(typeof v === "string" && v.length > 0, `version ${JSON.stringify(v)}`);
      return `version ${v}`;
    });
    judge(CASES[2], () => {
      const v = value("getPrinters");
      expect(Array.isArray(v) && v.includes("kx-pdf") && v.includes("kx-raw"), `got ${JSON.stringify(v)}`);
      return v.join(", ");
    });
    judge(CASES[3], () => {
      const v = value("readBase64");
      const want = big.toString("base64");
      expect(typeof v === "string", `got ${typeof v}`);
      expect(v === want, `got ${v.length} characters, want ${want.length}`);
      return `${v.length} characters`;
    });
    judge(CASES[4], () => {
      const v = value("printToPDF");
      const said = v.messages && v.messages.length ? `; host messages: ${JSON.stringify(v.messages).slice(0, 400)}` : "";
      expect(v.reply === true, `printToPDF replied ${JSON.stringify(v.reply)}${said}`);
      expect(v.done && v.done.result === "success", `done: ${JSON.stringify(v.done)}${said}`);
      const head = fs.existsSync(pdfFile) ? fs.readFileSync(pdfFile).subarray(0, 5).toString("latin1") : "";
      expect(head === "%PDF-", `${pdfFile} ${head ? "is not a PDF" : "was not written"}`);
      return `${v.states.length} state events, then done "success"`;
    });
    judge(CASES[5], () => {
      const v = value("severalJobs");
      for (const job of v.jobs) {
        const dones = job.events.filter((e) => e[0] === "done");
        expect(dones.length === 1, `${job.title}: ${dones.length} done events: ${JSON.stringify(job.events)}`);
        expect(dones[0][1] === "success", `${job.title}: ${JSON.stringify(dones[0])}`);
        expect(job.events[job.events.length - 1][0] === "done", `${job.title}: events after done: ${JSON.stringify(job.events)}`);
        const states = job.events.filter((e) => e[0] === "state");
        expect(states.length > 0 && states.every((e) => e[1] === job.title),
          `${job.title}: states ${JSON.stringify(states)}`);
        const final = states.filter((e) => e[2] === "completed");
        expect(final.length === 1, `${job.title}: ${final.length} "completed" states`);
      }
      expect(v.waited && v.waited.status === "success" && v.waited.result && v.waited.result.jobId > 0,
        `waited: ${JSON.stringify(v.waited)}`);
      return v.jobs.map((j) => `${j.title}: ${j.events.length} events`).join("; ") + `; waited: ${v.waited.result.message}`;
    });
    judge(CASES[6], () => {
      const v = value("keepalive");
      expect(typeof v === "string" && v.length > 0, `version ${JSON.stringify(v)}`);
      const pids = hostPids();
      expect(pids.length === 1, `${pids.length} host processes were started`);
      expect(isAlive(pids[0]), "the host is gone");
      return `one host, pid ${pids[0]}`;
    });

    // Close the tab as a user would; the extension's port goes, and so must the host.
    try {
      const pids = hostPids();
      expect(pids.length > 0, "no host was ever started");
      const targets = await devtools(dirs.profile, "/json/list");
      const tab = targets.find((t) => t.type === "page" && String(t.url).startsWith(base));
      expect(tab, "the test page's tab was not found");
      await devtools(dirs.profile, `/json/close/${tab.id}`);
      await until("the host to end", 15000, () => pids.every((p) => !isAlive(p)));
      record(CASES[7], true, `${pids.length} host process(es) ended`);
    } catch (e) {
      record(CASES[7], false, e.message);
    }
    // Before the site cases: the wrong printer's job starts a warm renderer, which
    // ends a moment after its host; the site cases give it that moment.
    // The installed host reads the sites' policy where the namespace puts /etc/kestrix.
    const policyPath = options.installed ? path.join(work, "etc-kestrix", "policy.json") : env.KESTRIX_POLICY;
    await mistakeCases({ dirs, policyPath, port: server.address().port, observations, sitesFinished });
    await siteCases({ dirs, files, port: server.address().port, observations, sitesFinished, config: pageConfig });
    if (logs.length) console.log(`# page log: ${JSON.stringify(logs)}`);
  } catch (e) {
    console.log(`# setup failed: ${e.message}`);
  } finally {
    if (chromium && chromium.pid) await endProcess(chromium.pid, true);
    if (server) server.close();
    if (cupsStarted) stopCups(dirs, env);
    await recordLeftBehind(CASES.at(-1), work, hostPids);
    stopWatching();
  }

  finish(options.installed ? [...INSTALLED_CASES, ...CASES] : CASES, {
    work,
    keep: options.keep,
    browser: "chromium",
    // Headless Chromium complains about the missing session bus; that is noise.
    logLines: () => fs.readFileSync(chromiumLog, "utf8").split("\n").filter((l) => l && !/dbus/.test(l)).slice(-30),
  });
}

await main();
