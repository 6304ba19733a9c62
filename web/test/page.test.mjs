// index.html in headless Chromium against the real service: what a person
// sees and can click.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { test } from "node:test";
import { describe } from "../velloscan.js";
import { artifactDir, openPage, useBrowser } from "./support.mjs";

const FEEDER = "device cvnfa DR-A pages=3 width_px=240 height_px=330";

const shared = useBrowser();

async function scan(page) {
  await page.click("#scan:enabled");
  await page.waitForSelector("#scan:enabled");
}

const optionNames = (page, where) => page.$$eval(`${where} [data-option]`, (nodes) => nodes.map((n) => n.dataset.option));

test("settings: common ones first with readable labels, inactive ones hidden, numbers kept in range", async (t) => {
  const { page } = await openPage(t, shared, FEEDER);
  await page.waitForSelector('[data-option="mode"]');
  assert.deepEqual(await optionNames(page, "#common-options"), ["source", "mode", "resolution", "paper-size"]);
  assert.equal(await page.textContent('label[for="option-source"]'), "Paper source");
  // SANE's values stay the values; only the labels are readable.
  assert.deepEqual(await page.$$eval("#option-source option", (o) => o.map((x) => [x.value, x.textContent])),
    [["Flatbed", "Flatbed"], ["ADF Front", "Feeder, front side"], ["ADF Back", "Feeder, back side"], ["ADF Duplex", "Feeder, both sides"]]);
  assert.match(await page.textContent("#device option"), /DR-A$/);
  const more = await optionNames(page, "#more-options");
  assert.ok(more.includes("brightness") && more.includes("imprinter"), more.join());
  for (const inactive of ["bw-mode", "threshold", "string", "mf-length", "page-auto-priority"]) {
    assert.ok(!more.includes(inactive), `inactive ${inactive} is shown`);
  }
  await page.click("#more summary");
  for (const [name, typed, kept] of [["brightness", "999", "127"], ["brightness", "-500", "-127"],
    ["gamma", "9", "5"], ["shadow", "12.6", "13"]]) {
    await page.fill(`#option-${name}`, typed);
    await page.press(`#option-${name}`, "Tab");
    assert.equal(await page.inputValue(`#option-${name}`), kept, `${name} typed ${typed}`);
  }
});

test("choices and presets are remembered per scanner across a reload, and a scan uses them", async (t) => {
  const { box, page } = await openPage(t, shared, FEEDER);
  await page.waitForSelector('[data-option="mode"]');
  // A real folder by default, never the scratch folder the service empties.
  assert.equal(await page.inputValue("#file-path"), `${box.home}/scans`);
  await page.selectOption("#option-mode", "Gray");
  await page.selectOption("#option-resolution", "150");
  await page.click("#more summary");
  await page.fill("#option-brightness", "40");
  await page.press("#option-brightness", "Tab");
  await page.selectOption("#file-type", "png");
  await page.fill("#preset-name", "Grey letters");
  await page.click("#save-preset");
  await page.selectOption("#option-mode", "Color");

  await page.reload();
  await page.waitForSelector('[data-option="mode"]');
  const seen = async () => ({
    mode: await page.inputValue("#option-mode"),
    resolution: await page.inputValue("#option-resolution"),
    brightness: await page.inputValue("#option-brightness"),
    type: await page.inputValue("#file-type"),
  });
  assert.deepEqual(await seen(), { mode: "Color", resolution: "150", brightness: "40", type: "png" });
  assert.deepEqual(await page.$$eval("#preset option", (o) => o.map((x) => x.value)), ["", "Grey letters"]);
  await page.selectOption("#preset", "Grey letters");
  assert.deepEqual(await seen(), { mode: "Gray", resolution: "150", brightness: "40", type: "png" });

  await scan(page);
  const log = fs.readFileSync(box.dir("sane/velloscan-sim.log"), "utf8");
  for (const line of [/set \S+ mode Gray/, /set \S+ resolution 150/, /set \S+ brightness 40/]) assert.match(log, line);
  assert.ok(fs.existsSync(path.join(box.home, "scans", "0001.png")));

  await page.click("#delete-preset");
  await page.reload();
  await page.waitForSelector('[data-option="mode"]');
  assert.deepEqual(await page.$$eval("#preset option", (o) => o.map((x) => x.value)), [""]);
  assert.equal(await page.inputValue("#option-mode"), "Gray");
});

// The mean colour of a thumbnail in a 4x4 grid, to compare thumbnails of the
// same page made from different file kinds.
const grid = (page, selector) => page.$eval(selector, (canvas) => {
  const { data, width, height } = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height);
  const cells = [];
  for (let gy = 0; gy < 4; gy++) for (let gx = 0; gx < 4; gx++) {
    const sum = [0, 0, 0];
    let n = 0;
    for (let y = Math.floor((gy * height) / 4); y < ((gy + 1) * height) / 4; y++) {
      for (let x = Math.floor((gx * width) / 4); x < ((gx + 1) * width) / 4; x++) {
        for (let c = 0; c < 3; c++) sum[c] += data[(y * width + x) * 4 + c];
        n++;
      }
    }
    cells.push(...sum.map((s) => s / n));
  }
  return cells;
});

test("a thumbnail of every page of every job type; a click shows it large with a download", async (t) => {
  const { box, page } = await openPage(t, shared, FEEDER);
  await page.waitForSelector('[data-option="mode"]');
  const made = {};
  for (const type of ["png", "jpg", "tiff", "pnm", "multiff", "pdf", "mulpdf"]) {
    await page.selectOption("#file-type", type);
    await scan(page);
    await page.waitForFunction(() => [...document.querySelectorAll("#pages li")].every((li) => li.dataset.thumb));
    made[type] = await page.$$eval("#pages li", (items) => items.map((li) => li.dataset.thumb));
    if (["png", "jpg", "tiff", "pnm", "multiff"].includes(type)) made[`${type}-grid`] = await grid(page, "#pages li canvas");
  }
  assert.deepEqual(made.png, ["made", "made", "made"]);
  const compare = (type, reference) => {
    const far = made[`${type}-grid`].map((v, i) => Math.abs(v - made[`${reference}-grid`][i])).filter((d) => d > 24);
    assert.deepEqual(far, [], `${type}'s first thumbnail differs from the PNG's`);
  };
  for (const type of ["jpg", "tiff", "pnm", "multiff"]) {
    assert.deepEqual(made[type], ["made", "made", "made"], type);
    compare(type, "png");
  }
  // Page PDFs and the document of all pages show the pictures they were
  // made from; the document has its link.
  assert.deepEqual(made.pdf, ["made", "made", "made"]);
  assert.deepEqual(made.mulpdf, ["made", "made", "made"]);
  await page.click("#document-link");
  const href = await (await page.waitForSelector("#viewer-download[href]")).getAttribute("href");
  const bytes = await page.evaluate(async (u) => Array.from(new Uint8Array(await (await fetch(u)).arrayBuffer())), href);
  const file = path.join(box.root, "linked.pdf");
  fs.writeFileSync(file, Buffer.from(bytes));
  assert.match(execFileSync("pdfinfo", [file], { encoding: "utf8" }), /^Pages:\s+3$/m);
  await page.click("#viewer-close");

  // Large: the file itself for download, its picture shown; both URLs gone once closed.
  await page.selectOption("#file-type", "tiff");
  await scan(page);
  await page.waitForSelector('#pages li[data-thumb="made"]');
  await page.click("#pages li button.open");
  await page.waitForFunction(() => document.querySelector("#viewer-body img")?.complete);
  const view = await page.evaluate(async () => {
    const img = document.querySelector("#viewer-body img");
    const link = document.querySelector("#viewer-download");
    return { size: [img.naturalWidth, img.naturalHeight], shown: img.src, download: link.href, name: link.download,
      bytes: Array.from(new Uint8Array(await (await fetch(link.href)).arrayBuffer())) };
  });
  const tiff = await page.getAttribute("#pages li", "data-path");
  assert.deepEqual(view.size, [240, 330]);
  assert.equal(view.name, path.basename(tiff));
  assert.deepEqual(view.bytes, [...fs.readFileSync(tiff)]);
  await page.click("#viewer-close");
  const gone = await page.evaluate((urls) => Promise.all(urls.map((u) => fetch(u).then(() => "open", () => "revoked"))),
    [view.shown, view.download]);
  assert.deepEqual(gone, ["revoked", "revoked"]);

  // Black and white: the TIFF pages are Group 4.
  await page.selectOption("#option-mode", "Lineart");
  for (const type of ["png", "tiff"]) {
    await page.selectOption("#file-type", type);
    await scan(page);
    await page.waitForSelector("#pages li[data-thumb]");
    made[`lineart-${type}-grid`] = await grid(page, "#pages li canvas");
  }
  compare("lineart-tiff", "lineart-png");
});

test("errors as sentences in the page's language; a service that is down says how to start it", async (t) => {
  for (const [locale, lang] of [["en-GB", "en"], ["zh-CN", "zh"]]) {
    const devices = `device cvnfa JAM pages=3 width_px=48 height_px=40 jam_page=2\ndevice cvnfb BUSY open_status=3`;
    const { box, page } = await openPage(t, shared, devices, { locale });
    await page.waitForSelector('[data-option="mode"]');
    await scan(page);
    assert.equal(await page.textContent("#error"), describe(6, lang));
    assert.equal(await page.locator("#pages li").count(), 1);
    await page.selectOption("#device", "cvnfb:BUSY");
    await page.waitForSelector('#error[data-code="3"]');
    assert.equal(await page.textContent("#error"), describe(3, lang));

    await box.stop();
    await page.reload();
    await page.waitForSelector('#state[data-state="offline"]');
    assert.match(await page.textContent("#offline-help"), lang === "en" ? /not running.*systemctl --user start velloscan/ : /扫描服务未运行/);
  }
});

test("at 1280 and at 420 px: no sideways scrolling, and Scan within reach", async (t) => {
  const { box, page } = await openPage(t, shared, FEEDER);
  await page.fill("#file-path", path.join(box.root, "a-folder-with-a-rather-long-name-for-the-scanned-pages"));
  await scan(page);
  await page.waitForFunction(() => document.querySelectorAll('#pages li[data-thumb="made"]').length === 3);
  // The long list open: the button must not end up below it.
  await page.click("#more summary");
  for (const width of [1280, 420]) {
    await page.setViewportSize({ width, height: 800 });
    const widths = await page.evaluate(() => [document.documentElement.scrollWidth, document.documentElement.clientWidth]);
    assert.ok(widths[0] <= widths[1], `scrolls sideways at ${width} px: ${widths}`);
    const box = await page.locator("#scan").boundingBox();
    assert.ok(box.y >= 0 && box.y + box.height <= 800 && box.x + box.width <= width, `Scan out of reach at ${width}: ${JSON.stringify(box)}`);
    await page.screenshot({ path: path.join(artifactDir(), `page-after-scan-${width}.png`) });
  }
});

// About a second a sheet, so that the page can be acted on mid-batch.
const slowFeeder = (extra = "") => `device cvnfa DR-A pages=5 width_px=240 height_px=330 line_delay_us=3000 ${extra}`;
const tiles = (page) => page.$$eval("#pages li", (items) => items.map((li) => li.dataset.path));

test("a batch shows its sheet, can be cancelled, and a jammed document continues into one PDF of every sheet", async (t) => {
  const { box, page } = await openPage(t, shared, slowFeeder("jam_page=4"));
  await page.waitForSelector('[data-option="mode"]');
  await page.selectOption("#file-type", "jpg");
  await page.click("#scan:enabled");
  await page.waitForSelector("#pages li");
  // The reader runs ahead of the encoders, so any sheet of the five may be under way.
  assert.match(await page.textContent("#progress-text"), /^Sheet [1-5]$/);
  await page.screenshot({ path: path.join(artifactDir(), "page-scanning.png") });
  await page.click("#cancel:visible");
  await page.waitForSelector("#scan:enabled");
  assert.equal(await page.getAttribute("#error", "data-code"), "2");
  assert.equal(await page.textContent("#error"), describe(2, "en"));
  assert.ok(await page.isHidden("#cancel") && await page.isHidden("#progress"));
  const cancelled = await tiles(page);
  assert.ok(cancelled.length >= 1 && cancelled.length < 5, cancelled.join());
  for (const file of cancelled) assert.ok(fs.existsSync(file), file);

  // Sheet 4 jams: the three before it are kept and shown; Continue with the
  // two sheets left makes one document of all five.
  await page.selectOption("#file-type", "mulpdf");
  await page.click("#scan:enabled");
  await page.waitForSelector("#kept:not([hidden])");
  assert.equal(await page.textContent("#kept-text"), "3 pages kept. Clear the jam, put the remaining sheets in, then press Continue");
  assert.equal(await page.getAttribute("#kept", "data-code"), "6");
  assert.ok(await page.isHidden("#error"));
  await page.waitForFunction(() => document.querySelectorAll('#pages li[data-thumb="made"]').length === 3);
  await page.screenshot({ path: path.join(artifactDir(), "page-pages-kept.png") });
  box.setDevices(slowFeeder().replace("pages=5", "pages=2"));
  await page.click("#continue:enabled");
  await page.waitForSelector("#document-link");
  await page.waitForSelector("#scan:enabled");
  assert.ok(await page.isHidden("#kept"));
  assert.equal((await tiles(page)).length, 5);
  assert.equal(await page.textContent("#counter"), "5 pages");
  const pdf = (await page.textContent("#document .path")).trim();
  assert.match(execFileSync("pdfinfo", [pdf], { encoding: "utf8" }), /^Pages:\s+5$/m);
});

test("a reload mid-batch shows the running job, keeps Scan disabled and shows every page", async (t) => {
  for (const [locale, sheet] of [["en-GB", /DR-A · Sheet \d/], ["zh-CN", /DR-A · 第 \d 张/]]) {
    const { box, page } = await openPage(t, shared, slowFeeder(), { locale });
    await page.waitForSelector('[data-option="mode"]');
    await page.selectOption("#file-type", "jpg");
    await page.fill("#file-path", path.join(box.root, "out"));
    await page.click("#scan:enabled");
    await page.waitForFunction(() => document.querySelectorAll("#pages li").length === 2);
    await page.reload();
    await page.waitForSelector('#state[data-state="online"]');
    await page.waitForFunction(() => document.querySelector("#progress-text").textContent.includes("·"));
    assert.match(await page.textContent("#progress-text"), sheet);
    assert.ok(await page.isDisabled("#scan"));
    assert.ok(await page.isVisible("#cancel"));
    await page.waitForSelector("#scan:enabled", { timeout: 20000 });
    const written = fs.readdirSync(path.join(box.root, "out")).sort().map((name) => path.join(box.root, "out", name));
    assert.equal(written.length, 5);
    assert.deepEqual(await tiles(page), written);
    assert.ok(await page.isHidden("#error"), await page.textContent("#error"));
    // The settings the job kept from being read come once it has ended.
    await page.waitForSelector('[data-option="mode"]');
  }
});
