// The client program dashpost: start-up, the main send window and the
// small dialogs the send window needs. Every window is a procedure: a free
// function that builds its window, runs it and returns what it says.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/app/sendprompts.h"
#include "client/core/request.h"
#include "client/core/sendlist.h"
#include "client/records/records.h"
#include "client/setup/setup.h"
#include "framework/core/ini.h"

namespace mvn::framework {
class Window;
}

namespace mvn::client {

// ---------------------------------------------------------------------------
// Start-up

// The INI file candidates of a program path, in the order they are tried:
// the program path with its extension (if any) replaced by ".INI"; the
// bare "<prog>.INI" (the profile layer puts it in <root>/windows); and
// "<HOMEDRIVE><HOMEPATH>/<prog>/<prog>.ini" (HOME when those are unset).
std::vector<std::string> IniCandidates(std::string_view programPath);
// The program name: the program file's name without its extension, at most
// kProgramNameBytes.
constexpr size_t kProgramNameBytes = 20;
std::string ProgramName(std::string_view programPath);
// The candidates as the files they are (the bare name in the Windows
// directory), for telling where the INI file was looked for.
std::vector<std::string> IniPlacesLookedAt(std::string_view programPath);
// The first candidate whose [Database] Pathname is not empty, as the file
// it is (IniPlacesLookedAt); "" for none.
std::string FindClientIni(std::string_view programPath);

// The command line's main attachment: of the arguments that are not
// switches ("/L", "/EditTips", "/hw..."), each taken whole, the first that
// names an existing regular file (a port application written "dashpost %1" puts a
// "%1" before the printed document), else the first of them; "" when none.
std::string MainAttachmentFromArguments(const std::vector<std::string>& arguments);

// One configured address book.
struct AddressBook {
  // Each as g_QaddressBooks holds it.
  std::string name;
  std::string path;
  std::string driver;  // "KEYED" when empty
};
// Reads the configured books into g_QaddressBooks (sorted by path), opens
// the current one (the book whose path is Pathname, else the first) and
// returns its index (0-based). Without NumCustomBooks the configured
// Pathname is book 1 ("Personal Address Book") and the four keys are
// written back; with neither, "<cwd>/Personal". A book without a path is
// listed; a book whose name would break the file is left out. When the
// current book cannot be opened (or none is left) the client goes on with
// Pathname, listed under its file's name when no book has that path. What
// the user must be told, in one message, is in *problem ("" for nothing).
int LoadAddressBooks(Dictionary& dictionary, framework::IniFile& ini, std::vector<AddressBook>* books,
                     std::string* problem);

// The send options as the INI file's Default* keys choose them.
struct SendOptions {
  Notification notification = Notification::None;
  Priority priority = Priority::None;
  Resolution resolution = Resolution::None;
  PageSize pageSize = PageSize::None;
  GroupSend groupSend = GroupSend::None;
  std::string coverPage;     // kCoverPageNameBytes
  std::string retryProfile;  // kRetryProfileBytes
};
SendOptions ReadSendOptions(const framework::IniFile& ini);
// Save as My Defaults: the values written back.
void WriteSendOptions(framework::IniFile& ini, const SendOptions& options);
// The date picture of DateFormat ("dd/mm/yyyy" for anything else).
std::string DatePicture(std::string_view dateFormat);
// The send date a text in that picture stands for. A picture without a day
// ("mm/yy" ...) only shows the month: the date is today's day of that month
// (its last day when the month is shorter). 0 with *ok false when the text
// does not fit the picture.
int32_t SendDateOf(std::string_view text, std::string_view picture, int32_t today, bool* ok);

// MandatoryCharge: "", "YES", "NO" use a temporary charge database in the
// temporary directory (TemporaryChargeDatabase), which is created; a path
// names a charge database "<path>.KDF" (a ".KDF" of the path itself and the
// file's letter case do not matter), which must exist. Returns false with
// the message when it does not. *temporary tells which.
std::string TemporaryChargeDatabase();
bool SetupChargeAccount(Dictionary& dictionary, const framework::IniFile& ini, bool* temporary, std::string* message);


// ---------------------------------------------------------------------------
// The main window

struct MainContext {
  Dictionary* dictionary = nullptr;
  framework::IniFile* ini = nullptr;
  std::string iniPath;
  std::string mainAttachment;      // from the command line
  bool chargeTemporary = true;     // no charge-account file in use
  int currentBook = 1;              // position in g_QaddressBooks
  WriterOptions writer;            // tests shorten the waits
  // The command line's file was handed to the send client (which consumes
  // it); one that was not is the client's to remove when it is a printed
  // document in the spool folder.
  bool mainAttachmentHandedOver = false;
};

// Builds the main send window. The caller opens and runs it; it writes the
// settings when it closes, and closes itself once a send of the command
// line's file was handed to the delivery command. Its items open the other
// windows directly (address book, groups, send log, set-up, CSV exchange).
std::unique_ptr<framework::Window> Main(MainContext& context);
// Field numbers of the main window's controls (stable; the language files
// and the help tips use them).
enum MainField : int {
  MainTo = 1, MainCompany, MainDestination, MainAddRecipient, MainReference, MainChargeCode, MainChargeList,
  MainSendDate, MainSendTime, MainIncludeCover, MainSheetMsg, MainTabMsg, MainMessage, MainSheetAttach,
  MainTabRemoteFiles, MainRemoteFiles, MainTabLists, MainRemoteLists, MainTabLocal, MainLocalFiles,
  MainSendToAll, MainSheetGroups, MainTabGroups, MainGroups, MainSend, MainFindAttention, MainFindCompany,
  MainFindDestination, MainAutoText,
};

// Readiness: a target and content.
struct Readiness {
  bool destination = false, sendToAll = false, markedGroup = false, markedList = false;
  bool mainAttachment = false, coverMessage = false, markedRemoteFile = false;
  std::vector<std::pair<std::string, bool>> localFiles;  // path, marked
};
bool SendReady(const Readiness& r);

// The whole program: start-up in its order, the main window, shut-down.
// A driver, when given, runs once the main window has opened (the
// headless sample run operates the window through it).
int ProgramMain(int argc, char** argv,
                const std::function<void(framework::Window&, MainContext&)>& driver = {});

// ---------------------------------------------------------------------------
// The group list of the send window

// Every group of the current book in key order into g_Qgroups (unmarked).
int LoadGroupList(Dictionary& dictionary);

}  // namespace mvn::client
