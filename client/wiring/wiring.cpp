// The main window's items wired to the procedures of the other windows.
#include "client/wiring/wiring.h"

#include "client/addressbook/exchange.h"
#include "client/addressbook/procedures.h"
#include "client/app/procedures.h"
#include "client/sendlog/procedures.h"
#include "client/setup/procedures.h"
#include "framework/core/services.h"
#include "framework/core/strings.h"
#include "helptips/hooks/hooks.h"
#include "helptips/procedures.h"

namespace mvn::client {

namespace {

// The command a setup window opens a text or RTF file with ([Default]
// TextEditor, else xdg-open; the path is added as one argument).
std::string Editor(const framework::IniFile& ini) {
  std::string editor = ini.Fetch("Default", "TextEditor");
  return editor.empty() ? "xdg-open" : editor;
}

// The export: the target named in a save dialog, the book written into it,
// the outcome told.
void Export(framework::Window*, MainContext& c) {
  framework::FileDialogRequest r;
  r.mode = framework::FileDialogMode::Save;
  r.title = "Please name the file to save";
  r.filters = "CSV File|*.csv;*.txt";
  std::string path;
  if (!framework::Services().FileDialog(r, &path) || framework::Clip(path).empty()) return;
  c.dictionary->File("MVCB").SetName(path);
  ExchangeResult result = ExportKDFToTxt(*c.dictionary);
  framework::Message(result.text, "Export",
                     result.status == ExchangeResult::Finished ? framework::Icon::Information
                                                               : framework::Icon::Exclamation);
}

// The import: the file chosen in an open dialog, its columns mapped in the
// options window, then the run; the send window's group list is reloaded.
// "Include first line" is kept while the client runs.
void Import(framework::Window* main, MainContext& c) {
  static bool include1stLine = false;
  framework::FileDialogRequest r;
  r.mode = framework::FileDialogMode::Open;
  r.title = "Please select a csv file to import from";
  r.filters = "CSV File|*.csv;*.txt";
  std::string path;
  if (!framework::Services().FileDialog(r, &path) || framework::Clip(path).empty()) return;
  ImportSession session;
  session.fileName = path;
  session.include1stLine = include1stLine;
  ImportTxtToKDF2option(main, *c.dictionary, session);
  include1stLine = session.include1stLine;
  if (!session.start) return;
  ExchangeResult result = ImportTxtToKDF2(*c.dictionary, session, c.reloadGroups);
  framework::Message(result.text, "Import",
                     result.status == ExchangeResult::Finished ? framework::Icon::Information
                                                               : framework::Icon::Exclamation);
}

}  // namespace

std::vector<std::string> WireClientWindows() {
  const std::vector<std::pair<std::string, MenuAction>> actions = {
      {"AboutWin", [](framework::Window* main, MainContext& c) { AboutWin(main, *c.ini); }},
      {"CmdSetup", [](framework::Window* main, MainContext& c) { CmdSetup(main, *c.ini); }},
      {"AdditionalOutputValues", [](framework::Window* main, MainContext& c) { AdditionalOutputValues(main, *c.ini); }},
      {"FindClient",
       [](framework::Window* main, MainContext& c) { FindClient(main, *c.dictionary, *c.ini, FindClientStart{}); }},
      {"GroupClientSetup",
       [](framework::Window* main, MainContext& c) { GroupClientSetup(main, *c.dictionary, *c.ini); }},
      {"AutoTextSetup",
       [](framework::Window* main, MainContext& c) { AutoTextSetup(main, *c.dictionary, *c.ini, Editor(*c.ini)); }},
      {"CoverPageSetup",
       [](framework::Window* main, MainContext& c) { CoverPageSetup(main, *c.dictionary, *c.ini, Editor(*c.ini)); }},
      {"ViewSendLog",
       [](framework::Window* main, MainContext& c) {
         SendJob job;
         ResendFields fields;
         if (ViewSendLog(main, *c.dictionary, *c.ini, job, &fields) && c.refill) c.refill(job, fields.recipient);
       }},
      {"RetryUnseccessful",
       [](framework::Window* main, MainContext& c) {
         if (c.prompter) RetryUnseccessful(main, *c.ini, *c.prompter);
       }},
      {"ExportKDFToTxt", Export},
      {"ImportTxtToKDF2", Import},
      {"ConfirmBeforeSend",
       [](framework::Window* main, MainContext& c) {
         // Called by the send with the job it is about to write.
         if (c.pendingJob && c.pendingRecipient)
           c.confirmed = ConfirmBeforeSend(main, *c.dictionary, *c.ini, *c.pendingRecipient, *c.pendingJob);
       }},
  };
  std::vector<std::string> wired;
  for (const auto& [name, action] : actions)
    if (SetMenuAction(name, action)) wired.push_back(name);
  // The tip requests of every window open the tip window (in place of the
  // hooks' minimal one); "IDE" requests run it on the calling thread.
  helptips::SetTipWindowFactory([](const helptips::TipRequest& request, bool) {
    helptips::TipWindowRequest tip;
    tip.procedure = request.procedure;
    tip.controlName = request.control;
    tip.controlType = request.controlType;
    tip.tipFile = request.tipFile;
    tip.storedX = request.x;
    tip.storedY = request.y;
    return helptips::TipWindow(tip);
  });
  return wired;
}

}  // namespace mvn::client
