#include "client/setup/setup.h"

#include <algorithm>

#include "framework/core/errors.h"
#include "framework/core/record.h"
#include "framework/core/strings.h"

namespace mvn::client {

using framework::Clip;
using framework::CutUtf8;
using framework::Left;
using framework::Upper;

namespace {

std::string OneLine(std::string_view v) {
  std::string s(v);
  for (char& c : s)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return s;
}

using framework::Trim;

}  // namespace

// ---------------------------------------------------------------------------
// CmdSetup

CmdSetupModel LoadCmdSetup(const framework::IniFile& ini) {
  CmdSetupModel m;
  std::vector<std::string> list = ini.FetchList("CommandList", "command", "Command_");
  m.used = static_cast<int>(std::min<size_t>(list.size(), kCmdRows));
  for (int i = 0; i < m.used; ++i) {
    const std::string& entry = list[static_cast<size_t>(i)];
    size_t eq = entry.find('=');
    if (eq == std::string::npos) continue;
    CmdRow& row = m.rows[static_cast<size_t>(i)];
    row.label = CutUtf8(Clip(entry.substr(0, eq)), kCmdLabelBytes);
    row.command = CutUtf8(Trim(entry.substr(eq + 1)), kCmdNameBytes);
    std::string stored = ini.Fetch("DefaultCommands", "Command_" + std::to_string(i + 1));
    size_t at = stored.find('=');
    row.value = at == std::string::npos ? std::string() : CutUtf8(stored.substr(at + 1), kCmdValueBytes);
  }
  // Rows show while they have a label; the first without one ends them.
  for (int i = 0; i < kCmdRows; ++i) {
    if (m.rows[static_cast<size_t>(i)].label.empty()) break;
    m.rows[static_cast<size_t>(i)].visible = true;
  }
  return m;
}

bool SaveCmdSetup(framework::IniFile& ini, const CmdSetupModel& m) {
  bool ok = ini.Update("DefaultCommands", "command", std::to_string(m.used));
  for (int i = 0; i < m.used; ++i) {
    const CmdRow& row = m.rows[static_cast<size_t>(i)];
    std::string value;
    if (!row.command.empty()) value = row.command + "=" + Clip(OneLine(CutUtf8(row.value, kCmdValueBytes)));
    ok = ini.Update("DefaultCommands", "Command_" + std::to_string(i + 1), value) && ok;
  }
  return ok;
}

// ---------------------------------------------------------------------------
// AdditionalOutputValues

namespace {
const char* const kOutputKeys[16][2] = {
    {"ChargeCode", "Default Charge Code"},  {"Position", "Position"},
    {"Department", "Department"},           {"PostalAddress", "Postal Address"},
    {"PhysicalAddress", "Physical Address"}, {"PhoneNum", "Phone Number"},
    {"CellPhone", "Cell Phone"},            {"PagerNumber", "Pager Number"},
    {"EmailAddress", "Email Address"},      {"EmailAttachmentType", "Email Attach Type"},
    {"WebAddress", "WebAddress"},           {"AssistantsName", "Assistants Name"},
    {"ManagersName", "Managers Name"},      {"HomePhone", "Home Phone"},
    {"SpouseName", "Spouse Name"},          {"Notes", "Notes"}};
}  // namespace

std::vector<OutputValue> LoadOutputValues(const framework::IniFile& ini) {
  std::vector<OutputValue> rows;
  for (const auto& k : kOutputKeys) {
    OutputValue v{k[0], k[1], false, std::string()};
    std::string value = Trim(ini.Fetch("AdditionalTargets", k[0]));
    v.ticked = !value.empty();
    v.label = "<" + value + ">";
    rows.push_back(v);
  }
  return rows;
}

bool OutputValueFor(const OutputValue& row, std::string* value, std::string* message) {
  value->clear();
  if (!row.ticked) return true;
  std::string label = Trim(OneLine(row.label));
  if (!label.empty() && label.front() == '<') label.erase(0, 1);
  if (!label.empty() && label.back() == '>') label.pop_back();
  label = CutUtf8(Trim(label), kOutputLabelBytes);
  // The label starts a line of every request: it is checked as the request
  // writer will read it back (without a pair of quotes around it), so no
  // label can make that line a marker or an attachment line.
  std::string asRead = Trim(IniValueAsRead(label));
  if (asRead.empty()) label = asRead = row.key;
  if (asRead.front() == '!') {
    *message = std::string("The label of \"") + row.caption + "\" must not begin with \"!\".";
    return false;
  }
  *value = label;
  return true;
}

bool SaveOutputValues(framework::IniFile& ini, const std::vector<OutputValue>& rows, std::string* message) {
  std::vector<std::string> values;
  for (const OutputValue& row : rows) {
    std::string v;
    if (!OutputValueFor(row, &v, message)) return false;
    values.push_back(v);
  }
  bool ok = true;
  for (size_t i = 0; i < rows.size(); ++i) ok = ini.Update("AdditionalTargets", rows[i].key, values[i]) && ok;
  if (!ok) *message = "The settings could not be written to " + ini.FileName() + ".";
  return ok;
}

// ---------------------------------------------------------------------------
// AboutWin

AboutTexts LoadAboutTexts(const framework::IniFile& ini) {
  AboutTexts t{"Morvane Dashpost version 5.0", "Copyright Morvane International. All rights reserved.",
               "http://www.morvane.example/"};
  std::string v = CutUtf8(Trim(ini.Fetch("Version", "VersionText")), 99);
  std::string c = CutUtf8(Trim(ini.Fetch("Version", "CopyrightText")), 99);
  std::string w = CutUtf8(Trim(ini.Fetch("Version", "WebSite")), 149);
  if (!v.empty()) t.version = v;
  if (!c.empty()) t.notice = c;
  if (!w.empty()) t.web = w;
  return t;
}

// ---------------------------------------------------------------------------
// Names

// ---------------------------------------------------------------------------
// Address Books

bool ValidBookName(std::string_view name) { return ValidIniName(Trim(name), BookNameUse(), nullptr); }

bool IsAdminUser(const framework::IniFile& ini) { return Upper(Trim(ini.Fetch("Default", "AdminUser"))) == "YES"; }

std::vector<BookMenuItem> AddressBookMenu(Dictionary& d, const framework::IniFile& ini, int current) {
  std::vector<BookMenuItem> items;
  const bool admin = IsAdminUser(ini);
  framework::Queue& books = d.Queues().g_QaddressBooks;
  for (int i = 1; i <= books.Records(); ++i) {
    BookMenuItem item;
    item.position = i;
    item.submenu = admin;
    std::string name = books.Entry(i).Get("Name");
    item.text = (i == current ? "* " : "  ") + name;
    item.subItemsEnabled = i != current;
    items.push_back(item);
  }
  BookMenuItem sep;
  sep.separator = true;
  items.push_back(sep);
  items.push_back({"Create an Address Book", false, true, 0, false, "Create another personal or global address book"});
  items.push_back({"View Current Address Book", false, true, 0, false, "View Current Address Book"});
  items.push_back({"&Group Setup", false, true, 0, false, "Configure group and recipient details"});
  return items;
}

bool SwitchesBook(const Dictionary& d, int current, int position) {
  const framework::Queue& books = const_cast<Dictionary&>(d).Queues().g_QaddressBooks;
  return position >= 1 && position <= books.Records() && position != current;
}

std::string DeleteBookQuestion(std::string_view name) {
  return "Are you sure you really want to delete the address book:" + Clip(name);
}

std::string BookPathOf(std::string_view file) {
  std::string f = Trim(file);
  if (f.size() >= 4 && Upper(f.substr(f.size() - 4)) == ".KDF") f.resize(f.size() - 4);
  return f;
}

bool CreateAddressBook(Dictionary& d, framework::IniFile& ini, std::string_view nameIn, std::string_view file,
                       std::string* message) {
  std::string name = Trim(nameIn);
  if (!ValidIniName(name, BookNameUse(), message)) return false;
  std::string path = BookPathOf(file);
  if (path.empty()) {
    *message = "Please enter the address book's file.";
    return false;
  }
  if (path.size() > kMaxPathLength || path.find_first_of("\r\n") != std::string::npos) {
    *message = "The address book's file name is too long or holds a line break.";
    return false;
  }
  framework::Queue& books = d.Queues().g_QaddressBooks;
  for (int i = 1; i <= books.Records(); ++i) {
    if (Upper(Clip(books.Entry(i).Get("Name"))) == Upper(name)) {
      *message = "An address book named " + name + " exists already.";
      return false;
    }
  }
  long n = ini.FetchNumber("Database", "NumCustomBooks", 0) + 1;
  bool ok = ini.Update("Database", "NumCustomBooks", std::to_string(n)) &&
            ini.Update("Database", "Custom Book " + std::to_string(n), name) && ini.Update("Database", name, path);
  if (!ok) {
    *message = "The address book could not be stored in " + ini.FileName() + ".";
    return false;
  }
  books.Buffer().Clear();
  books.Buffer().Set("Name", name);
  books.Buffer().Set("pathName", path);
  books.Buffer().Set("Driver", "KEYED");
  books.Add();
  return true;
}

bool DeleteAddressBook(Dictionary& d, framework::IniFile& ini, int position, int* current, std::string* message) {
  framework::Queue& books = d.Queues().g_QaddressBooks;
  if (position < 1 || position > books.Records() || position == *current) {
    *message = "This address book cannot be deleted.";
    return false;
  }
  // The numbers are the file's: books left out at start (or listed only in
  // this run) do not count, so NumCustomBooks is the file's own count.
  const long stored = std::max<long>(ini.FetchNumber("Database", "NumCustomBooks", 0), 0);
  std::string name = Clip(books.Entry(position).Get("Name"));
  long found = 0;
  for (long n = 1; n <= stored; ++n) {
    if (Clip(ini.Fetch("Database", "Custom Book " + std::to_string(n))) == name) {
      found = n;
      break;
    }
  }
  if (found == 0) {
    *message = "The address book " + name + " was not found in " + ini.FileName() + "; nothing was changed.";
    return false;
  }
  ini.DeleteKey("Database", name);
  ini.DeleteKey("Database", "Custom Book " + std::to_string(found));
  const std::string driverOfDeleted = "Driver " + std::to_string(found);
  ini.DeleteKey("Database", driverOfDeleted);
  for (long n = found + 1; n <= stored; ++n) {
    for (const char* prefix : {"Custom Book ", "Driver "}) {
      std::string from = prefix + std::to_string(n), to = prefix + std::to_string(n - 1);
      std::string value = ini.Fetch("Database", from);
      if (!value.empty()) ini.Update("Database", to, value);
      ini.DeleteKey("Database", from);
    }
  }
  ini.Update("Database", "NumCustomBooks", std::to_string(stored - 1));
  books.Get(position);
  books.Delete();
  if (position < *current) --*current;
  return true;
}

std::string MainCaption(const framework::IniFile& ini, std::string_view userName, std::string_view bookName) {
  std::string title = Clip(ini.Fetch("Default", "DashpostTitleBar"));
  if (title.empty()) title = "Morvane Dashpost ";
  size_t at = title.find("<FULLNAME>");
  if (at != std::string::npos) title.replace(at, 10, std::string(userName));
  return title + " ( " + Clip(bookName) + " )";
}

// ---------------------------------------------------------------------------
// Cover pages, remote entries

void LoadCoverPages(Dictionary& d, const framework::IniFile& ini) {
  framework::Queue& q = d.Queues().g_QcoverPages;
  for (int i = q.Records(); i >= 1; --i) {
    q.Get(i);
    if (q.Buffer().GetLong("bNewCreated") != 1) q.Delete();
  }
  framework::IniFile pages(Trim(ini.Fetch("Files", "GlobalCoverPages")));
  if (!pages.FileName().empty()) {
    for (const std::string& name : pages.KeyNames("AvailableCoverPages", 1 << 20)) {
      if (q.Records() >= kMaxCoverPages) break;
      std::string n = Clip(name);
      if (n.empty()) continue;
      bool present = false;
      for (int i = 1; i <= q.Records() && !present; ++i) present = Clip(q.Entry(i).Get("Name")) == n;
      if (present) continue;
      q.Buffer().Clear();
      q.Buffer().Set("Name", n);
      q.Buffer().Set("Description", pages.Fetch("AvailableCoverPages", n));
      q.Add();
    }
  }
  q.Sort({"Name"});
}

std::vector<std::string> CoverPageMenu(Dictionary& d, std::string_view chosen) {
  framework::Queue& q = d.Queues().g_QcoverPages;
  std::vector<std::string> texts;
  for (int i = 1; i <= q.Records(); ++i) {
    std::string name = Clip(q.Entry(i).Get("Name"));
    texts.push_back((name == Clip(chosen) ? "* " : "  ") + name);
  }
  if (texts.empty()) texts.push_back("No cover page available");
  return texts;
}

std::string CoverPageAt(Dictionary& d, int position) {
  framework::Queue& q = d.Queues().g_QcoverPages;
  if (position < 1 || position > q.Records()) return std::string();
  return Clip(q.Entry(position).Get("Name"));
}

void LoadRemoteEntries(Dictionary& d, const framework::IniFile& ini) {
  struct Source {
    framework::Queue* queue;
    const char* fileKey;
    const char* section;
  };
  for (const Source& s : {Source{&d.Queues().g_QimageFiles, "ImageFiles", "ImageFiles"},
                          Source{&d.Queues().g_QremoteLists, "RemoteLists", "RemoteLists"}}) {
    s.queue->Free();
    framework::IniFile file(Trim(ini.Fetch("Files", s.fileKey)));
    if (file.FileName().empty()) continue;
    for (const std::string& name : file.KeyNames(s.section, 1 << 20)) {
      if (Clip(name).empty()) continue;
      s.queue->Buffer().Clear();
      s.queue->Buffer().Set("Name", name);
      s.queue->Buffer().Set("Description", file.Fetch(s.section, name));
      s.queue->Buffer().SetLong("Mark", 0);
      s.queue->Add();
    }
  }
}

// ---------------------------------------------------------------------------
// Languages

LanguageMenu LoadLanguageMenu(const framework::IniFile& ini) {
  LanguageMenu m;
  std::string list = ini.Fetch("Language", "Languages");
  std::string wanted = Upper(Trim(ini.Fetch("Default", "DefaultLanguage")));
  size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    size_t comma = list.find(',', pos);
    std::string item = Upper(Trim(list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos)));
    if (item.empty()) break;
    m.names.push_back(CutUtf8(item, kLanguageWidth));
    if (m.names.back() == wanted && m.selected == 0) m.selected = i + 1;
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return m;
}

std::vector<std::string> LanguageMenu::Texts() const {
  std::vector<std::string> t;
  for (size_t i = 0; i < names.size(); ++i) t.push_back((static_cast<int>(i) + 1 == selected ? "* " : "  ") + names[i]);
  return t;
}

LanguageChoice ChooseLanguage(LanguageMenu& menu, int item, std::string_view shown) {
  LanguageChoice c;
  if (item < 1 || item > static_cast<int>(menu.names.size())) return c;
  menu.selected = item;
  c.language = menu.names[static_cast<size_t>(item - 1)];
  c.translate = c.language != Upper(Trim(shown));
  c.restoreBuiltIn = c.translate && c.language == "ENGLISH";
  return c;
}


// ---------------------------------------------------------------------------
// Close

bool WriteCloseSettings(Dictionary& d, framework::IniFile& ini, const CloseSettings& s, std::string* message) {
  framework::Queue& books = d.Queues().g_QaddressBooks;
  bool ok = true;
  message->clear();
  if (books.Get(s.currentBook) != framework::NoError) {
    *message = "KILL ERROR=" + framework::ErrorText() + "+" + std::to_string(framework::ErrorCode()) + "+" +
               std::to_string(s.currentBook);
  } else {
    ok = ini.Update("Database", "Pathname", Clip(books.Buffer().Get("pathName"))) && ok;
  }
  ok = ini.Update("Default", "ShowImageFilesTab", s.showImageFiles ? "Yes" : "No") && ok;
  ok = ini.Update("Default", "ShowRemoteListsTab", s.showRemoteLists ? "Yes" : "No") && ok;
  if (!s.language.empty()) ok = ini.Update("Default", "DefaultLanguage", s.language) && ok;
  ok = ini.Update("Default", "SENDLOG", s.sendLog ? "Yes" : "No") && ok;
  // A write that failed (a full disk, a folder the user cannot write) is
  // told with the file and the reason, so settings are never lost unseen.
  if (!ok && message->empty())
    *message = "The settings could not be saved in " + ini.FileName() + ": " + framework::ErrorText();
  return ok;
}

}  // namespace mvn::client
