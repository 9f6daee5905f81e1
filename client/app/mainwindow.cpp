// The main send window: recipients, groups, attachments, cover page and
// send options, and the send through the request writer.
#include <QAction>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include "client/addressbook/exchange.h"
#include "client/addressbook/procedures.h"
#include "client/addressbook/settings.h"
#include "client/app/sendprompts.h"
#include "client/ui/language.h"
#include "client/app/procedures.h"
#include "client/ui/windowhooks.h"
#include "client/core/delivery.h"
#include "client/sendlog/procedures.h"
#include "client/setup/procedures.h"
#include "client/setup/setup.h"
#include "framework/core/errors.h"
#include "framework/core/record.h"
#include "framework/core/services.h"
#include "framework/core/strings.h"
#include "framework/gui/listcontrol.h"
#include "framework/gui/window.h"
#include "helptips/hooks/hooks.h"
#include "platform/kernel/regularfile.h"

namespace mvn::client {

namespace fw = mvn::framework;
using fw::Window;

namespace {

constexpr size_t kMessageLimit = kMessageTextBytes;

bool Yes(const fw::IniFile& ini, const char* section, const char* key) {
  return fw::Upper(fw::Clip(fw::Left(ini.Fetch(section, key)))) == "YES";
}
bool NotNo(const fw::IniFile& ini, const char* section, const char* key) {
  return fw::Upper(fw::Clip(fw::Left(ini.Fetch(section, key)))) != "NO";
}
bool EndsCsv(std::string_view name) {
  return name.size() >= 4 && fw::Upper(name.substr(name.size() - 4)) == ".CSV";
}

class WindowPrompter : public Prompter {
 public:
  void Tell(const std::string& text) override { fw::Message(text, "Dashpost", fw::Icon::Exclamation); }
  bool AskContinue(const std::string& text) override {
    return fw::Message(text, "Dashpost", fw::Icon::Question, fw::ButtonOk | fw::ButtonCancel) == fw::ButtonOk;
  }
  bool AskWaitAgain(const std::string& text) override {
    return fw::Message(text, "Dashpost", fw::Icon::Question, fw::ButtonRetry | fw::ButtonCancel) == fw::ButtonRetry;
  }
};

struct MainState;
// What a menu item or a control does when it is accepted.
using FieldHandler = std::function<void(Window&, MainState&)>;

// The window's menus: what each item (and each control) does, by field,
// and the items whose marks or texts change while the window is up.
struct MainMenus {
  std::map<int, FieldHandler> handlers;
  // The marked choices of Send Options and Setup.
  int priority[3] = {}, notification[3] = {}, resolution[2] = {}, pageSize[2] = {}, groupSend[5] = {};
  int sendLogYes = 0, sendLogNo = 0;
  int showImageYes = 0, showImageNo = 0, showListsYes = 0, showListsNo = 0;
  // The menus built at run time: what their last build made.
  int booksMenu = 0, coverMenu = 0;
  std::vector<int> bookFields;    // the items and submenus of Address Books
  std::vector<int> bookHandled;   // the fields of that build that have a handler
  std::vector<int> coverFields;   // the item of g_QcoverPages entry i is coverFields[i - 1]
  std::vector<int> languageFields;
};

// The state of the window beside its controls.
struct MainState {
  MainContext* ctx = nullptr;
  // What the next send is made of beside the fields.
  SendOptions options;
  SingleRecipient recipient;
  bool lookupFilled = false;  // the three fields hold a record that a lookup found
  std::string datePicture = "dd/mm/yyyy";
  bool minimiseOnSend = false;
  // A Re-Send from the send log: the copy of the kept document it attached
  // and the resend flag, until the next written send.
  std::string resendAttachment;
  std::string resendDisplay;  // the name the fax gives that document
  bool resend = false;
  // The SendToList options that stay set for the run (the send-to choice
  // and the confirmation are set anew at every send).
  bool replaceAttention = false;
  std::string attentionName;
  // The window's own settings, written when it closes.
  std::string windowLanguage = "ENGLISH";
  bool showImageTab = false, showListsTab = false;
  bool sendLog = true;
  LanguageMenu languages;
  BuiltInTexts builtIn;  // the texts the window was built with
  MainMenus menus;
  WindowPrompter prompter;
};

// A handler for a field; it replaces the field's earlier one.
void On(MainState& s, int field, FieldHandler handler) { s.menus.handlers[field] = std::move(handler); }

// A menu item and what it does.
int Item(Window& w, MainState& s, const std::string& useName, const std::string& text, int menu,
         FieldHandler handler) {
  int field = w.AddItem(useName, text, menu);
  On(s, field, std::move(handler));
  return field;
}

// Runs the handler of an accepted field; a copy runs, since a handler may
// rebuild the menu that holds its own entry.
void RunHandler(Window& w, MainState& s, int field) {
  auto it = s.menus.handlers.find(field);
  if (it == s.menus.handlers.end()) return;
  FieldHandler handler = it->second;
  handler(w, s);
}

void CheckGroup(Window& w, const int* items, int count, int chosen) {
  for (int i = 0; i < count; ++i) w.SetChecked(items[i], i + 1 == chosen);
}

void ShowOptions(Window& w, MainState& s) {
  MainMenus& m = s.menus;
  CheckGroup(w, m.priority, 3, static_cast<int>(s.options.priority));
  CheckGroup(w, m.notification, 3, static_cast<int>(s.options.notification));
  CheckGroup(w, m.resolution, 2, static_cast<int>(s.options.resolution));
  CheckGroup(w, m.pageSize, 2, static_cast<int>(s.options.pageSize));
  CheckGroup(w, m.groupSend, 5, static_cast<int>(s.options.groupSend));
  std::vector<std::string> covers = CoverPageMenu(*s.ctx->dictionary, s.options.coverPage);
  for (size_t i = 0; i < m.coverFields.size() && i < covers.size(); ++i) w.SetText(m.coverFields[i], covers[i]);
}

Readiness ReadinessOf(Window& w, MainState& s) {
  Dictionary& d = *s.ctx->dictionary;
  GlobalQueues& q = d.Queues();
  Readiness r;
  r.destination = !fw::Clip(w.Text(MainDestination)).empty();
  r.sendToAll = w.IsChecked(MainSendToAll) && !w.IsHidden(MainSendToAll);
  for (int i = 1; i <= q.g_Qgroups.Records(); ++i)
    if (q.g_Qgroups.Entry(i).GetLong("Mark")) r.markedGroup = true;
  for (int i = 1; i <= q.g_QremoteLists.Records(); ++i)
    if (q.g_QremoteLists.Entry(i).GetLong("Mark")) r.markedList = true;
  for (int i = 1; i <= q.g_QimageFiles.Records(); ++i)
    if (q.g_QimageFiles.Entry(i).GetLong("Mark")) r.markedRemoteFile = true;
  for (int i = 1; i <= q.g_QattachOtherFiles.Records(); ++i)
    r.localFiles.emplace_back(fw::Clip(q.g_QattachOtherFiles.Entry(i).Get("FilePathName")),
                              q.g_QattachOtherFiles.Entry(i).GetLong("Mark") != 0);
  r.mainAttachment = !fw::Clip(s.ctx->mainAttachment).empty() || !fw::Clip(s.resendAttachment).empty();
  r.coverMessage = w.IsChecked(MainIncludeCover) && !w.Text(MainMessage).empty();
  return r;
}

void UpdateSendButton(Window& w, MainState& s) { w.Disable(MainSend, !SendReady(ReadinessOf(w, s))); }

// The book searched by one field for the first record beginning with text.
bool Lookup(Dictionary& d, const char* key, const char* field, const std::string& text, fw::Record* found) {
  BookTable t(d.File("MVClients"));
  if (!t.Ok() || text.empty()) return false;
  FileManager& f = t.File();
  f.Buffer().Clear();
  f.Buffer().Set(field, text);
  if (f.SetFrom(key) != 0) return false;
  if (f.Next() != 0) return false;
  std::string v = f.Buffer().Get(field);
  if (v.compare(0, text.size(), text) != 0) return false;
  *found = f.Buffer();
  return true;
}

// A record of the book becomes the single recipient: the three fields and
// the hidden record id, title, name parts and attachment type.
void TakeRecord(Window& w, MainState& s, const fw::Record& record) {
  w.SetText(MainTo, fw::Clip(record.Get("ClientID")));
  w.SetText(MainCompany, fw::Clip(record.Get("Company")));
  w.SetText(MainDestination, fw::Clip(record.Get("PreferredDestination")));
  SelectRecipientRecord(s.recipient, record);
  s.lookupFilled = true;
}

void AfterLookup(Window& w, MainState& s, int field) {
  std::string text = fw::Clip(w.Text(field));
  static const struct { int field; const char* key; const char* name; } kBy[] = {
      {MainTo, "MVC:KeyClientID", "ClientID"},
      {MainCompany, "MVC:KeyCompany", "Company"},
      {MainDestination, "MVC:KeyPreferredDestination", "PreferredDestination"}};
  const char* key = nullptr;
  const char* name = nullptr;
  for (const auto& b : kBy)
    if (b.field == field) key = b.key, name = b.name;
  fw::Record record(MVClientsLayout());
  if (Lookup(*s.ctx->dictionary, key, name, text, &record)) {
    TakeRecord(w, s, record);
    w.Select(MainDestination);
  } else {
    // Only what an earlier match filled is cleared: a recipient typed by
    // hand keeps what the user typed.
    if (s.lookupFilled)
      for (int other : {MainTo, MainCompany, MainDestination})
        if (other != field) w.SetText(other, "");
    s.lookupFilled = false;
    s.recipient.name = fw::Clip(w.Text(MainTo));
    s.recipient.company = fw::Clip(w.Text(MainCompany));
    s.recipient.destination = fw::Clip(w.Text(MainDestination));
    if (field == MainTo) AcceptRecipientName(s.recipient);
    else AcceptRecipientAddress(s.recipient);
    s.recipient.recordId = 0;
  }
  s.recipient.name = fw::Clip(w.Text(MainTo));
  s.recipient.company = fw::Clip(w.Text(MainCompany));
  s.recipient.destination = fw::Clip(w.Text(MainDestination));
  UpdateSendButton(w, s);
}

void AddRecipient(Window& w, MainState& s) {
  std::string name = fw::Clip(w.Text(MainTo)), company = fw::Clip(w.Text(MainCompany)),
              dest = fw::Clip(w.Text(MainDestination));
  if (dest.empty()) {
    fw::Message("Can't add a record with blank destination field.", "Dashpost", fw::Icon::Exclamation);
    return;
  }
  FileManager& f = s.ctx->dictionary->File("MVClients");
  if (!f.IsOpen() && f.Open() != 0) {
    fw::Message("Error occurs when insert recepient:" + std::to_string(fw::ErrorCode()) + "=" + fw::ErrorText(),
                "Dashpost", fw::Icon::Exclamation);
    return;
  }
  {
    BookTable t(f);
    FileManager& c = t.File();
    c.Buffer().Clear();
    c.Buffer().Set("PreferredDestination", dest);
    if (t.Ok() && c.SetFrom("MVC:KeyPreferredDestination") == 0) {
      while (c.Next() == 0 && fw::Clip(c.Buffer().Get("PreferredDestination")) == dest) {
        if (fw::Clip(c.Buffer().Get("ClientID")) == name && fw::Clip(c.Buffer().Get("Company")) == company) {
          fw::Message("Record with same attention, company and destination field values already exists\r"
                      "Please change the values and try again.",
                      "Dashpost", fw::Icon::Exclamation);
          return;
        }
      }
    }
  }
  fw::Record& r = f.Buffer();
  r.Clear();
  r.Set("ClientID", name);
  r.Set("Company", company);
  r.Set("PreferredDestination", dest);
  r.Set(dest.find('@') != std::string::npos ? "Email" : "FaxNum", dest);
  if (f.TryInsert() != 0)
    fw::Message("Error occurs when insert recepient:" + std::to_string(fw::ErrorCode()) + "=" + fw::ErrorText(),
                "Dashpost", fw::Icon::Exclamation);
}

// A date typed in the window's picture (a picture without a day stands for
// today's day of the month shown), and a time; both must be real ones.
bool CheckDateTime(Window& w, MainState& s, int32_t* date, int32_t* time) {
  std::string pic = s.datePicture;
  bool ok = false;
  std::string text = fw::Clip(fw::Left(w.Text(MainSendDate)));
  *date = text.empty() ? fw::Today() : SendDateOf(text, pic, fw::Today(), &ok);
  if (!text.empty() && (!ok || *date == 0)) {
    fw::Message("The send date " + text + " is not a valid date (" + pic + "). Please correct it and retry.",
                "Dashpost", fw::Icon::Exclamation);
    return false;
  }
  std::string t = fw::Clip(fw::Left(w.Text(MainSendTime)));
  *time = t.empty() ? fw::Clock() : static_cast<int32_t>(fw::Deformat(t, "@T1", &ok));
  if (!t.empty() && (!ok || *time == 0)) {
    fw::Message("The send time " + t + " is not a valid time (hh:mm). Please correct it and retry.", "Dashpost",
                fw::Icon::Exclamation);
    return false;
  }
  return true;
}

void SetMainCaption(Window& w, MainState& s);

// Why a send found nobody to send to: the marked groups have no members,
// or none of their members has a destination under the Group Send
// Preference.
std::string NobodyToSendTo(Dictionary& d, GroupSend preference) {
  GlobalQueues& q = d.Queues();
  bool marked = false;
  int members = 0;
  BookTable links(d.File("MVGroupClient"));
  BookTable clients(d.File("MVClients"));
  for (int g = 1; g <= q.g_Qgroups.Records(); ++g) {
    const fw::Record& group = q.g_Qgroups.Entry(g);
    if (group.GetLong("Mark") == 0) continue;
    marked = true;
    if (!links.Ok() || !clients.Ok()) continue;
    std::string id = fw::Clip(group.Get("GroupID"));
    FileManager& m = links.File();
    m.Buffer().Clear();
    m.Buffer().Set("GroupID", id);
    if (m.SetFrom("MVGC:KeyGroupID") != 0) continue;
    while (m.Next() == 0 && fw::CompareNoCase(fw::Clip(m.Buffer().Get("GroupID")), id) == 0) {
      FileManager& c = clients.File();
      c.Buffer().Clear();
      c.Buffer().SetLong("PK_MVClientID", m.Buffer().GetLong("FK_MVClientID"));
      if (c.TryFetch("MVC:KeyPK_MVClientID") == 0) ++members;
    }
  }
  if (!marked) return "There is nobody to send to: please give a destination or mark a group or a list.";
  if (members == 0) return "There is nobody to send to: the marked groups have no members.";
  static const char* const kPreference[] = {"", "Fax Only", "Email Only", "Fax then Email", "Fax and Email",
                                            "Use Entry Default"};
  int p = static_cast<int>(preference);
  if (p < 1 || p > 5)
    return "There is nobody to send to: none of the " + std::to_string(members) +
           " members of the marked groups has a preferred destination.";
  return "There is nobody to send to: none of the " + std::to_string(members) +
         " members of the marked groups has a destination under the Group Send Preference \"" + kPreference[p] +
         "\".";
}

// The reference and the charge code where they are mandatory, and the
// date and time; the charge code (typed, or the chosen entry of the user's
// codes when a charge-account file is in use) in *charge. Tells what is
// wrong.
bool CheckSendFields(Window& w, MainState& s, std::string* charge, int32_t* date, int32_t* time) {
  MainContext& c = *s.ctx;
  const fw::IniFile& ini = *c.ini;
  if (Yes(ini, "Default", "MandatoryRef") && fw::Clip(w.Text(MainReference)).empty()) {
    fw::Message("Reference field can't be blank (mandatory). Please fill in and retry.", "Dashpost",
                fw::Icon::Exclamation);
    return false;
  }
  *charge = w.Text(MainChargeCode);
  if (w.IsHidden(MainChargeCode)) {
    charge->clear();
    fw::Queue& codes = c.dictionary->Queues().g_ChargeCodeQ;
    int row = w.Choice(MainChargeList);
    if (row > 0 && row <= codes.Records()) *charge = codes.Entry(row).Get("Code");
  }
  std::string mandatoryCharge = fw::Upper(fw::Clip(ini.Fetch("Default", "MandatoryCharge")));
  if (fw::Clip(*charge).empty() && (mandatoryCharge == "YES" || !c.chargeTemporary)) {
    fw::Message("Chargecode field can't be blank (mandatory). Please fill in and retry.", "Dashpost",
                fw::Icon::Exclamation);
    return false;
  }
  return CheckDateTime(w, s, date, time);
}

// The recipient list g_QsendTo from the window; false, told, when the fax
// would go to nobody.
bool BuildRecipients(Window& w, MainState& s, SendListSource* source) {
  Dictionary& d = *s.ctx->dictionary;
  source->recipient = s.recipient;
  source->recipient.name = fw::Clip(w.Text(MainTo));
  source->recipient.company = fw::Clip(w.Text(MainCompany));
  source->recipient.destination = fw::Clip(w.Text(MainDestination));
  source->sendToAll = w.IsChecked(MainSendToAll);
  source->groupSend = s.options.groupSend;
  w.SetWindowCursor(true);
  BuildSendList(d, *source);
  w.SetWindowCursor(false);
  if (d.Queues().g_QsendTo.Records() > 0) return true;
  if (source->sendToAll) {
    // A request without a target would be sent to nobody.
    fw::Message("There is nobody to send to: the current address book holds no recipients.", "Dashpost",
                fw::Icon::Exclamation);
    return false;
  }
  // Without a recipient the fax still goes to the lists it names: the
  // marked remote lists and the marked local .CSV lists.
  const Readiness r = ReadinessOf(w, s);
  bool listTarget = r.markedList;
  for (const auto& [path, marked] : r.localFiles)
    if (marked && EndsCsv(path)) listTarget = true;
  if (!listTarget) fw::Message(NobodyToSendTo(d, source->groupSend), "Dashpost", fw::Icon::Exclamation);
  return listTarget;
}

// The job the send writes, from the window and the run's choices.
SendJob JobOf(Window& w, MainState& s, const std::string& charge, int32_t date, int32_t time, bool sendToAll) {
  MainContext& c = *s.ctx;
  SendJob job;
  job.reference = w.Text(MainReference);
  job.chargeCode = charge;
  job.sendDate = date;
  job.sendTime = time;
  job.retryProfile = s.options.retryProfile;
  const bool commandLineFile = !fw::Clip(c.mainAttachment).empty();
  job.mainAttachment = commandLineFile ? c.mainAttachment : s.resendAttachment;
  if (!commandLineFile) job.mainDisplay = s.resendDisplay;
  job.resend = s.resend;
  job.notification = s.options.notification;
  job.priority = s.options.priority;
  job.resolution = s.options.resolution;
  job.pageSize = s.options.pageSize;
  job.messageText = w.Text(MainMessage);
  job.coverPage = s.options.coverPage;
  job.includeCoverMessage = w.IsChecked(MainIncludeCover);
  job.sendToAll = sendToAll;
  job.sendToOption = 1;
  // The Replace Attention choice and its name stay set for the run.
  job.replaceAttention = s.replaceAttention;
  job.attentionName = s.attentionName;
  return job;
}

// MinimiseOnSend: the window cleared for the next fax, and minimised.
void ClearForNextFax(Window& w, MainState& s) {
  for (int f : {MainTo, MainCompany, MainDestination, MainReference, MainMessage}) w.SetText(f, "");
  s.recipient = SingleRecipient();  // no hidden title or name part carries over
  s.lookupFilled = false;
  w.SetText(MainSendDate, fw::Format(fw::Today(), s.datePicture));
  w.SetText(MainSendTime, fw::Format(fw::Clock(), "@T1"));
  w.SetChecked(MainIncludeCover, false);
  GlobalQueues& q = s.ctx->dictionary->Queues();
  q.g_QattachOtherFiles.Free();
  for (fw::Queue* queue : {&q.g_Qgroups, &q.g_QimageFiles, &q.g_QremoteLists})
    for (int i = 1; i <= queue->Records(); ++i) {
      queue->Get(i);
      queue->Buffer().SetLong("Mark", 0);
      queue->Put();
    }
  for (int f : {MainGroups, MainRemoteFiles, MainRemoteLists, MainLocalFiles}) w.Display(f);
  w.Minimise();
  UpdateSendButton(w, s);
}

void Send(Window& w, MainState& s) {
  MainContext& c = *s.ctx;
  const fw::IniFile& ini = *c.ini;
  std::string charge;
  int32_t date = 0, time = 0;
  if (!CheckSendFields(w, s, &charge, &date, &time)) return;
  SendListSource source;
  if (!BuildRecipients(w, s, &source)) return;
  int recipients = c.dictionary->Queues().g_QsendTo.Records();
  if (recipients >= 2 && Yes(ini, "Default", "DisplayBroadCastMessage") && !ConfirmBroadCast(&w, recipients)) return;
  // The job the send writes is built first: the confirmation shows (and
  // may change) exactly what is sent; its cancel sends nothing.
  SendJob job = JobOf(w, s, charge, date, time, source.sendToAll);
  if (Yes(ini, "Default", "DisplayConfirmScreen")) {
    bool confirmed = ConfirmBeforeSend(&w, *c.dictionary, *c.ini, source.recipient, job);
    s.replaceAttention = job.replaceAttention;
    s.attentionName = job.attentionName;
    if (!confirmed) return;
  }

  const bool commandLineFile = !fw::Clip(c.mainAttachment).empty();
  SendResult result = SendFaxJob(*c.dictionary, ini, job, s.prompter, c.writer);
  // A name the writer took from the first target is not the user's.
  s.attentionName = job.attentionName;
  // The command line's file went to the send client, which consumes it.
  if (result.started && commandLineFile) c.mainAttachmentHandedOver = true;
  if (!result.written) return;
  if (!s.resendAttachment.empty()) {
    s.resendAttachment.clear();
    s.resendDisplay.clear();
    SetMainCaption(w, s);
  }
  s.resend = false;
  if (commandLineFile) {
    // The command line's file is sent: the program ends.
    QTimer::singleShot(0, &w, [&w] { w.Close(); });
    return;
  }
  if (s.minimiseOnSend) ClearForNextFax(w, s);
}

// A Re-Send from the send log: the recipient as typed, reference, charge
// code and message text back into the fields; the queues it refilled (local
// files, remote-file marks, cleared group and list marks) shown again.
void Refill(Window& w, MainState& s, const SendJob& job, const SingleRecipient& recipient) {
  MainContext& c = *s.ctx;
  s.recipient = recipient;
  s.lookupFilled = false;
  w.SetText(MainTo, recipient.name);
  w.SetText(MainCompany, recipient.company);
  w.SetText(MainDestination, recipient.destination);
  w.SetText(MainReference, job.reference);
  if (w.IsHidden(MainChargeCode)) {
    // The charge list: the entry of the logged code, when the user has it.
    fw::Queue& codes = c.dictionary->Queues().g_ChargeCodeQ;
    for (int i = 1; i <= codes.Records(); ++i)
      if (fw::Clip(codes.Entry(i).Get("Code")) == fw::Clip(job.chargeCode)) w.SetChoice(MainChargeList, i);
  } else {
    w.SetText(MainChargeCode, job.chargeCode);
  }
  w.SetText(MainMessage, job.messageText);
  w.SetChecked(MainIncludeCover, !job.messageText.empty());
  w.SetChecked(MainSendToAll, job.sendToAll);
  s.resendAttachment = job.mainAttachment;
  s.resendDisplay = job.mainDisplay;
  s.resend = job.resend;
  SetMainCaption(w, s);
  for (int f : {MainGroups, MainRemoteFiles, MainRemoteLists, MainLocalFiles}) w.Display(f);
  UpdateSendButton(w, s);
}

void LoadChargeCodes(Window& w, MainState& s) {
  Dictionary& d = *s.ctx->dictionary;
  fw::Queue& q = d.Queues().g_ChargeCodeQ;
  q.Free();
  if (s.ctx->chargeTemporary) {
    w.Hide(MainChargeList);
    return;
  }
  w.Hide(MainChargeCode);
  UserIdentity me = GetUserIdentity(s.ctx->ini->Fetch("Files", "DeliveryCommand"));
  BookTable users(d.File("Charge_user"));
  BookTable links(d.File("Charge_userAccount"));
  BookTable accounts(d.File("Charge_account"));
  if (!users.Ok() || !links.Ok() || !accounts.Ok()) return;
  users.File().Buffer().Clear();
  users.File().Buffer().Set("UserName", fw::Clip(me.userId));
  // A user without a record gets an empty list (no message), and an
  // account that cannot be read is skipped.
  if (users.File().TryFetch("CHRU:KeyUserName") != 0) return;
  int64_t id = users.File().Buffer().GetLong("PK_userID");
  links.File().Buffer().Clear();
  links.File().Buffer().SetLong("FK_userID", id);
  if (links.File().SetFrom("CHRUA:KeyFK_userID") != 0) return;
  while (links.File().Next() == 0 && links.File().Buffer().GetLong("FK_userID") == id) {
    accounts.File().Buffer().Clear();
    accounts.File().Buffer().SetLong("PK_accountID", links.File().Buffer().GetLong("FK_accountID"));
    if (accounts.File().TryFetch("CHRA:KeyPK_accountID") != 0) continue;
    q.Buffer().Clear();
    q.Buffer().Set("Description", accounts.File().Buffer().Get("AccountDescription"));
    q.Buffer().Set("Code", accounts.File().Buffer().Get("AccountCode"));
    q.Add();
  }
  q.Sort({"Description"});
}

// A cover page chosen by its entry in g_QcoverPages.
void ChooseCoverPage(Window& w, MainState& s, int entry) {
  std::string page = CoverPageAt(*s.ctx->dictionary, entry);
  if (!page.empty()) s.options.coverPage = page;
  ShowOptions(w, s);
}

// The Cover Page submenu from g_QcoverPages (the chosen page marked).
void BuildCoverPageMenu(Window& w, MainState& s) {
  MainMenus& m = s.menus;
  for (int f : m.coverFields) {
    m.handlers.erase(f);
    w.RemoveMenuControl(f);
  }
  m.coverFields.clear();
  if (s.ctx->dictionary->Queues().g_QcoverPages.Records() == 0) {
    m.coverFields.push_back(w.AddItem("?CoverNone", "No cover page available", m.coverMenu));
    w.Disable(m.coverFields.back());
    return;
  }
  for (const std::string& text : CoverPageMenu(*s.ctx->dictionary, s.options.coverPage)) {
    int entry = static_cast<int>(m.coverFields.size()) + 1;
    m.coverFields.push_back(w.AddItem("", text, m.coverMenu, "Click this menu item to select this cover page."));
    On(s, m.coverFields.back(), [entry](Window& w, MainState& s) { ChooseCoverPage(w, s, entry); });
  }
}

void SetMainCaption(Window& w, MainState& s) {
  MainContext& c = *s.ctx;
  fw::Queue& books = c.dictionary->Queues().g_QaddressBooks;
  std::string book;
  if (c.currentBook >= 1 && c.currentBook <= books.Records()) book = books.Entry(c.currentBook).Get("Name");
  std::string caption =
      MainCaption(*c.ini, fw::Clip(GetUserIdentity(c.ini->Fetch("Files", "DeliveryCommand")).userName), book);
  // The document the fax carries: the command line's, or a Re-Send's.
  if (!c.mainAttachment.empty()) caption += " - " + c.mainAttachment;
  else if (!s.resendAttachment.empty())
    caption += " - " + (s.resendDisplay.empty() ? s.resendAttachment : s.resendDisplay);
  w.SetCaption(caption);
}

void SwitchAddressBook(Window& w, MainState& s, int position);
void DeleteBook(Window& w, MainState& s, int position);
void CreateBook(Window& w, MainState& s);
void PickRecipient(Window& w, MainState& s, int tab);
void SetUpGroups(Window& w, MainState& s);

// The Address Books menu: every book (a submenu with Select and Delete for
// an administrator), then Create, View and Group Setup.
void BuildAddressBookMenu(Window& w, MainState& s) {
  MainMenus& m = s.menus;
  for (int f : m.bookHandled) m.handlers.erase(f);
  for (int f : m.bookFields) w.RemoveMenuControl(f);
  m.bookFields.clear();
  m.bookHandled.clear();
  auto handle = [&](int field, FieldHandler handler) {
    On(s, field, std::move(handler));
    m.bookHandled.push_back(field);
  };
  // The fixed items: their use names and what they do.
  const struct {
    const char* text;
    const char* useName;
    void (*handler)(Window&, MainState&);
  } fixed[] = {{"Create an Address Book", "?CreateBook", CreateBook},
               {"View Current Address Book", "?ViewBook", [](Window& w, MainState& s) { PickRecipient(w, s, 1); }},
               {"&Group Setup", "?GroupSetup", SetUpGroups}};
  for (const BookMenuItem& item : AddressBookMenu(*s.ctx->dictionary, *s.ctx->ini, s.ctx->currentBook)) {
    int f = 0;
    const int position = item.position;
    if (item.separator) {
      f = w.AddSeparator(m.booksMenu);
    } else if (position == 0) {
      for (const auto& x : fixed) {
        if (item.text != x.text) continue;
        f = w.AddItem(x.useName, item.text, m.booksMenu, item.helpLine);
        handle(f, x.handler);
      }
    } else if (item.submenu) {
      std::string use = "?Book" + std::to_string(position);
      f = w.AddMenu(use, item.text, m.booksMenu);
      int select = w.AddItem(use + "Select", "Select", f);
      int remove = w.AddItem(use + "Delete", "Delete", f);
      w.Disable(select, !item.subItemsEnabled);
      w.Disable(remove, !item.subItemsEnabled);
      handle(select, [position](Window& w, MainState& s) { SwitchAddressBook(w, s, position); });
      handle(remove, [position](Window& w, MainState& s) { DeleteBook(w, s, position); });
    } else {
      f = w.AddItem("?Book" + std::to_string(position), item.text, m.booksMenu);
      handle(f, [position](Window& w, MainState& s) { SwitchAddressBook(w, s, position); });
    }
    m.bookFields.push_back(f);
  }
}

// Closes the current book's tables and opens the book at position.
bool OpenBookAt(Dictionary& d, int position, std::string* why) {
  fw::Queue& books = d.Queues().g_QaddressBooks;
  if (position < 1 || position > books.Records()) return false;
  for (const char* table : {"MVClients", "MVusers", "MVGroupClient", "MVdefaults"}) d.File(table).Close();
  const fw::Record& book = books.Entry(position);
  if (!d.SetAddressBookFiles(book.Get("pathName"), book.Get("Driver"), why)) return false;
  if (d.OpenAddressBook() != 0) {
    *why = fw::ErrorText();
    return false;
  }
  return true;
}

// Switching the book: its tables, its groups (unmarked), the menu and the
// caption. A recipient taken from the other book stays as typed: its
// record id would name a record of the wrong book. A book that cannot be
// opened is told and the previous one opened again.
void SwitchAddressBook(Window& w, MainState& s, int position) {
  MainContext& c = *s.ctx;
  Dictionary& d = *c.dictionary;
  if (!SwitchesBook(d, c.currentBook, position)) return;
  std::string why;
  if (!OpenBookAt(d, position, &why)) {
    fw::Message("The address book " + fw::Clip(d.Queues().g_QaddressBooks.Entry(position).Get("Name")) +
                    " cannot be opened: " + why,
                "Dashpost", fw::Icon::Exclamation);
    std::string ignored;
    OpenBookAt(d, c.currentBook, &ignored);
    return;
  }
  c.currentBook = position;
  s.recipient.recordId = 0;
  s.lookupFilled = false;
  LoadGroupList(d);
  w.Display(MainGroups);
  BuildAddressBookMenu(w, s);
  SetMainCaption(w, s);
  UpdateSendButton(w, s);
  // A book opened for looking says so once, as at the start.
  if (!d.ReadOnlyBook().empty())
    fw::Message("The address book \"" + fw::Clip(d.Queues().g_QaddressBooks.Entry(position).Get("Name")) +
                    "\" is opened for looking only: " + d.ReadOnlyBook() + ".",
                "Dashpost", fw::Icon::Exclamation);
}

void CreateBook(Window& w, MainState& s) {
  NameValue entry;
  if (!GetNameValuesDialog(&w, *s.ctx->dictionary, "Addressbook", &entry)) return;
  std::string message;
  if (!CreateAddressBook(*s.ctx->dictionary, *s.ctx->ini, entry.name, entry.value, &message)) {
    fw::Message(message, "Dashpost", fw::Icon::Exclamation);
    return;
  }
  BuildAddressBookMenu(w, s);
}

void DeleteBook(Window& w, MainState& s, int position) {
  Dictionary& d = *s.ctx->dictionary;
  fw::Queue& books = d.Queues().g_QaddressBooks;
  if (position < 1 || position > books.Records()) return;
  if (fw::Message(DeleteBookQuestion(books.Entry(position).Get("Name")), "Please confirm", fw::Icon::Question,
                  fw::ButtonYes | fw::ButtonNo) != fw::ButtonYes)
    return;
  std::string message;
  if (!DeleteAddressBook(d, *s.ctx->ini, position, &s.ctx->currentBook, &message))
    fw::Message(message, "Dashpost", fw::Icon::Exclamation);
  BuildAddressBookMenu(w, s);
  SetMainCaption(w, s);
}

// The data texts of the run-time menus, after a translation set the texts
// that were captured with them.
void ShowRunTimeMenus(Window& w, MainState& s) {
  BuildAddressBookMenu(w, s);
  ShowOptions(w, s);
  std::vector<std::string> texts = s.languages.Texts();
  const std::vector<int>& fields = s.menus.languageFields;
  for (size_t i = 0; i < fields.size() && i < texts.size(); ++i) w.SetText(fields[i], texts[i]);
}

void ChooseWindowLanguage(Window& w, MainState& s, int item) {
  LanguageChoice choice = ChooseLanguage(s.languages, item, s.windowLanguage);
  if (choice.language.empty()) return;
  SetLanguage(choice.language, s.ctx->iniPath);
  ApplyLanguage(w, "Main", s.builtIn, choice, s.ctx->iniPath);
  if (choice.translate) s.windowLanguage = choice.language;
  ShowRunTimeMenus(w, s);
  SetMainCaption(w, s);
}

void ShowSendLog(Window& w, MainState& s) {
  w.SetChecked(s.menus.sendLogYes, s.sendLog);
  w.SetChecked(s.menus.sendLogNo, !s.sendLog);
}

// The message text from an AutoText file chosen in a popup; a file that
// cannot be opened is greyed.
void InsertAutoText(Window& w, MainState& s) {
  fw::Queue& q = s.ctx->dictionary->Queues().g_QautoText;
  LoadAutoTextList(*s.ctx->ini, q);
  if (q.Records() == 0) {
    fw::Message("No AutoText file is set up. Please add one with Setup, AutoText Setup.", "Dashpost",
                fw::Icon::Exclamation);
    return;
  }
  auto open = [](const std::string& path) {
    return mvn::kernel::OpenRegularFileForReading(path.c_str(), FILE_SHARE_READ | FILE_SHARE_WRITE);
  };
  std::vector<fw::PopupItem> items;
  for (int i = 1; i <= q.Records(); ++i) {
    HANDLE h = open(fw::Clip(q.Entry(i).Get("fullPathName")));
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    items.push_back(fw::PopupItem::Text(fw::Clip(q.Entry(i).Get("Name")), h == INVALID_HANDLE_VALUE));
  }
  int chosen = fw::Popup(items);
  if (chosen < 1 || chosen > q.Records()) return;
  std::string path = fw::Clip(q.Entry(chosen).Get("fullPathName"));
  HANDLE h = open(path);
  if (h == INVALID_HANDLE_VALUE) {
    fw::Message("The AutoText file " + path + " cannot be opened.", "Dashpost", fw::Icon::Exclamation);
    return;
  }
  // Blocks of 8,192 bytes, each without its trailing blanks; reading stops
  // once the text is past the message's limit, which then cuts it.
  std::string text;
  char block[8192];
  DWORD got = 0;
  bool ok = true;
  while (text.size() <= kMessageLimit) {
    if (!ReadFile(h, block, sizeof block, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    text += fw::Clip(std::string_view(block, got));
  }
  CloseHandle(h);
  if (!ok) {
    fw::Message("The AutoText file " + path + " could not be read.", "Dashpost", fw::Icon::Exclamation);
    return;
  }
  w.SetText(MainMessage, text);
  UpdateSendButton(w, s);
}

void AddLocalFile(Window& w, MainState& s) {
  fw::FileDialogRequest r;
  r.title = "Please select a file to attach";
  r.filters = "*.*";
  r.directory = fw::Clip(s.ctx->ini->Fetch("Default", "AttachPath"));
  std::string path;
  if (!fw::Services().FileDialog(r, &path) || path.empty()) return;
  if (path.size() > 150) {
    fw::Message("The file name is longer than 150 characters: " + path, "Dashpost", fw::Icon::Exclamation);
    return;
  }
  fw::Queue& q = s.ctx->dictionary->Queues().g_QattachOtherFiles;
  q.Buffer().Clear();
  q.Buffer().SetLong("Mark", 1);
  q.Buffer().Set("FilePathName", path);
  q.Add();
  s.ctx->ini->Update("Default", "AttachPath", std::filesystem::path(path).parent_path().string());
  w.Display(MainLocalFiles);
  UpdateSendButton(w, s);
}

void DeleteLocalFiles(Window& w, MainState& s) {
  fw::Queue& q = s.ctx->dictionary->Queues().g_QattachOtherFiles;
  for (int i = q.Records(); i >= 1; --i) {
    q.Get(i);
    if (q.Buffer().GetLong("Mark")) q.Delete();
  }
  w.Display(MainLocalFiles);
  UpdateSendButton(w, s);
}

// Marked image files leave the queue and the image-file INI file.
void DisconnectRemoteFiles(Window& w, MainState& s) {
  fw::Queue& q = s.ctx->dictionary->Queues().g_QimageFiles;
  fw::IniFile images(fw::Clip(s.ctx->ini->Fetch("Files", "ImageFiles")));
  for (int i = q.Records(); i >= 1; --i) {
    q.Get(i);
    if (!q.Buffer().GetLong("Mark")) continue;
    if (!images.FileName().empty()) images.DeleteKey("ImageFiles", fw::Clip(q.Buffer().Get("Name")));
    q.Delete();
  }
  w.Display(MainRemoteFiles);
  UpdateSendButton(w, s);
}

void DeleteRemoteFiles(Window& w, MainState& s) {
  WindowPrompter p;
  // The writer removes the entries only once the request was handed to the
  // command.
  WriteRemoteDeletion(*s.ctx->dictionary, *s.ctx->ini, p);
  w.Display(MainRemoteFiles);
  UpdateSendButton(w, s);
}

// Writes text to path through a temporary file beside it and a rename, so
// a failure never leaves half a file in place. The failure in *why.
bool WriteWhole(const std::string& path, const std::string& text, std::string* why) {
  std::string temp = path + ".tmp-dashpost";
  std::remove(temp.c_str());  // a leftover of an earlier failure
  FILE* f = std::fopen(temp.c_str(), "wbx");
  if (!f) {
    *why = "cannot create " + temp + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fflush(f) == 0) && ok;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
    *why = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

std::string Csv(std::string_view value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void UpdateEmailAddressBook(Window&, MainState& s) {
  std::string target = fw::Clip(s.ctx->ini->Fetch("Files", "EmailAddressBookLocation"));
  if (target.empty()) {
    fw::Message("EmailAddressBookLocation not set in configuration file Please contact your administrator.",
                "Dashpost", fw::Icon::Exclamation);
    return;
  }
  // One record per address: the display name and the address, each
  // blank-padded to its width, a NUL and a blank.
  constexpr size_t kDisplayNameBytes = 31;
  constexpr size_t kEmailBytes = 49;
  BookTable t(s.ctx->dictionary->File("MVClients"));
  std::string out;
  std::vector<std::string> skipped;
  if (t.Ok() && t.File().Set() == 0) {
    while (t.File().Next() == 0) {
      std::string email = fw::Clip(t.File().Buffer().Get("Email"));
      if (email.empty()) continue;
      if (email.size() > kEmailBytes) {
        skipped.push_back(email);
        continue;
      }
      out += PadField(fw::CutUtf8(t.File().Buffer().Get("DisplayName"), kDisplayNameBytes), kDisplayNameBytes);
      out += PadField(email, kEmailBytes);
      out += '\0';
      out += ' ';
    }
  }
  std::string why;
  if (!WriteWhole(target, out, &why)) {
    fw::Message("The e-mail address book was not updated: " + why, "Dashpost", fw::Icon::Exclamation);
    return;
  }
  if (!skipped.empty()) {
    std::string list;
    for (const std::string& e : skipped) list += "|" + e;
    fw::Message(
        "These addresses are longer than " + std::to_string(kEmailBytes) + " characters and were left out:" + list,
        "Dashpost", fw::Icon::Exclamation);
  }
  fw::Message("Update email address book succeeded!", "Dashpost", fw::Icon::Information);
}

// The save dialog of the CSV exports; false when no file was named.
bool NameCsvFileToSave(std::string* path) {
  return fw::Services().FileDialog(CsvSaveRequest(), path) && !fw::Clip(*path).empty();
}

void ExportGroups(Window& w, MainState& s) {
  Dictionary& d = *s.ctx->dictionary;
  bool all = w.IsChecked(MainSendToAll);
  fw::Queue& groups = d.Queues().g_Qgroups;
  // Without Send to all only the marked groups go: with none marked the
  // file would hold its header alone.
  bool marked = all;
  for (int i = 1; !marked && i <= groups.Records(); ++i) marked = groups.Entry(i).GetLong("Mark") != 0;
  if (!marked) {
    fw::Message("No group is marked. Please mark the groups to export.", "Dashpost", fw::Icon::Exclamation);
    return;
  }
  std::string path;
  if (!NameCsvFileToSave(&path)) return;
  if (!EndsCsv(path)) path += ".CSV";
  std::string out = "List,To,Company,Destination\r\n";
  BookTable members(d.File("MVGroupClient"));
  BookTable clients(d.File("MVClients"));
  for (int i = 1; members.Ok() && clients.Ok() && i <= groups.Records(); ++i) {
    if (!all && !groups.Entry(i).GetLong("Mark")) continue;
    std::string group = fw::Clip(groups.Entry(i).Get("GroupID"));
    FileManager& m = members.File();
    m.Buffer().Clear();
    m.Buffer().Set("GroupID", group);
    if (m.SetFrom("MVGC:KeyGroupID") != 0) continue;
    while (m.Next() == 0 && fw::Clip(m.Buffer().Get("GroupID")) == group) {
      FileManager& c = clients.File();
      c.Buffer().Clear();
      c.Buffer().SetLong("PK_MVClientID", m.Buffer().GetLong("FK_MVClientID"));
      if (c.Fetch("MVC:KeyPK_MVClientID") != 0) continue;
      out += Csv(group) + "," + Csv(fw::Clip(c.Buffer().Get("ClientID"))) + "," +
             Csv(fw::Clip(c.Buffer().Get("Company"))) + "," + Csv(c.Buffer().Get("PreferredDestination")) + "\r\n";
    }
  }
  std::string why;
  if (!WriteWhole(path, out, &why)) {
    fw::Message("The groups were not exported: " + why, "Dashpost", fw::Icon::Exclamation);
    return;
  }
  fw::Message("Export finished.", "Dashpost", fw::Icon::Information);
}

// The Remote Files and Lists tabs and their Yes/No items.
void ShowTabs(Window& w, MainState& s) {
  const MainMenus& m = s.menus;
  w.SetChecked(m.showImageYes, s.showImageTab);
  w.SetChecked(m.showImageNo, !s.showImageTab);
  w.SetChecked(m.showListsYes, s.showListsTab);
  w.SetChecked(m.showListsNo, !s.showListsTab);
  if (auto* tabs = qobject_cast<QTabWidget*>(w.ControlWidget(MainSheetAttach))) {
    tabs->setTabVisible(tabs->indexOf(w.ControlWidget(MainTabRemoteFiles)), s.showImageTab);
    tabs->setTabVisible(tabs->indexOf(w.ControlWidget(MainTabLists)), s.showListsTab);
  }
}

// The browse of the current book, opened on a tab (1 Attention, 2 Company,
// 3 Destination) positioned on the current recipient and titled with the
// book's name; the record chosen there becomes the recipient.
void PickRecipient(Window& w, MainState& s, int tab) {
  MainContext& c = *s.ctx;
  FindClientStart start;
  start.tab = tab;
  start.clientId = fw::Clip(w.Text(MainTo));
  start.company = fw::Clip(w.Text(MainCompany));
  start.destination = fw::Clip(w.Text(MainDestination));
  fw::Queue& books = c.dictionary->Queues().g_QaddressBooks;
  if (c.currentBook >= 1 && c.currentBook <= books.Records())
    start.bookName = fw::Clip(books.Entry(c.currentBook).Get("Name"));
  std::optional<fw::Record> chosen = FindClient(&w, *c.dictionary, *c.ini, start);
  if (!chosen) return;
  TakeRecord(w, s, *chosen);
  UpdateSendButton(w, s);
}

// The command a setup window opens a text or RTF file with ([Default]
// TextEditor, else xdg-open; the path is added as one argument).
std::string Editor(const fw::IniFile& ini) {
  std::string editor = ini.Fetch("Default", "TextEditor");
  return editor.empty() ? "xdg-open" : editor;
}

// The export: the target named in a save dialog, the book written into it,
// the outcome told.
void Export(MainContext& c) {
  std::string path;
  if (!NameCsvFileToSave(&path)) return;
  c.dictionary->File("MVCB").SetName(path);
  ExchangeResult result = ExportKDFToTxt(*c.dictionary);
  fw::Message(result.text, "Export",
              result.status == ExchangeResult::Finished ? fw::Icon::Information : fw::Icon::Exclamation);
}

// The import: the file chosen in an open dialog, its columns mapped in the
// options window, then the run; the send window's group list is reloaded.
// "Include first line" is kept while the client runs.
void Import(Window& w, MainContext& c) {
  static bool include1stLine = false;
  fw::FileDialogRequest r;
  r.mode = fw::FileDialogMode::Open;
  r.title = "Please select a csv file to import from";
  r.filters = "CSV File|*.csv;*.txt";
  std::string path;
  if (!fw::Services().FileDialog(r, &path) || fw::Clip(path).empty()) return;
  ImportSession session;
  session.fileName = path;
  session.include1stLine = include1stLine;
  ImportTxtToKDF2option(&w, *c.dictionary, session);
  include1stLine = session.include1stLine;
  if (!session.start) return;
  ExchangeResult result = ImportTxtToKDF2(*c.dictionary, session, [&w, &c] {
    LoadGroupList(*c.dictionary);
    w.Display(MainGroups);
  });
  fw::Message(result.text, "Import",
              result.status == ExchangeResult::Finished ? fw::Icon::Information : fw::Icon::Exclamation);
}

void WriteClosingSettings(MainState& s) {
  CloseSettings settings;
  settings.currentBook = s.ctx->currentBook;
  settings.showImageFiles = s.showImageTab;
  settings.showRemoteLists = s.showListsTab;
  if (s.languages.selected > 0) settings.language = s.languages.names[static_cast<size_t>(s.languages.selected - 1)];
  settings.sendLog = s.sendLog;
  std::string message;
  WriteCloseSettings(*s.ctx->dictionary, *s.ctx->ini, settings, &message);
  if (!message.empty()) fw::Message(message, "Dashpost", fw::Icon::Exclamation);
}

// ---------------------------------------------------------------------------
// What the menu items do

void SetUpGroups(Window& w, MainState& s) {
  // The groups may have changed: reloaded, unmarked.
  GroupClientSetup(&w, *s.ctx->dictionary, *s.ctx->ini);
  LoadGroupList(*s.ctx->dictionary);
  w.Display(MainGroups);
  UpdateSendButton(w, s);
}

// Written at once: the next send already follows it.
void ChooseSendLog(Window& w, MainState& s, bool on) {
  s.sendLog = on;
  ShowSendLog(w, s);
  s.ctx->ini->Update("Default", "SENDLOG", s.sendLog ? "Yes" : "No");
}

void AskRetryProfile(Window& w, MainState& s) {
  std::string value;
  if (EnterValue2(&w, "V=" + s.options.retryProfile, &value))
    s.options.retryProfile = value.empty() ? "0" : fw::CutUtf8(value, kRetryProfileBytes);
}

void StartUserSetup(Window& w, MainState& s) {
  WindowPrompter p;
  // The settings form (another program) opens centred on this window.
  QRect at = w.Widget()->frameGeometry();
  StartDeliverySettings(*s.ctx->ini, p,
                        std::to_string(at.x()) + "," + std::to_string(at.y()) + "," + std::to_string(at.width()) +
                            "," + std::to_string(at.height()));
}

// Upload List: the list's name asked, the recipients of the window sent
// under it.
void AskAndUploadList(Window& w, MainState& s) {
  std::string name;
  if (!EnterValue2(&w, "UploadList", &name) || fw::Clip(name).empty()) return;
  SendListSource src;
  src.sendToAll = w.IsChecked(MainSendToAll);
  src.groupSend = s.options.groupSend;
  BuildSendToList(*s.ctx->dictionary, src);
  WindowPrompter p;
  SendResult r = UploadList(*s.ctx->dictionary, *s.ctx->ini, fw::Clip(name), p);
  // Reported only when the command was started.
  if (r.started) fw::Message("Uploading list succeeded!", "Dashpost", fw::Icon::Information);
}

// Create a Cover Page or a Remote File: the dialog asks for the name and
// description and adds the entry.
void CreateRemoteEntry(Window& w, MainState& s, bool coverPage) {
  NameValue entry;
  if (!GetNameValuesDialog(&w, *s.ctx->dictionary, coverPage ? "coverPage" : "imageFile", &entry)) return;
  if (coverPage) {
    s.ctx->dictionary->Queues().g_QcoverPages.Sort({"Name"});
    BuildCoverPageMenu(w, s);
  }
  w.Display(MainRemoteFiles);
  UpdateSendButton(w, s);
}

void ViewLog(Window& w, MainState& s) {
  // Opening the send log clears the resend flag; a Re-Send in it sets it
  // again.
  s.resend = false;
  SendJob job;
  ResendFields fields;
  if (ViewSendLog(&w, *s.ctx->dictionary, *s.ctx->ini, job, &fields)) Refill(w, s, job, fields.recipient);
}

void SetUpCoverPages(Window& w, MainState& s) {
  CoverPageSetup(&w, *s.ctx->dictionary, *s.ctx->ini, Editor(*s.ctx->ini));
  // The setup may have deleted pages: the menu follows the file.
  LoadCoverPages(*s.ctx->dictionary, *s.ctx->ini);
  BuildCoverPageMenu(w, s);
}

FieldHandler ShowTabItem(bool MainState::*tab, bool shown) {
  return [tab, shown](Window& w, MainState& s) {
    s.*tab = shown;
    ShowTabs(w, s);
  };
}

// ---------------------------------------------------------------------------
// Building the window

void AddControls(Window& w, GlobalQueues& q) {
  // In their order: the field numbers of MainField: the field numbers of MainField.
  // The recipient's entries leave Add recipient room for a longer text (a
  // translation) up to the prompts of the right-hand column.
  w.AddEntry("?g_To", QRect(60, 5, 110, 11), static_cast<int>(kRecipientToBytes));
  w.AddEntry("?g_company", QRect(60, 19, 110, 11), static_cast<int>(kRecipientCompanyBytes));
  w.AddEntry("?g_destination", QRect(60, 33, 110, 11), static_cast<int>(kRecipientDestinationBytes));
  w.AddButton("?Button_AddRecepient", "Add reci&pient", QRect(174, 33, 74, 12));
  w.AddEntry("?g_sReference", QRect(300, 5, 110, 11), static_cast<int>(kReferenceBytes));
  w.AddEntry("?g_sChargeCode", QRect(300, 19, 110, 11), static_cast<int>(kChargeCodeBytes));
  w.AddList("?List_chargeCode", QRect(300, 19, 110, 11), &q.g_ChargeCodeQ, {{"Description", "Description", 100}});
  w.AddEntry("?g_sSendDate", QRect(300, 33, 55, 11), 20);
  w.AddEntry("?g_sSendTime", QRect(360, 33, 50, 11), 15);
  w.AddCheck("?g_bIncludeCoverpage", "&Include cover page message", QRect(5, 50, 150, 10));
  int sheetMsg = w.AddSheet("?Sheet_msg", QRect(5, 62, 240, 110));
  int tabMsg = w.AddTab(sheetMsg, "?Tab", "&Message");
  w.AddText("?g_coverPageMsg", QRect(2, 2, 232, 92), tabMsg);
  int sheetAttach = w.AddSheet("?Sheet_attachOtherEtc", QRect(5, 176, 240, 90));
  int tabRemote = w.AddTab(sheetAttach, "?Tab_remoteFiles", "&Remote Files");
  w.AddList("?List_remoteFiles", QRect(2, 2, 232, 70), &q.g_QimageFiles,
            {{"Remote Filename", "Name", 100}, {"Remote File Description", "Description", 120}}, "Mark", tabRemote);
  int tabLists = w.AddTab(sheetAttach, "?Tab_remoteLists", "Lists");
  w.AddList("?List_remoteLists", QRect(2, 2, 232, 70), &q.g_QremoteLists,
            {{"List Name", "Name", 100}, {"Remote File List", "Description", 120}}, "Mark", tabLists);
  int tabLocal = w.AddTab(sheetAttach, "?Tab_localFiles", "Local Files");
  w.AddList("?LIST_AttachOtherFiles", QRect(2, 2, 232, 70), &q.g_QattachOtherFiles,
            {{"Local Files", "FilePathName", 220}}, "Mark", tabLocal);
  w.AddCheck("?g_bSendToAllClients", "Send to all recipients", QRect(255, 50, 150, 10));
  int sheetGroups = w.AddSheet("?Sheet_groups", QRect(255, 62, 155, 190));
  int tabGroups = w.AddTab(sheetGroups, "?Tab_groups", "&Groups");
  w.AddList("?List_groups", QRect(2, 2, 147, 172), &q.g_Qgroups, {{"Group Name", "GroupID", 140}}, "Mark", tabGroups);
  w.AddButton("?ButtonSendFax", "S&end Fax", QRect(340, 270, 70, 16));
  w.AddButton("?Button4", "&Attention:", QRect(5, 5, 50, 11));
  w.AddButton("?Button5", "&Company:", QRect(5, 19, 50, 11));
  w.AddButton("?Button6", "&Destination:", QRect(5, 33, 50, 11));
  w.AddButton("?ButtonAutoText", "AutoText", QRect(255, 270, 60, 16));
  w.AddPrompt("?PromptRef", "Reference:", QRect(250, 5, 48, 10));
  w.AddPrompt("?PromptCharge", "Charge code:", QRect(250, 19, 48, 10));
  w.AddPrompt("?PromptDate", "Date/time:", QRect(250, 33, 48, 10));

}

// What the controls do when accepted.
void AddControlHandlers(MainState& s) {
  for (int field : {MainTo, MainCompany, MainDestination})
    On(s, field, [field](Window& w, MainState& s) { AfterLookup(w, s, field); });
  On(s, MainAddRecipient, AddRecipient);
  On(s, MainSend, Send);
  for (int field : {MainIncludeCover, MainSendToAll, MainGroups, MainRemoteFiles, MainRemoteLists, MainLocalFiles})
    On(s, field, UpdateSendButton);
  On(s, MainAutoText, InsertAutoText);
  // The three buttons open the browse on their own tab.
  const std::pair<int, int> finds[] = {{MainFindAttention, 1}, {MainFindCompany, 2}, {MainFindDestination, 3}};
  for (auto [field, tab] : finds) On(s, field, [tab](Window& w, MainState& s) { PickRecipient(w, s, tab); });
}

// The menus the INI file can hide.
struct SwitchedMenus {
  int file = 0, books = 0, setup = 0, priority = 0, notification = 0, resolution = 0, pageSize = 0, retry = 0;
};

struct Choice {
  const char* useName;
  const char* text;
};

// Items of which one is marked: the i-th sets the option to its i-th value.
template <typename Option, size_t N>
void AddChoices(Window& w, MainState& s, int menu, const Choice (&choices)[N], int (&fields)[N],
                Option SendOptions::*option) {
  for (size_t i = 0; i < N; ++i)
    fields[i] = Item(w, s, choices[i].useName, choices[i].text, menu, [option, i](Window& w, MainState& s) {
      s.options.*option = static_cast<Option>(i + 1);
      ShowOptions(w, s);
    });
}

void AddFileMenu(Window& w, MainState& s, int file) {
  Item(w, s, "?UpdateEmail", "Update E-mail Address Book", file, UpdateEmailAddressBook);
  Item(w, s, "?ExportFile", "Export File", file, [](Window&, MainState& s) { Export(*s.ctx); });
  Item(w, s, "?ExportGroups", "Export Groups", file, ExportGroups);
  Item(w, s, "?ImportFile", "Import File", file, [](Window& w, MainState& s) { Import(w, *s.ctx); });
  Item(w, s, "?Resubmit", "Resubmit", file,
       [](Window& w, MainState& s) { RetryUnseccessful(&w, *s.ctx->ini, s.prompter); });
  Item(w, s, "?UploadList", "Upload List", file, AskAndUploadList);
  w.AddSeparator(file);
  Item(w, s, "?Exit", "Exit", file, [](Window& w, MainState&) { w.Close(); });
}

void AddOptionsMenu(Window& w, MainState& s, SwitchedMenus* switched) {
  MainMenus& m = s.menus;
  int options = w.AddMenu("?MenuOptions", "Send &Options");
  int menu = switched->priority = w.AddMenu("?MenuPriority", "Fax Priority", options);
  AddChoices(w, s, menu, {{"?PriorityHigh", "Urgent"}, {"?PriorityNormal", "Normal"}, {"?PriorityLow", "Non-urgent"}},
             m.priority, &SendOptions::priority);
  menu = switched->notification = w.AddMenu("?MenuNotification", "Notification", options);
  AddChoices(w, s, menu, {{"?NotifyNone", "None"}, {"?NotifyErrors", "Non-delivery"}, {"?NotifyAll", "Delivery"}},
             m.notification, &SendOptions::notification);
  m.coverMenu = w.AddMenu("?MenuCoverPage", "Cover Page", options);
  menu = switched->resolution = w.AddMenu("?MenuResolution", "Resolution", options);
  AddChoices(w, s, menu, {{"?ResHigh", "High"}, {"?ResLow", "Low"}}, m.resolution, &SendOptions::resolution);
  menu = switched->pageSize = w.AddMenu("?MenuPageSize", "Page Size", options);
  AddChoices(w, s, menu, {{"?PageFull", "Full"}, {"?PageMinimum", "Minimum"}}, m.pageSize, &SendOptions::pageSize);
  switched->retry = Item(w, s, "?RetryProfile", "Retry Profile", options, AskRetryProfile);
  menu = w.AddMenu("?MenuGroupSend", "Group Send Preference", options);
  AddChoices(w, s, menu,
             {{"", "Fax Only"}, {"", "Email Only"}, {"", "Fax then Email"}, {"", "Fax and Email"},
              {"", "Use Entry Default"}},
             m.groupSend, &SendOptions::groupSend);
  w.AddSeparator(options);
  Item(w, s, "?SaveDefaults", "Save as My Defaults", options,
       [](Window&, MainState& s) { WriteSendOptions(*s.ctx->ini, s.options); });
}

// The Setup menu; its Language submenu, whose items come later.
int AddSetupMenu(Window& w, MainState& s, int setup) {
  MainMenus& m = s.menus;
  Item(w, s, "?UserSetup", "User Setup", setup, StartUserSetup);
  Item(w, s, "?PersonalDetails", "&Personal Details", setup,
       [](Window& w, MainState& s) { CmdSetup(&w, *s.ctx->ini); });
  Item(w, s, "?MailmergeFields", "Mailmerge Fields", setup,
       [](Window& w, MainState& s) { AdditionalOutputValues(&w, *s.ctx->ini); });
  Item(w, s, "?AutoTextSetup", "AutoText Setup", setup,
       [](Window& w, MainState& s) { AutoTextSetup(&w, *s.ctx->dictionary, *s.ctx->ini, Editor(*s.ctx->ini)); });
  Item(w, s, "?CoverPageSetup", "Cover Page Setup", setup, SetUpCoverPages);
  Item(w, s, "?CreateCoverPage", "Create a Cover Page", setup,
       [](Window& w, MainState& s) { CreateRemoteEntry(w, s, true); });
  Item(w, s, "?CreateRemoteFile", "Create a Remote File", setup,
       [](Window& w, MainState& s) { CreateRemoteEntry(w, s, false); });
  int images = w.AddMenu("?MenuDisplayRemoteFiles", "Display Remote Files", setup);
  m.showImageYes = Item(w, s, "?ImgYes", "Yes", images, ShowTabItem(&MainState::showImageTab, true));
  m.showImageNo = Item(w, s, "?ImgNo", "No", images, ShowTabItem(&MainState::showImageTab, false));
  int lists = w.AddMenu("?MenuDisplayRemoteLists", "Display Remote Lists", setup);
  m.showListsYes = Item(w, s, "?ListsYes", "Yes", lists, ShowTabItem(&MainState::showListsTab, true));
  m.showListsNo = Item(w, s, "?ListsNo", "No", lists, ShowTabItem(&MainState::showListsTab, false));
  int languages = w.AddMenu("?MenuLanguage", "Language", setup);
  int sendLog = w.AddMenu("?MenuSendLog", "Send Log", setup);
  m.sendLogYes = Item(w, s, "?SendLogYes", "Yes", sendLog, [](Window& w, MainState& s) { ChooseSendLog(w, s, true); });
  m.sendLogNo = Item(w, s, "?SendLogNo", "No", sendLog, [](Window& w, MainState& s) { ChooseSendLog(w, s, false); });
  return languages;
}

void AddLanguageItems(Window& w, MainState& s, int languageMenu) {
  s.languages = LoadLanguageMenu(*s.ctx->ini);
  std::vector<int>& fields = s.menus.languageFields;
  for (const std::string& text : s.languages.Texts()) {
    int item = static_cast<int>(fields.size()) + 1;
    fields.push_back(Item(w, s, "", text, languageMenu,
                          [item](Window& w, MainState& s) { ChooseWindowLanguage(w, s, item); }));
  }
  w.Disable(languageMenu, fields.empty());
}

SwitchedMenus AddMenus(Window& w, MainState& s) {
  SwitchedMenus switched;
  switched.file = w.AddMenu("?MenuFile", "&File");
  AddFileMenu(w, s, switched.file);
  switched.books = s.menus.booksMenu = w.AddMenu("?MenuBooks", "Address &Books");
  int view = w.AddMenu("?MenuView", "&View");
  Item(w, s, "?ViewSendLog", "View Send Log", view, ViewLog);
  AddOptionsMenu(w, s, &switched);
  switched.setup = w.AddMenu("?MenuSetup", "&Setup");
  int languageMenu = AddSetupMenu(w, s, switched.setup);
  int help = w.AddMenu("?MenuHelp", "&Help");
  Item(w, s, "?About", "About", help, [](Window& w, MainState& s) { AboutWin(&w, *s.ctx->ini); });
  // The run-time items come after every fixed one, so the fixed items keep
  // their field numbers (which the language files hold) whatever the
  // run-time menus hold.
  AddLanguageItems(w, s, languageMenu);
  return switched;
}

// The INI file's switches of menus, controls and tabs.
void ApplySwitches(Window& w, MainState& s, const SwitchedMenus& switched) {
  const fw::IniFile& ini = *s.ctx->ini;
  const std::pair<int, const char*> menus[] = {{switched.file, "FileMenu"},
                                               {switched.books, "AddressBooksMenu"},
                                               {switched.setup, "SetupMenu"},
                                               {switched.priority, "ShowFaxPriorityMenuitem"},
                                               {switched.notification, "ShowNotificationMenuItem"},
                                               {switched.resolution, "ShowResolutionMenuItem"},
                                               {switched.pageSize, "ShowPageSizeMenuItem"},
                                               {switched.retry, "ShowRetryProfileMenuItem"}};
  for (auto [menu, key] : menus)
    if (QAction* a = w.MenuAction(menu)) a->setVisible(NotNo(ini, "Default", key));
  w.Hide(MainSendToAll, !NotNo(ini, "Default", "ShowSendAllRecipients"));
  s.sendLog = fw::Upper(fw::Clip(fw::Left(ini.Fetch("Default", "SENDLOG")))) != "NO";
  s.showImageTab = Yes(ini, "Default", "ShowImageFilesTab");
  s.showListsTab = Yes(ini, "Default", "ShowRemoteListsTab");
  s.minimiseOnSend = Yes(ini, "Default", "MinimiseOnSend");
  ShowTabs(w, s);
}

// The settings, the run-time menus and the lists the window opens with.
void FillWindow(Window& w, MainState& s) {
  MainContext& ctx = *s.ctx;
  const fw::IniFile& ini = *ctx.ini;
  s.options = ReadSendOptions(ini);
  s.datePicture = DatePicture(fw::Clip(ini.Fetch("Default", "DateFormat")));
  w.SetText(MainSendDate, fw::Format(fw::Today(), s.datePicture));
  w.SetText(MainSendTime, fw::Format(fw::Clock(), "@T1"));
  LoadCoverPages(*ctx.dictionary, ini);
  BuildCoverPageMenu(w, s);
  BuildAddressBookMenu(w, s);
  ShowOptions(w, s);
  ShowSendLog(w, s);
  LoadChargeCodes(w, s);
  LoadGroupList(*ctx.dictionary);
  LoadRemoteEntries(*ctx.dictionary, ini);
  SetMainCaption(w, s);
  if (!ctx.mainAttachment.empty()) w.SetText(MainMessage, "");
  s.builtIn = CaptureBuiltInTexts(w);
}

// The message text's limit.
void LimitMessage(Window& w, const std::shared_ptr<MainState>& state) {
  auto* text = qobject_cast<QPlainTextEdit*>(w.ControlWidget(MainMessage));
  if (!text) return;
  QObject::connect(text, &QPlainTextEdit::textChanged, &w, [&w, text, state] {
    QByteArray bytes = text->toPlainText().toUtf8();
    if (static_cast<size_t>(bytes.size()) > kMessageLimit) {
      std::string cut = fw::CutUtf8(std::string_view(bytes.constData(), bytes.size()), kMessageLimit);
      QSignalBlocker block(text);
      text->setPlainText(QString::fromStdString(cut));
      text->moveCursor(QTextCursor::End);
      fw::Message("Message box limit (8192 bytes) exceeded. ", "Dashpost", fw::Icon::Exclamation);
    }
    UpdateSendButton(w, *state);
  });
}

// ---------------------------------------------------------------------------
// The window's events

void WindowOpened(Window& w, MainState& s) {
  UpdateSendButton(w, s);
  mvn::helptips::HintwellWindowOpened(&w, "Main", 0);
  std::string shown = s.windowLanguage;
  LanguageWindowOpened(&w, "Main", &s.windowLanguage);
  if (s.windowLanguage != shown) ShowRunTimeMenus(w, s);
}

void WindowClosing(Window& w, MainState& s) {
  WriteClosingSettings(s);
  mvn::helptips::HintwellWindowClosed(&w);
}

// The tip hooks, after the window's own handling. The local and remote
// file lists have popups of their own with What's This as item 3.
void PassToTipHooks(Window& w, MainState& s, int event, int field) {
  int tip = 0;
  if (event == fw::EventAlertKey && field == MainLocalFiles) {
    tip = mvn::helptips::HintwellTakeEvent(&w, event, field,
                                           "Add files to attach|Delete the selected files from the list|-|What's This",
                                           false);
    if (tip == field) AddLocalFile(w, s);
    else if (tip == -2) DeleteLocalFiles(w, s);
    tip = tip == -3 ? field : 0;
  } else if (event == fw::EventAlertKey && field == MainRemoteFiles) {
    tip = mvn::helptips::HintwellTakeEvent(
        &w, event, field, "Disconnect selected remote files|Delete selected remote files|-|What's This", false);
    if (tip == field) DisconnectRemoteFiles(w, s);
    else if (tip == -2) DeleteRemoteFiles(w, s);
    tip = tip == -3 ? field : 0;
  } else {
    tip = mvn::helptips::HintwellTakeEvent(&w, event, field);
  }
  if (tip > 0)
    mvn::helptips::HintwellTipRequest(fw::ControlTypeName(w.Type(tip)), w.UseName(tip).c_str(), "Main",
                                      ClientTipFile().c_str());
}

void OnMainEvent(Window& w, MainState& s, int event, int field) {
  if (event == fw::EventOpenWindow) WindowOpened(w, s);
  else if (event == fw::EventCloseWindow) WindowClosing(w, s);
  else if (event == fw::EventAccepted) RunHandler(w, s, field);
  PassToTipHooks(w, s, event, field);
}

}  // namespace

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


bool SendReady(const Readiness& r) {
  bool target = r.destination || r.sendToAll || r.markedGroup || r.markedList;
  bool content = r.mainAttachment || r.coverMessage || r.markedRemoteFile;
  for (const auto& [path, marked] : r.localFiles) {
    if (!marked) continue;
    if (EndsCsv(path)) target = true;
    else content = true;
  }
  return target && content;
}

std::unique_ptr<Window> Main(MainContext& ctx) {
  auto window = std::make_unique<Window>("Main", "Dashpost", QRect(0, 0, 420, 300));
  Window& w = *window;
  auto state = std::make_shared<MainState>();
  MainState& s = *state;
  s.ctx = &ctx;
  AddControls(w, ctx.dictionary->Queues());
  AddControlHandlers(s);
  SwitchedMenus switched = AddMenus(w, s);
  ApplySwitches(w, s, switched);
  FillWindow(w, s);
  LimitMessage(w, state);
  Window* raw = window.get();
  QObject::connect(raw, &Window::windowEvent, raw,
                   [raw, state](int event, int field) { OnMainEvent(*raw, *state, event, field); });
  return window;
}

}  // namespace mvn::client
