#include "helptips/tipfile.h"

#include <stdlib.h>
#include <unistd.h>

#include <map>

#include "framework/core/services.h"
#include "framework/core/strings.h"

namespace mvn::helptips {
namespace fw = mvn::framework;
using fw::ErrorCode;
using fw::ErrorText;

namespace {

std::vector<fw::FieldDef> TipFields() {
  return {fw::StringField("ProcedureName", 50), fw::StringField("ControlName", 50),
          fw::StringField("ControlType", 20),   fw::LongField("LastEditDate"),
          fw::ByteField("ReadOnly"),            fw::ByteField("Archive"),
          fw::ByteField("TipStyle"),            fw::MemoField("HelpTip", 10000),
          fw::MemoField("Settings", 10000),     fw::BlobField("Other", 1000)};
}

struct Declarations {
  std::unique_ptr<FileManager> hwt, lin;
  int hwtOpeners = 0, linOpeners = 0;
};

std::map<std::string, Declarations>& AllDeclarations() {
  static auto* all = new std::map<std::string, Declarations>;
  return *all;
}

Declarations& DeclarationsOf(std::string_view path) {
  Declarations& d = AllDeclarations()[std::string(path)];
  if (!d.hwt) d.hwt = MakeTipFile(path);
  if (!d.lin) d.lin = MakeTipLink(path);
  return d;
}

// "<error text> (<code>)" of the current ERRORCODE.
std::string ErrorPart() { return ErrorText() + " (" + std::to_string(ErrorCode()) + ")"; }

const char* kEnds = "  Press OK to end this application.";

}  // namespace

fw::LayoutPtr TipFileLayout() {
  static fw::LayoutPtr layout = fw::MakeLayout("HWT", TipFields());
  return layout;
}
fw::LayoutPtr TipLinkLayout() {
  static fw::LayoutPtr layout = fw::MakeLayout("LIN", TipFields());
  return layout;
}
fw::LayoutPtr TipFileOldLayout() {
  static fw::LayoutPtr layout =
      fw::MakeLayout("HWG", {fw::StringField("ProcedureName", 50), fw::StringField("ControlName", 50),
                             fw::StringField("ControlType", 20), fw::StringField("HelpTip", 900),
                             fw::StringField("Settings", 1500)});
  return layout;
}

// The keys carry no prefix: every declaration of the table shares the same
// indexes (HWT:ProcedureNameKey and LIN:ProcedureNameKey are one key).
void AddTipKeys(FileManager& file, const std::string&) {
  file.AddKey({"ProcedureNameKey", {"ProcedureName", "ControlName"}});
  file.AddKey({"ControlTypeKey", {"ControlType"}});
  file.AddKey({"ControlNameKey", {"ControlName", "ProcedureName"}});
}

// The tip file's path of a declaration's name ("<path>/!HelpTips").
static std::string PathOf(const FileManager& file) {
  std::string name = file.Name();
  size_t bang = name.rfind("/!");
  return bang == std::string::npos ? name : name.substr(0, bang);
}

std::string TipTableName(std::string_view path) { return std::string(path) + "/!" + kTipTable; }

static std::unique_ptr<FileManager> Make(fw::LayoutPtr layout, std::string_view path) {
  auto file = std::make_unique<FileManager>(fw::Driver::Keyed, layout, TipTableName(path));
  AddTipKeys(*file, layout->Prefix());
  return file;
}
std::unique_ptr<FileManager> MakeTipFile(std::string_view path) { return Make(TipFileLayout(), path); }
std::unique_ptr<FileManager> MakeTipLink(std::string_view path) { return Make(TipLinkLayout(), path); }
std::unique_ptr<FileManager> MakeTipFileOld(std::string_view path) { return Make(TipFileOldLayout(), path); }

FileManager& TipDeclaration(std::string_view path, bool link) {
  Declarations& d = DeclarationsOf(path);
  return link ? *d.lin : *d.hwt;
}

int TipOpeners(std::string_view path, bool link) {
  auto it = AllDeclarations().find(std::string(path));
  if (it == AllDeclarations().end()) return 0;
  return link ? it->second.linOpeners : it->second.hwtOpeners;
}

unsigned TipWarning(int number, std::string_view name, std::string_view extra) {
  std::string n(name), error = ErrorPart();
  switch (number) {
    case 1:
      return fw::Message("Error: (" + error + ") accessing " + n + "." + kEnds, "Invalid File", fw::Icon::Information);
    case 2:
      return fw::Message(n + " key file is invalid.  Do you want to rebuild the key?", "Invalid Key",
                         fw::Icon::Exclamation, fw::ButtonYes | fw::ButtonNo);
    case 3:
      return fw::Message("Error: (" + error + ") repairing key for " + n + "." + kEnds, "Key Rebuild Error",
                         fw::Icon::Information);
    case 4:
      return fw::Message("Error: (" + error + ") creating " + n + "." + kEnds, "File Creation Error",
                         fw::Icon::Information);
    case 5:
      return fw::Message("Error: (" + error + ") opening created file:" + n + "." + kEnds, "File Creation Error",
                         fw::Icon::Information);
    case 14:
      return fw::Message("An error occurred while adding the tip to " + n + ".|Error: " + error + std::string(extra),
                         "Record Insert Error", fw::Icon::Exclamation);
    case 15:
      return fw::Message("An error occurred while saving the tip in " + n + ".|Error: " + error + std::string(extra),
                         "Update Operation Error", fw::Icon::Exclamation);
    case 17:
      return fw::Message("An error occurred while deleting the tip from " + n + ".|Error: " + error +
                             std::string(extra),
                         "Delete Operation Error", fw::Icon::Exclamation);
    case 30:
      return fw::Message("File (" + n + ") could not be opened.  Error: " + error + ".", "File Access Error",
                         fw::Icon::Information);
    case 35:
      return fw::Message("Unable to read the record of " + n + ".  Error: " + error + ".", "Record Retrieval Error",
                         fw::Icon::Exclamation);
    case 36:
      return fw::Message("Unable to open the view of " + n + ".  Error: " + error + ".", "View Open Error",
                         fw::Icon::Exclamation);
    default:
      return fw::Message(std::string(extra), "", fw::Icon::Information);
  }
}

int TipCheckOpen(FileManager& file, bool create, bool neverCreate, unsigned mode) {
  std::string name = PathOf(file);
  file.SetCreate(false);  // creation is decided here
  int e = file.TryOpen(mode);
  if (e == fw::IsLockedError) {
    file.SendDriver("Recover=10");
    e = file.TryOpen(mode);
  }
  if (e == fw::NoError || e == fw::AlreadyOpenError) return fw::NoError;
  if (e == fw::FileNotFoundError) {
    if (neverCreate) return e;
    if (!create) {
      TipWarning(4, name);
      return e;
    }
    if (file.Create() != fw::NoError) {
      TipWarning(4, name);
      return ErrorCode();
    }
    if (file.TryOpen(mode) != fw::NoError) {
      TipWarning(5, name);
      return ErrorCode();
    }
    return fw::NoError;
  }
  if (e == fw::LayoutDiffersError) {
    TipWarning(1, name);
    return e;
  }
  if (e == fw::KeysInvalidError) {
    if (TipWarning(2, name) != fw::ButtonYes) return e;
    if (file.BuildKeys() != fw::NoError) {
      TipWarning(3, name);
      return ErrorCode();
    }
    e = file.TryOpen(mode);
    if (e == fw::NoError) return e;
  }
  TipWarning(30, name);
  return e;
}

int TipFileOpen(std::string_view path) {
  Declarations& d = DeclarationsOf(path);
  if (d.hwtOpeners == 0) {
    // A file of the old layout is converted before anything else opens it.
    auto probe = MakeTipFile(path);
    probe->SetCreate(false);
    int e = probe->TryOpen(fw::Shared);
    probe->Close();
    if (e == fw::LayoutDiffersError) {
      if (int u = TipFileUpgrade(path)) return u;
    }
    if (int c = TipCheckOpen(*d.hwt, true, false, fw::Shared)) return c;
  }
  ++d.hwtOpeners;
  if (d.linOpeners == 0) {
    if (int c = TipCheckOpen(*d.lin, true, false, fw::Shared)) {
      if (--d.hwtOpeners == 0) d.hwt->Close();
      return c;
    }
  }
  ++d.linOpeners;
  return fw::NoError;
}

void TipFileClose(std::string_view path) {
  auto it = AllDeclarations().find(std::string(path));
  if (it == AllDeclarations().end()) return;
  Declarations& d = it->second;
  if (d.hwtOpeners > 0 && --d.hwtOpeners == 0) d.hwt->Close();
  if (d.linOpeners > 0 && --d.linOpeners == 0) d.lin->Close();
}

int TipFileUpgrade(std::string_view path) {
  std::string name(path);
  auto old = MakeTipFileOld(path);
  old->SetCreate(false);
  int e = old->TryOpen(fw::Exclusive);
  if (e == fw::AccessDeniedError || e == fw::IsLockedError) {
    fw::Message("Unable to access Tip file : " + name + " because someone else is using it.");
    return e;
  }
  if (e == fw::LayoutDiffersError) {
    // Not a tip file of the old layout either (another program's file, an
    // address book, a damaged file): left as it is.
    TipWarning(1, name);
    return e;
  }
  if (e) {
    fw::Message("Unable to access Tip file : " + name + " because " + ErrorText());
    return e;
  }
  std::string file = old->FilePath();
  size_t slash = file.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : file.substr(0, slash);
  std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
  std::string tmpl = dir + "/." + base + ".upgrade-XXXXXX.kdf";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  int fd = mkstemps(buf.data(), 4);
  if (fd < 0) {
    fw::SetError(fw::FileSystemError, file, "Cannot create the temporary copy beside the tip file");
    fw::Message("Unable to access Tip file : " + name + " because " + ErrorText());
    return fw::FileSystemError;
  }
  close(fd);
  std::string temp(buf.data());
  auto fail = [&](const std::string& text, std::unique_ptr<FileManager>* copy) {
    int code = ErrorCode() ? ErrorCode() : fw::FileSystemError;
    fw::Message("Error Upgrading file : " + text);
    old->Rollback();
    old->Close();
    if (copy && *copy) (*copy)->Close();
    ::unlink(temp.c_str());
    ::unlink((temp + "-journal").c_str());
    return code;
  };
  int64_t total = old->Records();
  if (total < 0 || old->Copy(temp) != fw::NoError) return fail(ErrorText(), nullptr);
  // The copy is read back before the file is touched.
  auto copy = MakeTipFileOld(temp);
  copy->SetCreate(false);
  if (copy->TryOpen(fw::ReadOnly | fw::DenyWrite) != fw::NoError) return fail(ErrorText(), &copy);
  if (copy->Records() != total) {
    fw::SetError(fw::FileSystemError, temp, "The temporary copy is incomplete");
    return fail(ErrorText(), &copy);
  }
  auto progress = fw::Services().OpenProgress({"", "Please wait... upgrading Hintwell Tip file...", total});
  if (old->BeginExclusiveTransaction() != fw::NoError) return fail(ErrorText(), &copy);
  auto fresh = MakeTipFile(path);
  if (fresh->Create() != fw::NoError || fresh->TryOpen(fw::Exclusive) != fw::NoError) {
    std::string text = ErrorText();
    fresh->Close();
    return fail(text, &copy);
  }
  fresh->BufferAdds(true);
  int32_t today = fw::Today();
  int64_t done = 0;
  copy->Set();
  while (copy->Next() == fw::NoError) {
    ++done;
    if (progress) progress->Update(done);
    Record& from = copy->Buffer();
    Record& to = fresh->Buffer();
    to.Clear();
    for (const char* f : {"ProcedureName", "ControlName", "ControlType", "HelpTip", "Settings"})
      to.Set(f, from.Clipped(f));
    to.SetLong("LastEditDate", today);
    if (fresh->TryInsert() != fw::NoError) {
      std::string text = ErrorText();
      fresh->Close();
      return fail(text, &copy);
    }
  }
  if (fw::ErrorCode() != fw::RecordNotAvailableError) {
    std::string text = ErrorText();
    fresh->Close();
    return fail(text, &copy);
  }
  if (fresh->Flush() != fw::NoError || old->Commit() != fw::NoError) {
    std::string text = ErrorText();
    fresh->Close();
    return fail(text, &copy);
  }
  fresh->Close();
  copy->Close();
  old->Close();
  progress.reset();
  ::unlink(temp.c_str());
  ::unlink((temp + "-journal").c_str());
  fw::ClearError();
  return fw::NoError;
}

// ---------------------------------------------------------------------------

static bool Blank(const Record& r, const char* field) { return r.Clipped(field).empty(); }

FoundTip TipLookup(FileManager& hwt, const TipRequest& request) {
  FoundTip tip(hwt.GetLayout());
  Record& b = hwt.Buffer();
  bool found = false;
  b.Clear();
  b.Set("ProcedureName", request.procedure);
  b.Set("ControlName", request.control);
  if (hwt.TryFetch("ProcedureNameKey") == fw::NoError) found = true;
  if (!found && !fw::Clip(request.control).empty()) {
    b.Clear();
    b.Set("ControlName", request.control);
    if (hwt.TryFetch("ControlNameKey") == fw::NoError) found = true;
  }
  if (!found && !fw::Clip(request.type).empty()) {
    // The type's duplicates are scanned for the one generic tip.
    b.Clear();
    b.Set("ControlType", request.type);
    std::string type = fw::Upper(fw::Clip(b.Get("ControlType")));
    if (hwt.SetFrom("ControlTypeKey") == fw::NoError) {
      while (hwt.Next() == fw::NoError && fw::Upper(b.Clipped("ControlType")) == type) {
        if (Blank(b, "ProcedureName") && Blank(b, "ControlName")) {
          found = tip.viaTypeTip = true;
          break;
        }
      }
    }
  }
  if (found) {
    tip.action = TipAction::Change;
    tip.position = hwt.GetPosition();
    tip.copy = b;
    tip.record = b;
    if (tip.viaTypeTip) {
      tip.record.Set("ProcedureName", request.procedure);
      tip.record.Set("ControlName", request.control);
      tip.record.Set("ControlType", request.type);
    }
  } else {
    tip.record.Clear();
    tip.record.Set("HelpTip", kNoHelpText);
    tip.record.Set("ProcedureName", request.procedure);
    tip.record.Set("ControlName", request.control);
    tip.record.Set("ControlType", request.type);
    tip.copy = tip.record;
    tip.action = TipAction::Insert;
  }
  fw::ClearError();
  tip.settings = tip.record.Get("Settings");
  return tip;
}

static SaveOutcome Insert(FileManager& hwt, FoundTip& tip, const std::string& name) {
  hwt.Buffer() = tip.record;
  if (hwt.TryInsert() != fw::NoError) {
    TipWarning(14, name);
    return SaveOutcome::Failed;
  }
  tip.position = hwt.GetPosition();
  tip.action = TipAction::Change;
  tip.viaTypeTip = false;
  tip.copy = tip.record;
  return SaveOutcome::Inserted;
}

static SaveOutcome Rewrite(FileManager& hwt, FoundTip& tip, const std::string& name) {
  Record keep = tip.record;
  if (hwt.Reget(tip.position) != fw::NoError) {
    TipWarning(15, name, "|The tip was removed by another station.");
    return SaveOutcome::Failed;
  }
  hwt.Buffer() = keep;
  if (hwt.TryUpdate() != fw::NoError) {
    TipWarning(15, name);
    return SaveOutcome::Failed;
  }
  tip.copy = keep;
  return SaveOutcome::Saved;
}

SaveOutcome TipSave(FileManager& hwt, FoundTip& tip, int32_t today) {
  Record& r = tip.record;
  if (Blank(r, "ControlName") && Blank(r, "ControlType")) {
    fw::Message("Either the Control name or the Control Type must be entered.", "Hintwell Tip");
    return SaveOutcome::MissingKeys;
  }
  std::string name = PathOf(hwt);
  bool blank = fw::Clip(r.Get("HelpTip")).empty();
  r.Set("Settings", tip.settings);
  r.SetLong("LastEditDate", today);
  if (tip.action == TipAction::Insert) return Insert(hwt, tip, name);
  if (blank) {
    // Blanking the text of a shared type tip must not remove it.
    if (tip.viaTypeTip) return SaveOutcome::NothingToDo;
    if (hwt.Reget(tip.position) != fw::NoError || hwt.TryDelete() != fw::NoError) {
      TipWarning(17, name);
      return SaveOutcome::Failed;
    }
    tip.action = TipAction::Insert;
    tip.position = {};
    tip.copy = r;
    return SaveOutcome::Deleted;
  }
  if (tip.viaTypeTip || fw::Upper(r.Clipped("ProcedureName")) != fw::Upper(tip.copy.Clipped("ProcedureName")) ||
      fw::Upper(r.Clipped("ControlName")) != fw::Upper(tip.copy.Clipped("ControlName")))
    return Insert(hwt, tip, name);
  return Rewrite(hwt, tip, name);
}

SaveOutcome TipRewrite(FileManager& hwt, FoundTip& tip, int32_t today) {
  tip.record.Set("Settings", tip.settings);
  tip.record.SetLong("LastEditDate", today);
  if (tip.action == TipAction::Insert || tip.viaTypeTip) return Insert(hwt, tip, PathOf(hwt));
  return Rewrite(hwt, tip, PathOf(hwt));
}

int TipWidth(std::string* other) {
  int width = -1;
  if (other->size() >= 2)
    width = static_cast<unsigned char>((*other)[0]) | (static_cast<unsigned char>((*other)[1]) << 8);
  if (width >= 170 && width <= 499) return width;
  SetTipWidth(other, 169);
  return 169;
}

void SetTipWidth(std::string* other, int width) {
  if (other->size() < 2) other->resize(2, '\0');
  (*other)[0] = static_cast<char>(width & 0xFF);
  (*other)[1] = static_cast<char>((width >> 8) & 0xFF);
}

}  // namespace mvn::helptips
