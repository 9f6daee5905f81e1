// CTEXT and the plain text utilities.
#include "lib/text.h"

#include <cstring>

#include "lib/cxxlib.h"

namespace {

const char kEmpty[] = "";
const char kDigits[] = "0123456789ABCDEF";

inline const char* OrEmpty(const char* text) { return text ? text : kEmpty; }

inline DWORD TextLength(const char* text) { return text ? static_cast<DWORD>(std::strlen(text)) : 0; }

inline bool InSet(char c, const char* set) {
  if (!set || c == '\0') return false;
  for (; *set; ++set)
    if (*set == c) return true;
  return false;
}

// Digits of value in base, left-filled with '0' up to minimumDigits, with an
// optional leading "-", written at the end of work; returns the start.
char* FormatDigits(std::uint64_t value, DWORD minimumDigits, DWORD base, bool negative, char* work,
                   DWORD workSize) {
  // An unusable base would never finish (1) or divide by zero (0).
  if (base < 2 || base > 16) base = 10;
  char* end = work + workSize;
  char* p = end;
  *--p = '\0';
  DWORD digits = 0;
  // Room for the sign stays free; a minimum that does not fit is cut.
  char* limit = work + 1;
  while (value != 0 && p > limit) {
    *--p = kDigits[value % base];
    value /= base;
    ++digits;
  }
  while (digits < minimumDigits && p > limit) {
    *--p = '0';
    ++digits;
  }
  if (negative) *--p = '-';
  return p;
}

}  // namespace

// ---------------------------------------------------------------------------
// CTEXT: the heap slots forward to this deliverable's heap object, so a
// string always allocates from the heap of the code that constructed it.

CTEXT::~CTEXT() {
  if (IsOwned()) Free(m_buffer);
}

void* CTEXT::Alloc(DWORD size, void* oldBlock) { return g_pXXHeap->AllocZero(size, oldBlock); }

DWORD CTEXT::Size(void* block) { return static_cast<DWORD>(g_pXXHeap->Size(block)); }

void CTEXT::Free(void* block) { g_pXXHeap->Free(block); }

DWORD CTEXT::RoundCapacity(DWORD n) { return (n + 15u) & ~15u; }

DWORD CTEXT::Length() const { return TextLength(m_buffer); }

void CTEXT::AttachBuffer(char* buffer, DWORD size) {
  if (IsOwned()) Free(m_buffer);
  SetBuffer(buffer, size, false);
}

void CTEXT::Reserve(DWORD n) {
  DWORD capacity = Capacity();
  if (n <= capacity) return;
  DWORD rounded = RoundCapacity(n);
  char* block;
  if (IsOwned() || !m_buffer) {
    block = static_cast<char*>(Alloc(rounded, m_buffer));
  } else {
    // An inline or attached buffer stays where it is; its whole capacity
    // moves to the new block.
    block = static_cast<char*>(Alloc(rounded, nullptr));
    std::memcpy(block, m_buffer, capacity);
  }
  // The private heap raises on failure; a slot that returns nothing anyway
  // must not leave the string pointing nowhere.
  if (!block) RaiseException(STATUS_NO_MEMORY, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  SetBuffer(block, Size(block), true);
}

// A source inside the object's own buffer would be left behind (or
// overwritten) when the buffer grows; the operations below take care of it.
bool CTEXT::Aliases(const char* text) const {
  if (!text || !m_buffer) return false;
  auto p = reinterpret_cast<std::uintptr_t>(text);
  auto start = reinterpret_cast<std::uintptr_t>(m_buffer);
  return p >= start && p < start + Capacity();
}

void CTEXT::Assign(const char* text) {
  text = OrEmpty(text);
  DWORD length = TextLength(text);
  if (Aliases(text)) {
    // A text inside the buffer fits it, so nothing is reallocated.
    std::memmove(m_buffer, text, length + 1);
    return;
  }
  Reserve(length + 1);
  std::memcpy(m_buffer, text, length + 1);
}

void CTEXT::AssignN(const char* text, DWORD n) {
  if (!text) n = 0;
  if (Aliases(text)) {
    DWORD offset = static_cast<DWORD>(text - m_buffer);
    // Bytes past the buffer are no part of it.
    if (n > Capacity() - offset) n = Capacity() - offset;
    Reserve(n + 1);
    std::memmove(m_buffer, m_buffer + offset, n);
    m_buffer[n] = '\0';
    return;
  }
  Reserve(n + 1);
  if (n) std::memcpy(m_buffer, text, n);
  m_buffer[n] = '\0';
}

void CTEXT::Append(const char* text) {
  DWORD added = TextLength(text);
  if (added == 0) return;
  DWORD length = Length();
  if (Aliases(text)) {
    // Growing keeps the contents, so the source is found again by offset.
    DWORD offset = static_cast<DWORD>(text - m_buffer);
    Reserve(length + added + 1);
    std::memmove(m_buffer + length, m_buffer + offset, added);
  } else {
    Reserve(length + added + 1);
    std::memcpy(m_buffer + length, text, added);
  }
  m_buffer[length + added] = '\0';
}

void CTEXT::Join2(const char* a, const char* b) {
  if (Aliases(a) || Aliases(b)) {
    CTEXT joined;
    joined.Join2(a, b);
    Assign(joined.Text());
    return;
  }
  Assign(a);
  Append(b);
}

void CTEXT::Join3(const char* a, const char* b, const char* c) {
  if (Aliases(a) || Aliases(b) || Aliases(c)) {
    CTEXT joined;
    joined.Join3(a, b, c);
    Assign(joined.Text());
    return;
  }
  Assign(a);
  Append(b);
  Append(c);
}

void CTEXT::Append2(const char* a, const char* b) {
  if (Aliases(a) || Aliases(b)) {
    CTEXT joined;
    joined.Join2(a, b);
    Append(joined.Text());
    return;
  }
  Append(a);
  Append(b);
}

const char* CTEXT::SetNumber(DWORD value, DWORD minimumDigits, DWORD base) {
  char work[64];
  Assign(FormatDigits(value, minimumDigits, base, false, work, sizeof work));
  return Text();
}

const char* CTEXT::SetUInt64(std::uint64_t value, DWORD minimumDigits, DWORD base) {
  char work[128];
  Assign(FormatDigits(value, minimumDigits, base, false, work, sizeof work));
  return Text();
}

const char* CTEXT::SetSigned(LONG value, DWORD minimumDigits) {
  char work[64];
  std::uint64_t magnitude =
      value < 0 ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(value)) : static_cast<std::uint64_t>(value);
  Assign(FormatDigits(magnitude, minimumDigits, 10, value < 0, work, sizeof work));
  return Text();
}

const char* CTEXT::SetInt64(std::int64_t value, DWORD minimumDigits) {
  char work[128];
  std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  Assign(FormatDigits(magnitude, minimumDigits, 10, value < 0, work, sizeof work));
  return Text();
}

// ---------------------------------------------------------------------------
// Text utilities

const char* StrChr(const char* text, char c) {
  if (!text) return nullptr;
  for (; *text; ++text)
    if (*text == c) return text;
  return nullptr;
}

char* StrChr(char* text, char c) { return const_cast<char*>(StrChr(static_cast<const char*>(text), c)); }

const char* StrRChr(const char* text, char c) {
  if (!text) return nullptr;
  const char* found = nullptr;
  for (; *text; ++text)
    if (*text == c) found = text;
  return found;
}

char* StrRChr(char* text, char c) { return const_cast<char*>(StrRChr(static_cast<const char*>(text), c)); }

const char* StrRPBrk(const char* text, const char* set) {
  if (!text) return nullptr;
  const char* found = nullptr;
  for (; *text; ++text)
    if (InSet(*text, set)) found = text;
  return found;
}

DWORD StrCSpn(const char* text, const char* set) {
  text = OrEmpty(text);
  DWORD n = 0;
  while (text[n] && !InSet(text[n], set)) ++n;
  return n;
}

DWORD StrLenTo(const char* text, char c, const char** where) {
  text = OrEmpty(text);
  DWORD n = 0;
  while (text[n] && text[n] != c) ++n;
  if (where) *where = text + n;
  return n;
}

DWORD SpanDigits(const char* text, const char** after) {
  text = OrEmpty(text);
  DWORD n = 0;
  while (CharIsDigit(text[n])) ++n;
  if (after) *after = text + n;
  return n;
}

char* StrToken(char** cursor, const char* set) {
  if (!cursor || !*cursor) return nullptr;
  char* start = *cursor;
  char* p = start + StrCSpn(start, set);
  if (*p) {
    // Standing on a separator: it ends this token.
    *p = '\0';
    ++p;
  }
  *cursor = p;
  return p == start ? nullptr : start;
}

char* TrimLeft(char* text, const char* set) {
  if (!text) return text;
  DWORD skip = 0;
  while (InSet(text[skip], set)) ++skip;
  if (skip) std::memmove(text, text + skip, std::strlen(text + skip) + 1);
  return text;
}

char* TrimRight(char* text, const char* set) {
  if (!text || !*text) return text;
  char* p = text + std::strlen(text) - 1;
  while (p > text && InSet(*p, set)) --p;
  if (InSet(*p, set))
    *p = '\0';  // only set characters: the text becomes empty
  else
    p[1] = '\0';
  return text;
}

char* Trim(char* text, const char* set) { return TrimLeft(TrimRight(text, set), set); }

namespace {

template <bool kFold>
int CompareTexts(const char* a, const char* b, DWORD limit) {
  a = OrEmpty(a);
  b = OrEmpty(b);
  auto fold = [](char c) { return kFold ? CharToLower(c) : c; };
  DWORD equal = 0;
  while (*a && *b) {
    signed char ca = static_cast<signed char>(fold(*a));
    signed char cb = static_cast<signed char>(fold(*b));
    if (ca != cb) return ca - cb;
    ++a;
    ++b;
    if (limit && ++equal >= limit) return 0;
  }
  return static_cast<signed char>(fold(*a)) - static_cast<signed char>(fold(*b));
}

}  // namespace

int StrCmp(const char* a, const char* b, DWORD limit) { return CompareTexts<false>(a, b, limit); }

int StrICmp(const char* a, const char* b, DWORD limit) { return CompareTexts<true>(a, b, limit); }

namespace {

std::uint64_t ReadDecimal(const char* p) {
  std::uint64_t value = 0;
  for (; CharIsDigit(*p); ++p) value = value * 10u + static_cast<std::uint64_t>(*p - '0');
  return value;
}

const char* SkipSpace(const char* p) {
  while (CharIsSpace(*p)) ++p;
  return p;
}

bool IsHexPrefix(const char* p) { return p[0] == '0' && (p[1] == 'x' || p[1] == 'X'); }

}  // namespace

std::int64_t StrToInt64(const char* text) {
  if (!text || !*text) return 0;
  const char* p = SkipSpace(text);
  if (IsHexPrefix(p)) return HexToInt64(p);
  bool negative = false;
  if (*p == '+') {
    ++p;
  } else if (*p == '-') {
    negative = true;
    ++p;
  }
  std::uint64_t value = ReadDecimal(p);
  return static_cast<std::int64_t>(negative ? 0 - value : value);
}

std::uint64_t StrToUInt64(const char* text) {
  if (!text || !*text) return 0;
  const char* p = SkipSpace(text);
  if (IsHexPrefix(p)) return static_cast<std::uint64_t>(HexToInt64(p));
  return ReadDecimal(p);  // a sign is no digit: the number ends there
}

std::int64_t HexToInt64(const char* text) {
  if (!text || !*text) return 0;
  const char* p = text;
  while (CharIsSpace(*p) || *p == '0' || *p == 'x' || *p == 'X') ++p;
  std::uint64_t value = 0;
  for (; CharIsHexDigit(*p); ++p) {
    char c = *p;
    unsigned digit = CharIsDigit(c) ? static_cast<unsigned>(c - '0') : static_cast<unsigned>(CharToLower(c) - 'a' + 10);
    value = (value << 4) | digit;
  }
  return static_cast<std::int64_t>(value);
}

double StrToFloat(const char* text, DWORD* fractionDigits) {
  DWORD fraction = 0;
  double value;
  if (StrChr(text, '.')) {
    // Digits only (separators such as "," are skipped) into a small work
    // buffer; the "." only decides the divisor.
    char work[16];
    DWORD used = 0;
    const char* p = SkipSpace(text);
    if (*p == '+' || *p == '-') work[used++] = *p++;
    double divisor = 1.0;
    bool afterPoint = false;
    for (; *p && used < 15; ++p) {
      if (*p == '.') {
        divisor = 1.0;
        afterPoint = true;
      } else if (CharIsDigit(*p)) {
        work[used++] = *p;
        if (afterPoint) {
          divisor *= 10.0;
          ++fraction;
        }
      }
    }
    work[used] = '\0';
    value = static_cast<double>(StrToInt64(work)) / divisor;
  } else {
    value = static_cast<double>(StrToInt64(text));
  }
  if (fractionDigits) *fractionDigits = fraction;
  return value;
}

bool ParseBool(char* text, bool* value) {
  if (!text) return false;
  Trim(text, "\t ");
  DWORD n = TextLength(text);
  if (n == 0) return false;
  bool result;
  if (StrICmp(text, "TRUE", n) == 0 || StrICmp(text, "YES", n) == 0 || StrICmp(text, "ON", n) == 0) {
    result = true;
  } else if (StrICmp(text, "FALSE", n) == 0 || StrICmp(text, "NO", n) == 0 || StrICmp(text, "OFF", n) == 0) {
    result = false;
  } else if (SpanDigits(text, nullptr) == n) {
    result = StrToInt64(text) != 0;
  } else {
    return false;
  }
  if (value) *value = result;
  return true;
}

bool TextToBool(char* text) {
  bool value = false;
  return ParseBool(text, &value) && value;
}
