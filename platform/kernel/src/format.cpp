// The window-system formatter wvsprintfA/wsprintfA.
//
// %[-][0][#][width][.precision][h|l|w|I64|ll](c|C|d|i|u|x|X|s|S): h and l
// mean 16 and 32 bits as on Win32 ("%lu" takes a DWORD, not a 64-bit long),
// I64 means 64 bits; l or w with c/s (and C, S) take wide characters
// (char16_t), written as UTF-8. Any other character after "%" is written as
// itself ("%%" gives "%"). At most 1024 characters are written, plus the NUL.
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/kernel/utf.h"
#include "platform/kernel/win32.h"

namespace {

using mvn::kernel::AppendUtf8;

constexpr int kMaximumOutput = 1024;
constexpr int kSaturatedNumber = 1 << 24;

class Output {
 public:
  explicit Output(char* buffer) : m_buffer(buffer) {}
  void Put(char c) {
    if (m_length < kMaximumOutput) m_buffer[m_length++] = c;
  }
  void Put(const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) Put(text[i]);
  }
  void Pad(char c, int count) {
    for (int i = 0; i < count && !Full(); ++i) Put(c);
  }
  bool Full() const { return m_length >= kMaximumOutput; }
  int Finish() {
    m_buffer[m_length] = '\0';
    return m_length;
  }

 private:
  char* m_buffer;
  int m_length = 0;
};

// A wide argument up to its terminator or limit units (limit < 0: none).
std::string WideToUtf8(const char16_t* text, int limit) {
  std::size_t length = 0;
  while (text[length] && (limit < 0 || length < static_cast<std::size_t>(limit))) ++length;
  // A limit never splits a surrogate pair: the character is written whole.
  if (length > 0 && text[length - 1] >= 0xD800 && text[length - 1] < 0xDC00 && text[length] >= 0xDC00 &&
      text[length] < 0xE000)
    ++length;
  return mvn::kernel::Utf16ToUtf8(std::u16string_view(text, length));
}

enum class Size { Default, Short, Long, Wide, Int64 };

}  // namespace

int wvsprintfA(LPSTR buffer, LPCSTR format, va_list arguments) {
  if (!buffer) return 0;
  Output out(buffer);
  if (!format) return out.Finish();
  va_list args;
  va_copy(args, arguments);
  for (const char* p = format; *p && !out.Full(); ++p) {
    if (*p != '%') {
      out.Put(*p);
      continue;
    }
    ++p;
    bool left = false, zero = false, alternate = false;
    for (;; ++p) {
      if (*p == '-') left = true;
      else if (*p == '0') zero = true;
      else if (*p == '#') alternate = true;
      else break;
    }
    // A long run of digits saturates instead of overflowing; anything that
    // large pads or cuts beyond the end of the output anyway.
    auto number = [&p]() {
      int value = 0;
      for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > kSaturatedNumber) value = kSaturatedNumber;
      }
      return value;
    };
    int width = number();
    int precision = -1;
    if (*p == '.') {
      ++p;
      precision = number();
    }
    Size size = Size::Default;
    if (*p == 'h') {
      size = Size::Short;
      ++p;
    } else if (*p == 'l' && p[1] == 'l') {
      size = Size::Int64;
      p += 2;
    } else if (*p == 'l') {
      size = Size::Long;
      ++p;
    } else if (*p == 'w') {
      size = Size::Wide;
      ++p;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      size = Size::Int64;
      p += 3;
    }
    if (!*p) break;

    std::string body;   // the converted text without padding
    std::string prefix; // sign or "0x", before zero padding
    bool numeric = false;
    char type = *p;
    switch (type) {
      case 'c':
      case 'C': {
        bool wide = type == 'C' ? size != Size::Short : (size == Size::Long || size == Size::Wide);
        int value = va_arg(args, int);
        if (wide) {
          AppendUtf8(&body, static_cast<char16_t>(value));
        } else {
          body += static_cast<char>(value);
        }
        break;
      }
      case 's':
      case 'S': {
        bool wide = type == 'S' ? size != Size::Short : (size == Size::Long || size == Size::Wide);
        if (wide) {
          const char16_t* text = va_arg(args, const char16_t*);
          body = text ? WideToUtf8(text, precision) : std::string("(null)");
        } else {
          const char* text = va_arg(args, const char*);
          if (!text) text = "(null)";
          std::size_t length = precision >= 0 ? strnlen(text, static_cast<std::size_t>(precision)) : std::strlen(text);
          body.assign(text, length);
        }
        if (precision >= 0 && body.size() > static_cast<std::size_t>(precision)) body.resize(precision);
        break;
      }
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X': {
        numeric = true;
        bool isSigned = type == 'd' || type == 'i';
        std::uint64_t magnitude;
        bool negative = false;
        if (size == Size::Int64) {
          std::int64_t value = va_arg(args, std::int64_t);
          if (isSigned && value < 0) {
            negative = true;
            magnitude = 0 - static_cast<std::uint64_t>(value);
          } else {
            magnitude = static_cast<std::uint64_t>(value);
          }
        } else {
          unsigned raw = va_arg(args, unsigned);
          if (size == Size::Short) raw &= 0xFFFFu;
          std::int64_t value = isSigned ? (size == Size::Short ? static_cast<std::int16_t>(raw) : static_cast<std::int32_t>(raw))
                                        : static_cast<std::int64_t>(raw);
          negative = value < 0;
          magnitude = negative ? static_cast<std::uint64_t>(-value) : static_cast<std::uint64_t>(value);
        }
        unsigned base = (type == 'x' || type == 'X') ? 16 : 10;
        const char* digits = type == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
        char work[32];
        int n = 0;
        do {
          work[n++] = digits[magnitude % base];
          magnitude /= base;
        } while (magnitude);
        if (precision == 0 && n == 1 && work[0] == '0') n = 0;
        // Zeros past the end of the output would never be seen.
        for (int i = n; i < precision && body.size() < static_cast<std::size_t>(kMaximumOutput); ++i) body += '0';
        while (n) body += work[--n];
        if (negative) prefix.push_back('-');
        if (alternate && base == 16 && body.find_first_not_of('0') != std::string::npos) {
          prefix.push_back('0');
          prefix.push_back(type == 'X' ? 'X' : 'x');
        }
        break;
      }
      default:
        out.Put(type);
        continue;
    }
    int length = static_cast<int>(prefix.size() + body.size());
    int padding = width > length ? width - length : 0;
    if (left) {
      out.Put(prefix.data(), prefix.size());
      out.Put(body.data(), body.size());
      out.Pad(' ', padding);
    } else if (zero && numeric && precision < 0) {
      out.Put(prefix.data(), prefix.size());
      out.Pad('0', padding);
      out.Put(body.data(), body.size());
    } else if (zero && !numeric) {
      out.Pad('0', padding);
      out.Put(body.data(), body.size());
    } else {
      out.Pad(' ', padding);
      out.Put(prefix.data(), prefix.size());
      out.Put(body.data(), body.size());
    }
  }
  va_end(args);
  return out.Finish();
}

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = wvsprintfA(buffer, format, arguments);
  va_end(arguments);
  return result;
}
