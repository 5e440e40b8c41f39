// Packs the extension for distribution: a Chromium .crx (CRX3, signed with
// RSA-SHA256 by the publisher's key) and a Firefox .xpi (a plain zip; Mozilla
// signs it), both reproducible (sorted entries, fixed times).
//
//   node packaging/pack-extension.mjs --source extension --out dist --key KEY.pem
//        [--base-url URL]
//
// The .crx's id is derived from the key's public half, and Chromium takes the
// id of a packed extension from its signature, never from "key" in
// manifest.json: so the packed manifest's "key" is set to that public key, so
// that an unpacked copy of the crx keeps the id. Only the key that made the
// bundled "key" gives the bundled id. Prints one JSON line: {id, bundled,
// firefoxId, version, crx, xpi}. OUT/managed/ gets the deployment files for
// this build (see managedFiles), for an administrator who serves the .crx,
// the .xpi and updates.xml from --base-url.
import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";
import zlib from "node:zlib";

// ---- a small zip writer (stored or deflated entries, no extras) ----------------------

const CRC_TABLE = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
function crc32(buf) {
  let c = 0xffffffff;
  for (const b of buf) c = CRC_TABLE[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

// entries: [{name, data}], written in the order given. Times are 1980-01-01,
// the zip format's first day, so the same files make the same bytes.
export function zip(entries) {
  const locals = [];
  const central = [];
  let offset = 0;
  for (const { name, data } of entries) {
    const nameBytes = Buffer.from(name, "utf8");
    const deflated = zlib.deflateRawSync(data, { level: 9 });
    const stored = deflated.length >= data.length;
    const body = stored ? data : deflated;
    const crc = crc32(data);
    const fields = (h, at) => {
      h.writeUInt16LE(20, at); // version needed: 2.0
      h.writeUInt16LE(0x0800, at + 2); // names are UTF-8
      h.writeUInt16LE(stored ? 0 : 8, at + 4);
      h.writeUInt16LE(0, at + 6); // 00:00
      h.writeUInt16LE(0x21, at + 8); // 1980-01-01
      h.writeUInt32LE(crc, at + 10);
      h.writeUInt32LE(body.length, at + 14);
      h.writeUInt32LE(data.length, at + 18);
      h.writeUInt16LE(nameBytes.length, at + 22);
      h.writeUInt16LE(0, at + 24); // no extra field
    };
    const local = Buffer.alloc(30);
    local.writeUInt32LE(0x04034b50, 0);
    fields(local, 4);
    const dir = Buffer.alloc(46);
    dir.writeUInt32LE(0x02014b50, 0);
    dir.writeUInt16LE((3 << 8) | 20, 4); // made by: Unix, 2.0
    fields(dir, 6);
    dir.writeUInt32LE((0o100644 << 16) >>> 0, 38); // a plain file, rw-r--r--
    dir.writeUInt32LE(offset, 42);
    locals.push(local, nameBytes, body);
    central.push(dir, nameBytes);
    offset += local.length + nameBytes.length + body.length;
  }
  const centralBytes = Buffer.concat(central);
  const end = Buffer.alloc(22);
  end.writeUInt32LE(0x06054b50, 0);
  end.writeUInt16LE(entries.length, 8);
  end.writeUInt16LE(entries.length, 10);
  end.writeUInt32LE(centralBytes.length, 12);
  end.writeUInt32LE(offset, 16);
  return Buffer.concat([...locals, centralBytes, end]);
}

// ---- CRX3: "Cr24", version 3, a CrxFileHeader protobuf, then the zip -------------------

function varint(n) {
  const out = [];
  while (n > 0x7f) {
    out.push((n & 0x7f) | 0x80);
    n = Math.floor(n / 128);
  }
  out.push(n);
  return Buffer.from(out);
}
// One length-delimited protobuf field.
function field(number, bytes) {
  return Buffer.concat([varint(number * 8 + 2), varint(bytes.length), bytes]);
}

// The 32-letter id Chromium gives the extension signed with this public key
// (DER SubjectPublicKeyInfo): the first 16 bytes of its SHA-256, each hex digit
// 0-f written as a letter a-p.
export function extensionId(publicKeyDer) {
  return idFromCrxId(crypto.createHash("sha256").update(publicKeyDer).digest().subarray(0, 16));
}
export function idFromCrxId(crxId) {
  return [...crxId.toString("hex")].map((h) => String.fromCharCode(97 + parseInt(h, 16))).join("");
}

// What a CRX3 signature covers starts with these bytes, then the signed
// header data's length (4 bytes, little-endian), that data and the archive.
export const CRX3_SIGNED = Buffer.from("CRX3 SignedData\0", "latin1");

export function crx3(archive, privateKey) {
  const publicKey = crypto.createPublicKey(privateKey).export({ type: "spki", format: "der" });
  const crxId = crypto.createHash("sha256").update(publicKey).digest().subarray(0, 16);
  const signedData = field(1, crxId); // SignedData { bytes crx_id = 1; }
  const size = Buffer.alloc(4);
  size.writeUInt32LE(signedData.length);
  const signature = crypto.sign("sha256", Buffer.concat([CRX3_SIGNED, size, signedData, archive]), privateKey);
  // CrxFileHeader { AsymmetricKeyProof sha256_with_rsa = 2; bytes signed_header_data = 10000; }
  // AsymmetricKeyProof { bytes public_key = 1; bytes signature = 2; }
  const header = Buffer.concat([
    field(2, Buffer.concat([field(1, publicKey), field(2, signature)])),
    field(10000, signedData),
  ]);
  const prefix = Buffer.alloc(12);
  prefix.write("Cr24", 0, "latin1");
  prefix.writeUInt32LE(3, 4);
  prefix.writeUInt32LE(header.length, 8);
  return { bytes: Buffer.concat([prefix, header, archive]), id: idFromCrxId(crxId), publicKey };
}

// The parts of a CRX3 file: the id its signed header declares (what Chromium
// installs it as), the first RSA proof's key and signature, the signed header
// data and the zip archive.
export function readCrx(bytes) {
  if (bytes.subarray(0, 4).toString("latin1") !== "Cr24" || bytes.readUInt32LE(4) !== 3) throw new Error("not a CRX3 file");
  const headerEnd = 12 + bytes.readUInt32LE(8);
  const header = bytes.subarray(12, headerEnd);
  const readVarint = (buf, at) => {
    let value = 0;
    for (let shift = 1; ; shift *= 128) {
      if (at >= buf.length) throw new Error("truncated CRX header");
      const b = buf[at++];
      value += (b & 0x7f) * shift;
      if (b < 0x80) return [value, at];
    }
  };
  // The first length-delimited field numbered want.
  const read = (buf, want) => {
    for (let at = 0; at < buf.length; ) {
      const [tag, afterTag] = readVarint(buf, at);
      const [len, start] = readVarint(buf, afterTag);
      if (tag % 8 !== 2) throw new Error("unexpected field in the CRX header");
      if (Math.floor(tag / 8) === want) return buf.subarray(start, start + len);
      at = start + len;
    }
    throw new Error(`no field ${want} in the CRX header`);
  };
  const signedData = read(header, 10000);
  const proof = read(header, 2);
  return {
    id: idFromCrxId(read(signedData, 1)),
    publicKey: read(proof, 1),
    signature: read(proof, 2),
    signedData,
    archive: bytes.subarray(headerEnd),
  };
}
export const crxIdOf = (bytes) => readCrx(bytes).id;

// ---- the extension's files ----------------------------------------------------------

function filesOf(dir) {
  return fs
    .readdirSync(dir, { recursive: true, withFileTypes: true })
    .filter((e) => e.isFile())
    .map((e) => path.relative(dir, path.join(e.parentPath || e.path, e.name)).split(path.sep).join("/"))
    .sort();
}

export function updateManifest(id, version, codebase) {
  const esc = (s) => s.replace(/&/g, "&amp;").replace(/"/g, "&quot;").replace(/</g, "&lt;");
  return (
    "<?xml version='1.0' encoding='UTF-8'?>\n" +
    "<gupdate xmlns='http://www.google.com/update2/response' protocol='2.0'>\n" +
    `  <app appid='${id}'>\n` +
    `    <updatecheck codebase="${esc(codebase)}" version="${esc(version)}" />\n` +
    "  </app>\n" +
    "</gupdate>\n"
  );
}

// The files an administrator deploys, filled in for this build: the update
// manifest hosted beside the .crx, the Chromium/Chrome policy that forces the
// extension onto every profile, and Firefox's policies.json that does the same.
export function managedFiles({ id, version, firefoxId, baseUrl, crxName, xpiName }) {
  const base = baseUrl.endsWith("/") ? baseUrl : baseUrl + "/";
  return {
    "updates.xml": updateManifest(id, version, base + crxName),
    "chromium-policy.json": JSON.stringify({ ExtensionInstallForcelist: [`${id};${base}updates.xml`] }, null, 2) + "\n",
    "firefox-policies.json":
      JSON.stringify(
        { policies: { ExtensionSettings: { [firefoxId]: { installation_mode: "force_installed", install_url: base + xpiName } } } },
        null,
        2,
      ) + "\n",
  };
}

function main(argv) {
  const o = {};
  for (let i = 0; i < argv.length; i++) {
    if (["--source", "--out", "--key", "--base-url"].includes(argv[i]) && i + 1 < argv.length) o[argv[i].slice(2)] = argv[++i];
    else {
      console.error("usage: node pack-extension.mjs --source DIR --out DIR --key KEY.pem [--base-url URL]");
      process.exit(2);
    }
  }
  if (!o.source || !o.out || !o.key) {
    console.error("pack-extension: --source, --out and --key are needed");
    process.exit(2);
  }
  const privateKey = crypto.createPrivateKey(fs.readFileSync(o.key));
  if (privateKey.asymmetricKeyType !== "rsa") throw new Error(`${o.key}: not an RSA key (CRX3 here signs with RSA-SHA256)`);
  const manifest = JSON.parse(fs.readFileSync(path.join(o.source, "manifest.json"), "utf8"));
  const version = manifest.version;
  const names = filesOf(o.source);
  const entries = (edit) =>
    names.map((name) => ({
      name,
      data: name === "manifest.json" && edit ? Buffer.from(JSON.stringify(edit(manifest), null, 2) + "\n") : fs.readFileSync(path.join(o.source, name)),
    }));

  const publicKey = crypto.createPublicKey(privateKey).export({ type: "spki", format: "der" });
  const packed = crx3(zip(entries((m) => ({ ...m, key: publicKey.toString("base64") }))), privateKey);
  const crxName = `kestrix-extension_${version}.crx`;
  const xpiName = `kestrix-extension_${version}.xpi`;
  fs.mkdirSync(path.join(o.out, "managed"), { recursive: true });
  fs.writeFileSync(path.join(o.out, crxName), packed.bytes);
  fs.writeFileSync(path.join(o.out, xpiName), zip(entries(null)));
  const firefoxId = manifest.browser_specific_settings.gecko.id;
  const managed = managedFiles({
    id: packed.id,
    version,
    firefoxId,
    baseUrl: o["base-url"] || "https://intranet.example.com/kestrix/",
    crxName,
    xpiName,
  });
  for (const [name, text] of Object.entries(managed)) fs.writeFileSync(path.join(o.out, "managed", name), text);
  const bundled = manifest.key ? extensionId(Buffer.from(manifest.key, "base64")) : "";
  console.log(JSON.stringify({ id: packed.id, bundled, firefoxId, version, crx: crxName, xpi: xpiName }));
}

if (process.argv[1] && path.resolve(process.argv[1]) === path.resolve(new URL(import.meta.url).pathname)) main(process.argv.slice(2));
