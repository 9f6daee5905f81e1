// The AutoText list and the cover-page settings: their INI formats and the
// algorithms of their set-up windows, without widgets.
//
// AutoText list, section "AutoMessageTextFiles" of the client INI file:
// "AutoText1", "AutoText2" ... hold the entries' names (the list ends at the
// first empty one), and a key named after each entry holds its file's path.
//
// Cover pages: section "AvailableCoverPages" of the cover-page file lists
// the pages; a section per page holds AddressHeaderFilename,
// AddressHeaderLines, AddressHeader (or AddressHeaderMargins),
// MessageBodyLines, MessageBody (or MessageBodyMargins), SignatureFilename,
// SignatureLines, Signature (or SignatureMargins). Margins are four numbers
// "left,right,top,bottom" in inches as typed; lines are "None", "Top",
// "Bottom" or "Top & Bottom".
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "client/records/records.h"
#include "framework/core/ini.h"
#include "framework/core/queue.h"

namespace mvn::client {

// RemoveIniKey: removes key from section of the INI file fileName. Each
// argument is clipped; one longer than kMaxSettingsPath (or empty) is
// refused (false), since a cut name could name another key.
bool RemoveIniKey(std::string_view fileName, std::string_view key, std::string_view section);

// What g_QautoText's Name holds; every path field of the settings holds
// what a file-name field does.
constexpr size_t kMaxAutoTextName = CStringBytes(kAutoTextNameWidth);
constexpr size_t kMaxSettingsPath = kMaxPathLength;
// A margin as typed in the cover-page window and kept in its margins text.
constexpr size_t kMarginBytes = 9;

// LoadAutoTextList: g_QautoText (Name, fullPathName) from the client INI.
void LoadAutoTextList(const framework::IniFile& ini, framework::Queue& autoText);

// The window's operations. Each returns the message to show ("" when done);
// nothing is written when there is a message. *current is the 1-based
// position that becomes current (0: none).
std::string AutoTextAdd(framework::IniFile& ini, framework::Queue& autoText, std::string_view name,
                        std::string_view path, int* current);
std::string AutoTextUpdate(framework::IniFile& ini, framework::Queue& autoText, int selected, std::string_view name,
                           std::string_view path);
std::string AutoTextDelete(framework::IniFile& ini, framework::Queue& autoText, int selected, int* current);

// Lines values: the four list entries, and the entry (1..4) a stored value
// selects, 0 for none.
extern const char* const kLinesEntries[4];
int LinesEntry(std::string_view stored);
// A margins text split into left, right, top, bottom (missing values repeat
// the last one, anything after a fourth comma is ignored; each cut to 9).
std::array<std::string, 4> SplitMargins(std::string_view text);

// One block's settings as the window shows them.
struct CoverBlock {
  std::array<std::string, 4> margins;  // left, right, top, bottom
  int lines = 0;                       // 1..4, 0: no entry chosen
  std::string storedLines;             // the value read, kept when no entry is chosen
};

struct CoverPageValues {
  std::string headFileName;
  std::string signatureFileName;
  CoverBlock head, body, signature;
};

// The cover-page file a page is read from and written to: the local file
// (client INI [Files] LocalCoverPages) when its AvailableCoverPages lists
// the page, else the global one (GlobalCoverPages).
std::string CoverPageFile(const framework::IniFile& clientIni, std::string_view page);

// Loading a page (k = its name) into the values.
CoverPageValues LoadCoverPage(const framework::IniFile& clientIni, std::string_view page);
// "Update": writes the values into the page's section of its file. Margin
// keys: AddressHeader when it has a value there, else AddressHeaderMargins
// (and the same for the body and the signature). Returns "" or a message.
std::string UpdateCoverPage(const framework::IniFile& clientIni, std::string_view page, const CoverPageValues& values);
// "Delete": removes the page from the global file's AvailableCoverPages and
// entry selected from the queue; *current becomes the entry then selected.
std::string DeleteCoverPage(const framework::IniFile& clientIni, framework::Queue& coverPages, int selected,
                            int* current);

// A path chosen with "...": "" when it fits the field (kMaxSettingsPath), else
// the message that refuses it.
std::string CheckSettingsPath(std::string_view path);

}  // namespace mvn::client
