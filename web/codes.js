// The codes the velloscan service and its client reply with: a name for
// each, and a sentence in English and Chinese for people.

// For every code the service or this client replies with, what happened and
// what to do, in English and Chinese; pages show these rather than the
// service's fixed text. SANE statuses are 0 to 12, the service's own codes
// 1001 to 1012 and 2001 to 2013.
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
  2008: { en: "The service's version was read.", zh: "已读取服务版本。" },
  2009: { en: "The scanning status was read.", zh: "已读取扫描状态。" },
  2010: { en: "Scanning is under way.", zh: "正在扫描。" },
  2011: { en: "Stopping the scan was asked for.", zh: "已请求停止扫描。" },
  2012: { en: "Part of the file was read.", zh: "已读取文件的一部分。" },
  2013: { en: "The scanners' vendors and models were read.", zh: "已读取扫描仪的厂商和型号。" },
});

// Every code by name, for pages that compare error.code.
export const GOOD = 0;
export const UNSUPPORTED = 1;
export const CANCELLED = 2;
export const DEVICE_BUSY = 3;
export const INVALID = 4;
export const ENDED_EARLY = 5;
export const JAMMED = 6;
export const NO_DOCS = 7;
export const COVER_OPEN = 8;
export const IO_ERROR = 9;
export const NO_MEMORY = 10;
export const ACCESS_DENIED = 11;
export const DEVICE_NOT_FOUND = 12;
export const LIST_FAILED = 1001;
export const OPTIONS_FAILED = 1002;
export const NO_SCANNER = 1003;
export const NO_DEVICE_NAMED = 1004;
export const FOLDER_MISSING = 1005;
export const FOLDER_NOT_WRITABLE = 1006;
export const FOLDER_UNUSABLE = 1007;
export const DOCUMENT_FAILED = 1008;
export const SCAN_RUNNING = 1009;
export const DISCONNECTED = 1010;
export const ANOTHER_PAGE = 1011;
export const SETTING_REFUSED = 1012;
export const HOME_SENT = 2001;
export const PAGE_SCANNED = 2002;
export const DOCUMENT_MADE = 2003;
export const ALL_PAGES_SCANNED = 2004;
export const DEVICES_LISTED = 2005;
export const OPTIONS_READ = 2006;
export const FILE_SENT = 2007;
export const VERSION_SENT = 2008;
export const STATUS_SENT = 2009;
export const SCAN_PROGRESS = 2010;
export const CANCEL_ANSWERED = 2011;
export const FILE_PART_SENT = 2012;
export const DEVICE_INFO_SENT = 2013;

const UNKNOWN = { en: "Something unexpected went wrong (code {code}). Try again; if it repeats, restart the scanner.", zh: "发生意外错误（代码 {code}）。请重试；如仍出现，请重新启动扫描仪。" };

// The sentence for `code` in "en" or "zh" (any "zh-..." language counts).
export function describe(code, language = "en") {
  const lang = String(language).toLowerCase().startsWith("zh") ? "zh" : "en";
  return (MESSAGES[code] || UNKNOWN)[lang].replace("{code}", String(code));
}
