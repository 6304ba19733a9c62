// A 50-sheet colour A4 300 dpi JPEG batch on the reference page, against
// the real service on a simulated feeder. Prints how long after the last
// page report the last thumbnail appeared (target: within 1 s) and how much
// the tab's memory grew over the batch (target: under 150 MiB).
//
// The simulator would deliver a page as fast as it can fill it, faster than
// any feeder; each sheet waits PACE ms more (150 by default), which brings the
// batch near the 50 sheets in 14 s of a real feeder. PACE 0 shows the page at
// the simulator's own speed.
//
// Run through ctest (web_bench_batch) or with the variables of
// tests/web/CMakeLists.txt set: node bench/batch.mjs [SHEETS [PACE]]
import fs from "node:fs";
import { chromium } from "playwright-core";
import { Sandbox, serveWeb } from "../test/support.mjs";

const sheets = Number(process.argv[2] || 50);
const pace = Number(process.argv[3] ?? 150);

function descendants(root) {
  const children = new Map();
  for (const pid of fs.readdirSync("/proc").filter((n) => /^\d+$/.test(n))) {
    try {
      const ppid = fs.readFileSync(`/proc/${pid}/stat`, "utf8").replace(/^.*\) /, "").split(" ")[1];
      if (!children.has(ppid)) children.set(ppid, []);
      children.get(ppid).push(pid);
    } catch {
      // Gone meanwhile.
    }
  }
  const all = [];
  const visit = (pid) => (children.get(pid) || []).forEach((child) => { all.push(child); visit(child); });
  visit(String(root));
  return all;
}

// The proportional memory of this browser's renderer processes: the tab.
function tabMemory() {
  let kib = 0;
  for (const pid of descendants(process.pid)) {
    try {
      if (!fs.readFileSync(`/proc/${pid}/cmdline`, "utf8").includes("--type=renderer")) continue;
      kib += Number(/^Pss:\s+(\d+)/m.exec(fs.readFileSync(`/proc/${pid}/smaps_rollup`, "utf8"))[1]);
    } catch {
      // Gone meanwhile.
    }
  }
  return kib / 1024;
}

const box = await Sandbox.create(`device cvnfa DR-A pages=${sheets} mode=Color page_delay_ms=${pace}`);
const web = await serveWeb();
const browser = await chromium.launch({ executablePath: process.env.VELLOSCAN_CHROMIUM || "/usr/bin/chromium" });
let failed = false;
try {
  await box.start();
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  const cdp = await page.context().newCDPSession(page);
  const collect = () => cdp.send("HeapProfiler.collectGarbage");
  await page.goto(`${web.origin}/?url=${box.url}`);
  await page.waitForSelector('[data-option="resolution"]');
  await page.selectOption('[data-option="resolution"]', "300");
  await page.selectOption('[data-option="paper-size"]', "A4");
  await page.selectOption("#file-type", "jpg");
  await collect();
  const before = tabMemory();
  // Page times as the page sees them: each report's tile, each thumbnail.
  await page.evaluate(() => {
    window.reports = [];
    window.thumbs = [];
    new MutationObserver((records) => {
      for (const record of records) {
        if (record.type === "childList") record.addedNodes.forEach((n) => n.matches?.("li.page") && reports.push(performance.now()));
        else if (record.target.dataset.thumb) thumbs.push(performance.now());
      }
    }).observe(document.getElementById("pages"), { childList: true, subtree: true, attributes: true, attributeFilter: ["data-thumb"] });
  });
  const started = Date.now();
  await page.click("#scan:enabled");
  await page.waitForSelector("#scan:enabled", { timeout: 600000 });
  await page.waitForFunction((n) => thumbs.length >= n, sheets, { timeout: 600000 });
  const elapsed = (Date.now() - started) / 1000;
  const { reports, thumbs, made } = await page.evaluate(() => ({
    reports, thumbs, made: document.querySelectorAll('#pages li[data-thumb="made"]').length,
  }));
  await collect();
  const after = tabMemory();
  const lag = (Math.max(...thumbs) - Math.max(...reports)) / 1000;
  if (process.env.VELLOSCAN_BENCH_TRACE) console.log(reports.map((r, i) => `${(r - reports[0]).toFixed(0)}/${((thumbs[i] ?? 0) - reports[0]).toFixed(0)}`).join(" "));
  console.log(`pages reported: ${reports.length}, thumbnails made: ${made}, batch took ${elapsed.toFixed(1)} s ` +
    `(colour A4 300 dpi JPEG, ${pace} ms added per sheet)`);
  console.log(`last thumbnail after the last page report: ${lag.toFixed(3)} s (target < 1 s)`);
  console.log(`tab memory: ${before.toFixed(1)} MiB before, ${after.toFixed(1)} MiB after, ` +
    `${(after - before).toFixed(1)} MiB more (target < 150 MiB)`);
  failed = made !== sheets || after - before >= 150;
} finally {
  await browser.close();
  await web.close();
  await box.dispose();
}
process.exit(failed ? 1 : 0);
