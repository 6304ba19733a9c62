// Reading a large file back in Chromium: the client's readFile, piece by
// piece over the service's socket, against a download of the same file from
// a local static web server, in the same browser run. Prints both times and
// their ratio (target: readFile within 2 times the download) and the
// service's peak resident memory above idle while it served the read
// (target: under 64 MiB).
//
// The file sits in the service's default output folder, where it may be
// read. It is sparse, with data in the first 64 KiB of every MiB, so that
// the bytes can be checked without 300 MiB on disk. Each way is timed
// ROUNDS times, alternating, from the page cache; the best of each counts.
//
// Run through ctest (web_bench_reads) or with the variables of
// tests/web/CMakeLists.txt set: node bench/reads.mjs [MIB [ROUNDS]]
import { spawn } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";
import { chromium } from "playwright-core";
import { Sandbox, serveWeb } from "../test/support.mjs";

const MiB = 1024 * 1024;
const mib = Number(process.argv[2] || 300);
const rounds = Number(process.argv[3] || 3);

function makeFile(file) {
  const fd = fs.openSync(file, "w");
  try {
    fs.ftruncateSync(fd, mib * MiB);
    for (let at = 0; at < mib * MiB; at += MiB) fs.writeSync(fd, crypto.randomBytes(64 * 1024), 0, 64 * 1024, at);
  } finally {
    fs.closeSync(fd);
  }
  return crypto.createHash("sha256").update(fs.readFileSync(file)).digest("hex");
}

// python3's static server, with the one header a page of another origin
// needs to read its answers.
async function serveFolder(folder) {
  const script = `
import http.server, sys
class Handler(http.server.SimpleHTTPRequestHandler):
    def end_headers(self):
        self.send_header("Access-Control-Allow-Origin", "*")
        super().end_headers()
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
`;
  const child = spawn("python3", ["-c", script], { cwd: folder, stdio: ["ignore", "pipe", "inherit"] });
  const reap = () => child.kill("SIGKILL");
  process.on("exit", reap);
  const port = await new Promise((resolve, reject) => {
    child.stdout.once("data", (line) => resolve(Number(String(line).trim())));
    child.once("exit", (code) => reject(new Error(`the static server exited with ${code}`)));
  });
  return {
    origin: `http://127.0.0.1:${port}`,
    close: () => new Promise((done) => { child.once("exit", done); child.kill("SIGTERM"); process.off("exit", reap); }),
  };
}

// Processor seconds the process has used, user and system.
function cpuSeconds(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, "utf8").replace(/^.*\) /, "").split(" ");
  return (Number(fields[11]) + Number(fields[12])) / 100;
}

function statusKiB(pid, field) {
  return Number(new RegExp(`^${field}:\\s+(\\d+)`, "m").exec(fs.readFileSync(`/proc/${pid}/status`, "utf8"))[1]);
}

// The service's resident memory before a read and its peak during it:
// the kernel's high-water mark, reset before the read, and samples as a
// check where the reset is not allowed.
function watchMemory(pid) {
  let reset = true;
  try {
    fs.writeFileSync(`/proc/${pid}/clear_refs`, "5");
  } catch {
    reset = false;
  }
  const idle = statusKiB(pid, "VmRSS");
  let sampled = idle;
  const timer = setInterval(() => { sampled = Math.max(sampled, statusKiB(pid, "VmRSS")); }, 5);
  return {
    idle,
    stop() {
      clearInterval(timer);
      const peak = Math.max(sampled, statusKiB(pid, "VmRSS"), reset ? statusKiB(pid, "VmHWM") : 0);
      return { idle, peak, above: (peak - idle) / 1024, reset };
    },
  };
}

const box = await Sandbox.create("");
const web = await serveWeb();
const browser = await chromium.launch({ executablePath: process.env.VELLOSCAN_CHROMIUM || "/usr/bin/chromium" });
let files = null;
let failed = true;
try {
  await box.start();
  const folder = path.join(box.dir("tmp"), "tempvelloscanimg");
  const file = path.join(folder, "bench-read.bin");
  const digest = makeFile(file);
  files = await serveFolder(folder);

  const page = await browser.newPage();
  const cdp = await page.context().newCDPSession(page);
  await page.goto(`${web.origin}/blank`);
  await page.waitForFunction(() => window.vs);
  const extensions = await page.evaluate(async (url) => {
    window.client = await vs.connect(url);
    return (await client.version())?.extensions ?? [];
  }, box.url);
  if (!extensions.includes("read")) throw new Error(`the service does not offer "read" (extensions: ${extensions.join(", ")})`);

  // Each way keeps its bytes in the page only until they are checked.
  const readBack = () => page.evaluate(async (name) => {
    let updates = 0;
    const started = performance.now();
    window.bytes = await client.readFile(name, { onProgress: () => { updates += 1; } });
    return { ms: performance.now() - started, size: bytes.length, updates };
  }, file);
  const download = () => page.evaluate(async (url) => {
    const started = performance.now();
    const response = await fetch(url, { cache: "no-store" });
    if (!response.ok) throw new Error(`HTTP ${response.status}`);
    window.bytes = new Uint8Array(await response.arrayBuffer());
    return { ms: performance.now() - started, size: bytes.length };
  }, `${files.origin}/${path.basename(file)}`);
  const check = async (how) => {
    const seen = await page.evaluate(async () => {
      const hash = await crypto.subtle.digest("SHA-256", bytes);
      window.bytes = null;
      return Array.from(new Uint8Array(hash), (b) => b.toString(16).padStart(2, "0")).join("");
    });
    await cdp.send("HeapProfiler.collectGarbage");
    if (seen !== digest) throw new Error(`${how} gave other bytes than the file holds`);
  };

  const reads = [];
  const downloads = [];
  let memory = null;
  for (let round = 0; round < rounds; round += 1) {
    const watch = watchMemory(box.process.pid);
    const cpu = cpuSeconds(box.process.pid);
    const read = await readBack();
    const used = watch.stop();
    read.cpu = cpuSeconds(box.process.pid) - cpu;
    if (!memory || used.above > memory.above) memory = used;
    await check("readFile");
    reads.push(read);
    const got = await download();
    await check("the download");
    downloads.push(got);
  }

  const best = (list) => Math.min(...list.map((r) => r.ms)) / 1000;
  const fmt = (list) => list.map((r) => (r.ms / 1000).toFixed(2)).join(", ");
  const readS = best(reads);
  const httpS = best(downloads);
  console.log(`file: ${mib} MiB, ${rounds} rounds each, best counts`);
  console.log(`readFile over the socket: ${readS.toFixed(2)} s (${(mib / readS).toFixed(0)} MiB/s; rounds ${fmt(reads)}; ` +
    `${reads[0].updates} progress reports; service processor time ${reads.map((r) => r.cpu.toFixed(2)).join(", ")} s)`);
  console.log(`HTTP download (fetch): ${httpS.toFixed(2)} s (${(mib / httpS).toFixed(0)} MiB/s; rounds ${fmt(downloads)})`);
  console.log(`readFile / HTTP: ${(readS / httpS).toFixed(2)} (target <= 2)`);
  console.log(`service memory during a read: ${(memory.idle / 1024).toFixed(1)} MiB idle, ${(memory.peak / 1024).toFixed(1)} MiB peak, ` +
    `${memory.above.toFixed(1)} MiB above idle (target < 64 MiB)${memory.reset ? "" : "; sampled, the peak could not be reset"}`);
  // A sanitized service's allocator holds freed memory back on purpose.
  failed = memory.above >= 64 && !process.env.ASAN_OPTIONS;
} finally {
  await browser.close();
  if (files) await files.close();
  await web.close();
  await box.dispose();
}
process.exit(failed ? 1 : 0);
