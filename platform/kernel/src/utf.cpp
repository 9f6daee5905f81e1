#include "platform/kernel/utf.h"

namespace mvn::kernel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The code point at text[*i] (a surrogate pair, or U+FFFD for an unpaired
// surrogate), advancing *i past it.
char32_t NextUtf16(std::u16string_view text, std::size_t* i) {
  char32_t code = text[*i];
  ++*i;
  if (code >= 0xD800 && code <= 0xDBFF && *i < text.size() && text[*i] >= 0xDC00 && text[*i] <= 0xDFFF) {
    code = 0x10000 + ((code - 0xD800) << 10) + (text[*i] - 0xDC00);
    ++*i;
  } else if (code >= 0xD800 && code <= 0xDFFF) {
    code = kReplacement;
  }
  return code;
}

// code as UTF-8 into out (room for four bytes); the number of bytes.
std::size_t EncodeUtf8(char32_t code, char* out) {
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    out[0] = static_cast<char>(0xC0 | (code >> 6));
    out[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (code >> 12));
    out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (code >> 18));
  out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (code & 0x3F));
  return 4;
}

// Decodes one code point at text[*i], advancing *i; invalid input gives
// U+FFFD for its first byte.
char32_t NextUtf8(std::string_view text, std::size_t* i) {
  const Utf8Char c = DecodeUtf8At(text, *i);
  *i += c.length;
  return c.code;
}

}  // namespace

Utf8Char DecodeUtf8At(std::string_view text, std::size_t at) {
  const Utf8Char invalid{kReplacement, 1, false};
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t length;
  char32_t code;
  char32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
    minimum = 0x10000;
  } else {
    return invalid;
  }
  if (at + length > text.size()) return invalid;
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char c = static_cast<unsigned char>(text[at + k]);
    if ((c & 0xC0) != 0x80) return invalid;
    code = (code << 6) | (c & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return invalid;
  return {code, length, true};
}

std::size_t EncodeUtf16(char32_t code, char16_t out[2]) {
  if (code < 0x10000) {
    out[0] = static_cast<char16_t>(code);
    return 1;
  }
  out[0] = static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
  out[1] = static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
  return 2;
}

std::size_t Utf8CutPoint(std::string_view text, std::size_t limit) {
  if (limit >= text.size()) return text.size();
  // The lead byte of the sequence the limit may fall inside: at most three
  // continuation bytes back.
  std::size_t k = limit;
  int steps = 0;
  while (k > 0 && steps < 3 && (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80) {
    --k;
    ++steps;
  }
  const unsigned char lead = static_cast<unsigned char>(text[k]);
  std::size_t length = 1;
  if (lead >= 0xF0 && lead < 0xF8) {
    length = 4;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3;
  } else if (lead >= 0xC0 && lead < 0xE0) {
    length = 2;
  }
  if (length > 1 && k < limit && k + length > limit) return k;
  return limit;
}

void AppendUtf8(std::string* out, char32_t code) {
  char bytes[4];
  out->append(bytes, EncodeUtf8(code, bytes));
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) AppendUtf8(&out, NextUtf16(text, &i));
  return out;
}

bool Utf16ToUtf8(const char16_t* text, char* out, std::size_t size) {
  if (size == 0) return false;
  std::u16string_view view = text ? std::u16string_view(text) : std::u16string_view();
  std::size_t used = 0;
  for (std::size_t i = 0; i < view.size();) {
    char bytes[4];
    std::size_t count = EncodeUtf8(NextUtf16(view, &i), bytes);
    if (used + count >= size) {
      out[0] = '\0';
      return false;
    }
    for (std::size_t k = 0; k < count; ++k) out[used++] = bytes[k];
  }
  out[used] = '\0';
  return true;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char16_t units[2];
    out.append(units, EncodeUtf16(NextUtf8(text, &i), units));
  }
  return out;
}

}  // namespace mvn::kernel
