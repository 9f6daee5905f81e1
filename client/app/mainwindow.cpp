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

#include "client/addressbook/exchange.h"
#include "client/addressbook/procedures.h"
#include "client/addressbook/settings.h"
#include "client/ui/dialogs.h"
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

constexpr size_t kMessageLimit = 8192;

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

// The state of the window beside its controls.
struct MainState {
  MainContext* ctx = nullptr;
  SendOptions options;
  SingleRecipient recipient;
  bool lookupFilled = false;  // the three fields hold a record that a lookup found
  std::string datePicture = "dd/mm/yyyy";
  bool minimiseOnSend = false;
  std::string windowLanguage = "ENGLISH";
  bool showImageTab = false, showListsTab = false;
  // Menu fields.
  int priority[3] = {}, notification[3] = {}, resolution[2] = {}, pageSize[2] = {}, groupSend[5] = {};
  // The menus built at run time: what their last build made.
  int booksMenu = 0, coverMenu = 0;
  std::vector<int> bookMenuFields;              // items and submenus of Address Books
  std::vector<std::pair<int, int>> bookSelect;  // item, book position
  std::vector<std::pair<int, int>> bookDelete;  // item, book position
  int createBook = 0, viewBook = 0, groupSetup = 0, coverSetup = 0;
  std::vector<int> coverFields;  // the item of g_QcoverPages entry i is coverFields[i - 1]
  LanguageMenu languages;
  std::vector<int> languageFields;
  BuiltInTexts builtIn;  // the texts the window was built with
  bool sendLog = true;
  int sendLogYes = 0, sendLogNo = 0;
  int retryItem = 0, saveDefaults = 0, userSetup = 0, uploadList = 0, updateEmail = 0, exportGroups = 0;
  int exitItem = 0, createCover = 0, createRemote = 0, showImageYes = 0, showImageNo = 0, showListsYes = 0,
      showListsNo = 0;
  // The items that open the other windows.
  int exportFile = 0, importFile = 0, resubmit = 0, viewLog = 0, personal = 0, mailmerge = 0, autoTextSetup = 0,
      about = 0;
  // A Re-Send from the send log: the copy of the kept document it attached
  // and the resend flag, until the next written send.
  std::string resendAttachment;
  std::string resendDisplay;  // the name the fax gives that document
  bool resend = false;
  // The SendToList options that stay set for the run (the send-to choice
  // and the confirmation are set anew at every send).
  bool replaceAttention = false;
  std::string attentionName;
  WindowPrompter prompter;
};

void CheckGroup(Window& w, const int* items, int count, int chosen) {
  for (int i = 0; i < count; ++i) w.SetChecked(items[i], i + 1 == chosen);
}

void ShowOptions(Window& w, MainState& s) {
  CheckGroup(w, s.priority, 3, static_cast<int>(s.options.priority));
  CheckGroup(w, s.notification, 3, static_cast<int>(s.options.notification));
  CheckGroup(w, s.resolution, 2, static_cast<int>(s.options.resolution));
  CheckGroup(w, s.pageSize, 2, static_cast<int>(s.options.pageSize));
  CheckGroup(w, s.groupSend, 5, static_cast<int>(s.options.groupSend));
  std::vector<std::string> covers = CoverPageMenu(*s.ctx->dictionary, s.options.coverPage);
  for (size_t i = 0; i < s.coverFields.size() && i < covers.size(); ++i) w.SetText(s.coverFields[i], covers[i]);
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

void Send(Window& w, MainState& s) {
  MainContext& c = *s.ctx;
  const fw::IniFile& ini = *c.ini;
  if (Yes(ini, "Default", "MandatoryRef") && fw::Clip(w.Text(MainReference)).empty()) {
    fw::Message("Reference field can't be blank (mandatory). Please fill in and retry.", "Dashpost",
                fw::Icon::Exclamation);
    return;
  }
  // The charge code: typed, or the chosen entry of the user's codes when a
  // charge-account file is in use.
  std::string charge = w.Text(MainChargeCode);
  if (w.IsHidden(MainChargeCode)) {
    charge.clear();
    fw::Queue& codes = c.dictionary->Queues().g_ChargeCodeQ;
    int row = w.Choice(MainChargeList);
    if (row > 0 && row <= codes.Records()) charge = codes.Entry(row).Get("Code");
  }
  std::string mandatoryCharge = fw::Upper(fw::Clip(ini.Fetch("Default", "MandatoryCharge")));
  if (fw::Clip(charge).empty() && (mandatoryCharge == "YES" || !c.chargeTemporary)) {
    fw::Message("Chargecode field can't be blank (mandatory). Please fill in and retry.", "Dashpost",
                fw::Icon::Exclamation);
    return;
  }
  int32_t date = 0, time = 0;
  if (!CheckDateTime(w, s, &date, &time)) return;

  SendListSource source;
  source.recipient = s.recipient;
  source.recipient.name = fw::Clip(w.Text(MainTo));
  source.recipient.company = fw::Clip(w.Text(MainCompany));
  source.recipient.destination = fw::Clip(w.Text(MainDestination));
  source.sendToAll = w.IsChecked(MainSendToAll);
  source.groupSend = s.options.groupSend;
  w.SetWindowCursor(true);
  BuildSendList(*c.dictionary, source);
  w.SetWindowCursor(false);
  int recipients = c.dictionary->Queues().g_QsendTo.Records();
  if (recipients == 0 && source.sendToAll) {
    // A request without a target would be sent to nobody.
    fw::Message("There is nobody to send to: the current address book holds no recipients.", "Dashpost",
                fw::Icon::Exclamation);
    return;
  }
  if (recipients == 0) {
    // Without a recipient the fax still goes to the lists it names: the
    // marked remote lists and the marked local .CSV lists.
    const Readiness r = ReadinessOf(w, s);
    bool listTarget = r.markedList;
    for (const auto& [path, marked] : r.localFiles)
      if (marked && EndsCsv(path)) listTarget = true;
    if (!listTarget) {
      fw::Message(NobodyToSendTo(*c.dictionary, source.groupSend), "Dashpost", fw::Icon::Exclamation);
      return;
    }
  }
  bool ready = true;
  if (recipients >= 2 && Yes(ini, "Default", "DisplayBroadCastMessage")) ready = ConfirmBroadCast(&w, recipients);
  if (!ready) return;
  // The job the send writes is built first: the confirmation shows (and
  // may change) exactly what is sent.
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
  job.sendToAll = source.sendToAll;
  job.sendToOption = 1;
  // The Replace Attention choice and its name stay set for the run.
  job.replaceAttention = s.replaceAttention;
  job.attentionName = s.attentionName;
  // The confirmation shows (and may change) the job; its cancel sends nothing.
  if (Yes(ini, "Default", "DisplayConfirmScreen")) {
    bool confirmed = ConfirmBeforeSend(&w, *c.dictionary, *c.ini, source.recipient, job);
    s.replaceAttention = job.replaceAttention;
    s.attentionName = job.attentionName;
    if (!confirmed) return;
  }

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
  if (s.minimiseOnSend) {
    for (int f : {MainTo, MainCompany, MainDestination, MainReference, MainMessage}) w.SetText(f, "");
    s.recipient = SingleRecipient();  // no hidden title or name part carries over
    s.lookupFilled = false;
    w.SetText(MainSendDate, fw::Format(fw::Today(), s.datePicture));
    w.SetText(MainSendTime, fw::Format(fw::Clock(), "@T1"));
    w.SetChecked(MainIncludeCover, false);
    GlobalQueues& q = c.dictionary->Queues();
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

// The Cover Page submenu from g_QcoverPages (the chosen page marked).
void BuildCoverPageMenu(Window& w, MainState& s) {
  for (int f : s.coverFields) w.RemoveMenuControl(f);
  s.coverFields.clear();
  if (s.ctx->dictionary->Queues().g_QcoverPages.Records() == 0) {
    s.coverFields.push_back(w.AddItem("?CoverNone", "No cover page available", s.coverMenu));
    w.Disable(s.coverFields.back());
    return;
  }
  for (const std::string& text : CoverPageMenu(*s.ctx->dictionary, s.options.coverPage))
    s.coverFields.push_back(w.AddItem("", text, s.coverMenu, "Click this menu item to select this cover page."));
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

// The Address Books menu: every book (a submenu with Select and Delete for
// an administrator), then Create, View and Group Setup.
void BuildAddressBookMenu(Window& w, MainState& s) {
  for (int f : s.bookMenuFields) w.RemoveMenuControl(f);
  s.bookMenuFields.clear();
  s.bookSelect.clear();
  s.bookDelete.clear();
  for (const BookMenuItem& item : AddressBookMenu(*s.ctx->dictionary, *s.ctx->ini, s.ctx->currentBook)) {
    int f = 0;
    if (item.separator) {
      f = w.AddSeparator(s.booksMenu);
    } else if (item.position == 0) {
      // The fixed items: their use names, where their fields are kept, and
      // whether the window they open is there.
      const struct {
        const char* text;
        const char* useName;
        int* field;
        bool enabled;
      } fixed[] = {{"Create an Address Book", "?CreateBook", &s.createBook, true},
                   {"View Current Address Book", "?ViewBook", &s.viewBook, true},
                   {"&Group Setup", "?GroupSetup", &s.groupSetup, true}};
      for (const auto& x : fixed) {
        if (item.text != x.text) continue;
        f = *x.field = w.AddItem(x.useName, item.text, s.booksMenu, item.helpLine);
        w.Disable(f, !x.enabled);
      }
    } else if (item.submenu) {
      std::string use = "?Book" + std::to_string(item.position);
      f = w.AddMenu(use, item.text, s.booksMenu);
      int select = w.AddItem(use + "Select", "Select", f);
      int remove = w.AddItem(use + "Delete", "Delete", f);
      w.Disable(select, !item.subItemsEnabled);
      w.Disable(remove, !item.subItemsEnabled);
      s.bookSelect.emplace_back(select, item.position);
      s.bookDelete.emplace_back(remove, item.position);
    } else {
      f = w.AddItem("?Book" + std::to_string(item.position), item.text, s.booksMenu);
      s.bookSelect.emplace_back(f, item.position);
    }
    s.bookMenuFields.push_back(f);
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
  for (size_t i = 0; i < s.languageFields.size() && i < texts.size(); ++i) w.SetText(s.languageFields[i], texts[i]);
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
  w.SetChecked(s.sendLogYes, s.sendLog);
  w.SetChecked(s.sendLogNo, !s.sendLog);
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
  BookTable t(s.ctx->dictionary->File("MVClients"));
  std::string out;
  std::vector<std::string> skipped;
  if (t.Ok() && t.File().Set() == 0) {
    while (t.File().Next() == 0) {
      std::string email = fw::Clip(t.File().Buffer().Get("Email"));
      if (email.empty()) continue;
      if (email.size() > 49) {
        skipped.push_back(email);
        continue;
      }
      out += PadField(fw::CutUtf8(t.File().Buffer().Get("DisplayName"), 31), 31);
      out += PadField(email, 49);
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
    fw::Message("These addresses are longer than 49 characters and were left out:" + list, "Dashpost",
                fw::Icon::Exclamation);
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
  w.SetChecked(s.showImageYes, s.showImageTab);
  w.SetChecked(s.showImageNo, !s.showImageTab);
  w.SetChecked(s.showListsYes, s.showListsTab);
  w.SetChecked(s.showListsNo, !s.showListsTab);
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
  fw::IniFile& ini = *ctx.ini;
  GlobalQueues& q = ctx.dictionary->Queues();

  // Controls in their order: the field numbers of MainField.
  // The recipient's entries leave Add recipient room for a longer text (a
  // translation) up to the prompts of the right-hand column.
  w.AddEntry("?g_To", QRect(60, 5, 110, 11), 50);
  w.AddEntry("?g_company", QRect(60, 19, 110, 11), 100);
  w.AddEntry("?g_destination", QRect(60, 33, 110, 11), 100);
  w.AddButton("?Button_AddRecepient", "Add reci&pient", QRect(174, 33, 74, 12));
  w.AddEntry("?g_sReference", QRect(300, 5, 110, 11), 50);
  w.AddEntry("?g_sChargeCode", QRect(300, 19, 110, 11), 30);
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

  // Menus.
  int file = w.AddMenu("?MenuFile", "&File");
  s.updateEmail = w.AddItem("?UpdateEmail", "Update E-mail Address Book", file);
  s.exportFile = w.AddItem("?ExportFile", "Export File", file);
  s.exportGroups = w.AddItem("?ExportGroups", "Export Groups", file);
  s.importFile = w.AddItem("?ImportFile", "Import File", file);
  s.resubmit = w.AddItem("?Resubmit", "Resubmit", file);
  s.uploadList = w.AddItem("?UploadList", "Upload List", file);
  w.AddSeparator(file);
  s.exitItem = w.AddItem("?Exit", "Exit", file);
  int books = w.AddMenu("?MenuBooks", "Address &Books");
  s.booksMenu = books;
  int view = w.AddMenu("?MenuView", "&View");
  s.viewLog = w.AddItem("?ViewSendLog", "View Send Log", view);
  int options = w.AddMenu("?MenuOptions", "Send &Options");
  int pri = w.AddMenu("?MenuPriority", "Fax Priority", options);
  s.priority[0] = w.AddItem("?PriorityHigh", "Urgent", pri);
  s.priority[1] = w.AddItem("?PriorityNormal", "Normal", pri);
  s.priority[2] = w.AddItem("?PriorityLow", "Non-urgent", pri);
  int notif = w.AddMenu("?MenuNotification", "Notification", options);
  s.notification[0] = w.AddItem("?NotifyNone", "None", notif);
  s.notification[1] = w.AddItem("?NotifyErrors", "Non-delivery", notif);
  s.notification[2] = w.AddItem("?NotifyAll", "Delivery", notif);
  s.coverMenu = w.AddMenu("?MenuCoverPage", "Cover Page", options);
  int res = w.AddMenu("?MenuResolution", "Resolution", options);
  s.resolution[0] = w.AddItem("?ResHigh", "High", res);
  s.resolution[1] = w.AddItem("?ResLow", "Low", res);
  int page = w.AddMenu("?MenuPageSize", "Page Size", options);
  s.pageSize[0] = w.AddItem("?PageFull", "Full", page);
  s.pageSize[1] = w.AddItem("?PageMinimum", "Minimum", page);
  s.retryItem = w.AddItem("?RetryProfile", "Retry Profile", options);
  int group = w.AddMenu("?MenuGroupSend", "Group Send Preference", options);
  const char* groupTexts[] = {"Fax Only", "Email Only", "Fax then Email", "Fax and Email", "Use Entry Default"};
  for (int i = 0; i < 5; ++i) s.groupSend[i] = w.AddItem("", groupTexts[i], group);
  w.AddSeparator(options);
  s.saveDefaults = w.AddItem("?SaveDefaults", "Save as My Defaults", options);
  int setup = w.AddMenu("?MenuSetup", "&Setup");
  s.userSetup = w.AddItem("?UserSetup", "User Setup", setup);
  s.personal = w.AddItem("?PersonalDetails", "&Personal Details", setup);
  s.mailmerge = w.AddItem("?MailmergeFields", "Mailmerge Fields", setup);
  s.autoTextSetup = w.AddItem("?AutoTextSetup", "AutoText Setup", setup);
  s.coverSetup = w.AddItem("?CoverPageSetup", "Cover Page Setup", setup);
  s.createCover = w.AddItem("?CreateCoverPage", "Create a Cover Page", setup);
  s.createRemote = w.AddItem("?CreateRemoteFile", "Create a Remote File", setup);
  int dispImg = w.AddMenu("?MenuDisplayRemoteFiles", "Display Remote Files", setup);
  s.showImageYes = w.AddItem("?ImgYes", "Yes", dispImg);
  s.showImageNo = w.AddItem("?ImgNo", "No", dispImg);
  int dispLists = w.AddMenu("?MenuDisplayRemoteLists", "Display Remote Lists", setup);
  s.showListsYes = w.AddItem("?ListsYes", "Yes", dispLists);
  s.showListsNo = w.AddItem("?ListsNo", "No", dispLists);
  int languageMenu = w.AddMenu("?MenuLanguage", "Language", setup);
  int sendLogMenu = w.AddMenu("?MenuSendLog", "Send Log", setup);
  s.sendLogYes = w.AddItem("?SendLogYes", "Yes", sendLogMenu);
  s.sendLogNo = w.AddItem("?SendLogNo", "No", sendLogMenu);
  s.sendLog = fw::Upper(fw::Clip(fw::Left(ini.Fetch("Default", "SENDLOG")))) != "NO";
  int help = w.AddMenu("?MenuHelp", "&Help");
  s.about = w.AddItem("?About", "About", help);
  // The run-time items come after every fixed one, so the fixed items keep
  // their field numbers (which the language files hold) whatever the
  // run-time menus hold.
  s.languages = LoadLanguageMenu(ini);
  for (const std::string& text : s.languages.Texts()) s.languageFields.push_back(w.AddItem("", text, languageMenu));
  w.Disable(languageMenu, s.languageFields.empty());

  // Switches of the INI file.
  auto hideMenu = [&](int menu, bool hidden) {
    if (QAction* a = w.MenuAction(menu)) a->setVisible(!hidden);
  };
  hideMenu(file, !NotNo(ini, "Default", "FileMenu"));
  hideMenu(books, !NotNo(ini, "Default", "AddressBooksMenu"));
  hideMenu(setup, !NotNo(ini, "Default", "SetupMenu"));
  hideMenu(pri, !NotNo(ini, "Default", "ShowFaxPriorityMenuitem"));
  hideMenu(notif, !NotNo(ini, "Default", "ShowNotificationMenuItem"));
  hideMenu(res, !NotNo(ini, "Default", "ShowResolutionMenuItem"));
  hideMenu(page, !NotNo(ini, "Default", "ShowPageSizeMenuItem"));
  hideMenu(s.retryItem, !NotNo(ini, "Default", "ShowRetryProfileMenuItem"));
  w.Hide(MainSendToAll, !NotNo(ini, "Default", "ShowSendAllRecipients"));
  s.showImageTab = Yes(ini, "Default", "ShowImageFilesTab");
  s.showListsTab = Yes(ini, "Default", "ShowRemoteListsTab");
  s.minimiseOnSend = Yes(ini, "Default", "MinimiseOnSend");
  ShowTabs(w, s);

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

  // The message text's limit.
  if (auto* text = qobject_cast<QPlainTextEdit*>(w.ControlWidget(MainMessage))) {
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

  Window* raw = window.get();
  QObject::connect(raw, &Window::windowEvent, raw, [raw, state, &ctx](int event, int field) {
    Window& w = *raw;
    MainState& s = *state;
    if (event == fw::EventOpenWindow) {
      UpdateSendButton(w, s);
      mvn::helptips::HintwellWindowOpened(raw, "Main", 0);
      std::string shown = s.windowLanguage;
      LanguageWindowOpened(raw, "Main", &s.windowLanguage);
      if (s.windowLanguage != shown) ShowRunTimeMenus(w, s);
    } else if (event == fw::EventCloseWindow) {
      WriteClosingSettings(s);
      mvn::helptips::HintwellWindowClosed(raw);
    } else if (event == fw::EventAccepted) {
      if (field == MainTo || field == MainCompany || field == MainDestination) AfterLookup(w, s, field);
      else if (field == MainAddRecipient) AddRecipient(w, s);
      else if (field == MainSend) Send(w, s);
      else if (field == s.exitItem) w.Close();
      else if (field == MainIncludeCover || field == MainSendToAll || field == MainGroups ||
               field == MainRemoteFiles || field == MainRemoteLists || field == MainLocalFiles)
        UpdateSendButton(w, s);
      else {
        auto pick = [&](const int* items, int n, auto* target) {
          for (int i = 0; i < n; ++i)
            if (items[i] == field) {
              *target = static_cast<std::remove_pointer_t<decltype(target)>>(i + 1);
              ShowOptions(w, s);
              return true;
            }
          return false;
        };
        if (pick(s.priority, 3, &s.options.priority) || pick(s.notification, 3, &s.options.notification) ||
            pick(s.resolution, 2, &s.options.resolution) || pick(s.pageSize, 2, &s.options.pageSize) ||
            pick(s.groupSend, 5, &s.options.groupSend))
          return;
        for (size_t i = 0; i < s.coverFields.size(); ++i)
          if (s.coverFields[i] == field) {
            std::string page = CoverPageAt(*ctx.dictionary, static_cast<int>(i) + 1);
            if (!page.empty()) s.options.coverPage = page;
            ShowOptions(w, s);
            return;
          }
        for (auto [f, position] : s.bookSelect)
          if (f == field) return SwitchAddressBook(w, s, position);
        for (auto [f, position] : s.bookDelete)
          if (f == field) return DeleteBook(w, s, position);
        for (size_t i = 0; i < s.languageFields.size(); ++i)
          if (s.languageFields[i] == field) return ChooseWindowLanguage(w, s, static_cast<int>(i) + 1);
        if (field == MainAutoText) {
          InsertAutoText(w, s);
        } else if (field == s.createBook) {
          CreateBook(w, s);
        } else if (field == MainFindAttention || field == MainFindCompany || field == MainFindDestination) {
          PickRecipient(w, s, field == MainFindAttention ? 1 : field == MainFindCompany ? 2 : 3);
        } else if (field == s.viewBook) {
          PickRecipient(w, s, 1);
        } else if (field == s.groupSetup) {
          // The groups may have changed: reloaded, unmarked.
          GroupClientSetup(raw, *ctx.dictionary, *ctx.ini);
          LoadGroupList(*ctx.dictionary);
          w.Display(MainGroups);
          UpdateSendButton(w, s);
        } else if (field == s.sendLogYes || field == s.sendLogNo) {
          // Written at once: the next send already follows it.
          s.sendLog = field == s.sendLogYes;
          ShowSendLog(w, s);
          ctx.ini->Update("Default", "SENDLOG", s.sendLog ? "Yes" : "No");
        } else if (field == s.retryItem) {
          std::string value;
          if (EnterValue2(raw, "V=" + s.options.retryProfile, &value))
            s.options.retryProfile = value.empty() ? "0" : fw::CutUtf8(value, 20);
        } else if (field == s.updateEmail) {
          UpdateEmailAddressBook(w, s);
        } else if (field == s.exportGroups) {
          ExportGroups(w, s);
        } else if (field == s.saveDefaults) {
          WriteSendOptions(*ctx.ini, s.options);
        } else if (field == s.userSetup) {
          WindowPrompter p;
          // The settings form (another program) opens centred on this window.
          QRect at = w.Widget()->frameGeometry();
          StartDeliverySettings(*ctx.ini, p,
                                std::to_string(at.x()) + "," + std::to_string(at.y()) + "," +
                                    std::to_string(at.width()) + "," + std::to_string(at.height()));
        } else if (field == s.uploadList) {
          std::string name;
          if (!EnterValue2(raw, "UploadList", &name) || fw::Clip(name).empty()) return;
          SendListSource src;
          src.sendToAll = w.IsChecked(MainSendToAll);
          src.groupSend = s.options.groupSend;
          BuildSendToList(*ctx.dictionary, src);
          WindowPrompter p;
          SendResult r = UploadList(*ctx.dictionary, *ctx.ini, fw::Clip(name), p);
          // Reported only when the command was started.
          if (r.started) fw::Message("Uploading list succeeded!", "Dashpost", fw::Icon::Information);
        } else if (field == s.showImageYes || field == s.showImageNo) {
          s.showImageTab = field == s.showImageYes;
          ShowTabs(w, s);
        } else if (field == s.showListsYes || field == s.showListsNo) {
          s.showListsTab = field == s.showListsYes;
          ShowTabs(w, s);
        } else if (field == s.createCover || field == s.createRemote) {
          NameValue entry;
          bool coverPage = field == s.createCover;
          if (!GetNameValuesDialog(raw, *ctx.dictionary, coverPage ? "coverPage" : "imageFile", &entry)) return;
          if (coverPage) {
            ctx.dictionary->Queues().g_QcoverPages.Sort({"Name"});
            BuildCoverPageMenu(w, s);
          }
          w.Display(MainRemoteFiles);
          UpdateSendButton(w, s);
        } else if (field == s.exportFile) {
          Export(ctx);
        } else if (field == s.importFile) {
          Import(w, ctx);
        } else if (field == s.resubmit) {
          RetryUnseccessful(raw, *ctx.ini, s.prompter);
        } else if (field == s.viewLog) {
          // Opening the send log clears the resend flag; a Re-Send in it
          // sets it again.
          s.resend = false;
          SendJob job;
          ResendFields fields;
          if (ViewSendLog(raw, *ctx.dictionary, *ctx.ini, job, &fields)) Refill(w, s, job, fields.recipient);
        } else if (field == s.personal) {
          CmdSetup(raw, *ctx.ini);
        } else if (field == s.mailmerge) {
          AdditionalOutputValues(raw, *ctx.ini);
        } else if (field == s.autoTextSetup) {
          AutoTextSetup(raw, *ctx.dictionary, *ctx.ini, Editor(*ctx.ini));
        } else if (field == s.coverSetup) {
          CoverPageSetup(raw, *ctx.dictionary, *ctx.ini, Editor(*ctx.ini));
          // The setup may have deleted pages: the menu follows the file.
          LoadCoverPages(*ctx.dictionary, *ctx.ini);
          BuildCoverPageMenu(w, s);
        } else if (field == s.about) {
          AboutWin(raw, *ctx.ini);
        }
      }
    }
    // The tip hooks after the window's own handling. The local and remote
    // file lists have popups of their own with What's This as item 3.
    int tip = 0;
    if (event == fw::EventAlertKey && field == MainLocalFiles) {
      tip = mvn::helptips::HintwellTakeEvent(raw, event, field,
                                             "Add files to attach|Delete the selected files from the list|-|What's This",
                                             false);
      if (tip == field) AddLocalFile(w, s);
      else if (tip == -2) DeleteLocalFiles(w, s);
      tip = tip == -3 ? field : 0;
    } else if (event == fw::EventAlertKey && field == MainRemoteFiles) {
      tip = mvn::helptips::HintwellTakeEvent(
          raw, event, field, "Disconnect selected remote files|Delete selected remote files|-|What's This", false);
      if (tip == field) DisconnectRemoteFiles(w, s);
      else if (tip == -2) DeleteRemoteFiles(w, s);
      tip = tip == -3 ? field : 0;
    } else {
      tip = mvn::helptips::HintwellTakeEvent(raw, event, field);
    }
    if (tip > 0)
      mvn::helptips::HintwellTipRequest(fw::ControlTypeName(w.Type(tip)), w.UseName(tip).c_str(), "Main",
                                        ClientTipFile().c_str());
  });
  return window;
}

}  // namespace mvn::client
