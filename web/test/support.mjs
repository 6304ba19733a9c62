// What the browser tests share: a private run of the real service on the
// simulated scanners, a static server for web/, and headless Chromium.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import https from "node:https";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { after, before } from "node:test";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const webDir = fileURLToPath(new URL("..", import.meta.url));

function setting(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set; run the browser tests through ctest`);
  return value;
}

// Polls `probe` until it returns something truthy.
async function waitFor(probe, what, timeoutMs = 20000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 25));
  }
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function accepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, "127.0.0.1");
    socket.on("connect", () => { socket.destroy(); resolve(true); });
    socket.on("error", () => resolve(false));
  });
}

function writeTool(dir, name, output) {
  const file = path.join(dir, name);
  fs.writeFileSync(file, `#!/bin/sh\nprintf '%s' '${output.replace(/'/g, "'\\''")}'\n`, { mode: 0o755 });
}

// Its own HOME, TMPDIR and SANE configuration, a copy of the binary with its
// port.txt, and a PATH that holds only the fake tools the service calls.
export class Sandbox {
  static async create(devices = "") {
    const box = new Sandbox(await freePort());
    box.setDevices(devices);
    return box;
  }

  constructor(port) {
    this.port = port;
    this.root = fs.mkdtempSync(path.join(os.tmpdir(), "velloscan-web-"));
    for (const sub of ["home", "tmp", "app", "bin", "sane"]) fs.mkdirSync(this.dir(sub));
    fs.copyFileSync(setting("VELLOSCAN_BINARY"), this.dir("app/velloscan"));
    fs.chmodSync(this.dir("app/velloscan"), 0o755);
    fs.writeFileSync(this.dir("app/port.txt"), `${port}\n`);
    fs.copyFileSync(setting("VELLOSCAN_SIM_DLLCONF"), this.dir("sane/dll.conf"));
    writeTool(this.dir("bin"), "lsb_release", "Distributor ID:\tDebian\n");
    writeTool(this.dir("bin"), "lsusb", "Bus 001 Device 005: ID 0b7e:1234 Corvane Co., Ltd. DR-A\n");
    this.process = null;
    this.stderr = "";
  }

  dir(sub) {
    return path.join(this.root, sub);
  }

  get home() {
    return this.dir("home");
  }

  get url() {
    return `ws://127.0.0.1:${this.port}`;
  }

  // The simulator's device lines; it reads them again at every enumeration.
  setDevices(lines) {
    fs.writeFileSync(this.dir("sane/velloscan-sim.conf"), `log ${this.dir("sane/velloscan-sim.log")}\n${lines}\n`);
  }

  async start() {
    const child = spawn(this.dir("app/velloscan"), [], {
      cwd: this.root,
      env: {
        HOME: this.home,
        TMPDIR: this.dir("tmp"),
        PATH: this.dir("bin"),
        SANE_CONFIG_DIR: this.dir("sane"),
        LD_LIBRARY_PATH: setting("VELLOSCAN_SIM_LIBDIR"),
        LANG: "C.UTF-8",
      },
      stdio: ["ignore", "ignore", "pipe"],
    });
    this.process = child;
    // A test that dies must not leave its service behind.
    const reap = () => child.kill("SIGKILL");
    process.on("exit", reap);
    child.exited = new Promise((resolve) => child.on("exit", () => {
      process.off("exit", reap);
      resolve();
    }));
    child.stderr.on("data", (chunk) => { this.stderr += chunk; });
    await waitFor(async () => child.exitCode !== null || await accepts(this.port), "the service to listen");
    if (child.exitCode !== null) throw new Error(`velloscan exited with ${child.exitCode}: ${this.stderr}`);
  }

  async stop(signal = "SIGTERM") {
    const child = this.process;
    if (!child) return;
    this.process = null;
    if (child.exitCode === null && child.signalCode === null) child.kill(signal);
    await child.exited;
  }

  async dispose() {
    await this.stop("SIGKILL");
    fs.rmSync(this.root, { recursive: true, force: true });
  }
}

// `outcome` turns a call into what a test can compare: its value, or its error.
const BLANK = `<!doctype html><script type="module">
import * as vs from "/velloscan.js";
window.outcome = (promise) => promise.then((value) => ({ value }),
  (error) => ({ error: error.name, code: error.code, message: error.message }));
window.vs = vs;
</script>`;

const TYPES = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css" };

// web/ over HTTP, as Chromium loads modules only from there, plus an empty
// page that loads the module for the tests that drive it directly.
// With `tls` ({ key, cert }) over HTTPS.
export function serveWeb({ tls } = {}) {
  const handler = (request, response) => {
    const name = decodeURIComponent(new URL(request.url, "http://x").pathname);
    if (name === "/blank") {
      response.writeHead(200, { "content-type": "text/html" });
      response.end(BLANK);
      return;
    }
    const file = path.join(webDir, name === "/" ? "index.html" : name);
    if (!file.startsWith(webDir) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { "content-type": TYPES[path.extname(file)] || "application/octet-stream" });
    fs.createReadStream(file).pipe(response);
  };
  const server = tls ? https.createServer(tls, handler) : http.createServer(handler);
  return new Promise((resolve) => {
    server.listen(0, "127.0.0.1", () => resolve({
      port: server.address().port,
      origin: `${tls ? "https" : "http"}://127.0.0.1:${server.address().port}`,
      close: () => new Promise((done) => server.close(done)),
    }));
  });
}

// Chromium and the web/ server for all tests of a file; filled in before them.
export function useBrowser() {
  const shared = {};
  before(async () => {
    shared.browser = await chromium.launch({ executablePath: process.env.VELLOSCAN_CHROMIUM || "/usr/bin/chromium" });
    shared.web = await serveWeb();
  });
  after(async () => {
    await shared.browser.close();
    await shared.web.close();
  });
  return shared;
}

// The service on `devices`, and a fresh browser context at 1280x800 showing
// index.html connected to it, or with `blank` the empty page that holds the
// module; `prepare` runs in that context before; `locale` is the browser's language.
export async function openPage(t, { browser, web }, devices, { blank = false, prepare, locale = "en-GB" } = {}) {
  const box = await Sandbox.create(devices);
  t.after(() => box.dispose());
  await box.start();
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 }, locale });
  t.after(() => context.close());
  const page = await context.newPage();
  const errors = [];
  page.on("pageerror", (error) => errors.push(error.message));
  t.after(() => assert.deepEqual(errors, [], "the page threw"));
  if (prepare) await prepare(box, page);
  if (blank) {
    await page.goto(`${web.origin}/blank`);
    await page.waitForFunction(() => window.vs);
  } else {
    await page.goto(`${web.origin}/?url=${box.url}`);
    await page.waitForSelector('#state[data-state="online"]');
  }
  return { box, page };
}

// The folder in the build tree where screenshots go for people to look at.
export function artifactDir() {
  const dir = setting("VELLOSCAN_WEB_ARTIFACTS");
  fs.mkdirSync(dir, { recursive: true });
  return dir;
}
