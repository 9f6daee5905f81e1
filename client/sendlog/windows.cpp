// The send-log and confirmation windows: thin shells over sendlog.h.
#include <QKeyEvent>
#include <QMainWindow>
#include <QTabWidget>
#include <functional>

#include "client/sendlog/procedures.h"
#include "client/ui/escapefilter.h"
#include "client/ui/windowhooks.h"
#include "framework/core/runtime.h"
#include "framework/core/services.h"
#include "framework/core/strings.h"
#include "framework/gui/listcontrol.h"
#include "platform/kernel/win32.h"

namespace mvn::client {

using framework::Window;

namespace {

void Tell(const std::string& text, const std::string& caption) {
  framework::Services().Message({text, caption, framework::Icon::Exclamation});
}


// The current tab of a sheet, 1-based.
int CurrentTab(const Window& w, int sheet) {
  auto* tabs = qobject_cast<QTabWidget*>(w.ControlWidget(sheet));
  return tabs ? tabs->currentIndex() + 1 : 0;
}

std::string TempDirectoryPath() {
  char buffer[MAX_PATH];
  DWORD n = GetTempPathA(sizeof buffer, buffer);
  return std::string(buffer, n);
}

std::string Joined(const std::vector<std::string>& items) {
  std::string s;
  for (const std::string& i : items) s += (s.empty() ? "" : "\n") + i;
  return s;
}

}  // namespace

void StartViewer(const std::string& commandLine, const std::string& what, const std::string& path) {
  if (framework::Clip(path).empty()) {
    Tell("This entry has no " + what + " to show.", "View Sendlog");
    return;
  }
  if (commandLine.empty()) {
    // The command line quotes the path; a quote inside it cannot be passed.
    Tell("The " + what + " " + framework::Clip(path) + " cannot be shown: its name holds a double quote.", "View Sendlog");
    return;
  }
  if (framework::Run(commandLine, false) != 0)
    Tell("The viewer could not be started:|" + commandLine, "View Sendlog");
}

int SendToList(Window*, Dictionary& d, SendJob& job) {
  SortSendTo(d, "ToName");
  Window w("SendToList", "\"Send to\" List", QRect(0, 0, 300, 210));
  int sheet = w.AddSheet("?Sheet1", QRect(4, 4, 292, 130));
  w.AddTab(sheet, "?Tab1", "Attention");
  w.AddTab(sheet, "?Tab2", "Company");
  w.AddTab(sheet, "?Tab3", "Destination");
  const char* sortField[3] = {"ToName", "Company", "Destination"};
  int list = w.AddList("?List1", QRect(8, 20, 284, 110), &d.Queues().g_QsendTo,
                       {{"Mark", "Mark", 0}, {"Id", "MVClientID", 0}, {"Attention", "ToName", 80},
                        {"Company", "Company", 80}, {"Destination", "Destination", 100}},
                       "Mark");
  int option = w.AddOption("?SendToOption", "Send to", QRect(4, 138, 140, 34));
  w.AddRadio(option, "?SendToOption:Radio1", "Highlighted only", "1", QRect(6, 10, 130, 10));
  w.AddRadio(option, "?SendToOption:Radio2", "Non-highlighted only", "2", QRect(6, 21, 130, 10));
  int replace = w.AddCheck("?ReplaceAttention", "Replace Attention Field", QRect(150, 140, 140, 10));
  w.AddPrompt("?NamePrompt", "Name:", QRect(150, 154, 30, 10));
  int name = w.AddEntry("?AttentionName", QRect(182, 154, 110, 11), static_cast<int>(kAttentionNameBytes));
  w.AddPrompt("?TotalPrompt", "Total Destinations:", QRect(4, 178, 80, 10));
  int total = w.AddEntry("?Total", QRect(86, 178, 50, 11), 20);
  int close = w.AddButton("?Close", "Close", QRect(240, 190, 50, 14));
  w.Disable(total);
  w.SetText(option, job.sendToOption == 2 ? "2" : "1");
  w.SetChecked(replace, job.replaceAttention);
  w.SetText(name, job.attentionName);
  int count = CountTargets(d, job.sendToOption);
  auto recompute = [&] {
    job.sendToOption = w.Text(option) == "2" ? 2 : 1;
    count = RecomputeTotal(d, job.sendToOption);
    w.SetText(total, std::to_string(count));
    w.Display(list);
  };
  w.SetText(total, std::to_string(count));
  WireWindowHooks(w, "SendToList", true);
  QObject::connect(&w, &Window::windowEvent, &w, [&](int event, int field) {
    if (event == framework::EventNewSelection && field == sheet) {
      int tab = CurrentTab(w, sheet);
      for (int i = 0; i < 3; ++i)
        if (tab == i + 1) SortSendTo(d, sortField[i]);
      w.Display(list);
    }
  });
  QObject::connect(&w, &Window::accepted, &w, [&](int field) {
    if (field == option || field == list) recompute();  // a mark changed: the total follows
    if (field == close) w.Close();
  });
  w.Run();
  job.replaceAttention = w.IsChecked(replace);
  job.attentionName = framework::Clip(w.Text(name));
  return CountTargets(d, job.sendToOption);
}

bool ConfirmBeforeSend(Window* parent, Dictionary& d, framework::IniFile& ini, const SingleRecipient& recipient,
                       SendJob& job) {
  bool confirmed = false;
  ConfirmSummary s = BuildConfirmSummary(d, ini, recipient, job);
  Window w("ConfirmBeforeSend", "Confirmation", QRect(0, 0, 320, 250));
  w.AddPrompt("?Heading", "Please Confirm before Sending", QRect(8, 4, 300, 10));
  const std::pair<const char*, std::string> lines[] = {
      {"Attention:", s.attention},   {"Company:", s.company},           {"Destination:", s.destination},
      {"Priority:", s.priority},     {"Notification:", s.notification}, {"Resolution:", s.resolution},
      {"Cover page to be used:", s.coverPage}, {"Send to:", s.sendTo},  {"Total Destinations:", s.total}};
  int y = 18, totalField = 0;
  for (const auto& [label, value] : lines) {
    w.AddPrompt("?Prompt" + std::to_string(y), label, QRect(8, y, 110, 10));
    int e = w.AddEntry("?Value" + std::to_string(y), QRect(120, y, 190, 11));
    w.SetText(e, value);
    w.Disable(e);
    totalField = e;
    y += 12;
  }
  const std::pair<const char*, const std::vector<std::string>*> lists[] = {
      {"Group selected", &s.groups}, {"Data files attached:", &s.dataFiles},
      {"Remote Files", &s.remoteFiles}, {"Remote Lists", &s.remoteLists}};
  int x = 8;
  for (const auto& [label, items] : lists) {
    w.AddPrompt(std::string("?ListPrompt") + std::to_string(x), label, QRect(x, y + 2, 76, 10));
    int t = w.AddText(std::string("?List") + std::to_string(x), QRect(x, y + 13, 74, 50));
    w.SetText(t, Joined(*items));
    w.Disable(t);
    x += 77;
  }
  int send = w.AddButton("?Send", "S&end", QRect(8, 232, 50, 14));
  int show = w.AddButton("?Show", s.showButton, QRect(64, 232, 180, 14));
  int cancel = w.AddButton("?Cancel", "&Cancel", QRect(250, 232, 60, 14));
  w.Disable(send, CountTargets(d, job.sendToOption) <= 0);
  // Escape closes the window like Cancel (and so does the title bar).
  EscapeFilter escape([&] {
    confirmed = false;
    w.Close();
  });
  w.Widget()->installEventFilter(&escape);
  WireWindowHooks(w, "ConfirmBeforeSend", true);
  QObject::connect(&w, &Window::windowEvent, &w, [&](int event, int) {
    if (event == framework::EventCloseWindow) {
      QRect g = w.WindowPosition();
      ini.Update("ConfirmBeforeSend", "Width", std::to_string(g.width()));
      ini.Update("ConfirmBeforeSend", "Height", std::to_string(g.height()));
    }
  });
  QObject::connect(&w, &Window::accepted, &w, [&](int field) {
    if (field == send) {
      confirmed = true;
      w.Close();
    } else if (field == show) {
      int n = SendToList(parent ? parent : &w, d, job);
      w.SetText(totalField, std::to_string(n));
      w.Disable(send, n <= 0);
    } else if (field == cancel) {
      confirmed = false;
      w.Close();
    }
  });
  w.Run();
  return confirmed;
}

namespace {

framework::LayoutPtr ViewLayout() {
  using framework::CStringField;
  static framework::LayoutPtr l = framework::MakeLayout(
      "SLV", {framework::ByteField("Mark"), framework::LongField("Row"), CStringField("Date", 30),
              CStringField("Attn", 100), CStringField("Company", 100), CStringField("Destination", 50),
              CStringField("Ref", 50), CStringField("ChargeCode", 20), CStringField("CPFileName", 150),
              CStringField("PSFileName", 150), CStringField("Groups", 20)});
  return l;
}

void FillQueue(framework::Queue& q, const std::vector<SendLogEntry>& rows) {
  q.Free();
  for (size_t i = 0; i < rows.size(); ++i) {
    const SendLogEntry& e = rows[i];
    framework::Record& r = q.Buffer();
    r.Clear();
    r.SetLong("Mark", e.mark ? 1 : 0);
    r.SetLong("Row", static_cast<int32_t>(i));
    r.Set("Date", e.date);
    r.Set("Attn", e.attn);
    r.Set("Company", e.company);
    r.Set("Destination", e.destination);
    r.Set("Ref", e.ref);
    r.Set("ChargeCode", e.chargeCode);
    r.Set("CPFileName", e.cpFileName);
    r.Set("PSFileName", e.psFileName);
    r.Set("Groups", e.groups);
    q.Add();
  }
}

}  // namespace

bool ViewSendLog(Window*, Dictionary& d, const framework::IniFile& ini, SendJob& job, ResendFields* fields) {
  job.resend = false;
  const std::string path = SendLogPath(ini);
  std::vector<SendLogEntry> rows;
  std::string message;
  if (!LoadSendLog(path, &rows, &message)) Tell(message, "View Sendlog");
  framework::Queue q(ViewLayout());
  FillQueue(q, rows);
  bool resent = false;
  Window w("ViewSendLog", "View Sendlog", QRect(0, 0, 420, 220));
  int sheet = w.AddSheet("?Sheet1", QRect(4, 4, 412, 180));
  const std::pair<const char*, SendLogColumn> tabDefs[] = {
      {"Date", SendLogColumn::Date},           {"Attention", SendLogColumn::Attn},
      {"Company", SendLogColumn::Company},     {"Destination", SendLogColumn::Destination},
      {"Reference", SendLogColumn::Ref},       {"Charge Code", SendLogColumn::ChargeCode},
      {"Group", SendLogColumn::Groups}};
  std::vector<int> tabs;
  for (size_t i = 0; i < 7; ++i) tabs.push_back(w.AddTab(sheet, "?Tab" + std::to_string(i + 1), tabDefs[i].first));
  // Columns in the order of SendLogColumn, after the hidden mark and row;
  // the date is wide enough for its time of day, which tells a day's sends
  // apart.
  int list = w.AddList("?List", QRect(8, 20, 404, 160), &q,
                       {{"Mark", "Mark", 0}, {"Row", "Row", 0}, {"Date", "Date", 85}, {"Attn", "Attn", 60},
                        {"Company", "Company", 60}, {"Destination", "Destination", 50}, {"Reference", "Ref", 40},
                        {"Charge Code", "ChargeCode", 48}, {"CP File Name", "CPFileName", 60},
                        {"PS File Name", "PSFileName", 60}, {"Group", "Groups", 40}},
                       "Mark");
  int viewPs = w.AddButton("?ViewPS", "View Print File ", QRect(4, 190, 70, 14));
  int viewCp = w.AddButton("?ViewCP", "View Cover Page Message", QRect(78, 190, 120, 14));
  int resend = w.AddButton("?ReSend", "&Re-Send", QRect(202, 190, 50, 14));
  int del = w.AddButton("?Delete", "&Delete ", QRect(256, 190, 50, 14));
  int close = w.AddButton("?Close", "Close", QRect(362, 190, 50, 14));
  SendLogColumn column = SendLogColumn::Date;
  auto selected = [&]() -> SendLogEntry* {
    int c = w.Choice(list);
    if (c < 1 || c > q.Records()) return nullptr;
    size_t row = static_cast<size_t>(q.Entry(c).GetLong("Row"));
    return row < rows.size() ? &rows[row] : nullptr;
  };
  auto syncMarks = [&] {
    for (int i = 1; i <= q.Records(); ++i) {
      size_t row = static_cast<size_t>(q.Entry(i).GetLong("Row"));
      if (row < rows.size()) rows[row].mark = q.Entry(i).GetLong("Mark") != 0;
    }
  };
  auto refill = [&] {
    syncMarks();
    SortSendLog(rows, column);
    FillQueue(q, rows);
    w.Display(list);
    // Type-ahead looks in the current tab's column (after Mark and Row).
    if (w.List(list)) {
      w.List(list)->SetTypeAheadColumn(2 + static_cast<int>(column));
      w.List(list)->SetTypeAheadKeys("123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    }
  };
  refill();
  WireWindowHooks(w, "ViewSendLog", true);
  auto viewCover = [&] {
    if (SendLogEntry* e = selected()) StartViewer(ViewCoverPageCommand(ini, *e), "cover page message", e->cpFileName);
  };
  auto viewPrint = [&] {
    if (SendLogEntry* e = selected()) StartViewer(ViewPrintFileCommand(ini, *e), "print file", e->psFileName);
  };
  QObject::connect(&w, &Window::windowEvent, &w, [&](int event, int field) {
    if (event == framework::EventNewSelection && field == sheet) {
      int tab = CurrentTab(w, sheet);
      for (size_t i = 0; i < tabs.size(); ++i)
        if (tab == static_cast<int>(i) + 1) column = tabDefs[i].second;
      refill();
    }
  });
  // The right mouse button on the list: the popup.
  w.ControlWidget(list)->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(w.ControlWidget(list), &QWidget::customContextMenuRequested, &w, [&](const QPoint&) {
    {
      SendLogEntry* e = selected();
      std::vector<framework::PopupItem> items = {
          framework::PopupItem::Text("View Cover Page Message", !e || framework::Clip(e->cpFileName).empty()),
          framework::PopupItem::Text("View Print File", !e || framework::Clip(e->psFileName).empty())};
      int chosen = framework::Services().Popup(items);
      if (chosen == 1) viewCover();
      if (chosen == 2) viewPrint();
    }
  });
  QObject::connect(&w, &Window::accepted, &w, [&](int field) {
    if (field == viewCp) viewCover();
    if (field == viewPs) viewPrint();
    if (field == resend) {
      SendLogEntry* e = selected();
      if (!e) return;
      if (!ReSend(d, *e, TempDirectoryPath(), job, fields)) {
        Tell(fields->notes, "Re-Send");
        return;
      }
      if (!fields->notes.empty()) Tell(fields->notes, "Re-Send");
      resent = true;
      w.Close();
    }
    if (field == del) {
      syncMarks();
      std::vector<SendLogEntry> marked;
      for (const SendLogEntry& e : rows)
        if (e.mark) marked.push_back(e);
      if (marked.empty()) return;
      unsigned answer = framework::Services().Message({"Are you sure you want to delete?", "Delete",
                                                       framework::Icon::Question,
                                                       framework::ButtonYes | framework::ButtonNo});
      if (answer != framework::ButtonYes) return;
      DeleteResult r = DeleteSendLogRows(path, marked, framework::Clip(ini.Fetch("Files", "SendlogKeepFiles")));
      if (!r.ok) Tell(r.message, "Delete");
      std::string why;
      LoadSendLog(path, &rows, &why);
      refill();
    }
    if (field == close) w.Close();
  });
  w.Run();
  return resent;
}

SendResult RetryUnseccessful(Window*, const framework::IniFile& ini, Prompter& prompter) {
  SendResult result;
  ResubmitChoice choice;
  Window w("RetryUnseccessful", "Resubmit", QRect(0, 0, 260, 100));
  int grouped = w.AddCheck("?m_bSendAllTargetsAgainGroup", "Resend to unsuccessful destinations - Grouped Report",
                           QRect(8, 6, 248, 10));
  w.AddPrompt("?Prompt1", "Job Number:", QRect(8, 22, 50, 10));
  int job = w.AddEntry("?m_jobNum", QRect(60, 22, 100, 11), static_cast<int>(kJobNumberBytes));
  int unsuccessful = w.AddCheck("?m_bSendUnsuccessfulTargets", "Resend to unsuccessful destinations",
                                QRect(8, 38, 214, 10));
  int all = w.AddCheck("?m_bSendAllTargetsAgain", "Resend to all destinations", QRect(8, 52, 214, 10));
  int send = w.AddButton("?Close", "&Send", QRect(140, 78, 50, 14));
  int cancel = w.AddButton("?Cancel", "Cancel", QRect(200, 78, 50, 14));
  WireWindowHooks(w, "RetryUnseccessful", false);
  QObject::connect(&w, &Window::accepted, &w, [&](int field) {
    const int boxes[3] = {grouped, unsuccessful, all};
    for (int i = 0; i < 3; ++i) {
      if (field != boxes[i]) continue;
      choice.Check(i + 1, w.IsChecked(field));
      w.SetChecked(grouped, choice.grouped);
      w.SetChecked(unsuccessful, choice.unsuccessful);
      w.SetChecked(all, choice.all);
    }
    if (field == send) {
      result = SendResubmit(ini, choice, w.Text(job), prompter);
      // What was not written (a refused choice, a failed write) was told;
      // the window stays open to mend it or cancel.
      if (result.written) w.Close();
    }
    if (field == cancel) w.Close();
  });
  w.Run();
  return result;
}

}  // namespace mvn::client
