// CCITT Group 4 (T.6) decoding of the black-and-white TIFF pages: each
// strip coded on its own from an imaginary white line, bits most
// significant first. Returns the rows packed 8 pixels a byte, 1 for black.

// Run-length codes as [run, bits]: terminating runs 0 to 63, then the make-up runs.
const WHITE = [
  "00110101", "000111", "0111", "1000", "1011", "1100", "1110", "1111", "10011", "10100", "00111", "01000",
  "001000", "000011", "110100", "110101", "101010", "101011", "0100111", "0001100", "0001000", "0010111",
  "0000011", "0000100", "0101000", "0101011", "0010011", "0100100", "0011000", "00000010", "00000011",
  "00011010", "00011011", "00010010", "00010011", "00010100", "00010101", "00010110", "00010111", "00101000",
  "00101001", "00101010", "00101011", "00101100", "00101101", "00000100", "00000101", "00001010", "00001011",
  "01010010", "01010011", "01010100", "01010101", "00100100", "00100101", "01011000", "01011001", "01011010",
  "01011011", "01001010", "01001011", "00110010", "00110011", "00110100",
];
const WHITE_MAKEUP = [
  "11011", "10010", "010111", "0110111", "00110110", "00110111", "01100100", "01100101", "01101000",
  "01100111", "011001100", "011001101", "011010010", "011010011", "011010100", "011010101", "011010110",
  "011010111", "011011000", "011011001", "011011010", "011011011", "010011000", "010011001", "010011010",
  "011000", "010011011",
];
const BLACK = [
  "0000110111", "010", "11", "10", "011", "0011", "0010", "00011", "000101", "000100", "0000100", "0000101",
  "0000111", "00000100", "00000111", "000011000", "0000010111", "0000011000", "0000001000", "00001100111",
  "00001101000", "00001101100", "00000110111", "00000101000", "00000010111", "00000011000", "000011001010",
  "000011001011", "000011001100", "000011001101", "000001101000", "000001101001", "000001101010",
  "000001101011", "000011010010", "000011010011", "000011010100", "000011010101", "000011010110",
  "000011010111", "000001101100", "000001101101", "000011011010", "000011011011", "000001010100",
  "000001010101", "000001010110", "000001010111", "000001100100", "000001100101", "000001010010",
  "000001010011", "000000100100", "000000110111", "000000111000", "000000100111", "000000101000",
  "000001011000", "000001011001", "000000101011", "000000101100", "000001011010", "000001100110",
  "000001100111",
];
const BLACK_MAKEUP = [
  "0000001111", "000011001000", "000011001001", "000001011011", "000000110011", "000000110100",
  "000000110101", "0000001101100", "0000001101101", "0000001001010", "0000001001011", "0000001001100",
  "0000001001101", "0000001110010", "0000001110011", "0000001110100", "0000001110101", "0000001110110",
  "0000001110111", "0000001010010", "0000001010011", "0000001010100", "0000001010101", "0000001011010",
  "0000001011011", "0000001100100", "0000001100101",
];
// Make-up runs from 1792 to 2560, the same for both colours.
const EXTENDED = ["00000001000", "00000001100", "00000001101", "000000010010", "000000010011", "000000010100",
  "000000010101", "000000010110", "000000010111", "000000011100", "000000011101", "000000011110", "000000011111"];

// Key: the code's length in the high bits, its value in the low ones.
function table(terminating, makeup) {
  const codes = new Map();
  const add = (bits, run) => codes.set((bits.length << 16) | parseInt(bits, 2), run);
  terminating.forEach((bits, run) => add(bits, run));
  makeup.forEach((bits, i) => add(bits, (i + 1) * 64));
  EXTENDED.forEach((bits, i) => add(bits, 1792 + i * 64));
  return codes;
}

let tables = null;

export class G4Error extends Error {}

class Bits {
  constructor(data) {
    this.data = data;
    this.at = 0;
  }

  bit() {
    if (this.at >= this.data.length * 8) throw new G4Error("a Group 4 strip that ends early");
    const bit = (this.data[this.at >> 3] >> (7 - (this.at & 7))) & 1;
    this.at++;
    return bit;
  }

  // One run: make-up codes until a terminating one.
  run(codes) {
    let total = 0;
    for (;;) {
      let code = 0;
      let length = 0;
      let run;
      do {
        code = (code << 1) | this.bit();
        length++;
        run = codes.get((length << 16) | code);
        if (length > 13) throw new G4Error("an unknown Group 4 run code");
      } while (run === undefined);
      total += run;
      if (run < 64) return total;
    }
  }

  // The mode code of two-dimensional coding.
  mode() {
    if (this.bit()) return "V0";
    if (this.bit()) return this.bit() ? "VR1" : "VL1";
    if (this.bit()) return "H";
    if (this.bit()) return "P";
    if (this.bit()) return this.bit() ? "VR2" : "VL2";
    if (this.bit()) return this.bit() ? "VR3" : "VL3";
    throw new G4Error("a Group 4 extension or end of block inside a line");
  }
}

const SHIFT = { V0: 0, VR1: 1, VL1: -1, VR2: 2, VL2: -2, VR3: 3, VL3: -3 };

/** `rows` rows of `width` pixels from one strip. */
export function decodeG4(data, width, rows) {
  tables ||= { white: table(WHITE, WHITE_MAKEUP), black: table(BLACK, BLACK_MAKEUP) };
  const bits = new Bits(data);
  const rowBytes = Math.ceil(width / 8);
  const out = new Uint8Array(rowBytes * rows);
  let reference = [width, width];
  for (let y = 0; y < rows; y++) {
    const changes = [];
    let a0 = -1;
    let black = 0;
    while (a0 < width) {
      // b1: the next change on the line above, to the colour opposite a0's.
      let i = 0;
      while (i < reference.length - 2 && (reference[i] <= a0 || (i & 1) !== black)) i++;
      const b1 = reference[i];
      const b2 = reference[i + 1] ?? width;
      const mode = bits.mode();
      if (mode === "P") {
        a0 = b2;
      } else if (mode === "H") {
        const start = Math.max(a0, 0);
        const first = bits.run(black ? tables.black : tables.white);
        const second = bits.run(black ? tables.white : tables.black);
        const a1 = Math.min(start + first, width);
        const a2 = Math.min(a1 + second, width);
        changes.push(a1, a2);
        a0 = a2;
      } else {
        const a1 = b1 + SHIFT[mode];
        if (a1 < 0 || a1 > width) throw new G4Error("a Group 4 change outside the line");
        changes.push(a1);
        a0 = a1;
        black ^= 1;
      }
    }
    const row = out.subarray(y * rowBytes, (y + 1) * rowBytes);
    for (let k = 0; k < changes.length; k += 2) {
      for (let x = changes[k]; x < Math.min(changes[k + 1] ?? width, width); x++) row[x >> 3] |= 0x80 >> (x & 7);
    }
    reference = [...changes, width, width];
  }
  return out;
}
