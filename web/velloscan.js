// velloscan client: the service's WebSocket protocol as promises and events.
// A plain ES module for browsers with codes.js and reach.js beside it; no
// build step.

export const version = "0.1.0";

export const DEFAULT_URL = "ws://localhost:23165";

// The codes by name and as sentences live beside this module.
export * from "./codes.js";
export { explainFailure } from "./reach.js";
import { explainFailure } from "./reach.js";

// The service's texts for the codes the client gives itself.
const DISCONNECTED_TEXT = "连接已断开";
const BUSY_TEXT = "正在进行扫描，无法进行其他操作";
const CANCELLED_TEXT = "平台已经取消.";

const FILE_TYPES = ["tiff", "pnm", "jpg", "png", "pdf", "mulpdf", "multiff"];
const DOCUMENT_TYPES = ["mulpdf", "multiff"];

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
// connection failed ("local-network-access", "no-service"); `kept` counts
// the pages a failed document job left for a continuing scan.
export class VelloScanError extends Error {
  constructor(code, message, reason = "", causes = []) {
    super(message);
    this.name = "VelloScanError";
    this.code = code;
    this.reason = reason;
    this.causes = causes;
    this.kept = 0;
  }
}

// A service that accepts the socket but never greets must not hold the page.
const GREETING_TIMEOUT_MS = 10000;
// Older services ignore commands they do not know, without a reply.
const OPTIONAL_TIMEOUT_MS = 1000;
// The largest piece of a file the service sends in one binary message.
const CHUNK_BYTES = 4 * 1024 * 1024;

function malformed(reason) {
  return new VelloScanError(1010, DISCONNECTED_TEXT, reason);
}

export function connect(url = DEFAULT_URL, { reconnect = false } = {}) {
  const client = new Client(url, reconnect);
  return client._open().then(() => client);
}

function base64ToBytes(text) {
  if (typeof Uint8Array.fromBase64 === "function") return Uint8Array.fromBase64(text);
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

function progressOf(message) {
  const data = base64ToJson(dataOf(message));
  if (!Number.isInteger(data.Sheet)) throw new Error("its progress document has no Sheet number");
  const progress = { sheet: data.Sheet, bytes: Number(data.Bytes) || 0, total: Number.isFinite(data.Total) ? data.Total : -1, done: data.Done === true };
  if (typeof data.Path === "string") progress.path = data.Path;
  return progress;
}

function statusOf(message) {
  const data = base64ToJson(dataOf(message));
  return {
    scanning: data.Scanning === true,
    device: String(data.Device ?? ""),
    fileType: String(data.FileType ?? ""),
    pages: Number(data.Pages) || 0,
    keptPages: Number(data.KeptPages) || 0,
  };
}

function chunkHeaderOf(message, path, offset) {
  const header = base64ToJson(dataOf(message));
  for (const key of ["Offset", "Length", "Size"]) {
    if (!Number.isInteger(header[key]) || header[key] < 0) throw new Error(`its ${key} is not a count of bytes`);
  }
  if (header.Offset !== offset) throw new Error(`it answers offset ${header.Offset}, not ${offset}`);
  if (header.Path !== undefined && header.Path !== path) throw new Error(`it answers ${header.Path}, not ${path}`);
  return header;
}

// What identifies a message of a job when it comes again in a replay. Page
// reports are compared by their file, as a replay gives them in path form
// even when they first came with their Base64.
function jobKey(message, page) {
  if (page) {
    return `SSCANONE\n${page.format}\n${page.path}`;
  }
  return `${message.Cmd}\n${message.Code}\n${message.Cmd ? message.Data : message.Msg}`;
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
    // The service's extensions, asked for once per connection.
    this._features = null;
    // Messages of the latest job already handled, so that a replay after a
    // reconnect shows each only once.
    this._seen = new Set();
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
      // Pieces of files come as binary messages.
      socket.binaryType = "arraybuffer";
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
        if (greeted) return typeof event.data === "string" ? this._frame(event.data) : this._binary(event.data);
        if (typeof event.data !== "string") return;
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

  // False for a job message handled before: it is being replayed.
  _firstTime(message, page) {
    const key = jobKey(message, page);
    if (this._seen.has(key)) return false;
    this._seen.add(key);
    return true;
  }

  _receive(message) {
    switch (message.Cmd) {
      case "SDEVPLUG":
        return this._setDevices(devicesOf(message));
      case "SSCANPROGRESS": {
        const progress = progressOf(message);
        if (!this._firstTime(message)) return;
        if (!this._scan) return this._emit("progress", progress);
        if (this._scan.onProgress) safely(this._scan.onProgress, progress);
        return;
      }
      case "SSCANONE": {
        const page = pageOf(message);
        if (!this._firstTime(message, page)) return;
        if (!this._scan) return this._emit("page", page);
        this._scan.pages.push({ format: page.format, path: page.path });
        if (this._scan.onPage) safely(this._scan.onPage, page);
        return;
      }
      case "SSCANALL":
      case "SSCANMUL": {
        const document = documentOf(message);
        if (!this._firstTime(message)) return;
        if (!this._scan) return this._emit("scanend", { document, error: null });
        const scan = this._scan;
        this._scan = null;
        scan.resolve({ pages: scan.pages, document });
        return this._pump();
      }
      case "":
        return this._error(new VelloScanError(message.Code, String(message.Msg ?? "")), message);
      default:
        return this._reply(message);
    }
  }

  _reply(message) {
    const call = this._sent[0];
    if (!call || call.header || ![].concat(call.reply).includes(message.Cmd)) return;
    // A piece of a file: its bytes follow in the next binary message.
    if (message.Cmd === "SREAD") {
      try {
        call.header = chunkHeaderOf(message, call.path, call.offset);
      } catch (e) {
        this._sent.shift();
        clearTimeout(call.timer);
        call.reject(malformed(`The service's SREAD reply was malformed: ${e.message}`));
        return this._pump();
      }
      if (call.header.Length > 0) return;
      return this._binary(new ArrayBuffer(0));
    }
    this._sent.shift();
    clearTimeout(call.timer);
    // A probe's answer says no 1009 came before it: the service took the scan.
    if (call.probe) {
      if (call.scan.cancelWhenTaken && this._scan === call.scan) this.cancel().catch(() => {});
    } else {
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

  _binary(data) {
    const call = this._sent[0];
    if (!call || !call.header) return;
    this._sent.shift();
    clearTimeout(call.timer);
    const bytes = new Uint8Array(data);
    if (bytes.length !== call.header.Length) {
      call.reject(malformed(`The service announced ${call.header.Length} bytes and sent ${bytes.length}`));
    } else {
      call.resolve({ size: call.header.Size, bytes });
    }
    this._pump();
  }

  // 1009 answers the oldest call still waiting for an answer; it never ends
  // a scan that the service took. Any other error ends our scan when one
  // runs, else it answers the oldest call, else it ended a scan of a page
  // before us.
  _error(error, message) {
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
      if (!call || call === this._scan) {
        if (!this._firstTime(message)) return;
      }
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
      this._queue.push(Object.assign(call, { resolve, reject }));
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
      if (call.oneWay) {
        this._socket.send(call.command);
        call.resolve();
      } else if (call.reply !== null) {
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
        this._seen.clear();
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

  // The service's version and extensions, or null from one that does not say.
  version() {
    return this._call({
      command: "CVER",
      reply: "SVER",
      timeoutMs: OPTIONAL_TIMEOUT_MS,
      onTimeout: () => null,
      decode: (message) => {
        const data = base64ToJson(dataOf(message));
        return {
          version: String(data.Version ?? ""),
          extensions: Array.isArray(data.Extensions) ? data.Extensions.map(String) : [],
        };
      },
    });
  }

  // Whether the service offers `word`; asked once per connection.
  async _offers(word) {
    if (!this._features) {
      this._features = this.version().then((answer) => (answer ? answer.extensions : []), () => {
        this._features = null;
        return [];
      });
    }
    return (await this._features).includes(word);
  }

  status() {
    return this._call({ command: "CSTATUS", reply: "SSTATUS", timeoutMs: OPTIONAL_TIMEOUT_MS, onTimeout: () => null, decode: statusOf });
  }

  // True when a job was running and is being stopped, false when none was,
  // null from a service that cannot stop one.
  cancel() {
    return this._call({
      command: "CCANCEL",
      reply: "SCANCEL",
      timeoutMs: OPTIONAL_TIMEOUT_MS,
      onTimeout: () => null,
      decode: (message) => dataOf(message) === "1",
    });
  }

  // Asks for every message of the running or just-ended job again; they come
  // as "page", "progress" and "scanend" events, each only once.
  replay() {
    return this._call({ command: "CREPLAY", oneWay: true });
  }

  async readFile(path, { onProgress } = {}) {
    refuseBar("path", path);
    if (!(await this._offers("read"))) return this._readBase64(path);
    const notRead = (why) => new VelloScanError(2007, `could not read ${path}: ${why}`);
    const first = await this._readChunk(path, 0, CHUNK_BYTES);
    const total = first.size;
    if (first.bytes.length >= total) return first.bytes.subarray(0, total);
    // One buffer for the whole file, filled piece by piece.
    const bytes = new Uint8Array(total);
    bytes.set(first.bytes);
    let done = first.bytes.length;
    while (done < total) {
      if (onProgress) safely(onProgress, { loaded: done, total });
      const piece = await this._readChunk(path, done, Math.min(CHUNK_BYTES, total - done));
      if (piece.bytes.length === 0) throw notRead("it became shorter while it was read");
      bytes.set(piece.bytes.subarray(0, total - done), done);
      done += piece.bytes.length;
    }
    if (onProgress) safely(onProgress, { loaded: total, total });
    return bytes;
  }

  _readChunk(path, offset, length) {
    return this._call({
      command: `CREAD|${path}|${offset}|${length}`,
      reply: ["SREAD", "SBASE64"],
      path,
      offset,
      // Only a refusal comes as "SBASE64".
      decode: () => {
        throw new VelloScanError(2007, `could not read ${path}`);
      },
    });
  }

  _readBase64(path) {
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

  async scan(device, settings = {}, { onPage, onProgress, signal, continueDocument = false } = {}) {
    refuseBar("device", device);
    const job = { ...settings };
    // Keys for this job only; a service that does not know them ignores them.
    if (onProgress) job.Progress = "1";
    if (continueDocument) job.ContinueDocument = "1";
    const call = { command: `CSCAN|${device}|${settingsJson(job)}`, reply: null, onPage, onProgress, pages: [] };
    const cancelled = () => new VelloScanError(2, CANCELLED_TEXT);
    if (signal?.aborted) throw cancelled();
    const abort = () => {
      const queued = this._queue.indexOf(call);
      if (queued >= 0) {
        this._queue.splice(queued, 1);
        call.reject(cancelled());
      } else if (this._scan === call) {
        // Until the service has taken the scan, a cancel could stop the job
        // of a page before us.
        if (this._sent.some((c) => c.probe && c.scan === call)) call.cancelWhenTaken = true;
        else this.cancel().catch(() => {});
      }
    };
    signal?.addEventListener("abort", abort);
    try {
      return await this._call(call);
    } catch (error) {
      const document = settings.fileType === undefined || DOCUMENT_TYPES.includes(settings.fileType);
      if (error instanceof VelloScanError && error.code < 1000 && document && this._ready) {
        error.kept = await this._keptPages();
      }
      throw error;
    } finally {
      signal?.removeEventListener("abort", abort);
    }
  }

  async _keptPages() {
    try {
      if (!(await this._offers("status"))) return 0;
      const status = await this.status();
      return status ? status.keptPages : 0;
    } catch {
      return 0;
    }
  }

  close() {
    this._closed = true;
    clearTimeout(this._retryTimer);
    if (this._socket) this._socket.close();
  }

  _dropped() {
    this._ready = false;
    this._features = null;
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
        // What the job sent while the page was away, before any call's answer.
        this.replay().catch(() => {});
        this._emit("reconnect", this);
      }, () => {
        if (!this._closed) this._retry();
      });
    }, wait);
  }
}
