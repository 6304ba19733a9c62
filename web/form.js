// The scanner's settings as a form: the common controls first, every other
// active option under "More options", inactive ones left out. Controls keep
// SANE's values as their values; numbers stay inside the option's range and
// on its step, so nothing is typed that the scanner would change.
import { optionLabel, t, unitLabel, valueLabel } from "./i18n.js";

export const COMMON = ["source", "mode", "resolution", "paper-size"];

// Named page areas in millimetres, offered where the scanner's ranges reach them.
const AREAS = { A4: [210, 297], A5: [148, 210], Letter: [215.9, 279.4], Legal: [215.9, 355.6] };
// The synthetic page-area control's key among the remembered choices.
export const AREA = "@area";

function element(tag, properties = {}, ...children) {
  const node = Object.assign(document.createElement(tag), properties);
  node.append(...children);
  return node;
}

const choicesOf = (option) => (option.constType === 3 ? option.list : option.constType === 2 ? option.wordlists : null);

function rangeOf(option) {
  if (option.constType !== 1) return null;
  const min = Number(option.range.min);
  const max = Number(option.range.max);
  const quant = Number(option.range.quant) || 0;
  return Number.isFinite(min) && Number.isFinite(max) ? { min, max, quant } : null;
}

// A number as the scanner would keep it: inside the range, on its step.
export function bounded(option, text) {
  let value = Number(text);
  const range = rangeOf(option);
  if (!Number.isFinite(value) || !range) return Number.isFinite(value) ? String(value) : option.current;
  value = Math.min(Math.max(value, range.min), range.max);
  if (range.quant > 0) value = Math.min(range.min + Math.round((value - range.min) / range.quant) * range.quant, range.max);
  // Fixed-point steps leave binary noise behind.
  return String(Number(value.toFixed(option.type === 2 ? 4 : 0)));
}

// Whether `value` is one the control can hold.
function acceptable(option, value) {
  const choices = choicesOf(option);
  if (choices) return choices.includes(value);
  if (option.type === 0) return value === "1" || value === "0";
  if (option.type === 1 || option.type === 2) return bounded(option, value) === String(Number(value));
  return typeof value === "string";
}

function numberInput(option, common) {
  const input = element("input", { ...common, type: "number", inputMode: "decimal" });
  const range = rangeOf(option);
  input.step = option.type === 2 ? "any" : "1";
  if (range) {
    input.min = String(range.min);
    input.max = String(range.max);
    if (range.quant > 0) input.step = String(range.quant);
  }
  // Past the maximum is corrected at once; below the minimum and off the step
  // once the person leaves the field, so that "15" can be typed past "1".
  input.addEventListener("input", () => {
    if (range && input.value !== "" && Number(input.value) > range.max) input.value = String(range.max);
  });
  input.addEventListener("change", () => {
    input.value = bounded(option, input.value === "" ? option.current : input.value);
  });
  return input;
}

function control(option, value) {
  const common = { id: `option-${option.name}`, name: option.name };
  let node;
  const choices = choicesOf(option);
  if (option.type === 0) {
    node = element("input", { ...common, type: "checkbox", checked: value === "1" });
  } else if (choices) {
    node = element("select", common, ...choices.map((c) => element("option", { value: c, textContent: valueLabel(c) })));
    node.value = value;
  } else if (option.type === 1 || option.type === 2) {
    node = numberInput(option, common);
    node.value = value;
  } else {
    node = element("input", { ...common, type: "text", value });
  }
  node.dataset.option = option.name;
  return node;
}

function row(labelText, node, unit = "") {
  return element("div", { className: "field" },
    element("label", { htmlFor: node.id, textContent: labelText }),
    node,
    element("span", { className: "unit", textContent: unitLabel(unit) }));
}

export const valueOf = (node) => (node.type === "checkbox" ? (node.checked ? "1" : "0") : node.value);

// Named sizes for scanners without a "paper-size" list of their own: the
// corners or the page size are set from them.
function areaControl(byName, chosen) {
  if (byName.has("paper-size")) return null;
  const pairs = [["br-x", "br-y"], ["page-width", "page-height"]].filter(([w, h]) => rangeOf(byName.get(w) || {}) && rangeOf(byName.get(h) || {}));
  if (!pairs.length) return null;
  const fits = Object.keys(AREAS).filter((name) => pairs.every(([w, h]) =>
    rangeOf(byName.get(w)).max >= AREAS[name][0] && rangeOf(byName.get(h)).max >= AREAS[name][1]));
  if (!fits.length) return null;
  const select = element("select", { id: "page-area", name: AREA },
    element("option", { value: "", textContent: t("area.custom") }),
    ...fits.map((name) => element("option", { value: name, textContent: name })));
  select.value = fits.includes(chosen) ? chosen : "";
  select.dataset.area = "";
  return { select, pairs };
}

/**
 * The form for `options` with the remembered `choices` (option name to
 * value) applied where they still fit. `changed(choices)` hears every change.
 */
export function buildForm(options, choices, changed) {
  const shown = options.filter((o) => o.type < 4 && o.isActive && o.isSettable !== false);
  const byName = new Map(shown.map((o) => [o.name, o]));
  const rank = (o) => (COMMON.includes(o.name) ? COMMON.indexOf(o.name) : COMMON.length);
  shown.sort((a, b) => rank(a) - rank(b) || optionLabel(a.name).localeCompare(optionLabel(b.name)));
  const kept = {};
  const common = [];
  const more = [];
  for (const option of shown) {
    const remembered = choices[option.name];
    const value = remembered !== undefined && acceptable(option, remembered) ? remembered : option.current;
    if (value !== option.current) kept[option.name] = value;
    const node = control(option, value);
    (COMMON.includes(option.name) ? common : more).push(row(optionLabel(option.name), node, option.unit));
  }
  const area = areaControl(byName, choices[AREA]);
  if (area) {
    common.push(row(t("pageArea"), area.select));
    if (area.select.value) kept[AREA] = area.select.value;
  }
  const form = { common, more, choices: kept };
  const onChange = (event) => {
    const node = event.target;
    const name = node.name;
    const option = byName.get(name);
    const value = valueOf(node);
    if (name === AREA ? value === "" : value === option.current) delete form.choices[name];
    else form.choices[name] = value;
    changed({ ...form.choices });
  };
  for (const node of [...common, ...more]) node.addEventListener("change", onChange);
  form.settings = () => scanSettings(form.choices, byName, area);
  return form;
}

// What a scan sends: every remembered choice of an option the scanner shows,
// the named page area spelled out in the scanner's own options.
function scanSettings(choices, byName, area) {
  const settings = {};
  for (const [name, value] of Object.entries(choices)) if (byName.has(name)) settings[name] = value;
  const size = area && AREAS[choices[AREA]];
  if (size) {
    for (const [w, h] of area.pairs) {
      settings[w] = bounded(byName.get(w), size[0]);
      settings[h] = bounded(byName.get(h), size[1]);
      if (w === "br-x") {
        if (byName.has("tl-x")) settings["tl-x"] = bounded(byName.get("tl-x"), 0);
        if (byName.has("tl-y")) settings["tl-y"] = bounded(byName.get("tl-y"), 0);
      }
    }
  }
  return settings;
}
