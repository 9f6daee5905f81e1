// The address-book windows (see procedures.h).
#include <QDropEvent>
#include <QIcon>
#include <QLineEdit>
#include <QMimeData>
#include <QMainWindow>
#include <QPixmap>
#include <QTabWidget>
#include <memory>

#include "client/addressbook/groups.h"
#include "client/addressbook/procedures.h"
#include "client/addressbook/settings.h"
#include "client/ui/windowhooks.h"
#include "framework/core/runtime.h"
#include "framework/core/services.h"
#include "framework/core/strings.h"
#include "framework/gui/browse.h"
#include "framework/gui/jpeg.h"
#include "framework/gui/listcontrol.h"
#include "framework/gui/window.h"
#include "helptips/hooks/hooks.h"

namespace mvn::client {

using framework::Browse;
using framework::Clip;
using framework::Column;
using framework::FormMode;
using framework::Message;
using framework::UpdateForm;
using framework::Upper;
using framework::Window;

namespace {

// The window icon and the logo picture named in [Default] Icon and Logo.
void ShowIconAndLogo(Window& w, const framework::IniFile& ini, QRect logoRect) {
  std::string icon = Clip(ini.Fetch("Default", "Icon"));
  if (!icon.empty()) {
    framework::ImageControl decoder;
    if (decoder.SetFile(icon)) w.Widget()->setWindowIcon(QIcon(QPixmap::fromImage(decoder.Picture())));
  }
  std::string logo = Clip(ini.Fetch("Default", "Logo"));
  if (logo.empty() || logoRect.isNull()) return;
  auto* image = new framework::ImageControl();
  w.Add(framework::ControlType::Image, "?Image1", image, logoRect);
  image->SetFile(logo);
}

// Lets a button take rows dragged from a list of its window: the drop is
// delivered as the window's drop event on the button.
class ButtonDropTarget : public QObject {
 public:
  ButtonDropTarget(Window& window, int button) : QObject(window.ControlWidget(button)), m_window(window), m_button(button) {
    window.ControlWidget(button)->setAcceptDrops(true);
    window.ControlWidget(button)->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::DragEnter && event->type() != QEvent::DragMove && event->type() != QEvent::Drop)
      return false;
    auto* drop = static_cast<QDropEvent*>(event);
    int source = 0, row = 0;
    if (!Parse(drop->mimeData(), &source, &row)) {
      event->ignore();
      return true;
    }
    drop->acceptProposedAction();
    if (event->type() == QEvent::Drop) m_window.DeliverDrop(source, row, m_button, 0);
    return true;
  }

 private:
  bool Parse(const QMimeData* data, int* source, int* row) const {
    if (!data || !data->hasFormat(framework::RowMimeType)) return false;
    QStringList parts = QString::fromUtf8(data->data(framework::RowMimeType)).split(' ');
    if (parts.size() != 3 || parts[0].toULongLong() != reinterpret_cast<quintptr>(m_window.Widget())) return false;
    *source = parts[1].toInt();
    *row = parts[2].toInt();
    return *row > 0;
  }
  Window& m_window;
  int m_button;
};

// Runs editor with path as its one argument and waits for it to end; the
// window takes no input meanwhile.
void RunEditor(Window& w, const std::string& editor, const std::string& path) {
  if (Clip(editor).empty() || Clip(path).empty()) return;
  std::string line = Clip(editor) + " \"" + Clip(path) + "\"";
  w.Widget()->setEnabled(false);
  framework::Run(line, true);
  w.Widget()->setEnabled(true);
}

}  // namespace

// ---------------------------------------------------------------------------
// The address form's rules

namespace addressform {

const char* const kAttachmentCodes[4] = {"TIFF", "MVN", "PDF", "RAW"};
const char* const kAttachmentTexts[4] = {"TIFF file", "MVN file", "PDF file", "Raw file"};
const char* const kEmailTypes[4] = {"SMTP", "TELEX", "PAGER", "OTHER"};

int DestinationChoice(const std::string& fax, const std::string& email, const std::string& stored) {
  std::string f = Clip(fax), e = Clip(email), s = Clip(stored);
  if (!e.empty() && e == s) return 2;
  if (!f.empty() && f == s) return 1;
  if (!f.empty()) return 1;
  if (!e.empty()) return 2;
  return 1;
}

int AttachmentEntry(const std::string& stored) {
  std::string v = Upper(Clip(stored));
  for (int i = 0; i < 4; ++i)
    if (v == kAttachmentCodes[i]) return i + 1;
  return 0;
}

int EmailTypeEntry(const std::string& stored) {
  std::string v = Upper(Clip(stored));
  for (int i = 0; i < 4; ++i)
    if (v == kEmailTypes[i]) return i + 1;
  return 0;
}

Accepted Accept(int choice, const std::string& fax, const std::string& email, int emailTypeEntry,
                const std::string& storedEmailType, int attachmentEntry, const std::string& storedAttachment) {
  Accepted a;
  a.preferredDestination = choice == 1 ? Clip(fax) : Clip(email);
  a.emailType = emailTypeEntry >= 1 && emailTypeEntry <= 4 ? kEmailTypes[emailTypeEntry - 1] : Clip(storedEmailType);
  if (attachmentEntry >= 1 && attachmentEntry <= 4)
    a.attachmentType = kAttachmentCodes[attachmentEntry - 1];
  else
    a.attachmentType = Clip(storedAttachment).empty() ? "RAW" : Clip(storedAttachment);
  return a;
}

bool ViewOnly(const framework::IniFile& ini) { return Upper(Clip(ini.Fetch("Default", "EditAddressBooks"))) == "NO"; }

}  // namespace addressform

// ---------------------------------------------------------------------------
// UpdateMVClient

int UpdateMVClient(Dictionary& dict, const framework::IniFile& ini, int mode) {
  framework::FileManager& clients = dict.File("MVClients");
  framework::Record& r = clients.Buffer();
  UpdateForm form("UpdateMVClient", clients, &dict.Relation("MVClients"), QRect(0, 0, 340, 235));
  form.SetCaption(FormMode::Insert, "Adding an Address Record");
  form.SetCaption(FormMode::Change, "Changing an Address Record");
  WireWindowHooks(form, "UpdateMVClient", false);

  int sheet = form.AddSheet("?Sheet1", QRect(3, 3, 334, 209));
  int general = form.AddTab(sheet, "?Tab1", "General Details");
  int business = form.AddTab(sheet, "?Tab2", "Business Address Details");
  int emailTab = form.AddTab(sheet, "?Tab3", "Email Details");

  // Each entry takes what its record field holds.
  auto entry = [&](int tab, const char* use, const char* label, const char* field, int x, int y, int width) {
    form.AddPrompt(std::string("?Prompt:") + use, label, QRect(x, y, 76, 10), tab);
    const int maxBytes = static_cast<int>(FieldBytes(r.GetLayout(), field));
    int f = form.AddEntry(std::string("?") + use, QRect(x + 78, y, width, 11), maxBytes, tab);
    form.Bind(f, &r, field);
    return f;
  };
  int company = entry(general, "MVC:Company", "C&ompany Name:", "Company", 8, 22, 160);
  int contact = entry(general, "MVC:ClientID", "Contact &Person:", "ClientID", 8, 36, 160);
  int fax = entry(general, "MVC:FaxNum", "&Fax Number:", "FaxNum", 8, 50, 120);
  int email = entry(general, "MVC:Email", "Email Address:", "Email", 8, 64, 160);
  int option = form.AddOption("?Option1", "Preferred Destination:", QRect(8, 80, 200, 24), general);
  // Radios are placed inside their option.
  form.AddRadio(option, "?Option1:Radio1", "Use Fax", "1", QRect(6, 11, 60, 10));
  form.AddRadio(option, "?Option1:Radio2", "Use Email", "2", QRect(76, 11, 60, 10));
  form.AddPrompt("?Prompt:Attach", "Preferred Email Attachment Type:", QRect(8, 110, 120, 10), general);
  int attach = form.AddDropList("?List_attach", QRect(130, 110, 80, 11),
                                {addressform::kAttachmentTexts[0], addressform::kAttachmentTexts[1],
                                 addressform::kAttachmentTexts[2], addressform::kAttachmentTexts[3]},
                                general);
  entry(general, "MVC:ChargeCode", "Default Charge Code:", "ChargeCode", 8, 126, 80);
  int mark = form.AddCheck("?MVC:Mark", "Mark:", QRect(8, 142, 60, 10), general);
  form.Bind(mark, &r, "Mark");

  entry(business, "MVC:Sal", "Title:", "Sal", 8, 22, 60);
  entry(business, "MVC:FirstName", "First Name:", "FirstName", 8, 35, 80);
  entry(business, "MVC:LastName", "Last Name:", "LastName", 8, 48, 80);
  entry(business, "MVC:Position", "Position:", "Position", 8, 61, 80);
  entry(business, "MVC:Department", "Department:", "Department", 8, 74, 80);
  form.AddPrompt("?Prompt:Postal", "Postal Address:", QRect(8, 87, 76, 10), business);
  int postal = form.AddText("?MVC:PostalAddress", QRect(86, 87, 80, 30), business);
  form.Bind(postal, &r, "PostalAddress");
  form.AddPrompt("?Prompt:Physical", "Physical Address:", QRect(8, 120, 76, 10), business);
  int physical = form.AddText("?MVC:PhysicalAddress", QRect(86, 120, 80, 30), business);
  form.Bind(physical, &r, "PhysicalAddress");
  entry(business, "MVC:PhoneNum", "Phone Number:", "PhoneNum", 8, 153, 80);
  int fax2 = entry(business, "MVC:FaxNum:2", "&Fax Number:", "FaxNum", 8, 166, 80);
  entry(business, "MVC:CellPhone", "Cell Phone:", "CellPhone", 8, 179, 80);
  entry(business, "MVC:PagerNumber", "Pager Number:", "PagerNumber", 170, 22, 70);
  entry(business, "MVC:WebAddress", "Web Address:", "WebAddress", 170, 35, 70);
  entry(business, "MVC:AssistantsName", "Assistant's Name:", "AssistantsName", 170, 48, 70);
  entry(business, "MVC:ManagersName", "Manager's Name:", "ManagersName", 170, 61, 70);
  entry(business, "MVC:HomePhone", "Home Phone:", "HomePhone", 170, 74, 70);
  entry(business, "MVC:SpouseName", "Spouse's Name:", "SpouseName", 170, 87, 70);
  entry(business, "MVC:Notes", "Notes:", "Notes", 170, 100, 70);
  int company2 = entry(business, "MVC:Company:2", "C&ompany Name:", "Company", 170, 153, 70);
  int contact2 = entry(business, "MVC:ClientID:2", "Contact &Person:", "ClientID", 170, 166, 70);

  entry(emailTab, "MVC:DisplayName", "Display Name:", "DisplayName", 8, 22, 160);
  int email2 = entry(emailTab, "MVC:Email:2", "Email Address:", "Email", 8, 36, 160);
  form.AddPrompt("?Prompt:EmailType", "Email Type:", QRect(8, 50, 76, 10), emailTab);
  int emailType = form.AddDropList("?List_emailType", QRect(86, 50, 80, 11),
                                   {addressform::kEmailTypes[0], addressform::kEmailTypes[1],
                                    addressform::kEmailTypes[2], addressform::kEmailTypes[3]},
                                   emailTab);
  int rtf = form.AddCheck("?MVC:SendAsRTF", "Send messages in Rich Text Format (RTF)", QRect(8, 66, 180, 10), emailTab);
  form.Bind(rtf, &r, "SendAsRTF");
  form.AddButton("?Help", "Help", QRect(5, 217, 45, 14));

  // The twins of one field show the same text.
  const std::pair<int, int> twins[] = {{fax, fax2}, {company, company2}, {contact, contact2}, {email, email2}};
  // Kept equal while the user types: both are bound to the same field, so
  // a twin left behind would overwrite what was typed into the other.
  for (auto [a, b] : twins) {
    auto* ea = qobject_cast<QLineEdit*>(form.ControlWidget(a));
    auto* eb = qobject_cast<QLineEdit*>(form.ControlWidget(b));
    if (!ea || !eb) continue;
    QObject::connect(ea, &QLineEdit::textEdited, eb, [eb](const QString& t) { eb->setText(t); });
    QObject::connect(eb, &QLineEdit::textEdited, ea, [ea](const QString& t) { ea->setText(t); });
  }
  std::string storedEmailType, storedAttachment, storedDestination;
  // The destination controls follow the fax number and the e-mail address
  // whenever one of them is accepted: the choice is made again from them
  // and the stored destination, so a record with only an e-mail address
  // goes to that address.
  std::string seenFax, seenEmail;
  auto destinations = [&] {
    std::string f = Clip(form.Text(fax)), e = Clip(form.Text(email));
    form.Disable(option, f.empty() || e.empty());
    form.Disable(attach, e.empty());
    if (f != seenFax || e != seenEmail)
      form.SetText(option, std::to_string(addressform::DestinationChoice(f, e, storedDestination)));
    seenFax = f;
    seenEmail = e;
  };
  const bool viewOnly = addressform::ViewOnly(ini);
  form.SetOpening([&](FormMode) {
    storedEmailType = r.Clipped("EmailType");
    storedAttachment = r.Clipped("FaxToEmailAttachmentType");
    form.SetChoice(emailType, addressform::EmailTypeEntry(storedEmailType));
    form.SetChoice(attach, addressform::AttachmentEntry(storedAttachment));
    storedDestination = r.Clipped("PreferredDestination");
    seenFax = seenEmail = std::string(1, '\n');  // nothing seen yet: choose
    destinations();
    if (viewOnly) {
      form.Hide(form.OkButton());
      form.SetText(form.CancelButton(), "&Back");
    }
    LanguageWindowOpened(&form, "UpdateMVClient", nullptr);
  });
  QObject::connect(&form, &Window::accepted, &form, [&](int field) {
    for (auto [a, b] : twins) {
      if (field == a) form.SetText(b, form.Text(a));
      if (field == b) form.SetText(a, form.Text(b));
    }
    destinations();
  });
  form.SetCheck([&] {
    if (viewOnly) return false;
    // OK straight from a field that was not accepted yet.
    destinations();
    int choice = form.Text(option) == "2" ? 2 : 1;
    auto a = addressform::Accept(choice, r.Clipped("FaxNum"), r.Clipped("Email"), form.Choice(emailType),
                                 storedEmailType, form.Choice(attach), storedAttachment);
    r.Set("PreferredDestination", a.preferredDestination);
    r.Set("EmailType", a.emailType);
    r.Set("FaxToEmailAttachmentType", a.attachmentType);
    if (Clip(r.Clipped("ClientID")).empty() && Clip(r.Clipped("Company")).empty() &&
        a.preferredDestination.empty()) {
      // Such a record could not be found or sent to.
      Message("Please enter a contact person, a company or a fax number or e-mail address.", "Address Record");
      form.Select(contact);
      return false;
    }
    return true;
  });
  FormMode m = static_cast<FormMode>(mode);
  if (viewOnly && m != FormMode::Insert) m = FormMode::View;
  return form.Ask(m);
}

// ---------------------------------------------------------------------------
// FindClient

std::optional<framework::Record> FindClient(Window*, Dictionary& dict, const framework::IniFile& ini,
                                           const FindClientStart& start) {
  framework::FileManager& clients = dict.File("MVClients");
  Window w("FindClient", "Browsing the Address Book ( " + Clip(start.bookName) + " )", QRect(0, 0, 420, 215));
  WireWindowHooks(w, "FindClient", false);
  Browse browse(w, clients, "?Browse:1", QRect(5, 5, 410, 170),
                {{"Attention", "MVC:ClientID", 80},
                 {"Company", "MVC:Company", 80},
                 {"Destination", "MVC:PreferredDestination", 81},
                 {"Phone Num", "MVC:PhoneNum", 146},
                 {"Fax To Email Attachment Type", "MVC:FaxToEmailAttachmentType", 0},
                 {"Sal", "MVC:Sal", 0},
                 {"First Name", "MVC:FirstName", 0},
                 {"Last Name", "MVC:LastName", 0}},
                {{"Attention", "MVC:KeyClientID", ""},
                 {"Company", "MVC:KeyCompany", ""},
                 {"Destination", "MVC:KeyPreferredDestination", ""}});
  int insert = w.AddButton("?Insert", "&Insert", QRect(5, 185, 45, 14));
  int change = w.AddButton("?Change", "C&hange", QRect(55, 185, 45, 14));
  int remove = w.AddButton("?Delete", "&Delete", QRect(105, 185, 45, 14));
  int select = w.AddButton("?Select", "&Select", QRect(155, 185, 45, 14));
  w.AddButton("?Help", "Help", QRect(315, 185, 45, 14));
  int cancel = w.AddButton("?Cancel", "&Cancel", QRect(365, 185, 45, 14));
  ShowIconAndLogo(w, ini, QRect(210, 180, 60, 24));
  const bool viewOnly = addressform::ViewOnly(ini);
  browse.SetButtons(viewOnly ? 0 : insert, change, viewOnly ? 0 : remove, select);
  if (viewOnly) {
    w.Hide(insert);
    w.Hide(remove);
  }
  browse.SetForm([&](FormMode m) { return UpdateMVClient(dict, ini, static_cast<int>(m)); });
  // The list's popup menu: the help tip of the list.
  if (QWidget* view = w.ControlWidget(browse.ListField())) {
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(view, &QWidget::customContextMenuRequested, &w, [&w, &browse](const QPoint&) {
      if (framework::Popup("&What's This?") == 1)
        helptips::HintwellTipRequest(framework::ControlTypeName(w.Type(browse.ListField())),
                                     w.UseName(browse.ListField()).c_str(), "FindClient", ClientTipFile().c_str());
    });
  }
  bool selected = false;
  QObject::connect(&w, &Window::accepted, &w, [&](int field) {
    if (field == select) {
      selected = browse.TakeSelected();
      w.Close();
    } else if (field == cancel) {
      w.Close();
    }
  });
  QObject::connect(&w, &Window::windowEvent, &w, [&](int event, int) {
    if (event != framework::EventOpenWindow) return;
    // Tabs 1 to 3 are the browse's orders 0 to 2.
    browse.SetOrder((start.tab >= 1 && start.tab <= 3 ? start.tab : 1) - 1);
    browse.OpenPositioned({{"ClientID", Clip(start.clientId)},
                           {"Company", Clip(start.company)},
                           {"PreferredDestination", Clip(start.destination)}});
    LanguageWindowOpened(&w, "FindClient", nullptr);
  });
  w.Run();
  if (!selected) return std::nullopt;
  return clients.Buffer();
}

// ---------------------------------------------------------------------------
// Groups

static_assert(kGroupNameLimit == kMaxListText, "a typed group name fits the CSV exchange's group columns");

int UpdateGroups(Dictionary& dict, int mode) {
  framework::FileManager& groups = dict.File("MVdefaults");
  UpdateForm form("UpdateGroups", groups, &dict.Relation("MVdefaults"), QRect(0, 0, 220, 60));
  form.SetCaption(FormMode::Insert, "Adding a New Group");
  form.SetCaption(FormMode::Change, "Changing a Group");
  form.SetCaption(FormMode::Delete, "Updating a Database Record");
  WireWindowHooks(form, "UpdateGroups", false);
  form.AddPrompt("?MVD:GroupID:Prompt", "&Group Name:", QRect(5, 8, 50, 10));
  // The entry takes what the book may hold already (so a long name shown
  // for a change is not cut unseen); the check holds new names to the limit.
  int name = form.AddEntry("?MVD:GroupID", QRect(58, 8, 150, 11), static_cast<int>(kMaxGroupName));
  const std::string limitText = "A group name can be at most " + std::to_string(kGroupNameLimit) +
                                " bytes long (a letter outside A to Z can take two or more).";
  if (QWidget* entry = form.ControlWidget(name)) entry->setToolTip(QString::fromStdString(limitText));
  form.Bind(name, &groups.Buffer(), "GroupID");
  form.AddButton("?Help", "Help", QRect(5, 42, 45, 14));
  form.SetOpening([&](FormMode) { LanguageWindowOpened(&form, "UpdateGroups", nullptr); });
  form.SetCheck([&] {
    const std::string typed = Clip(groups.Buffer().Clipped("GroupID"));
    if (typed.empty()) {
      Message("A group needs a name.", "Group");
      return false;
    }
    if (typed.size() > kGroupNameLimit) {
      Message(limitText, "Group");
      form.Select(name);
      return false;
    }
    return true;
  });
  return form.Ask(static_cast<FormMode>(mode));
}

namespace {

// The Group and Recipient Setup window: the groups on the left, the
// recipients on the right, each side on two tabs ("Associate" or "Group
// Members": what relates to the other side's pick; "All": a browse of the
// table). The buttons between them join and part the two picks.
class GroupClientSetupWindow {
 public:
  GroupClientSetupWindow(Dictionary& dict, const framework::IniFile& ini)
      : m_dict(dict), m_q(dict.Queues()), m_w("GroupClientSetup", "Group and Recipient Setup", QRect(0, 0, 485, 230)) {
    WireWindowHooks(m_w, "GroupClientSetup", false);
    AddGroupSide();
    AddRecipientSide(ini);
    AddCommonControls(ini);
    AddTips();
    Connect();
  }
  void Run() { m_w.Run(); }

 private:
  void AddGroupSide() {
    m_left = m_w.AddSheet("?Sheet_groups", QRect(3, 3, 150, 200));
    m_associate = m_w.AddTab(m_left, "?Tab_associate", "Associate");
    int allGroups = m_w.AddTab(m_left, "?Tab_allGroups", "All");
    m_related = m_w.AddList("?List_relatedGroups", QRect(3, 3, 140, 150), &m_q.g_relatedGroupsQ,
                            {{"Group Name", "GroupID", 120}}, std::string(), m_associate);
    m_groups = std::make_unique<Browse>(m_w, m_dict.File("MVdefaults"), "?Browse_groups", QRect(6, 20, 144, 145),
                                        std::vector<Column>{{"Group Name", "MVD:GroupID", 120}},
                                        std::vector<framework::SortOrder>{{"Group Name", "MVd:KeyGroupID", ""}});
    m_gAdd = m_w.AddButton("?Button_addGroup", "&Add", QRect(6, 168, 45, 14), allGroups);
    m_gChange = m_w.AddButton("?Button_changeGroup", "&Change", QRect(54, 168, 45, 14), allGroups);
    m_gDelete = m_w.AddButton("?Button_deleteGroup", "&Delete", QRect(102, 168, 45, 14), allGroups);
    m_groups->SetButtons(m_gAdd, m_gChange, m_gDelete);
    m_groups->SetForm([this](FormMode m) { return UpdateGroups(m_dict, static_cast<int>(m)); });
  }

  void AddRecipientSide(const framework::IniFile& ini) {
    m_right = m_w.AddSheet("?Sheet_recipients", QRect(260, 3, 222, 200));
    m_membersTab = m_w.AddTab(m_right, "?Tab_members", "Group Members");
    int allClients = m_w.AddTab(m_right, "?Tab_allClients", "All");
    m_members =
        m_w.AddList("?List_relatedClients", QRect(3, 3, 212, 145), &m_q.g_relatedClientsQ,
                    {{"Contact Person", "ToName", 70}, {"Company", "Company", 70}, {"Destination", "Destination", 70}},
                    std::string(), m_membersTab);
    m_clients =
        std::make_unique<Browse>(m_w, m_dict.File("MVClients"), "?Browse_clients", QRect(263, 20, 216, 145),
                                 std::vector<Column>{{"Contact Person", "MVC:ClientID", 60},
                                                     {"Company", "MVC:Company", 60},
                                                     {"Destination", "MVC:PreferredDestination", 60},
                                                     {"Fax Number", "MVC:FaxNum", 50},
                                                     {"Email", "MVC:Email", 50},
                                                     {"Phone Num", "MVC:PhoneNum", 50},
                                                     {"Mark", "MVC:Mark", 20}},
                                 std::vector<framework::SortOrder>{{"Contact Person", "MVC:KeyClientID", ""},
                                                                   {"Company", "MVC:KeyCompany", ""},
                                                                   {"Destination", "MVC:KeyPreferredDestination", ""}});
    m_cAdd = m_w.AddButton("?Button_addClient", "A&dd", QRect(6, 168, 45, 14), allClients);
    m_cChange = m_w.AddButton("?Button_changeClient", "C&hange", QRect(54, 168, 45, 14), allClients);
    m_cDelete = m_w.AddButton("?Button_deleteClient", "D&elete", QRect(102, 168, 45, 14), allClients);
    m_clients->SetButtons(m_cAdd, m_cChange, m_cDelete);
    m_clients->SetForm([this, &ini](FormMode m) { return UpdateMVClient(m_dict, ini, static_cast<int>(m)); });
  }

  // The members' sort order, the group count, the join and part buttons,
  // Close and the logo.
  void AddCommonControls(const framework::IniFile& ini) {
    m_w.AddPrompt("?SortBy:Prompt", "Sort by:", QRect(3, 153, 35, 10), m_membersTab);
    m_sort =
        m_w.AddDropList("?SortBy", QRect(40, 153, 70, 11), {"Contact Person", "Company", "Destination"}, m_membersTab);
    m_w.AddPrompt("?Total:Prompt", "Total:", QRect(3, 158, 25, 10), m_associate);
    m_total = m_w.AddEntry("?Total", QRect(30, 158, 40, 10), 0, m_associate);
    m_addTo = m_w.AddButton("?Button_addToGroup", "<<+>> Add to &Group", QRect(156, 60, 101, 14));
    m_removeFrom = m_w.AddButton("?Button_removeFromGroup", "<<X>> &Remove from Group", QRect(156, 80, 101, 14));
    m_close = m_w.AddButton("?Close", "Cl&ose", QRect(435, 210, 45, 14));
    ShowIconAndLogo(m_w, ini, QRect(160, 120, 78, 40));
  }

  void AddTips() {
    auto tip = [this](int field, const char* text) {
      if (QWidget* widget = m_w.ControlWidget(field)) widget->setToolTip(QString::fromUtf8(text));
    };
    tip(m_related, "Displays the groups that the select recipient on the right is a member of");
    tip(m_groups->ListField(), "Displays all groups in the address book");
    tip(m_members, "Display the recipients of the selected group on the left");
    tip(m_clients->ListField(), "Display all recipients in the address book");
  }

  void Connect() {
    QObject::connect(m_groups.get(), &Browse::selectionChanged, &m_w, [this] {
      if (TabOf(m_left) != 1) return;
      PickGroup();
      ReloadMembers();
    });
    QObject::connect(m_clients.get(), &Browse::selectionChanged, &m_w, [this] {
      if (TabOf(m_right) != 1) return;
      PickRecipient();
      ReloadGroups();
    });
    QObject::connect(&m_w, &Window::accepted, &m_w, [this](int field) { Accepted(field); });
    QObject::connect(&m_w, &Window::windowEvent, &m_w, [this](int event, int field) { WindowEvent(event, field); });
  }

  int TabOf(int sheet) {
    auto* tabs = qobject_cast<QTabWidget*>(m_w.ControlWidget(sheet));
    return tabs ? tabs->currentIndex() : 0;
  }

  // The browses lie over their sheets' "All" tabs: shown only on them.
  void ShowBrowsesOnTheirTabs() {
    auto* l = qobject_cast<QTabWidget*>(m_w.ControlWidget(m_left));
    auto* r = qobject_cast<QTabWidget*>(m_w.ControlWidget(m_right));
    bool groupsShown = l && l->currentIndex() == 1;
    bool clientsShown = r && r->currentIndex() == 1;
    for (int f : {m_groups->SheetField(), m_groups->LocatorField(), m_groups->ListField()})
      if (f) m_w.Hide(f, !groupsShown);
    for (int f : {m_clients->SheetField(), m_clients->LocatorField(), m_clients->ListField()})
      if (f) m_w.Hide(f, !clientsShown);
  }

  // "Associate", for the recipient.
  void ReloadGroups() {
    m_reloading = true;
    LoadClientGroups(m_dict, m_recipient);
    m_w.List(m_related)->Reload();
    m_w.SetText(m_total, std::to_string(m_q.g_relatedGroupsQ.Records()));
    m_reloading = false;
  }
  // "Group Members", for the group.
  void ReloadMembers() {
    m_reloading = true;
    LoadGroupMembers(m_dict, m_group, m_w.Choice(m_sort) > 0 ? m_w.Choice(m_sort) : 1);
    m_w.List(m_members)->Reload();
    m_reloading = false;
  }
  void Reload() {
    ReloadGroups();
    ReloadMembers();
  }

  // The group picked on the left and the recipient picked on the right, in
  // whichever list of the side the user picked it.
  void PickGroup() {
    if (TabOf(m_left) == 0) {
      int k = m_w.Choice(m_related);
      if (k > 0 && m_q.g_relatedGroupsQ.Get(k) == 0) m_group = m_q.g_relatedGroupsQ.Buffer().Clipped("GroupID");
    } else if (m_groups->SelectedRow() >= 0) {
      m_groups->TakeSelected();
      m_group = m_dict.File("MVdefaults").Buffer().Clipped("GroupID");
    }
  }
  void PickRecipient() {
    if (TabOf(m_right) == 0) {
      int k = m_w.Choice(m_members);
      if (k > 0 && m_q.g_relatedClientsQ.Get(k) == 0)
        m_recipient = static_cast<long>(m_q.g_relatedClientsQ.Buffer().GetLong("FK_MVClientID"));
    } else if (m_clients->SelectedRow() >= 0) {
      m_clients->TakeSelected();
      m_recipient = static_cast<long>(m_dict.File("MVClients").Buffer().GetLong("PK_MVClientID"));
    }
  }

  // A group picked in "Associate" shows its members; a member picked in
  // "Group Members" shows its groups.
  void Picked(int field) {
    if (m_reloading) return;
    if (field == m_related) {
      PickGroup();
      ReloadMembers();
    } else if (field == m_members) {
      PickRecipient();
      ReloadGroups();
    }
  }

  void Accepted(int field) {
    if (field == m_related || field == m_members) {
      Picked(field);
    } else if (field == m_addTo || field == m_removeFrom) {
      PickGroup();
      PickRecipient();
      std::string m =
          field == m_addTo ? AddToGroup(m_dict, m_group, m_recipient) : RemoveFromGroup(m_dict, m_group, m_recipient);
      if (!m.empty()) Message(m, "Group and Recipient Setup");
      Reload();
    } else if (field == m_sort) {
      Reload();
    } else if (field == m_close) {
      m_w.Close();
    } else if (field == m_gDelete || field == m_cDelete || field == m_gChange || field == m_cChange) {
      Reload();
    }
  }

  void WindowEvent(int event, int field) {
    if (event == framework::EventNewSelection && (field == m_left || field == m_right)) ShowBrowsesOnTheirTabs();
    if (event == framework::EventNewSelection && (field == m_related || field == m_members)) Picked(field);
    if (event == framework::EventOpenWindow) Opened();
  }

  void Opened() {
    m_groups->Open();
    m_clients->Open();
    // Opens on the two "All" lists: a group and a recipient to join.
    for (int sheet : {m_left, m_right})
      if (auto* tabs = qobject_cast<QTabWidget*>(m_w.ControlWidget(sheet))) tabs->setCurrentIndex(1);
    ShowBrowsesOnTheirTabs();
    m_w.SetChoice(m_sort, 1);
    PickGroup();
    PickRecipient();
    Reload();
    LanguageWindowOpened(&m_w, "GroupClientSetup", nullptr);
  }

  Dictionary& m_dict;
  GlobalQueues& m_q;
  Window m_w;
  std::unique_ptr<Browse> m_groups, m_clients;
  int m_left = 0, m_associate = 0, m_related = 0, m_gAdd = 0, m_gChange = 0, m_gDelete = 0;
  int m_right = 0, m_membersTab = 0, m_members = 0, m_cAdd = 0, m_cChange = 0, m_cDelete = 0;
  int m_sort = 0, m_total = 0, m_addTo = 0, m_removeFrom = 0, m_close = 0;
  std::string m_group;
  long m_recipient = 0;
  // A list's selection moved by its own reload is no pick of the user.
  bool m_reloading = false;
};

}  // namespace

void GroupClientSetup(Window*, Dictionary& dict, const framework::IniFile& ini) {
  GroupClientSetupWindow window(dict, ini);
  window.Run();
}

// ---------------------------------------------------------------------------
// AutoTextSetup

void AutoTextSetup(Window*, Dictionary& dict, framework::IniFile& ini, const std::string& editor) {
  framework::Queue& q = dict.Queues().g_QautoText;
  Window w("AutoTextSetup", "AutoText Setup", QRect(0, 0, 277, 172));
  WireWindowHooks(w, "AutoTextSetup", false);
  w.AddPrompt("?List1:Prompt", "Available AutoText Files", QRect(5, 5, 120, 10));
  int list = w.AddList("?List1", QRect(5, 16, 130, 120), &q, {{"Name", "Name", 120}});
  w.AddPrompt("?g_QautoText:Name:Prompt", "Selected autotext file:", QRect(140, 16, 130, 10));
  int name = w.AddEntry("?g_QautoText:Name", QRect(140, 27, 130, 11), static_cast<int>(kMaxAutoTextName));
  w.AddPrompt("?g_QautoText:fullPathName:Prompt", "Path name of selected autotext file:", QRect(140, 42, 130, 10));
  int path = w.AddEntry("?g_QautoText:fullPathName", QRect(140, 53, 112, 11), static_cast<int>(kMaxSettingsPath));
  int find = w.AddButton("?Button_find", "...", QRect(255, 53, 15, 11));
  int edit = w.AddButton("?Button_edit", "View/Edit/Create file", QRect(140, 70, 90, 14));
  int del = w.AddButton("?Button_delete", "&Delete", QRect(5, 150, 45, 14));
  int close = w.AddButton("?Close", "Close", QRect(225, 150, 45, 14));
  int add = w.AddButton("?Button_add", "&Add", QRect(125, 150, 45, 14));
  int update = w.AddButton("?Button_update", "&Update", QRect(175, 150, 45, 14));
  auto show = [&](int k) {
    w.List(list)->Reload();
    if (k > 0 && q.Get(k) == 0) {
      w.SetChoice(list, k);
      w.SetText(name, q.Buffer().Clipped("Name"));
      w.SetText(path, q.Buffer().Clipped("fullPathName"));
    } else {
      w.SetText(name, "");
      w.SetText(path, "");
    }
  };
  QObject::connect(&w, &Window::accepted, &w, [&](int field) {
    int current = 0;
    std::string m;
    if (field == list) {
      show(w.Choice(list));
    } else if (field == find) {
      framework::FileDialogRequest request;
      request.title = "Please select a text file for this Autotext";
      request.filters = "*.*|*.*";
      std::string chosen;
      if (framework::Services().FileDialog(request, &chosen)) {
        m = CheckSettingsPath(chosen);
        if (m.empty()) w.SetText(path, chosen);
      }
    } else if (field == edit) {
      RunEditor(w, editor, w.Text(path));
    } else if (field == add) {
      m = AutoTextAdd(ini, q, w.Text(name), w.Text(path), &current);
      if (m.empty()) show(current);
    } else if (field == update) {
      int k = w.Choice(list);
      m = AutoTextUpdate(ini, q, k, w.Text(name), w.Text(path));
      if (m.empty()) show(k);
    } else if (field == del) {
      m = AutoTextDelete(ini, q, w.Choice(list), &current);
      if (m.empty()) show(current);
    } else if (field == close) {
      w.Close();
    }
    if (!m.empty()) Message(m, "AutoText Setup");
  });
  QObject::connect(&w, &Window::windowEvent, &w, [&](int event, int) {
    if (event != framework::EventOpenWindow) return;
    LoadAutoTextList(ini, q);
    show(0);
  });
  w.Run();
}

// ---------------------------------------------------------------------------
// CoverPageSetup

void CoverPageSetup(Window*, Dictionary& dict, const framework::IniFile& ini, const std::string& editor) {
  framework::Queue& q = dict.Queues().g_QcoverPages;
  Window w("CoverPageSetup", "Cover Page Setup", QRect(0, 0, 325, 203));
  WireWindowHooks(w, "CoverPageSetup", false);
  int sheet = w.AddSheet("?Sheet1", QRect(5, 5, 220, 170));
  int tabs[3] = {w.AddTab(sheet, "?Tab1", "Address Details"), w.AddTab(sheet, "?Tab2", "Body Text Details"),
                 w.AddTab(sheet, "?Tab3", "Signature Details")};
  const std::vector<std::string> lineEntries(kLinesEntries, kLinesEntries + 4);
  const char* prefix[3] = {"m_Head", "m_Body", "m_Signature"};
  const char* lineNames[3] = {"?List2", "?List2:2", "?List2:3"};
  const char* imageNames[3] = {"?Image1", "?Image1:3", "?Image1:2"};
  int margins[3][4];
  int lines[3];
  int headFile = 0, signatureFile = 0;
  const char* sides[4] = {"Left", "Right", "Top", "Bottom"};
  for (int t = 0; t < 3; ++t) {
    if (t == 0) {
      w.AddPrompt("?m_headFileName:Prompt", "Address RTF file name:", QRect(5, 5, 120, 10), tabs[t]);
      headFile = w.AddEntry("?m_headFileName", QRect(5, 16, 165, 11), static_cast<int>(kMaxSettingsPath), tabs[t]);
    } else if (t == 2) {
      w.AddPrompt("?m_signatureFileName:Prompt", "Signature RTF file name:", QRect(5, 5, 120, 10), tabs[t]);
      signatureFile =
          w.AddEntry("?m_signatureFileName", QRect(5, 16, 165, 11), static_cast<int>(kMaxSettingsPath), tabs[t]);
    }
    w.AddPrompt(std::string("?Margins:") + std::to_string(t), "Margins (inches)", QRect(5, 33, 80, 10), tabs[t]);
    for (int s = 0; s < 4; ++s) {
      w.AddPrompt(std::string("?") + prefix[t] + sides[s] + ":Prompt", std::string(sides[s]) + ":",
                  QRect(5, 45 + s * 14, 30, 10), tabs[t]);
      margins[t][s] = w.AddEntry(std::string("?") + prefix[t] + sides[s], QRect(37, 45 + s * 14, 40, 11),
                                 static_cast<int>(kMarginBytes), tabs[t]);
    }
    w.AddPrompt(std::string("?Lines:") + std::to_string(t), "Horizontal lines", QRect(90, 45, 75, 10), tabs[t]);
    lines[t] = w.AddDropList(lineNames[t], QRect(90, 56, 75, 11), lineEntries, tabs[t]);
    auto* image = new framework::ImageControl();
    w.Add(framework::ControlType::Image, imageNames[t], image, QRect(90, 75, 75, 60), tabs[t]);
    std::string logo = Clip(ini.Fetch("Default", "Logo"));
    if (!logo.empty()) image->SetFile(logo);
  }
  w.AddPrompt("?List1:Prompt", "Cover page list:", QRect(230, 5, 90, 10));
  int list = w.AddList("?List1", QRect(230, 16, 90, 140), &q, {{"Name", "Name", 80}});
  int view = w.AddButton("?Button_ViewEdit", "View/Edit", QRect(5, 182, 45, 14));
  int choose = w.AddButton("?Button_selectFile", "...", QRect(55, 182, 20, 14));
  int update = w.AddButton("?Button_update", "Update", QRect(80, 182, 45, 14));
  int del = w.AddButton("?Button_Delete", "Delete", QRect(130, 182, 45, 14));
  int close = w.AddButton("?Close", "Close", QRect(275, 182, 45, 14));

  CoverPageValues shown;
  auto load = [&](int k) {
    shown = CoverPageValues();
    if (k > 0 && k <= q.Records()) shown = LoadCoverPage(ini, q.Entry(k).Clipped("Name"));
    CoverBlock* blocks[3] = {&shown.head, &shown.body, &shown.signature};
    w.SetText(headFile, shown.headFileName);
    w.SetText(signatureFile, shown.signatureFileName);
    for (int t = 0; t < 3; ++t) {
      for (int s = 0; s < 4; ++s) w.SetText(margins[t][s], blocks[t]->margins[static_cast<size_t>(s)]);
      if (k > 0) w.SetChoice(lines[t], blocks[t]->lines);
    }
  };
  auto currentTab = [&] {
    auto* tabsWidget = qobject_cast<QTabWidget*>(w.ControlWidget(sheet));
    return tabsWidget ? tabsWidget->currentIndex() : 0;
  };
  auto tabShown = [&] {
    bool body = currentTab() == 1;
    w.Hide(view, body);
    w.Hide(choose, body);
  };
  QObject::connect(&w, &Window::accepted, &w, [&](int field) {
    std::string m;
    if (field == list) {
      load(w.Choice(list));
    } else if (field == sheet) {
      tabShown();
    } else if (field == view) {
      RunEditor(w, editor, w.Text(currentTab() == 2 ? signatureFile : headFile));
    } else if (field == choose) {
      framework::FileDialogRequest request;
      request.title = "Please select a file for the cover page";
      request.filters = "*.*|*.*";
      std::string chosen;
      if (framework::Services().FileDialog(request, &chosen)) {
        m = CheckSettingsPath(chosen);
        if (m.empty()) w.SetText(currentTab() == 2 ? signatureFile : headFile, chosen);
      }
    } else if (field == update) {
      int k = w.Choice(list);
      if (k < 1 || k > q.Records()) {
        m = "Please select a cover page before updating it.";
      } else {
        CoverPageValues v = shown;
        CoverBlock* blocks[3] = {&v.head, &v.body, &v.signature};
        v.headFileName = w.Text(headFile);
        v.signatureFileName = w.Text(signatureFile);
        for (int t = 0; t < 3; ++t) {
          for (int s = 0; s < 4; ++s) blocks[t]->margins[static_cast<size_t>(s)] = Clip(w.Text(margins[t][s]));
          blocks[t]->lines = w.Choice(lines[t]);
        }
        m = UpdateCoverPage(ini, q.Entry(k).Clipped("Name"), v);
        if (m.empty()) shown = v;
      }
    } else if (field == del) {
      int current = 0;
      m = DeleteCoverPage(ini, q, w.Choice(list), &current);
      if (m.empty()) {
        w.List(list)->Reload();
        w.SetChoice(list, current);
        load(current);
      }
    } else if (field == close) {
      w.Close();
    }
    if (!m.empty()) Message(m, "Cover Page Setup");
  });
  QObject::connect(&w, &Window::windowEvent, &w, [&](int event, int field) {
    if (event == framework::EventNewSelection && field == sheet) tabShown();
    if (event != framework::EventOpenWindow) return;
    LanguageWindowOpened(&w, "CoverPageSetup", nullptr);
    w.List(list)->Reload();
    load(0);
  });
  w.Run();
}

// ---------------------------------------------------------------------------
// ImportTxtToKDF2option

void ImportTxtToKDF2option(Window*, Dictionary& dict, ImportSession& session) {
  session.start = false;
  GlobalQueues& gq = dict.Queues();
  // The two lists are queues of their own: the field list and the column list.
  framework::Queue fields(framework::MakeLayout("QIF", {framework::CStringField("Name", 50)}));
  for (const std::string& f : ImportFieldList()) {
    fields.Buffer().Clear();
    fields.Buffer().Set("Name", f);
    fields.Add();
  }
  framework::Queue columnsQ(
      framework::MakeLayout("QIC", {framework::CStringField("Name", 50), framework::CStringField("Map", 50)}));
  ImportColumns columns;
  columns.ReadTitles(dict, session.fileName);
  auto fillColumns = [&] {
    columnsQ.Free();
    for (const auto& row : columns.Rows()) {
      columnsQ.Buffer().Clear();
      columnsQ.Buffer().Set("Name", row.title);
      columnsQ.Buffer().Set("Map", row.mapping);
      columnsQ.Add();
    }
  };
  fillColumns();

  Window w("ImportTxtToKDF2option", "Import From CSV to KDF Options", QRect(0, 0, 345, 230));
  WireWindowHooks(w, "ImportTxtToKDF2option", false);
  w.AddPrompt("?Prompt:file", "Import from csv file:", QRect(5, 5, 80, 10));
  int file = w.AddEntry("?g_MVClientsBFullPathName2", QRect(88, 5, 225, 11), static_cast<int>(kMaxSettingsPath));
  int browseFile = w.AddButton("?Button5", "...", QRect(317, 5, 20, 11));
  w.AddPrompt("?Prompt:mapping", "Fields mapping", QRect(5, 22, 70, 10));
  int groupButton = w.AddButton("?Button_group", "&Group >>", QRect(5, 34, 70, 14));
  int groupsList = w.AddList("?List_groups", QRect(5, 52, 70, 110), &gq.g_Qgroups, {{"Group", "GroupID", 65}});
  int addToGroup = w.AddCheck("?m_bAddToGroup", "Add to group", QRect(5, 166, 70, 10));
  int kdf = w.AddList("?List_kdf", QRect(80, 34, 95, 150), &fields, {{" Name", "Name", 85}});
  int csv = w.AddList("?List_csv", QRect(235, 34, 105, 150), &columnsQ, {{"Name", "Name", 45}, {" Map", "Map", 50}});
  int mapButton = w.AddButton("?Button_Add", ">> &Map >>", QRect(178, 70, 54, 14));
  int unmapButton = w.AddButton("?Button_remove", "<< M&ap <<", QRect(178, 90, 54, 14));
  int first = w.AddCheck("?g_bInclude1stLine", "Include first line", QRect(80, 190, 90, 10));
  int startButton = w.AddButton("?Close", "&Start import", QRect(235, 208, 55, 14));
  int cancel = w.AddButton("?Cancel", "&Cancel", QRect(295, 208, 45, 14));
  w.AllowDrag(kdf, csv);
  w.AllowDrag(csv, groupButton);
  new ButtonDropTarget(w, groupButton);
  w.SetText(file, session.fileName);

  auto refresh = [&](int row) {
    fillColumns();
    w.List(csv)->Reload();
    if (row > 0) w.SetChoice(csv, row);
  };
  auto map = [&](int column, int fieldRow) {
    if (column < 1 || fieldRow < 1 || fieldRow > fields.Records()) return;
    std::string m;
    if (!columns.Map(column - 1, fields.Entry(fieldRow).Clipped("Name"), &m)) Message(m, "Import");
    refresh(column);
  };
  auto mapGroup = [&](int column) {
    if (column < 1) return;
    std::string m;
    if (!columns.MapGroup(column - 1, &m)) Message(m, "Import");
    refresh(column);
  };
  QObject::connect(&w, &Window::accepted, &w, [&](int field) {
    if (field == mapButton) {
      map(w.Choice(csv), w.Choice(kdf));
    } else if (field == unmapButton) {
      if (w.Choice(csv) > 0) columns.Unmap(w.Choice(csv) - 1);
      refresh(w.Choice(csv));
    } else if (field == groupButton) {
      mapGroup(w.Choice(csv));
    } else if (field == addToGroup) {
      w.Disable(groupsList, !w.IsChecked(addToGroup));
    } else if (field == browseFile) {
      framework::FileDialogRequest request;
      request.title = "Please select a csv file to import from";
      request.filters = "CSV File|*.csv";
      std::string chosen;
      if (framework::Services().FileDialog(request, &chosen)) {
        std::string m = CheckSettingsPath(chosen);
        if (m.empty()) {
          session.fileName = chosen;
          w.SetText(file, chosen);
        } else {
          Message(m, "Import");
        }
      }
    } else if (field == startButton) {
      // The file is the one the entry names, typed or chosen.
      std::string typed = Clip(w.Text(file));
      if (typed.empty()) {
        Message("Please name the csv file to import from.", "Import");
        w.Select(file);
        return;
      }
      if (std::string m = CheckSettingsPath(typed); !m.empty()) {
        Message(m, "Import");
        w.Select(file);
        return;
      }
      session.fileName = typed;
      std::string group;
      int g = w.Choice(groupsList);
      if (w.IsChecked(addToGroup) && g > 0 && g <= gq.g_Qgroups.Records())
        group = gq.g_Qgroups.Entry(g).Clipped("GroupID");
      session.include1stLine = w.IsChecked(first);
      ImportMap map = columns.Compile(w.IsChecked(addToGroup), group);
      // Without an address field mapped every line would be skipped (and
      // Enter in the file entry starts the import): refused, told.
      if (map.pairs.empty()) {
        Message("No column is mapped to an address field. Please map at least one column before you start the import.",
                "Import");
        return;
      }
      session.map = std::move(map);
      session.start = true;
      w.Close();
    } else if (field == cancel) {
      w.Close();
    }
  });
  QObject::connect(&w, &Window::windowEvent, &w, [&](int event, int target) {
    if (event == framework::EventDrop) {
      if (target == csv && w.DropSource() == kdf) map(w.DropRow(), w.DropSourceRow());
      if (target == groupButton && w.DropSource() == csv) mapGroup(w.DropSourceRow());
      return;
    }
    if (event != framework::EventOpenWindow) return;
    w.SetChecked(first, session.include1stLine);
    w.SetChecked(addToGroup, false);
    w.Disable(groupsList, true);
    LanguageWindowOpened(&w, "ImportTxtToKDF2option", nullptr);
  });
  w.Run();
}

}  // namespace mvn::client
