// The send window's prompts: a value prompt, a name and description prompt,
// the broadcast question.
//
// The two prompts restore their position like every window but always
// open at their own size. Escape and the title bar cancel them.
#include <QKeyEvent>
#include <QMainWindow>
#include <QSize>
#include <algorithm>

#include "client/app/sendprompts.h"
#include "client/setup/setup.h"
#include "client/ui/escapefilter.h"
#include "client/ui/windowhooks.h"
#include "framework/core/services.h"
#include "framework/core/record.h"
#include "framework/core/strings.h"
#include "framework/gui/window.h"

namespace mvn::client {

namespace fw = mvn::framework;
using fw::Window;

namespace {

// How the confirming button's check ends: the window stays open (a
// refused entry), closes as confirmed, or closes as not confirmed.
enum class Outcome { Stay, Accept, Reject };


struct DialogRun {
  const char* procedure;
  int ok;
  int cancel;
  // Dialog units; applied once the window has opened and been translated,
  // so a size kept from an earlier run does not stay. Empty: as restored.
  QSize size;
  // The confirming button's check (none: it confirms).
  std::function<Outcome()> confirm;
  // Further buttons: field and what pressing it does.
  std::vector<std::pair<int, std::function<void()>>> buttons;
};

// Runs a dialog window with a confirming and a cancelling button; true when
// it closed confirmed. Escape and the title bar cancel.
bool RunDialog(Window& w, const DialogRun& run) {
  bool accepted = false;
  EscapeFilter escape([&w] { w.Close(); });
  w.Widget()->installEventFilter(&escape);
  QObject::connect(&w, &Window::windowEvent, &w, [&](int event, int field) {
    if (event == fw::EventOpenWindow) {
      if (run.size.isValid()) {
        QRect g = w.WindowPosition();
        g.setSize(run.size);
        w.SetWindowPosition(g);
      }
    } else if (event == fw::EventAccepted && field == run.ok) {
      Outcome outcome = run.confirm ? run.confirm() : Outcome::Accept;
      if (outcome != Outcome::Stay) {
        accepted = outcome == Outcome::Accept;
        w.Close();
      }
    } else if (event == fw::EventAccepted && field == run.cancel) {
      w.Close();
    } else if (event == fw::EventAccepted) {
      for (const auto& [button, action] : run.buttons)
        if (button == field) action();
    }
  });
  // After the dialog's own handling: the tip hooks and the language.
  WireWindowHooks(w, run.procedure, true);
  w.Run();
  w.Widget()->removeEventFilter(&escape);
  return accepted;
}

void Refuse(const std::string& text) { fw::Message(text, "Dashpost", fw::Icon::Exclamation); }

bool HasLineBreak(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos; }

// A path chosen in a file dialog into an entry that holds limit bytes; a
// longer path is refused rather than cut (a cut path names another file).
void TakeChosenPath(Window& w, int entry, const std::string& path, size_t limit) {
  if (path.size() > limit) {
    Refuse("The path is longer than " + std::to_string(limit) + " bytes: |" + fw::CutUtf8(path, 60) + "...");
    return;
  }
  w.SetText(entry, path);
}

}  // namespace

bool EnterValue2(Window*, std::string_view mode, std::string* value) {
  if (value) value->clear();
  const std::string m = fw::CutUtf8(fw::Upper(fw::Clip(mode)), 29);
  Window w("EnterValue2", "Please enter value", QRect(0, 0, 221, 104));
  int prompt = w.AddPrompt("?Prompt", "Please enter value ", QRect(6, 6, 208, 10));
  int entry = w.AddEntry("?g_EnterValue", QRect(6, 18, 180, 12), static_cast<int>(kEnterValueBytes));
  int browse = w.AddButton("?Button_browse", "...", QRect(190, 17, 24, 14));
  int ok = w.AddButton("?OK", "Close", QRect(108, 82, 50, 14));
  int cancel = w.AddButton("?Cancel", "&Cancel", QRect(164, 82, 50, 14));
  w.Hide(browse);
  struct ModeTexts {
    const char* mode;
    const char* caption;
    const char* prompt;
    const char* button;
  };
  static const ModeTexts kModes[] = {
      {"UPLOADLIST", "Upload list", "Please enter list number:", "&Upload"},
      {"EXPORT", "Export to a file", "Save export file as:", "&Export"},
      {"UPDATEEMAIL", "Update Email Address Book", "Save update file as:", "&Update"},
  };
  if (m.rfind("V=", 0) == 0) {
    // The rest of the (upper-cased, cut) mode starts the entry; the
    // window keeps its own texts.
    w.SetText(entry, m.substr(2));
  } else {
    for (const ModeTexts& t : kModes) {
      if (m != t.mode) continue;
      w.SetCaption(t.caption);
      w.SetText(prompt, t.prompt);
      w.SetText(ok, t.button);
    }
    if (m == "EXPORT") w.Hide(browse, false);
  }
  if (w.IsHidden(browse)) w.SetPosition(entry, QRect(6, 18, 208, 12));
  DialogRun run{"EnterValue2", ok, cancel, QSize(221, 104), {}, {}};
  run.buttons.emplace_back(browse, [&] {
    std::string path;
    if (fw::Services().FileDialog(CsvSaveRequest(), &path)) TakeChosenPath(w, entry, path, kEnterValueBytes);
  });
  bool done = RunDialog(w, run);
  if (done && value) *value = fw::CutUtf8(fw::Clip(w.Text(entry)), kEnterValueBytes);
  return done;
}

fw::FileDialogRequest CsvSaveRequest() {
  fw::FileDialogRequest request;
  request.mode = fw::FileDialogMode::Save;
  request.title = "Please name the file to save";
  request.filters = "CSV File|*.csv;*.txt";
  return request;
}

bool GetNameValuesDialog(Window*, Dictionary& dictionary, std::string_view mode, NameValue* result) {
  const std::string m = fw::Upper(fw::Clip(mode));
  Window w("GetNameValuesDialog", "Please Input file details:", QRect(0, 0, 218, 125));
  int namePrompt = w.AddPrompt("?PromptName", "Image file name:", QRect(6, 6, 206, 10));
  int n = w.AddEntry("?g_NameValueDialog:Name", QRect(6, 18, 206, 12), static_cast<int>(kDialogNameBytes));
  int valuePrompt = w.AddPrompt("?PromptValue", "Image file description:", QRect(6, 38, 206, 10));
  int v = w.AddEntry("?g_NameValueDialog:Value", QRect(6, 50, 206, 12), static_cast<int>(kDialogValueBytes));
  int browse = w.AddButton("?Button_SelectFile", "Browse", QRect(166, 49, 46, 14));
  int ok = w.AddButton("?OK", "&OK", QRect(106, 103, 50, 14));
  int cancel = w.AddButton("?Cancel", "&Cancel", QRect(162, 103, 50, 14));
  w.Hide(browse);
  if (m == "COVERPAGE") {
    w.SetText(namePrompt, "Cover page name:");
    w.SetText(valuePrompt, "Cover page description:");
  } else if (m == "ADDRESSBOOK") {
    w.SetText(namePrompt, "Address book display name:");
    w.SetText(valuePrompt, "Address book file name (use a full pathname):");
    w.Hide(browse, false);
    w.SetPosition(v, QRect(6, 50, 156, 12));
  }
  w.SetText(n, "");
  w.SetText(v, "");

  GlobalQueues& queues = dictionary.Queues();
  fw::Queue* queue = m == "IMAGEFILE" ? &queues.g_QimageFiles : m == "COVERPAGE" ? &queues.g_QcoverPages : nullptr;
  NameValue taken;
  DialogRun run{"GetNameValuesDialog", ok, cancel, QSize(218, 125), {}, {}};
  run.buttons.emplace_back(browse, [&] {
    fw::FileDialogRequest request;
    request.mode = fw::FileDialogMode::Open;
    request.title = "Please select a database file for this address book: ";
    request.filters = "Addressbook database|*.kdf";
    std::string path;
    if (fw::Services().FileDialog(request, &path)) TakeChosenPath(w, v, path, kDialogValueBytes);
  });
  run.confirm = [&]() -> Outcome {
    // The name becomes a key (of an INI file or of the queue): it must not
    // be empty, break a line or read as a section or comment, and must fit
    // the queue whole so that two names never become one.
    std::string name = fw::Trim(fw::CutUtf8(w.Text(n), kDialogNameBytes));
    std::string value = fw::Clip(fw::CutUtf8(w.Text(v), kDialogValueBytes));
    std::string message;
    const bool book = m == "ADDRESSBOOK";
    IniNameUse use = book ? BookNameUse() : m == "COVERPAGE" ? CoverPageNameUse() : ImageFileNameUse();
    if (queue) use.maxBytes = std::min(use.maxBytes, FieldBytes(queue->GetLayout(), "Name"));
    if (!ValidIniName(name, use, &message)) {
      Refuse(message);
      w.Select(n);
      return Outcome::Stay;
    }
    if (book && fw::Trim(value).empty()) {
      Refuse("Please enter the address book's file name.");
      w.Select(v);
      return Outcome::Stay;
    }
    if (book && BookPathOf(value).size() > kMaxPathLength) {
      // The book list keeps kMaxPathLength bytes of a path; a cut one names another file.
      Refuse("The address book's file name is longer than " + std::to_string(kMaxPathLength) +
             " bytes (without \".KDF\"). Please choose a shorter one.");
      w.Select(v);
      return Outcome::Stay;
    }
    if (HasLineBreak(value)) {
      Refuse(book ? "The file name must not hold a line break." : "The description must not hold a line break.");
      w.Select(v);
      return Outcome::Stay;
    }
    taken = {name, value};
    if (!queue) return Outcome::Accept;
    const bool image = queue == &queues.g_QimageFiles;
    // The INI files compare names without case: "logo" is the key "Logo"
    // names, so it is that entry, and it keeps its own spelling.
    int existing = 0;
    for (int i = 1; i <= queue->Records() && !existing; ++i)
      if (fw::Upper(queue->Entry(i).Clipped("Name")) == fw::Upper(name)) existing = i;
    if (existing) {
      const char* question = image ? "The remote file already exists.  Do you want to overwrite it?"
                                   : "The cover page already exists.  Do you want to overwrite it?";
      if (fw::Message(question, "Confirm", fw::Icon::Question, fw::ButtonYes | fw::ButtonNo) != fw::ButtonYes)
        return Outcome::Reject;
      queue->Get(existing);
      name = queue->Buffer().Clipped("Name");
      taken.name = name;
    }
    fw::Record& entry = queue->Buffer();
    entry.Clear();
    entry.Set("Name", name);
    entry.SetLong("bNewCreated", 1);
    entry.Set("Description", value);
    if (image) entry.SetLong("Mark", 1);
    if (existing)
      queue->Put();
    else
      queue->Add();
    return Outcome::Accept;
  };
  if (!RunDialog(w, run)) return false;
  if (result) *result = taken;
  return true;
}

bool ConfirmBroadCast(Window*, int) {
  static const char* const kLines[] = {
      "This is a Broadcast transmission.   Please ensure that you",
      "have tested it to at least 2 names on your own fax machine",
      "before you commit to that transmission.   Do this to ensure",
      "that you have set up the In Document commands (mail merge",
      "fields) properly and that the Cover Page,   and attachments",
      "come through properly.",
      "Failure to perform this test may prove to be a costly mistake.",
  };
  Window w("ConfirmBroadCast", "Broadcast Warning", QRect(0, 0, 300, 100));
  int y = 6;
  for (size_t i = 0; i < std::size(kLines); ++i, y += 10)
    w.AddPrompt("?String" + std::to_string(i + 1), kLines[i], QRect(8, y, 286, 9));
  int ok = w.AddButton("?Close", "S&end", QRect(195, 80, 45, 14));
  int cancel = w.AddButton("?Cancel", "&Cancel", QRect(248, 80, 45, 14));
  return RunDialog(w, DialogRun{"ConfirmBroadCast", ok, cancel, QSize(), {}, {}});
}

}  // namespace mvn::client
