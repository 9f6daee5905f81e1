// Tip window layout, placement, history and actions (pure: window units,
// an injected text-measure function, no widgets).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "helptips/markup.h"
#include "helptips/settings.h"

namespace mvn::helptips {

struct TipFont {
  std::string face;
  int size = 0;
  unsigned colour = 0;  // 0xRRGGBB
  int style = 0;        // bits: 1 bold, 2 italic, 4 underline
};
// FONT settings are "face,size,colour,style": colour as decimal 0xRRGGBB,
// style as the bits above.
TipFont ParseFontSetting(std::string_view value);
std::string FontSetting(const TipFont& font);

struct PlacedElement {
  int element = 0;  // index into the element list
  std::string kind; // the element type
  int x = 0, y = 0, width = 0, height = 0;
  std::string text;     // shown text
  std::string tooltip;
  TipFont font;
  bool hasFont = false;
};

struct TipLayoutResult {
  std::vector<PlacedElement> placed;
  int width = 169;
  int contentHeight = 0;   // Y at the end
  int windowHeight = 0;
  bool scrolls = false;    // content taller than the window
  int frameHeight = 0;
  bool historyButtons = false;
};

// Measures a text with a font: width and height in window units.
using FontMeasure = std::function<void(std::string_view text, const TipFont* font, int* width, int* height)>;

inline constexpr const char* kBulletText = "\xE2\x96\xAA";  // U+25AA
inline constexpr const char* kDefaultTooltip = "Click here..";

TipLayoutResult TipLayout(const std::vector<MarkupElement>& elements, const SettingsList& settings, int width,
                          bool history, const FontMeasure& measure);

// Placement beside the control: from the stored position and the window's
// own geometry; false when the default position stays for that axis.
void TipPlace(int storedX, int storedY, int winW, int winH, bool caption, int* x, int* y, bool* movedX, bool* movedY,
              int winX, int winY);

struct HistoryEntry {
  std::string procedure, control, type;
  bool operator==(const HistoryEntry&) const = default;
};

// The links followed in one tip window; the position always stays within
// the entries.
class TipHistory {
 public:
  // Before following a link from current: drops the entries after the
  // position and appends current when it differs from the entry there.
  void Push(const HistoryEntry& current);
  // Moves back (forward) and returns the entry; false at the end.
  bool Back(HistoryEntry* entry);
  bool Forward(HistoryEntry* entry);
  bool Empty() const { return m_entries.empty(); }
  int Position() const { return m_pos; }
  int Size() const { return static_cast<int>(m_entries.size()); }

 private:
  std::vector<HistoryEntry> m_entries;
  int m_pos = -1;
};

// ---------------------------------------------------------------------------
// Actions

// The registry key of the browser command (HKEY_CLASSES_ROOT, default
// value) and the value naming the folder of the HTML help topics.
inline constexpr const char* kBrowserKey = "htmlfile\\shell\\open\\command";
inline constexpr const char* kHelpKey = "SOFTWARE\\Morvane\\Hintwell";
inline constexpr const char* kHelpFolderValue = "HelpFolder";
inline constexpr const char* kDefaultBrowser = "xdg-open";
inline constexpr size_t kBrowserMax = 200;
inline constexpr const char* kNoBrowserText = "Cannot spawn default browser...";

// Blanks every switch: a "-" that starts a word and what follows it up to
// the next blank or quotation mark.
std::string StripSwitches(std::string_view command);
// The browser command line for a web link: "<browser> <url>" with
// "http://" put before a text that does not begin with "http" or "file";
// the address is one argument (quoted when it holds blanks). False when it
// holds a quotation mark or a control character.
bool BrowserCommandLine(std::string_view browser, std::string_view target, std::string* line);
// The browser command from the registry, switches removed; writes the
// default "xdg-open" when the key is missing. False when it cannot be read
// or is longer than 200 characters.
bool BrowserCommand(std::string* command);
// The HTML file of a help topic: <help folder>/<help file without
// extension>/<topic>.html; the folder from the registry value HelpFolder,
// else <program folder>/../share/mvn/help.
std::string HelpTopicPath(std::string_view helpFile, std::string_view topic);

struct CallSetting {
  std::string kind;  // "EXE", "MSG", "HLP"
  std::string command;
  int event = 0, thread = 0;
  std::string helpFile, topic;
};
CallSetting ParseCall(std::string_view value);

}  // namespace mvn::helptips
