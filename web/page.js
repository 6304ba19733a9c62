// The reference page: everything it does goes through velloscan.js.
import { connect, DEFAULT_URL } from "./velloscan.js";

const url = new URLSearchParams(location.search).get("url") || DEFAULT_URL;

// The options document has no order; these come first, in this order.
const WELL_KNOWN = ["source", "mode", "resolution", "paper-size",
  "page-width", "page-height", "tl-x", "tl-y", "br-x", "br-y"];

const MIME = { jpg: "image/jpeg", png: "image/png", pdf: "application/pdf", tiff: "image/tiff" };

const $ = (id) => document.getElementById(id);

let client = null;
let device = null;
let options = [];
let scanning = false;
let blobUrls = [];

function element(tag, { dataset = {}, ...properties } = {}, ...children) {
  const node = Object.assign(document.createElement(tag), properties);
  Object.assign(node.dataset, dataset);
  node.append(...children);
  return node;
}

function setState(state, text) {
  $("state").dataset.state = state;
  $("state").textContent = text;
  updateButtons();
}

function updateButtons() {
  const online = $("state").dataset.state === "online";
  $("refresh").disabled = !online;
  $("scan").disabled = !online || scanning || !device;
}

function showError(error) {
  $("error").hidden = false;
  $("error").textContent = error.code === undefined
    ? `Error: ${error.message}`
    : `Error ${error.code}: ${error.message}`;
}

function clearError() {
  $("error").hidden = true;
  $("error").textContent = "";
}

function blobUrl(bytes, format) {
  const href = URL.createObjectURL(new Blob([bytes], { type: MIME[format] || "application/octet-stream" }));
  blobUrls.push(href);
  return href;
}

// ---- devices

function showDevices(devices) {
  const list = $("devices");
  list.replaceChildren(...devices.map((name) => {
    const radio = element("input", { type: "radio", name: "device", value: name, checked: name === device });
    radio.addEventListener("change", () => selectDevice(name));
    return element("li", {}, element("label", {}, radio, element("span", { textContent: name })));
  }));
  $("no-devices").hidden = devices.length > 0;
  if (!devices.includes(device)) selectDevice(devices[0] || null);
}

async function selectDevice(name) {
  clearError();
  device = name;
  for (const radio of document.querySelectorAll('input[name="device"]')) radio.checked = radio.value === name;
  updateButtons();
  $("options-device").textContent = name || "";
  options = [];
  $("options").replaceChildren();
  $("options-hint").hidden = false;
  $("options-hint").textContent = name ? "Reading the options…" : "Choose a scanner to see its options.";
  if (!name) return;
  try {
    const answer = await client.getOptions(name);
    if (device !== name) return;
    options = answer.options.filter((o) => o.type < 4).sort(byImportance);
    $("options").replaceChildren(...optionRows(options));
    $("options-hint").hidden = options.length > 0;
    $("options-hint").textContent = "This scanner has no options to set.";
  } catch (error) {
    if (device !== name) return;
    $("options-hint").textContent = "The options could not be read.";
    showError(error);
  }
}

async function refresh() {
  clearError();
  try {
    await client.listDevices();
  } catch (error) {
    showError(error);
  }
}

// ---- options form

function byImportance(a, b) {
  const rank = (o) => (WELL_KNOWN.includes(o.name) ? WELL_KNOWN.indexOf(o.name) : WELL_KNOWN.length);
  return rank(a) - rank(b) || a.name.localeCompare(b.name);
}

function optionControl(option) {
  const common = { id: `option-${option.name}`, disabled: !option.isActive || !option.isSettable };
  if (option.type === 0) return element("input", { ...common, type: "checkbox", checked: option.current === "1" });
  const choices = option.constType === 3 ? option.list : option.constType === 2 ? option.wordlists : null;
  if (choices) {
    const select = element("select", common,
      ...choices.map((c) => element("option", { value: c, textContent: c })));
    select.value = option.current;
    return select;
  }
  if (option.type === 3) return element("input", { ...common, type: "text", value: option.current });
  const input = element("input", { ...common, type: "number", value: option.current, step: "any" });
  if (option.constType === 1) {
    input.min = option.range.min;
    input.max = option.range.max;
    if (option.range.quant !== "" && Number(option.range.quant) !== 0) input.step = option.range.quant;
  }
  return input;
}

function optionRow(option) {
  const control = optionControl(option);
  control.dataset.option = option.name;
  if (control.disabled) control.title = "Not available with the scanner's current settings";
  return [
    element("label", { htmlFor: control.id, textContent: option.name }),
    control,
    element("span", { className: "unit", textContent: option.unit }),
  ];
}

function optionRows(list) {
  const rows = list.flatMap(optionRow);
  const firstOther = list.findIndex((o) => !WELL_KNOWN.includes(o.name));
  if (firstOther > 0) rows.splice(firstOther * 3, 0, element("p", { className: "divider", textContent: "More options" }));
  return rows;
}

// Only what the user changed: the scanner starts each job from its own values.
function changedOptions() {
  const changed = {};
  for (const option of options) {
    const control = document.querySelector(`[data-option="${CSS.escape(option.name)}"]`);
    if (!control || control.disabled) continue;
    if (control.type === "checkbox") {
      if (control.checked !== (option.current === "1")) changed[option.name] = control.checked;
    } else if (control.value !== option.current && control.value !== "") {
      changed[option.name] = control.value;
    }
  }
  return changed;
}

// ---- scanning

function fileSettings() {
  const form = $("files").elements;
  return {
    fileType: form.fileType.value,
    filePath: form.filePath.value.trim(),
    filePrefix: form.filePrefix.value.trim(),
    showBase64: form.showBase64.checked,
  };
}

function clearPages() {
  for (const href of blobUrls) URL.revokeObjectURL(href);
  blobUrls = [];
  $("pages").replaceChildren();
  $("document").hidden = true;
  $("document").replaceChildren();
  $("pages-hint").hidden = false;
}

function fileName(path) {
  return path.slice(path.lastIndexOf("/") + 1);
}

// The tile is placed at once so pages stay in order; its picture follows
// when the bytes are there.
function addPage(page) {
  $("pages-hint").hidden = true;
  const number = $("pages").children.length + 1;
  const caption = element("figcaption", { title: page.path },
    element("b", { textContent: `${number}` }), ` ${fileName(page.path)}`);
  const tile = element("div", { className: "tile" },
    element("span", { className: "format", textContent: page.format.toUpperCase() }),
    element("span", { className: "path", textContent: page.path }));
  const figure = element("figure", {}, tile, caption);
  $("pages").append(element("li", { className: "page", dataset: { format: page.format } }, figure));
  if (!["jpg", "png", "pdf"].includes(page.format)) return;
  const bytes = page.bytes ? Promise.resolve(page.bytes) : client.readFile(page.path);
  bytes.then((data) => {
    const href = blobUrl(data, page.format);
    if (page.format === "pdf") {
      tile.replaceWith(element("a", { className: "tile", href, target: "_blank", rel: "noopener" },
        element("span", { className: "format", textContent: "PDF" }),
        element("span", { className: "path", textContent: "Open" })));
    } else {
      tile.replaceWith(element("img", { className: "thumb", src: href, alt: `Page ${number}` }));
    }
  }, showError);
}

// A job that makes one document reports no pages, so there is nothing to count.
function setCounter(count, running, counted = true) {
  const pages = `${count} ${count === 1 ? "page" : "pages"}`;
  if (!counted) $("counter").textContent = running ? "Scanning…" : "Done";
  else $("counter").textContent = running ? `Scanning… ${pages}` : pages;
}

async function showDocument(document) {
  const box = $("document");
  box.hidden = false;
  $("pages-hint").hidden = true;
  box.textContent = `Reading ${document.path}…`;
  try {
    const bytes = await client.readFile(document.path);
    const href = blobUrl(bytes, document.type);
    const label = document.type === "pdf" ? "Open the PDF" : "Download the TIFF";
    const link = element("a", { id: "document-link", href, target: "_blank", rel: "noopener", textContent: label });
    if (document.type !== "pdf") link.download = fileName(document.path);
    box.replaceChildren(link, element("span", { className: "path", textContent: ` ${document.path}` }));
  } catch (error) {
    box.textContent = document.path;
    showError(error);
  }
}

async function scan() {
  if (!device || scanning) return;
  clearError();
  clearPages();
  scanning = true;
  updateButtons();
  $("scan").textContent = "Scanning…";
  const files = fileSettings();
  const counted = !["mulpdf", "multiff"].includes(files.fileType);
  let count = 0;
  setCounter(count, true, counted);
  try {
    const result = await client.scan(device, { ...files, ...changedOptions() }, {
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
    $("scan").textContent = "Scan";
    updateButtons();
  }
}

// ---- connection

function online() {
  setState("online", `Connected to ${url} · home ${client.home}`);
}

async function start() {
  $("refresh").addEventListener("click", refresh);
  $("scan").addEventListener("click", scan);
  // The service may start after the page; try until it answers.
  for (let delay = 1000; !client; delay = Math.min(delay * 2, 15000)) {
    setState("connecting", `Connecting to ${url}…`);
    try {
      client = await connect(url, { reconnect: true });
    } catch (error) {
      setState("offline", error.code === 1010
        ? `No service at ${url}; trying again…`
        : `Refused by ${url} (${error.code}: ${error.message}); trying again…`);
      await new Promise((resolve) => setTimeout(resolve, delay));
    }
  }
  client.on("devices", showDevices);
  client.on("close", ({ reconnecting }) => setState(reconnecting ? "connecting" : "offline",
    reconnecting ? `Connection lost; reconnecting to ${url}…` : "Disconnected"));
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

start();
