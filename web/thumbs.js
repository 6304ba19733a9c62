// Pictures of page files: thumbnails made once at their size and kept as
// small canvases (a whole page is never kept), and a large view made on
// demand whose Blob URLs are revoked when it closes.
import { decodePnm, decodeTiff, tiffPageCount, tiffWidth } from "./decode.js";

export const THUMB_WIDTH = 240;

const MIME = {
  jpg: "image/jpeg", png: "image/png", pdf: "application/pdf",
  tiff: "image/tiff", pnm: "image/x-portable-anymap",
};

export const mimeOf = (format) => MIME[format] || "application/octet-stream";

export const canPicture = (format) => ["jpg", "png", "pnm", "tiff"].includes(format);

function toImageData({ width, height, data }) {
  return new ImageData(data, width, height);
}

async function pixelsOf(format, bytes, step, page = 0) {
  if (format === "pnm") return toImageData(decodePnm(bytes, step));
  return toImageData(await decodeTiff(bytes, step, page));
}

// The page's width without decoding it all: enough to choose the step.
function widthOf(format, bytes, page) {
  if (format === "tiff") return tiffWidth(bytes, page);
  return Number(new TextDecoder().decode(bytes.subarray(0, 200)).replace(/#[^\n]*\n/g, " ").split(/\s+/)[1]);
}

// The bitmap comes at up to twice the size from a cheap resize; the canvas
// scales it down with smoothing, which costs little at that size.
function canvasOf(bitmap, label) {
  const canvas = document.createElement("canvas");
  canvas.width = THUMB_WIDTH;
  canvas.height = Math.max(1, Math.round((bitmap.height * THUMB_WIDTH) / bitmap.width));
  canvas.className = "thumb";
  canvas.setAttribute("role", "img");
  canvas.setAttribute("aria-label", label);
  const context = canvas.getContext("2d");
  context.imageSmoothingQuality = "high";
  context.drawImage(bitmap, 0, 0, canvas.width, canvas.height);
  bitmap.close();
  return canvas;
}

// Width and height from a JPEG's frame header, or null.
function jpegSize(bytes) {
  for (let at = 2; at + 9 < bytes.length;) {
    if (bytes[at] !== 0xff) return null;
    const marker = bytes[at + 1];
    if (marker >= 0xc0 && marker <= 0xcf && ![0xc4, 0xc8, 0xcc].includes(marker)) {
      return { height: (bytes[at + 5] << 8) | bytes[at + 6], width: (bytes[at + 7] << 8) | bytes[at + 8] };
    }
    at += 2 + ((bytes[at + 2] << 8) | bytes[at + 3]);
  }
  return null;
}

// A JPEG decoded at an eighth, a quarter or half of its size, whichever is
// the smallest still as wide as the thumbnail: the decoder then skips most of
// the work, five to ten times less than decoding the whole page.
async function scaledJpeg(bytes) {
  const size = jpegSize(bytes);
  if (!size || typeof ImageDecoder !== "function") return null;
  const scale = [8, 4, 2, 1].find((k) => size.width / k >= THUMB_WIDTH) || 1;
  const decoder = new ImageDecoder({
    data: bytes, type: "image/jpeg",
    desiredWidth: Math.ceil(size.width / scale), desiredHeight: Math.ceil(size.height / scale),
  });
  try {
    const { image } = await decoder.decode();
    try {
      return await createImageBitmap(image, { resizeWidth: Math.min(image.displayWidth, THUMB_WIDTH * 2), resizeQuality: "low" });
    } finally {
      image.close();
    }
  } finally {
    decoder.close();
  }
}

/**
 * A canvas THUMB_WIDTH wide showing `bytes` of a page file of `format`, or
 * null for a kind this page cannot show.
 */
export async function thumbnail(format, bytes, label, page = 0) {
  // "medium" and "high" cost twice as much on a whole page.
  const resize = { resizeWidth: THUMB_WIDTH * 2, resizeQuality: "low" };
  if (format === "jpg") {
    const scaled = await scaledJpeg(bytes).catch(() => null);
    if (scaled) return canvasOf(scaled, label);
  }
  if (format === "jpg" || format === "png") {
    return canvasOf(await createImageBitmap(new Blob([bytes], { type: mimeOf(format) }), resize), label);
  }
  if (format !== "pnm" && format !== "tiff") return null;
  // Every step-th row and column, still at least twice the thumbnail's size.
  const width = widthOf(format, bytes, page) || THUMB_WIDTH;
  const step = Math.max(1, Math.floor(width / (THUMB_WIDTH * 2)));
  return canvasOf(await createImageBitmap(await pixelsOf(format, bytes, step, page), resize), label);
}

export { tiffPageCount };

/**
 * The large view of a page file: an object URL the browser can show (the file
 * itself, or a PNG made from it), and one for downloading the file as it
 * is. Call `revoke` when it is closed.
 */
export async function largeView(format, bytes) {
  const file = URL.createObjectURL(new Blob([bytes], { type: mimeOf(format) }));
  let shown = file;
  if (format === "pnm" || format === "tiff") {
    const pixels = await pixelsOf(format, bytes, 1);
    const canvas = new OffscreenCanvas(pixels.width, pixels.height);
    canvas.getContext("2d").putImageData(pixels, 0, 0);
    shown = URL.createObjectURL(await canvas.convertToBlob({ type: "image/png" }));
  } else if (format !== "jpg" && format !== "png") {
    shown = null;
  }
  return {
    shown,
    download: file,
    revoke() {
      URL.revokeObjectURL(file);
      if (shown && shown !== file) URL.revokeObjectURL(shown);
    },
  };
}
