// A scripted WebSocket server for the client's tests: it answers as a broken
// or hostile service would. node:http's upgrade plus the few frame kinds a
// text-only peer needs, so no package is required.
import crypto from "node:crypto";
import http from "node:http";

const GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

function frame(opcode, payload) {
  const length = payload.length;
  const head = length < 126 ? Buffer.from([0x80 | opcode, length])
    : length < 65536 ? Buffer.from([0x80 | opcode, 126, length >> 8, length & 255])
      : Buffer.concat([Buffer.from([0x80 | opcode, 127, 0, 0, 0, 0]), Buffer.from(new Uint32Array([length]).buffer).reverse()]);
  return Buffer.concat([head, payload]);
}

class Peer {
  constructor(socket, onText) {
    this.socket = socket;
    this.received = [];
    let pending = Buffer.alloc(0);
    socket.on("data", (chunk) => {
      pending = Buffer.concat([pending, chunk]);
      for (;;) {
        if (pending.length < 2) return;
        const opcode = pending[0] & 15;
        let length = pending[1] & 127;
        let at = 2;
        if (length === 126) { length = pending.readUInt16BE(2); at = 4; }
        if (length === 127) { length = Number(pending.readBigUInt64BE(2)); at = 10; }
        if (pending.length < at + 4 + length) return;
        const mask = pending.subarray(at, at + 4);
        const payload = Buffer.from(pending.subarray(at + 4, at + 4 + length)).map((b, i) => b ^ mask[i % 4]);
        pending = pending.subarray(at + 4 + length);
        if (opcode === 8) {
          socket.end(frame(8, Buffer.alloc(0)));
          return;
        }
        if (opcode === 1) {
          const text = payload.toString("utf8");
          this.received.push(text);
          onText(this, text);
        }
      }
    });
    socket.on("error", () => {});
  }

  send(text) {
    this.socket.write(frame(1, Buffer.from(text, "utf8")));
  }
}

export const b64 = (value) => Buffer.from(typeof value === "string" ? value : JSON.stringify(value)).toString("base64");

export const message = (Cmd, Code, Data = "", DataType = "", Msg = "") => JSON.stringify({ Cmd, Code, Data, DataType, Msg });

export const greeting = (names) => [
  message("HOME", 2001, "/home/ana", "string"),
  message("SDEV", 2005, b64({ Devs: names.map((Name, Index) => ({ Index, Name })) }), "json"),
];

// `script.connected(peer)` runs for each connection, `script.text(peer, text)`
// for each text frame; both may send anything.
export function fakeService(script) {
  const peers = [];
  const server = http.createServer((request, response) => response.writeHead(404).end());
  server.on("upgrade", (request, socket) => {
    const accept = crypto.createHash("sha1").update(request.headers["sec-websocket-key"] + GUID).digest("base64");
    socket.write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
      `Sec-WebSocket-Accept: ${accept}\r\n\r\n`);
    const peer = new Peer(socket, (p, text) => script.text?.(p, text));
    peers.push(peer);
    script.connected?.(peer);
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve({
    url: `ws://127.0.0.1:${server.address().port}`,
    peers,
    close: () => {
      for (const peer of peers) peer.socket.destroy();
      return new Promise((done) => server.close(done));
    },
  })));
}
