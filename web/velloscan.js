// velloscan client: the service's WebSocket protocol as promises and events.
// A plain ES module for browsers; no dependencies and no build step.

export const version = "0.1.0";

export const DEFAULT_URL = "ws://localhost:23165";

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

export class VelloScanError extends Error {
  constructor(code, message) {
    super(message);
    this.name = "VelloScanError";
    this.code = code;
  }
}

export function connect(url = DEFAULT_URL, { reconnect = false } = {}) {
  const client = new Client(url, reconnect);
  return client._open().then(() => client);
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

function devicesOf(message) {
  if (message.Code !== 2005 || !message.Data) return [];
  return base64ToJson(message.Data).Devs.map((d) => d.Name).filter((name) => name !== "");
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
function pageOf(message) {
  const bar = message.Data.indexOf("|");
  const format = message.Data.slice(0, bar);
  const rest = message.Data.slice(bar + 1);
  if (message.DataType !== "base64") return { format, path: rest, bytes: undefined };
  const inner = base64ToJson(rest);
  return { format, path: inner.ImagePath, bytes: base64ToBytes(inner.Base64Data) };
}

function documentOf(message) {
  if (message.Cmd !== "SSCANMUL") return null;
  const bar = message.Data.indexOf("|");
  return { type: message.Data.slice(0, bar), path: message.Data.slice(bar + 1) };
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
  // or 1010 when the connection fails or closes first.
  _open() {
    return new Promise((resolve, reject) => {
      let greeted = false;
      let refusal = null;
      const socket = new WebSocket(this.url);
      this._socket = socket;
      socket.onmessage = (event) => {
        let message;
        try {
          message = JSON.parse(event.data);
        } catch {
          return;
        }
        if (greeted) return this._receive(message);
        if (message.Cmd === "HOME") {
          this.home = message.Data;
        } else if (message.Cmd === "SDEV" || message.Code === 1003) {
          greeted = true;
          this._ready = true;
          this._setDevices(devicesOf(message));
          resolve();
        } else if (message.Code === 1009 || message.Code === 1011) {
          refusal = new VelloScanError(message.Code, message.Msg);
        }
      };
      socket.onclose = () => {
        if (this._socket === socket) this._socket = null;
        if (!greeted) return reject(refusal || new VelloScanError(1010, DISCONNECTED_TEXT));
        this._dropped();
      };
    });
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
        return this._error(new VelloScanError(message.Code, message.Msg));
      default:
        return this._reply(message);
    }
  }

  _reply(message) {
    const call = this._sent[0];
    if (!call || call.reply !== message.Cmd) return;
    this._sent.shift();
    // A probe's answer says no 1009 came before it: the service took the scan.
    if (!call.probe) {
      if (message.Cmd === "SDEV") this._setDevices(devicesOf(message));
      try {
        call.resolve(call.decode(message));
      } catch (e) {
        call.reject(e);
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
        call.reject(error);
      }
    } else {
      // Only listing and options can fail; "CBASE64" is always answered.
      const head = this._sent[0];
      const call = this._scan || (head && (head.reply === "SDEV" || head.reply === "SOPT") ? this._sent.shift() : null);
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

  // One call at a time, except while our scan runs: then calls go at once,
  // and the service answers all but "CBASE64" with 1009 at once.
  _pump() {
    while (this._queue.length && this._ready && (this._scan || this._sent.length === 0)) {
      const call = this._queue.shift();
      if (call.reply !== null) {
        this._sent.push(call);
        this._socket.send(call.command);
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
    return this._call({ command: "CDEV", reply: "SDEV", decode: devicesOf });
  }

  async getOptions(device) {
    refuseBar("device", device);
    return this._call({
      command: `COPT|${device}`,
      reply: "SOPT",
      decode: (message) => {
        const [values, descriptions] = message.Data.split("|").map(base64ToJson);
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
        const bytes = base64ToBytes(message.Data);
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
    for (const call of pending) call.reject(error);
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
