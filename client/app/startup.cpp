// Start-up: the INI file, the address books, the send-option defaults, the
// charge-account database and the command line's main attachment.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

#include "client/app/procedures.h"
#include "framework/core/record.h"
#include "framework/core/errors.h"
#include "framework/core/strings.h"
#include "platform/kernel/win32.h"

namespace mvn::client {

namespace fw = mvn::framework;

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

// The writers' temporary directory, with its "/".
std::string TempDir() {
  std::string request = SendRequestPath();
  return request.substr(0, request.rfind('/') + 1);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file of a directory whose name matches without case, else the name.
std::string NoCase(const std::string& path) {
  if (IsRegularFile(path)) return path;
  std::filesystem::path p(path);
  std::error_code ec;
  std::string want = fw::Upper(p.filename().string());
  for (const auto& e : std::filesystem::directory_iterator(p.parent_path().empty() ? "." : p.parent_path(), ec))
    if (fw::Upper(e.path().filename().string()) == want) return (p.parent_path() / e.path().filename()).string();
  return path;
}

}  // namespace

std::string ProgramName(std::string_view programPath) {
  std::string name(programPath);
  size_t slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return fw::CutUtf8(name, kProgramNameBytes);
}

std::vector<std::string> IniCandidates(std::string_view programPath) {
  std::string path(programPath);
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  std::string first = path;
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) first.erase(dot);
  first += ".INI";
  std::string prog = ProgramName(programPath);
  std::string home = Env("HOMEDRIVE") + Env("HOMEPATH");
  if (Env("HOMEPATH").empty()) home = Env("HOME");
  return {NoCase(first), prog + ".INI", home + "/" + prog + "/" + prog + ".ini"};
}

std::vector<std::string> IniPlacesLookedAt(std::string_view programPath) {
  std::vector<std::string> places = IniCandidates(programPath);
  // A bare name is the profile layer's: the file in the Windows directory.
  for (std::string& p : places) {
    if (p.find('/') != std::string::npos) continue;
    char windows[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryA(windows, sizeof windows);
    if (n == 0 || n >= sizeof windows) continue;
    std::string dir(windows, n);
    p = dir + (dir.back() == '/' ? "" : "/") + p;
  }
  return places;
}

std::string FindClientIni(std::string_view programPath) {
  // The file as it is, not a bare name: the language files lie in its folder.
  for (const std::string& candidate : IniPlacesLookedAt(programPath)) {
    fw::IniFile ini(candidate);
    if (!fw::Clip(ini.Fetch("Database", "Pathname")).empty()) return candidate;
  }
  return std::string();
}

std::string MainAttachmentFromArguments(const std::vector<std::string>& arguments) {
  std::string first;
  for (const std::string& a : arguments) {
    if (a.empty()) continue;
    if (a[0] == '/' && a.size() > 1) {
      std::string l = fw::Lower(a);
      if (l == "/l" || l == "/edittips" || l.rfind("/hw", 0) == 0) continue;
    }
    struct stat st {};
    if (::stat(a.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return a;
    if (first.empty()) first = a;
  }
  return first;
}

namespace {

// Sets the tables of a book and opens them; the reason in *why.
bool OpenBook(Dictionary& dictionary, const AddressBook& book, std::string* why) {
  if (!dictionary.SetAddressBookFiles(book.path, book.driver, why)) return false;
  if (dictionary.OpenAddressBook() != fw::NoError) {
    *why = fw::ErrorText();
    return false;
  }
  return true;
}

}  // namespace

int LoadAddressBooks(Dictionary& dictionary, fw::IniFile& ini, std::vector<AddressBook>* books,
                     std::string* problem) {
  std::vector<AddressBook> list;
  std::vector<std::string> skipped;
  long count = ini.FetchNumber("Database", "NumCustomBooks", 0);
  if (count > 999) count = 999;
  for (long n = 1; n <= count; ++n) {
    AddressBook b;
    b.name = fw::Clip(ini.Fetch("Database", "Custom Book " + std::to_string(n)));
    if (b.name.empty()) continue;
    if (!ValidBookName(b.name)) {
      // Its key would be another setting of the section (or break it).
      skipped.push_back(b.name);
      continue;
    }
    // A book without a path (or with one the book list cannot hold) is
    // still a configured book: it is listed, and opening it is refused.
    b.path = fw::Clip(ini.Fetch("Database", b.name));
    b.driver = fw::Upper(fw::Clip(ini.Fetch("Database", "Driver " + std::to_string(n))));
    if (b.driver.empty()) b.driver = "KEYED";
    list.push_back(b);
  }
  std::stable_sort(list.begin(), list.end(), [](const AddressBook& a, const AddressBook& b) { return a.path < b.path; });
  std::string pathname = fw::Clip(ini.Fetch("Database", "Pathname"));
  std::string driver = fw::Upper(fw::Clip(ini.Fetch("Database", "Driver")));
  if (driver.empty()) driver = "KEYED";
  int current = 0;
  bool goesOnWithPathname = false;
  if (count <= 0) {
    // The configured book becomes book 1; without one, a personal book in
    // the current directory.
    AddressBook b;
    b.name = "Personal Address Book";
    if (pathname.empty()) {
      char cwd[PATH_MAX];
      b.path = std::string(::getcwd(cwd, sizeof cwd) ? cwd : ".") + "/Personal";
    } else {
      b.path = pathname;
    }
    b.driver = driver;
    list = {b};
    ini.Update("Database", "Pathname", b.path);
    ini.Update("Database", "NumCustomBooks", "1");
    ini.Update("Database", "Custom Book 1", b.name);
    ini.Update("Database", b.name, b.path);
  } else {
    int at = -1;
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].path == pathname) at = static_cast<int>(i);
    if (at >= 0) {
      current = at;
    } else if (!skipped.empty() && !pathname.empty()) {
      // The current book may be one left out: the client goes on with
      // Pathname (listed under its file's name) so that closing does not
      // write another book's path over it.
      AddressBook b;
      b.name = FileNamePart(pathname);
      b.path = pathname;
      b.driver = driver;
      list.push_back(b);
      current = static_cast<int>(list.size()) - 1;
      goesOnWithPathname = true;
    }
  }

  std::string told;
  if (!skipped.empty()) {
    told = "These address books are left out, as their names cannot be used in " + ini.FileName() + ":";
    for (const std::string& name : skipped) told += " \"" + name + "\"";
    told += ".";
    if (goesOnWithPathname) told += " Dashpost goes on with " + pathname + ".";
  }
  std::string why;
  if (list.empty() || !OpenBook(dictionary, list[static_cast<size_t>(current)], &why)) {
    // The current book cannot be used: the client goes on with Pathname
    // (listed under its file's name when no configured book has that path).
    if (!told.empty()) told += "|";
    told += list.empty() ? std::string("No configured address book can be used.")
                         : "The address book \"" + list[static_cast<size_t>(current)].name +
                               "\" cannot be opened: " + why + ".";
    if (list.empty() || list[static_cast<size_t>(current)].path != pathname) {
      int at = -1;
      for (size_t i = 0; i < list.size(); ++i)
        if (list[i].path == pathname) at = static_cast<int>(i);
      if (at < 0) {
        AddressBook b;
        b.name = FileNamePart(pathname);
        b.path = pathname;
        b.driver = driver;
        list.push_back(b);
        at = static_cast<int>(list.size()) - 1;
      }
      current = at;
      told += " Dashpost goes on with " + pathname + ".";
      if (!OpenBook(dictionary, list[static_cast<size_t>(current)], &why))
        told += " It cannot be opened either: " + why + ".";
    }
  }
  // A book that may be read but not written is opened for looking; that
  // changes cannot be saved is told once, here, and each refused change
  // says it again.
  if (!list.empty() && !dictionary.ReadOnlyBook().empty()) {
    if (!told.empty()) told += "|";
    told += "The address book \"" + list[static_cast<size_t>(current)].name +
            "\" is opened for looking only: " + dictionary.ReadOnlyBook() + ".";
  }
  if (problem) *problem = told;

  fw::Queue& q = dictionary.Queues().g_QaddressBooks;
  q.Free();
  for (const AddressBook& b : list) {
    q.Buffer().Clear();
    q.Buffer().Set("Name", b.name);
    q.Buffer().Set("pathName", b.path);
    q.Buffer().Set("Driver", b.driver);
    q.Add();
  }
  if (books) *books = list;
  return current;
}

namespace {
template <typename E>
E Pick(const fw::IniFile& ini, const char* key, std::initializer_list<const char*> values) {
  std::string v = fw::Upper(fw::Clip(fw::Left(ini.Fetch("Default", key))));
  int i = 1;
  for (const char* value : values) {
    if (v == value) return static_cast<E>(i);
    ++i;
  }
  return static_cast<E>(0);
}
}  // namespace

SendOptions ReadSendOptions(const fw::IniFile& ini) {
  SendOptions o;
  o.priority = Pick<Priority>(ini, "DefaultPriority", {"HIGH", "NORMAL", "LOW"});
  o.notification = Pick<Notification>(ini, "DefaultNotifyLevel", {"NONE", "ERRORS", "ALL"});
  o.resolution = Pick<Resolution>(ini, "DefaultResolution", {"HIGH", "LOW"});
  o.pageSize = Pick<PageSize>(ini, "DefaultPageSize", {"FULL", "MINIMUM"});
  o.groupSend = Pick<GroupSend>(ini, "DefaultGroupSend",
                                {"FAX ONLY", "EMAIL ONLY", "FAX THEN EMAIL", "FAX AND EMAIL", "USE ENTRY DEFAULT"});
  o.coverPage = fw::CutUtf8(fw::Clip(ini.Fetch("Default", "DefaultLastUsedCoverPage")), kCoverPageNameBytes);
  if (fw::Upper(fw::Clip(ini.Fetch("Default", "SendOptionsRetryProfile"))) != "NO")
    o.retryProfile = fw::CutUtf8(fw::Clip(ini.Fetch("Default", "DefaultRetry")), kRetryProfileBytes);
  return o;
}

void WriteSendOptions(fw::IniFile& ini, const SendOptions& o) {
  static const char* const kNotify[] = {"", "NONE", "ERRORS", "ALL"};
  static const char* const kPriority[] = {"", "HIGH", "NORMAL", "LOW"};
  static const char* const kResolution[] = {"", "High", "LOW"};
  static const char* const kPage[] = {"", "Full  ", "Minimum"};
  static const char* const kGroup[] = {"", "FAX ONLY", "EMAIL ONLY", "FAX THEN EMAIL", "FAX AND EMAIL",
                                       "USE ENTRY DEFAULT"};
  ini.Update("Default", "DefaultNotifyLevel", kNotify[static_cast<int>(o.notification)]);
  ini.Update("Default", "DefaultPriority", kPriority[static_cast<int>(o.priority)]);
  ini.Update("Default", "DefaultResolution", kResolution[static_cast<int>(o.resolution)]);
  ini.Update("Default", "DefaultPageSize", kPage[static_cast<int>(o.pageSize)]);
  ini.Update("Default", "DefaultRetry", o.retryProfile);
  ini.Update("Default", "DefaultGroupSend", kGroup[static_cast<int>(o.groupSend)]);
  ini.Update("Default", "DefaultLastUsedCoverPage", o.coverPage);
}

std::string DatePicture(std::string_view dateFormat) {
  static const char* const kPatterns[] = {"mm/dd/yy", "mm/dd/yyyy", "mmm dd, yyyy", "mmmmmmmmm dd, yyyy",
                                          "dd/mm/yy", "dd/mm/yyyy", "dd mmm yy",    "dd mmm yyyy",
                                          "yy/mm/dd", "yyyy/mm/dd", "yymmdd",       "yyyymmdd",
                                          "mm/yy",    "mm/yyyy",    "yy/mm",        "yyyy/mm"};
  for (const char* p : kPatterns)
    if (dateFormat == p) return p;
  return "dd/mm/yyyy";
}

namespace {

// The temporary charge database: its three tables are made when missing. A
// file there that is no charge database of ours (left by a crash, or of an
// older version) is made anew: nothing else keeps anything in it.
bool CreateTemporaryChargeDatabase(Dictionary& dictionary, const std::string& file, std::string* why) {
  if (!dictionary.SetChargeAccountFiles(file, why)) return false;
  const char* const kTables[] = {"Charge_account", "Charge_user", "Charge_userAccount"};
  for (int attempt = 0; attempt < 2; ++attempt) {
    int failed = fw::NoError;
    for (const char* t : kTables) {
      FileManager& f = dictionary.File(t);
      int rc = f.TryOpen();
      if (rc == fw::AlreadyOpenError) continue;
      if (rc != fw::NoError) {
        failed = rc;
        if (why) *why = fw::ErrorText();
        break;
      }
      f.Close();
    }
    if (failed == fw::NoError) return true;
    if (attempt == 0 && failed != fw::AccessDeniedError) {
      for (const char* t : kTables) dictionary.File(t).Close();
      dictionary.File(kTables[0]).Remove();
    }
  }
  return false;
}

}  // namespace

std::string TemporaryChargeDatabase() { return TempDir() + "dposttmp.KDF"; }

int32_t SendDateOf(std::string_view text, std::string_view picture, int32_t today, bool* ok) {
  int ty = 0, tm = 0, td = 0;
  fw::SplitDate(today, &ty, &tm, &td);
  bool good = false;
  int32_t date = fw::DeformatDate(text, picture, ty, &good);
  if (good && picture.find('d') == std::string_view::npos) {
    // The picture shows a month: the send date is today's day of that
    // month (its last day when the month is shorter).
    int y = 0, m = 0, d = 0;
    fw::SplitDate(date, &y, &m, &d);
    int day = td;
    while (day > 28 && fw::Date(m, day, y) == 0) --day;
    date = fw::Date(m, day, y);
    good = date != 0;
  }
  if (ok) *ok = good;
  return good ? date : 0;
}

bool SetupChargeAccount(Dictionary& dictionary, const fw::IniFile& ini, bool* temporary, std::string* message) {
  std::string v = fw::Clip(fw::Left(ini.Fetch("Default", "MandatoryCharge")));
  std::string u = fw::Upper(v);
  if (v.empty() || u == "YES" || u == "NO") {
    if (temporary) *temporary = true;
    // Nothing is read from the temporary tables (the charge code is typed),
    // so a database that cannot be made is no reason to stop.
    std::string why;
    if (!CreateTemporaryChargeDatabase(dictionary, TemporaryChargeDatabase(), &why))
      std::fprintf(stderr, "dashpost: the temporary charge database %s could not be created: %s\n",
                   TemporaryChargeDatabase().c_str(), why.c_str());
    return true;
  }
  if (temporary) *temporary = false;
  if (u.size() >= 4 && u.compare(u.size() - 4, 4, ".KDF") == 0) v.erase(v.size() - 4);
  // The file checked is the file opened: "<path>.KDF" found without case,
  // handed to the tables with its extension (so a path with a dot of its
  // own gets no second one).
  std::string file = v + ".KDF";
  char found[PATH_MAX] = {};
  if (!FindPathIgnoringCase(file.c_str(), found, sizeof found) || !IsRegularFile(found)) {
    if (message)
      *message = "Required charge account file (" + v + ".KDF" +
                 ") does not exist. Please contact your administrator for help";
    return false;
  }
  return dictionary.SetChargeAccountFiles(found, message);
}

}  // namespace mvn::client
