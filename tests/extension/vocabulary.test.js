// The extension's and the page library's command lists against the host's
// command table (src/dispatch/Commands.def), the one place commands are
// defined, and the table of capabilities in docs/extension.md against it.
// Run with: node --test tests/extension/
"use strict";

const test = require("node:test");
const assert = require("node:assert/strict");
const fs = require("node:fs");
const path = require("node:path");
const relay = require("../../extension/relay.js");
const kestrix = require("../../extension/page/kestrix.js");

// The table's rows: name, parameter kinds and reply kind. A line that starts
// like a row but does not read as one fails the test rather than go unseen.
function commandTable() {
  const file = path.join(__dirname, "../../src/dispatch/Commands.def");
  const rows = [];
  for (const line of fs.readFileSync(file, "utf8").split("\n")) {
    if (!line.startsWith("KX_COMMAND(")) continue;
    const m = /^KX_COMMAND\((\w+),\s*"([tfivj]*)",\s*(Never|NoData|Bool|Long|Text|Value),\s*(.*)\)\s*$/.exec(line);
    assert.ok(m, `a row of the table that cannot be read: ${line}`);
    // kCapReadFiles -> "readFiles"; those of an IfFlag(...) count as well.
    const capabilities = (m[4].match(/kCap\w+/g) || []).map((c) => c[4].toLowerCase() + c.slice(5));
    rows.push({ name: m[1], params: m[2], reply: m[3], capabilities });
  }
  return rows;
}

test("the relay and the page library list the table's commands in its order", () => {
  const names = commandTable().map((r) => r.name);
  assert.ok(names.length > 0);
  assert.deepEqual(relay.COMMANDS, names);
  assert.deepEqual(kestrix.COMMANDS, names);
});

test("the relay knows which commands never reply; it and the page library which start print jobs", () => {
  const rows = commandTable();
  assert.deepEqual([...relay.NO_REPLY].sort(), rows.filter((r) => r.reply === "Never").map((r) => r.name).sort());
  const jobs = rows.filter((r) => r.params.includes("j")).map((r) => r.name).sort();
  assert.deepEqual([...relay.PRINT_JOBS].sort(), jobs);
  assert.deepEqual([...kestrix.PRINT_JOBS].sort(), jobs);
});

test("the documentation's table of capabilities lists every command where the table puts it", () => {
  const rows = commandTable();
  const doc = fs.readFileSync(path.join(__dirname, "../../docs/extension.md"), "utf8");
  const documented = new Map();
  // The table under its header "| capability | what the user reads | commands |".
  const lines = doc.split("\n");
  const start = lines.findIndex((l) => l.startsWith("| capability |"));
  assert.ok(start >= 0, "docs/extension.md has no table of capabilities");
  for (const line of lines.slice(start + 2)) {
    const m = /^\| (?:`(\w+)`|none) \|[^|]*\| (.*) \|$/.exec(line);
    if (!m) break;
    // "copy (also `writeFiles`)", "exportAsExcel with its `open` flag set": the
    // name comes first; "(and `new`, `ping`)" names no command of the table.
    const names = m[2].split(",").map((item) => item.trim().split(/\s+/)[0]).filter((n) => /^\w+$/.test(n));
    documented.set(m[1] || "", names.sort());
  }
  const expected = new Map([["", rows.filter((r) => r.capabilities.length === 0).map((r) => r.name).sort()]]);
  for (const r of rows)
    for (const c of r.capabilities) expected.set(c, (expected.get(c) || []).concat(r.name).sort());
  assert.deepEqual(documented, expected);
});
