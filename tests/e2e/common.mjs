// What the end-to-end tests in Chromium (run.mjs) and Firefox (firefox.mjs) share:
// polling, the result lines, the run's temporary folder and environment, the
// throwaway CUPS, the host wrapper that records its pids, the loopback server,
// and finding what a run left behind.
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

export const here = path.dirname(fileURLToPath(import.meta.url));
export const repo = path.resolve(here, "../..");
export const extensionDir = path.join(repo, "extension");
const cupsScripts = path.join(repo, "tests/control/cups");

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls test() until it returns something truthy; throws after ms.
export async function until(what, ms, test, every = 50) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await test();
    if (value) return value;
    if (Date.now() > end) throw new Error(`${what}: not within ${ms} ms`);
    await sleep(every);
  }
}

// ---- results: one line per case, the first verdict on a case holds ----------------

export const results = new Map();
export function record(name, ok, detail = "") {
  if (results.has(name)) return;
  results.set(name, { ok, detail });
  console.log(`${ok ? "ok  " : "FAIL"} - ${name}${detail ? (ok ? ` (${detail})` : `: ${detail}`) : ""}`);
}
export function judge(name, fn) {
  try {
    const detail = fn();
    record(name, true, detail || "");
  } catch (e) {
    record(name, false, e.message);
  }
}
export function expect(condition, message) {
  if (!condition) throw new Error(message);
}

// Marks the cases never judged as failed, prints the summary and sets the exit
// code; a failed run keeps its folder and shows the browser's last stderr lines.
export function finish(cases, { work, keep, browser, logLines }) {
  for (const name of cases) if (!results.has(name)) record(name, false, "not run");
  const failed = [...results.values()].filter((r) => !r.ok).length;
  if (failed > 0) {
    console.log(`# kept for inspection: ${work}`);
    try {
      console.log(`# ${browser} and host stderr (last lines):\n# ${logLines().join("\n# ")}`);
    } catch {}
  } else if (!keep) {
    fs.rmSync(work, { recursive: true, force: true });
  }
  console.log(`${results.size - failed} passed, ${failed} failed`);
  process.exitCode = failed > 0 ? 1 : 0;
}

// ---- processes ---------------------------------------------------------------------

export function isAlive(pid) {
  try {
    // A zombie has ended; only its parent has not collected it yet.
    const stat = fs.readFileSync(`/proc/${pid}/stat`, "utf8");
    return !/^\d+ \(.*\) Z/s.test(stat);
  } catch {
    return false;
  }
}

// Every live process whose environment carries KESTRIX_E2E_RUN=marker.
export function markedProcesses(marker) {
  const found = [];
  for (const entry of fs.readdirSync("/proc")) {
    if (!/^\d+$/.test(entry) || Number(entry) === process.pid) continue;
    try {
      const env = fs.readFileSync(`/proc/${entry}/environ`, "utf8").split("\0");
      if (env.includes(`KESTRIX_E2E_RUN=${marker}`) && isAlive(Number(entry))) {
        const cmd = fs.readFileSync(`/proc/${entry}/cmdline`, "utf8").split("\0").join(" ").trim();
        found.push({ pid: Number(entry), cmd });
      }
    } catch {
      // Gone meanwhile, or not ours to read.
    }
  }
  return found;
}

export async function endProcess(pid, group) {
  const target = group ? -pid : pid;
  try {
    process.kill(target, "SIGTERM");
  } catch {
    return;
  }
  try {
    await until(`pid ${pid} to end`, 10000, () => !isAlive(pid));
  } catch {
    try {
      process.kill(target, "SIGKILL");
    } catch {}
  }
}

// The last case: ends whatever of this run still lives and records it as a failure.
export async function recordLeftBehind(name, marker, hostPids) {
  const left = markedProcesses(marker);
  for (const p of left) await endProcess(p.pid, false);
  for (const p of hostPids()) if (isAlive(p)) left.push({ pid: p, cmd: "kestrix-host" });
  if (left.length === 0) record(name, true);
  else record(name, false, left.map((p) => `${p.pid} ${p.cmd.slice(0, 80)}`).join("; "));
}

// Throws, saying what is missing, unless every [file, what] is an executable.
export function requireExecutables(list) {
  for (const [file, what] of list) {
    try {
      fs.accessSync(file, fs.constants.X_OK);
    } catch {
      throw new Error(`${file} is missing: ${what}`);
    }
  }
}

// ---- the run's folder, environment, CUPS and host ----------------------------------

// One temporary folder with the browser profile, home and XDG folders inside, and
// an environment that points there; every process started with it carries the
// folder as its KESTRIX_E2E_RUN marker.
export function makeRun(prefix, extraEnv = {}) {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  // The CUPS backends run as user lp and must reach the scheduler's folder.
  fs.chmodSync(work, 0o755);
  const dirs = {};
  for (const d of ["profile", "home", "tmp", "config", "data", "cache", "cups"]) {
    dirs[d] = path.join(work, d);
    fs.mkdirSync(dirs[d], { recursive: true });
  }
  const files = path.join(dirs.data, "kestrix/files");
  fs.mkdirSync(files, { recursive: true });
  const env = {
    ...process.env,
    KESTRIX_E2E_RUN: work,
    HOME: dirs.home,
    TMPDIR: dirs.tmp,
    XDG_CONFIG_HOME: dirs.config,
    XDG_DATA_HOME: dirs.data,
    XDG_CACHE_HOME: dirs.cache,
    KESTRIX_POLICY: path.join(work, "policy.json"),
    ...extraEnv,
  };
  return { work, dirs, files, env };
}

// A throwaway CUPS in dirs.cups; the host reaches it through env, which the
// browser passes on.
export function startCups(dirs, env) {
  const cups = spawnSync("sh", [path.join(cupsScripts, "start-cups.sh"), dirs.cups], { env, encoding: "utf8" });
  if (cups.status !== 0) throw new Error(`start-cups.sh failed: ${cups.stderr.trim()}`);
  env.CUPS_SERVER = cups.stdout.trim().split("\n").pop();
  env.CUPS_SERVERROOT = path.join(dirs.cups, "etc");
}
export function stopCups(dirs, env) {
  spawnSync("sh", [path.join(cupsScripts, "stop-cups.sh"), dirs.cups], { env });
}

// The host is started through a wrapper that records its pid, then becomes it;
// hostPids() lists every host the browser started.
export function hostWrapper(work, hostBinary) {
  const pidFile = path.join(work, "host-pids");
  const wrapper = path.join(work, "kestrix-host.sh");
  fs.writeFileSync(wrapper, `#!/bin/sh\necho $$ >> '${pidFile}'\nexec '${hostBinary}' "$@"\n`, { mode: 0o755 });
  const hostPids = () => {
    try {
      return fs.readFileSync(pidFile, "utf8").split("\n").filter(Boolean).map(Number);
    } catch {
      return [];
    }
  };
  return { wrapper, hostPids };
}

// Writes the browser's host manifest with kestrix-install; throws when it fails.
export function runInstaller(installer, args, env) {
  const install = spawnSync(installer, ["install", ...args], { env, encoding: "utf8" });
  if (install.status !== 0) throw new Error(`kestrix-install failed: ${install.stderr.trim()}`);
}

// Every file below dir whose name is base (per-site folders put them deeper).
export function findFiles(dir, base) {
  const found = [];
  for (const entry of fs.readdirSync(dir, { withFileTypes: true, recursive: true }))
    if (entry.isFile() && entry.name === base) found.push(path.join(entry.parentPath || entry.path, entry.name));
  return found;
}

// ---- the loopback server -------------------------------------------------------------

// Serves the named files (path -> [file, type]) and config as /config.json; a POST
// to /observe, /finished or /log goes to on.observe, on.finished or on.log with its
// JSON body. Resolves to the listening server.
export function startServer(files, config, on) {
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, "http://127.0.0.1");
    if (req.method === "GET" && files[url.pathname]) {
      const [file, type] = files[url.pathname];
      res.writeHead(200, { "content-type": `${type}; charset=utf-8`, "cache-control": "no-store" });
      res.end(fs.readFileSync(file));
      return;
    }
    if (req.method === "GET" && url.pathname === "/config.json") {
      res.writeHead(200, { "content-type": "application/json" });
      res.end(JSON.stringify(config));
      return;
    }
    if (req.method === "POST") {
      const chunks = [];
      req.on("data", (c) => chunks.push(c));
      req.on("end", () => {
        let body = {};
        try {
          body = JSON.parse(Buffer.concat(chunks).toString("utf8"));
        } catch {}
        res.writeHead(204);
        res.end();
        const what = url.pathname.slice(1);
        if (Object.hasOwn(on, what)) on[what](body);
      });
      return;
    }
    res.writeHead(404);
    res.end();
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server)));
}
