// MD5 (RFC 1321) and the login proof made from it. WebCrypto has no MD5, and the proof needs
// nothing else, so a compact one lives here. Inputs are Uint8Array or string (encoded UTF-8);
// every digest is a new 16-byte Uint8Array.

const SHIFTS = [7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21];
// K[i] = floor(|sin(i + 1)| * 2^32), as RFC 1321 defines the table.
const K = Array.from({ length: 64 }, (_, i) => Math.floor(Math.abs(Math.sin(i + 1)) * 2 ** 32) >>> 0);

function bytesOf(input) {
  return typeof input === "string" ? new TextEncoder().encode(input) : input;
}

export function md5(input) {
  const data = bytesOf(input);
  // The message, a 0x80 byte, zeros to 56 mod 64, then its length in bits as a u64 LE.
  const padded = new Uint8Array(((data.length + 8) >> 6) * 64 + 64);
  padded.set(data);
  padded[data.length] = 0x80;
  const view = new DataView(padded.buffer);
  view.setUint32(padded.length - 8, (data.length * 8) >>> 0, true);
  view.setUint32(padded.length - 4, Math.floor(data.length / 0x20000000), true);

  const state = [0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476];
  const w = new Array(16);
  for (let block = 0; block < padded.length; block += 64) {
    for (let j = 0; j < 16; ++j) w[j] = view.getUint32(block + 4 * j, true);
    let [a, b, c, d] = state;
    for (let i = 0; i < 64; ++i) {
      const round = i >> 4;
      let f;
      let g;
      if (round === 0) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (round === 1) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) & 15;
      } else if (round === 2) {
        f = b ^ c ^ d;
        g = (3 * i + 5) & 15;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) & 15;
      }
      const sum = (a + f + K[i] + w[g]) | 0;
      const s = SHIFTS[(round << 2) | (i & 3)];
      a = d;
      d = c;
      c = b;
      b = (b + ((sum << s) | (sum >>> (32 - s)))) | 0;
    }
    state[0] = (state[0] + a) | 0;
    state[1] = (state[1] + b) | 0;
    state[2] = (state[2] + c) | 0;
    state[3] = (state[3] + d) | 0;
  }
  const digest = new Uint8Array(16);
  const out = new DataView(digest.buffer);
  state.forEach((word, i) => out.setUint32(4 * i, word >>> 0, true));
  return digest;
}

// The password hash the shipped clients register and log in with: MD5 of the password text.
export function passwordHash(password) {
  return md5(password);
}

// The answer to LoginChallenge: the password hash as four little-endian u32 words in "%08x",
// the challenge appended, MD5 of that text, each group of four digest bytes reversed.
export function loginProofOf(hash, challenge) {
  const view = new DataView(hash.buffer, hash.byteOffset, 16);
  let text = "";
  for (let i = 0; i < 4; ++i) text += view.getUint32(4 * i, true).toString(16).padStart(8, "0");
  const challengeBytes = bytesOf(challenge);
  const prefix = new TextEncoder().encode(text);
  const whole = new Uint8Array(prefix.length + challengeBytes.length);
  whole.set(prefix);
  whole.set(challengeBytes, prefix.length);
  const digest = md5(whole);
  const proof = new Uint8Array(16);
  for (let i = 0; i < 16; ++i) proof[i] = digest[(i & ~3) + 3 - (i & 3)];
  return proof;
}
