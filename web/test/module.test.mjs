// velloscan.js in headless Chromium against the real service on simulated scanners.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { test } from "node:test";
import { openPage, useBrowser } from "./support.mjs";

const FEEDER = "device cvnfa DR-A pages=2 width_px=48 height_px=40";
// About a second per page: long enough to act while the scan runs.
const SLOW_FEEDER = "device cvnfa DR-A pages=3 width_px=48 height_px=40 line_delay_us=25000";
const BUSY_TEXT = "正在进行扫描，无法进行其他操作";

const shared = useBrowser();

function setUp(t, devices) {
  return openPage(t, shared, devices, { blank: true });
}

const bytesOf = (file) => [...fs.readFileSync(file)];

test("greeting, device list and options as the service's own documents", async (t) => {
  const { box, page } = await setUp(t, "device webcamsim Cam\ndevice cvnfa DR-A\ndevice cvnfb DR-B");
  const reference = await page.evaluate(async (url) => {
    const ws = new WebSocket(url);
    const messages = [];
    await new Promise((resolve) => {
      ws.onmessage = (event) => {
        messages.push(JSON.parse(event.data));
        if (messages.length === 2) ws.send("COPT|cvnfa:DR-A");
        if (messages.length === 3) resolve();
      };
    });
    ws.close();
    await new Promise((resolve) => { ws.onclose = resolve; });
    const decode = (text) => JSON.parse(new TextDecoder().decode(Uint8Array.from(atob(text), (c) => c.charCodeAt(0))));
    const [values, document] = messages[2].Data.split("|").map(decode);
    return { devices: decode(messages[1].Data).Devs.map((d) => d.Name), options: { options: document.Options, values } };
  }, box.url);

  const seen = await page.evaluate(async (url) => {
    const client = await vs.connect(url);
    const result = {
      home: client.home,
      greeted: client.devices,
      listed: await client.listDevices(),
      options: await client.getOptions("cvnfa:DR-A"),
      empty: await outcome(client.getOptions("")),
    };
    client.close();
    return result;
  }, box.url);
  assert.equal(seen.home, box.home);
  assert.deepEqual(seen.greeted, reference.devices);
  assert.deepEqual([...seen.listed].sort(), ["cvnfa:DR-A", "cvnfb:DR-B"]);
  assert.deepEqual(seen.options, reference.options);
  assert.ok(seen.options.options.some((o) => o.name === "resolution" && o.wordlists.includes("300")));
  assert.deepEqual(seen.empty, { error: "VelloScanError", code: 1004, message: "未选择扫描仪" });

  // No scanner at all: the greeting's 1003 and the answer to a listing are both [].
  box.setDevices("");
  const none = await page.evaluate(async (url) => {
    const before = await vs.connect(url);
    const listed = await before.listDevices();
    before.close();
    const after = await vs.connect(url);
    after.close();
    return { listed, greeted: after.devices };
  }, box.url);
  assert.deepEqual(none, { listed: [], greeted: [] });
});

test("every job type, Base64 pages, files read back, and a \"|\" in the folder", async (t) => {
  const { box, page } = await setUp(t, FEEDER);
  const out = path.join(box.root, "out");
  const jobs = await page.evaluate(async ({ url, out }) => {
    const client = await vs.connect(url);
    const jobs = {};
    // PNG asks for Base64 and JPEG does not: the setting must not carry over.
    for (const fileType of ["png", "jpg", "tiff", "pnm", "pdf", "mulpdf", "multiff"]) {
      const reported = [];
      const onPage = (p) => reported.push({ ...p, bytes: p.bytes && Array.from(p.bytes) });
      const result = await client.scan("cvnfa:DR-A",
        { fileType, filePath: `${out}/${fileType}`, filePrefix: "p", showBase64: fileType === "png" }, { onPage });
      jobs[fileType] = { reported, result };
    }
    const firstJpeg = jobs.jpg.result.pages[0].path;
    jobs.readJpeg = Array.from(await client.readFile(firstJpeg));
    jobs.readPdf = Array.from(await client.readFile(jobs.mulpdf.result.document.path));
    jobs.readMissing = await outcome(client.readFile(`${out}/nothing.jpg`));
    const barred = [];
    jobs.barred = await client.scan("cvnfa:DR-A", { fileType: "jpg", filePath: `${out}/a|b`, showBase64: true },
      { onPage: (p) => barred.push({ path: p.path, bytes: Array.from(p.bytes) }) });
    jobs.barred.reported = barred;
    jobs.readBarred = await outcome(client.readFile(barred[0].path));
    client.close();
    return jobs;
  }, { url: box.url, out });

  for (const type of ["png", "jpg", "tiff", "pnm", "pdf"]) {
    const { reported, result } = jobs[type];
    assert.equal(result.document, null, type);
    assert.deepEqual(result.pages, reported.map(({ format, path }) => ({ format, path })), type);
    assert.deepEqual(reported.map((p) => p.format), [type, type]);
    for (const p of reported) {
      assert.equal(path.dirname(p.path), `${out}/${type}`);
      assert.match(path.basename(p.path), new RegExp(`^p\\d{4}\\.${type}$`));
      assert.ok(fs.existsSync(p.path), p.path);
      assert.deepEqual(p.bytes, type === "png" ? bytesOf(p.path) : undefined, type);
    }
  }
  for (const [type, kind] of [["mulpdf", "pdf"], ["multiff", "tiff"]]) {
    const { reported, result } = jobs[type];
    assert.deepEqual(reported, []);
    assert.deepEqual(result.pages, []);
    assert.equal(result.document.type, kind);
    assert.equal(path.dirname(result.document.path), `${out}/${type}`);
  }
  assert.deepEqual(jobs.readJpeg, bytesOf(jobs.jpg.result.pages[0].path));
  assert.deepEqual(jobs.readPdf, bytesOf(jobs.mulpdf.result.document.path));
  assert.equal(jobs.readMissing.code, 2007);
  assert.match(jobs.readMissing.message, /could not read .*nothing\.jpg/);

  // The folder's "|" reaches the service whole, and the pages land there.
  assert.equal(jobs.barred.reported.length, 2);
  for (const p of jobs.barred.reported) {
    assert.equal(path.dirname(p.path), `${out}/a|b`);
    assert.deepEqual(p.bytes, bytesOf(p.path));
  }
  assert.equal(jobs.readBarred.error, "TypeError");
});

test("each error rejects the call that caused it; calls wait their turn", async (t) => {
  const { box, page } = await setUp(t,
    "device cvnfa EMPTY pages=0 width_px=48 height_px=40\ndevice cvnfb BUSY open_status=3");
  fs.writeFileSync(path.join(box.root, "file"), "");
  const results = await page.evaluate(async ({ url, root }) => {
    const client = await vs.connect(url);
    // Made together: each is sent only once the one before it is answered.
    const together = await Promise.all([
      client.getOptions("cvnfb:BUSY"),
      client.listDevices(),
      client.getOptions(""),
      client.readFile(`${root}/file`),
      client.listDevices(),
    ].map(outcome));
    const scans = [];
    for (const [device, settings] of [
      ["cvnfa:EMPTY", {}],
      ["cvnfa:NONE", {}],
      ["", {}],
      ["cvnfb:BUSY", {}],
      ["cvnfa:EMPTY", { filePath: `${root}/file/sub` }],
      ["cvnfa:EMPTY|x", {}],
      ["cvnfa:EMPTY", { fileType: "gif" }],
    ]) scans.push(await outcome(client.scan(device, settings)));
    return [...together, ...scans];
  }, { url: box.url, root: box.root });
  const codes = results.map((r) => (r.error ? r.code ?? r.error : "ok"));
  assert.deepEqual(codes, [3, "ok", 1004, 2007, "ok", 7, 12, 1004, 3, 1007, "TypeError", "TypeError"]);
  assert.equal(results[0].message, "装置忙碌.请重启扫描仪.");
  assert.equal(results[5].message, "文档获取器无纸张.请放入纸张.");
  assert.deepEqual([...results[1].value].sort(), ["cvnfa:EMPTY", "cvnfb:BUSY"]);
  // Refused before sending: the simulator never saw the barred name.
  assert.ok(!fs.readFileSync(box.dir("sane/velloscan-sim.log"), "utf8").includes("EMPTY|x"));
});

test("while a scan runs, other calls get 1009 at once and files can still be read", async (t) => {
  const { box, page } = await setUp(t, SLOW_FEEDER);
  const seen = await page.evaluate(async (url) => {
    const client = await vs.connect(url);
    const events = [];
    let during;
    const scan = client.scan("cvnfa:DR-A", { fileType: "jpg" }, {
      onPage: (p) => {
        events.push("page");
        if (during) return;
        during = Promise.all([
          client.listDevices(),
          client.getOptions("cvnfa:DR-A"),
          client.scan("cvnfa:DR-A"),
          client.readFile(p.path).then((bytes) => bytes.length),
        ].map((call) => outcome(call).then((r) => { events.push("answer"); return r; })));
      },
    });
    const result = await scan;
    events.push("end");
    const answers = await during;
    client.close();
    return { pages: result.pages.length, answers, events };
  }, box.url);
  assert.equal(seen.pages, 3);
  const busy = { error: "VelloScanError", code: 1009, message: BUSY_TEXT };
  assert.deepEqual(seen.answers.slice(0, 3), [busy, busy, busy]);
  assert.ok(seen.answers[3].value > 0);
  // Answered during the scan, not behind it.
  assert.ok(seen.events.lastIndexOf("answer") < seen.events.indexOf("end"), seen.events.join());
});

test("reconnects after the service restarts; calls pending at the drop reject with 1010", async (t) => {
  const { box, page } = await setUp(t, SLOW_FEEDER);
  await page.evaluate(async (url) => {
    window.events = [];
    window.client = await vs.connect(url, { reconnect: true });
    for (const name of ["close", "reconnect", "devices"]) client.on(name, () => events.push(name));
    window.scanned = outcome(client.scan("cvnfa:DR-A", { fileType: "pnm" }, { onPage: () => events.push("page") }));
  }, box.url);
  await page.waitForFunction(() => events.includes("page"));
  await box.stop();
  const dropped = await page.evaluate(async () => ({
    scan: await scanned,
    whileDown: await outcome(client.listDevices()),
    events: [...events],
  }));
  assert.equal(dropped.scan.code, 1010);
  assert.equal(dropped.whileDown.code, 1010);
  assert.deepEqual(dropped.events.slice(-1), ["close"]);

  box.setDevices("device cvnfb DR-B");
  await box.start();
  await page.waitForFunction(() => events.includes("reconnect"), null, { timeout: 30000 });
  const back = await page.evaluate(async () => ({ devices: client.devices, listed: await client.listDevices() }));
  assert.deepEqual(back, { devices: ["cvnfb:DR-B"], listed: ["cvnfb:DR-B"] });
});

test("a page that connects during another page's scan hears the rest of it as events", async (t) => {
  const { box, page } = await setUp(t, SLOW_FEEDER);
  const seen = await page.evaluate(async (url) => {
    const first = await vs.connect(url);
    let left;
    const gone = new Promise((resolve) => { left = resolve; });
    const firstScan = outcome(first.scan("cvnfa:DR-A", { fileType: "png" }, { onPage: () => first.close() }));
    first.on("close", left);
    await gone;
    const second = await vs.connect(url);
    const pages = [];
    second.on("page", (p) => pages.push(p.format));
    const ended = new Promise((resolve) => second.on("scanend", resolve));
    const ownScan = await outcome(second.scan("cvnfa:DR-A"));
    await ended;
    const listed = await second.listDevices();
    second.close();
    return { firstScan: await firstScan, ownScan, pages, listed };
  }, box.url);
  assert.equal(seen.firstScan.code, 1010);
  assert.equal(seen.ownScan.code, 1009);
  assert.ok(seen.pages.length >= 1 && seen.pages.every((f) => f === "png"), seen.pages.join()); // reports may come in twos
  assert.deepEqual(seen.listed, ["cvnfa:DR-A"]);
});

test("progress before each report, version and status during a scan, an aborted scan, and the pages a jammed document keeps", async (t) => {
  const { box, page } = await setUp(t, SLOW_FEEDER.replace("pages=3", "pages=8"));
  const seen = await page.evaluate(async (url) => {
    const client = window.client = await vs.connect(url);
    const failure = (promise) => promise.then(() => null, (e) => ({ code: e.code, message: e.message, kept: e.kept }));
    const events = [];
    const progress = [];
    const controller = new AbortController();
    let during;
    const cancelled = await failure(client.scan("cvnfa:DR-A", { fileType: "jpg" }, {
      signal: controller.signal,
      onProgress: (p) => { progress.push(p); events.push(p.done ? "done" : "progress"); },
      onPage: () => {
        events.push("page");
        if (!during) during = Promise.all([client.version(), client.status()]).finally(() => controller.abort());
      },
    }));
    const [version, status] = await during;
    const early = new AbortController();
    early.abort();
    const notSent = await failure(client.scan("cvnfa:DR-A", {}, { signal: early.signal }));
    return { cancelled, version, status, progress, events, notSent };
  }, box.url);
  // The scanner jams on its third sheet from now on.
  box.setDevices(`${SLOW_FEEDER.replace("pages=3", "pages=4")} jam_page=3`);
  Object.assign(seen, await page.evaluate(async () => ({
    jammed: await window.client.scan("cvnfa:DR-A", { fileType: "mulpdf" }).catch((e) => ({ code: e.code, message: e.message, kept: e.kept })),
    after: await window.client.status() })));
  assert.deepEqual(seen.cancelled, { code: 2, message: "平台已经取消.", kept: 0 });
  assert.deepEqual(seen.notSent.code, 2);
  for (const word of ["cancel", "status", "progress", "continue", "replay"]) assert.ok(seen.version.extensions.includes(word), word);
  assert.deepEqual({ ...seen.status, pages: 0 }, { scanning: true, device: "cvnfa:DR-A", fileType: "jpg", pages: 0, keptPages: 0 });
  assert.ok(seen.status.pages >= 1);
  assert.deepEqual(seen.progress[0], { sheet: 1, bytes: 0, total: 48 * 40 * 3, done: false });
  const done = seen.progress.filter((p) => p.done);
  assert.ok(done.length >= 1 && done.every((p) => p.bytes === p.total && /\.jpg$/.test(p.path)), JSON.stringify(done));
  // Each page's "done" comes right before its report.
  seen.events.forEach((e, i) => e === "page" && assert.equal(seen.events[i - 1], "done"));
  assert.ok(seen.events.filter((e) => e === "page").length < 8, "the abort did not stop the batch");
  assert.deepEqual(seen.jammed, { code: 6, message: seen.jammed.message, kept: 2 });
  assert.deepEqual({ ...seen.after, pages: 0 }, { scanning: false, device: "cvnfa:DR-A", fileType: "mulpdf", pages: 0, keptPages: 2 });
});
