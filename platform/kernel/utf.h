// UTF-16 and UTF-8, the one conversion every layer uses for the wide calls
// (the narrow texts of this platform are UTF-8). A conversion never fails
// on its input: bytes that are no valid UTF-8 and unpaired surrogates
// become U+FFFD.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mvn::kernel {

// Appends a code point (at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string* out, char32_t code);

std::string Utf16ToUtf8(std::u16string_view text);

// The NUL-terminated text (nullptr: empty) as UTF-8 into out, with its
// terminator; false, leaving out empty, when it does not fit size bytes.
// For callers that keep fixed buffers and no heap.
bool Utf16ToUtf8(const char16_t* text, char* out, std::size_t size);

// Invalid input (overlong forms, encoded surrogates, values past U+10FFFF,
// cut sequences) gives one U+FFFD for its first byte and continues with the
// next byte.
std::u16string Utf8ToUtf16(std::string_view text);

// One UTF-8 sequence: its code point and its length in bytes. A byte that
// starts no valid sequence is one byte long, not valid, and U+FFFD.
struct Utf8Char {
  char32_t code;
  std::size_t length;
  bool valid;
};
// The sequence that starts at text[at] (at < text.size()).
Utf8Char DecodeUtf8At(std::string_view text, std::size_t at);

// Code as UTF-16 into out: one unit, or a surrogate pair; the number of
// units.
std::size_t EncodeUtf16(char32_t code, char16_t out[2]);

// Where a cut of text at limit bytes has to go so that it does not split a
// UTF-8 sequence: limit itself, or the start of the sequence that the limit
// falls inside. Bytes that are no UTF-8 are cut where they are. Every
// width limit of every layer cuts here.
std::size_t Utf8CutPoint(std::string_view text, std::size_t limit);

}  // namespace mvn::kernel
