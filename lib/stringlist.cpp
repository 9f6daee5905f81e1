// StringListClasses: CSTRINGLISTBASE, CSTRINGLIST and CTOKENLIST.
#include "lib/stringlist.h"

#include <cstring>

#include "lib/cxxlib.h"

namespace {

constexpr const char* kSourceModule = "StringListClasses";
constexpr int kLineNoText = 54;
constexpr int kLineCountMismatch = 84;
constexpr int kLineNotInList = 113;

const char kEmpty[] = "";
constexpr DWORD kItemSize = sizeof(DWORD);

// Characters before the first "=" (the whole length without one).
inline DWORD NamePartLength(const char* entry) { return StrLenTo(entry, '=', nullptr); }

}  // namespace

// ---------------------------------------------------------------------------
// CSTRINGLISTBASE

DWORD CSTRINGLISTBASE::RoundCapacity(DWORD n) { return (n + 255u) & ~255u; }

DWORD CSTRINGLISTBASE::Add(const char*) { LibraryPureCall(); }

bool CSTRINGLISTBASE::Next(const char**) { LibraryPureCall(); }

// ---------------------------------------------------------------------------
// CSTRINGLIST

DWORD CSTRINGLIST::UsedFrom(const char* start) const {
  DWORD capacity = Capacity();
  DWORD offset = static_cast<DWORD>(start - m_buffer);
  DWORD end = offset;
  while (end < capacity && m_buffer[end]) end += static_cast<DWORD>(strnlen(m_buffer + end, capacity - end)) + 1;
  if (end > capacity) end = capacity;
  return end - offset;
}

DWORD CSTRINGLIST::Add(const char* text) {
  if (!text) RaiseLibraryError(kSourceModule, kLineNoText);
  if (!*text) return 0;
  if (Aliases(text)) {
    // A text inside the buffer would move with it (removal, growth).
    CTEXTBUF256 copy(text);
    return Add(copy.Text());
  }
  DWORD nameLength = m_allowDuplicates ? 0 : NamePartLength(text);

  // Walk the entries, counting them; the running offset ends as the number
  // of bytes in use.
  DWORD capacity = Capacity();
  DWORD used = 0;
  DWORD walked = 0;
  while (m_buffer && used < capacity && m_buffer[used]) {
    const char* entry = m_buffer + used;
    if (!m_allowDuplicates) {
      if (std::strcmp(entry, text) == 0) return used;  // pooled
      // (A limit of 0 would compare the whole texts: two empty name parts
      // are equal as they stand.)
      if (NamePartLength(entry) == nameLength && (nameLength == 0 || StrICmp(entry, text, nameLength) == 0)) {
        // Same name: the old entry goes, the new text is added at the end.
        Remove(entry);
        return Add(text);
      }
    }
    used += static_cast<DWORD>(strnlen(entry, capacity - used)) + 1;
    ++walked;
  }
  if (walked != m_count) RaiseLibraryError(kSourceModule, kLineCountMismatch);

  DWORD length = static_cast<DWORD>(std::strlen(text));
  if (length + 1 >= capacity - used) {
    Reserve(capacity + length + 2);
    capacity = Capacity();
  }
  std::memcpy(m_buffer + used, text, length + 1);
  // The tail stays zero, so an empty text marks the end of the entries.
  std::memset(m_buffer + used + length + 1, 0, capacity - used - length - 1);
  ++m_count;
  return used;
}

bool CSTRINGLIST::Next(const char** cursor) {
  if (!cursor) return false;
  const char* p = *cursor;
  if (!p)
    p = m_buffer ? m_buffer : kEmpty;
  else if (*p)
    p += std::strlen(p) + 1;
  *cursor = p;
  return *p != '\0';
}

bool CSTRINGLIST::Remove(const char* entry) {
  if (!entry || m_count == 0 || !m_buffer) return false;
  auto p = reinterpret_cast<std::uintptr_t>(entry);
  auto start = reinterpret_cast<std::uintptr_t>(m_buffer);
  DWORD capacity = Capacity();
  if (p < start || p >= start + capacity) RaiseLibraryError(kSourceModule, kLineNotInList);
  if (!*entry) return false;
  // A pointer into the middle of an entry is no entry of the list either.
  if (entry != m_buffer && entry[-1] != '\0') RaiseLibraryError(kSourceModule, kLineNotInList);

  char* target = const_cast<char*>(entry);
  DWORD size = static_cast<DWORD>(std::strlen(target)) + 1;
  DWORD rest = UsedFrom(target) - size;
  std::memmove(target, target + size, rest);
  std::memset(target + rest, 0, size);
  --m_count;
  return true;
}

bool CSTRINGLIST::NextEntry(const char** cursor, CTEXT* name, CTEXT* value) {
  name->Empty();
  value->Empty();
  if (!Next(cursor)) return false;
  const char* entry = *cursor;
  const char* equals = nullptr;
  DWORD nameLength = StrLenTo(entry, '=', &equals);
  if (*equals) {
    name->AssignN(entry, nameLength);
    value->Assign(equals + 1);
  } else {
    name->Assign(entry);
  }
  return true;
}

const char* CSTRINGLIST::FindEntry(const char* name) {
  DWORD n = name ? static_cast<DWORD>(std::strlen(name)) : 0;
  if (n == 0 || !m_buffer) return nullptr;
  DWORD capacity = Capacity();
  DWORD offset = 0;
  while (offset < capacity && m_buffer[offset]) {
    const char* entry = m_buffer + offset;
    if (StrICmp(entry, name, n) == 0 && (entry[n] == '=' || entry[n] == '\0')) return entry;
    offset += static_cast<DWORD>(strnlen(entry, capacity - offset)) + 1;
  }
  return nullptr;
}

const char* CSTRINGLIST::FindValue(const char* name) {
  const char* entry = FindEntry(name);
  if (!entry) return nullptr;
  const char* end = entry + std::strlen(name);
  return *end == '=' ? end + 1 : end;
}

bool CSTRINGLIST::GetValue(const char* name, CTEXT* string) {
  const char* value = FindValue(name);
  if (!value) return false;
  string->Assign(value);
  return true;
}

bool CSTRINGLIST::RemoveEntry(const char* name) { return Remove(FindEntry(name)); }

bool CSTRINGLIST::SetValue(const char* name, const char* value) {
  if (!value || !*value) {
    if (!m_allowDuplicates) RemoveEntry(name);
    return true;
  }
  CTEXTBUF256 entry;
  entry.Join3(name, "=", value);
  const char* old = m_allowDuplicates ? nullptr : FindEntry(name);
  if (!old) {
    Add(entry.Text());
    return true;
  }
  DWORD oldLength = static_cast<DWORD>(std::strlen(old));
  DWORD newLength = entry.Length();
  if (newLength > oldLength) {
    Remove(old);
    Add(entry.Text());
    return true;
  }
  // Rewritten in place: the entry keeps its place, what follows moves down.
  char* target = const_cast<char*>(old);
  DWORD shrink = oldLength - newLength;
  DWORD after = UsedFrom(target) - (oldLength + 1);
  std::memcpy(target, entry.Text(), newLength + 1);
  if (shrink) {
    std::memmove(target + newLength + 1, target + oldLength + 1, after);
    std::memset(target + newLength + 1 + after, 0, shrink);
  }
  return true;
}

bool CSTRINGLIST::SetInt(const char* name, DWORD number) {
  CTEXTBUF16 text;
  text.SetNumber(number, 1, 10);
  return SetValue(name, text.Text());
}

namespace {

// Builds a text by appending pieces: the length is kept, and the buffer
// grows by doubling, so appending n bytes in any number of pieces costs
// O(n). Refuses to grow past a limit.
class APPENDER {
 public:
  APPENDER(CTEXT* text, DWORD limit) : m_text(text), m_length(0), m_limit(limit), m_overflow(false) {
    m_text->Reserve(1);
    m_text->Empty();
  }
  void Add(const char* piece, DWORD n) {
    if (m_overflow || n == 0) return;
    if (n > m_limit - m_length) {
      m_overflow = true;
      return;
    }
    if (m_length + n + 1 > m_text->Capacity()) {
      DWORD want = m_text->Capacity() * 2;
      if (want < m_length + n + 1) want = m_length + n + 1;
      m_text->Reserve(want);
    }
    std::memcpy(m_text->Buffer() + m_length, piece, n);
    m_length += n;
    m_text->Buffer()[m_length] = '\0';
  }
  void Add(const char* piece) { Add(piece, static_cast<DWORD>(std::strlen(piece))); }
  bool Overflow() const { return m_overflow; }

 private:
  CTEXT* m_text;
  DWORD m_length;
  DWORD m_limit;
  bool m_overflow;
};

}  // namespace

bool CSTRINGLIST::Expand(CTEXT* string, const char* defaultText, bool* tooLong) {
  if (tooLong) *tooLong = false;
  const char* p = string->Text();
  if (!StrChr(p, '%')) return false;
  CTEXTBUF256 result;
  CTEXTBUF256 name;
  APPENDER out(&result, EXPAND_LIMIT);
  bool replaced = false;
  while (*p && !out.Overflow()) {
    const char* percent = nullptr;
    DWORD run = StrLenTo(p, '%', &percent);
    out.Add(p, run);
    if (!*percent) break;
    const char* closing = StrChr(percent + 1, '%');
    if (!closing) {
      // A lone "%" is copied, and so is everything after it.
      out.Add(percent);
      break;
    }
    DWORD nameLength = static_cast<DWORD>(closing - percent - 1);
    if (nameLength == 0) {
      out.Add("%", 1);
      replaced = true;
    } else {
      name.AssignN(percent + 1, nameLength);
      if (const char* value = FindValue(name.Text())) {
        out.Add(value);
        replaced = true;
      } else if (defaultText) {
        out.Add(defaultText);
        replaced = true;
      } else {
        out.Add(percent, nameLength + 2);
      }
    }
    p = closing + 1;
  }
  if (out.Overflow()) {
    if (tooLong) *tooLong = true;
    return false;
  }
  string->Assign(result.Text());
  return replaced;
}

// ---------------------------------------------------------------------------
// CTOKENLIST

CTOKENLIST::CTOKENLIST(char* inlineBuffer, DWORD size) noexcept : CTOKENLIST() {
  AttachBuffer(inlineBuffer, size);
  m_itemCapacity = Capacity() / kItemSize;
}

void CTOKENLIST::AddItem(const char* item) {
  Reserve((m_count + 1) * kItemSize);
  m_itemCapacity = Capacity() / kItemSize;
  DWORD offset = static_cast<DWORD>(item - m_text);
  std::memcpy(m_buffer + m_count * kItemSize, &offset, kItemSize);
  ++m_count;
}

char* CTOKENLIST::GetItem(DWORD index) const {
  if (index >= m_count) return nullptr;
  DWORD offset;
  std::memcpy(&offset, m_buffer + index * kItemSize, kItemSize);
  return m_text + offset;
}

DWORD CTOKENLIST::Split(char* text) {
  if (m_buffer) std::memset(m_buffer, 0, Capacity());
  m_count = 0;
  m_text = text;
  if (!text) return 0;

  static const char kSeparators[] = ",\r\n";
  char* p = text;
  for (;;) {
    TrimLeft(p, kWhiteSpace);
    if (!*p) break;
    if (*p == '"') {
      char* item = p + 1;
      char* quote = StrChr(item, '"');
      // A doubled quote stands for one quote: drop the second, look on.
      while (quote && quote[1] == '"') {
        std::memmove(quote + 1, quote + 2, std::strlen(quote + 2) + 1);
        quote = StrChr(quote + 1, '"');
      }
      AddItem(item);
      if (!quote) break;  // no closing quote: the item runs to the end
      *quote = '\0';
      p = quote + 1;
      p += StrCSpn(p, kSeparators);  // text after the closing quote is dropped
    } else {
      AddItem(p);
      p += StrCSpn(p, kSeparators);
    }
    if (!*p) break;
    *p++ = '\0';
  }
  return m_count;
}
