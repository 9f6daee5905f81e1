// Configuration objects: the settings of one section of a configuration
// store, read and written through 26 virtual operations.
//
// CCONFIG crosses deliverables: the program hands its configuration object
// to a delivery module, which calls it only through its table and passes its
// own CTEXT and CSTRINGLIST objects. Those are filled only through their own
// virtual slots (CTEXT Alloc/Size/Free/RoundCapacity, CSTRINGLIST Add/Next),
// so every buffer stays in the heap of the deliverable that built it. Hence
// the fixed layout (table pointer, variable list, trace callback, section
// name), the fixed slot order, one-byte bool results, no virtual destructor
// and no std:: members.
//
// Two kinds exist: CCONFIGINI over an INI file ("Config:INI") and CCONFIGREG
// over a registry key ("Config:REG"), which only opens sections and lists
// value names; every other slot of the registry kind returns false.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/pathfile.h"
#include "lib/stringlist.h"
#include "lib/text.h"
#include "platform/kernel/win32.h"
#include "platform/registry/registry.h"

static_assert(sizeof(bool) == 1, "CCONFIG slots return one-byte booleans");

// Called after every value read with (key, value) and by Describe with
// (type name, location).
using CONFIGTRACE = void (*)(const char* first, const char* second);

class CCONFIG {
 public:
  CCONFIG() noexcept : m_variables(nullptr), m_trace(nullptr) {}
  CCONFIG(const CCONFIG&) = delete;
  CCONFIG& operator=(const CCONFIG&) = delete;
  ~CCONFIG() = default;  // deliberately not virtual: owners destroy the kind they made

  // Slot 0: hands (type name, location) to the trace callback.
  virtual int Describe();
  // Slot 1: expands %NAME% references with the linked variable list, then
  // the trace callback with (key, value).
  virtual void ExpandValue(const char* key, CTEXT* string);
  // Slot 2: copies the current section name; false when it is empty.
  virtual bool GetSectionName(CTEXT* string);
  // Slot 3: the current section name.
  virtual const char* SectionName();
  // Slot 4: makes name the current section; create allows a new one.
  virtual bool OpenSection(const char* name, bool create);
  // Slots 5-11: reads. A missing key and an empty value are the same:
  // false, out value unchanged.
  virtual bool GetBinary(const char* key, void* buffer, DWORD size);
  virtual bool GetFloat(const char* key, float* value);
  virtual bool GetBool(const char* key, bool* value);
  virtual bool GetInt(const char* key, LONG* value);
  virtual bool GetUInt(const char* key, DWORD* value);
  virtual bool GetInt64(const char* key, std::int64_t* value);
  virtual bool GetString(const char* key, CTEXT* string);
  // Slots 12-18: writes.
  virtual bool PutBinary(const char* key, const void* buffer, DWORD size);
  virtual bool PutFloat(const char* key, float value);
  virtual bool PutBool(const char* key, bool value);
  virtual bool PutInt(const char* key, LONG value);
  virtual bool PutUInt(const char* key, DWORD value);
  virtual bool PutInt64(const char* key, std::int64_t value);
  virtual bool PutString(const char* key, const char* text);
  // Slots 19-25: whole sections and lists.
  virtual bool PutSectionEntries(const char* section, CSTRINGLIST* list);
  virtual bool PutEntries(CSTRINGLIST* list);
  virtual bool GetSectionKeys(const char* section, CSTRINGLIST* list);
  virtual bool GetKeys(CSTRINGLIST* list);
  virtual bool GetSectionEntries(const char* section, CSTRINGLIST* list);
  virtual bool GetEntries(CSTRINGLIST* list);
  virtual bool GetEntryList(const char* key, CSTRINGLIST* list);

  // Links the variable list used to expand values read (nullptr unlinks).
  void SetVariables(CSTRINGLIST* list) { m_variables = list; }
  CSTRINGLIST* Variables() const { return m_variables; }
  void SetTrace(CONFIGTRACE trace) { m_trace = trace; }
  CONFIGTRACE Trace() const { return m_trace; }

 protected:
  CSTRINGLIST* m_variables;
  CONFIGTRACE m_trace;
  CTEXTBUF64 m_section;

  friend struct CCONFIGLayout;
};

struct CCONFIGLayout {
  static constexpr std::size_t variables = MVN_OFFSETOF(CCONFIG, m_variables);
  static constexpr std::size_t trace = MVN_OFFSETOF(CCONFIG, m_trace);
  static constexpr std::size_t section = MVN_OFFSETOF(CCONFIG, m_section);
};
static_assert(CCONFIGLayout::variables == sizeof(void*), "CCONFIG: the variable list follows the table pointer");
static_assert(CCONFIGLayout::trace == 2 * sizeof(void*), "CCONFIG: the trace callback is the third field");
static_assert(CCONFIGLayout::section == 3 * sizeof(void*), "CCONFIG: the section name is the fourth field");
static_assert(sizeof(CCONFIG) == 3 * sizeof(void*) + sizeof(CTEXTBUF64), "CCONFIG: four fields");

// A configuration over one INI file (through the profile API).
class CCONFIGINI : public CCONFIG {
 public:
  // The name becomes a full path (relative names resolve against the
  // current directory).
  explicit CCONFIGINI(const char* fileName);

  int Describe() override;
  bool OpenSection(const char* name, bool create) override;
  bool GetBinary(const char* key, void* buffer, DWORD size) override;
  bool GetFloat(const char* key, float* value) override;
  bool GetBool(const char* key, bool* value) override;
  bool GetInt(const char* key, LONG* value) override;
  bool GetUInt(const char* key, DWORD* value) override;
  bool GetInt64(const char* key, std::int64_t* value) override;
  bool GetString(const char* key, CTEXT* string) override;
  bool PutBinary(const char* key, const void* buffer, DWORD size) override;
  bool PutFloat(const char* key, float value) override;
  bool PutBool(const char* key, bool value) override;
  bool PutInt(const char* key, LONG value) override;
  bool PutUInt(const char* key, DWORD value) override;
  bool PutInt64(const char* key, std::int64_t value) override;
  bool PutString(const char* key, const char* text) override;
  bool PutSectionEntries(const char* section, CSTRINGLIST* list) override;
  bool PutEntries(CSTRINGLIST* list) override;
  bool GetSectionKeys(const char* section, CSTRINGLIST* list) override;
  bool GetKeys(CSTRINGLIST* list) override;
  bool GetSectionEntries(const char* section, CSTRINGLIST* list) override;
  bool GetEntries(CSTRINGLIST* list) override;
  bool GetEntryList(const char* key, CSTRINGLIST* list) override;

  const char* FileName() const { return m_path.Text(); }

 private:
  // Reads the value into string, at most size - 1 bytes of it; false for a
  // missing or empty value.
  bool ReadRaw(const char* key, CTEXT* string, DWORD size);
  // Reads the text of a number (at most its first 15 characters, expanded)
  // and stores parse (text) in *value; false, *value unchanged, when the
  // value is missing or empty.
  template <class T, class Parse>
  bool ReadNumber(const char* key, T* value, Parse parse);
  // read (configuration) on a temporary configuration of the file, opened
  // on the section (trimmed), that takes over this object's variable list
  // and trace callback.
  template <class Read>
  bool ReadSectionOf(const char* fileName, const char* section, Read read);

  CPATH m_path;
};

// A configuration over a registry key: the section is a subkey of the key
// path under the root; it opens sections and lists value names only.
class CCONFIGREG : public CCONFIG {
 public:
  // Opens or creates keyPath under root; the result becomes the last result.
  CCONFIGREG(HKEY root, const char* keyPath);
  ~CCONFIGREG();  // closes the section key and the key opened at construction

  int Describe() override;
  bool OpenSection(const char* name, bool create) override;
  bool GetBinary(const char* key, void* buffer, DWORD size) override;
  bool GetFloat(const char* key, float* value) override;
  bool GetBool(const char* key, bool* value) override;
  bool GetInt(const char* key, LONG* value) override;
  bool GetUInt(const char* key, DWORD* value) override;
  bool GetInt64(const char* key, std::int64_t* value) override;
  bool GetString(const char* key, CTEXT* string) override;
  bool PutBinary(const char* key, const void* buffer, DWORD size) override;
  bool PutFloat(const char* key, float value) override;
  bool PutBool(const char* key, bool value) override;
  bool PutInt(const char* key, LONG value) override;
  bool PutUInt(const char* key, DWORD value) override;
  bool PutInt64(const char* key, std::int64_t value) override;
  bool PutString(const char* key, const char* text) override;
  bool PutSectionEntries(const char* section, CSTRINGLIST* list) override;
  bool PutEntries(CSTRINGLIST* list) override;
  bool GetSectionKeys(const char* section, CSTRINGLIST* list) override;
  bool GetKeys(CSTRINGLIST* list) override;
  bool GetSectionEntries(const char* section, CSTRINGLIST* list) override;
  bool GetEntries(CSTRINGLIST* list) override;
  bool GetEntryList(const char* key, CSTRINGLIST* list) override;

  const char* KeyPath() const { return m_keyPath.Text(); }
  LONG LastResult() const { return m_lastResult; }

 private:
  CTEXTBUF128 m_keyPath;
  HKEY m_root;
  HKEY m_sectionKey;
  LONG m_lastResult;
};
