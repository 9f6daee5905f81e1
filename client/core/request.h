// Request files and their writers: the send request (Faxout.tmp), the
// remote-file deletion request (RemoveRemote.tmp), the resubmit request and
// the list-upload file, and the start of the delivery command with them.
//
// Every line ends CR LF. Values from records, queues and the windows pass
// through SafeLine first: a CR, LF or NUL in them becomes a blank, so no
// value ever adds a line (an injected "!ExtAttachment" line would make the
// send client embed, then delete, any file).
//
// The writers take the window state as values (SendJob, ResubmitJob) and ask
// the user through a Prompter, so the windows supply message boxes and tests
// supply scripted answers. They run on the calling thread, one at a time
// (they read and change the dictionary's global queues), and walk
// g_QsendTo in the order it has (SendToList sorts it before).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/core/delivery.h"
#include "client/records/records.h"
#include "framework/core/filemanager.h"
#include "framework/core/ini.h"

namespace mvn::client {

// How the writers talk to the user.
class Prompter {
 public:
  virtual ~Prompter() = default;
  // A message with an OK button.
  virtual void Tell(const std::string& text) = 0;
  // A message with OK and Cancel: true to go on, false to cancel the send.
  virtual bool AskContinue(const std::string& text) = 0;
  // The main attachment is still held by another program after the wait
  // (text names it and asks): true to wait again, false to cancel the send.
  virtual bool AskWaitAgain(const std::string& text) = 0;
};

// The line writer of a request file (WriteJobLine). The file is created anew
// and held open for reading and writing with others denied writing. The
// first failure sticks: later writes do nothing and Ok() is false.
class RequestFile {
 public:
  RequestFile();
  ~RequestFile();
  RequestFile(const RequestFile&) = delete;
  RequestFile& operator=(const RequestFile&) = delete;

  // Creates (replaces) the file. newOnly: fail instead of replacing an
  // existing file.
  bool Create(const std::string& path, bool newOnly = false);
  // The text and CR LF (an empty text writes CR LF alone).
  bool WriteJobLine(std::string_view text);
  // Bytes as they are.
  bool WriteBytes(std::string_view bytes);
  // Spoils the request: later writes do nothing, Close() fails and Error()
  // tells why (the first failure is kept).
  void Abandon(const std::string& why);
  // Closes the file; false when it or any earlier write failed.
  bool Close();
  bool Ok() const { return m_ok; }
  const std::string& Path() const { return m_path; }
  // The failure, "" while everything went out.
  const std::string& Error() const { return m_error; }

 private:
  bool Fail(const std::string& what);
  std::unique_ptr<framework::FileManager> m_file;
  std::string m_path;
  std::string m_error;
  bool m_ok = false;
};

// A value made safe for one line: CR, LF and NUL become blanks.
std::string SafeLine(std::string_view value);
// Whether a text would start a line the send client takes for a marker or
// an attachment line: its first character after blanks is "!".
bool StartsMarker(std::string_view text);
// An item of an attachment line: written as it is, or in double quotes
// (inner quotes doubled) when it holds a comma or starts with a blank, a tab
// or a double quote, so the send client reads it back unchanged.
std::string AttachmentItem(std::string_view value);
// Text left-justified in a field of width bytes: cut to width, padded with
// blanks.
std::string PadField(std::string_view text, size_t width);

// Option menus: 0 = nothing chosen.
enum class Notification { None = 0, NotifyNone = 1, Errors = 2, All = 3 };
enum class Priority { None = 0, High = 1, Normal = 2, Low = 3 };
enum class Resolution { None = 0, High = 1, Low = 2 };
enum class PageSize { None = 0, Full = 1, Minimum = 2 };

// What the send window's fields of a send hold, in bytes.
constexpr size_t kReferenceBytes = 50;
constexpr size_t kChargeCodeBytes = 30;
constexpr size_t kRetryProfileBytes = 20;
constexpr size_t kMessageTextBytes = 8192;
constexpr size_t kAttentionNameBytes = 20;  // the SendToList name field

// The send window's state for one send.
struct SendJob {
  std::string reference;      // kReferenceBytes
  std::string chargeCode;     // kChargeCodeBytes
  int32_t sendDate = 0;       // framework day number (strings.h)
  int32_t sendTime = 0;       // framework time
  std::string retryProfile;   // kRetryProfileBytes
  std::string mainAttachment; // 150: the main attachment's path ("" = none)
  // The name the fax gives the main attachment; "" = its file name.
  std::string mainDisplay;
  Notification notification = Notification::None;
  Priority priority = Priority::None;
  Resolution resolution = Resolution::None;
  PageSize pageSize = PageSize::None;
  std::string messageText;    // up to kMessageTextBytes
  std::string coverPage;      // chosen cover page
  bool includeCoverMessage = false;
  bool sendToAll = false;     // "Send to all recipients" (send log: "All Clients")
  // SendToList options: 1 "Highlighted only", 2 "Non-highlighted only".
  int sendToOption = 1;
  bool replaceAttention = false;
  // The SendToList name field (kAttentionNameBytes). The writer fills it from the first
  // target when it is blank and clears that name again after the send; a
  // name the user typed stays.
  std::string attentionName;
  // The send repeats a send-log entry: the kept copy of the main attachment
  // is "R" and its display name. SendFaxJob clears it once the send was
  // started.
  bool resend = false;
};

// Settings of a writer run that are not the window's.
struct WriterOptions {
  // The main attachment's exclusive-open wait: tries pause pauseMs apart
  // and give up after waitMs (the user may wait again).
  unsigned waitMs = 30000;
  unsigned pauseMs = 200;
  // "Now" for the send log and kept copies (Unix seconds; 0 = the clock).
  int64_t now = 0;
};

struct SendResult {
  bool written = false;      // the request file is complete
  bool started = false;      // the delivery command was started
  bool cancelled = false;    // the user cancelled
  bool logged = false;       // send-log records were added
  int targets = 0;
  std::string requestPath;
  std::string commandLine;
  std::vector<std::string> copies;  // attachment copies handed to the send client
  std::string message;       // what went wrong (also told to the user)
};

// Writes the send request from the window state and the global queues,
// starts the delivery command and writes the send log. Nothing is started
// and nothing logged unless the request was written whole.
SendResult SendFaxJob(Dictionary& dictionary, const framework::IniFile& clientIni, SendJob& job, Prompter& prompter,
                      const WriterOptions& options = WriterOptions());

// The send request's and the deletion request's paths.
std::string SendRequestPath();
std::string DeletionRequestPath();

// The remote-file deletion request for the marked image files (which leave
// the queue and the image-file INI file), started with the deletion form of
// the command.
SendResult WriteRemoteDeletion(Dictionary& dictionary, const framework::IniFile& clientIni, Prompter& prompter);

enum class ResubmitKind { None = 0, Unsuccessful = 1, All = 2, UnsuccessfulGrouped = 3 };
// The job number the Resubmit window takes and the request carries.
constexpr size_t kJobNumberBytes = 19;
struct ResubmitJob {
  ResubmitKind kind = ResubmitKind::None;
  std::string jobNumber;  // kJobNumberBytes
};
// The resubmit request, under a new name of its own in the temporary
// directory, started with the send form of the command.
SendResult WriteResubmit(const framework::IniFile& clientIni, const ResubmitJob& job, Prompter& prompter);

// Whether a list name can name the upload file: not empty, no "/", "\",
// "..", double quote or control character.
bool ValidUploadListName(std::string_view name);
// Writes the header record "To", "Company", "Destination", then ToName,
// Company and Destination of every g_QsendTo entry into "<list name>.CSV"
// in the temporary directory (comma-delimited) and starts the upload form
// of the command with the list named "<list name>.CSV". Without a delivery
// command the user is told "MVNSEND command does not exist in the setup
// file. Please contact your administrator." and the file stays.
SendResult UploadList(Dictionary& dictionary, const framework::IniFile& clientIni, std::string_view listName,
                      Prompter& prompter);

// Whether a file lies in the spool folder (<root>/spool/temp or below),
// where the print road leaves documents for the client to consume.
bool InSpoolFolder(const std::string& path);

// Starts the module-settings form of the command. ownerWindow, when given,
// is the asking window's place on the screen ("<left>,<top>,<width>,<height>"
// in pixels): the form is centred on it (the module library's CenterWindow
// reads it from the command's environment).
bool StartDeliverySettings(const framework::IniFile& clientIni, Prompter& prompter,
                           const std::string& ownerWindow = std::string());

// The additional target lines for one address record ([AdditionalTargets]
// of the client INI, in file order).
std::vector<std::string> AdditionalTargetLines(const framework::IniFile& clientIni, const framework::Record& mvc);

// The "Send:" line for a local send date and time: "Send:UTCyyyymmddhhmm"
// with the UTC offset in force at that moment, or the local form.
std::string SendTimeLine(int32_t date, int32_t time, bool utc);

}  // namespace mvn::client
