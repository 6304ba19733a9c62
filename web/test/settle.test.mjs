// velloscan.js against a scripted service that misbehaves: every call must
// settle, a malformed reply fails only its own call, and the connection goes
// on serving the calls after it. Runs in Node, which has a WebSocket.
import assert from "node:assert/strict";
import { test } from "node:test";
import { connect, describe, MESSAGES, VelloScanError } from "../velloscan.js";
import { b64, fakeService, greeting, message } from "./fakeservice.mjs";

assert.ok(globalThis.WebSocket, "this Node has no WebSocket; run it with --experimental-websocket");

const DEVICES = message("SDEV", 2005, b64({ Devs: [{ Index: 0, Name: "cvnfa:DR-A" }] }), "json");

async function service(t, script) {
  const fake = await fakeService(script);
  t.after(() => fake.close());
  return fake;
}

const outcome = (promise) => promise.then((value) => ({ value }), (error) => ({ error }));

function assertMalformed(result, pattern) {
  assert.ok(result.error instanceof VelloScanError, `not a VelloScanError: ${result.error ?? JSON.stringify(result.value)}`);
  assert.equal(result.error.code, 1010);
  assert.match(result.error.reason, pattern);
}

test("a greeting that is silent, not JSON, or carries a broken device list rejects connect()", async (t) => {
  const silent = await service(t, {});
  const garbled = await service(t, { connected: (peer) => peer.send("HOME but not JSON") });
  const broken = await service(t, {
    connected: (peer) => peer.send(message("SDEV", 2005, "not base64 of anything!", "json")),
  });
  const started = Date.now();
  const [s, g, b] = await Promise.all([silent, garbled, broken].map((fake) => outcome(connect(fake.url))));
  assertMalformed(s, /did not greet within 10 s/);
  assert.ok(Date.now() - started < 12000, "the silent greeting was waited for too long");
  assertMalformed(g, /greeting was a reply that is not JSON/);
  assertMalformed(b, /device list was malformed/);
});

test("a truncated or mistyped reply rejects its call; the next call is answered", async (t) => {
  const fake = await service(t, {
    connected: (peer) => greeting(["cvnfa:DR-A"]).forEach((m) => peer.send(m)),
    text: (peer, text) => {
      const count = peer.received.filter((r) => r === text).length;
      if (text === "CDEV") peer.send(count === 1 ? DEVICES.slice(0, 40) : DEVICES);
      if (text.startsWith("COPT")) peer.send(message("SOPT", 2006, "eyJ9", "json"));
      if (text.startsWith("CSCAN")) {
        peer.send(message("SSCANONE", 2002, "jpg|/tmp/p0001.jpg", "string"));
        peer.send(JSON.stringify({ Cmd: "SSCANMUL", Code: 2003, Data: 42, DataType: "string", Msg: "" }));
      }
      if (text === "CBASE64|") peer.send(message("SBASE64", 2007, "", "base64"));
    },
  });
  const client = await connect(fake.url);
  t.after(() => client.close());
  assertMalformed(await outcome(client.listDevices()), /not JSON/);
  assert.deepEqual(await client.listDevices(), ["cvnfa:DR-A"]);
  assertMalformed(await outcome(client.getOptions("cvnfa:DR-A")), /SOPT reply was malformed/);
  const pages = [];
  assertMalformed(await outcome(client.scan("cvnfa:DR-A", {}, { onPage: (p) => pages.push(p.path) })),
    /SSCANMUL reply was malformed: its Data is number/);
  assert.deepEqual(pages, ["/tmp/p0001.jpg"]);
  assert.deepEqual(await client.listDevices(), ["cvnfa:DR-A"]);
});

test("deviceInfo(): the service's records, or the short names when it stays silent", async (t) => {
  const info = { Devs: [{ Index: 0, Name: "cvnfa:libusb:001:004", Vendor: "Corvane", Model: "DR-F120", Type: "sheetfed scanner" }] };
  const answering = await service(t, {
    connected: (peer) => greeting(["cvnfa:libusb:001:004"]).forEach((m) => peer.send(m)),
    text: (peer, text) => {
      if (text === "CDEVINFO") peer.send(message("SDEVINFO", 2013, b64(info), "json"));
    },
  });
  const older = await service(t, {
    connected: (peer) => greeting(["cvnfa:libusb:001:004", "cvnfb:DR-B"]).forEach((m) => peer.send(m)),
    text: (peer, text) => text === "CDEV" && peer.send(DEVICES),
  });
  const a = await connect(answering.url);
  const o = await connect(older.url);
  t.after(() => { a.close(); o.close(); });
  assert.deepEqual(await a.deviceInfo(),
    [{ index: 0, name: "cvnfa:libusb:001:004", vendor: "Corvane", model: "DR-F120", type: "sheetfed scanner" }]);
  const started = Date.now();
  assert.deepEqual((await o.deviceInfo()).map((d) => d.model), ["libusb:001:004", "DR-B"]);
  assert.ok(Date.now() - started < 3000);
  assert.deepEqual(await o.listDevices(), ["cvnfa:DR-A"], "the silent command blocked the queue");
});

test("every code has a sentence in both languages; unknown codes still say what to do", () => {
  const codes = [...Array(13).keys(), ...Array.from({ length: 12 }, (_, i) => 1001 + i), ...Array.from({ length: 7 }, (_, i) => 2001 + i)];
  assert.deepEqual(Object.keys(MESSAGES).map(Number).sort((x, y) => x - y), codes);
  assert.match(describe(6, "en-GB"), /cover.*sheet out/);
  assert.match(describe(6, "zh-CN"), /卡纸/);
  assert.match(describe(4242, "zh"), /4242/);
});
