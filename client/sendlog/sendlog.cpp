#include "client/sendlog/sendlog.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <set>

#include "client/core/delivery.h"
#include "client/core/sendlogfile.h"
#include "framework/core/errors.h"
#include "framework/core/filemanager.h"
#include "framework/core/record.h"
#include "framework/core/strings.h"
#include "platform/kernel/regularfile.h"
#include "platform/kernel/win32.h"

namespace mvn::client {

using framework::Clip;
using framework::CutUtf8;
using framework::Upper;

// ---------------------------------------------------------------------------
// Quoted lists

bool GetQuotedListItem(std::string_view list, size_t* pos, std::string* item, bool* cut) {
  size_t i = *pos;
  while (i < list.size() && (list[i] == ',' || list[i] == ' ')) ++i;
  if (i >= list.size()) {
    *pos = i;
    return false;
  }
  item->clear();
  if (list[i] != '"') {
    size_t end = list.find(',', i);
    if (end == std::string_view::npos) end = list.size();
    *item = Clip(list.substr(i, end - i));
    *pos = end;
    return true;
  }
  ++i;
  while (i < list.size()) {
    if (list[i] == '"') {
      if (i + 1 < list.size() && list[i + 1] == '"') {
        *item += '"';
        i += 2;
        continue;
      }
      *pos = i + 1;
      return true;
    }
    *item += list[i++];
  }
  // No closing quote: the list was cut inside this item.
  if (cut) *cut = true;
  item->clear();
  *pos = list.size();
  return false;
}

std::vector<std::string> QuotedListItems(std::string_view list, bool* cut) {
  std::vector<std::string> items;
  size_t pos = 0;
  std::string item;
  while (GetQuotedListItem(list, &pos, &item, cut)) items.push_back(item);
  return items;
}

std::vector<std::string> IncludedNames(std::string_view includes, bool* cut) {
  std::vector<std::string> names;
  static const std::string_view kTag = "Include:\"";
  size_t pos = 0;
  while ((pos = includes.find(kTag, pos)) != std::string_view::npos) {
    size_t start = pos + kTag.size();
    size_t end = includes.find('"', start);
    if (end == std::string_view::npos) {
      if (cut) *cut = true;
      break;
    }
    names.emplace_back(includes.substr(start, end - start));
    pos = end + 1;
  }
  return names;
}

// ---------------------------------------------------------------------------
// The send log

bool SendLogEntry::operator==(const SendLogEntry& o) const {
  return date == o.date && attn == o.attn && company == o.company && destination == o.destination && ref == o.ref &&
         chargeCode == o.chargeCode && cpFileName == o.cpFileName && psFileName == o.psFileName &&
         groups == o.groups && includes == o.includes && localFiles == o.localFiles;
}

std::string SendLogPath(const framework::IniFile& ini) { return Clip(framework::Left(ini.Fetch("Files", "SendLog"))); }

namespace {

struct FieldRef {
  const char* name;
  std::string SendLogEntry::*member;
};
const FieldRef kFields[] = {
    {"Date", &SendLogEntry::date},           {"Attn", &SendLogEntry::attn},
    {"Company", &SendLogEntry::company},     {"Destination", &SendLogEntry::destination},
    {"Ref", &SendLogEntry::ref},             {"ChargeCode", &SendLogEntry::chargeCode},
    {"CPFileName", &SendLogEntry::cpFileName}, {"PSFileName", &SendLogEntry::psFileName},
    {"Groups", &SendLogEntry::groups},       {"Includes", &SendLogEntry::includes},
    {"LocalFiles", &SendLogEntry::localFiles}};

}  // namespace

bool LoadSendLog(const std::string& path, std::vector<SendLogEntry>* rows, std::string* message) {
  rows->clear();
  if (path.empty()) {
    *message = "No send log is set up ([Files] SendLog).";
    return false;
  }
  if (!FileExists(path)) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;  // created at the next send
    *message = "The send log " + path + " is not a regular file.";
    return false;
  }
  framework::FileManager file(framework::Driver::Csv, SNDLayout(), path);
  file.SetCreate(false);
  int rc = file.TryOpen(framework::ReadOnly | framework::DenyNone);
  if (rc == framework::NoError) rc = file.Set();
  while (rc == framework::NoError) {
    rc = file.Next();
    if (rc != framework::NoError) break;
    SendLogEntry e;
    for (const FieldRef& f : kFields) e.*f.member = file.Buffer().Get(f.name);
    rows->push_back(std::move(e));
  }
  if (file.IsOpen()) file.Close();
  if (rc != framework::RecordNotAvailableError) {
    *message = "The send log " + path + " could not be read: " + framework::ErrorText();
    return false;
  }
  return true;
}

namespace {
std::string WithoutTrailingSlash(std::string dir) {
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  return dir;
}
bool InDirectory(const std::string& file, const std::string& dir) {
  if (dir.empty()) return false;
  size_t slash = file.find_last_of("/\\");
  if (slash == std::string::npos) return false;
  return WithoutTrailingSlash(file.substr(0, slash)) == WithoutTrailingSlash(dir);
}
}  // namespace

DeleteResult DeleteSendLogRows(const std::string& path, const std::vector<SendLogEntry>& rows,
                               const std::string& keepDir) {
  DeleteResult result;
  // Read and replaced under the log's lock: a send that adds records
  // meanwhile waits, and its records stay.
  SendLogLock lock;
  if (!lock.Lock(path, &result.message)) return result;
  std::vector<SendLogEntry> current;
  if (!LoadSendLog(path, &current, &result.message)) return result;
  std::vector<SendLogEntry> remaining, removed;
  std::vector<bool> used(rows.size(), false);
  for (const SendLogEntry& e : current) {
    bool drop = false;
    for (size_t i = 0; i < rows.size(); ++i) {
      if (!used[i] && rows[i] == e) {
        used[i] = true;
        drop = true;
        break;
      }
    }
    (drop ? removed : remaining).push_back(e);
  }
  if (removed.empty()) {
    result.ok = true;
    return result;
  }
  // The remaining rows go into a new file beside the log, which then
  // replaces it.
  auto add = [&](framework::FileManager& log) {
    int rc = framework::NoError;
    for (size_t i = 0; i < remaining.size() && rc == framework::NoError; ++i) {
      framework::Record& r = log.Buffer();
      r.Clear();
      for (const FieldRef& f : kFields) r.Set(f.name, remaining[i].*f.member);
      rc = log.TryInsert();
    }
    return rc;
  };
  std::string why;
  if (!ReplaceSendLog(path, false, add, &why)) {
    result.message = why + "; nothing was deleted.";
    return result;
  }
  result.ok = true;
  result.removed = static_cast<int>(removed.size());
  std::set<std::string> stillNamed;
  for (const SendLogEntry& e : remaining) {
    if (!Clip(e.cpFileName).empty()) stillNamed.insert(Clip(e.cpFileName));
    if (!Clip(e.psFileName).empty()) stillNamed.insert(Clip(e.psFileName));
  }
  std::set<std::string> done;
  for (const SendLogEntry& e : removed) {
    for (const std::string& f : {Clip(e.cpFileName), Clip(e.psFileName)}) {
      if (f.empty() || stillNamed.count(f) || done.count(f)) continue;
      done.insert(f);
      if (InDirectory(f, Clip(keepDir)) && FileExists(f) && DeleteFileA(f.c_str())) result.deletedFiles.push_back(f);
    }
  }
  return result;
}

namespace {

bool ReadKept(const std::string& path, std::string* text) {
  HANDLE h = kernel::OpenRegularFileForReading(path.c_str(), FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (h == INVALID_HANDLE_VALUE) return false;
  text->clear();
  char block[8192];
  DWORD got = 0;
  while (text->size() < kMessageTextBytes && ReadFile(h, block, sizeof block, &got, nullptr) && got > 0)
    text->append(block, got);
  CloseHandle(h);
  if (text->size() > kMessageTextBytes) *text = CutUtf8(*text, kMessageTextBytes);
  *text = Clip(*text);
  return true;
}

}  // namespace

std::string KeptDocumentName(const std::string& kept) {
  // "<name>.yyyymmdd.hhmmss"
  auto digits = [&](size_t at, size_t n) {
    if (at + n > kept.size()) return false;
    for (size_t i = at; i < at + n; ++i)
      if (kept[i] < '0' || kept[i] > '9') return false;
    return true;
  };
  const size_t stamp = 16;  // ".yyyymmdd.hhmmss"
  if (kept.size() > stamp) {
    size_t at = kept.size() - stamp;
    if (kept[at] == '.' && digits(at + 1, 8) && kept[at + 9] == '.' && digits(at + 10, 6)) return kept.substr(0, at);
  }
  // "R<name>", the copy kept of a re-sent document.
  if (kept.size() > 1 && kept[0] == 'R') return kept.substr(1);
  return kept;
}

bool ReSend(Dictionary& d, const SendLogEntry& row, const std::string& /*tempDir*/, SendJob& job,
            ResendFields* fields) {
  fields->notes.clear();
  // A Destination that fills the log's field may be a cut number.
  static const size_t kLoggedDestinationBytes = FieldBytes(*SNDLayout(), "Destination");
  if (row.destination.size() >= kLoggedDestinationBytes) {
    fields->notes = "The destination of this entry is as long as the send log keeps it and may have been cut; "
                    "it was not re-sent. Please send it from the address book.";
    return false;
  }
  std::vector<std::string> notes;
  SingleRecipient& r = fields->recipient;
  r = SingleRecipient();
  r.name = Clip(row.attn);
  r.company = Clip(row.company);
  r.destination = Clip(row.destination);
  AcceptRecipientName(r);
  r.recordId = 0;
  job.reference = Clip(row.ref);
  job.chargeCode = Clip(row.chargeCode);
  job.messageText.clear();
  if (!Clip(row.cpFileName).empty() && !ReadKept(Clip(row.cpFileName), &job.messageText))
    notes.push_back("The kept message text " + Clip(row.cpFileName) + " could not be read.");
  job.mainAttachment.clear();
  job.mainDisplay.clear();
  std::string ps = Clip(row.psFileName);
  if (!ps.empty()) {
    // The kept copy itself is the attachment: the send copies it once for
    // the send client, which removes that copy; the fax carries the name
    // the document had when it was first sent.
    if (FileExists(ps)) {
      job.mainAttachment = ps;
      job.mainDisplay = KeptDocumentName(FileNamePart(ps));
    } else {
      notes.push_back("The kept document " + ps + " could not be found; the fax has no main attachment.");
    }
  }
  job.resend = true;
  job.sendToAll = false;

  GlobalQueues& q = d.Queues();
  q.g_QattachOtherFiles.Free();
  bool cut = false;
  std::vector<std::string> locals = QuotedListItems(row.localFiles, &cut);
  if (locals.size() > 10) {
    notes.push_back("Only the first ten of " + std::to_string(locals.size()) + " attached files were restored.");
    locals.resize(10);
  }
  for (const std::string& path : locals) {
    q.g_QattachOtherFiles.Buffer().Clear();
    q.g_QattachOtherFiles.Buffer().SetLong("Mark", 1);
    q.g_QattachOtherFiles.Buffer().Set("FilePathName", path);
    q.g_QattachOtherFiles.Add();
  }
  if (cut) notes.push_back("The list of attached files was longer than the send log keeps; only complete names "
                           "were restored.");
  bool includesCut = false;
  std::vector<std::string> included = IncludedNames(row.includes, &includesCut);
  if (includesCut) notes.push_back("The list of remote files was longer than the send log keeps; only complete "
                                   "names were marked.");
  for (int i = 1; i <= q.g_QimageFiles.Records(); ++i) {
    q.g_QimageFiles.Get(i);
    std::string name = Clip(q.g_QimageFiles.Buffer().Get("Name"));
    bool on = std::find(included.begin(), included.end(), name) != included.end();
    q.g_QimageFiles.Buffer().SetLong("Mark", on ? 1 : 0);
    q.g_QimageFiles.Put();
  }
  for (framework::Queue* queue : {&q.g_Qgroups, &q.g_QremoteLists}) {
    for (int i = 1; i <= queue->Records(); ++i) {
      queue->Get(i);
      queue->Buffer().SetLong("Mark", 0);
      queue->Put();
    }
  }
  for (const std::string& n : notes) fields->notes += (fields->notes.empty() ? "" : "|") + n;
  return true;
}

std::string ViewerCommandLine(std::string_view command, std::string_view path) {
  std::string p = Clip(path);
  if (p.empty() || p.find('"') != std::string::npos) return std::string();
  std::string c = Clip(framework::Left(command));
  if (c.empty()) c = "xdg-open";
  bool quote = p.find_first_of(" \t") != std::string::npos;
  return c + " " + (quote ? "\"" + p + "\"" : p);
}

std::string ViewCoverPageCommand(const framework::IniFile& ini, const SendLogEntry& row) {
  return ViewerCommandLine(ini.Fetch("Files", "viewTXTCommand"), row.cpFileName);
}
std::string ViewPrintFileCommand(const framework::IniFile& ini, const SendLogEntry& row) {
  return ViewerCommandLine(ini.Fetch("Files", "viewPSCommand"), row.psFileName);
}

const std::string& ColumnValue(const SendLogEntry& row, SendLogColumn column) {
  switch (column) {
    case SendLogColumn::Date: return row.date;
    case SendLogColumn::Attn: return row.attn;
    case SendLogColumn::Company: return row.company;
    case SendLogColumn::Destination: return row.destination;
    case SendLogColumn::Ref: return row.ref;
    case SendLogColumn::ChargeCode: return row.chargeCode;
    case SendLogColumn::CPFileName: return row.cpFileName;
    case SendLogColumn::PSFileName: return row.psFileName;
    case SendLogColumn::Groups: return row.groups;
  }
  return row.date;
}

void SortSendLog(std::vector<SendLogEntry>& rows, SendLogColumn column) {
  std::stable_sort(rows.begin(), rows.end(), [column](const SendLogEntry& a, const SendLogEntry& b) {
    return Upper(ColumnValue(a, column)) < Upper(ColumnValue(b, column));
  });
}

int TypeAhead(const std::vector<SendLogEntry>& rows, SendLogColumn column, char key) {
  char k = static_cast<char>(std::toupper(static_cast<unsigned char>(key)));
  if (!((k >= '1' && k <= '9') || (k >= 'A' && k <= 'Z'))) return -1;
  for (size_t i = 0; i < rows.size(); ++i) {
    std::string v = framework::Left(ColumnValue(rows[i], column));
    if (!v.empty() && std::toupper(static_cast<unsigned char>(v[0])) == k) return static_cast<int>(i);
  }
  return -1;
}

// ---------------------------------------------------------------------------
// Resubmit

void ResubmitChoice::Check(int box, bool on) {
  if (on) grouped = unsuccessful = all = false;
  if (box == 1) grouped = on;
  if (box == 2) unsuccessful = on;
  if (box == 3) all = on;
}

ResubmitKind ResubmitChoice::Kind() const {
  if (grouped) return ResubmitKind::UnsuccessfulGrouped;
  if (unsuccessful) return ResubmitKind::Unsuccessful;
  if (all) return ResubmitKind::All;
  return ResubmitKind::None;
}

SendResult SendResubmit(const framework::IniFile& ini, const ResubmitChoice& choice, std::string_view jobNumber,
                        Prompter& prompter) {
  ResubmitJob job;
  job.kind = choice.Kind();
  job.jobNumber = CutUtf8(Clip(framework::Left(jobNumber)), kJobNumberBytes);
  // A request without a choice or a job number asks the server for nothing.
  SendResult refused;
  if (job.kind == ResubmitKind::None) refused.message = "Please choose which destinations to resend to.";
  else if (job.jobNumber.empty()) refused.message = "Please enter the job number to resubmit.";
  if (!refused.message.empty()) {
    prompter.Tell(refused.message);
    return refused;
  }
  return WriteResubmit(ini, job, prompter);
}

// ---------------------------------------------------------------------------
// Confirmation and "Send to" list

const char* PriorityText(Priority p) {
  switch (p) {
    case Priority::High: return "Urgent";
    case Priority::Normal: return "Normal";
    case Priority::Low: return "Non-Urgent";
    default: return "";
  }
}
const char* NotificationText(Notification n) {
  switch (n) {
    case Notification::NotifyNone: return "None";
    case Notification::Errors: return "Non-delivery";
    case Notification::All: return "Delivery";
    default: return "";
  }
}
const char* ResolutionText(Resolution r) {
  switch (r) {
    case Resolution::High: return "High";
    case Resolution::Low: return "Low";
    default: return "";
  }
}

int CountTargets(const Dictionary& d, int option) {
  const framework::Queue& q = const_cast<Dictionary&>(d).Queues().g_QsendTo;
  int n = 0;
  for (int i = 1; i <= q.Records(); ++i) {
    bool marked = q.Entry(i).GetLong("Mark") != 0;
    if (option == 2 ? !marked : marked) ++n;
  }
  return n;
}

void SortSendTo(Dictionary& d, const std::string& field) { d.Queues().g_QsendTo.Sort({field}, field != "Mark"); }

int RecomputeTotal(Dictionary& d, int option) {
  SortSendTo(d, "Mark");
  return CountTargets(d, option);
}

ConfirmSummary BuildConfirmSummary(Dictionary& d, const framework::IniFile& ini, const SingleRecipient& recipient,
                                   const SendJob& job) {
  ConfirmSummary s;
  s.attention = recipient.name;
  s.company = recipient.company;
  s.destination = recipient.destination;
  s.priority = PriorityText(job.priority);
  s.notification = NotificationText(job.notification);
  s.resolution = ResolutionText(job.resolution);
  s.coverPage = Clip(job.coverPage);
  int total = CountTargets(d, job.sendToOption);
  s.total = std::to_string(total);
  // "Send to:" names who the send goes to.
  GlobalQueues& q = d.Queues();
  for (int i = 1; i <= q.g_Qgroups.Records(); ++i)
    if (q.g_Qgroups.Entry(i).GetLong("Mark")) s.groups.push_back(Clip(q.g_Qgroups.Entry(i).Get("GroupID")));
  if (job.sendToAll)
    s.sendTo = "All recipients";
  else if (!s.groups.empty())
    s.sendTo = "Marked groups";
  else
    s.sendTo = "Single recipient";
  for (int i = 1; i <= q.g_QattachOtherFiles.Records(); ++i)
    if (q.g_QattachOtherFiles.Entry(i).GetLong("Mark"))
      s.dataFiles.push_back(Clip(q.g_QattachOtherFiles.Entry(i).Get("FilePathName")));
  for (int i = 1; i <= q.g_QimageFiles.Records(); ++i)
    if (q.g_QimageFiles.Entry(i).GetLong("Mark")) s.remoteFiles.push_back(Clip(q.g_QimageFiles.Entry(i).Get("Name")));
  for (int i = 1; i <= q.g_QremoteLists.Records(); ++i)
    if (q.g_QremoteLists.Entry(i).GetLong("Mark"))
      s.remoteLists.push_back(Clip(q.g_QremoteLists.Entry(i).Get("Description")));
  std::string button = Clip(framework::Left(ini.Fetch("Default", "Show_Send_to_List_BUTTONName")));
  s.showButton = button.empty() ? "&Show Send_to_List of all destinations" : button;
  return s;
}

}  // namespace mvn::client
