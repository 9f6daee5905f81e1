// The delivery command and the sender identity.
//
// [Files] DeliveryCommand is the send client's command line with "%1" where
// the request file goes. The client starts it, without waiting, in four
// forms:
//   send, resubmit   before + request path + after
//   deletion         before + " " + request path (text after "%1" dropped)
//   module settings  before alone
//   list upload      before + " GROUP:\"<list name>\" \"<upload file>\""
// "before" is the part before the first "%1" with leading blanks removed,
// "after" the part after it; neither is cut (a cut command would start
// another program or read another configuration). A command
// without "%1" is the whole command as "before" and nothing after, and the
// request path follows after a blank. A path with blanks is put in double
// quotes unless the command already quotes "%1".
#pragma once

#include <string>
#include <string_view>

namespace mvn::client {

struct DeliveryCommand {
  std::string before;
  std::string after;
  bool hasPlaceholder = false;  // "%1" was found
  bool quoted = false;          // the command writes "%1" in double quotes
  bool Empty() const { return before.empty() && after.empty(); }
};

// Splits a DeliveryCommand value.
DeliveryCommand SplitDeliveryCommand(std::string_view command);

// The command lines of the four forms.
std::string SendCommandLine(const DeliveryCommand& command, std::string_view requestPath);
std::string DeletionCommandLine(const DeliveryCommand& command, std::string_view requestPath);
std::string SettingsCommandLine(const DeliveryCommand& command);
std::string UploadCommandLine(const DeliveryCommand& command, std::string_view listName, std::string_view uploadFile);

// Starts a command line without waiting (never through a shell). False, with
// the reason in *message, when the command is empty or cannot be started.
bool StartDeliveryCommand(const std::string& commandLine, std::string* message);

// The first word of a command line (a quoted word without its quotes).
std::string FirstCommandWord(std::string_view commandLine);

// The send client's INI file for a DeliveryCommand, found as the send client
// finds it: a CONFIG=<file> word of the command, else the program's name
// with ".INI" in place of its extension beside the program (the program
// looked up as the command is started: a name without a directory in this
// program's directory, the current directory, then PATH), else the first
// <name>.INI in the current directory, the system and Windows directories
// and PATH. Names of INI files match without case. "" when none is found.
std::string SendClientIniPath(std::string_view deliveryCommand);
// The send client's section: its program name without directory and
// extension.
std::string SendClientSection(std::string_view deliveryCommand);

// The sender identity's declared widths: YourEmailAddress and the registry
// value UserId are read into 200 bytes, YourName and UserName into 100 (a
// read keeps one byte for the end of the text).
constexpr size_t kUserIdWidth = 200;
constexpr size_t kUserNameWidth = 100;
struct UserIdentity {
  std::string userId;    // kUserIdWidth
  std::string userName;  // kUserNameWidth
};

// The sender: YourEmailAddress and YourName of the send client's INI file
// when there is one (empty values stay empty), else UserId and UserName of
// HKEY_CURRENT_USER\SOFTWARE\Morvane International\MVNSEND, else empty.
UserIdentity GetUserIdentity(std::string_view deliveryCommand);
// The registry part alone (the deletion request uses only this); false when
// the key does not open.
bool GetRegistryIdentity(UserIdentity* identity);

// The part of a path after its last "/" or "\"; the whole path when it has
// neither (":" is an ordinary character of a file name here).
std::string FileNamePart(std::string_view path);
// Whether a regular file of that name exists.
bool FileExists(std::string_view path);

}  // namespace mvn::client
