// The extension packer: ids, the CRX3 header and signature, the zip, and the
// deployment files. That Chromium installs what it writes is shown end to end
// by tests/e2e/run.mjs --installed.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import test from "node:test";
import { fileURLToPath } from "node:url";
import { CRX3_SIGNED, crx3, extensionId, managedFiles, readCrx, zip } from "../../packaging/pack-extension.mjs";

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const { privateKey, publicKey } = crypto.generateKeyPairSync("rsa", { modulusLength: 2048 });
const spki = publicKey.export({ type: "spki", format: "der" });

test("the key in extension/manifest.json gives the bundled id the host manifests allow", () => {
  const manifest = JSON.parse(fs.readFileSync(path.join(repo, "extension/manifest.json"), "utf8"));
  assert.equal(extensionId(Buffer.from(manifest.key, "base64")), "obkkhjkmknnbggeelnmbimmleflkgjoj");
});

test("a crx declares its signer's id and carries a signature over the signed data and the archive", () => {
  const archive = zip([{ name: "manifest.json", data: Buffer.from("{}") }]);
  const crx = readCrx(crx3(archive, privateKey).bytes);
  assert.equal(crx.id, extensionId(spki));
  assert.deepEqual(crx.publicKey, spki);
  assert.deepEqual(crx.archive, archive);
  const size = Buffer.alloc(4);
  size.writeUInt32LE(crx.signedData.length);
  const signed = Buffer.concat([CRX3_SIGNED, size, crx.signedData, archive]);
  assert.ok(crypto.verify("sha256", signed, publicKey, crx.signature));
  // One byte of the archive changed and the signature no longer holds.
  signed[signed.length - 1] ^= 1;
  assert.ok(!crypto.verify("sha256", signed, publicKey, crx.signature));
  assert.throws(() => readCrx(Buffer.from("PK\x03\x04 not a crx")), /not a CRX3 file/);
});

test("unzip reads back every entry, stored or deflated, and the same files give the same bytes", (t) => {
  if (spawnSync("unzip", ["-v"]).status !== 0) return t.skip("unzip is not installed");
  const entries = [
    { name: "manifest.json", data: Buffer.from(JSON.stringify({ name: "x".repeat(500) })) }, // deflates
    { name: "page/random.bin", data: crypto.randomBytes(3000) }, // does not: stored
    { name: "empty.txt", data: Buffer.alloc(0) },
  ];
  const bytes = zip(entries);
  assert.deepEqual(zip(entries), bytes);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "kx-pack-"));
  try {
    const file = path.join(dir, "a.zip");
    fs.writeFileSync(file, bytes);
    const check = spawnSync("unzip", ["-t", file], { encoding: "utf8" });
    assert.equal(check.status, 0, check.stdout + check.stderr);
    for (const { name, data } of entries) assert.deepEqual(spawnSync("unzip", ["-p", file, name]).stdout, data, name);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test("the deployment files name the id, the update manifest and the files at the base address", () => {
  const files = managedFiles({
    id: "a".repeat(32),
    version: "1.2.3",
    firefoxId: "kestrix@kestrix-host",
    baseUrl: "https://intranet.example.com/kx", // no trailing slash
    crxName: "k_1.2.3.crx",
    xpiName: "k_1.2.3.xpi",
  });
  assert.deepEqual(JSON.parse(files["chromium-policy.json"]), {
    ExtensionInstallForcelist: [`${"a".repeat(32)};https://intranet.example.com/kx/updates.xml`],
  });
  assert.match(files["updates.xml"], /<app appid='a{32}'>/);
  assert.match(files["updates.xml"], /codebase="https:\/\/intranet.example.com\/kx\/k_1.2.3.crx" version="1.2.3"/);
  const firefox = JSON.parse(files["firefox-policies.json"]).policies.ExtensionSettings["kestrix@kestrix-host"];
  assert.deepEqual(firefox, { installation_mode: "force_installed", install_url: "https://intranet.example.com/kx/k_1.2.3.xpi" });
});
