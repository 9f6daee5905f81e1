// CSV export and import of an address book (see exchange.h).
#include "client/addressbook/exchange.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <memory>
#include <unordered_map>

#include "client/addressbook/groups.h"
#include "framework/core/replace.h"
#include "framework/core/services.h"
#include "framework/core/strings.h"

namespace mvn::client {

using framework::ClearError;
using framework::Clip;
using framework::CompareNoCase;
using framework::CutUtf8;
using framework::ErrorCode;
using framework::ErrorText;
using framework::Record;
using framework::Upper;

namespace {

// Address records are added in transactions of this many lines.
constexpr int kBatch = 10000;
// Group names known to exist are remembered up to this many, so a group
// repeated on many lines is looked up once (the memory stays bounded).
constexpr size_t kKnownGroups = 4096;

// The header name of an MVClients field ("" for the prefix-less name as is).
std::string HeaderName(const std::string& field) {
  std::string upper = Upper(field);
  if (upper == "SAL") return "TITLE";
  if (upper == "CLIENTID") return "ATTENTION";
  if (upper == "POSTALADDRESS") return "POSTALADD1,POSTALADD2,POSTALADD3,POSTALADD4";
  if (upper == "PHYSICALADDRESS") return "PHYSICALADD1,PHYSICALADD2,PHYSICALADD3,PHYSICALADD4";
  return upper;
}

// Two names of the same existing file, as the drivers resolve names
// (separators, letter case; links followed).
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (a.empty() || b.empty()) return false;
  const std::string pa = framework::ResolveFilePath(a), pb = framework::ResolveFilePath(b);
  if (stat(pa.c_str(), &sa) != 0 || stat(pb.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string Failure(const std::string& what) {
  std::string text = what;
  text += ": ";
  text += ErrorText();
  text += " (error " + std::to_string(ErrorCode()) + ")";
  return text;
}

// Opens a clone of a dictionary file, so the windows' own cursors stay put.
std::unique_ptr<framework::FileManager> OpenClone(Dictionary& dict, const char* label, unsigned mode, int* rc) {
  auto clone = dict.File(label).Clone();
  *rc = clone->TryOpen(mode);
  if (*rc == framework::AlreadyOpenError) *rc = 0;
  return clone;
}

// A field's stored text without trailing blanks, without copying.
std::string_view ClippedView(const Record& r, int index) {
  std::string_view v = r.Raw(index);
  while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
  return v;
}

bool IsNumber(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

// Gives the temporary that will replace target the permission bits of the
// existing target, and its owner where this process may (root, or a group
// of the owner's own), before anything is written into it, so replacing an
// export neither opens it up nor shuts out whom it was shared with. A new
// export keeps the default mode. False with *why when the mode cannot be set.
bool KeepModeOf(const std::string& target, const std::string& temp, std::string* why) {
  struct stat old;
  if (stat(target.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return true;
  int fd = ::open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = std::string("the temporary file cannot be opened: ") + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  if (fchown(fd, old.st_uid, old.st_gid) != 0) {
    // Not permitted: the owner stays this user; the mode follows all the same.
  }
  bool ok = fchmod(fd, old.st_mode & 0777) == 0;
  if (!ok) *why = std::strerror(errno);
  ::close(fd);
  return ok;
}

}  // namespace

std::string ExportHeaderLine() {
  std::string line;
  for (const std::string& field : MVClientsLayout()->FieldNames()) line += "," + HeaderName(field);
  line = Clip(line.substr(1));
  line += ",GROUP1,GROUP2,GROUP3,GROUP4,GROUP5,GROUP6,GROUP7,GROUP8,GROUP9,GROUP10,";
  line += "GROUP11,GROUP12,GROUP13,GROUP14,GROUP15,GROUP16,GROUP17,GROUP18,GROUP19,GROUP20";
  return line;
}

std::array<std::string, 4> CutAddress(std::string_view address) {
  // Each line is cut to what an address line of the export record holds.
  static const size_t kLineBytes = FieldBytes(*MVCBLayout(), "PostalAdd1");
  std::array<std::string, 4> lines;
  size_t at = 0;
  for (int n = 0; n < 4 && at <= address.size(); ++n) {
    size_t end = address.find_first_of("\r\n", at);
    std::string_view line = address.substr(at, end == std::string_view::npos ? address.npos : end - at);
    lines[static_cast<size_t>(n)] = CutUtf8(framework::Left(line), kLineBytes);
    if (end == std::string_view::npos) break;
    at = end + 1;
    if (address[end] == '\r' && at < address.size() && address[at] == '\n') ++at;
  }
  return lines;
}

ExchangeResult ExportKDFToTxt(Dictionary& dict) {
  ExchangeResult result;
  auto fail = [&](std::string text) {
    result.status = ExchangeResult::Failed;
    result.error = text;
    result.text = "Export failed: " + text;
    return result;
  };
  framework::FileManager& mvcb = dict.File("MVCB");
  mvcb.Close();
  const std::string target = mvcb.Name();
  if (Clip(target).empty()) return fail("no export file was named");

  // The target may not be one of the client's own data files (the book
  // itself, the charge accounts, the send log ...): replacing it would
  // destroy the data being exported.
  std::string bookFile, table;
  framework::SplitTableName(dict.File("MVClients").Name(), &bookFile, &table);
  for (const TableEntry& t : dict.Tables()) {
    if (t.file == &mvcb || t.label == "TMPASC2") continue;
    std::string path = t.file->IsOpen() ? t.file->FilePath() : t.file->Name();
    if (!t.file->IsOpen() && t.file->GetDriver() == framework::Driver::Keyed) {
      std::string table2;
      framework::SplitTableName(t.file->Name(), &path, &table2);
    }
    if (SameFile(path, target) || SameFile(bookFile, target))
      return fail("the file " + target + " is one of the address book's data files");
  }

  // The rows go into a temporary file beside the target, which replaces
  // the target only when it is complete: a failure (a full disk) leaves the
  // old file as it was and removes the temporary.
  const std::string resolved = framework::ResolveFilePath(target);
  const size_t slash = resolved.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : resolved.substr(0, slash ? slash : 1);
  struct stat fs;
  if (stat(folder.c_str(), &fs) != 0 || !S_ISDIR(fs.st_mode)) return fail("the folder of " + target + " does not exist");
  const std::string name = resolved.substr(slash == std::string::npos ? 0 : slash + 1);
  framework::RemoveStaleTemporaries(folder, name);
  const std::string temp = folder + "/." + name + "." + std::to_string(getpid()) + ".tmp";
  mvcb.SetName(temp);
  auto failed = [&](std::string text) {
    dict.File("TMPASC2").Close();
    mvcb.Close();
    ::unlink(temp.c_str());
    mvcb.SetName(target);
    return fail(text);
  };
  framework::FileManager& header = dict.File("TMPASC2");
  header.Close();
  header.SetName(temp);
  if (header.Create()) return failed(Failure("Create " + target));
  std::string why;
  if (!KeepModeOf(resolved, temp, &why)) return failed("Create " + target + ": " + why);
  if (header.TryOpen(framework::ReadWrite | framework::DenyWrite)) return failed(Failure("Create " + target));
  header.Buffer().Clear();
  header.Buffer().SetText(0, ExportHeaderLine());
  int rc = header.TryInsert();
  int closed = header.Close();
  if (rc || closed) return failed(Failure("Write " + target));

  auto clients = OpenClone(dict, "MVClients", framework::Shared, &rc);
  if (rc) return failed(Failure("Open MVClients"));
  auto members = OpenClone(dict, "MVGroupClient", framework::Shared, &rc);
  if (rc) return failed(Failure("Open MVGroupClient"));
  if (mvcb.TryOpen(framework::ReadWrite | framework::DenyWrite)) return failed(Failure("Open " + target));
  mvcb.BufferAdds(true);

  framework::ProgressRequest pr;
  pr.title = "Processing Records";
  pr.text = "";
  pr.total = clients->Records();
  auto progress = framework::Services().OpenProgress(pr);

  Record& c = clients->Buffer();
  Record& out = mvcb.Buffer();
  Record& m = members->Buffer();
  const int group1 = out.GetLayout().FindField("Group1");
  // The fields copied by name, resolved once.
  std::vector<std::pair<int, int>> copied;
  for (int i = 0; i < c.GetLayout().FieldCount(); ++i) {
    int j = out.GetLayout().FindField(c.GetLayout().Field(i).name);
    if (j >= 0) copied.emplace_back(i, j);
  }
  int postalLines[4], physicalLines[4];
  for (int i = 0; i < 4; ++i) {
    postalLines[i] = out.GetLayout().FindField("PostalAdd" + std::to_string(i + 1));
    physicalLines[i] = out.GetLayout().FindField("PhysicalAdd" + std::to_string(i + 1));
  }
  const int idField = c.GetLayout().FindField("PK_MVClientID");
  const int postalField = c.GetLayout().FindField("PostalAddress");
  const int physicalField = c.GetLayout().FindField("PhysicalAddress");
  const int memberKey = m.GetLayout().FindField("FK_MVClientID");
  const int memberGroup = m.GetLayout().FindField("GroupID");
  // The memberships are read by one cursor in MVGC:KeyFK_MVClientID order
  // that moves along with the records: stored order is ascending
  // PK_MVClientID, so each record's memberships follow those of the record
  // before it. The first membership of a later record is kept in the buffer
  // until that record comes. The cursor seeks only at the start and when a
  // record's key is not past the one before, or when memberships of keys
  // without a record lie in between.
  bool seeking = true, pending = false;
  int64_t lastId = 0;
  // The records are read by the driver's fast sequential scan, one running
  // statement instead of a seek per record. Reads run in transactions of a
  // batch of records: one lock of the book per batch instead of one per
  // read, and other programs get their turn between batches.
  clients->SequentialScan(true);
  clients->BeginTransaction();
  clients->Set();
  int64_t done = 0;
  while ((rc = clients->Next()) == 0) {
    out.Clear();
    for (auto [i, j] : copied) out.SetText(j, c.Raw(i));
    const int64_t id = c.GetNumber(idField);
    if (seeking || id <= lastId || (pending && m.GetNumber(memberKey) < id)) {
      m.Clear();
      m.SetNumber(memberKey, id);
      seeking = members->SetFrom("MVGC:KeyFK_MVClientID") != 0;
      pending = false;
    }
    lastId = id;
    int taken = 0;
    while (!seeking) {
      if (!pending && members->Next() != 0) break;
      pending = true;
      const int64_t member = m.GetNumber(memberKey);
      if (member > id) break;
      pending = false;
      if (member == id && taken < 20) out.SetText(group1 + taken++, ClippedView(m, memberGroup));
    }
    auto postal = CutAddress(ClippedView(c, postalField));
    auto physical = CutAddress(ClippedView(c, physicalField));
    for (size_t i = 0; i < 4; ++i) {
      out.SetText(postalLines[i], postal[i]);
      out.SetText(physicalLines[i], physical[i]);
    }
    if (mvcb.TryInsert()) {
      std::string text = Failure("Write " + target);
      clients->Commit();
      return failed(text);
    }
    ++done;
    result.records = done;
    if (done % 1000 == 0) {
      clients->Commit();
      clients->BeginTransaction();
    }
    if (!progress->Update(done)) {
      result.status = ExchangeResult::Cancelled;
      break;
    }
  }
  clients->Commit();
  if (result.status != ExchangeResult::Cancelled && rc != framework::RecordNotAvailableError) {
    return failed(Failure("Read MVClients"));
  }
  if (mvcb.Close()) return failed(Failure("Write " + target));
  if (::rename(temp.c_str(), resolved.c_str()) != 0) {
    std::string text = "Replace " + target + ": " + std::strerror(errno);
    return failed(text);
  }
  mvcb.SetName(target);
  if (result.status == ExchangeResult::Cancelled)
    result.text = "Export cancelled: " + std::to_string(done) + " records were written.";
  else
    result.text = "Export finished.";
  ClearError();
  return result;
}

const std::vector<std::string>& ImportFieldList() {
  static const std::vector<std::string> list = [] {
    std::vector<std::string> out;
    for (const std::string& field : MVClientsLayout()->FieldNames()) {
      std::string upper = Upper(field);
      if (upper == "PK_MVCLIENTID" || upper == "MARK" || upper == "CUSTOM1" || upper == "CUSTOM2") continue;
      std::string name = HeaderName(field);
      size_t at = 0;
      for (;;) {
        size_t comma = name.find(',', at);
        out.push_back(name.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) break;
        at = comma + 1;
      }
    }
    return out;
  }();
  return list;
}

std::string ImportTargetField(std::string_view listName) {
  std::string upper = Upper(Clip(listName));
  if (upper == "TITLE") return "Sal";
  if (upper == "ATTENTION") return "ClientID";
  if (upper.rfind("POSTALADD", 0) == 0) return "PostalAddress";
  if (upper.rfind("PHYSICALADD", 0) == 0) return "PhysicalAddress";
  for (const std::string& item : ImportFieldList())
    if (item == upper) {
      int index = MVClientsLayout()->FindField(upper);
      return index < 0 ? std::string() : MVClientsLayout()->Field(index).name;
    }
  return std::string();
}

ImportColumns::ImportColumns() : m_rows(static_cast<size_t>(MVCB2Layout()->FieldCount())) {}

int ImportColumns::ReadTitles(Dictionary& dict, const std::string& fileName) {
  for (Row& row : m_rows) row.title.clear();
  framework::FileManager& file = dict.File("MVCB2");
  file.Close();
  file.SetName(fileName);
  int rc = file.TryOpen(framework::ReadOnly | framework::DenyNone);
  if (rc) return rc;
  if (file.Set() == 0 && file.Next() == 0)
    for (size_t i = 0; i < m_rows.size(); ++i)
      m_rows[i].title = CutUtf8(Clip(file.Buffer().GetText(static_cast<int>(i))), kMaxListText);
  file.Close();
  ClearError();
  return 0;
}

int ImportColumns::CountPairs() const {
  int n = 0;
  for (const Row& row : m_rows)
    if (!row.mapping.empty() && row.mapping != "Group") ++n;
  return n;
}

int ImportColumns::CountGroups() const {
  int n = 0;
  for (const Row& row : m_rows)
    if (row.mapping == "Group") ++n;
  return n;
}

bool ImportColumns::Map(int column, std::string_view listName, std::string* message) {
  if (column < 0 || column >= static_cast<int>(m_rows.size())) return false;
  Row& row = m_rows[static_cast<size_t>(column)];
  bool counted = !row.mapping.empty() && row.mapping != "Group";
  if (!counted && CountPairs() >= kMaxImportPairs) {
    if (message) *message = "At most 39 columns can be mapped to address fields.";
    return false;
  }
  row.mapping = CutUtf8(listName, kMaxListText);
  return true;
}

bool ImportColumns::MapGroup(int column, std::string* message) {
  if (column < 0 || column >= static_cast<int>(m_rows.size())) return false;
  Row& row = m_rows[static_cast<size_t>(column)];
  if (row.mapping != "Group" && CountGroups() >= kMaxImportGroupColumns) {
    if (message) *message = "At most 20 columns can be mapped to Group.";
    return false;
  }
  row.mapping = "Group";
  return true;
}

void ImportColumns::Unmap(int column) {
  if (column >= 0 && column < static_cast<int>(m_rows.size())) m_rows[static_cast<size_t>(column)].mapping.clear();
}

ImportMap ImportColumns::Compile(bool addToGroup, std::string_view selectedGroup) const {
  ImportMap map;
  if (addToGroup) map.group = Clip(selectedGroup);
  for (size_t i = 0; i < m_rows.size(); ++i) {
    const std::string& mapping = m_rows[i].mapping;
    if (mapping.empty()) continue;
    if (mapping.find("Group") != std::string::npos) {
      if (map.groupColumns.size() < kMaxImportGroupColumns) map.groupColumns.push_back(static_cast<int>(i));
    } else if (map.pairs.size() < kMaxImportPairs) {
      map.pairs.emplace_back(static_cast<int>(i), mapping);
    }
  }
  return map;
}

namespace {

// A mapped column resolved once: its MVCB2 field, the address field it
// writes and how; an address line's number (1 to 4) joins the lines.
struct ImportTarget {
  enum Kind { Plain, Number, Postal, Physical };
  int source;
  int field;
  Kind kind;
  int line;
};

std::vector<ImportTarget> ResolveImportTargets(const ImportMap& map, const framework::Layout& cl) {
  std::vector<ImportTarget> targets;
  for (const auto& [column, name] : map.pairs) {
    std::string upper = Upper(name);
    std::string field = ImportTargetField(upper);
    if (field.empty()) continue;
    ImportTarget t{column, cl.FindField(field), ImportTarget::Plain, 0};
    if (upper.rfind("POSTALADD", 0) == 0 || upper.rfind("PHYSICALADD", 0) == 0) {
      t.kind = upper[1] == 'O' ? ImportTarget::Postal : ImportTarget::Physical;
      t.line = upper.back() - '0';
      if (t.line < 1 || t.line > 4) continue;
    } else if (upper == "SENDASRTF") {
      t.kind = ImportTarget::Number;
    }
    targets.push_back(t);
  }
  return targets;
}

// One import run: its tables (clones, so the windows' cursors stay put),
// the resolved fields and the counts so far.
struct ImportRun {
  ImportRun(ImportSession& s, ExchangeResult& r, framework::FileManager& file) : session(s), result(r), source(file) {}

  ImportSession& session;
  ExchangeResult& result;
  framework::FileManager& source;
  std::unique_ptr<framework::FileManager> clients, members, groups;
  std::vector<ImportTarget> targets;
  int postalField = -1, physicalField = -1, keyField = -1, contactField = -1, companyField = -1, faxField = -1,
      emailField = -1, destinationField = -1, memberGroupField = -1, memberKeyField = -1;
  std::string importGroup;  // "Add to group"
  // Upper-cased name -> the stored GroupID (keys ignore case).
  std::unordered_map<std::string, std::string> knownGroups;

  // The tables and the source file; the failure's text, or "".
  std::string Open(Dictionary& dict) {
    int rc = 0;
    clients = OpenClone(dict, "MVClients", framework::Shared, &rc);
    if (rc) return Failure("Open MVClients");
    members = OpenClone(dict, "MVGroupClient", framework::Shared, &rc);
    if (rc) return Failure("Open MVGroupClient");
    groups = OpenClone(dict, "MVdefaults", framework::Shared, &rc);
    if (rc) return Failure("Open MVdefaults");
    source.Close();
    source.SetName(session.fileName);
    if (source.TryOpen(framework::ReadOnly | framework::DenyNone)) return Failure("Open " + session.fileName);
    return std::string();
  }

  void ResolveFields() {
    const framework::Layout& cl = *clients->GetLayout();
    targets = ResolveImportTargets(session.map, cl);
    postalField = cl.FindField("PostalAddress");
    physicalField = cl.FindField("PhysicalAddress");
    keyField = cl.FindField("PK_MVClientID");
    contactField = cl.FindField("ClientID");
    companyField = cl.FindField("Company");
    faxField = cl.FindField("FaxNum");
    emailField = cl.FindField("Email");
    destinationField = cl.FindField("PreferredDestination");
    memberGroupField = members->GetLayout()->FindField("GroupID");
    memberKeyField = members->GetLayout()->FindField("FK_MVClientID");
    importGroup = CutUtf8(Clip(session.map.group), kMaxGroupName);
  }

  // The address record of the line just read; a record without a
  // destination takes the fax number, else the e-mail address.
  void FillClient() {
    Record& in = source.Buffer();
    Record& c = clients->Buffer();
    c.Clear();
    std::string postal, physical;
    for (const ImportTarget& t : targets) {
      std::string_view text = ClippedView(in, t.source);
      if (t.kind == ImportTarget::Plain) {
        c.SetText(t.field, text);
      } else if (t.kind == ImportTarget::Number) {
        c.SetNumber(t.field, IsNumber(text) ? std::stoll(std::string(text.substr(0, 18))) : 0);
      } else {
        std::string& buffer = t.kind == ImportTarget::Postal ? postal : physical;
        if (t.line == 1) {
          buffer = text;
        } else {
          buffer += "\r\n";
          buffer += text;
        }
        buffer = CutUtf8(buffer, 149);
        c.SetText(t.kind == ImportTarget::Postal ? postalField : physicalField, buffer);
      }
    }
    if (ClippedView(c, destinationField).empty()) {
      if (!ClippedView(c, faxField).empty())
        c.SetText(destinationField, ClippedView(c, faxField));
      else if (!ClippedView(c, emailField).empty())
        c.SetText(destinationField, ClippedView(c, emailField));
    }
  }

  // Adds the filled record, or finds the record it duplicates; false when
  // there is no record to join to groups.
  bool StoreClient() {
    Record& c = clients->Buffer();
    c.SetNumber(keyField, 0);
    int e = clients->TryInsert();
    if (e == 0) {
      ++result.records;
      return true;
    }
    if (e == framework::DuplicateKeyError && clients->TryFetch("MVC:KeyUniq") == 0) {
      ++result.duplicates;
      return true;
    }
    ++result.failed;
    if (result.error.empty()) result.error = Failure("Add record");
    return false;
  }

  void AddMembership(const std::string& group, int64_t id) {
    Record& m = members->Buffer();
    m.SetText(memberGroupField, group);
    m.SetNumber(memberKeyField, id);
    int e = members->TryInsert();
    if (e && e != framework::DuplicateKeyError) {
      ++result.failed;
      if (result.error.empty()) result.error = Failure("Add membership");
    }
  }

  // The record joins the group a Group column names: the stored group of
  // that name in any letter case, else a new group of the name as typed.
  void JoinGroupNamed(std::string_view raw, int64_t id) {
    std::string text = CutUtf8(Clip(raw), kMaxListText);
    if (text.empty()) return;
    std::string folded = Upper(text);
    if (auto known = knownGroups.find(folded); known != knownGroups.end()) {
      AddMembership(known->second, id);
      return;
    }
    if (knownGroups.size() >= kKnownGroups) knownGroups.clear();
    Record& g = groups->Buffer();
    g.Clear();
    g.Set("GroupID", text);
    if (groups->TryFetch("MVd:KeyGroupID") == 0) {
      knownGroups[folded] = g.Clipped("GroupID");
      AddMembership(g.Clipped("GroupID"), id);
      return;
    }
    AddMembership(text, id);
    g.Clear();
    g.Set("GroupID", text);
    int ge = groups->TryInsert();
    if (ge == 0 || ge == framework::DuplicateKeyError) knownGroups[folded] = text;
    if (ge == 0)
      ++result.groupsCreated;
    else if (ge != framework::DuplicateKeyError)
      ++result.failed;
  }

  // One data line: its record, then its groups ("Add to group" and the
  // Group columns). A line without contact, company and destination is
  // skipped.
  void ImportLine() {
    FillClient();
    Record& c = clients->Buffer();
    if (ClippedView(c, contactField).empty() && ClippedView(c, companyField).empty() &&
        ClippedView(c, destinationField).empty()) {
      ++result.skipped;
      return;
    }
    if (!StoreClient()) return;
    const int64_t id = c.GetNumber(keyField);
    if (!importGroup.empty()) AddMembership(importGroup, id);
    for (int column : session.map.groupColumns) {
      std::string_view raw = ClippedView(source.Buffer(), column);
      if (!raw.empty()) JoinGroupNamed(raw, id);
    }
  }
};

// The message of a finished run, and its status where lines failed.
void FinishImportText(ExchangeResult& result, const std::string& readError) {
  std::string counts = std::to_string(result.records) + " records added, " + std::to_string(result.duplicates) +
                       " already in the address book";
  if (!readError.empty()) {
    // A record that cannot be read (a quote never closed, an overlong
    // line) ends the run: what came before it stays imported, nothing
    // after it is.
    result.status = ExchangeResult::Failed;
    result.error = readError;
    result.text = "Import stopped: " + readError + "|" + counts + " before it; nothing after it was imported.";
  } else if (result.status == ExchangeResult::Cancelled) {
    result.text = "Import cancelled: " + counts + ".";
  } else if (result.failed > 0) {
    result.status = ExchangeResult::Failed;
    result.text = "Import finished with errors: " + counts + ", " + std::to_string(result.failed) +
                  " could not be added|" + result.error;
  } else {
    result.text = "Import finished: " + counts + ", " + std::to_string(result.skipped) + " lines skipped.";
  }
}

}  // namespace

ExchangeResult ImportTxtToKDF2(Dictionary& dict, ImportSession& session, const std::function<void()>& reloadGroups) {
  ExchangeResult result;
  auto fail = [&](std::string text) {
    result.status = ExchangeResult::Failed;
    result.error = text;
    result.text = "Import failed: " + text;
    return result;
  };
  ImportRun run(session, result, dict.File("MVCB2"));
  if (std::string failure = run.Open(dict); !failure.empty()) return fail(failure);
  framework::FileManager& source = run.source;

  // Progress by bytes read: the file is not counted beforehand.
  struct stat st;
  framework::ProgressRequest pr;
  pr.title = "Processing Records";
  pr.total = stat(source.FilePath().c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
  auto progress = framework::Services().OpenProgress(pr);
  run.ResolveFields();

  // What the last commit made lasting: a failed commit loses its batch.
  int64_t kept = 0, keptLine = session.lineCounter;
  const int64_t firstLine = session.lineCounter;
  auto failedCommit = [&] {
    // The reason is read before anything else runs over it.
    std::string text = Failure("Commit " + run.clients->FilePath());
    // The lines read since that commit; the header line is no data line.
    int64_t lost = session.lineCounter - keptLine;
    if (keptLine == 0 && firstLine == 0 && !session.include1stLine && lost > 0) --lost;
    source.Close();
    fail(text);
    result.records = kept;
    result.text += "|" + std::to_string(kept) + " records were imported; the " + std::to_string(lost) +
                   " lines read after them were not.";
    return result;
  };
  int rc = 0;
  int inBatch = 0;
  run.clients->BeginTransaction();
  source.Set();
  while ((rc = source.Next()) == 0) {
    ++session.lineCounter;
    if (session.lineCounter == 1 && !session.include1stLine) continue;
    run.ImportLine();
    if (++inBatch >= kBatch) {
      if (run.clients->Commit()) return failedCommit();
      kept = result.records;
      keptLine = session.lineCounter;
      run.clients->BeginTransaction();
      inBatch = 0;
    }
    if (!progress->Update(source.GetPosition().row)) {
      result.status = ExchangeResult::Cancelled;
      break;
    }
  }
  std::string readError;
  if (result.status != ExchangeResult::Cancelled && rc != framework::RecordNotAvailableError)
    readError = Failure("Read " + session.fileName);
  if (run.clients->Commit()) return failedCommit();
  source.Close();
  if (reloadGroups) reloadGroups();
  FinishImportText(result, readError);
  ClearError();
  return result;
}

}  // namespace mvn::client
