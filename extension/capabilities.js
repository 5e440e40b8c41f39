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
