// Serves the demo page and the page library on http://127.0.0.1:PORT/ (8000
// unless given): node examples/serve.mjs [PORT]. Only this folder and the
// library's own are served, to this machine only; without a policy file, pages
// on 127.0.0.1 may use the host without being asked.
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import { fileURLToPath } from "node:url";

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..");
const served = { "/examples/": path.join(repo, "examples"), "/extension/page/": path.join(repo, "extension/page") };
const types = { ".html": "text/html", ".js": "text/javascript", ".mjs": "text/javascript", ".css": "text/css" };
const port = Number(process.argv[2] || 8000);

const server = http.createServer((req, res) => {
  const url = new URL(req.url || "/", "http://127.0.0.1");
  if (url.pathname === "/" || url.pathname === "/examples") {
    res.writeHead(302, { location: "/examples/" });
    return res.end();
  }
  const prefix = Object.keys(served).find((p) => url.pathname.startsWith(p));
  const name = prefix ? decodeURIComponent(url.pathname.slice(prefix.length)) || "index.html" : "";
  const type = types[path.extname(name)];
  // One file name, no folders: nothing outside the two folders can be named.
  if (!prefix || !type || name.includes("/") || name.startsWith(".")) {
    res.writeHead(404);
    return res.end();
  }
  fs.readFile(path.join(served[prefix], name), (error, body) => {
    if (error) {
      res.writeHead(404);
      return res.end();
    }
    res.writeHead(200, { "content-type": `${type}; charset=utf-8`, "cache-control": "no-store" });
    res.end(body);
  });
});
server.listen(port, "127.0.0.1", () => console.log(`The Kestrix demo page: http://127.0.0.1:${port}/examples/`));
