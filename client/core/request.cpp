// Request files and their writers (see request.h).
#include "client/core/request.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "client/core/rtf.h"
#include "client/core/sendlist.h"
#include "client/core/sendlogfile.h"
#include "framework/core/strings.h"
#include "platform/kernel/regularfile.h"
#include "platform/kernel/win32.h"

namespace mvn::client {

using framework::Clip;
using framework::CutUtf8;
using framework::Format;
using framework::Left;
using framework::Upper;

// ---------------------------------------------------------------------------
// Line writer

RequestFile::RequestFile() = default;

RequestFile::~RequestFile() {
  if (m_file && m_file->IsOpen()) m_file->Close();
}

bool RequestFile::Fail(const std::string& what) {
  if (m_ok || m_error.empty()) {
    std::string detail = framework::ErrorText();
    m_error = what + " " + m_path + (detail.empty() ? "" : ": " + detail);
  }
  m_ok = false;
  return false;
}

void RequestFile::Abandon(const std::string& why) {
  if (m_ok || m_error.empty()) m_error = why;
  m_ok = false;
}

bool RequestFile::Create(const std::string& path, bool newOnly) {
  m_path = path;
  m_error.clear();
  m_ok = true;
  if (newOnly) {
    HANDLE made = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (made == INVALID_HANDLE_VALUE) {
      framework::SetError(framework::AccessDeniedError, path, "the file exists or cannot be made");
      return Fail("The request file could not be created:");
    }
    CloseHandle(made);
  }
  m_file = std::make_unique<framework::FileManager>(framework::Driver::Dos, FAXLayout(), path);
  if (!newOnly && m_file->Create() != framework::NoError) return Fail("The request file could not be created:");
  if (m_file->TryOpen(framework::ReadWrite | framework::DenyWrite) != framework::NoError)
    return Fail("The request file could not be opened:");
  // Lines are collected and written in large blocks (a write per line was
  // most of a large send's time); a block that cannot be written fails the
  // line being added or the Close, so a short file is never taken as whole.
  m_file->BufferAdds(true);
  return true;
}

bool RequestFile::WriteBytes(std::string_view bytes) {
  if (!m_ok || !m_file) return false;
  const size_t block = static_cast<size_t>(FAXLayout()->RecordSize());
  for (size_t at = 0; at < bytes.size(); at += block) {
    std::string_view chunk = bytes.substr(at, block);
    m_file->Buffer().SetText(0, chunk);
    if (m_file->Insert(chunk.size()) != framework::NoError) return Fail("The request file could not be written:");
  }
  return true;
}

bool RequestFile::WriteJobLine(std::string_view text) {
  std::string line(text);
  line += "\r\n";
  return WriteBytes(line);
}

bool RequestFile::Close() {
  if (!m_file) return false;
  if (m_file->IsOpen() && m_file->Close() != framework::NoError && m_ok) Fail("The request file could not be written:");
  return m_ok;
}

// ---------------------------------------------------------------------------
// Values

std::string SafeLine(std::string_view value) {
  std::string out(value);
  for (char& c : out)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return out;
}

bool StartsMarker(std::string_view text) {
  size_t at = text.find_first_not_of(" \t");
  return at != std::string_view::npos && text[at] == '!';
}

std::string AttachmentItem(std::string_view value) {
  bool quote = value.find(',') != std::string_view::npos ||
               (!value.empty() && (value[0] == ' ' || value[0] == '\t' || value[0] == '"'));
  if (!quote) return std::string(value);
  std::string out = "\"";
  for (char c : value) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

std::string PadField(std::string_view text, size_t width) {
  std::string out = CutUtf8(text, width);
  out.append(width - out.size(), ' ');
  return out;
}

std::string SendTimeLine(int32_t date, int32_t time, bool utc) {
  std::string hhmm = PadField(Format(time, "@T1"), 8);
  if (!utc) return "Send:" + Format(date, "@D6") + " " + hhmm;
  int year = 0, month = 0, day = 0;
  framework::SplitDate(date, &year, &month, &day);
  long hundredths = time > 0 ? time - 1 : 0;
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = static_cast<int>(hundredths / 360000);
  local.tm_min = static_cast<int>(hundredths / 6000 % 60);
  local.tm_isdst = -1;  // the offset in force at that moment, not now
  std::time_t when = std::mktime(&local);
  std::tm gm{};
  gmtime_r(&when, &gm);
  char text[96];
  std::snprintf(text, sizeof text, "Send:UTC%04d%02d%02d%02d%02d", gm.tm_year + 1900, gm.tm_mon + 1, gm.tm_mday,
                gm.tm_hour, gm.tm_min);
  return text;
}

namespace {

bool IsYes(const std::string& value) { return Upper(Clip(Left(value))) == "YES"; }

std::string TempDirectory() {
  char buffer[MAX_PATH];
  DWORD n = GetTempPathA(sizeof buffer, buffer);
  if (n == 0 || n >= sizeof buffer) return "./";
  std::string dir(buffer, n);
  if (dir.back() != '/' && dir.back() != '\\') dir += '/';
  return dir;
}

std::string JoinDir(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  char last = dir.back();
  return last == '/' || last == '\\' ? dir + name : dir + "/" + name;
}

std::string SystemText(DWORD error) {
  char buffer[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, buffer,
                           sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text.empty() ? "error " + std::to_string(error) : text;
}

// Creates a new file named stem + ext in dir, or stem + "-2" + ext and so on
// when that name is taken; never replaces a file. The handle (open for
// writing) and its path, or INVALID_HANDLE_VALUE.
HANDLE CreateUnique(const std::string& dir, const std::string& stem, const std::string& ext, std::string* path) {
  for (int k = 1; k < 10000; ++k) {
    std::string name = k == 1 ? stem + ext : stem + "-" + std::to_string(k) + ext;
    *path = JoinDir(dir, name);
    HANDLE h = CreateFileA(path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return INVALID_HANDLE_VALUE;
}

// Copies everything from an open handle into a new unique file; its path
// in *copy. False (nothing left behind) with the reason in *why.
bool CopyToUnique(HANDLE from, const std::string& dir, const std::string& stem, const std::string& ext,
                  std::string* copy, std::string* why) {
  HANDLE to = CreateUnique(dir, stem, ext, copy);
  if (to == INVALID_HANDLE_VALUE) {
    *why = "the copy " + *copy + " cannot be made: " + SystemText(GetLastError());
    return false;
  }
  char buffer[65536];
  bool ok = true;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, buffer, sizeof buffer, &got, nullptr)) {
      *why = "reading failed: " + SystemText(GetLastError());
      ok = false;
      break;
    }
    if (got == 0) break;
    DWORD written = 0;
    if (!WriteFile(to, buffer, got, &written, nullptr) || written != got) {
      *why = "writing " + *copy + " failed: " + SystemText(GetLastError());
      ok = false;
      break;
    }
  }
  if (!CloseHandle(to) && ok) {
    *why = "writing " + *copy + " failed: " + SystemText(GetLastError());
    ok = false;
  }
  if (!ok) DeleteFileA(copy->c_str());
  return ok;
}

// stat() of a path: 0 regular, ENOENT missing, EINVAL not a regular file,
// or the errno.
int Probe(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return errno == ENOTDIR ? ENOENT : errno;
  return S_ISREG(st.st_mode) ? 0 : EINVAL;
}

std::string Absolute(const std::string& path) {
  char buffer[MAX_PATH];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
  return n && n < sizeof buffer ? std::string(buffer, n) : path;
}

}  // namespace

bool InSpoolFolder(const std::string& path) {
  std::string spool = std::string(MvnRootDirectory()) + "/spool/temp";
  char realSpool[PATH_MAX], realFile[PATH_MAX];
  if (!realpath(spool.c_str(), realSpool) || !realpath(path.c_str(), realFile)) return false;
  std::string s = realSpool;
  return std::string(realFile).rfind(s + "/", 0) == 0;
}

namespace {

struct Attachment {
  std::string display;
  std::string path;      // what the send client is given
  std::string original;  // the user's file
  bool ours = false;     // path is a copy the client made
};

struct Prepared {
  bool haveMain = false;
  Attachment main;
  std::vector<Attachment> locals;
  void Discard() {
    if (haveMain && main.ours) DeleteFileA(main.path.c_str());
    for (const Attachment& a : locals)
      if (a.ours) DeleteFileA(a.path.c_str());
    haveMain = false;
    locals.clear();
  }
};

enum class Step { Ok, Skip, Cancel };

// The main attachment: it must exist; while another program holds it (the
// spooler still writing a printed document) the exclusive open is tried
// again, pauseMs apart, for waitMs, then the user may wait again or cancel.
Step PrepareMain(const SendJob& job, const std::string& tempDir, Prompter& prompter, const WriterOptions& options,
                 Prepared* out, std::string* message) {
  std::string field = Clip(job.mainAttachment);
  if (field.empty()) return Step::Skip;
  std::string path = Absolute(field);
  int probe = Probe(path);
  if (probe == ENOENT) {
    std::string text = "You have typed a wrong file name to be send: " + PadField(job.mainAttachment, 150) +
                       " Please check and retry!";
    if (prompter.AskContinue(text)) return Step::Skip;
    *message = text;
    return Step::Cancel;
  }
  if (probe != 0) {
    std::string text = probe == EINVAL ? "The document " + path + " is not a regular file; the fax was not sent."
                                       : "The document " + path + " cannot be read: " + std::strerror(probe) +
                                             "; the fax was not sent.";
    prompter.Tell(text);
    *message = text;
    return Step::Cancel;
  }
  HANDLE h = INVALID_HANDLE_VALUE;
  for (;;) {
    unsigned waited = 0;
    for (;;) {
      // Checked on the open descriptor: a FIFO put in its place meanwhile
      // is refused, never waited on.
      h = kernel::OpenRegularFileForReading(path.c_str(), 0);
      if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION || waited >= options.waitMs) break;
      Sleep(options.pauseMs);
      waited += options.pauseMs ? options.pauseMs : 1;
    }
    if (h != INVALID_HANDLE_VALUE) break;
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
      if (prompter.AskWaitAgain("The document " + path +
                                " is still in use by another program (it may still be printing). Wait for it again?"))
        continue;
      *message = "The document " + path + " is still in use by another program; the fax was not sent.";
      return Step::Cancel;
    }
    std::string text = error == ERROR_BAD_FILE_TYPE
                           ? "The document " + path + " is not a regular file; the fax was not sent."
                           : "The document " + path + " cannot be read: " + SystemText(error) + "; the fax was not sent.";
    prompter.Tell(text);
    *message = text;
    return Step::Cancel;
  }
  Attachment a;
  a.display = CutUtf8(Clip(job.mainDisplay.empty() ? FileNamePart(path) : job.mainDisplay), 49);
  a.original = path;
  if (InSpoolFolder(path)) {
    a.path = path;  // a printed document: the send client consumes it
  } else {
    std::string why;
    if (!CopyToUnique(h, tempDir, "AttachMainFile", ".TMP", &a.path, &why)) {
      CloseHandle(h);
      std::string text = "The document " + path + " could not be handed to the send client (" + why +
                         "); the fax was not sent.";
      prompter.Tell(text);
      *message = text;
      return Step::Cancel;
    }
    a.ours = true;
  }
  CloseHandle(h);
  out->main = a;
  out->haveMain = true;
  return Step::Ok;
}

// The marked local attachments, each copied into the temporary directory
// as AttachOtherFile<queue position>.TMP (a free variant of that name).
Step PrepareLocals(Dictionary& dictionary, const std::string& tempDir, Prompter& prompter, Prepared* out,
                   std::string* message) {
  Queue& files = dictionary.Queues().g_QattachOtherFiles;
  for (int i = 1; i <= files.Records(); ++i) {
    const framework::Record& entry = files.Entry(i);
    if (entry.GetLong("Mark") == 0) continue;
    std::string path = Clip(entry.Get("FilePathName"));
    if (path.empty()) continue;
    std::string problem;
    int probe = Probe(path);
    HANDLE h = INVALID_HANDLE_VALUE;
    if (probe == ENOENT) {
      problem = "The attachment " + path + " cannot be found.";
    } else if (probe == EINVAL) {
      problem = "The attachment " + path + " is not a regular file.";
    } else if (probe != 0) {
      problem = "The attachment " + path + " cannot be read: " + std::strerror(probe) + ".";
    } else {
      h = kernel::OpenRegularFileForReading(path.c_str(), FILE_SHARE_READ);
      if (h == INVALID_HANDLE_VALUE)
        problem = GetLastError() == ERROR_BAD_FILE_TYPE
                      ? "The attachment " + path + " is not a regular file."
                      : "The attachment " + path + " cannot be read: " + SystemText(GetLastError()) + ".";
    }
    Attachment a;
    if (problem.empty()) {
      std::string why;
      if (CopyToUnique(h, tempDir, "AttachOtherFile" + std::to_string(i), ".TMP", &a.path, &why)) {
        a.ours = true;
        a.display = Clip(FileNamePart(path));
        a.original = path;
      } else {
        problem = "The attachment " + path + " could not be copied (" + why + ").";
      }
      CloseHandle(h);
    }
    if (!problem.empty()) {
      std::string text = problem + " Send the fax without it?";
      if (!prompter.AskContinue(text)) {
        *message = problem;
        return Step::Cancel;
      }
      continue;
    }
    out->locals.push_back(a);
  }
  return Step::Ok;
}

bool IsTarget(const framework::Record& entry, int option) {
  bool marked = entry.GetLong("Mark") != 0;
  return option == 2 ? !marked : marked;
}

std::string Quoted(const std::string& name) { return "\"" + SafeLine(name) + "\""; }

// The items joined by separator, as many whole items as fit in width bytes
// (in order; one that does not fit ends the list). *left counts the rest.
std::string WholeItems(const std::vector<std::string>& items, std::string_view separator, size_t width,
                       size_t* left) {
  std::string joined;
  size_t taken = 0;
  for (const std::string& item : items) {
    size_t grows = (joined.empty() ? 0 : separator.size()) + item.size();
    if (joined.size() + grows > width) break;
    if (!joined.empty()) joined += separator;
    joined += item;
    ++taken;
  }
  *left = items.size() - taken;
  return joined;
}

// The bytes a text field of the send log's record keeps.
size_t SendLogFieldCapacity(const char* field) {
  static const LayoutPtr layout = SNDLayout();
  return FieldBytes(*layout, field);
}

// A stamp yyyymmdd.hhmmss and a log date "yyyy/mm/dd hh:mm:ss" of now.
void Stamps(int64_t now, std::string* stamp, std::string* logDate) {
  std::time_t t = now ? static_cast<std::time_t>(now) : std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  char a[96], b[96];
  std::snprintf(a, sizeof a, "%04d%02d%02d.%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec);
  std::snprintf(b, sizeof b, "%04d/%02d/%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec);
  *stamp = a;
  *logDate = b;
}

// A kept copy: a new file, never over another one.
bool KeepBytes(const std::string& dir, const std::string& name, const std::string& bytes, std::string* path) {
  HANDLE h = CreateUnique(dir, name, "", path);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
  if (!CloseHandle(h)) ok = false;
  if (!ok) DeleteFileA(path->c_str());
  return ok;
}

bool KeepFile(const std::string& dir, const std::string& name, const std::string& source, std::string* path) {
  HANDLE from = kernel::OpenRegularFileForReading(source.c_str(), FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (from == INVALID_HANDLE_VALUE) return false;
  std::string why;
  bool ok = CopyToUnique(from, dir, name, "", path, &why);
  CloseHandle(from);
  return ok;
}

}  // namespace

std::string SendRequestPath() { return TempDirectory() + "Faxout.tmp"; }
std::string DeletionRequestPath() { return TempDirectory() + "RemoveRemote.tmp"; }

namespace {

// One key of [AdditionalTargets] that writes lines: its label and the
// record field it reads, found once per send.
struct AdditionalTarget {
  enum Kind { Address, Email, AttachmentType, Other };
  Kind kind = Other;
  std::string label;
  int field = -1;  // in the address record's layout; -1 reads ""
};

// The keys of [AdditionalTargets] with a label to write, in file order:
// the INI file is read once per send, not once per target.
std::vector<AdditionalTarget> ReadAdditionalTargets(const framework::IniFile& ini, const framework::Layout& layout) {
  std::vector<AdditionalTarget> targets;
  for (const std::string& key : ini.KeyNames("AdditionalTargets")) {
    if (key.empty()) break;
    std::string label = SafeLine(Clip(ini.Fetch("AdditionalTargets", key)));
    if (label.empty()) continue;
    // A label beginning "!" would make its line a marker or an attachment
    // line of the request: such a field is not sent.
    if (StartsMarker(label)) continue;
    AdditionalTarget t;
    t.label = label;
    std::string k = Upper(key);
    if (k == "POSTALADDRESS" || k == "PHYSICALADDRESS") {
      t.kind = AdditionalTarget::Address;
      t.field = layout.FindField(key);
    } else if (k == "EMAILADDRESS") {
      t.kind = AdditionalTarget::Email;
      t.field = layout.FindField("Email");
    } else if (k == "EMAILATTACHMENTTYPE") {
      t.kind = AdditionalTarget::AttachmentType;
      t.field = layout.FindField("FaxToEmailAttachmentType");
    } else {
      t.field = layout.FindField(key);
    }
    targets.push_back(std::move(t));
  }
  return targets;
}

void AppendAdditionalTargetLines(const std::vector<AdditionalTarget>& targets, const framework::Record& mvc,
                                 std::vector<std::string>& lines) {
  for (const AdditionalTarget& t : targets) {
    std::string value = mvc.GetText(t.field);
    switch (t.kind) {
      case AdditionalTarget::Address: {
        std::string rest = std::move(value);
        for (int part = 1; part <= 4 && !rest.empty(); ++part) {
          size_t end = rest.find_first_of("\r\n");
          std::string piece = rest.substr(0, end);
          if (end == std::string::npos) {
            rest.clear();
          } else {
            size_t skip = rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n' ? 2 : 1;
            rest = rest.substr(end + skip);
          }
          piece = Clip(CutUtf8(Left(SafeLine(piece)), 41));
          if (!piece.empty()) lines.push_back(t.label + std::to_string(part) + ":" + piece);
        }
        break;
      }
      case AdditionalTarget::Email:
        lines.push_back("EmailAddress:" + SafeLine(value));
        break;
      default:
        lines.push_back(t.label + ":" + SafeLine(value));
        break;
    }
  }
}

}  // namespace

std::vector<std::string> AdditionalTargetLines(const framework::IniFile& ini, const framework::Record& mvc) {
  std::vector<std::string> lines;
  AppendAdditionalTargetLines(ReadAdditionalTargets(ini, mvc.GetLayout()), mvc, lines);
  return lines;
}

// ---------------------------------------------------------------------------
// The send request

namespace {

// The cover pages and image files the request names that the send records
// as no longer new once it is written, and the images it includes (the
// send log lists those).
struct RequestFiles {
  std::vector<int> newCoverPages;  // queue positions
  std::vector<int> newImages;      // queue positions
  std::vector<std::string> includes;
};

// The request's first lines: its marker and the job's passthrough header.
void WriteJobHeader(RequestFile& file, const framework::IniFile& ini, const SendJob& job,
                    const UserIdentity& identity) {
  file.WriteJobLine("!MVN - DASHPOST V5.0 (Tolvar)");
  file.WriteJobLine("");
  file.WriteJobLine("!PASSTHROUGH");
  file.WriteJobLine("From:" + SafeLine(Clip(CutUtf8(identity.userName, kUserNameWidth))));
  file.WriteJobLine("UserId:" + SafeLine(Clip(CutUtf8(identity.userId, kUserIdWidth))));
  file.WriteJobLine("Reference:" + SafeLine(PadField(job.reference, 50)));
  std::string longDate = Format(job.sendDate, "@D18");
  file.WriteJobLine("Date:" + longDate);
  file.WriteJobLine("LocalDate:" + longDate);
  file.WriteJobLine("LocalTime:" + PadField(Format(job.sendTime, "@T1"), 8));
  file.WriteJobLine(SendTimeLine(job.sendDate, job.sendTime, IsYes(ini.Fetch("Default", "UseUTCTime"))));
  if (IsYes(ini.Fetch("MVNCLIENT", "Route"))) file.WriteJobLine("Route:Yes");
  static const char* const kNotification[] = {"", "NONE", "ERRORS", "ALL"};
  static const char* const kPriority[] = {"", "HIGH", "NORMAL", "LOW"};
  static const char* const kResolution[] = {"", "High", "LOW"};
  static const char* const kPageSize[] = {"", "Full  ", "Minimum"};
  if (job.notification != Notification::None)
    file.WriteJobLine(std::string("Notification:") + kNotification[static_cast<int>(job.notification)]);
  file.WriteJobLine("Charge:" + SafeLine(PadField(job.chargeCode, 30)));
  if (job.priority != Priority::None)
    file.WriteJobLine(std::string("Priority:") + kPriority[static_cast<int>(job.priority)]);
  if (job.resolution != Resolution::None)
    file.WriteJobLine(std::string("Resolution:") + kResolution[static_cast<int>(job.resolution)]);
  if (job.pageSize != PageSize::None)
    file.WriteJobLine(std::string("PageLen:") + kPageSize[static_cast<int>(job.pageSize)]);
}

// The new cover pages and image files go out ("Out:"); a marked image
// already on the server is included ("Include:").
RequestFiles WriteFileLines(RequestFile& file, GlobalQueues& q) {
  RequestFiles files;
  for (int i = 1; i <= q.g_QcoverPages.Records(); ++i) {
    const framework::Record& page = q.g_QcoverPages.Entry(i);
    if (page.GetLong("bNewCreated") != 1) continue;
    file.WriteJobLine("Out:" + Quoted(Clip(page.Get("Name"))));
    files.newCoverPages.push_back(i);
  }
  for (int i = 1; i <= q.g_QimageFiles.Records(); ++i) {
    const framework::Record& image = q.g_QimageFiles.Entry(i);
    std::string name = Clip(image.Get("Name"));
    if (image.GetLong("bNewCreated") == 1) {
      file.WriteJobLine("Out:" + Quoted(name));
      files.newImages.push_back(i);
    } else if (image.GetLong("Mark") == 1) {
      file.WriteJobLine("Include:" + Quoted(name));
      files.includes.push_back("Include:" + Quoted(name));
    }
  }
  return files;
}

// The rest of the passthrough header: the retry profile, the cover page's
// overlay, the default commands and the marked remote lists.
void WriteJobCommands(RequestFile& file, GlobalQueues& q, const framework::IniFile& ini, const SendJob& job) {
  file.WriteJobLine("Retry:" + SafeLine(PadField(job.retryProfile, 20)));
  const bool coverMessage = !job.messageText.empty() && job.includeCoverMessage;
  if (coverMessage) file.WriteJobLine("Overlay:" + Quoted(Clip(job.coverPage)));
  // An entry that begins with "!" would read as a marker or an attachment
  // line; such entries are not commands and are left out.
  for (const std::string& entry : ini.FetchList("DefaultCommands", "command", "Command_"))
    if (!entry.empty() && !StartsMarker(entry)) file.WriteJobLine(SafeLine(entry));
  bool listed = false;
  for (int i = 1; i <= q.g_QremoteLists.Records(); ++i) {
    const framework::Record& list = q.g_QremoteLists.Entry(i);
    if (list.GetLong("Mark") == 0) continue;
    if (!listed) file.WriteJobLine("Notification:LIST");
    listed = true;
    file.WriteJobLine("Group:" + SafeLine(Clip(list.Get("Name"))));
  }
  file.WriteJobLine("");
}

// One target's name lines. With the attention replaced, a blank attention
// name takes the first target's name (*filledAttention tells the caller to
// clear it again after the send).
void WriteTargetNames(RequestFile& file, const framework::Record& entry, SendJob& job, bool* filledAttention) {
  if (job.replaceAttention) {
    if (Clip(job.attentionName).empty()) {
      job.attentionName = CutUtf8(Clip(entry.Get("ToName")), kAttentionNameBytes);
      *filledAttention = true;
    }
    file.WriteJobLine("To:" + SafeLine(PadField(job.attentionName, kAttentionNameBytes)));
  } else {
    file.WriteJobLine("To:" + SafeLine(entry.Get("ToName")));
  }
  file.WriteJobLine("Title:" + SafeLine(entry.Get("Title")));
  file.WriteJobLine("First:" + SafeLine(entry.Get("FirstName")));
  file.WriteJobLine("Last:" + SafeLine(entry.Get("LastName")));
  file.WriteJobLine("Company:" + SafeLine(entry.Get("Company")));
  file.WriteJobLine("");
}

// A "!TARGET" block for each target of the send list; the queue positions
// of the targets.
std::vector<int> WriteTargets(RequestFile& file, Dictionary& dictionary, const framework::IniFile& ini, SendJob& job,
                              bool* filledAttention) {
  GlobalQueues& q = dictionary.Queues();
  std::vector<int> targets;
  BookTable clients(dictionary.File("MVClients"));
  const std::vector<AdditionalTarget> additional = ReadAdditionalTargets(ini, *clients.File().GetLayout());
  // The targets' address records are read only when there are lines to
  // take from them, all in one read transaction of the book: one lock of
  // its file instead of one per record. A book that cannot be locked for
  // it (read-only) is read without.
  const bool readRecords = clients.Ok() && !additional.empty();
  const bool inTransaction = readRecords && clients.File().BeginTransaction() == framework::NoError;
  std::vector<std::string> extras;
  for (int i = 1; i <= q.g_QsendTo.Records(); ++i) {
    const framework::Record& entry = q.g_QsendTo.Entry(i);
    if (!IsTarget(entry, job.sendToOption)) continue;
    targets.push_back(i);
    file.WriteJobLine("!TARGET");
    int64_t id = entry.GetLong("MVClientID");
    if (readRecords && id != 0) {
      FileManager& c = clients.File();
      c.Buffer().Clear();
      c.Buffer().SetLong("PK_MVClientID", id);
      if (c.TryFetch("MVC:KeyPK_MVClientID") == framework::NoError) {
        extras.clear();
        AppendAdditionalTargetLines(additional, c.Buffer(), extras);
        for (const std::string& extra : extras) file.WriteJobLine(extra);
      }
    }
    file.WriteJobLine("Destination:" + SafeLine(entry.Get("Destination")));
    std::string format = Clip(entry.Get("EmailFormat"));
    if (!format.empty()) file.WriteJobLine("EmailFormat:" + SafeLine(format));
    WriteTargetNames(file, entry, job, filledAttention);
  }
  if (inTransaction) clients.File().Commit();
  return targets;
}

// The attachment lines and the end marker; *copies names the copies the
// send client is handed.
void WriteAttachments(RequestFile& file, const Prepared& prepared, std::vector<std::string>* copies) {
  if (prepared.haveMain) {
    file.WriteJobLine("!ExtAttachment," + AttachmentItem(SafeLine(prepared.main.display)) + "," +
                      AttachmentItem(SafeLine(prepared.main.path)));
    copies->push_back(prepared.main.path);
  }
  for (const Attachment& a : prepared.locals) {
    file.WriteJobLine("!ExtAttachment," + AttachmentItem(SafeLine(a.display)) + "," + AttachmentItem(SafeLine(a.path)));
    copies->push_back(a.path);
  }
  file.WriteJobLine("");
  file.WriteJobLine("!MVN-END");
}

// New cover pages and image files are registered once and are no longer
// new. A new cover page takes the layout of the chosen one.
void RegisterNewFiles(GlobalQueues& q, const framework::IniFile& ini, const SendJob& job, const RequestFiles& files) {
  if (!files.newCoverPages.empty()) {
    framework::IniFile pages(ini.Fetch("Files", "GlobalCoverPages"));
    std::string chosen = Clip(job.coverPage);
    for (int i : files.newCoverPages) {
      q.g_QcoverPages.Get(i);
      framework::Record& page = q.g_QcoverPages.Buffer();
      std::string name = Clip(page.Get("Name"));
      pages.Update("AvailableCoverPages", name, SafeLine(Clip(page.Get("Description"))));
      auto copy = [&](const char* key, const char* fallback) {
        std::string value = pages.Fetch(chosen, key);
        if (fallback && Clip(value).empty()) value = pages.Fetch(chosen, fallback);
        pages.Update(name, key, value);
      };
      copy("AddressHeader", "AddressHeaderMargins");
      copy("AddressHeaderLines", nullptr);
      copy("AddressHeaderFilename", nullptr);
      copy("MessageBody", "MessageBodyMargins");
      copy("MessageBodyLines", nullptr);
      copy("MessageBodyFontname", nullptr);
      copy("MessageBodyFontSize", nullptr);
      copy("Signature", "SignatureMargins");
      copy("SignatureLines", nullptr);
      copy("SignatureFilename", nullptr);
      page.SetLong("bNewCreated", 0);
      q.g_QcoverPages.Put();
    }
  }
  if (!files.newImages.empty()) {
    framework::IniFile images(ini.Fetch("Files", "ImageFiles"));
    for (int i : files.newImages) {
      q.g_QimageFiles.Get(i);
      framework::Record& image = q.g_QimageFiles.Buffer();
      images.Update("ImageFiles", Clip(image.Get("Name")), SafeLine(Clip(image.Get("Description"))));
      image.SetLong("bNewCreated", 0);
      q.g_QimageFiles.Put();
    }
  }
}

// The copies the send log names: of the message text and of the document.
struct KeptCopies {
  std::string message;
  std::string document;
  void Discard() const {
    if (!message.empty()) DeleteFileA(message.c_str());
    if (!document.empty()) DeleteFileA(document.c_str());
  }
};

// Keeps the copies in [Files] SendlogKeepFiles, each under a new name; a
// copy that cannot be kept is told of and left out.
KeptCopies KeepCopies(const framework::IniFile& ini, const SendJob& job, const Prepared& prepared,
                      const std::string& stamp, Prompter& prompter) {
  KeptCopies kept;
  std::string dir = Clip(ini.Fetch("Files", "SendlogKeepFiles"));
  // A kept copy is named in a field of the send log: a copy whose name
  // is longer is not kept (a cut name would name no file).
  auto fits = [&](const char* field, std::string* copy, const char* what) {
    if (copy->empty() || copy->size() <= SendLogFieldCapacity(field)) return;
    DeleteFileA(copy->c_str());
    prompter.Tell(std::string("The copy of the ") + what + " was not kept: its name " + *copy +
                  " is longer than the send log keeps (" + std::to_string(SendLogFieldCapacity(field)) +
                  " characters). Please choose a shorter SendlogKeepFiles directory.");
    copy->clear();
  };
  if (dir.empty()) {
    prompter.Tell("No directory is set for the kept copies ([Files] SendlogKeepFiles); none were kept.");
  } else if (!job.messageText.empty() && !KeepBytes(dir, "FaxMsg." + stamp, job.messageText, &kept.message)) {
    kept.message.clear();
    prompter.Tell("The copy of the message text could not be kept in " + dir + ".");
  }
  fits("CPFileName", &kept.message, "message text");
  if (!dir.empty() && prepared.haveMain) {
    std::string display = job.mainDisplay.empty() ? FileNamePart(prepared.main.original) : job.mainDisplay;
    std::string name = job.resend ? "R" + display : display + "." + stamp;
    if (!KeepFile(dir, name, prepared.main.path, &kept.document)) {
      kept.document.clear();
      prompter.Tell("The copy of the document could not be kept in " + dir + ".");
    }
    fits("PSFileName", &kept.document, "document");
  }
  return kept;
}

// The send log's list fields keep only whole items: a cut item would name
// another file. A double quote inside a path is doubled. The user is told
// of the items left out.
void SendLogFileLists(const RequestFiles& files, const Prepared& prepared, Prompter& prompter, std::string* includeList,
                      std::string* localFiles) {
  std::vector<std::string> locals;
  for (const Attachment& a : prepared.locals) {
    std::string item = "\"";
    for (char c : SafeLine(a.original)) {
      if (c == '"') item += '"';
      item += c;
    }
    locals.push_back(item + "\"");
  }
  size_t includesLeft = 0, localsLeft = 0;
  *includeList = WholeItems(files.includes, "", SendLogFieldCapacity("Includes"), &includesLeft);
  *localFiles = WholeItems(locals, ",", SendLogFieldCapacity("LocalFiles"), &localsLeft);
  if (includesLeft || localsLeft)
    prompter.Tell("The send log lists only the files that fit in its fields: " +
                  (localsLeft ? std::to_string(localsLeft) + " of " + std::to_string(locals.size()) +
                                    " local files are left out of it"
                              : std::string()) +
                  (includesLeft && localsLeft ? ", and " : "") +
                  (includesLeft ? std::to_string(includesLeft) + " of " + std::to_string(files.includes.size()) +
                                      " remote files are left out of it"
                                : std::string()) +
                  ". A Re-Send of this entry will not attach them.");
}

// "All Clients", or the marked groups' names.
std::string SendLogGroups(GlobalQueues& q, const SendJob& job) {
  if (job.sendToAll) return "All Clients";
  std::string groups;
  for (int i = 1; i <= q.g_Qgroups.Records(); ++i) {
    const framework::Record& g = q.g_Qgroups.Entry(i);
    if (g.GetLong("Mark") == 0) continue;
    if (!groups.empty()) groups += ",";
    groups += Clip(g.Get("GroupID"));
  }
  return groups;
}

// A send-log record for each target; true when all were written.
bool WriteSendLog(Dictionary& dictionary, const framework::IniFile& ini, const SendJob& job,
                  const std::vector<int>& targets, const RequestFiles& files, const Prepared& prepared,
                  const KeptCopies& kept, const std::string& logDate, Prompter& prompter) {
  GlobalQueues& q = dictionary.Queues();
  const std::string logPath = Clip(ini.Fetch("Files", "SendLog"));
  const std::string groups = SendLogGroups(q, job);
  std::string includeList, localFiles;
  SendLogFileLists(files, prepared, prompter, &includeList, &localFiles);
  // The log is replaced whole with these records added, under its lock,
  // so a failure keeps the old log and no other writer's record is lost.
  auto add = [&](FileManager& log) {
    int rc = framework::NoError;
    for (int i : targets) {
      const framework::Record& entry = q.g_QsendTo.Entry(i);
      framework::Record& r = log.Buffer();
      r.Clear();
      r.Set("Date", logDate);
      r.Set("Attn", SafeLine(Clip(entry.Get("ToName"))));
      r.Set("Company", SafeLine(Clip(entry.Get("Company"))));
      r.Set("Destination", SafeLine(Clip(entry.Get("Destination"))));
      r.Set("Ref", SafeLine(Clip(job.reference)));
      r.Set("ChargeCode", SafeLine(Clip(job.chargeCode)));
      r.Set("CPFileName", kept.message);
      r.Set("PSFileName", kept.document);
      r.Set("Groups", SafeLine(groups));
      r.Set("Includes", includeList);
      r.Set("LocalFiles", localFiles);
      rc = log.TryInsert();
      if (rc != framework::NoError) break;
    }
    return rc;
  };
  std::string why;
  if (!AppendSendLog(logPath, add, &why)) {
    prompter.Tell(why);
    return false;
  }
  return true;
}
}  // namespace

SendResult SendFaxJob(Dictionary& dictionary, const framework::IniFile& ini, SendJob& job, Prompter& prompter,
                      const WriterOptions& options) {
  SendResult result;
  GlobalQueues& q = dictionary.Queues();
  // A window that gives no send date or time means now.
  if (job.sendDate == 0) job.sendDate = framework::Today();
  if (job.sendTime == 0) job.sendTime = framework::Clock();
  const std::string deliveryValue = ini.Fetch("Files", "DeliveryCommand");
  const DeliveryCommand command = SplitDeliveryCommand(deliveryValue);
  const UserIdentity identity = GetUserIdentity(deliveryValue);
  const std::string tempDir = TempDirectory();
  bool filledAttention = false;
  auto finish = [&](SendResult r) {
    if (filledAttention) job.attentionName.clear();
    return r;
  };

  // Attachments first: a cancel leaves nothing behind.
  Prepared prepared;
  if (PrepareMain(job, tempDir, prompter, options, &prepared, &result.message) == Step::Cancel ||
      PrepareLocals(dictionary, tempDir, prompter, &prepared, &result.message) == Step::Cancel) {
    prepared.Discard();
    result.cancelled = true;
    return finish(result);
  }

  RequestFile file;
  result.requestPath = SendRequestPath();
  file.Create(result.requestPath);
  WriteJobHeader(file, ini, job, identity);
  const RequestFiles files = WriteFileLines(file, q);
  WriteJobCommands(file, q, ini, job);
  const std::vector<int> targets = WriteTargets(file, dictionary, ini, job, &filledAttention);
  result.targets = static_cast<int>(targets.size());
  file.WriteJobLine("!PASSTHROUGH-END");
  file.WriteJobLine("");
  BuildCoverPageRtf(file, ini, job.coverPage, job.messageText, job.includeCoverMessage);
  WriteAttachments(file, prepared, &result.copies);
  if (!file.Close()) {
    result.message = file.Error() + ". The fax was not sent.";
    prompter.Tell(result.message);
    DeleteFileA(result.requestPath.c_str());
    prepared.Discard();
    result.copies.clear();
    return finish(result);
  }
  result.written = true;
  RegisterNewFiles(q, ini, job, files);

  const bool sendLog = Upper(Clip(Left(ini.Fetch("Default", "SENDLOG")))) != "NO" && !targets.empty();
  std::string stamp, logDate;
  Stamps(options.now, &stamp, &logDate);
  const bool startable = !command.Empty();
  KeptCopies kept;
  if (sendLog && startable && IsYes(ini.Fetch("Default", "KeepFiles")))
    kept = KeepCopies(ini, job, prepared, stamp, prompter);

  result.commandLine = SendCommandLine(command, result.requestPath);
  std::string why;
  if (!startable || !StartDeliveryCommand(result.commandLine, &why)) {
    if (!startable) why = "No delivery command is set up ([Files] DeliveryCommand); the fax was not sent.";
    result.message = why;
    prompter.Tell(why);
    // Nobody will take the copies: they go, the request stays for a look.
    prepared.Discard();
    result.copies.clear();
    kept.Discard();
    return finish(result);
  }
  result.started = true;
  // The resend flag names the copy of this send only; the next send keeps
  // a stamped copy again, so no two kept copies share a name.
  job.resend = false;
  if (sendLog) result.logged = WriteSendLog(dictionary, ini, job, targets, files, prepared, kept, logDate, prompter);
  return finish(result);
}

// ---------------------------------------------------------------------------
// Deletion, resubmit, upload, settings

SendResult WriteRemoteDeletion(Dictionary& dictionary, const framework::IniFile& ini, Prompter& prompter) {
  SendResult result;
  Queue& images = dictionary.Queues().g_QimageFiles;
  UserIdentity identity;
  const bool registry = GetRegistryIdentity(&identity);
  RequestFile file;
  result.requestPath = DeletionRequestPath();
  file.Create(result.requestPath);
  file.WriteJobLine("!MVN");
  file.WriteJobLine("!PASSTHROUGH");
  if (registry) {
    file.WriteJobLine("UserId:" + SafeLine(identity.userId));
    file.WriteJobLine("From:" + SafeLine(identity.userName));
  }
  std::vector<std::string> deleted;
  for (int i = 1; i <= images.Records(); ++i) {
    const framework::Record& image = images.Entry(i);
    if (image.GetLong("Mark") != 1) continue;
    deleted.push_back(Clip(image.Get("Name")));
    file.WriteJobLine("DELETE:" + SafeLine(deleted.back()));
  }
  file.WriteJobLine("!PASSTHROUGH-END");
  file.WriteJobLine("!MVN-END");
  if (!file.Close()) {
    result.message = file.Error() + ". Nothing was deleted.";
    prompter.Tell(result.message);
    DeleteFileA(result.requestPath.c_str());
    return result;
  }
  result.written = true;
  DeliveryCommand command = SplitDeliveryCommand(ini.Fetch("Files", "DeliveryCommand"));
  result.commandLine = DeletionCommandLine(command, result.requestPath);
  std::string why;
  if (command.Empty() || !StartDeliveryCommand(result.commandLine, &why)) {
    if (command.Empty()) why = "No delivery command is set up ([Files] DeliveryCommand); nothing was sent.";
    result.message = why;
    prompter.Tell(why);
    return result;
  }
  result.started = true;
  // The entries go only once the deletion request was handed to a command:
  // a request that never left keeps the files listed.
  framework::IniFile imageIni(ini.Fetch("Files", "ImageFiles"));
  for (int i = images.Records(); i >= 1; --i) {
    images.Get(i);
    if (images.Buffer().GetLong("Mark") != 1) continue;
    imageIni.DeleteKey("ImageFiles", Clip(images.Buffer().Get("Name")));
    images.Delete();
  }
  return result;
}

SendResult WriteResubmit(const framework::IniFile& ini, const ResubmitJob& job, Prompter& prompter) {
  SendResult result;
  RequestFile file;
  std::string path;
  HANDLE claim = CreateUnique(TempDirectory(), "Resubmit", ".tmp", &path);
  if (claim == INVALID_HANDLE_VALUE) {
    result.message = "The resubmit request could not be created in " + TempDirectory() + ": " +
                     SystemText(GetLastError());
    prompter.Tell(result.message);
    return result;
  }
  CloseHandle(claim);
  result.requestPath = path;
  // The name is ours now; the writer fills it.
  file.Create(path);
  file.WriteJobLine("!MVN - DASHPOST V5.0 (Tolvar)");
  file.WriteJobLine("!PASSTHROUGH");
  static const char* const kMarker[] = {"", "RESUBMITX:", "RESUBMITA:", "RESUBMITS:"};
  if (job.kind != ResubmitKind::None)
    file.WriteJobLine(std::string(kMarker[static_cast<int>(job.kind)]) + SafeLine(CutUtf8(job.jobNumber, kJobNumberBytes)));
  if (IsYes(ini.Fetch("Default", "INTERNALMEDIANOTIFICATIONS"))) {
    file.WriteJobLine("NotifyErrorV=IntNotifyErrorV");
    file.WriteJobLine("NotifyMultiV=IntNotifyMultiV");
    file.WriteJobLine("NotifyDelayV=IntNotifyDelayV");
  } else {
    file.WriteJobLine("NotifyErrorV=ResubmitError");
  }
  file.WriteJobLine("!PASSTHROUGH-END");
  file.WriteJobLine("!MVN-END");
  if (!file.Close()) {
    result.message = file.Error() + ". Nothing was resubmitted.";
    prompter.Tell(result.message);
    DeleteFileA(path.c_str());
    return result;
  }
  result.written = true;
  DeliveryCommand command = SplitDeliveryCommand(ini.Fetch("Files", "DeliveryCommand"));
  result.commandLine = SendCommandLine(command, path);
  std::string why;
  if (command.Empty() || !StartDeliveryCommand(result.commandLine, &why)) {
    if (command.Empty()) why = "No delivery command is set up ([Files] DeliveryCommand); nothing was resubmitted.";
    result.message = why;
    prompter.Tell(why);
    DeleteFileA(path.c_str());
    return result;
  }
  result.started = true;
  return result;
}

bool ValidUploadListName(std::string_view name) {
  if (Clip(Left(name)).empty()) return false;
  if (name.find("..") != std::string_view::npos) return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || c == '"' || u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

SendResult UploadList(Dictionary& dictionary, const framework::IniFile& ini, std::string_view listName,
                      Prompter& prompter) {
  SendResult result;
  if (!ValidUploadListName(listName)) {
    result.message = "The list name \"" + SafeLine(listName) +
                     "\" cannot name a file: it must not be empty or hold \"/\", \"\\\", \"..\" or quotes.";
    prompter.Tell(result.message);
    return result;
  }
  std::string name = Clip(Left(listName));
  result.requestPath = TempDirectory() + name + ".CSV";
  framework::FileManager upload(framework::Driver::Csv, UPLDLayout(), result.requestPath);
  int rc = upload.Create();
  if (rc == framework::NoError) rc = upload.TryOpen(framework::ReadWrite | framework::DenyWrite);
  if (rc == framework::NoError) {
    // The header record names the columns.
    upload.Buffer().Clear();
    upload.Buffer().Set("ClientID", "To");
    upload.Buffer().Set("Company", "Company");
    upload.Buffer().Set("PreferredDestination", "Destination");
    rc = upload.TryInsert();
  }
  Queue& sendTo = dictionary.Queues().g_QsendTo;
  for (int i = 1; i <= sendTo.Records() && rc == framework::NoError; ++i) {
    const framework::Record& e = sendTo.Entry(i);
    upload.Buffer().Clear();
    upload.Buffer().Set("ClientID", SafeLine(Clip(e.Get("ToName"))));
    upload.Buffer().Set("Company", SafeLine(Clip(e.Get("Company"))));
    upload.Buffer().Set("PreferredDestination", SafeLine(Clip(e.Get("Destination"))));
    rc = upload.TryInsert();
  }
  if (upload.IsOpen() && upload.Close() != framework::NoError && rc == framework::NoError) rc = framework::ErrorCode();
  if (rc != framework::NoError) {
    result.message = "The upload file " + result.requestPath + " could not be written: " + framework::ErrorText();
    prompter.Tell(result.message);
    DeleteFileA(result.requestPath.c_str());
    return result;
  }
  result.written = true;
  result.targets = sendTo.Records();
  DeliveryCommand command = SplitDeliveryCommand(ini.Fetch("Files", "DeliveryCommand"));
  // The list goes to the server under the upload file's own name.
  result.commandLine = UploadCommandLine(command, name + ".CSV", result.requestPath);
  std::string why;
  if (command.Empty() || !StartDeliveryCommand(result.commandLine, &why)) {
    if (command.Empty()) why = "MVNSEND command does not exist in the setup file. Please contact your administrator.";
    result.message = why;
    prompter.Tell(why);
    return result;
  }
  result.started = true;
  return result;
}

bool StartDeliverySettings(const framework::IniFile& ini, Prompter& prompter, const std::string& ownerWindow) {
  DeliveryCommand command = SplitDeliveryCommand(ini.Fetch("Files", "DeliveryCommand"));
  std::string why;
  // The command gets the variable in its environment as it starts; the
  // client itself keeps none.
  const char* const kOwner = "MVN_OWNER_WINDOW";
  if (!ownerWindow.empty()) setenv(kOwner, ownerWindow.c_str(), 1);
  bool started = !command.Empty() && StartDeliveryCommand(SettingsCommandLine(command), &why);
  if (!ownerWindow.empty()) unsetenv(kOwner);
  if (!started) {
    if (command.Empty()) why = "No delivery command is set up ([Files] DeliveryCommand).";
    prompter.Tell(why);
    return false;
  }
  return true;
}

}  // namespace mvn::client
