// The reference page: a scanning page for people who scan all day. All it
// does with the service goes through velloscan.js.
import { connect, DEFAULT_URL, shortName } from "./velloscan.js";
import { buildForm } from "./form.js";
import { applyTexts, errorSentence, LANG, t } from "./i18n.js";
import * as store from "./store.js";
import { canPicture, largeView, thumbnail, tiffPageCount } from "./thumbs.js";

const url = new URLSearchParams(location.search).get("url") || DEFAULT_URL;

const $ = (id) => document.getElementById(id);

let client = null;
let device = null;
let options = null;
let form = null;
let scanning = false;
let closeViewer = null;
// Two thumbnails are made at a time, one page read while the other is
// decoded; a page is read only when its turn comes, so that no more than two
// are ever held whole however far the scanner runs ahead.
const THUMB_WORKERS = 2;
let thumbsRunning = 0;
const thumbQueue = [];
let generation = 0;

function element(tag, { dataset = {}, ...properties } = {}, ...children) {
  const node = Object.assign(document.createElement(tag), properties);
  Object.assign(node.dataset, dataset);
  node.append(...children);
  return node;
}

const fileName = (path) => path.slice(path.lastIndexOf("/") + 1);

function setState(state, text) {
  $("state").dataset.state = state;
  $("state").textContent = text;
  updateButtons();
}

function updateButtons() {
  const online = $("state").dataset.state === "online";
  $("refresh").disabled = !online || scanning;
  $("device").disabled = !online || scanning;
  $("scan").disabled = !online || scanning || !device || !form;
  $("presets").disabled = !device || !form;
}

function showError(error) {
  $("error").hidden = false;
  $("error").dataset.code = error.code ?? "";
  $("error").textContent = error.code === undefined ? error.message : errorSentence(error.code);
  $("error").title = error.code === undefined ? "" : `${error.code}: ${error.message}`;
}

function clearError() {
  $("error").hidden = true;
  $("error").textContent = "";
}

// ---- scanners

async function showDevices(names) {
  const select = $("device");
  $("no-devices").hidden = names.length > 0;
  let records = names.map((name) => ({ name, vendor: "", model: shortName(name) }));
  select.replaceChildren(...records.map((r) => element("option", { value: r.name, textContent: r.model, title: r.name })));
  const wanted = names.includes(device) ? device : names.includes(store.lastDevice()) ? store.lastDevice() : names[0] || null;
  select.value = wanted || "";
  if (wanted !== device || !form) selectDevice(wanted);
  if (!names.length || scanning) return;
  try {
    records = await client.deviceInfo();
  } catch {
    return; // The connection dropped; the next greeting lists them again.
  }
  for (const record of records) {
    const item = [...select.options].find((o) => o.value === record.name);
    if (item) item.textContent = [record.vendor, record.model].filter(Boolean).join(" ");
  }
}

async function selectDevice(name) {
  clearError();
  device = name;
  options = null;
  form = null;
  $("common-options").replaceChildren();
  $("more-options").replaceChildren();
  $("more").hidden = true;
  $("options-hint").hidden = false;
  $("options-hint").textContent = t(name ? "readingOptions" : "chooseScanner");
  updateButtons();
  if (!name) return;
  store.rememberDevice(name);
  try {
    const answer = await client.getOptions(name);
    if (device !== name) return;
    options = answer.options;
    showForm();
  } catch (error) {
    if (device !== name) return;
    $("options-hint").textContent = t("optionsFailed");
    showError(error);
  }
}

function showForm() {
  const name = device;
  form = buildForm(options, store.loadChoices(name), (choices) => store.saveChoices(name, choices));
  $("common-options").replaceChildren(...form.common);
  $("more-options").replaceChildren(...form.more);
  $("more").hidden = form.more.length === 0;
  $("options-hint").hidden = true;
  showPresets();
  updateButtons();
}

// ---- presets

function showPresets(chosen = "") {
  const presets = device ? store.loadPresets(device) : {};
  $("preset").replaceChildren(element("option", { value: "", textContent: t("noPreset") }),
    ...Object.keys(presets).sort().map((name) => element("option", { value: name, textContent: name })));
  $("preset").value = chosen;
  $("delete-preset").disabled = !chosen;
}

function savePreset() {
  const name = $("preset-name").value.trim();
  if (!name || !form) return;
  store.savePreset(device, name, { choices: form.choices, files: fileSettings() });
  $("preset-name").value = "";
  showPresets(name);
}

function choosePreset() {
  const name = $("preset").value;
  $("delete-preset").disabled = !name;
  const preset = store.loadPresets(device)[name];
  if (!preset) return;
  store.saveChoices(device, preset.choices || {});
  showFiles({ ...fileSettings(), ...(preset.files || {}) });
  saveFiles();
  showForm();
  $("preset").value = name;
  $("delete-preset").disabled = false;
}

function deletePreset() {
  store.deletePreset(device, $("preset").value);
  showPresets();
}

// ---- files

function fileSettings() {
  const fields = $("files").elements;
  return {
    fileType: fields.fileType.value,
    filePath: fields.filePath.value.trim(),
    filePrefix: fields.filePrefix.value.trim(),
    showBase64: fields.showBase64.checked,
  };
}

function showFiles(files) {
  const fields = $("files").elements;
  if ([...fields.fileType.options].some((o) => o.value === files.fileType)) fields.fileType.value = files.fileType;
  if (typeof files.filePath === "string") fields.filePath.value = files.filePath;
  if (typeof files.filePrefix === "string") fields.filePrefix.value = files.filePrefix;
  fields.showBase64.checked = files.showBase64 === true;
}

const saveFiles = () => store.saveFiles(fileSettings());

// ---- pages

function clearPages() {
  generation++;
  closeViewer?.();
  $("pages").replaceChildren();
  $("document").hidden = true;
  $("document").replaceChildren();
  $("pages-hint").hidden = false;
}

function setCounter(count, running, counted = true) {
  const pages = count === 1 ? t("count1") : t("count", { n: count });
  if (!counted) $("counter").textContent = running ? t("scanning") : t("done");
  else $("counter").textContent = running ? t("scanningCount", { n: count }) : pages;
}

// The large view, read from the service again: pages are not kept whole.
async function openViewer(format, path, bytes) {
  closeViewer?.();
  const view = await largeView(format, bytes || await client.readFile(path));
  const dialog = $("viewer");
  $("viewer-title").textContent = fileName(path);
  $("viewer-download").href = view.download;
  $("viewer-download").download = fileName(path);
  $("viewer-body").replaceChildren(view.shown
    ? element("img", { src: view.shown, alt: fileName(path) })
    : element("p", { className: "placeholder", textContent: format.toUpperCase() }));
  closeViewer = () => {
    closeViewer = null;
    view.revoke();
    $("viewer-body").replaceChildren();
    $("viewer-download").removeAttribute("href");
    if (dialog.open) dialog.close();
  };
  dialog.showModal();
}

function placeholder(format) {
  return element("span", { className: "tile" },
    element("span", { className: "format", textContent: format.toUpperCase() }),
    element("span", { className: "path", textContent: t("noPicture") }));
}

// A tile for one page file, its picture made when it is its turn.
function addTile(list, { format, path, bytes, label, tiffPage }) {
  $("pages-hint").hidden = true;
  const tile = placeholder(format);
  const button = element("button", { type: "button", className: "open", title: path }, tile);
  button.addEventListener("click", () => openViewer(format, path).catch(showError));
  const item = element("li", { className: "page", dataset: { format, path } },
    element("figure", {}, button, element("figcaption", { title: path }, element("b", { textContent: label }), ` ${fileName(path)}`)));
  list.append(item);
  if (!canPicture(format)) {
    item.dataset.thumb = "none";
    return;
  }
  const mine = generation;
  thumbQueue.push(async () => {
    if (mine !== generation) return;
    try {
      const canvas = await thumbnail(format, bytes || await client.readFile(path), label, tiffPage);
      if (mine !== generation) return;
      tile.replaceWith(canvas);
      item.dataset.thumb = "made";
    } catch (error) {
      item.dataset.thumb = "none";
      if (error.code !== undefined) showError(error);
    }
  });
  pumpThumbs();
}

function pumpThumbs() {
  while (thumbsRunning < THUMB_WORKERS && thumbQueue.length) {
    thumbsRunning++;
    thumbQueue.shift()().finally(() => {
      thumbsRunning--;
      pumpThumbs();
    });
  }
}

function addPage(page) {
  const number = $("pages").children.length + 1;
  addTile($("pages"), { ...page, label: t("page", { n: number }) });
}

async function showDocument(document) {
  const box = $("document");
  box.hidden = false;
  $("pages-hint").hidden = true;
  const link = element("button", { id: "document-link", type: "button", className: "link",
    textContent: document.type === "pdf" ? t("openPdf") : t("download") });
  link.addEventListener("click", () => openViewer(document.type, document.path).catch(showError));
  box.replaceChildren(link, element("span", { className: "path", textContent: ` ${document.path}` }));
  if (document.type !== "tiff") return;
  // A TIFF of all pages: a thumbnail of each, from one reading of the file.
  try {
    const bytes = await client.readFile(document.path);
    const count = tiffPageCount(bytes);
    for (let i = 0; i < count; i++) {
      addTile($("pages"), { format: "tiff", path: document.path, bytes, tiffPage: i, label: t("page", { n: i + 1 }) });
    }
  } catch (error) {
    showError(error);
  }
}

async function scan() {
  if (!device || !form || scanning) return;
  clearError();
  clearPages();
  scanning = true;
  updateButtons();
  $("scan").textContent = t("scanning");
  const files = fileSettings();
  // An empty folder would mean the scratch folder, which the service empties.
  if (!files.filePath) {
    $("file-path").value = files.filePath = defaultFolder();
    saveFiles();
  }
  const counted = !["mulpdf", "multiff"].includes(files.fileType);
  let count = 0;
  setCounter(count, true, counted);
  try {
    const result = await client.scan(device, { ...files, ...form.settings() }, {
      onPage: (page) => {
        setCounter(++count, true);
        addPage(page);
      },
    });
    setCounter(count, false, counted);
    if (result.document) await showDocument(result.document);
  } catch (error) {
    if (counted) setCounter(count, false);
    else $("counter").textContent = "";
    showError(error);
  } finally {
    scanning = false;
    $("scan").textContent = t("scan");
    updateButtons();
  }
}

// ---- connection

const defaultFolder = () => `${client.home}/scans`;

function online() {
  $("offline-help").hidden = true;
  setState("online", `${t("online")} · ${url}`);
  // Never the scratch folder, which the service empties at every start.
  if (!$("file-path").value) {
    $("file-path").value = defaultFolder();
    saveFiles();
  }
}

function offline(error) {
  const help = $("offline-help");
  const causes = error.causes || [];
  help.hidden = false;
  help.dataset.causes = causes.join(" ");
  help.replaceChildren(...(causes.length
    ? causes.map((cause) => element("span", { textContent: t(`cause.${cause}`) }))
    : [element("span", { textContent: error.code === undefined ? error.message : errorSentence(error.code) })]),
  element("span", { className: "subtle", textContent: t("retrying") }));
  if (error.reason) help.title = error.reason;
  setState("offline", t("offline"));
}

async function start() {
  applyTexts();
  document.title = t("title");
  showFiles({ fileType: "jpg", ...store.loadFiles() });
  $("refresh").addEventListener("click", () => client.listDevices().catch(showError));
  $("device").addEventListener("change", () => selectDevice($("device").value));
  $("scan").addEventListener("click", scan);
  $("files").addEventListener("change", saveFiles);
  $("save-preset").addEventListener("click", savePreset);
  $("preset").addEventListener("change", choosePreset);
  $("delete-preset").addEventListener("click", deletePreset);
  $("viewer-close").addEventListener("click", () => closeViewer?.());
  $("viewer").addEventListener("close", () => closeViewer?.());
  setState("connecting", t("connecting"));
  // The service may start after the page; try until it answers.
  for (let delay = 1000; !client; delay = Math.min(delay * 2, 15000)) {
    try {
      client = await connect(url, { reconnect: true });
    } catch (error) {
      offline(error);
      await new Promise((resolve) => setTimeout(resolve, delay));
    }
  }
  client.on("devices", showDevices);
  client.on("close", ({ reconnecting }) => {
    setState(reconnecting ? "connecting" : "offline", reconnecting ? t("reconnecting") : t("offline"));
    if (!reconnecting) return;
    // Until it is back, say how to bring it back.
    $("offline-help").hidden = false;
    $("offline-help").replaceChildren(element("span", { textContent: t("cause.no-service") }));
  });
  client.on("reconnect", online);
  // Pages of a scan that this page started before it was reloaded.
  client.on("page", (page) => {
    addPage(page);
    setCounter($("pages").children.length, true);
  });
  client.on("scanend", ({ document, error }) => {
    setCounter($("pages").children.length, false);
    if (document) showDocument(document);
    if (error) showError(error);
  });
  online();
  showDevices(client.devices);
}

document.documentElement.dataset.lang = LANG;
start();
