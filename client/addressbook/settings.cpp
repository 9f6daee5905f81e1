// AutoText list and cover-page settings (see settings.h).
#include "client/addressbook/settings.h"

#include "client/records/ininames.h"

#include "framework/core/strings.h"

namespace mvn::client {

using framework::Clip;
using framework::CompareNoCase;
using framework::IniFile;
using framework::Queue;

namespace {

const char kAutoSection[] = "AutoMessageTextFiles";

std::string Numbered(int n) { return "AutoText" + std::to_string(n); }

// Names compare as the INI does: without case, outer blanks ignored.
std::string Trim(std::string_view text) {
  size_t b = text.find_first_not_of(" \t");
  if (b == std::string_view::npos) return std::string();
  size_t e = text.find_last_not_of(" \t");
  return std::string(text.substr(b, e - b + 1));
}

bool SameName(std::string_view a, std::string_view b) { return CompareNoCase(Trim(a), Trim(b)) == 0; }

// A name that cannot be a key of its own: empty, one of the numbered keys,
// or one the INI reads otherwise.
std::string CheckName(std::string_view name) {
  std::string n = Trim(name);
  if (n.empty()) return "Autotext name or full path name can't be empty.";
  if (n.size() > kMaxAutoTextName)
    return "Autotext name is longer than " + std::to_string(kMaxAutoTextName) + " characters.";
  if (n.find('=') != std::string::npos || n[0] == '[' || n[0] == ';' ||
      n.find_first_of("\r\n") != std::string::npos)
    return "Autotext name can't contain \"=\" or start with \"[\" or \";\".";
  if (n.size() > 8 && CompareNoCase(n.substr(0, 8), "AutoText") == 0 &&
      n.find_first_not_of("0123456789", 8) == std::string::npos)
    return "Autotext name can't be AutoText followed by a number.";
  // What else the INI file could not keep as given (control characters, a
  // leading "#"): the check every typed key goes through.
  std::string message;
  if (!ValidIniName(n, AutoTextNameUse(), &message)) return message;
  return std::string();
}

std::string CheckPath(std::string_view path) {
  std::string p = Trim(path);
  if (p.empty()) return "Autotext name or full path name can't be empty.";
  return CheckSettingsPath(p);
}

const char kWriteFailed[] = "The settings file could not be written.";

}  // namespace

bool RemoveIniKey(std::string_view fileName, std::string_view key, std::string_view section) {
  std::string f = Clip(fileName), k = Clip(key), s = Clip(section);
  if (f.empty() || k.empty() || s.empty()) return false;
  if (f.size() > kMaxSettingsPath || k.size() > kMaxSettingsPath || s.size() > kMaxSettingsPath) return false;
  return IniFile(f).DeleteKey(s, k);
}

std::string CheckSettingsPath(std::string_view path) {
  if (path.size() > kMaxSettingsPath)
    return "The path name is longer than " + std::to_string(kMaxSettingsPath) +
           " characters. Please choose a shorter one.";
  return std::string();
}

void LoadAutoTextList(const IniFile& ini, Queue& autoText) {
  autoText.Free();
  for (int n = 1;; ++n) {
    std::string name = ini.Fetch(kAutoSection, Numbered(n));
    if (name.empty()) break;
    autoText.Buffer().Clear();
    autoText.Buffer().Set("Name", name);
    autoText.Buffer().Set("fullPathName", ini.Fetch(kAutoSection, name));
    autoText.Add();
  }
}

std::string AutoTextAdd(IniFile& ini, Queue& autoText, std::string_view name, std::string_view path, int* current) {
  if (std::string m = CheckName(name); !m.empty()) return m;
  if (std::string m = CheckPath(path); !m.empty()) return m;
  for (int i = 1; i <= autoText.Records(); ++i)
    if (SameName(autoText.Entry(i).Clipped("Name"), name))
      return "Autotext name already exists. Please change the name and retry.";
  int n = autoText.Records();
  std::string nm = Trim(name), p = Trim(path);
  if (!ini.Update(kAutoSection, Numbered(n + 1), nm) || !ini.Update(kAutoSection, nm, p)) return kWriteFailed;
  autoText.Buffer().Clear();
  autoText.Buffer().Set("Name", nm);
  autoText.Buffer().Set("fullPathName", p);
  autoText.Add();
  if (current) *current = n + 1;
  return std::string();
}

std::string AutoTextUpdate(IniFile& ini, Queue& autoText, int selected, std::string_view name, std::string_view path) {
  if (selected < 1 || selected > autoText.Records()) return "Please select an item first";
  if (std::string m = CheckName(name); !m.empty()) return m;
  if (std::string m = CheckPath(path); !m.empty()) return m;
  for (int i = 1; i <= autoText.Records(); ++i)
    if (i != selected && SameName(autoText.Entry(i).Clipped("Name"), name))
      return "Autotext name already exists. Please change the name and retry.";
  std::string nm = Trim(name), p = Trim(path);
  if (!ini.Update(kAutoSection, Numbered(selected), nm) || !ini.Update(kAutoSection, nm, p)) return kWriteFailed;
  autoText.Get(selected);
  autoText.Buffer().Set("Name", nm);
  autoText.Buffer().Set("fullPathName", p);
  autoText.Put();
  return std::string();
}

std::string AutoTextDelete(IniFile& ini, Queue& autoText, int selected, int* current) {
  int n = autoText.Records();
  if (selected < 1 || selected > n) return "Please select an item first";
  std::string name = autoText.Entry(selected).Clipped("Name");
  bool shared = false;
  for (int i = 1; i <= n; ++i)
    if (i != selected && SameName(autoText.Entry(i).Clipped("Name"), name)) shared = true;
  // The list on screen changes only when the file did.
  for (int i = 1; i <= n; ++i) {
    if (i == selected) {
      if (!ini.DeleteKey(kAutoSection, Numbered(selected))) return kWriteFailed;
      if (!shared && !ini.DeleteKey(kAutoSection, name)) return kWriteFailed;
    } else if (i > selected) {
      std::string value = ini.Fetch(kAutoSection, Numbered(i));
      if (!ini.Update(kAutoSection, Numbered(i - 1), value)) return kWriteFailed;
      if (!ini.DeleteKey(kAutoSection, Numbered(i))) return kWriteFailed;
    }
  }
  autoText.Get(selected);
  autoText.Delete();
  int k = selected;
  if (k > autoText.Records()) k = autoText.Records();
  if (k > 0) autoText.Get(k);
  if (current) *current = k;
  return std::string();
}

const char* const kLinesEntries[4] = {"None", "Top", "Bottom", "Top & Bottom"};

int LinesEntry(std::string_view stored) {
  std::string v = framework::Upper(Trim(stored));
  if (v == "NONE") return 1;
  if (v == "TOP") return 2;
  if (v == "BOTTOM") return 3;
  if (v == "BOTH" || v == "TOP & BOTTOM" || v == "TOP&BOTTOM") return 4;
  return 0;
}

std::array<std::string, 4> SplitMargins(std::string_view text) {
  std::array<std::string, 4> out;
  std::string_view rest = text;
  for (size_t i = 0; i < 4; ++i) {
    size_t comma = rest.find(',');
    out[i] = framework::CutUtf8(Trim(rest.substr(0, comma)), kMarginBytes);
    if (comma != std::string_view::npos) rest = rest.substr(comma + 1);
  }
  return out;
}

std::string CoverPageFile(const IniFile& clientIni, std::string_view page) {
  std::string local = Clip(clientIni.Fetch("Files", "LocalCoverPages"));
  if (!local.empty() && !IniFile(local).Fetch("AvailableCoverPages", Clip(page)).empty()) return local;
  return Clip(clientIni.Fetch("Files", "GlobalCoverPages"));
}

namespace {

struct BlockKeys {
  const char* lines;
  const char* margins;
  const char* marginsElse;
};
const BlockKeys kHead{"AddressHeaderLines", "AddressHeader", "AddressHeaderMargins"};
const BlockKeys kBody{"MessageBodyLines", "MessageBody", "MessageBodyMargins"};
const BlockKeys kSignature{"SignatureLines", "Signature", "SignatureMargins"};

void ReadBlock(const IniFile& ini, const std::string& section, const BlockKeys& keys, CoverBlock* block) {
  block->storedLines = ini.Fetch(section, keys.lines);
  block->lines = LinesEntry(block->storedLines);
  std::string margins = ini.Fetch(section, keys.margins);
  if (margins.empty()) margins = ini.Fetch(section, keys.marginsElse);
  block->margins = SplitMargins(margins);
}

bool WriteBlock(IniFile& ini, const std::string& section, const BlockKeys& keys, const CoverBlock& block) {
  std::string lines = block.lines >= 1 && block.lines <= 4 ? kLinesEntries[block.lines - 1] : block.storedLines;
  std::string margins = block.margins[0] + "," + block.margins[1] + "," + block.margins[2] + "," + block.margins[3];
  const char* key = ini.Fetch(section, keys.margins).empty() ? keys.marginsElse : keys.margins;
  return ini.Update(section, keys.lines, lines) && ini.Update(section, key, margins);
}

}  // namespace

CoverPageValues LoadCoverPage(const IniFile& clientIni, std::string_view page) {
  CoverPageValues v;
  IniFile ini(CoverPageFile(clientIni, page));
  std::string section = Clip(page);
  if (ini.FileName().empty() || section.empty()) return v;
  v.headFileName = ini.Fetch(section, "AddressHeaderFilename");
  ReadBlock(ini, section, kHead, &v.head);
  ReadBlock(ini, section, kBody, &v.body);
  v.signatureFileName = ini.Fetch(section, "SignatureFilename");
  ReadBlock(ini, section, kSignature, &v.signature);
  return v;
}

std::string UpdateCoverPage(const IniFile& clientIni, std::string_view page, const CoverPageValues& values) {
  std::string section = Clip(page);
  if (section.empty()) return "Please select a cover page before updating it.";
  if (std::string m = CheckSettingsPath(values.headFileName); !m.empty()) return m;
  if (std::string m = CheckSettingsPath(values.signatureFileName); !m.empty()) return m;
  for (const CoverBlock* b : {&values.head, &values.body, &values.signature})
    for (const std::string& m : b->margins)
      if (m.find_first_of(",\r\n") != std::string::npos) return "A margin can't contain a comma.";
  IniFile ini(CoverPageFile(clientIni, page));
  if (ini.FileName().empty()) return "GlobalCoverPages is not set in the configuration file.";
  bool ok = ini.Update(section, "AddressHeaderFilename", Clip(values.headFileName)) &&
            WriteBlock(ini, section, kHead, values.head) && WriteBlock(ini, section, kBody, values.body) &&
            ini.Update(section, "SignatureFilename", Clip(values.signatureFileName)) &&
            WriteBlock(ini, section, kSignature, values.signature);
  return ok ? std::string() : kWriteFailed;
}

std::string DeleteCoverPage(const IniFile& clientIni, Queue& coverPages, int selected, int* current) {
  if (selected < 1 || selected > coverPages.Records()) return "Please select an item first";
  std::string name = coverPages.Entry(selected).Clipped("Name");
  // The page leaves the list only when it left the file.
  if (!RemoveIniKey(clientIni.Fetch("Files", "GlobalCoverPages"), name, "AvailableCoverPages"))
    return "The cover page could not be removed: the cover page file " +
           Clip(clientIni.Fetch("Files", "GlobalCoverPages")) + " could not be written.";
  coverPages.Get(selected);
  coverPages.Delete();
  int k = selected > coverPages.Records() ? coverPages.Records() : selected;
  if (current) *current = k;
  return std::string();
}

}  // namespace mvn::client
