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
  constructor(code: number, message: string, reason?: string, causes?: FailureCause[]);
}

/** For every code the service or the client replies with, a sentence in English and in Chinese. */
export const MESSAGES: Readonly<Record<number, { en: string; zh: string }>>;

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
   * wrote. Rejects with 2007 when the service sent no data (missing, refused
   * or too large), and with a TypeError for a path containing "|".
   */
  readFile(path: string): Promise<Uint8Array>;
  /**
   * Resolves at the end of the batch. Rejects with the service's error (the
   * pages reported before it stay), with 1009 when a scan runs already, and
   * with a TypeError for a device name containing "|" or an unknown fileType.
   */
  scan(device: string, settings?: ScanSettings, handlers?: { onPage?: (page: Page) => void }): Promise<ScanResult>;
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
