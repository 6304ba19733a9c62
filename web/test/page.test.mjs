// index.html in headless Chromium against the real service: what a person
// sees and can click.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { test } from "node:test";
import { artifactDir, openPage, useBrowser } from "./support.mjs";

const FEEDER = "device cvnfa DR-A pages=3 width_px=240 height_px=330";
const WELL_KNOWN = ["source", "mode", "resolution", "paper-size",
  "page-width", "page-height", "tl-x", "tl-y", "br-x", "br-y"];

const shared = useBrowser();

async function scan(page) {
  await page.click("#scan:enabled");
  await page.waitForSelector("#scan:enabled");
}

test("the options form: one control per option, of the right kind and limits, well-known ones first", async (t) => {
  let reference;
  // The options document, read through the module before the page connects.
  const prepare = async (box, blank) => {
    await blank.goto(`${shared.web.origin}/blank`);
    reference = await blank.evaluate(async (url) => {
      const client = await vs.connect(url);
      const { options } = await client.getOptions("cvnfa:DR-A");
      client.close();
      return options;
    }, box.url);
  };
  const { page } = await openPage(t, shared, FEEDER, { prepare });
  await page.waitForSelector('[data-option="mode"]');
  const controls = await page.$$eval("[data-option]", (nodes) => nodes.map((n) => ({
    name: n.dataset.option,
    kind: n.tagName === "SELECT" ? "select" : n.type,
    choices: n.tagName === "SELECT" ? [...n.options].map((o) => o.value) : undefined,
    min: n.min || undefined,
    max: n.max || undefined,
    step: n.step || undefined,
    value: n.type === "checkbox" ? (n.checked ? "1" : "0") : n.value,
    disabled: n.disabled,
    unit: n.nextElementSibling.textContent,
  })));

  const names = controls.map((c) => c.name);
  assert.deepEqual(names.slice(0, WELL_KNOWN.length), WELL_KNOWN);
  assert.deepEqual(names.slice(WELL_KNOWN.length), [...names.slice(WELL_KNOWN.length)].sort());
  assert.deepEqual([...names].sort(), reference.map((o) => o.name).sort());
  for (const option of reference) {
    const control = controls.find((c) => c.name === option.name);
    const want = { name: option.name, disabled: !option.isActive, unit: option.unit };
    if (option.type === 0) {
      Object.assign(want, { kind: "checkbox" });
    } else if (option.constType === 2 || option.constType === 3) {
      Object.assign(want, { kind: "select", choices: option.list || option.wordlists });
    } else if (option.constType === 1) {
      const step = Number(option.range.quant) ? option.range.quant : "any";
      Object.assign(want, { kind: "number", min: option.range.min, max: option.range.max, step });
    } else {
      Object.assign(want, { kind: option.type === 3 ? "text" : "number" });
    }
    if (option.isActive) want.value = option.current;
    const seen = Object.fromEntries(Object.keys(want).map((k) => [k, control[k]]));
    assert.deepEqual(seen, want, option.name);
  }
});

test("three JPEG pages show three thumbnails in order, readable at 1280 and at 420 px", async (t) => {
  const { box, page } = await openPage(t, shared, FEEDER);
  const folder = path.join(box.root, "a-folder-with-a-rather-long-name-for-the-scanned-pages");
  await page.fill("#file-path", folder);
  await page.fill("#file-prefix", "invoice-");
  await scan(page);
  await page.waitForFunction(() => [...document.querySelectorAll("#pages img")].filter((i) => i.complete).length === 3);
  const thumbs = await page.$$eval("#pages li", (items) => Promise.all(items.map(async (li) => {
    const img = li.querySelector("img");
    const bytes = new Uint8Array(await (await fetch(img.src)).arrayBuffer());
    return { path: li.querySelector("figcaption").title, size: [img.naturalWidth, img.naturalHeight], bytes: Array.from(bytes) };
  })));
  assert.deepEqual(thumbs.map((th) => th.path), [1, 2, 3].map((n) => `${folder}/invoice-000${n}.jpg`));
  for (const thumb of thumbs) {
    assert.deepEqual(thumb.size, [240, 330]);
    assert.deepEqual(thumb.bytes, [...fs.readFileSync(thumb.path)]);
  }
  assert.equal(await page.textContent("#counter"), "3 pages");
  assert.ok(await page.isHidden("#error"));
  await page.screenshot({ path: path.join(artifactDir(), "page-after-scan.png") });

  await page.setViewportSize({ width: 420, height: 800 });
  const widths = await page.evaluate(() => [document.documentElement.scrollWidth, document.documentElement.clientWidth]);
  assert.ok(widths[0] <= widths[1], `scrolls sideways at 420 px: ${widths}`);
  await page.screenshot({ path: path.join(artifactDir(), "page-after-scan-420.png"), fullPage: true });
});

test("a mulpdf scan links the PDF of all three pages", async (t) => {
  const { box, page } = await openPage(t, shared, FEEDER);
  await page.selectOption("#file-type", "mulpdf");
  await scan(page);
  const href = await page.getAttribute("#document-link", "href");
  assert.match(href, /^blob:/);
  const bytes = await page.evaluate(async (url) => Array.from(new Uint8Array(await (await fetch(url)).arrayBuffer())), href);
  const file = path.join(box.root, "linked.pdf");
  fs.writeFileSync(file, Buffer.from(bytes));
  assert.match(execFileSync("pdfinfo", [file], { encoding: "utf8" }), /^Pages:\s+3$/m);
  assert.equal(await page.locator("#pages li").count(), 0);
});

test("a scanner added to the simulator appears after Refresh; a busy one's error shows its code", async (t) => {
  const { box, page } = await openPage(t, shared, FEEDER);
  await page.waitForSelector('[data-option="mode"]');
  box.setDevices(`${FEEDER}\ndevice cvnfb BUSY open_status=3`);
  await page.click("#refresh");
  await page.check('input[name="device"][value="cvnfb:BUSY"]');
  await page.waitForSelector("#error:visible");
  await scan(page);
  assert.equal(await page.textContent("#error"), "Error 3: 装置忙碌.请重启扫描仪.");
  assert.equal(await page.locator("#pages li").count(), 0);
});
