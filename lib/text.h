// CTEXT: the library's growable, NUL-terminated byte string, and the plain
// text utilities.
//
// CTEXT objects are filled across deliverables (a program's configuration
// object writes into a module's strings), so the layout and the order of the
// virtual operations are fixed: table pointer, flags word (bit 0 = buffer
// owned, bits 1-31 = capacity in bytes), buffer pointer; slots Alloc, Size,
// Free, RoundCapacity. Growth happens only through the object's own slots, so
// every buffer lives in the heap of the deliverable that constructed the
// object. No virtual destructor, no std:: members, no bitwise copies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/kernel/win32.h"

// Reads a member's offset in classes that are not standard-layout (they have
// a table pointer); used only in static_asserts on the fixed layouts.
#define MVN_OFFSETOF(type, member)                                         \
  ([]() constexpr {                                                        \
    _Pragma("GCC diagnostic push")                                         \
    _Pragma("GCC diagnostic ignored \"-Winvalid-offsetof\"")               \
    return __builtin_offsetof(type, member);                               \
    _Pragma("GCC diagnostic pop")                                          \
  }())

class CTEXT {
 public:
  CTEXT() noexcept : m_flags(0), m_buffer(nullptr) {}
  CTEXT(const CTEXT&) = delete;
  CTEXT& operator=(const CTEXT&) = delete;
  ~CTEXT();  // frees an owned buffer through slot 2; deliberately not virtual

  // Slot 0: a zero-filled block of size bytes; an old block is reallocated,
  // keeping its contents and zero-filling what is new.
  virtual void* Alloc(DWORD size, void* oldBlock);
  // Slot 1: usable size of a block from Alloc (0 for nullptr).
  virtual DWORD Size(void* block);
  // Slot 2: frees such a block (nullptr is ignored).
  virtual void Free(void* block);
  // Slot 3: the capacity to ask for at least n bytes (multiple of 16).
  virtual DWORD RoundCapacity(DWORD n);

  void AttachBuffer(char* buffer, DWORD size);
  void Reserve(DWORD n);
  void Assign(const char* text);
  void AssignN(const char* text, DWORD n);
  void Append(const char* text);
  void Join2(const char* a, const char* b);
  void Join3(const char* a, const char* b, const char* c);
  void Append2(const char* a, const char* b);
  const char* SetNumber(DWORD value, DWORD minimumDigits, DWORD base);
  const char* SetUInt64(std::uint64_t value, DWORD minimumDigits, DWORD base);
  const char* SetSigned(LONG value, DWORD minimumDigits);
  const char* SetInt64(std::int64_t value, DWORD minimumDigits);

  // The text; "" when there is no buffer.
  const char* Text() const { return m_buffer ? m_buffer : ""; }
  // The buffer itself (nullptr when there is none) for callers that fill it
  // directly after Reserve.
  char* Buffer() { return m_buffer; }
  DWORD Length() const;
  bool IsEmpty() const { return !m_buffer || !m_buffer[0]; }
  DWORD Capacity() const { return m_flags >> 1; }
  bool IsOwned() const { return (m_flags & 1u) != 0; }
  void Empty() {
    if (m_buffer) m_buffer[0] = '\0';
  }

 protected:
  void SetBuffer(char* buffer, DWORD capacity, bool owned) {
    m_buffer = buffer;
    m_flags = (capacity << 1) | (owned ? 1u : 0u);
  }
  // Whether text lies inside this object's buffer (a source that growing the
  // buffer would leave behind).
  bool Aliases(const char* text) const;

  DWORD m_flags;
  char* m_buffer;

  friend struct CTEXTLayout;
};

struct CTEXTLayout {
  static constexpr std::size_t flags = MVN_OFFSETOF(CTEXT, m_flags);
  static constexpr std::size_t buffer = MVN_OFFSETOF(CTEXT, m_buffer);
};
static_assert(CTEXTLayout::flags == sizeof(void*), "CTEXT: flags word follows the table pointer");
static_assert(CTEXTLayout::buffer == 2 * sizeof(void*), "CTEXT: buffer pointer is the third word");
static_assert(sizeof(CTEXT) == 3 * sizeof(void*), "CTEXT: three words");

// A CTEXT that starts on an inline array of N bytes (not owned); it moves to
// a heap block only when it must grow.
template <DWORD N>
class CTEXTBUF : public CTEXT {
 public:
  CTEXTBUF() noexcept {
    for (DWORD i = 0; i < N; ++i) m_inline[i] = 0;
    SetBuffer(m_inline, N, false);
  }
  explicit CTEXTBUF(const char* text) : CTEXTBUF() { Assign(text); }
  CTEXTBUF(const CTEXTBUF&) = delete;
  CTEXTBUF& operator=(const CTEXTBUF&) = delete;

 private:
  char m_inline[N];
};

using CTEXTBUF8 = CTEXTBUF<8>;
using CTEXTBUF16 = CTEXTBUF<16>;
using CTEXTBUF32 = CTEXTBUF<32>;
using CTEXTBUF64 = CTEXTBUF<64>;
using CTEXTBUF128 = CTEXTBUF<128>;
using CTEXTBUF256 = CTEXTBUF<256>;
using CTEXTBUF1024 = CTEXTBUF<1024>;

// ---------------------------------------------------------------------------
// Character classes of the library (bytes 128-255 belong to no class).
inline bool CharIsUpper(char c) { return c >= 'A' && c <= 'Z'; }
inline bool CharIsLower(char c) { return c >= 'a' && c <= 'z'; }
inline bool CharIsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool CharIsSpace(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }
inline bool CharIsHexDigit(char c) {
  return CharIsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
inline char CharToLower(char c) { return CharIsUpper(c) ? static_cast<char>(c + ('a' - 'A')) : c; }
inline char CharToUpper(char c) { return CharIsLower(c) ? static_cast<char>(c - ('a' - 'A')) : c; }

// The library's white space as a set for the trim functions.
inline constexpr const char* kWhiteSpace = "\t\n\r ";

// Text utilities; a nullptr text counts as the empty text unless said otherwise.
const char* StrChr(const char* text, char c);   // nullptr text gives nullptr
char* StrChr(char* text, char c);
const char* StrRChr(const char* text, char c);  // nullptr text gives nullptr
char* StrRChr(char* text, char c);
const char* StrRPBrk(const char* text, const char* set);
DWORD StrCSpn(const char* text, const char* set);
// Characters before the first c (or the end); *where receives that place.
DWORD StrLenTo(const char* text, char c, const char** where);
// Leading decimal digits; *after receives the place behind them.
DWORD SpanDigits(const char* text, const char** after);
char* StrToken(char** cursor, const char* set);
char* TrimLeft(char* text, const char* set);
char* TrimRight(char* text, const char* set);
char* Trim(char* text, const char* set);
int StrCmp(const char* a, const char* b, DWORD limit);
int StrICmp(const char* a, const char* b, DWORD limit);
std::int64_t StrToInt64(const char* text);
std::uint64_t StrToUInt64(const char* text);
std::int64_t HexToInt64(const char* text);
double StrToFloat(const char* text, DWORD* fractionDigits);
// Trims TAB and blank from both ends of the text in place.
bool ParseBool(char* text, bool* value);
bool TextToBool(char* text);
