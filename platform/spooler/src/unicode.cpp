#include "platform/spooler/src/unicode.h"

namespace mvn::spooler::unicode {

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    char32_t code = 0xFFFD;
    std::size_t length = 1;
    auto continuation = [&](std::size_t k) {
      return i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    };
    if (c < 0x80) {
      code = c;
    } else if ((c & 0xE0) == 0xC0 && continuation(1)) {
      code = ((c & 0x1Fu) << 6) | (text[i + 1] & 0x3F);
      length = 2;
      if (code < 0x80) code = 0xFFFD;
    } else if ((c & 0xF0) == 0xE0 && continuation(1) && continuation(2)) {
      code = ((c & 0x0Fu) << 12) | ((text[i + 1] & 0x3Fu) << 6) | (text[i + 2] & 0x3F);
      length = 3;
      if (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
    } else if ((c & 0xF8) == 0xF0 && continuation(1) && continuation(2) && continuation(3)) {
      code = ((c & 0x07u) << 18) | ((text[i + 1] & 0x3Fu) << 12) | ((text[i + 2] & 0x3Fu) << 6) |
             (text[i + 3] & 0x3F);
      length = 4;
      if (code < 0x10000 || code > 0x10FFFF) code = 0xFFFD;
    }
    i += length;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

}  // namespace mvn::spooler::unicode
