// What the person chose, kept in the browser across reloads: the choices per
// scanner, the file settings, and named presets per scanner.
const PREFIX = "velloscan.";

function read(key, fallback) {
  try {
    const value = JSON.parse(localStorage.getItem(PREFIX + key));
    return value && typeof value === "object" ? value : fallback;
  } catch {
    return fallback;
  }
}

function write(key, value) {
  try {
    localStorage.setItem(PREFIX + key, JSON.stringify(value));
  } catch {
    // Storage full or refused (private windows): the page works, forgetting.
  }
}

export const loadChoices = (device) => read(`choices.${device}`, {});
export const saveChoices = (device, choices) => write(`choices.${device}`, choices);

export const loadFiles = () => read("files", {});
export const saveFiles = (files) => write("files", files);

export const loadPresets = (device) => read(`presets.${device}`, {});

export function savePreset(device, name, preset) {
  write(`presets.${device}`, { ...loadPresets(device), [name]: preset });
}

export function deletePreset(device, name) {
  const presets = loadPresets(device);
  delete presets[name];
  write(`presets.${device}`, presets);
}

export const lastDevice = () => read("device", { name: null }).name;
export const rememberDevice = (name) => write("device", { name });
