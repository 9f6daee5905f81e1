// The send log and what is done with it: reading it whole, deleting rows,
// refilling the send window from a row (Re-Send), the viewer commands, the
// resubmit choice, and the recipient review before a send (the confirmation
// summary and the "Send to" list's sorts and total).
//
// Everything here is a model without widgets; the windows of
// client/sendlog/procedures.h are thin shells over it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "client/core/request.h"
#include "client/core/sendlist.h"
#include "client/records/records.h"
#include "framework/core/ini.h"

namespace mvn::client {

// ---------------------------------------------------------------------------
// Quoted lists

// The next item of a comma-separated list of quoted items ("a","b,c",d),
// without its quotes; *pos is where reading goes on (start with 0). Returns
// false at the end of the list. An item whose closing quote is missing (a
// list cut by its field width) is not returned; *cut tells about it.
bool GetQuotedListItem(std::string_view list, size_t* pos, std::string* item, bool* cut = nullptr);
// All items of the list.
std::vector<std::string> QuotedListItems(std::string_view list, bool* cut = nullptr);
// The "Include:" names of an Includes field (Include:"a"Include:"b").
std::vector<std::string> IncludedNames(std::string_view includes, bool* cut = nullptr);

// ---------------------------------------------------------------------------
// The send log

struct SendLogEntry {
  std::string date, attn, company, destination, ref, chargeCode, cpFileName, psFileName, groups, includes,
      localFiles;
  bool mark = false;
  bool operator==(const SendLogEntry& o) const;  // every field but the mark
};

// The send log's path: [Files] SendLog of the client INI file, clipped.
std::string SendLogPath(const framework::IniFile& clientIni);

// Reads every record of the log in file order. A missing log is an empty
// list (true); a log that cannot be read gives false and *message.
bool LoadSendLog(const std::string& path, std::vector<SendLogEntry>* rows, std::string* message);

struct DeleteResult {
  bool ok = false;
  int removed = 0;                        // rows taken out of the file
  std::vector<std::string> deletedFiles;  // kept copies deleted
  std::string message;                    // what went wrong
};
// Deletes the given rows from the log. The log is read again first, so rows
// another send appended meanwhile stay; the remaining rows keep the file's
// order and go into a new file beside the log, which then replaces it (the
// log is never left half written). A kept copy of a deleted row is deleted
// only when no remaining row names it and it is a regular file directly in
// keepDir ([Files] SendlogKeepFiles), so a log naming other files never
// deletes them.
DeleteResult DeleteSendLogRows(const std::string& path, const std::vector<SendLogEntry>& rows,
                               const std::string& keepDir);

// The send window's fields that Re-Send refills.
struct ResendFields {
  SingleRecipient recipient;  // typed: record id 0, name split
  std::string notes;          // what the user should be told ("" = nothing)
};
// Re-Send of one log row into the send window's job, recipient and queues:
// the recipient as if typed; reference and charge code; the message text
// from the kept message copy (at most 8,192 bytes); the main attachment the
// kept document itself (the send copies it once for the send client), named
// as it was when first sent (empty when it is gone; tempDir is not used);
// local attachments, marked, from LocalFiles (at most ten); image
// files marked exactly when Includes names them; group and remote-list
// marks and "Send to all" cleared; the resend flag set. False, with the
// reason in notes and nothing changed, when the row's destination fills its
// log field (it may have been cut, and a cut number would reach someone
// else).
bool ReSend(Dictionary& dictionary, const SendLogEntry& row, const std::string& tempDir, SendJob& job,
            ResendFields* fields);
// The name a kept document had when it was sent: its kept name without the
// ".yyyymmdd.hhmmss" stamp, or without the "R" of a re-sent document's copy.
std::string KeptDocumentName(const std::string& keptName);

// The viewer command lines: "<command> <path>" with the path as one argument
// (in double quotes when it holds a blank); an empty command uses xdg-open.
// "" when the path is empty or holds a double quote.
std::string ViewerCommandLine(std::string_view command, std::string_view path);
// [Files] viewTXTCommand / viewPSCommand.
std::string ViewCoverPageCommand(const framework::IniFile& clientIni, const SendLogEntry& row);
std::string ViewPrintFileCommand(const framework::IniFile& clientIni, const SendLogEntry& row);

// The columns of the log's list and its tabs (the tab's column).
enum class SendLogColumn { Date, Attn, Company, Destination, Ref, ChargeCode, CPFileName, PSFileName, Groups };
const std::string& ColumnValue(const SendLogEntry& row, SendLogColumn column);
// Sorts the rows by a column (stable, without case).
void SortSendLog(std::vector<SendLogEntry>& rows, SendLogColumn column);
// Type-ahead: the first row (0-based) whose value in the column begins with
// the key (1-9, A-Z, no case); -1 for another key or no such row.
int TypeAhead(const std::vector<SendLogEntry>& rows, SendLogColumn column, char key);

// ---------------------------------------------------------------------------
// Resubmit

// The three check boxes act as one choice.
struct ResubmitChoice {
  bool grouped = false, unsuccessful = false, all = false;
  // Checking box (1 grouped, 2 unsuccessful, 3 all) clears the other two.
  void Check(int box, bool on);
  ResubmitKind Kind() const;
};
// "&Send": the resubmit request for the choice and the job number (cut to
// kJobNumberBytes), started with the send form of the delivery command. Without a
// checked box or a job number nothing is written and the user is told.
SendResult SendResubmit(const framework::IniFile& clientIni, const ResubmitChoice& choice, std::string_view jobNumber,
                        Prompter& prompter);

// ---------------------------------------------------------------------------
// Confirmation and "Send to" list

// The summary the confirmation window shows.
struct ConfirmSummary {
  std::string attention, company, destination;
  std::string priority, notification, resolution;  // "" when none chosen
  std::string coverPage, sendTo, total;
  std::vector<std::string> groups, dataFiles, remoteFiles, remoteLists;
  std::string showButton;  // the Show button's text
};
ConfirmSummary BuildConfirmSummary(Dictionary& dictionary, const framework::IniFile& clientIni,
                                   const SingleRecipient& recipient, const SendJob& job);
const char* PriorityText(Priority p);
const char* NotificationText(Notification n);
const char* ResolutionText(Resolution r);

// The number of g_QsendTo entries the send goes to for the option
// (1 marked, 2 unmarked).
int CountTargets(const Dictionary& dictionary, int sendToOption);
// Sorts g_QsendTo by "ToName", "Company", "Destination" or "Mark" (stable).
void SortSendTo(Dictionary& dictionary, const std::string& field);
// The total after a change of the option or a mark: recounts and sorts by
// Mark (unmarked first), as the list shows it.
int RecomputeTotal(Dictionary& dictionary, int sendToOption);

}  // namespace mvn::client
