// The decoder of the library's 64-character transport alphabet (the inverse
// of Encode64Block in lib/encode.h).
#pragma once

#include "platform/kernel/win32.h"

// Decodes length characters of text into output. *capacity is the size of
// output on entry and the number of bytes produced on return; output is
// zero-filled over its capacity first and nothing is written past it.
// Characters outside the alphabet count as value 0. A "." pad ends the
// decoding (bytes completed so far stay). True when the whole text was
// decoded or a pad ended it; false when the next group's bytes would not
// fit (the output holds the groups before it).
bool Decode64Block(const char* text, DWORD length, BYTE* output, DWORD* capacity);
