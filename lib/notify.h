// Notifications and their message texts.
//
// Library code never shows or logs a failure itself: it raises a
// notification (an id with up to three inserts) through the heap object.
// Each source module declares its notifications in a table of NOTIFYDEF rows
// registered by a CNOTIFYSOURCE. The rows carry no texts at first; the
// application registers defaults (NotifySetDefault), the configuration can
// override them (NotifyLoadMessages), and CNOTIFYMSG::Format turns a raised
// notification into its message.
//
// Texts and log names are kept once each in two pools and named by their
// byte offsets; offset 0 is "NIL" (no text) in the text pool and "NL" in the
// log-name pool. Pools add by exact match only and never drop an entry, so an
// offset stays valid for the life of the process.
#pragma once

#include "lib/cxxlib.h"
#include "lib/stringlist.h"
#include "lib/text.h"
#include "platform/kernel/win32.h"

class CCONFIG;

// One notification of a source's table; a row with id 0 ends the table.
struct NOTIFYDEF {
  DWORD id;
  const char* name;  // NOTIFY_...; also the configuration key of its override
  DWORD logName;     // offset in the log-name pool (0 = "NL")
  DWORD severity;    // shown only below 9
  DWORD text2;       // offset of the second text in the text pool (0 = none)
  DWORD text;        // offset of the text in the text pool (0 = none)
};

// A message shown only when its severity is below this.
constexpr DWORD NOTIFY_SEVERITY_HIDDEN = 9;

// Registers a table. Sources are static objects, so registration order is
// the static-construction order; lookups search the sources in that order.
// Destroying a source takes it out of the lookup again.
class CNOTIFYSOURCE {
 public:
  CNOTIFYSOURCE(const char* name, NOTIFYDEF* table);
  ~CNOTIFYSOURCE();
  CNOTIFYSOURCE(const CNOTIFYSOURCE&) = delete;
  CNOTIFYSOURCE& operator=(const CNOTIFYSOURCE&) = delete;

  const char* Name() const { return m_name; }
  NOTIFYDEF* Table() const { return m_table; }

 private:
  const char* m_name;
  NOTIFYDEF* m_table;
};

// The registered sources, in registration order.
DWORD NotifySourceCount();
CNOTIFYSOURCE* NotifySource(DWORD index);

// The default for every row with this id in every source (the second text
// is left alone). An empty or nullptr text means no text.
void NotifySetDefault(DWORD id, const char* logName, DWORD severity, const char* text);
// Pools a log name and returns its offset ("NL" is 0).
DWORD NotifyLogOffset(const char* logName);
// Pools a text and returns its offset (an empty text is 0: no text).
DWORD NotifyTextOffset(const char* text);
// The pooled texts behind offsets; nullptr for an offset the pool does not
// hold (NotifyText(0) is "NIL", NotifyLogName(0) is "NL").
const char* NotifyText(DWORD offset);
const char* NotifyLogName(DWORD offset);

// Overrides from the configuration: the section named after the
// application, its key "Messages" (a comma list of "[section]" and
// "file[section]" items) or else the section "<application>-MESSAGES".
// Always true; the configuration's current section is open again afterwards.
bool NotifyLoadMessages(CCONFIG* config, const char* applicationName);
// Overrides from one section (key NOTIFY_NAME = log,severity,text,text2);
// false when the section cannot be opened.
bool NotifyLoadSection(CCONFIG* config, const char* section);

// The first row with the id, sources searched in registration order.
NOTIFYDEF* NotifyFind(DWORD id);

// Appends the expansion of a template to destination: "\n", "\r", "\t" and
// "\x" escapes, "%%", the inserts "%1" to "%3" ("%0", "%4"-"%9" give
// nothing) and, with an expander, "%NAME%" variables. A "%" that begins no
// known variable stays as written.
void NotifyExpand(void* context, NOTIFYEXPANDER expander, const char* templateText, CTEXT* destination,
                  const char* p1, const char* p2, const char* p3);

// A formatted notification.
class CNOTIFYMSG {
 public:
  CNOTIFYMSG() : m_logName(0), m_severity(0) {}

  // Fills the message for the id. An id no source declares is a library
  // fault ("Notify", 264). Without a text the message is the row's name and
  // ",%1,%2,%3" expanded. True.
  bool Format(void* context, NOTIFYEXPANDER expander, void* reserved, DWORD id, const char* p1, const char* p2,
              const char* p3);

  const char* LogName() const;
  bool IsVisible() const { return m_severity < NOTIFY_SEVERITY_HIDDEN; }

  DWORD m_logName;
  DWORD m_severity;
  CTEXTBUF256 m_text2;
  CTEXTBUF256 m_text;
};

// Formats a notification and, when its severity is below 9, shows its text
// in a message box without owner, with the caption and the error icon. True
// when a box was shown. The caller decides whether it is interactive.
bool NotifyDisplay(const char* caption, void* context, NOTIFYEXPANDER expander, void* reserved, DWORD id,
                   const char* p1, const char* p2, const char* p3);

// The notification lock (recursive): CNOTIFYMSG::Format expands under it.
void NotifyLock();
void NotifyUnlock();
