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
// Our own scan's stop; null while none of ours runs.
let controller = null;
// A job this page started before it was reloaded or its connection dropped:
// shown and followed, with Scan disabled until it ends.
let watching = false;
let jobType = "";
let jobDevice = "";
// The TIFF in the service's work folder of the page PDF reported next.
let pdfPicture = null;
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
  $("continue").disabled = !online || scanning || !device || !form;
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
  // Kept pages continue only on their own scanner.
  hideKept();
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
  // The service answers 1009 while the job runs: read them once it has ended.
  if (watching) {
    $("options-hint").textContent = t("waitForJob");
    return;
  }
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
  else if (running) $("counter").textContent = count === 1 ? t("scanningCount1") : t("scanningCount", { n: count });
  else $("counter").textContent = pages;
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
// `picture`, when given, is the TIFF to make the thumbnail from.
function addTile(list, { format, path, bytes, label, tiffPage, picture }) {
  $("pages-hint").hidden = true;
  const tile = placeholder(format);
  const button = element("button", { type: "button", className: "open", title: path }, tile);
  button.addEventListener("click", () => openViewer(format, path).catch(showError));
  const item = element("li", { className: "page", dataset: { format, path } },
    element("figure", {}, button, element("figcaption", { title: path }, element("b", { textContent: label }), ` ${fileName(path)}`)));
  list.append(item);
  if (!picture && !canPicture(format)) {
    item.dataset.thumb = "none";
    return;
  }
  const mine = generation;
  thumbQueue.push(async () => {
    if (mine !== generation) return;
    try {
      const canvas = picture
        ? await thumbnail("tiff", await client.readFile(picture), label)
        : await thumbnail(format, bytes || await client.readFile(path), label, tiffPage);
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

const isDocument = (type) => type === "mulpdf" || type === "multiff";
const pageCount = () => $("pages").children.length;

function showProgress(progress) {
  $("progress").hidden = false;
  $("progress").dataset.sheet = progress.sheet;
  const bar = $("progress-bar");
  if (progress.done) bar.value = 1;
  else if (progress.total > 0) bar.value = Math.min(1, progress.bytes / progress.total);
  else bar.removeAttribute("value");
  const sheet = t("sheet", { n: progress.sheet });
  $("progress-text").textContent = watching ? `${shortName(jobDevice)} · ${sheet}` : sheet;
  // A document job reports no pages of its own: each page's TIFF in the
  // service's work folder stands in for it while the document grows.
  if (progress.done && progress.path && isDocument(jobType)) {
    addPage({ format: "tiff", path: progress.path });
    setCounter(pageCount(), true);
  } else if (progress.done && jobType === "pdf") {
    pdfPicture = progress.path ?? null;
  }
}

function showKept(count, code) {
  $("kept").hidden = false;
  $("kept").dataset.code = code ?? "";
  $("kept-text").textContent = count === 1 ? t("kept1") : t("kept", { n: count });
}

function hideKept() {
  $("kept").hidden = true;
}

function startJob() {
  scanning = true;
  $("scan").textContent = t("scanning");
  $("cancel").hidden = false;
  $("cancel").disabled = false;
  $("cancel").textContent = t("cancel");
  $("progress").hidden = false;
  delete $("progress").dataset.sheet;
  $("progress-bar").removeAttribute("value");
  $("progress-text").textContent = watching ? t("jobOn", { device: shortName(jobDevice) }) : "";
  updateButtons();
}

function endJob() {
  scanning = false;
  watching = false;
  $("scan").textContent = t("scan");
  $("cancel").hidden = true;
  $("progress").hidden = true;
  updateButtons();
}

function cancelJob() {
  $("cancel").disabled = true;
  $("cancel").textContent = t("cancelling");
  if (controller) controller.abort();
  else if (watching) client.cancel().catch(showError);
}

// The end of a failed job: the pages a document job kept, with Continue, or
// what went wrong.
function showFailure(error, kept) {
  if (pageCount() > 0) setCounter(pageCount(), false);
  else $("counter").textContent = "";
  if (kept > 0) showKept(kept, error.code);
  else showError(error);
}

function addPage(page) {
  const number = $("pages").children.length + 1;
  // A page PDF has no picture of its own; the TIFF it was made from has.
  const picture = page.format === "pdf" && /\.tiff?$/i.test(pdfPicture ?? "") ? pdfPicture : undefined;
  pdfPicture = null;
  addTile($("pages"), { ...page, picture, label: t("page", { n: number }) });
}

async function showDocument(document) {
  const box = $("document");
  box.hidden = false;
  $("pages-hint").hidden = true;
  const link = element("button", { id: "document-link", type: "button", className: "link",
    textContent: document.type === "pdf" ? t("openPdf") : t("download") });
  link.addEventListener("click", () => openViewer(document.type, document.path).catch(showError));
  box.replaceChildren(link, element("span", { className: "path", textContent: ` ${document.path}` }));
  // Pages shown while the job ran need no second picture.
  if (document.type !== "tiff" || pageCount() > 0) return;
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

async function scan(continuing = false) {
  if (!device || !form || scanning) return;
  clearError();
  hideKept();
  // A continued document keeps the pages shown before.
  if (!continuing) clearPages();
  const files = fileSettings();
  // An empty folder would mean the scratch folder, which the service empties.
  if (!files.filePath) {
    $("file-path").value = files.filePath = defaultFolder();
    saveFiles();
  }
  jobType = files.fileType;
  controller = new AbortController();
  startJob();
  // Services without progress report no pages of a document job until its end.
  const counted = () => !isDocument(jobType) || pageCount() > 0;
  setCounter(pageCount(), true, counted());
  try {
    const result = await client.scan(device, { ...files, ...form.settings() }, {
      onPage: (page) => {
        addPage(page);
        setCounter(pageCount(), true);
      },
      onProgress: showProgress,
      signal: controller.signal,
      continueDocument: continuing,
    });
    setCounter(pageCount(), false, counted());
    if (result.document) await showDocument(result.document);
  } catch (error) {
    showFailure(error, error.kept);
  } finally {
    controller = null;
    endJob();
  }
}

// Shows the job that runs on the service if this page started it before a
// reload or a dropped connection, and follows it to its end.
async function resumeJob(replay) {
  const status = await client.status().catch(() => null);
  if (!status || !status.scanning || scanning) return;
  clearError();
  hideKept();
  watching = true;
  jobType = status.fileType;
  jobDevice = status.device;
  if (client.devices.includes(status.device)) {
    device = status.device;
    $("device").value = device;
  }
  startJob();
  setCounter(status.pages, true, !isDocument(jobType) || status.pages > 0);
  // Its messages so far come again as events; each is shown once.
  if (replay) client.replay().catch(() => {});
}

async function jobEnded({ document, error }) {
  // The end of our own scan is its call's.
  if (controller) return;
  const kept = error && isDocument(jobType) ? (await client.status().catch(() => null))?.keptPages || 0 : 0;
  endJob();
  // The scanners' names and settings the job kept from being read; first,
  // as choosing a scanner clears what is shown.
  if (!form) showDevices(client.devices);
  if (error) showFailure(error, kept);
  else setCounter(pageCount(), false, !isDocument(jobType) || pageCount() > 0);
  if (document) showDocument(document);
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
  $("scan").addEventListener("click", () => scan());
  $("continue").addEventListener("click", () => scan(true));
  $("cancel").addEventListener("click", cancelJob);
  $("files").addEventListener("change", saveFiles);
  // ... and only into a document of their own type.
  $("file-type").addEventListener("change", hideKept);
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
  // The client asks for what was missed by itself after a reconnect.
  client.on("reconnect", () => {
    online();
    resumeJob(false);
  });
  // Pages of a scan that this page started before it was reloaded.
  client.on("page", (page) => {
    addPage(page);
    setCounter(pageCount(), true);
  });
  client.on("progress", showProgress);
  client.on("scanend", jobEnded);
  online();
  // Before the scanner's settings are asked for, which a running job refuses.
  await resumeJob(true);
  showDevices(client.devices);
}

document.documentElement.dataset.lang = LANG;
start();
