// Notify: notification sources, the text and log-name pools, message
// overrides from the configuration, and the formatting of a notification.
#include "lib/notify.h"

#include <cstring>

#include "lib/config.h"

namespace {

constexpr const char* kSourceModule = "Notify";
constexpr int kLineUnknownId = 264;
constexpr DWORD kSourceGrowth = 16;
constexpr DWORD kInlineItems = 64;

// The registered sources. The array lives on the private heap and is
// allocated there directly: sources are built by the static-constructor
// table, possibly before the application object (through which library
// objects allocate) has been constructed.
CNOTIFYSOURCE** s_sources = nullptr;
DWORD s_sourceCount = 0;
DWORD s_sourceCapacity = 0;

// The notification lock: a recursive critical section.
class CNOTIFYLOCK {
 public:
  CNOTIFYLOCK() { InitializeCriticalSection(&m_section); }
  ~CNOTIFYLOCK() { DeleteCriticalSection(&m_section); }
  CNOTIFYLOCK(const CNOTIFYLOCK&) = delete;
  CNOTIFYLOCK& operator=(const CNOTIFYLOCK&) = delete;
  void Enter() { EnterCriticalSection(&m_section); }
  void Leave() { LeaveCriticalSection(&m_section); }

 private:
  CRITICAL_SECTION m_section;
};

// The pools: string lists that pool by exact match only. They allow
// duplicates, so the list's own Add never pools by name or replaces an entry
// (which would move entries and shift every later offset); the exact lookup
// is done here.
MVN_STATIC_OBJECT(CSTRINGLIST, s_textPool);
MVN_STATIC_OBJECT(CSTRINGLIST, s_logPool);

// The source of the library's own notifications.
NOTIFYDEF s_cxxlibTable[] = {
    {NOTIFY_EXCEPTION, "NOTIFY_EXCEPTION", 0, 0, 0, 0},
    {NOTIFY_CRTCOMPAT, "NOTIFY_CRTCOMPAT", 0, 0, 0, 0},
    {NOTIFY_WIN32ERROR, "NOTIFY_WIN32ERROR", 0, 0, 0, 0},
    {0, nullptr, 0, 0, 0, 0},
};
MVN_STATIC_OBJECT(CNOTIFYSOURCE, s_sourceCXXLIB, "CXXLIB", s_cxxlibTable);

MVN_STATIC_OBJECT(CNOTIFYLOCK, s_lock);

// Holds the lock for a scope; the lock is skipped once the exit list has
// destroyed it (a notification raised during the library's end).
class CNOTIFYGUARD {
 public:
  CNOTIFYGUARD() { NotifyLock(); }
  ~CNOTIFYGUARD() { NotifyUnlock(); }
  CNOTIFYGUARD(const CNOTIFYGUARD&) = delete;
  CNOTIFYGUARD& operator=(const CNOTIFYGUARD&) = delete;
};

// The pooled string at offset, or nullptr when no entry starts there.
const char* PoolAt(CSTATICOBJECT<CSTRINGLIST>& pool, DWORD offset) {
  if (!pool.IsConstructed()) return nullptr;
  const char* buffer = pool->Text();
  DWORD capacity = pool->Capacity();
  if (offset >= capacity || !buffer[offset]) return nullptr;
  if (offset > 0 && buffer[offset - 1] != '\0') return nullptr;
  return buffer + offset;
}

// Puts the offset-0 text into an empty pool.
void PoolStart(CSTATICOBJECT<CSTRINGLIST>& pool, const char* zeroText) {
  if (pool->Count() != 0) return;
  pool->SetAllowDuplicates(true);
  pool->Add(zeroText);
}

// The offset of text in the pool, added at the end when it is not there.
DWORD PoolOffset(CSTATICOBJECT<CSTRINGLIST>& pool, const char* zeroText, const char* text) {
  PoolStart(pool, zeroText);
  const char* buffer = pool->Text();
  const char* cursor = nullptr;
  while (pool->Next(&cursor)) {
    if (std::strcmp(cursor, text) == 0) return static_cast<DWORD>(cursor - buffer);
  }
  return pool->Add(text);
}

// Collects literal characters of an expansion and appends them in runs.
class CRUN {
 public:
  explicit CRUN(CTEXT* destination) : m_destination(destination), m_length(0) {}
  ~CRUN() { Flush(); }
  CRUN(const CRUN&) = delete;
  CRUN& operator=(const CRUN&) = delete;
  void Put(char c) {
    if (m_length == sizeof m_run - 1) Flush();
    m_run[m_length++] = c;
  }
  void Flush() {
    if (m_length == 0) return;
    m_run[m_length] = '\0';
    m_destination->Append(m_run);
    m_length = 0;
  }
  void Append(const char* text) {
    Flush();
    m_destination->Append(text);
  }

 private:
  CTEXT* m_destination;
  DWORD m_length;
  char m_run[128];
};

// Splits an item "file[section]" or "[section]" of a list: true for the
// file form (file receives the file name); section receives the section
// name with every leading and trailing bracket removed.
bool SplitSectionItem(const char* item, CTEXT* file, CTEXT* section) {
  const char* bracket = item[0] ? StrChr(item + 1, '[') : nullptr;
  if (bracket) {
    file->AssignN(item, static_cast<DWORD>(bracket - item));
    section->Assign(bracket);
  } else {
    section->Assign(item);
  }
  Trim(section->Buffer(), "[]");
  return bracket != nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Sources

CNOTIFYSOURCE::CNOTIFYSOURCE(const char* name, NOTIFYDEF* table) : m_name(name), m_table(table) {
  if (s_sourceCount == s_sourceCapacity) {
    DWORD capacity = s_sourceCapacity + kSourceGrowth;
    SIZE_T bytes = static_cast<SIZE_T>(capacity) * sizeof(CNOTIFYSOURCE*);
    HANDLE heap = CXXHEAP::HeapHandle();
    void* array = s_sources ? HeapReAlloc(heap, HEAP_GENERATE_EXCEPTIONS, s_sources, bytes)
                            : HeapAlloc(heap, HEAP_GENERATE_EXCEPTIONS, bytes);
    if (!array) RaiseException(STATUS_NO_MEMORY, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    s_sources = static_cast<CNOTIFYSOURCE**>(array);
    s_sourceCapacity = capacity;
  }
  s_sources[s_sourceCount++] = this;
}

CNOTIFYSOURCE::~CNOTIFYSOURCE() {
  for (DWORD i = 0; i < s_sourceCount; ++i) {
    if (s_sources[i] != this) continue;
    std::memmove(s_sources + i, s_sources + i + 1, (s_sourceCount - i - 1) * sizeof(CNOTIFYSOURCE*));
    --s_sourceCount;
    break;
  }
  if (s_sourceCount == 0 && s_sources) {
    HeapFree(CXXHEAP::HeapHandle(), 0, s_sources);
    s_sources = nullptr;
    s_sourceCapacity = 0;
  }
}

DWORD NotifySourceCount() { return s_sourceCount; }

CNOTIFYSOURCE* NotifySource(DWORD index) { return index < s_sourceCount ? s_sources[index] : nullptr; }

NOTIFYDEF* NotifyFind(DWORD id) {
  if (id == 0) return nullptr;
  for (DWORD i = 0; i < s_sourceCount; ++i) {
    for (NOTIFYDEF* row = s_sources[i]->Table(); row && row->id; ++row) {
      if (row->id == id) return row;
    }
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Pools and defaults

DWORD NotifyLogOffset(const char* logName) {
  if (!logName || !*logName) {
    PoolStart(s_logPool, "NL");
    return 0;
  }
  return PoolOffset(s_logPool, "NL", logName);
}

DWORD NotifyTextOffset(const char* text) {
  if (!text || !*text) {
    PoolStart(s_textPool, "NIL");
    return 0;
  }
  return PoolOffset(s_textPool, "NIL", text);
}

const char* NotifyText(DWORD offset) { return PoolAt(s_textPool, offset); }

const char* NotifyLogName(DWORD offset) { return PoolAt(s_logPool, offset); }

void NotifySetDefault(DWORD id, const char* logName, DWORD severity, const char* text) {
  DWORD log = NotifyLogOffset(logName);
  DWORD textOffset = NotifyTextOffset(text);
  for (DWORD i = 0; i < s_sourceCount; ++i) {
    for (NOTIFYDEF* row = s_sources[i]->Table(); row && row->id; ++row) {
      if (row->id != id) continue;
      row->logName = log;
      row->severity = severity;
      row->text = textOffset;
    }
  }
}

// ---------------------------------------------------------------------------
// Overrides

bool NotifyLoadSection(CCONFIG* config, const char* section) {
  if (!config->OpenSection(section, false)) return false;
  CTEXTBUF256 value;
  char inlineItems[kInlineItems];
  CTOKENLIST items(inlineItems, sizeof inlineItems);
  for (DWORD i = 0; i < s_sourceCount; ++i) {
    for (NOTIFYDEF* row = s_sources[i]->Table(); row && row->id; ++row) {
      if (!row->name || !config->GetString(row->name, &value)) continue;
      DWORD count = items.Split(value.Buffer());
      if (count >= 1) row->logName = NotifyLogOffset(items.GetItem(0));
      if (count >= 2) row->severity = static_cast<DWORD>(StrToUInt64(items.GetItem(1)));
      if (count >= 3) row->text = NotifyTextOffset(items.GetItem(2));
      if (count >= 4) row->text2 = NotifyTextOffset(items.GetItem(3));
    }
  }
  return true;
}

bool NotifyLoadMessages(CCONFIG* config, const char* applicationName) {
  NotifyTextOffset(nullptr);
  NotifyLogOffset(nullptr);
  CTEXTBUF64 remembered;
  remembered.Assign(config->SectionName());
  if (config->OpenSection(applicationName, false)) {
    CTEXTBUF1024 messages;
    if (config->GetString("Messages", &messages) && !messages.IsEmpty()) {
      char inlineItems[kInlineItems];
      CTOKENLIST items(inlineItems, sizeof inlineItems);
      DWORD count = items.Split(messages.Buffer());
      CTEXTBUF256 file;
      CTEXTBUF64 section;
      for (DWORD i = 0; i < count; ++i) {
        if (SplitSectionItem(items.GetItem(i), &file, &section)) {
          CCONFIGINI other(file.Text());
          NotifyLoadSection(&other, section.Text());
        } else {
          NotifyLoadSection(config, section.Text());
        }
      }
    } else {
      CTEXTBUF64 section;
      section.Join2(applicationName, "-MESSAGES");
      NotifyLoadSection(config, section.Text());
    }
  }
  config->OpenSection(remembered.Text(), false);
  return true;
}

// ---------------------------------------------------------------------------
// Formatting

void NotifyLock() {
  if (s_lock.IsConstructed()) s_lock->Enter();
}

void NotifyUnlock() {
  if (s_lock.IsConstructed()) s_lock->Leave();
}

void NotifyExpand(void* context, NOTIFYEXPANDER expander, const char* templateText, CTEXT* destination,
                  const char* p1, const char* p2, const char* p3) {
  if (!templateText) return;
  CRUN out(destination);
  CTEXTBUF64 name;
  CTEXTBUF256 value;
  const char* p = templateText;
  while (*p) {
    char c = *p;
    if (c == '\\') {
      char next = p[1];
      if (!next) break;  // a backslash at the very end gives nothing
      out.Put(next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next);
      p += 2;
      continue;
    }
    if (c != '%') {
      out.Put(c);
      ++p;
      continue;
    }
    char next = p[1];
    if (next == '%') {
      out.Put('%');
      p += 2;
      continue;
    }
    if (CharIsDigit(next)) {
      const char* insert = next == '1' ? p1 : next == '2' ? p2 : next == '3' ? p3 : nullptr;
      if (insert) out.Append(insert);
      p += 2;
      continue;
    }
    if (expander) {
      if (const char* closing = StrChr(p + 1, '%')) {
        name.AssignN(p + 1, static_cast<DWORD>(closing - p - 1));
        value.Empty();
        if (expander(context, name.Text(), &value)) {
          out.Append(value.Text());
          p = closing + 1;
          continue;
        }
        // Not a variable the expander knows: the "%" stays as written and
        // what follows it is read on, so a later insert is still seen.
      }
    }
    out.Put('%');
    ++p;
  }
}

bool CNOTIFYMSG::Format(void* context, NOTIFYEXPANDER expander, void*, DWORD id, const char* p1, const char* p2,
                        const char* p3) {
  NOTIFYDEF* row = NotifyFind(id);
  if (!row) RaiseLibraryError(kSourceModule, kLineUnknownId);
  m_logName = row->logName;
  m_severity = row->severity;
  m_text2.Empty();
  m_text.Empty();
  CNOTIFYGUARD guard;
  if (const char* text2 = row->text2 ? NotifyText(row->text2) : nullptr)
    NotifyExpand(context, expander, text2, &m_text2, p1, p2, p3);
  if (const char* text = row->text ? NotifyText(row->text) : nullptr) {
    NotifyExpand(context, expander, text, &m_text, p1, p2, p3);
  } else {
    m_text.Assign(row->name);
    NotifyExpand(nullptr, nullptr, ",%1,%2,%3", &m_text, p1, p2, p3);
  }
  return true;
}

const char* CNOTIFYMSG::LogName() const {
  const char* name = NotifyLogName(m_logName);
  return name ? name : "NL";
}

bool NotifyDisplay(const char* caption, void* context, NOTIFYEXPANDER expander, void* reserved, DWORD id,
                   const char* p1, const char* p2, const char* p3) {
  CNOTIFYMSG message;
  message.Format(context, expander, reserved, id, p1, p2, p3);
  if (!message.IsVisible()) return false;
  MessageBoxA(nullptr, message.m_text.Text(), caption, MB_ICONERROR);
  return true;
}
