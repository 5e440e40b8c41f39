// The page library as an npm package: its version is the extension's, its
// declarations name every command and code the library has, and `npm pack`
// (offline, --dry-run) takes every file the package names. The type check of
// the declarations against the examples is tests/extension/check-types.sh.
"use strict";

const test = require("node:test");
const assert = require("node:assert/strict");
const { spawnSync } = require("node:child_process");
const fs = require("node:fs");
const path = require("node:path");
const kestrix = require("../../extension/page/kestrix.js");

const folder = path.join(__dirname, "../../extension/page");
const read = (file) => fs.readFileSync(path.join(folder, file), "utf8");

test("the package, the library and the extension carry one version", () => {
  const manifest = JSON.parse(fs.readFileSync(path.join(folder, "../manifest.json"), "utf8"));
  assert.equal(JSON.parse(read("package.json")).version, manifest.version);
  assert.equal(kestrix.VERSION, manifest.version);
});

test("the declarations name every command and every error code of the library", () => {
  const types = read("kestrix.d.ts");
  for (const command of kestrix.COMMANDS) assert.match(types, new RegExp(`\\n    ${command}\\(`), command);
  const declared = types.slice(types.indexOf("type ErrorCode ="), types.indexOf("type Capability"));
  const codes = [...declared.matchAll(/"(\w+)"/g)].map((m) => m[1]);
  assert.deepEqual(codes.slice().sort(), kestrix.ERROR_CODES.slice().sort());
});

test("npm pack takes the library, its module entry, its declarations and its readme", { skip: !hasNpm() }, () => {
  const pack = spawnSync("npm", ["pack", "--dry-run", "--json", "--offline"], { cwd: folder, encoding: "utf8" });
  assert.equal(pack.status, 0, pack.stderr);
  const [info] = JSON.parse(pack.stdout);
  const files = info.files.map((f) => f.path).sort();
  assert.deepEqual(files, ["README.md", "kestrix.d.cts", "kestrix.d.mts", "kestrix.d.ts", "kestrix.js", "kestrix.mjs", "package.json"]);
});

function hasNpm() {
  return spawnSync("npm", ["--version"]).status === 0;
}
