// The settings memo of a tip: the properties the editor gave to the
// elements (controls) of its markup.
//
// Text form: for each control, in the list's order (control name, then
// property), "[" + control + "]" when the control differs from the entry
// before, then property + ";" + value + "«" for each of its properties.
// The separator is written as the UTF-8 character U+00AB; a lone byte 0xAB
// (files written by older versions) is read as the separator too. The text
// is read character by character, so a UTF-8 character is never split.
// Names and values never hold "[", "]", ";" or "«": such values are refused
// when they are set, since they could not be read back.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mvn::helptips {

struct MarkupElement;

inline constexpr const char* kSettingSeparator = "\xC2\xAB";  // «

struct SettingEntry {
  std::string control;   // up to 20 bytes
  std::string property;  // up to 20 bytes
  std::string value;     // up to 60 bytes
  std::string text;      // up to 80 bytes: the element's text when set
  bool cut = false;      // the stored value was longer than 60 bytes
  bool operator==(const SettingEntry& o) const {
    return control == o.control && property == o.property && value == o.value && text == o.text;
  }
};

// Whether value (or a name) can be stored: no separator characters.
bool IsStorableSetting(std::string_view value);

class SettingsList {
 public:
  // Stores entry (names and value cut to their widths): replaces the
  // entry with the same control and property (no case), else inserts it in
  // order. A blank value is not stored; false when it holds a separator.
  bool Store(SettingEntry entry);
  // The entry for control and property, or nullptr.
  const SettingEntry* Find(std::string_view control, std::string_view property) const;
  std::string Value(std::string_view control, std::string_view property) const;
  void Remove(std::string_view control, std::string_view property);
  void Clear() { m_entries.clear(); }
  bool Empty() const { return m_entries.empty(); }
  const std::vector<SettingEntry>& Entries() const { return m_entries; }
  std::vector<SettingEntry>& MutableEntries() { return m_entries; }

 private:
  std::vector<SettingEntry> m_entries;
};

// Reads a settings text into list (emptied first). Entries with the
// property names "LINKPROC" or "LINKCTL" are skipped; reading goes on with
// the next entry.
void ReadSettings(std::string_view text, SettingsList* list);
// The settings text of list.
std::string WriteSettings(const SettingsList& list);

// After the tip text was edited: an entry whose element (by name) still has
// the entry's text stays; else it moves to the element whose text equals
// it; an entry whose element is gone and whose text matches no element is
// dropped. Texts compare without letter case.
void RematchSettings(SettingsList* list, const std::vector<MarkupElement>& elements);

}  // namespace mvn::helptips
