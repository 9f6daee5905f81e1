// Decoding the 64-character transport alphabet.
#include "delivery/common/decode64.h"

#include <cstring>

#include "lib/encode.h"

namespace {

// Each alphabet character maps to its value; every other byte to 0.
struct ReverseTable {
  BYTE value[256];
  constexpr ReverseTable() : value() {
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kEncode64Alphabet[i])] = static_cast<BYTE>(i);
  }
};
constexpr ReverseTable kReverse;

}  // namespace

bool Decode64Block(const char* text, DWORD length, BYTE* output, DWORD* capacity) {
  const DWORD room = *capacity;
  if (room) std::memset(output, 0, room);
  DWORD produced = 0;
  DWORD position = 0;
  bool complete = true;
  while (position < length) {
    // The group: up to four characters before a pad or the end.
    DWORD count = 0;
    while (count < 4 && position + count < length && text[position + count] != kEncode64Pad) ++count;
    // n characters complete n - 1 bytes (six bits short of a byte alone).
    DWORD bytes = count > 1 ? count - 1 : 0;
    if (produced + bytes > room) {
      complete = false;
      break;
    }
    DWORD v[4] = {0, 0, 0, 0};
    for (DWORD i = 0; i < count; ++i) v[i] = kReverse.value[static_cast<unsigned char>(text[position + i])];
    if (bytes >= 1) output[produced++] = static_cast<BYTE>((v[0] << 2) | (v[1] >> 4));
    if (bytes >= 2) output[produced++] = static_cast<BYTE>(((v[1] & 15) << 4) | (v[2] >> 2));
    if (bytes >= 3) output[produced++] = static_cast<BYTE>(((v[2] & 3) << 6) | v[3]);
    position += count;
    // A pad, or a short group, ends the token.
    if (count < 4) break;
  }
  *capacity = produced;
  return complete;
}
