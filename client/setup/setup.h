// Models of the setup windows and of the send window's run-time menus:
// personal commands, additional output values, the about texts, the
// Address Books menu (create, delete with renumbering, switch), the window
// caption, the Cover Page and Language menus, the remote files and lists,
// and the settings written when the send window closes. No widgets: the
// windows of client/setup/procedures.h and the send window call these.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "client/records/ininames.h"
#include "client/records/records.h"
#include "client/ui/languagechoice.h"
#include "framework/core/ini.h"

namespace mvn::client {

// ---------------------------------------------------------------------------
// CmdSetup

constexpr int kCmdRows = 15;
// What a row's label, command name and value hold, in bytes.
constexpr size_t kCmdLabelBytes = 29;
constexpr size_t kCmdNameBytes = 19;
constexpr size_t kCmdValueBytes = 99;
struct CmdRow {
  std::string label;    // kCmdLabelBytes
  std::string command;  // kCmdNameBytes
  std::string value;    // kCmdValueBytes
  bool visible = false;
};
struct CmdSetupModel {
  int used = 0;  // CommandList entries used (at most fifteen)
  std::vector<CmdRow> rows = std::vector<CmdRow>(kCmdRows);
};
// Reads [CommandList] (count key "command", entries "Command_<n>", each
// "label=command name") and the values of [DefaultCommands]. Rows show from
// the first while they have a label.
CmdSetupModel LoadCmdSetup(const framework::IniFile& clientIni);
// Writes [DefaultCommands]: "command" = entries used, then "Command_<i>" =
// "name=value" (trailing blanks removed; line breaks become blanks). A row
// without a command name gets an empty key, which the request writer skips.
// Keys above the count stay. False when the file could not be written.
bool SaveCmdSetup(framework::IniFile& clientIni, const CmdSetupModel& model);

// ---------------------------------------------------------------------------
// AdditionalOutputValues

// What a row's label entry takes, in bytes.
constexpr size_t kOutputLabelBytes = 19;
struct OutputValue {
  const char* key;
  const char* caption;
  bool ticked = false;
  std::string label;  // what the label entry shows ("<value>")
};
// The sixteen keys of [AdditionalTargets] in their order, with their boxes
// and labels as the file holds them.
std::vector<OutputValue> LoadOutputValues(const framework::IniFile& clientIni);
// The value stored for one row: empty when not ticked; else the label
// without a leading "<" and a trailing ">" (each only when there), or the
// key's own name when nothing is left. A label beginning "!" (which would
// start a control line of the request) is refused: false and *message.
bool OutputValueFor(const OutputValue& row, std::string* value, std::string* message);
// Writes the sixteen keys in order; nothing is written when a label is
// refused.
bool SaveOutputValues(framework::IniFile& clientIni, const std::vector<OutputValue>& rows,
                      std::string* message);

// ---------------------------------------------------------------------------
// AboutWin

struct AboutTexts {
  std::string version, notice, web;
};
// The built-in texts, overridden by the non-empty values of [Version].
AboutTexts LoadAboutTexts(const framework::IniFile& clientIni);

// ---------------------------------------------------------------------------
// Address Books menu

struct BookMenuItem {
  std::string text;         // "* Name" for the current book, else "  Name"
  bool submenu = false;     // an administrator's "Select"/"Delete" submenu
  bool subItemsEnabled = true;
  int position = 0;         // in g_QaddressBooks; 0 for the fixed items
  bool separator = false;
  std::string helpLine;
};
// The items of the menu, books first (every book, however many), then a
// separator, "Create an Address Book", "View Current Address Book" and
// "&Group Setup".
std::vector<BookMenuItem> AddressBookMenu(Dictionary& dictionary, const framework::IniFile& clientIni, int current);
bool IsAdminUser(const framework::IniFile& clientIni);
// A display name that can be stored as a [Database] key (BookNameUse):
// not empty, at most what g_QaddressBooks' Name holds, no "=", line break or control character,
// not starting with "[", ";" or "#", and not one of the section's own keys
// (Pathname, Driver, NumCustomBooks, "Custom Book <n>", "Driver <n>"; no
// case). Blanks around it are no part of it.
bool ValidBookName(std::string_view name);

// Choosing a book's item (or "Select"): true when the send window must
// switch to it (OpenAddressBook, then the caption); false for the current
// book or a position outside the list.
bool SwitchesBook(const Dictionary& dictionary, int current, int position);
// The question asked before a delete (caption "Please confirm", Yes/No).
std::string DeleteBookQuestion(std::string_view name);
// The path stored for a book file: a trailing ".KDF" (any case) removed.
std::string BookPathOf(std::string_view file);
// "Create an Address Book" after the dialog: writes NumCustomBooks,
// "Custom Book <n>" and the key named after the book, appends the book
// (driver KEYED). False, changing nothing, when the name or file is empty or
// unusable in the INI file, or a book of that name exists.
bool CreateAddressBook(Dictionary& dictionary, framework::IniFile& clientIni, std::string_view name,
                       std::string_view file, std::string* message);
// Deletes the book at position (never the current one): removes its keys,
// moves "Custom Book <n>" and "Driver <n>" of every later book down by one,
// writes NumCustomBooks, removes the queue entry and moves *current. A name
// that no "Custom Book <n>" holds changes nothing (false).
bool DeleteAddressBook(Dictionary& dictionary, framework::IniFile& clientIni, int position, int* current,
                       std::string* message);

// The caption: DashpostTitleBar (or "Morvane Dashpost ") with its first
// "<FULLNAME>" replaced by the user's name, then " ( ", the book and " )".
std::string MainCaption(const framework::IniFile& clientIni, std::string_view userName, std::string_view bookName);

// ---------------------------------------------------------------------------
// Cover Page menu, remote files and lists

constexpr int kMaxCoverPages = 300;
// Fills g_QcoverPages from [AvailableCoverPages] of the GlobalCoverPages
// file (every key, at most 300), sorted by name; pages created in this run
// and not yet registered (bNewCreated) are kept.
void LoadCoverPages(Dictionary& dictionary, const framework::IniFile& clientIni);
// The menu texts in queue order ("* " marks the chosen page, matched by
// name without trailing blanks); "No cover page available" alone for none.
std::vector<std::string> CoverPageMenu(Dictionary& dictionary, std::string_view chosen);
// The page of a menu position (1-based), "" for none.
std::string CoverPageAt(Dictionary& dictionary, int position);

// Fills g_QimageFiles and g_QremoteLists (unmarked) from their INI files.
void LoadRemoteEntries(Dictionary& dictionary, const framework::IniFile& clientIni);

// ---------------------------------------------------------------------------
// Language menu

struct LanguageMenu {
  std::vector<std::string> names;  // at most three, upper case
  int selected = 0;                // 1-based, 0 = none
  std::vector<std::string> Texts() const;
};
LanguageMenu LoadLanguageMenu(const framework::IniFile& clientIni);
// Choosing the item-th language (1-based): the selection moves to it; the
// window is translated when the language differs (without case) from the
// one it shows; going to ENGLISH first puts the built-in texts back.
LanguageChoice ChooseLanguage(LanguageMenu& menu, int item, std::string_view shownLanguage);

// ---------------------------------------------------------------------------
// Settings written when the send window closes

struct CloseSettings {
  int currentBook = 0;
  bool showImageFiles = true;
  bool showRemoteLists = true;
  std::string language;  // "" = none selected
  bool sendLog = true;
};
// Writes Pathname, ShowImageFilesTab, ShowRemoteListsTab, DefaultLanguage
// (when one is selected) and SENDLOG, in that order. *message tells when the
// current book could not be read.
bool WriteCloseSettings(Dictionary& dictionary, framework::IniFile& clientIni, const CloseSettings& s,
                        std::string* message);

}  // namespace mvn::client
