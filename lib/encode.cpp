// Transport encodings: raw copy, hexadecimal and the 64-character alphabet.
#include "lib/encode.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr DWORD kHexBytesPerLine = 32;
constexpr DWORD k64BytesPerLine = 48;

// A line of either encoding is at most one blank, 64 characters and CR LF.
constexpr DWORD kMaxLine = 1 + 64 + 2;
// Input is staged in whole lines: the output of up to this many bytes is
// collected and handed to the writer at once.
constexpr DWORD kHexChunk = ENCODE_BLOCK_SIZE;
constexpr DWORD k64Chunk = (ENCODE_BLOCK_SIZE / k64BytesPerLine) * k64BytesPerLine;
static_assert(kHexChunk % kHexBytesPerLine == 0 && k64Chunk % k64BytesPerLine == 0);
constexpr DWORD kHexLines = kHexChunk / kHexBytesPerLine;
constexpr DWORD k64Lines = k64Chunk / k64BytesPerLine;
constexpr DWORD kStageSize = (kHexLines > k64Lines ? kHexLines : k64Lines) * kMaxLine;

// Both hexadecimal digits of each byte value, high half first.
struct HexPairs {
  char pair[256][2];
  constexpr HexPairs() : pair() {
    constexpr const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 256; ++i) {
      pair[i][0] = digits[i >> 4];
      pair[i][1] = digits[i & 15];
    }
  }
};
constexpr HexPairs kHexPairs;

// Hexadecimal digits of n bytes (2n characters).
inline char* HexDigits(const BYTE* in, DWORD n, char* out) {
  DWORD i = 0;
#if defined(__SSE2__)
  const __m128i lowNibbles = _mm_set1_epi8(0x0F);
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i letterGap = _mm_set1_epi8('A' - '0' - 10);
  const __m128i zero = _mm_set1_epi8('0');
  auto digits = [&](__m128i nibbles) {
    __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, nine), letterGap);
    return _mm_add_epi8(_mm_add_epi8(nibbles, zero), letters);
  };
  for (; i + 16 <= n; i += 16, out += 32) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    __m128i low = _mm_and_si128(v, lowNibbles);
    __m128i high = _mm_and_si128(_mm_srli_epi16(v, 4), lowNibbles);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), digits(_mm_unpacklo_epi8(high, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), digits(_mm_unpackhi_epi8(high, low)));
  }
#endif
  for (; i < n; ++i, out += 2) std::memcpy(out, kHexPairs.pair[in[i]], 2);
  return out;
}

// Pads the characters from begin to end up to a whole group of four.
inline char* Pad64(const char* begin, char* end) {
  while ((end - begin) % 4) *end++ = kEncode64Pad;
  return end;
}

// Encodes a block in chunks of whole lines: putLines (in, count, out) writes
// the lines of count bytes at out and returns the end of what it wrote; each
// chunk's lines go to the writer at once. Returns the bytes taken, less than
// length when the writer failed.
template <class PutLines>
DWORD EncodeInChunks(const BYTE* block, DWORD length, CBUFFEREDWRITER* target, DWORD chunk, PutLines putLines) {
  char stage[kStageSize];
  DWORD done = 0;
  while (done < length) {
    DWORD take = length - done;
    if (take > chunk) take = chunk;
    char* end = putLines(block + done, take, stage);
    if (!target->WriteBytes(stage, static_cast<DWORD>(end - stage))) return done;
    done += take;
  }
  return done;
}

}  // namespace

constexpr ALPHABET64 kEncode64Table(kEncode64Alphabet);

bool CopyStream(CFILE* source, CFILE* target) {
  BYTE block[ENCODE_BLOCK_SIZE];
  for (;;) {
    DWORD got = 0;
    // A read that fails is not the end of the input.
    if (!source->Read(block, ENCODE_BLOCK_SIZE, &got)) return false;
    if (got > 0) {
      DWORD written = 0;
      if (!target->Write(block, got, &written) || written != got) return false;
    }
    if (got < ENCODE_BLOCK_SIZE) return true;
  }
}

bool EncodeStream(CFILE* source, CBUFFEREDWRITER* target, ENCODEBLOCK encoder) {
  BYTE block[ENCODE_BLOCK_SIZE];
  for (;;) {
    DWORD got = 0;
    if (!source->Read(block, ENCODE_BLOCK_SIZE, &got)) return false;
    if (got > 0 && encoder(block, got, target) != got) return false;
    if (got < ENCODE_BLOCK_SIZE) return true;
  }
}

bool EncodeStreamHex(CFILE* source, CBUFFEREDWRITER* target) { return EncodeStream(source, target, EncodeHexBlock); }

bool EncodeStream64(CFILE* source, CBUFFEREDWRITER* target) { return EncodeStream(source, target, Encode64Lines); }

DWORD EncodeHexBlock(const BYTE* block, DWORD length, CBUFFEREDWRITER* target) {
  return EncodeInChunks(block, length, target, kHexChunk, [](const BYTE* in, DWORD count, char* out) {
    for (const BYTE* end = in + count; in < end;) {
      const BYTE* lineEnd = (end - in > static_cast<std::ptrdiff_t>(kHexBytesPerLine)) ? in + kHexBytesPerLine : end;
      *out++ = ' ';
      out = HexDigits(in, static_cast<DWORD>(lineEnd - in), out);
      in = lineEnd;
      *out++ = '\r';
      *out++ = '\n';
    }
    return out;
  });
}

DWORD Encode64Lines(const BYTE* block, DWORD length, CBUFFEREDWRITER* target) {
  return EncodeInChunks(block, length, target, k64Chunk, [](const BYTE* in, DWORD count, char* out) {
    for (DWORD at = 0; at < count; at += k64BytesPerLine) {
      *out++ = ' ';
      if (count - at >= k64BytesPerLine) {
        // A whole line: a constant length, so the packer is unrolled.
        out = Pack64(in + at, k64BytesPerLine, kEncode64Table, out);
      } else {
        char* characters = out;
        out = Pad64(characters, Pack64(in + at, count - at, kEncode64Table, out));
      }
      *out++ = '\r';
      *out++ = '\n';
    }
    return out;
  });
}

bool Encode64Block(const BYTE* data, DWORD length, char* out, DWORD* capacity) {
  const DWORD room = *capacity;
  if (room > 0) std::memset(out, 0, room);
  // Each group of up to 3 bytes needs 4 characters; the NUL needs one more.
  const DWORD groups = (length + 2) / 3;
  const DWORD fitting = room > 0 ? (room - 1) / 4 : 0;
  const bool fits = room > 0 && groups <= fitting;
  // What does not fit is left out whole groups at a time.
  const DWORD take = fits ? length : fitting * 3;
  char* end = Pad64(out, Pack64(data, take, kEncode64Table, out));
  if (!fits) return false;
  *end = '\0';
  *capacity = static_cast<DWORD>(end - out);
  return true;
}

