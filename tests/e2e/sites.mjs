// The site permissions cases both browsers run (site.html and site.js on named
// origins): what each site's page reported, the prompts the user saw and the
// files left behind, judged the same way for Chromium (run.mjs) and Firefox
// (firefox.mjs). How a browser opens the pages and answers the prompts is its
// driver's business; what counts as passing is this module's.
import fs from "node:fs";
import path from "node:path";
import { expect, findFiles, judge } from "./common.mjs";

// The case names, in the order the drivers list them.
export const SITE_CASES = {
  handshake: "a page on a named origin finds the extension by the handshake",
  policyAllowed: "an origin the policy allows prints to PDF and is never asked",
  undecided: "an undecided origin: the user is asked, allows, and the page prints to PDF",
  blocked: "a blocked origin gets the permission error and the control is never called",
  dismissed: "a closed prompt refuses, and the site is not asked again during the visit",
  files: "one site cannot read another's file",
};

// The administrator's policy both runs use for the named sites.
// The intranet may print and write files (a PDF is written), nothing else.
export const SITE_POLICY = {
  allow: { "http://intranet.test:*": ["printers", "writeFiles"] },
  block: ["http://blocked.test:*"],
};

export const origin = (port, site) => `http://${site}.test:${port}`;

// Before the visits: the "other" site was allowed its files by the user
// (and whatever else the user decided: more, origin -> decisions).
export function rememberOtherSite(dirs, port, more = {}) {
  const sitesFile = path.join(dirs.config, "kestrix/sites.json");
  fs.mkdirSync(path.dirname(sitesFile), { recursive: true, mode: 0o700 });
  const decided = { [origin(port, "other")]: { readFiles: "allow", writeFiles: "allow" }, ...more };
  fs.writeFileSync(sitesFile, JSON.stringify(decided), { mode: 0o600 });
}

// sites.json as it is now ({} when missing or unreadable).
export function rememberedSites(dirs) {
  try {
    return JSON.parse(fs.readFileSync(path.join(dirs.config, "kestrix/sites.json"), "utf8"));
  } catch {
    return {};
  }
}

// Judges the site cases. sites: the sites visited ("quiet" only where the
// driver closes its prompt); observations: name -> what the page reported;
// prompts: site -> [{origin, capability}] seen; shopKept: sites.json as the
// shop's visit left it; shopFile: where the shop's file was found.
export function judgeSites({ sites, port, dirs, files, observations, prompts, shopKept, shopFile }) {
  const seen = (name) => observations.get(name);
  const value = (name) => {
    const o = seen(name);
    if (!o) throw new Error(`${name}: the page reported nothing`);
    if ("error" in o) throw new Error(`${name}: ${o.error}`);
    return o.value;
  };
  const refused = (name, capability) => {
    const o = seen(name);
    expect(o, `${name}: the page reported nothing`);
    expect(o.code === "permissionDenied", `${name}: ${JSON.stringify(o)}`);
    expect(o.capability === capability, `${name}: refused for ${o.capability}, want ${capability}`);
  };
  const pdfWritten = (base) => {
    const found = findFiles(files, base);
    expect(found.length === 1, `${base}: ${found.length} files`);
    expect(fs.readFileSync(found[0]).subarray(0, 5).toString("latin1") === "%PDF-", `${found[0]} is not a PDF`);
    return found[0];
  };
  const at = (site) => origin(port, site);
  const asked = (site) => prompts.get(site) || [];

  judge(SITE_CASES.handshake, () => {
    for (const site of sites) expect(value(`${site}.ready`) === true, `${site}: the handshake found no extension`);
  });
  judge(SITE_CASES.policyAllowed, () => {
    const v = value("intranet.printToPDF");
    expect(v.done && v.done.result === "success", `done: ${JSON.stringify(v.done)}`);
    pdfWritten("intranet.pdf");
    refused("intranet.readString", "readFiles");
    expect(asked("intranet").length === 0, `prompted: ${JSON.stringify(asked("intranet"))}`);
    return "PDF written; readFiles (not in the policy) refused without a prompt";
  });
  judge(SITE_CASES.undecided, () => {
    const shop = asked("shop");
    expect(shop.length > 0 && shop.every((p) => p.origin === at("shop")), `prompts: ${JSON.stringify(shop)}`);
    const printers = value("shop.getPrinters");
    expect(Array.isArray(printers) && printers.includes("kx-pdf"), `getPrinters: ${JSON.stringify(printers)}`);
    const v = value("shop.printToPDF");
    expect(v.done && v.done.result === "success", `done: ${JSON.stringify(v.done)}`);
    pdfWritten("shop.pdf");
    expect(value("shop.writeString") === true, "writeString after allowing writeFiles");
    const want = { printers: "allow", writeFiles: "allow" };
    const kept = shopKept || {};
    expect(JSON.stringify(kept[at("shop")]) === JSON.stringify(want), `sites.json: ${JSON.stringify(kept)}`);
    const sitesFile = path.join(dirs.config, "kestrix/sites.json");
    expect((fs.statSync(sitesFile).mode & 0o777) === 0o600, "sites.json is not 0600");
    return `asked for ${shop.map((p) => p.capability).join(", ")}; remembered in sites.json (0600)`;
  });
  judge(SITE_CASES.blocked, () => {
    refused("blocked.writeString", "writeFiles");
    refused("blocked.print", "printers");
    expect(findFiles(files, "blocked.txt").length === 0, "blocked.txt was written");
    expect(typeof value("blocked.getVersion") === "string", "getVersion (needs nothing) failed");
    expect(asked("blocked").length === 0, `prompted: ${JSON.stringify(asked("blocked"))}`);
    return "writeString and print refused, nothing written, no prompt";
  });
  if (sites.includes("quiet")) {
    judge(SITE_CASES.dismissed, () => {
      refused("quiet.getFonts", "printers");
      refused("quiet.getPrinters", "printers");
      expect(asked("quiet").length === 1, `prompts: ${JSON.stringify(asked("quiet"))}`);
      expect(!(shopKept || {})[at("quiet")], "a closed prompt was remembered");
    });
  }
  judge(SITE_CASES.files, () => {
    expect(shopFile, "the shop's file was not written");
    expect(value("other.readOwn") === "other's own", `its own file reads ${JSON.stringify(seen("other.readOwn"))}`);
    for (const how of ["readShopByName", "readShopByPath"]) {
      const o = seen(`other.${how}`);
      expect(o, `${how}: the page reported nothing`);
      expect(o.value !== "only for the shop", `${how}: read the shop's file`);
    }
    return `the shop's file is ${path.relative(files, shopFile)}`;
  });
}
