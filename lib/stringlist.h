// String lists (many short texts back to back in one CTEXT buffer: a pool of
// stable byte offsets, a NAME=value variable list with %NAME% expansion) and
// the comma-list splitter CTOKENLIST.
//
// CSTRINGLIST objects are filled across deliverables (a program's
// configuration object adds to a module's lists through slots 4 and 5), so
// its layout and slot order are fixed: the CTEXT part, the entry count, the
// allow-duplicates byte; slots Alloc, Size, Free, RoundCapacity, Add, Next.
// No virtual destructor, no std:: members.
#pragma once

#include "lib/text.h"

// A CTEXT whose buffer grows in steps of 256 bytes and which adds the two
// list slots. Both are "pure" here: calling them is a library fault.
// The longest text CSTRINGLIST::Expand makes.
constexpr DWORD EXPAND_LIMIT = 32768;

class CSTRINGLISTBASE : public CTEXT {
 public:
  CSTRINGLISTBASE() = default;

  // Slot 3: multiples of 256.
  DWORD RoundCapacity(DWORD n) override;
  // Slot 4: stores a text and returns its byte offset in the buffer.
  virtual DWORD Add(const char* text);
  // Slot 5: moves the cursor (nullptr = before the first entry) to the next
  // entry; false at the end.
  virtual bool Next(const char** cursor);
};

class CSTRINGLIST : public CSTRINGLISTBASE {
 public:
  CSTRINGLIST() noexcept : m_count(0), m_allowDuplicates(0) {}

  // Slot 4: pools an exact match (its offset is returned, nothing added),
  // replaces an entry with the same name part, else appends.
  DWORD Add(const char* text) override;
  // Slot 5.
  bool Next(const char** cursor) override;

  // Removes the entry that starts at entry; false for nullptr, an empty
  // entry or an empty list. A pointer that is not an entry of the list is a
  // library fault.
  bool Remove(const char* entry);
  // Next through slot 5, the entry split into name and value.
  bool NextEntry(const char** cursor, CTEXT* name, CTEXT* value);
  // The first NAME or NAME=... entry (name compared without case).
  const char* FindEntry(const char* name);
  // The value behind "=" of that entry ("" for a bare NAME); nullptr if none.
  const char* FindValue(const char* name);
  // Copies the value; false (string unchanged) when there is no such entry.
  bool GetValue(const char* name, CTEXT* string);
  bool RemoveEntry(const char* name);
  // NAME=value; an empty value removes NAME. Always true.
  bool SetValue(const char* name, const char* value);
  // SetValue with the unsigned decimal text of number.
  bool SetInt(const char* name, DWORD number);
  // Replaces %NAME% by the variable's value (or defaultText when the list
  // lacks it and one is given) and "%%" by "%". True when anything was
  // replaced. Runs in time linear in the result. A result longer than
  // EXPAND_LIMIT bytes is not made: the string stays as it was, the result
  // is false and *tooLong (when given) true.
  bool Expand(CTEXT* string, const char* defaultText, bool* tooLong = nullptr);

  DWORD Count() const { return m_count; }
  bool AllowsDuplicates() const { return m_allowDuplicates != 0; }
  void SetAllowDuplicates(bool allow) { m_allowDuplicates = allow ? 1 : 0; }

 private:
  // Bytes used by the entries from start on, up to the zero that ends them.
  DWORD UsedFrom(const char* start) const;

  DWORD m_count;
  BYTE m_allowDuplicates;

  friend struct CSTRINGLISTLayout;
};

struct CSTRINGLISTLayout {
  static constexpr std::size_t count = MVN_OFFSETOF(CSTRINGLIST, m_count);
  static constexpr std::size_t allowDuplicates = MVN_OFFSETOF(CSTRINGLIST, m_allowDuplicates);
};
static_assert(sizeof(CSTRINGLISTBASE) == sizeof(CTEXT), "CSTRINGLISTBASE adds no fields");
static_assert(CSTRINGLISTLayout::count == sizeof(CTEXT), "CSTRINGLIST: count follows the CTEXT part");
static_assert(CSTRINGLISTLayout::allowDuplicates == sizeof(CTEXT) + sizeof(DWORD),
              "CSTRINGLIST: the allow-duplicates byte follows the count");

// Cuts one comma-separated line in place into items. The CTEXT part holds
// the item array: one 32-bit offset into the split text per item, so a
// 64-byte array holds 16 items. The items are valid while the text lives and
// is not changed.
class CTOKENLIST : public CTEXT {
 public:
  CTOKENLIST() noexcept : m_count(0), m_itemCapacity(0), m_text(nullptr) {}
  // Starts on the caller's array (not owned); it moves to the heap only when
  // more items than fit are split.
  CTOKENLIST(char* inlineBuffer, DWORD size) noexcept;

  // Remembers text and splits it in place; returns the number of items.
  DWORD Split(char* text);
  // The item, or nullptr when index is not below the count.
  char* GetItem(DWORD index) const;
  DWORD Count() const { return m_count; }
  DWORD ItemCapacity() const { return m_itemCapacity; }

 private:
  void AddItem(const char* item);

  DWORD m_count;
  DWORD m_itemCapacity;
  char* m_text;
};
