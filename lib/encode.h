// Transport encodings: a raw copy, hexadecimal text and text in the
// library's 64-character alphabet.
//
// Every encoded line is one blank, the characters and CR LF; nothing else is
// written. Input is taken in blocks of 8192 bytes and each block is encoded
// by itself, so line grouping starts again at every block (and a "." pad can
// stand inside a stream, at each 8192-byte boundary of the input).
//
// The source is read through its Read slot with an out count. Every
// operation returns false when the source cannot be read or the target does
// not take all the output; the encoders write through the target's buffer,
// so a failure of the last block shows only when the caller flushes or
// closes the target (whose Flush and Close slots then return false).
#pragma once

#include <cstring>

#include "lib/bufferedfile.h"
#include "lib/pathfile.h"

// Encoding numbers as the job file uses them.
constexpr DWORD ENCODING_RAW = 0;
constexpr DWORD ENCODING_HEX = 1;
constexpr DWORD ENCODING_64 = 2;

constexpr DWORD ENCODE_BLOCK_SIZE = 8192;

// The 64-character alphabet (values 0 to 63 in this order) and its pad.
inline constexpr const char kEncode64Alphabet[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz$#";
constexpr char kEncode64Pad = '.';

// An alphabet of 64 characters for Pack64, with the two characters of each
// 12-bit value worked out once (so a group of three bytes is two look-ups).
struct ALPHABET64 {
  char character[64];
  char pair[4096][2];
  // characters: the 64 characters for the values 0 to 63, in order.
  constexpr explicit ALPHABET64(const char* characters) : character(), pair() {
    for (int i = 0; i < 64; ++i) character[i] = characters[i];
    for (int i = 0; i < 4096; ++i) {
      pair[i][0] = characters[i >> 6];
      pair[i][1] = characters[i & 63];
    }
  }
};

// The table of the library's alphabet.
extern const ALPHABET64 kEncode64Table;

// The one bit packer of the 64-character encodings: every three bytes give
// four characters of the alphabet, high bits first; a short last group gives
// the characters for the bits it holds (two for one byte, three for two) and
// no pad. Writes ((length * 4) + 2) / 3 characters at out, without a NUL, and
// returns their end.
// Inline, so that the line encoders get it unrolled for their whole lines.
inline char* Pack64(const BYTE* data, DWORD length, const ALPHABET64& alphabet, char* out) {
  const BYTE* in = data;
  for (const BYTE* whole = data + length / 3 * 3; in < whole; in += 3, out += 4) {
    const DWORD v = (DWORD{in[0]} << 16) | (DWORD{in[1]} << 8) | in[2];
    std::memcpy(out, alphabet.pair[v >> 12], 2);
    std::memcpy(out + 2, alphabet.pair[v & 0xFFF], 2);
  }
  const DWORD left = length % 3;
  if (left) {
    const BYTE b0 = in[0];
    const BYTE b1 = left > 1 ? in[1] : 0;
    *out++ = alphabet.character[b0 >> 2];
    *out++ = alphabet.character[((b0 & 3) << 4) | (b1 >> 4)];
    if (left > 1) *out++ = alphabet.character[(b1 & 15) << 2];
  }
  return out;
}

// Encodes one block into the target; returns the number of bytes consumed
// (less than length when the target failed).
using ENCODEBLOCK = DWORD (*)(const BYTE* block, DWORD length, CBUFFEREDWRITER* target);

// Copies the bytes unchanged, 8192 at a time, through the target's Write slot.
bool CopyStream(CFILE* source, CFILE* target);
// Reads blocks of 8192 bytes and hands each to the block encoder.
bool EncodeStream(CFILE* source, CBUFFEREDWRITER* target, ENCODEBLOCK encoder);
bool EncodeStreamHex(CFILE* source, CBUFFEREDWRITER* target);
bool EncodeStream64(CFILE* source, CBUFFEREDWRITER* target);

// Lines of 32 bytes as 64 upper-case hexadecimal digits (high half first).
DWORD EncodeHexBlock(const BYTE* block, DWORD length, CBUFFEREDWRITER* target);
// Lines of 48 bytes as 64 characters of the alphabet.
DWORD Encode64Lines(const BYTE* block, DWORD length, CBUFFEREDWRITER* target);

// Encodes length bytes into out (the bit layout of Base64 with this
// alphabet and "." as the pad) and puts a NUL after the characters. *capacity
// is the size of out on entry and the number of characters on success.
// False, with nothing written past the capacity, when the characters and
// the NUL do not fit.
bool Encode64Block(const BYTE* data, DWORD length, char* out, DWORD* capacity);
