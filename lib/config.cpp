// Configuration objects over INI files and the registry.
#include "lib/config.h"

#include <cstring>

#include "lib/cxxlib.h"
#include "platform/profile/profile.h"

namespace {

constexpr DWORD kValueSize = 1024;      // one value read by GetString
constexpr DWORD kInlineItems = 64;      // 16 token items before the list moves to the heap
constexpr DWORD kRegistryNameSize = 64; // value names listed by the registry kind
constexpr DWORD kRegistryAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

// The section-name trimming of OpenSection: white space, then, for a name
// written as "[name]", every leading and trailing bracket.
void TrimSectionName(CTEXT* name) {
  char* text = name->Buffer();
  if (!text) return;
  Trim(text, kWhiteSpace);
  DWORD length = static_cast<DWORD>(std::strlen(text));
  if (length > 0 && text[0] == '[' && text[length - 1] == ']') Trim(text, "[]");
}

// Reads a profile list (key names or a whole section) into buffer, doubling
// the buffer while the profile API reports that the list did not fit.
template <class Reader>
DWORD ReadProfileList(CTEXT* buffer, Reader read) {
  for (;;) {
    DWORD capacity = buffer->Capacity();
    DWORD count = read(buffer->Buffer(), capacity);
    if (count < capacity - 2) return count;
    buffer->Reserve(capacity * 2);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// CCONFIG: the shared slots; the others are pure.

int CCONFIG::Describe() { LibraryPureCall(); }

void CCONFIG::ExpandValue(const char* key, CTEXT* string) {
  if (m_variables) m_variables->Expand(string, nullptr);
  if (m_trace) m_trace(key, string->Text());
}

bool CCONFIG::GetSectionName(CTEXT* string) {
  if (m_section.IsEmpty()) return false;
  string->Assign(m_section.Text());
  return true;
}

const char* CCONFIG::SectionName() { return m_section.Text(); }

bool CCONFIG::OpenSection(const char*, bool) { LibraryPureCall(); }
bool CCONFIG::GetBinary(const char*, void*, DWORD) { LibraryPureCall(); }
bool CCONFIG::GetFloat(const char*, float*) { LibraryPureCall(); }
bool CCONFIG::GetBool(const char*, bool*) { LibraryPureCall(); }
bool CCONFIG::GetInt(const char*, LONG*) { LibraryPureCall(); }
bool CCONFIG::GetUInt(const char*, DWORD*) { LibraryPureCall(); }
bool CCONFIG::GetInt64(const char*, std::int64_t*) { LibraryPureCall(); }
bool CCONFIG::GetString(const char*, CTEXT*) { LibraryPureCall(); }
bool CCONFIG::PutBinary(const char*, const void*, DWORD) { LibraryPureCall(); }
bool CCONFIG::PutFloat(const char*, float) { LibraryPureCall(); }
bool CCONFIG::PutBool(const char*, bool) { LibraryPureCall(); }
bool CCONFIG::PutInt(const char*, LONG) { LibraryPureCall(); }
bool CCONFIG::PutUInt(const char*, DWORD) { LibraryPureCall(); }
bool CCONFIG::PutInt64(const char*, std::int64_t) { LibraryPureCall(); }
bool CCONFIG::PutString(const char*, const char*) { LibraryPureCall(); }
bool CCONFIG::PutSectionEntries(const char*, CSTRINGLIST*) { LibraryPureCall(); }
bool CCONFIG::PutEntries(CSTRINGLIST*) { LibraryPureCall(); }
bool CCONFIG::GetSectionKeys(const char*, CSTRINGLIST*) { LibraryPureCall(); }
bool CCONFIG::GetKeys(CSTRINGLIST*) { LibraryPureCall(); }
bool CCONFIG::GetSectionEntries(const char*, CSTRINGLIST*) { LibraryPureCall(); }
bool CCONFIG::GetEntries(CSTRINGLIST*) { LibraryPureCall(); }
bool CCONFIG::GetEntryList(const char*, CSTRINGLIST*) { LibraryPureCall(); }

// ---------------------------------------------------------------------------
// CCONFIGINI

CCONFIGINI::CCONFIGINI(const char* fileName) : m_path(fileName) { m_path.GetFullPathName(); }

int CCONFIGINI::Describe() {
  if (m_trace) m_trace("Config:INI", m_path.Text());
  return 0;
}

bool CCONFIGINI::OpenSection(const char* name, bool create) {
  m_section.Assign(name);
  TrimSectionName(&m_section);
  return create || m_path.IsFile();
}

bool CCONFIGINI::ReadRaw(const char* key, CTEXT* string, DWORD size) {
  string->Reserve(size);
  DWORD count = GetPrivateProfileStringA(m_section.Text(), key, "", string->Buffer(), size, m_path.Text());
  // An empty value counts as missing.
  if (count == 0) {
    string->Empty();
    return false;
  }
  return true;
}

template <class T, class Parse>
bool CCONFIGINI::ReadNumber(const char* key, T* value, Parse parse) {
  // Numbers are read into a 16-byte string: only the first 15 characters
  // of the value are seen.
  CTEXTBUF16 text;
  if (!ReadRaw(key, &text, 16)) return false;
  ExpandValue(key, &text);
  *value = parse(text.Buffer());
  return true;
}

bool CCONFIGINI::GetString(const char* key, CTEXT* string) {
  CTEXTBUF1024 value;
  if (!ReadRaw(key, &value, kValueSize)) return false;
  string->Assign(value.Text());
  ExpandValue(key, string);
  return true;
}

bool CCONFIGINI::GetBinary(const char* key, void* buffer, DWORD size) {
  if (!GetPrivateProfileStructA(m_section.Text(), key, buffer, size, m_path.Text())) return false;
  CTEXTBUF16 marker("BINARY");
  ExpandValue(key, &marker);
  return true;
}

bool CCONFIGINI::GetFloat(const char* key, float* value) {
  return ReadNumber(key, value, [](char* text) { return static_cast<float>(StrToFloat(text, nullptr)); });
}

bool CCONFIGINI::GetBool(const char* key, bool* value) {
  return ReadNumber(key, value, [](char* text) { return TextToBool(text); });
}

bool CCONFIGINI::GetInt(const char* key, LONG* value) {
  return ReadNumber(key, value,
                    [](char* text) { return static_cast<LONG>(static_cast<std::uint32_t>(StrToInt64(text))); });
}

bool CCONFIGINI::GetUInt(const char* key, DWORD* value) {
  return ReadNumber(key, value, [](char* text) { return static_cast<DWORD>(StrToUInt64(text)); });
}

bool CCONFIGINI::GetInt64(const char* key, std::int64_t* value) {
  return ReadNumber(key, value, [](char* text) { return StrToInt64(text); });
}

bool CCONFIGINI::PutBinary(const char* key, const void* buffer, DWORD size) {
  return WritePrivateProfileStructA(m_section.Text(), key, const_cast<void*>(buffer), size, m_path.Text()) != 0;
}

bool CCONFIGINI::PutFloat(const char*, float) { return false; }

bool CCONFIGINI::PutBool(const char* key, bool value) { return PutString(key, value ? "true" : "false"); }

bool CCONFIGINI::PutInt(const char* key, LONG value) {
  CTEXTBUF16 text;
  text.SetSigned(value, 1);
  return PutString(key, text.Text());
}

bool CCONFIGINI::PutUInt(const char* key, DWORD value) {
  CTEXTBUF16 text;
  text.SetNumber(value, 1, 10);
  return PutString(key, text.Text());
}

bool CCONFIGINI::PutInt64(const char* key, std::int64_t value) {
  CTEXTBUF32 text;
  text.SetInt64(value, 1);
  return PutString(key, text.Text());
}

bool CCONFIGINI::PutString(const char* key, const char* text) {
  return WritePrivateProfileStringA(m_section.Text(), key, text, m_path.Text()) != 0;
}

bool CCONFIGINI::PutEntries(CSTRINGLIST* list) {
  CTEXTBUF64 name;
  CTEXTBUF64 value;
  const char* cursor = nullptr;
  while (list->NextEntry(&cursor, &name, &value)) {
    if (!PutString(name.Text(), value.Text())) return false;
  }
  return true;
}

bool CCONFIGINI::PutSectionEntries(const char* section, CSTRINGLIST* list) {
  CCONFIGINI other(m_path.Text());
  other.m_section.Assign(section);  // taken as given, not trimmed
  return other.PutEntries(list);
}

bool CCONFIGINI::GetKeys(CSTRINGLIST* list) {
  CTEXTBUF1024 names;
  const char* section = m_section.Text();
  const char* file = m_path.Text();
  DWORD count = ReadProfileList(&names, [&](char* buffer, DWORD size) {
    return GetPrivateProfileStringA(section, nullptr, "", buffer, size, file);
  });
  if (count == 0) return false;
  const char* end = names.Text() + count;
  for (const char* name = names.Text(); name < end && *name; name += std::strlen(name) + 1) list->Add(name);
  return true;
}

bool CCONFIGINI::GetEntries(CSTRINGLIST* list) {
  CTEXTBUF1024 lines;
  const char* section = m_section.Text();
  const char* file = m_path.Text();
  DWORD count = ReadProfileList(&lines, [&](char* buffer, DWORD size) {
    return GetPrivateProfileSectionA(section, buffer, size, file);
  });
  if (count == 0) return false;
  const char* end = lines.Text() + count;
  CTEXTBUF256 expanded;
  for (const char* line = lines.Text(); line < end && *line; line += std::strlen(line) + 1) {
    if (m_variables) {
      // The whole line is expanded, so references in names expand too.
      expanded.Assign(line);
      m_variables->Expand(&expanded, nullptr);
      list->Add(expanded.Text());
    } else {
      list->Add(line);
    }
  }
  return true;
}

template <class Read>
bool CCONFIGINI::ReadSectionOf(const char* fileName, const char* section, Read read) {
  CCONFIGINI other(fileName);
  other.m_variables = m_variables;
  other.m_trace = m_trace;
  other.OpenSection(section, false);
  return read(&other);
}

bool CCONFIGINI::GetSectionKeys(const char* section, CSTRINGLIST* list) {
  return ReadSectionOf(m_path.Text(), section, [list](CCONFIGINI* other) { return other->GetKeys(list); });
}

bool CCONFIGINI::GetSectionEntries(const char* section, CSTRINGLIST* list) {
  return ReadSectionOf(m_path.Text(), section, [list](CCONFIGINI* other) { return other->GetEntries(list); });
}

bool CCONFIGINI::GetEntryList(const char* key, CSTRINGLIST* list) {
  CTEXTBUF1024 value;
  if (!GetString(key, &value)) return false;
  char inlineItems[kInlineItems];
  CTOKENLIST items(inlineItems, sizeof inlineItems);
  DWORD count = items.Split(value.Buffer());
  CTEXTBUF256 file;
  CTEXTBUF64 section;
  for (DWORD i = 0; i < count; ++i) {
    const char* item = items.GetItem(i);
    const char* bracket = item[0] ? StrChr(item + 1, '[') : nullptr;
    DWORD length = static_cast<DWORD>(std::strlen(item));
    if (bracket) {
      // file[section]: the entries of a section of another INI file.
      file.AssignN(item, static_cast<DWORD>(bracket - item));
      section.AssignN(bracket + 1, StrLenTo(bracket + 1, ']', nullptr));
      ReadSectionOf(file.Text(), section.Text(), [list](CCONFIGINI* other) { return other->GetEntries(list); });
    } else if (item[0] == '[' && item[length - 1] == ']') {
      // [section]: the entries of another section of this file.
      section.Assign(item);
      Trim(section.Buffer(), "[]");
      GetSectionEntries(section.Text(), list);
    } else {
      list->Add(item);
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// CCONFIGREG

CCONFIGREG::CCONFIGREG(HKEY root, const char* keyPath) : m_root(nullptr), m_sectionKey(nullptr), m_lastResult(0) {
  m_keyPath.Assign(keyPath);
  HKEY key = nullptr;
  m_lastResult = RegCreateKeyExA(root, m_keyPath.Text(), 0, nullptr, 0, kRegistryAccess, nullptr, &key, nullptr);
  if (m_lastResult == ERROR_SUCCESS) m_root = key;
}

CCONFIGREG::~CCONFIGREG() {
  if (m_sectionKey) RegCloseKey(m_sectionKey);
  if (m_root) RegCloseKey(m_root);
}

int CCONFIGREG::Describe() {
  if (m_trace) m_trace("Config:REG", m_keyPath.Text());
  return 0;
}

bool CCONFIGREG::OpenSection(const char* name, bool create) {
  // Without the key of the construction nothing can open: the failure of
  // the construction stands.
  if (!m_root) return m_lastResult == ERROR_SUCCESS;
  if (m_sectionKey) {
    RegCloseKey(m_sectionKey);
    m_sectionKey = nullptr;
  }
  if (name && *name) {
    HKEY key = nullptr;
    if (create)
      m_lastResult = RegCreateKeyExA(m_root, name, 0, nullptr, 0, kRegistryAccess, nullptr, &key, nullptr);
    else
      m_lastResult = RegOpenKeyExA(m_root, name, 0, KEY_READ, &key);
    if (m_lastResult == ERROR_SUCCESS) m_sectionKey = key;
  }
  return m_lastResult == ERROR_SUCCESS;
}

bool CCONFIGREG::GetKeys(CSTRINGLIST* list) {
  if (!m_sectionKey) return false;
  char name[kRegistryNameSize];
  for (DWORD index = 0;; ++index) {
    DWORD length = kRegistryNameSize;
    // Ends at the last value, or at a name longer than 63 characters.
    if (RegEnumValueA(m_sectionKey, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    list->Add(name);
  }
  return true;
}

bool CCONFIGREG::GetBinary(const char*, void*, DWORD) { return false; }
bool CCONFIGREG::GetFloat(const char*, float*) { return false; }
bool CCONFIGREG::GetBool(const char*, bool*) { return false; }
bool CCONFIGREG::GetInt(const char*, LONG*) { return false; }
bool CCONFIGREG::GetUInt(const char*, DWORD*) { return false; }
bool CCONFIGREG::GetInt64(const char*, std::int64_t*) { return false; }
bool CCONFIGREG::GetString(const char*, CTEXT*) { return false; }
bool CCONFIGREG::PutBinary(const char*, const void*, DWORD) { return false; }
bool CCONFIGREG::PutFloat(const char*, float) { return false; }
bool CCONFIGREG::PutBool(const char*, bool) { return false; }
bool CCONFIGREG::PutInt(const char*, LONG) { return false; }
bool CCONFIGREG::PutUInt(const char*, DWORD) { return false; }
bool CCONFIGREG::PutInt64(const char*, std::int64_t) { return false; }
bool CCONFIGREG::PutString(const char*, const char*) { return false; }
bool CCONFIGREG::PutSectionEntries(const char*, CSTRINGLIST*) { return false; }
bool CCONFIGREG::PutEntries(CSTRINGLIST*) { return false; }
bool CCONFIGREG::GetSectionKeys(const char*, CSTRINGLIST*) { return false; }
bool CCONFIGREG::GetSectionEntries(const char*, CSTRINGLIST*) { return false; }
bool CCONFIGREG::GetEntries(CSTRINGLIST*) { return false; }
bool CCONFIGREG::GetEntryList(const char*, CSTRINGLIST*) { return false; }
