// Declarations of velloscan.js, the browser client of the velloscan service.

export const version: string;

/** ws://localhost:23165, where the service listens unless port.txt says otherwise. */
export const DEFAULT_URL: string;

/** Why a connection most likely failed, most likely first. */
export type FailureCause = "local-network-access" | "no-service";

/**
 * What the service answered instead of a result: `code` is its code (1001 to
 * 1012, or a SANE status 0 to 12 such as 3 busy, 6 jammed, 7 empty feeder) and
 * `message` its text. Two codes come from the client itself: 1010 when the
 * connection failed, dropped before the answer, or the answer was malformed,
 * and 2007 when a file could not be read.
 */
export class VelloScanError extends Error {
  readonly name: "VelloScanError";
  readonly code: number;
  /** In English, what the client found wrong and what to do; "" for the service's own errors. */
  readonly reason: string;
  /** For a connection that failed: the likely causes, most likely first; otherwise []. */
  readonly causes: FailureCause[];
  /**
   * After a failed "mulpdf" or "multiff" scan (or one whose fileType carried
   * over): the pages the service keeps for `scan(..., { continueDocument: true })`; otherwise 0.
   */
  kept: number;
  constructor(code: number, message: string, reason?: string, causes?: FailureCause[]);
}

/** For every code the service or the client replies with, a sentence in English and in Chinese. */
export const MESSAGES: Readonly<Record<number, { en: string; zh: string }>>;

export const GOOD: 0;
export const UNSUPPORTED: 1;
/** The scan was cancelled (also what an aborted scan() rejects with). */
export const CANCELLED: 2;
export const DEVICE_BUSY: 3;
export const INVALID: 4;
export const ENDED_EARLY: 5;
export const JAMMED: 6;
export const NO_DOCS: 7;
export const COVER_OPEN: 8;
export const IO_ERROR: 9;
export const NO_MEMORY: 10;
export const ACCESS_DENIED: 11;
export const DEVICE_NOT_FOUND: 12;
export const LIST_FAILED: 1001;
export const OPTIONS_FAILED: 1002;
export const NO_SCANNER: 1003;
export const NO_DEVICE_NAMED: 1004;
export const FOLDER_MISSING: 1005;
export const FOLDER_NOT_WRITABLE: 1006;
export const FOLDER_UNUSABLE: 1007;
export const DOCUMENT_FAILED: 1008;
export const SCAN_RUNNING: 1009;
export const DISCONNECTED: 1010;
export const ANOTHER_PAGE: 1011;
export const SETTING_REFUSED: 1012;
export const HOME_SENT: 2001;
export const PAGE_SCANNED: 2002;
export const DOCUMENT_MADE: 2003;
export const ALL_PAGES_SCANNED: 2004;
export const DEVICES_LISTED: 2005;
export const OPTIONS_READ: 2006;
/** A file's Base64; with no data, the file could not be read. */
export const FILE_SENT: 2007;
export const VERSION_SENT: 2008;
export const STATUS_SENT: 2009;
export const SCAN_PROGRESS: 2010;
export const CANCEL_ANSWERED: 2011;
export const FILE_PART_SENT: 2012;
export const DEVICE_INFO_SENT: 2013;

/** The sentence for `code`; a language starting with "zh" gives Chinese, any other English. */
export function describe(code: number, language?: string): string;

/** "cvnfa:DR-F120" gives "DR-F120": a scanner's name without its backend. */
export function shortName(name: string): string;

/**
 * Why `url` could not be reached, as connect() reports it: asks the browser
 * about local network access and whether the page is on localhost.
 */
export function explainFailure(url: string): Promise<{ reason: string; causes: FailureCause[] }>;

/** One scanner as SANE describes it. */
export interface DeviceInfo {
  index: number;
  name: string;
  vendor: string;
  model: string;
  type: string;
}

export type FileType = "tiff" | "pnm" | "jpg" | "png" | "pdf" | "mulpdf" | "multiff";

/** A scanner option's value: booleans travel as yes/no, arrays as comma-separated vectors. */
export type OptionValue = string | number | boolean | ReadonlyArray<number | string>;

/**
 * One flat object: the file settings below beside any scanner option by its
 * own name ("resolution", "mode", "paper-size", ...). `showBase64` and
 * `deleteFilesBeforeScan` are sent with every scan (false unless given); the
 * others, when left out, keep what the previous scan or the service's stored
 * settings chose.
 */
export interface ScanSettings {
  fileType?: FileType;
  /** Output folder; "" is the service's scratch folder. */
  filePath?: string;
  filePrefix?: string;
  /** Page reports carry the file's bytes as well as its path. */
  showBase64?: boolean;
  /** Delete jpg, png, pnm, tiff and pdf files in the output folder first. */
  deleteFilesBeforeScan?: boolean;
  /** Stored for the service's next start only. */
  scanCount?: number;
  scanMinCountSize?: number;
  [option: string]: OptionValue | undefined;
}

/** One page file as the service reported it. */
export interface Page {
  /** The file's suffix in lower case: "jpg", "png", "tiff", "pnm" or "pdf". */
  format: string;
  path: string;
  /** The file's content, when the scan asked for `showBase64`. */
  bytes: Uint8Array | undefined;
}

/** How one sheet of a scan goes, when the scan asked for `onProgress`. */
export interface Progress {
  /** Counts the sheets of this job from 1. */
  sheet: number;
  /** Bytes of this page read so far. */
  bytes: number;
  /** The page's size in bytes, or -1 when the scanner does not know its height. */
  total: number;
  /** The page is finished; its report (if any) comes next. */
  done: boolean;
  /**
   * With `done`: the page's file. For "mulpdf" and "multiff" it is the page's
   * TIFF in the service's work folder, which readFile() serves.
   */
  path?: string;
}

export interface ScanHandlers {
  onPage?: (page: Page) => void;
  /** Asks the service for progress: at each sheet's start, up to 4 times a second, and when it is done. */
  onProgress?: (progress: Progress) => void;
  /**
   * Aborting it asks the service to stop; the scan then rejects with code 2
   * (pages already reported stay). A scan not yet sent rejects with 2 at once.
   * A service without "cancel" finishes the scan; one that is past the last
   * sheet finishes the document, and the scan resolves.
   */
  signal?: AbortSignal;
  /**
   * For "mulpdf" and "multiff": when the previous such job on this device
   * failed (jam, cancel ...) after some pages, its pages and this job's
   * become one document. Changes nothing otherwise.
   */
  continueDocument?: boolean;
}

export interface ServiceVersion {
  version: string;
  /** What the service offers beyond the basic commands: "cancel", "status", "progress", "continue", "replay", "read", "devinfo" ... */
  extensions: string[];
}

export interface ScanStatus {
  scanning: boolean;
  /** The running job's device and type word ("jpg", "mulpdf" ...), or the last job's. */
  device: string;
  fileType: string;
  /** Pages finished by the running (or last) job. */
  pages: number;
  /** Pages a failed document job left for continueDocument; 0 otherwise. */
  keptPages: number;
}

export interface ScanResult {
  /** Every page reported, in order ("mulpdf" and "multiff" report none). */
  pages: Array<{ format: string; path: string }>;
  /** The multi-page file of a "mulpdf" or "multiff" scan; null otherwise. */
  document: { type: "pdf" | "tiff"; path: string } | null;
}

interface OptionBase {
  name: string;
  /** SANE value type: 0 bool, 1 int, 2 fixed, 3 string, 4 button, 5 group. */
  type: 0 | 1 | 2 | 3 | 4 | 5;
  isActive: boolean;
  isSettable: boolean;
  /** "", "pel", "bit", "mm", "dpi", "%" or "us"; filled for ranges and word lists. */
  unit: string;
  /** The value when the device was last opened, as text ("" when inactive). */
  current: string;
}

/** One option exactly as the service's options document describes it. */
export type ScannerOption =
  | (OptionBase & { constType: 0 })
  | (OptionBase & { constType: 1; range: { min: string; max: string; quant: string } })
  | (OptionBase & { constType: 2; wordlists: string[] })
  | (OptionBase & { constType: 3; list: string[] });

export interface Options {
  /** The options document, in the service's (undefined) order. */
  options: ScannerOption[];
  /** The values document: option name to its current value. */
  values: Record<string, string>;
}

export interface ClientEvents {
  /** The device list changed: greeting, listDevices() answers, USB plug and unplug. */
  devices: string[];
  /** The connection dropped or was closed; pending calls have rejected with 1010. */
  close: { reconnecting: boolean };
  /** Connected and greeted again after a drop (only with `reconnect`). */
  reconnect: Client;
  /** A page report that belongs to no scan of this client, e.g. one started before a reload. */
  page: Page;
  /** The end of a scan that belongs to no call of this client, with its error if it failed. */
  scanend: { document: ScanResult["document"]; error: VelloScanError | null };
  /** Progress of a scan that belongs to no call of this client (one that asked for it). */
  progress: Progress;
}

export interface Client {
  readonly url: string;
  /** The home folder of the user the service runs as. */
  readonly home: string;
  /** The latest device list. */
  readonly devices: string[];

  /** Returns a function that removes the handler. */
  on<E extends keyof ClientEvents>(event: E, handler: (value: ClientEvents[E]) => void): () => void;

  /** Enumerates again; [] when there is no scanner. */
  listDevices(): Promise<string[]>;
  /**
   * Vendor, model and type of the listed scanners, in the list's order. From
   * a service that does not answer within a second (an older one), during a
   * scan, or on an error: the names, with the name without its backend as
   * the model and vendor and type "".
   */
  deviceInfo(): Promise<DeviceInfo[]>;
  /** Rejects with a TypeError for a device name containing "|". */
  getOptions(device: string): Promise<Options>;
  /**
   * Only files the service may serve: its scratch folders and the files it
   * wrote. From a service that offers "read", in pieces of 4 MiB of any size
   * (`onProgress` after each); otherwise as Base64. Rejects with 2007 when
   * the file is missing or refused (and, from older services, empty or too
   * large), and with a TypeError for a path containing "|".
   */
  readFile(path: string, handlers?: { onProgress?: (progress: { loaded: number; total: number }) => void }): Promise<Uint8Array>;
  /**
   * Resolves at the end of the batch. Rejects with the service's error (the
   * pages reported before it stay; `kept` set after a document job), with
   * 1009 when a scan runs already, with 2 when `signal` aborted it, and with
   * a TypeError for a device name containing "|" or an unknown fileType.
   */
  scan(device: string, settings?: ScanSettings, handlers?: ScanHandlers): Promise<ScanResult>;
  /** null from a service that does not answer within a second. */
  version(): Promise<ServiceVersion | null>;
  /** The running or last job; null from a service that does not answer within a second. Answered during a scan. */
  status(): Promise<ScanStatus | null>;
  /**
   * Stops the running job, whoever started it: true when one was running,
   * false when none was, null from a service that cannot.
   */
  cancel(): Promise<boolean | null>;
  /**
   * Asks for every message of the running job so far (or of the one that
   * ended less than a minute ago) again: they come as "page", "progress" and
   * "scanend" events, a message this client already handled only once.
   * Sent by itself after every reconnect.
   */
  replay(): Promise<void>;
  /** Closes for good: no reconnect, pending calls reject with 1010. */
  close(): void;
}

/**
 * Resolves once the service has greeted the page. Rejects with a
 * VelloScanError: 1009 while the service scans for another page, 1011 when
 * another page is connected, 1010 when it cannot be reached (with `reason`
 * and `causes`), greets with something malformed or not within 10 s.
 * Every call settles: a malformed reply rejects the call it answered with
 * 1010 and a `reason`, and the connection goes on. With `reconnect`,
 * a dropped connection is tried again with growing delays (up to 15 s), forever.
 */
export function connect(url?: string, options?: { reconnect?: boolean }): Promise<Client>;
