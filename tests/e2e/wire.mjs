// A small WebSocket client (RFC 6455, client side: masked text frames out,
// unmasked frames in, fragments joined) and a JSON-RPC session over it, enough
// for Chromium's DevTools protocol and Firefox's WebDriver BiDi. Node's own
// WebSocket is not there in every node the tests run on.
import crypto from "node:crypto";
import http from "node:http";

export function openSocket(url) {
  return new Promise((resolve, reject) => {
    const key = crypto.randomBytes(16).toString("base64");
    const req = http.request(url.replace(/^ws:/, "http:"), {
      headers: { Connection: "Upgrade", Upgrade: "websocket", "Sec-WebSocket-Version": "13", "Sec-WebSocket-Key": key },
    });
    req.on("error", reject);
    req.on("response", (res) => reject(new Error(`${url}: HTTP ${res.statusCode} instead of a WebSocket`)));
    req.on("upgrade", (res, socket, head) => {
      const listeners = { message: [], close: [] };
      let buffer = head;
      let parts = [];
      const emit = (type, v) => listeners[type].forEach((fn) => fn(v));
      socket.on("data", (chunk) => {
        buffer = Buffer.concat([buffer, chunk]);
        for (;;) {
          if (buffer.length < 2) return;
          const fin = buffer[0] & 0x80;
          const opcode = buffer[0] & 0x0f;
          let length = buffer[1] & 0x7f;
          let at = 2;
          if (length === 126) {
            if (buffer.length < 4) return;
            length = buffer.readUInt16BE(2);
            at = 4;
          } else if (length === 127) {
            if (buffer.length < 10) return;
            length = Number(buffer.readBigUInt64BE(2));
            at = 10;
          }
          if (buffer.length < at + length) return;
          const payload = buffer.subarray(at, at + length);
          buffer = buffer.subarray(at + length);
          if (opcode === 8) return socket.end();
          if (opcode === 9) send(payload, 10); // ping -> pong
          if (opcode === 1 || opcode === 0) {
            parts.push(payload);
            if (fin) {
              emit("message", Buffer.concat(parts).toString("utf8"));
              parts = [];
            }
          }
        }
      });
      socket.on("close", () => emit("close"));
      socket.on("error", () => {});
      function send(data, opcode = 1) {
        const payload = Buffer.isBuffer(data) ? data : Buffer.from(data, "utf8");
        const mask = crypto.randomBytes(4);
        let header;
        if (payload.length < 126) header = Buffer.from([0x80 | opcode, 0x80 | payload.length]);
        else if (payload.length < 65536) {
          header = Buffer.alloc(4);
          header[0] = 0x80 | opcode;
          header[1] = 0x80 | 126;
          header.writeUInt16BE(payload.length, 2);
        } else {
          header = Buffer.alloc(10);
          header[0] = 0x80 | opcode;
          header[1] = 0x80 | 127;
          header.writeBigUInt64BE(BigInt(payload.length), 2);
        }
        const masked = Buffer.from(payload);
        for (let i = 0; i < masked.length; i++) masked[i] ^= mask[i % 4];
        socket.write(Buffer.concat([header, mask, masked]));
      }
      resolve({
        send: (text) => send(text),
        on: (type, fn) => listeners[type].push(fn),
        close: () => socket.destroy(),
      });
    });
    req.end();
  });
}

// JSON-RPC as both protocols speak it: {id, method, params} -> {id, result|error};
// anything else is an event. Chromium's flattened sessions add "sessionId".
export async function rpc(url) {
  const socket = await openSocket(url);
  let next = 1;
  const waiting = new Map();
  const events = [];
  socket.on("message", (text) => {
    const msg = JSON.parse(text);
    const call = msg.id !== undefined && waiting.get(msg.id);
    if (!call) return events.push(msg);
    waiting.delete(msg.id);
    if (msg.error || msg.type === "error") call.reject(new Error(`${call.method}: ${JSON.stringify(msg.error || msg.message)}`));
    else call.resolve(msg.result);
  });
  socket.on("close", () => {
    for (const call of waiting.values()) call.reject(new Error(`${call.method}: the connection closed`));
  });
  return {
    events,
    // Rejects after 15 s: a target that goes away mid-call never answers.
    call(method, params = {}, extra = {}) {
      const id = next++;
      return new Promise((resolve, reject) => {
        const timer = setTimeout(() => {
          waiting.delete(id);
          reject(new Error(`${method}: no answer within 15 s`));
        }, 15000);
        const settle = (fn) => (v) => {
          clearTimeout(timer);
          fn(v);
        };
        waiting.set(id, { resolve: settle(resolve), reject: settle(reject), method });
        socket.send(JSON.stringify(Object.assign({ id, method, params }, extra)));
      });
    },
    close: () => socket.close(),
  };
}
