// End-to-end test in headless Firefox ESR: the extension (the same sources as for
// Chromium) installed as a temporary add-on over WebDriver BiDi, the host found
// through the manifest kestrix-install writes for Firefox ("allowed_extensions"
// with the add-on's fixed id), and pages on named origins (mapped to 127.0.0.1 by
// the network.dns.localDomains preference) meeting the site permissions: the
// policy allows one, blocks one, and the user is asked about the third (this
// script answers the prompt window over BiDi).
//
//   node tests/e2e/firefox.mjs [--build DIR] [--firefox PATH] [--xpi FILE] [--keep]
//
// --xpi installs that packed add-on (scripts/package.sh makes it) instead of
// the extension/ folder.
//
// Prints one line per case and "N passed, N failed"; exits 1 when a case failed.
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import path from "node:path";
import { expect, extensionDir, endProcess, findFiles, finish, here, hostWrapper, judge, makeRun,
  recordLeftBehind, repo, requireExecutables, runInstaller, startCups, startServer, stopCups, until } from "./common.mjs";
import { judgeSites, origin, rememberedSites, rememberOtherSite, SITE_CASES, SITE_POLICY } from "./sites.mjs";
import { rpc } from "./wire.mjs";

const args = process.argv.slice(2);
const option = (name) => (args.includes(name) ? args[args.indexOf(name) + 1] : undefined);
const build = path.resolve(option("--build") || path.join(repo, "build"));
const firefoxBinary = option("--firefox") || "/usr/bin/firefox-esr";
const xpi = option("--xpi");
const SITES = ["intranet", "blocked", "shop", "other"];
const INSTALL_CASE = "the add-on installs";
const CASES = [
  INSTALL_CASE,
  SITE_CASES.handshake,
  SITE_CASES.policyAllowed,
  SITE_CASES.undecided,
  SITE_CASES.blocked,
  SITE_CASES.files,
  "no process is left behind",
];
const CALL_TIMEOUT_MS = 60000;
const SITE_MS = 90000;

function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer().listen(0, "127.0.0.1", () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

async function main() {
  const { work, dirs, files, env } = makeRun("kx-e2e-firefox-", { MOZ_CRASHREPORTER_DISABLE: "1" });
  fs.writeFileSync(env.KESTRIX_POLICY, JSON.stringify(SITE_POLICY));
  let cupsStarted = false;
  let hostPids = () => [];
  let firefox = null;
  let server = null;
  let bidi = null;
  const observations = new Map();
  const finished = new Set();
  const prompts = new Map(SITES.map((s) => [s, []]));
  const log = path.join(work, "firefox.log");
  const started = Date.now();
  const pageConfig = { callTimeoutMs: CALL_TIMEOUT_MS, shopFile: "" };

  try {
    requireExecutables([
      [path.join(build, "kestrix-host"), "the host"],
      [path.join(build, "kestrix-install"), "the installer"],
      [firefoxBinary, "Firefox ESR (apt-get install firefox-esr)"],
    ]);
    startCups(dirs, env);
    cupsStarted = true;

    // Firefox reads host manifests from ~/.mozilla/native-messaging-hosts.
    const host = hostWrapper(work, path.join(build, "kestrix-host"));
    hostPids = host.hostPids;
    runInstaller(path.join(build, "kestrix-install"), ["--browser", "firefox", "--host", host.wrapper], env);

    server = await startServer(
      {
        "/site.html": [path.join(here, "site.html"), "text/html"],
        "/site.js": [path.join(here, "site.js"), "text/javascript"],
        "/kestrix.js": [path.join(extensionDir, "page/kestrix.js"), "text/javascript"],
      },
      pageConfig,
      { observe: (body) => observations.set(body.name, body), finished: (body) => finished.add(body.site) },
    );
    const port = server.address().port;

    fs.writeFileSync(
      path.join(dirs.profile, "user.js"),
      [
        ["network.dns.localDomains", SITES.map((s) => `${s}.test`).join(",")],
        ["browser.shell.checkDefaultBrowser", false],
        ["datareporting.policy.dataSubmissionEnabled", false],
        ["toolkit.telemetry.reportingpolicy.firstRun", false],
        ["app.update.enabled", false],
      ]
        .map(([k, v]) => `user_pref(${JSON.stringify(k)}, ${JSON.stringify(v)});`)
        .join("\n") + "\n",
    );
    const bidiPort = await freePort();
    const out = fs.openSync(log, "w");
    firefox = spawn(firefoxBinary, ["-headless", "-no-remote", "-profile", dirs.profile, `--remote-debugging-port=${bidiPort}`], {
      env,
      detached: true,
      stdio: ["ignore", out, out],
    });
    fs.closeSync(out);
    bidi = await until("WebDriver BiDi", 30000, () => rpc(`ws://127.0.0.1:${bidiPort}/session`).catch(() => null), 200);
    await bidi.call("session.new", { capabilities: {} });
    const extensionData = xpi ? { type: "archivePath", path: path.resolve(xpi) } : { type: "path", path: extensionDir };
    const { extension } = await bidi.call("webExtension.install", { extensionData });
    expect(extension === "kestrix@kestrix-host", `the add-on installed as ${extension}`);

    const answered = new Set();
    rememberOtherSite(dirs, port);
    for (const site of SITES) {
      const { context } = await bidi.call("browsingContext.create", { type: "tab" });
      await bidi.call("browsingContext.navigate", { context, url: `${origin(port, site)}/site.html`, wait: "none" });
      try {
        await until(`the ${site} page to finish`, SITE_MS, async () => {
          const { contexts } = await bidi.call("browsingContext.getTree", {});
          for (const c of contexts) {
            if (!c.url.includes("/prompt.html") || answered.has(c.context)) continue;
            const q = new URL(c.url).searchParams;
            const prompt = { origin: q.get("origin"), capability: q.get("capability") };
            if (!prompts.get(site).some((p) => p.capability === prompt.capability)) prompts.get(site).push(prompt);
            if (site !== "shop") continue;
            // Only once the page's scripts have run: the button is there before its handler is.
            const click = `(() => { const a = document.getElementById("allow");
              if (!a || document.readyState !== "complete") return false;
              document.getElementById("remember").checked = true; setTimeout(() => a.click(), 20); return true; })()`;
            const r = await bidi
              .call("script.evaluate", { expression: click, target: { context: c.context }, awaitPromise: false })
              .catch(() => null);
            if (r && r.result && r.result.value === true) answered.add(c.context);
          }
          return finished.has(site);
        }, 200);
      } catch (e) {
        console.log(`# ${e.message}`);
      }
      await bidi.call("browsingContext.close", { context }).catch(() => {});
      if (site === "shop") pageConfig.shopFile = findFiles(files, "shop-secret.txt")[0] || "";
    }

    judge(INSTALL_CASE, () => `add-on ${extension}`);
    judgeSites({ sites: SITES, port, dirs, files, observations, prompts, shopKept: rememberedSites(dirs),
                 shopFile: pageConfig.shopFile });
  } catch (e) {
    console.log(`# setup failed: ${e.message}`);
  } finally {
    if (bidi) bidi.close();
    if (firefox && firefox.pid) await endProcess(firefox.pid, true);
    if (server) server.close();
    if (cupsStarted) stopCups(dirs, env);
    await recordLeftBehind(CASES.at(-1), work, hostPids);
  }
  console.log(`# ${((Date.now() - started) / 1000).toFixed(1)} s`);
  finish(CASES, {
    work,
    keep: args.includes("--keep"),
    browser: "firefox",
    logLines: () => fs.readFileSync(log, "utf8").split("\n").filter((l) => /kestrix|Error|error/.test(l)).slice(-20),
  });
}

await main();
