// The reference page's words in English and Chinese, chosen by the
// browser's language. The error sentences come from velloscan.js.
import { describe } from "./velloscan.js";

export const LANG = (navigator.languages?.[0] || navigator.language || "en").toLowerCase().startsWith("zh") ? "zh" : "en";

const TEXTS = {
  en: {
    title: "Scan",
    connecting: "Connecting to the scanning service…",
    online: "Connected",
    reconnecting: "Connection lost; reconnecting…",
    offline: "Not connected",
    retrying: "Trying again in a moment.",
    "cause.local-network-access": "The browser may have kept this site from reaching the scanning service on this computer (local network access). Open the page over HTTPS and allow access when the browser asks, or ask your administrator to allow this site (velloscan-allow-site).",
    "cause.no-service": "The scanning service is not running. Start it with “systemctl --user start velloscan” or log in again.",
    refused: "The scanning service refused this page.",
    scanners: "Scanner",
    refresh: "Refresh",
    noScanners: "No scanner found. Connect one, switch it on and press Refresh.",
    chooseScanner: "Choose a scanner.",
    readingOptions: "Reading the scanner's settings…",
    optionsFailed: "The scanner's settings could not be read.",
    settings: "Settings",
    moreOptions: "More options",
    presets: "Presets",
    presetName: "Preset name",
    savePreset: "Save",
    deletePreset: "Delete",
    noPreset: "Choose a preset…",
    files: "Files",
    fileType: "Save as",
    folder: "Folder",
    prefix: "File name begins with",
    developer: "Developer",
    base64: "Send pages as Base64 in the reports",
    scan: "Scan",
    scanning: "Scanning…",
    pages: "Pages",
    pagesHint: "Scanned pages appear here.",
    count: "{n} pages",
    count1: "1 page",
    scanningCount: "Scanning… {n} pages",
    done: "Done",
    openPdf: "Open the PDF",
    download: "Download",
    close: "Close",
    page: "Page {n}",
    noPicture: "No picture",
    "pageArea": "Page size",
    "area.full": "Whole area",
    "area.custom": "As set",
    "type.jpg": "JPEG pictures",
    "type.png": "PNG pictures",
    "type.tiff": "TIFF pictures",
    "type.pnm": "PNM pictures",
    "type.pdf": "A PDF per page",
    "type.mulpdf": "One PDF of all pages",
    "type.multiff": "One TIFF of all pages",
  },
  zh: {
    title: "扫描",
    connecting: "正在连接扫描服务…",
    online: "已连接",
    reconnecting: "连接已断开，正在重新连接…",
    offline: "未连接",
    retrying: "稍后将重试。",
    "cause.local-network-access": "浏览器可能阻止了本网站访问本机的扫描服务（本地网络访问）。请通过 HTTPS 打开本页并在浏览器询问时允许访问，或请管理员允许本网站（velloscan-allow-site）。",
    "cause.no-service": "扫描服务未运行。请执行“systemctl --user start velloscan”或重新登录。",
    refused: "扫描服务拒绝了本页面。",
    scanners: "扫描仪",
    refresh: "刷新",
    noScanners: "未找到扫描仪。请连接并打开扫描仪，然后按“刷新”。",
    chooseScanner: "请选择扫描仪。",
    readingOptions: "正在读取扫描仪设置…",
    optionsFailed: "无法读取扫描仪设置。",
    settings: "设置",
    moreOptions: "更多选项",
    presets: "预设",
    presetName: "预设名称",
    savePreset: "保存",
    deletePreset: "删除",
    noPreset: "选择预设…",
    files: "文件",
    fileType: "保存为",
    folder: "文件夹",
    prefix: "文件名前缀",
    developer: "开发者",
    base64: "在报告中以 Base64 发送页面",
    scan: "扫描",
    scanning: "正在扫描…",
    pages: "页面",
    pagesHint: "扫描的页面将显示在这里。",
    count: "{n} 页",
    count1: "1 页",
    scanningCount: "正在扫描… {n} 页",
    done: "完成",
    openPdf: "打开 PDF",
    download: "下载",
    close: "关闭",
    page: "第 {n} 页",
    noPicture: "无预览",
    "pageArea": "纸张大小",
    "area.full": "整个区域",
    "area.custom": "按当前设置",
    "type.jpg": "JPEG 图片",
    "type.png": "PNG 图片",
    "type.tiff": "TIFF 图片",
    "type.pnm": "PNM 图片",
    "type.pdf": "每页一个 PDF",
    "type.mulpdf": "所有页面一个 PDF",
    "type.multiff": "所有页面一个 TIFF",
  },
};

// Readable names of well-known SANE options: [English, Chinese].
const OPTION_LABELS = {
  source: ["Paper source", "纸张来源"],
  mode: ["Colour mode", "颜色模式"],
  resolution: ["Resolution", "分辨率"],
  "paper-size": ["Page size", "纸张大小"],
  "page-width": ["Page width", "纸张宽度"],
  "page-height": ["Page height", "纸张高度"],
  "tl-x": ["Left edge", "左边距"],
  "tl-y": ["Top edge", "上边距"],
  "br-x": ["Right edge", "右边界"],
  "br-y": ["Bottom edge", "下边界"],
  "page-auto": ["Detect page size", "自动检测纸张大小"],
  cropping: ["Crop to the page", "裁切到页面"],
  bgcolor: ["Background", "背景颜色"],
  "bw-mode": ["Black and white method", "黑白处理方式"],
  threshold: ["Black and white threshold", "黑白阈值"],
  brightness: ["Brightness", "亮度"],
  contrast: ["Contrast", "对比度"],
  shadow: ["Shadow", "暗部"],
  highlight: ["Highlight", "亮部"],
  gamma: ["Gamma", "伽马"],
  dropoutcolor: ["Drop out colour", "滤除颜色"],
  "cleanup-sharpness": ["Sharpness", "锐度"],
  "multifeed-detection": ["Double feed detection", "重张检测"],
  prepick: ["Pre-pick", "预进纸"],
  "blank-page-skip": ["Skip blank pages", "跳过空白页"],
  "blank-page-skip-sensitivity": ["Blank page sensitivity", "空白页灵敏度"],
  jpeg: ["Scanner compresses (JPEG)", "扫描仪压缩（JPEG）"],
  "jpeg-quality": ["JPEG quality", "JPEG 质量"],
  autofeed: ["Feed automatically", "自动进纸"],
  imprinter: ["Imprinter", "打印器"],
  "time-scan": ["Timed scanning", "定时扫描"],
  "interval-time": ["Interval", "间隔时间"],
};

// Readable texts of well-known option values; the value itself stays the
// control's value.
const VALUE_LABELS = {
  Flatbed: ["Flatbed", "平板"],
  "ADF Front": ["Feeder, front side", "进纸器，正面"],
  "ADF Back": ["Feeder, back side", "进纸器，背面"],
  "ADF Duplex": ["Feeder, both sides", "进纸器，双面"],
  Lineart: ["Black and white", "黑白"],
  Gray: ["Grey", "灰度"],
  Color: ["Colour", "彩色"],
  yes: ["Yes", "是"],
  no: ["No", "否"],
  Off: ["Off", "关"],
  On: ["On", "开"],
  Custom: ["Custom", "自定义"],
  Letter: ["Letter", "Letter"],
  Legal: ["Legal", "Legal"],
};

const UNITS = { dpi: "dpi", mm: "mm", "%": "%", us: "µs", pel: "px", bit: "bit" };

export function t(key, vars = {}) {
  const text = TEXTS[LANG][key] ?? TEXTS.en[key] ?? key;
  return text.replace(/\{(\w+)\}/g, (_, name) => String(vars[name] ?? ""));
}

export function optionLabel(name) {
  const known = OPTION_LABELS[name];
  if (known) return known[LANG === "zh" ? 1 : 0];
  const words = name.replace(/[-_]+/g, " ");
  return words.charAt(0).toUpperCase() + words.slice(1);
}

export function valueLabel(value) {
  const known = VALUE_LABELS[value];
  return known ? known[LANG === "zh" ? 1 : 0] : value;
}

export const unitLabel = (unit) => UNITS[unit] || unit;

export const errorSentence = (code) => describe(code, LANG);

// Fills every element with data-text (its text) or data-text-placeholder.
export function applyTexts(root = document) {
  document.documentElement.lang = LANG === "zh" ? "zh-CN" : "en";
  for (const node of root.querySelectorAll("[data-text]")) node.textContent = t(node.dataset.text);
  for (const node of root.querySelectorAll("[data-text-placeholder]")) node.placeholder = t(node.dataset.textPlaceholder);
  for (const node of root.querySelectorAll("[data-text-label]")) node.setAttribute("aria-label", t(node.dataset.textLabel));
}
