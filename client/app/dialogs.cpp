// The small dialogs of the send window: a value prompt, a name and
// description prompt, the broadcast question; and the group list.
#include <QMainWindow>

#include "client/app/language.h"
#include "client/app/procedures.h"
#include "framework/core/record.h"
#include "framework/core/strings.h"
#include "framework/gui/window.h"
#include "helptips/hooks/hooks.h"

namespace mvn::client {

namespace fw = mvn::framework;
using fw::Window;

namespace {

// Runs a dialog window with OK and Cancel; true when OK closed it.
bool RunDialog(Window& w, const char* procedure, int ok, int cancel, const std::function<bool()>& check = {}) {
  bool accepted = false;
  std::string language = "ENGLISH";
  QObject::connect(&w, &Window::windowEvent, &w, [&, procedure](int event, int field) {
    if (event == fw::EventOpenWindow) {
      mvn::helptips::HintwellWindowOpened(&w, procedure, 0);
      LanguageWindowOpened(&w, procedure, &language);
    } else if (event == fw::EventAccepted && field == ok) {
      if (check && !check()) return;
      accepted = true;
      w.Close();
    } else if (event == fw::EventAccepted && field == cancel) {
      w.Close();
    } else if (event == fw::EventCloseWindow) {
      mvn::helptips::HintwellWindowClosed(&w);
    }
    int tip = mvn::helptips::HintwellTakeEvent(&w, event, field);
    if (tip > 0)
      mvn::helptips::HintwellTipRequest(fw::ControlTypeName(w.Type(tip)), w.UseName(tip).c_str(), procedure, "");
  });
  w.Run();
  return accepted;
}

}  // namespace

bool EnterValue2(Window*, std::string_view mode, std::string* value) {
  std::string m = fw::CutUtf8(fw::Upper(fw::Clip(mode)), 29);
  Window w("EnterValue2", "Please enter value", QRect(0, 0, 221, 104));
  w.AddPrompt("?Prompt", "Please enter value ", QRect(5, 8, 60, 10));
  int entry = w.AddEntry("?g_EnterValue", QRect(70, 6, 120, 11), 199);
  int ok = w.AddButton("?OK", "Close", QRect(90, 35, 45, 14));
  int cancel = w.AddButton("?Cancel", "&Cancel", QRect(145, 35, 45, 14));
  if (m.rfind("V=", 0) == 0) w.SetText(entry, m.substr(2));
  bool done = RunDialog(w, "EnterValue2", ok, cancel);
  if (done && value) *value = fw::CutUtf8(fw::Clip(w.Text(entry)), 199);
  return done;
}

bool GetNameValuesDialog(Window*, Dictionary& dictionary, std::string_view mode, NameValue* result) {
  Window w("GetNameValuesDialog", "Please Input file details:", QRect(0, 0, 218, 125));
  w.AddPrompt("?PromptName", "&Name:", QRect(5, 8, 50, 10));
  int n = w.AddEntry("?g_NameValueDialog:Name", QRect(60, 6, 150, 11), 149);
  w.AddPrompt("?PromptDescription", "&Description:", QRect(5, 24, 50, 10));
  int d = w.AddEntry("?g_NameValueDialog:Value", QRect(60, 22, 150, 11), 199);
  int ok = w.AddButton("?OK", "&OK", QRect(110, 50, 45, 14));
  int cancel = w.AddButton("?Cancel", "&Cancel", QRect(165, 50, 45, 14));
  bool done = RunDialog(w, "GetNameValuesDialog", ok, cancel);
  if (!done) return false;
  NameValue nv{fw::Clip(w.Text(n)), fw::Clip(w.Text(d))};
  std::string m = fw::Upper(fw::Clip(mode));
  if (m == "IMAGEFILE" || m == "COVERPAGE") {
    fw::Queue& queue = m == "COVERPAGE" ? dictionary.Queues().g_QcoverPages : dictionary.Queues().g_QimageFiles;
    queue.Buffer().Clear();
    queue.Buffer().Set("Name", nv.name);
    queue.Buffer().Set("Description", nv.value);
    queue.Buffer().SetLong("bNewCreated", 1);
    if (m == "IMAGEFILE") queue.Buffer().SetLong("Mark", 1);
    queue.Add();
  }
  if (result) *result = nv;
  return true;
}

bool ConfirmBroadCast(Window*, int recipients) {
  Window w("ConfirmBroadCast", "Dashpost", QRect(0, 0, 220, 60));
  w.AddPrompt("?Prompt", "This fax goes to " + std::to_string(recipients) + " recipients. Send it?",
              QRect(5, 8, 210, 20));
  int ok = w.AddButton("?OK", "&Send", QRect(110, 35, 45, 14));
  int cancel = w.AddButton("?Cancel", "&Cancel", QRect(165, 35, 45, 14));
  return RunDialog(w, "ConfirmBroadCast", ok, cancel);
}

int LoadGroupList(Dictionary& dictionary) {
  fw::Queue& q = dictionary.Queues().g_Qgroups;
  q.Free();
  BookTable t(dictionary.File("MVdefaults"));
  if (!t.Ok()) return 0;
  FileManager& f = t.File();
  if (f.Set("MVd:KeyGroupID") != 0) return 0;
  while (f.Next() == 0) {
    q.Buffer().Clear();
    q.Buffer().Set("GroupID", fw::Clip(f.Buffer().Get("GroupID")));
    q.Buffer().SetLong("Mark", 0);
    q.Add();
  }
  return q.Records();
}

}  // namespace mvn::client
