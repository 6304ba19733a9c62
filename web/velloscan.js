// velloscan client: the service's WebSocket protocol as promises and events.
// A plain ES module for browsers; no dependencies and no build step.

export const version = "0.1.0";

export const DEFAULT_URL = "ws://localhost:23165";

// For every code the service or this client replies with, what happened and
// what to do, in English and Chinese; pages show these rather than the
// service's fixed text. SANE statuses are 0 to 12, the service's own codes
// 1001 to 1012 and 2001 to 2007.
export const MESSAGES = Object.freeze({
  0: { en: "Done.", zh: "完成。" },
  1: { en: "The scanner does not support this. Choose other settings and scan again.", zh: "扫描仪不支持此操作。请更改设置后重新扫描。" },
  2: { en: "The scan was cancelled. Press Scan to start again.", zh: "扫描已取消。请按“扫描”重新开始。" },
  3: { en: "The scanner is busy. Wait until it is free, or turn it off and on again, then press Scan.", zh: "扫描仪忙。请等待其空闲，或重新启动扫描仪，然后按“扫描”。" },
  4: { en: "The scanner refused a setting. Check the options and scan again.", zh: "扫描仪拒绝了某项设置。请检查选项后重新扫描。" },
  5: { en: "The scanner ended the page early. Scan the page again.", zh: "扫描仪提前结束了本页。请重新扫描该页。" },
  6: { en: "Paper jam. Open the scanner's cover and take the sheet out, then press Scan for the sheets left; the pages before the jam are kept.", zh: "卡纸。请打开扫描仪盖子，取出纸张，然后按“扫描”继续扫描剩余纸张；卡纸前的页面已保留。" },
  7: { en: "There is no paper in the feeder. Put the sheets in and press Scan.", zh: "进纸器中没有纸张。请放入纸张后按“扫描”。" },
  8: { en: "The scanner's cover is open. Close it and press Scan.", zh: "扫描仪盖子已打开。请关上盖子后按“扫描”。" },
  9: { en: "The scanner could not be reached. Check its cable, turn it off and on again, then press Scan.", zh: "无法与扫描仪通信。请检查连接线，重新启动扫描仪后按“扫描”。" },
  10: { en: "The computer ran out of memory. Close other programs and scan fewer pages at once.", zh: "内存不足。请关闭其他程序，并减少一次扫描的页数。" },
  11: { en: "Access denied, or a page could not be written. Check that the folder can be written and that you may use the scanner (group \"scanner\").", zh: "访问被拒绝，或页面无法写入。请检查文件夹是否可写，以及您是否有权使用扫描仪（“scanner”组）。" },
  12: { en: "The scanner was not found. Check that it is switched on and connected, then press Refresh.", zh: "未找到扫描仪。请确认扫描仪已开机并连接，然后按“刷新”。" },
  1001: { en: "The list of scanners could not be read. Reconnect the scanner and press Refresh.", zh: "无法读取扫描仪列表。请重新连接扫描仪后按“刷新”。" },
  1002: { en: "The scanner's settings could not be read. Reconnect the scanner and choose it again.", zh: "无法读取扫描仪的设置。请重新连接扫描仪后再次选择。" },
  1003: { en: "No scanner found. Connect one, switch it on and press Refresh.", zh: "未找到扫描仪。请连接并打开扫描仪，然后按“刷新”。" },
  1004: { en: "No scanner is chosen. Choose one from the list.", zh: "未选择扫描仪。请从列表中选择一台。" },
  1005: { en: "The folder does not exist. Choose another folder.", zh: "文件夹不存在。请选择其他文件夹。" },
  1006: { en: "The folder cannot be written. Choose a folder of your own.", zh: "文件夹无写入权限。请选择您自己的文件夹。" },
  1007: { en: "The folder cannot be made or used. Choose a folder of your own, such as the scans folder in your home folder.", zh: "无法创建或使用该文件夹。请选择您自己的文件夹，例如主目录下的 scans 文件夹。" },
  1008: { en: "The document could not be made (the disk may be full). Free some space and scan again.", zh: "无法生成文档（磁盘可能已满）。请释放空间后重新扫描。" },
  1009: { en: "A scan is running. Wait until it ends, then try again.", zh: "正在扫描。请等待扫描结束后再试。" },
  1010: { en: "The connection to the scanning service is lost. Start the service (\"systemctl --user start velloscan\", or log in again); the page reconnects by itself.", zh: "与扫描服务的连接已断开。请启动服务（“systemctl --user start velloscan”，或重新登录）；页面会自动重新连接。" },
  1011: { en: "Another page is using the scanning service. Close that page or tab, then reload this one.", zh: "另一个页面正在使用扫描服务。请关闭该页面或标签页，然后重新加载本页。" },
  1012: { en: "A setting was not accepted. Check the options and scan again.", zh: "某项设置未被接受。请检查选项后重新扫描。" },
  2001: { en: "Done.", zh: "操作成功。" },
  2002: { en: "A page was scanned.", zh: "已扫描一页。" },
  2003: { en: "All pages were scanned and the document was made.", zh: "已扫描所有页面并生成文档。" },
  2004: { en: "All pages were scanned.", zh: "已扫描所有页面。" },
  2005: { en: "The list of scanners was read.", zh: "已读取扫描仪列表。" },
  2006: { en: "The scanner's settings were read.", zh: "已读取扫描仪设置。" },
  2007: { en: "The file could not be read back from the service: it was moved, deleted or is too large. Open it from its folder instead.", zh: "无法从服务读取该文件：文件已被移动、删除或过大。请从其所在文件夹打开。" },
});

const UNKNOWN = { en: "Something unexpected went wrong (code {code}). Try again; if it repeats, restart the scanner.", zh: "发生意外错误（代码 {code}）。请重试；如仍出现，请重新启动扫描仪。" };

// The sentence for `code` in "en" or "zh" (any "zh-..." language counts).
export function describe(code, language = "en") {
  const lang = String(language).toLowerCase().startsWith("zh") ? "zh" : "en";
  return (MESSAGES[code] || UNKNOWN)[lang].replace("{code}", String(code));
}

// The service's texts for the codes the client gives itself.
const DISCONNECTED_TEXT = "连接已断开";
const BUSY_TEXT = "正在进行扫描，无法进行其他操作";

const FILE_TYPES = ["tiff", "pnm", "jpg", "png", "pdf", "mulpdf", "multiff"];

// Keys of the settings object that are file settings, with the protocol's names.
const FILE_SETTINGS = {
  fileType: "FileType",
  filePath: "FilePath",
  filePrefix: "FilePrefix",
  showBase64: "ShowBase64",
  deleteFilesBeforeScan: "DeleteFilesBeforeScan",
  scanCount: "ScanCount",
  scanMinCountSize: "ScanMinCountSize",
};

// The service's own texts stay in `message`; `reason` says in English what
// the client found wrong, and `causes` lists, most likely first, why a
// connection failed ("local-network-access", "no-service").
export class VelloScanError extends Error {
  constructor(code, message, reason = "", causes = []) {
    super(message);
    this.name = "VelloScanError";
    this.code = code;
    this.reason = reason;
    this.causes = causes;
  }
}

// A service that accepts the socket but never greets must not hold the page.
const GREETING_TIMEOUT_MS = 10000;
// Older services ignore commands they do not know, without a reply.
const OPTIONAL_TIMEOUT_MS = 1000;

function malformed(reason) {
  return new VelloScanError(1010, DISCONNECTED_TEXT, reason);
}

export function connect(url = DEFAULT_URL, { reconnect = false } = {}) {
  const client = new Client(url, reconnect);
  return client._open().then(() => client);
}

function onLocalhost() {
  const host = globalThis.location ? location.hostname : "localhost";
  return host === "localhost" || host.endsWith(".localhost") || host === "[::1]" || /^127\./.test(host);
}

// A socket the browser blocked looks exactly like a port where nothing
// listens, so ask the browser what it knows about local network access.
async function localNetworkPermission() {
  const permissions = globalThis.navigator && navigator.permissions;
  if (!permissions) return "unknown";
  for (const name of ["loopback-network", "local-network-access"]) {
    try {
      return (await permissions.query({ name })).state;
    } catch {
      // This browser does not know the name: try the older one.
    }
  }
  return "unknown";
}

const START_HINT = "Start it with \"systemctl --user start velloscan\" (or log in again); " +
  "from a source tree, ./scripts/run starts it on simulated scanners.";

export async function explainFailure(url) {
  const permission = await localNetworkPermission();
  const causes = [];
  let reason = "";
  // A browser that knows neither permission does not enforce it.
  if (permission !== "granted" && permission !== "unknown" && !onLocalhost()) {
    causes.push("local-network-access");
    reason += globalThis.isSecureContext
      ? "The browser's local network access may have blocked it: accept the browser's prompt to let this site " +
        "reach devices on this computer (or allow it in the site's settings), or ask the administrator to run " +
        "velloscan-allow-site for this site. "
      : "The browser's local network access may have blocked it: this page is served over plain HTTP, where the " +
        "browser refuses without asking. Serve the page over HTTPS and accept the prompt, or ask the administrator " +
        "to run velloscan-allow-site for this site. ";
  }
  causes.push("no-service");
  reason += `No service may be listening at ${url}. ${START_HINT}`;
  return { reason, causes };
}

function base64ToBytes(text) {
  const binary = atob(text.replace(/\s+/g, ""));
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

function base64ToJson(text) {
  return JSON.parse(new TextDecoder().decode(base64ToBytes(text)));
}

function dataOf(message) {
  if (typeof message.Data !== "string") throw new Error(`its Data is ${typeof message.Data}, not text`);
  return message.Data;
}

function devicesDocument(message) {
  const devs = base64ToJson(dataOf(message)).Devs;
  if (!Array.isArray(devs)) throw new Error("its devices document has no Devs list");
  return devs;
}

function devicesOf(message) {
  if (message.Code !== 2005 || !message.Data) return [];
  return devicesDocument(message).map((d) => String(d.Name ?? "")).filter((name) => name !== "");
}

// One text frame as a message, or why it is not one.
function parseMessage(text) {
  let message;
  try {
    message = JSON.parse(text);
  } catch {
    return { problem: `a reply that is not JSON: ${String(text).slice(0, 80)}` };
  }
  if (!message || typeof message !== "object" || Array.isArray(message)) return { problem: "a reply that is not a JSON object" };
  if (typeof message.Cmd !== "string" || typeof message.Code !== "number") {
    return { problem: "a reply without a text Cmd and a numeric Code" };
  }
  if (message.Data === undefined) message.Data = "";
  return { message };
}

// The service's name for a scanner without its backend: "cvnfa:DR-F120" is "DR-F120".
export function shortName(name) {
  return name.slice(name.indexOf(":") + 1);
}

// A page's handler that throws must not stop the messages after it.
function safely(handler, value) {
  try {
    handler(value);
  } catch (e) {
    setTimeout(() => { throw e; });
  }
}

function refuseBar(what, text) {
  if (typeof text !== "string") throw new TypeError(`${what} must be a string`);
  // The service cuts every command at "|"; such a text would reach it cut short.
  if (text.includes("|")) throw new TypeError(`${what} cannot contain "|": ${text}`);
}

function settingText(key, value) {
  if (typeof value === "boolean") return value ? "yes" : "no";
  if (typeof value === "number") {
    if (!Number.isFinite(value)) throw new TypeError(`setting ${key} is not a finite number`);
    return String(value);
  }
  if (typeof value === "string") return value;
  if (Array.isArray(value)) return value.map((v) => settingText(key, v)).join(",");
  throw new TypeError(`setting ${key} must be a string, number, boolean or array`);
}

// The protocol's settings JSON: every value a string, file settings under
// their own names, and "|" escaped so that the command is not cut inside it.
function settingsJson(settings = {}) {
  const out = { ShowBase64: "0", DeleteFilesBeforeScan: "0" };
  for (const [key, value] of Object.entries(settings)) {
    if (value === undefined || value === null) continue;
    const name = FILE_SETTINGS[key];
    if (key === "fileType") {
      const code = FILE_TYPES.indexOf(value) + 1;
      if (code === 0) throw new TypeError(`unknown fileType ${value}; one of ${FILE_TYPES.join(", ")}`);
      out.FileType = String(code);
    } else if (key === "showBase64" || key === "deleteFilesBeforeScan") {
      out[name] = value ? "1" : "0";
    } else {
      out[name || key] = settingText(key, value);
    }
  }
  return JSON.stringify(out).replace(/\|/g, "\\u007c");
}

// "jpg|/path" or, with Base64, "jpg|" + Base64 of {"Base64Data", "ImagePath"}.
function tagged(message) {
  const data = dataOf(message);
  const bar = data.indexOf("|");
  if (bar < 0) throw new Error(`its Data has no "|": ${data.slice(0, 80)}`);
  return [data.slice(0, bar), data.slice(bar + 1)];
}

function pageOf(message) {
  const [format, rest] = tagged(message);
  if (message.DataType !== "base64") return { format, path: rest, bytes: undefined };
  const inner = base64ToJson(rest);
  if (typeof inner.ImagePath !== "string" || typeof inner.Base64Data !== "string") {
    throw new Error("its page document lacks ImagePath or Base64Data");
  }
  return { format, path: inner.ImagePath, bytes: base64ToBytes(inner.Base64Data) };
}

function documentOf(message) {
  if (message.Cmd !== "SSCANMUL") return null;
  const [type, path] = tagged(message);
  return { type, path };
}

class Client {
  constructor(url, reconnect) {
    this.url = url;
    this.home = "";
    this.devices = [];
    this._reconnect = reconnect;
    this._handlers = new Map();
    this._socket = null;
    // Greeted and not yet dropped: only then may calls be sent.
    this._ready = false;
    this._closed = false;
    this._retryDelay = 0;
    this._retryTimer = null;
    // Calls not yet sent; calls sent that the service answers at once, in the
    // order they were sent; and our scan, whose messages come as it runs.
    this._queue = [];
    this._sent = [];
    this._scan = null;
  }

  on(event, handler) {
    if (!this._handlers.has(event)) this._handlers.set(event, new Set());
    this._handlers.get(event).add(handler);
    return () => this._handlers.get(event).delete(handler);
  }

  _emit(event, value) {
    for (const handler of this._handlers.get(event) || []) safely(handler, value);
  }

  // Resolves once the greeting has arrived; rejects with the refusal's code,
  // or 1010 when the connection fails, closes first, greets with something
  // malformed or does not greet within ten seconds.
  _open() {
    return new Promise((resolve, reject) => {
      let greeted = false;
      let opened = false;
      let refusal = null;
      const socket = new WebSocket(this.url);
      this._socket = socket;
      const fail = (error) => {
        if (greeted) return;
        greeted = true;
        clearTimeout(timer);
        if (this._socket === socket) this._socket = null;
        socket.onmessage = socket.onclose = socket.onerror = null;
        socket.close();
        reject(error);
      };
      const timer = setTimeout(() => fail(malformed(
        `${opened ? "The service accepted the connection but" : "The connection"} did not greet within ${GREETING_TIMEOUT_MS / 1000} s`)),
      GREETING_TIMEOUT_MS);
      socket.onopen = () => { opened = true; };
      socket.onmessage = (event) => {
        if (greeted) return this._frame(event.data);
        const { message, problem } = parseMessage(event.data);
        if (problem) return fail(malformed(`The greeting was ${problem}`));
        if (message.Cmd === "HOME") {
          this.home = typeof message.Data === "string" ? message.Data : "";
        } else if (message.Cmd === "SDEV" || message.Code === 1003) {
          let devices;
          try {
            devices = devicesOf(message);
          } catch (e) {
            return fail(malformed(`The greeting's device list was malformed: ${e.message}`));
          }
          greeted = true;
          clearTimeout(timer);
          this._ready = true;
          this._setDevices(devices);
          resolve();
        } else if (message.Code === 1009 || message.Code === 1011) {
          refusal = new VelloScanError(message.Code, message.Msg);
        }
      };
      socket.onclose = () => {
        if (this._socket === socket) this._socket = null;
        if (greeted) return this._dropped();
        greeted = true;
        clearTimeout(timer);
        if (refusal) return reject(refusal);
        if (opened) return reject(malformed("The service closed the connection before greeting"));
        explainFailure(this.url).then(({ reason, causes }) =>
          reject(new VelloScanError(1010, DISCONNECTED_TEXT, reason, causes)));
      };
      // Some WebSocket implementations report a refused connection only as
      // an error, without a close.
      socket.onerror = () => {
        if (!opened && !greeted) socket.onclose();
      };
    });
  }

  // A frame after the greeting. One that cannot be read fails the call it
  // most likely answered; the connection carries on.
  _frame(text) {
    const { message, problem } = parseMessage(text);
    if (problem) return this._failOldest(malformed(`The service sent ${problem}`));
    try {
      this._receive(message);
    } catch (e) {
      // A plug report answers no call; the next one brings the list again.
      if (message.Cmd === "SDEVPLUG") return;
      this._failOldest(malformed(`The service's ${message.Cmd || "error"} reply was malformed: ${e.message}`),
        message.Cmd.startsWith("SSCAN"));
    }
  }

  _failOldest(error, scanReply = false) {
    const head = this._sent.find((c) => !c.probe);
    // A scan report of a page before us answers none of our calls.
    if (scanReply && !this._scan) return;
    if (this._scan && (scanReply || !head)) {
      const scan = this._scan;
      this._scan = null;
      scan.reject(error);
    } else if (head) {
      this._sent.splice(this._sent.indexOf(head), 1);
      clearTimeout(head.timer);
      head.reject(error);
    }
    this._pump();
  }

  _setDevices(devices) {
    this.devices = devices;
    this._emit("devices", devices);
  }

  _receive(message) {
    switch (message.Cmd) {
      case "SDEVPLUG":
        return this._setDevices(devicesOf(message));
      case "SSCANONE": {
        const page = pageOf(message);
        if (!this._scan) return this._emit("page", page);
        this._scan.pages.push({ format: page.format, path: page.path });
        if (this._scan.onPage) safely(this._scan.onPage, page);
        return;
      }
      case "SSCANALL":
      case "SSCANMUL": {
        const document = documentOf(message);
        if (!this._scan) return this._emit("scanend", { document, error: null });
        const scan = this._scan;
        this._scan = null;
        scan.resolve({ pages: scan.pages, document });
        return this._pump();
      }
      case "":
        return this._error(new VelloScanError(message.Code, String(message.Msg ?? "")));
      default:
        return this._reply(message);
    }
  }

  _reply(message) {
    const call = this._sent[0];
    if (!call || call.reply !== message.Cmd) return;
    this._sent.shift();
    clearTimeout(call.timer);
    // A probe's answer says no 1009 came before it: the service took the scan.
    if (!call.probe) {
      try {
        const value = call.decode(message);
        if (message.Cmd === "SDEV") this._setDevices(value);
        call.resolve(value);
      } catch (e) {
        call.reject(e instanceof VelloScanError ? e : malformed(`The service's ${message.Cmd} reply was malformed: ${e.message}`));
      }
    }
    this._pump();
  }

  // 1009 answers the oldest call still waiting for an answer; it never ends
  // a scan that the service took. Any other error ends our scan when one
  // runs, else it answers the oldest call, else it ended a scan of a page
  // before us.
  _error(error) {
    if (error.code === 1009) {
      const call = this._sent[0];
      if (!call) return;
      if (call.probe) {
        if (this._scan === call.scan) this._scan = null;
        call.scan.reject(error);
      } else {
        this._sent.shift();
        clearTimeout(call.timer);
        call.reject(error);
      }
    } else {
      // Only listing and options can fail; "CBASE64" is always answered.
      const head = this._sent[0];
      const call = this._scan || (head && head.failable ? this._sent.shift() : null);
      if (call) clearTimeout(call.timer);
      if (!call) return this._emit("scanend", { document: null, error });
      if (call === this._scan) this._scan = null;
      if (error.code === 1003 && call.reply === "SDEV") {
        this._setDevices([]);
        call.resolve([]);
      } else {
        call.reject(error);
      }
    }
    this._pump();
  }

  _call(call) {
    return new Promise((resolve, reject) => {
      if (!this._ready) {
        reject(new VelloScanError(1010, DISCONNECTED_TEXT));
        return;
      }
      this._queue.push({ ...call, resolve, reject });
      this._pump();
    });
  }

  // Sent and not answered in time: the caller hears `onTimeout`'s value and
  // the queue moves on.
  _arm(call) {
    if (!call.timeoutMs) return;
    call.timer = setTimeout(() => {
      const at = this._sent.indexOf(call);
      if (at < 0) return;
      this._sent.splice(at, 1);
      call.resolve(call.onTimeout());
      this._pump();
    }, call.timeoutMs);
  }

  // One call at a time, except while our scan runs: then calls go at once,
  // and the service answers all but "CBASE64" with 1009 at once.
  _pump() {
    while (this._queue.length && this._ready && (this._scan || this._sent.length === 0)) {
      const call = this._queue.shift();
      if (call.reply !== null) {
        this._sent.push(call);
        this._socket.send(call.command);
        this._arm(call);
      } else if (this._scan) {
        // Ours runs: the service would refuse it, but a refusal that crossed
        // our scan's end could not be told from a scan that started.
        call.reject(new VelloScanError(1009, BUSY_TEXT));
      } else {
        // An empty "CBASE64" is answered at once, after a refusal of the
        // scan if there is one: so a 1009 before it is the scan's.
        this._scan = call;
        this._sent.push({ probe: true, reply: "SBASE64", scan: call });
        this._socket.send(call.command);
        this._socket.send("CBASE64|");
      }
    }
  }

  listDevices() {
    return this._call({ command: "CDEV", reply: "SDEV", failable: true, decode: devicesOf });
  }

  // Vendor, model and type of every listed scanner. A service that does not
  // know "CDEVINFO" stays silent: then, and during our scan, the names
  // without their backend stand in for the model.
  async deviceInfo() {
    const fallback = () => this.devices.map((name, index) => ({ index, name, vendor: "", model: shortName(name), type: "" }));
    if (this._scan) return fallback();
    return this._call({
      command: "CDEVINFO",
      reply: "SDEVINFO",
      failable: true,
      timeoutMs: OPTIONAL_TIMEOUT_MS,
      onTimeout: fallback,
      decode: (message) => devicesDocument(message).map((d, i) => ({
        index: Number.isInteger(d.Index) ? d.Index : i,
        name: String(d.Name ?? ""),
        vendor: String(d.Vendor ?? ""),
        model: String(d.Model || shortName(String(d.Name ?? ""))),
        type: String(d.Type ?? ""),
      })),
    }).catch((error) => {
      if (error.code === 1010 && !this._ready) throw error;
      return fallback();
    });
  }

  async getOptions(device) {
    refuseBar("device", device);
    return this._call({
      command: `COPT|${device}`,
      reply: "SOPT",
      failable: true,
      decode: (message) => {
        const halves = dataOf(message).split("|");
        if (halves.length !== 2) throw new Error("its Data is not two documents joined by \"|\"");
        const [values, descriptions] = halves.map(base64ToJson);
        if (!Array.isArray(descriptions.Options)) throw new Error("its options document has no Options list");
        return { options: descriptions.Options, values };
      },
    });
  }

  async readFile(path) {
    refuseBar("path", path);
    return this._call({
      command: `CBASE64|${path}`,
      reply: "SBASE64",
      decode: (message) => {
        const bytes = base64ToBytes(dataOf(message));
        if (bytes.length === 0) throw new VelloScanError(2007, `could not read ${path}`);
        return bytes;
      },
    });
  }

  async scan(device, settings = {}, { onPage } = {}) {
    refuseBar("device", device);
    const command = `CSCAN|${device}|${settingsJson(settings)}`;
    return this._call({ command, reply: null, onPage, pages: [] });
  }

  close() {
    this._closed = true;
    clearTimeout(this._retryTimer);
    if (this._socket) this._socket.close();
  }

  _dropped() {
    this._ready = false;
    const error = new VelloScanError(1010, DISCONNECTED_TEXT);
    const pending = [...this._queue, ...this._sent.filter((c) => !c.probe), ...(this._scan ? [this._scan] : [])];
    this._queue = [];
    this._sent = [];
    this._scan = null;
    for (const call of pending) {
      clearTimeout(call.timer);
      call.reject(error);
    }
    this._emit("close", { reconnecting: this._reconnect && !this._closed });
    if (this._reconnect && !this._closed) this._retry();
  }

  // Doubling delays from half a second up to fifteen, each drawn between half
  // and all of its value, so that many pages restarting together do not
  // arrive together either.
  _retry() {
    this._retryDelay = Math.min(Math.max(this._retryDelay * 2, 500), 15000);
    const wait = this._retryDelay * (0.5 + Math.random() / 2);
    this._retryTimer = setTimeout(() => {
      if (this._closed) return;
      this._open().then(() => {
        this._retryDelay = 0;
        this._emit("reconnect", this);
      }, () => {
        if (!this._closed) this._retry();
      });
    }, wait);
  }
}
