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

}  // namespace mvn::kernel
