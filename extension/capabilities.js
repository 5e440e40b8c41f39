// What each capability means, in the words the prompt and the options page
// show. Which command needs which capability is the host's business alone.
"use strict";

globalThis.KestrixCapabilities = {
  printers: "use your printers: list them and print",
  readFiles: "read its files in your Kestrix folder",
  writeFiles: "write files in your Kestrix folder (its own, and documents it prints to PDF or images)",
  downloads: "download files from the network into your Kestrix folder",
  openFiles: "open files with your desktop's programs",
  deviceIds: "read identifiers of this computer (network address, machine id)",
  settings: "keep print settings between visits",
};

// What the administrator's policy (as the host's siteList gives it) decides
// for an origin's capability: "allow", "block", or null when it leaves the
// decision to the user. The same order as the host's: a policy that could not
// be read allows nothing, then blocked origins, then allowed ones (their list
// is all they get), then "othersMayAsk". Origins are the host's normalised
// ones ("https://shop.test", "http://127.0.0.1:8000"); "scheme://host:*" in
// the policy means any port.
globalThis.KestrixPolicy = {
  decides(policy, origin, capability) {
    if (!policy || policy.error) return "block";
    const anyPort = origin.replace(/:\d+$/, "") + ":*";
    if (policy.block.includes(origin) || policy.block.includes(anyPort)) return "block";
    const granted = policy.allow[origin] || policy.allow[anyPort];
    if (granted) return granted.includes(capability) ? "allow" : "block";
    return policy.othersMayAsk ? null : "block";
  },
};
