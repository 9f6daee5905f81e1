// The tip file: one keyed data file holding every help tip of the client.
//
// Table "HelpTips" of a keyed data file (file name from the tip request,
// default "Hintwell.Kdf"). Record `HWT` (`TipFile`): ProcedureName (50),
// ControlName (50), ControlType (20), LastEditDate (day number),
// ReadOnly/Archive/TipStyle (bytes, 0), and three memos: HelpTip (tip text
// with markup, 10,000), Settings (the controls' properties, 10,000) and
// Other (1,000 bytes; its first two bytes are the tip window's width, 16-bit
// little-endian). Three keys, all with duplicates: ProcedureNameKey
// (ProcedureName, ControlName), ControlTypeKey (ControlType), ControlNameKey
// (ControlName, ProcedureName). Keys compare without ASCII letter case.
//
// The old layout `HWG` (`TipFileOld`) is the same table declared with
// ProcedureName (50), ControlName (50), ControlType (20), HelpTip (STRING
// 900) and Settings (STRING 1,500) and the same three keys, no memos. An
// old tip file is converted in place the first time a tip window opens it.
//
// Each file has two declarations per process, `HWT` (the tip windows) and
// `LIN` (the editor's link list), each with its own buffer and its own count
// of openers; the file is closed when the last opener of a declaration
// closes it. Tip windows live on the GUI thread; nothing here is locked.
#pragma once

#include <string>
#include <string_view>

#include "framework/core/filemanager.h"
#include "framework/core/record.h"

namespace mvn::helptips {

using framework::FileManager;
using framework::Record;

inline constexpr const char* kTipTable = "HelpTips";
inline constexpr const char* kDefaultTipFile = "Hintwell.Kdf";
inline constexpr const char* kNoHelpText = "No Help for This Topic";

framework::LayoutPtr TipFileLayout();     // HWT
framework::LayoutPtr TipLinkLayout();     // LIN (same fields)
framework::LayoutPtr TipFileOldLayout();  // HWG
// The three keys (ProcedureNameKey, ControlTypeKey, ControlNameKey; the
// same indexes for every declaration of the table).
void AddTipKeys(FileManager& file, const std::string& prefix);
// The name variable of a tip file path: "<path>/!HelpTips".
std::string TipTableName(std::string_view path);

// A fresh declaration (HWT, LIN or HWG layout) over the tip file at path.
std::unique_ptr<FileManager> MakeTipFile(std::string_view path);
std::unique_ptr<FileManager> MakeTipLink(std::string_view path);
std::unique_ptr<FileManager> MakeTipFileOld(std::string_view path);

// The process's HWT and LIN declarations of the tip file at path.
FileManager& TipDeclaration(std::string_view path, bool link);
int TipOpeners(std::string_view path, bool link);

// The framework's standard open check: opens file in mode; error 32 sends
// "Recover=10" and tries once more; 52 counts as open; a missing file is
// created when create is set (and neverCreate is not); 47, a failed
// creation, a failed rebuild and any other error show their warning. On
// 46 the user is asked whether to rebuild the keys. Returns 0 when the file
// is open, else the error (the caller closes its tip window; the client
// goes on).
int TipCheckOpen(FileManager& file, bool create, bool neverCreate, unsigned mode);

// Opens HWT and LIN of the tip file at path for one tip window (one more
// opener each), converting an old-layout file first. 0 or the error; on an
// error nothing stays counted.
int TipFileOpen(std::string_view path);
// One opener fewer of each; the last one closes the declaration.
void TipFileClose(std::string_view path);

// Converts an old-layout tip file in place: exclusive access (the kernel's
// share locks; a second process gets "someone else is using it"), a
// temporary copy beside the file under a unique name that is checked and
// removed afterwards, the conversion in one exclusive transaction (a failed
// add leaves the old file as it was). A file that is not an old tip file is
// refused with the "Invalid File" warning and left untouched. Returns 0 when
// the file was converted.
int TipFileUpgrade(std::string_view path);

// The standard warning texts of the tip component (number, file name);
// shows the message box and returns the button pressed.
unsigned TipWarning(int number, std::string_view name, std::string_view extra = {});

// ---------------------------------------------------------------------------
// Lookup

enum class TipAction { Insert = 1, Change = 2, Delete = 3 };

struct TipRequest {
  std::string procedure;  // up to 50
  std::string control;    // up to 50 ("?" + label)
  std::string type;       // up to 20
  std::string file;       // the tip file path
};

// What the lookup found, kept by the tip window until the editor saves.
struct FoundTip {
  explicit FoundTip(framework::LayoutPtr layout) : record(layout), copy(layout) {}
  Record record;  // the buffer: found or new, keys = the request's
  Record copy;    // the record as found or last saved
  framework::Position position;  // of the stored record (change)
  TipAction action = TipAction::Insert;
  // Found through the generic type tip (both names blank): a save inserts
  // a tip of its own for the request, and blanking deletes nothing.
  bool viaTypeTip = false;
  std::string settings;  // the Settings memo
};

// Three steps, first hit wins: the procedure's own tip for the control;
// the control-name tip (blank procedure); the type tip (both names blank,
// found among the type's duplicates). Nothing found: a new tip with the
// text "No Help for This Topic" and the request's keys.
FoundTip TipLookup(FileManager& hwt, const TipRequest& request);

// ---------------------------------------------------------------------------
// Saving

enum class SaveOutcome { Saved, Inserted, Deleted, MissingKeys, Failed, NothingToDo };

// The save of the text editor: keys and text already in tip.record. Blank
// control name and type: MissingKeys, nothing saved. A blank text on a
// stored tip deletes it (a tip found through the type tip is left alone).
// A change that renames the keys, or any save of a tip found through the
// type tip, inserts a new record. After every successful save the copy and
// position are refreshed and the action becomes change (after a delete:
// insert, so entering text again adds the tip anew). Failures show warnings
// 14, 15 or 17 and return Failed; nothing is changed in tip then.
SaveOutcome TipSave(FileManager& hwt, FoundTip& tip, int32_t today);

// Rewrites the stored record with tip.record (the formatting's save).
// Inserts it when the tip is new. Failures show their warning.
SaveOutcome TipRewrite(FileManager& hwt, FoundTip& tip, int32_t today);

// The tip window's width from the Other memo: 170..499 as stored, else 169
// (written back into other's first two bytes).
int TipWidth(std::string* other);
void SetTipWidth(std::string* other, int width);

}  // namespace mvn::helptips
